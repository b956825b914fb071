/* vekbs: the reference base-station host. It runs uplink I/Q through the
 * wrapper library on a GLib main loop and prints each frame the station
 * delivers, time-stamped and filtered; it also synthesises downlink frames. */
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <kvrlog/kvrlog.h>
#include <xvek/xvek.h>

#include "vekbs.h"

namespace
{

using namespace vekbs;

gchar *opt_bit_rate = nullptr;
gdouble opt_gain = 98.0;
gchar *opt_whitelist = nullptr;
gchar *opt_blacklist = nullptr;
gboolean opt_no_auth = FALSE;
gint opt_sample_rate = 0;
gboolean opt_fast = FALSE;
gboolean opt_json = FALSE;
gboolean opt_check = FALSE;
gboolean opt_synth = FALSE;
gchar *opt_log_level = nullptr;
gboolean opt_version = FALSE;

const GOptionEntry kEntries[] = {
    {"bit-rate", 'b', 0, G_OPTION_ARG_STRING, &opt_bit_rate,
     "Bit rate of the station: 100, 600 or both (default both, one pass each)", "RATE"},
    {"int-gain", 'g', 0, G_OPTION_ARG_DOUBLE, &opt_gain,
     "Receive chain gain in dB, subtracted from every power (default 98)", "DB"},
    {"whitelist", 'w', 0, G_OPTION_ARG_FILENAME, &opt_whitelist,
     "Deliver only frames of the devices listed in FILE", "FILE"},
    {"blacklist", 'k', 0, G_OPTION_ARG_FILENAME, &opt_blacklist,
     "Drop frames of the devices listed in FILE", "FILE"},
    {"no-auth", 'n', 0, G_OPTION_ARG_NONE, &opt_no_auth,
     "Deliver frames without checking their authentication code", nullptr},
    {"sample-rate", 'r', 0, G_OPTION_ARG_INT, &opt_sample_rate,
     "Sample rate of a raw .cs16 recording (it must be 192000)", "HZ"},
    {"fast", 'f', 0, G_OPTION_ARG_NONE, &opt_fast,
     "Write the recording as fast as possible instead of in real time", nullptr},
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
    "Each delivered frame is printed as its FDATA_V1 line, whose time field holds the\n"
    "Unix seconds of the write that carried it; with --json as one JSON object with\n"
    "the members time, bit_rate, device_id, seq, ack, oob, repetition, payload, bytes,\n"
    "freq_hz, snr_db and rssi_db. The statistics follow (on standard error with --json).\n"
    "A list FILE holds one device id per line (decimal, or hexadecimal with 0x).\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails (a recording that cannot be read,\n"
    "a station that does not start, standard output that cannot be written), 2 on a\n"
    "usage error (bad option, operand or list file), 3 when --check finds a difference.\n"
    "\n"
    "Examples:\n"
    "  vekbs --check\n"
    "  vekgen -o demo && vekbs --fast --json demo\n"
    "  vekbs --synth 0x12AB34 7 cafe01 869525000\n";

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
    if (text == nullptr)
        return KVRLOG_LEVEL_WARN;
    for (auto [name, level] : levels)
        if (g_ascii_strcasecmp(text, name) == 0)
            return level;
    fail(kExitUsage, "--log-level takes debug, info, warn or err, not '%s'", text);
}

/* The logger on standard error; the device library's lines go through it. */
VekDevice *setup_logging(KvrlogLevel level)
{
    KvrlogConf *conf =
        kvrlog_conf_new_with_options("type", static_cast<guint>(KVRLOG_HELPER_FD), "level",
                                     static_cast<guint>(level), "prog", "vekbs", nullptr);
    conf->helper.fd.file = stderr;
    g_autoptr(GError) error = nullptr;
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

StationConfig station_config(bool builtin)
{
    StationConfig config;
    if (opt_bit_rate == nullptr || g_str_equal(opt_bit_rate, "both"))
        config.rates = {100, 600};
    else if (g_str_equal(opt_bit_rate, "100"))
        config.rates = {100};
    else if (g_str_equal(opt_bit_rate, "600"))
        config.rates = {600};
    else
        fail(kExitUsage, "--bit-rate takes 100, 600 or both, not '%s'", opt_bit_rate);
    if (!std::isfinite(opt_gain) || opt_gain < 0.0 || opt_gain > 200.0)
        fail(kExitUsage, "--int-gain must be between 0 and 200 dB");
    if (opt_whitelist != nullptr && opt_blacklist != nullptr)
        fail(kExitUsage, "--whitelist and --blacklist exclude each other");
    config.int_gain = opt_gain;
    config.authenticate = !opt_no_auth;
    config.fast = opt_fast;
    config.json = opt_json;
    const gchar *list = opt_whitelist != nullptr ? opt_whitelist : opt_blacklist;
    if (list != nullptr) {
        config.whitelist = opt_whitelist != nullptr;
        g_autoptr(GError) error = nullptr;
        if (!read_device_list(list, config.devices, &error))
            fail(kExitUsage, "%s", error->message);
    } else if (builtin) {
        config.devices = {kScenarioBlacklisted};
    }
    return config;
}

} // namespace

int main(int argc, char **argv)
{
    g_set_prgname("vekbs");
    g_autoptr(GOptionContext) context =
        g_option_context_new("[RECORDING] - run uplink I/Q through a base station");
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
    g_autoptr(VekDevice) log_owner = setup_logging(parse_level(opt_log_level));
    if (opt_synth)
        return synthesize(argc, argv);
    if (argc > 2)
        fail(kExitUsage, "unexpected argument '%s'", argv[2]);

    const bool builtin = argc < 2;
    const StationConfig config = station_config(builtin);
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
