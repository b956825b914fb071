/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The frame chain: parse, time-stamp, count, filter and deliver. */
#include "iqhub-private.h"

namespace
{

gint64 *sample_id_field(kvrframe *frame)
{
    return frame->v == KVRPROTO_VERSION_V0 ? &frame->f.v0.timestamp : &frame->f.v1.timestamp;
}

/* TRUE when every filter keeps the frame. */
gboolean run_filters(IqhubPrivate *priv, kvrframe *frame)
{
    for (GList *l = priv->filters; l != nullptr; l = l->next) {
        if (!iqhub_ifilter_do_filter(IQHUB_IFILTER(l->data), frame))
            return FALSE;
    }
    return TRUE;
}

} // namespace

gboolean iqhub_filter_frame(Iqhub *self, const gchar *line, guint bit_rate, guint combined,
                            GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    /* Counters of frames whose rate no receiver gave stay in the sums only. */
    IqhubRateCounters unknown = {};
    IqhubRateCounters *per_rate = iqhub_rate_counters(priv, bit_rate);
    if (per_rate == nullptr)
        per_rate = &unknown;

    kvrframe *parsed = nullptr;
    if (!kvrproto_fdata_parse(line, &parsed, error)) {
        priv->frames_error_syntax++;
        per_rate->frames_error_syntax++;
        return FALSE;
    }
    g_autoptr(kvrframe) frame = parsed;
    gint64 *timestamp = sample_id_field(frame);
    struct timeval tv = {};
    if (!iqhub_ts_get(self, *timestamp, &tv, error)) {
        priv->frames_error_ts++;
        per_rate->frames_error_ts++;
        return FALSE;
    }
    priv->frames++;
    per_rate->frames++;
    /* From here on the frame carries Unix seconds, and its rate and combined
     * repetitions where the record has room for them. */
    *timestamp = static_cast<gint64>(tv.tv_sec);
    if (frame->v == KVRPROTO_VERSION_V1) {
        frame->f.v1.bit_rate = bit_rate;
        frame->combined = static_cast<guint8>(combined);
    }

    if (!run_filters(priv, frame)) {
        priv->frames_drop++;
        per_rate->frames_drop++;
        return TRUE;
    }

    if (priv->frame_callback != nullptr) {
        GError *local = nullptr;
        kvrframe *handed = g_steal_pointer(&frame);
        priv->frame_callback(self, handed, priv->frame_callback_data, &local);
        if (local != nullptr) {
            kvrproto_free_frame(handed);
            g_propagate_error(error, local);
            return FALSE;
        }
        return TRUE;
    }
    if (priv->frame_callback_gobject != nullptr) {
        GError *local = nullptr;
        KvrprotoFrameGen *object = kvrproto_frame_from_struct(frame, &local);
        if (object != nullptr)
            priv->frame_callback_gobject(self, object, priv->frame_callback_data, &local);
        if (local != nullptr)
            g_propagate_error(error, local);
    }
    return TRUE;
}

extern "C" {

IQHUB_EXPORT gboolean iqhub_filter(Iqhub *self, const gchar *line, gsize length, GError **error)
{
    (void)length;
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    return iqhub_filter_frame(self, line, iqhub_single_bit_rate(priv), 0, error);
}

IQHUB_EXPORT void iqhub_add_filter(Iqhub *self, IqhubIfilter *filter)
{
    IqhubPrivate *priv = iqhub_priv(self);
    g_return_if_fail(priv != nullptr);
    g_return_if_fail(IQHUB_IS_IFILTER(filter));
    priv->filters = g_list_prepend(priv->filters, g_object_ref(filter));
}

IQHUB_EXPORT void iqhub_delete_filter(Iqhub *self, IqhubIfilter *filter)
{
    IqhubPrivate *priv = iqhub_priv(self);
    g_return_if_fail(priv != nullptr);
    GList *link = g_list_find(priv->filters, filter);
    if (link == nullptr)
        return;
    priv->filters = g_list_delete_link(priv->filters, link);
    g_object_unref(filter);
}

IQHUB_EXPORT gboolean iqhub_filter_init(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    priv->filters = nullptr;
    return TRUE;
}

IQHUB_EXPORT void iqhub_filter_dispose(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv != nullptr)
        g_list_free_full(g_steal_pointer(&priv->filters), g_object_unref);
}

IQHUB_EXPORT void iqhub_filter_finalize(Iqhub *self)
{
    (void)self;
}

} // extern "C"
