/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Impulse blanking ahead of the banks. Clicks and overload bursts are white: their
 * power jumps over the band's and their samples are uncorrelated from one to the
 * next. Everything the receiver should hear is narrow beside the 192 kHz band (a
 * frame, a carrier, another system's hopping burst), so its power comes with a lag-1
 * correlation nearly as large. Power that jumps without that correlation is set to
 * zero before the banks see it, where a single such sample would otherwise pass the
 * preamble detector's coherence test in every bin. */
#pragma once

#include "vchan_common.h"

#include <array>

namespace vchan
{

class Blanker
{
  public:
    /* Samples per decision, and the samples the decisions look ahead of those they
     * release: a sub-block is judged with the one before and the three after it, and
     * blanks its neighbours too (the edges of a click). */
    static constexpr int kSub = 16;
    static constexpr int kLookahead = 5 * kSub;

    /* The statistics of @n (a multiple of kSub) further samples @x; x[-1] is the
     * sample before them. */
    void measure(const cf *x, int n);
    /* Decides what can be decided now and releases the kLookahead samples before the
     * last kLookahead measured: a bit per sub-block, set for those to blank (the
     * first sub-block in bit 0). Only once kLookahead samples beyond them have been
     * measured; it returns 0 before. */
    uint32_t release();
    /* Mean power per sample of what is not blanked (noise and steady signals). */
    float background() const { return bg0_; }
    /* Sub-blocks blanked so far. */
    uint64_t blanked() const { return n_blanked_; }

  private:
    struct Stats {
        float r0 = 0.f; /* sum of |y|^2 */
        cf r1{};        /* sum of y[n] conj(y[n-1]) */
        bool blank = false;
    };
    Stats &at(uint64_t sub) { return ring_[sub % ring_.size()]; }
    bool excess(const Stats &s) const;
    bool white(uint64_t sub);

    std::array<Stats, 32> ring_{};
    uint64_t measured_ = 0; /* sub-blocks measured */
    uint64_t decided_ = 0;  /* sub-blocks decided */
    uint64_t released_ = 0; /* sub-blocks released */
    float bg0_ = 0.f;       /* background power per sample */
    cf bg1_{};              /* background lag-1 correlation per sample */
    uint32_t run_ = 0;      /* sub-blocks blanked in a row, up to the last released */
    uint64_t n_blanked_ = 0;
};

} // namespace vchan
