/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The operator's view: waterfall lines, frames and status, served and drawn. */
#include "view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include <glib-unix.h>
#include <kvrlog/kvrlog.h>

#include "metrics.h"

namespace vekbs
{

namespace
{

/* The page's lines travel as one byte a bin: dB from kDbMin in kDbStep steps. */
constexpr gdouble kDbMin = -160.0, kDbStep = 0.625;

gdouble thread_cpu_s()
{
    struct timespec ts = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<gdouble>(ts.tv_sec) + static_cast<gdouble>(ts.tv_nsec) / 1e9;
}

/* The resident memory now, from /proc. */
gdouble resident_bytes()
{
    unsigned long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr)
        return 0;
    const int n = std::fscanf(f, "%lu %lu", &pages, &resident);
    std::fclose(f);
    return n == 2 ? static_cast<gdouble>(resident) * static_cast<gdouble>(sysconf(_SC_PAGESIZE))
                  : 0;
}

std::string device_label(const kvrframe &frame)
{
    g_autofree gchar *text = g_strdup_printf("0x%x", kvrproto_get_tstid(&frame, nullptr));
    return text;
}

gdouble frame_freq(const kvrframe &frame)
{
    return frame.v == KVRPROTO_VERSION_V0 ? frame.f.v0.freq : frame.f.v1.freq;
}

} // namespace

/* How long the main loop works without coming back to poll, in thread CPU
 * time (which a busy machine's scheduling does not inflate): the longest
 * stretch is what any event waits at worst behind the others. */
struct View::LoopWatch {
    GSource base;
    gdouble last_s;
    gdouble longest_s;

    static gboolean prepare(GSource *source, gint *timeout)
    {
        auto *w = reinterpret_cast<LoopWatch *>(source);
        const gdouble now = thread_cpu_s();
        if (w->last_s > 0)
            w->longest_s = std::max(w->longest_s, now - w->last_s);
        w->last_s = now;
        *timeout = -1;
        return FALSE;
    }
    static gboolean check(GSource *source)
    {
        /* Polling ends here: the work of this iteration starts now. */
        reinterpret_cast<LoopWatch *>(source)->last_s = thread_cpu_s();
        return FALSE;
    }
    static GSourceFuncs funcs;
};

GSourceFuncs View::LoopWatch::funcs = {
    View::LoopWatch::prepare, View::LoopWatch::check, nullptr, nullptr, nullptr, nullptr};

View::View(const StationConfig &config, std::string http, std::string picture)
    : config_(config), http_(std::move(http)), picture_(std::move(picture)),
      spectrum_(std::make_unique<waterfall::Spectrum>(
          config.int_gain, [this](const waterfall::Line &l) { on_line(l); }))
{
}

View::~View()
{
    if (tick_ != 0)
        g_source_remove(tick_);
    if (watch_ != nullptr) {
        g_source_destroy(&watch_->base);
        g_source_unref(&watch_->base);
    }
}

bool View::start(GError **error)
{
    if (http_.empty())
        return true;
    std::string address;
    guint16 port = 0;
    if (!parse_http_address(http_, address, port, error))
        return false;
    server_ = std::make_unique<HttpServer>(*this);
    if (!server_->listen(address, port, error)) {
        server_.reset();
        return false;
    }
    tick_ = g_timeout_add_seconds(1, on_status_tick, this);
    watch_ = reinterpret_cast<LoopWatch *>(g_source_new(&LoopWatch::funcs, sizeof(LoopWatch)));
    watch_->last_s = 0;
    watch_->longest_s = 0;
    g_source_attach(&watch_->base, nullptr);
    g_printerr("vekbs: the station's page: %s (metrics: %smetrics)\n", server_->url().c_str(),
               server_->url().c_str());
    return true;
}

void View::set_centre_hz(guint32 hz)
{
    if (hz == centre_hz_)
        return;
    centre_hz_ = hz;
    hello_version_++;
    if (server_)
        server_->update();
}

void View::samples(const gint16 *iq, gsize n, guint64 first_sample, gint64 time_us, bool spectrum)
{
    feeding_ = spectrum;
    position_ = first_sample + n;
    if (spectrum)
        spectrum_->add(iq, n, first_sample, time_us);
}

void View::end_of_stream()
{
    spectrum_->flush();
}

void View::on_line(const waterfall::Line &line)
{
    recent_.push_back(line);
    if (recent_.size() > kRecentLines)
        recent_.pop_front();
    if (!picture_.empty())
        all_.push_back(line);
    std::array<float, kSegments> floors;
    waterfall::segment_floors(line, kSegments, floors.data());
    floors_.push_back(floors);
    if (floors_.size() > kFloorLines)
        floors_.pop_front();
    if (server_)
        server_->update();
}

void View::frame(const kvrframe &frame, const std::string &json)
{
    const gdouble line = feeding_ ? spectrum_->position()
                                  : static_cast<gdouble>(position_) / waterfall::kSamplesPerLine;
    Frame f{next_frame_++, line, json};
    if (!picture_.empty())
        heard_.push_back({waterfall::Mark::Kind::Heard,
                          static_cast<gdouble>(position_) / kSampleRate, 0, frame_freq(frame), 0,
                          device_label(frame)});
    frames_.push_back(std::move(f));
    if (frames_.size() > kRecentFrames)
        frames_.pop_front();
    if (server_)
        server_->update();
}

/* ---- what the server says ---- */

std::string View::hello(bool reset) const
{
    g_autofree gchar *text = g_strdup_printf(
        "{\"type\":\"hello\",\"reset\":%s,\"station\":\"%s\",\"bins\":%u,\"sample_rate\":%u,"
        "\"lines_per_second\":%u,\"rows\":%zu,\"centre_hz\":%u,\"db_min\":%g,\"db_step\":%g}",
        reset ? "true" : "false", config_.name.c_str(), waterfall::kBins, waterfall::kSampleRate,
        waterfall::kLinesPerSecond, kRecentLines, centre_hz_, kDbMin, kDbStep);
    return text;
}

std::string View::line_message(const waterfall::Line &line)
{
    std::array<guint8, waterfall::kBins> bytes;
    for (guint b = 0; b < waterfall::kBins; b++)
        bytes[b] =
            static_cast<guint8>(std::clamp(std::lround((line.db[b] - kDbMin) / kDbStep), 0L, 255L));
    g_autofree gchar *b64 = g_base64_encode(bytes.data(), bytes.size());
    g_autofree gchar *text = g_strdup_printf("{\"type\":\"line\",\"seq\":%" G_GUINT64_FORMAT
                                             ",\"time_ms\":%" G_GINT64_FORMAT ",\"bins\":\"%s\"}",
                                             line.seq, line.time_us / 1000, b64);
    return text;
}

std::string View::frame_message(const Frame &f) const
{
    gchar line[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(line, sizeof(line), "%.4f", f.line);
    return "{\"type\":\"frame\",\"index\":" + std::to_string(f.index) + ",\"line\":" + line +
           ",\"frame\":" + f.json + "}";
}

std::string View::status_json()
{
    return status_ ? status_() : std::string("{\"state\":\"starting\"}");
}

gboolean View::on_status_tick(gpointer data)
{
    auto *self = static_cast<View *>(data);
    /* The status, once a second, to those who watch. */
    self->status_version_++;
    if (self->server_->counters().websocket_clients > 0)
        self->server_->update();
    return G_SOURCE_CONTINUE;
}

void View::catch_up(Cursor &cursor, std::vector<std::string> &messages)
{
    if (cursor.hello != hello_version_) {
        messages.push_back(hello(cursor.hello == 0));
        cursor.hello = hello_version_;
    }
    for (const waterfall::Line &l : recent_)
        if (l.seq >= cursor.line)
            messages.push_back(line_message(l));
    if (!recent_.empty())
        cursor.line = std::max(cursor.line, recent_.back().seq + 1);
    for (const Frame &f : frames_)
        if (f.index >= cursor.frame)
            messages.push_back(frame_message(f));
    cursor.frame = next_frame_;
    if (cursor.status != status_version_) {
        /* Built once a version, however many watch. */
        if (status_message_version_ != status_version_) {
            status_message_ = "{\"type\":\"status\",\"status\":" + status_json() + "}";
            status_message_version_ = status_version_;
        }
        messages.push_back(status_message_);
        cursor.status = status_version_;
    }
}

std::string View::frames_json(guint64 since)
{
    const guint64 first = frames_.empty() ? next_frame_ : frames_.front().index;
    std::string text = "{\"first\":" + std::to_string(first) +
                       ",\"next\":" + std::to_string(next_frame_) + ",\"frames\":[";
    bool comma = false;
    for (const Frame &f : frames_) {
        if (f.index < since)
            continue;
        text += (comma ? "," : "") + f.json;
        comma = true;
    }
    return text + "]}";
}

std::string View::metrics_text()
{
    MetricsText out;
    add_status_metrics(out, status_json());
    out.family("vekbs_noise_floor_decibels", "gauge",
               "Noise floor of each 24 kHz segment of the band: the median bin, in dB on the "
               "rssi scale per 187.5 Hz bin, over the last 4 s");
    if (!floors_.empty())
        for (guint s = 0; s < kSegments; s++) {
            gdouble sum = 0;
            for (const auto &f : floors_)
                sum += f[s];
            const gint from = -96000 + static_cast<gint>(s * 192000 / kSegments);
            const gint to = from + static_cast<gint>(192000 / kSegments);
            out.sample("vekbs_noise_floor_decibels", sum / static_cast<gdouble>(floors_.size()),
                       {{"from_hz", std::to_string(from)}, {"to_hz", std::to_string(to)}});
        }
    out.family("vekbs_waterfall_lines_total", "counter", "Lines of the band's waterfall computed");
    out.sample("vekbs_waterfall_lines_total", static_cast<gdouble>(spectrum_->lines()));
    out.family("process_resident_memory_bytes", "gauge", "Resident memory of the process");
    out.sample("process_resident_memory_bytes", resident_bytes());
    out.family("vekbs_main_loop_longest_iteration_seconds", "gauge",
               "Longest time the main loop worked without returning to poll, in thread CPU time");
    out.sample("vekbs_main_loop_longest_iteration_seconds", watch_ ? watch_->longest_s : 0);
    if (server_) {
        const HttpCounters &c = server_->counters();
        out.family("vekbs_http_requests_total", "counter", "HTTP requests answered");
        out.sample("vekbs_http_requests_total", static_cast<gdouble>(c.requests));
        out.family("vekbs_http_connections", "gauge", "HTTP connections open");
        out.sample("vekbs_http_connections", c.connections);
        out.family("vekbs_http_refused_connections_total", "counter",
                   "HTTP connections closed at once: too many were open");
        out.sample("vekbs_http_refused_connections_total", static_cast<gdouble>(c.refused));
        out.family("vekbs_http_timed_out_connections_total", "counter",
                   "HTTP connections cut for taking too long or reading nothing");
        out.sample("vekbs_http_timed_out_connections_total", static_cast<gdouble>(c.timed_out));
        out.family("vekbs_websocket_clients", "gauge", "WebSocket clients of the live view");
        out.sample("vekbs_websocket_clients", c.websocket_clients);
        out.family("vekbs_websocket_withheld_updates_total", "counter",
                   "Live-view updates held back from a client that was not reading");
        out.sample("vekbs_websocket_withheld_updates_total", static_cast<gdouble>(c.withheld));
    }
    return out.text();
}

/* ---- the end of a recording ---- */

bool View::write_picture(const std::string &title, const std::vector<VekgenFrame> &truth,
                         GError **error)
{
    if (picture_.empty())
        return true;
    std::vector<waterfall::Mark> marks;
    for (const VekgenFrame &f : truth)
        marks.push_back({waterfall::Mark::Kind::Sent,
                         static_cast<gdouble>(f.start_sample) / kSampleRate,
                         static_cast<gdouble>(vekgen_frame_end_sample(&f)) / kSampleRate,
                         f.offset_hz, 2.0 * f.bit_rate, ""});
    marks.insert(marks.end(), heard_.begin(), heard_.end());
    waterfall::PictureOptions options;
    options.title = title;
    options.centre_hz = centre_hz_;
    return waterfall::write_picture(all_, marks, options, picture_.c_str(), error);
}

namespace
{
gboolean quit_on_signal(gpointer data)
{
    g_main_loop_quit(static_cast<GMainLoop *>(data));
    return G_SOURCE_CONTINUE;
}
} // namespace

void View::serve_until_stopped()
{
    if (!server_)
        return;
    g_printerr("vekbs: the recording has run; serving %s until SIGINT or SIGTERM\n",
               server_->url().c_str());
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    const guint sigint = g_unix_signal_add(SIGINT, quit_on_signal, loop);
    const guint sigterm = g_unix_signal_add(SIGTERM, quit_on_signal, loop);
    g_main_loop_run(loop);
    g_source_remove(sigint);
    g_source_remove(sigterm);
    g_main_loop_unref(loop);
}

void status_json_begin(JsonBuilder *b, const StationConfig &config, const char *state,
                       const std::vector<guint> &rates)
{
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "state");
    json_builder_add_string_value(b, state);
    json_builder_set_member_name(b, "station");
    json_builder_add_string_value(b, config.name.c_str());
    json_builder_set_member_name(b, "config");
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "receiver");
    json_builder_add_string_value(b, config.receiver.c_str());
    json_builder_set_member_name(b, "bit_rates");
    json_builder_begin_array(b);
    for (guint rate : rates)
        json_builder_add_int_value(b, rate);
    json_builder_end_array(b);
}

void status_json_end(JsonBuilder *b, const StationConfig &config, bool card_streaming,
                     const std::string &statistics)
{
    json_builder_set_member_name(b, "authenticate");
    json_builder_add_boolean_value(b, config.authenticate);
    json_builder_set_member_name(b, "device_filter");
    json_builder_add_string_value(b, config.devices.empty() ? "none"
                                     : config.whitelist     ? "whitelist"
                                                            : "blacklist");
    json_builder_end_object(b); /* "config" */
    json_builder_set_member_name(b, "card_streaming");
    json_builder_add_boolean_value(b, card_streaming);
    json_builder_set_member_name(b, "statistics");
    g_autoptr(JsonParser) parser = json_parser_new();
    if (json_parser_load_from_data(parser, statistics.c_str(), -1, nullptr) &&
        json_parser_get_root(parser) != nullptr)
        json_builder_add_value(b, json_node_copy(json_parser_get_root(parser)));
    else
        json_builder_add_null_value(b);
    json_builder_end_object(b);
}

std::string recording_status_json(const StationConfig &config, const char *state,
                                  const std::string &recording, const std::vector<PassStats> &stats)
{
    LiveStats live;
    add_process_usage(live);
    std::vector<guint> rates;
    for (guint pass : config.rates)
        for (guint rate : rates_of_pass(pass))
            rates.push_back(rate);
    g_autoptr(JsonBuilder) b = json_builder_new();
    status_json_begin(b, config, state, rates);
    json_builder_set_member_name(b, "recording");
    json_builder_add_string_value(b, recording.c_str());
    json_builder_set_member_name(b, "int_gain");
    json_builder_add_double_value(b, config.int_gain);
    status_json_end(b, config, false, live_stats_json(stats, live));
    return to_json(b);
}

} // namespace vekbs
