/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Bringing the components of one opened card up and down. */
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>

#include "bottom.h"
#include "ustream.h"
#include "xvek_priv.h"

namespace
{

/* Cards whose object was finalised on the USB event thread are released by a
 * thread of their own (see xvek_release_device); an open waits for them, so
 * that it finds the card's interfaces free again. */
struct ReleaseSync {
    std::mutex lock;
    std::condition_variable done;
    guint pending = 0;
};

/* Never destroyed: a release thread may still be returning from its signal
 * while the process exits and runs the destructors of statics. */
ReleaseSync &release_sync()
{
    static auto *sync = new ReleaseSync;
    return *sync;
}

void release_components(VekDevicePrivate *priv)
{
    xvek_dl_release(priv);
    xvek_data_release(priv);
    xvek_ctrl_release(priv);
    xvek_priv_release(priv);
}

gpointer release_thread(gpointer data)
{
    auto *priv = static_cast<VekDevicePrivate *>(data);
    release_components(priv);
    g_free(priv);
    ReleaseSync &sync = release_sync();
    std::lock_guard<std::mutex> lock(sync.lock);
    sync.pending--;
    sync.done.notify_all();
    return nullptr;
}

/* libusb runs stream and disconnection callbacks holding its list of open
 * devices, and the event thread delivers the completions a stop waits for:
 * closing the card there would deadlock, and dropping the last context
 * reference would end libusb under its own feet. The card's components leave
 * the object (which is being freed) and another thread releases them once the
 * callback has returned. Delivery ends at once: no callback sees the object
 * again. */
void release_in_background(VekDevicePrivate *priv)
{
    bottom_rx_halt(priv->bottom);
    auto *detached = g_new(VekDevicePrivate, 1);
    *detached = *priv;
    std::memset(priv, 0, sizeof *priv);
    {
        std::lock_guard<std::mutex> lock(release_sync().lock);
        release_sync().pending++;
    }
    GThread *thread = g_thread_try_new("libvekRelease", release_thread, detached, nullptr);
    if (thread == nullptr) {
        /* Releasing here would deadlock: keeping the card is the lesser harm. */
        g_critical("No thread to release a card dropped on the USB event thread: card kept open");
        ReleaseSync &sync = release_sync();
        std::lock_guard<std::mutex> lock(sync.lock);
        sync.pending--;
        sync.done.notify_all();
        return;
    }
    g_thread_unref(thread);
}

/* A zeroed callback record of @owner, or NULL with @oom_text set and logged. */
sBottomCb *new_callback_record(VekDevice *owner, const gchar *oom_text, GError **error)
{
    auto *cb = g_try_new0(sBottomCb, 1);
    if (cb == nullptr) {
        xvek_set_error(error, "%s", oom_text);
        xvek_log(LOG_LEVEL_ERR, "%s", oom_text);
        return nullptr;
    }
    cb->owner = owner;
    return cb;
}

void wait_for_background_releases()
{
    ReleaseSync &sync = release_sync();
    std::unique_lock<std::mutex> lock(sync.lock);
    sync.done.wait(lock, [&sync] { return sync.pending == 0; });
}

} // namespace

gboolean xvek_private_init(VekDevice *self, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    if (priv->c_priv == COMPONENT_ON)
        return TRUE;
    if (bottom_refuse_on_engine_thread(error)) {
        g_prefix_error(error, "Failed to open vek device: ");
        return FALSE;
    }
    wait_for_background_releases();

    g_autofree sBottomCb *rx = new_callback_record(self, "Alloc priv rxCb: oom !", error);
    if (rx == nullptr)
        return FALSE;
    g_autofree sBottomCb *tx = new_callback_record(self, "Alloc priv txCb: oom !", error);
    if (tx == nullptr)
        return FALSE;
    if (!bottom_private_init(priv->device_id, &priv->bottom, error))
        return FALSE;
    priv->rxBottomCb = std::exchange(rx, nullptr);
    priv->txBottomCb = std::exchange(tx, nullptr);
    priv->c_priv = COMPONENT_ON;
    return TRUE;
}

void xvek_priv_release(VekDevicePrivate *priv)
{
    if (priv->c_priv != COMPONENT_ON)
        return;
    bottom_private_release(priv->bottom);
    g_free(priv->rxBottomCb);
    g_free(priv->txBottomCb);
    g_free(priv->dbus_path);
    std::memset(priv, 0, sizeof *priv);
}

extern "C" XVEK_EXPORT gboolean xvek_grab_device(VekDevice *self, VektypeOpenMode mode,
                                                 GError **error)
{
    if (xvek_device_priv_checked(self, __func__, error) == nullptr)
        return FALSE;
    return xvek_private_init(self, error) && xvek_ctrl_init(self, error) &&
           xvek_data_init(self, mode, error) && xvek_dl_init(self, mode, error);
}

extern "C" XVEK_EXPORT void xvek_release_device(VekDevice *self)
{
    VekDevicePrivate *priv = xvek_device_priv(self);
    if (priv == nullptr)
        return;
    if (priv->c_priv == COMPONENT_ON && bottom_on_engine_thread())
        release_in_background(priv);
    else
        release_components(priv);
}
