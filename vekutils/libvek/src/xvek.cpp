/* Bringing the components of one opened card up and down, and the error
 * helpers every layer of the library shares. */
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "bottom.h"
#include "ustream.h"
#include "xvek_priv.h"

namespace
{

/* Cards whose object was finalised on the USB event thread are released by a
 * thread of their own (see xvek_release_device); an open waits for them, so
 * that it finds the card's interfaces free again. */
std::mutex gReleaseLock;
std::condition_variable gReleaseDone;
guint gReleasesPending = 0;

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
    std::lock_guard<std::mutex> lock(gReleaseLock);
    gReleasesPending--;
    gReleaseDone.notify_all();
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
        std::lock_guard<std::mutex> lock(gReleaseLock);
        gReleasesPending++;
    }
    GThread *thread = g_thread_try_new("libvekRelease", release_thread, detached, nullptr);
    if (thread == nullptr) {
        /* Releasing here would deadlock: keeping the card is the lesser harm. */
        g_critical("No thread to release a card dropped on the USB event thread: card kept open");
        std::lock_guard<std::mutex> lock(gReleaseLock);
        gReleasesPending--;
        gReleaseDone.notify_all();
        return;
    }
    g_thread_unref(thread);
}

void wait_for_background_releases()
{
    std::unique_lock<std::mutex> lock(gReleaseLock);
    gReleaseDone.wait(lock, [] { return gReleasesPending == 0; });
}

} // namespace

void xvek_set_error(GError **error, const gchar *format, ...)
{
    if (error == nullptr)
        return;
    va_list args;
    va_start(args, format);
    gchar *message = g_strdup_vprintf(format, args);
    va_end(args);
    g_set_error_literal(error, XVEK_ERROR, XVEK_ERR, message);
    g_free(message);
}

gboolean xvek_non_supported(const gchar *feature, GError **error)
{
    xvek_set_error(error, "%s feature not currently supported", feature);
    return FALSE;
}

gboolean xvek_invalid_handle(const gchar *function, GError **error)
{
    xvek_set_error(error, "%s: invalid handle", function);
    return FALSE;
}

gboolean xvek_private_init(VekDevice *self, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv(self);
    if (priv == nullptr)
        return xvek_invalid_handle("xvek_private_init", error);
    if (priv->c_priv == COMPONENT_ON)
        return TRUE;
    if (bottom_on_engine_thread()) {
        xvek_set_error(error,
                       "Failed to open vek device: not allowed from a stream callback (USB event "
                       "thread)");
        return FALSE;
    }
    wait_for_background_releases();

    sBottomCb *rx = g_try_new0(sBottomCb, 1);
    if (rx == nullptr) {
        xvek_set_error(error, "Alloc priv rxCb: oom !");
        xvek_log(LOG_LEVEL_ERR, "Alloc priv rxCb: oom !");
        return FALSE;
    }
    sBottomCb *tx = g_try_new0(sBottomCb, 1);
    if (tx == nullptr) {
        xvek_set_error(error, "Alloc priv txCb: oom !");
        xvek_log(LOG_LEVEL_ERR, "Alloc priv txCb: oom !");
        g_free(rx);
        return FALSE;
    }
    rx->owner = self;
    tx->owner = self;
    if (!bottom_private_init(priv->device_id, &priv->bottom, error)) {
        g_free(rx);
        g_free(tx);
        return FALSE;
    }
    priv->rxBottomCb = rx;
    priv->txBottomCb = tx;
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
    if (xvek_device_priv(self) == nullptr)
        return xvek_invalid_handle("xvek_grab_device", error);
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
