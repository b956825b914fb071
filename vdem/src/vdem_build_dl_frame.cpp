/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Downlink air frame: preamble and sync, then a 15-byte block of BCH parity,
 * payload, authentication code and CRC-8, whitened with PN9. */
#include <string.h>

#include <vdem/vdem.h>

#include "vdem_build_dl_frame.h"

static const uint8_t sync[13] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                 0xAA, 0xAA, 0xAA, 0xAA, 0xB2, 0x27};

uint8_t crc_compute(const uint8_t *data)
{
    uint8_t w = 0;
    for (int i = 0; i < 10; i++) {
        w ^= data[i];
        for (int b = 0; b < 8; b++)
            w = (w & 0x80) ? (uint8_t)((w << 1) ^ 0x2F) : (uint8_t)(w << 1);
    }
    return w;
}

uint8_t encode_bch_sub(const uint8_t m[11])
{
    unsigned r0 = 0, r1 = 0, r2 = 0, r3 = 0;
    for (int i = 10; i >= 0; i--) {
        unsigned f = (m[i] & 1u) ^ r3;
        r3 = r2;
        r2 = r1;
        r1 = r0 ^ f;
        r0 = f;
    }
    return (uint8_t)(r0 | r1 << 1 | r2 << 2 | r3 << 3);
}

void encode_bch(const uint8_t data[11], uint8_t parity[4])
{
    memset(parity, 0, 4);
    for (int b = 7; b >= 0; b--) {
        uint8_t m[11];
        for (int i = 0; i < 11; i++)
            m[i] = (data[i] >> b) & 1;
        uint8_t r = encode_bch_sub(m);
        for (int j = 0; j < 4; j++)
            parity[j] |= (uint8_t)(((r >> j) & 1) << b);
    }
}

uint32_t Next_Pn9(uint32_t state)
{
    for (int i = 0; i < 8; i++) {
        uint32_t f = (state ^ (state >> 5)) & 1u;
        state = (state >> 1) | (f << 8);
    }
    return state & 0x1FF;
}

static void whiten(uint8_t *byte, uint32_t tstid, uint16_t seq)
{
    uint32_t s = (tstid * (uint32_t)seq) & 0x1FF;
    if (s == 0)
        s = 0x1FF;

    uint32_t t = 0;
    for (int k = 0; k <= 7; k++) {
        s = Next_Pn9(s);
        t |= s;
        byte[13 + k] ^= (uint8_t)(t >> (k + 1));
        t = (t & ((1u << (k + 2)) - 1)) << 9;
    }
    byte[21] ^= (uint8_t)(t >> 9);

    t = 0;
    for (int k = 9; k <= 14; k++) {
        s = Next_Pn9(s);
        t |= s;
        byte[13 + k] ^= (uint8_t)(t >> (k - 8));
        t = (t & ((1u << (k - 7)) - 1)) << 9;
    }
}

VDEM_EXPORT int32_t vdem_build_dl_frame(vdem_dl_specs_t *specs, vdem_dl_frame_t *frame)
{
    if (!frame)
        return 0;
    vdem_dl_specs_t none;
    if (!specs) {
        memset(&none, 0, sizeof none);
        specs = &none;
    }
    uint8_t *byte = frame->byte;
    memcpy(byte, sync, sizeof sync);
    memcpy(byte + 17, specs->payload, 8);
    byte[25] = (uint8_t)(specs->aes_out >> 8);
    byte[26] = (uint8_t)(specs->aes_out & 0xFF);
    byte[27] = crc_compute(byte + 17);
    encode_bch(byte + 17, byte + 13);
    whiten(byte, specs->tstid, specs->seq);
    return 0;
}
