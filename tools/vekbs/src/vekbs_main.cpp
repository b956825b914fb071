/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekbs: the reference base-station host. It runs uplink I/Q through the
 * wrapper library on a GLib main loop and prints each frame the station
 * delivers, time-stamped and filtered; it also synthesises downlink frames. */
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <kvrlog/kvrlog.h>
#include <xvek/xvek.h>

#include "card.h"
#include "mqtt.h"
#include "settings.h"
#include "vekbs.h"

namespace
{

using namespace vekbs;

gchar *opt_bit_rate = nullptr;
gdouble opt_gain = NAN;
gchar *opt_whitelist = nullptr;
gchar *opt_blacklist = nullptr;
gboolean opt_no_auth = FALSE;
gchar *opt_receiver = nullptr;
gint opt_sample_rate = 0;
gboolean opt_fast = FALSE;
gboolean opt_json = FALSE;
gboolean opt_check = FALSE;
gboolean opt_synth = FALSE;
gchar *opt_log_level = nullptr;
gboolean opt_version = FALSE;
gboolean opt_card = FALSE;
gint64 opt_card_index = -1;
gint64 opt_frequency = -1;
gchar **opt_preamps = nullptr;
gdouble opt_ext_gain = NAN;
gchar *opt_mqtt = nullptr;
gchar *opt_ca_file = nullptr;
gchar *opt_station = nullptr;
gchar *opt_prefix = nullptr;
gchar *opt_config = nullptr;
gdouble opt_duration = 0.0;
gchar *opt_truth = nullptr;
gboolean opt_quiet = FALSE;
gint opt_stats_interval = 0;
gint opt_write_multiple = 1;

gboolean parse_card(const gchar *, const gchar *value, gpointer, GError **error)
{
    opt_card = TRUE;
    if (value == nullptr)
        return TRUE;
    guint64 index = 0;
    if (!g_ascii_string_to_unsigned(value, 10, 0, 63, &index, nullptr)) {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                    "--card takes a card number from 0 to 63, not '%s'", value);
        return FALSE;
    }
    opt_card_index = static_cast<gint64>(index);
    return TRUE;
}

const GOptionEntry kEntries[] = {
    {"card", 'C', G_OPTION_FLAG_OPTIONAL_ARG, G_OPTION_ARG_CALLBACK,
     reinterpret_cast<gpointer>(parse_card),
     "Stream from card N (as vekctl numbers them; default 0, or the operand N)", "N"},
    {"bit-rate", 'b', 0, G_OPTION_ARG_STRING, &opt_bit_rate,
     "Bit rate of the station: 100, 600 or both (default both, one pass each; with a card "
     "100 or 600, default 100)",
     "RATE"},
    {"int-gain", 'g', 0, G_OPTION_ARG_DOUBLE, &opt_gain,
     "Receive chain gain in dB, subtracted from every power (default 98)", "DB"},
    {"ext-gain", 0, 0, G_OPTION_ARG_DOUBLE, &opt_ext_gain,
     "Gain in front of the card in dB (default 22.5)", "DB"},
    {"frequency", 'F', 0, G_OPTION_ARG_INT64, &opt_frequency,
     "Card: RX carrier frequency in Hz (default: the card's own)", "HZ"},
    {"preamp", 'P', 0, G_OPTION_ARG_STRING_ARRAY, &opt_preamps,
     "Card: preamplifier ID (0, 1 or 2) in MODE (LNA, BYPASS or ATTEN); repeatable", "ID:MODE"},
    {"mqtt", 'm', 0, G_OPTION_ARG_STRING, &opt_mqtt,
     "Card: publish frames to the broker at URL (mqtt://HOST[:PORT] or mqtts://HOST[:PORT]) and "
     "take downlink requests from it",
     "URL"},
    {"ca-file", 0, 0, G_OPTION_ARG_FILENAME, &opt_ca_file,
     "Certificate authorities that sign an mqtts:// broker's certificate", "FILE"},
    {"station", 'S', 0, G_OPTION_ARG_STRING, &opt_station,
     "Station name in the topics and the status (default: the host name)", "NAME"},
    {"topic-prefix", 0, 0, G_OPTION_ARG_STRING, &opt_prefix,
     "First level of the station's topics (default vek)", "PREFIX"},
    {"config", 0, 0, G_OPTION_ARG_FILENAME, &opt_config,
     "Read this key file instead of the first vekbs.conf in /etc/kavrin/, /etc/, ./conf/, ./",
     "FILE"},
    {"duration", 'd', 0, G_OPTION_ARG_DOUBLE, &opt_duration,
     "Card: stop after this much signal, in seconds (default: run until stopped)", "SECONDS"},
    {"truth", 't', 0, G_OPTION_ARG_FILENAME, &opt_truth,
     "Card: the recording the card plays, for --check (the run lasts one pass of it, or "
     "--duration)",
     "RECORDING"},
    {"quiet", 'q', 0, G_OPTION_ARG_NONE, &opt_quiet, "Do not print the frames", nullptr},
    {"stats-interval", 0, 0, G_OPTION_ARG_INT, &opt_stats_interval,
     "Card: seconds between two statistics reports (default 60)", "SECONDS"},
    {"whitelist", 'w', 0, G_OPTION_ARG_FILENAME, &opt_whitelist,
     "Deliver only frames of the devices listed in FILE", "FILE"},
    {"blacklist", 'k', 0, G_OPTION_ARG_FILENAME, &opt_blacklist,
     "Drop frames of the devices listed in FILE", "FILE"},
    {"receiver", 0, 0, G_OPTION_ARG_STRING, &opt_receiver,
     "Uplink receiver: vdem (the demodulator, default) or vchan (the channelised "
     "receiver: deeper, and many frames at once)",
     "NAME"},
    {"no-auth", 'n', 0, G_OPTION_ARG_NONE, &opt_no_auth,
     "Deliver frames without checking their authentication code", nullptr},
    {"sample-rate", 'r', 0, G_OPTION_ARG_INT, &opt_sample_rate,
     "Sample rate of a raw .cs16 recording (it must be 192000)", "HZ"},
    {"fast", 'f', 0, G_OPTION_ARG_NONE, &opt_fast,
     "Write the recording as fast as possible instead of in real time", nullptr},
    {"write-multiple", 0, 0, G_OPTION_ARG_INT, &opt_write_multiple,
     "Recording: write N times the wrapper's advised length at once (default 1); "
     "larger writes cost less, and a frame's time is that of its write",
     "N"},
    {"json", 'j', 0, G_OPTION_ARG_NONE, &opt_json,
     "Print each frame as one JSON object; nothing else goes to standard output", nullptr},
    {"check", 'c', 0, G_OPTION_ARG_NONE, &opt_check,
     "Compare the delivered frames with the recording's truth; exit 3 on any difference", nullptr},
    {"synth", 's', 0, G_OPTION_ARG_NONE, &opt_synth,
     "Print the downlink frame for the operands DEVICE SEQ HEXPAYLOAD FREQ and exit", nullptr},
    {"log-level", 'l', 0, G_OPTION_ARG_STRING, &opt_log_level,
     "Log messages from this level on to standard error: debug, info, warn or err "
     "(default warn)",
     "LEVEL"},
    {"version", 'V', 0, G_OPTION_ARG_NONE, &opt_version, "Print the version and exit", nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

const char kDescription[] =
    "Without a recording, vekbs runs its built-in scenario: signed frames of several\n"
    "types at both bit rates from three devices, one with a forged authentication code\n"
    "and one from a device on the station's black list (0xBAD0017), in noise.\n"
    "\n"
    "A RECORDING is a SigMF recording (BASE, BASE.sigmf-meta or BASE.sigmf-data, as\n"
    "vekgen writes it) or raw .cs16 samples (signed 16-bit I then Q, little-endian)\n"
    "with --sample-rate. Each write carries the time at which its first sample would\n"
    "have arrived had the recording started now.\n"
    "\n"
    "With --card, vekbs is the base station of a card: it opens card N in its RX and\n"
    "downlink mode, sets the RX carrier and the preamplifiers it is given (and says\n"
    "what the card runs with on standard error), streams 192000 samples/s into one\n"
    "wrapper at one bit rate (100 by default), and runs until SIGINT or SIGTERM, which\n"
    "stop the write, the wrapper, RX, the card, the broker link and the logger in that\n"
    "order and print the final statistics. A card that is unplugged is reported in one\n"
    "log line; vekbs then waits for a card and resumes. Samples the main loop cannot\n"
    "take in time are dropped, counted and logged. Under vekemu, --truth RECORDING\n"
    "with --check checks the frames of the recording the emulated card plays.\n"
    "\n"
    "With --mqtt, each delivered frame is published as its JSON object on\n"
    "PREFIX/STATION/up (QoS 1). Downlink requests {\"device_id\", \"seq\", \"payload\",\n"
    "\"freq\", \"id\"} on PREFIX/STATION/down are held to the downlink policy\n"
    "(permitted sub-bands, the duty cycle of each over an hour, frames per device,\n"
    "a request's age; by default the sub-bands of the card's band, 863-870 MHz),\n"
    "synthesised and sent to the card; each gets one result on\n"
    "PREFIX/STATION/down/result: \"sent\", \"failed\", or \"refused\" with the rule that\n"
    "refused it. PREFIX/STATION/status holds the retained status (\"online\" with the\n"
    "configuration, the statistics every minute, \"offline\" as the last will).\n"
    "Frames wait in a bounded queue while the broker is away. The broker's user and\n"
    "password come from the configuration file only.\n"
    "\n"
    "The configuration file vekbs.conf (groups station, card, mqtt, downlink and\n"
    "log; see the example installed under share/vekbs) is read with --card, --mqtt\n"
    "or --config; options override it.\n"
    "\n"
    "Each delivered frame is printed as its FDATA_V1 line, whose time field holds the\n"
    "Unix seconds of the write that carried it; with --json as one JSON object with\n"
    "the members time, bit_rate, device_id, seq, ack, oob, repetition, payload, bytes,\n"
    "freq_hz, snr_db and rssi_db. The statistics follow (on standard error with --json).\n"
    "A list FILE holds one device id per line (decimal, or hexadecimal with 0x).\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails (a recording that cannot be read,\n"
    "a station that does not start, standard output that cannot be written), 2 on a\n"
    "usage error (bad option, operand, list file or configuration file), 3 when --check\n"
    "finds a difference.\n"
    "\n"
    "Examples:\n"
    "  vekbs --check\n"
    "  vekgen -o demo && vekbs --fast --json demo\n"
    "  vekbs --synth 0x12AB34 7 cafe01 869525000\n"
    "  vekbs --card --frequency 868130000 --preamp 0:LNA --mqtt mqtt://broker:1883\n"
    "  vekemu --fast --sigmf demo -- vekbs --card --check --truth demo\n";

[[noreturn]] void G_GNUC_PRINTF(2, 3) fail(int status, const gchar *format, ...)
{
    va_list args;
    va_start(args, format);
    g_autofree gchar *message = g_strdup_vprintf(format, args);
    va_end(args);
    g_printerr("vekbs: %s\n", message);
    exit(status);
}

/* A write error of standard output is a failure, not a success. */
void close_stdout()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || std::fclose(stdout) != 0)
        fail(kExitFailure, "cannot write standard output: %s", g_strerror(errno));
}

gboolean forward_device_log(VekDevice *, const gchar *line)
{
    KVRLOG_INFO("%s", line);
    return TRUE;
}

KvrlogLevel parse_level(const gchar *text)
{
    static const std::pair<const char *, KvrlogLevel> levels[] = {{"debug", KVRLOG_LEVEL_DEBUG},
                                                                  {"info", KVRLOG_LEVEL_INFO},
                                                                  {"warn", KVRLOG_LEVEL_WARN},
                                                                  {"err", KVRLOG_LEVEL_ERR}};
    for (auto [name, level] : levels)
        if (g_ascii_strcasecmp(text, name) == 0)
            return level;
    fail(kExitUsage, "--log-level takes debug, info, warn or err, not '%s'", text);
}

/* The logger: on standard error unless the "log" group of the key file says
 * otherwise ("sink" = stderr, file or rotating; the other keys are the
 * logger's own). The device library's lines go through it. */
VekDevice *setup_logging(GKeyFile *file)
{
    KvrlogHelperType type = KVRLOG_HELPER_FD;
    g_autoptr(GHashTable) items = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    if (file != nullptr && g_key_file_has_group(file, "log")) {
        g_auto(GStrv) keys = g_key_file_get_keys(file, "log", nullptr, nullptr);
        for (guint i = 0; keys != nullptr && keys[i] != nullptr; i++) {
            g_autofree gchar *value = g_key_file_get_string(file, "log", keys[i], nullptr);
            g_strstrip(value);
            if (g_ascii_strcasecmp(keys[i], "sink") != 0) {
                g_hash_table_insert(items, g_strdup(keys[i]), g_steal_pointer(&value));
                continue;
            }
            if (g_str_equal(value, "file"))
                type = KVRLOG_HELPER_FILE;
            else if (g_str_equal(value, "rotating"))
                type = KVRLOG_HELPER_RFILE;
            else if (!g_str_equal(value, "stderr"))
                fail(kExitUsage, "[log] sink: takes stderr, file or rotating, not '%s'", value);
        }
    }
    KvrlogConf *conf = kvrlog_conf_new_with_options("type", static_cast<guint>(type), "level",
                                                    static_cast<guint>(KVRLOG_LEVEL_WARN),
                                                    "prog", "vekbs", nullptr);
    if (type == KVRLOG_HELPER_FD)
        conf->helper.fd.file = stderr;
    g_autoptr(GError) error = nullptr;
    if (!kvrlog_conf_setup(conf, items, &error))
        fail(kExitUsage, "[log]: %s", error->message);
    if (opt_log_level != nullptr)
        g_object_set(conf, "level", static_cast<guint>(parse_level(opt_log_level)), nullptr);
    if (!kvrlog_setup(conf, &error))
        fail(kExitFailure, "cannot set the logger up: %s", error->message);
    iqhub_onload();
    /* The device library hands its log lines to a device; this one is never opened. */
    auto *owner = XVEK_DEVICE(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    xvek_logSetCB(owner, forward_device_log, nullptr, nullptr, nullptr);
    return owner;
}

gboolean print_downlink(SdrSynthWrapper *, guint8 *frame, gsize length, guint32 freq,
                        gpointer user_data, GError **)
{
    g_autofree guint8 *owned = frame;
    auto *request = static_cast<std::string *>(user_data);
    std::string hex;
    for (gsize i = 0; i < length; i++) {
        gchar digits[3];
        g_snprintf(digits, sizeof(digits), "%02x", frame[i]);
        hex += digits;
    }
    if (opt_json)
        g_print("{\"request\":%s,\"freq\":%u,\"frame\":\"%s\"}\n", request->c_str(), freq,
                hex.c_str());
    else
        g_print("%s\n", hex.c_str());
    return TRUE;
}

int synthesize(int argc, char **argv)
{
    if (argc != 5)
        fail(kExitUsage, "--synth takes DEVICE SEQ HEXPAYLOAD FREQ");
    guint32 device = 0;
    guint64 seq = 0, freq = 0;
    if (!parse_device_id(argv[1], &device))
        fail(kExitUsage, "'%s' is not a device id (decimal, or hexadecimal with 0x)", argv[1]);
    if (!g_ascii_string_to_unsigned(argv[2], 10, 0, 4095, &seq, nullptr))
        fail(kExitUsage, "'%s' is not a sequence number from 0 to 4095", argv[2]);
    const gchar *hex = g_str_equal(argv[3], "-") ? "" : argv[3];
    const gsize n = strlen(hex) / 2;
    if (strlen(hex) % 2 != 0 || n > SDR_SYNTH_WRAPPER_MAX_PAYLOAD)
        fail(kExitUsage, "'%s' is not a payload of 0 to 8 bytes in hexadecimal ('-' for none)",
             argv[3]);
    guint8 payload[SDR_SYNTH_WRAPPER_MAX_PAYLOAD] = {};
    for (gsize i = 0; i < n; i++) {
        const gint hi = g_ascii_xdigit_value(hex[2 * i]), lo = g_ascii_xdigit_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            fail(kExitUsage, "'%s' is not hexadecimal", argv[3]);
        payload[i] = static_cast<guint8>(hi * 16 + lo);
    }
    if (!g_ascii_string_to_unsigned(argv[4], 10, 0, G_MAXUINT32, &freq, nullptr))
        fail(kExitUsage, "'%s' is not a frequency in Hz", argv[4]);

    g_autofree gchar *request_text = g_strdup_printf(
        "{\"device_id\":%u,\"seq\":%u,\"payload\":\"%s\"}", device, static_cast<guint>(seq), hex);
    std::string request = request_text;
    g_autoptr(SdrSynthWrapper) synth = sdr_synth_wrapper_new();
    sdr_synth_wrapper_set_tx_callback(synth, print_downlink, &request, nullptr, nullptr);
    sdr_synth_wrapper_synthesize(synth, device, static_cast<guint16>(seq), payload,
                                 static_cast<guint8>(n), static_cast<guint32>(freq));
    close_stdout();
    return kExitOk;
}

/* A station name is one topic level: no wildcard, no separator. */
bool valid_name(const std::string &name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name)
        if (!g_ascii_isalnum(c) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

/* Defaults, then the key file, then the options. */
StationConfig station_config(bool builtin, GKeyFile *file)
{
    StationConfig config;
    FileSettings files;
    config.rates.clear();
    g_autoptr(GError) error = nullptr;
    if (file != nullptr && !apply_key_file(file, config, files, &error))
        fail(kExitUsage, "%s", error->message);
    if (opt_bit_rate != nullptr && !parse_bit_rate(opt_bit_rate, config.rates))
        fail(kExitUsage, "--bit-rate takes 100, 600 or both, not '%s'", opt_bit_rate);
    if (config.rates.empty())
        config.rates = opt_card ? std::vector<guint>{100} : std::vector<guint>{100, 600};
    if (opt_card && config.rates.size() != 1)
        fail(kExitUsage, "a card runs one bit rate at a time: --bit-rate 100 or 600");
    if (!std::isnan(opt_gain))
        config.int_gain = opt_gain;
    if (!std::isnan(opt_ext_gain))
        config.ext_gain = opt_ext_gain;
    if (!std::isfinite(config.int_gain) || config.int_gain < 0.0 || config.int_gain > 200.0)
        fail(kExitUsage, "--int-gain must be between 0 and 200 dB");
    if (!std::isfinite(config.ext_gain) || config.ext_gain < -100.0 || config.ext_gain > 100.0)
        fail(kExitUsage, "--ext-gain must be between -100 and 100 dB");
    if (opt_receiver != nullptr) {
        if (g_strcmp0(opt_receiver, "vdem") != 0 && g_strcmp0(opt_receiver, "vchan") != 0)
            fail(kExitUsage, "--receiver takes vdem or vchan, not '%s'", opt_receiver);
        config.receiver = opt_receiver;
    }
    if (opt_no_auth)
        config.authenticate = false;
    config.fast = opt_fast;
    if (opt_write_multiple < 1 || opt_write_multiple > 64)
        fail(kExitUsage, "--write-multiple must be a whole number from 1 to 64");
    config.write_multiple = static_cast<guint>(opt_write_multiple);
    config.json = opt_json;
    config.quiet = opt_quiet;
    config.check = opt_check;
    config.card = opt_card;

    if (opt_whitelist != nullptr || opt_blacklist != nullptr)
        files = {};
    if (opt_whitelist != nullptr)
        files.whitelist = opt_whitelist;
    if (opt_blacklist != nullptr)
        files.blacklist = opt_blacklist;
    if (!files.whitelist.empty() && !files.blacklist.empty())
        fail(kExitUsage, "--whitelist and --blacklist exclude each other");
    const std::string &list = !files.whitelist.empty() ? files.whitelist : files.blacklist;
    if (!list.empty()) {
        config.whitelist = !files.whitelist.empty();
        if (!read_device_list(list, config.devices, &error))
            fail(kExitUsage, "%s", error->message);
    } else if (builtin) {
        config.devices = {kScenarioBlacklisted};
    }

    CardConfig &card = config.card_config;
    if (opt_card_index >= 0)
        card.index = static_cast<guint>(opt_card_index);
    if (opt_frequency >= 0) {
        if (opt_frequency == 0 || opt_frequency > G_MAXUINT32)
            fail(kExitUsage, "--frequency takes a frequency in Hz from 1 to %u", G_MAXUINT32);
        card.rx_frequency = static_cast<guint32>(opt_frequency);
    }
    for (gchar **p = opt_preamps; p != nullptr && *p != nullptr; p++) {
        g_auto(GStrv) parts = g_strsplit(*p, ":", 2);
        guint64 id = 0;
        VektypePreampMode mode;
        if (g_strv_length(parts) != 2 ||
            !g_ascii_string_to_unsigned(parts[0], 10, 0, 2, &id, nullptr) ||
            !parse_preamp_mode(parts[1], &mode))
            fail(kExitUsage, "--preamp takes ID:MODE with ID 0, 1 or 2 and MODE LNA, BYPASS or "
                             "ATTEN, not '%s'",
                 *p);
        card.preamps[id] = mode;
    }
    if (opt_duration < 0.0 || !std::isfinite(opt_duration))
        fail(kExitUsage, "--duration takes a number of seconds");
    config.duration = opt_duration;
    if (opt_stats_interval < 0)
        fail(kExitUsage, "--stats-interval takes a number of seconds");
    if (opt_stats_interval > 0)
        config.stats_interval = static_cast<guint>(opt_stats_interval);

    MqttConfig &mqtt = config.mqtt;
    if (opt_mqtt != nullptr)
        mqtt.url = opt_mqtt;
    if (opt_ca_file != nullptr)
        mqtt.ca_file = opt_ca_file;
    if (opt_prefix != nullptr)
        mqtt.prefix = opt_prefix;
    if (!mqtt.url.empty()) {
        if (!parse_mqtt_url(mqtt.url, mqtt, &error))
            fail(kExitUsage, "%s", error->message);
        if (mqtt.tls && mqtt.ca_file.empty())
            fail(kExitUsage, "%s: a TLS broker needs a CA file (--ca-file or [mqtt] ca_file)",
                 mqtt.url.c_str());
        if (mqtt.tls && !g_file_test(mqtt.ca_file.c_str(), G_FILE_TEST_IS_REGULAR))
            fail(kExitUsage, "%s: no such CA file", mqtt.ca_file.c_str());
        if (mqtt.prefix.empty() || !valid_name(mqtt.prefix))
            fail(kExitUsage, "the topic prefix must be letters, digits, '-', '_' or '.'");
    }
    if (opt_station != nullptr)
        config.name = opt_station;
    if (config.name.empty())
        config.name = g_get_host_name();
    if (!valid_name(config.name))
        fail(kExitUsage, "'%s' is not a station name (letters, digits, '-', '_' or '.')",
             config.name.c_str());
    return config;
}

/* The live station; the truth, if any, comes from the recording the card
 * plays. */
int run_card(const StationConfig &config, VekDevice *log_owner)
{
    std::vector<VekgenFrame> truth;
    guint64 truth_samples = 0;
    if (opt_check && opt_truth == nullptr)
        fail(kExitUsage, "--check with --card needs --truth RECORDING (what the card plays)");
    if (opt_truth != nullptr) {
        g_autoptr(GError) error = nullptr;
        std::unique_ptr<Source> recording = open_recording(opt_truth, kSampleRate, &error);
        if (recording == nullptr)
            fail(kExitUsage, "%s", error->message);
        truth = recording->truth();
        if (truth.empty())
            fail(kExitUsage, "%s carries no truth to check against", opt_truth);
        VekgenRecording *rec = vekgen_recording_open(opt_truth, nullptr);
        truth_samples = rec != nullptr ? vekgen_recording_get_n_samples(rec) : 0;
        vekgen_recording_close(rec);
    }
    Card::watch_disconnections(log_owner);
    const int status = run_live(config, truth, truth_samples);
    close_stdout();
    kvrlog_close(nullptr);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    g_set_prgname("vekbs");
    g_autoptr(GOptionContext) context = g_option_context_new(
        "[RECORDING | N] - run uplink I/Q, or a card, through a base station");
    g_option_context_add_main_entries(context, kEntries, nullptr);
    g_option_context_set_description(context, kDescription);
    g_autoptr(GError) error = nullptr;
    if (!g_option_context_parse(context, &argc, &argv, &error))
        fail(kExitUsage, "%s", error->message);
    if (opt_version) {
        g_print("vekbs 1.0\n");
        close_stdout();
        return kExitOk;
    }
    if (opt_log_level != nullptr)
        parse_level(opt_log_level);
    if (opt_card && opt_card_index < 0 && argc == 2) {
        /* "--card N": the operand is the card number. */
        guint64 index = 0;
        if (!g_ascii_string_to_unsigned(argv[1], 10, 0, 63, &index, nullptr))
            fail(kExitUsage, "with --card the operand is a card number, not '%s'", argv[1]);
        opt_card_index = static_cast<gint64>(index);
        argc = 1;
    }
    if (!opt_card) {
        for (const auto &[given, name] :
             {std::pair{opt_mqtt != nullptr, "--mqtt"}, {opt_truth != nullptr, "--truth"},
              {opt_frequency >= 0, "--frequency"}, {opt_preamps != nullptr, "--preamp"},
              {opt_duration != 0.0, "--duration"}})
            if (given)
                fail(kExitUsage, "%s needs --card", name);
    }
    g_autoptr(GKeyFile) file = nullptr;
    if (opt_card || opt_mqtt != nullptr || opt_config != nullptr) {
        file = load_key_file(opt_config, &error);
        if (error != nullptr)
            fail(kExitUsage, "%s", error->message);
    }
    g_autoptr(VekDevice) log_owner = setup_logging(file);
    if (opt_synth)
        return synthesize(argc, argv);
    if (argc > 2)
        fail(kExitUsage, "unexpected argument '%s'", argv[2]);
    if (opt_card && argc > 1)
        fail(kExitUsage, "unexpected argument '%s'", argv[1]);

    const bool builtin = argc < 2 && !opt_card;
    const StationConfig config = station_config(builtin, file);
    if (opt_card)
        return run_card(config, log_owner);
    std::unique_ptr<Source> source =
        builtin ? open_default_scenario()
                : open_recording(argv[1], static_cast<guint>(MAX(opt_sample_rate, 0)), &error);
    if (source == nullptr)
        fail(error->domain == G_OPTION_ERROR ? kExitUsage : kExitFailure, "%s", error->message);
    if (opt_check && source->truth().empty())
        fail(kExitUsage, "%s carries no truth to check against", source->name().c_str());

    std::vector<Delivered> delivered;
    std::vector<PassStats> stats;
    const bool ran = run_station(*source, config, delivered, stats, &error);
    const std::string summary = opt_json ? stats_json(stats) + "\n" : stats_text(stats);
    std::fputs(summary.c_str(), opt_json ? stderr : stdout);
    close_stdout();
    if (!ran)
        fail(kExitFailure, "%s", error->message);
    if (opt_check) {
        const guint differences = check_truth(source->truth(), config, delivered, stats);
        if (differences > 0) {
            g_printerr("vekbs: check: %u difference%s with the recording's truth\n", differences,
                       differences == 1 ? "" : "s");
            return kExitMismatch;
        }
        g_printerr("vekbs: check: every frame delivered as sent (%zu frames)\n", delivered.size());
    }
    kvrlog_close(nullptr);
    return kExitOk;
}
