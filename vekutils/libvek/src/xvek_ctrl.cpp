/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Public control API: every operation checks its card and runs the bottom
 * request of the same name. */
#include <algorithm>

#include "bottom.h"
#include "xvek_priv.h"

namespace
{

constexpr guint kErrorStackMax = 256;

/* The card's bottom record, or NULL with "<function>: invalid handle" set.
 * A device that was never opened, or a missing out-parameter, counts as an
 * invalid handle too. */
sBottomPriv *card_of(VekDevice *self, const gchar *function, GError **error,
                     bool outputs_given = true)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, function, error, outputs_given);
    if (priv == nullptr)
        return nullptr;
    if (priv->bottom == nullptr) {
        xvek_invalid_handle(function, error);
        return nullptr;
    }
    return priv->bottom;
}

} // namespace

gboolean xvek_ctrl_init(VekDevice *self, GError **error)
{
    VekDevicePrivate *priv = xvek_device_priv_checked(self, __func__, error);
    if (priv == nullptr)
        return FALSE;
    if (priv->c_ctrl == COMPONENT_ON)
        return TRUE;
    if (!bottom_ctrl_init(priv->bottom, error))
        return FALSE;
    priv->c_ctrl = COMPONENT_ON;
    return TRUE;
}

void xvek_ctrl_release(VekDevicePrivate *priv)
{
    if (priv->c_ctrl != COMPONENT_ON)
        return;
    bottom_ctrl_release(priv->bottom);
    priv->c_ctrl = COMPONENT_OFF;
}

extern "C" {

XVEK_EXPORT gboolean xvek_ctrl_ping(VekDevice *self, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error);
    return b != nullptr && bottom_ctrl_ping(b, error);
}

XVEK_EXPORT gboolean xvek_ctrl_uptime(VekDevice *self, guint32 *uptime, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, uptime != nullptr);
    return b != nullptr && bottom_ctrl_uptime(b, uptime, error);
}

XVEK_EXPORT gboolean xvek_ctrl_swinfo(VekDevice *self, gchar **info, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, info != nullptr);
    return b != nullptr && bottom_ctrl_swinfo(b, info, error);
}

XVEK_EXPORT gboolean xvek_ctrl_hwinfo(VekDevice *self, gchar **info, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, info != nullptr);
    return b != nullptr && bottom_ctrl_hwinfo(b, info, error);
}

XVEK_EXPORT gboolean xvek_ctrl_cf_set(VekDevice *self, guint32 freq, VektypeCtlMode mode,
                                      GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error);
    return b != nullptr && bottom_ctrl_cf_set(b, freq, mode, error);
}

XVEK_EXPORT gboolean xvek_ctrl_cf_get(VekDevice *self, guint32 *freq, VektypeCtlMode mode,
                                      GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, freq != nullptr);
    return b != nullptr && bottom_ctrl_cf_get(b, freq, mode, error);
}

XVEK_EXPORT gboolean xvek_ctrl_if_set(VekDevice *self, guint32 freq, GError **error)
{
    (void)freq;
    return card_of(self, __func__, error) != nullptr && xvek_non_supported("IF Set", error);
}

XVEK_EXPORT gboolean xvek_ctrl_if_get(VekDevice *self, guint32 *freq, GError **error)
{
    (void)freq;
    return card_of(self, __func__, error) != nullptr && xvek_non_supported("IF Get", error);
}

XVEK_EXPORT gboolean xvek_ctrl_xf_set(VekDevice *self, guint32 freq, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error);
    return b != nullptr && bottom_ctrl_xf_set(b, freq, error);
}

XVEK_EXPORT gboolean xvek_ctrl_xf_get(VekDevice *self, guint32 *freq, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, freq != nullptr);
    return b != nullptr && bottom_ctrl_xf_get(b, freq, error);
}

XVEK_EXPORT gboolean xvek_ctrl_synth_get(VekDevice *self, VektypeCtlSynth *synth, GError **error)
{
    (void)synth;
    return card_of(self, __func__, error) != nullptr && xvek_non_supported("Get synth", error);
}

XVEK_EXPORT gboolean xvek_ctrl_eeprom_save(VekDevice *self, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error);
    return b != nullptr && bottom_ctrl_eeprom_save(b, error);
}

XVEK_EXPORT gboolean xvek_ctrl_eeprom_factory_reset(VekDevice *self, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error);
    return b != nullptr && bottom_ctrl_eeprom_factory_reset(b, error);
}

XVEK_EXPORT gboolean xvek_ctrl_error_get_last(VekDevice *self, guint32 *perror, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, perror != nullptr);
    return b != nullptr && bottom_ctrl_error_get_last(b, perror, error);
}

XVEK_EXPORT gboolean xvek_ctrl_error_get_all(VekDevice *self, guint32 **perrorArray,
                                             guint32 *arrayLen, GError **error)
{
    if (card_of(self, __func__, error, perrorArray != nullptr && arrayLen != nullptr) == nullptr)
        return FALSE;
    *perrorArray = nullptr;
    *arrayLen = 0;

    guint32 codes[kErrorStackMax];
    guint reads = 0;
    while (reads < kErrorStackMax) {
        if (!xvek_ctrl_error_get_last(self, &codes[reads], error))
            return FALSE;
        if (codes[reads++] == 0)
            break;
    }
    if (reads == 1 && codes[0] == 0)
        return TRUE; /* the stack was empty */

    guint32 *array = g_try_new(guint32, reads);
    if (array == nullptr) {
        xvek_set_error(error, "oom: can't allocate array (%u entries)", reads);
        return FALSE;
    }
    std::copy(codes, codes + reads, array);
    *perrorArray = array;
    *arrayLen = reads;
    return TRUE;
}

XVEK_EXPORT gboolean xvek_ctrl_temperature_get(VekDevice *self, gint32 *ptemp, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, ptemp != nullptr);
    return b != nullptr && bottom_ctrl_temperature_get(b, ptemp, error);
}

XVEK_EXPORT gboolean xvek_ctrl_pa_set(VekDevice *self, VektypePreampId pa_id,
                                      VektypePreampMode pa_mode, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error);
    return b != nullptr && bottom_ctrl_pa_set(b, pa_id, pa_mode, error);
}

XVEK_EXPORT gboolean xvek_ctrl_pa_get(VekDevice *self, VektypePreampId pa_id,
                                      VektypePreampMode *pa_mode, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, pa_mode != nullptr);
    return b != nullptr && bottom_ctrl_pa_get(b, pa_id, pa_mode, error);
}

XVEK_EXPORT gboolean xvek_ctrl_mode_get(VekDevice *self, VektypeCtlMode *mode, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, mode != nullptr);
    return b != nullptr && bottom_ctrl_mode_get(b, mode, error);
}

XVEK_EXPORT gboolean xvek_ctrl_mode_set(VekDevice *self, VektypeCtlMode mode, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error);
    return b != nullptr && bottom_ctrl_mode_set(b, mode, error);
}

XVEK_EXPORT gboolean xvek_ctrl_loopback_get(VekDevice *self, VektypeCtlLoopback *lb, GError **error)
{
    (void)lb;
    return card_of(self, __func__, error) != nullptr &&
           xvek_non_supported("Stream loopback", error);
}

XVEK_EXPORT gboolean xvek_ctrl_loopback_set(VekDevice *self, VektypeCtlLoopback lb, GError **error)
{
    (void)lb;
    return card_of(self, __func__, error) != nullptr &&
           xvek_non_supported("Stream loopback", error);
}

XVEK_EXPORT gboolean xvek_ctrl_volume_set(VekDevice *self, VektypeCtlMode mode, gint32 volume,
                                          GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error);
    return b != nullptr && bottom_ctrl_volume_set(b, mode, volume, error);
}

XVEK_EXPORT gboolean xvek_ctrl_volume_get(VekDevice *self, VektypeCtlMode mode, gint32 *volume,
                                          GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, volume != nullptr);
    return b != nullptr && bottom_ctrl_volume_get(b, mode, volume, error);
}

XVEK_EXPORT gboolean xvek_ctrl_raw_usb_send(VekDevice *self, VektypeStructUsbFmap f,
                                            const guint8 *data, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, data != nullptr || f.wL == 0);
    return b != nullptr && bottom_ctrl_raw_usb_send(b, f, data, error);
}

XVEK_EXPORT gboolean xvek_ctrl_raw_usb_recv(VekDevice *self, VektypeStructUsbFmap f, guint8 **data,
                                            GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, data != nullptr);
    return b != nullptr && bottom_ctrl_raw_usb_recv(b, f, data, nullptr, error);
}

XVEK_EXPORT gboolean xvek_ctrl_raw_usb_recv_full(VekDevice *self, VektypeStructUsbFmap f,
                                                 guint8 **data, guint16 *received, GError **error)
{
    sBottomPriv *b = card_of(self, __func__, error, data != nullptr && received != nullptr);
    return b != nullptr && bottom_ctrl_raw_usb_recv(b, f, data, received, error);
}

XVEK_EXPORT gboolean xvek_ctrl_hop_start(VekDevice *self, const guint32 *table, gsize table_len,
                                         guint32 duration, guint32 gap, GError **error)
{
    (void)table;
    (void)table_len;
    (void)duration;
    (void)gap;
    return card_of(self, __func__, error) != nullptr &&
           xvek_non_supported("Frequency hopping", error);
}

XVEK_EXPORT gboolean xvek_ctrl_hop_stop(VekDevice *self, GError **error)
{
    return card_of(self, __func__, error) != nullptr &&
           xvek_non_supported("Frequency hopping", error);
}

XVEK_EXPORT gboolean xvek_ctrl_lbt_cfg_set(VekDevice *self, guint32 cs_max, guint32 cs_min,
                                           guint32 tsmpl, guint32 thresh, GError **error)
{
    (void)cs_max;
    (void)cs_min;
    (void)tsmpl;
    (void)thresh;
    return card_of(self, __func__, error) != nullptr && xvek_non_supported("LBT TX", error);
}

} // extern "C"
