/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Streaming engine of one opened card: the RX data channel on interface 0,
 * its pool of bulk transfers kept in flight while the stream runs, and the
 * card-side stream controls. Completions run on the library's event thread;
 * the caller's thread and that thread meet only through the pool's state word,
 * its per-transfer active flags and its handler counter, all sequentially
 * consistent atomics (full barriers). There is no mutex. */
#pragma once

#include <array>
#include <atomic>

#include <glib.h>
#include <libusb.h>
#include <sys/time.h>

#include "bottom.h"

#define XVEK_URB_NB 16
#define XVEK_URB_LEN 8192
#define XVEK_URB_TIMEOUT_MS 400
#define XVEK_RX_ENDPOINT 0x81
#define XVEK_TX_ENDPOINT 0x01
#define XVEK_RX_IFACE 0

struct UrbPool;

typedef enum {
    STOPPED = 0,
    STOPPING = 1,
    STARTING = 2, /* treated as running by start, never entered */
    STARTED = 3,
} eStatus;

typedef struct {
    gsize buffer_len;
    gsize thresh_len;
    VektypeStreamRate rate;
    VektypeStreamAccessType access_type;
    VektypeStreamEndian end;
    VektypeStreamBitwidth bit;
    VektypeStreamNbChannel chan;
    guint32 bpf;
    VektypeCtlLbt lbt_status;
    VektypeStructLbtCfg lbt_cfg;
} xvek_stream_cfg;

struct sUrb {
    UsbTransferPtr t;
    guint32 id = 0;
    UrbPool *p = nullptr;
};

/* The transfers of one channel with their buffers, held for the channel's
 * life: nothing is allocated while streaming. */
struct UrbPool {
    std::atomic<gint> status{STOPPED}; /* eStatus */
    std::array<std::array<guint8, XVEK_URB_LEN>, XVEK_URB_NB> buf{};
    std::array<sUrb, XVEK_URB_NB> u{};
    std::array<std::atomic<gint>, XVEK_URB_NB> active{};
    VekDeviceDataChan *ch = nullptr;
    /* Completions of this pool currently running on some thread: the pool is
     * only freed once this is 0 and no transfer is active. */
    std::atomic<gint> in_handler{0};
    /* Set by the first sign of a vanished card, so that one unplug reports
     * one disconnection per stream start. */
    std::atomic<gint> disconnected{0};
    /* TRUE while this pool holds one use of the event thread. */
    gboolean holds_engine = FALSE;
};

/* One data channel of a card (bottom_rx_init), its pool included. */
struct VekDeviceDataChan {
    VektypeCtlMode type = XVEK_CTL_MODE_RX;
    gint32 iface = 0;
    xvek_stream_cfg cfg{};
    gboolean has_cfg = FALSE;
    sBottomCb *cb = nullptr;
    sBottomPriv *b = nullptr;
    UrbPool pool;
};

gboolean bottom_rx_init(sBottomPriv *b, sBottomCb *cb, GError **error);
gboolean bottom_rx_configure(sBottomPriv *b, guint32 buffer, guint32 ratio, VektypeStreamRate rate,
                             VektypeStreamAccessType access_type, VektypeStreamBitwidth bit,
                             VektypeStreamEndian end, VektypeStreamNbChannel chan, GError **error);
gboolean bottom_rx_start(sBottomPriv *b, const struct timeval *tv_start, GError **error);
gboolean bottom_rx_stop(sBottomPriv *b, GError **error);
/* Ends delivery at once without waiting: the transfers are cancelled and
 * retire on the event thread; a stop or release then waits for them. Usable
 * from a stream callback. */
void bottom_rx_halt(sBottomPriv *b);
void bottom_rx_release(sBottomPriv *b);
gboolean bottom_rx_get_stats(sBottomPriv *b, VektypeStructHwStats *stats, GError **error);

gboolean bottom_tx_init(sBottomPriv *b, sBottomCb *cb, GError **error);
gboolean bottom_tx_configure(sBottomPriv *b, guint32 buffer, guint32 ratio, VektypeStreamRate rate,
                             VektypeStreamAccessType access_type, VektypeStreamBitwidth bit,
                             VektypeStreamEndian end, VektypeStreamNbChannel chan, gboolean has_lbt,
                             guint32 lbt_cs_max, guint32 lbt_cs_min, guint32 lbt_tsmpl,
                             guint32 lbt_thresh, GError **error);
gboolean bottom_tx_onetime_start(sBottomPriv *b, const struct timeval *tv_start, GError **error);
gboolean bottom_tx_twotime_start_prepare(sBottomPriv *b, GError **error);
gboolean bottom_tx_twotime_start_go(sBottomPriv *b, const struct timeval *tv_start, GError **error);
gboolean bottom_tx_stop(sBottomPriv *b, GError **error);
gboolean bottom_tx_write(sBottomPriv *b, const guint8 *buffer, gsize buflen, GError **error);
gboolean bottom_tx_get_stats(sBottomPriv *b, VektypeStructHwStats *stats, GError **error);
void bottom_tx_release(sBottomPriv *b);

/* Bytes of one millisecond of stream at @rate (two 16-bit channels). */
guint32 ustream_ms_to_bytes(VektypeStreamRate rate);
