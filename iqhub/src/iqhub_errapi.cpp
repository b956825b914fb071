/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The error API: the demodulator's last refusal, code and reason, for the
 * "errapi" property. */
#include <algorithm>
#include <cstring>

#include "iqhub-private.h"

namespace
{
constexpr gchar kPrefix[] = "ERRAPI:";
constexpr gsize kPrefixLen = sizeof(kPrefix) - 1;
/* The prefix and at least two characters of reason. */
constexpr gsize kShortestMessage = 9;
} // namespace

extern "C" {

IQHUB_EXPORT gboolean iqhub_errapi_init(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    priv->errapi.val = 0;
    g_clear_pointer(&priv->errapi.msg, g_free);
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_errapi_set_val(Iqhub *self, gint32 val, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    if (val == 0) {
        g_set_error(error, IQHUB_ERRAPI_ERRDOM, 0, "Invalid errapi val %d", val);
        return FALSE;
    }
    priv->errapi.val = val;
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_errapi(Iqhub *self, const gchar *text, gsize length, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    if (text == nullptr) {
        g_set_error(error, IQHUB_ERRAPI_ERRDOM, 0, "Invalid errapi msg [ptr: %p]",
                    static_cast<const void *>(text));
        return FALSE;
    }
    /* The text ends at its NUL or after @length bytes, whichever comes first. */
    const gsize available = strnlen(text, length);
    if (available < kPrefixLen || std::strncmp(text, kPrefix, kPrefixLen) != 0) {
        g_set_error(error, IQHUB_ERRAPI_ERRDOM, 0, "Invalid errapi msg '%.*s'",
                    static_cast<int>(available), text);
        return FALSE;
    }
    if (length < kShortestMessage) {
        g_set_error(error, IQHUB_ERRAPI_ERRDOM, 0, "Err api msg too short");
        return FALSE;
    }
    KVRLOG_INFO("Non-parsed msg is : '%.*s' (len %" G_GUINT64_FORMAT ")",
                static_cast<int>(available), text, static_cast<guint64>(length));
    const gchar *reason = text + kPrefixLen;
    const gsize reason_len = strcspn(reason, "\n");
    g_free(priv->errapi.msg);
    priv->errapi.msg = g_strndup(reason, std::min(reason_len, available - kPrefixLen));
    KVRLOG_INFO("Parsed msg is : '%s'", priv->errapi.msg);
    return TRUE;
}

IQHUB_EXPORT void iqhub_errapi_clear(Iqhub *self)
{
    iqhub_errapi_init(self, nullptr);
}

IQHUB_EXPORT gboolean iqhub_errapi_has_error(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    return priv != nullptr && priv->errapi.val != 0;
}

IQHUB_EXPORT gchar *iqhub_errapi_get_error(Iqhub *self)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr || priv->errapi.msg == nullptr)
        return g_strdup("[no error msg]");
    KVRLOG_INFO("%s", priv->errapi.msg);
    return g_strdup(priv->errapi.msg);
}

IQHUB_EXPORT void iqhub_errapi_dispose(Iqhub *self)
{
    (void)self;
}

IQHUB_EXPORT void iqhub_errapi_finalize(Iqhub *self)
{
    iqhub_errapi_clear(self);
}

} // extern "C"
