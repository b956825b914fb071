/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The 28-byte downlink air frame. */
#include <gtest/gtest.h>

#include <cstring>

#include <vdem/vdem.h>

namespace
{

vdem_dl_frame_t build(const uint8_t payload[8], uint16_t aes, uint16_t seq, uint32_t tstid)
{
    vdem_dl_specs_t specs;
    memcpy(specs.payload, payload, 8);
    specs.aes_out = aes;
    specs.seq = seq;
    specs.tstid = tstid;
    vdem_dl_frame_t frame;
    memset(&frame, 0xEE, sizeof frame);
    EXPECT_EQ(vdem_build_dl_frame(&specs, &frame), 0);
    return frame;
}

TEST(VdemDlFrame, AllZeroRequestGivesTheReferenceFrame)
{
    const uint8_t zero[8] = {0};
    vdem_dl_frame_t f = build(zero, 0, 1, 1);
    const uint8_t expected[28] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                  0xAA, 0xB2, 0x27, 0x11, 0x09, 0x95, 0xC3, 0x64, 0x71, 0x50,
                                  0xD9, 0x3E, 0x47, 0x9D, 0x89, 0x59, 0x05, 0xCB};
    for (int i = 0; i < 28; i++)
        EXPECT_EQ(f.byte[i], expected[i]) << "byte " << i;
}

TEST(VdemDlFrame, PreambleAndSyncAreFixed)
{
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (uint32_t tstid : {0u, 7u, 0xFFFFFFFFu}) {
        vdem_dl_frame_t f = build(payload, 0xBEEF, 3, tstid);
        for (int i = 0; i < 11; i++)
            EXPECT_EQ(f.byte[i], 0xAA);
        EXPECT_EQ(f.byte[11], 0xB2);
        EXPECT_EQ(f.byte[12], 0x27);
    }
}

TEST(VdemDlFrame, SeedIsProductOfIdAndSequenceWithZeroMeaningAllOnes)
{
    const uint8_t payload[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    /* tstid * seq = 512 and = 0 both give the seed 0x1FF, like tstid 0x1FF * 1. */
    vdem_dl_frame_t a = build(payload, 0x1234, 0, 0xABCDEF);
    vdem_dl_frame_t b = build(payload, 0x1234, 2, 256);
    vdem_dl_frame_t c = build(payload, 0x1234, 1, 0x1FF);
    vdem_dl_frame_t d = build(payload, 0x1234, 1, 0x1FE);
    EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(memcmp(&a, &c, sizeof a), 0);
    EXPECT_NE(memcmp(&a, &d, sizeof a), 0);
    /* Only the low 9 bits of the product count, modulo 2^32. */
    vdem_dl_frame_t e = build(payload, 0x1234, 3, 0x80000001u);
    vdem_dl_frame_t g = build(payload, 0x1234, 1, 3 + 512 * 5);
    EXPECT_EQ(memcmp(&e, &g, sizeof e), 0);
}

TEST(VdemDlFrame, WhiteningIsAnXorMaskIndependentOfTheContent)
{
    const uint8_t zero[8] = {0};
    const uint8_t payload[8] = {0xFF, 0x00, 0x55, 0xAA, 0x12, 0x34, 0x56, 0x78};
    vdem_dl_frame_t z = build(zero, 0, 5, 77);
    vdem_dl_frame_t p = build(payload, 0x9ABC, 5, 77);
    /* Unwhitened block of the zero frame is all zero, so z holds the mask. */
    uint8_t plain[15];
    for (int i = 0; i < 15; i++)
        plain[i] = p.byte[13 + i] ^ z.byte[13 + i];
    EXPECT_EQ(memcmp(plain + 4, payload, 8), 0);
    EXPECT_EQ(plain[12], 0x9A);
    EXPECT_EQ(plain[13], 0xBC);
}

/* CRC-8 and BCH seen through the frame: with the whitening mask removed the
 * block holds parity, payload, code and CRC. */
void unwhitened_block(const uint8_t payload[8], uint16_t aes, uint8_t block[15])
{
    const uint8_t zero[8] = {0};
    vdem_dl_frame_t z = build(zero, 0, 1, 1);
    vdem_dl_frame_t p = build(payload, aes, 1, 1);
    for (int i = 0; i < 15; i++)
        block[i] = p.byte[13 + i] ^ z.byte[13 + i];
}

uint8_t crc8_model(const uint8_t *d, int n)
{
    uint8_t w = 0;
    for (int i = 0; i < n; i++) {
        w ^= d[i];
        for (int b = 0; b < 8; b++)
            w = (uint8_t)((w & 0x80) ? (w << 1) ^ 0x2F : w << 1);
    }
    return w;
}

TEST(VdemDlFrame, Crc8CoversPayloadAndCode)
{
    const uint8_t check[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc8_model(check, 9), 0x3E);
    const uint8_t payload[8] = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};
    uint8_t block[15];
    unwhitened_block(payload, 0x3900, block);
    EXPECT_EQ(block[14], crc8_model(block + 4, 10));
}

TEST(VdemDlFrame, BchParityOfEachSingleBitIsTheGeneratorRemainder)
{
    /* Remainders x^(i+4) mod x^4 + x + 1, as bits r0..r3. */
    auto remainder = [](int power) {
        unsigned r = 1; /* x^0 */
        for (int k = 0; k < power; k++) {
            unsigned carry = (r >> 3) & 1;
            r = ((r << 1) & 0xF) ^ (carry ? 0x3 : 0);
        }
        return r;
    };
    /* Message bit m_i sits in data byte i (bytes 17..27, byte 27 being the
     * CRC). Set one bit in one payload/code byte; when the CRC byte gets
     * the same bit position set, its m_10 adds its own remainder. */
    for (int i = 0; i < 10; i++) {
        for (int b = 0; b < 8; b++) {
            uint8_t payload[8] = {0};
            uint16_t aes = 0;
            if (i < 8)
                payload[i] = (uint8_t)(1u << b);
            else
                aes = (uint16_t)((i == 8 ? 0x100u : 0x1u) << b);
            uint8_t block[15];
            unwhitened_block(payload, aes, block);
            unsigned expected = remainder(i + 4);
            if ((block[14] >> b) & 1)
                expected ^= remainder(10 + 4);
            unsigned got = 0;
            for (int r = 0; r < 4; r++)
                got |= ((block[r] >> b) & 1u) << r;
            EXPECT_EQ(got, expected) << "byte " << i << " bit " << b;
        }
    }
}

TEST(VdemDlFrame, NullArgumentsAreHarmless)
{
    vdem_dl_frame_t f;
    EXPECT_EQ(vdem_build_dl_frame(nullptr, &f), 0);
    EXPECT_EQ(f.byte[11], 0xB2);
    vdem_dl_specs_t specs{};
    EXPECT_EQ(vdem_build_dl_frame(&specs, nullptr), 0);
}

} // namespace
