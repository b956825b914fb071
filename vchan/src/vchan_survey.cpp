/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The survey of continuous carriers. */
#include "vchan_survey.h"

#include "vchan_median.h"
#include "vchan_tones.h"

#include <algorithm>
#include <cmath>

namespace vchan
{

namespace
{
/* A line is a local maximum this far over the mean noise of a bin (the median over
 * ln 2): 30 dB, about 19 dB over the noise in a 300 Hz bin. Noise alone reaches it
 * with a probability of e^-1000. */
constexpr float kLineOverNoise = 1000.f;
/* Surveys in a row that must find it: the first and the last 2.5 s apart. */
constexpr int kSteady = 11;
/* A line within this many bins of one in the survey before is the same: a carrier
 * wandering at up to 90 Hz/s moves a bin from one survey to the next, and two
 * carriers under two bins apart show as one line or as two about 1.3 bins either
 * side of their middle, from one survey to the next as their phases turn. */
constexpr double kSameLineBins = 1.5;
/* Lines this close to a carrier followed already are what is left of it. */
constexpr double kFollowedBins = 4.0;
/* A second carrier is looked for short of this many bins either side of a line's
 * first measurement (up to the reach of kFollowedBins, past which it makes a line of
 * its own), at the strongest peak of what it leaves (outside the bins nearest it,
 * where what is left of the first one lies), and measured there within
 * kPairNearest of that bin; it must stand over the lines' threshold and
 * within 30 dB of the first (what is left of a strong carrier is further down),
 * and the two are measured without each other this many times. */
constexpr int kPairBins = 5;
constexpr double kPairNearest = 0.75;
constexpr double kPairShare = 1e-3;
constexpr int kPairRounds = 3;
static_assert(kPairBins - 1 >= kFollowedBins);

double bin_to_w(double bin)
{
    return std::remainder(2.0 * M_PI * bin / Survey::kSize, 2.0 * M_PI);
}
} // namespace

Survey::Survey()
    : fft_(kSize), window_(kSize), power_(kSize), scratch_(kSize), samples_(kSize), rest_(kSize)
{
    /* Four-term Blackman-Harris. */
    for (int n = 0; n < kSize; n++) {
        const double x = 2.0 * M_PI * n / kSize;
        window_[size_t(n)] = float(0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) -
                                   0.01168 * std::cos(3 * x));
    }
}

void Survey::look(const cf *ring, uint64_t end, uint64_t next, Tones &tones)
{
    const uint64_t first = end - kSize;
    cf *in = fft_.in();
    for (int n = 0; n < kSize; n++)
        in[n] = ring[(first + uint64_t(n)) & kRingMask] * window_[size_t(n)];
    fft_.run();
    const cf *out = fft_.out();
    for (int k = 0; k < kSize; k++)
        power_[size_t(k)] = std::norm(out[k]);
    std::copy(power_.begin(), power_.end(), scratch_.begin());
    median_ = median_near(scratch_.data(), scratch_.size(), median_);
    const float threshold = kLineOverNoise * std::max(median_, 1e-6f) / float(M_LN2);

    /* This survey's lines, with their position refined between bins. */
    int n_found = 0;
    for (int k = 0; k < kSize && n_found < int(found_.size()); k++) {
        const float p = power_[size_t(k)];
        const float before = power_[size_t((k + kSize - 1) % kSize)];
        const float after = power_[size_t((k + 1) % kSize)];
        if (p <= threshold || p < before || p <= after)
            continue;
        const double a = std::log(double(before) + 1e-30), b = std::log(double(p)),
                     c = std::log(double(after) + 1e-30);
        const double den = a - 2.0 * b + c;
        const double shift = den < 0.0 ? std::clamp(0.5 * (a - c) / den, -0.5, 0.5) : 0.0;
        const double bin = k + shift;
        if (tones.near(bin_to_w(bin), 2.0 * M_PI * kFollowedBins / kSize))
            continue;
        found_[size_t(n_found++)] = Line{bin, 1};
    }
    /* Lines seen in every survey so far carry on; the others are forgotten. */
    for (int i = 0; i < n_found; i++) {
        Line &f = found_[size_t(i)];
        for (int j = 0; j < n_lines_; j++) {
            const double d = std::remainder(f.bin - lines_[size_t(j)].bin, double(kSize));
            if (std::fabs(d) <= kSameLineBins) {
                f.seen = lines_[size_t(j)].seen + 1;
                break;
            }
        }
    }
    n_lines_ = 0;
    for (int i = 0; i < n_found; i++) {
        const Line &f = found_[size_t(i)];
        if (f.seen >= kSteady) {
            /* Both lines of a pair may be due at once; the first takes the two. */
            if (!tones.near(bin_to_w(f.bin), 2.0 * M_PI * kFollowedBins / kSize))
                acquire(ring, end, next, f.bin, threshold, tones);
        } else
            lines_[size_t(n_lines_++)] = f;
    }
}

/* A carrier's frequency (radians per sample) and its value at the first sample of
 * the survey's samples. */
struct Survey::Tone {
    double w;
    std::complex<double> at_first;
};

/* @x's component at @w (radians per sample) over @n of its samples from @from,
 * every @stride-th point of the window weighting them (a window of n points), as
 * its value at x's first sample. */
std::complex<double> Survey::project(const cf *x, double w, int from, int n, int stride) const
{
    std::complex<double> acc{}, rot = 1.0;
    const std::complex<double> step = std::polar(1.0, -w);
    double sum = 0.0;
    for (int i = 0; i < n; i++) {
        const double win = window_[size_t(i * stride)];
        acc += std::complex<double>(x[from + i]) * rot * win;
        sum += win;
        rot *= step;
    }
    return acc * std::polar(1.0, -w * from) / sum;
}

/* The carrier near @w in @x: its frequency from the turn between the two halves,
 * then its value, each under the window (so that other carriers, however strong,
 * do not leak in). */
Survey::Tone Survey::measure(const cf *x, double w) const
{
    /* The halves under a window of half the length: every other point of the full
     * one. Their turn over half the span gives the frequency to a small fraction of
     * a bin. */
    const std::complex<double> h1 = project(x, w, 0, kSize / 2, 2);
    const std::complex<double> h2 = project(x, w, kSize / 2, kSize / 2, 2);
    w += std::arg(h2 * std::conj(h1)) / (kSize / 2);
    return Tone{w, project(x, w, 0, kSize, 1)};
}

/* @out = @x less the carrier @t. */
static void take_out(const cf *x, const Survey::Tone &t, cf *out)
{
    std::complex<double> v = t.at_first;
    const std::complex<double> step = std::polar(1.0, t.w);
    for (int n = 0; n < Survey::kSize; n++) {
        out[n] = x[n] - cf(v);
        v *= step;
        /* Kept at the carrier's size against rounding. */
        if ((n & 1023) == 1023)
            v = std::polar(std::abs(t.at_first), std::arg(v));
    }
}

/* Measures the carrier near @bin over the survey's samples and hands it on. Two
 * carriers under two bins (47 Hz) apart make one line under the window, or two
 * about 1.3 bins either side of their middle, as their phases turn: what the first
 * measurement leaves within kPairBins of it is looked for, and when a second
 * carrier over the lines' @threshold stands there, the two are measured each
 * without the other, in turn, and both handed on. Taken for one, such a pair is
 * followed by neither (the loops cannot settle on their beat), and its beat, whose
 * period is a few bits of either rate, passes for preambles across kilohertz of the
 * band. */
void Survey::acquire(const cf *ring, uint64_t end, uint64_t next, double bin, float threshold,
                     Tones &tones)
{
    const uint64_t first = end - kSize;
    cf *x = samples_.data();
    for (int n = 0; n < kSize; n++)
        x[n] = ring[(first + uint64_t(n)) & kRingMask];
    cf *rest = rest_.data();
    Tone a = measure(x, bin_to_w(bin));
    take_out(x, a, rest);
    /* What is left, under the window, in the lines' units; the strongest bin within
     * reach, outside the nearest. */
    cf *in = fft_.in();
    for (int n = 0; n < kSize; n++)
        in[n] = rest[n] * window_[size_t(n)];
    fft_.run();
    const double a_bin = a.w * kSize / (2.0 * M_PI);
    auto power_at = [&](long k) {
        return double(std::norm(fft_.out()[size_t((k % kSize + kSize) % kSize)]));
    };
    Tone b{0.0, {}};
    double b_power = 0.0;
    for (int d = 1 - kPairBins; d < kPairBins; d++) {
        const long k = std::lround(a_bin) + d;
        const double p = power_at(k);
        if (std::fabs(double(k) - a_bin) < kPairNearest || p <= b_power || p < power_at(k - 1) ||
            p < power_at(k + 1))
            continue;
        b_power = p;
        b = Tone{bin_to_w(double(k)), {}};
    }
    double window_sum = 0.0;
    for (float v : window_)
        window_sum += v;
    bool pair = b_power > double(threshold) &&
                b_power > kPairShare * std::norm(a.at_first) * window_sum * window_sum;
    if (pair) {
        /* A second carrier there is measured where its bin said. */
        const double at = b.w;
        b = measure(rest, at);
        pair = std::fabs(std::remainder(b.w - at, 2.0 * M_PI)) <= kPairNearest * 2.0 * M_PI / kSize;
    }
    if (pair) {
        for (int i = 0; i < kPairRounds; i++) {
            take_out(x, b, rest);
            a = measure(rest, a.w);
            take_out(x, a, rest);
            b = measure(rest, b.w);
        }
    }
    tones.add(a.w, a.at_first * std::polar(1.0, a.w * double(next - first)));
    if (pair &&
        std::fabs(std::remainder(b.w - a.w, 2.0 * M_PI)) >= kPairNearest * 2.0 * M_PI / kSize)
        tones.add(b.w, b.at_first * std::polar(1.0, b.w * double(next - first)));
}

} // namespace vchan
