/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Scan operations: each takes its own context reference for the call, so
 * that with no card open each call rebuilds the device list. */
#include <cstring>

#include "bottom.h"

namespace
{

constexpr gsize kScanTextLen = 4096;
constexpr const gchar *kNoDevice = "No xvek device detected";

/* Holds one context reference for the length of a scan call. */
class ContextRef
{
  public:
    ContextRef() = default;
    ContextRef(const ContextRef &) = delete;
    ContextRef &operator=(const ContextRef &) = delete;
    ~ContextRef()
    {
        if (ctx_ != nullptr)
            context_release(ctx_);
    }
    gboolean get(GError **error) { return context_get(&ctx_, error); }
    sBottomCtx *operator->() const { return ctx_; }

  private:
    sBottomCtx *ctx_ = nullptr;
};

gboolean null_out(GError **error)
{
    xvek_set_error(error, "Internal error null ptr");
    return FALSE;
}

} // namespace

gboolean bottom_scan_get_device_nb(guint32 *pnb, GError **error)
{
    if (pnb == nullptr)
        return null_out(error);
    ContextRef ctx;
    if (!ctx.get(error))
        return FALSE;
    *pnb = static_cast<guint32>(ctx->devNb);
    return TRUE;
}

gboolean bottom_scan_print_info_all(gchar **pprint, GError **error)
{
    if (pprint == nullptr)
        return null_out(error);
    ContextRef ctx;
    if (!ctx.get(error))
        return FALSE;
    if (ctx->devNb == 0) {
        *pprint = g_strdup(kNoDevice);
        return TRUE;
    }
    GString *text = g_string_sized_new(kScanTextLen);
    for (gsize i = 0; i < ctx->devNb && text->len < kScanTextLen - 1; i++) {
        g_string_append_printf(text, "***Vek device %" G_GUINT64_FORMAT "***\n%s***",
                               static_cast<guint64>(i), ctx->devList[i]->info);
    }
    if (text->len > kScanTextLen - 1)
        g_string_truncate(text, kScanTextLen - 1);
    *pprint = g_string_free(text, FALSE);
    return TRUE;
}

gboolean bottom_scan_get_first_device_id(guint32 *p_id, GError **error)
{
    if (p_id == nullptr)
        return null_out(error);
    ContextRef ctx;
    if (!ctx.get(error))
        return FALSE;
    if (ctx->devNb == 0) {
        xvek_set_error(error, "%s", kNoDevice);
        return FALSE;
    }
    *p_id = 0;
    return TRUE;
}

gboolean bottom_scan_print_info_device(guint32 id, gchar **pprint, GError **error)
{
    if (pprint == nullptr)
        return null_out(error);
    ContextRef ctx;
    if (!ctx.get(error))
        return FALSE;
    if (id >= ctx->devNb) {
        xvek_set_error(error, "No device with id %u", id);
        return FALSE;
    }
    *pprint = g_strdup_printf("***Vek device %u***\n%s***", id, ctx->devList[id]->info);
    xvek_log(LOG_LEVEL_DEBUG, "%s", *pprint);
    return TRUE;
}
