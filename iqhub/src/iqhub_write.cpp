/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The writer: the host's I/Q buffers are copied into a working buffer and
 * posted to the demodulator by the "iqWriter" thread; completion comes back
 * through a GTask on the default main context. */
#include <cmath>
#include <cstring>
#include <utility>

#include "iqhub-private.h"

namespace
{

void set_flag(std::atomic<gint32> &flag, gint32 value)
{
    flag.store(value, std::memory_order_seq_cst);
}

/* Posts one write: its sample ids receive its time value first, then the
 * packets go to the demodulator, a last partial packet padded with zeros. */
void post_write(Iqhub *self, IqhubPrivate *priv, const guint8 *buffer, gsize datalen,
                const struct timeval &tv, GError **error)
{
    if (!priv->started) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_NOT_RUNNING,
                    "component must be started before writing");
        return;
    }
    if (buffer == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "invalid pointer");
        return;
    }
    const gsize packet = priv->iq_size_bytes;
    const gsize rest = datalen % packet;
    if (rest == 0) {
        iqhub_ts_bind(self, static_cast<guint32>(datalen / priv->bpsp), tv, nullptr);
        iqhub_send_bytes(self, buffer, datalen, error);
        return;
    }
    g_autofree guint8 *padding = static_cast<guint8 *>(g_try_malloc0(packet));
    if (padding == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_OOM, "failed to allocate padding buffer");
        return;
    }
    const gsize whole = datalen - rest;
    std::memcpy(padding, buffer + whole, rest);
    /* The bound range covers the zeros too: the demodulator counts them. */
    iqhub_ts_bind(self, static_cast<guint32>((whole + packet) / priv->bpsp), tv, nullptr);
    if (iqhub_send_bytes(self, buffer, whole, error))
        iqhub_send_bytes(self, padding, packet, error);
}

gboolean complete_write(gpointer data)
{
    Iqhub *self = IQHUB_IQHUB(data);
    writer &w = iqhub_priv(self)->writer;
    if (!w.completed.exchange(false, std::memory_order_acquire))
        return FALSE;
    GTask *task = w.task;
    if (task != nullptr) {
        if (w.taskerror != nullptr)
            g_task_return_error(task, std::exchange(w.taskerror, nullptr));
        else
            g_task_return_boolean(task, TRUE);
        w.task = nullptr;
        /* The task holds the object: this may be its last reference. */
        g_object_unref(task);
    }
    return FALSE;
}

gpointer writer_loop(gpointer data)
{
    Iqhub *self = static_cast<Iqhub *>(data);
    IqhubPrivate *priv = iqhub_priv(self);
    writer &w = priv->writer;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(w.condwaitmutex);
            w.dataready.wait(lock, [&w] { return w.go; });
            w.go = false;
        }
        if (w.quit.load())
            break;
        GTask *task = w.task;
        g_autoptr(GError) error = nullptr;
        post_write(self, priv, w.buffer, w.datalen, w.tv, &error);
        if (task != nullptr) {
            w.taskerror = std::exchange(error, nullptr);
            w.completed.store(true, std::memory_order_release);
            iqhub_wakeup_signal(w.completion);
        }
        if (w.quit.load())
            break;
    }
    return nullptr;
}

gboolean write_async(Iqhub *self, gsize *used, const guint8 *buffer, gsize length,
                     const struct timeval &tv, GCancellable *cancellable,
                     GAsyncReadyCallback callback, gpointer user_data, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, "iqhub_write_async");
    writer &w = priv->writer;
    if (length > w.buflen) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EAGAIN,
                    "data length (%" G_GSIZE_FORMAT
                    "B) larger than available buffer ( %" G_GSIZE_FORMAT "B)",
                    length, w.buflen);
        return FALSE;
    }
    if (w.task != nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EAGAIN,
                    "write is already pending, wait completion");
        return FALSE;
    }
    if (w.gthread == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_NOT_RUNNING, "writer thread is not running");
        return FALSE;
    }
    if (length > 0 && buffer == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "invalid pointer");
        return FALSE;
    }
    set_flag(w.abort, 0);
    w.task = g_task_new(self, cancellable, callback, user_data);
    g_task_set_source_tag(w.task, reinterpret_cast<gpointer>(iqhub_write_async));
    if (length > 0)
        std::memcpy(w.buffer, buffer, length);
    w.datalen = length;
    w.tv = tv;
    if (used != nullptr)
        *used = length;
    {
        std::lock_guard<std::mutex> lock(w.condwaitmutex);
        w.go = true;
    }
    w.dataready.notify_one();
    return TRUE;
}

} // namespace

extern "C" {

IQHUB_EXPORT gboolean iqhub_write_async(Iqhub *self, gsize *used, const guint8 *buffer,
                                        gsize length, struct timeval tv, GCancellable *cancellable,
                                        GAsyncReadyCallback callback, gpointer user_data,
                                        GError **error)
{
    return write_async(self, used, buffer, length, tv, cancellable, callback, user_data, error);
}

IQHUB_EXPORT gboolean iqhub_write_async_tv(Iqhub *self, gsize *used, const guint8 *buffer,
                                           gsize length, gdouble timestamp,
                                           GCancellable *cancellable, GAsyncReadyCallback callback,
                                           gpointer user_data, GError **error)
{
    if (used == nullptr || buffer == nullptr || iqhub_priv(self) == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR, "null ptr");
        return FALSE;
    }
    /* Whole seconds on 64 bits: a time value lives past 2038. */
    const gdouble seconds = std::trunc(timestamp);
    if (!std::isfinite(seconds) || seconds < -9.2e18 || seconds > 9.2e18) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "invalid time value %g", timestamp);
        return FALSE;
    }
    struct timeval tv = {};
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = 0;
    return write_async(self, used, buffer, length, tv, cancellable, callback, user_data, error);
}

IQHUB_EXPORT gboolean iqhub_write_finish(Iqhub *self, GAsyncResult *result, GError **error)
{
    if (!g_task_is_valid(result, self)) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "%s: invalid handle", __func__);
        return FALSE;
    }
    return g_task_propagate_boolean(G_TASK(result), error);
}

IQHUB_EXPORT void iqhub_write_cancel(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv != nullptr && priv->writer.task != nullptr)
        set_flag(priv->writer.abort, 1);
}

IQHUB_EXPORT void iqhub_write_cancel_sync(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return;
    iqhub_write_cancel(self);
    while (priv->writer.task != nullptr)
        g_main_context_iteration(priv->writer.gmc, TRUE);
}

IQHUB_EXPORT gboolean iqhub_send_bytes(Iqhub *self, const guint8 *data, gsize length,
                                       GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr || data == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "invalid pointer");
        return FALSE;
    }
    const gsize packet = priv->iq_size_bytes;
    if (packet == 0) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_NOT_RUNNING,
                    "component must be started before writing");
        return FALSE;
    }
    if (length % packet != 0) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL,
                    "data length (%" G_GSIZE_FORMAT "B) must be a iq_size multiple (%dB)", length,
                    static_cast<gint>(packet));
        return FALSE;
    }
    for (gsize offset = 0; offset < length; offset += packet) {
        gint32 expected = 1;
        if (priv->writer.abort.compare_exchange_strong(expected, 0)) {
            g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_STOPPED, "write operation aborted");
            return FALSE;
        }
        if (!iqhub_interface_send_iq(self, data + offset, priv->iq_size, error))
            return FALSE;
    }
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_write_init(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    writer &w = priv->writer;
    if (w.gthread != nullptr)
        return TRUE;
    w.buffer = static_cast<guint8 *>(g_try_malloc0(IQHUB_WRITE_BUFFER_SIZE));
    if (w.buffer == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_OOM,
                    "writer thread: can't alloc working buffer");
        return FALSE;
    }
    w.buflen = IQHUB_WRITE_BUFFER_SIZE;
    w.datalen = 0;
    w.tv = {};
    w.abort.store(0);
    w.quit.store(0);
    w.task = nullptr;
    w.taskerror = nullptr;
    w.go = false;
    w.gmc = g_main_context_default();
    w.completion = iqhub_wakeup_new(complete_write, self, "iqhub write completion");
    w.gthread = g_thread_try_new("iqWriter", writer_loop, self, error);
    if (w.gthread == nullptr) {
        iqhub_wakeup_free(&w.completion);
        g_clear_pointer(&w.buffer, g_free);
        w.buflen = 0;
        return FALSE;
    }
    return TRUE;
}

IQHUB_EXPORT void iqhub_write_dispose(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return;
    writer &w = priv->writer;
    if (w.gthread == nullptr)
        return;
    set_flag(w.quit, 1);
    set_flag(w.abort, 1);
    {
        std::lock_guard<std::mutex> lock(w.condwaitmutex);
        w.go = true;
    }
    w.dataready.notify_one();
    g_thread_join(w.gthread);
    w.gthread = nullptr;
    iqhub_wakeup_free(&w.completion);
    g_clear_pointer(&w.buffer, g_free);
    w.buflen = 0;
}

IQHUB_EXPORT void iqhub_write_finalize(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv != nullptr && priv->writer.taskerror != nullptr)
        g_clear_error(&priv->writer.taskerror);
}

} // extern "C"
