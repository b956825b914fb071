/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* White-box tests of the decoder, the timing recovery, the allocation
 * registry and the downlink builder's pieces. */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <vdem/vdem.h>

#include "vdem_build_dl_frame.h"
#include "vdem_decod_v1.h"
#include "vdem_interface_priv.h"
#include "vdem_mem_mgt.h"
#include "vdem_process.h"
#include "vdem_receiver.h"
#include "vdem_test_signal.h"

using namespace vdem_test;

namespace
{

/* ---- Frame type table and check ------------------------------------ */

TEST(VdemFrameTypeTable, HoldsExactlyTheEighteenTypes)
{
    VDEM_DECOD_V1_crc_init();
    int active = 0;
    for (int v = 0; v < VDEM_DECOD_V1_LUT_SIZE; v++)
        active += frame_sync_lut[v].active ? 1 : 0;
    EXPECT_EQ(active, 18);
    for (const FrameType &t : kFrameTypes) {
        const frame_sync_t &row = frame_sync_lut[t.pattern];
        EXPECT_EQ(row.active, 1);
        EXPECT_EQ(row.frame_length, t.covered + 7);
        EXPECT_EQ(row.sequence_number, t.seq);
        EXPECT_EQ(row.oob, t.oob);
    }
}

TEST(VdemFrameCheck, Crc16CheckValue)
{
    const uint8_t check[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(vdem_decod_v1_crc16(check, 9), 0xCE3C);
}

/* ---- Decoder step -------------------------------------------------- */

class VdemDecoderStep : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        VDEM_DECOD_V1_crc_init();
        memset(&td, 0, sizeof td);
        est.binNr = 1;
        est.chan = 1;
    }

    /* Feeds bits, returning the statuses. */
    std::vector<int32_t> feed(const std::vector<uint8_t> &bits)
    {
        std::vector<int32_t> st;
        for (uint8_t b : bits)
            st.push_back(VDEM_DECOD_V1_fl(&est, b, &td));
        return st;
    }

    /* Pattern, coded data, then filler up to 208 bits after the pattern. */
    std::vector<uint8_t> frame_bits(const TxFrame &f)
    {
        std::vector<uint8_t> bits = frame_decisions(f);
        bits.erase(bits.begin(), bits.begin() + 27); /* preamble and lock bits */
        bits.resize(13 + 208, 0);
        return bits;
    }

    vdem_thread_demod_t td;
    vdem_thread_frame_est_t est;
};

TEST_F(VdemDecoderStep, EvaluatesTheFrame208DecisionsAfterItsPattern)
{
    TxFrame f;
    f.type = 0;
    f.covered = make_payload(8, 0xA1B2C3D4, true, 9);
    std::vector<int32_t> st = feed(frame_bits(f));
    EXPECT_EQ(st[12], VDEM_DECOD_V1_PATTERN);
    for (size_t i = 13; i + 1 < st.size(); i++)
        ASSERT_NE(st[i], VDEM_DECOD_V1_EVALUATED) << i;
    EXPECT_EQ(st.back(), VDEM_DECOD_V1_EVALUATED);
    EXPECT_EQ(td.count, 1);
    EXPECT_EQ(td.pf.length, 8);
    EXPECT_EQ(td.pf.f.v1.seq, 1);
    EXPECT_EQ(td.pf.f.v1.oob, 0);
    EXPECT_EQ(td.pf.f.v1.ack, 1);
    EXPECT_EQ(td.pf.tid, 0xA1B2C3D4u);
    EXPECT_EQ(est.n_symbols, 80);
    EXPECT_EQ(memcmp(td.pf.frame, f.covered.data(), 8), 0);
    for (int i = 10; i < 27; i++)
        EXPECT_EQ(td.pf.frame[i], 0) << "bytes after the check are zero";
}

TEST_F(VdemDecoderStep, FlippedDataBitIsEvaluatedButNotCounted)
{
    TxFrame f;
    f.type = 0;
    f.covered = make_payload(8, 5, false, 1);
    f.flip_bit = 40;
    std::vector<int32_t> st = feed(frame_bits(f));
    EXPECT_EQ(st.back(), VDEM_DECOD_V1_EVALUATED);
    EXPECT_EQ(td.count, 0);
}

TEST_F(VdemDecoderStep, RepetitionsTwoAndThreeAreDemultiplexed)
{
    for (int type : {1, 2, 10, 14, 16, 17}) {
        SetUp();
        TxFrame f;
        f.type = type;
        f.covered = make_payload(kFrameTypes[type].covered, 0x01020304, false, (uint8_t)type);
        std::vector<int32_t> st = feed(frame_bits(f));
        EXPECT_EQ(st.back(), VDEM_DECOD_V1_EVALUATED);
        ASSERT_EQ(td.count, 1) << "type " << type;
        EXPECT_EQ(td.pf.f.v1.seq, kFrameTypes[type].seq);
        EXPECT_EQ(td.pf.f.v1.oob, kFrameTypes[type].oob);
        EXPECT_EQ(memcmp(td.pf.frame, f.covered.data(), f.covered.size()), 0);
        /* tid as sent, before de-multiplexing. */
        std::vector<uint8_t> sent = coded_bytes(f);
        EXPECT_EQ(td.pf.tid, (uint32_t)sent[2] | (uint32_t)sent[3] << 8 | (uint32_t)sent[4] << 16 |
                                 (uint32_t)sent[5] << 24);
    }
}

TEST_F(VdemDecoderStep, RepetitionTwoStartsFromZeroState)
{
    /* out(n) = c(n) ^ out(n-1) ^ out(n-2): c = 1,0,0,0 gives 1,1,0,1. */
    uint8_t data[2] = {0x80, 0x00}, out[2];
    process_demux_and_crc_check_v1(2, 2, 7, data, out);
    EXPECT_EQ(out[0], 0xDB); /* 1101 1011 */
    process_demux_and_crc_check_v1(3, 2, 7, data, out);
    EXPECT_EQ(out[0], 0xAA); /* 1010 1010: out(n) = c(n) ^ out(n-2) */
}

TEST_F(VdemDecoderStep, OtherPatternsAreIgnored)
{
    /* 0x06A differs from a type in its last bit. */
    std::vector<uint8_t> bits;
    for (int i = 12; i >= 0; i--)
        bits.push_back((0x06A >> i) & 1);
    bits.resize(13 + 220, 0);
    for (int32_t s : feed(bits))
        EXPECT_EQ(s, VDEM_DECOD_V1_NOTHING);
}

/* ---- Timing recovery and phase tracking ---------------------------- */

class VdemChain : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        vdem_process_set_fast_path(true);
        packet = start(VDEM_INTERFACE_600BPS, 0.0f, &reports);
        ASSERT_EQ(packet, 2560);
        zeros.assign(2 * 320, 0);
    }
    void TearDown() override
    {
        VDEM_INTERFACE_terminate();
        vdem_process_set_fast_path(true);
    }

    uint32_t decisions_since(uint32_t start_idx)
    {
        uint32_t now = vdem_process_data.demod_ctx.decod[1].bit_buf_idx;
        return (now + VDEM_DECOD_V1_RING - start_idx) % VDEM_DECOD_V1_RING;
    }

    Reports reports;
    int32_t packet = 0;
    std::vector<int16_t> zeros;
    vdem_proto_frame_t scratch;
};

TEST_F(VdemChain, FirstDecisionComesOnTheEleventhDecimatedSample)
{
    /* 8 decimated samples per bit period at 600 bit/s. */
    uint32_t idx = vdem_process_data.demod_ctx.decod[1].bit_buf_idx;
    vdem_process(zeros.data(), &scratch);
    EXPECT_EQ(decisions_since(idx), 0u) << "samples 1..8";
    vdem_process(zeros.data(), &scratch);
    EXPECT_EQ(decisions_since(idx), 1u) << "sample 11";
    vdem_process(zeros.data(), &scratch);
    EXPECT_EQ(decisions_since(idx), 2u) << "sample 19";
    EXPECT_EQ(vdem_process_data.demod_ctx.modem[0].zc.mode, VDEM_THREAD_GARDNER_RUNNING);
}

TEST_F(VdemChain, ZeroProductTurnsThePhaseByTheUpperBound)
{
    vdem_process(zeros.data(), &scratch);
    float expected = 0;
    for (int i = 0; i < 8; i++)
        expected += 0.02f;
    EXPECT_FLOAT_EQ(vdem_process_data.loop_angle, expected);
}

TEST_F(VdemChain, TimingLocksOnTheLockBitsAndFreezes)
{
    TxFrame f;
    f.type = 0;
    f.covered = make_payload(8, 1, false, 0);
    f.start_sample = 5 * 320;
    std::vector<int16_t> iq = render(600, 80 * 320, {f});
    /* Through the preamble and the lock bits (1 + 20 + 7 periods). */
    for (int p = 0; p < 5 + 28 + 4; p++)
        vdem_process(iq.data() + 2 * 320 * p, &scratch);
    EXPECT_EQ(vdem_process_data.demod_ctx.modem[0].zc.mode, VDEM_THREAD_GARDNER_LOCKED);
}

TEST_F(VdemChain, BothBranchesCompletingAtOneDecisionGiveOneReport)
{
    /* A real frame reaches decoder 1 (or 0); once its data is in the ring,
     * decoder 0 (or 1) gets the same ring with a different valid frame, so
     * both evaluate a checked frame at the same decision. */
    const int bit = 320;
    TxFrame f;
    f.type = 0;
    f.covered = make_payload(8, 0x11111111, false, 4);
    f.start_sample = 10 * bit;
    f.freq_hz = 2000;
    int64_t end = f.start_sample + frame_bit_periods(f) * bit;
    std::vector<int16_t> iq = render(600, end + 260 * bit, {f});

    TxFrame other = f;
    other.covered = make_payload(8, 0x22222222, false, 5);
    std::vector<uint8_t> other_bits = frame_decisions(other);

    vdem_thread_demod_t *dc = &vdem_process_data.demod_ctx;
    size_t periods = iq.size() / (2 * bit);
    bool copied = false;
    for (size_t p = 0; p < periods; p++) {
        vdem_process(iq.data() + 2 * bit * p, &scratch);
        if (copied || p < (size_t)(end / bit) + 4)
            continue;
        /* Which decoder holds the frame: the one whose ring has the pattern. */
        for (int holder = 0; holder < 2 && !copied; holder++) {
            const vdem_thread_decod_ctx_t &d = dc->decod[holder];
            for (int age = 80; age < 200 && !copied; age++) {
                uint16_t v = 0;
                for (int k = 0; k < 13; k++) {
                    uint32_t pos =
                        (d.bit_buf_idx + VDEM_DECOD_V1_RING - age - 13 + k) % VDEM_DECOD_V1_RING;
                    v = (uint16_t)(v << 1 | d.bit_buffer[pos]);
                }
                if (v != kFrameTypes[0].pattern)
                    continue;
                vdem_thread_decod_ctx_t &twin = dc->decod[1 - holder];
                twin = d;
                for (int k = 0; k < 80; k++) {
                    uint32_t pos =
                        (d.bit_buf_idx + VDEM_DECOD_V1_RING - age + k) % VDEM_DECOD_V1_RING;
                    twin.bit_buffer[pos] = other_bits[40 + k];
                }
                copied = true;
            }
        }
    }
    ASSERT_TRUE(copied);
    ASSERT_EQ(reports.frames.size(), 1u);
    /* Branch 1 steps last; its frame is the one reported. */
    uint32_t tid1 = dc->pf.tid;
    EXPECT_EQ(reports.frames[0].tid, tid1);
    EXPECT_EQ(dc->count, 0);
}

TEST_F(VdemChain, FrameReportResetsTimingAndPhase)
{
    const int bit = 320;
    TxFrame f;
    f.type = 3;
    f.covered = make_payload(9, 77, false, 4);
    f.start_sample = 10 * bit;
    int64_t end = f.start_sample + frame_bit_periods(f) * bit;
    std::vector<int16_t> iq = render(600, end + 260 * bit, {f});
    size_t periods = iq.size() / (2 * bit);
    for (size_t p = 0; p < periods && reports.frames.empty(); p++)
        vdem_process(iq.data() + 2 * bit * p, &scratch);
    ASSERT_EQ(reports.frames.size(), 1u);
    const vdem_thread_gardner_t &zc = vdem_process_data.demod_ctx.modem[0].zc;
    EXPECT_EQ(zc.mode, VDEM_THREAD_GARDNER_RUNNING);
    EXPECT_EQ(zc.idx, 0);
}

TEST_F(VdemChain, SampleCounterWrapsIntoTheSignedTimestamp)
{
    /* Three hours into a stream the signed view of the counter turns
     * negative; reports carry its bits unchanged. */
    vdem_process_data.sampleTimeStamp = 0x7FFFFFFFu - 100;
    std::vector<int16_t> loud(2 * packet, 32767);
    VDEM_INTERFACE_post_iq_packet(loud.data(), packet);
    ASSERT_EQ(reports.rfsat.size(), 8u);
    EXPECT_EQ(reports.rfsat[0].timestamp, (int32_t)(0x7FFFFFFFu - 100 + (uint32_t)packet));
    EXPECT_LT(reports.rfsat[0].timestamp, 0);
}

/* ---- Allocation ------------------------------------------------------ */

class VdemAllocation : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        vdem_mem_mgt_set_fail_countdown(0);
        VDEM_INTERFACE_terminate();
    }
};

TEST_F(VdemAllocation, InitRegistersThreeBlocksAndTerminateFreesThem)
{
    VDEM_INTERFACE_terminate();
    vdem_interface_config_t config{VDEM_INTERFACE_100BPS, 0.0f};
    char msg[64];
    ASSERT_EQ(VDEM_INTERFACE_init(&config, msg), VDEM_INTERFACE_OK);
    EXPECT_EQ(alloc_index, 3);
    for (int i = 0; i < 3; i++)
        EXPECT_NE(alloc_table[i], nullptr);
    VDEM_INTERFACE_terminate();
    EXPECT_EQ(alloc_index, 0);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(alloc_table[i], nullptr);
}

TEST_F(VdemAllocation, FailureAtInitIsReportedAndLeavesTheInstanceIdle)
{
    for (int which = 1; which <= 3; which++) {
        VDEM_INTERFACE_terminate();
        vdem_mem_mgt_set_fail_countdown(which);
        vdem_interface_config_t config{VDEM_INTERFACE_600BPS, 0.0f};
        char msg[64] = {0};
        EXPECT_EQ(VDEM_INTERFACE_init(&config, msg), VDEM_INTERFACE_INTERNAL_ERROR);
        EXPECT_LT(strlen(msg) + 1, (size_t)VDEM_INTERFACE_ERROR_MSG_SIZE + 1);
        EXPECT_EQ(msg[strlen(msg) - 1], '\n');
        EXPECT_EQ(alloc_index, 0) << "partial allocations are released";
        EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 0);
        std::vector<int16_t> iq(2 * 2560, 100);
        EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), 2560),
                  VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE);
        /* A later init works. */
        vdem_mem_mgt_set_fail_countdown(0);
        EXPECT_EQ(VDEM_INTERFACE_init(&config, msg), VDEM_INTERFACE_OK);
    }
}

/* ---- Downlink builder pieces ---------------------------------------- */

TEST(VdemDlPieces, Pn9FromOne)
{
    uint32_t s = Next_Pn9(1);
    EXPECT_EQ(s, 0x22u);
    s = Next_Pn9(s);
    EXPECT_EQ(s, 0x26u);
    s = Next_Pn9(s);
    EXPECT_EQ(s, 0xAEu);
}

TEST(VdemDlPieces, Crc8CheckValue)
{
    const uint8_t check[10] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0};
    /* A trailing zero byte: CRC(msg || 0) equals the CRC of msg shifted
     * through eight more steps, so compare against the 9-byte model. */
    uint8_t w = 0x3E;
    for (int b = 0; b < 8; b++)
        w = (uint8_t)((w & 0x80) ? (w << 1) ^ 0x2F : w << 1);
    EXPECT_EQ(crc_compute(check), w);
}

TEST(VdemDlPieces, BchSingleBitParityIsPowerOfXModuloGenerator)
{
    for (int i = 0; i < 11; i++) {
        uint8_t m[11] = {0};
        m[i] = 1;
        unsigned r = 1;
        for (int k = 0; k < i + 4; k++) {
            unsigned carry = (r >> 3) & 1;
            r = ((r << 1) & 0xF) ^ (carry ? 0x3 : 0);
        }
        EXPECT_EQ(encode_bch_sub(m), r) << "m" << i;
    }
}

} // namespace
