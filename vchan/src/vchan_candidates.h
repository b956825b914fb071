/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The detections of one bit rate between the bank and the demodulator: merged,
 * held until their frame can be demodulated, strongest first, with what a strong
 * frame's side lobes may account for kept aside until it has been taken. */
#pragma once

#include "vchan_common.h"

#include <vector>

namespace vchan
{

class Demod;

/* Distances at which CandidateList tells the side lobes' ceiling apart. */
constexpr int kLobeLevels = 4;
/* How many detections of one rate may be held. */
constexpr size_t kMaxCandidates = 512;
/* How many candidates may wait for the frame whose side lobes they may be. A frame
 * at 45 dB Eb/N0 raises side-lobe detections across much of the band; when more
 * wait, those furthest over the side-lobe level stay. */
constexpr size_t kMaxShadowed = 128;

/* The merged detections of one rate, waiting until their frame can be demodulated.
 * Fixed capacity; detections of one frame in neighbouring bins and hops merge. */
class CandidateList
{
  public:
    explicit CandidateList(int rate);
    void add(const Candidate &c);
    /* Removes and returns in @c the candidate whose data are complete at sample
     * @now, if any. @demod searches, in the ring @ring, the headers of candidates
     * that a weaker one may wait for, to learn their frames' lengths. */
    bool pop_ready(uint64_t now, Candidate &c, Demod &demod, const cf *ring);
    /* The strongest frame not yet demodulated, starting after @weak (taken at sample
     * @now), whose side lobes may bury it, into @strong: TRUE only when its header
     * is known (searched here with @demod if need be), so that the part of it that
     * is in can be demodulated and taken out for @weak. Usually it is not all in
     * yet; when it is, something else held it back. */
    bool burying(const Candidate &weak, uint64_t now, Demod &demod, const cf *ring,
                 Candidate &strong);
    /* Forgets the header searches over samples @from to @to (exclusive), which
     * have changed. */
    void forget_headers(int64_t from, int64_t to);
    uint64_t dropped() const { return dropped_; }
    /* Whether a candidate held (demodulated or not) is @c's frame: within the merging
     * distance of it. */
    bool near(const Candidate &c) const;
    /* Removes and returns in @c a candidate that candidate @strong's side lobes could
     * account for (kept aside until @strong has been demodulated). */
    bool pop_shadowed(uint32_t strong, Candidate &c);
    /* Puts back a candidate that passed its re-test once @strong was subtracted. */
    void restore(const Candidate &c);
    /* Candidate @id (taken) was demodulated and no frame found: what its side lobes
     * seemed to explain was not its side lobes, and nothing later is taken for them. */
    void fail(uint32_t id);
    /* Removes and returns in @c a candidate detected after the frame whose side
     * lobes it may be was taken, which the receiver re-tests at once. */
    bool pop_late(Candidate &c);

  private:
    void put(size_t i, const Candidate &c);
    void remove(size_t i);
    bool explains(const Candidate &strong, const Candidate &weak) const;
    bool buries(const Candidate &strong, const Candidate &weak) const;
    size_t lobe_bins(const Candidate &a, const Candidate &b) const;
    struct Peek {
        uint64_t now;
        Demod &demod;
        const cf *ring;
    };
    int64_t ready_at(const Candidate &c) const;
    bool waits(Candidate &weak, const Peek &peek);
    bool holds_back(Candidate &strong, const Candidate &weak, const Peek &peek);
    void shadow(const Candidate &weak, const Candidate &strong);

    struct Shadowed {
        Candidate c;
        uint32_t strong; /* id of the candidate that may explain it */
        float excess;    /* its metric over the side-lobe level there */
        bool late;       /* @strong had been demodulated already */
    };

    int bit_;
    double half_rate_;
    double merge_hz_;
    /* Side-lobe level (preamble correlation relative to the peak) of a frame n bins
     * away, for every n up to lobe_top_ (all that the bank can give). */
    const double *lobe_;
    size_t lobe_top_;
    /* kSideLobeMargin times the highest of them from each of a few distances on
     * (kLobeSteps bins), and the distances in Hz past which two candidates are that
     * many bins apart. */
    double lobe_ceiling_[kLobeLevels];
    double lobe_reach_[kLobeLevels];
    std::vector<Candidate> items_;
    /* What add() and waits() look at first of each item, in arrays of their own
     * that a vector loop reads: the frequency, the metric, the metric of those
     * neither done nor cleared (infinite for the others) and the start of those not
     * done (INT64_MIN for the others). put() and remove() keep them in step with
     * items_, as do the two places that mark an item done or cleared. */
    std::vector<double> key_freq_;
    std::vector<float> key_metric_, key_open_;
    std::vector<int64_t> key_live_;
    size_t count_ = 0;
    float max_metric_ = 0.f; /* at least the metric of every candidate held */
    uint64_t dropped_ = 0;
    std::vector<Shadowed> shadowed_;
    size_t n_shadowed_ = 0;
    bool late_ = false; /* some of them are late */
    uint32_t next_id_ = 1;
};

} // namespace vchan
