/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRPROTO_INSIDE) && !defined(KVRPROTO_COMPILATION)
#error "Only <kvrproto/kvrproto.h> can be included directly."
#endif

#include <kvrproto/kvrproto-frame-uplk.h>

G_BEGIN_DECLS

/* First-version uplink frame (v = 1): adds "ph". */
#define KVRPROTO_TYPE_FRAME_V0 (kvrproto_frame_v0_get_type())
KVRPROTO_EXPORT G_DECLARE_FINAL_TYPE(KvrprotoFrameV0, kvrproto_frame_v0, KVRPROTO, FRAME_V0,
                                     KvrprotoFrameUplk)

KVRPROTO_EXPORT KvrprotoFrameV0 *kvrproto_frame_v0_new(void);
KVRPROTO_EXPORT KvrprotoFrameV0 *kvrproto_frame_v0_new_with_options(const gchar *first_property,
                                                                    ...) G_GNUC_NULL_TERMINATED;
KVRPROTO_EXPORT void kvrproto_frame_v0_unref(KvrprotoFrameV0 *frame);

G_END_DECLS
