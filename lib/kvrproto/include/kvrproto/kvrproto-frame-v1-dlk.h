/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRPROTO_INSIDE) && !defined(KVRPROTO_COMPILATION)
#error "Only <kvrproto/kvrproto.h> can be included directly."
#endif

#include <kvrproto/kvrproto-frame-gen.h>

G_BEGIN_DECLS

/* Downlink frame (v = 0x42): adds "mode", "slot", "power", "seq", "ext" and "hmac". */
#define KVRPROTO_TYPE_FRAME_V1_DLK (kvrproto_frame_v1_dlk_get_type())
KVRPROTO_EXPORT G_DECLARE_FINAL_TYPE(KvrprotoFrameV1Dlk, kvrproto_frame_v1_dlk, KVRPROTO,
                                     FRAME_V1_DLK, KvrprotoFrameGen)

KVRPROTO_EXPORT KvrprotoFrameV1Dlk *kvrproto_frame_v1_dlk_new(void);
KVRPROTO_EXPORT KvrprotoFrameV1Dlk *
kvrproto_frame_v1_dlk_new_with_options(const gchar *first_property, ...) G_GNUC_NULL_TERMINATED;
KVRPROTO_EXPORT void kvrproto_frame_v1_dlk_unref(KvrprotoFrameV1Dlk *frame);

/**
 * kvrproto_frame_v1_dlk_compute_hmac:
 * @frame: a frame
 * @key: (array length=key_length): the 16-byte key
 * @key_length: the key's length
 * @code: (out caller-allocates) (array fixed-size=5): room for
 *   KVRPROTO_HMAC_MAX_LEN bytes, which receives the code
 * @code_length: (out): the code's length
 * @error: the reason of a failure
 *
 * Computes the authentication code of the frame.
 */
KVRPROTO_EXPORT gboolean kvrproto_frame_v1_dlk_compute_hmac(KvrprotoFrameV1Dlk *frame,
                                                            const guint8 *key, guint8 key_length,
                                                            guint8 *code, guint8 *code_length,
                                                            GError **error);
/**
 * kvrproto_frame_v1_dlk_update_hmac:
 * @frame: a frame
 * @key: (array length=key_length): the 16-byte key
 * @key_length: the key's length
 * @error: the reason of a failure
 *
 * Computes the code and stores it in the record's hmac field.
 */
KVRPROTO_EXPORT gboolean kvrproto_frame_v1_dlk_update_hmac(KvrprotoFrameV1Dlk *frame,
                                                           const guint8 *key, guint8 key_length,
                                                           GError **error);

G_END_DECLS
