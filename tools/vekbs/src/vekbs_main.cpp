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
#include "signals.h"
#include "vekbs.h"
#include "view.h"

namespace
{

using namespace vekbs;

const char kDescription[] =
    "Without a recording, vekbs runs its built-in scenario: signed frames of several\n"
    "types at both bit rates from three devices, one with a forged authentication code\n"
    "and one from a device on the station's black list (0xBAD0017), in noise.\n"
    "\n"
    "The station runs the channelised receiver (vchan) on both bit rates in one pass:\n"
    "one wrapper hears 100 and 600 bit/s from the one stream, many frames at once and\n"
    "about 20 dB deeper than the reference demodulator. --receiver vdem --bit-rate 100\n"
    "(or 600) runs the reference station; with --receiver vdem, --bit-rate both runs a\n"
    "recording once per rate, 100 bit/s first.\n"
    "\n"
    "A RECORDING is a SigMF recording (BASE, BASE.sigmf-meta or BASE.sigmf-data, as\n"
    "vekgen writes it) or raw .cs16 samples (signed 16-bit I then Q, little-endian)\n"
    "with --sample-rate. Each write carries the time at which its first sample would\n"
    "have arrived had the recording started now.\n"
    "\n"
    "With --card, vekbs is the base station of a card: it opens card N in its RX and\n"
    "downlink mode, sets the RX carrier and the preamplifiers it is given (and says\n"
    "what the card runs with on standard error), streams 192000 samples/s into one\n"
    "wrapper (both rates; with --receiver vdem one rate, 100 by default), and runs\n"
    "until SIGINT, SIGTERM or SIGHUP (all three stop it; none reloads), which stop the\n"
    "write, the wrapper, RX, the card, the broker link and the logger in that order and\n"
    "print the final statistics; a signal that comes while vekbs starts is kept until\n"
    "it can stop cleanly. A card that is unplugged is reported in one log line; vekbs\n"
    "then waits for a card and resumes. Samples the main loop cannot take in time are\n"
    "dropped, counted and logged. Under vekemu, --truth RECORDING with --check checks\n"
    "the frames of the recording the emulated card plays.\n"
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
    "With --http [ADDR:]PORT the station serves, from its own main loop, a live page\n"
    "of the band (its waterfall, each delivered frame marked, the latest frames and\n"
    "the status), /metrics in the Prometheus text format, /api/status and\n"
    "/api/frames?since=N (localhost unless an address is given; read-only). With a\n"
    "recording it serves on after the run until SIGINT or SIGTERM. --waterfall\n"
    "FILE.png draws a recording's band with the frames heard and sent marked.\n"
    "\n"
    "The configuration file vekbs.conf (groups station, card, mqtt, downlink,\n"
    "http and log; see the example installed under share/vekbs) is read with --card, --mqtt\n"
    "or --config; options override it, and each option above names its key. An\n"
    "unknown group or key, or an empty value, is a usage error. A file that others\n"
    "may write is refused; one holding the broker password should be mode 0640\n"
    "(root:vek), or the password given as the systemd credential mqtt-password.\n"
    "\n"
    "Each delivered frame is printed as its FDATA_V1 line, whose time field holds the\n"
    "Unix seconds of the write that carried it; with --json as one JSON object with\n"
    "the members time, bit_rate, device_id, seq, ack, oob, repetition, payload, bytes,\n"
    "freq_hz, snr_db and rssi_db; bit_rate is the rate the frame was decoded at. A\n"
    "message that the channelised receiver recovered only by decoding the repetitions\n"
    "of its message together is delivered once, as its first repetition used, with a\n"
    "member combined listing the repetitions used (\"combined\":[1,3]). The\n"
    "statistics follow, one line (or object) per bit rate (on standard error with\n"
    "--json).\n"
    "A list FILE holds one device id per line (decimal, or hexadecimal with 0x).\n"
    "\n"
    "Standard output that its reader closed (vekbs | head -1) ends the output and the\n"
    "run, with status 0; any other failed write of standard output is reported at\n"
    "once, and the run ends with status 1 (a card station keeps serving the broker\n"
    "until it is stopped).\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails (a recording that cannot be read,\n"
    "a station that does not start, standard output that cannot be written, or a stop\n"
    "that leaves messages the broker never acknowledged), 2 on a usage error (bad\n"
    "option, operand, list file or configuration file), 3 when --check finds a\n"
    "difference.\n"
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

/* A write error of standard output is a failure, not a success; a closed pipe
 * is the end of output. */
void close_stdout()
{
    errno = 0;
    const bool bad = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    const int saved = errno;
    const bool closed = std::fclose(stdout) != 0;
    if (output_state() == OutputState::Failed)
        exit(kExitFailure); /* said at the first failed write */
    if (output_state() == OutputState::Closed || saved == EPIPE || errno == EPIPE)
        return;
    if (bad || closed)
        fail(kExitFailure, "cannot write standard output: %s", g_strerror(saved ? saved : errno));
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
VekDevice *setup_logging(GKeyFile *file, const std::string &level)
{
    LogSettings log;
    g_autoptr(GError) error = nullptr;
    if (file != nullptr && !read_log_group(file, log, &error))
        fail(kExitUsage, "%s", error->message);
    const KvrlogHelperType type = log.sink == "file"       ? KVRLOG_HELPER_FILE
                                  : log.sink == "rotating" ? KVRLOG_HELPER_RFILE
                                                           : KVRLOG_HELPER_FD;
    g_autoptr(GHashTable) items = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    for (const auto &[key, value] : log.items)
        g_hash_table_insert(items, g_strdup(key.c_str()), g_strdup(value.c_str()));
    KvrlogConf *conf = kvrlog_conf_new_with_options("type", static_cast<guint>(type), "level",
                                                    static_cast<guint>(KVRLOG_LEVEL_WARN), "prog",
                                                    "vekbs", nullptr);
    if (type == KVRLOG_HELPER_FD)
        conf->helper.fd.file = stderr;
    if (!kvrlog_conf_setup(conf, items, &error))
        fail(kExitUsage, "[log]: %s", error->message);
    if (!level.empty())
        g_object_set(conf, "level", static_cast<guint>(parse_level(level.c_str())), nullptr);
    if (!kvrlog_setup(conf, &error))
        fail(kExitFailure, "cannot set the logger up: %s", error->message);
    iqhub_onload();
    /* The device library hands its log lines to a device; this one is never opened. */
    auto *owner = XVEK_DEVICE(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    xvek_logSetCB(owner, forward_device_log, nullptr, nullptr, nullptr);
    return owner;
}

struct SynthRequest {
    std::string text;
    bool json;
};

gboolean print_downlink(SdrSynthWrapper *, guint8 *frame, gsize length, guint32 freq,
                        gpointer user_data, GError **)
{
    g_autofree guint8 *owned = frame;
    auto *request = static_cast<SynthRequest *>(user_data);
    std::string hex;
    for (gsize i = 0; i < length; i++) {
        gchar digits[3];
        g_snprintf(digits, sizeof(digits), "%02x", frame[i]);
        hex += digits;
    }
    if (request->json)
        g_print("{\"request\":%s,\"freq\":%u,\"frame\":\"%s\"}\n", request->text.c_str(), freq,
                hex.c_str());
    else
        g_print("%s\n", hex.c_str());
    return TRUE;
}

int synthesize(int argc, char **argv, bool json)
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
    SynthRequest request = {request_text, json};
    g_autoptr(SdrSynthWrapper) synth = sdr_synth_wrapper_new();
    sdr_synth_wrapper_set_tx_callback(synth, print_downlink, &request, nullptr, nullptr);
    sdr_synth_wrapper_synthesize(synth, device, static_cast<guint16>(seq), payload,
                                 static_cast<guint8>(n), static_cast<guint32>(freq));
    close_stdout();
    return kExitOk;
}

/* The live station; the truth, if any, comes from the recording the card
 * plays. */
int run_card(const Settings &settings, VekDevice *log_owner)
{
    std::vector<VekgenFrame> truth;
    guint64 truth_samples = 0;
    const gchar *truth_path = settings.truth.empty() ? nullptr : settings.truth.c_str();
    if (settings.station.check && truth_path == nullptr)
        fail(kExitUsage, "--check with --card needs --truth RECORDING (what the card plays)");
    if (truth_path != nullptr) {
        g_autoptr(GError) error = nullptr;
        std::unique_ptr<Source> recording = open_recording(truth_path, kSampleRate, &error);
        if (recording == nullptr)
            fail(kExitUsage, "%s", error->message);
        truth = recording->truth();
        if (truth.empty())
            fail(kExitUsage, "%s carries no truth to check against", truth_path);
        VekgenRecording *rec = vekgen_recording_open(truth_path, nullptr);
        truth_samples = rec != nullptr ? vekgen_recording_get_n_samples(rec) : 0;
        vekgen_recording_close(rec);
    }
    Card::watch_disconnections(log_owner);
    const int status = run_live(settings.station, truth, truth_samples);
    close_stdout();
    kvrlog_close(nullptr);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    g_set_prgname("vekbs");
    StopSignals::install();
    g_autoptr(GOptionContext) context =
        g_option_context_new("[RECORDING | N] - run uplink I/Q, or a card, through a base station");
    CommandLine options;
    options.add_to(context);
    g_option_context_set_description(context, kDescription);
    g_autoptr(GError) error = nullptr;
    if (!g_option_context_parse(context, &argc, &argv, &error))
        fail(kExitUsage, "%s", error->message);
    /* What the command line alone says: enough to find the key file. */
    Settings settings = default_settings();
    if (!options.apply(settings, &error))
        fail(kExitUsage, "%s", error->message);
    if (settings.version) {
        g_print("vekbs 1.0\n");
        close_stdout();
        return kExitOk;
    }
    const bool card = settings.station.card;
    if (card && argc == 2) {
        /* "--card N": the operand is the card number. */
        g_autoptr(GError) bad = nullptr;
        if (options.take_card_operand(argv[1], &bad))
            argc = 1;
        else if (bad != nullptr)
            fail(kExitUsage, "with --card the operand is a card number, not '%s'", argv[1]);
    }
    if (!card && options.needing_card() != nullptr)
        fail(kExitUsage, "--%s needs --card", options.needing_card());
    g_autoptr(GKeyFile) file = nullptr;
    if (card || options.given("mqtt") || options.given("config")) {
        file = load_key_file(settings.config_file.empty() ? nullptr : settings.config_file.c_str(),
                             &error);
        if (error != nullptr)
            fail(kExitUsage, "%s", error->message);
    }
    g_autoptr(VekDevice) log_owner = setup_logging(file, settings.log_level);
    if (settings.synth)
        return synthesize(argc, argv, settings.station.json);
    if (argc > 2)
        fail(kExitUsage, "unexpected argument '%s'", argv[2]);
    if (card && argc > 1)
        fail(kExitUsage, "unexpected argument '%s'", argv[1]);

    /* Defaults, then the key file, then the options. */
    const bool builtin = argc < 2 && !card;
    settings = default_settings();
    if ((file != nullptr && !apply_key_file(file, settings, &error)) ||
        !options.apply(settings, &error) || !finish_settings(settings, builtin, &error))
        fail(kExitUsage, "%s", error->message);
    const StationConfig &config = settings.station;
    if (card && !settings.waterfall.empty())
        fail(kExitUsage, "--waterfall draws a recording, not a card's stream");
    /* The operator's view: the page, the metrics, the picture. */
    std::unique_ptr<View> view;
    if (!settings.http.empty() || !settings.waterfall.empty()) {
        view = std::make_unique<View>(settings.station, settings.http, settings.waterfall);
        if (!view->start(&error))
            fail(kExitFailure, "%s", error->message);
        settings.station.view = view.get();
    }
    if (card)
        return run_card(settings, log_owner);
    std::unique_ptr<Source> source =
        builtin ? open_default_scenario() : open_recording(argv[1], settings.sample_rate, &error);
    if (source == nullptr)
        fail(error->domain == G_OPTION_ERROR ? kExitUsage : kExitFailure, "%s", error->message);
    if (config.check && source->truth().empty())
        fail(kExitUsage, "%s carries no truth to check against", source->name().c_str());

    std::vector<Delivered> delivered;
    std::vector<PassStats> stats;
    const bool ran = run_station(*source, config, delivered, stats, &error);
    if (config.json)
        g_printerr("%s\n", stats_json(stats).c_str());
    else
        print_text(stats_text(stats));
    close_stdout();
    if (!ran)
        fail(kExitFailure, "%s", error->message);
    if (view) {
        view->set_status([&config, &source, &stats] {
            return recording_status_json(config, "offline", source->name(), stats);
        });
        const std::string title =
            "vekbs: " + source->name() + ", receiver " + config.receiver + ", " +
            pass_rate_text(config.rates.size() > 1 ? kBothRates : config.rates[0]);
        if (!view->write_picture(title, source->truth(), &error))
            fail(kExitFailure, "%s", error->message);
    }
    int status = kExitOk;
    if (config.check) {
        const guint differences = check_truth(source->truth(), config, delivered, stats);
        if (differences > 0) {
            g_printerr("vekbs: check: %u difference%s with the recording's truth\n", differences,
                       differences == 1 ? "" : "s");
            status = kExitMismatch;
        } else {
            g_printerr("vekbs: check: every frame delivered as sent (%zu frames)\n",
                       delivered.size());
        }
    }
    if (view)
        view->serve_until_stopped();
    kvrlog_close(nullptr);
    return status;
}
