/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Value types of the VEK card device library: control values, stream
 * parameters, records exchanged with the card and the callback types. */
#pragma once

#if !defined(XVEK_INSIDE) && !defined(XVEK_COMPILATION)
#error "Only <xvek/xvek.h> can be included directly."
#endif

#include <glib.h>
#include <glib-object.h>

G_BEGIN_DECLS

typedef struct _VekDevice VekDevice;

/* Level of a library log line. */
typedef enum {
    LOG_LEVEL_DEBUG = 0,
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_ERR = 3,
    LOG_LEVEL_UNK = 4,
} VekKvrlogLevel;

/* Radio mode; also the direction of a data channel. */
typedef enum {
    XVEK_CTL_MODE_RX = 0,
    XVEK_CTL_MODE_TX = 1,
    XVEK_CTL_MODE_LBT = 2,
    XVEK_CTL_MODE_MAX = 3,
} VektypeCtlMode;

typedef enum {
    XVEK_CTL_PREAMP_ID_VAL0 = 0,
    XVEK_CTL_PREAMP_ID_VAL1 = 1,
    XVEK_CTL_PREAMP_ID_VAL2 = 2,
    XVEK_CTL_PREAMP_ID_VALMAX = 3,
} VektypePreampId;

/* XVEK_CTL_PREAMP_MODE_MAX doubles as "unknown". */
typedef enum {
    XVEK_CTL_PREAMP_MODE_LNA = 0,
    XVEK_CTL_PREAMP_MODE_BYPASS = 1,
    XVEK_CTL_PREAMP_MODE_ATTEN = 2,
    XVEK_CTL_PREAMP_MODE_MAX = 3,
} VektypePreampMode;

typedef enum {
    XVEK_CTL_SYNTH_HIT = 0,
    XVEK_CTL_SYNTH_PRY = 1,
    XVEK_CTL_SYNTH_MAX = 2,
} VektypeCtlSynth;

typedef enum {
    XVEK_CTL_LOOPBACK_OFF = 0,
    XVEK_CTL_LOOPBACK_ON = 1,
    XVEK_CTL_LOOPBACK_MAX = 2,
} VektypeCtlLoopback;

typedef enum {
    XVEK_CTL_LBT_OFF = 0,
    XVEK_CTL_LBT_ON = 1,
    XVEK_CTL_LBT_FAIL = 2,
    XVEK_CTL_LBT_MAX = 3,
} VektypeCtlLbt;

/* Which components an open brings up. */
typedef enum {
    XVEK_OPEN_MODE_ALL = 0,
    XVEK_OPEN_MODE_CTL_ONLY = 1,
    XVEK_OPEN_MODE_NO_TX = 2,
    XVEK_OPEN_MODE_NO_RX = 3,
    XVEK_OPEN_MODE_RX_DL = 4,
    XVEK_OPEN_MODE_DL = 5,
} VektypeOpenMode;

typedef enum {
    XVEK_STREAM_RATE_VAL48K = 48000,
    XVEK_STREAM_RATE_VAL192K = 192000,
    XVEK_STREAM_RATE_VALUNSUPPORTED = 192001,
} VektypeStreamRate;

typedef enum {
    XVEK_STREAM_BITWIDTH_VALUNSUPPORTED = 0,
    XVEK_STREAM_BITWIDTH_VAL8 = 8,
    XVEK_STREAM_BITWIDTH_VAL16 = 16,
    XVEK_STREAM_BITWIDTH_VAL24 = 24,
    XVEK_STREAM_BITWIDTH_VAL32 = 32,
} VektypeStreamBitwidth;

typedef enum {
    XVEK_STREAM_ENDIAN_UNSUPPORTED = 0,
    XVEK_STREAM_ENDIAN_LE = 1,
    XVEK_STREAM_ENDIAN_BE = 2,
} VektypeStreamEndian;

typedef enum {
    XVEK_STREAM_ACCESS_TYPE_RW = 0,
    XVEK_STREAM_ACCESS_TYPE_MM = 1,
    XVEK_STREAM_ACCESS_TYPE_UNSUPPORTED = 2,
} VektypeStreamAccessType;

typedef enum {
    XVEK_STREAM_NB_CHANNEL_VALUNSUPPORTED = 0,
    XVEK_STREAM_NB_CHANNEL_VAL1 = 1,
    XVEK_STREAM_NB_CHANNEL_VAL2 = 2,
} VektypeStreamNbChannel;

/* One raw control request: request type 0..3 (standard, class, vendor,
 * reserved), recipient 0..3 (device, interface, endpoint, other). */
typedef struct {
    guint8 bmRT_type;
    guint8 bmRT_recip;
    guint8 bR;
    guint16 wV;
    guint16 wI;
    guint16 wL;
} VektypeStructUsbFmap;

/* Listen-before-talk parameters (microseconds and detection threshold). */
typedef struct {
    guint32 cs_max_us;
    guint32 cs_min_us;
    guint32 tsmpl_us;
    guint32 threshold;
} VektypeStructLbtCfg;

typedef struct {
    guint64 fifo_ms_xfer;
    guint64 fifo_ms_xrun;
    guint64 hw_count_xfer;
    guint64 hw_count_error;
    guint64 hw_ms_xrun;
    guint64 hw_count_cuts;
} VektypeStructHwStats;

typedef struct {
    gchar name[256];
    gchar card[256];
    gchar path[256];
    gchar desc[256];
    gchar prod[256];
    gchar mfr[256];
    gchar sn[256];
} VektypeStructDeviceInfo;

/* Data callbacks; the bytes handed in are valid only during the call. */
/**
 * VekDeviceRxCB:
 * @owner: the card
 * @buffer: (array length=length) (element-type guint8): received samples
 * @length: their length in bytes
 * @user_data: (closure): the data given with the callback
 * @error: an error to log; the stream goes on
 */
typedef gboolean (*VekDeviceRxCB)(VekDevice *owner, const guint8 *buffer, gsize length,
                                  gpointer user_data, GError **error);
/**
 * VekDeviceTxCB:
 * @owner: the card
 * @buffer: (array length=length) (element-type guint8): room for samples to send
 * @length: its length in bytes
 * @count: (out): the number of bytes written into @buffer
 * @user_data: (closure): the data given with the callback
 * @error: the reason of a failure
 */
typedef gboolean (*VekDeviceTxCB)(VekDevice *owner, guint8 *buffer, gsize length, gint *count,
                                  gpointer user_data, GError **error);
typedef gboolean (*VekDeviceTxAvail)(VekDevice *owner, gsize available, gpointer user_data,
                                     GError **error);
typedef gboolean (*VekDeviceErrCB)(VekDevice *owner, gpointer err_data, GError **error);

typedef struct {
    VekDeviceRxCB rx;
    VekDeviceTxCB tx;
    VekDeviceTxAvail tx_avail;
} VekDeviceUserCB;

/* Receives every line of the library log; runs on the thread that logged. */
typedef gboolean (*VeklogCb)(VekDevice *device, const gchar *line);

/**
 * VekDisconnectionCallback:
 * @device: (nullable): the card, or NULL once its object is finalised
 * @error: the reason of a failure
 *
 * Called on the USB event thread when a streaming card disappears.
 */
typedef gboolean (*VekDisconnectionCallback)(VekDevice *device, GError **error);

G_END_DECLS
