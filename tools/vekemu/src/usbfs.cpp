/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The card's side of the kernel's usbfs interface: the ioctls that libusb's Linux backend
 * issues on /dev/bus/usb/BBB/DDD, answered on umockdev's worker thread.
 *
 * The emulated node is a regular file, so poll() on it is always ready and libusb reaps
 * whenever it handles events; transfers therefore complete at the next reap after the
 * card has answered them. */
#include "vekemu-private.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#ifndef USBDEVFS_GET_SPEED
#define USBDEVFS_GET_SPEED _IO('U', 31)
#endif

namespace vekemu
{

Urb::~Urb()
{
    if (buf != nullptr)
        umockdev_ioctl_data_unref(buf);
    if (urb != nullptr)
        umockdev_ioctl_data_unref(urb);
}

struct usbdevfs_urb *Urb::u() const
{
    return reinterpret_cast<struct usbdevfs_urb *>(urb->data);
}

guint8 *Urb::data() const
{
    return buf != nullptr ? buf->data : nullptr;
}

gsize Urb::length() const
{
    return buf != nullptr ? static_cast<gsize>(u()->buffer_length) : 0;
}

namespace
{

constexpr guint32 USBFS_CAPS = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                               USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
constexpr guint USB_SPEED_HIGH = 3;
constexpr guint IDLE_REAP_DELAY_MS = 1;
/* The kernel's default usbfs memory limit (usbfs_memory_mb = 16). */
constexpr int MAX_URB_BUFFER = 16 * 1024 * 1024;

void complete(UMockdevIoctlClient *client, int err)
{
    umockdev_ioctl_client_complete(client, err == 0 ? 0 : -1, err);
}

void finish(Client &cl, UrbPtr urb, int status, gsize actual)
{
    urb->u()->status = status;
    urb->u()->actual_length = static_cast<int>(actual);
    cl.done.push_back(std::move(urb));
}

guint32 stream_rate(const VekemuCard *card)
{
    return card->regs.sampling == 48000 ? 48000 : 192000;
}

bool has_interface(const VekemuCard *card, guint number)
{
    return card->dfu_mode ? number == 0 : number <= 2;
}

/* Resolves an ioctl argument that points to a small structure. */
UMockdevIoctlData *resolve_arg(UMockdevIoctlClient *client, gsize len)
{
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, len, nullptr);
}

guint read_uint_arg(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *d = resolve_arg(client, sizeof(guint));
    if (d == nullptr)
        return G_MAXUINT;
    guint v;
    memcpy(&v, d->data, sizeof v);
    umockdev_ioctl_data_unref(d);
    return v;
}

/* The setup packet and the data stage it announces must fit the URB's buffer. */
bool control_urb_valid(const Urb &urb)
{
    gsize len = urb.length();
    if (len < 8)
        return false;
    const guint8 *b = urb.data();
    return static_cast<gsize>(b[6] | (b[7] << 8)) <= len - 8;
}

void submit_control(VekemuCard *card, Client &cl, UrbPtr urb)
{
    guint8 *buf = urb->data();
    Setup s{buf[0], buf[1], static_cast<guint16>(buf[2] | (buf[3] << 8)),
            static_cast<guint16>(buf[4] | (buf[5] << 8)),
            static_cast<guint16>(buf[6] | (buf[7] << 8))};
    gsize actual = 0;
    switch (control_request(card, s, buf + 8, &actual)) {
    case ControlResult::OK:
        finish(cl, std::move(urb), 0, actual);
        break;
    case ControlResult::STALL:
        finish(cl, std::move(urb), -EPIPE, 0);
        break;
    case ControlResult::ERROR:
        finish(cl, std::move(urb), -EPROTO, 0);
        break;
    case ControlResult::GONE:
        finish(cl, std::move(urb), -ESHUTDOWN, 0);
        break;
    case ControlResult::NAK:
        cl.nak.push_back(std::move(urb));
        break;
    }
}

bool refuse_rx(VekemuCard *card)
{
    if (card->rx_refuse_count == 0)
        return false;
    if (card->rx_refuse_after > 0) {
        card->rx_refuse_after--;
        return false;
    }
    card->rx_refuse_count--;
    return true;
}

void submit_rx(VekemuCard *card, Client &cl, UrbPtr urb)
{
    if (card->rx_fault_count > 0) {
        VekemuFault fault = card->rx_fault;
        if (--card->rx_fault_count == 0)
            card->rx_fault = VEKEMU_FAULT_NONE;
        switch (fault) {
        case VEKEMU_FAULT_STALL:
            finish(cl, std::move(urb), -EPIPE, 0);
            return;
        case VEKEMU_FAULT_ERROR:
            finish(cl, std::move(urb), -EPROTO, 0);
            return;
        case VEKEMU_FAULT_OVERFLOW:
            finish(cl, std::move(urb), -EOVERFLOW, 0);
            return;
        case VEKEMU_FAULT_NO_DEVICE:
            finish(cl, std::move(urb), -ESHUTDOWN, 0);
            return;
        case VEKEMU_FAULT_TIMEOUT:
            cl.nak.push_back(std::move(urb));
            return;
        case VEKEMU_FAULT_NONE:
            break;
        }
    }
    cl.rx_waiting.push_back(std::move(urb));
    pump_rx(card, cl);
}

void submit_dl(VekemuCard *card, Client &cl, UrbPtr urb)
{
    gsize len = urb->length();
    gsize accept = len;
    VekemuDlFault fault = VEKEMU_DL_FAULT_NONE;
    if (card->dl_fault_count > 0) {
        fault = card->dl_fault;
        if (--card->dl_fault_count == 0)
            card->dl_fault = VEKEMU_DL_FAULT_NONE;
        if (fault == VEKEMU_DL_SHORT_NAK || fault == VEKEMU_DL_SHORT_COMPLETE)
            accept = std::min(len, card->dl_accept);
        else
            accept = 0;
    }
    if (fault != VEKEMU_DL_STALL) {
        card->dl_blocks.push_back(g_bytes_new(urb->data(), accept));
        log_event(card, VEKEMU_EVENT_BULK_OUT, nullptr, 0, accept, false);
    } else {
        log_event(card, VEKEMU_EVENT_BULK_OUT, nullptr, 0, 0, true);
    }
    switch (fault) {
    case VEKEMU_DL_FAULT_NONE:
    case VEKEMU_DL_SHORT_COMPLETE:
        finish(cl, std::move(urb), 0, accept);
        break;
    case VEKEMU_DL_STALL:
        finish(cl, std::move(urb), -EPIPE, 0);
        break;
    case VEKEMU_DL_SHORT_NAK:
    case VEKEMU_DL_TIMEOUT:
        urb->fill = accept;
        cl.nak.push_back(std::move(urb));
        break;
    }
}

void submit_urb(VekemuCard *card, Client &cl, UMockdevIoctlClient *client)
{
    auto urb = std::make_unique<Urb>();
    urb->urb = resolve_arg(client, sizeof(struct usbdevfs_urb));
    if (urb->urb == nullptr) {
        complete(client, EFAULT);
        return;
    }
    struct usbdevfs_urb *u = urb->u();
    if (u->buffer_length < 0) {
        complete(client, EINVAL);
        return;
    }
    if (u->buffer_length > MAX_URB_BUFFER) {
        complete(client, ENOMEM);
        return;
    }
    if (u->buffer_length > 0) {
        urb->buf = umockdev_ioctl_data_resolve(urb->urb, offsetof(struct usbdevfs_urb, buffer),
                                               u->buffer_length, nullptr);
        if (urb->buf == nullptr) {
            complete(client, EFAULT);
            return;
        }
    }
    u->status = 0;
    u->actual_length = 0;

    if (u->type == USBDEVFS_URB_TYPE_CONTROL && u->endpoint == 0) {
        if (!control_urb_valid(*urb)) {
            complete(client, EINVAL);
            return;
        }
        submit_control(card, cl, std::move(urb));
    } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == EP_RX && !card->dfu_mode) {
        if (refuse_rx(card)) {
            complete(client, ENOMEM);
            return;
        }
        submit_rx(card, cl, std::move(urb));
    } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == EP_DL && !card->dfu_mode)
        submit_dl(card, cl, std::move(urb));
    else {
        complete(client, ENOENT);
        return;
    }
    complete(client, 0);
}

bool take_discarded(std::deque<UrbPtr> &queue, gulong addr, Client &cl)
{
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if ((*it)->urb->client_addr != addr)
            continue;
        UrbPtr urb = std::move(*it);
        queue.erase(it);
        gsize fill = urb->fill;
        finish(cl, std::move(urb), -ENOENT, fill);
        return true;
    }
    return false;
}

/* The host gives up on a bulk IN transfer. The emulated card fills transfers when the host
 * reaps, where a real card's bytes flow into them in the background: a host that stalls
 * past its timeout would find the transfer complete on real hardware. So the bytes of a
 * partly filled transfer go back to the stream (they were the last ones taken), and the
 * transfer times out empty: a slow host loses no part of the stream. */
bool take_discarded_rx(VekemuCard *card, Client &cl, gulong addr)
{
    for (auto it = cl.rx_waiting.begin(); it != cl.rx_waiting.end(); ++it) {
        Urb &urb = **it;
        if (urb.urb->client_addr != addr)
            continue;
        if (urb.fill > 0 && urb.stream_session == card->stream_session &&
            urb.first_offset + urb.fill == card->rx_offset) {
            card->rx_offset -= urb.fill;
            urb.fill = 0;
        }
        UrbPtr taken = std::move(*it);
        cl.rx_waiting.erase(it);
        gsize fill = taken->fill;
        finish(cl, std::move(taken), -ENOENT, fill);
        return true;
    }
    return false;
}

struct DelayedReap {
    UMockdevIoctlClient *client;
};

gboolean delayed_reap_cb(gpointer data)
{
    auto *d = static_cast<DelayedReap *>(data);
    if (umockdev_ioctl_client_get_connected(d->client))
        complete(d->client, EAGAIN);
    g_object_unref(d->client);
    delete d;
    return G_SOURCE_REMOVE;
}

void reap_urb(VekemuCard *card, Client &cl, UMockdevIoctlClient *client)
{
    if (!card->gone)
        pump_rx(card, cl);
    if (cl.done.empty()) {
        if (card->gone) {
            complete(client, ENODEV);
            return;
        }
        /* Nothing to reap. A client that just reaped or submitted hears it at once (libusb
         * reaps until it is told so); one that keeps asking hears it a moment later, so
         * that polling a node that is always "ready" does not spin the worker. */
        if (!cl.idle) {
            cl.idle = true;
            complete(client, EAGAIN);
            return;
        }
        GSource *src = g_timeout_source_new(IDLE_REAP_DELAY_MS);
        g_source_set_callback(
            src, delayed_reap_cb,
            new DelayedReap{static_cast<UMockdevIoctlClient *>(g_object_ref(client))}, nullptr);
        g_source_attach(src, g_main_context_get_thread_default());
        g_source_unref(src);
        return;
    }
    cl.idle = false;
    UrbPtr urb = std::move(cl.done.front());
    cl.done.pop_front();
    UMockdevIoctlData *ptr = resolve_arg(client, sizeof(gpointer));
    if (ptr == nullptr) {
        complete(client, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(ptr, 0, urb->urb);
    umockdev_ioctl_data_unref(ptr);
    complete(client, 0);
}

} // namespace

void pump_rx(VekemuCard *card, Client &cl)
{
    if (card->regs.rx_stream == 0 || cl.rx_waiting.empty())
        return;
    guint64 budget = G_MAXUINT64;
    if (card->pacing == VEKEMU_PACING_REALTIME) {
        const gint64 elapsed = static_cast<gint64>(
            static_cast<gdouble>(g_get_monotonic_time() - card->stream_start_us) * card->speed);
        guint64 due = card->stream_epoch_offset + static_cast<guint64>(elapsed) *
                                                      stream_rate(card) / G_USEC_PER_SEC *
                                                      BYTES_PER_SAMPLE;
        budget = due > card->rx_offset ? due - card->rx_offset : 0;
        budget -= budget % BYTES_PER_SAMPLE;
    }
    while (!cl.rx_waiting.empty() && budget > 0) {
        Urb &urb = *cl.rx_waiting.front();
        gsize want = urb.length() - urb.fill;
        want -= want % BYTES_PER_SAMPLE;
        gsize n = static_cast<gsize>(std::min<guint64>(want, budget));
        if (n > 0) {
            if (urb.fill == 0) {
                urb.first_offset = card->rx_offset;
                urb.stream_session = card->stream_session;
            }
            card->source->fill(urb.data() + urb.fill, n, card->rx_offset);
            urb.fill += n;
            card->rx_offset += n;
            budget -= n;
        }
        if (urb.length() - urb.fill >= BYTES_PER_SAMPLE)
            break;
        UrbPtr done = std::move(cl.rx_waiting.front());
        cl.rx_waiting.pop_front();
        gsize fill = done->fill;
        finish(cl, std::move(done), 0, fill);
    }
}

void disconnect_all(VekemuCard *card)
{
    for (auto &[client, cl] : card->clients) {
        for (auto *queue : {&cl.rx_waiting, &cl.nak}) {
            while (!queue->empty()) {
                UrbPtr urb = std::move(queue->front());
                queue->pop_front();
                gsize fill = urb->fill;
                finish(cl, std::move(urb), -ESHUTDOWN, fill);
            }
        }
    }
}

namespace
{

constexpr guint LOCK_RETRY_MS = 1;

struct Deferred {
    Bed *bed;
    std::function<void()> fn;
};

gboolean deferred_cb(gpointer data)
{
    auto *d = static_cast<Deferred *>(data);
    std::unique_lock<std::recursive_mutex> lock(d->bed->mu, std::try_to_lock);
    if (!lock.owns_lock())
        return G_SOURCE_CONTINUE;
    d->fn();
    return G_SOURCE_REMOVE;
}

/* The card's table entry of a client; a client's first request brings it in. */
Client &client_entry(VekemuCard *card, UMockdevIoctlClient *client)
{
    auto [it, added] = card->clients.try_emplace(client);
    if (added)
        it->second.generation = client_generation(client);
    return it->second;
}

/* Answers one request with the bed lock held; false for a request a usbfs node does not
 * know. */
bool answer_ioctl(UMockdevIoctlClient *client, VekemuCard *card)
{
    gulong request = umockdev_ioctl_client_get_request(client);
    Client &cl = client_entry(card, client);
    bool stale = cl.generation != card->generation;

    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        if (stale && cl.done.empty())
            complete(client, ENODEV);
        else
            reap_urb(card, cl, client);
        return true;
    }
    if (card->gone || stale) {
        complete(client, ENODEV);
        return true;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *d = resolve_arg(client, sizeof(guint32));
        if (d == nullptr) {
            complete(client, EFAULT);
            return true;
        }
        guint32 caps = USBFS_CAPS;
        memcpy(d->data, &caps, sizeof caps);
        umockdev_ioctl_data_unref(d);
        complete(client, 0);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        guint number = read_uint_arg(client);
        if (!has_interface(card, number)) {
            complete(client, ENOENT);
            return true;
        }
        bool claim = request == USBDEVFS_CLAIMINTERFACE;
        if (claim && card->held) {
            complete(client, EBUSY);
            return true;
        }
        Setup s{0, 0, 0, static_cast<guint16>(number), 0};
        log_event(card, claim ? VEKEMU_EVENT_CLAIM : VEKEMU_EVENT_RELEASE, &s, 0, 0, false);
        complete(client, 0);
        return true;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        UMockdevIoctlData *d = resolve_arg(client, sizeof(struct usbdevfs_disconnect_claim));
        if (d == nullptr) {
            complete(client, EFAULT);
            return true;
        }
        guint number = reinterpret_cast<struct usbdevfs_disconnect_claim *>(d->data)->interface;
        umockdev_ioctl_data_unref(d);
        if (!has_interface(card, number)) {
            complete(client, ENOENT);
            return true;
        }
        Setup s{0, 0, 0, static_cast<guint16>(number), 0};
        log_event(card, VEKEMU_EVENT_CLAIM, &s, 0, 0, false);
        complete(client, 0);
        return true;
    }
    case USBDEVFS_SETINTERFACE: {
        UMockdevIoctlData *d = resolve_arg(client, sizeof(struct usbdevfs_setinterface));
        if (d == nullptr) {
            complete(client, EFAULT);
            return true;
        }
        auto *si = reinterpret_cast<struct usbdevfs_setinterface *>(d->data);
        bool ok = has_interface(card, si->interface) && si->altsetting == 0;
        umockdev_ioctl_data_unref(d);
        complete(client, ok ? 0 : EINVAL);
        return true;
    }
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        complete(client, 0);
        return true;
    case USBDEVFS_RESET:
        log_event(card, VEKEMU_EVENT_RESET, nullptr, 0, 0, false);
        if (card->dfu_mode)
            dfu_leave(card);
        complete(client, 0);
        return true;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        complete(client, ENODATA);
        return true;
    case USBDEVFS_CONNECTINFO: {
        UMockdevIoctlData *d = resolve_arg(client, sizeof(struct usbdevfs_connectinfo));
        if (d == nullptr) {
            complete(client, EFAULT);
            return true;
        }
        auto *ci = reinterpret_cast<struct usbdevfs_connectinfo *>(d->data);
        ci->devnum = card->devnum;
        ci->slow = 0;
        umockdev_ioctl_data_unref(d);
        complete(client, 0);
        return true;
    }
    case USBDEVFS_GET_SPEED:
        umockdev_ioctl_client_complete(client, USB_SPEED_HIGH, 0);
        return true;
    case USBDEVFS_SUBMITURB:
        cl.idle = false;
        submit_urb(card, cl, client);
        return true;
    case USBDEVFS_DISCARDURB: {
        gulong addr = *reinterpret_cast<gulong *>(umockdev_ioctl_client_get_arg(client)->data);
        bool found = take_discarded(cl.nak, addr, cl) || take_discarded_rx(card, cl, addr);
        complete(client, found ? 0 : EINVAL);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

void run_locked_on_worker(Bed *bed, std::function<void()> fn)
{
    {
        std::unique_lock<std::recursive_mutex> lock(bed->mu, std::try_to_lock);
        if (lock.owns_lock()) {
            fn();
            return;
        }
    }
    GSource *src = g_timeout_source_new(LOCK_RETRY_MS);
    g_source_set_callback(src, deferred_cb, new Deferred{bed, std::move(fn)},
                          [](gpointer d) { delete static_cast<Deferred *>(d); });
    g_source_attach(src, g_main_context_get_thread_default());
    g_source_unref(src);
}

gboolean handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, VekemuCard *card)
{
    g_object_ref(client);
    run_locked_on_worker(card->bed, [client, card] {
        /* A client that went away while its request waited for the lock hears nothing. */
        if (umockdev_ioctl_client_get_connected(client) && !answer_ioctl(client, card))
            complete(client, ENOTTY);
        g_object_unref(client);
    });
    return TRUE;
}

} // namespace vekemu
