/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The sample stream: determinism, noise level, frame power, timing, modulation, band. */
#include "vekgen/vekgen.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <vector>

namespace
{

using cd = std::complex<double>;

std::vector<gint16> render(VekgenSignal *s, gsize n)
{
    std::vector<gint16> iq(2 * n);
    vekgen_signal_fill(s, iq.data(), n);
    return iq;
}

cd at(const std::vector<gint16> &iq, gsize n)
{
    return {static_cast<double>(iq[2 * n]), static_cast<double>(iq[2 * n + 1])};
}

double mean_power(const std::vector<gint16> &iq, gsize from, gsize to)
{
    double sum = 0.0;
    for (gsize n = from; n < to; n++)
        sum += std::norm(at(iq, n));
    return sum / static_cast<double>(to - from);
}

VekgenFrame frame(guint rate, guint len, guint rep, double freq, double power, guint64 start)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    f.bit_rate = rate;
    f.covered_len = static_cast<guint8>(len);
    f.repetition = static_cast<guint8>(rep);
    f.offset_hz = freq;
    f.power_db = power;
    f.start_sample = start;
    f.phase = 0.7;
    for (guint i = 0; i < len; i++)
        f.bytes[i] = static_cast<guint8>(0xA5 ^ (i * 29));
    return f;
}

TEST(VekgenSignalDeterminism, SameSeedSameSamplesWhateverTheChunking)
{
    g_autoptr(VekgenSignal) a = vekgen_signal_new(42, 30.0);
    g_autoptr(VekgenSignal) b = vekgen_signal_new(42, 30.0);
    VekgenFrame f = frame(600, 12, 2, 1234.5, 50.0, 1000);
    ASSERT_TRUE(vekgen_signal_add_frame(a, &f, nullptr));
    ASSERT_TRUE(vekgen_signal_add_frame(b, &f, nullptr));
    auto whole = render(a, 100000);
    std::vector<gint16> pieces;
    for (gsize n : {1u, 4095u, 4097u, 333u, 91474u}) {
        auto part = render(b, n);
        pieces.insert(pieces.end(), part.begin(), part.end());
    }
    EXPECT_EQ(vekgen_signal_get_position(b), 100000u);
    EXPECT_EQ(whole, pieces);

    g_autoptr(VekgenSignal) c = vekgen_signal_new(43, 30.0);
    EXPECT_NE(render(c, 1000), std::vector<gint16>(whole.begin(), whole.begin() + 2000));
}

TEST(VekgenSignalNoise, HasTheRequestedPowerAndIsCentred)
{
    g_autoptr(VekgenSignal) s = vekgen_signal_new(7, 40.0);
    const gsize n = 400000;
    auto iq = render(s, n);
    /* 400000 samples: the relative standard error of the power is 1/sqrt(n) = 0.16 %. */
    EXPECT_NEAR(10.0 * std::log10(mean_power(iq, 0, n)), 40.0, 0.05);
    double mean_i = 0, mean_q = 0, corr = 0;
    for (gsize k = 0; k < n; k++) {
        mean_i += iq[2 * k];
        mean_q += iq[2 * k + 1];
        corr += double(iq[2 * k]) * iq[2 * k + 1];
    }
    EXPECT_NEAR(mean_i / n, 0.0, 0.5);
    EXPECT_NEAR(mean_q / n, 0.0, 0.5);
    EXPECT_NEAR(corr / n / 5000.0, 0.0, 0.01); /* I and Q independent, each of variance 5000 */
}

TEST(VekgenSignalNoise, NoneGivesSilence)
{
    g_autoptr(VekgenSignal) s = vekgen_signal_new(7, -G_MAXDOUBLE);
    auto iq = render(s, 5000);
    for (gint16 v : iq)
        ASSERT_EQ(v, 0);
}

TEST(VekgenSignalFrame, OccupiesExactlyItsSymbolsAtItsPower)
{
    g_autoptr(VekgenSignal) s = vekgen_signal_new(1, -G_MAXDOUBLE);
    VekgenFrame f = frame(600, 8, 1, 0.0, 60.0, 777);
    ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
    const guint64 end = vekgen_frame_end_sample(&f);
    EXPECT_EQ(end, 777u + (41u + 80u) * 320u);
    auto iq = render(s, end + 500);
    EXPECT_EQ(mean_power(iq, 0, 777), 0.0);
    EXPECT_EQ(mean_power(iq, end, end + 500), 0.0);
    EXPECT_NEAR(10.0 * std::log10(mean_power(iq, 777, end)), 60.0, 0.01);
    EXPECT_NE(std::norm(at(iq, 777)), 0.0);
    EXPECT_NE(std::norm(at(iq, end - 1)), 0.0);
}

/* The differential decision of bit k: symbol k times the conjugate of symbol k-1, taken at
 * the symbol centres and turned back by the carrier's rotation over one bit period. */
std::vector<guint8> differential_bits(const std::vector<gint16> &iq, const VekgenFrame &f)
{
    const guint T = vekgen_samples_per_bit(f.bit_rate);
    const cd turn = std::polar(1.0, -2.0 * G_PI * f.offset_hz * T / VEKGEN_SAMPLE_RATE);
    std::vector<guint8> bits;
    for (guint k = 1; k < vekgen_frame_symbols(&f); k++) {
        const gsize mid = f.start_sample + k * T + T / 2;
        const cd product = at(iq, mid) * std::conj(at(iq, mid - T)) * turn;
        bits.push_back(product.real() > 0 ? 1 : 0);
    }
    return bits;
}

TEST(VekgenSignalModulation, KeepsTheSymbolForAOneAndFlipsItForAZero)
{
    for (gboolean inverted : {gboolean{FALSE}, gboolean{TRUE}}) {
        for (double freq : {0.0, 333.0, -47000.0, 95500.0}) {
            g_autoptr(VekgenSignal) s = vekgen_signal_new(1, -G_MAXDOUBLE);
            VekgenFrame f = frame(100, 16, 2, freq, 50.0, 0);
            f.inverted = inverted;
            ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
            auto iq = render(s, vekgen_frame_end_sample(&f));
            std::array<guint8, 256> want{};
            const guint n = vekgen_frame_bits(&f, want.data());
            auto got = differential_bits(iq, f);
            ASSERT_EQ(got.size(), n);
            for (guint k = 0; k < n; k++)
                ASSERT_EQ(got[k], inverted ? 1 - want[k] : want[k])
                    << "bit " << k << " freq " << freq << " inverted " << inverted;
        }
    }
}

TEST(VekgenSignalModulation, CarrierSitsAtItsOffsetAcrossTheBand)
{
    for (double freq : {-95900.0, -60000.0, -1.0, 0.0, 250.0, 37500.0, 95900.0}) {
        g_autoptr(VekgenSignal) s = vekgen_signal_new(1, -G_MAXDOUBLE);
        VekgenFrame f = frame(600, 8, 1, freq, 70.0, 0);
        ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
        auto iq = render(s, vekgen_frame_end_sample(&f));
        /* Mean phase step between neighbours inside each symbol. */
        cd acc{};
        for (guint k = 0; k < vekgen_frame_symbols(&f); k++)
            for (guint n = k * 320 + 1; n < (k + 1) * 320; n++)
                acc += at(iq, n) * std::conj(at(iq, n - 1));
        const double measured = std::arg(acc) * VEKGEN_SAMPLE_RATE / (2.0 * G_PI);
        EXPECT_NEAR(measured, freq, 0.5) << freq;
    }
}

TEST(VekgenSignalModulation, ClipsToTheSixteenBitRangeWithoutWrapping)
{
    /* The same carrier 20 dB apart: 80 dB stays in range, 100 dB (amplitude 100000) clips.
     * A clipped value keeps its sign and is never smaller than the unclipped one. */
    g_autoptr(VekgenSignal) loud = vekgen_signal_new(1, -G_MAXDOUBLE);
    g_autoptr(VekgenSignal) fair = vekgen_signal_new(1, -G_MAXDOUBLE);
    VekgenFrame f = frame(600, 8, 1, 1000.0, 100.0, 0);
    ASSERT_TRUE(vekgen_signal_add_frame(loud, &f, nullptr));
    f.power_db = 80.0;
    ASSERT_TRUE(vekgen_signal_add_frame(fair, &f, nullptr));
    auto big = render(loud, 4000), small = render(fair, 4000);
    int at_limit = 0;
    for (gsize n = 0; n < big.size(); n++) {
        at_limit += big[n] == 32767 || big[n] == -32768;
        ASSERT_GE(int(big[n]) * int(small[n]), 0) << n;
        ASSERT_GE(std::abs(int(big[n])), std::abs(int(small[n]))) << n;
    }
    EXPECT_GT(at_limit, 4000);
}

TEST(VekgenSignalFrames, OverlappingFramesAdd)
{
    g_autoptr(VekgenSignal) one = vekgen_signal_new(1, -G_MAXDOUBLE);
    g_autoptr(VekgenSignal) two = vekgen_signal_new(1, -G_MAXDOUBLE);
    VekgenFrame f = frame(600, 8, 1, 5000.0, 50.0, 0);
    VekgenFrame g = frame(600, 8, 1, -5000.0, 50.0, 0);
    ASSERT_TRUE(vekgen_signal_add_frame(one, &f, nullptr));
    ASSERT_TRUE(vekgen_signal_add_frame(two, &f, nullptr));
    ASSERT_TRUE(vekgen_signal_add_frame(two, &g, nullptr));
    const gsize n = vekgen_frame_end_sample(&f);
    /* Uncorrelated carriers: the powers add, 3 dB more. */
    EXPECT_NEAR(10.0 *
                    std::log10(mean_power(render(two, n), 0, n) / mean_power(render(one, n), 0, n)),
                3.01, 0.05);
}

TEST(VekgenSignalFrames, KeepsThemInOrderAndRefusesThePast)
{
    g_autoptr(VekgenSignal) s = vekgen_signal_new(1, 10.0);
    VekgenFrame late = frame(100, 8, 1, 0.0, 50.0, 900000);
    VekgenFrame early = frame(600, 20, 3, 0.0, 50.0, 100);
    ASSERT_TRUE(vekgen_signal_add_frame(s, &late, nullptr));
    ASSERT_TRUE(vekgen_signal_add_frame(s, &early, nullptr));
    guint n = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(s, &n);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(frames[0].start_sample, 100u);
    EXPECT_EQ(vekgen_signal_get_end(s), 900000u + 258u * 1920u);
    vekgen_signal_skip(s, 1000);
    g_autoptr(GError) error = nullptr;
    VekgenFrame past = frame(600, 8, 1, 0.0, 50.0, 999);
    EXPECT_FALSE(vekgen_signal_add_frame(s, &past, &error));
    EXPECT_TRUE(g_error_matches(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID));
    VekgenFrame bad = frame(600, 11, 1, 0.0, 50.0, 5000);
    EXPECT_FALSE(vekgen_signal_add_frame(s, &bad, nullptr));
    EXPECT_EQ(vekgen_signal_get_frames(s, nullptr), frames);
}

TEST(VekgenSignalScenario, DefaultScenarioHasBothRatesSpacedForTheReceiver)
{
    g_autoptr(VekgenSignal) s = vekgen_signal_new_default_scenario(1);
    guint n = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(s, &n);
    ASSERT_GE(n, 8u);
    guint at100 = 0, at600 = 0;
    for (guint i = 0; i < n; i++) {
        EXPECT_TRUE(vekgen_frame_check(&frames[i], nullptr));
        (frames[i].bit_rate == 100 ? at100 : at600)++;
        for (guint j = i + 1; j < n; j++)
            if (frames[j].bit_rate == frames[i].bit_rate) {
                EXPECT_GE(frames[j].start_sample, vekgen_frame_tail_end_sample(&frames[i]));
                break;
            }
    }
    EXPECT_GE(at100, 4u);
    EXPECT_GE(at600, 4u);
}

} // namespace
