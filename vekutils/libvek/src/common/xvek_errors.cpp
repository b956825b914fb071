/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Error helpers shared by both layers of the device library. */
#include "common/xvek_errors.h"

#include <cstdarg>

#include <libusb.h>

void xvek_set_error(GError **error, const gchar *format, ...)
{
    if (error == nullptr)
        return;
    va_list args;
    va_start(args, format);
    g_autofree gchar *message = g_strdup_vprintf(format, args);
    va_end(args);
    g_set_error_literal(error, XVEK_ERROR, XVEK_ERR, message);
}

gboolean xvek_non_supported(const gchar *feature, GError **error)
{
    xvek_set_error(error, "%s feature not currently supported", feature);
    return FALSE;
}

gboolean xvek_invalid_handle(const gchar *function, GError **error)
{
    xvek_set_error(error, "%s: invalid handle", function);
    return FALSE;
}

const gchar *xvek_usb_error_name(int code)
{
    /* One case per libusb error and no default: a code that a newer libusb
     * adds is a compiler warning here rather than an unnamed error. */
    switch (static_cast<libusb_error>(code)) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    }
    return "**UNKNOWN**";
}

gboolean xvek_set_usb_error(GError **error, int code, UsbResultWord word, const gchar *format, ...)
{
    if (error == nullptr)
        return FALSE;
    va_list args;
    va_start(args, format);
    g_autofree gchar *context = g_strdup_vprintf(format, args);
    va_end(args);
    xvek_set_error(error, "%s(%s %d: %s)", context, word == UsbResultWord::error ? "error" : "code",
                   code, xvek_usb_error_name(code));
    return FALSE;
}
