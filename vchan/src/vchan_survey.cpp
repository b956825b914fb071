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
/* A line moves at most this many bins from one survey to the next (a carrier
 * wandering at up to 90 Hz/s). */
constexpr double kSameLineBins = 1.0;
/* Lines this close to a carrier followed already are what is left of it. */
constexpr double kFollowedBins = 4.0;

double bin_to_w(double bin)
{
    return std::remainder(2.0 * M_PI * bin / Survey::kSize, 2.0 * M_PI);
}
} // namespace

Survey::Survey() : fft_(kSize), window_(kSize), power_(kSize), scratch_(kSize)
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
        if (f.seen >= kSteady)
            acquire(ring, end, next, f.bin, tones);
        else
            lines_[size_t(n_lines_++)] = f;
    }
}

/* Measures the carrier near @bin over the survey's samples: its frequency from the
 * turn between the two halves, then its value at the middle, each under the window
 * (so that other carriers, however strong, do not leak in); and hands it on. */
void Survey::acquire(const cf *ring, uint64_t end, uint64_t next, double bin, Tones &tones)
{
    const uint64_t first = end - kSize;
    auto project = [&](double w, int from, int n, int stride) {
        std::complex<double> acc{}, rot = 1.0;
        const std::complex<double> step = std::polar(1.0, -w);
        double sum = 0.0;
        for (int i = 0; i < n; i++) {
            const double win = window_[size_t(i * stride)];
            acc += std::complex<double>(ring[(first + uint64_t(from + i)) & kRingMask]) * rot * win;
            sum += win;
            rot *= step;
        }
        return acc * std::polar(1.0, -w * from) / sum;
    };
    double w = bin_to_w(bin);
    /* The halves under a window of half the length: every other point of the full
     * one. Their turn over half the span gives the frequency to a small fraction of
     * a bin. */
    const std::complex<double> h1 = project(w, 0, kSize / 2, 2);
    const std::complex<double> h2 = project(w, kSize / 2, kSize / 2, 2);
    w += std::arg(h2 * std::conj(h1)) / (kSize / 2);
    /* project() refers its result to sample first: the carrier's value there. */
    const std::complex<double> at_first = project(w, 0, kSize, 1);
    tones.add(w, at_first * std::polar(1.0, w * double(next - first)));
}

} // namespace vchan
