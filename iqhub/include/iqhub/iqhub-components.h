/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(IQHUB_INSIDE) && !defined(IQHUB_COMPILATION)
#error "Only <iqhub/iqhub.h> can be included directly."
#endif

#include <sys/time.h>
#include <vdem/vdem.h>
#include <iqhub/iqhub-export.h>
#include <iqhub/iqhub-object.h>

/* The object's components, one by one. The object calls them itself (each
 * component's _init, _dispose and _finalize in a fixed order); they are
 * exported for hosts and tests that drive a piece directly. */

G_BEGIN_DECLS

/* ---- Timestamp table: which write carried a sample id ----------------------- */

IQHUB_EXPORT gboolean iqhub_ts_init(Iqhub *self, GError **error);
/* Empties the table; the next sample id is 1. */
IQHUB_EXPORT gboolean iqhub_ts_reset(Iqhub *self, GError **error);
/* Empties the table and keeps the numbering. */
IQHUB_EXPORT gboolean iqhub_ts_clear(Iqhub *self, GError **error);
/**
 * iqhub_ts_bind: (skip)
 *
 * Gives the next @n sample ids the time value @tv; evicts the oldest entry
 * when the table holds "tsdepth" entries.
 */
IQHUB_EXPORT gboolean iqhub_ts_bind(Iqhub *self, guint32 n, struct timeval tv, GError **error);
/**
 * iqhub_ts_get: (skip)
 *
 * The time value of sample id @s; the numbering runs on 32 bits and wraps,
 * and an entry that spans the wrap matches its ids too.
 */
IQHUB_EXPORT gboolean iqhub_ts_get(Iqhub *self, sId_t s, struct timeval *tv, GError **error);
IQHUB_EXPORT void iqhub_ts_dispose(Iqhub *self);
IQHUB_EXPORT void iqhub_ts_finalize(Iqhub *self);

/* ---- Event queue: demodulator reports moved to the main context --------------- */

IQHUB_EXPORT gboolean iqhub_sched_init(Iqhub *self, GError **error);
/**
 * iqhub_sched_add: (skip)
 *
 * Queues a copy of a vdem_frame_cont_t (FCONT) or vdem_rfsat_t (RFSAT) and
 * schedules one idle dispatch on the default main context if none is
 * pending; the dispatch takes one event per main-loop iteration. Callable
 * from any thread. A frame queued (or processed) here gets the object's bit
 * rate: only the receiver's own reports tell a both-rates object's rates.
 */
IQHUB_EXPORT gboolean iqhub_sched_add(Iqhub *self, gconstpointer data, e_sched_evt_type type,
                                      GError **error);
/**
 * iqhub_sched_process_fcont: (skip)
 */
IQHUB_EXPORT void iqhub_sched_process_fcont(Iqhub *self, vdem_frame_cont_t *container);
IQHUB_EXPORT void iqhub_sched_clear(Iqhub *self);
IQHUB_EXPORT void iqhub_sched_dispose(Iqhub *self);
IQHUB_EXPORT void iqhub_sched_finalize(Iqhub *self);

/* ---- Demodulator binding ------------------------------------------------------ */

IQHUB_EXPORT gboolean iqhub_interface_init(Iqhub *self, GError **error);
IQHUB_EXPORT gboolean iqhub_interface_release(Iqhub *self, GError **error);
/**
 * iqhub_interface_send_iq:
 * @data: (array) (element-type guint8): @length complex samples
 * @length: the number of complex samples
 *
 * Posts one packet of @length complex samples.
 */
IQHUB_EXPORT gboolean iqhub_interface_send_iq(Iqhub *self, const guint8 *data, gsize length,
                                              GError **error);
IQHUB_EXPORT gboolean iqhub_cb_register(Iqhub *self, GError **error);
IQHUB_EXPORT gboolean iqhub_cb_register_rfsat(Iqhub *self, GError **error);
IQHUB_EXPORT gboolean iqhub_cb_unregister(Iqhub *self, GError **error);
/**
 * iqhub_cb_fcont: (skip)
 *
 * The demodulator's callbacks, with the object as user data.
 */
IQHUB_EXPORT void iqhub_cb_fcont(vdem_frame_cont_t *container, const void *user_data);
/**
 * iqhub_cb_rfsat_: (skip)
 */
IQHUB_EXPORT void iqhub_cb_rfsat_(vdem_rfsat_t *report, const void *user_data);
/**
 * iqhub_cb_error_: (skip)
 */
IQHUB_EXPORT void iqhub_cb_error_(vdem_error_t *record, const void *user_data);

/* ---- Writer set-up -------------------------------------------------------------- */

IQHUB_EXPORT gboolean iqhub_write_init(Iqhub *self, GError **error);
IQHUB_EXPORT void iqhub_write_dispose(Iqhub *self);
IQHUB_EXPORT void iqhub_write_finalize(Iqhub *self);

/* ---- Filter list set-up ----------------------------------------------------------- */

IQHUB_EXPORT gboolean iqhub_filter_init(Iqhub *self, GError **error);
IQHUB_EXPORT void iqhub_filter_dispose(Iqhub *self);
IQHUB_EXPORT void iqhub_filter_finalize(Iqhub *self);

/* ---- Error API: the demodulator's last refusal ------------------------------------ */

IQHUB_EXPORT gboolean iqhub_errapi_init(Iqhub *self, GError **error);
IQHUB_EXPORT gboolean iqhub_errapi_set_val(Iqhub *self, gint32 val, GError **error);
/**
 * iqhub_errapi:
 * @text: (array length=length) (element-type gchar): the text
 * @length: its length in bytes
 *
 * Keeps the reason of an "ERRAPI:reason\n..." text of @length bytes.
 */
IQHUB_EXPORT gboolean iqhub_errapi(Iqhub *self, const gchar *text, gsize length, GError **error);
IQHUB_EXPORT void iqhub_errapi_clear(Iqhub *self);
IQHUB_EXPORT gboolean iqhub_errapi_has_error(Iqhub *self);
/* A new string (g_free): the reason, or "[no error msg]". */
IQHUB_EXPORT gchar *iqhub_errapi_get_error(Iqhub *self);
IQHUB_EXPORT void iqhub_errapi_dispose(Iqhub *self);
IQHUB_EXPORT void iqhub_errapi_finalize(Iqhub *self);

/* ---- Text forms of the demodulator's records --------------------------------------- */

/**
 * iqhub_stringify_fdata: (skip)
 *
 * The FDATA_V1 line of @frame (whatever the locale); *out is freed with g_free.
 */
IQHUB_EXPORT gboolean iqhub_stringify_fdata(gchar **out, const vdem_proto_frame_t *frame,
                                            gboolean no_crc, GError **error);
/**
 * iqhub_stringify_error: (skip)
 *
 * "Error: <type> :: Msg: <msg>"; *out is freed with g_free.
 */
IQHUB_EXPORT gboolean iqhub_stringify_error(gchar **out, const vdem_error_t *record,
                                            GError **error);

G_END_DECLS
