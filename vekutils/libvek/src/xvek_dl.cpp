/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Downlink API and the downlink component of an opened card. */
#include "udl.h"
#include "upriv.h"
#include "xvek_priv.h"

extern "C" {

XVEK_EXPORT gboolean xvek_dl_send(VekDevice *self, const guint8 *buffer, gsize buflen,
                                  GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    /* The kernel would claim interface 2 for the transfer on the fly and keep
     * it claimed behind the device's back. */
    if (priv->c_dl != COMPONENT_ON) {
        xvek_set_error(error,
                       "Failed to send dl bulk packet: the device was opened without the downlink "
                       "channel");
        return FALSE;
    }
    return bottom_dl_send(priv->bottom, buffer, buflen, error);
}

XVEK_EXPORT gboolean xvek_device_info(VekDevice *self, VektypeStructDeviceInfo *info,
                                      GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return bottom_private_info(priv->bottom, info, error);
}

} // extern "C"

gboolean xvek_dl_init(VekDevice *self, VektypeOpenMode mode, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    if (priv->c_dl == COMPONENT_ON)
        return TRUE;
    if (mode != XVEK_OPEN_MODE_RX_DL && mode != XVEK_OPEN_MODE_DL)
        return TRUE;
    if (!bottom_dl_init(priv->bottom, error))
        return FALSE;
    priv->c_dl = COMPONENT_ON;
    return TRUE;
}

void xvek_dl_release(VekDevicePrivate *priv)
{
    if (priv->c_dl == COMPONENT_OFF)
        return;
    if (priv->bottom != nullptr)
        bottom_dl_release(priv->bottom);
    priv->c_dl = COMPONENT_OFF;
}
