/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The whole road, measured: an emulated card (vekemu runner) plays a vekgen
 * recording in a loop, vekbs --card demodulates it and publishes every frame
 * to a real mosquitto on a free local port, and this program is the network
 * server: it counts every frame against the recording's truth, sends a
 * downlink request every second and times its result, and keeps the status
 * reports (peak RSS, CPU time, latencies).
 *
 *   vekbs_road --seconds S [--realtime | --speed X] [--rss-at SECONDS]
 *
 * Prints one Markdown table row and the final statistics of the station. */
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <csignal>
#include <cstdio>
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

const GOptionEntry kEntries[] = {
    {"seconds", 's', 0, G_OPTION_ARG_DOUBLE, &opt_seconds, "Seconds of signal", "S"},
    {"realtime", 'r', 0, G_OPTION_ARG_NONE, &opt_realtime, "Card paced at its real rate", nullptr},
    {"speed", 0, 0, G_OPTION_ARG_DOUBLE, &opt_speed,
     "Card paced steadily at X times its real rate (default: as fast as it is read)", "X"},
    {"rss-at", 0, 0, G_OPTION_ARG_DOUBLE, &opt_rss_at, "Uptime of the first RSS reading", "S"},
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
        server->frames[member_string(o, "bytes")]++;
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
    g_autofree gchar *dir = g_dir_make_tmp("vekbs-road-XXXXXX", nullptr);
    const std::string base = std::string(dir) + "/rec";

    /* One minute of signal, a 600 bit/s frame every 2 s across the band. */
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
    VekgenRecording *recording = vekgen_recording_open(base.c_str(), &error);
    if (recording == nullptr) {
        g_printerr("vekbs_road: %s\n", error->message);
        return 1;
    }
    const guint64 loop_samples = vekgen_recording_get_n_samples(recording);
    guint n_truth = 0;
    const VekgenFrame *truth = vekgen_recording_get_frames(recording, &n_truth);
    const guint64 end = static_cast<guint64>(opt_seconds * VEKGEN_SAMPLE_RATE);

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
    g_file_set_contents(station_conf.c_str(),
                        "[downlink]\nsub_bands = 869400000-869650000:100\nbit_rate = 1000\n"
                        "max_age = 60\n",
                        -1, nullptr);
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(port);
    const std::string meta = base + ".sigmf-meta";
    const std::string seconds = std::to_string(opt_seconds);
    std::vector<const gchar *> station_argv = {VEKEMU_PATH, "--sigmf", meta.c_str()};
    const std::string speed = "--speed=" + std::to_string(opt_speed);
    if (opt_speed > 0)
        station_argv.push_back(speed.c_str());
    else if (!opt_realtime)
        station_argv.push_back("--fast");
    /* The figures of bench/results/vekbs_road.md are libvdem's at 600 bit/s. */
    for (const gchar *a : {"--", VEKBS_PATH, "--card", "--receiver", "vdem", "--bit-rate", "600",
                           "--quiet", "--station", "bench", "--stats-interval", "30", "--config"})
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
     * repeat one after a lost acknowledgement: counted apart). */
    guint64 expected_total = 0, missing = 0, repeated = 0;
    for (guint i = 0; i < n_truth; i++) {
        guint64 expected = 0;
        for (guint64 start_sample = 0; start_sample < end; start_sample += loop_samples) {
            VekgenFrame f = truth[i];
            f.start_sample += start_sample;
            expected += vekgen_frame_tail_end_sample(&f) <= end ? 1 : 0;
        }
        expected_total += expected;
        const std::string bytes = [&] {
            std::string hex;
            for (guint k = 0; k < truth[i].covered_len; k++) {
                gchar digits[3];
                g_snprintf(digits, sizeof(digits), "%02x", truth[i].bytes[k]);
                hex += digits;
            }
            return hex;
        }();
        const guint64 got = server.frames.count(bytes) != 0 ? server.frames[bytes] : 0;
        missing += expected > got ? expected - got : 0;
        repeated += got > expected ? got - expected : 0;
    }
    vekgen_recording_close(recording);

    gdouble rss_early = 0, rss_end = 0;
    std::string final_status;
    for (const std::string &s : server.statuses) {
        g_autoptr(JsonParser) parser = json_parser_new();
        json_parser_load_from_data(parser, s.c_str(), -1, nullptr);
        JsonObject *st = json_object_get_object_member(
            json_node_get_object(json_parser_get_root(parser)), "statistics");
        if (rss_early == 0 && stat(st, "uptime_s") >= opt_rss_at)
            rss_early = stat(st, "peak_rss_kb");
        rss_end = stat(st, "peak_rss_kb");
        final_status = s;
    }
    g_autoptr(JsonParser) parser = json_parser_new();
    json_parser_load_from_data(parser, final_status.c_str(), -1, nullptr);
    JsonObject *st = json_object_get_object_member(
        json_node_get_object(json_parser_get_root(parser)), "statistics");
    const gdouble signal = stat(st, "seconds");
    std::printf("| pacing | signal (s) | wall (s) | signal s / s | frames expected | received | "
                "missing | repeated | RX dropped bytes | peak RSS at %.0f s (KiB) | peak RSS at "
                "end (KiB) | CPU (s) | CPU share | uplink latency median / p99 (ms) | downlink "
                "latency median / p99 (ms) | downlink round trip median / p99 (ms) | downlinks "
                "sent |\n",
                opt_rss_at);
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---|---:|"
                "\n");
    std::printf("| %s | %.0f | %.0f | %.1f | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT
                " | %" G_GUINT64_FORMAT " | %" G_GUINT64_FORMAT " | %.0f | %.0f | %.0f | %.1f | "
                "%.1f %% | %.2f / %.2f | %.2f / %.2f | %.2f / %.2f | %" G_GUINT64_FORMAT " |\n",
                opt_realtime    ? "real time"
                : opt_speed > 0 ? speed.c_str() + 2
                                : "fast",
                signal, wall, signal / wall, expected_total, server.total, missing, repeated,
                stat(st, "rx_dropped_bytes"), rss_early, rss_end, stat(st, "cpu_s"),
                100.0 * stat(st, "cpu_s") / stat(st, "uptime_s"),
                stat(st, "uplink_latency_median_ms"), stat(st, "uplink_latency_p99_ms"),
                stat(st, "downlink_latency_median_ms"), stat(st, "downlink_latency_p99_ms"),
                percentile_ms(server.round_trips, 0.5), percentile_ms(server.round_trips, 0.99),
                server.results_sent);
    std::printf("\nfinal status: %s\nstation exit status: %d\n", final_status.c_str(),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    g_autofree gchar *cleanup = g_strdup_printf("rm -rf '%s'", dir);
    return system(cleanup) == 0 && missing == 0 ? 0 : 1;
}
