/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Binding of the demodulator: initialised from the object's properties at
 * start, released at stop, fed one packet at a time by the writer. */
#include <cstring>
#include <memory>

#include "iqhub-private.h"

namespace
{
/* The demodulator's failure text is received in a buffer of this size. */
constexpr gsize kInitMessageSize = 150;
static_assert(kInitMessageSize >= VDEM_INTERFACE_ERROR_MSG_SIZE);
/* The channelised receiver of this object, for its one bit rate or, with
 * IQHUB_BIT_RATE_BOTH, for both. Its packet size is the demodulator's at the
 * slowest rate it runs, so the advised length and every time lookup stay as
 * they are at that rate. */
gboolean init_vchan(IqhubPrivate *priv, GError **error)
{
    vchan_config_t config = {};
    config.int_gain = static_cast<float>(priv->int_gain);
    if (priv->bit_rate == IQHUB_BIT_RATE_BOTH)
        config.rates = VCHAN_RATE_100BPS | VCHAN_RATE_600BPS;
    else if (const guint rate = iqhub_single_bit_rate(priv); rate != 0)
        config.rates = rate == 100 ? VCHAN_RATE_100BPS : VCHAN_RATE_600BPS;
    const int32_t r = vchan_new(&config, &priv->vchan);
    if (r != VCHAN_OK) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL,
                    "channelised receiver initialization failed code: %d", r);
        return FALSE;
    }
    priv->iq_size = static_cast<guint32>(vchan_get_iq_packet_size(priv->vchan));
    priv->iq_size_bytes = priv->iq_size * priv->bpsp;
    return TRUE;
}

} // namespace

extern "C" {

IQHUB_EXPORT gboolean iqhub_interface_init(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);

    const bool channelised = g_strcmp0(priv->receiver, "vchan") == 0;
    if (!channelised && g_strcmp0(priv->receiver, "vdem") != 0) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "unknown receiver '%s': vdem or vchan",
                    priv->receiver);
        return FALSE;
    }
    vdem_interface_version_t version = {};
    if (channelised)
        vchan_get_version(&version);
    else
        VDEM_INTERFACE_get_version(&version);
    g_free(priv->version);
    priv->version = g_strndup(version, sizeof(version));

    if (priv->spectra) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL,
                    "spectra doesn't exist with iqhub in vdem mode");
        return FALSE;
    }
    if (channelised)
        return init_vchan(priv, error);

    vdem_interface_config_t config = {};
    config.int_gain = static_cast<float>(priv->int_gain);
    switch (priv->bit_rate) {
    case 100:
        config.bitrate = VDEM_INTERFACE_100BPS;
        break;
    case 600:
        config.bitrate = VDEM_INTERFACE_600BPS;
        break;
    default:
        /* The demodulator refuses anything but its own two codes. */
        config.bitrate = static_cast<int32_t>(priv->bit_rate);
        break;
    }

    char message[kInitMessageSize] = "";
    const int32_t r = VDEM_INTERFACE_init(&config, message);
    if (r != 0) {
        g_autoptr(GError) local = nullptr;
        if (!iqhub_errapi_set_val(self, r, &local)) {
            KVRLOG_ERROR("Failed to set errapi val %d: %s", r, local->message);
            g_clear_error(&local);
        }
        if (!iqhub_errapi(self, message, strnlen(message, sizeof(message)), &local))
            KVRLOG_ERROR("Failed to set errapi str %s: %s", message, local->message);
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL,
                    "libsdr initialization failed code: %d (%s)", r, message);
        return FALSE;
    }
    iqhub_errapi_clear(self);
    priv->iq_size = static_cast<guint32>(VDEM_INTERFACE_get_iq_packet_size());
    priv->iq_size_bytes = priv->iq_size * priv->bpsp;
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_interface_release(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    const int32_t r = priv->vchan != nullptr ? 0 : VDEM_INTERFACE_terminate();
    g_clear_pointer(&priv->vchan, vchan_free);
    if (r != 0) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "api call failed with errcode %d", r);
        return FALSE;
    }
    if (priv->version != nullptr) {
        g_free(priv->version);
        priv->version = g_strdup("(none)");
    }
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_interface_send_iq(Iqhub *self, const guint8 *data, gsize length,
                                              GError **error)
{
    vchan_receiver_t *vchan = iqhub_priv(self)->vchan;
    /* The receivers only read the packet. */
    auto *samples = reinterpret_cast<short *>(const_cast<guint8 *>(data));
    const int32_t r = vchan != nullptr
                          ? vchan_post_iq_packet(vchan, samples, static_cast<int>(length))
                          : VDEM_INTERFACE_post_iq_packet(samples, static_cast<int>(length));
    if (r != 0) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "libsdr send_iq failed code %d", r);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
