/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The Iqhub object's private record and the helpers its components share. */
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <iqhub/iqhub.h>
#include <kvrlog/kvrlog.h>
#include <vchan/vchan.h>
#include <xvek/xvek.h>

/* Threads meet through std::mutex, std::condition_variable and std::atomic
 * rather than GLib's primitives: the thread sanitizer sees these, and the
 * hand-overs through GLib's main context (idle sources) carry no ordering it
 * can see, so every hand-over also goes through one of them. */

/* One write of the timestamp table. */
struct ts_entry {
    struct timeval tv_unix;
    sId_t min;
    sId_t max; /* min + n - 1 */
};

struct tstamp {
    std::mutex lock; /* bind runs on the writer thread, lookups on the main context */
    gint32 current_sample_id = 1;
    std::deque<ts_entry> entries; /* oldest first */
};

struct errapi {
    gint32 val = 0;
    gchar *msg = nullptr;
};

/* One queued demodulator report; a frame's carries the bit rate it was
 * decoded at (0 when unknown) and the repetitions combined into it (0 for a frame
 * decoded alone). */
struct event {
    guint8 type; /* an e_sched_evt_type */
    guint8 combined;
    guint16 bit_rate;
    union {
        vdem_frame_cont_t fcont;
        vdem_rfsat_t rfsat;
    } data;
};
static_assert(sizeof(event) == 64, "an event is one 64-byte slice");

struct sched {
    std::mutex mtx; /* guards queue and task_id */
    std::deque<event *> queue;
    guint task_id = 0;           /* the dispatch's source id while it is pending, else 0 */
    GSource *dispatch = nullptr; /* made ready when an event arrives */
};

struct writer {
    GThread *gthread = nullptr;
    gsize buflen = 0;
    gsize datalen = 0;
    guint8 *buffer = nullptr;
    std::condition_variable dataready;
    std::mutex condwaitmutex; /* guards go */
    bool go = false;
    struct timeval tv = {};
    GError *taskerror = nullptr; /* published by the thread through completed */
    std::atomic<gint32> abort{0};
    std::atomic<gint32> quit{0};
    /* Set by the thread once it is done with a write, and taken by the
     * completion dispatch: the release/acquire pair orders the thread's use
     * of the buffer and taskerror before the main context's next use. */
    std::atomic<bool> completed{false};
    GTask *task = nullptr; /* pending write; set and cleared on the main context */
    GMainContext *gmc = nullptr;
    GSource *completion = nullptr; /* made ready when a write is done */
};

struct IqhubPrivate {
    guint64 frames = 0;
    guint64 frames_drop = 0;
    guint64 frames_error_ts = 0;
    guint64 frames_error_syntax = 0;
    IqhubRateCounters rate_counters[2] = {}; /* 100 and 600 bit/s */
    gboolean spectra = FALSE;
    guint16 port_avail = 0;
    gboolean no_crc = FALSE;
    gdouble int_gain = 0;
    gdouble ext_gain = 0;
    guint32 macro_channel = 0;
    guint32 bit_rate = 0;
    guint8 protocols = 0;
    gdouble noise_figure = 0;
    guint8 adc_resolution = 0;
    target_machine_t platform = MACHINE_GAH61;
    guint32 ts_depth = 0;
    gchar *tapid = nullptr;
    /* The uplink receiver named at construction: "vdem", libvdem's
     * process-wide demodulator, or "vchan", a channelised receiver of this
     * object's own that exists while the object is started. */
    gchar *receiver = nullptr;
    vchan_receiver_t *vchan = nullptr;
    gchar *version = nullptr;
    guint32 iq_size = 0;
    guint32 iq_size_bytes = 0;
    gdouble uplink_cf = 0;
    IqhubFrameCallback frame_callback = nullptr;
    IqhubFrameCallbackGObject frame_callback_gobject = nullptr;
    gpointer frame_callback_data = nullptr;
    GDestroyNotify frame_callback_notify_release = nullptr;
    IqhubRfSatCallback rfsat_callback = nullptr;
    gpointer rfsat_callback_data = nullptr;
    GDestroyNotify rfsat_callback_notify_release = nullptr;
    GList *filters = nullptr;
    struct tstamp tstamp;
    struct errapi errapi;
    struct writer writer;
    struct sched sched;
    guint32 bpsp = 0;
    gboolean started = FALSE;
    std::atomic<gboolean> raw_sdr_log{FALSE}; /* also read on the writer thread */
};

/* The private record of @self, or NULL when @self is not an Iqhub. */
IqhubPrivate *iqhub_priv(Iqhub *self);
IqhubPrivate *iqhub_priv(const void *self);

/* Sets @error to "<function>: invalid handle" and returns FALSE. */
gboolean iqhub_invalid_handle(GError **error, const gchar *function);

/* A source on the default main context, at idle priority, that runs
 * @callback each time another thread signals it; @callback returns TRUE to
 * run again on the next iteration. */
GSource *iqhub_wakeup_new(GSourceFunc callback, gpointer data, const gchar *name);
void iqhub_wakeup_signal(GSource *source);
/* Destroys and releases *source; NULL is fine. */
void iqhub_wakeup_free(GSource **source);

/* The one bit rate the object's receiver runs at (the codes 0 and 1 stand for
 * 100 and 600, as they do for the demodulator), or 0 for a both-rates object
 * or a rate no receiver takes. */
guint iqhub_single_bit_rate(const IqhubPrivate *priv);
/* The counters of @bit_rate, or NULL for a rate that has none. */
IqhubRateCounters *iqhub_rate_counters(IqhubPrivate *priv, guint bit_rate);

/* The frame path with the frame's bit rate (0: unknown) beside it: queueing
 * a report, its dispatch, and the frame chain. */
gboolean iqhub_sched_add_frame(Iqhub *self, const vdem_frame_cont_t *container, guint bit_rate,
                               guint combined, GError **error);
void iqhub_sched_deliver_fcont(Iqhub *self, const vdem_frame_cont_t *container, guint bit_rate,
                               guint combined);
gboolean iqhub_filter_frame(Iqhub *self, const gchar *line, guint bit_rate, guint combined,
                            GError **error);

/* Replaces a (data, destroy function) pair without calling the previous
 * destroy function: the replaced data is the host's again. The pair in place
 * is released when its object is finalised. */
void iqhub_replace_user_data(gpointer *data, GDestroyNotify *notify, gpointer new_data,
                             GDestroyNotify new_notify);
