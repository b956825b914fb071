/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Typed lookups in a loaded configuration key file. Every failure is told on
// standard error and turned into an "ok" flag or the caller's default.
#include <kvrconf/kvrconf.h>

#include <cstdio>
#include <cstring>

namespace
{

const gchar *text_or_empty(const gchar *s)
{
    return s ? s : "";
}

// GLib's key-file getters refuse a missing file, group or key name with a
// critical warning and without setting their error: check them first.
bool can_look_up(GKeyFile *conf, const gchar *group, const gchar *key, GError **error)
{
    if (!conf) {
        g_set_error_literal(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_NOT_FOUND,
                            "No configuration loaded");
        return false;
    }
    if (!group || !key) {
        g_set_error_literal(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_NOT_FOUND,
                            "no group or key name given");
        return false;
    }
    return true;
}

// Raw value of group/key, trimmed; NULL with @error set when it is missing.
gchar *raw_value(GKeyFile *conf, const gchar *group, const gchar *key, GError **error)
{
    if (!can_look_up(conf, group, key, error))
        return nullptr;
    gchar *value = g_key_file_get_value(conf, group, key, error);
    return value ? g_strstrip(value) : nullptr;
}

// Text of a lookup error, whether or not GLib filled it in.
const gchar *reason(const GError *error)
{
    return error ? error->message : "No error";
}

// Trims @text in place, writing to it only when it has white space to lose:
// the caller's default may be a literal in read-only memory.
gchar *strip_if_needed(gchar *text)
{
    const size_t len = strlen(text);
    if (len > 0 && (g_ascii_isspace(text[0]) || g_ascii_isspace(text[len - 1])))
        g_strstrip(text);
    return text;
}

void set_ok(gboolean *ok, gboolean value)
{
    if (ok)
        *ok = value;
}

// Base of a configuration integer: "0x" prefix is hexadecimal, a leading zero
// on a longer text is octal, the rest decimal.
guint integer_base(const gchar *value)
{
    if (g_str_has_prefix(value, "0x"))
        return 16;
    if (value[0] == '0' && value[1] != '\0')
        return 8;
    return 10;
}

template <typename T> using Converter = T (*)(const gchar *, guint, GError **);

template <typename T>
bool lookup_integer(GKeyFile *conf, const gchar *group, const gchar *key, Converter<T> convert,
                    T *result)
{
    g_autoptr(GError) error = nullptr;
    g_autofree gchar *value = raw_value(conf, group, key, &error);
    if (!value) {
        fprintf(stderr, "Error getting key '%s' in group '%s' (cannot get raw value): %s\n",
                text_or_empty(key), text_or_empty(group), reason(error));
        return false;
    }
    T converted = convert(value, integer_base(value), &error);
    if (error) {
        fprintf(stderr, "Unable to convert key '%s' in group '%s' : %s\n", key, group,
                error->message);
        return false;
    }
    *result = converted;
    return true;
}

template <typename T>
T integer_or_flag(GKeyFile *conf, const gchar *group, const gchar *key, Converter<T> convert,
                  gboolean *ok)
{
    T value = 0;
    bool found = lookup_integer(conf, group, key, convert, &value);
    set_ok(ok, found);
    return found ? value : 0;
}

// The default's text in the "Return default value" line, per result type.
void announce_default(gint32 def)
{
    fprintf(stderr, "Return default value '%i'\n", def);
}
void announce_default(gint64 def)
{
    fprintf(stderr, "Return default value '%lli'\n", static_cast<long long>(def));
}
void announce_default(guint32 def)
{
    fprintf(stderr, "Return default value '%u'\n", def);
}
void announce_default(guint64 def)
{
    fprintf(stderr, "Return default value '%llu'\n", static_cast<unsigned long long>(def));
}

template <typename T>
T integer_or_default(GKeyFile *conf, const gchar *group, const gchar *key, Converter<T> convert,
                     T def)
{
    T value = 0;
    if (lookup_integer(conf, group, key, convert, &value))
        return value;
    announce_default(def);
    return def;
}

bool lookup_bool(GKeyFile *conf, const gchar *group, const gchar *key, gboolean *result)
{
    g_autoptr(GError) error = nullptr;
    g_autofree gchar *value = raw_value(conf, group, key, &error);
    if (!value) {
        fprintf(stderr, "Error getting key '%s' in group '%s' (neither uin64 nor raw value): %s\n",
                text_or_empty(key), text_or_empty(group), reason(error));
        return false;
    }
    if (g_ascii_strcasecmp(value, "true") == 0 || g_strcmp0(value, "1") == 0) {
        *result = TRUE;
        return true;
    }
    if (g_ascii_strcasecmp(value, "false") == 0 || g_strcmp0(value, "0") == 0) {
        *result = FALSE;
        return true;
    }
    fprintf(stderr,
            "Error getting key '%s' in group '%s' (not TRUE,FALSE,0 or 1 neither case "
            "insensitive ones)\n",
            key, group);
    return false;
}

bool lookup_double(GKeyFile *conf, const gchar *group, const gchar *key, gdouble *result)
{
    g_autoptr(GError) error = nullptr;
    g_autofree gchar *value = raw_value(conf, group, key, &error);
    if (!value) {
        fprintf(stderr, "Error getting key '%s' in group '%s' (cannot get raw value): %s\n",
                text_or_empty(key), text_or_empty(group), reason(error));
        return false;
    }
    gdouble converted = kvrConvertStrToDouble(value, &error);
    if (error) {
        fprintf(stderr, "Unable to convert key '%s' in group '%s' : %s\n", key, group,
                error->message);
        return false;
    }
    *result = converted;
    return true;
}

gchar *lookup_string(GKeyFile *conf, const gchar *group, const gchar *key)
{
    g_autoptr(GError) error = nullptr;
    gchar *value = can_look_up(conf, group, key, &error)
                       ? g_key_file_get_string(conf, group, key, &error)
                       : nullptr;
    if (!value) {
        fprintf(stderr, "Error getting key '%s' in group '%s' : %s\n", text_or_empty(key),
                text_or_empty(group), reason(error));
        return nullptr;
    }
    return g_strstrip(value);
}

} // namespace

gboolean kvrConfHasGroup(GKeyFile *conf, const gchar *group)
{
    return conf && group && g_key_file_has_group(conf, group);
}

gboolean kvrConfHasKey(GKeyFile *conf, const gchar *group, const gchar *key)
{
    if (!conf || !group || !key)
        return FALSE;
    g_autoptr(GError) error = nullptr;
    gboolean found = g_key_file_has_key(conf, group, key, &error);
    return found && !error;
}

gboolean kvrConfGetBool(GKeyFile *conf, const gchar *group, const gchar *key, gboolean *ok)
{
    gboolean value = FALSE;
    bool found = lookup_bool(conf, group, key, &value);
    set_ok(ok, found);
    return found ? value : FALSE;
}

gboolean kvrConfGetBoolDefault(GKeyFile *conf, const gchar *group, const gchar *key, gboolean def)
{
    gboolean value = FALSE;
    if (lookup_bool(conf, group, key, &value))
        return value;
    fprintf(stderr, "Return default value '%s'\n", def ? "true" : "false");
    return def;
}

gint32 kvrConfGetInt(GKeyFile *conf, const gchar *group, const gchar *key, gboolean *ok)
{
    return integer_or_flag<gint32>(conf, group, key, kvrConvertStrToInt, ok);
}

gint32 kvrConfGetIntDefault(GKeyFile *conf, const gchar *group, const gchar *key, gint32 def)
{
    return integer_or_default<gint32>(conf, group, key, kvrConvertStrToInt, def);
}

gint64 kvrConfGetInt64(GKeyFile *conf, const gchar *group, const gchar *key, gboolean *ok)
{
    return integer_or_flag<gint64>(conf, group, key, kvrConvertStrToInt64, ok);
}

gint64 kvrConfGetInt64Default(GKeyFile *conf, const gchar *group, const gchar *key, gint64 def)
{
    return integer_or_default<gint64>(conf, group, key, kvrConvertStrToInt64, def);
}

guint32 kvrConfGetUInt(GKeyFile *conf, const gchar *group, const gchar *key, gboolean *ok)
{
    return integer_or_flag<guint32>(conf, group, key, kvrConvertStrToUint, ok);
}

guint32 kvrConfGetUIntDefault(GKeyFile *conf, const gchar *group, const gchar *key, guint32 def)
{
    return integer_or_default<guint32>(conf, group, key, kvrConvertStrToUint, def);
}

guint64 kvrConfGetUInt64(GKeyFile *conf, const gchar *group, const gchar *key, gboolean *ok)
{
    return integer_or_flag<guint64>(conf, group, key, kvrConvertStrToUint64, ok);
}

guint64 kvrConfGetUInt64Default(GKeyFile *conf, const gchar *group, const gchar *key, guint64 def)
{
    return integer_or_default<guint64>(conf, group, key, kvrConvertStrToUint64, def);
}

gdouble kvrConfGetDouble(GKeyFile *conf, const gchar *group, const gchar *key, gboolean *ok)
{
    gdouble value = 0.0;
    bool found = lookup_double(conf, group, key, &value);
    set_ok(ok, found);
    return found ? value : 0.0;
}

gdouble kvrConfGetDoubleDefault(GKeyFile *conf, const gchar *group, const gchar *key, gdouble def)
{
    gdouble value = 0.0;
    if (lookup_double(conf, group, key, &value))
        return value;
    fprintf(stderr, "Return default value '%lf'\n", def);
    return def;
}

gchar *kvrConfGetString(GKeyFile *conf, const gchar *group, const gchar *key, gboolean *ok)
{
    gchar *value = lookup_string(conf, group, key);
    set_ok(ok, value != nullptr);
    return value;
}

gchar *kvrConfGetStringDefault(GKeyFile *conf, const gchar *group, const gchar *key, gchar *def)
{
    gchar *value = lookup_string(conf, group, key);
    if (value)
        return value;
    fprintf(stderr, "Return default value '%s'\n", text_or_empty(def));
    return def ? strip_if_needed(def) : nullptr;
}

gchar **kvrConfGetStringList(GKeyFile *conf, const gchar *group, const gchar *key, gsize *length,
                             gboolean *ok)
{
    g_autoptr(GError) error = nullptr;
    gsize count = 0;
    gchar **list = can_look_up(conf, group, key, &error)
                       ? g_key_file_get_string_list(conf, group, key, &count, &error)
                       : nullptr;
    if (!list) {
        fprintf(stderr, "Error getting key '%s' in group '%s' : %s\n", text_or_empty(key),
                text_or_empty(group), reason(error));
        if (length)
            *length = 0;
        set_ok(ok, FALSE);
        return nullptr;
    }
    for (gsize i = 0; i < count; i++)
        g_strstrip(list[i]);
    if (length)
        *length = count;
    set_ok(ok, TRUE);
    return list;
}
