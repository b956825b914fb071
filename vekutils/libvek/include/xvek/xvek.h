/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libxvek: USB access to the VEK radio card (scan, open, control requests,
 * I/Q stream, downlink channel) and the library's log and value helpers. */
#pragma once

#define XVEK_INSIDE
#include <xvek/xvek-export.h>
#include <xvek/vek_types.h>
#include <xvek/xvek_error.h>

G_BEGIN_DECLS

/* ---- Device object ---------------------------------------------------- */

#define XVEK_TYPE_DEVICE (xvek_device_get_type())
XVEK_EXPORT G_DECLARE_DERIVABLE_TYPE(VekDevice, xvek_device, XVEK, DEVICE, GObject)

struct _VekDeviceClass {
    GObjectClass parent_class;
};

typedef enum {
    XVEK_PROP_ID = 1,
    XVEK_PROP_ENUM_MAX = 2,
} VekDeviceProperties;

/**
 * xvek_device_new_with_mode:
 * @pVek: (out) (transfer full): the opened card
 *
 * Opens card @xvek_device_id with the components of @mode; *pVek receives a
 * new reference (g_object_unref releases the card). Refused from a stream or
 * disconnection callback (libusb holds its device list while it runs them).
 * The last reference may be dropped there: the card is then released by a
 * thread of the library once the callback has returned (no callback sees the
 * object again), and a later open waits for that release.
 */
XVEK_EXPORT gboolean xvek_device_new_with_mode(guint32 xvek_device_id, VektypeOpenMode mode,
                                               VekDevice **pVek, GError **error);
/**
 * xvek_device_new:
 * @pVek: (out) (transfer full): the opened card
 *
 * Same with XVEK_OPEN_MODE_ALL, which needs the TX channel.
 */
XVEK_EXPORT gboolean xvek_device_new(guint32 xvek_device_id, VekDevice **pVek, GError **error);

/**
 * xvek_grab_device: (method)
 *
 * Brings up the components of a constructed device object.
 */
XVEK_EXPORT gboolean xvek_grab_device(VekDevice *self, VektypeOpenMode mode, GError **error);
/**
 * xvek_release_device: (method)
 *
 * Brings them down.
 */
XVEK_EXPORT void xvek_release_device(VekDevice *self);

/**
 * xvek_set_disconnection_callback: (method)
 * @callback: (scope notified) (closure user_data) (destroy notify) (nullable): run on the USB event
 * thread
 * @user_data: data for @notify
 * @notify: (nullable): releases @user_data
 *
 * One process-wide disconnection callback; the last registration wins. The
 * device is not referenced (the callback gets NULL once it is finalised).
 * Reports through the result only.
 */
XVEK_EXPORT gboolean xvek_set_disconnection_callback(VekDevice *self,
                                                     VekDisconnectionCallback callback,
                                                     gpointer user_data, GDestroyNotify notify,
                                                     GError **error);
XVEK_EXPORT gboolean xvek_callDisconnectionCb(void);

/* ---- Scan --------------------------------------------------------------- */

/**
 * xvek_scan_get_device_nb:
 * @pnb: (out): the number of supported cards
 */
XVEK_EXPORT gboolean xvek_scan_get_device_nb(guint32 *pnb, GError **error);
/**
 * xvek_scan_print_info_all:
 * @pprint: (out) (transfer full): a description of every card
 */
XVEK_EXPORT gboolean xvek_scan_print_info_all(gchar **pprint, GError **error);
/**
 * xvek_scan_get_first_device_id:
 * @p_id: (out): the id of the first card
 */
XVEK_EXPORT gboolean xvek_scan_get_first_device_id(guint32 *p_id, GError **error);
/**
 * xvek_scan_print_info_device:
 * @pprint: (out) (transfer full): a description of the card
 */
XVEK_EXPORT gboolean xvek_scan_print_info_device(guint32 id, gchar **pprint, GError **error);

/* ---- Control requests ----------------------------------------------------- */

/* Each is one control transfer that the calling thread waits for; a card that
 * does not answer within 5 s fails it with libusb's timeout error
 * (LIBUSB_ERROR_TIMEOUT). The library's USB event thread completes it, so the
 * waiting thread never runs a stream or disconnection callback; from inside
 * such a callback (on that thread) a request fails with LIBUSB_ERROR_BUSY. */

/**
 * xvek_ctrl_ping: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_ping(VekDevice *self, GError **error);
/**
 * xvek_ctrl_uptime: (method)
 * @uptime: (out)
 *
 * Tenths of a second since the card started.
 */
XVEK_EXPORT gboolean xvek_ctrl_uptime(VekDevice *self, guint32 *uptime, GError **error);
/**
 * xvek_ctrl_swinfo: (method)
 * @info: (out) (transfer full)
 */
XVEK_EXPORT gboolean xvek_ctrl_swinfo(VekDevice *self, gchar **info, GError **error);
/**
 * xvek_ctrl_hwinfo: (method)
 * @info: (out) (transfer full)
 */
XVEK_EXPORT gboolean xvek_ctrl_hwinfo(VekDevice *self, gchar **info, GError **error);
/**
 * xvek_ctrl_cf_set: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_cf_set(VekDevice *self, guint32 freq, VektypeCtlMode mode,
                                      GError **error);
/**
 * xvek_ctrl_cf_get: (method)
 * @freq: (out)
 */
XVEK_EXPORT gboolean xvek_ctrl_cf_get(VekDevice *self, guint32 *freq, VektypeCtlMode mode,
                                      GError **error);
/**
 * xvek_ctrl_if_set: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_if_set(VekDevice *self, guint32 freq, GError **error);
/**
 * xvek_ctrl_if_get: (method)
 * @freq: (out)
 */
XVEK_EXPORT gboolean xvek_ctrl_if_get(VekDevice *self, guint32 *freq, GError **error);
/**
 * xvek_ctrl_xf_set: (method)
 *
 * Crystal frequency in tenths of Hz.
 */
XVEK_EXPORT gboolean xvek_ctrl_xf_set(VekDevice *self, guint32 freq, GError **error);
/**
 * xvek_ctrl_xf_get: (method)
 * @freq: (out)
 */
XVEK_EXPORT gboolean xvek_ctrl_xf_get(VekDevice *self, guint32 *freq, GError **error);
/**
 * xvek_ctrl_synth_get: (method)
 * @synth: (out)
 */
XVEK_EXPORT gboolean xvek_ctrl_synth_get(VekDevice *self, VektypeCtlSynth *synth, GError **error);
/**
 * xvek_ctrl_eeprom_save: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_eeprom_save(VekDevice *self, GError **error);
/**
 * xvek_ctrl_eeprom_factory_reset: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_eeprom_factory_reset(VekDevice *self, GError **error);
/**
 * xvek_ctrl_error_get_last: (method)
 * @perror: (out)
 *
 * Pops one code of the card's error stack (0: none left).
 */
XVEK_EXPORT gboolean xvek_ctrl_error_get_last(VekDevice *self, guint32 *perror, GError **error);
/**
 * xvek_ctrl_error_get_all: (method)
 * @perrorArray: (out) (array length=arrayLen) (transfer full)
 * @arrayLen: (out)
 *
 * Drains the error stack (at most 256 codes) into a new array (g_free).
 */
XVEK_EXPORT gboolean xvek_ctrl_error_get_all(VekDevice *self, guint32 **perrorArray,
                                             guint32 *arrayLen, GError **error);
/**
 * xvek_ctrl_temperature_get: (method)
 * @ptemp: (out)
 *
 * Tenths of a degree Celsius.
 */
XVEK_EXPORT gboolean xvek_ctrl_temperature_get(VekDevice *self, gint32 *ptemp, GError **error);
/**
 * xvek_ctrl_pa_set: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_pa_set(VekDevice *self, VektypePreampId pa_id,
                                      VektypePreampMode pa_mode, GError **error);
/**
 * xvek_ctrl_pa_get: (method)
 * @pa_mode: (out)
 */
XVEK_EXPORT gboolean xvek_ctrl_pa_get(VekDevice *self, VektypePreampId pa_id,
                                      VektypePreampMode *pa_mode, GError **error);
/**
 * xvek_ctrl_mode_get: (method)
 * @mode: (out)
 */
XVEK_EXPORT gboolean xvek_ctrl_mode_get(VekDevice *self, VektypeCtlMode *mode, GError **error);
/**
 * xvek_ctrl_mode_set: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_mode_set(VekDevice *self, VektypeCtlMode mode, GError **error);
/**
 * xvek_ctrl_loopback_get: (method)
 * @lb: (out)
 */
XVEK_EXPORT gboolean xvek_ctrl_loopback_get(VekDevice *self, VektypeCtlLoopback *lb,
                                            GError **error);
/**
 * xvek_ctrl_loopback_set: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_loopback_set(VekDevice *self, VektypeCtlLoopback lb, GError **error);
/**
 * xvek_ctrl_volume_set: (method)
 *
 * TX level; only XVEK_CTL_MODE_TX is accepted.
 */
XVEK_EXPORT gboolean xvek_ctrl_volume_set(VekDevice *self, VektypeCtlMode mode, gint32 volume,
                                          GError **error);
/**
 * xvek_ctrl_volume_get: (method)
 * @volume: (out)
 */
XVEK_EXPORT gboolean xvek_ctrl_volume_get(VekDevice *self, VektypeCtlMode mode, gint32 *volume,
                                          GError **error);
/**
 * xvek_ctrl_raw_usb_send: (skip)
 *
 * Raw requests: @data holds f.wL bytes.
 */
XVEK_EXPORT gboolean xvek_ctrl_raw_usb_send(VekDevice *self, VektypeStructUsbFmap f,
                                            const guint8 *data, GError **error);
/**
 * xvek_ctrl_raw_usb_recv: (skip)
 */
XVEK_EXPORT gboolean xvek_ctrl_raw_usb_recv(VekDevice *self, VektypeStructUsbFmap f, guint8 **data,
                                            GError **error);
/**
 * xvek_ctrl_raw_usb_recv_full: (skip)
 *
 * The same, and *received gets the number of bytes the card answered, which may
 * be fewer than f.wL (the rest of the buffer is zero).
 */
XVEK_EXPORT gboolean xvek_ctrl_raw_usb_recv_full(VekDevice *self, VektypeStructUsbFmap f,
                                                 guint8 **data, guint16 *received, GError **error);
/**
 * xvek_ctrl_hop_start: (method)
 * @table: (array length=table_len): the hop frequencies
 * @table_len: their number
 */
XVEK_EXPORT gboolean xvek_ctrl_hop_start(VekDevice *self, const guint32 *table, gsize table_len,
                                         guint32 duration, guint32 gap, GError **error);
/**
 * xvek_ctrl_hop_stop: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_hop_stop(VekDevice *self, GError **error);
/**
 * xvek_ctrl_lbt_cfg_set: (method)
 */
XVEK_EXPORT gboolean xvek_ctrl_lbt_cfg_set(VekDevice *self, guint32 cs_max, guint32 cs_min,
                                           guint32 tsmpl, guint32 thresh, GError **error);

/* ---- Value helpers ------------------------------------------------------- */

XVEK_EXPORT const gchar *xvek_hlp_mode_to_str(VektypeCtlMode mode);
XVEK_EXPORT VektypeCtlMode xvek_hlp_str_to_mode(const gchar *str);
XVEK_EXPORT VektypeStreamRate xvek_hlp_uint_to_rate(guint32 rate);
XVEK_EXPORT gint xvek_hlp_preampid_to_int(VektypePreampId id);
XVEK_EXPORT VektypePreampId xvek_hlp_int_to_preampid(gint id);
XVEK_EXPORT const gchar *xvek_hlp_preampmode_to_str(VektypePreampMode mode);
XVEK_EXPORT VektypePreampMode xvek_hlp_str_to_preampmode(const gchar *str);
XVEK_EXPORT const gchar *xvek_hlp_synth_to_str(VektypeCtlSynth synth);
XVEK_EXPORT VektypeStreamBitwidth xvek_hlp_uint_to_bw(guint32 bw);
XVEK_EXPORT VektypeStreamNbChannel xvek_hlp_uint_to_nbch(guint32 nbch);
XVEK_EXPORT const gchar *xvek_hlp_loopback_to_str(VektypeCtlLoopback lb);
XVEK_EXPORT VektypeCtlLoopback xvek_hlp_str_to_loopback(const gchar *str);
/* New texts the caller frees with g_free(). */
XVEK_EXPORT gchar *xvek_hlp_pprint_hwstats(const VektypeStructHwStats *stats);
XVEK_EXPORT gchar *xvek_hlp_get_package_info_string(void);

/* ---- Library log ----------------------------------------------------------- */

/* Formats "TAG: message" and hands it to the registered callback; TRUE when
 * a line reached the callback. Never allocates. */
XVEK_EXPORT gboolean xvek_log(VekKvrlogLevel level, const gchar *format, ...) G_GNUC_PRINTF(2, 3);
/**
 * xvek_logSetCB: (method)
 * @cbFunc: (scope notified) (closure user_data) (destroy notify) (nullable): receives every line,
 * on the thread that logged it
 * @user_data: data for @notify
 * @notify: (nullable): releases @user_data
 *
 * Registers the process-wide log callback; a later call replaces it.
 */
XVEK_EXPORT gboolean xvek_logSetCB(VekDevice *self, VeklogCb cbFunc, gpointer user_data,
                                   GDestroyNotify notify, GError **error);
/**
 * xvek_log_is_init: (method)
 */
XVEK_EXPORT gboolean xvek_log_is_init(VekDevice *self);

G_END_DECLS

#include <xvek/xvek_data.h>
#include <xvek/xvek_dl.h>
#undef XVEK_INSIDE
