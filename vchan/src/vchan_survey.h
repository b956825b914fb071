/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Finds the continuous carriers for Tones to follow: four times a second a spectrum
 * of the cleaned samples (8192 points, 23 Hz apart, under a Blackman-Harris window
 * whose side lobes stay 92 dB down, so that only real lines stand out), and lines
 * standing 30 dB over its noise at the same frequency in every one of them for
 * 2.5 s. No frame lasts that long (the longest, at 100 bit/s, 2.2 s), so a frame is
 * never taken for a carrier, even one whose bits keep its phase for most of it. */
#pragma once

#include "vchan_common.h"
#include "vchan_fft.h"

#include <array>
#include <vector>

namespace vchan
{

class Tones;

class Survey
{
  public:
    static constexpr int kSize = 8192;
    static constexpr uint64_t kEvery = 48000;

    Survey();
    bool ok() const { return fft_.ok(); }
    /* Looks at the kSize samples of @ring before @end (cleaned, none later); those
     * carriers found steady for long enough join @tones, with their values at
     * sample @next, the first of the next chunk it subtracts from. */
    void look(const cf *ring, uint64_t end, uint64_t next, Tones &tones);

    struct Tone;

  private:
    struct Line {
        double bin; /* in bins of the spectrum, fractional */
        int seen;   /* in this many surveys in a row */
    };
    void acquire(const cf *ring, uint64_t end, uint64_t next, double bin, float threshold,
                 Tones &tones);
    std::complex<double> project(const cf *x, double w, int from, int n, int stride) const;
    Tone measure(const cf *x, double w) const;

    Fft fft_;
    std::vector<float> window_;
    std::vector<float> power_, scratch_;
    /* The samples of a line being measured, and the same less a carrier. */
    std::vector<cf> samples_, rest_;
    float median_ = 0.f;
    std::array<Line, 64> lines_{};
    int n_lines_ = 0;
    std::array<Line, 64> found_{};
};

} // namespace vchan
