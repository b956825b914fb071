/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Impulse blanking: what is white and far over the background goes. */
#include "vchan_blanker.h"

#include <algorithm>
#include <cstring>

namespace vchan
{

namespace
{
typedef float f8 __attribute__((vector_size(32)));

/* A sub-block is looked at when its power is over four times the background's
 * (16 samples of noise reach that about once in 10^15). */
constexpr float kExcess = 3.f;
/* White when the lag-1 correlation of the power over the background, summed over
 * the five sub-blocks around, is under this share of that power. White noise over
 * 16 samples has a share of about 0.25 (rms), over a 100 us click 0.23, so a click
 * escapes about once in 10^4; a frame, carrier or hopping burst has 0.9 or more
 * (1 for a tone at any frequency, less the symbol transitions). */
constexpr float kWhite = 0.7f;
/* A white excess lasting longer than this (50 ms) is taken for the new background,
 * so that a rise of the noise itself does not blank the band for good. */
constexpr uint32_t kMaxRun = 600;
/* The background follows what is not blanked over about 64 sub-blocks (5 ms), in
 * sample units of power, not under the rounding noise of 16-bit samples. */
constexpr float kFollow = 1.f / 64.f;
constexpr float kFloor = 1.f;
/* The sum of @y conj(@q) over @n samples (a multiple of eight); @y and @q hold the
 * real and imaginary parts in turn. */
VCHAN_VECTOR_CLONES
cf correlate(const float *y, const float *q, int n)
{
    f8 same = {}, crossed = {};
    for (int i = 0; i < 2 * n; i += 8) {
        f8 a, b;
        memcpy(&a, y + i, sizeof a);
        memcpy(&b, q + i, sizeof b);
        same += a * b;
        crossed += a * __builtin_shufflevector(b, b, 1, 0, 3, 2, 5, 4, 7, 6);
    }
    /* Re: yr qr + yi qi; Im: yi qr - yr qi. */
    float re = 0.f, im = 0.f;
    for (int l = 0; l < 8; l += 2) {
        re += same[l] + same[l + 1];
        im += crossed[l + 1] - crossed[l];
    }
    return cf(re, im);
}

/* The sum of |@y|^2 over @n samples (a multiple of eight), interleaved. */
VCHAN_VECTOR_CLONES
float power(const float *y, int n)
{
    f8 acc = {};
    for (int i = 0; i < 2 * n; i += 8) {
        f8 a;
        memcpy(&a, y + i, sizeof a);
        acc += a * a;
    }
    float sum = 0.f;
    for (int l = 0; l < 8; l++)
        sum += acc[l];
    return sum;
}
} // namespace

void Blanker::measure(const cf *x, int n)
{
    const float *f = reinterpret_cast<const float *>(x);
    for (int s = 0; s < n; s += kSub)
        at(measured_++) =
            Stats{power(f + 2 * s, kSub), correlate(f + 2 * s, f + 2 * s - 2, kSub), false};
}

bool Blanker::excess(const Stats &s) const
{
    return s.r0 > (1.f + kExcess) * float(kSub) * bg0_;
}

/* Whether the power over the background around sub-block @sub comes without the
 * lag-1 correlation that narrow signals bring. */
bool Blanker::white(uint64_t sub)
{
    float s0 = 0.f;
    cf s1{};
    for (uint64_t j = sub > 0 ? sub - 1 : 0; j <= sub + 3; j++) {
        const Stats &st = at(j);
        s0 += st.r0 - float(kSub) * bg0_;
        s1 += st.r1 - float(kSub) * bg1_;
    }
    return std::norm(s1) < kWhite * kWhite * s0 * s0;
}

uint32_t Blanker::release()
{
    /* Decisions need the sub-block before and the three after. */
    for (; decided_ + 4 <= measured_; decided_++) {
        const uint64_t b = decided_;
        Stats &st = at(b);
        if (bg0_ == 0.f) {
            bg0_ = std::max(st.r0 / float(kSub), kFloor);
            bg1_ = st.r1 / float(kSub);
        }
        if (excess(st) && white(b)) {
            st.blank = true;
            if (b > 0)
                at(b - 1).blank = true;
            at(b + 1).blank = true;
        }
    }
    /* Released: what is decided, with both neighbours. */
    uint32_t mask = 0;
    int bit = 0;
    for (; released_ + 2 <= decided_; released_++, bit++) {
        Stats &st = at(released_);
        if (st.blank) {
            mask |= 1u << bit;
            n_blanked_++;
            if (++run_ > kMaxRun) {
                bg0_ = std::max(bg0_, st.r0 / float(kSub));
                bg1_ = st.r1 / float(kSub);
                run_ = 0;
            }
            continue;
        }
        run_ = 0;
        bg0_ = std::max(bg0_ + (st.r0 / float(kSub) - bg0_) * kFollow, kFloor);
        bg1_ += (st.r1 / float(kSub) - bg1_) * kFollow;
    }
    return mask;
}

} // namespace vchan
