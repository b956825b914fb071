/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRPROTO_INSIDE) && !defined(KVRPROTO_COMPILATION)
#error "Only <kvrproto/kvrproto.h> can be included directly."
#endif

#include <kvrproto/kvrproto-frame.h>

G_BEGIN_DECLS

/* Longest authentication code, in bytes: callers provide this much room. */
#define KVRPROTO_HMAC_MAX_LEN 5
/* AES-128 key length. */
#define KVRPROTO_HMAC_KEY_LEN 16

/**
 * kvrproto_compute_hmac: (skip)
 *
 * Computes the AES-128-CBC authentication code of an uplink (v = 2) or
 * downlink (v = 0x42) record under the 16-byte @key.
 */
KVRPROTO_EXPORT gboolean kvrproto_compute_hmac(const kvrframe *frame, const guint8 *key,
                                               guint8 key_length, guint8 *code, guint8 *code_length,
                                               GError **error);
/**
 * kvrproto_check_hmac: (skip)
 *
 * TRUE when the code stored in the record equals the computed one; FALSE when
 * it differs (no error) or when computing failed (with an error).
 */
KVRPROTO_EXPORT gboolean kvrproto_check_hmac(const kvrframe *frame, const guint8 *key,
                                             guint8 key_length, GError **error);

G_END_DECLS
