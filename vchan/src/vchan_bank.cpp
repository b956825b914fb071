/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Channeliser and preamble detector of one bit rate. */
#include "vchan_bank.h"

#include "vchan_candidates.h"
#include "vchan_deep.h"
#include "vchan_median.h"
#include "vdem_decod_v1.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

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
/* The lower threshold of detections kept only for combining: a preamble at 3 dB
 * Eb/N0 on a bin's centre averages about 30 with a spread of 8, at 2 dB about 25;
 * noise passes it some 30 times a second per rate, which the header test
 * (header_score()) brings down to one or two. The unit, a bin's noise power, is
 * that of the one-bit window whatever the transform's length, so the same threshold
 * holds at both rates and any spacing of the bins; their number (4096 and 512)
 * scales the noise's detections by 1.07 and 0.8 against bins R/2 apart. A carrier
 * halfway between bins loses up to 0.8 dB of the correlation at 100 bit/s and 1.5
 * dB at 600 bit/s (0.9 dB with bins R/2 apart); the threshold is not lowered for
 * it, which would let several times more noise through. */
constexpr float kDeepThreshold = 16.f;
/* Alignments the header test tries either side of a detection's start, in half
 * bits (its preamble may be taken a bit or two early or late), and how many of the
 * best by their known bits it tries with the frame types. */
constexpr int kHeaderTestHalfBits = 4;
constexpr int kShortlist = 3;

/* Bit j set where @pw[j] > @level, over one block of 64 bins (what the comparison
 * gives, NaN included, four bins at a time). */
uint64_t bins_over(const float *pw, float level)
{
    uint64_t mask = 0;
#if defined(__SSE2__)
    const __m128 l = _mm_set1_ps(level);
    for (int j = 0; j < 64; j += 4)
        mask |= uint64_t(unsigned(_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(pw + j), l)))) << j;
#else
    for (int j = 0; j < 64; j++)
        mask |= uint64_t(pw[j] > level) << j;
#endif
    return mask;
}

/* One timing phase's differential products of this hop's outputs @y (interleaved)
 * with those a bit earlier and their sizes, added to and taken from the running
 * sums, and the sums' power. Apart from the member functions so that the vectoriser sees
 * plain restricted pointers; built for AVX2 too where the processor has it. A carrier
 * turns by the same angle from one bit period to the next in every bin that sees it,
 * so the products of a preamble add up whatever that angle; only the alternation of
 * the preamble's bits is undone (@alternation, +1 or -1). */
VCHAN_VECTOR_CLONES
void differential_products(size_t n, float alternation, const float *__restrict y,
                           const float *__restrict lre, const float *__restrict lim,
                           float *__restrict cre, float *__restrict cim, float *__restrict sre,
                           float *__restrict sim, float *__restrict pre, float *__restrict pim,
                           float *__restrict psz, float *__restrict ssz, float *__restrict pw)
{
    const float s = alternation;
    for (size_t i = 0; i < n; i++) {
        const float yr = y[2 * i], yi = y[2 * i + 1];
        const float dr = s * (yr * lre[i] + yi * lim[i]);
        const float di = s * (yi * lre[i] - yr * lim[i]);
        cre[i] = yr;
        cim[i] = yi;
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
    history_re_.assign(row * kHistoryBits, 0.f);
    history_im_.assign(row * kHistoryBits, 0.f);
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
    deep_best_.assign(nfft_, 0.f);
    deep_best_hop_.assign(nfft_, -1);
    deep_active_in_block_.assign(size_t(nfft_ / kBlock), 0);
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

float Bank::threshold() const
{
    return kThreshold * noise_;
}

Candidate Bank::detection(int bin, int64_t hop, float power) const
{
    const int signed_bin = bin < nfft_ / 2 ? bin : bin - nfft_;
    /* The correlation peaks when its 20 bits end at bit 19 or 20 of the frame, that
     * is 21 or 22 bit periods after the first symbol began. */
    const int64_t end = hop * hop_;
    Candidate c;
    c.start = end - (43 * bit_) / 2;
    c.freq = signed_bin * bank_bin_hz(rate_);
    c.metric = std::sqrt(power);
    c.done = false;
    return c;
}

void Bank::emit(int bin, CandidateList &out)
{
    out.add(detection(bin, best_hop_[bin], best_[bin]));
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
void Bank::correlate(int phase, int64_t bit, float alternation)
{
    const int slot = int(bit % kPreambleBits);
    const size_t stride = size_t(nfft_);
    const size_t now = (size_t(phase) * kHistoryBits + size_t(bit % kHistoryBits)) * stride;
    const size_t before =
        (size_t(phase) * kHistoryBits + size_t((bit + kHistoryBits - 1) % kHistoryBits)) * stride;
    const float *__restrict lre = &history_re_[before];
    const float *__restrict lim = &history_im_[before];
    float *__restrict cre = &history_re_[now];
    float *__restrict cim = &history_im_[now];
    float *__restrict sre = &sums_re_[phase * stride];
    float *__restrict sim = &sums_im_[phase * stride];
    float *__restrict pre = &products_re_[(size_t(phase) * kPreambleBits + slot) * stride];
    float *__restrict pim = &products_im_[(size_t(phase) * kPreambleBits + slot) * stride];
    float *__restrict psz = &product_sizes_[(size_t(phase) * kPreambleBits + slot) * stride];
    float *__restrict ssz = &size_sums_[phase * stride];
    float *__restrict pw = power_.data();
    const float *__restrict y = reinterpret_cast<const float *>(fft_.out());
    differential_products(stride, alternation, y, lre, lim, cre, cim, sre, sim, pre, pim, psz, ssz,
                          pw);
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

void Bank::step(const cf *ring, uint64_t end, CandidateList &out, DeepList *deep)
{
    const int64_t n = int64_t(end / hop_);
    const int phase = int(n % kPhases);
    const int64_t bit = n / kPhases;
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

    correlate(phase, bit, alternation);
    /* Detections are rare: look only into the blocks of bins where a count (which
     * vectorises) finds one above the threshold (or the lower one of combining),
     * and there only at the bins over it. */
    const float low =
        deep != nullptr ? kDeepThreshold * kDeepThreshold * noise_ * noise_ : threshold;
    for (int b0 = 0; b0 < nfft_; b0 += kBlock) {
        const float *pw = &power_[size_t(b0)];
        static_assert(kBlock == 64);
        const uint64_t over = bins_over(pw, low);
        if (over == 0)
            continue;
        uint64_t above = deep != nullptr ? bins_over(pw, threshold) : over;
        if (deep != nullptr)
            track_deep(b0, phase, n, over, above);
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
    if (deep != nullptr && deep_active_ > 0)
        emit_deep(n, *deep);
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

/* Detections between the lower threshold and the threshold, in the block of bins
 * from @b0 (@over: those over the lower one, @above: over the threshold), tracked as the others are
 * but apart from them: a bin that passes the threshold meanwhile is the others' (its detection here
 * is dropped). */
void Bank::track_deep(int b0, int phase, int64_t n, uint64_t over, uint64_t above)
{
    const float *pw = &power_[size_t(b0)];
    uint64_t &active = deep_active_in_block_[size_t(b0 / kBlock)];
    for (uint64_t gone = active & above; gone != 0; gone &= gone - 1) {
        const int b = b0 + std::countr_zero(gone);
        deep_best_hop_[b] = -1;
        deep_best_[b] = 0.f;
        deep_active_--;
    }
    active &= ~above;
    for (uint64_t between = over & ~above; between != 0; between &= between - 1) {
        const int j = std::countr_zero(between), b = b0 + j;
        const float v = pw[j];
        if ((deep_best_hop_[b] < 0 || v > deep_best_[b]) && coherent(v, phase, b)) {
            if (deep_best_hop_[b] < 0) {
                deep_active_++;
                active |= uint64_t{1} << j;
            }
            deep_best_[b] = v;
            deep_best_hop_[b] = n;
        }
    }
}

void Bank::emit_deep(int64_t n, DeepList &deep)
{
    for (int block = 0; block < nfft_ / kBlock; block++)
        for (uint64_t bits = deep_active_in_block_[size_t(block)]; bits != 0; bits &= bits - 1) {
            const int b = block * kBlock + std::countr_zero(bits);
            if (n - deep_best_hop_[b] < kSettleHops)
                continue;
            deep.add(detection(b, deep_best_hop_[b], deep_best_[b]));
            deep_best_hop_[b] = -1;
            deep_best_[b] = 0.f;
            deep_active_--;
            deep_active_in_block_[size_t(block)] &= ~(uint64_t{1} << (b % kBlock));
        }
}

} // namespace vchan

namespace vchan
{

float Bank::header_score(Candidate &c) const
{
    /* Pattern bits as signs, per frame type. */
    static float patterns[VDEM_DECOD_V1_NFSTAB][kPatternBits];
    static const bool filled = [] {
        for (int r = 0; r < VDEM_DECOD_V1_NFSTAB; r++)
            for (int i = 0; i < kPatternBits; i++)
                patterns[r][i] = (fstab[r].pattern >> (kPatternBits - 1 - i)) & 1 ? 1.f : -1.f;
        return true;
    }();
    (void)filled;
    /* The stream's first bits have no outputs before them. */
    if (c.start - int64_t(kHeaderTestHalfBits) * hop_ < 0)
        return 0.f;
    /* A carrier turns by the same angle from one bit period to the next in every bin
     * that sees it, whatever the bins' spacing: the sizes of the sums below do not
     * depend on it, only the bin a frequency falls in does. */
    const double bin_hz = bank_bin_hz(rate_);
    const int center = int(std::lround(c.freq / bin_hz));
    const size_t stride = size_t(nfft_);
    static_assert((kHistoryBits & (kHistoryBits - 1)) == 0);
    /* Symbol j of the frame is the output of the hop whose window ends with it. The
     * alignments a bit apart share their phase and slide along one sequence of
     * products, per phase and bin: the earliest alignment's, and as many more as
     * the others of its phase need. */
    constexpr int kAlignments = 2 * kHeaderTestHalfBits + 1;
    constexpr int kSpan = kHeaderBits + kHeaderTestHalfBits;
    cf d[kPhases][3][kSpan];
    for (int h = -kHeaderTestHalfBits; h < -kHeaderTestHalfBits + kPhases; h++) {
        const int64_t n0 = (c.start + int64_t(h) * hop_ + bit_ + hop_ / 2) / hop_;
        const size_t row = size_t(n0 % kPhases) * kHistoryBits;
        const uint64_t bit0 = uint64_t(n0 / kPhases);
        for (int db = -1; db <= 1; db++) {
            const size_t bin = size_t(((center + db) % nfft_ + nfft_) % nfft_);
            cf last{};
            for (int j = 0; j <= kSpan; j++) {
                const size_t at =
                    (row + size_t((bit0 + uint64_t(j)) & (kHistoryBits - 1))) * stride + bin;
                const cf y(history_re_[at], history_im_[at]);
                if (j > 0)
                    d[h + kHeaderTestHalfBits][db + 1][j - 1] = y * std::conj(last);
                last = y;
            }
        }
    }
    /* The products of alignment @k (half bits from the earliest) and bin @b. */
    auto at = [&](int k, int b) { return d[k % kPhases][b] + k / kPhases; };
    /* The known bits first, at every alignment and bin; the frame types only at the
     * best few. */
    constexpr int kHypotheses = kAlignments * 3;
    float known_size[kHypotheses];
    cf known_sum[kHypotheses];
    for (int k = 0; k < kHypotheses; k++) {
        const cf *p = at(k / 3, k % 3);
        cf sum{};
        for (int j = 0; j < kKnownBits; j++)
            sum += kKnownHeader[j] ? p[j] : -p[j];
        known_sum[k] = sum;
        known_size[k] = std::abs(sum);
    }
    /* The three best by their known bits: a frame's own alignment is among them. */
    int shortlist[kShortlist];
    for (int i = 0; i < kShortlist; i++) {
        int best = -1;
        for (int k = 0; k < kHypotheses; k++)
            if (known_size[k] >= 0.f && (best < 0 || known_size[k] > known_size[best]))
                best = k;
        shortlist[i] = best;
        known_size[best] = -1.f;
    }
    float best = 0.f;
    int best_k = kHypotheses / 2;
    for (int k : shortlist) {
        const cf *p = at(k / 3, k % 3) + kKnownBits;
        for (int r = 0; r < VDEM_DECOD_V1_NFSTAB; r++) {
            cf sum = known_sum[k];
            for (int i = 0; i < kPatternBits; i++)
                sum += patterns[r][i] * p[i];
            const float v = std::abs(sum);
            if (v > best) {
                best = v;
                best_k = k;
            }
        }
    }
    c.start += int64_t(best_k / 3 - kHeaderTestHalfBits) * hop_;
    c.freq = std::remainder((center + best_k % 3 - 1) * bin_hz, double(kSampleRate));
    return noise_ > 0.f ? best / noise_ : 0.f;
}

} // namespace vchan
