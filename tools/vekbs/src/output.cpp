/* Frames and statistics as vekbs prints them. */
#include <json-glib/json-glib.h>

#include "vekbs.h"

namespace vekbs
{
namespace
{

std::string hex(const guint8 *bytes, gsize n)
{
    static const gchar digits[] = "0123456789abcdef";
    std::string text;
    for (gsize i = 0; i < n; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

std::string to_json(JsonBuilder *builder)
{
    g_autoptr(JsonNode) root = json_builder_get_root(builder);
    g_autoptr(JsonGenerator) generator = json_generator_new();
    json_generator_set_root(generator, root);
    g_autofree gchar *text = json_generator_to_data(generator, nullptr);
    return text;
}

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

} // namespace

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
        add_string(b, "bytes", hex(f.data, MIN(f.data_s, sizeof(f.data))));
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
    add_string(b, "payload", hex(f.data + 6, payload));
    add_string(b, "bytes", hex(f.data, covered));
    add_double(b, "freq_hz", f.freq);
    add_double(b, "snr_db", f.snr);
    add_double(b, "rssi_db", f.rssi);
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
        add_int(b, "frames", static_cast<gint64>(s.frames));
        add_int(b, "frames_drop", static_cast<gint64>(s.dropped));
        add_int(b, "frames_error_ts", static_cast<gint64>(s.ts_errors));
        add_int(b, "frames_error_syntax", static_cast<gint64>(s.syntax_errors));
        json_builder_end_object(b);
    }
    json_builder_end_array(b);
    json_builder_end_object(b);
    return to_json(b);
}

} // namespace vekbs
