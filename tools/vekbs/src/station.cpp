/* SPDX-License-Identifier: GPL-2.0-or-later */
/* One station pass: an Iqhub fed from a source on the default main context,
 * delivering frames to standard output. */
#include <cstdio>

#include "signals.h"
#include "vekbs.h"
#include "view.h"

namespace vekbs
{
namespace
{

/* Lower than the wrapper's event dispatch: the pass ends only once every
 * queued frame has been delivered. */
constexpr gint kDrainPriority = G_PRIORITY_LOW;

struct Pass {
    Source &source;
    const StationConfig &config;
    guint rate;
    Iqhub *hub = nullptr;
    gsize write_samples = 0;
    std::vector<gint16> buffer;
    gint64 start_us = 0;   /* Unix time of the first sample */
    gint64 start_mono = 0; /* monotonic time of the first write */
    guint64 written = 0;   /* samples written so far */
    GMainLoop *loop = nullptr;
    GError *error = nullptr;
    bool stopping = false;
    bool finished = false; /* the loop has been asked to end */
    std::vector<Delivered> &delivered;
    bool feeds_view = true; /* the first pass draws the waterfall; later ones only mark */
};

gboolean write_next(gpointer data);

void fail_pass(Pass &pass, GError *error)
{
    if (pass.error == nullptr)
        pass.error = error;
    else
        g_error_free(error);
    pass.finished = true;
    g_main_loop_quit(pass.loop);
}

gboolean drained(gpointer data)
{
    auto *pass = static_cast<Pass *>(data);
    pass->finished = true;
    g_main_loop_quit(pass->loop);
    return G_SOURCE_REMOVE;
}

void schedule_next(Pass &pass)
{
    if (pass.config.fast || pass.stopping) {
        g_idle_add(write_next, &pass);
        return;
    }
    /* Real time: the next write is due when its first sample would arrive. */
    const gint64 due =
        pass.start_mono + static_cast<gint64>(pass.written * G_USEC_PER_SEC / kSampleRate);
    const gint64 wait_ms = MAX(0, (due - g_get_monotonic_time()) / 1000);
    g_timeout_add(static_cast<guint>(wait_ms), write_next, &pass);
}

void on_written(GObject *source, GAsyncResult *result, gpointer data)
{
    Pass &pass = *static_cast<Pass *>(data);
    GError *error = nullptr;
    const gboolean ok = iqhub_write_finish(IQHUB_IQHUB(source), result, &error);
    if (pass.finished) {
        g_clear_error(&error);
        return;
    }
    /* A stop request aborts the write in flight: that is how the pass ends. */
    if (!ok &&
        !(pass.stopping && error->domain == IQHUB_ERRDOM && error->code == IQHUB_ERR_STOPPED)) {
        g_prefix_error(&error, "write failed: ");
        fail_pass(pass, error);
        return;
    }
    g_clear_error(&error);
    /* A write cannot be issued from inside its own completion. */
    schedule_next(pass);
}

gboolean write_next(gpointer data)
{
    Pass &pass = *static_cast<Pass *>(data);
    GError *error = nullptr;
    gssize n = 0;
    if (!pass.stopping)
        n = pass.source.read(pass.buffer.data(), pass.write_samples, &error);
    if (n < 0) {
        fail_pass(pass, error);
        return G_SOURCE_REMOVE;
    }
    if (n == 0) {
        g_idle_add_full(kDrainPriority, drained, &pass, nullptr);
        return G_SOURCE_REMOVE;
    }
    if (pass.written == 0)
        pass.start_mono = g_get_monotonic_time();
    const gint64 at_us =
        pass.start_us + static_cast<gint64>(pass.written * G_USEC_PER_SEC / kSampleRate);
    if (pass.config.view != nullptr)
        pass.config.view->samples(pass.buffer.data(), static_cast<gsize>(n), pass.written, at_us,
                                  pass.feeds_view);
    struct timeval tv = {};
    tv.tv_sec = static_cast<time_t>(at_us / G_USEC_PER_SEC);
    tv.tv_usec = static_cast<suseconds_t>(at_us % G_USEC_PER_SEC);
    if (!iqhub_write_async(pass.hub, nullptr, reinterpret_cast<const guint8 *>(pass.buffer.data()),
                           static_cast<gsize>(n) * kBytesPerSample, tv, nullptr, on_written, &pass,
                           &error)) {
        fail_pass(pass, error);
        return G_SOURCE_REMOVE;
    }
    pass.written += static_cast<guint64>(n);
    return G_SOURCE_REMOVE;
}

gboolean on_frame(Iqhub *, kvrframe *frame, gpointer data, GError **)
{
    Pass &pass = *static_cast<Pass *>(data);
    g_autoptr(kvrframe) owned = frame;
    const guint rate = delivered_rate(*frame, pass.rate);
    const std::string line = pass.config.json ? frame_json(*frame, rate) : frame_text(*frame);
    /* A closed or failed standard output ends the run: nobody reads it. */
    if (!print_line(line) && !pass.stopping) {
        pass.stopping = true;
        iqhub_write_cancel(pass.hub);
    }
    if (pass.config.check)
        pass.delivered.push_back({rate, *frame});
    if (pass.config.view != nullptr)
        pass.config.view->frame(*frame, pass.config.json ? line : frame_json(*frame, rate));
    return TRUE;
}

void on_signal(Pass *pass)
{
    if (pass->stopping)
        return;
    g_printerr("vekbs: stopping\n");
    pass->stopping = true;
    iqhub_write_cancel(pass->hub);
}

} // namespace

std::vector<guint> rates_of_pass(guint pass_rate)
{
    if (pass_rate == kBothRates)
        return {100, 600};
    return {pass_rate};
}

std::string pass_rate_text(guint pass_rate)
{
    if (pass_rate == kBothRates)
        return "100 and 600 bit/s";
    return std::to_string(pass_rate) + " bit/s";
}

guint delivered_rate(const kvrframe &frame, guint fallback)
{
    if (frame.v == KVRPROTO_VERSION_V1 && frame.f.v1.bit_rate != 0)
        return frame.f.v1.bit_rate;
    return fallback;
}

std::vector<PassStats> rate_stats(Iqhub *hub, guint pass_rate, const PassStats &common)
{
    std::vector<PassStats> stats;
    for (guint rate : rates_of_pass(pass_rate)) {
        PassStats s = common;
        s.rate = rate;
        IqhubRateCounters counters = {};
        if (iqhub_get_rate_counters(hub, rate, &counters, nullptr)) {
            s.frames = counters.frames;
            s.dropped = counters.frames_drop;
            s.ts_errors = counters.frames_error_ts;
            s.syntax_errors = counters.frames_error_syntax;
        }
        stats.push_back(s);
    }
    return stats;
}

Iqhub *make_station_hub(const StationConfig &config, guint rate)
{
    Iqhub *hub =
        iqhub_new_with_options("bit-rate", rate, "int-gain", config.int_gain, "ext-gain",
                               config.ext_gain, "receiver", config.receiver.c_str(), nullptr);
    if (config.authenticate) {
        g_autoptr(IqhubHmacFilter) auth = iqhub_hmac_filter_new();
        iqhub_add_filter(hub, IQHUB_IFILTER(auth));
    }
    if (!config.devices.empty()) {
        g_autoptr(IqhubDeviceFilter) devices = iqhub_device_filter_new_with_options(
            "mode",
            static_cast<guint>(config.whitelist ? IQHUB_DEVICE_FILTER_MODE_WHITELIST
                                                : IQHUB_DEVICE_FILTER_MODE_BLACKLIST),
            nullptr);
        for (guint32 id : config.devices)
            iqhub_device_filter_register_device(devices, id);
        iqhub_add_filter(hub, IQHUB_IFILTER(devices));
    }
    return hub;
}

namespace
{

bool run_pass(Pass &pass, std::vector<PassStats> &stats, GError **error)
{
    gsize advised = 0;
    if (!iqhub_start(pass.hub, &advised, error))
        return false;
    pass.write_samples = pass.config.write_multiple * advised / kBytesPerSample;
    pass.buffer.assign(2 * pass.write_samples, 0);
    pass.start_us = g_get_real_time();
    iqhub_set_frame_callback(pass.hub, on_frame, &pass, nullptr, nullptr);

    pass.loop = g_main_loop_new(nullptr, FALSE);
    StopSignals::on_stop([&pass](const char *) { on_signal(&pass); });
    g_idle_add(write_next, &pass);
    g_main_loop_run(pass.loop);
    StopSignals::on_stop(nullptr);
    g_main_loop_unref(pass.loop);

    GError *stop_error = nullptr;
    if (!iqhub_stop_sync(pass.hub, &stop_error) && pass.error == nullptr)
        pass.error = stop_error;
    else
        g_clear_error(&stop_error);
    PassStats common;
    common.samples = pass.written;
    common.start_us = pass.start_us;
    common.write_samples = pass.write_samples;
    for (const PassStats &s : rate_stats(pass.hub, pass.rate, common))
        stats.push_back(s);
    if (pass.error != nullptr) {
        g_propagate_error(error, pass.error);
        return false;
    }
    return true;
}

} // namespace

bool run_station(Source &source, const StationConfig &config, std::vector<Delivered> &delivered,
                 std::vector<PassStats> &stats, GError **error)
{
    for (gsize i = 0; i < config.rates.size(); i++) {
        const guint rate = config.rates[i];
        if (!source.rewind(error))
            return false;
        Pass pass{source, config, rate,    nullptr, 0,     {},    0,
                  0,      0,      nullptr, nullptr, false, false, delivered};
        g_autoptr(Iqhub) hub = make_station_hub(config, rate);
        pass.hub = hub;
        pass.feeds_view = i == 0;
        if (config.view != nullptr)
            config.view->set_status([&config, &source, &stats, &pass] {
                /* The passes so far, and this one as it stands. */
                std::vector<PassStats> now = stats;
                PassStats common;
                common.samples = pass.written;
                common.start_us = pass.start_us;
                common.write_samples = pass.write_samples;
                for (const PassStats &s : rate_stats(pass.hub, pass.rate, common))
                    now.push_back(s);
                return recording_status_json(config, "online", source.name(), now);
            });
        const bool ran = run_pass(pass, stats, error);
        if (config.view != nullptr) {
            config.view->set_status({});
            if (pass.feeds_view)
                config.view->end_of_stream();
        }
        if (!ran) {
            g_prefix_error(error, "%s: ", pass_rate_text(rate).c_str());
            return false;
        }
        if (pass.stopping)
            break;
    }
    return true;
}

} // namespace vekbs
