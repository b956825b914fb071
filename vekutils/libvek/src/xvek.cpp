/* Bringing the components of one opened card up and down, and the error
 * helpers every layer of the library shares. */
#include <cstdarg>
#include <cstring>

#include "bottom.h"
#include "xvek_priv.h"

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

void xvek_priv_release(VekDevice *self)
{
    VekDevicePrivate *priv = xvek_device_priv(self);
    if (priv == nullptr || priv->c_priv != COMPONENT_ON)
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
    if (xvek_device_priv(self) == nullptr)
        return;
    xvek_dl_release(self);
    xvek_data_release(self);
    xvek_ctrl_release(self);
    xvek_priv_release(self);
}
