/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The public header compiled as C11: its record layout must be the one the
 * C++ sources see. */
#include <kvrproto/kvrproto.h>

#include <stddef.h>

int kvrproto_c_layout(size_t *offsets, size_t count);

int kvrproto_c_layout(size_t *offsets, size_t count)
{
    const size_t layout[] = {
        sizeof(kvrframe),
        offsetof(kvrframe, v),
        offsetof(kvrframe, combined),
        offsetof(kvrframe_v0, ph),
        offsetof(kvrframe_v0, timestamp),
        offsetof(kvrframe_v1, data),
        offsetof(kvrframe_v1, bit_rate),
        offsetof(kvrframe_v1, timestamp),
        offsetof(kvrframe_v1_dlk, hmac),
        offsetof(kvrframe_v1_dlk, timestamp),
        sizeof(kvrframe_v1_layout),
    };
    if (count != sizeof(layout) / sizeof(layout[0]))
        return -1;
    /* The record's automatic cleanup is usable from C. */
    g_autoptr(kvrframe) frame = kvrproto_alloc_frame();
    if (frame == NULL)
        return -1;
    for (size_t i = 0; i < count; ++i)
        offsets[i] = layout[i];
    return 0;
}
