/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The optimised filter and frame measurement against the plain reference:
 * same frames, same frequency in whole Hz, RSSI within 0.01 dB. */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <vdem/vdem.h>

#include "vdem_process.h"
#include "vdem_receiver.h"
#include "vdem_test_signal.h"

using namespace vdem_test;

namespace
{

class VdemFastPath : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        vdem_process_set_fast_path(true);
        VDEM_INTERFACE_terminate();
    }

    Reports run(bool fast, int32_t bitrate, const std::vector<int16_t> &iq)
    {
        vdem_process_set_fast_path(fast);
        /* The estimator's unwrapping state outlives an instance: both runs
         * start from the state at load. */
        vdem_process_data.freq_est.last_angl = 0;
        vdem_process_data.freq_est.do_abcde = 0;
        Reports reports;
        int32_t packet = start(bitrate, 5.0f, &reports);
        post_all(iq, packet);
        return reports;
    }
};

TEST_F(VdemFastPath, FilterMatchesThePlainSum)
{
    vdem_interface_config_t config{VDEM_INTERFACE_600BPS, 0.0f};
    char msg[64];
    ASSERT_EQ(VDEM_INTERFACE_init(&config, msg), VDEM_INTERFACE_OK);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1e9f, 1e9f);
    std::vector<vdem_cf32_t> window(VDEM_PROCESS_FIR_TAPS);
    for (int trial = 0; trial < 50; trial++) {
        for (vdem_cf32_t &z : window)
            z = {u(rng), u(rng)};
        float im_plain, im_fast;
        vdem_process_set_fast_path(false);
        float re_plain = vdem_process_fir(window.data(), &im_plain);
        vdem_process_set_fast_path(true);
        float re_fast = vdem_process_fir(window.data(), &im_fast);
        /* Only the order of the additions differs. */
        EXPECT_NEAR(re_fast, re_plain, 1e-4 * 1e9);
        EXPECT_NEAR(im_fast, im_plain, 1e-4 * 1e9);
    }
}

struct MeasureCase {
    int32_t bitrate;
    int length;
    double freq_hz;
    double noise;
};

void PrintTo(const MeasureCase &c, std::ostream *os)
{
    *os << (c.bitrate == VDEM_INTERFACE_100BPS ? 100 : 600) << " bit/s, " << c.length
        << " bytes at " << c.freq_hz << " Hz, noise " << c.noise;
}

class VdemFastMeasurement : public ::testing::TestWithParam<MeasureCase>
{
  protected:
    void TearDown() override
    {
        vdem_process_set_fast_path(true);
        VDEM_INTERFACE_terminate();
    }
};

TEST_P(VdemFastMeasurement, SameFrequencyAndPowerAsThePlainPath)
{
    const MeasureCase c = GetParam();
    vdem_interface_config_t config{c.bitrate, 3.0f};
    char msg[64];
    ASSERT_EQ(VDEM_INTERFACE_init(&config, msg), VDEM_INTERFACE_OK);

    /* A tone with BPSK-like phase flips and noise, filling the whole ring. */
    const int bit = c.bitrate == VDEM_INTERFACE_100BPS ? 1920 : 320;
    std::mt19937 rng((uint32_t)(c.freq_hz * 7 + c.length));
    std::normal_distribution<double> gauss(0.0, 1.0);
    auto noise = [&] { return c.noise * gauss(rng); };
    std::vector<vdem_cf32_t> ring(VDEM_PROCESS_RING);
    int sym = 1;
    for (int n = 0; n < VDEM_PROCESS_RING; n++) {
        if (n % bit == 0 && (rng() & 1))
            sym = -sym;
        double ph = 2 * M_PI * c.freq_hz * n / 192000.0;
        ring[n] = {(float)std::lround(2000 * sym * std::cos(ph) + noise()),
                   (float)std::lround(2000 * sym * std::sin(ph) + noise())};
    }
    const int pos = 123457;

    vdem_proto_frame_t out[2];
    for (int fast = 0; fast < 2; fast++) {
        memcpy(vdem_process_data.freq_est_buffer, ring.data(), sizeof(vdem_cf32_t) * ring.size());
        vdem_process_data.freq_est_buffer_pos = pos;
        vdem_process_data.freq_est.do_abcde = 1;
        vdem_process_data.freq_est.last_angl = 0;
        vdem_process_set_fast_path(fast != 0);
        vdem_process_measure_frame(c.length);
        out[fast] = vdem_process_data.frameout;
    }
    EXPECT_EQ(out[1].freq, out[0].freq);
    EXPECT_NEAR(out[1].rssi, out[0].rssi, 0.01);
    EXPECT_EQ(out[1].snr == 50.0f, out[0].snr == 50.0f);
    /* And the plain path measures the tone. */
    double tol = c.bitrate == VDEM_INTERFACE_100BPS ? 50 : 100;
    if (std::fabs(c.freq_hz) < 90000) {
        EXPECT_NEAR(out[0].freq, c.freq_hz, tol);
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, VdemFastMeasurement,
                         /* Without noise, a tone at exactly 0 Hz puts every flipped symbol on
                          * the +-pi cut of the phase error. */
                         ::testing::Values(MeasureCase{VDEM_INTERFACE_100BPS, 8, 0.0, 0.0},
                                           MeasureCase{VDEM_INTERFACE_600BPS, 20, 0.0, 0.0},
                                           MeasureCase{VDEM_INTERFACE_100BPS, 8, 0.0, 1.0},
                                           MeasureCase{VDEM_INTERFACE_100BPS, 20, 1234.5, 100.0},
                                           MeasureCase{VDEM_INTERFACE_100BPS, 12, -47000.0, 300.0},
                                           MeasureCase{VDEM_INTERFACE_100BPS, 20, 88000.0, 50.0},
                                           MeasureCase{VDEM_INTERFACE_600BPS, 8, 333.0, 0.5},
                                           MeasureCase{VDEM_INTERFACE_600BPS, 20, -71000.0, 200.0},
                                           MeasureCase{VDEM_INTERFACE_600BPS, 16, 20500.0, 1000.0},
                                           MeasureCase{VDEM_INTERFACE_600BPS, 9, -95000.0, 10.0}));

class VdemFastChain : public VdemFastPath, public ::testing::WithParamInterface<double>
{
};

/* Without noise the measurement window starts and ends in exact zeros
 * (silence around the frame), which the fast estimator treats apart: their
 * phase errors are exact on both paths, so they keep the whole measurement on
 * the fast path. */
TEST_P(VdemFastChain, WholeChainReportsTheSameFrames)
{
    const double noise = GetParam();
    for (int32_t bitrate : {VDEM_INTERFACE_100BPS, VDEM_INTERFACE_600BPS}) {
        const int rate = bitrate == VDEM_INTERFACE_100BPS ? 100 : 600;
        const int64_t bit = kSampleRate / rate;
        std::vector<TxFrame> frames;
        for (int i = 0; i < 3; i++) {
            TxFrame f;
            f.type = 5 * i + 2;
            f.covered = make_payload(kFrameTypes[f.type].covered, 1000 + i, false, (uint8_t)i);
            f.start_sample = (12 + 260 * i) * bit + 31 * i;
            f.freq_hz = -60000.0 + 45000 * i + 17;
            f.amplitude = 2500;
            frames.push_back(f);
        }
        int64_t end = frames.back().start_sample + frame_bit_periods(frames.back()) * bit;
        std::vector<int16_t> iq = render(rate, end + 260 * bit, frames, noise, 11);

        Reports plain = run(false, bitrate, iq);
        const uint32_t plain_passes = vdem_process_plain_passes();
        Reports fast = run(true, bitrate, iq);
        EXPECT_EQ(vdem_process_plain_passes(), plain_passes) << rate;
        ASSERT_EQ(plain.frames.size(), 3u) << rate;
        ASSERT_EQ(fast.frames.size(), plain.frames.size()) << rate;
        for (size_t i = 0; i < plain.frames.size(); i++) {
            const vdem_proto_frame_t &a = plain.frames[i], &b = fast.frames[i];
            EXPECT_EQ(b.sampleTimeStamp, a.sampleTimeStamp);
            EXPECT_EQ(b.freq, a.freq);
            EXPECT_NEAR(b.rssi, a.rssi, 0.01);
            EXPECT_NEAR(b.snr, a.snr, 0.01);
            EXPECT_EQ(memcmp(b.frame, a.frame, sizeof a.frame), 0);
            EXPECT_EQ(b.tid, a.tid);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(NoiseLevels, VdemFastChain, ::testing::Values(0.0, 40.0));

/* Noise-free frames whose samples repeat exactly (a carrier at 0 Hz or at a
 * quarter of the sample rate): the estimator's loop locks to the last bit,
 * so every phase flip lands on the +-pi cut of the phase error, where random
 * signals never go. */
struct DegenerateCase {
    int32_t bitrate;
    int type;
    double amplitude;
    double phase;
    bool inverted;
    double freq_hz;
};

void PrintTo(const DegenerateCase &c, std::ostream *os)
{
    *os << (c.bitrate == VDEM_INTERFACE_100BPS ? 100 : 600) << " bit/s, type 0x" << std::hex
        << kFrameTypes[c.type].pattern << std::dec << ", amplitude " << c.amplitude << ", phase "
        << c.phase << (c.inverted ? ", inverted" : "") << ", " << c.freq_hz << " Hz";
}

class VdemFastDegenerate : public VdemFastPath, public ::testing::WithParamInterface<DegenerateCase>
{
};

TEST_P(VdemFastDegenerate, ExactCarrierWithoutNoiseGivesTheSameReport)
{
    const DegenerateCase c = GetParam();
    const int rate = c.bitrate == VDEM_INTERFACE_100BPS ? 100 : 600;
    const int64_t bit = kSampleRate / rate;
    TxFrame f;
    f.type = c.type;
    f.covered = make_payload(kFrameTypes[f.type].covered, 0x5a5a5a5a, false, 1);
    f.start_sample = 20 * bit;
    f.freq_hz = c.freq_hz;
    f.amplitude = c.amplitude;
    f.phase = c.phase;
    f.inverted = c.inverted;
    std::vector<int16_t> iq = render(rate, (20 + frame_bit_periods(f) + 260) * bit, {f});

    Reports plain = run(false, c.bitrate, iq);
    Reports fast = run(true, c.bitrate, iq);
    ASSERT_EQ(plain.frames.size(), 1u);
    ASSERT_EQ(fast.frames.size(), 1u);
    const vdem_proto_frame_t &a = plain.frames[0], &b = fast.frames[0];
    EXPECT_EQ(b.freq, a.freq);
    EXPECT_NEAR(b.rssi, a.rssi, 0.01);
    EXPECT_NEAR(b.snr, a.snr, 0.01);
    EXPECT_EQ(b.sampleTimeStamp, a.sampleTimeStamp);
}

constexpr double kFullScale = 32767;

INSTANTIATE_TEST_SUITE_P(
    ExactOffsets, VdemFastDegenerate,
    ::testing::Values(DegenerateCase{VDEM_INTERFACE_100BPS, 0, 1000, 0.0, false, 0.0},
                      DegenerateCase{VDEM_INTERFACE_100BPS, 0, 1000, 0.0, true, 0.0},
                      DegenerateCase{VDEM_INTERFACE_100BPS, 0, 1000, 0.3, false, 0.0},
                      DegenerateCase{VDEM_INTERFACE_100BPS, 0, kFullScale, 0.0, false, 0.0},
                      DegenerateCase{VDEM_INTERFACE_100BPS, 0, kFullScale, M_PI / 2, true, 0.0},
                      DegenerateCase{VDEM_INTERFACE_100BPS, 0, 1000, 0.0, false, 48000.0},
                      DegenerateCase{VDEM_INTERFACE_600BPS, 0, 1000, 0.0, false, 0.0},
                      DegenerateCase{VDEM_INTERFACE_600BPS, 0, kFullScale, 0.3, true, 0.0},
                      DegenerateCase{VDEM_INTERFACE_600BPS, 5, 1000, 0.3, true, 0.0},
                      DegenerateCase{VDEM_INTERFACE_600BPS, 5, kFullScale, 0.3, false, 0.0},
                      DegenerateCase{VDEM_INTERFACE_600BPS, 14, 1000, M_PI / 2, true, 0.0},
                      DegenerateCase{VDEM_INTERFACE_600BPS, 2, 1000, 0.0, true, -48000.0}));

} // namespace
