/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The live station: a card streaming into one Iqhub on the main loop, frames
 * printed and published, downlink requests sent back to the card, the card
 * waited for whenever it is gone. */
#include <cstdio>
#include <cstring>

#include <json-glib/json-glib.h>
#include <kvrlog/kvrlog.h>

#include "assembler.h"
#include "card.h"
#include "downlink.h"
#include "life.h"
#include "mqtt.h"
#include "service.h"
#include "signals.h"
#include "view.h"

namespace vekbs
{
namespace
{

constexpr guint kReopenMs = 1000;
constexpr gint64 kSilenceUs = 5 * G_USEC_PER_SEC; /* a streaming card that sends nothing */
constexpr guint kFinishMs = 5000;                 /* at the stop, for the broker and the downlink */

class LiveStation
{
  public:
    LiveStation(const StationConfig &config, const std::vector<VekgenFrame> &truth,
                guint64 truth_samples);
    ~LiveStation();
    int run();

  private:
    struct RxSource {
        GSource base;
        LiveStation *station;
    };
    static GSourceFuncs rx_funcs_;
    static gboolean rx_prepare(GSource *source, gint *timeout);
    static gboolean rx_check(GSource *source);
    static gboolean rx_dispatch(GSource *source, GSourceFunc, gpointer);

    bool rx_ready();
    void drain();
    void submit();
    void stream_ended();
    void try_open();
    void end_of_signal();
    void stop(const gchar *why);
    void fail(const std::string &why);
    bool stopping() const;
    int shut_down();
    LiveStats collect();
    std::string status_json(const char *state);
    static gboolean on_reopen(gpointer data);
    static gboolean on_watch(gpointer data);
    static gboolean on_stats(gpointer data);
    static gboolean on_watchdog(gpointer data);
    static void on_written(GObject *source, GAsyncResult *result, gpointer data);
    static gboolean on_frame(Iqhub *, kvrframe *frame, gpointer data, GError **);

    const StationConfig &config_;
    const guint rate_; /* 100, 600 or kBothRates */
    std::vector<VekgenFrame> truth_;
    guint64 truth_samples_;
    const guint64 end_sample_; /* 0: stream until stopped */
    Iqhub *hub_;
    RxQueue queue_;
    Card card_;
    std::unique_ptr<MqttLink> mqtt_;
    Downlink downlink_;
    GMainLoop *loop_;
    GSource *rx_source_;
    Life life_;
    StreamAssembler assembler_;
    bool hub_started_ = false; /* the wrapper runs */
    bool writing_ = false;     /* a write is in flight */
    bool ready_ = false;       /* READY=1 was said (once per process) */
    gint64 last_drop_log_us_ = G_MININT64 / 2;
    gint64 last_write_us_ = 0; /* monotonic time of the last write */
    /* The current outage, said once, and again only when the reason changes. */
    bool waiting_said_ = false;
    std::string last_open_error_;
    guint reopen_ = 0, stats_ = 0, watchdog_ = 0, watch_ = 0;
    guint64 watched_bytes_ = 0;
    gint64 watched_since_us_ = 0;
    PassStats pass_;               /* the signal, and the counters summed over the rates */
    std::vector<PassStats> rates_; /* each rate's counters, as collect() last read them */
    guint64 card_losses_ = 0;
    std::vector<Delivered> delivered_;
};

GSourceFuncs LiveStation::rx_funcs_ = {LiveStation::rx_prepare,
                                       LiveStation::rx_check,
                                       LiveStation::rx_dispatch,
                                       nullptr,
                                       nullptr,
                                       nullptr};

LiveStation::LiveStation(const StationConfig &config, const std::vector<VekgenFrame> &truth,
                         guint64 truth_samples)
    : config_(config), rate_(config.rates.front()), truth_(truth), truth_samples_(truth_samples),
      end_sample_(config.duration > 0 ? static_cast<guint64>(config.duration * kSampleRate)
                  : !truth.empty()    ? truth_samples
                                      : 0),
      hub_(make_station_hub(config, config.rates.front())),
      queue_(config.card_config.queue_transfers), card_(config.card_config, queue_),
      downlink_(config.downlink,
                [this](std::string result) {
                    if (mqtt_)
                        mqtt_->publish_result(std::move(result));
                }),
      loop_(g_main_loop_new(nullptr, FALSE)), assembler_(end_sample_)
{
    pass_.rate = rate_;
    iqhub_set_frame_callback(hub_, on_frame, this, nullptr, nullptr);
    rx_source_ = g_source_new(&rx_funcs_, sizeof(RxSource));
    reinterpret_cast<RxSource *>(rx_source_)->station = this;
    g_source_attach(rx_source_, nullptr);
    if (!config.mqtt.url.empty())
        mqtt_ = std::make_unique<MqttLink>(
            config.mqtt, config.name, config.downlink.policy.max_age_s,
            config.downlink.limits.max_bytes,
            [this](std::string_view request, gint64 arrived_us, bool retained) {
                downlink_.request(request, arrived_us, card_.device(), retained);
            });
}

LiveStation::~LiveStation()
{
    StopSignals::on_stop(nullptr);
    for (guint id : {reopen_, stats_, watchdog_, watch_})
        if (id != 0)
            g_source_remove(id);
    g_source_destroy(rx_source_);
    g_source_unref(rx_source_);
    mqtt_.reset();
    iqhub_unref(hub_);
    g_main_loop_unref(loop_);
}

/* ---- the hand-over from the card ---- */

bool LiveStation::rx_ready()
{
    if (life_.is(Phase::Streaming) && card_.unplugged())
        return true;
    if (writing_ || !(life_.is(Phase::Streaming) || life_.is(Phase::Draining)))
        return false;
    return life_.is(Phase::Draining) || queue_.front() != nullptr;
}

gboolean LiveStation::rx_prepare(GSource *source, gint *timeout)
{
    *timeout = -1;
    return reinterpret_cast<RxSource *>(source)->station->rx_ready();
}

gboolean LiveStation::rx_check(GSource *source)
{
    return reinterpret_cast<RxSource *>(source)->station->rx_ready();
}

gboolean LiveStation::rx_dispatch(GSource *source, GSourceFunc, gpointer)
{
    reinterpret_cast<RxSource *>(source)->station->drain();
    return G_SOURCE_CONTINUE;
}

/* Hands the card's samples to the wrapper, one write at a time. */
void LiveStation::drain()
{
    if (life_.is(Phase::Streaming) && card_.take_unplugged()) {
        card_losses_++;
        KVRLOG_WARN("%s unplugged: writing what it sent, stopping the wrapper, waiting for it",
                    card_.label().c_str());
        life_.enter(Phase::Draining, "the card was unplugged");
    }
    while (!writing_) {
        const StreamAssembler::Step step = assembler_.step(queue_);
        const guint64 gap = assembler_.take_gap_samples();
        if (gap > 0) {
            /* Transfers were dropped: the main loop fell behind the card. Said
             * at most every 10 s; the statistics count every one. */
            const gint64 now = g_get_monotonic_time();
            if (now - last_drop_log_us_ >= 10 * G_USEC_PER_SEC) {
                last_drop_log_us_ = now;
                KVRLOG_WARN(
                    "%s: the station fell behind, %.1f ms of signal dropped (%" G_GUINT64_FORMAT
                    " transfers so far)",
                    card_.label().c_str(), static_cast<double>(gap) * 1000.0 / kSampleRate,
                    queue_.dropped_transfers());
            }
        }
        if (step == StreamAssembler::Step::End) {
            end_of_signal();
            return;
        }
        if (step == StreamAssembler::Step::Empty)
            break;
        submit();
    }
    if (life_.is(Phase::Draining) && !writing_ && queue_.front() == nullptr) {
        if (assembler_.holding())
            submit();
        else
            stream_ended();
    }
}

void LiveStation::submit()
{
    const gint64 at = assembler_.time_us();
    struct timeval tv = {};
    tv.tv_sec = static_cast<time_t>(at / G_USEC_PER_SEC);
    tv.tv_usec = static_cast<suseconds_t>(at % G_USEC_PER_SEC);
    const gsize bytes = assembler_.size();
    if (config_.view != nullptr)
        config_.view->samples(reinterpret_cast<const gint16 *>(assembler_.data()),
                              bytes / kBytesPerSample, assembler_.first_sample(), at, true);
    g_autoptr(GError) error = nullptr;
    /* The buffer stays untouched until the write completes: no step runs
     * while one is in flight. */
    const bool accepted = iqhub_write_async(hub_, nullptr, assembler_.data(), bytes, tv, nullptr,
                                            on_written, this, &error);
    assembler_.written();
    if (!accepted) {
        /* Only a write still pending is refused, and none is. */
        KVRLOG_ERROR("write refused: %s", error->message);
        return;
    }
    writing_ = true;
    last_write_us_ = g_get_monotonic_time();
    pass_.start_us = assembler_.anchor_us();
    pass_.samples += bytes / kBytesPerSample;
}

bool LiveStation::stopping() const
{
    return life_.is(Phase::Stopping) || life_.is(Phase::Failing) || life_.is(Phase::Stopped);
}

void LiveStation::on_written(GObject *source, GAsyncResult *result, gpointer data)
{
    auto *self = static_cast<LiveStation *>(data);
    g_autoptr(GError) error = nullptr;
    if (!iqhub_write_finish(IQHUB_IQHUB(source), result, &error) && !self->stopping())
        KVRLOG_ERROR("write failed: %s", error->message);
    self->writing_ = false;
    if (!self->ready_ && !self->stopping()) {
        self->ready_ = true;
        service_notify("READY=1");
    }
    if (self->life_.is(Phase::Ending))
        g_main_loop_quit(self->loop_);
}

gboolean LiveStation::on_frame(Iqhub *, kvrframe *frame, gpointer data, GError **)
{
    auto *self = static_cast<LiveStation *>(data);
    g_autoptr(kvrframe) owned = frame;
    const guint rate = delivered_rate(*frame, self->rate_);
    const std::string json = frame_json(*frame, rate);
    if (!self->config_.quiet && !print_line(self->config_.json ? json : frame_text(*frame)) &&
        output_state() == OutputState::Closed)
        self->stop("standard output was closed");
    if (self->mqtt_)
        self->mqtt_->publish_uplink(json, self->last_write_us_);
    if (self->config_.view != nullptr)
        self->config_.view->frame(*frame, json);
    if (self->config_.check)
        self->delivered_.push_back({rate, *frame});
    return TRUE;
}

/* ---- the card coming and going ---- */

void LiveStation::stream_ended()
{
    g_autoptr(GError) error = nullptr;
    if (hub_started_ && !iqhub_stop_sync(hub_, &error))
        KVRLOG_ERROR("stopping the wrapper: %s", error->message);
    hub_started_ = false;
    card_.close();
    if (config_.view != nullptr)
        config_.view->end_of_stream();
    waiting_said_ = false;
    life_.enter(Phase::Waiting, "the card was released");
    if (reopen_ == 0)
        reopen_ = g_timeout_add(kReopenMs, on_reopen, this);
}

gboolean LiveStation::on_reopen(gpointer data)
{
    auto *self = static_cast<LiveStation *>(data);
    if (self->life_.is(Phase::Waiting))
        self->try_open();
    if (!self->life_.is(Phase::Waiting)) {
        self->reopen_ = 0;
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

void LiveStation::try_open()
{
    g_autoptr(GError) error = nullptr;
    if (!card_.open(&error)) {
        /* Said once per outage, and again only when the reason changes. */
        const bool absent = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND);
        if (absent && !waiting_said_)
            KVRLOG_WARN("waiting for card %u", config_.card_config.index);
        else if (!absent && last_open_error_ != error->message)
            KVRLOG_ERROR("%s; trying again", error->message);
        waiting_said_ = waiting_said_ || absent;
        last_open_error_ = error->message;
        if (life_.is(Phase::Starting))
            life_.enter(Phase::Waiting, error->message);
        return;
    }
    last_open_error_.clear();
    gsize advised = 0;
    if (!iqhub_start(hub_, &advised, &error)) {
        KVRLOG_ERROR("the wrapper does not start: %s", error->message);
        card_.close();
        fail(std::string("the wrapper does not start: ") + error->message);
        return;
    }
    hub_started_ = true;
    downlink_.set_card_frequency(card_.rx_frequency());
    assembler_.restart(advised);
    pass_.write_samples = advised / kBytesPerSample;
    watched_since_us_ = g_get_monotonic_time();
    KVRLOG_WARN("%s streaming at %s", card_.label().c_str(), pass_rate_text(rate_).c_str());
    if (config_.view != nullptr)
        config_.view->set_centre_hz(card_.rx_frequency());
    life_.enter(Phase::Streaming, card_.label().c_str());
}

/* A card that streams nothing (its transfers all ended on errors, say) is
 * treated as lost: released, and opened again. */
gboolean LiveStation::on_watch(gpointer data)
{
    auto *self = static_cast<LiveStation *>(data);
    const guint64 bytes = self->queue_.received_bytes();
    const gint64 now = g_get_monotonic_time();
    if (!self->life_.is(Phase::Streaming) || bytes != self->watched_bytes_) {
        self->watched_bytes_ = bytes;
        self->watched_since_us_ = now;
    } else if (now - self->watched_since_us_ >= kSilenceUs) {
        self->card_losses_++;
        KVRLOG_WARN("%s sent nothing for %d s: releasing it and opening it again",
                    self->card_.label().c_str(), static_cast<int>(kSilenceUs / G_USEC_PER_SEC));
        self->life_.enter(Phase::Draining, "the card sent nothing");
        self->watched_since_us_ = now;
    }
    return G_SOURCE_CONTINUE;
}

void LiveStation::end_of_signal()
{
    life_.enter(Phase::Ending, "the end of the signal");
    if (assembler_.holding())
        submit();
    if (!writing_)
        g_main_loop_quit(loop_);
}

/* ---- statistics and status ---- */

LiveStats LiveStation::collect()
{
    LiveStats l;
    l.rx_bytes = queue_.received_bytes();
    l.rx_dropped_bytes = queue_.dropped_bytes();
    l.rx_dropped_transfers = queue_.dropped_transfers();
    l.card_losses = card_losses_;
    if (mqtt_) {
        l.published = mqtt_->published();
        l.publish_dropped = mqtt_->dropped();
        l.publish_queued = mqtt_->queued();
        l.reconnects = mqtt_->reconnects();
        l.takeovers = mqtt_->takeovers();
        const LatencyHistogram &up = mqtt_->uplink_latency();
        l.uplink_latency_n = up.count();
        l.uplink_median_ms = up.quantile_ms(0.5);
        l.uplink_p99_ms = up.quantile_ms(0.99);
    }
    l.dl_requests = downlink_.requests;
    l.dl_sent = downlink_.sent;
    l.dl_failed = downlink_.failed;
    l.dl_refused = downlink_.refused;
    l.dl_refused_by_rule = downlink_.refused_by_rule;
    l.dl_sent_with_warning = downlink_.sent_with_warning;
    l.dl_failed_stopping = downlink_.failed_stopping;
    l.downlink_latency_n = downlink_.latency.count();
    l.downlink_median_ms = downlink_.latency.quantile_ms(0.5);
    l.downlink_p99_ms = downlink_.latency.quantile_ms(0.99);
    add_process_usage(l);
    g_object_get(hub_, "frames", &pass_.frames, "frames-drop", &pass_.dropped, "frames-error-ts",
                 &pass_.ts_errors, "frames-error-syntax", &pass_.syntax_errors, nullptr);
    rates_ = rate_stats(hub_, rate_, pass_);
    return l;
}

std::string LiveStation::status_json(const char *state)
{
    const LiveStats l = collect();
    g_autoptr(JsonBuilder) b = json_builder_new();
    status_json_begin(b, config_, state, rates_of_pass(rate_));
    json_builder_set_member_name(b, "card");
    json_builder_add_int_value(b, config_.card_config.index);
    json_builder_set_member_name(b, "rx_frequency");
    json_builder_add_int_value(b, config_.card_config.rx_frequency);
    json_builder_set_member_name(b, "preamps");
    json_builder_begin_array(b);
    for (const auto &mode : config_.card_config.preamps)
        json_builder_add_string_value(b, mode ? xvek_hlp_preampmode_to_str(*mode) : "card");
    json_builder_end_array(b);
    json_builder_set_member_name(b, "int_gain");
    json_builder_add_double_value(b, config_.int_gain);
    json_builder_set_member_name(b, "ext_gain");
    json_builder_add_double_value(b, config_.ext_gain);
    status_json_end(b, config_, life_.is(Phase::Streaming), live_stats_json(rates_, l));
    return to_json(b);
}

gboolean LiveStation::on_stats(gpointer data)
{
    auto *self = static_cast<LiveStation *>(data);
    const std::string status = self->status_json("online");
    if (self->mqtt_)
        self->mqtt_->publish_status(status);
    const LiveStats l = self->collect();
    KVRLOG_INFO("statistics: %.0f s of signal, %" G_GUINT64_FORMAT " frames, %" G_GUINT64_FORMAT
                " bytes dropped, %" G_GUINT64_FORMAT " published",
                static_cast<double>(self->pass_.samples) / kSampleRate, self->pass_.frames,
                l.rx_dropped_bytes, l.published);
    g_autofree gchar *notify = g_strdup_printf("STATUS=%s, %" G_GUINT64_FORMAT " frames",
                                               phase_name(self->life_.phase()), self->pass_.frames);
    service_notify(notify);
    return G_SOURCE_CONTINUE;
}

/* ---- start and stop ---- */

/* The service manager's watchdog hears from the main loop itself. */
gboolean LiveStation::on_watchdog(gpointer)
{
    service_notify("WATCHDOG=1");
    return G_SOURCE_CONTINUE;
}

void LiveStation::stop(const gchar *why)
{
    /* At once: what else this turn of the loop dispatches sends nothing. A second
     * signal, or a closed output while stopping, changes nothing more. */
    downlink_.stop();
    if (!stopping() && life_.enter(Phase::Stopping, why))
        g_main_loop_quit(loop_);
}

void LiveStation::fail(const std::string &why)
{
    if (life_.enter(Phase::Failing, why.c_str()))
        g_main_loop_quit(loop_);
}

int LiveStation::run()
{
    StopSignals::on_stop([this](const char *signal) { stop(signal); });
    if (const guint ms = service_watchdog_ms(); ms > 0)
        watchdog_ = g_timeout_add(ms, on_watchdog, this);
    stats_ = g_timeout_add_seconds(MAX(config_.stats_interval, 1u), on_stats, this);
    watch_ = g_timeout_add_seconds(1, on_watch, this);
    if (config_.view != nullptr)
        config_.view->set_status([this] { return status_json("online"); });
    if (mqtt_) {
        mqtt_->publish_status(status_json("online"));
        mqtt_->start();
    }
    /* Stopped before it started: no card is opened. */
    if (StopSignals::received() != nullptr)
        stop(StopSignals::received());
    else
        try_open();
    if (life_.is(Phase::Waiting))
        reopen_ = g_timeout_add(kReopenMs, on_reopen, this);
    if (life_.is(Phase::Waiting) || life_.is(Phase::Streaming))
        g_main_loop_run(loop_);
    return shut_down();
}

/* In order: the write, the wrapper, RX and the card, the broker; then the
 * final statistics (the caller closes the logger). */
int LiveStation::shut_down()
{
    service_notify("STOPPING=1");
    /* Nothing new goes on air once the stop is asked for; every request
     * waiting gets its answer. */
    downlink_.stop();
    /* Ending, Stopping or Failing: in none of them does the hand-over write. */
    const bool interrupted = life_.is(Phase::Stopping);
    const bool failed = life_.is(Phase::Failing);
    if (writing_)
        iqhub_write_cancel(hub_);
    g_autoptr(GError) error = nullptr;
    if (hub_started_ && !iqhub_stop_sync(hub_, &error))
        KVRLOG_ERROR("stopping the wrapper: %s", error->message);
    hub_started_ = false;
    /* Frames the wrapper decoded before it stopped still wait for delivery. */
    for (guint i = 0; i < 10000 && g_main_context_iteration(nullptr, FALSE); i++)
        ;
    const gint64 deadline = g_get_monotonic_time() + kFinishMs * G_TIME_SPAN_MILLISECOND;
    while (downlink_.busy() && g_get_monotonic_time() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    card_.close();
    if (mqtt_)
        mqtt_->finish([this] { return status_json("offline"); }, kFinishMs);
    /* Frames and results the broker never acknowledged are lost: a failure. */
    const guint64 undelivered = mqtt_ ? mqtt_->queued() : 0;
    life_.enter(Phase::Stopped, "the card and the broker are released");

    if (config_.view != nullptr) {
        /* The station is about to go: its last word stays. */
        const std::string last = status_json("offline");
        config_.view->set_status([last] { return last; });
    }
    const LiveStats l = collect();
    if (config_.json) {
        g_printerr("{\"statistics\":[%s]}\n", live_stats_json(rates_, l).c_str());
    } else {
        print_text(stats_text(rates_));
        print_text(live_stats_text(l, mqtt_ != nullptr));
    }
    if (undelivered > 0) {
        g_printerr("vekbs: %" G_GUINT64_FORMAT " messages not delivered to the broker\n",
                   undelivered);
        g_autofree gchar *status = g_strdup_printf("STATUS=stopped, %" G_GUINT64_FORMAT
                                                   " messages not delivered to the broker",
                                                   undelivered);
        service_notify(status);
    }
    if (failed || undelivered > 0 || output_state() == OutputState::Failed)
        return kExitFailure;
    if (!config_.check)
        return kExitOk;
    if (interrupted) {
        g_printerr("vekbs: check: stopped before the end of the recording\n");
        return kExitMismatch;
    }
    /* The card plays the recording in a loop: every whole pass is checked. */
    std::vector<VekgenFrame> expected;
    for (guint64 start = 0; truth_samples_ > 0 && start < end_sample_; start += truth_samples_)
        for (VekgenFrame f : truth_) {
            f.start_sample += start;
            if (vekgen_frame_tail_end_sample(&f) <= end_sample_)
                expected.push_back(f);
        }
    const guint differences = check_truth(expected, config_, delivered_, rates_);
    if (differences > 0) {
        g_printerr("vekbs: check: %u difference%s with the recording's truth\n", differences,
                   differences == 1 ? "" : "s");
        return kExitMismatch;
    }
    g_printerr("vekbs: check: every frame delivered as sent (%zu frames)\n", delivered_.size());
    return kExitOk;
}

} // namespace

int run_live(const StationConfig &config, const std::vector<VekgenFrame> &truth,
             guint64 truth_samples)
{
    LiveStation station(config, truth, truth_samples);
    return station.run();
}

} // namespace vekbs
