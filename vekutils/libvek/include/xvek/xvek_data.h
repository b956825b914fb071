/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* I/Q data streams of an opened card: configure, start with callbacks, stop,
 * statistics. Only the RX direction is available on this card interface; the
 * TX entry points keep their final signatures and fail. */
#pragma once

#if !defined(XVEK_INSIDE) && !defined(XVEK_COMPILATION)
#error "Only <xvek/xvek.h> can be included directly."
#endif

#include <sys/time.h>

#include <glib.h>
#include <xvek/xvek-export.h>
#include <xvek/vek_types.h>

G_BEGIN_DECLS

/**
 * xvek_rx_configure: (method)
 *
 * Sets the sample stream: @buffer milliseconds of buffering, @ratio its
 * threshold divisor, the sample rate and width; only little-endian, two
 * channels. Refused while the stream runs.
 */
XVEK_EXPORT gboolean xvek_rx_configure(VekDevice *self, guint32 buffer, guint32 ratio,
                                       VektypeStreamRate rate, VektypeStreamAccessType access_type,
                                       VektypeStreamBitwidth bit, VektypeStreamEndian end,
                                       VektypeStreamNbChannel chan, GError **error);
/**
 * xvek_tx_configure: (method)
 */
XVEK_EXPORT gboolean xvek_tx_configure(VekDevice *self, guint32 buffer, guint32 ratio,
                                       VektypeStreamRate rate, VektypeStreamAccessType access_type,
                                       VektypeStreamBitwidth bit, VektypeStreamEndian end,
                                       VektypeStreamNbChannel chan, GError **error);
/**
 * xvek_tx_configure_lbt: (method)
 */
XVEK_EXPORT gboolean xvek_tx_configure_lbt(VekDevice *self, guint32 buffer, guint32 ratio,
                                           VektypeStreamRate rate,
                                           VektypeStreamAccessType access_type,
                                           VektypeStreamBitwidth bit, VektypeStreamEndian end,
                                           VektypeStreamNbChannel chan, guint32 lbt_cs_max,
                                           guint32 lbt_cs_min, guint32 lbt_tsmpl,
                                           guint32 lbt_thresh, GError **error);

/**
 * xvek_rx_get_stats: (method)
 * @stats: (out caller-allocates)
 */
XVEK_EXPORT gboolean xvek_rx_get_stats(VekDevice *self, VektypeStructHwStats *stats,
                                       GError **error);
/**
 * xvek_tx_get_stats: (method)
 * @stats: (out caller-allocates)
 */
XVEK_EXPORT gboolean xvek_tx_get_stats(VekDevice *self, VektypeStructHwStats *stats,
                                       GError **error);

/**
 * xvek_rx_start_full_cb: (skip)
 *
 * Starts the RX stream. @callback then runs on the library's USB event thread,
 * and on no other thread (not even one waiting in a control request or a
 * downlink send), once per received block of up to 8192 bytes (valid only during the call);
 * an error it sets is logged and the stream goes on. @notify runs on
 * @user_data when the stream is stopped. @tv_start is accepted and unused.
 */
XVEK_EXPORT gboolean xvek_rx_start_full_cb(VekDevice *self, VekDeviceRxCB callback,
                                           gpointer user_data, VekDeviceErrCB err_callback,
                                           gpointer err_data, const struct timeval *tv_start,
                                           GDestroyNotify notify, GError **error);
/**
 * xvek_rx_start: (method)
 * @callback: (scope notified) (closure user_data) (destroy notify): run on the USB event thread
 * @user_data: data for @callback
 * @notify: (nullable): releases @user_data once the stream stopped
 */
XVEK_EXPORT gboolean xvek_rx_start(VekDevice *self, VekDeviceRxCB callback, gpointer user_data,
                                   GDestroyNotify notify, GError **error);
/**
 * xvek_rx_start_full: (skip)
 */
XVEK_EXPORT gboolean xvek_rx_start_full(VekDevice *self, VekDeviceRxCB callback,
                                        VekDeviceErrCB err_callback, gpointer user_data,
                                        GDestroyNotify notify, GError **error);
/**
 * xvek_rx_stop: (method)
 *
 * Stops the RX stream; when it returns no callback runs any more. Must not be
 * called from a data or disconnection callback.
 */
XVEK_EXPORT gboolean xvek_rx_stop(VekDevice *self, GError **error);

/**
 * xvek_tx_start_full_cb: (skip)
 */
XVEK_EXPORT gboolean xvek_tx_start_full_cb(VekDevice *self, VekDeviceTxCB callback,
                                           gpointer user_data, VekDeviceErrCB err_callback,
                                           gpointer err_data, const struct timeval *tv_start,
                                           GDestroyNotify notify, GError **error);
/**
 * xvek_tx_start: (method)
 * @callback: (scope notified) (closure user_data) (destroy notify): run on the USB event thread
 * @user_data: data for @callback
 * @notify: (nullable): releases @user_data once the stream stopped
 */
XVEK_EXPORT gboolean xvek_tx_start(VekDevice *self, VekDeviceTxCB callback, gpointer user_data,
                                   GDestroyNotify notify, GError **error);
/**
 * xvek_tx_start_gir: (skip)
 */
XVEK_EXPORT gboolean xvek_tx_start_gir(VekDevice *self, VekDeviceTxAvail callback,
                                       VekDeviceErrCB err_callback, gpointer user_data,
                                       GDestroyNotify notify, GError **error);
/**
 * xvek_tx_twotime_start_prepare: (skip)
 */
XVEK_EXPORT gboolean xvek_tx_twotime_start_prepare(VekDevice *self, VekDeviceTxAvail callback,
                                                   VekDeviceErrCB err_callback, gpointer user_data,
                                                   GDestroyNotify notify, GError **error);
/**
 * xvek_tx_twotime_start_go: (method)
 */
XVEK_EXPORT gboolean xvek_tx_twotime_start_go(VekDevice *self, GError **error);
/**
 * xvek_tx_write: (method)
 * @buffer: (array length=buflen): the samples
 * @buflen: their length in bytes
 */
XVEK_EXPORT gboolean xvek_tx_write(VekDevice *self, const guint8 *buffer, gsize buflen,
                                   GError **error);
/**
 * xvek_tx_stop: (method)
 */
XVEK_EXPORT gboolean xvek_tx_stop(VekDevice *self, GError **error);

G_END_DECLS
