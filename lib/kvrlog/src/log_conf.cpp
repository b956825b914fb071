/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Text configuration of the logger: key files, key tables, levels, traces, dump. */
#include "kvrlog-private.h"

#include <cstring>

#include <kvrconf/kvrconf.h>

namespace
{

gboolean apply_item(KvrlogConf *conf, const gchar *key, const gchar *value, GError **error)
{
    if (g_ascii_strcasecmp(key, "prog") == 0) {
        g_free(conf->prog);
        conf->prog = g_strdup(value);
        return TRUE;
    }
    if (g_ascii_strcasecmp(key, "level") == 0) {
        GError *local = nullptr;
        const KvrlogLevel level = kvrlog_conf_parse_level(conf, value, &local);
        if (local != nullptr) {
            g_propagate_error(error, local);
            return FALSE;
        }
        conf->level = level;
        return TRUE;
    }
    if (g_ascii_strcasecmp(key, "trace") == 0) {
        GError *local = nullptr;
        const guint64 trace = kvrlog_conf_parse_trace(conf, value, &local);
        if (local != nullptr) {
            g_propagate_error(error, local);
            return FALSE;
        }
        conf->trace = trace;
        return TRUE;
    }
    if (!kvrlog_file_check_item(conf->type, key, value, error))
        return FALSE;
    const kvrlogHelper *helper = kvrlog_get_helper(conf->type);
    if (helper == nullptr || helper->parse == nullptr || !helper->parse("", key, value, conf)) {
        kvrlog_set_error(error, KVRLOG_ERR_NOT_FOUND, "configuration item '%s' not supported", key);
        return FALSE;
    }
    return TRUE;
}

/* Strips blanks and tabs only, in place. */
gchar *strip_blanks(gchar *text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    std::size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t'))
        text[--len] = '\0';
    return text;
}

} // namespace

gboolean kvrlog_conf_parse(KvrlogConf *conf, GKeyFile *file, GError **error)
{
    g_return_val_if_fail(KVRLOG_IS_CONF(conf), FALSE);
    g_return_val_if_fail(file != nullptr, FALSE);
    g_auto(GStrv) keys = g_key_file_get_keys(file, "log", nullptr, error);
    if (keys == nullptr)
        return FALSE;
    for (gchar **key = keys; *key != nullptr; ++key) {
        gboolean ok = FALSE;
        g_autofree gchar *value = kvrConfGetString(file, "log", *key, &ok);
        if (!ok || value == nullptr) {
            kvrlog_set_error(error, KVRLOG_ERR_VALUE, "cannot get '%s' value from file", *key);
            return FALSE;
        }
        if (!apply_item(conf, *key, value, error))
            return FALSE;
    }
    return TRUE;
}

gboolean kvrlog_conf_setup(KvrlogConf *conf, GHashTable *items, GError **error)
{
    g_return_val_if_fail(KVRLOG_IS_CONF(conf), FALSE);
    if (items == nullptr)
        return TRUE;
    GHashTableIter iter;
    gpointer key = nullptr;
    gpointer value = nullptr;
    g_hash_table_iter_init(&iter, items);
    while (g_hash_table_iter_next(&iter, &key, &value)) {
        if (key == nullptr || value == nullptr) {
            kvrlog_set_error(error, KVRLOG_ERR_EARG, "configuration item without key or value");
            return FALSE;
        }
        if (!apply_item(conf, static_cast<const gchar *>(key), static_cast<const gchar *>(value),
                        error))
            return FALSE;
    }
    return TRUE;
}

KvrlogLevel kvrlog_conf_parse_level(KvrlogConf *conf, const gchar *text, GError **error)
{
    (void)conf;
    static const struct {
        const char *name;
        KvrlogLevel level;
    } kLevels[] = {
        {"LEVEL_ERR", KVRLOG_LEVEL_ERR},
        {"LEVEL_WARN", KVRLOG_LEVEL_WARN},
        {"LEVEL_INFO", KVRLOG_LEVEL_INFO},
        {"LEVEL_DEBUG", KVRLOG_LEVEL_DEBUG},
    };
    if (text != nullptr) {
        for (const auto &entry : kLevels) {
            if (g_ascii_strcasecmp(text, entry.name) == 0)
                return entry.level;
        }
    }
    kvrlog_set_error(error, KVRLOG_ERR_NOT_FOUND, "level '%s' not found",
                     text != nullptr ? text : "(null)");
    return KVRLOG_LEVEL_INFO;
}

guint64 kvrlog_conf_parse_trace(KvrlogConf *conf, const gchar *text, GError **error)
{
    if (text == nullptr) {
        kvrlog_set_error(error, KVRLOG_ERR_OOM, "cannot allocate memory to parse trace");
        return 0;
    }
    GHashTable *registry = conf != nullptr ? conf->reg_traces : gsRegisteredTraces;
    g_auto(GStrv) pieces = g_strsplit(text, "|", -1);
    guint64 result = 0;
    for (gchar **raw = pieces; *raw != nullptr; ++raw) {
        if (**raw == '\0')
            continue;
        const gchar *piece = strip_blanks(*raw);
        if (piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X')) {
            /* Hexadecimal pieces reach the low 32 bits only, saturating. */
            const guint64 value = g_ascii_strtoull(piece + 2, nullptr, 16);
            result |= value > G_MAXUINT32 ? G_MAXUINT32 : value;
            continue;
        }
        const auto *mask = registry != nullptr
                               ? static_cast<const guint64 *>(g_hash_table_lookup(registry, piece))
                               : nullptr;
        if (mask == nullptr) {
            kvrlog_set_error(error, KVRLOG_ERR_VALUE, "cannot parse trace flag '%s'", piece);
            return result;
        }
        result |= *mask;
    }
    return result;
}

gchar **kvrlog_conf_list_trace(KvrlogConf *conf, GError **error)
{
    (void)error;
    GHashTable *registry = conf != nullptr ? conf->reg_traces : gsRegisteredTraces;
    GPtrArray *names = g_ptr_array_new();
    if (registry != nullptr) {
        GHashTableIter iter;
        gpointer key = nullptr;
        g_hash_table_iter_init(&iter, registry);
        while (g_hash_table_iter_next(&iter, &key, nullptr))
            g_ptr_array_add(names, g_strdup(static_cast<const gchar *>(key)));
    }
    g_ptr_array_add(names, nullptr);
    return reinterpret_cast<gchar **>(g_ptr_array_free(names, FALSE));
}

gchar *kvrlog_trace_to_str(KvrlogConf *conf, guint64 trace)
{
    GHashTable *registry = conf != nullptr ? conf->reg_traces : gsRegisteredTraces;
    GString *text = g_string_new(nullptr);
    const char *separator = "";
    guint64 unnamed = 0;
    for (unsigned bit = 0; bit < 64; ++bit) {
        const guint64 mask = G_GUINT64_CONSTANT(1) << bit;
        if ((trace & mask) == 0)
            continue;
        bool named = false;
        if (registry != nullptr) {
            GHashTableIter iter;
            gpointer key = nullptr;
            gpointer value = nullptr;
            g_hash_table_iter_init(&iter, registry);
            while (g_hash_table_iter_next(&iter, &key, &value)) {
                if ((*static_cast<const guint64 *>(value) & mask) == 0)
                    continue;
                g_string_append_printf(text, "%s%s", separator, static_cast<const gchar *>(key));
                separator = " | ";
                named = true;
            }
        }
        if (!named)
            unnamed |= mask;
    }
    if (unnamed != 0)
        g_string_append_printf(text, "%s0x%016" G_GINT64_MODIFIER "x", separator, unnamed);
    return g_string_free(text, FALSE);
}

void kvrlog_conf_dump(KvrlogConf *conf, FILE *stream)
{
    g_return_if_fail(KVRLOG_IS_CONF(conf));
    g_return_if_fail(stream != nullptr);
    g_autofree gchar *trace = kvrlog_trace_to_str(conf, conf->trace);
    std::fprintf(stream, "  log {\n");
    std::fprintf(stream, "    prog = %s\n", conf->prog != nullptr ? conf->prog : "(null)");
    std::fprintf(stream, "    level = %s\n", kvrlog_level_to_str(conf, conf->level, 1));
    std::fprintf(stream, "    trace = %s\n", trace);
    std::fprintf(stream, "    threads = %u\n", conf->threads ? 1U : 0U);
    const kvrlogHelper *helper = kvrlog_get_helper(conf->type);
    if (helper != nullptr && helper->dump != nullptr)
        helper->dump(stream, conf);
    std::fprintf(stream, "  }\n");
}
