/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The channeliser and preamble detector of one bit rate: an FFT filter bank whose
 * bins are the matched filters of one bit, and per bin a running differential
 * correlation with the alternating preamble. */
#pragma once

#include "vchan_common.h"
#include "vchan_fft.h"

#include <vector>

namespace vchan
{

class CandidateList;
class Demod;

class Bank
{
  public:
    explicit Bank(int rate);
    Bank(const Bank &) = delete;
    Bank &operator=(const Bank &) = delete;

    bool ok() const { return fft_.ok(); }
    int rate() const { return rate_; }
    /* Samples between two transforms. */
    int hop() const { return hop_; }
    int samples_per_bit() const { return bit_; }
    /* Mean |bin output|^2 of noise. */
    float noise() const { return noise_; }

    /* Runs the transform over the bit period that ends at sample @end (a multiple of
     * hop(), at least one bit period) and adds the preambles it completes to @out. */
    void step(const cf *ring, uint64_t end, CandidateList &out);

  private:
    void update_noise();
    bool coherent(float norm_of_sum, int phase, int bin) const;
    void correlate(int phase, int slot, float alternation);
    void emit(int bin, CandidateList &out);

    int rate_;
    int bit_;
    int hop_;
    int nfft_;
    Fft fft_;
    /* Per timing phase, bin by bin (one row of nfft_ floats each, real and imaginary
     * parts apart so that the per-bin loop vectorises): the output a bit earlier,
     * the last 20 aligned products and their sum. */
    std::vector<float> last_re_, last_im_;
    std::vector<float> products_re_, products_im_; /* [phase][slot][bin] */
    std::vector<float> sums_re_, sums_im_;
    /* The products' sizes and their running sums, for the coherence check. */
    std::vector<float> product_sizes_; /* [phase][slot][bin] */
    std::vector<float> size_sums_;
    std::vector<float> power_; /* |sum|^2 of the current hop */
    std::vector<float> best_;  /* per bin: the best correlation of the current detection */
    std::vector<int64_t> best_hop_;
    /* Bins are scanned in blocks, 2T being a multiple of their size at both rates. */
    static constexpr int kBlock = 64;
    int active_ = 0;                        /* bins with a detection in progress */
    std::vector<uint64_t> active_in_block_; /* per block, a bit per bin in progress */
    std::vector<float> scratch_;
    std::vector<float> sign_; /* +1 at even bins, -1 at odd ones */
    float noise_ = 0.f;       /* mean |bin output|^2 of noise */
    float median_ = 0.f;      /* median |bin output|^2 at the last update */
};

/* Distances at which CandidateList tells the side lobes' ceiling apart. */
constexpr int kLobeLevels = 4;

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
    /* Removes and returns in @c a candidate that candidate @strong's side lobes could
     * account for (kept aside until @strong has been demodulated). */
    bool pop_shadowed(uint32_t strong, Candidate &c);
    /* Puts back a candidate that passed its re-test once @strong was subtracted. */
    void restore(const Candidate &c);
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
