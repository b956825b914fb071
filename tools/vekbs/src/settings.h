/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Every setting of the station in one table, read alike from the command line
 * and from the key file vekbs.conf (found the way every program of the system
 * finds its configuration: /etc/kavrin/, /etc/, ./conf/, ./). Defaults come
 * first, then the key file, then the options; a value is checked against its
 * row once, wherever it comes from. */
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vekbs.h"

namespace vekbs
{

constexpr const gchar *kConfigName = "vekbs.conf";
/* The broker password as a systemd credential (LoadCredential=). */
constexpr const gchar *kPasswordCredential = "mqtt-password";
/* A key file larger than this is not a configuration. */
constexpr goffset kMaxConfigBytes = 1 << 20;

/* What the command line and vekbs.conf decide: the station's configuration
 * and what the program does with it. */
struct Settings {
    StationConfig station;
    /* Device list files, read once every setting is known. */
    std::string whitelist, blacklist;
    std::string config_file; /* --config */
    std::string truth;       /* --truth */
    std::string http;        /* --http, [http] listen: [ADDR:]PORT of the page, or empty */
    std::string waterfall;   /* --waterfall: the picture of a recording, or empty */
    std::string log_level;   /* --log-level; empty: as the "log" group says */
    guint sample_rate = 0;   /* of a raw recording */
    bool synth = false, version = false;
};

/* What a value is: how it is read and checked. */
enum class Kind {
    Text,   /* any text */
    Path,   /* a file name (not converted from the locale's encoding) */
    UInt,   /* a whole number in [min, max] */
    Double, /* a finite number in [min, max] */
    Bool,   /* true or false (also 1 or 0) */
    Choice, /* one of choices, in any case */
    Custom, /* read by the row's own function */
};

/* Where a value goes. A Choice or Custom row stores through a function; a
 * Custom function returns false for a value it refuses. */
using Store = std::variant<std::monostate, std::string &(*)(Settings &), guint &(*)(Settings &),
                           gdouble &(*)(Settings &), bool &(*)(Settings &),
                           bool (*)(Settings &, const gchar *value)>;

/* The field of Settings at @path, for a row's store. */
#define VEKBS_FIELD(path) (+[](Settings & s) -> auto & { return s.path; })

/* One setting. A row with a group and key is read from vekbs.conf, one with
 * an option from the command line, one with both from either. */
struct Setting {
    const gchar *group = nullptr, *key = nullptr;
    const gchar *option = nullptr; /* long name, without "--" */
    gchar short_option = 0;
    /* The option takes no argument and stands for this value. */
    const gchar *flag_value = nullptr;
    /* The option's argument may be left out (the function gets nullptr). */
    bool optional_argument = false;
    Kind kind = Kind::Text;
    gdouble min = 0, max = 0;
    const gchar *choices[5] = {};
    /* Applied before anything else; nullptr: none, or one the help states. */
    const gchar *fallback = nullptr;
    /* Never printed (a password). */
    bool secret = false;
    /* The option means nothing without --card. */
    bool needs_card = false;
    /* What the value must be, when the kind does not say it well enough. */
    const gchar *what = nullptr;
    const gchar *help = nullptr, *arg = nullptr;
    Store store;
};

/* The table: every setting, in the order --help lists them. */
const std::vector<Setting> &settings_table();
/* The row of vekbs.conf's [@group] @key, or nullptr. */
const Setting *find_setting(const gchar *group, const gchar *key);

enum class Origin { Default, File, Option };

/* Reads @value into @settings as @row says; a refusal names the option or the
 * key (and, unless the row is secret, the value). */
bool apply_setting(const Setting &row, Origin origin, const gchar *value, Settings &settings,
                   GError **error);
/* Every row's default. */
Settings default_settings();

/* The options of one command line, kept in the order given so that they can
 * be applied over the key file once it is read. */
class CommandLine
{
  public:
    /* The entries of every row with an option, for @context's main group.
     * Each value is checked as it is parsed. */
    void add_to(GOptionContext *context);
    bool given(const gchar *option) const;
    /* Applies the options given, in order. */
    bool apply(Settings &settings, GError **error) const;
    /* "--card N": the operand N taken as the value --card was given without.
     * False without @error when --card had a value of its own. */
    bool take_card_operand(const gchar *operand, GError **error);
    /* The first option given that needs --card, or nullptr. */
    const gchar *needing_card() const;

  private:
    static gboolean on_option(const gchar *name, const gchar *value, gpointer data, GError **error);
    std::vector<std::pair<const Setting *, std::optional<std::string>>> given_;
    std::vector<GOptionEntry> entries_;
    std::deque<std::string> texts_; /* what entries_ point to: never moved */
};

/* @path, or the first vekbs.conf of the search order. NULL without error when
 * there is none; NULL with @error when one exists but cannot be read, or
 * when others may write it. A broker password that others may read is
 * warned about on standard error. */
GKeyFile *load_key_file(const gchar *path, GError **error);
/* The text of [@group] @key: UTF-8, unescaped, trimmed. A value that is not
 * is an error naming the key, and never quoting it. */
bool read_value(GKeyFile *file, const gchar *group, const gchar *key, bool secret,
                std::string &value, GError **error);

/* The "log" group: the sink, and the logger's own keys. */
struct LogSettings {
    std::string sink = "stderr"; /* stderr, file or rotating */
    std::vector<std::pair<std::string, std::string>> items;
};
bool read_log_group(GKeyFile *file, LogSettings &log, GError **error);
/* Applies every group of the station ("log" is the logger's); an unknown
 * group or key, or a bad value, is an error naming it. */
bool apply_key_file(GKeyFile *file, Settings &settings, GError **error);
/* What follows from the settings together: the bit rates of a card, the
 * device list, the broker's address, the station's name. Errors are usage
 * errors. @builtin: the built-in scenario runs. */
bool finish_settings(Settings &settings, bool builtin, GError **error);

bool parse_preamp_mode(const gchar *text, VektypePreampMode *mode);
bool parse_bit_rate(const gchar *text, std::vector<guint> &rates);

} // namespace vekbs
