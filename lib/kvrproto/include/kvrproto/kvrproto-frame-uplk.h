/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRPROTO_INSIDE) && !defined(KVRPROTO_COMPILATION)
#error "Only <kvrproto/kvrproto.h> can be included directly."
#endif

#include <kvrproto/kvrproto-frame-gen.h>

G_BEGIN_DECLS

/* Uplink frames (layouts v0 and v1): adds "snr", "rssi", "bit-rate" (the
 * record field kvrframe_v1.bit_rate: 100 or 600 when the receiver told, else 0;
 * always 0 on a first-version frame) and "combined" (the record field
 * kvrframe.combined: the repetitions a frame that only combining recovered came
 * from, bit n - 1 for repetition n, else 0; always 0 on a first-version frame). */
#define KVRPROTO_TYPE_FRAME_UPLK (kvrproto_frame_uplk_get_type())
KVRPROTO_EXPORT G_DECLARE_DERIVABLE_TYPE(KvrprotoFrameUplk, kvrproto_frame_uplk, KVRPROTO,
                                         FRAME_UPLK, KvrprotoFrameGen)

struct _KvrprotoFrameUplkClass {
    KvrprotoFrameGenClass parent_class;
    gpointer padding[8];
};

G_END_DECLS
