/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Request primitives of the card: one transfer run to its end for a caller
 * that waits, one vendor control transfer carrying a 4-byte little-endian
 * value, and the raw pass-through. */
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "bottom.h"

namespace
{

constexpr guint8 kVendorOther = 0x43; /* vendor request, recipient "other" */
constexpr guint16 kValueLen = 4;

/* Where a waiting caller learns that its transfer ended. */
struct TransferWaiter {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
};

void LIBUSB_CALL transfer_ended(libusb_transfer *t)
{
    auto *waiter = static_cast<TransferWaiter *>(t->user_data);
    /* Notified under the lock: the caller may free the waiter as soon as it
     * sees done, which it can only do once the lock is given back. */
    std::lock_guard<std::mutex> guard(waiter->lock);
    waiter->done = true;
    waiter->ended.notify_one();
}

/* The result libusb's synchronous calls give for a transfer that ended with
 * @status. */
int transfer_result(libusb_transfer_status status)
{
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED:
        return LIBUSB_ERROR_IO;
    }
    return LIBUSB_ERROR_OTHER;
}

struct GFreer {
    void operator()(guint8 *p) const { g_free(p); }
};

/* A control transfer with its setup packet and data stage in one buffer. */
struct ControlTransfer {
    UsbTransferPtr t{libusb_alloc_transfer(0)};
    std::unique_ptr<guint8, GFreer> buf;

    ControlTransfer(libusb_device_handle *h, guint8 request_type, guint8 bR, guint16 wV, guint16 wI,
                    guint16 wL)
        : buf(static_cast<guint8 *>(g_try_malloc0(LIBUSB_CONTROL_SETUP_SIZE + wL)))
    {
        if (!ok())
            return;
        libusb_fill_control_setup(buf.get(), request_type, bR, wV, wI, wL);
        libusb_fill_control_transfer(t.get(), h, buf.get(), nullptr, nullptr,
                                     BOTTOM_USB_CONTROL_TIMEOUT_MS);
    }
    bool ok() const { return t && buf; }
    guint8 *data() { return libusb_control_transfer_get_data(t.get()); }
};

} // namespace

int bottom_transfer_run(sBottomPriv *b, libusb_transfer *t)
{
    /* The event thread would wait for itself. */
    if (bottom_on_engine_thread())
        return LIBUSB_ERROR_BUSY;
    GError *err = nullptr;
    if (!context_activate_usb_engine(b->c, &err)) {
        g_error_free(err);
        return LIBUSB_ERROR_NO_MEM;
    }
    TransferWaiter waiter;
    t->callback = transfer_ended;
    t->user_data = &waiter;
    int r = libusb_submit_transfer(t);
    if (r == LIBUSB_SUCCESS) {
        std::unique_lock<std::mutex> guard(waiter.lock);
        waiter.ended.wait(guard, [&] { return waiter.done; });
        r = transfer_result(t->status);
    }
    context_deactivate_usb_engine(b->c, nullptr);
    return r;
}

gboolean bottom_usb_control(sBottomPriv *b, guint8 direction, guint8 group, guint16 cmd,
                            guint32 *data, GError **error)
{
    if (b == nullptr || b->h == nullptr || data == nullptr)
        return xvek_invalid_handle("bottom_usb_control", error);

    const bool in = (direction & BOTTOM_USB_DIR_IN) != 0;
    ControlTransfer ct(b->h.get(), static_cast<guint8>(direction | kVendorOther), group, cmd, 0,
                       kValueLen);
    int r = LIBUSB_ERROR_NO_MEM;
    if (ct.ok()) {
        if (!in) {
            for (guint i = 0; i < kValueLen; i++)
                ct.data()[i] = static_cast<guint8>(*data >> (8 * i));
        }
        r = bottom_transfer_run(b, ct.t.get());
    }
    if (r < 0)
        return xvek_set_usb_error(error, r, UsbResultWord::error,
                                  "Bottom usb control %s failed [group %u, cmd %u]",
                                  in ? "IN" : "OUT", group, cmd);
    if (in) {
        const guint8 *wire = ct.data();
        *data = static_cast<guint32>(wire[0]) | static_cast<guint32>(wire[1]) << 8 |
                static_cast<guint32>(wire[2]) << 16 | static_cast<guint32>(wire[3]) << 24;
    }
    return TRUE;
}

gboolean usb_out(sBottomPriv *b, guint8 group, guint16 cmd, guint32 value, GError **error)
{
    return bottom_usb_control(b, BOTTOM_USB_DIR_OUT, group, cmd, &value, error);
}

gboolean usb_in(sBottomPriv *b, guint8 group, guint16 cmd, guint32 *value, GError **error)
{
    return bottom_usb_control(b, BOTTOM_USB_DIR_IN, group, cmd, value, error);
}

gboolean bottom_usb_raw(sBottomPriv *b, guint8 request_type, guint8 bR, guint16 wV, guint16 wI,
                        guint8 *data, guint16 wL, guint16 *moved, GError **error)
{
    if (b == nullptr || b->h == nullptr || (data == nullptr && wL != 0))
        return xvek_invalid_handle("bottom_usb_raw", error);
    const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
    ControlTransfer ct(b->h.get(), request_type, bR, wV, wI, wL);
    int r = LIBUSB_ERROR_NO_MEM;
    if (ct.ok()) {
        if (!in && wL != 0)
            std::memcpy(ct.data(), data, wL);
        r = bottom_transfer_run(b, ct.t.get());
    }
    if (r < 0)
        return xvek_set_usb_error(error, r, UsbResultWord::error,
                                  "Bottom usb raw %s failed [group %u, cmd %u, indx %u, len %u]",
                                  in ? "IN" : "OUT", bR, wV, wI, wL);
    const int got = ct.t->actual_length;
    if (in && got > 0)
        std::memcpy(data, ct.data(), static_cast<gsize>(got));
    if (moved != nullptr)
        *moved = static_cast<guint16>(got);
    return TRUE;
}
