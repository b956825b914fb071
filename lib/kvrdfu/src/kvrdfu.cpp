/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Programs every attached DFU-mode device of a match list. */
#include <kvrdfu/kvrdfu.h>

#include "dfu_search.h"

namespace
{

/* Time the programmed devices get to leave DFU mode and re-enumerate. */
constexpr gulong kSettleUs = 2000 * 1000;

struct UsbSession {
    libusb_context *ctx = nullptr;
    libusb_device **devs = nullptr;
    UsbSession() = default;
    UsbSession(const UsbSession &) = delete;
    UsbSession &operator=(const UsbSession &) = delete;
    ~UsbSession()
    {
        if (devs != nullptr)
            libusb_free_device_list(devs, 1);
        if (ctx != nullptr)
            libusb_exit(ctx);
    }
};

bool program_all(const kvrdfu_match_list *list, const gchar *firmware, gint *devices,
                 gchar **prog_info, GError **error)
{
    g_autofree gchar *report = nullptr;
    if (prog_info != nullptr)
        report = static_cast<gchar *>(g_malloc0(KVRDFU_REPORT_SIZE));

    UsbSession usb;
    int r = libusb_init(&usb.ctx);
    if (r != LIBUSB_SUCCESS) {
        usb.ctx = nullptr;
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Failed to init libusb (%s)",
                    libusb_error_name(r));
        return false;
    }
    ssize_t count = libusb_get_device_list(usb.ctx, &usb.devs);
    for (ssize_t k = 0; k < count; k++) {
        dfu_capable_device found{};
        if (!is_dfu_capable(list, usb.devs[k], &found)) {
            /* A listed boot loader left as it is must not pass for a success. */
            g_autofree gchar *reason = kvrdfu_unsupported_reason(list, usb.devs[k]);
            if (reason == nullptr)
                continue;
            g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR,
                        "Failed to flash device %" G_GUINT64_FORMAT ": %s", static_cast<guint64>(k),
                        reason);
            return false;
        }
        GError *inner = nullptr;
        if (!dfu_download_firmware(firmware, &found, report, &inner)) {
            g_propagate_prefixed_error(error, inner,
                                       "Failed to flash device %" G_GUINT64_FORMAT ": ",
                                       static_cast<guint64>(k));
            return false;
        }
        (*devices)++;
    }
    if (usb.devs != nullptr) {
        libusb_free_device_list(usb.devs, 1);
        usb.devs = nullptr;
    }
    if (*devices > 0) {
        libusb_exit(usb.ctx);
        usb.ctx = nullptr;
        g_usleep(kSettleUs);
    }
    if (prog_info != nullptr)
        *prog_info = static_cast<gchar *>(g_steal_pointer(&report));
    return true;
}

} // namespace

extern "C" KVRDFU_EXPORT gboolean kvrdfu_program_all_devices(const kvrdfu_match_list *list,
                                                             const gchar *firmware, gint *devices,
                                                             gchar **prog_info, GError **error)
{
    if (list == nullptr || devices == nullptr) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Null ptr");
        return FALSE;
    }
    *devices = 0;
    try {
        return program_all(list, firmware, devices, prog_info, error) ? TRUE : FALSE;
    } catch (...) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "oom");
        return FALSE;
    }
}
