/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Request primitives of the card: one vendor control transfer carrying a
 * 4-byte little-endian value, and the raw pass-through. */
#include "bottom.h"

namespace
{

constexpr guint8 kVendorOther = 0x43; /* vendor request, recipient "other" */
constexpr guint16 kValueLen = 4;

} // namespace

gboolean bottom_usb_control(libusb_device_handle *h, guint8 direction, guint8 group, guint16 cmd,
                            guint32 *data, GError **error)
{
    if (h == nullptr || data == nullptr)
        return xvek_invalid_handle("bottom_usb_control", error);

    const bool in = (direction & BOTTOM_USB_DIR_IN) != 0;
    guint8 wire[kValueLen] = {0, 0, 0, 0};
    if (!in) {
        for (guint i = 0; i < kValueLen; i++)
            wire[i] = static_cast<guint8>(*data >> (8 * i));
    }
    int r = libusb_control_transfer(h, static_cast<guint8>(direction | kVendorOther), group, cmd, 0,
                                    wire, kValueLen, BOTTOM_USB_CONTROL_TIMEOUT_MS);
    if (r < 0)
        return xvek_set_usb_error(error, r, UsbResultWord::error,
                                  "Bottom usb control %s failed [group %u, cmd %u]",
                                  in ? "IN" : "OUT", group, cmd);
    if (in) {
        *data = static_cast<guint32>(wire[0]) | static_cast<guint32>(wire[1]) << 8 |
                static_cast<guint32>(wire[2]) << 16 | static_cast<guint32>(wire[3]) << 24;
    }
    return TRUE;
}

gboolean usb_out(libusb_device_handle *h, guint8 group, guint16 cmd, guint32 value, GError **error)
{
    return bottom_usb_control(h, BOTTOM_USB_DIR_OUT, group, cmd, &value, error);
}

gboolean usb_in(libusb_device_handle *h, guint8 group, guint16 cmd, guint32 *value, GError **error)
{
    return bottom_usb_control(h, BOTTOM_USB_DIR_IN, group, cmd, value, error);
}

gboolean bottom_usb_raw(libusb_device_handle *h, guint8 request_type, guint8 bR, guint16 wV,
                        guint16 wI, guint8 *data, guint16 wL, guint16 *moved, GError **error)
{
    if (h == nullptr || (data == nullptr && wL != 0))
        return xvek_invalid_handle("bottom_usb_raw", error);
    int r = libusb_control_transfer(h, request_type, bR, wV, wI, data, wL,
                                    BOTTOM_USB_CONTROL_TIMEOUT_MS);
    if (r < 0)
        return xvek_set_usb_error(error, r, UsbResultWord::error,
                                  "Bottom usb raw %s failed [group %u, cmd %u, indx %u, len %u]",
                                  (request_type & 0x80) ? "IN" : "OUT", bR, wV, wI, wL);
    if (moved != nullptr)
        *moved = static_cast<guint16>(r);
    return TRUE;
}
