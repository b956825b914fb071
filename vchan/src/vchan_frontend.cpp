/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The receiver's front end. */
#include "vchan_frontend.h"

#include <cmath>

namespace vchan
{

namespace
{
/* The noise in a 300 Hz bin, from the blanker's background power per sample, for
 * the level under which a carrier is let go. */
constexpr double kBinShare = 300.0 / kSampleRate;
} // namespace

/* @n samples of @ring from @first, in one piece: in place, or (where the ring
 * wraps) copied into @copy. */
static cf *piece(cf *ring, uint64_t first, int n, cf *copy)
{
    const uint64_t at = first & kRingMask;
    if (at + uint64_t(n) <= kRingSize)
        return ring + at;
    for (int i = 0; i < n; i++)
        copy[i] = ring[(first + uint64_t(i)) & kRingMask];
    return copy;
}

static void put_back(cf *ring, uint64_t first, int n, const cf *x)
{
    if (x == ring + (first & kRingMask))
        return;
    for (int i = 0; i < n; i++)
        ring[(first + uint64_t(i)) & kRingMask] = x[i];
}

bool FrontEnd::near_carrier(double hz, double within_hz) const
{
    constexpr double kRadians = 2.0 * M_PI / kSampleRate;
    return tones_.count() > 0 && tones_.near(hz * kRadians, within_hz * kRadians);
}

void FrontEnd::chunk(cf *ring, uint64_t end)
{
    const uint64_t first = end - kChunk;
    /* The chunk with the sample before it (the blanker's correlation reaches back
     * one sample). */
    cf *x = piece(ring, first - 1, kChunk + 1, copy_.data()) + 1;
    if (tones_.subtract(reinterpret_cast<float *>(x)))
        put_back(ring, first, kChunk, x);
    blanker_.measure(x, kChunk);
    /* The chunk before is final now. */
    const uint32_t blank = blanker_.release();
    if (first >= uint64_t(kChunk)) {
        const uint64_t last = first - kChunk;
        if (blank != 0)
            for (int i = 0; i < kChunk; i++)
                if (blank & (1u << (i / Blanker::kSub)))
                    ring[(last + uint64_t(i)) & kRingMask] = cf{};
        if (tones_.count() > 0) {
            const cf *y = piece(ring, last, kChunk, copy_.data());
            tones_.release(reinterpret_cast<const float *>(y), blank,
                           double(blanker_.background()) * kBinShare);
        }
    }
    if (first >= uint64_t(Survey::kSize) && first % Survey::kEvery == 0)
        survey_.look(ring, first, end, tones_);
}

} // namespace vchan
