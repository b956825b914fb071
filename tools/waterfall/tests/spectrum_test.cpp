/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The spectrum lines: where a carrier lands and at what power, what noise
 * reads, and that the lines do not depend on how the stream is cut. */
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "spectrum.h"

namespace
{

using namespace waterfall;

constexpr gdouble kGain = 98.0;

std::vector<gint16> carrier(gdouble hz, gdouble amplitude, gsize n, guint64 from = 0)
{
    std::vector<gint16> iq(2 * n);
    for (gsize i = 0; i < n; i++) {
        const gdouble phase = 2 * G_PI * hz * static_cast<gdouble>(from + i) / kSampleRate;
        iq[2 * i] = static_cast<gint16>(std::lround(amplitude * std::cos(phase)));
        iq[2 * i + 1] = static_cast<gint16>(std::lround(amplitude * std::sin(phase)));
    }
    return iq;
}

std::vector<Line> run(const std::vector<gint16> &iq, gsize chunk, gint64 t0 = 1000000)
{
    std::vector<Line> lines;
    Spectrum spectrum(kGain, [&](const Line &l) { lines.push_back(l); });
    const gsize n = iq.size() / 2;
    for (gsize at = 0; at < n; at += chunk) {
        const gsize take = std::min(chunk, n - at);
        spectrum.add(iq.data() + 2 * at, take, at,
                     t0 + static_cast<gint64>(at) * 1000000 / kSampleRate);
    }
    spectrum.flush();
    return lines;
}

guint peak(const Line &line)
{
    return static_cast<guint>(std::max_element(line.db.begin(), line.db.end()) - line.db.begin());
}

TEST(Spectrum, CarrierLandsInItsBinAtItsPowerAcrossTheBand)
{
    /* Exact bins, a half bin off (the window's worst loss, 1.42 dB), the edges. */
    for (gdouble hz : {0.0, 37500.0, -42093.75, -96000.0, 95812.5, 1500.0 + kBinHz / 2}) {
        SCOPED_TRACE(hz);
        const gdouble amplitude = 3000.0;
        const std::vector<Line> lines = run(carrier(hz, amplitude, 2 * kSampleRate), 4096);
        ASSERT_EQ(lines.size(), 8u);
        for (gsize i = 0; i < lines.size(); i++) {
            EXPECT_EQ(lines[i].seq, i);
            EXPECT_EQ(lines[i].first_sample, i * kSamplesPerLine);
            /* Each write's time is whole microseconds: 1 us of rounding. */
            EXPECT_NEAR(lines[i].time_us, 1000000 + static_cast<gint64>(i) * 250000, 1);
            EXPECT_EQ(lines[i].blocks, kBlocksPerLine);
        }
        const Line &l = lines[3];
        const guint b = peak(l);
        EXPECT_LE(std::abs(hz_of(b) - hz), kBinHz / 2 + 1e-9);
        const gdouble power = 20 * std::log10(amplitude) - kGain;
        EXPECT_LE(l.db[b], power + 0.1);
        EXPECT_GE(l.db[b], power - 1.5);
        /* Far from the carrier the band is empty (the window's side lobes and
         * the rounding of the samples). */
        EXPECT_LT(l.db[(b + kBins / 2) % kBins], power - 60);
    }
    EXPECT_EQ(bin_of(-96000), 0u);
    EXPECT_EQ(bin_of(0), kBins / 2);
    EXPECT_EQ(bin_of(1e9), kBins - 1);
}

TEST(Spectrum, NoiseReadsItsPowerPerBinAndTheFloorsFollowIt)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> gauss(0.0, 100.0); /* 2 * 100^2 over the band */
    const gsize n = 4 * kSampleRate;
    std::vector<gint16> iq(2 * n);
    for (gint16 &v : iq)
        v = static_cast<gint16>(std::lround(gauss(rng)));
    /* A carrier in the third of eight segments must not lift its floor. */
    const std::vector<gint16> tone = carrier(-40000, 2000, n);
    for (gsize i = 0; i < iq.size(); i++)
        iq[i] = static_cast<gint16>(iq[i] + tone[i]);
    const std::vector<Line> lines = run(iq, 48000);
    ASSERT_EQ(lines.size(), 16u);
    /* Per bin: the band's noise over 1024 bins, times the Hann window's
     * noise bandwidth of 1.5 bins. */
    const gdouble expected = 10 * std::log10(2 * 100.0 * 100.0 * 1.5 / kBins) - kGain;
    /* A floor is the median of 128 bins, each the mean of 4 blocks: it reads
     * about 0.4 dB under the mean power, give or take 0.7 dB line to line. */
    float floors[8];
    for (const Line &l : lines) {
        segment_floors(l, 8, floors);
        for (float f : floors)
            EXPECT_NEAR(f, expected - 0.4, 1.1);
    }
}

TEST(Spectrum, LinesDoNotDependOnHowTheStreamIsCut)
{
    const std::vector<gint16> iq = carrier(12345, 5000, kSampleRate / 2 + 1500);
    const std::vector<Line> whole = run(iq, iq.size());
    /* The last line partial: flushed with its one whole block. */
    ASSERT_EQ(whole.size(), 3u);
    EXPECT_EQ(whole[2].blocks, 1u);
    for (gsize chunk : {gsize{1}, gsize{1023}, gsize{6000}, gsize{48001}}) {
        SCOPED_TRACE(chunk);
        const std::vector<Line> cut = run(iq, chunk);
        ASSERT_EQ(cut.size(), whole.size());
        for (gsize i = 0; i < cut.size(); i++)
            EXPECT_EQ(cut[i].db, whole[i].db);
    }
}

TEST(Spectrum, AGapEndsTheLineAndTheNextStartsWhereTheSamplesResume)
{
    std::vector<Line> lines;
    Spectrum spectrum(kGain, [&](const Line &l) { lines.push_back(l); });
    const std::vector<gint16> a = carrier(0, 1000, 60000), b = carrier(0, 1000, 60000, 100000);
    spectrum.add(a.data(), 60000, 0, 0);
    EXPECT_DOUBLE_EQ(spectrum.position(), 1.0 + 12000.0 / kSamplesPerLine);
    spectrum.add(b.data(), 60000, 100000, 2000000);
    spectrum.flush();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].first_sample, 48000u);
    EXPECT_EQ(lines[1].blocks, 1u); /* the block at 0 of its 12000 samples (the next at 12000) */
    EXPECT_EQ(lines[2].seq, 2u);
    EXPECT_EQ(lines[2].first_sample, 100000u);
    EXPECT_EQ(lines[2].time_us, 2000000);
    EXPECT_EQ(lines[3].first_sample, 148000u);
    EXPECT_EQ(spectrum.lines(), 4u);
}

TEST(Spectrum, SilenceAndFullScaleStayFinite)
{
    const std::vector<gint16> zero(2 * kSamplesPerLine, 0);
    std::vector<gint16> full(2 * kSamplesPerLine);
    for (gsize i = 0; i < full.size(); i++)
        full[i] = (i / 2) % 2 ? G_MAXINT16 : G_MININT16;
    for (const std::vector<gint16> *iq : {&zero, static_cast<const std::vector<gint16> *>(&full)}) {
        const std::vector<Line> lines = run(*iq, kSamplesPerLine);
        ASSERT_EQ(lines.size(), 1u);
        for (float v : lines[0].db)
            EXPECT_TRUE(std::isfinite(v));
    }
    /* Full scale alternating sign is a carrier at -96 kHz near the top of the scale. */
    const std::vector<Line> lines = run(full, kSamplesPerLine);
    EXPECT_EQ(peak(lines[0]), 0u);
    EXPECT_NEAR(lines[0].db[0], 20 * std::log10(32767.5 * std::sqrt(2.0)) - kGain, 1.0);
}

} // namespace
