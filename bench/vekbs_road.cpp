/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The whole road, measured: an emulated card (vekemu runner) plays a vekgen
 * recording in a loop, vekbs --card demodulates it and publishes every frame
 * to a real mosquitto on a free local port, and this program is the network
 * server: it counts every frame against the recording's truth, sends a
 * downlink request every second and times its result, and keeps the status
 * reports (peak RSS, CPU time, latencies).
 *
 *   vekbs_road --seconds S [--realtime | --speed X] [--rss-at SECONDS]
 *              [--recording META] [--receiver vdem|vchan] [--expect FILE] [--seam S]
 *
 * Without --recording it plays its own one-minute recording to libvdem at
 * 600 bit/s (the rows of bench/results/vekbs_road.md). With --expect, each
 * pass of the loop must deliver exactly the frames that vekdecode reported on
 * the same recording, once (the soak, bench/soak.sh).
 *
 * Prints one Markdown table row and the final statistics of the station. */
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <glib.h>
#include <json-glib/json-glib.h>
#include <mosquitto.h>
#include <vekgen/vekgen.h>

namespace
{

gdouble opt_seconds = 3600.0;
gboolean opt_realtime = FALSE;
gdouble opt_speed = 0.0;
gdouble opt_rss_at = 600.0;
gchar *opt_recording = nullptr;
gchar *opt_receiver = nullptr;
gchar *opt_expect = nullptr;
gdouble opt_seam = 1.0;
gint opt_queue = 0;

const GOptionEntry kEntries[] = {
    {"seconds", 's', 0, G_OPTION_ARG_DOUBLE, &opt_seconds, "Seconds of signal", "S"},
    {"realtime", 'r', 0, G_OPTION_ARG_NONE, &opt_realtime, "Card paced at its real rate", nullptr},
    {"speed", 0, 0, G_OPTION_ARG_DOUBLE, &opt_speed,
     "Card paced steadily at X times its real rate (default: as fast as it is read)", "X"},
    {"rss-at", 0, 0, G_OPTION_ARG_DOUBLE, &opt_rss_at, "Uptime of the first RSS reading", "S"},
    {"recording", 0, 0, G_OPTION_ARG_FILENAME, &opt_recording,
     "Play this SigMF recording (default: one minute of signed 600 bit/s frames)", "META"},
    {"receiver", 0, 0, G_OPTION_ARG_STRING, &opt_receiver,
     "\"vdem\" (the reference receiver at 600 bit/s, default) or \"vchan\" (the channelised "
     "receiver on both rates, the station's default)",
     "NAME"},
    {"expect", 0, 0, G_OPTION_ARG_FILENAME, &opt_expect,
     "The report lines of vekdecode on the same recording: every pass must deliver exactly "
     "those frames, once",
     "FILE"},
    {"seam", 0, 0, G_OPTION_ARG_DOUBLE, &opt_seam,
     "With --expect: a difference at a frame that starts this close after the loop's seam or "
     "whose tail ends this close before it is counted apart (default 1)",
     "S"},
    {"queue-transfers", 0, 0, G_OPTION_ARG_INT, &opt_queue,
     "The station's [card] queue_transfers (default: the station's own)", "N"},
    {}};

guint16 free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

struct Server {
    std::mutex mutex;
    std::map<std::string, guint64> frames; /* covered bytes -> times received */
    std::vector<std::string> arrivals;     /* frame_key() of each frame, in order */
    guint64 total = 0;
    std::vector<std::string> statuses;
    std::map<int, gint64> sent_at; /* request id -> monotonic time */
    std::vector<gint64> round_trips;
    guint64 results_sent = 0;
};

std::string member_string(JsonObject *o, const char *name)
{
    return json_object_has_member(o, name) ? json_object_get_string_member(o, name) : "";
}

std::string hex_string(const guint8 *bytes, guint n)
{
    std::string hex;
    for (guint k = 0; k < n; k++) {
        gchar digits[3];
        g_snprintf(digits, sizeof(digits), "%02x", bytes[k]);
        hex += digits;
    }
    return hex;
}

/* A frame as the soak tells frames apart: its bit rate and covered bytes. */
std::string frame_key(guint bit_rate, const std::string &hex)
{
    return std::to_string(bit_rate) + ":" + hex;
}

std::string frame_key(const VekgenFrame &f)
{
    return frame_key(f.bit_rate, hex_string(f.bytes, f.covered_len));
}

void on_message(mosquitto *, void *data, const mosquitto_message *msg)
{
    auto *server = static_cast<Server *>(data);
    const std::string topic = msg->topic;
    const std::string payload(static_cast<const char *>(msg->payload),
                              static_cast<gsize>(msg->payloadlen));
    g_autoptr(JsonParser) parser = json_parser_new();
    if (!json_parser_load_from_data(parser, payload.c_str(), -1, nullptr))
        return;
    JsonObject *o = json_node_get_object(json_parser_get_root(parser));
    std::lock_guard<std::mutex> lock(server->mutex);
    if (topic == "vek/bench/up") {
        const std::string bytes = member_string(o, "bytes");
        server->frames[bytes]++;
        server->arrivals.push_back(
            frame_key(static_cast<guint>(json_object_get_int_member(o, "bit_rate")), bytes));
        server->total++;
    } else if (topic == "vek/bench/status") {
        server->statuses.push_back(payload);
    } else if (topic == "vek/bench/down/result") {
        const int id = static_cast<int>(json_object_get_int_member(o, "id"));
        if (server->sent_at.count(id) != 0)
            server->round_trips.push_back(g_get_monotonic_time() - server->sent_at[id]);
        if (member_string(o, "status") == "sent")
            server->results_sent++;
    }
}

gdouble percentile_ms(std::vector<gint64> v, gdouble q)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return static_cast<gdouble>(v[static_cast<gsize>(q * (v.size() - 1))]) / 1000.0;
}

gdouble stat(JsonObject *statistics, const char *name)
{
    return json_object_get_double_member(statistics, name);
}

/* The frames vekdecode reported on the recording (its report lines, "rate=R ...
 * bytes=HEX ..."), each found among the recording's frames. A report that is no
 * frame of the recording is counted apart: the station's authentication filter
 * drops it. */
struct Expectation {
    std::map<std::string, const VekgenFrame *> frames;
    guint false_reports = 0;
};

bool read_expectation(const gchar *path, const VekgenFrame *truth, guint n_truth,
                      Expectation &expectation, std::string &message)
{
    std::map<std::string, const VekgenFrame *> by_key;
    for (guint i = 0; i < n_truth; i++) {
        if (!by_key.emplace(frame_key(truth[i]), &truth[i]).second) {
            message = "two frames of the recording have the same rate and bytes; the soak "
                      "needs them apart (sign them with dev= and seq=)";
            return false;
        }
    }
    std::ifstream in(path);
    if (!in) {
        message = std::string(path) + ": " + g_strerror(errno);
        return false;
    }
    std::string line;
    guint reports = 0;
    while (std::getline(in, line)) {
        guint rate = 0;
        const gsize at = line.find(" bytes=");
        if (std::sscanf(line.c_str(), "rate=%u ", &rate) != 1 || at == std::string::npos)
            continue;
        reports++;
        const gsize from = at + 7;
        const std::string key = frame_key(rate, line.substr(from, line.find(' ', from) - from));
        const auto found = by_key.find(key);
        if (found == by_key.end())
            expectation.false_reports++;
        else
            expectation.frames.emplace(key, found->second);
    }
    if (in.bad() || reports == 0) {
        message = std::string(path) + ": no report line of vekdecode";
        return false;
    }
    return true;
}

struct SoakCount {
    guint64 passes = 0, expected = 0, missing = 0, repeated = 0, unexpected = 0, at_seam = 0;
    guint64 in_dropped = 0; /* missing, in signal the station dropped (fell behind) */
};

std::string describe(const VekgenFrame *f, guint64 pass, guint64 loop_samples)
{
    if (f == nullptr)
        return "a frame of no rate or bytes of the recording";
    g_autofree gchar *text = g_strdup_printf(
        "%u bit/s frame sent at %.3f s of signal (device 0x%X seq %u)", f->bit_rate,
        static_cast<gdouble>(pass * loop_samples + f->start_sample) / VEKGEN_SAMPLE_RATE,
        f->device_id, f->seq);
    return text;
}

/* Counts the frames received against the expectation, pass by pass. Frames
 * arrive in about the order the receiver finished them, so each arrival
 * belongs to the first pass in which its frame ends after the running clock
 * (the end of the latest frame attributed) less a quarter of the loop: no
 * frame comes a quarter of a loop after a later one, and no three quarters of
 * a loop go by without a frame (a pass with nothing at all would shift the
 * passes, not the totals). A frame is
 * expected in a pass when its tail lies wholly within the signal played; one
 * whose end but not tail does may come or not. A difference at a frame that
 * starts within the seam window after the loop's seam (not in the first pass,
 * which starts fresh as vekdecode does) or whose tail ends within it before the
 * seam is counted apart: the receiver met there what vekdecode never did. So
 * is a frame missing in a stretch of signal the station dropped because it
 * fell behind (the machine's other loads): it was never heard. */
SoakCount count_passes(const std::vector<std::string> &arrivals, const Expectation &expectation,
                       const VekgenFrame *truth, guint n_truth, guint64 loop_samples, guint64 end,
                       guint64 seam, const std::vector<std::pair<guint64, guint64>> &dropped)
{
    std::map<std::string, const VekgenFrame *> by_key;
    for (guint i = 0; i < n_truth; i++)
        by_key.emplace(frame_key(truth[i]), &truth[i]);
    std::map<std::pair<guint64, std::string>, guint64> got;
    guint64 clock = 0;
    for (const std::string &key : arrivals) {
        const auto found = by_key.find(key);
        const guint64 position =
            found != by_key.end() ? vekgen_frame_end_sample(found->second) : clock % loop_samples;
        const gint64 from = static_cast<gint64>(clock) - static_cast<gint64>(loop_samples / 4) -
                            static_cast<gint64>(position);
        const guint64 pass =
            from > 0 ? (static_cast<guint64>(from) + loop_samples - 1) / loop_samples : 0;
        clock = std::max(clock, pass * loop_samples + position);
        got[{pass, key}]++;
    }
    auto at_seam = [&](const VekgenFrame *f, guint64 pass) {
        return f != nullptr && ((pass > 0 && f->start_sample < seam) ||
                                vekgen_frame_tail_end_sample(f) + seam > loop_samples);
    };
    SoakCount count;
    guint said = 0;
    auto say = [&](const char *what, const VekgenFrame *f, guint64 pass, guint64 n) {
        if (said++ < 60)
            std::printf("pass %" G_GUINT64_FORMAT ": %s %s%s\n", pass + 1, what,
                        describe(f, pass, loop_samples).c_str(),
                        n > 1 ? (" x" + std::to_string(n)).c_str() : "");
    };
    count.passes = (end + loop_samples - 1) / loop_samples;
    for (guint64 pass = 0; pass < count.passes; pass++) {
        for (const auto &[key, f] : expectation.frames) {
            const guint64 n = got.count({pass, key}) != 0 ? got[{pass, key}] : 0;
            got.erase({pass, key});
            const guint64 base = pass * loop_samples;
            guint64 missing = 0, extra = 0;
            if (base + vekgen_frame_tail_end_sample(f) <= end) {
                count.expected++;
                missing = n == 0 ? 1 : 0;
                extra = n > 1 ? n - 1 : 0;
            } else {
                extra = base + vekgen_frame_end_sample(f) <= end ? (n > 1 ? n - 1 : 0) : n;
            }
            if (missing + extra == 0)
                continue;
            const bool unheard = std::any_of(dropped.begin(), dropped.end(), [&](const auto &d) {
                return base + f->start_sample < d.second &&
                       base + vekgen_frame_tail_end_sample(f) > d.first;
            });
            if (missing != 0 && unheard) {
                count.in_dropped++;
                say("missing in signal the station dropped:", f, pass, 1);
                missing = 0;
                if (extra == 0)
                    continue;
            }
            if (at_seam(f, pass)) {
                count.at_seam += missing + extra;
                say("at the seam, missing or repeated:", f, pass, missing + extra);
                continue;
            }
            count.missing += missing;
            count.repeated += extra;
            if (missing != 0)
                say("missing", f, pass, 1);
            if (extra != 0)
                say("repeated", f, pass, extra);
        }
    }
    for (const auto &[where, n] : got) {
        const auto found = by_key.find(where.second);
        const VekgenFrame *f = found != by_key.end() ? found->second : nullptr;
        if (at_seam(f, where.first)) {
            count.at_seam += n;
            say("at the seam, unexpected:", f, where.first, n);
            continue;
        }
        count.unexpected += n;
        say("unexpected (vekdecode did not report it)", f, where.first, n);
        if (f == nullptr && said <= 60)
            std::printf("  %s\n", where.second.c_str());
    }
    if (said > 60)
        std::printf("(%u differences, the first 60 listed)\n", said);
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    g_autoptr(GOptionContext) context = g_option_context_new("- measure vekbs --card --mqtt");
    g_option_context_add_main_entries(context, kEntries, nullptr);
    g_autoptr(GError) error = nullptr;
    if (!g_option_context_parse(context, &argc, &argv, &error)) {
        g_printerr("vekbs_road: %s\n", error->message);
        return 2;
    }
    const bool vchan = opt_receiver != nullptr && g_strcmp0(opt_receiver, "vchan") == 0;
    if (opt_receiver != nullptr && !vchan && g_strcmp0(opt_receiver, "vdem") != 0) {
        g_printerr("vekbs_road: --receiver must be \"vdem\" or \"vchan\"\n");
        return 2;
    }
    if (opt_seconds <= 0 || opt_seam < 0) {
        g_printerr("vekbs_road: --seconds must be positive and --seam not negative\n");
        return 2;
    }
    g_autofree gchar *dir = g_dir_make_tmp("vekbs-road-XXXXXX", nullptr);
    const std::string base = std::string(dir) + "/rec";

    /* One minute of signal, a 600 bit/s frame every 2 s across the band. */
    if (opt_recording == nullptr) {
        std::string command = std::string(VEKGEN_PATH) + " -o " + base;
        for (guint i = 0; i < 30; i++) {
            g_autofree gchar *frame_arg = g_strdup_printf(
                " -f 'at=%.1f rate=600 dev=0x%X seq=%u payload=%02x%02x freq=%d'", 0.5 + 2.0 * i,
                0x30000 + i, i + 1, i, 255 - i, -60000 + 4000 * static_cast<gint>(i));
            command += frame_arg;
        }
        command += " >/dev/null";
        if (system(command.c_str()) != 0)
            return 1;
    }
    const std::string meta =
        opt_recording != nullptr ? std::string(opt_recording) : base + ".sigmf-meta";
    VekgenRecording *recording = vekgen_recording_open(meta.c_str(), &error);
    if (recording == nullptr) {
        g_printerr("vekbs_road: %s\n", error->message);
        return 1;
    }
    const guint64 loop_samples = vekgen_recording_get_n_samples(recording);
    guint n_truth = 0;
    const VekgenFrame *truth = vekgen_recording_get_frames(recording, &n_truth);
    const guint64 end = static_cast<guint64>(opt_seconds * VEKGEN_SAMPLE_RATE);
    Expectation expectation;
    if (opt_expect != nullptr) {
        std::string message;
        if (!read_expectation(opt_expect, truth, n_truth, expectation, message)) {
            g_printerr("vekbs_road: %s\n", message.c_str());
            return 1;
        }
    }

    /* The broker. */
    const guint16 port = free_port();
    const std::string conf = std::string(dir) + "/broker.conf";
    const std::string conf_text =
        "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n";
    g_file_set_contents(conf.c_str(), conf_text.c_str(), -1, nullptr);
    const gchar *broker_argv[] = {MOSQUITTO_PATH, "-c", conf.c_str(), nullptr};
    GPid broker = 0;
    if (!g_spawn_async(nullptr, const_cast<gchar **>(broker_argv), nullptr,
                       static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD |
                                                G_SPAWN_STDOUT_TO_DEV_NULL |
                                                G_SPAWN_STDERR_TO_DEV_NULL),
                       nullptr, nullptr, &broker, &error)) {
        g_printerr("vekbs_road: %s\n", error->message);
        return 1;
    }
    g_usleep(500 * 1000);

    /* The network server. */
    mosquitto_lib_init();
    Server server;
    mosquitto *mosq = mosquitto_new("bench-server", true, &server);
    mosquitto_message_callback_set(mosq, on_message);
    if (mosquitto_connect(mosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
        g_printerr("vekbs_road: no broker\n");
        return 1;
    }
    mosquitto_subscribe(mosq, nullptr, "vek/bench/#", 1);
    mosquitto_loop_start(mosq);

    /* The station, on an emulated card. The bench measures the road, not the
     * downlink policy: its sub-band may be on air the whole hour (a request a
     * second is 2.24 s of frame a second at the default bit rate), and a
     * request may wait as long as the road's slowest turn. */
    const std::string station_conf = std::string(dir) + "/vekbs.conf";
    std::string station_text = "[downlink]\nsub_bands = 869400000-869650000:100\nbit_rate = 1000\n"
                               "max_age = 60\n";
    if (opt_queue > 0)
        station_text += "[card]\nqueue_transfers = " + std::to_string(opt_queue) + "\n";
    g_file_set_contents(station_conf.c_str(), station_text.c_str(), -1, nullptr);
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(port);
    const std::string seconds = std::to_string(opt_seconds);
    std::vector<const gchar *> station_argv = {VEKEMU_PATH, "--sigmf", meta.c_str()};
    const std::string speed = "--speed=" + std::to_string(opt_speed);
    if (opt_speed > 0)
        station_argv.push_back(speed.c_str());
    else if (!opt_realtime)
        station_argv.push_back("--fast");
    /* The figures of bench/results/vekbs_road.md are libvdem's at 600 bit/s;
     * the soak's, libvchan's on both rates. */
    for (const gchar *a : {"--", VEKBS_PATH, "--card", "--receiver"})
        station_argv.push_back(a);
    if (vchan) {
        station_argv.push_back("vchan");
    } else {
        for (const gchar *a : {"vdem", "--bit-rate", "600"})
            station_argv.push_back(a);
    }
    for (const gchar *a : {"--quiet", "--station", "bench", "--stats-interval", "30", "--config"})
        station_argv.push_back(a);
    station_argv.push_back(station_conf.c_str());
    station_argv.push_back("--mqtt");
    station_argv.push_back(url.c_str());
    station_argv.push_back("--duration");
    station_argv.push_back(seconds.c_str());
    station_argv.push_back(nullptr);
    GPid station = 0;
    const gint64 start = g_get_monotonic_time();
    if (!g_spawn_async(nullptr, const_cast<gchar **>(station_argv.data()), nullptr,
                       G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &station, &error)) {
        g_printerr("vekbs_road: %s\n", error->message);
        return 1;
    }
    /* A downlink request every second while the station runs. */
    int status = 0;
    for (int id = 1; waitpid(station, &status, WNOHANG) == 0; id++) {
        g_autofree gchar *request = g_strdup_printf(
            "{\"device_id\":%d,\"seq\":%d,\"payload\":\"c0ffee\",\"freq\":869525000,\"id\":%d}",
            0x40000 + id, id % 4096, id);
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            server.sent_at[id] = g_get_monotonic_time();
        }
        mosquitto_publish(mosq, nullptr, "vek/bench/down", static_cast<int>(strlen(request)),
                          request, 1, false);
        g_usleep(G_USEC_PER_SEC);
    }
    const gdouble wall = static_cast<gdouble>(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
    g_usleep(2 * G_USEC_PER_SEC);
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, true);
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);

    /* Every frame of every pass of the recording, exactly once (QoS 1 may
     * repeat one after a lost acknowledgement: counted apart). Without an
     * expectation, the truth is every signed frame the station's filter lets
     * through. */
    guint64 expected_total = 0, missing = 0, repeated = 0;
    for (guint i = 0; i < n_truth && opt_expect == nullptr; i++) {
        if (!truth[i].uplink || truth[i].forged)
            continue;
        guint64 expected = 0;
        for (guint64 start_sample = 0; start_sample < end; start_sample += loop_samples) {
            VekgenFrame f = truth[i];
            f.start_sample += start_sample;
            expected += vekgen_frame_tail_end_sample(&f) <= end ? 1 : 0;
        }
        expected_total += expected;
        const std::string bytes = hex_string(truth[i].bytes, truth[i].covered_len);
        const guint64 got = server.frames.count(bytes) != 0 ? server.frames[bytes] : 0;
        missing += expected > got ? expected - got : 0;
        repeated += got > expected ? got - expected : 0;
    }
    /* Where the card's signal went unheard: between two status reports whose
     * count of dropped bytes differs (the card's position is its bytes, heard
     * or dropped, 4 to a sample). */
    std::vector<std::pair<guint64, guint64>> dropped_spans;
    gdouble last_rx = 0, last_dropped = 0;
    for (const std::string &s : server.statuses) {
        g_autoptr(JsonParser) parser = json_parser_new();
        json_parser_load_from_data(parser, s.c_str(), -1, nullptr);
        JsonObject *st = json_object_get_object_member(
            json_node_get_object(json_parser_get_root(parser)), "statistics");
        if (stat(st, "rx_dropped_bytes") > last_dropped)
            dropped_spans.emplace_back(static_cast<guint64>(last_rx / 4),
                                       static_cast<guint64>(stat(st, "rx_bytes") / 4));
        last_rx = stat(st, "rx_bytes");
        last_dropped = stat(st, "rx_dropped_bytes");
    }
    SoakCount soak;
    if (opt_expect != nullptr) {
        soak = count_passes(server.arrivals, expectation, truth, n_truth, loop_samples, end,
                            static_cast<guint64>(opt_seam * VEKGEN_SAMPLE_RATE), dropped_spans);
        expected_total = soak.expected;
        missing = soak.missing;
        repeated = soak.repeated;
    }
    vekgen_recording_close(recording);

    gdouble rss_early = 0, rss_end = 0;
    std::string final_status, rss_steps;
    for (const std::string &s : server.statuses) {
        g_autoptr(JsonParser) parser = json_parser_new();
        json_parser_load_from_data(parser, s.c_str(), -1, nullptr);
        JsonObject *st = json_object_get_object_member(
            json_node_get_object(json_parser_get_root(parser)), "statistics");
        if (rss_early == 0 && stat(st, "uptime_s") >= opt_rss_at)
            rss_early = stat(st, "peak_rss_kb");
        if (stat(st, "peak_rss_kb") > rss_end) {
            g_autofree gchar *step =
                g_strdup_printf(" %.0f s: %.0f;", stat(st, "uptime_s"), stat(st, "peak_rss_kb"));
            rss_steps += step;
        }
        rss_end = stat(st, "peak_rss_kb");
        final_status = s;
    }
    g_autoptr(JsonParser) parser = json_parser_new();
    json_parser_load_from_data(parser, final_status.c_str(), -1, nullptr);
    JsonObject *st = json_object_get_object_member(
        json_node_get_object(json_parser_get_root(parser)), "statistics");
    const gdouble signal = stat(st, "seconds");
    const std::string pacing = opt_realtime    ? "real time"
                               : opt_speed > 0 ? speed.substr(2)
                                               : "fast";
    if (opt_expect != nullptr) {
        std::printf("\n| receiver | pacing | signal (s) | wall (s) | signal s / s | passes | "
                    "frames expected | received | missing | repeated | unexpected | at the seam "
                    "| missing in dropped signal | RX dropped bytes | peak RSS at %.0f s (KiB) | "
                    "peak RSS at end (KiB) | CPU "
                    "(s) | CPU share | uplink latency median / p99 (ms) | downlink latency "
                    "median / p99 (ms) | downlinks sent |\n",
                    opt_rss_at);
        std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
                    "---:|---:|---:|---|---|---:|\n");
        std::printf(
            "| %s | %s | %.0f | %.0f | %.1f | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT
            " | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT
            " | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT
            " | %.0f | %.0f | %.0f | %.1f | %.1f %% | %.2f / %.2f | %.2f / %.2f | "
            "%" G_GUINT64_FORMAT " |\n",
            vchan ? "vchan" : "vdem 600", pacing.c_str(), signal, wall, signal / wall, soak.passes,
            soak.expected, server.total, soak.missing, soak.repeated, soak.unexpected, soak.at_seam,
            soak.in_dropped, stat(st, "rx_dropped_bytes"), rss_early, rss_end, stat(st, "cpu_s"),
            100.0 * stat(st, "cpu_s") / stat(st, "uptime_s"), stat(st, "uplink_latency_median_ms"),
            stat(st, "uplink_latency_p99_ms"), stat(st, "downlink_latency_median_ms"),
            stat(st, "downlink_latency_p99_ms"), server.results_sent);
        std::printf("\nexpected a pass: %zu frames (vekdecode's reports; %u of its reports are "
                    "no frame of the recording and not expected), %u frames in the recording\n",
                    expectation.frames.size(), expectation.false_reports, n_truth);
        std::printf("peak RSS (KiB) where it rose, by uptime:%s\n", rss_steps.c_str());
    } else {
        std::printf("| pacing | signal (s) | wall (s) | signal s / s | frames expected | "
                    "received | missing | repeated | RX dropped bytes | peak RSS at %.0f s (KiB) "
                    "| peak RSS at end (KiB) | CPU (s) | CPU share | uplink latency median / p99 "
                    "(ms) | downlink latency median / p99 (ms) | downlink round trip median / "
                    "p99 (ms) | downlinks sent |\n",
                    opt_rss_at);
        std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---"
                    "|---:|\n");
        std::printf(
            "| %s | %.0f | %.0f | %.1f | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT
            " | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT " | %.0f | %.0f | %.0f | "
            "%.1f | %.1f %% | %.2f / %.2f | %.2f / %.2f | %.2f / %.2f | %" G_GUINT64_FORMAT " |\n",
            pacing.c_str(), signal, wall, signal / wall, expected_total, server.total, missing,
            repeated, stat(st, "rx_dropped_bytes"), rss_early, rss_end, stat(st, "cpu_s"),
            100.0 * stat(st, "cpu_s") / stat(st, "uptime_s"), stat(st, "uplink_latency_median_ms"),
            stat(st, "uplink_latency_p99_ms"), stat(st, "downlink_latency_median_ms"),
            stat(st, "downlink_latency_p99_ms"), percentile_ms(server.round_trips, 0.5),
            percentile_ms(server.round_trips, 0.99), server.results_sent);
    }
    std::printf("\nfinal status: %s\nstation exit status: %d\n", final_status.c_str(),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    g_autofree gchar *cleanup = g_strdup_printf("rm -rf '%s'", dir);
    /* The soak holds when every pass delivered its frames once and nothing was
     * dropped on the way from the card. */
    const bool whole =
        missing == 0 && (opt_expect == nullptr || (repeated == 0 && soak.unexpected == 0 &&
                                                   stat(st, "rx_dropped_bytes") == 0));
    return system(cleanup) == 0 && whole ? 0 : 1;
}
