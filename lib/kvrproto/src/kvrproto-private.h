/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Internal helpers shared by the record, object and authentication sources.
#pragma once

#include <kvrproto/kvrproto.h>

#include <cstdarg>
#include <memory>

namespace kvrproto
{

// Payload capacity of each layout.
inline constexpr guint kV0DataSize = sizeof(kvrframe_v0::data);
inline constexpr guint kV1DataSize = sizeof(kvrframe_v1::data);
inline constexpr guint kDlkDataSize = sizeof(kvrframe_v1_dlk::data);
// Longest payload a current uplink frame carries (6-byte header, code of 2 or more bytes).
inline constexpr guint kV1PayloadMax = 12;
// Offset of the payload in the current uplink frame layout.
inline constexpr guint kV1HeaderSize = 6;

struct FrameFree {
    void operator()(kvrframe *frame) const { kvrproto_free_frame(frame); }
};
using FramePtr = std::unique_ptr<kvrframe, FrameFree>;

// A byte range inside the data bytes of a record's layout.
struct Span {
    guint offset = 0;
    guint length = 0;
};

void set_unsupported_version(GError **error, guint v);
void set_invalid_handle(GError **error, const char *function);

// Common start of every line parser: clears the caller's out-pointer and
// hands back a fresh record, or NULL with the error set for a missing line
// (named after @function) or a failed allocation.
FramePtr begin_parse(const gchar *line, kvrframe **frame, const char *function, GError **error);

// Bits of byte 0 of the current uplink frame layout.
inline guint v1_lg(const kvrframe *frame)
{
    return frame->f.v1.data[0] >> 6;
}

// Verifies that data_s of the record is coherent with its layout, so that
// its payload and code lie inside the record's data bytes.
gboolean payload_check(const kvrframe *frame, GError **error);
// Where the payload of a checked record lies in its data bytes.
Span payload_span(const kvrframe *frame);
// Where the authentication code of a checked current uplink record lies.
Span v1_code_span(const kvrframe *frame);
// Copies the payload (at most 12 bytes) into @out.
gboolean payload_read(const kvrframe *frame, guint8 *out, guint8 *length, GError **error);
// Stores a payload following the rules of the record's layout; a missing
// payload is reported as an invalid handle of @caller, the C entry point.
gboolean payload_store(kvrframe *frame, const guint8 *payload, guint8 length, const char *caller,
                       GError **error);

// Where the authentication code of a record lies (its code span for an uplink
// record, its own field for a downlink one); the record passed the payload check.
guint8 *code_bytes(kvrframe *frame);

// What the C entry points of every frame class share: each class names its
// type and the entry point (for the invalid-handle error), the helper does the rest.
GObject *frame_new_valist(GType type, const gchar *first_property, va_list args);
void frame_unref(gpointer frame);
gboolean frame_compute_code(gpointer frame, GType type, const char *function, const guint8 *key,
                            guint8 key_length, guint8 *code, guint8 *code_length, GError **error);
gboolean frame_check_code(gpointer frame, GType type, const char *function, const guint8 *key,
                          guint8 key_length, GError **error);
// Computes the code of the frame's record and stores it in place.
gboolean frame_update_code(gpointer frame, GType type, const char *function, const guint8 *key,
                           guint8 key_length, GError **error);

} // namespace kvrproto

// The record owned by a frame object.
kvrframe *kvrproto_frame_gen_record(KvrprotoFrameGen *frame);
