/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Frames and statistics as vekbs prints them. */

#include <sys/resource.h>

#include "vekbs.h"

namespace vekbs
{
namespace
{

void add_int(JsonBuilder *b, const gchar *name, gint64 value)
{
    json_builder_set_member_name(b, name);
    json_builder_add_int_value(b, value);
}

void add_double(JsonBuilder *b, const gchar *name, gdouble value)
{
    json_builder_set_member_name(b, name);
    json_builder_add_double_value(b, value);
}

void add_string(JsonBuilder *b, const gchar *name, const std::string &value)
{
    json_builder_set_member_name(b, name);
    json_builder_add_string_value(b, value.c_str());
}

void add_bool(JsonBuilder *b, const gchar *name, gboolean value)
{
    json_builder_set_member_name(b, name);
    json_builder_add_boolean_value(b, value);
}

/* The wrapper's counters of @s, as members of the object being built. */
void add_counters(JsonBuilder *b, const PassStats &s)
{
    add_int(b, "frames", static_cast<gint64>(s.frames));
    add_int(b, "frames_drop", static_cast<gint64>(s.dropped));
    add_int(b, "frames_error_ts", static_cast<gint64>(s.ts_errors));
    add_int(b, "frames_error_syntax", static_cast<gint64>(s.syntax_errors));
}

} // namespace

namespace
{
/* When the process started, as the monotonic clock counts. */
const gint64 kStartedUs = g_get_monotonic_time();
} // namespace

void add_process_usage(LiveStats &l)
{
    l.uptime_s = static_cast<gdouble>(g_get_monotonic_time() - kStartedUs) / G_USEC_PER_SEC;
    struct rusage usage = {};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        l.cpu_s = static_cast<gdouble>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<gdouble>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        l.peak_rss_kb = static_cast<guint64>(usage.ru_maxrss);
    }
}

std::string to_json(JsonBuilder *builder)
{
    g_autoptr(JsonNode) root = json_builder_get_root(builder);
    g_autoptr(JsonGenerator) generator = json_generator_new();
    json_generator_set_root(generator, root);
    g_autofree gchar *text = json_generator_to_data(generator, nullptr);
    return text;
}

std::string hex_string(const guint8 *bytes, gsize n)
{
    static const gchar digits[] = "0123456789abcdef";
    std::string text;
    for (gsize i = 0; i < n; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

std::string frame_text(const kvrframe &frame)
{
    g_autofree gchar *line = kvrproto_to_string(&frame, nullptr);
    return line != nullptr ? line : "";
}

std::string frame_json(const kvrframe &frame, guint rate)
{
    g_autoptr(JsonBuilder) b = json_builder_new();
    json_builder_begin_object(b);
    if (frame.v == KVRPROTO_VERSION_V0) {
        const kvrframe_v0 &f = frame.f.v0;
        add_int(b, "time", f.timestamp);
        add_int(b, "bit_rate", rate);
        add_int(b, "device_id", f.tid);
        add_string(b, "bytes", hex_string(f.data, MIN(f.data_s, sizeof(f.data))));
        add_double(b, "freq_hz", f.freq);
        add_double(b, "snr_db", f.snr);
        add_double(b, "rssi_db", f.rssi);
        json_builder_end_object(b);
        return to_json(b);
    }
    const kvrframe_v1 &f = frame.f.v1;
    add_int(b, "time", f.timestamp);
    add_int(b, "bit_rate", rate);
    add_int(b, "device_id", kvrproto_get_tstid(&frame, nullptr));
    add_int(b, "seq", (f.p.seq_hi << 8) | f.p.seq_lo);
    add_bool(b, "ack", f.p.ack);
    add_bool(b, "oob", f.oob != 0);
    add_int(b, "repetition", f.seq);
    /* The payload sits between the 6-byte header and the code that fills the frame. */
    const gsize covered = MIN(f.data_s, sizeof(f.data));
    const gsize payload = covered <= 8 ? 0 : covered - 8 - MIN(covered - 8, f.p.lg);
    add_string(b, "payload", hex_string(f.data + 6, payload));
    add_string(b, "bytes", hex_string(f.data, covered));
    add_double(b, "freq_hz", f.freq);
    add_double(b, "snr_db", f.snr);
    add_double(b, "rssi_db", f.rssi);
    if (frame.combined != 0) {
        /* A message only decoding its repetitions together recovered: which. */
        json_builder_set_member_name(b, "combined");
        json_builder_begin_array(b);
        for (guint r = 1; r <= 3; r++)
            if (frame.combined & (1u << (r - 1)))
                json_builder_add_int_value(b, r);
        json_builder_end_array(b);
    }
    json_builder_end_object(b);
    return to_json(b);
}

std::string stats_text(const std::vector<PassStats> &stats)
{
    std::string text;
    for (const PassStats &s : stats) {
        g_autofree gchar *line = g_strdup_printf(
            "%u bit/s: %.2f s of signal, %" G_GUINT64_FORMAT " frames, %" G_GUINT64_FORMAT
            " dropped by the filters, %" G_GUINT64_FORMAT
            " without a time value, %" G_GUINT64_FORMAT " unreadable\n",
            s.rate, static_cast<double>(s.samples) / kSampleRate, s.frames, s.dropped, s.ts_errors,
            s.syntax_errors);
        text += line;
    }
    return text;
}

std::string stats_json(const std::vector<PassStats> &stats)
{
    g_autoptr(JsonBuilder) b = json_builder_new();
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "statistics");
    json_builder_begin_array(b);
    for (const PassStats &s : stats) {
        json_builder_begin_object(b);
        add_int(b, "bit_rate", s.rate);
        add_double(b, "seconds", static_cast<double>(s.samples) / kSampleRate);
        add_counters(b, s);
        json_builder_end_object(b);
    }
    json_builder_end_array(b);
    json_builder_end_object(b);
    return to_json(b);
}

std::string live_stats_json(const std::vector<PassStats> &rates, const LiveStats &l)
{
    PassStats sum;
    for (const PassStats &s : rates) {
        sum.samples = s.samples;
        sum.frames += s.frames;
        sum.dropped += s.dropped;
        sum.ts_errors += s.ts_errors;
        sum.syntax_errors += s.syntax_errors;
    }
    g_autoptr(JsonBuilder) b = json_builder_new();
    json_builder_begin_object(b);
    add_double(b, "seconds", static_cast<double>(sum.samples) / kSampleRate);
    add_counters(b, sum);
    json_builder_set_member_name(b, "rates");
    json_builder_begin_array(b);
    for (const PassStats &s : rates) {
        json_builder_begin_object(b);
        add_int(b, "bit_rate", s.rate);
        add_counters(b, s);
        json_builder_end_object(b);
    }
    json_builder_end_array(b);
    add_int(b, "rx_bytes", static_cast<gint64>(l.rx_bytes));
    add_int(b, "rx_dropped_bytes", static_cast<gint64>(l.rx_dropped_bytes));
    add_int(b, "rx_dropped_transfers", static_cast<gint64>(l.rx_dropped_transfers));
    add_int(b, "card_losses", static_cast<gint64>(l.card_losses));
    add_int(b, "published", static_cast<gint64>(l.published));
    add_int(b, "publish_dropped", static_cast<gint64>(l.publish_dropped));
    add_int(b, "publish_queued", static_cast<gint64>(l.publish_queued));
    add_int(b, "reconnects", static_cast<gint64>(l.reconnects));
    add_int(b, "takeovers", static_cast<gint64>(l.takeovers));
    add_int(b, "downlink_requests", static_cast<gint64>(l.dl_requests));
    add_int(b, "downlink_sent", static_cast<gint64>(l.dl_sent));
    add_int(b, "downlink_failed", static_cast<gint64>(l.dl_failed));
    add_int(b, "downlink_refused", static_cast<gint64>(l.dl_refused));
    for (guint i = 0; i < kDownlinkRules; i++) {
        const std::string name =
            std::string("downlink_refused_") + downlink_rule_name(static_cast<DownlinkRule>(i));
        add_int(b, name.c_str(), static_cast<gint64>(l.dl_refused_by_rule[i]));
    }
    add_int(b, "downlink_sent_with_warning", static_cast<gint64>(l.dl_sent_with_warning));
    add_int(b, "downlink_failed_stopping", static_cast<gint64>(l.dl_failed_stopping));
    add_int(b, "uplink_latency_n", static_cast<gint64>(l.uplink_latency_n));
    add_double(b, "uplink_latency_median_ms", l.uplink_median_ms);
    add_double(b, "uplink_latency_p99_ms", l.uplink_p99_ms);
    add_int(b, "downlink_latency_n", static_cast<gint64>(l.downlink_latency_n));
    add_double(b, "downlink_latency_median_ms", l.downlink_median_ms);
    add_double(b, "downlink_latency_p99_ms", l.downlink_p99_ms);
    add_double(b, "uptime_s", l.uptime_s);
    add_double(b, "cpu_s", l.cpu_s);
    add_int(b, "peak_rss_kb", static_cast<gint64>(l.peak_rss_kb));
    json_builder_end_object(b);
    return to_json(b);
}

std::string live_stats_text(const LiveStats &l, bool broker)
{
    g_autofree gchar *card = g_strdup_printf(
        "card: %" G_GUINT64_FORMAT " bytes received, %" G_GUINT64_FORMAT
        " dropped (%" G_GUINT64_FORMAT " transfers), %" G_GUINT64_FORMAT " losses\n",
        l.rx_bytes, l.rx_dropped_bytes, l.rx_dropped_transfers, l.card_losses);
    if (!broker)
        return card;
    g_autofree gchar *network = g_strdup_printf(
        "broker: %" G_GUINT64_FORMAT " published, %" G_GUINT64_FORMAT " dropped, %" G_GUINT64_FORMAT
        " queued, %" G_GUINT64_FORMAT " reconnections, %" G_GUINT64_FORMAT " takeovers\n"
        "downlink: %" G_GUINT64_FORMAT " requests, %" G_GUINT64_FORMAT " sent (%" G_GUINT64_FORMAT
        " with a warning), %" G_GUINT64_FORMAT " failed (%" G_GUINT64_FORMAT
        " at the stop), %" G_GUINT64_FORMAT " refused\n",
        l.published, l.publish_dropped, l.publish_queued, l.reconnects, l.takeovers, l.dl_requests,
        l.dl_sent, l.dl_sent_with_warning, l.dl_failed, l.dl_failed_stopping, l.dl_refused);
    std::string rules;
    for (guint i = 0; i < kDownlinkRules; i++)
        rules += std::string(i == 0 ? "downlink refused by rule: " : ", ") +
                 downlink_rule_name(static_cast<DownlinkRule>(i)) + " " +
                 std::to_string(l.dl_refused_by_rule[i]);
    g_autofree gchar *latency = g_strdup_printf(
        "latency: uplink %.2f ms median, %.2f ms p99; downlink %.2f ms median, %.2f ms p99\n",
        l.uplink_median_ms, l.uplink_p99_ms, l.downlink_median_ms, l.downlink_p99_ms);
    return std::string(card) + network + rules + "\n" + latency;
}

} // namespace vekbs
