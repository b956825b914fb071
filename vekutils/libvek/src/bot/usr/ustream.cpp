/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Streaming engine: RX data channel, transfer pool and completion rules. */
#include "ustream.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace
{

constexpr gulong kStopPollUs = 100 * 1000;

const gchar *chan_name(VektypeCtlMode type)
{
    return xvek_hlp_mode_to_str(type);
}

/* ---- pool state (shared with the event thread) ---- */

gint pool_status(UrbPool *p)
{
    return p->status.load();
}
void pool_status_set(UrbPool *p, eStatus s)
{
    p->status.store((gint)s);
}

gboolean no_urb_pending(UrbPool *p)
{
    for (guint i = 0; i < XVEK_URB_NB; i++)
        if (p->active[i].load() == 1)
            return FALSE;
    return TRUE;
}

/* No transfer in flight and no completion of this pool running: the pool's
 * memory may be reused or freed. The flags are read before the handler count;
 * a handler clears its flag before it leaves, so seeing both at rest means the
 * last handler is gone. */
gboolean pool_quiescent(UrbPool *p)
{
    return no_urb_pending(p) && p->in_handler.load() == 0;
}

void report_disconnection(UrbPool *p)
{
    if (p->disconnected.exchange(1) != 0)
        return;
    /* Transfers the card completed before it went may still wait to be
     * reaped: they retire undelivered, so that no data follows the news. */
    pool_status_set(p, STOPPING);
    if (xvek_callDisconnectionCb()) {
        xvek_log(LOG_LEVEL_DEBUG, "The callback disconnection (USB) was called");
    } else {
        fprintf(stderr, "Error: Callback was not called\n");
        fflush(stderr);
        xvek_log(LOG_LEVEL_ERR, "Error: Callback was not called");
    }
}

/* Takes @u out of flight. With @stop_mark the whole pool winds down: the
 * other transfers retire as they complete. */
void retire_urb(sUrb *u, gboolean stop_mark)
{
    UrbPool *p = u->p;
    p->active[u->id].store(0);
    if (no_urb_pending(p))
        pool_status_set(p, STOPPED);
    if (stop_mark)
        pool_status_set(p, STOPPING);
}

void resubmit_one_urb(sUrb *u)
{
    UrbPool *p = u->p;
    int r = libusb_submit_transfer(u->t.get());
    if (r == LIBUSB_SUCCESS) {
        /* A stop that began while this completion ran may have found the
         * transfer idle and not cancelled it. */
        if (pool_status(p) == STOPPING)
            libusb_cancel_transfer(u->t.get());
        return;
    }
    g_autoptr(GError) err = nullptr;
    xvek_set_usb_error(&err, r, UsbResultWord::error, "Failed submitted urb ");
    fprintf(stderr, "Failed submitting urb %u: %s\n", u->id, err->message);
    fflush(stderr);
    if (r == LIBUSB_ERROR_NO_DEVICE)
        report_disconnection(p);
    retire_urb(u, FALSE);
}

void urb_rx_send_payload(sUrb *u)
{
    VekDeviceDataChan *ch = u->p->ch;
    sBottomCb *cb = ch->cb;
    if (cb == nullptr || cb->_cb.rx == nullptr)
        return;
    GError *err = nullptr;
    cb->_cb.rx(cb->owner, u->p->buf[u->id].data(), (gsize)u->t->actual_length, cb->_data, &err);
    if (err != nullptr) {
        xvek_log(LOG_LEVEL_ERR, "Error sending RX payload to user: %s", err->message);
        fprintf(stderr, "Error sending rx payload to user: %s", err->message);
        fflush(stderr);
        g_error_free(err);
    }
}

void urb_complete(sUrb *u)
{
    UrbPool *p = u->p;
    if (pool_status(p) == STOPPING) {
        retire_urb(u, FALSE);
        return;
    }
    switch (u->t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        urb_rx_send_payload(u);
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        xvek_log(LOG_LEVEL_DEBUG, "LIBUSB_TRANSFER_TIMED_OUT");
        [[fallthrough]];
    case LIBUSB_TRANSFER_ERROR:
        xvek_log(LOG_LEVEL_DEBUG, "LIBUSB_TRANSFER_ERROR");
        [[fallthrough]];
    case LIBUSB_TRANSFER_OVERFLOW:
        xvek_log(LOG_LEVEL_DEBUG,
                 "transfer timeout, error or ovf: ignoring payload, resubmiting urb");
        break;
    case LIBUSB_TRANSFER_STALL:
        xvek_log(LOG_LEVEL_DEBUG, "transfer stalled (stream not started yet?), resubmiting urb");
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        /* The card is gone: every further submission would fail or spin on the
         * same status, so the transfer leaves the pool here and the stream ends
         * once all of them have. */
        report_disconnection(p);
        retire_urb(u, FALSE);
        return;
    case LIBUSB_TRANSFER_CANCELLED:
        xvek_log(LOG_LEVEL_DEBUG, "LIBUSB_TRANSFER_CANCELLED");
        [[fallthrough]];
    default:
        xvek_log(LOG_LEVEL_DEBUG,
                 "LIBUSB:transfer cancelled, no device or other, unschedule urb and cancel all");
        retire_urb(u, TRUE);
        return;
    }
    resubmit_one_urb(u);
}

void LIBUSB_CALL urb_rx_complete_cb(struct libusb_transfer *t)
{
    auto *u = static_cast<sUrb *>(t->user_data);
    UrbPool *p = u->p;
    p->in_handler.fetch_add(1);
    urb_complete(u);
    /* Last touch of the pool by this thread: the stopping thread may free it
     * as soon as it reads 0 here. */
    p->in_handler.fetch_sub(1);
}

/* ---- pool set-up ---- */

/* Gives every transfer record of @p its libusb transfer. */
gboolean pool_init(UrbPool *p, VekDeviceDataChan *ch, GError **error)
{
    for (guint i = 0; i < XVEK_URB_NB; i++) {
        sUrb &u = p->u[i];
        u.t.reset(libusb_alloc_transfer(0));
        if (!u.t) {
            xvek_set_error(error, "urb alloc (%u/%u): oom !", i, XVEK_URB_NB);
            return FALSE;
        }
        u.id = i;
        u.p = p;
    }
    p->ch = ch;
    return TRUE;
}

gboolean channel_pool_prepare(VekDeviceDataChan *ch, GError **error)
{
    unsigned char endpoint;
    switch (ch->type) {
    case XVEK_CTL_MODE_RX:
        endpoint = XVEK_RX_ENDPOINT;
        break;
    case XVEK_CTL_MODE_TX:
        endpoint = XVEK_TX_ENDPOINT;
        break;
    default:
        xvek_set_error(error, "Urb stream prepare: unsupported channel type (%u)", (guint)ch->type);
        return FALSE;
    }
    UrbPool &p = ch->pool;
    for (guint i = 0; i < XVEK_URB_NB; i++)
        libusb_fill_bulk_transfer(p.u[i].t.get(), ch->b->h.get(), endpoint, p.buf[i].data(),
                                  XVEK_URB_LEN, urb_rx_complete_cb, &p.u[i], XVEK_URB_TIMEOUT_MS);
    return TRUE;
}

/* Releases a claimed interface when it goes, unless kept. */
class ClaimedInterface
{
  public:
    ClaimedInterface(libusb_device_handle *h, int iface) : h_(h), iface_(iface) {}
    ClaimedInterface(const ClaimedInterface &) = delete;
    ClaimedInterface &operator=(const ClaimedInterface &) = delete;
    ~ClaimedInterface()
    {
        if (h_ != nullptr)
            libusb_release_interface(h_, iface_);
    }
    void keep() { h_ = nullptr; }

  private:
    libusb_device_handle *h_;
    int iface_;
};

/* ---- card-side stream controls ---- */

guint16 stream_cmd(VekDeviceDataChan *ch, gboolean *ok)
{
    *ok = TRUE;
    switch (ch->type) {
    case XVEK_CTL_MODE_RX:
        return E_ZADIZAVE_CMD_DATA_RX_STREAM;
    case XVEK_CTL_MODE_TX:
        return E_ZADIZAVE_CMD_DATA_TX_STREAM;
    default:
        *ok = FALSE;
        return 0;
    }
}

gboolean channel_status_get(VekDeviceDataChan *ch, guint32 *value, GError **error)
{
    gboolean ok;
    guint16 cmd = stream_cmd(ch, &ok);
    if (!ok) {
        xvek_set_error(error, "Unsupported channel type %u", (guint)ch->type);
        return FALSE;
    }
    return usb_in(ch->b, E_ZADIZAVE_CMD_GROUP_DATA, cmd, value, error);
}

gboolean channel_status_set(VekDeviceDataChan *ch, guint32 value, GError **error)
{
    gboolean ok;
    guint16 cmd = stream_cmd(ch, &ok);
    if (!ok) {
        xvek_set_error(error, "Unsupported channel type %u", (guint)ch->type);
        return FALSE;
    }
    return usb_out(ch->b, E_ZADIZAVE_CMD_GROUP_DATA, cmd, value, error);
}

gboolean channel_stream_status_set(VekDeviceDataChan *ch, guint32 value, GError **error)
{
    guint32 current = 0;
    GError *err = nullptr;
    if (!channel_status_get(ch, &current, &err)) {
        g_propagate_prefixed_error(
            error, err, "Failed to read current %s stream status: ", chan_name(ch->type));
        return FALSE;
    }
    if (current == value)
        return TRUE;
    return channel_status_set(ch, value, error);
}

gboolean channel_bitwitdh_get(VekDeviceDataChan *ch, guint32 *bit, GError **error)
{
    return usb_in(ch->b, E_ZADIZAVE_CMD_GROUP_DATA, E_ZADIZAVE_CMD_DATA_FORMAT, bit, error);
}

gboolean channel_bitwitdh_set(VekDeviceDataChan *ch, VektypeStreamBitwidth bit, GError **error)
{
    guint32 current = 0;
    GError *err = nullptr;
    if (!channel_bitwitdh_get(ch, &current, &err)) {
        g_prefix_error(&err, "Failed to read current bitdwidth: ");
    } else if (current != (guint32)bit) {
        usb_out(ch->b, E_ZADIZAVE_CMD_GROUP_DATA, E_ZADIZAVE_CMD_DATA_FORMAT, (guint32)bit, &err);
    }
    if (err != nullptr) {
        g_propagate_prefixed_error(error, err, "Failed to set bitwidth to %u: ", (guint)bit);
        return FALSE;
    }
    return TRUE;
}

gboolean channel_rate_set(VekDeviceDataChan *ch, VektypeStreamRate rate, GError **error)
{
    guint32 value = 0;
    if (rate == XVEK_STREAM_RATE_VAL48K || rate == XVEK_STREAM_RATE_VAL192K)
        value = (guint32)rate;
    GError *err = nullptr;
    if (!usb_out(ch->b, E_ZADIZAVE_CMD_GROUP_DATA, E_ZADIZAVE_CMD_DATA_SAMPLING, value, &err)) {
        g_propagate_prefixed_error(error, err, "Failed to set rate to %u: ", (guint)rate);
        return FALSE;
    }
    return TRUE;
}

/* ---- event thread use ---- */

/* Each stream holds at most one use of the shared event thread: the thread
 * ends with the last stream of the process, so that one card stopping never
 * starves another card that still streams. */
gboolean engine_take(UrbPool *p, sBottomCtx *c, GError **error)
{
    if (p->holds_engine)
        return TRUE;
    if (!context_activate_usb_engine(c, error))
        return FALSE;
    p->holds_engine = TRUE;
    return TRUE;
}

void engine_drop(UrbPool *p, sBottomCtx *c)
{
    if (!p->holds_engine)
        return;
    p->holds_engine = FALSE;
    context_deactivate_usb_engine(c, nullptr);
}

/* ---- pool start and stop ---- */

/* Waits until every transfer of @p has retired. The event thread delivers the
 * completions: a pool has transfers in flight only while it holds a use of
 * that thread (engine_take comes before the first submission, engine_drop
 * after the last transfer retired), so that no completion of any card is
 * ever handled, and no callback ever run, on an application thread. */
void channel_stop(UrbPool *p)
{
    if (pool_status(p) != STOPPED || !pool_quiescent(p)) {
        if (pool_status(p) != STOPPED)
            pool_status_set(p, STOPPING);
        for (guint i = 0; i < XVEK_URB_NB; i++)
            if (p->active[i].load() == 1)
                libusb_cancel_transfer(p->u[i].t.get());
        while (!pool_quiescent(p))
            g_usleep(kStopPollUs);
    }
    pool_status_set(p, STOPPED);
}

gboolean channel_start(VekDeviceDataChan *ch, GError **error)
{
    UrbPool *p = &ch->pool;
    p->disconnected.store(0);
    /* Running before the first submission, so that a completion racing with
     * the rest of the start is delivered and resubmitted. */
    pool_status_set(p, STARTED);
    for (guint i = 0; i < XVEK_URB_NB; i++) {
        /* Flag first: a completion may arrive before libusb_submit_transfer
         * returns, and it clears the flag of the transfer it retires. */
        p->active[i].store(1);
        int r = libusb_submit_transfer(p->u[i].t.get());
        if (r != LIBUSB_SUCCESS) {
            p->active[i].store(0);
            xvek_set_usb_error(error, r, UsbResultWord::error, "Failed submitted urb %u ", i);
            xvek_log(LOG_LEVEL_ERR, "Failed to start RX stream");
            /* The transfers already in flight must retire before anyone may free
             * or reuse them. */
            channel_stop(p);
            return FALSE;
        }
    }
    return TRUE;
}

VekDeviceDataChan *rx_chan(sBottomPriv *b)
{
    return b != nullptr ? b->ch_rx : nullptr;
}

/* Puts the transfers of @ch in flight unless they are. */
gboolean rx_channel_start(VekDeviceDataChan *ch, GError **error)
{
    UrbPool *p = &ch->pool;
    gint status = pool_status(p);
    if (status == STARTING || status == STARTED)
        return TRUE;
    /* A pool that wound down by itself (card gone, unexpected status) may
     * still have completions running: let them finish first. */
    channel_stop(p);
    return channel_start(ch, error);
}

} // namespace

guint32 ustream_ms_to_bytes(VektypeStreamRate rate)
{
    return rate == XVEK_STREAM_RATE_VAL48K ? 192u : 768u;
}

gboolean bottom_rx_init(sBottomPriv *b, sBottomCb *cb, GError **error)
{
    if (b == nullptr || b->h == nullptr)
        return xvek_invalid_handle("bottom_rx_init", error);
    if (b->ch_rx != nullptr)
        return TRUE;
    int r = libusb_claim_interface(b->h.get(), XVEK_RX_IFACE);
    if (r != LIBUSB_SUCCESS)
        return xvek_set_usb_error(error, r, UsbResultWord::code,
                                  "Failed claiming %s interface '%d' ", "RX", XVEK_RX_IFACE);
    ClaimedInterface claim(b->h.get(), XVEK_RX_IFACE);
    std::unique_ptr<VekDeviceDataChan> ch(new (std::nothrow) VekDeviceDataChan());
    if (!ch) {
        xvek_set_error(error, "Can't alloc %s data channel: oom", "RX");
        return FALSE;
    }
    ch->type = XVEK_CTL_MODE_RX;
    ch->iface = XVEK_RX_IFACE;
    ch->cb = cb;
    ch->b = b;
    if (!pool_init(&ch->pool, ch.get(), error)) {
        g_prefix_error(error, "Channel pool init failed: ");
        return FALSE;
    }
    /* The transfer set-up does not depend on the stream parameters: preparing
     * it here keeps a start before any configure well defined. */
    channel_pool_prepare(ch.get(), nullptr);
    claim.keep();
    b->ch_rx = ch.release();
    return TRUE;
}

gboolean bottom_rx_configure(sBottomPriv *b, guint32 buffer, guint32 ratio, VektypeStreamRate rate,
                             VektypeStreamAccessType access_type, VektypeStreamBitwidth bit,
                             VektypeStreamEndian end, VektypeStreamNbChannel chan, GError **error)
{
    VekDeviceDataChan *ch = rx_chan(b);
    if (ch == nullptr || buffer == 0 || ratio == 0 || (guint32)rate > 192000u) {
        xvek_set_error(error, "Error preparing chan cfg: one or more invalid values");
        return FALSE;
    }
    if (end != XVEK_STREAM_ENDIAN_LE) {
        xvek_set_error(error, "Bottom rx configure: unavailable endianess ");
        return FALSE;
    }
    if (chan != XVEK_STREAM_NB_CHANNEL_VAL2) {
        xvek_set_error(error, "Bottom rx configure: unavailable nb channels ");
        return FALSE;
    }
    /* Re-preparing transfers that are in flight would corrupt them. */
    if (pool_status(&ch->pool) != STOPPED || !pool_quiescent(&ch->pool)) {
        xvek_set_error(error, "Bottom rx configure: stream is running, stop it first");
        return FALSE;
    }
    guint32 bpms = ustream_ms_to_bytes(rate);
    ch->cfg.buffer_len = (gsize)buffer * bpms;
    ch->cfg.thresh_len = (gsize)(buffer / ratio) * bpms;
    ch->cfg.rate = rate;
    ch->cfg.end = XVEK_STREAM_ENDIAN_LE;
    ch->cfg.chan = XVEK_STREAM_NB_CHANNEL_VAL2;
    ch->cfg.access_type = access_type;
    ch->cfg.bit = bit;
    ch->has_cfg = TRUE;
    if (!channel_pool_prepare(ch, error)) {
        g_prefix_error(error, "Failed to prepare urb pool: ");
        return FALSE;
    }
    if (!channel_bitwitdh_set(ch, bit, error))
        return FALSE;
    return channel_rate_set(ch, rate, error);
}

gboolean bottom_rx_start(sBottomPriv *b, const struct timeval *tv_start, GError **error)
{
    (void)tv_start;
    VekDeviceDataChan *ch = rx_chan(b);
    GError *err = nullptr;
    if (ch == nullptr)
        xvek_set_error(&err, "the device was opened without an RX channel");
    /* Starting waits for completions that only the event thread delivers:
     * from a data or disconnection callback that would wait forever. */
    if (err != nullptr || bottom_refuse_on_engine_thread(&err)) {
        g_propagate_prefixed_error(error, err, "Failed to start rx channel: ");
        return FALSE;
    }
    /* The event thread runs before the first transfer is in flight. */
    UrbPool *p = &ch->pool;
    if (!engine_take(p, b->c, &err)) {
        g_propagate_prefixed_error(error, err, "Failed to activate event engine: ");
        return FALSE;
    }
    if (!rx_channel_start(ch, &err)) {
        g_propagate_prefixed_error(error, err, "Failed to start rx channel: ");
        engine_drop(p, b->c);
        return FALSE;
    }
    if (!channel_stream_status_set(ch, 1, &err)) {
        g_propagate_prefixed_error(error, err, "Failed to start rx stream: ");
        xvek_log(LOG_LEVEL_ERR, "Failed to start RX stream");
        channel_stop(p);
        engine_drop(p, b->c);
        return FALSE;
    }
    return TRUE;
}

gboolean bottom_rx_stop(sBottomPriv *b, GError **error)
{
    VekDeviceDataChan *ch = rx_chan(b);
    if (ch == nullptr)
        return xvek_invalid_handle("bottom_rx_stop", error);
    GError *err = nullptr;
    /* Stopping waits for completions that only the event thread delivers. */
    if (bottom_refuse_on_engine_thread(&err) || !channel_stream_status_set(ch, 0, &err)) {
        g_propagate_prefixed_error(error, err, "Failed to stop rx stream: ");
        return FALSE;
    }
    channel_stop(&ch->pool);
    engine_drop(&ch->pool, b->c);
    xvek_log(LOG_LEVEL_DEBUG, "%s: success", "bottom_rx_stop");
    return TRUE;
}

void bottom_rx_halt(sBottomPriv *b)
{
    VekDeviceDataChan *ch = rx_chan(b);
    if (ch == nullptr || pool_status(&ch->pool) == STOPPED)
        return;
    UrbPool *p = &ch->pool;
    pool_status_set(p, STOPPING);
    for (guint i = 0; i < XVEK_URB_NB; i++)
        if (p->active[i].load() == 1)
            libusb_cancel_transfer(p->u[i].t.get());
}

void bottom_rx_release(sBottomPriv *b)
{
    VekDeviceDataChan *ch = rx_chan(b);
    if (ch == nullptr)
        return;
    if (bottom_on_engine_thread()) {
        /* Waiting here would deadlock the thread that has to deliver the
         * completions; leaving the channel is the lesser harm. */
        g_critical("RX channel released from its own USB event thread: left in place");
        return;
    }
    /* Whatever state the stream was left in (a stop that failed on a vanished
     * card, say), no transfer may be in flight when it is freed or when the
     * handle closes. */
    channel_stop(&ch->pool);
    engine_drop(&ch->pool, b->c);
    if (b->h != nullptr) {
        int r = libusb_release_interface(b->h.get(), ch->iface);
        if (r != LIBUSB_SUCCESS)
            fprintf(stderr, "Error releasing %s interface %d (code %d: %s)\n", "RX", ch->iface, r,
                    xvek_usb_error_name(r));
    }
    b->ch_rx = nullptr;
    delete ch;
}

gboolean bottom_rx_get_stats(sBottomPriv *b, VektypeStructHwStats *stats, GError **error)
{
    (void)b;
    (void)stats;
    return xvek_non_supported("RX Stats", error);
}

gboolean bottom_tx_init(sBottomPriv *b, sBottomCb *cb, GError **error)
{
    (void)b;
    (void)cb;
    return xvek_non_supported("TX Stream", error);
}

gboolean bottom_tx_configure(sBottomPriv *b, guint32 buffer, guint32 ratio, VektypeStreamRate rate,
                             VektypeStreamAccessType access_type, VektypeStreamBitwidth bit,
                             VektypeStreamEndian end, VektypeStreamNbChannel chan, gboolean has_lbt,
                             guint32 lbt_cs_max, guint32 lbt_cs_min, guint32 lbt_tsmpl,
                             guint32 lbt_thresh, GError **error)
{
    (void)b, (void)buffer, (void)ratio, (void)rate, (void)access_type, (void)bit, (void)end;
    (void)chan, (void)has_lbt, (void)lbt_cs_max, (void)lbt_cs_min, (void)lbt_tsmpl;
    (void)lbt_thresh;
    return xvek_non_supported("TX Stream", error);
}

gboolean bottom_tx_onetime_start(sBottomPriv *b, const struct timeval *tv_start, GError **error)
{
    (void)b, (void)tv_start;
    return xvek_non_supported("TX Stream", error);
}

gboolean bottom_tx_twotime_start_prepare(sBottomPriv *b, GError **error)
{
    (void)b;
    return xvek_non_supported("TX Stream", error);
}

gboolean bottom_tx_twotime_start_go(sBottomPriv *b, const struct timeval *tv_start, GError **error)
{
    (void)b, (void)tv_start;
    return xvek_non_supported("TX Stream", error);
}

gboolean bottom_tx_stop(sBottomPriv *b, GError **error)
{
    (void)b;
    return xvek_non_supported("TX Stream", error);
}

gboolean bottom_tx_write(sBottomPriv *b, const guint8 *buffer, gsize buflen, GError **error)
{
    (void)b, (void)buffer, (void)buflen;
    return xvek_non_supported("TX Stream", error);
}

gboolean bottom_tx_get_stats(sBottomPriv *b, VektypeStructHwStats *stats, GError **error)
{
    (void)b, (void)stats;
    return xvek_non_supported("TX Stream", error);
}

void bottom_tx_release(sBottomPriv *b)
{
    (void)b;
}
