/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The table of the station's settings: every option and every key of
 * vekbs.conf, with its type, range, default and where its value goes. */
#include "settings.h"

#include "http_server.h"

namespace vekbs
{

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

namespace
{

constexpr guint kMaxCard = 63;

template <guint Id> bool store_preamp(Settings &s, const gchar *value)
{
    VektypePreampMode mode;
    if (!parse_preamp_mode(value, &mode))
        return false;
    s.station.card_config.preamps[Id] = mode;
    return true;
}

/* --preamp ID:MODE, repeatable. */
bool store_preamp_option(Settings &s, const gchar *value)
{
    g_auto(GStrv) parts = g_strsplit(value, ":", 2);
    guint64 id = 0;
    VektypePreampMode mode;
    if (g_strv_length(parts) != 2 ||
        !g_ascii_string_to_unsigned(parts[0], 10, 0, 2, &id, nullptr) ||
        !parse_preamp_mode(parts[1], &mode))
        return false;
    s.station.card_config.preamps[id] = mode;
    return true;
}

/* --card [N]: a live station, on card N when it is given. */
bool store_card_option(Settings &s, const gchar *value)
{
    guint64 index = 0;
    if (value != nullptr && !g_ascii_string_to_unsigned(value, 10, 0, kMaxCard, &index, nullptr))
        return false;
    s.station.card = true;
    if (value != nullptr)
        s.station.card_config.index = static_cast<guint>(index);
    return true;
}

/* --http [ADDR:]PORT: checked here, parsed again when the server starts. */
bool store_http(Settings &s, const gchar *value)
{
    std::string address;
    guint16 port = 0;
    if (!parse_http_address(value, address, port, nullptr))
        return false;
    s.http = value;
    return true;
}

/* [downlink] sub_bands: LOW-HIGH:DUTY, separated by ';'. */
bool store_sub_bands(Settings &s, const gchar *value)
{
    std::vector<SubBand> bands;
    g_auto(GStrv) parts = g_strsplit(value, ";", -1);
    for (gchar **part = parts; *part != nullptr; part++) {
        if (g_strstrip(*part)[0] == '\0')
            continue;
        SubBand band;
        if (!parse_sub_band(*part, band, nullptr))
            return false;
        bands.push_back(band);
    }
    if (bands.empty())
        return false;
    s.station.downlink.policy.sub_bands = std::move(bands);
    return true;
}

/* To add a setting: one row here (a key, an option or both), a field in
 * Settings or StationConfig, and a line in the example vekbs.conf. */
const std::vector<Setting> kTable = {
    /* [station] */
    {.group = "station",
     .key = "name",
     .option = "station",
     .short_option = 'S',
     .help = "Station name in the topics and the status (default: the host name)",
     .arg = "NAME",
     .store = VEKBS_FIELD(station.name)},
    {.group = "station",
     .key = "bit_rate",
     .option = "bit-rate",
     .short_option = 'b',
     .kind = Kind::Choice,
     .choices = {"100", "600", "both"},
     .help = "Bit rates the station hears: 100, 600 or both (default both, in one pass; with "
             "--receiver vdem one pass per rate, and a card runs 100 or 600, by default 100)",
     .arg = "RATE",
     .store = +[](Settings &s, const gchar *v) { return parse_bit_rate(v, s.station.rates); }},
    {.group = "station",
     .key = "receiver",
     .option = "receiver",
     .kind = Kind::Choice,
     .choices = {"vdem", "vchan"},
     .fallback = "vchan",
     .help = "Uplink receiver: vchan (the channelised receiver: both rates in one pass, about "
             "20 dB deeper, many frames at once) or vdem (the reference demodulator: one rate a "
             "pass, one frame at a time)",
     .arg = "NAME",
     .store = VEKBS_FIELD(station.receiver)},
    {.group = "station",
     .key = "authenticate",
     .option = "no-auth",
     .short_option = 'n',
     .flag_value = "false",
     .kind = Kind::Bool,
     .fallback = "true",
     .help = "Deliver frames without checking their authentication code",
     .store = VEKBS_FIELD(station.authenticate)},
    {.group = "station",
     .key = "whitelist",
     .option = "whitelist",
     .short_option = 'w',
     .kind = Kind::Path,
     .help = "Deliver only frames of the devices listed in FILE",
     .arg = "FILE",
     .store = VEKBS_FIELD(whitelist)},
    {.group = "station",
     .key = "blacklist",
     .option = "blacklist",
     .short_option = 'k',
     .kind = Kind::Path,
     .help = "Drop frames of the devices listed in FILE",
     .arg = "FILE",
     .store = VEKBS_FIELD(blacklist)},
    {.group = "station",
     .key = "stats_interval",
     .option = "stats-interval",
     .kind = Kind::UInt,
     .min = 1,
     .max = 86400,
     .fallback = "60",
     .help = "Card: seconds between two statistics reports",
     .arg = "SECONDS",
     .store = VEKBS_FIELD(station.stats_interval)},

    /* [card] */
    {.option = "card",
     .short_option = 'C',
     .optional_argument = true,
     .kind = Kind::Custom,
     .what = "a card number from 0 to 63",
     .help = "Stream from card N (as vekctl numbers them; default 0, or the operand N)",
     .arg = "N",
     .store = store_card_option},
    {.group = "card",
     .key = "index",
     .kind = Kind::UInt,
     .min = 0,
     .max = kMaxCard,
     .fallback = "0",
     .store = VEKBS_FIELD(station.card_config.index)},
    {.group = "card",
     .key = "rx_frequency",
     .option = "frequency",
     .short_option = 'F',
     .kind = Kind::UInt,
     .min = 1,
     .max = G_MAXUINT32,
     .needs_card = true,
     .help = "Card: RX carrier frequency in Hz (default: the card's own)",
     .arg = "HZ",
     .store = VEKBS_FIELD(station.card_config.rx_frequency)},
    {.option = "preamp",
     .short_option = 'P',
     .kind = Kind::Custom,
     .needs_card = true,
     .what = "ID:MODE with ID 0, 1 or 2 and MODE LNA, BYPASS or ATTEN",
     .help = "Card: preamplifier ID (0, 1 or 2) in MODE (LNA, BYPASS or ATTEN); repeatable",
     .arg = "ID:MODE",
     .store = store_preamp_option},
    {.group = "card",
     .key = "preamp0",
     .kind = Kind::Choice,
     .choices = {"LNA", "BYPASS", "ATTEN"},
     .store = &store_preamp<0>},
    {.group = "card",
     .key = "preamp1",
     .kind = Kind::Choice,
     .choices = {"LNA", "BYPASS", "ATTEN"},
     .store = &store_preamp<1>},
    {.group = "card",
     .key = "preamp2",
     .kind = Kind::Choice,
     .choices = {"LNA", "BYPASS", "ATTEN"},
     .store = &store_preamp<2>},
    {.group = "card",
     .key = "int_gain",
     .option = "int-gain",
     .short_option = 'g',
     .kind = Kind::Double,
     .min = 0,
     .max = 200,
     .fallback = "98",
     .help = "Receive chain gain in dB, subtracted from every power",
     .arg = "DB",
     .store = VEKBS_FIELD(station.int_gain)},
    {.group = "card",
     .key = "ext_gain",
     .option = "ext-gain",
     .kind = Kind::Double,
     .min = -100,
     .max = 100,
     .fallback = "22.5",
     .help = "Gain in front of the card in dB",
     .arg = "DB",
     .store = VEKBS_FIELD(station.ext_gain)},
    {.group = "card",
     .key = "queue_transfers",
     .kind = Kind::UInt,
     .min = 16,
     .max = 65536,
     .fallback = "512",
     .store = VEKBS_FIELD(station.card_config.queue_transfers)},

    /* [mqtt] */
    {.group = "mqtt",
     .key = "url",
     .option = "mqtt",
     .short_option = 'm',
     .needs_card = true,
     .help = "Card: publish frames to the broker at URL (mqtt://HOST[:PORT] or "
             "mqtts://HOST[:PORT]) and take downlink requests from it",
     .arg = "URL",
     .store = VEKBS_FIELD(station.mqtt.url)},
    {.group = "mqtt",
     .key = "prefix",
     .option = "topic-prefix",
     .fallback = "vek",
     .help = "First level of the station's topics",
     .arg = "PREFIX",
     .store = VEKBS_FIELD(station.mqtt.prefix)},
    {.group = "mqtt", .key = "user", .store = VEKBS_FIELD(station.mqtt.user)},
    {.group = "mqtt",
     .key = "password",
     .secret = true,
     .store = VEKBS_FIELD(station.mqtt.password)},
    {.group = "mqtt",
     .key = "ca_file",
     .option = "ca-file",
     .kind = Kind::Path,
     .help = "Certificate authorities that sign an mqtts:// broker's certificate",
     .arg = "FILE",
     .store = VEKBS_FIELD(station.mqtt.ca_file)},
    {.group = "mqtt",
     .key = "queue",
     .kind = Kind::UInt,
     .min = 1,
     .max = 10000000,
     .fallback = "10000",
     .store = VEKBS_FIELD(station.mqtt.queue)},
    {.group = "mqtt",
     .key = "keepalive",
     .kind = Kind::UInt,
     .min = 5,
     .max = 65535,
     .fallback = "30",
     .store = VEKBS_FIELD(station.mqtt.keepalive)},
    {.group = "mqtt",
     .key = "max_backoff",
     .kind = Kind::UInt,
     .min = 1,
     .max = 3600,
     .fallback = "60",
     .store = VEKBS_FIELD(station.mqtt.max_backoff)},

    /* [downlink]: what a request may be, and the policy. */
    {.group = "downlink",
     .key = "max_request_bytes",
     .kind = Kind::UInt,
     .min = 64,
     .max = 65536,
     .fallback = "1024",
     .store = VEKBS_FIELD(station.downlink.limits.max_bytes)},
    {.group = "downlink",
     .key = "max_id_bytes",
     .kind = Kind::UInt,
     .min = 1,
     .max = 4096,
     .fallback = "128",
     .store = VEKBS_FIELD(station.downlink.limits.max_id_bytes)},
    {.group = "downlink",
     .key = "queue",
     .kind = Kind::UInt,
     .min = 1,
     .max = 10000,
     .fallback = "32",
     .store = VEKBS_FIELD(station.downlink.queue)},
    {.group = "downlink",
     .key = "max_age",
     .kind = Kind::UInt,
     .min = 1,
     .max = 3600,
     .fallback = "10",
     .store = VEKBS_FIELD(station.downlink.policy.max_age_s)},
    {.group = "downlink",
     .key = "sub_bands",
     .kind = Kind::Custom,
     .what = "sub-bands LOW-HIGH:DUTY (Hz, Hz, percent of an hour) separated by ';'",
     .store = store_sub_bands},
    {.group = "downlink",
     .key = "bit_rate",
     .kind = Kind::UInt,
     .min = 1,
     .max = 10000000,
     .fallback = "100",
     .store = VEKBS_FIELD(station.downlink.policy.bit_rate)},
    {.group = "downlink",
     .key = "device_frames_per_hour",
     .kind = Kind::UInt,
     .min = 0,
     .max = 1000000,
     .fallback = "0",
     .store = VEKBS_FIELD(station.downlink.policy.device_frames_per_hour)},

    /* [http] */
    {.group = "http",
     .key = "listen",
     .option = "http",
     .kind = Kind::Custom,
     .what = "[ADDRESS:]PORT: an IP address ([IPv6] in brackets) or localhost, and a port "
             "from 0 to 65535",
     .help = "Serve the station's live page, /metrics and /api/ on [ADDRESS:]PORT (address "
             "localhost unless given; port 0: any free one, said on standard error); a "
             "recording is served on after it has run, until SIGINT or SIGTERM",
     .arg = "[ADDR:]PORT",
     .store = store_http},

    /* The command line only. */
    {.option = "config",
     .kind = Kind::Path,
     .help = "Read this key file instead of the first vekbs.conf in /etc/kavrin/, /etc/, "
             "./conf/, ./",
     .arg = "FILE",
     .store = VEKBS_FIELD(config_file)},
    {.option = "duration",
     .short_option = 'd',
     .kind = Kind::Double,
     .min = 0,
     .max = 1e9,
     .needs_card = true,
     .help = "Card: stop after this much signal, in seconds (default: run until stopped)",
     .arg = "SECONDS",
     .store = VEKBS_FIELD(station.duration)},
    {.option = "truth",
     .short_option = 't',
     .kind = Kind::Path,
     .needs_card = true,
     .help = "Card: the recording the card plays, for --check (the run lasts one pass of it, "
             "or --duration)",
     .arg = "RECORDING",
     .store = VEKBS_FIELD(truth)},
    {.option = "quiet",
     .short_option = 'q',
     .flag_value = "true",
     .kind = Kind::Bool,
     .help = "Do not print the frames",
     .store = VEKBS_FIELD(station.quiet)},

    {.option = "sample-rate",
     .short_option = 'r',
     .kind = Kind::UInt,
     .min = 1,
     .max = G_MAXUINT32,
     .help = "Sample rate of a raw .cs16 recording (it must be 192000)",
     .arg = "HZ",
     .store = VEKBS_FIELD(sample_rate)},
    {.option = "waterfall",
     .kind = Kind::Path,
     .help = "Recording: draw the band's waterfall into FILE.png, each frame heard marked with "
             "its device (and, for a SigMF recording, each frame sent)",
     .arg = "FILE.png",
     .store = VEKBS_FIELD(waterfall)},
    {.option = "fast",
     .short_option = 'f',
     .flag_value = "true",
     .kind = Kind::Bool,
     .help = "Write the recording as fast as possible instead of in real time",
     .store = VEKBS_FIELD(station.fast)},
    {.option = "write-multiple",
     .kind = Kind::UInt,
     .min = 1,
     .max = 64,
     .fallback = "1",
     .help = "Recording: write N times the wrapper's advised length at once; larger writes "
             "cost less, and a frame's time is that of its write",
     .arg = "N",
     .store = VEKBS_FIELD(station.write_multiple)},
    {.option = "json",
     .short_option = 'j',
     .flag_value = "true",
     .kind = Kind::Bool,
     .help = "Print each frame as one JSON object; nothing else goes to standard output",
     .store = VEKBS_FIELD(station.json)},
    {.option = "check",
     .short_option = 'c',
     .flag_value = "true",
     .kind = Kind::Bool,
     .help = "Compare the delivered frames with the recording's truth; exit 3 on any "
             "difference",
     .store = VEKBS_FIELD(station.check)},
    {.option = "synth",
     .short_option = 's',
     .flag_value = "true",
     .kind = Kind::Bool,
     .help = "Print the downlink frame for the operands DEVICE SEQ HEXPAYLOAD FREQ and exit",
     .store = VEKBS_FIELD(synth)},
    {.option = "log-level",
     .short_option = 'l',
     .kind = Kind::Choice,
     .choices = {"debug", "info", "warn", "err"},
     .help = "Log messages from this level on to standard error: debug, info, warn or err "
             "(default warn)",
     .arg = "LEVEL",
     .store = VEKBS_FIELD(log_level)},
    {.option = "version",
     .short_option = 'V',
     .flag_value = "true",
     .kind = Kind::Bool,
     .help = "Print the version and exit",
     .store = VEKBS_FIELD(version)},
};

} // namespace

const std::vector<Setting> &settings_table()
{
    return kTable;
}

} // namespace vekbs
