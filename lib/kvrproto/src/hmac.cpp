/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Frame authentication codes: a CBC-MAC with AES-128 under the key shared
// with the device, over the frame header and payload (uplink) or over the
// transmitter id, sequence number and payload (downlink).
#include "kvrproto-private.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace kvrproto
{
namespace
{

constexpr guint kBlock = 16;
// The longest uplink message (6-byte header and 12-byte payload) takes two blocks.
constexpr guint kMaxBlocks = 2;

struct CipherFree {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

struct CipherInput {
    guint8 bytes[kMaxBlocks * kBlock];
    guint blocks = 0;
    guint code_length = 0;
};

// The uplink message repeated from its start over whole blocks.
bool build_uplink_input(const kvrframe *frame, CipherInput &input, GError **error)
{
    if (!payload_check(frame, error))
        return false;
    const guint message_length = kV1HeaderSize + payload_span(frame).length;
    input.blocks = message_length / (kBlock + 1) + 1;
    for (guint i = 0; i < input.blocks * kBlock; ++i)
        input.bytes[i] = frame->f.v1.data[i % message_length];
    input.code_length = v1_code_span(frame).length;
    return true;
}

void build_downlink_input(const kvrframe *frame, CipherInput &input)
{
    const kvrframe_v1_dlk *dlk = &frame->f.v1dlk;
    guint8 *in = input.bytes;
    for (guint i = 0; i < 4; ++i)
        in[i] = static_cast<guint8>(dlk->tid >> (8 * i));
    in[4] = static_cast<guint8>(dlk->seq);
    in[5] = static_cast<guint8>(dlk->seq >> 8);
    memcpy(in + 6, dlk->data, sizeof(dlk->data));
    in[14] = in[0];
    in[15] = in[1];
    input.blocks = 1;
    input.code_length = 2;
}

bool check_arguments(const kvrframe *frame, const guint8 *key, guint8 key_length,
                     const char *function, GError **error)
{
    if (!frame) {
        set_invalid_handle(error, function);
        return false;
    }
    // Exactly 16 key bytes are read: a shorter key would be read past its end.
    if (!key || key_length < KVRPROTO_HMAC_KEY_LEN) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR, "%s: invalid key (%u bytes, need %d)",
                    function, key ? key_length : 0u, KVRPROTO_HMAC_KEY_LEN);
        return false;
    }
    return true;
}

} // namespace
} // namespace kvrproto

using namespace kvrproto;

gboolean kvrproto_compute_hmac(const kvrframe *frame, const guint8 *key, guint8 key_length,
                               guint8 *code, guint8 *code_length, GError **error)
{
    if (!check_arguments(frame, key, key_length, __func__, error))
        return FALSE;
    if (!code || !code_length) {
        set_invalid_handle(error, __func__);
        return FALSE;
    }

    CipherInput input;
    switch (frame->v) {
    case KVRPROTO_VERSION_V1:
        if (!build_uplink_input(frame, input, error))
            return FALSE;
        break;
    case KVRPROTO_VERSION_V1_DLK:
        build_downlink_input(frame, input);
        break;
    default:
        set_unsupported_version(error, frame->v);
        return FALSE;
    }

    CipherPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_OOM,
                    "cannot allocate memmory for EVP cipher CTX");
        return FALSE;
    }
    static const guint8 kZeroIv[kBlock] = {};
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key, kZeroIv) != 1) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_UNKNOWN_VERSION,
                    "cannot initialize EVP cipher CTX");
        return FALSE;
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);

    // One spare block, as EVP asks of an update's output buffer.
    guint8 output[(kMaxBlocks + 1) * kBlock];
    int output_length = 0;
    const int input_length = static_cast<int>(input.blocks * kBlock);
    if (EVP_EncryptUpdate(ctx.get(), output, &output_length, input.bytes, input_length) != 1 ||
        output_length != input_length) {
        g_set_error(error, KVRPROTO_ERRDOM, KVRPROTO_ERR_ENCRYPT_PAYLOAD,
                    "cannot encrypt payload in block : %d", input.blocks);
        return FALSE;
    }
    memcpy(code, output + (input.blocks - 1) * kBlock, input.code_length);
    *code_length = static_cast<guint8>(input.code_length);
    return TRUE;
}

gboolean kvrproto_check_hmac(const kvrframe *frame, const guint8 *key, guint8 key_length,
                             GError **error)
{
    if (!check_arguments(frame, key, key_length, __func__, error))
        return FALSE;
    guint8 code[KVRPROTO_HMAC_MAX_LEN];
    guint8 code_length = 0;
    if (!kvrproto_compute_hmac(frame, key, key_length, code, &code_length, error))
        return FALSE;
    return memcmp(code_bytes(const_cast<kvrframe *>(frame)), code, code_length) == 0;
}

guint8 *kvrproto::code_bytes(kvrframe *frame)
{
    // A downlink record keeps its code in its own field.
    if (frame->v == KVRPROTO_VERSION_V1_DLK)
        return frame->f.v1dlk.hmac;
    return frame->f.v1.data + v1_code_span(frame).offset;
}
