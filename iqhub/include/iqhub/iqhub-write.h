/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(IQHUB_INSIDE) && !defined(IQHUB_COMPILATION)
#error "Only <iqhub/iqhub.h> can be included directly."
#endif

#include <sys/time.h>
#include <gio/gio.h>
#include <iqhub/iqhub-export.h>
#include <iqhub/iqhub-object.h>

G_BEGIN_DECLS

/* Largest write, in bytes (16 MiB). */
#define IQHUB_WRITE_BUFFER_SIZE 16777216

/**
 * iqhub_write_async: (skip)
 *
 * Copies @length bytes of I/Q (4 bytes per complex sample: signed 16-bit I
 * then Q, host byte order) and returns at once; the "iqWriter" thread gives
 * every sample of the buffer the time value @tv and posts it to the
 * demodulator, padding a last partial packet with zeros. Completion arrives
 * through @callback on the default main context; call iqhub_write_finish()
 * there. One write may be pending at a time. The whole buffer is always
 * taken: *used (when given) receives @length.
 */
IQHUB_EXPORT gboolean iqhub_write_async(Iqhub *self, gsize *used, const guint8 *buffer,
                                        gsize length, struct timeval tv, GCancellable *cancellable,
                                        GAsyncReadyCallback callback, gpointer user_data,
                                        GError **error);
/**
 * iqhub_write_async_tv:
 * @used: (out): @length
 * @buffer: (array length=length) (element-type guint8): I/Q samples
 * @length: their length in bytes
 * @timestamp: the time of the first sample, in seconds since the epoch
 * @cancellable: (nullable): not used
 * @callback: (scope async): receives the completion
 * @user_data: data for @callback
 *
 * The same with the time as seconds since the epoch; the fraction of a second
 * is dropped. @used must be given.
 */
IQHUB_EXPORT gboolean iqhub_write_async_tv(Iqhub *self, gsize *used, const guint8 *buffer,
                                           gsize length, gdouble timestamp,
                                           GCancellable *cancellable, GAsyncReadyCallback callback,
                                           gpointer user_data, GError **error);
IQHUB_EXPORT gboolean iqhub_write_finish(Iqhub *self, GAsyncResult *result, GError **error);
/* Stops a pending write before its next packet; it completes with "write
 * operation aborted". Does nothing without a pending write. */
IQHUB_EXPORT void iqhub_write_cancel(Iqhub *self);
/* iqhub_write_cancel(), then iterates the default main context until the
 * pending write has completed. */
IQHUB_EXPORT void iqhub_write_cancel_sync(Iqhub *self);
/**
 * iqhub_send_bytes:
 * @data: (array length=length) (element-type guint8): whole packets of I/Q samples
 * @length: their length in bytes
 *
 * Posts whole packets synchronously on the caller's thread; only on a started
 * object, and never while a write is pending.
 */
IQHUB_EXPORT gboolean iqhub_send_bytes(Iqhub *self, const guint8 *data, gsize length,
                                       GError **error);

G_END_DECLS
