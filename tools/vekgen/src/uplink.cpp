/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Signed uplink messages: the covered bytes a device of the network sends,
 * with the authentication code computed by the frame protocol library under
 * the network's key. */
#include "vekgen/vekgen.h"

#include <cstring>

#include <kvrproto/kvrproto.h>

#include "iqhub_key.h"

namespace
{
constexpr guint kMaxSeq = 4095;
constexpr guint kOobCoveredLen = 16;
} // namespace

gboolean vekgen_frame_set_uplink(VekgenFrame *frame, guint32 device_id, guint16 seq,
                                 const guint8 *payload, gsize payload_len, gboolean forge,
                                 GError **error)
{
    if (payload_len > VEKGEN_MAX_PAYLOAD || seq > kMaxSeq) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "a signed message carries a payload of at most %u bytes and a sequence "
                    "number of at most %u (got %zu bytes, %u)",
                    VEKGEN_MAX_PAYLOAD, kMaxSeq, payload_len, seq);
        return FALSE;
    }
    g_autoptr(KvrprotoFrameV1) message = kvrproto_frame_v1_new_with_options(
        "tid", static_cast<guint>(device_id), "seq", static_cast<guint>(seq), nullptr);
    if (!kvrproto_frame_gen_set_payload(KVRPROTO_FRAME_GEN(message), payload,
                                        static_cast<guint8>(payload_len), error))
        return FALSE;
    guint8 key[IQHUB_AUTH_KEY_LEN];
    iqhub_auth_key(key);
    if (!kvrproto_frame_v1_update_hmac(message, key, sizeof(key), error))
        return FALSE;
    g_autoptr(kvrframe) record = kvrproto_frame_to_struct(KVRPROTO_FRAME_GEN(message));
    const guint8 covered = record->f.v1.data_s;
    if (frame->oob && covered != kOobCoveredLen) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "an out-of-band frame covers 16 bytes: its payload must be 5 to 8 bytes");
        return FALSE;
    }
    frame->covered_len = covered;
    std::memcpy(frame->bytes, record->f.v1.data, covered);
    if (forge)
        frame->bytes[covered - 1] ^= 0xff; /* the last code byte */
    frame->uplink = TRUE;
    frame->device_id = device_id;
    frame->seq = seq;
    frame->forged = forge;
    return TRUE;
}
