/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* SdrSynthWrapper: the downlink frame of a device, signed and built, handed
 * to the host's transmit callback. */
#include <cstring>

#include "iqhub-private.h"
#include "iqhub_key.h"

struct _SdrSynthWrapper {
    GObject parent_instance;
    SdrSynthWrapperTxCallback tx_callback;
    gpointer tx_callback_data;
    GDestroyNotify tx_callback_notify_release;
};

G_DEFINE_FINAL_TYPE(SdrSynthWrapper, sdr_synth_wrapper, G_TYPE_OBJECT)

static void sdr_synth_wrapper_finalize(GObject *object)
{
    SdrSynthWrapper *self = SDR_SYNTH_WRAPPER(object);
    if (self->tx_callback_notify_release != nullptr)
        self->tx_callback_notify_release(self->tx_callback_data);
    G_OBJECT_CLASS(sdr_synth_wrapper_parent_class)->finalize(object);
}

static void sdr_synth_wrapper_class_init(SdrSynthWrapperClass *klass)
{
    G_OBJECT_CLASS(klass)->finalize = sdr_synth_wrapper_finalize;
}

static void sdr_synth_wrapper_init(SdrSynthWrapper *self)
{
    self->tx_callback = nullptr;
    self->tx_callback_data = nullptr;
    self->tx_callback_notify_release = nullptr;
}

extern "C" {

IQHUB_EXPORT SdrSynthWrapper *sdr_synth_wrapper_new(void)
{
    return SDR_SYNTH_WRAPPER(g_object_new(SDR_TYPE_SYNTH_WRAPPER, nullptr));
}

IQHUB_EXPORT SdrSynthWrapper *sdr_synth_wrapper_new_with_options(const gchar *first_property_name,
                                                                 ...)
{
    va_list args;
    va_start(args, first_property_name);
    GObject *object = g_object_new_valist(SDR_TYPE_SYNTH_WRAPPER, first_property_name, args);
    va_end(args);
    return SDR_SYNTH_WRAPPER(object);
}

IQHUB_EXPORT void sdr_synth_wrapper_unref(SdrSynthWrapper *self)
{
    g_return_if_fail(SDR_IS_SYNTH_WRAPPER(self));
    g_object_unref(self);
}

IQHUB_EXPORT gboolean sdr_synth_wrapper_set_tx_callback(SdrSynthWrapper *self,
                                                        SdrSynthWrapperTxCallback callback,
                                                        gpointer user_data, GDestroyNotify notify,
                                                        GError **error)
{
    (void)error;
    g_return_val_if_fail(SDR_IS_SYNTH_WRAPPER(self), FALSE);
    self->tx_callback = callback;
    iqhub_replace_user_data(&self->tx_callback_data, &self->tx_callback_notify_release, user_data,
                            notify);
    xvek_log(LOG_LEVEL_DEBUG, "Sdr Synth Wrapper: tx callback is set");
    return TRUE;
}

IQHUB_EXPORT void sdr_synth_wrapper_synthesize(SdrSynthWrapper *self, guint32 tstid, guint16 seq,
                                               const guint8 *data, guint8 data_len, guint32 freq)
{
    g_return_if_fail(SDR_IS_SYNTH_WRAPPER(self));
    /* Cutting the payload would put another message on the air. */
    if (data_len > SDR_SYNTH_WRAPPER_MAX_PAYLOAD || (data_len > 0 && data == nullptr)) {
        KVRLOG_ERROR("Sdr Synth Wrapper: refusing a payload of %u bytes (at most %u)", data_len,
                     SDR_SYNTH_WRAPPER_MAX_PAYLOAD);
        xvek_log(LOG_LEVEL_ERR, "Sdr Synth Wrapper: refusing a payload of %u bytes (at most %u)",
                 data_len, SDR_SYNTH_WRAPPER_MAX_PAYLOAD);
        return;
    }
    g_autoptr(kvrframe) record = kvrproto_alloc_frame();
    record->v = KVRPROTO_VERSION_V1_DLK;
    kvrframe_v1_dlk &dl = record->f.v1dlk;
    dl.tid = tstid;
    dl.seq = seq;
    dl.data_s = data_len;
    if (data_len > 0)
        std::memcpy(dl.data, data, data_len);

    guint8 key[IQHUB_AUTH_KEY_LEN];
    iqhub_auth_key(key);
    guint8 code[KVRPROTO_HMAC_MAX_LEN] = {};
    guint8 code_length = 0;
    /* A code that cannot be computed stays zero; the frame still goes out. */
    if (kvrproto_compute_hmac(record, key, sizeof(key), code, &code_length, nullptr))
        std::memcpy(dl.hmac, code, sizeof(dl.hmac));

    vdem_dl_specs_t specs = {};
    std::memcpy(specs.payload, dl.data, sizeof(specs.payload));
    specs.aes_out = static_cast<uint16_t>(dl.hmac[0] * 256 + dl.hmac[1]);
    specs.seq = seq;
    specs.tstid = tstid;
    auto *output = g_new0(vdem_dl_frame_t, 1);
    vdem_build_dl_frame(&specs, output);
    if (self->tx_callback == nullptr) {
        g_free(output);
        return;
    }
    self->tx_callback(self, output->byte, sizeof(output->byte), freq, self->tx_callback_data,
                      nullptr);
}

} // extern "C"
