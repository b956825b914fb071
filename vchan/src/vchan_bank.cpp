/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Channeliser and preamble detector of one bit rate. */
#include "vchan_bank.h"

#include "vchan_candidates.h"
#include "vchan_median.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

namespace vchan
{

namespace
{
/* Timing phases per bit: the bank runs every half bit. A quarter bit lost no
 * fewer frames at 6 to 8 dB Eb/N0 (bench/vchan_measure) and cost twice the time;
 * the demodulator searches the timing itself. */
constexpr int kPhases = 2;
/* Detection threshold on |correlation|, in units of the noise power of a bin. Under
 * noise |S|^2 is about exponential with mean 20 noise^2, so 20^2 leaves about 2e-9
 * per bin and hop (heavier tails make it about one candidate a second); a preamble
 * at 6 dB Eb/N0 averages about 60 with a spread of 12. */
constexpr float kThreshold = 20.f;
/* Share of the products' sizes that their sum must reach: a preamble at 3 dB Eb/N0
 * reaches about 0.7, twenty random data bits 0.5 about once in 50. */
constexpr float kCoherence = 0.5f;
/* The products of a preamble in noise are of a size: at 3 dB Eb/N0 their spread
 * amounts to 14 or more of its 20 products, with a few bits of a burst of another
 * system over the noise to 5 or so. */
constexpr float kSpread = 10.f;
/* A detection is handed on six bits after its best hop. */
constexpr int kSettleHops = 6 * kPhases;

/* One timing phase's differential products of this hop's outputs @y (interleaved)
 * with those a bit earlier and their sizes, added to and taken from the running
 * sums, and the sums' power. Apart from the member functions so that the vectoriser sees
 * plain restricted pointers; built for AVX2 too where the processor has it. A carrier
 * turns by the same angle from one bit period to the next in every bin that sees it,
 * so the products of a preamble add up whatever that angle; only the alternation of
 * the preamble's bits is undone (@alternation, +1 or -1). */
VCHAN_VECTOR_CLONES
void differential_products(size_t n, float alternation, const float *__restrict y,
                           float *__restrict lre, float *__restrict lim, float *__restrict sre,
                           float *__restrict sim, float *__restrict pre, float *__restrict pim,
                           float *__restrict psz, float *__restrict ssz, float *__restrict pw)
{
    const float s = alternation;
    for (size_t i = 0; i < n; i++) {
        const float yr = y[2 * i], yi = y[2 * i + 1];
        const float dr = s * (yr * lre[i] + yi * lim[i]);
        const float di = s * (yi * lre[i] - yr * lim[i]);
        lre[i] = yr;
        lim[i] = yi;
        sre[i] += dr - pre[i];
        sim[i] += di - pim[i];
        pre[i] = dr;
        pim[i] = di;
        const float size = std::sqrt(dr * dr + di * di);
        ssz[i] += size - psz[i];
        psz[i] = size;
        pw[i] = sre[i] * sre[i] + sim[i] * sim[i];
    }
}

/* @out[i] = the sum of the kPreambleBits rows of @rows (@n floats each) at i, added
 * in row order: one row after the other, each read straight through, which the
 * processor's prefetching follows (a row from twenty bits ago is rarely still in
 * the cache). */
VCHAN_VECTOR_CLONES
void sum_rows(size_t n, const float *__restrict rows, float *__restrict out)
{
    memcpy(out, rows, n * sizeof(float));
    for (int k = 1; k < kPreambleBits; k++) {
        const float *__restrict row = rows + size_t(k) * n;
        for (size_t i = 0; i < n; i++)
            out[i] += row[i];
    }
}
} // namespace

Bank::Bank(int rate)
    : rate_(rate), bit_(vchan::samples_per_bit(rate)), hop_(bit_ / kPhases),
      nfft_(bank_points(rate)), fft_(nfft_)
{
    const size_t row = size_t(nfft_) * kPhases;
    last_re_.assign(row, 0.f);
    last_im_.assign(row, 0.f);
    products_re_.assign(row * kPreambleBits, 0.f);
    product_sizes_.assign(row * kPreambleBits, 0.f);
    size_sums_.assign(row, 0.f);
    products_im_.assign(row * kPreambleBits, 0.f);
    sums_re_.assign(row, 0.f);
    sums_im_.assign(row, 0.f);
    power_.assign(nfft_, 0.f);
    best_.assign(nfft_, 0.f);
    best_hop_.assign(nfft_, -1);
    scratch_.assign(nfft_, 0.f);
    active_in_block_.assign(size_t(nfft_ / kBlock), 0);
}

void Bank::update_noise()
{
    const cf *y = fft_.out();
    for (int b = 0; b < nfft_; b++)
        scratch_[size_t(b)] = std::norm(y[b]);
    const float median = median_near(scratch_.data(), size_t(nfft_), median_);
    median_ = median;
    /* The median of an exponential variable is ln 2 times its mean; signals occupy a
     * few bins each, so the median stays on the noise. The floor is the rounding
     * noise of 16-bit samples. */
    const float estimate = std::max(median / float(M_LN2), float(bit_) * 0.25f);
    noise_ = noise_ == 0.f ? estimate : 0.9f * noise_ + 0.1f * estimate;
}

void Bank::emit(int bin, CandidateList &out)
{
    const int signed_bin = bin < nfft_ / 2 ? bin : bin - nfft_;
    /* The correlation peaks when its 20 bits end at bit 19 or 20 of the frame, that
     * is 21 or 22 bit periods after the first symbol began. */
    const int64_t end = best_hop_[bin] * hop_;
    Candidate c;
    c.start = end - (43 * bit_) / 2;
    c.freq = signed_bin * bank_bin_hz(rate_);
    c.metric = std::sqrt(best_[bin]);
    c.done = false;
    out.add(c);
    best_hop_[bin] = -1;
    best_[bin] = 0.f;
    active_--;
    active_in_block_[bin / kBlock] &= ~(uint64_t{1} << (bin % kBlock));
}

/* A preamble's 20 products line up, so their sum is nearly the sum of their sizes;
 * the products of a frame's data bits or of another frame's side lobes add up like
 * a random walk (about 0.22 of it). Checked only above the threshold. */
bool Bank::coherent(float norm_of_sum, int phase, int bin) const
{
    const float size = size_sums_[size_t(phase) * size_t(nfft_) + size_t(bin)];
    if (norm_of_sum < kCoherence * kCoherence * size * size)
        return false;
    /* And a preamble's products are all of a size, where a few large ones (another
     * system's burst of a few bits, leaking into the bin) add up as if coherent: the
     * number of products that the sizes' spread amounts to, (sum s)^2 / sum s^2,
     * must reach kSpread. */
    const size_t stride = size_t(nfft_);
    const float *sizes = &product_sizes_[size_t(phase) * kPreambleBits * stride + size_t(bin)];
    float squares = 0.f;
    for (int k = 0; k < kPreambleBits; k++)
        squares += sizes[size_t(k) * stride] * sizes[size_t(k) * stride];
    return size * size >= kSpread * squares;
}

/* The differential products of this hop's outputs with those a bit earlier, their
 * running sums over 20 bits and the sums' power, for every bin: straight loops over
 * plain arrays, which the compiler vectorises. */
void Bank::correlate(int phase, int slot, float alternation)
{
    const size_t stride = size_t(nfft_);
    float *__restrict lre = &last_re_[phase * stride];
    float *__restrict lim = &last_im_[phase * stride];
    float *__restrict sre = &sums_re_[phase * stride];
    float *__restrict sim = &sums_im_[phase * stride];
    float *__restrict pre = &products_re_[(size_t(phase) * kPreambleBits + slot) * stride];
    float *__restrict pim = &products_im_[(size_t(phase) * kPreambleBits + slot) * stride];
    float *__restrict psz = &product_sizes_[(size_t(phase) * kPreambleBits + slot) * stride];
    float *__restrict ssz = &size_sums_[phase * stride];
    float *__restrict pw = power_.data();
    const float *__restrict y = reinterpret_cast<const float *>(fft_.out());
    differential_products(stride, alternation, y, lre, lim, sre, sim, pre, pim, psz, ssz, pw);
    if (slot == 0) {
        /* Start the running sums afresh once per 20 bits so that rounding cannot pile
         * up. */
        const size_t first = size_t(phase) * kPreambleBits * stride;
        sum_rows(stride, &products_re_[first], sre);
        sum_rows(stride, &products_im_[first], sim);
        sum_rows(stride, &product_sizes_[first], ssz);
        for (size_t i = 0; i < stride; i++)
            pw[i] = sre[i] * sre[i] + sim[i] * sim[i];
    }
}

void Bank::step(const cf *ring, uint64_t end, CandidateList &out)
{
    const int64_t n = int64_t(end / hop_);
    const int phase = int(n % kPhases);
    const int64_t bit = n / kPhases;
    const int slot = int(bit % kPreambleBits);
    /* The preamble's decisions alternate; undo that so that they add up. */
    const float alternation = (bit & 1) ? -1.f : 1.f;

    const uint64_t first = end - uint64_t(bit_);
    /* The bit period; the zeros after it, up to the transform's length, are the
     * ones the input came with (the transform leaves its input as it was). */
    cf *in = fft_.in();
    const uint64_t at = first & kRingMask;
    if (at + uint64_t(bit_) <= kRingSize) {
        memcpy(in, ring + at, sizeof(cf) * size_t(bit_));
    } else {
        for (int i = 0; i < bit_; i++)
            in[i] = ring[(first + i) & kRingMask];
    }
    fft_.run();
    if (noise_ == 0.f || n % 16 == 0)
        update_noise();
    const float threshold = kThreshold * kThreshold * noise_ * noise_;

    correlate(phase, slot, alternation);
    /* Detections are rare: look only into the blocks of bins where a count (which
     * vectorises) finds one above the threshold, and there only at the bins over it. */
    for (int b0 = 0; b0 < nfft_; b0 += kBlock) {
        const float *pw = &power_[size_t(b0)];
        int over = 0;
        for (int j = 0; j < kBlock; j++)
            over += pw[j] > threshold;
        if (over == 0)
            continue;
        uint64_t above = 0;
        for (int j = 0; j < kBlock; j++)
            above |= uint64_t(pw[j] > threshold) << j;
        for (; above != 0; above &= above - 1) {
            const int b = b0 + std::countr_zero(above);
            const float v = power_[b];
            if ((best_hop_[b] < 0 || v > best_[b]) && coherent(v, phase, b)) {
                if (best_hop_[b] < 0) {
                    active_++;
                    active_in_block_[b / kBlock] |= uint64_t{1} << (b % kBlock);
                }
                best_[b] = v;
                best_hop_[b] = n;
            }
        }
    }
    if (active_ == 0)
        return;
    /* In order of bin, through the set bits of each block's mask. */
    for (int block = 0; block < nfft_ / kBlock; block++)
        for (uint64_t bits = active_in_block_[size_t(block)]; bits != 0; bits &= bits - 1) {
            const int b = block * kBlock + std::countr_zero(bits);
            if (n - best_hop_[b] >= kSettleHops)
                emit(b, out);
        }
}

} // namespace vchan
