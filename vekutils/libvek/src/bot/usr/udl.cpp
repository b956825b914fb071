/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Downlink bulk channel: one block per send, framed by the card's downlink
 * status request. */
#include "udl.h"

#include <cstdio>

namespace
{

gboolean dl_status_set(sBottomPriv *b, guint32 value, GError **error)
{
    return usb_out(b, E_ZADIZAVE_CMD_GROUP_DATA, E_ZADIZAVE_CMD_DATA_DL_STREAM, value, error);
}

} // namespace

gboolean bottom_dl_init(sBottomPriv *b, GError **error)
{
    if (b == nullptr || b->h == nullptr)
        return xvek_invalid_handle("bottom_dl_init", error);
    int r = libusb_claim_interface(b->h.get(), XVEK_DL_IFACE);
    if (r != LIBUSB_SUCCESS)
        return xvek_set_usb_error(error, r, UsbResultWord::code,
                                  "Failed claiming dl interface '%d' ", XVEK_DL_IFACE);
    return TRUE;
}

gboolean bottom_dl_send(sBottomPriv *b, const guint8 *buffer, gsize buflen, GError **error)
{
    if (b == nullptr || b->h == nullptr)
        return xvek_invalid_handle("bottom_dl_send", error);
    /* One transfer carries at most a signed 32-bit length; refuse before the
     * card's status is touched. */
    if (buflen > (gsize)G_MAXINT32) {
        xvek_set_error(error,
                       "Failed to send dl bulk packet: block of %" G_GSIZE_FORMAT
                       " bytes exceeds the single transfer limit of %d bytes",
                       buflen, G_MAXINT32);
        return FALSE;
    }
    if (buffer == nullptr && buflen != 0) {
        xvek_set_error(error,
                       "Failed to send dl bulk packet: no data for a block of %" G_GSIZE_FORMAT
                       " bytes",
                       buflen);
        return FALSE;
    }
    GError *err = nullptr;
    if (!dl_status_set(b, 1, &err)) {
        g_propagate_prefixed_error(error, err, "Failed to set DL status active: ");
        return FALSE;
    }
    /* libusb wants a buffer even for a zero-length packet; it only reads it. */
    static unsigned char empty_block[1];
    unsigned char *data = buffer != nullptr ? const_cast<unsigned char *>(buffer) : empty_block;
    UsbTransferPtr t(libusb_alloc_transfer(0));
    if (!t)
        return xvek_set_usb_error(error, LIBUSB_ERROR_NO_MEM, UsbResultWord::code,
                                  "Failed to send dl bulk packet ");
    libusb_fill_bulk_transfer(t.get(), b->h.get(), XVEK_DL_ENDPOINT, data, (int)buflen, nullptr,
                              nullptr, XVEK_DL_TIMEOUT_MS);
    int r = bottom_transfer_run(b, t.get());
    int transferred = t->actual_length;
    /* A card that takes part of a block and then stops accepting shows as a
     * timeout with some bytes moved: that is the partial case, not a plain
     * transfer failure. */
    gboolean partial = transferred > 0 && (gsize)transferred < buflen;
    if (r != LIBUSB_SUCCESS && !partial)
        return xvek_set_usb_error(error, r, UsbResultWord::code, "Failed to send dl bulk packet ");
    if ((gsize)transferred < buflen) {
        xvek_set_error(error, "Partial dl bulk transfer (%dB/%" G_GUINT64_FORMAT "dB)", transferred,
                       (guint64)buflen);
        return FALSE;
    }
    if (!dl_status_set(b, 0, &err)) {
        g_propagate_prefixed_error(error, err, "Failed to set DL status inactive: ");
        return FALSE;
    }
    return TRUE;
}

void bottom_dl_release(sBottomPriv *b)
{
    if (b == nullptr || b->h == nullptr)
        return;
    int r = libusb_release_interface(b->h.get(), XVEK_DL_IFACE);
    if (r != LIBUSB_SUCCESS) {
        fprintf(stderr, "Error releasing dl interface %d (code %d: %s)", XVEK_DL_IFACE, r,
                xvek_usb_error_name(r));
        fflush(stderr);
    }
}
