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
class DeepList;

/* Bit periods of outputs the bank keeps per timing phase: the header test of a
 * detection kept for combining reads from three bits before a frame's start to
 * its header's last bit, some fifty bits, when that is in. */
constexpr int kHistoryBits = 64;

/* The transform length of a bank: the one-bit window (T = 192000 / R samples)
 * zero-padded to a power of two, whose library transforms take half to a third of
 * the time per point of the mixed-radix lengths near 2T (3840 = 15 * 256 and 640 =
 * 5 * 128). At 100 bit/s 4096 bins 46.875 Hz apart (0.47 R), at 600 bit/s 512 bins
 * 375 Hz apart (0.625 R): a carrier halfway between two bins loses at most 0.8 and
 * 1.5 dB of preamble correlation there. */
constexpr int bank_points(int rate)
{
    return rate == 100 ? 4096 : 512;
}

/* The spacing of a bank's bins, in Hz. */
constexpr double bank_bin_hz(int rate)
{
    return double(kSampleRate) / bank_points(rate);
}

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
    /* The detection threshold, in the units of a candidate's metric. */
    float threshold() const;

    /* Runs the transform over the bit period that ends at sample @end (a multiple of
     * hop(), at least one bit period) and adds the preambles it completes to @out;
     * with @deep, those only over the lower threshold of combining to @deep. */
    void step(const cf *ring, uint64_t end, CandidateList &out, DeepList *deep = nullptr);
    /* The header test of a detection kept for combining, once its header is in (at
     * least kHeaderBits + 4 bits after its start): the best correlation of the
     * known header bits and one of the frame types with the outputs kept, over the
     * alignments within two bits of its start, both timing phases and the bins
     * either side, in units of a bin's noise power. @c's start and carrier are set
     * to the best one's. */
    float header_score(Candidate &c) const;

  private:
    void update_noise();
    bool coherent(float norm_of_sum, int phase, int bin) const;
    void correlate(int phase, int64_t bit, float alternation);
    /* The detection whose best correlation @power was at bin @bin on hop @hop. */
    Candidate detection(int bin, int64_t hop, float power) const;
    void emit(int bin, CandidateList &out);
    void track_deep(int b0, int phase, int64_t n, uint64_t over, uint64_t above);
    void emit_deep(int64_t n, DeepList &deep);

    int rate_;
    int bit_;
    int hop_;
    int nfft_;
    Fft fft_;
    /* Per timing phase, bin by bin (one row of nfft_ floats each, real and imaginary
     * parts apart so that the per-bin loop vectorises): the outputs of the last
     * kHistoryBits bits (the one a bit earlier gives the products), the last 20
     * aligned products and their sum. */
    std::vector<float> history_re_, history_im_;   /* [phase][bit % kHistoryBits][bin] */
    std::vector<float> products_re_, products_im_; /* [phase][slot][bin] */
    std::vector<float> sums_re_, sums_im_;
    /* The products' sizes and their running sums, for the coherence check. */
    std::vector<float> product_sizes_; /* [phase][slot][bin] */
    std::vector<float> size_sums_;
    std::vector<float> power_; /* |sum|^2 of the current hop */
    std::vector<float> best_;  /* per bin: the best correlation of the current detection */
    std::vector<int64_t> best_hop_;
    /* Bins are scanned in blocks, the transform's length being a multiple of their
     * size at both rates. */
    static constexpr int kBlock = 64;
    int active_ = 0;                        /* bins with a detection in progress */
    std::vector<uint64_t> active_in_block_; /* per block, a bit per bin in progress */
    std::vector<float> scratch_;
    /* The same tracking for detections between the lower threshold of combining
     * and the threshold. */
    std::vector<float> deep_best_;
    std::vector<int64_t> deep_best_hop_;
    int deep_active_ = 0;
    std::vector<uint64_t> deep_active_in_block_;
    float noise_ = 0.f;  /* mean |bin output|^2 of noise */
    float median_ = 0.f; /* median |bin output|^2 at the last update */
};

} // namespace vchan
