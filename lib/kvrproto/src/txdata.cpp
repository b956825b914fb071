/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The downlink text line TXDATA_V1.
#include "kvrproto-private.h"
#include "scan.h"

#include <kvrconf/kvrconf.h>

#include <cstring>

namespace kvrproto
{
namespace
{

// Longest data and code fields a downlink line may carry.
constexpr std::size_t kDownlinkDataFieldMax = 31;
constexpr std::size_t kCodeFieldMax = 4;

// Copies a field into a terminated buffer of @capacity bytes; FALSE if it does not fit.
bool terminate_field(std::string_view field, char *text, std::size_t capacity)
{
    if (field.size() >= capacity)
        return false;
    memcpy(text, field.data(), field.size());
    text[field.size()] = '\0';
    return true;
}

bool convert_code(std::string_view field, kvrframe_v1_dlk *dlk, const char *line, GError **error)
{
    char text[kCodeFieldMax + 1];
    if (!terminate_field(field, text, sizeof(text))) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse FDATA hmac field, invalid format: %s (hmac field longer than "
                    "%zu characters)",
                    line, kCodeFieldMax);
        return false;
    }
    guint32 size = 0;
    g_autoptr(GError) local_error = nullptr;
    if (!kvrConvertStrToHex(dlk->hmac, text, sizeof(dlk->hmac), &size, &local_error)) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse FDATA hmac field, invalid format: %s (%s)", line,
                    local_error ? local_error->message : "");
        return false;
    }
    if (size != sizeof(dlk->hmac)) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT, "invalid hmac length (%u)",
                    size);
        return false;
    }
    return true;
}

bool convert_data(std::string_view field, kvrframe_v1_dlk *dlk, const char *line, GError **error)
{
    char text[kDownlinkDataFieldMax + 1];
    if (!terminate_field(field, text, sizeof(text))) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse FDATA data field, invalid format: %s (data field longer than "
                    "%zu characters)",
                    line, kDownlinkDataFieldMax);
        return false;
    }
    guint32 size = 0;
    g_autoptr(GError) local_error = nullptr;
    if (!kvrConvertStrToHex(dlk->data, text, kDlkDataSize, &size, &local_error)) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse FDATA data field, invalid format: %s (%s)", line,
                    local_error ? local_error->message : "");
        return false;
    }
    dlk->data_s = static_cast<guint8>(size);
    return true;
}

bool parse_dlk(const char *line, kvrframe *frame, GError **error)
{
    gint64 timestamp = 0;
    guint64 mode = 0, ext = 0, seq = 0, tid = 0;
    gfloat slot = 0, freq = 0, power = 0;
    std::string_view code, data;
    FieldConversions fields(line + strlen("TXDATA_V1 "));
    fields.then([&](std::string_view field) { return parse_timestamp(field, timestamp); })
        .then([&](std::string_view field) { return parse_decimal(field, G_MAXUINT32, mode); })
        .then([&](std::string_view field) { return parse_float(field, slot); })
        .then([&](std::string_view field) { return parse_float(field, freq); })
        .then([&](std::string_view field) { return parse_float(field, power); })
        .then([&](std::string_view field) { return parse_decimal(field, G_MAXUINT32, ext); })
        .then([&](std::string_view field) { return parse_decimal(field, G_MAXUINT16, seq); })
        .then([&](std::string_view field) { return parse_hex(field, G_MAXUINT32, 0, tid); })
        .text(code)
        .text(data);
    if (!fields.complete()) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT,
                    "cannot parse TXDATA_V1, invalid format (%d!=10): %s", fields.count(), line);
        return false;
    }
    kvrframe_v1_dlk *dlk = &frame->f.v1dlk;
    if (!convert_code(code, dlk, line, error) || !convert_data(data, dlk, line, error))
        return false;
    frame->v = KVRPROTO_VERSION_V1_DLK;
    dlk->timestamp = timestamp;
    dlk->mode = static_cast<guint32>(mode);
    dlk->slot = slot;
    dlk->freq = freq;
    dlk->power = power;
    dlk->ext = static_cast<guint8>(ext & 1);
    dlk->seq = static_cast<guint16>(seq);
    dlk->tid = static_cast<guint32>(tid);
    return true;
}

} // namespace
} // namespace kvrproto

using namespace kvrproto;

gboolean kvrproto_txdata_parse(const gchar *line, kvrframe **frame, GError **error)
{
    FramePtr record = begin_parse(line, frame, __func__, error);
    if (!record)
        return FALSE;
    if (!starts_with(line, "TXDATA_V1 ")) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT, "unknown TXDATA header: %s",
                    line);
        return FALSE;
    }
    if (!parse_dlk(line, record.get(), error))
        return FALSE;
    if (frame)
        *frame = record.release();
    return TRUE;
}

gchar *kvrproto_txdata_to_string(const kvrframe *frame, GError **error)
{
    if (!frame) {
        set_invalid_handle(error, __func__);
        return nullptr;
    }
    if (!(frame->v & KVRPROTO_VERSION_DLK_BIT)) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADFORMAT, "not a downlink frame 0x%x",
                    frame->v);
        return nullptr;
    }
    if (frame->v != KVRPROTO_VERSION_V1_DLK) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_UNKNOWN_VERSION,
                    "unsupported protocol version 0x%x", frame->v);
        return nullptr;
    }
    if (!payload_check(frame, error))
        return nullptr;
    const kvrframe_v1_dlk *dlk = &frame->f.v1dlk;
    LineWriter writer;
    writer.put("TXDATA_V1 ");
    writer.put_decimal(static_cast<guint64>(dlk->timestamp));
    writer.put_char(' ');
    writer.put_decimal(dlk->mode);
    writer.put_char(' ');
    writer.put_fixed(dlk->slot, 2);
    writer.put_char(' ');
    writer.put_fixed(dlk->freq, 0);
    writer.put_char(' ');
    writer.put_fixed(dlk->power, 2);
    writer.put_char(' ');
    writer.put_decimal(dlk->ext);
    writer.put_char(' ');
    writer.put_decimal(dlk->seq);
    writer.put_char(' ');
    writer.put_hex(dlk->tid, true);
    writer.put_char(' ');
    writer.put_hex_bytes(dlk->hmac, sizeof(dlk->hmac), true);
    writer.put_char(' ');
    if (dlk->data_s == 0)
        writer.put_char('-');
    else
        writer.put_hex_bytes(dlk->data, dlk->data_s, true);
    gchar *line = writer.release();
    if (!line)
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_OOM, "cannot allocate memory for line");
    return line;
}
