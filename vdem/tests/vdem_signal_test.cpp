/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The uplink chain seen from the public interface: saturation reports,
 * silence, and frames decoded from synthesised I/Q. */
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <vdem/vdem.h>

#include "vdem_receiver.h"
#include "vdem_test_signal.h"

using namespace vdem_test;

namespace
{

class VdemSaturation : public ::testing::Test
{
  protected:
    void TearDown() override { VDEM_INTERFACE_terminate(); }
    Reports reports;
};

TEST_F(VdemSaturation, FullScaleReportsEveryBitPeriodAtTheCounterAfterThePacket)
{
    int32_t packet = start(VDEM_INTERFACE_100BPS, 0.0f, &reports);
    ASSERT_EQ(packet, 15360);
    std::vector<int16_t> iq(2 * packet, 32767);
    VDEM_INTERFACE_post_iq_packet(iq.data(), packet);
    VDEM_INTERFACE_post_iq_packet(iq.data(), packet);
    ASSERT_EQ(reports.rfsat.size(), 16u);
    double expected = 10 * std::log10(2.0 * 32767 * 32767);
    for (size_t i = 0; i < reports.rfsat.size(); i++) {
        EXPECT_EQ(reports.rfsat[i].timestamp, (int32_t)(i < 8 ? packet : 2 * packet));
        EXPECT_NEAR(reports.rfsat[i].rssi, expected, 1e-3);
    }
}

TEST_F(VdemSaturation, GainIsSubtracted)
{
    int32_t packet = start(VDEM_INTERFACE_600BPS, 20.0f, &reports);
    std::vector<int16_t> iq(2 * packet, 100); /* |x|^2 = 20000: 43.01 dB */
    VDEM_INTERFACE_post_iq_packet(iq.data(), packet);
    ASSERT_EQ(reports.rfsat.size(), 8u);
    EXPECT_NEAR(reports.rfsat[0].rssi, 10 * std::log10(20000.0) - 20.0, 1e-3);
}

TEST_F(VdemSaturation, ThresholdIsStrictlyAboveMinusEight)
{
    /* Unit samples have a mean power of exactly 0 dB. */
    int32_t packet = start(VDEM_INTERFACE_600BPS, 8.0f, &reports);
    std::vector<int16_t> iq(2 * packet, 0);
    for (int32_t n = 0; n < packet; n++)
        iq[2 * n] = 1;
    VDEM_INTERFACE_post_iq_packet(iq.data(), packet);
    EXPECT_TRUE(reports.rfsat.empty()) << "exactly -8.0 dB is not saturation";

    packet = start(VDEM_INTERFACE_600BPS, 7.99f, &reports);
    VDEM_INTERFACE_post_iq_packet(iq.data(), packet);
    ASSERT_EQ(reports.rfsat.size(), 8u);
    EXPECT_NEAR(reports.rfsat[0].rssi, -7.99, 1e-4);
}

TEST_F(VdemSaturation, OnlyLoudBitPeriodsAreReported)
{
    int32_t packet = start(VDEM_INTERFACE_600BPS, 60.0f, &reports);
    std::vector<int16_t> iq(2 * packet, 0);
    /* Bit periods 2 and 5 at 0 dBFS-ish, the rest quiet. */
    for (int period : {2, 5})
        for (int n = period * 320; n < (period + 1) * 320; n++)
            iq[2 * n] = 30000;
    VDEM_INTERFACE_post_iq_packet(iq.data(), packet);
    EXPECT_EQ(reports.rfsat.size(), 2u);
}

class VdemSilence : public ::testing::TestWithParam<int32_t>
{
  protected:
    void TearDown() override { VDEM_INTERFACE_terminate(); }
};

TEST_P(VdemSilence, AllZeroInputGivesNothing)
{
    Reports reports;
    int32_t packet = start(GetParam(), 0.0f, &reports);
    ASSERT_GT(packet, 0);
    std::vector<int16_t> iq(2 * packet, 0);
    for (int i = 0; i < 400; i++)
        ASSERT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), packet), VDEM_INTERFACE_POST_IQ_PKT_OK);
    EXPECT_TRUE(reports.rfsat.empty());
    EXPECT_TRUE(reports.frames.empty());
}

INSTANTIATE_TEST_SUITE_P(BothRates, VdemSilence,
                         ::testing::Values(VDEM_INTERFACE_100BPS, VDEM_INTERFACE_600BPS));

/* ---- Frames ---------------------------------------------------------- */

struct FrameCase {
    int32_t bitrate;
    int type;
    double freq_hz;
    bool inverted;
};

void PrintTo(const FrameCase &c, std::ostream *os)
{
    *os << (c.bitrate == VDEM_INTERFACE_100BPS ? 100 : 600) << " bit/s, type " << c.type << " at "
        << c.freq_hz << " Hz" << (c.inverted ? ", inverted" : "");
}

class VdemFrameDecoding : public ::testing::TestWithParam<FrameCase>
{
  protected:
    void TearDown() override { VDEM_INTERFACE_terminate(); }
};

/* Noise-free frequency error of this receiver: the loop bandwidth and the
 * least-squares window leave about +-30 Hz at 100 bit/s and +-60 Hz at
 * 600 bit/s; the bounds below leave a margin over those. */
double freq_tolerance(int32_t bitrate)
{
    return bitrate == VDEM_INTERFACE_100BPS ? 50.0 : 100.0;
}

TEST_P(VdemFrameDecoding, DecodesBytesFlagsAndMeasures)
{
    const FrameCase c = GetParam();
    const int rate = c.bitrate == VDEM_INTERFACE_100BPS ? 100 : 600;
    const int64_t bit = kSampleRate / rate;
    const float gain = 10.0f;
    Reports reports;
    int32_t packet = start(c.bitrate, gain, &reports);
    ASSERT_GT(packet, 0);

    TxFrame frame;
    frame.type = c.type;
    frame.covered = make_payload(kFrameTypes[c.type].covered, 0x12345678u + c.type, true, 7);
    frame.start_sample = 20 * bit + 77;
    frame.freq_hz = c.freq_hz;
    frame.amplitude = 3000;
    frame.inverted = c.inverted;
    int64_t end = frame.start_sample + frame_bit_periods(frame) * bit;
    post_all(render(rate, end + 260 * bit, {frame}), packet);

    ASSERT_EQ(reports.frames.size(), 1u);
    const vdem_proto_frame_t &f = reports.frames[0];
    const FrameType &type = kFrameTypes[c.type];
    EXPECT_EQ(reports.frame_entries[0], 1u);
    EXPECT_EQ(f.length, type.covered);
    EXPECT_EQ(f.f.v1.seq, type.seq);
    EXPECT_EQ(f.f.v1.oob, type.oob);
    EXPECT_EQ(f.protocol, VDEM_PROTO_FRAME_V1);
    for (int i = 0; i < type.covered; i++)
        EXPECT_EQ(f.frame[i], frame.covered[i]) << "byte " << i;
    uint16_t crc = crc16(frame.covered.data(), type.covered);
    EXPECT_EQ(f.frame[type.covered], crc >> 8);
    EXPECT_EQ(f.frame[type.covered + 1], crc & 0xFF);

    /* tid and ack come from the bytes as sent. */
    std::vector<uint8_t> sent = coded_bytes(frame);
    EXPECT_EQ(f.tid, (uint32_t)sent[2] | (uint32_t)sent[3] << 8 | (uint32_t)sent[4] << 16 |
                         (uint32_t)sent[5] << 24);
    EXPECT_EQ(f.f.v1.ack, (sent[0] >> 4) & 1);

    EXPECT_NEAR(f.freq, c.freq_hz, freq_tolerance(c.bitrate));
    /* The power is taken after a smoothing filter that also averages over
     * the phase flips: at 100 bit/s that costs about 0.25 dB, at 600 bit/s
     * (six times as many flips) 1.5 to 2.5 dB, and more once the coarse
     * frequency estimate leaves a residual rotation. */
    double injected = 20 * std::log10(frame.amplitude) - gain;
    double expected_rssi = rate == 100 ? injected - 0.25 : injected - 2.0;
    EXPECT_NEAR(f.rssi, expected_rssi, rate == 100 ? 0.5 : 1.5);
    EXPECT_FLOAT_EQ(f.snr, std::fmin(50.0f, f.rssi + (rate == 100 ? 90.0f : 82.0f)));

    /* Reported in the packet whose processing completed the frame: 208
     * decisions after the type pattern, i.e. 208 - 8 (L + 2) bit periods
     * after the frame's last bit, plus the filter and integrator delay. */
    EXPECT_EQ(f.sampleTimeStamp % packet, 0);
    int64_t due = end + (208 - 8 * (type.covered + 2)) * bit;
    EXPECT_GE(f.sampleTimeStamp, due);
    EXPECT_LE(f.sampleTimeStamp, due + 3 * bit + packet);
}

INSTANTIATE_TEST_SUITE_P(Samples, VdemFrameDecoding,
                         ::testing::Values(FrameCase{VDEM_INTERFACE_100BPS, 0, 1000.0, false},
                                           FrameCase{VDEM_INTERFACE_100BPS, 13, -42000.0, true},
                                           FrameCase{VDEM_INTERFACE_100BPS, 17, 61000.0, false},
                                           FrameCase{VDEM_INTERFACE_600BPS, 4, -250.0, true},
                                           FrameCase{VDEM_INTERFACE_600BPS, 8, 12000.0, false},
                                           FrameCase{VDEM_INTERFACE_600BPS, 14, -30000.0, false}));

class VdemFrameRejection : public ::testing::TestWithParam<int32_t>
{
  protected:
    void TearDown() override { VDEM_INTERFACE_terminate(); }
};

TEST_P(VdemFrameRejection, FlippedDataBitGivesNoReport)
{
    const int rate = GetParam() == VDEM_INTERFACE_100BPS ? 100 : 600;
    const int64_t bit = kSampleRate / rate;
    Reports reports;
    int32_t packet = start(GetParam(), 0.0f, &reports);
    TxFrame frame;
    frame.type = 1;
    frame.covered = make_payload(8, 0xCAFE, false, 1);
    frame.start_sample = 10 * bit;
    frame.freq_hz = 3000;
    frame.flip_bit = 17;
    int64_t end = frame.start_sample + frame_bit_periods(frame) * bit;
    post_all(render(rate, end + 260 * bit, {frame}), packet);
    EXPECT_TRUE(reports.frames.empty());
}

TEST_P(VdemFrameRejection, WeakFrameIsDroppedAndTheNextOneDecodes)
{
    /* A large gain pushes the first frame's RSSI below -64 dB; the second
     * frame is 40 dB louder. */
    const int rate = GetParam() == VDEM_INTERFACE_100BPS ? 100 : 600;
    const int64_t bit = kSampleRate / rate;
    Reports reports;
    int32_t packet = start(GetParam(), 120.0f, &reports);
    TxFrame weak, loud;
    weak.type = loud.type = 0;
    weak.covered = make_payload(8, 1, false, 2);
    loud.covered = make_payload(8, 2, false, 3);
    weak.start_sample = 10 * bit;
    weak.amplitude = 300; /* 49.5 dB - 120 = -70.5 dB */
    loud.start_sample = weak.start_sample + 300 * bit;
    loud.amplitude = 30000; /* 89.5 dB - 120 = -30.5 dB */
    int64_t end = loud.start_sample + frame_bit_periods(loud) * bit;
    post_all(render(rate, end + 260 * bit, {weak, loud}), packet);
    ASSERT_EQ(reports.frames.size(), 1u);
    EXPECT_EQ(reports.frames[0].frame[2], 2);
    EXPECT_NEAR(reports.frames[0].rssi, rate == 100 ? -30.75 : -32.5, 1.5);
}

TEST_P(VdemFrameRejection, BackToBackFramesAreAllReported)
{
    const int rate = GetParam() == VDEM_INTERFACE_100BPS ? 100 : 600;
    const int64_t bit = kSampleRate / rate;
    Reports reports;
    int32_t packet = start(GetParam(), 0.0f, &reports);
    std::vector<TxFrame> frames;
    for (int i = 0; i < 3; i++) {
        TxFrame f;
        f.type = (i * 7) % 18;
        f.covered = make_payload(kFrameTypes[f.type].covered, 100 + i, i == 1, (uint8_t)i);
        f.start_sample = (10 + 258 * i) * bit;
        f.freq_hz = -5000.0 + 4000 * i;
        f.inverted = i == 2;
        frames.push_back(f);
    }
    int64_t end = frames.back().start_sample + frame_bit_periods(frames.back()) * bit;
    post_all(render(rate, end + 260 * bit, frames), packet);
    ASSERT_EQ(reports.frames.size(), 3u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(reports.frames[i].length, kFrameTypes[frames[i].type].covered);
        EXPECT_EQ(reports.frames[i].frame[1], frames[i].covered[1]);
    }
}

INSTANTIATE_TEST_SUITE_P(BothRates, VdemFrameRejection,
                         ::testing::Values(VDEM_INTERFACE_100BPS, VDEM_INTERFACE_600BPS));

} // namespace
