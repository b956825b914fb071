/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The transmitter's frame definition: type table, CRC, coding, bit sequence, text form. */
#include "vekgen/vekgen.h"

#include <gtest/gtest.h>
#include <kvrproto/kvrproto.h>

#include "iqhub_key.h"

#include <array>
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

namespace
{

/* The receiver's de-multiplexing, written from its own rule: out = (p0 c + p1 d1 + p2 d2) & 1. */
std::vector<guint8> demultiplex(const guint8 *coded, guint n_bytes, guint repetition)
{
    static const int polys[4][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 1}, {1, 0, 1}};
    const int *p = polys[repetition];
    std::vector<guint8> out(n_bytes, 0);
    int d1 = 0, d2 = 0;
    for (guint i = 0; i < n_bytes; i++) {
        for (int b = 7; b >= 0; b--) {
            int c = (coded[i] >> b) & 1;
            int o = (p[0] * c + p[1] * d1 + p[2] * d2) & 1;
            d2 = d1;
            d1 = o;
            out[i] |= static_cast<guint8>(o << b);
        }
    }
    return out;
}

VekgenFrame make_frame(guint len, guint rep, gboolean oob, guint8 first = 0x11)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    f.covered_len = static_cast<guint8>(len);
    f.repetition = static_cast<guint8>(rep);
    f.oob = oob;
    for (guint i = 0; i < len; i++)
        f.bytes[i] = static_cast<guint8>(first + 37 * i);
    return f;
}

TEST(VekgenFrameTypeTable, HoldsTheEighteenRowsWithDistinctPatterns)
{
    guint n = 0;
    const VekgenFrameType *rows = vekgen_frame_types(&n);
    ASSERT_EQ(n, 18u);
    std::set<guint16> patterns;
    for (guint i = 0; i < n; i++) {
        patterns.insert(rows[i].pattern);
        EXPECT_LT(rows[i].pattern, 0x2000) << i;
        EXPECT_EQ(vekgen_frame_type_find(rows[i].covered_len, rows[i].repetition, rows[i].oob),
                  &rows[i]);
    }
    EXPECT_EQ(patterns.size(), 18u);
    EXPECT_EQ(vekgen_frame_type_find(8, 1, FALSE)->pattern, 0x06B);
    EXPECT_EQ(vekgen_frame_type_find(16, 3, TRUE)->pattern, 0x11BE);
    EXPECT_EQ(vekgen_frame_type_find(20, 2, FALSE)->pattern, 0x971);
}

TEST(VekgenFrameTypeTable, RefusesRowsThatDoNotExist)
{
    EXPECT_EQ(vekgen_frame_type_find(10, 1, FALSE), nullptr);
    EXPECT_EQ(vekgen_frame_type_find(8, 1, TRUE), nullptr);
    EXPECT_EQ(vekgen_frame_type_find(16, 4, FALSE), nullptr);
    VekgenFrame f = make_frame(8, 1, TRUE);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(vekgen_frame_check(&f, &error));
    EXPECT_TRUE(g_error_matches(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID));
}

/* The receiver's two decoders see complementary bits, and their registers hold zeros only
 * before their first 13 decisions after load. Both can complete a frame at one decision
 * only if a pattern's complement, or a pattern whose low bits are the complement of
 * another's with zeros above, were in the table: none is, so from the air at most one
 * decoder completes at a time, and the one-report rule is reachable only by feeding the
 * decoders directly. */
TEST(VekgenFrameTypeTable, NoPatternCompletesInBothPolaritiesAtOnce)
{
    guint n = 0;
    const VekgenFrameType *rows = vekgen_frame_types(&n);
    for (guint a = 0; a < n; a++) {
        for (guint b = 0; b < n; b++) {
            for (guint zeros = 0; zeros < 13; zeros++) {
                const guint16 low = static_cast<guint16>((1u << (13 - zeros)) - 1);
                const bool heads_zero = (rows[a].pattern >> (13 - zeros)) == 0 &&
                                        (rows[b].pattern >> (13 - zeros)) == 0;
                EXPECT_FALSE(heads_zero && (rows[a].pattern & low) == (~rows[b].pattern & low))
                    << std::hex << rows[a].pattern << " " << rows[b].pattern << " " << zeros;
            }
        }
    }
}

TEST(VekgenFrameCheck, ChecksRateOffsetAndPower)
{
    VekgenFrame f = make_frame(8, 1, FALSE);
    EXPECT_TRUE(vekgen_frame_check(&f, nullptr));
    f.bit_rate = 300;
    EXPECT_FALSE(vekgen_frame_check(&f, nullptr));
    f.bit_rate = 600;
    f.offset_hz = 96001.0;
    EXPECT_FALSE(vekgen_frame_check(&f, nullptr));
    f.offset_hz = -96000.0;
    EXPECT_TRUE(vekgen_frame_check(&f, nullptr));
    f.power_db = NAN;
    EXPECT_FALSE(vekgen_frame_check(&f, nullptr));
}

TEST(VekgenFrameCrc, MatchesTheCheckValueAndIsAppendedHighByteFirst)
{
    EXPECT_EQ(vekgen_crc16(reinterpret_cast<const guint8 *>("123456789"), 9), 0xCE3C);
    EXPECT_EQ(vekgen_crc16(nullptr, 0), 0xFFFF);
    VekgenFrame f = make_frame(12, 1, FALSE);
    guint8 msg[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_message(&f, msg);
    const guint16 crc = vekgen_crc16(f.bytes, 12);
    EXPECT_EQ(0, memcmp(msg, f.bytes, 12));
    EXPECT_EQ(msg[12], crc >> 8);
    EXPECT_EQ(msg[13], crc & 0xff);
}

TEST(VekgenFrameCoding, ReceiverDemultiplexingRecoversTheMessageForEveryRow)
{
    guint n = 0;
    const VekgenFrameType *rows = vekgen_frame_types(&n);
    for (guint i = 0; i < n; i++) {
        for (guint8 first : {0x00, 0x5a, 0xff}) {
            VekgenFrame f = make_frame(rows[i].covered_len, rows[i].repetition, rows[i].oob, first);
            guint8 msg[VEKGEN_MAX_COVERED + 2], coded[VEKGEN_MAX_COVERED + 2];
            vekgen_frame_message(&f, msg);
            vekgen_frame_coded(&f, coded);
            const guint n_bytes = f.covered_len + 2u;
            auto back = demultiplex(coded, n_bytes, f.repetition);
            EXPECT_EQ(0, memcmp(back.data(), msg, n_bytes)) << "row " << i;
            if (f.repetition == 1)
                EXPECT_EQ(0, memcmp(coded, msg, n_bytes));
            else
                EXPECT_NE(0, memcmp(coded, msg, n_bytes)) << "row " << i;
        }
    }
}

TEST(VekgenFrameCoding, RunsAcrossByteBoundariesFromZeroHistory)
{
    /* Message bits 1,0,0,0,... : repetition 2 gives 1,1,1,0,..., repetition 3 gives 1,0,1,0,... */
    VekgenFrame f = make_frame(8, 2, FALSE);
    memset(f.bytes, 0, sizeof f.bytes);
    f.bytes[0] = 0x80;
    guint8 coded[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_coded(&f, coded);
    EXPECT_EQ(coded[0], 0xE0);
    f.repetition = 3;
    vekgen_frame_coded(&f, coded);
    EXPECT_EQ(coded[0], 0xA0);
    /* A last bit of byte 0 reaches into byte 1. */
    f.bytes[0] = 0x01;
    f.repetition = 2;
    vekgen_frame_coded(&f, coded);
    EXPECT_EQ(coded[0], 0x01);
    EXPECT_EQ(coded[1] & 0xC0, 0xC0);
}

TEST(VekgenFrameBits, PreambleLockPatternThenCodedBits)
{
    VekgenFrame f = make_frame(9, 3, FALSE);
    std::array<guint8, VEKGEN_HEADER_BITS + 8 * (VEKGEN_MAX_COVERED + 2)> bits{};
    const guint n = vekgen_frame_bits(&f, bits.data());
    ASSERT_EQ(n, 40u + 8u * 11u);
    EXPECT_EQ(vekgen_frame_symbols(&f), n + 1);
    for (guint i = 0; i < 20; i++)
        EXPECT_EQ(bits[i], i % 2 == 0 ? 1 : 0) << i;
    const guint8 lock[] = {1, 1, 0, 0, 1, 1, 1};
    for (guint i = 0; i < 7; i++)
        EXPECT_EQ(bits[20 + i], lock[i]);
    guint pattern = 0;
    for (guint i = 27; i < 40; i++)
        pattern = (pattern << 1) | bits[i];
    EXPECT_EQ(pattern, 0x302u);
    guint8 coded[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_coded(&f, coded);
    for (guint i = 0; i < 8 * 11; i++)
        EXPECT_EQ(bits[40 + i], (coded[i / 8] >> (7 - i % 8)) & 1) << i;
}

TEST(VekgenFrameBits, ReceiverFieldsComeFromTheCodedBytes)
{
    VekgenFrame f = make_frame(8, 1, FALSE);
    EXPECT_EQ(vekgen_frame_expected_tid(&f), guint32(f.bytes[2]) | guint32(f.bytes[3]) << 8 |
                                                 guint32(f.bytes[4]) << 16 |
                                                 guint32(f.bytes[5]) << 24);
    f.bytes[0] = 0x10;
    EXPECT_TRUE(vekgen_frame_expected_ack(&f));
    f.repetition = 2; /* coded byte 0 of 0x10 is 0x1C: the ack bit is still set */
    guint8 coded[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_coded(&f, coded);
    EXPECT_EQ(vekgen_frame_expected_ack(&f), (coded[0] & 0x10) != 0);
    f.bytes[0] = 0x20; /* coded 0x38: the ack bit is set only after coding */
    EXPECT_TRUE(vekgen_frame_expected_ack(&f));
    f.bytes[0] = 0x08; /* coded 0x0E: no ack bit */
    EXPECT_FALSE(vekgen_frame_expected_ack(&f));
}

TEST(VekgenFrameTiming, TailAndSpacingFollowTheReportDelay)
{
    VekgenFrame f = make_frame(20, 1, FALSE);
    f.start_sample = 1000;
    EXPECT_EQ(vekgen_frame_end_sample(&f), 1000u + (41u + 176u) * 1920u);
    EXPECT_EQ(vekgen_frame_tail_end_sample(&f) - vekgen_frame_end_sample(&f),
              (208u - 176u + 9u) * 1920u);
    f.covered_len = 8;
    f.bit_rate = 600;
    EXPECT_EQ(vekgen_frame_tail_end_sample(&f), 1000u + 258u * 320u);
}

TEST(VekgenFrameText, ParsesEveryKey)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(3);
    VekgenFrame f;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(vekgen_frame_parse("at=1.5 rate=600 len=16 rep=3 oob=1 freq=-2500.5 power=44 "
                                   "bytes=000102030405060708090a0b0c0d0e0f inv=1 phase=0.25",
                                   rand, &f, &error))
        << error->message;
    EXPECT_EQ(f.start_sample, 288000u);
    EXPECT_EQ(f.bit_rate, 600u);
    EXPECT_EQ(f.covered_len, 16);
    EXPECT_EQ(f.repetition, 3);
    EXPECT_TRUE(f.oob);
    EXPECT_DOUBLE_EQ(f.offset_hz, -2500.5);
    EXPECT_DOUBLE_EQ(f.power_db, 44.0);
    EXPECT_EQ(f.bytes[15], 0x0f);
    EXPECT_TRUE(f.inverted);
    EXPECT_DOUBLE_EQ(f.phase, 0.25);
}

TEST(VekgenFrameText, RoundTripsThroughItsStringForm)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(9);
    for (const char *given : {"sample=12345 len=20 rep=2 freq=71250 power=55.5",
                              "at=0.25 rate=600 len=16 rep=3 oob=1 inv=1 freq=-95999.5 power=-3"}) {
        VekgenFrame f, back;
        ASSERT_TRUE(vekgen_frame_parse(given, rand, &f, nullptr)) << given;
        g_autofree gchar *text = vekgen_frame_to_string(&f);
        ASSERT_TRUE(vekgen_frame_parse(text, rand, &back, nullptr)) << text;
        EXPECT_EQ(back.start_sample, f.start_sample);
        EXPECT_EQ(back.covered_len, f.covered_len);
        EXPECT_EQ(back.repetition, f.repetition);
        EXPECT_EQ(0, memcmp(back.bytes, f.bytes, f.covered_len));
        EXPECT_DOUBLE_EQ(back.offset_hz, f.offset_hz);
        EXPECT_NEAR(back.phase, f.phase, 1e-6);
        EXPECT_EQ(back.bit_rate, f.bit_rate) << text;
        EXPECT_EQ(back.oob, f.oob) << text;
        EXPECT_EQ(back.inverted, f.inverted) << text;
        EXPECT_DOUBLE_EQ(back.power_db, f.power_db) << text;
    }
}

TEST(VekgenFrameText, RefusesBadTextWithOneError)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(1);
    const char *bad[] = {"len",
                         "colour=red",
                         "len=10",
                         "rate=300",
                         "rep=0",
                         "rep=4",
                         "oob=maybe",
                         "freq=abc",
                         "freq=100000",
                         "power=nan",
                         "bytes=0102",
                         "bytes=zz",
                         "len=16 oob=1 rep=2 bytes=0011",
                         "at=-1",
                         "len=8 oob=1"};
    for (const char *text : bad) {
        VekgenFrame f;
        vekgen_frame_init(&f);
        f.covered_len = 99; /* untouched on failure */
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(vekgen_frame_parse(text, rand, &f, &error)) << text;
        ASSERT_NE(error, nullptr) << text;
        EXPECT_EQ(error->domain, VEKGEN_ERROR);
        EXPECT_EQ(f.covered_len, 99) << text;
    }
}

TEST(VekgenFrameText, ErrorNamesTheOffendingTokenOrKey)
{
    const std::pair<const char *, const char *> cases[] = {
        {"at=0.1 len", "'len' is not key=value"},
        {"at=0.1 colour=red", "unknown frame key 'colour'"},
        {"rate=600 rep=4", "bad value in 'rep=4'"},
        {"payload=00112233445566778899aabbcc", "bad value in 'payload=00112233445566778899aabbcc'"},
        {"dev=0x12 seq=4096", "bad value in 'seq=4096'"},
        {"len=12 bytes=0102", "bytes= gives 2 bytes for a frame of 12 covered bytes"},
        {"bytes=0011223344556677 dev=1",
         "dev= lays out the bytes itself: give payload= instead of len= or bytes="},
    };
    for (auto [text, message] : cases) {
        VekgenFrame f;
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(vekgen_frame_parse(text, nullptr, &f, &error)) << text;
        ASSERT_NE(error, nullptr) << text;
        EXPECT_TRUE(g_error_matches(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE)) << text;
        EXPECT_STREQ(error->message, message);
    }
}

} // namespace

TEST(VekgenSignedUplink, LaysOutHeaderDeviceIdPayloadAndAValidCode)
{
    guint8 key[IQHUB_AUTH_KEY_LEN];
    iqhub_auth_key(key);
    const guint8 payload[12] = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab};
    const std::pair<gsize, guint8> sizes[] = {{0, 8}, {1, 9}, {3, 12}, {5, 16}, {12, 20}};
    for (auto [n, covered] : sizes) {
        for (gboolean forge = FALSE; forge <= TRUE; forge++) {
            VekgenFrame f;
            vekgen_frame_init(&f);
            ASSERT_TRUE(vekgen_frame_set_uplink(&f, 0x12AB34, 0xabc, payload, n, forge, nullptr));
            EXPECT_EQ(f.covered_len, covered) << n;
            EXPECT_EQ(f.bytes[0] & 0x0f, 0x0a) << "sequence number, high nibble";
            EXPECT_EQ(f.bytes[1], 0xbc);
            EXPECT_EQ(vekgen_frame_expected_tid(&f), 0x12AB34u);
            EXPECT_EQ(0, memcmp(f.bytes + 6, payload, n));
            g_autoptr(kvrframe) record = kvrproto_alloc_frame();
            record->v = KVRPROTO_VERSION_V1;
            record->f.v1.data_s = f.covered_len;
            memcpy(record->f.v1.data, f.bytes, f.covered_len);
            EXPECT_EQ(kvrproto_check_hmac(record, key, sizeof(key), nullptr), !forge) << n;
        }
    }
    VekgenFrame f;
    vekgen_frame_init(&f);
    EXPECT_FALSE(vekgen_frame_set_uplink(&f, 1, 1, payload, 13, FALSE, nullptr));
    EXPECT_FALSE(vekgen_frame_set_uplink(&f, 1, 4096, payload, 1, FALSE, nullptr));
    f.oob = TRUE;
    EXPECT_FALSE(vekgen_frame_set_uplink(&f, 1, 1, payload, 4, FALSE, nullptr));
    EXPECT_TRUE(vekgen_frame_set_uplink(&f, 1, 1, payload, 8, FALSE, nullptr));
}

TEST(VekgenSignedUplink, FrameTextNamesTheDeviceAndPayload)
{
    VekgenFrame parsed, made;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(vekgen_frame_parse("rate=600 dev=0x12AB34 seq=5 payload=0102 forge=1 phase=0",
                                   nullptr, &parsed, &error))
        << error->message;
    vekgen_frame_init(&made);
    const guint8 payload[] = {1, 2};
    ASSERT_TRUE(vekgen_frame_set_uplink(&made, 0x12AB34, 5, payload, 2, TRUE, nullptr));
    EXPECT_EQ(parsed.covered_len, made.covered_len);
    EXPECT_EQ(0, memcmp(parsed.bytes, made.bytes, made.covered_len));
    EXPECT_TRUE(parsed.uplink && parsed.forged);
    EXPECT_EQ(parsed.device_id, 0x12AB34u);
    EXPECT_EQ(parsed.seq, 5);
    EXPECT_FALSE(vekgen_frame_parse("dev=1 len=12", nullptr, &parsed, nullptr));
    EXPECT_FALSE(vekgen_frame_parse("dev=1 payload=00112233445566778899aabbcc", nullptr, &parsed,
                                    nullptr));
    EXPECT_FALSE(vekgen_frame_parse("dev=0x1ffffffff", nullptr, &parsed, nullptr));
}
