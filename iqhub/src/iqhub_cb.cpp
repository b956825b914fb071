/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The demodulator's three callbacks. They run on the writer thread, inside
 * the demodulator's posting call, and only copy the report into the event
 * queue (or, for error records, into the log). */
#include "iqhub-private.h"

namespace
{

gboolean register_result(int32_t r, GError **error)
{
    if (r == 0)
        return TRUE;
    g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "api call failed with errcode %d", r);
    return FALSE;
}

} // namespace

extern "C" {

IQHUB_EXPORT gboolean iqhub_cb_register(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    /* The channelised receiver has no error records. */
    if (priv->vchan != nullptr)
        return register_result(vchan_cb_register_fdata_exit_fct(priv->vchan, iqhub_cb_fcont, self),
                               error) &&
               iqhub_cb_register_rfsat(self, error);
    return register_result(VDEM_INTERFACE_cb_register_fdata_exit_fct(iqhub_cb_fcont, self),
                           error) &&
           register_result(VDEM_INTERFACE_cb_register_error_exit_fct(iqhub_cb_error_, self),
                           error) &&
           iqhub_cb_register_rfsat(self, error);
}

IQHUB_EXPORT gboolean iqhub_cb_register_rfsat(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    if (priv->vchan != nullptr)
        return register_result(vchan_cb_register_rfsat_exit_fct(priv->vchan, iqhub_cb_rfsat_, self),
                               error);
    return register_result(VDEM_INTERFACE_cb_register_rfsat_exit_fct(iqhub_cb_rfsat_, self), error);
}

IQHUB_EXPORT gboolean iqhub_cb_unregister(Iqhub *self, GError **error)
{
    /* Terminating the demodulator already cleared its callback table. */
    (void)self;
    (void)error;
    return TRUE;
}

IQHUB_EXPORT void iqhub_cb_fcont(vdem_frame_cont_t *container, const void *user_data)
{
    Iqhub *self = static_cast<Iqhub *>(const_cast<void *>(user_data));
    const IqhubPrivate *priv = iqhub_priv(self);
    /* The channelised receiver tells each frame's rate, and the repetitions of a
     * message it combined, but only inside this call; the demodulator runs at
     * the object's one rate and combines nothing. */
    guint bit_rate = 0, combined = 0;
    if (priv != nullptr && priv->vchan != nullptr) {
        bit_rate = vchan_get_frame_bit_rate(priv->vchan);
        combined = vchan_get_frame_combined(priv->vchan);
    } else if (priv != nullptr) {
        bit_rate = iqhub_single_bit_rate(priv);
    }
    g_autoptr(GError) error = nullptr;
    if (iqhub_sched_add_frame(self, container, bit_rate, combined, &error))
        return;
    KVRLOG_ERROR("Iqhub: failed to push fdata container into event queue: '%s'", error->message);
    xvek_log(LOG_LEVEL_DEBUG, "Iqhub: failed to push fdata container into event queue: '%s'",
             error->message);
}

IQHUB_EXPORT void iqhub_cb_rfsat_(vdem_rfsat_t *report, const void *user_data)
{
    Iqhub *self = static_cast<Iqhub *>(const_cast<void *>(user_data));
    g_autoptr(GError) error = nullptr;
    if (!iqhub_sched_add(self, report, E_SCHED_EVT_TYPE_RFSAT, &error))
        KVRLOG_ERROR("Iqhub: failed to push rfsat into event queue: '%s'", error->message);
}

IQHUB_EXPORT void iqhub_cb_error_(vdem_error_t *record, const void *user_data)
{
    IqhubPrivate *priv = iqhub_priv(user_data);
    if (priv == nullptr || record == nullptr) {
        KVRLOG_ERROR("Iqhub: error cb null ptr");
        return;
    }
    g_autofree gchar *text = nullptr;
    g_autoptr(GError) error = nullptr;
    if (!iqhub_stringify_error(&text, record, &error)) {
        KVRLOG_ERROR("Iqhub: failed to prettyprint error : %s", error->message);
        xvek_log(LOG_LEVEL_DEBUG, "Iqhub: failed to prettyprint error : %s", error->message);
        return;
    }
    if (text == nullptr) {
        KVRLOG_ERROR("Iqhub: failed to prettyprint error");
        return;
    }
    if (priv->raw_sdr_log.load())
        KVRLOG_INFO("[rawsdr][%s]", text);
}

} // extern "C"
