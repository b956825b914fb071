/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The table of settings, and the two ways in: the command line and the key
 * file vekbs.conf (groups "station", "card", "mqtt"; "log" is the logger's). */
#include "settings.h"

#include <cmath>
#include <cstring>
#include <optional>

#include <kvrconf/kvrconf.h>

#include "mqtt.h"

namespace vekbs
{

namespace
{

/* The groups of vekbs.conf besides the table's: the logger reads its own. */
constexpr const gchar *kForeignGroups[] = {"log"};

bool is_number(Kind kind)
{
    return kind == Kind::UInt || kind == Kind::Double;
}

std::string format_number(gdouble v)
{
    gchar text[G_ASCII_DTOSTR_BUF_SIZE];
    return g_ascii_formatd(text, sizeof(text), "%.10g", v);
}

/* What a value of @row must be, as messages say it. */
std::string describe(const Setting &row)
{
    if (row.what != nullptr)
        return row.what;
    switch (row.kind) {
    case Kind::UInt:
        return "a whole number from " + format_number(row.min) + " to " + format_number(row.max);
    case Kind::Double:
        return "a number from " + format_number(row.min) + " to " + format_number(row.max);
    case Kind::Bool:
        return "true or false";
    case Kind::Choice: {
        std::string text;
        gsize n = 0;
        while (n < G_N_ELEMENTS(row.choices) && row.choices[n] != nullptr)
            n++;
        for (gsize i = 0; i < n; i++)
            text += std::string(i == 0 ? "" : i + 1 == n ? " or " : ", ") + row.choices[i];
        return text;
    }
    case Kind::Text:
    case Kind::Path:
    case Kind::Custom:
        return "text";
    }
    return "text";
}

bool refuse(const Setting &row, Origin origin, const gchar *value, GError **error)
{
    const std::string what = describe(row);
    /* A secret's value, or text that is not UTF-8, is never echoed. */
    const bool show = !row.secret && value != nullptr && g_utf8_validate(value, -1, nullptr);
    const std::string shown = show ? std::string(", not '") + value + "'" : "";
    if (origin == Origin::Option || row.group == nullptr) {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, "--%s %s %s%s", row.option,
                    is_number(row.kind) ? "must be" : "takes", what.c_str(), shown.c_str());
    } else if (is_number(row.kind)) {
        if (show)
            g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE,
                        "[%s] %s: '%s' is not %s", row.group, row.key, value, what.c_str());
        else
            g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE,
                        "[%s] %s: is not %s", row.group, row.key, what.c_str());
    } else {
        g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE, "[%s] %s: takes %s%s",
                    row.group, row.key, what.c_str(), shown.c_str());
    }
    return false;
}

std::optional<guint> read_uint(const Setting &row, const gchar *value)
{
    guint64 n = 0;
    if (!g_ascii_string_to_unsigned(value, 10, static_cast<guint64>(row.min),
                                    static_cast<guint64>(row.max), &n, nullptr))
        return std::nullopt;
    return static_cast<guint>(n);
}

std::optional<gdouble> read_double(const Setting &row, const gchar *value)
{
    gchar *end = nullptr;
    const gdouble v = g_ascii_strtod(value, &end);
    if (*value == '\0' || *end != '\0' || !std::isfinite(v) || v < row.min || v > row.max)
        return std::nullopt;
    return v;
}

std::optional<bool> read_bool(const gchar *value)
{
    if (g_str_equal(value, "true") || g_str_equal(value, "1"))
        return true;
    if (g_str_equal(value, "false") || g_str_equal(value, "0"))
        return false;
    return std::nullopt;
}

const gchar *read_choice(const Setting &row, const gchar *value)
{
    for (const gchar *choice : row.choices)
        if (choice != nullptr && g_ascii_strcasecmp(choice, value) == 0)
            return choice;
    return nullptr;
}

template <typename T> T &field(const Setting &row, Settings &settings)
{
    return std::get<T &(*)(Settings &)>(row.store)(settings);
}

} // namespace

const Setting *find_setting(const gchar *group, const gchar *key)
{
    for (const Setting &row : settings_table())
        if (row.group != nullptr && g_str_equal(row.group, group) && g_str_equal(row.key, key))
            return &row;
    return nullptr;
}

bool apply_setting(const Setting &row, Origin origin, const gchar *value, Settings &settings,
                   GError **error)
{
    if (value == nullptr && !row.optional_argument)
        return refuse(row, origin, value, error);
    switch (row.kind) {
    case Kind::Text:
    case Kind::Path:
        field<std::string>(row, settings) = value;
        return true;
    case Kind::UInt: {
        const std::optional<guint> n = read_uint(row, value);
        if (!n)
            return refuse(row, origin, value, error);
        field<guint>(row, settings) = *n;
        return true;
    }
    case Kind::Double: {
        const std::optional<gdouble> v = read_double(row, value);
        if (!v)
            return refuse(row, origin, value, error);
        field<gdouble>(row, settings) = *v;
        return true;
    }
    case Kind::Bool: {
        const std::optional<bool> b = read_bool(value);
        if (!b)
            return refuse(row, origin, value, error);
        field<bool>(row, settings) = *b;
        return true;
    }
    case Kind::Choice: {
        const gchar *choice = read_choice(row, value);
        if (choice == nullptr)
            return refuse(row, origin, value, error);
        if (std::holds_alternative<std::string &(*)(Settings &)>(row.store)) {
            field<std::string>(row, settings) = choice;
            return true;
        }
        if (!std::get<bool (*)(Settings &, const gchar *)>(row.store)(settings, choice))
            return refuse(row, origin, value, error);
        return true;
    }
    case Kind::Custom:
        if (!std::get<bool (*)(Settings &, const gchar *)>(row.store)(settings, value))
            return refuse(row, origin, value, error);
        return true;
    }
    return refuse(row, origin, value, error);
}

Settings default_settings()
{
    Settings settings;
    for (const Setting &row : settings_table())
        if (row.fallback != nullptr &&
            !apply_setting(row, Origin::Default, row.fallback, settings, nullptr))
            g_error("the default of %s is not valid", row.key != nullptr ? row.key : row.option);
    return settings;
}

/* ---- the command line ---- */

void CommandLine::add_to(GOptionContext *context)
{
    for (const Setting &row : settings_table()) {
        if (row.option == nullptr)
            continue;
        /* The default and the key, from the row itself. */
        std::string help = row.help != nullptr ? row.help : "", note;
        if (row.fallback != nullptr && row.flag_value == nullptr)
            note = std::string("default ") + row.fallback;
        if (row.group != nullptr)
            note += std::string(note.empty() ? "" : "; ") + "[" + row.group + "] " + row.key;
        if (!note.empty())
            help += " (" + note + ")";
        texts_.push_back(std::move(help));
        gint flags = 0;
        if (row.flag_value != nullptr)
            flags |= G_OPTION_FLAG_NO_ARG;
        if (row.optional_argument)
            flags |= G_OPTION_FLAG_OPTIONAL_ARG;
        if (row.kind == Kind::Path)
            flags |= G_OPTION_FLAG_FILENAME;
        entries_.push_back({row.option, row.short_option, flags, G_OPTION_ARG_CALLBACK,
                            reinterpret_cast<gpointer>(on_option), texts_.back().c_str(), row.arg});
    }
    entries_.push_back({nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr});
    GOptionGroup *group = g_option_group_new("vekbs", "vekbs", "vekbs", this, nullptr);
    g_option_group_add_entries(group, entries_.data());
    g_option_context_set_main_group(context, group);
}

gboolean CommandLine::on_option(const gchar *name, const gchar *value, gpointer data,
                                GError **error)
{
    auto *self = static_cast<CommandLine *>(data);
    const Setting *found = nullptr;
    for (const Setting &row : settings_table()) {
        if (row.option == nullptr)
            continue;
        const bool is_long = g_str_has_prefix(name, "--") && g_str_equal(name + 2, row.option);
        const bool is_short = row.short_option != 0 && name[0] == '-' &&
                              name[1] == row.short_option && name[2] == '\0';
        if (is_long || is_short) {
            found = &row;
            break;
        }
    }
    if (found == nullptr) {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_UNKNOWN_OPTION, "Unknown option %s",
                    name);
        return FALSE;
    }
    if (found->flag_value != nullptr)
        value = found->flag_value;
    /* Checked now, so that a bad option is an error before anything is read. */
    Settings scratch;
    if (!apply_setting(*found, Origin::Option, value, scratch, error))
        return FALSE;
    self->given_.emplace_back(found,
                              value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    return TRUE;
}

bool CommandLine::given(const gchar *option) const
{
    for (const auto &[row, value] : given_)
        if (g_str_equal(row->option, option))
            return true;
    return false;
}

bool CommandLine::take_card_operand(const gchar *operand, GError **error)
{
    for (auto &[row, value] : given_)
        if (g_str_equal(row->option, "card") && !value) {
            Settings scratch;
            if (!apply_setting(*row, Origin::Option, operand, scratch, error))
                return false;
            value = operand;
            return true;
        }
    return false;
}

const gchar *CommandLine::needing_card() const
{
    for (const auto &[row, value] : given_)
        if (row->needs_card)
            return row->option;
    return nullptr;
}

bool CommandLine::apply(Settings &settings, GError **error) const
{
    /* A device list on the command line replaces those of the key file. */
    if (given("whitelist") || given("blacklist")) {
        settings.whitelist.clear();
        settings.blacklist.clear();
    }
    for (const auto &[row, value] : given_)
        if (!apply_setting(*row, Origin::Option, value ? value->c_str() : nullptr, settings, error))
            return false;
    return true;
}

/* ---- the key file ---- */

bool apply_key_file(GKeyFile *file, Settings &settings, GError **error)
{
    g_auto(GStrv) groups = g_key_file_get_groups(file, nullptr);
    for (guint g = 0; groups[g] != nullptr; g++) {
        const gchar *group = groups[g];
        bool foreign = false;
        for (const gchar *name : kForeignGroups)
            foreign = foreign || g_str_equal(name, group);
        if (foreign)
            continue;
        bool known = false;
        for (const Setting &row : settings_table())
            known = known || (row.group != nullptr && g_str_equal(row.group, group));
        if (!known) {
            g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_GROUP_NOT_FOUND,
                        "[%s]: not a group of %s (station, card, mqtt or log)", group, kConfigName);
            return false;
        }
        g_auto(GStrv) keys = g_key_file_get_keys(file, group, nullptr, nullptr);
        for (guint k = 0; keys != nullptr && keys[k] != nullptr; k++) {
            const Setting *row = find_setting(group, keys[k]);
            if (row == nullptr) {
                g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_KEY_NOT_FOUND,
                            "[%s] %s: not a key of this group", group, keys[k]);
                return false;
            }
            g_autofree gchar *value = kvrConfGetString(file, group, keys[k], nullptr);
            if (value == nullptr)
                continue;
            if (!apply_setting(*row, Origin::File, value, settings, error))
                return false;
        }
    }
    return true;
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

/* ---- what follows from the settings together ---- */

namespace
{

/* A station name or topic prefix is one topic level: no wildcard, no separator. */
bool valid_name(const std::string &name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name)
        if (!g_ascii_isalnum(c) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

bool usage(GError **error, const std::string &message)
{
    g_set_error_literal(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, message.c_str());
    return false;
}

bool finish_devices(Settings &settings, bool builtin, GError **error)
{
    StationConfig &c = settings.station;
    if (!settings.whitelist.empty() && !settings.blacklist.empty())
        return usage(error, "--whitelist and --blacklist exclude each other");
    const std::string &list = !settings.whitelist.empty() ? settings.whitelist : settings.blacklist;
    if (!list.empty()) {
        c.whitelist = !settings.whitelist.empty();
        return read_device_list(list, c.devices, error);
    }
    if (builtin)
        c.devices = {kScenarioBlacklisted};
    return true;
}

bool finish_broker(MqttConfig &mqtt, GError **error)
{
    if (mqtt.url.empty())
        return true;
    if (!parse_mqtt_url(mqtt.url, mqtt, error))
        return false;
    if (mqtt.tls && mqtt.ca_file.empty())
        return usage(error,
                     mqtt.url + ": a TLS broker needs a CA file (--ca-file or [mqtt] ca_file)");
    if (mqtt.tls && !g_file_test(mqtt.ca_file.c_str(), G_FILE_TEST_IS_REGULAR))
        return usage(error, mqtt.ca_file + ": no such CA file");
    if (!valid_name(mqtt.prefix))
        return usage(error, "the topic prefix must be letters, digits, '-', '_' or '.'");
    return true;
}

} // namespace

bool finish_settings(Settings &settings, bool builtin, GError **error)
{
    StationConfig &c = settings.station;
    if (c.rates.empty())
        c.rates = c.card ? std::vector<guint>{100} : std::vector<guint>{100, 600};
    if (c.card && c.rates.size() != 1)
        return usage(error, "a card runs one bit rate at a time: --bit-rate 100 or 600");
    if (!finish_devices(settings, builtin, error) || !finish_broker(c.mqtt, error))
        return false;
    if (c.name.empty())
        c.name = g_get_host_name();
    if (!valid_name(c.name))
        return usage(error,
                     "'" + c.name + "' is not a station name (letters, digits, '-', '_' or '.')");
    return true;
}

} // namespace vekbs
