/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The frame record: allocation, its line whatever its direction, and the
// transmitter identifier of uplink records.
#include "kvrproto-private.h"

#include <cstddef>

// Hosts rely on this layout; keep it identical to what they compiled against.
static_assert(sizeof(kvrframe_v1_layout) == 20);
static_assert(offsetof(kvrframe_v1_layout, seq_lo) == 1);
static_assert(offsetof(kvrframe_v1_layout, tid) == 2);
static_assert(offsetof(kvrframe_v1_layout, data) == 6);
static_assert(offsetof(kvrframe_v0, data) == 4 && offsetof(kvrframe_v0, freq) == 16 &&
              offsetof(kvrframe_v0, timestamp) == 32);
static_assert(offsetof(kvrframe_v1, data) == 4 && offsetof(kvrframe_v1, freq) == 24 &&
              offsetof(kvrframe_v1, bit_rate) == 36 && offsetof(kvrframe_v1, timestamp) == 40);
static_assert(offsetof(kvrframe_v1_dlk, ext) == 16 && offsetof(kvrframe_v1_dlk, seq) == 18 &&
              offsetof(kvrframe_v1_dlk, tid) == 20 && offsetof(kvrframe_v1_dlk, data_s) == 24 &&
              offsetof(kvrframe_v1_dlk, hmac) == 33 && offsetof(kvrframe_v1_dlk, timestamp) == 40);
static_assert(offsetof(kvrframe, v) == 48 && offsetof(kvrframe, combined) == 49 &&
              sizeof(kvrframe) == 56);

using namespace kvrproto;

gchar *kvrproto_to_string(const kvrframe *frame, GError **error)
{
    if (!frame) {
        set_invalid_handle(error, __func__);
        return nullptr;
    }
    if (frame->v & KVRPROTO_VERSION_DLK_BIT)
        return kvrproto_txdata_to_string(frame, error);
    return kvrproto_fdata_to_string(frame, error);
}

namespace kvrproto
{

FramePtr begin_parse(const gchar *line, kvrframe **frame, const char *function, GError **error)
{
    if (frame)
        *frame = nullptr;
    if (!line) {
        set_invalid_handle(error, function);
        return nullptr;
    }
    FramePtr record(kvrproto_alloc_frame());
    if (!record)
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_OOM, "cannot allocate memory for packet");
    return record;
}

} // namespace kvrproto

kvrframe *kvrproto_alloc_frame(void)
{
    return g_try_new0(kvrframe, 1);
}

void kvrproto_free_frame(kvrframe *frame)
{
    g_free(frame);
}

guint32 kvrproto_get_tstid(const kvrframe *frame, GError **error)
{
    if (!frame) {
        set_invalid_handle(error, __func__);
        return 0;
    }
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        return frame->f.v0.tid;
    case KVRPROTO_VERSION_V1: {
        const guint8 *tid = frame->f.v1.data + 2;
        return guint32{tid[0]} | guint32{tid[1]} << 8 | guint32{tid[2]} << 16 |
               guint32{tid[3]} << 24;
    }
    default:
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_UNKNOWN_VERSION,
                    "unsupported protocol version 0x%02x", frame->v);
        return 0;
    }
}
