/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Prometheus text from the station's status object. */
#include "metrics.h"

#include <cmath>
#include <set>

#include <json-glib/json-glib.h>

namespace vekbs
{

namespace
{

std::string number(gdouble v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    gchar text[G_ASCII_DTOSTR_BUF_SIZE];
    return g_ascii_formatd(text, sizeof(text), "%.17g", v);
}

std::string escape(const std::string &value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

gdouble member(JsonObject *o, const char *name)
{
    if (o == nullptr || !json_object_has_member(o, name))
        return 0.0;
    JsonNode *n = json_object_get_member(o, name);
    if (!JSON_NODE_HOLDS_VALUE(n))
        return 0.0;
    const GType t = json_node_get_value_type(n);
    if (t == G_TYPE_BOOLEAN)
        return json_node_get_boolean(n) ? 1.0 : 0.0;
    if (t == G_TYPE_INT64 || t == G_TYPE_DOUBLE)
        return json_node_get_double(n);
    return 0.0;
}

/* A statistics member and its family; "scale" turns it into base units. */
struct Row {
    const char *member, *name, *type, *help;
    gdouble scale = 1.0;
};

const Row kRows[] = {
    {"seconds", "vekbs_signal_seconds_total", "counter",
     "Seconds of signal the receiver was given"},
    {"rx_bytes", "vekbs_rx_bytes_total", "counter", "Bytes of samples received from the card"},
    {"rx_dropped_bytes", "vekbs_rx_dropped_bytes_total", "counter",
     "Bytes of samples dropped because the main loop fell behind"},
    {"rx_dropped_transfers", "vekbs_rx_dropped_transfers_total", "counter",
     "Card transfers dropped because the main loop fell behind"},
    {"card_losses", "vekbs_card_losses_total", "counter",
     "Times the card went away (unplugged or silent)"},
    {"published", "vekbs_mqtt_published_messages_total", "counter",
     "Messages the broker acknowledged"},
    {"publish_dropped", "vekbs_mqtt_dropped_messages_total", "counter",
     "Messages dropped from the full queue while the broker was away"},
    {"publish_queued", "vekbs_mqtt_queued_messages", "gauge",
     "Messages waiting for the broker's acknowledgement"},
    {"reconnects", "vekbs_mqtt_reconnects_total", "counter",
     "Connections to the broker made again"},
    {"downlink_requests", "vekbs_downlink_requests_total", "counter", "Downlink requests received"},
    {"uptime_s", "vekbs_uptime_seconds", "gauge", "Seconds since the station started"},
    {"cpu_s", "process_cpu_seconds_total", "counter", "CPU time of the process, user and system"},
    {"peak_rss_kb", "vekbs_peak_resident_memory_bytes", "gauge",
     "Largest resident memory of the process so far", 1024.0},
};

/* Members shown by the families below rather than by a row. */
const std::set<std::string> kGrouped = {"frames",
                                        "frames_drop",
                                        "frames_error_ts",
                                        "frames_error_syntax",
                                        "rates",
                                        "downlink_sent",
                                        "downlink_failed",
                                        "downlink_refused",
                                        "uplink_latency_n",
                                        "uplink_latency_median_ms",
                                        "uplink_latency_p99_ms",
                                        "downlink_latency_n",
                                        "downlink_latency_median_ms",
                                        "downlink_latency_p99_ms"};

void latency(MetricsText &out, JsonObject *stats, const char *which, const char *help)
{
    const std::string base = std::string("vekbs_") + which + "_latency_seconds";
    const std::string prefix = std::string(which) + "_latency_";
    out.family(base.c_str(), "summary", help);
    out.sample(base, member(stats, (prefix + "median_ms").c_str()) / 1000.0, {{"quantile", "0.5"}});
    out.sample(base, member(stats, (prefix + "p99_ms").c_str()) / 1000.0, {{"quantile", "0.99"}});
    out.sample(base + "_count", member(stats, (prefix + "n").c_str()));
}

} // namespace

void MetricsText::family(const char *name, const char *type, const char *help)
{
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void MetricsText::sample(const std::string &name, gdouble value,
                         const std::vector<std::pair<std::string, std::string>> &labels)
{
    text_ += name;
    if (!labels.empty()) {
        text_ += '{';
        for (gsize i = 0; i < labels.size(); i++)
            text_ += (i ? "," : "") + labels[i].first + "=\"" + escape(labels[i].second) + "\"";
        text_ += '}';
    }
    text_ += " " + number(value) + "\n";
}

void add_status_metrics(MetricsText &out, const std::string &status_json)
{
    g_autoptr(JsonParser) parser = json_parser_new();
    if (!json_parser_load_from_data(parser, status_json.c_str(), -1, nullptr) ||
        !JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser)))
        return;
    JsonObject *status = json_node_get_object(json_parser_get_root(parser));
    JsonObject *stats = json_object_has_member(status, "statistics")
                            ? json_object_get_object_member(status, "statistics")
                            : nullptr;
    const char *state = json_object_get_string_member_with_default(status, "state", "");
    out.family("vekbs_online", "gauge", "1 while the station runs, 0 once it has stopped");
    out.sample("vekbs_online", g_str_equal(state, "online") ? 1 : 0);
    out.family("vekbs_card_streaming", "gauge", "1 while the card's samples flow");
    out.sample("vekbs_card_streaming", member(status, "card_streaming"));
    if (stats == nullptr)
        return;

    /* Frames per bit rate, and what was dropped, by cause. */
    JsonArray *rates = json_object_has_member(stats, "rates")
                           ? json_object_get_array_member(stats, "rates")
                           : nullptr;
    const guint n_rates = rates != nullptr ? json_array_get_length(rates) : 0;
    out.family("vekbs_frames_total", "counter",
               "Frames the receiver reported to the station, per bit rate (delivered or dropped)");
    for (guint i = 0; i < n_rates; i++) {
        JsonObject *r = json_array_get_object_element(rates, i);
        out.sample("vekbs_frames_total", member(r, "frames"),
                   {{"bit_rate", number(member(r, "bit_rate"))}});
    }
    out.family("vekbs_frames_dropped_total", "counter",
               "Frames the station did not deliver, per bit rate and cause (filter: the device "
               "list or the authentication code; no_time: no time "
               "value for its samples; unreadable: a record that did not parse)");
    static const std::pair<const char *, const char *> causes[] = {
        {"frames_drop", "filter"},
        {"frames_error_ts", "no_time"},
        {"frames_error_syntax", "unreadable"}};
    for (guint i = 0; i < n_rates; i++) {
        JsonObject *r = json_array_get_object_element(rates, i);
        for (auto [m, cause] : causes)
            out.sample("vekbs_frames_dropped_total", member(r, m),
                       {{"bit_rate", number(member(r, "bit_rate"))}, {"cause", cause}});
    }
    std::set<std::string> shown = kGrouped;
    for (const Row &row : kRows) {
        shown.insert(row.member);
        if (!json_object_has_member(stats, row.member))
            continue;
        out.family(row.name, row.type, row.help);
        out.sample(row.name, member(stats, row.member) * row.scale);
    }
    out.family("vekbs_downlink_results_total", "counter",
               "Downlink requests by result: sent to the card, failed on the card, refused as "
               "malformed");
    for (const char *result : {"sent", "failed", "refused"})
        out.sample("vekbs_downlink_results_total",
                   member(stats, (std::string("downlink_") + result).c_str()),
                   {{"result", result}});
    latency(out, stats, "uplink", "From the write that carried a frame to its publication");
    latency(out, stats, "downlink", "From a downlink request's arrival to the end of its sending");

    /* Members added since: shown under their own name. */
    JsonObjectIter iter;
    const gchar *name = nullptr;
    JsonNode *node = nullptr;
    json_object_iter_init(&iter, stats);
    while (json_object_iter_next(&iter, &name, &node)) {
        if (shown.count(name) != 0 || !JSON_NODE_HOLDS_VALUE(node))
            continue;
        const std::string metric = std::string("vekbs_statistics_") + name;
        bool valid = true;
        for (char c : std::string(name))
            valid = valid && (g_ascii_isalnum(c) || c == '_');
        if (!valid)
            continue;
        out.family(metric.c_str(), "untyped",
                   ("The statistics member " + std::string(name)).c_str());
        out.sample(metric, member(stats, name));
    }
}

} // namespace vekbs
