/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The table of settings, and the two ways in: the command line and the key
 * file vekbs.conf (groups "station", "card", "mqtt"; "log" is the logger's). */
#include "settings.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

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

bool refuse_empty(const Setting &row, Origin origin, GError **error)
{
    if (origin == Origin::Option || row.group == nullptr)
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, "--%s is empty", row.option);
    else
        g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE,
                    "[%s] %s: is empty (leave the key out for its default)", row.group, row.key);
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
        if (*value == '\0')
            return refuse_empty(row, origin, error);
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

namespace
{

/* A group or key name as messages show it: names are not checked for UTF-8. */
std::string shown(const gchar *name)
{
    g_autofree gchar *valid = g_utf8_make_valid(name, -1);
    return valid;
}

} // namespace

bool read_value(GKeyFile *file, const gchar *group, const gchar *key, bool secret,
                std::string &value, GError **error)
{
    g_autofree gchar *raw = g_key_file_get_value(file, group, key, nullptr);
    if (raw == nullptr || !g_utf8_validate(raw, -1, nullptr)) {
        g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE,
                    "[%s] %s: is not UTF-8 text", shown(group).c_str(), shown(key).c_str());
        return false;
    }
    /* GLib's own message would quote the value. */
    g_autofree gchar *text = g_key_file_get_string(file, group, key, nullptr);
    if (text == nullptr) {
        g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE,
                    "[%s] %s: holds an invalid escape sequence%s", shown(group).c_str(),
                    shown(key).c_str(), secret ? "" : " (\\s, \\n, \\t, \\r or \\\\ only)");
        return false;
    }
    value = g_strstrip(text);
    return true;
}

bool read_log_group(GKeyFile *file, LogSettings &log, GError **error)
{
    if (!g_key_file_has_group(file, "log"))
        return true;
    g_auto(GStrv) keys = g_key_file_get_keys(file, "log", nullptr, nullptr);
    for (guint i = 0; keys != nullptr && keys[i] != nullptr; i++) {
        std::string value;
        if (!read_value(file, "log", keys[i], false, value, error))
            return false;
        if (g_ascii_strcasecmp(keys[i], "sink") != 0) {
            log.items.emplace_back(keys[i], value);
            continue;
        }
        if (value != "stderr" && value != "file" && value != "rotating") {
            g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE,
                        "[log] sink: takes stderr, file or rotating, not '%s'", value.c_str());
            return false;
        }
        log.sink = value;
    }
    return true;
}

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
                        "[%s]: not a group of %s (station, card, mqtt, http or log)",
                        shown(group).c_str(), kConfigName);
            return false;
        }
        g_auto(GStrv) keys = g_key_file_get_keys(file, group, nullptr, nullptr);
        for (guint k = 0; keys != nullptr && keys[k] != nullptr; k++) {
            const Setting *row = find_setting(group, keys[k]);
            if (row == nullptr) {
                g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_KEY_NOT_FOUND,
                            "[%s] %s: not a key of this group", group, shown(keys[k]).c_str());
                return false;
            }
            std::string value;
            if (!read_value(file, group, keys[k], row->secret, value, error) ||
                !apply_setting(*row, Origin::File, value.c_str(), settings, error))
                return false;
        }
    }
    return true;
}

namespace
{

/* Why GLib refused @text as a key file, without quoting it (GLib's own message
 * quotes the line, which may be a password). */
std::string describe_parse_failure(const std::string &text)
{
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return "not UTF-8 text";
    if (text.find('\0') != std::string::npos)
        return "holds a NUL byte";
    g_auto(GStrv) lines = g_strsplit(text.c_str(), "\n", -1);
    for (guint i = 0; lines[i] != nullptr; i++) {
        const gchar *line = lines[i];
        while (g_ascii_isspace(*line))
            line++;
        if (*line == '\0' || *line == '#')
            continue;
        const gsize length = strlen(line);
        const bool group = line[0] == '[' && line[length - 1] == ']' && length > 2 &&
                           strcspn(line + 1, "[]") == length - 2;
        const gchar *equals = strchr(line, '=');
        if (!group && (equals == nullptr || equals == line))
            return "line " + std::to_string(i + 1) +
                   " is not a [group], a key = value or a comment";
    }
    return "not a key file (a [group], a key = value or a comment on each line)";
}

/* Reads @path through one descriptor, so that the mode checked is that of
 * the file read. */
GKeyFile *load_checked(const gchar *path, GError **error)
{
    std::string text;
    struct stat st = {};
    if (!read_bounded_file(path, kMaxConfigBytes, text, &st, error))
        return nullptr;
    /* Anyone could point the station elsewhere, or read its password. */
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IWOTH) != 0) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_PERM,
                    "%s: others may write it: chmod o-w (the expected mode is 0640, root:vek)",
                    path);
        return nullptr;
    }
    GKeyFile *file = g_key_file_new();
    if (!g_key_file_load_from_data(file, text.data(), text.size(), G_KEY_FILE_NONE, nullptr)) {
        g_key_file_free(file);
        g_set_error(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_PARSE, "%s cannot be read: %s", path,
                    describe_parse_failure(text).c_str());
        return nullptr;
    }
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IROTH) != 0 &&
        g_key_file_has_key(file, "mqtt", "password", nullptr))
        g_printerr("vekbs: warning: %s: others may read the broker password: chmod o-r (the "
                   "expected mode is 0640, root:vek), or give the password as a credential\n",
                   path);
    return file;
}

} // namespace

GKeyFile *load_key_file(const gchar *path, GError **error)
{
    if (path != nullptr)
        return load_checked(path, error);
    /* Not found is fine; found but unreadable is not. */
    for (const gchar *dir : {"/etc/kavrin/", "/etc/", "./conf/", "./"}) {
        g_autofree gchar *candidate = g_strconcat(dir, kConfigName, nullptr);
        if (g_file_test(candidate, G_FILE_TEST_EXISTS))
            return load_checked(candidate, error);
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

/* The certificates of an mqtts:// broker's authorities, checked now rather
 * than at every connection attempt. */
bool check_ca_file(const std::string &path, GError **error)
{
    if (!g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR))
        return usage(error, path + ": no such CA file");
    BIO *bio = BIO_new_file(path.c_str(), "r");
    guint certificates = 0;
    bool garbage = bio == nullptr;
    while (bio != nullptr) {
        X509 *certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        if (certificate == nullptr)
            break;
        X509_free(certificate);
        certificates++;
    }
    /* The end of the file, or something that is not a certificate. */
    const unsigned long last = ERR_peek_last_error();
    garbage = garbage || (last != 0 && ERR_GET_REASON(last) != PEM_R_NO_START_LINE);
    ERR_clear_error();
    BIO_free(bio);
    if (garbage || certificates == 0)
        return usage(error, path + ": not a CA file (PEM certificates)");
    return true;
}

/* systemd's LoadCredential=mqtt-password:FILE, an alternative to the key. */
bool read_password_credential(MqttConfig &mqtt, GError **error)
{
    const gchar *dir = g_getenv("CREDENTIALS_DIRECTORY");
    if (dir == nullptr)
        return true;
    g_autofree gchar *path = g_build_filename(dir, kPasswordCredential, nullptr);
    g_autofree gchar *text = nullptr;
    gsize length = 0;
    g_autoptr(GError) read_error = nullptr;
    if (!g_file_get_contents(path, &text, &length, &read_error)) {
        if (g_error_matches(read_error, G_FILE_ERROR, G_FILE_ERROR_NOENT))
            return true;
        return usage(error, std::string("the credential ") + kPasswordCredential +
                                " cannot be read: " + read_error->message);
    }
    std::string password(text, length);
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        password.pop_back();
    if (password.empty() || password.find('\0') != std::string::npos)
        return usage(error, std::string("the credential ") + kPasswordCredential +
                                " is empty or holds a NUL byte");
    if (!mqtt.password.empty())
        return usage(error, std::string("the broker password is given twice, by [mqtt] password "
                                        "and by the credential ") +
                                kPasswordCredential + ": keep one");
    mqtt.password = password;
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
    if (mqtt.tls && !check_ca_file(mqtt.ca_file, error))
        return false;
    if (!read_password_credential(mqtt, error))
        return false;
    if (!valid_name(mqtt.prefix))
        return usage(error, "the topic prefix must be letters, digits, '-', '_' or '.'");
    return true;
}

} // namespace

bool finish_settings(Settings &settings, bool builtin, GError **error)
{
    StationConfig &c = settings.station;
    /* Both rates by default: in one pass of the channelised receiver; the
     * reference demodulator runs one rate a pass, and on a card 100 bit/s,
     * the network's most sensitive rate. */
    const bool channelised = c.receiver == "vchan";
    if (c.rates.empty())
        c.rates = c.card && !channelised ? std::vector<guint>{100} : std::vector<guint>{100, 600};
    if (channelised && c.rates.size() > 1)
        c.rates = {kBothRates};
    if (c.card && c.rates.size() != 1)
        return usage(error, "with --receiver vdem a card runs one bit rate at a time: --bit-rate "
                            "100 or 600");
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
