/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The receiver's front end: what a real card and its surroundings add to the band
 * that can be measured and taken out is taken out of the samples before the banks
 * see them. Continuous carriers (and the DC offset, a carrier at 0 Hz) are followed
 * and subtracted (Tones, found by Survey); clicks and overload bursts are blanked
 * (Blanker). Everything downstream (the banks, the demodulators, the canceller)
 * reads the cleaned ring. The blanker looks kDelay samples ahead, so the ring is
 * final that far behind the samples posted. */
#pragma once

#include "vchan_blanker.h"
#include "vchan_survey.h"
#include "vchan_tones.h"

#include <array>

namespace vchan
{

class FrontEnd
{
  public:
    static constexpr int kChunk = Tones::kChunk;
    static constexpr int kDelay = Blanker::kLookahead;
    static_assert(kDelay == kChunk, "the chunk before the last one posted is final");
    static_assert(kDelay == kFrontEndDelay);

    bool ok() const { return survey_.ok(); }
    /* Cleans the kChunk raw samples of @ring before @end in place, and makes the chunk
     * before them final (@end - kDelay samples are final once it returns). */
    void chunk(cf *ring, uint64_t end);
    int carriers() const { return tones_.count(); }
    /* Whether a carrier is followed within @within_hz of @hz. */
    bool near_carrier(double hz, double within_hz) const;
    uint64_t blanked_samples() const { return blanker_.blanked() * Blanker::kSub; }

  private:
    Tones tones_;
    Blanker blanker_;
    Survey survey_;
    /* A chunk and the sample before it, where the ring wraps under them. */
    std::array<cf, kChunk + 1> copy_{};
};

} // namespace vchan
