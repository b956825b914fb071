/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The uplink text lines: FDATA (first protocol version) and FDATA_V1.
#include "kvrproto-private.h"
#include "scan.h"

#include <kvrconf/kvrconf.h>

#include <cstring>

namespace kvrproto
{
namespace
{

// Longest data field an uplink line may carry.
constexpr std::size_t kUplinkDataFieldMax = 55;

struct UplinkFields {
    std::string_view data;
    gint64 timestamp = 0;
    gfloat freq = 0;
    gfloat snr = 0;
    gfloat rssi = 0;
};

// The four fields that end both uplink lines.
void read_measurements(FieldConversions &fields, UplinkFields &out)
{
    fields.then([&](std::string_view field) { return parse_timestamp(field, out.timestamp); })
        .then([&](std::string_view field) { return parse_float(field, out.freq); })
        .then([&](std::string_view field) { return parse_float(field, out.snr); })
        .then([&](std::string_view field) { return parse_float(field, out.rssi); });
}

// Decodes the data field into @data; on failure reports @what with the line.
bool convert_data(std::string_view field, guint8 *data, guint max_bytes, guint8 *size,
                  const char *what, const char *line, GError **error)
{
    if (field.size() > kUplinkDataFieldMax) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse %s data field, invalid format: %s (data field longer than %zu "
                    "characters)",
                    what, line, kUplinkDataFieldMax);
        return false;
    }
    char text[kUplinkDataFieldMax + 1];
    memcpy(text, field.data(), field.size());
    text[field.size()] = '\0';
    guint32 converted = 0;
    g_autoptr(GError) local_error = nullptr;
    if (!kvrConvertStrToHex(data, text, max_bytes, &converted, &local_error)) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse %s data field, invalid format: %s (%s)", what, line,
                    local_error ? local_error->message : "");
        return false;
    }
    *size = static_cast<guint8>(converted);
    return true;
}

bool parse_v0(const char *line, kvrframe *frame, GError **error)
{
    guint64 ph = 0, tid = 0;
    gint64 ignored = 0;
    UplinkFields out;
    FieldConversions fields(line + strlen("FDATA "));
    fields.literal("0")
        .then([&](std::string_view field) { return parse_hex(field, 0xFF, 2, ph); })
        .then([&](std::string_view field) { return parse_hex(field, G_MAXUINT32, 0, tid); })
        .text(out.data)
        .then([&](std::string_view field) {
            return parse_signed(field, G_MININT32, G_MAXINT32, ignored);
        });
    read_measurements(fields, out);
    if (!fields.complete()) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse FDATA, invalid format (%d!=8): %s", fields.count(), line);
        return false;
    }
    kvrframe_v0 *v0 = &frame->f.v0;
    if (!convert_data(out.data, v0->data, kV0DataSize, &v0->data_s, "FDATA", line, error))
        return false;
    frame->v = KVRPROTO_VERSION_V0;
    v0->ph = static_cast<guint8>(ph);
    v0->tid = static_cast<guint16>(tid);
    v0->timestamp = out.timestamp;
    v0->freq = out.freq;
    v0->snr = out.snr;
    v0->rssi = out.rssi;
    return true;
}

bool parse_v1(const char *line, kvrframe *frame, GError **error)
{
    guint64 seq = 0, length = 0, oob = 0;
    UplinkFields out;
    FieldConversions fields(line + strlen("FDATA_V1 "));
    fields.then([&](std::string_view field) { return parse_decimal(field, G_MAXUINT32, seq); })
        .then([&](std::string_view field) { return parse_decimal(field, G_MAXUINT32, length); })
        .then([&](std::string_view field) { return parse_decimal(field, G_MAXUINT32, oob); })
        .text(out.data);
    read_measurements(fields, out);
    if (!fields.complete()) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse FDATA_V1, invalid format (%d!=8): %s", fields.count(), line);
        return false;
    }
    kvrframe_v1 *v1 = &frame->f.v1;
    if (!convert_data(out.data, v1->data, kV1DataSize, &v1->data_s, "FDATA_V1", line, error))
        return false;
    frame->v = KVRPROTO_VERSION_V1;
    v1->seq = static_cast<guint8>(seq);
    v1->frame_length = static_cast<guint8>(length);
    v1->oob = static_cast<guint8>(oob);
    v1->timestamp = out.timestamp;
    v1->freq = out.freq;
    v1->snr = out.snr;
    v1->rssi = out.rssi;
    return true;
}

void put_data(LineWriter &writer, const guint8 *data, guint size, bool upper)
{
    if (size == 0)
        writer.put_char('-');
    else
        writer.put_hex_bytes(data, size, upper);
}

void put_measurements(LineWriter &writer, gint64 timestamp, gfloat freq, gfloat snr, gfloat rssi)
{
    writer.put_char(' ');
    writer.put_decimal(static_cast<guint64>(timestamp));
    writer.put_char(' ');
    writer.put_fixed(freq, 0);
    writer.put_char(' ');
    writer.put_fixed(snr, 2, 4);
    writer.put_char(' ');
    writer.put_fixed(rssi, 2);
}

gchar *release_line(const LineWriter &writer, GError **error)
{
    gchar *line = writer.release();
    if (!line)
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_OOM, "cannot allocate memory for line");
    return line;
}

} // namespace

} // namespace kvrproto

using namespace kvrproto;

gboolean kvrproto_fdata_parse(const gchar *line, kvrframe **frame, GError **error)
{
    FramePtr record = begin_parse(line, frame, __func__, error);
    if (!record)
        return FALSE;
    bool parsed = false;
    if (starts_with(line, "FDATA ")) {
        parsed = parse_v0(line, record.get(), error);
    } else if (starts_with(line, "FDATA_V1 ")) {
        parsed = parse_v1(line, record.get(), error);
    } else {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT, "unknown FDATA header: %s",
                    line);
    }
    if (!parsed)
        return FALSE;
    if (frame)
        *frame = record.release();
    return TRUE;
}

gchar *kvrproto_fdata_to_string(const kvrframe *frame, GError **error)
{
    if (!frame) {
        set_invalid_handle(error, __func__);
        return nullptr;
    }
    LineWriter writer;
    switch (frame->v) {
    case KVRPROTO_VERSION_V0: {
        const kvrframe_v0 *v0 = &frame->f.v0;
        if (!payload_check(frame, error))
            return nullptr;
        writer.put("FDATA 0 ");
        if (v0->ph < 0x10)
            writer.put_char('0');
        writer.put_hex(v0->ph, false);
        writer.put_char(' ');
        writer.put_hex(v0->tid, false);
        writer.put_char(' ');
        put_data(writer, v0->data, v0->data_s, false);
        writer.put(" 1");
        put_measurements(writer, v0->timestamp, v0->freq, v0->snr, v0->rssi);
        break;
    }
    case KVRPROTO_VERSION_V1: {
        const kvrframe_v1 *v1 = &frame->f.v1;
        // The line carries data_s bytes as they are; only the capacity bounds them.
        if (v1->data_s > kV1DataSize) {
            g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADLENGTH_PAYLOAD,
                        "unsupported payload length %d", v1->data_s);
            return nullptr;
        }
        writer.put("FDATA_V1 ");
        writer.put_decimal(v1->seq);
        writer.put_char(' ');
        writer.put_decimal(v1->frame_length);
        writer.put_char(' ');
        writer.put_decimal(v1->oob);
        writer.put_char(' ');
        put_data(writer, v1->data, v1->data_s, true);
        put_measurements(writer, v1->timestamp, v1->freq, v1->snr, v1->rssi);
        break;
    }
    default:
        set_unsupported_version(error, frame->v);
        return nullptr;
    }
    return release_line(writer, error);
}
