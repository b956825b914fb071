/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRPROTO_INSIDE) && !defined(KVRPROTO_COMPILATION)
#error "Only <kvrproto/kvrproto.h> can be included directly."
#endif

#include <kvrproto/kvrproto-frame-v1.h>

G_BEGIN_DECLS

/* Out-of-band uplink frame (v = 2, oob = 1): adds the read-only device
 * reports "temperature", "vdd-tx" and "vdd-idle". */
#define KVRPROTO_TYPE_FRAME_V1_OOB (kvrproto_frame_v1_oob_get_type())
KVRPROTO_EXPORT G_DECLARE_FINAL_TYPE(KvrprotoFrameV1Oob, kvrproto_frame_v1_oob, KVRPROTO,
                                     FRAME_V1_OOB, KvrprotoFrameV1)

KVRPROTO_EXPORT void kvrproto_frame_v1_oob_unref(KvrprotoFrameV1Oob *frame);

G_END_DECLS
