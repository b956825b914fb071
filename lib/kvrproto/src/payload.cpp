/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Payload rules of the three layouts: where the payload and the
// authentication code lie, and how a new payload resizes the frame.
#include "kvrproto-private.h"

#include <cstring>

namespace kvrproto
{

void set_unsupported_version(GError **error, guint v)
{
    g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_UNKNOWN_VERSION,
                "unsupported protocol version %d", v);
}

void set_invalid_handle(GError **error, const char *function)
{
    g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR, "%s: invalid handle", function);
}

namespace
{

void set_unsupported_length(GError **error, guint length)
{
    g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADLENGTH_PAYLOAD,
                "unsupported payload length %d", length);
}

} // namespace

gboolean payload_check(const kvrframe *frame, GError **error)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        if (frame->f.v0.data_s > kV0DataSize) {
            set_unsupported_length(error, frame->f.v0.data_s);
            return FALSE;
        }
        return TRUE;
    case KVRPROTO_VERSION_V1: {
        const guint data_s = frame->f.v1.data_s;
        if (data_s == 8)
            return TRUE;
        const auto remaining = static_cast<gint8>(data_s - (v1_lg(frame) + 8));
        if (remaining < 0) {
            g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_BADLENGTH_PAYLOAD,
                        "incoherent payload length %d", remaining);
            return FALSE;
        }
        // A frame never extends beyond its 20 data bytes; a larger count
        // would put payload and code outside the record.
        if (data_s > kV1DataSize) {
            set_unsupported_length(error, data_s);
            return FALSE;
        }
        return TRUE;
    }
    case KVRPROTO_VERSION_V1_DLK:
        if (frame->f.v1dlk.data_s > kDlkDataSize) {
            set_unsupported_length(error, frame->f.v1dlk.data_s);
            return FALSE;
        }
        return TRUE;
    default:
        set_unsupported_version(error, frame->v);
        return FALSE;
    }
}

Span payload_span(const kvrframe *frame)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        return {0, frame->f.v0.data_s};
    case KVRPROTO_VERSION_V1:
        if (frame->f.v1.data_s == 8)
            return {kV1HeaderSize, 0};
        return {kV1HeaderSize, frame->f.v1.data_s - v1_lg(frame) - 8u};
    case KVRPROTO_VERSION_V1_DLK:
        return {0, frame->f.v1dlk.data_s};
    default:
        return {};
    }
}

Span v1_code_span(const kvrframe *frame)
{
    if (frame->f.v1.data_s == 8)
        return {kV1HeaderSize, 2};
    const guint lg = v1_lg(frame);
    return {frame->f.v1.data_s - lg - 2u, lg + 2u};
}

gboolean payload_read(const kvrframe *frame, guint8 *out, guint8 *length, GError **error)
{
    *length = 0;
    if (!payload_check(frame, error))
        return FALSE;
    const Span span = payload_span(frame);
    const guint8 *data = frame->v == KVRPROTO_VERSION_V0   ? frame->f.v0.data
                         : frame->v == KVRPROTO_VERSION_V1 ? frame->f.v1.data
                                                           : frame->f.v1dlk.data;
    memcpy(out, data + span.offset, span.length);
    *length = static_cast<guint8>(span.length);
    return TRUE;
}

namespace
{

// Length code of a first-version frame, kept in the low nibble of ph.
guint8 v0_length_code(guint8 length)
{
    if (length < 3)
        return length;
    return static_cast<guint8>((length / 2 + 1) & 0xF);
}

void store_v1(kvrframe_v1 *v1, const guint8 *payload, guint8 length)
{
    // Payloads grow to the next size class (4, 8 or 12 bytes); the padding
    // becomes part of the code, whose length is 2 + lg.
    guint rounded = length <= 1 ? length : (length + 3u) & ~3u;
    const guint lg = rounded - length;
    if (length > 0)
        memcpy(v1->data + kV1HeaderSize, payload, length);
    // What lay after the old payload (its code) no longer belongs to the frame.
    memset(v1->data + kV1HeaderSize + length, 0, kV1DataSize - kV1HeaderSize - length);
    v1->data[0] = static_cast<guint8>((v1->data[0] & 0x3F) | (lg << 6));
    v1->frame_length = static_cast<guint8>(rounded + 14);
    v1->data_s = static_cast<guint8>(rounded + 8);
}

} // namespace

gboolean payload_store(kvrframe *frame, const guint8 *payload, guint8 length, const char *caller,
                       GError **error)
{
    guint limit = 0;
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        limit = kV0DataSize;
        break;
    case KVRPROTO_VERSION_V1:
        limit = kV1PayloadMax;
        break;
    case KVRPROTO_VERSION_V1_DLK:
        limit = kDlkDataSize;
        break;
    default:
        set_unsupported_version(error, frame->v);
        return FALSE;
    }
    if (length > limit) {
        set_unsupported_length(error, length);
        return FALSE;
    }
    if (length > 0 && !payload) {
        set_invalid_handle(error, caller);
        return FALSE;
    }

    switch (frame->v) {
    case KVRPROTO_VERSION_V0: {
        kvrframe_v0 *v0 = &frame->f.v0;
        if (length > 0)
            memcpy(v0->data, payload, length);
        memset(v0->data + length, 0, kV0DataSize - length);
        v0->data_s = length;
        // The nibble describes the current payload only.
        v0->ph = static_cast<guint8>((v0->ph & 0xF0) | v0_length_code(length));
        break;
    }
    case KVRPROTO_VERSION_V1:
        store_v1(&frame->f.v1, payload, length);
        break;
    default: {
        kvrframe_v1_dlk *dlk = &frame->f.v1dlk;
        if (length > 0)
            memcpy(dlk->data, payload, length);
        memset(dlk->data + length, 0, kDlkDataSize - length);
        dlk->data_s = length;
        break;
    }
    }
    return TRUE;
}

} // namespace kvrproto
