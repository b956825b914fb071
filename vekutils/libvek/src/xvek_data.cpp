/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Data API: the public face of the streaming engine and the data component
 * that grab and release bring up and down with the open mode. */
#include "bottom.h"
#include "ustream.h"
#include "xvek_priv.h"

namespace
{

/* As xvek_device_priv_checked, for a start that needs the card's callback
 * record of its direction (@record) as well. */
VekDevicePrivate *priv_with_record(VekDevice *self, sBottomCb *VekDevicePrivate::*record,
                                   const gchar *function, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, function, error);
    if (priv == nullptr)
        return nullptr;
    if (priv->*record == nullptr) {
        xvek_invalid_handle(function, error);
        return nullptr;
    }
    return priv;
}

/* Callbacks of a stopped stream: notify once if the stream had a consumer. */
void rx_callbacks_reset(sBottomCb *cb)
{
    if (cb->_notify != nullptr && (cb->_cb.rx != nullptr || cb->_err_cb != nullptr))
        cb->_notify(cb->_data);
    cb->_cb.rx = nullptr;
    cb->_data = nullptr;
    cb->_err_cb = nullptr;
    cb->_err_data = nullptr;
}

void tx_callbacks_reset(sBottomCb *cb)
{
    if (cb->_notify != nullptr &&
        (cb->_cb.tx != nullptr || cb->_cb.tx_avail != nullptr || cb->_err_cb != nullptr))
        cb->_notify(cb->_data);
    cb->_cb.tx = nullptr;
    cb->_cb.tx_avail = nullptr;
    cb->_data = nullptr;
    cb->_err_cb = nullptr;
    cb->_err_data = nullptr;
}

/* Stores the callbacks of a TX start that names an availability callback. */
gboolean tx_store_avail(VekDevicePrivate *priv, VekDeviceTxAvail callback,
                        VekDeviceErrCB err_callback, gpointer user_data, GDestroyNotify notify,
                        GError **error)
{
    if (priv->txStatus == STREAM_ON) {
        xvek_set_error(error, "Tx data stream already been started");
        return FALSE;
    }
    sBottomCb *cb = priv->txBottomCb;
    cb->_cb.tx_avail = callback;
    cb->_err_cb = err_callback;
    cb->_data = user_data;
    cb->_err_data = user_data;
    cb->_notify = notify;
    return TRUE;
}

gboolean rx_stop(VekDevicePrivate *priv, GError **error)
{
    if (priv->rxStatus == STREAM_OFF)
        return TRUE;
    if (!bottom_rx_stop(priv->bottom, error))
        return FALSE;
    if (priv->rxBottomCb != nullptr)
        rx_callbacks_reset(priv->rxBottomCb);
    priv->rxStatus = STREAM_OFF;
    return TRUE;
}

gboolean tx_stop(VekDevicePrivate *priv, GError **error)
{
    if (priv->txStatus == STREAM_OFF)
        return TRUE;
    if (!bottom_tx_stop(priv->bottom, error))
        return FALSE;
    if (priv->txBottomCb != nullptr)
        tx_callbacks_reset(priv->txBottomCb);
    priv->txStatus = STREAM_OFF;
    return TRUE;
}

} // namespace

extern "C" {

XVEK_EXPORT gboolean xvek_rx_configure(VekDevice *self, guint32 buffer, guint32 ratio,
                                       VektypeStreamRate rate, VektypeStreamAccessType access_type,
                                       VektypeStreamBitwidth bit, VektypeStreamEndian end,
                                       VektypeStreamNbChannel chan, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    /* Configuring rewrites the transfers that a running stream keeps in
     * flight. */
    if (priv->rxStatus == STREAM_ON) {
        xvek_set_error(error, "Rx data stream running: stop it before configuring");
        return FALSE;
    }
    return bottom_rx_configure(priv->bottom, buffer, ratio, rate, access_type, bit, end, chan,
                               error);
}

XVEK_EXPORT gboolean xvek_tx_configure(VekDevice *self, guint32 buffer, guint32 ratio,
                                       VektypeStreamRate rate, VektypeStreamAccessType access_type,
                                       VektypeStreamBitwidth bit, VektypeStreamEndian end,
                                       VektypeStreamNbChannel chan, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return bottom_tx_configure(priv->bottom, buffer, ratio, rate, access_type, bit, end, chan,
                               FALSE, 0, 0, 0, 0, error);
}

XVEK_EXPORT gboolean xvek_tx_configure_lbt(VekDevice *self, guint32 buffer, guint32 ratio,
                                           VektypeStreamRate rate,
                                           VektypeStreamAccessType access_type,
                                           VektypeStreamBitwidth bit, VektypeStreamEndian end,
                                           VektypeStreamNbChannel chan, guint32 lbt_cs_max,
                                           guint32 lbt_cs_min, guint32 lbt_tsmpl,
                                           guint32 lbt_thresh, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return bottom_tx_configure(priv->bottom, buffer, ratio, rate, access_type, bit, end, chan, TRUE,
                               lbt_cs_max, lbt_cs_min, lbt_tsmpl, lbt_thresh, error);
}

XVEK_EXPORT gboolean xvek_rx_get_stats(VekDevice *self, VektypeStructHwStats *stats, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return bottom_rx_get_stats(priv->bottom, stats, error);
}

XVEK_EXPORT gboolean xvek_tx_get_stats(VekDevice *self, VektypeStructHwStats *stats, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return bottom_tx_get_stats(priv->bottom, stats, error);
}

XVEK_EXPORT gboolean xvek_rx_start_full_cb(VekDevice *self, VekDeviceRxCB callback,
                                           gpointer user_data, VekDeviceErrCB err_callback,
                                           gpointer err_data, const struct timeval *tv_start,
                                           GDestroyNotify notify, GError **error)
{
    VekDevicePrivate *priv = priv_with_record(self, &VekDevicePrivate::rxBottomCb, __func__, error);
    if (priv == nullptr)
        return FALSE;
    if (priv->rxStatus == STREAM_ON) {
        xvek_set_error(error, "Rx data stream already been started");
        return FALSE;
    }
    sBottomCb *cb = priv->rxBottomCb;
    cb->_cb.rx = callback;
    cb->_data = user_data;
    cb->_err_cb = err_callback;
    cb->_err_data = err_data;
    cb->_notify = notify;
    /* ON before the first transfer is in flight: a callback may run before
     * this call returns, and a stop (refused there) or a release from it must
     * find the stream running. */
    priv->rxStatus = STREAM_ON;
    if (!bottom_rx_start(priv->bottom, tv_start, error)) {
        priv->rxStatus = STREAM_OFF;
        return FALSE;
    }
    return TRUE;
}

XVEK_EXPORT gboolean xvek_rx_start(VekDevice *self, VekDeviceRxCB callback, gpointer user_data,
                                   GDestroyNotify notify, GError **error)
{
    return xvek_rx_start_full_cb(self, callback, user_data, nullptr, nullptr, nullptr, notify,
                                 error);
}

XVEK_EXPORT gboolean xvek_rx_start_full(VekDevice *self, VekDeviceRxCB callback,
                                        VekDeviceErrCB err_callback, gpointer user_data,
                                        GDestroyNotify notify, GError **error)
{
    return xvek_rx_start_full_cb(self, callback, user_data, err_callback, user_data, nullptr,
                                 notify, error);
}

XVEK_EXPORT gboolean xvek_rx_stop(VekDevice *self, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return rx_stop(priv, error);
}

XVEK_EXPORT gboolean xvek_tx_start_full_cb(VekDevice *self, VekDeviceTxCB callback,
                                           gpointer user_data, VekDeviceErrCB err_callback,
                                           gpointer err_data, const struct timeval *tv_start,
                                           GDestroyNotify notify, GError **error)
{
    VekDevicePrivate *priv = priv_with_record(self, &VekDevicePrivate::txBottomCb, __func__, error);
    if (priv == nullptr)
        return FALSE;
    if (priv->txStatus == STREAM_ON) {
        xvek_set_error(error, "Tx data stream already been started");
        return FALSE;
    }
    sBottomCb *cb = priv->txBottomCb;
    cb->_cb.tx = callback;
    cb->_data = user_data;
    cb->_err_cb = err_callback;
    cb->_err_data = err_data;
    cb->_notify = notify;
    if (!bottom_tx_onetime_start(priv->bottom, tv_start, error))
        return FALSE;
    priv->txStatus = STREAM_ON;
    return TRUE;
}

XVEK_EXPORT gboolean xvek_tx_start(VekDevice *self, VekDeviceTxCB callback, gpointer user_data,
                                   GDestroyNotify notify, GError **error)
{
    return xvek_tx_start_full_cb(self, callback, user_data, nullptr, nullptr, nullptr, notify,
                                 error);
}

XVEK_EXPORT gboolean xvek_tx_start_gir(VekDevice *self, VekDeviceTxAvail callback,
                                       VekDeviceErrCB err_callback, gpointer user_data,
                                       GDestroyNotify notify, GError **error)
{
    VekDevicePrivate *priv = priv_with_record(self, &VekDevicePrivate::txBottomCb, __func__, error);
    if (priv == nullptr)
        return FALSE;
    if (!tx_store_avail(priv, callback, err_callback, user_data, notify, error))
        return FALSE;
    if (!bottom_tx_onetime_start(priv->bottom, nullptr, error))
        return FALSE;
    priv->txStatus = STREAM_ON;
    return TRUE;
}

XVEK_EXPORT gboolean xvek_tx_twotime_start_prepare(VekDevice *self, VekDeviceTxAvail callback,
                                                   VekDeviceErrCB err_callback, gpointer user_data,
                                                   GDestroyNotify notify, GError **error)
{
    VekDevicePrivate *priv = priv_with_record(self, &VekDevicePrivate::txBottomCb, __func__, error);
    if (priv == nullptr)
        return FALSE;
    if (!tx_store_avail(priv, callback, err_callback, user_data, notify, error))
        return FALSE;
    if (!bottom_tx_twotime_start_prepare(priv->bottom, error))
        return FALSE;
    priv->txStatus = STREAM_ON;
    return TRUE;
}

XVEK_EXPORT gboolean xvek_tx_twotime_start_go(VekDevice *self, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return bottom_tx_twotime_start_go(priv->bottom, nullptr, error);
}

XVEK_EXPORT gboolean xvek_tx_write(VekDevice *self, const guint8 *buffer, gsize buflen,
                                   GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return bottom_tx_write(priv->bottom, buffer, buflen, error);
}

XVEK_EXPORT gboolean xvek_tx_stop(VekDevice *self, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    return tx_stop(priv, error);
}

} // extern "C"

gboolean xvek_data_init(VekDevice *self, VektypeOpenMode mode, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    if (priv->c_data == COMPONENT_ON)
        return TRUE;
    gboolean want_rx = FALSE;
    gboolean want_tx = FALSE;
    switch (mode) {
    case XVEK_OPEN_MODE_ALL:
        want_rx = want_tx = TRUE;
        break;
    case XVEK_OPEN_MODE_NO_TX:
    case XVEK_OPEN_MODE_RX_DL:
        want_rx = TRUE;
        break;
    case XVEK_OPEN_MODE_NO_RX:
        want_tx = TRUE;
        break;
    case XVEK_OPEN_MODE_CTL_ONLY:
    case XVEK_OPEN_MODE_DL:
        break;
    }
    if (!want_rx && !want_tx)
        return TRUE;
    if (want_rx && !bottom_rx_init(priv->bottom, priv->rxBottomCb, error))
        return FALSE;
    if (want_tx && !bottom_tx_init(priv->bottom, priv->txBottomCb, error))
        return FALSE;
    priv->c_data = COMPONENT_ON;
    return TRUE;
}

void xvek_data_release(VekDevicePrivate *priv)
{
    if (priv->c_data == COMPONENT_OFF) {
        /* A bring-up that failed after the RX channel came up (TX is not
         * available) leaves the component OFF with the channel open. */
        if (priv->bottom != nullptr)
            bottom_rx_release(priv->bottom);
        return;
    }
    rx_stop(priv, nullptr);
    tx_stop(priv, nullptr);
    if (priv->bottom != nullptr) {
        bottom_rx_release(priv->bottom);
        bottom_tx_release(priv->bottom);
    }
    /* A stop that failed (card gone) left the stream ON; the channel is gone
     * now, so the stream ended: its user data gets its notification. */
    if (priv->rxStatus == STREAM_ON && priv->rxBottomCb != nullptr)
        rx_callbacks_reset(priv->rxBottomCb);
    priv->rxStatus = STREAM_OFF;
    priv->c_data = COMPONENT_OFF;
}
