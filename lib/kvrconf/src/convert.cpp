/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Strict whole-text conversions shared by the configuration lookups and the
// frame text parsers.
#include <kvrconf/kvrconf.h>

#include <cstring>

namespace
{

bool base_is_supported(guint base)
{
    return base == 8 || base == 10 || base == 16;
}

const gchar *printable(const gchar *str)
{
    return str ? str : "";
}

void set_failed(GError **error, const gchar *format, ...) G_GNUC_PRINTF(2, 3);

void set_failed(GError **error, const gchar *format, ...)
{
    if (!error)
        return;
    va_list args;
    va_start(args, format);
    g_autofree gchar *message = g_strdup_vprintf(format, args);
    va_end(args);
    g_set_error_literal(error, G_CONVERT_ERROR, G_CONVERT_ERROR_FAILED, message);
}

// The whole text must be consumed, and there must be one.
bool consumed_whole(const gchar *str, const gchar *end)
{
    return str && *str != '\0' && end != str && *end == '\0';
}

bool parse_signed(const gchar *str, guint base, gint64 *value)
{
    if (!str)
        return false;
    gchar *end = nullptr;
    *value = g_ascii_strtoll(str, &end, base);
    return consumed_whole(str, end);
}

bool parse_unsigned(const gchar *str, guint base, guint64 *value)
{
    if (!str)
        return false;
    gchar *end = nullptr;
    *value = g_ascii_strtoull(str, &end, base);
    return consumed_whole(str, end);
}

bool reject_base(guint base, GError **error)
{
    if (base_is_supported(base))
        return false;
    set_failed(error, "Invalid base %u, ony support 10 or 16", base);
    return true;
}

int hex_digit(gchar c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

guint32 kvrConvertStrToUint(const gchar *str, guint base, GError **error)
{
    if (reject_base(base, error))
        return 0;
    guint64 value = 0;
    if (!parse_unsigned(str, base, &value)) {
        set_failed(error, "Unable to convert '%s' into an unsigned int with base %u",
                   printable(str), base);
        return 0;
    }
    return static_cast<guint32>(value);
}

gint32 kvrConvertStrToInt(const gchar *str, guint base, GError **error)
{
    if (reject_base(base, error))
        return 0;
    gint64 value = 0;
    if (!parse_signed(str, base, &value)) {
        set_failed(error, "Unable to convert '%s' into an integer with base %u", printable(str),
                   base);
        return 0;
    }
    return static_cast<gint32>(static_cast<guint32>(value));
}

guint64 kvrConvertStrToUint64(const gchar *str, guint base, GError **error)
{
    if (reject_base(base, error))
        return 0;
    // Negative texts keep their two's-complement reading (-1 is all ones);
    // everything else is parsed over the whole unsigned range.
    const gchar *first = str;
    while (first && g_ascii_isspace(*first))
        first++;
    bool ok;
    guint64 value = 0;
    if (first && *first == '-') {
        gint64 negative = 0;
        ok = parse_signed(str, base, &negative);
        value = static_cast<guint64>(negative);
    } else {
        ok = parse_unsigned(str, base, &value);
    }
    if (!ok) {
        set_failed(error, "Unable to convert '%s' into an unsigned long integer with base %u",
                   printable(str), base);
        return 0;
    }
    return value;
}

gint64 kvrConvertStrToInt64(const gchar *str, guint base, GError **error)
{
    if (reject_base(base, error))
        return 0;
    gint64 value = 0;
    if (!parse_signed(str, base, &value)) {
        set_failed(error, "Unable to convert '%s' into a long integer with base %u", printable(str),
                   base);
        return 0;
    }
    return value;
}

gdouble kvrConvertStrToDouble(const gchar *str, GError **error)
{
    gchar *end = nullptr;
    gdouble value = str ? g_ascii_strtod(str, &end) : 0.0;
    if (!consumed_whole(str, end)) {
        set_failed(error, "Unable to convert '%s' into a double", printable(str));
        return 0.0;
    }
    return value;
}

gboolean kvrConvertStrToHex(guint8 *data, const gchar *str, guint max_size, guint32 *size,
                            GError **error)
{
    guint32 ignored_size = 0;
    if (!size)
        size = &ignored_size;
    auto fail = [&]() {
        *size = 0;
        if (data && max_size > 0)
            memset(data, 0, max_size);
        return FALSE;
    };

    if (!str) {
        set_failed(error, "wrong data len, a char is missing in hexa");
        return fail();
    }
    if (strcmp(str, "-") == 0) {
        *size = 0;
        if (data && max_size > 0)
            memset(data, 0, max_size);
        return TRUE;
    }
    const gsize length = strlen(str);
    if (length % 2 != 0) {
        set_failed(error, "wrong data len, a char is missing in hexa");
        return fail();
    }

    *size = 0;
    if (!data)
        max_size = 0;
    while (*size < max_size && *size < length / 2) {
        const guint pos = *size * 2;
        const int hi = hex_digit(str[pos]);
        if (hi < 0) {
            set_failed(error, "Cannot parse '%c' as hexa (pos=%u, byte=%u-hi)", str[pos], pos,
                       *size);
            return fail();
        }
        const int lo = hex_digit(str[pos + 1]);
        if (lo < 0) {
            set_failed(error, "Cannot parse '%c' as hexa (pos=%u, byte=%u-lo)", str[pos + 1],
                       pos + 1, *size);
            return fail();
        }
        data[*size] = static_cast<guint8>(hi * 16 + lo);
        (*size)++;
    }
    return TRUE;
}
