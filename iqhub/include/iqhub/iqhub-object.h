/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(IQHUB_INSIDE) && !defined(IQHUB_COMPILATION)
#error "Only <iqhub/iqhub.h> can be included directly."
#endif

#include <glib-object.h>
#include <kvrproto/kvrproto.h>
#include <iqhub/iqhub-export.h>
#include <iqhub/iqhub-types.h>

G_BEGIN_DECLS

/* Iqhub: one demodulator instance fed by the host. The demodulator is
 * process-wide, so a process runs at most one started Iqhub at a time. */
#define IQHUB_TYPE_IQHUB (iqhub_get_type())
IQHUB_EXPORT G_DECLARE_DERIVABLE_TYPE(Iqhub, iqhub, IQHUB, IQHUB, GObject)

struct _IqhubClass {
    GObjectClass parent_class;
};

/* Property ids. The ids without a property are reserved. */
typedef enum {
    IQHUB_PROP_SPECTRA = 1,
    IQHUB_PROP_PORT_AVAIL = 2,
    IQHUB_PROP_NO_CRC = 3,
    IQHUB_PROP_INT_GAIN = 4,
    IQHUB_PROP_EXT_GAIN = 5,
    IQHUB_PROP_MACRO_CHANNEL = 6,
    IQHUB_PROP_BIT_RATE = 7,
    IQHUB_PROP_PROTOCOLS = 8,
    IQHUB_PROP_MODE = 9,
    IQHUB_PROP_NOISE_FIGURE = 10,
    IQHUB_PROP_ADC_RESOLUTION = 11,
    IQHUB_PROP_BPSP = 12,
    IQHUB_PROP_PLATFORM = 13,
    IQHUB_PROP_TSDEPTH = 14,
    IQHUB_PROP_VERSION = 15,
    IQHUB_PROP_TAPID = 16,
    IQHUB_PROP_MEAN_SPEC = 17,
    IQHUB_PROP_AVAIL = 18,
    IQHUB_PROP_LAST_METRICS = 19,
    IQHUB_PROP_LAST_DAC_SAC = 20,
    IQHUB_PROP_ERRAPI = 21,
    IQHUB_PROP_IQSIZE = 22,
    IQHUB_PROP_IQSIZEBYTES = 23,
    IQHUB_PROP_BACKLOG = 24,
    IQHUB_PROP_FILTERS = 25,
    IQHUB_PROP_UPLINK_CF = 26,
    IQHUB_PROP_ENUM_MAX = 27,
    STATS_PROP_FRAMES = 28,
    STATS_PROP_FRAMES_DROP = 29,
    STATS_PROP_FRAMES_ERROR_TS = 30,
    STATS_PROP_FRAMES_ERROR_SYNTAX = 31,
    STATS_PROP_LAST_MSPEC_DATE = 32,
    STATS_PROP_LAST_AVAIL_DATE = 33,
    IQHUB_PROP_RAW_SDR_LOG = 34,
    STATS_PROP_ENUM_MAX = 35
} IqhubProperties;

/* The construct-only property "receiver" names the uplink receiver: "vdem"
 * (the default: libvdem, one bit rate) or "vchan" (libvchan, the channelised
 * receiver). "bit-rate" is 100 or 600 for either; the channelised receiver also
 * takes IQHUB_BIT_RATE_BOTH and then hears both rates from the one stream,
 * with the packet size, advised write length and time lookups of 100 bit/s.
 * The demodulator refuses IQHUB_BIT_RATE_BOTH at the start, as it refuses any
 * rate but its two. */
#define IQHUB_BIT_RATE_BOTH 700u /* 100 + 600 */

/* What the frame chain counted for the frames of one bit rate: the rate of
 * each frame comes from the receiver that reported it, so a both-rates object
 * counts each rate apart; "frames", "frames-drop", "frames-error-ts" and
 * "frames-error-syntax" are the sums over the rates. Frames that a host feeds
 * to iqhub_filter() itself count under the object's bit rate, and on a
 * both-rates object only in the sums. */
typedef struct {
    guint64 frames;
    guint64 frames_drop;
    guint64 frames_error_ts;
    guint64 frames_error_syntax;
} IqhubRateCounters;

/* Host callbacks. Their boolean result is ignored; an error set through
 * @error is what counts. A frame record given to IqhubFrameCallback belongs to
 * the host (kvrproto_free_frame), and so does the frame object given to
 * IqhubFrameCallbackGObject (g_object_unref). The frame's "timestamp" holds
 * the Unix seconds of the write that carried it, and its bit rate (the
 * record's f.v1.bit_rate, the object's "bit-rate") the rate, 100 or 600, at
 * which the receiver decoded it. */
/**
 * IqhubFrameCallback: (skip)
 */
typedef gboolean (*IqhubFrameCallback)(Iqhub *self, kvrframe *frame, gpointer user_data,
                                       GError **error);
/**
 * IqhubFrameCallbackGObject:
 * @self: the object
 * @frame: (transfer full): the frame
 * @user_data: (closure): the data given with the callback
 * @error: the reason of a failure
 *
 * Returns: ignored
 */
typedef gboolean (*IqhubFrameCallbackGObject)(Iqhub *self, KvrprotoFrameGen *frame,
                                              gpointer user_data, GError **error);
/**
 * IqhubRfSatCallback:
 * @self: the object
 * @rssi: the power of the over-range bit period
 * @timestamp: the demodulator's raw sample counter at the report
 * @user_data: (closure): the data given with the callback
 * @error: the reason of a failure
 *
 * Returns: ignored
 */
typedef gboolean (*IqhubRfSatCallback)(Iqhub *self, gfloat rssi, guint32 timestamp,
                                       gpointer user_data, GError **error);

/**
 * iqhub_new:
 *
 * Returns: (transfer full): a new object
 */
IQHUB_EXPORT Iqhub *iqhub_new(void);
/* NULL-terminated list of construction property names and values. */
IQHUB_EXPORT Iqhub *iqhub_new_with_options(const gchar *first_property_name, ...);
/* Asks a pending write to stop (without waiting), then drops one reference. */
IQHUB_EXPORT void iqhub_unref(Iqhub *self);

/**
 * iqhub_set_frame_callback: (skip)
 *
 * The record-form and object-form frame callbacks share one user-data slot:
 * the last setter decides it. When both are set, the record form is used.
 * Each destroy function runs on its user data when the object is finalised,
 * never when its callback is replaced: replacing a callback hands the
 * previous user data back to the caller, who frees it. All three return
 * TRUE.
 */
IQHUB_EXPORT gboolean iqhub_set_frame_callback(Iqhub *self, IqhubFrameCallback callback,
                                               gpointer user_data, GDestroyNotify notify,
                                               GError **error);
/**
 * iqhub_set_frame_callback_gobject:
 * @callback: (scope notified) (closure user_data) (destroy notify) (nullable): receives each frame
 * as an object
 * @user_data: data for @callback
 * @notify: (nullable): releases @user_data when the object is finalised
 */
IQHUB_EXPORT gboolean iqhub_set_frame_callback_gobject(Iqhub *self,
                                                       IqhubFrameCallbackGObject callback,
                                                       gpointer user_data, GDestroyNotify notify,
                                                       GError **error);
/**
 * iqhub_set_rfsat_callback:
 * @callback: (scope notified) (closure user_data) (destroy notify) (nullable): receives each RF
 * saturation report
 * @user_data: data for @callback
 * @notify: (nullable): releases @user_data when the object is finalised
 */
IQHUB_EXPORT gboolean iqhub_set_rfsat_callback(Iqhub *self, IqhubRfSatCallback callback,
                                               gpointer user_data, GDestroyNotify notify,
                                               GError **error);

/**
 * iqhub_start:
 * @advised: (out) (optional): the write length to use, in bytes
 *
 * Binds the demodulator. *advised (when given) receives the write length to
 * use: a whole number of demodulator packets close to 15 ms of samples. A
 * started object returns TRUE at once and leaves *advised alone.
 */
IQHUB_EXPORT gboolean iqhub_start(Iqhub *self, gsize *advised, GError **error);
/* Aborts and waits for a pending write (iterating the default main context),
 * then releases the demodulator. TRUE at once on a stopped object. */
IQHUB_EXPORT gboolean iqhub_stop_sync(Iqhub *self, GError **error);

/**
 * iqhub_get_rate_counters:
 * @bit_rate: 100 or 600
 * @counters: (out caller-allocates): the counters of that rate
 *
 * Copies the counters of the frames of @bit_rate (100 or 600) into *counters;
 * another rate is refused with IQHUB_ERR_EINVAL.
 */
IQHUB_EXPORT gboolean iqhub_get_rate_counters(Iqhub *self, guint bit_rate,
                                              IqhubRateCounters *counters, GError **error);

/* Registers the library's trace names with the logger; once per process. */
IQHUB_EXPORT void iqhub_onload(void);

G_END_DECLS
