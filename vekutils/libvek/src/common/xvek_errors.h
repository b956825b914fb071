/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Error helpers of the device library, shared by its public layer and its USB
 * layer. Every error is a GError in XVEK_ERROR with code XVEK_ERR, told apart
 * by its message: a function sets its own words and each caller puts its own
 * in front with g_prefix_error / g_propagate_prefixed_error. The library log
 * (xvek_log) comes with <xvek/xvek.h>. */
#pragma once

#include <glib.h>

#include <xvek/xvek.h>

/* Sets @error (may be NULL) to the formatted message. */
void xvek_set_error(GError **error, const gchar *format, ...) G_GNUC_PRINTF(2, 3);
/* "<feature> feature not currently supported"; returns FALSE. */
gboolean xvek_non_supported(const gchar *feature, GError **error);
/* "<function>: invalid handle"; returns FALSE. */
gboolean xvek_invalid_handle(const gchar *function, GError **error);

/* libusb's name of an error code ("LIBUSB_ERROR_PIPE"), "**UNKNOWN**" for any
 * other number. */
const gchar *xvek_usb_error_name(int code);

/* How a message quotes a libusb result: "(error -9: LIBUSB_ERROR_PIPE)" or
 * "(code -9: LIBUSB_ERROR_PIPE)". */
enum class UsbResultWord { error, code };

/* Sets @error to the formatted message followed by the libusb result @code
 * quoted with @word; returns FALSE. */
gboolean xvek_set_usb_error(GError **error, int code, UsbResultWord word, const gchar *format, ...)
    G_GNUC_PRINTF(4, 5);
