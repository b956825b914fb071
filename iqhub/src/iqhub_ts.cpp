/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The timestamp table: for each of the latest writes, the sample ids it
 * covered and its time value. */
#include "iqhub-private.h"

namespace
{

/* Whether @s falls in @entry. Sample ids run on 32 bits and wrap: an entry
 * whose range crosses the wrap (max below min) is matched modulo 2^32, for
 * ids that come from the 32-bit counter. */
bool entry_holds(const ts_entry &entry, sId_t s)
{
    if (entry.min <= s && s <= entry.max)
        return true;
    if (entry.max >= entry.min - 1 || s < G_MININT32 || s > G_MAXINT32)
        return false;
    const guint32 n = static_cast<guint32>(entry.max - entry.min + 1);
    return static_cast<guint32>(s - entry.min) < n;
}

void empty_table(tstamp &t)
{
    std::lock_guard<std::mutex> lock(t.lock);
    t.entries.clear();
}

} // namespace

extern "C" {

IQHUB_EXPORT gboolean iqhub_ts_init(Iqhub *self, GError **error)
{
    if (iqhub_priv(self) == nullptr)
        return iqhub_invalid_handle(error, __func__);
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_ts_reset(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    std::lock_guard<std::mutex> lock(priv->tstamp.lock);
    priv->tstamp.entries.clear();
    priv->tstamp.current_sample_id = 1;
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_ts_clear(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    empty_table(priv->tstamp);
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_ts_bind(Iqhub *self, guint32 n, struct timeval tv, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    tstamp &t = priv->tstamp;
    std::lock_guard<std::mutex> lock(t.lock);
    if (!t.entries.empty() && t.entries.size() >= priv->ts_depth)
        t.entries.pop_front();
    ts_entry entry;
    entry.tv_unix = tv;
    entry.min = t.current_sample_id;
    t.current_sample_id = static_cast<gint32>(static_cast<guint32>(t.current_sample_id) + n);
    entry.max = static_cast<gint32>(static_cast<guint32>(t.current_sample_id) - 1u);
    t.entries.push_back(entry);
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_ts_get(Iqhub *self, sId_t s, struct timeval *tv, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr || tv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    {
        std::lock_guard<std::mutex> lock(priv->tstamp.lock);
        for (const ts_entry &entry : priv->tstamp.entries) {
            if (entry_holds(entry, s)) {
                *tv = entry.tv_unix;
                return TRUE;
            }
        }
    }
    g_set_error(error, IQHUB_TSTAMP_ERRDOM, IQHUB_ERR, "cannot get time stamp for sampleId: %lu",
                static_cast<gulong>(static_cast<guint32>(s)));
    return FALSE;
}

IQHUB_EXPORT void iqhub_ts_dispose(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv != nullptr)
        empty_table(priv->tstamp);
}

IQHUB_EXPORT void iqhub_ts_finalize(Iqhub *self)
{
    /* The table is a member of the private record and goes with it. */
    (void)self;
}

} // extern "C"
