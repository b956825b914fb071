/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRPROTO_INSIDE) && !defined(KVRPROTO_COMPILATION)
#error "Only <kvrproto/kvrproto.h> can be included directly."
#endif

#include <kvrproto/kvrproto-frame-uplk.h>

G_BEGIN_DECLS

/* Current uplink frame (v = 2): adds "frame-seq", "oob", "length", "raw",
 * "lg", "res", "ack", "seq" and "hmac". */
#define KVRPROTO_TYPE_FRAME_V1 (kvrproto_frame_v1_get_type())
KVRPROTO_EXPORT G_DECLARE_DERIVABLE_TYPE(KvrprotoFrameV1, kvrproto_frame_v1, KVRPROTO, FRAME_V1,
                                         KvrprotoFrameUplk)

struct _KvrprotoFrameV1Class {
    KvrprotoFrameUplkClass parent_class;
    gpointer padding[8];
};

KVRPROTO_EXPORT KvrprotoFrameV1 *kvrproto_frame_v1_new(void);
KVRPROTO_EXPORT KvrprotoFrameV1 *kvrproto_frame_v1_new_with_options(const gchar *first_property,
                                                                    ...) G_GNUC_NULL_TERMINATED;
KVRPROTO_EXPORT void kvrproto_frame_v1_unref(KvrprotoFrameV1 *frame);

/**
 * kvrproto_frame_v1_compute_hmac:
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
KVRPROTO_EXPORT gboolean kvrproto_frame_v1_compute_hmac(KvrprotoFrameV1 *frame, const guint8 *key,
                                                        guint8 key_length, guint8 *code,
                                                        guint8 *code_length, GError **error);
/**
 * kvrproto_frame_v1_check_hmac:
 * @frame: a frame
 * @key: (array length=key_length): the 16-byte key
 * @key_length: the key's length
 * @error: the reason of a failure
 *
 * Returns: TRUE when the code stored in the frame matches; FALSE on mismatch
 *   (no error) or failure.
 */
KVRPROTO_EXPORT gboolean kvrproto_frame_v1_check_hmac(KvrprotoFrameV1 *frame, const guint8 *key,
                                                      guint8 key_length, GError **error);
/**
 * kvrproto_frame_v1_update_hmac:
 * @frame: a frame
 * @key: (array length=key_length): the 16-byte key
 * @key_length: the key's length
 * @error: the reason of a failure
 *
 * Computes the code and stores it right after the payload.
 */
KVRPROTO_EXPORT gboolean kvrproto_frame_v1_update_hmac(KvrprotoFrameV1 *frame, const guint8 *key,
                                                       guint8 key_length, GError **error);

G_END_DECLS
