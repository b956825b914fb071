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

/* Authentication code of the frame (room for 5 bytes in @code). */
KVRPROTO_EXPORT gboolean kvrproto_frame_v1_compute_hmac(KvrprotoFrameV1 *frame, const guint8 *key,
                                                        guint8 key_length, guint8 *code,
                                                        guint8 *code_length, GError **error);
/* TRUE when the code stored in the frame matches; FALSE on mismatch (no error) or failure. */
KVRPROTO_EXPORT gboolean kvrproto_frame_v1_check_hmac(KvrprotoFrameV1 *frame, const guint8 *key,
                                                      guint8 key_length, GError **error);
/* Computes the code and stores it right after the payload. */
KVRPROTO_EXPORT gboolean kvrproto_frame_v1_update_hmac(KvrprotoFrameV1 *frame, const guint8 *key,
                                                       guint8 key_length, GError **error);

G_END_DECLS
