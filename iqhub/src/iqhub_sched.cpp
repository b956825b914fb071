/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The event queue: demodulator reports cross from the writer thread to the
 * default main context, one event per main-loop iteration. */
#include <cstring>

#include "iqhub-private.h"

namespace
{

event *take_head(sched &s)
{
    std::lock_guard<std::mutex> lock(s.mtx);
    if (s.queue.empty()) {
        s.task_id = 0;
        return nullptr;
    }
    event *e = s.queue.front();
    s.queue.pop_front();
    return e;
}

void deliver_rfsat(Iqhub *self, const vdem_rfsat_t &report)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr) {
        KVRLOG_ERROR("Iqhub: rfsat cb null ptr");
        return;
    }
    if (priv->rfsat_callback == nullptr)
        return;
    g_autoptr(GError) error = nullptr;
    priv->rfsat_callback(self, report.rssi, static_cast<guint32>(report.timestamp),
                         priv->rfsat_callback_data, &error);
    if (error != nullptr)
        KVRLOG_ERROR("Iqhub: failed from rfsat callback: %s", error->message);
}

gboolean dispatch(gpointer data)
{
    Iqhub *self = IQHUB_IQHUB(data);
    IqhubPrivate *priv = iqhub_priv(self);
    event *e = take_head(priv->sched);
    if (e == nullptr)
        return G_SOURCE_REMOVE;
    /* A host callback may drop the host's last reference. */
    g_autoptr(Iqhub) hold = IQHUB_IQHUB(g_object_ref(self));
    switch (e->type) {
    case E_SCHED_EVT_TYPE_FCONT:
        iqhub_sched_deliver_fcont(self, &e->data.fcont, e->bit_rate, e->combined);
        break;
    case E_SCHED_EVT_TYPE_RFSAT:
        deliver_rfsat(self, e->data.rfsat);
        break;
    default:
        KVRLOG_ERROR("Event queue: bad type !");
        break;
    }
    g_slice_free(event, e);
    return G_SOURCE_CONTINUE;
}

void free_events(sched &s)
{
    std::lock_guard<std::mutex> lock(s.mtx);
    for (event *e : s.queue)
        g_slice_free(event, e);
    s.queue.clear();
}

/* Queues a copy of @data as an event of @type, and wakes the dispatch. */
gboolean push_event(IqhubPrivate *priv, gconstpointer data, e_sched_evt_type type, guint bit_rate,
                    guint combined, GError **error)
{
    event *e = g_slice_new0(event);
    switch (type) {
    case E_SCHED_EVT_TYPE_FCONT:
        std::memcpy(&e->data.fcont, data, sizeof(e->data.fcont));
        break;
    case E_SCHED_EVT_TYPE_RFSAT:
        std::memcpy(&e->data.rfsat, data, sizeof(e->data.rfsat));
        break;
    default:
        g_slice_free(event, e);
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "Iqhub scheduler: bad type");
        return FALSE;
    }
    e->type = static_cast<guint8>(type);
    e->combined = static_cast<guint8>(combined);
    e->bit_rate = static_cast<guint16>(bit_rate);

    sched &s = priv->sched;
    std::lock_guard<std::mutex> lock(s.mtx);
    s.queue.push_back(e);
    if (s.task_id == 0 && s.dispatch != nullptr) {
        s.task_id = g_source_get_id(s.dispatch);
        iqhub_wakeup_signal(s.dispatch);
    }
    return TRUE;
}

} // namespace

gboolean iqhub_sched_add_frame(Iqhub *self, const vdem_frame_cont_t *container, guint bit_rate,
                               guint combined, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr || container == nullptr)
        return iqhub_invalid_handle(error, __func__);
    return push_event(priv, container, E_SCHED_EVT_TYPE_FCONT, bit_rate, combined, error);
}

void iqhub_sched_deliver_fcont(Iqhub *self, const vdem_frame_cont_t *container, guint bit_rate,
                               guint combined)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr || container == nullptr) {
        KVRLOG_ERROR("Iqhub: fcont cb null ptr");
        return;
    }
    if (container->entries == 0)
        return;
    if (container->entries > 1)
        KVRLOG_ERROR("Iqhub: too many frames (%u) advertised for container (table length %u)",
                     container->entries, 1u);

    g_autofree gchar *text = nullptr;
    g_autoptr(GError) error = nullptr;
    if (!iqhub_stringify_fdata(&text, &container->pframe[0], priv->no_crc, &error)) {
        KVRLOG_ERROR("Iqhub: failed to prettyprint fdata: %s", error->message);
        return;
    }
    if (text == nullptr) {
        KVRLOG_ERROR("Iqhub: failed to prettyprint fdata");
        return;
    }
    iqhub_filter_frame(self, text, bit_rate, combined, &error);
    if (priv->raw_sdr_log.load())
        KVRLOG_INFO("[rawsdr][%s]", text);
    if (error != nullptr)
        KVRLOG_ERROR("Iqhub: failed to feed filter module with incoming FDATA: '%s'",
                     error->message);
}

extern "C" {

IQHUB_EXPORT gboolean iqhub_sched_init(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    if (priv->sched.dispatch == nullptr)
        priv->sched.dispatch = iqhub_wakeup_new(dispatch, self, "iqhub event dispatch");
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_sched_add(Iqhub *self, gconstpointer data, e_sched_evt_type type,
                                      GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr || data == nullptr)
        return iqhub_invalid_handle(error, __func__);
    return push_event(priv, data, type, iqhub_single_bit_rate(priv), 0, error);
}

IQHUB_EXPORT void iqhub_sched_process_fcont(Iqhub *self, vdem_frame_cont_t *container)
{
    IqhubPrivate *priv = iqhub_priv(self);
    iqhub_sched_deliver_fcont(self, container, priv != nullptr ? iqhub_single_bit_rate(priv) : 0,
                              0);
}

IQHUB_EXPORT void iqhub_sched_clear(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv != nullptr)
        free_events(priv->sched);
}

IQHUB_EXPORT void iqhub_sched_dispose(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(priv->sched.mtx);
        iqhub_wakeup_free(&priv->sched.dispatch);
        priv->sched.task_id = 0;
    }
    iqhub_sched_clear(self);
}

IQHUB_EXPORT void iqhub_sched_finalize(Iqhub *self)
{
    /* The queue is a member of the private record and goes with it. */
    (void)self;
}

} // extern "C"
