/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* DFU capability search and the download of one device. */
#include <kvrdfu/kvrdfu.h>

#include <cstring>
#include <memory>

#include "dfu_search.h"

namespace
{

constexpr unsigned kTimeoutMs = 5000;
/* Class requests to the interface, host to device and device to host. */
constexpr guint8 kClassOut = 0x21;
constexpr guint8 kClassIn = 0xA1;
constexpr int kStatusLength = 6;
/* Status polls allowed per block before the device counts as hung. */
constexpr guint kMaxPollsPerBlock = 1000;

struct ConfigDeleter {
    void operator()(libusb_config_descriptor *c) const { libusb_free_config_descriptor(c); }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

/* Closes the handle, releasing the interface first when it was claimed. */
struct Handle {
    libusb_device_handle *h = nullptr;
    int claimed = -1;
    Handle() = default;
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle()
    {
        if (h == nullptr)
            return;
        if (claimed >= 0)
            libusb_release_interface(h, claimed);
        libusb_close(h);
    }
};

guint16 read_le16(const unsigned char *p)
{
    return static_cast<guint16>(p[0] | (p[1] << 8));
}

/* @raw holds KVRDFU_FUNC_DESC_LENGTH bytes. */
usb_dfu_func_descriptor decode_func_descriptor(const unsigned char *raw)
{
    usb_dfu_func_descriptor d;
    d.bLength = raw[0];
    d.bDescriptorType = raw[1];
    d.bmAttributes = raw[2];
    d.wDetachTimeOut = read_le16(raw + 3);
    d.wTransferSize = read_le16(raw + 5);
    d.bcdDFUVersion = read_le16(raw + 7);
    return d;
}

bool is_dfu_class(const libusb_interface_descriptor &alt)
{
    return alt.bInterfaceClass == LIBUSB_CLASS_APPLICATION && alt.bInterfaceSubClass == 0x01;
}

bool is_dfu_setting(const libusb_interface_descriptor &alt)
{
    return is_dfu_class(alt) && alt.extra_length == KVRDFU_FUNC_DESC_LENGTH &&
           alt.extra != nullptr && alt.extra[1] == KVRDFU_FUNC_DESC_TYPE;
}

/* Calls @visit(interface index, setting index, setting) for every alternate
 * setting of every configuration until it returns true; true when one did. */
template <typename Visit> bool any_setting(libusb_device *dev, guint8 configurations, Visit visit)
{
    for (guint8 c = 0; c < configurations; c++) {
        libusb_config_descriptor *raw = nullptr;
        if (libusb_get_config_descriptor(dev, c, &raw) != LIBUSB_SUCCESS || raw == nullptr)
            continue;
        ConfigPtr config(raw);
        if (config->interface == nullptr)
            continue;
        for (int i = 0; i < config->bNumInterfaces; i++) {
            const libusb_interface &itf = config->interface[i];
            for (int a = 0; a < itf.num_altsetting; a++)
                if (visit(i, a, itf.altsetting[a]))
                    return true;
        }
    }
    return false;
}

/* Looks for the first DFU setting of the device; fills @found on success. */
bool find_dfu_setting(libusb_device *dev, const libusb_device_descriptor &desc,
                      dfu_capable_device *found)
{
    return any_setting(dev, desc.bNumConfigurations,
                       [&](int i, int a, const libusb_interface_descriptor &alt) {
                           if (!is_dfu_setting(alt))
                               return false;
                           found->vid = desc.idVendor;
                           found->pid = desc.idProduct;
                           found->dev = dev;
                           found->interface_number = i;
                           found->altsetting = static_cast<guint8>(a);
                           const usb_dfu_func_descriptor func = decode_func_descriptor(alt.extra);
                           found->detach_tout = func.wDetachTimeOut;
                           found->xfer_size = func.wTransferSize;
                           return true;
                       });
}

bool is_listed(const kvrdfu_match_list *list, const libusb_device_descriptor &desc)
{
    if (list == nullptr || list->size == 0 || list->list == nullptr)
        return false;
    for (guint64 i = 0; i < list->size; i++)
        if (list->list[i].vid == desc.idVendor && list->list[i].pid == desc.idProduct)
            return true;
    return false;
}

/* libusb_error_name() of a byte count names a transfer status instead: a short
 * transfer says so. */
gchar *transfer_result(int r, int expected)
{
    if (r < 0)
        return g_strdup(libusb_error_name(r));
    return g_strdup_printf("only %d of %d bytes", r, expected);
}

/* Reads one status answer into @st; anything but a full 6-byte answer fails. */
bool get_status(libusb_device_handle *h, guint16 interface, dfu_status *st, GError **error)
{
    st->bStatus = KVRDFU_STATUS_ERR_UNKNOWN;
    st->bwPollTimeout = 0;
    st->bState = KVRDFU_STATE_ERROR;
    st->iString = 0;

    unsigned char buf[kStatusLength] = {};
    int r = libusb_control_transfer(h, kClassIn, KVRDFU_REQ_GETSTATUS, 0, interface, buf,
                                    kStatusLength, kTimeoutMs);
    if (r != kStatusLength) {
        g_autofree gchar *what = transfer_result(r, kStatusLength);
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Failed to get dfu status (%d: %s)", r, what);
        return false;
    }
    st->bStatus = buf[0];
    st->bwPollTimeout = static_cast<guint32>(buf[1] | (buf[2] << 8) | (buf[3] << 16));
    st->bState = buf[4];
    st->iString = buf[5];
    return true;
}

/* One DFU_DNLOAD; a transfer that moves fewer bytes than the block fails too,
 * since the device would otherwise hold a corrupted image. */
bool dnload(libusb_device_handle *h, guint16 interface, guint16 block, const guint8 *data,
            int length, GError **error)
{
    int r = libusb_control_transfer(h, kClassOut, KVRDFU_REQ_DNLOAD, block, interface,
                                    const_cast<guint8 *>(data), static_cast<guint16>(length),
                                    kTimeoutMs);
    if (r != length) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR,
                    "Failed to transfer from ptr %p block %d length %d (%s)",
                    static_cast<const void *>(data), static_cast<int>(block), length,
                    libusb_error_name(r));
        return false;
    }
    return true;
}

/* Resolves a bare firmware name through the documented search order. */
gchar *resolve_firmware(const gchar *firmware)
{
    if (strchr(firmware, G_DIR_SEPARATOR) != nullptr)
        return g_strdup(firmware);
    const gchar *env_dir = g_getenv("KVRDFU_FIRMWARE_DIR");
    const gchar *dirs[] = {env_dir, ".", KVRDFU_FIRMWARE_INSTALL_DIR};
    for (const gchar *dir : dirs) {
        if (dir == nullptr || *dir == '\0')
            continue;
        gchar *path = g_build_filename(dir, firmware, nullptr);
        if (g_file_test(path, G_FILE_TEST_IS_REGULAR))
            return path;
        g_free(path);
    }
    /* Not found anywhere: report the failure on the name as given. */
    return g_strdup(firmware);
}

void append_report(gchar *report, const dfu_capable_device *found, guint blocks, gsize last)
{
    if (report == nullptr)
        return;
    g_autofree gchar *line = g_strdup_printf(
        "Programming DFU Device <0x%04x:0x%04x>: transferred %u blocks of %" G_GUINT64_FORMAT
        "B + last block %dB\n",
        found->vid, found->pid, blocks, static_cast<guint64>(found->xfer_size),
        static_cast<int>(last));
    g_strlcat(report, line, KVRDFU_REPORT_SIZE);
}

/* Reads the whole image; an image the download cannot carry is refused here. */
bool load_image(const gchar *firmware, const dfu_capable_device *found, gchar **image, gsize *size,
                GError **error)
{
    g_autofree gchar *path = resolve_firmware(firmware);
    GError *file_error = nullptr;
    if (!g_file_get_contents(path, image, size, &file_error)) {
        /* Callers see one error domain: the file error's text is kept. */
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Failed to open firmware file %s: %s",
                    firmware, file_error->message);
        g_error_free(file_error);
        return false;
    }
    /* A boot loader stalls a download that ends before any data (DFU 1.1
     * dfuIDLE), and an empty image would leave the card without firmware. */
    if (*size == 0) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Firmware file %s is empty", firmware);
        return false;
    }
    /* A zero block size would never move the download forward. */
    if (found->xfer_size == 0) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR,
                    "Invalid DFU transfer size 0 on device <0x%04x:0x%04x>", found->vid,
                    found->pid);
        return false;
    }
    return true;
}

/* Opens the device and selects its DFU setting. */
bool open_dfu(const dfu_capable_device *found, Handle &handle, GError **error)
{
    int r = libusb_open(found->dev, &handle.h);
    if (r != LIBUSB_SUCCESS) {
        handle.h = nullptr;
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Failed to open usb device (%s)",
                    libusb_error_name(r));
        return false;
    }
    const int itf = found->interface_number;
    r = libusb_claim_interface(handle.h, itf);
    if (r != LIBUSB_SUCCESS) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Failed to claim interface %d (%s)", itf,
                    libusb_error_name(r));
        return false;
    }
    handle.claimed = itf;
    r = libusb_set_interface_alt_setting(handle.h, itf, found->altsetting);
    if (r != LIBUSB_SUCCESS) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Cannot set alt setting 0 (%s)",
                    libusb_error_name(r));
        return false;
    }
    return true;
}

/* Polls the status until the device is idle again or in error. A device that
 * never leaves its busy state would otherwise hold the caller for ever. */
bool wait_idle(libusb_device_handle *h, guint16 windex, dfu_status *st, GError **error)
{
    for (guint polls = 1;; polls++) {
        if (!get_status(h, windex, st, error))
            return false;
        if (st->bState == KVRDFU_STATE_DNLOAD_IDLE || st->bState == KVRDFU_STATE_ERROR)
            return true;
        if (polls >= kMaxPollsPerBlock) {
            g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR,
                        "Device still busy after %u status polls [state %u, status %u ]", polls,
                        st->bState, st->bStatus);
            return false;
        }
        g_usleep(static_cast<gulong>(st->bwPollTimeout) * 1000);
    }
}

struct SentImage {
    guint16 next_block = 0; /* the block number of the final, empty block */
    guint blocks = 0;       /* data blocks sent */
    gsize last = 0;         /* length of the last data block */
};

/* Sends the image in blocks of the transfer size, each followed by status polls. */
bool send_blocks(libusb_device_handle *h, guint16 windex, const gchar *firmware,
                 const guint8 *image, gsize size, gsize xfer_size, SentImage *sent, GError **error)
{
    for (gsize pos = 0; pos < size;) {
        const gsize length = MIN(xfer_size, size - pos);
        GError *inner = nullptr;
        if (!dnload(h, windex, sent->next_block, image + pos, static_cast<int>(length), &inner)) {
            g_propagate_prefixed_error(error, inner,
                                       "Failed to dnload firmware file %s: ", firmware);
            return false;
        }
        dfu_status st{};
        if (!wait_idle(h, windex, &st, error))
            return false;
        sent->next_block++; /* wraps at 16 bits, as the block number does on the wire */
        sent->blocks++;
        sent->last = length;
        pos += length;
        if (st.bStatus != 0) {
            g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR,
                        "Firmware download failed [state %u, status %u ]", st.bState, st.bStatus);
            return false;
        }
    }
    return true;
}

/* Ends the download and lets the device leave DFU mode. */
bool finish_download(Handle &handle, guint16 windex, const gchar *firmware,
                     const dfu_capable_device *found, guint16 final_block, GError **error)
{
    GError *inner = nullptr;
    if (!dnload(handle.h, windex, final_block, nullptr, 0, &inner)) {
        g_propagate_prefixed_error(error, inner, "Failed to dnload firmware file %s: ", firmware);
        return false;
    }
    /* Best effort from here: the image is in the device. */
    dfu_status st{};
    if (!get_status(handle.h, windex, &st, &inner))
        g_clear_error(&inner);
    int r = libusb_control_transfer(handle.h, kClassOut, KVRDFU_REQ_DETACH,
                                    static_cast<guint16>(found->detach_tout), windex, nullptr, 0,
                                    kTimeoutMs);
    if (r < 0)
        g_debug("Detach request w/ timeout %dms failed (%s)", found->detach_tout,
                libusb_error_name(r));
    return true;
}

bool download(const gchar *firmware, const dfu_capable_device *found, gchar *report, GError **error)
{
    g_autofree gchar *image = nullptr;
    gsize size = 0;
    if (!load_image(firmware, found, &image, &size, error))
        return false;
    Handle handle;
    if (!open_dfu(found, handle, error))
        return false;
    const auto windex = static_cast<guint16>(found->interface_number);
    SentImage sent;
    if (!send_blocks(handle.h, windex, firmware, reinterpret_cast<const guint8 *>(image), size,
                     found->xfer_size, &sent, error))
        return false;
    if (!finish_download(handle, windex, firmware, found, sent.next_block, error))
        return false;
    append_report(report, found, sent.blocks, sent.last);

    if (found->detach_tout == 0) {
        const int r = libusb_reset_device(handle.h);
        /* A boot loader that comes back as the application re-enumerates:
         * libusb then reports the old device as gone, which is the success case. */
        if (r == LIBUSB_ERROR_NOT_FOUND) {
            handle.claimed = -1; /* nothing left to release */
        } else if (r != LIBUSB_SUCCESS) {
            g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR,
                        "Failed to reset device after download (%s)", libusb_error_name(r));
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" {

KVRDFU_EXPORT gboolean is_dfu_capable(const kvrdfu_match_list *list, libusb_device *dev,
                                      dfu_capable_device *found)
{
    if (found == nullptr || dev == nullptr || list == nullptr)
        return FALSE;
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) != LIBUSB_SUCCESS)
        return FALSE;
    if (!is_listed(list, desc))
        return FALSE;
    return find_dfu_setting(dev, desc, found) ? TRUE : FALSE;
}

KVRDFU_EXPORT gboolean dfu_download_firmware(const gchar *firmware, const dfu_capable_device *found,
                                             gchar *report, GError **error)
{
    if (firmware == nullptr || found == nullptr || found->dev == nullptr) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "Null ptr");
        return FALSE;
    }
    try {
        return download(firmware, found, report, error) ? TRUE : FALSE;
    } catch (...) {
        g_set_error(error, KVRDFU_ERRDOM, KVRDFU_ERR, "oom");
        return FALSE;
    }
}

} // extern "C"

gchar *kvrdfu_unsupported_reason(const kvrdfu_match_list *list, libusb_device *dev)
{
    libusb_device_descriptor desc;
    if (dev == nullptr || libusb_get_device_descriptor(dev, &desc) != LIBUSB_SUCCESS ||
        !is_listed(list, desc))
        return nullptr;
    dfu_capable_device found{};
    if (find_dfu_setting(dev, desc, &found))
        return nullptr;
    gint length = -1;
    any_setting(dev, desc.bNumConfigurations,
                [&](int, int, const libusb_interface_descriptor &alt) {
                    if (!is_dfu_class(alt))
                        return false;
                    length = alt.extra_length;
                    return true;
                });
    if (length < 0)
        return nullptr;
    /* DFU 1.0 ends the descriptor before bcdDFUVersion. */
    return g_strdup_printf("DFU boot loader <0x%04x:0x%04x> not programmed: its functional "
                           "descriptor has %d bytes%s, only DFU 1.1 (%d bytes) is supported",
                           desc.idVendor, desc.idProduct, length,
                           length == KVRDFU_FUNC_DESC_LENGTH - 2 ? " (DFU 1.0)" : "",
                           KVRDFU_FUNC_DESC_LENGTH);
}
