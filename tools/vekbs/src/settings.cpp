/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekbs.conf: the station's key file. Its groups are "station", "card",
 * "mqtt" and "log"; the command line overrides what it says. */
#include "settings.h"

#include <cmath>
#include <cstring>

#include <kvrconf/kvrconf.h>

namespace vekbs
{
namespace
{

struct Key {
    const gchar *group, *name;
};

/* Every key the station reads: anything else in its groups is a typo. */
const Key kKeys[] = {
    {"station", "name"},
    {"station", "bit_rate"},
    {"station", "authenticate"},
    {"station", "whitelist"},
    {"station", "blacklist"},
    {"station", "stats_interval"},
    {"card", "index"},
    {"card", "rx_frequency"},
    {"card", "preamp0"},
    {"card", "preamp1"},
    {"card", "preamp2"},
    {"card", "int_gain"},
    {"card", "ext_gain"},
    {"card", "queue_transfers"},
    {"mqtt", "url"},
    {"mqtt", "prefix"},
    {"mqtt", "user"},
    {"mqtt", "password"},
    {"mqtt", "ca_file"},
    {"mqtt", "queue"},
    {"mqtt", "keepalive"},
    {"mqtt", "max_backoff"},
    {"downlink", "max_request_bytes"},
    {"downlink", "max_id_bytes"},
    {"downlink", "queue"},
    {"downlink", "max_age"},
    {"downlink", "sub_bands"},
    {"downlink", "bit_rate"},
    {"downlink", "device_frames_per_hour"},
};

bool fail(GError **error, const gchar *group, const gchar *key, const gchar *what)
{
    g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE, "[%s] %s: %s", group, key,
                what);
    return false;
}

bool known_keys(GKeyFile *file, GError **error)
{
    for (const gchar *group : {"station", "card", "mqtt", "downlink"}) {
        if (!g_key_file_has_group(file, group))
            continue;
        g_auto(GStrv) keys = g_key_file_get_keys(file, group, nullptr, nullptr);
        for (guint i = 0; keys != nullptr && keys[i] != nullptr; i++) {
            bool known = false;
            for (const Key &k : kKeys)
                known = known || (g_str_equal(k.group, group) && g_str_equal(k.name, keys[i]));
            if (!known)
                return fail(error, group, keys[i], "not a key of this group");
        }
    }
    return true;
}

bool get_string(GKeyFile *file, const gchar *group, const gchar *key, std::string &out)
{
    if (!kvrConfHasKey(file, group, key))
        return false;
    g_autofree gchar *value = kvrConfGetString(file, group, key, nullptr);
    if (value == nullptr)
        return false;
    out = value;
    return true;
}

bool get_uint(GKeyFile *file, const gchar *group, const gchar *key, guint64 min, guint64 max,
              guint64 *out, GError **error)
{
    std::string text;
    if (!get_string(file, group, key, text))
        return true;
    if (!g_ascii_string_to_unsigned(text.c_str(), 10, min, max, out, nullptr)) {
        g_autofree gchar *what = g_strdup_printf(
            "'%s' is not a whole number from %" G_GUINT64_FORMAT " to %" G_GUINT64_FORMAT,
            text.c_str(), min, max);
        return fail(error, group, key, what);
    }
    return true;
}

bool get_double(GKeyFile *file, const gchar *group, const gchar *key, gdouble min, gdouble max,
                gdouble *out, GError **error)
{
    std::string text;
    if (!get_string(file, group, key, text))
        return true;
    gchar *end = nullptr;
    const gdouble v = g_ascii_strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < min || v > max) {
        g_autofree gchar *what =
            g_strdup_printf("'%s' is not a number from %g to %g", text.c_str(), min, max);
        return fail(error, group, key, what);
    }
    *out = v;
    return true;
}

bool apply_downlink(GKeyFile *file, DownlinkConfig &downlink, GError **error)
{
    guint64 n = 0;
    struct {
        const gchar *key;
        gsize *field;
        guint64 min, max;
    } sizes[] = {{"max_request_bytes", &downlink.limits.max_bytes, 64, 65536},
                 {"max_id_bytes", &downlink.limits.max_id_bytes, 1, 4096}};
    for (auto &size : sizes) {
        n = *size.field;
        if (!get_uint(file, "downlink", size.key, size.min, size.max, &n, error))
            return false;
        *size.field = static_cast<gsize>(n);
    }
    DownlinkPolicyConfig &policy = downlink.policy;
    struct {
        const gchar *key;
        guint *field;
        guint64 min, max;
    } numbers[] = {{"queue", &downlink.queue, 1, 10000},
                   {"max_age", &policy.max_age_s, 1, 3600},
                   {"bit_rate", &policy.bit_rate, 1, 10000000},
                   {"device_frames_per_hour", &policy.device_frames_per_hour, 0, 1000000}};
    for (auto &number : numbers) {
        n = *number.field;
        if (!get_uint(file, "downlink", number.key, number.min, number.max, &n, error))
            return false;
        *number.field = static_cast<guint>(n);
    }
    if (!kvrConfHasKey(file, "downlink", "sub_bands"))
        return true;
    gsize count = 0;
    g_auto(GStrv) bands =
        g_key_file_get_string_list(file, "downlink", "sub_bands", &count, nullptr);
    policy.sub_bands.clear();
    for (gsize i = 0; bands != nullptr && i < count; i++) {
        if (g_strstrip(bands[i])[0] == '\0')
            continue;
        SubBand band;
        g_autoptr(GError) bad = nullptr;
        if (!parse_sub_band(bands[i], band, &bad))
            return fail(error, "downlink", "sub_bands", bad->message);
        policy.sub_bands.push_back(band);
    }
    if (policy.sub_bands.empty())
        return fail(error, "downlink", "sub_bands",
                    "lists no sub-band (leave the key out for the defaults of the card's band)");
    return true;
}

} // namespace

bool parse_preamp_mode(const gchar *text, VektypePreampMode *mode)
{
    g_autofree gchar *upper = g_ascii_strup(text, -1);
    *mode = xvek_hlp_str_to_preampmode(upper);
    return *mode != XVEK_CTL_PREAMP_MODE_MAX;
}

bool parse_bit_rate(const gchar *text, std::vector<guint> &rates)
{
    if (g_str_equal(text, "both"))
        rates = {100, 600};
    else if (g_str_equal(text, "100"))
        rates = {100};
    else if (g_str_equal(text, "600"))
        rates = {600};
    else
        return false;
    return true;
}

bool apply_key_file(GKeyFile *file, StationConfig &config, FileSettings &files, GError **error)
{
    if (!known_keys(file, error))
        return false;
    std::string text;
    guint64 n = 0;
    if (get_string(file, "station", "name", text))
        config.name = text;
    if (get_string(file, "station", "bit_rate", text) &&
        !parse_bit_rate(text.c_str(), config.rates))
        return fail(error, "station", "bit_rate", "takes 100, 600 or both");
    if (kvrConfHasKey(file, "station", "authenticate")) {
        gboolean ok = FALSE;
        config.authenticate = kvrConfGetBool(file, "station", "authenticate", &ok);
        if (!ok)
            return fail(error, "station", "authenticate", "takes true or false");
    }
    if (get_string(file, "station", "whitelist", text))
        files.whitelist = text;
    if (get_string(file, "station", "blacklist", text))
        files.blacklist = text;
    n = config.stats_interval;
    if (!get_uint(file, "station", "stats_interval", 1, 86400, &n, error))
        return false;
    config.stats_interval = static_cast<guint>(n);

    CardConfig &card = config.card_config;
    n = card.index;
    if (!get_uint(file, "card", "index", 0, 63, &n, error))
        return false;
    card.index = static_cast<guint>(n);
    n = card.rx_frequency;
    if (!get_uint(file, "card", "rx_frequency", 0, G_MAXUINT32, &n, error))
        return false;
    card.rx_frequency = static_cast<guint32>(n);
    for (guint id = 0; id < 3; id++) {
        g_autofree gchar *key = g_strdup_printf("preamp%u", id);
        VektypePreampMode mode;
        if (!get_string(file, "card", key, text))
            continue;
        if (!parse_preamp_mode(text.c_str(), &mode))
            return fail(error, "card", key, "takes LNA, BYPASS or ATTEN");
        card.preamps[id] = mode;
    }
    if (!get_double(file, "card", "int_gain", 0.0, 200.0, &config.int_gain, error) ||
        !get_double(file, "card", "ext_gain", -100.0, 100.0, &config.ext_gain, error))
        return false;
    n = card.queue_transfers;
    if (!get_uint(file, "card", "queue_transfers", 16, 65536, &n, error))
        return false;
    card.queue_transfers = static_cast<guint>(n);

    MqttConfig &mqtt = config.mqtt;
    if (get_string(file, "mqtt", "url", text))
        mqtt.url = text;
    if (get_string(file, "mqtt", "prefix", text))
        mqtt.prefix = text;
    get_string(file, "mqtt", "user", mqtt.user);
    get_string(file, "mqtt", "password", mqtt.password);
    get_string(file, "mqtt", "ca_file", mqtt.ca_file);
    struct {
        const gchar *key;
        guint *field;
        guint64 min, max;
    } numbers[] = {{"queue", &mqtt.queue, 1, 10000000},
                   {"keepalive", &mqtt.keepalive, 5, 65535},
                   {"max_backoff", &mqtt.max_backoff, 1, 3600}};
    for (auto &number : numbers) {
        n = *number.field;
        if (!get_uint(file, "mqtt", number.key, number.min, number.max, &n, error))
            return false;
        *number.field = static_cast<guint>(n);
    }
    return apply_downlink(file, config.downlink, error);
}

GKeyFile *load_key_file(const gchar *path, GError **error)
{
    if (path != nullptr) {
        GKeyFile *file = kvrConfSet(path);
        if (file == nullptr)
            g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_PARSE,
                        "%s cannot be read (the reason is above)", path);
        return file;
    }
    GKeyFile *file = kvrConfGet(kConfigName);
    if (file != nullptr)
        return file;
    /* Not found is fine; found but unreadable is not. */
    for (const gchar *dir : {"/etc/kavrin/", "/etc/", "./conf/", "./"}) {
        g_autofree gchar *candidate = g_strconcat(dir, kConfigName, nullptr);
        if (g_file_test(candidate, G_FILE_TEST_EXISTS)) {
            g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_PARSE,
                        "%s cannot be read (the reason is above)", candidate);
            return nullptr;
        }
    }
    return nullptr;
}

} // namespace vekbs
