/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Demodulation of one detected frame. */
#include "vchan_demod.h"

#include "vdem_decod_v1.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>

namespace vchan
{

namespace
{
constexpr int kSlices = 16;    /* slices per bit: the timing grid */
constexpr int kSearchBits = 3; /* timing search either side of the detection */
constexpr int kMarginSlices = kSearchBits * kSlices;
constexpr int kTotalSlices = kSlices * (kMaxSymbols + 2 * kSearchBits);
/* What combining keeps of a frame (see SoftFrame), and half a bit either side. */
constexpr int kSoftSlices = kSlices * (kSoftSymbols + 1);
constexpr int kBufferSlices = std::max(kTotalSlices, kSoftSlices);
/* Frequency hypotheses around the bin centre, in quarters of the bit rate (the
 * matched filter loses 0.2 dB at an eighth of the rate off): the strongest
 * detection of a frame can lie up to one and a half bit rates from its carrier. */
constexpr int kFreqSteps = 7;
/* The hypotheses are searched side by side, one per lane (the last lane idle). */
constexpr int kLanes = 16;
static_assert(2 * kFreqSteps + 1 <= kLanes);
constexpr int kHeaderSlices = 2 * kMarginSlices + kSlices * (1 + kHeaderBits);
constexpr int kTimings = 2 * kMarginSlices + 1;
/* Symbol products needed by the known-bit search: every slice a symbol can start
 * at, from the first timing to the last known bit of the last timing. */
constexpr int kProducts = kTimings + kSlices * kKnownBits;
/* Hypotheses whose known-bit correlation reaches this share of the best one are
 * tried with every frame type. */
constexpr float kShortlist = 0.7f;
/* Smallest header correlation, relative to the header energy, that is worth a
 * frame check: a frame at 4 dB Eb/N0 gives about 0.7, noise alone rarely 0.5. */
constexpr double kMinCorrelation = 0.6;
/* Pattern bits that may be wrong, and header bits in all. The frame format has a
 * weak spot: an 8-byte frame of repetition 2 read three bits early in the other
 * sense passes as a 9-byte frame of repetition 3 about once in 60 (its check
 * holds by structure, not by chance); that reading gets 7 of the 40 header bits
 * wrong. At 8 dB Eb/N0 five wrong header bits happen about once in 10^9 frames. */
constexpr int kMaxPatternErrors = 2;
constexpr int kMaxHeaderErrors = 4;
/* A frame not decoded as found (its check failed at its header's carrier, or its
 * header did not hold) is tried along paths of its carrier and places of a step,
 * up to some fifty frame checks: its header along the path may have at most
 * kMaxPathHeaderErrors wrong bits, and a header that held with more than
 * kMaxFollowedErrors must have fewer along the path than as found (a step in the
 * header, which makes such errors, is taken out by its path; a step in the last
 * symbols, searched with the header as it was, needs a header that held with at
 * most kMaxFollowedErrors). Where strong carriers are clipped, their
 * intermodulation makes preambles (tones half the bit rate apart) that hold as
 * headers with three or four wrong bits, some 500 an hour at 100 bit/s, each then
 * checked along every path; each wrong bit allowed lets about ten times more words
 * through. Frames with a 30 Hz/s drift or a 50 Hz step that only a path decodes
 * have four wrong bits along it about once in 300 at 6 to 10 dB Eb/N0; more than
 * two as found about once in 100, most where a step in the header made them, and
 * a path that takes a step or a drift out leaves them fewer. */
constexpr int kMaxPathHeaderErrors = 3;
constexpr int kMaxFollowedErrors = 2;
/* What a frame kept only for combining with its other repetitions needs: a header
 * found at a correlation noise reaches about once in ten candidates, and decisions
 * that still tell the frame type (patterns differ in at least five bits). A frame
 * at 1.5 dB Eb/N0 gets more than ten of its 40 header bits wrong about once in a
 * hundred, more than four of its pattern bits about once in forty. */
constexpr double kSoftMinCorrelation = 0.4;
constexpr int kSoftMaxPatternErrors = 4;
constexpr int kSoftMaxHeaderErrors = 10;
/* Carriers that the measurement compares: the one found and half the bit rate
 * either side, in bit rates; the decisions read the first. */
constexpr double kAliases[3] = {0.0, 0.5, -0.5};
/* The largest drift followed, Hz/s either way (a third over what real devices
 * show; a wider search fits the noise of a step as a slope more often). */
constexpr double kMaxDrift = 40.0;
/* How far a step found is moved when the frame fails along its path. */
constexpr int kStepSlack = 3;
/* A decided frame's halves whose log-likelihood ratio of turning apart stays under
 * this are steady (a slope that the path search would find gives over 9, a step 14;
 * see vchan_track.cpp): most frames skip that search. */
constexpr double kSteadyRatio = 2.0;
/* A candidate at 100 bit/s whose header search reached kRetryScore (its own or that
 * of the two pieces) without a header holding is searched again kRetryBits earlier:
 * with the timing search's three bits either side, up to nine bits earlier. The
 * frames whose detection a step in the preamble moved reach 0.65 to 0.9 at 8.8 dB
 * Eb/N0; noise's candidates that fail reach 0.6 three times in four, 0.65 one time
 * in four (some fifteen a minute at 100 bit/s), each retry costing about 6 M
 * instructions: 3 % of the receiver's work on noise (8 % at 0.6). */
constexpr double kRetryScore = 0.65;
constexpr int kRetryBits = 6;
/* A candidate is demodulated at the latest as its report falls due, kReportBits
 * after its start: the ring still holds the samples the retry reads then. */
static_assert(uint64_t(kReportBits + kSearchBits + kRetryBits + 1) * samples_per_bit(100) <=
              kRingSize);
/* The shortest piece of the known bits searched at a frequency of its own. */
constexpr int kMinSplitBits = 3;
/* What the two pieces' coherence must reach for the frame to be followed along the
 * step (about 2 M instructions each): frames with a 50 Hz step that decode so
 * reach 0.79 to 0.92 at 7 to 8.8 dB Eb/N0, the candidates of noise and of the side
 * lobes of overlapping frames 0.6 to 0.75, nine in ten of them under 0.7. */
constexpr double kMinSplit = 0.72;
/* A frame ends where the energy of kEndWindow symbols falls by kEndDrop (6 dB;
 * a frame at 8 dB Eb/N0 falls by 8.6 dB to the noise). */
constexpr double kEndDrop = 4.0;
/* A frame checked along a step under its known bits or in its last symbols, or
 * with its tail inverted (a few tens of checks where a frame decided as found has
 * one), must end: its last kEndWindow symbols must carry this many times the
 * energy of the kEndWindow after them. Clipped carriers intermodulate into steady
 * tones that read as a preamble and run on past any frame length (theirs fall by
 * 1.0 to 1.1), and every frame check they reached was of those kinds; frames with
 * a 50 Hz step (6 to 12 dB Eb/N0) or a drift of 30 Hz/s (6 to 9 dB) fell by 1.7 at
 * least, by 7 to 9 in the median. The longest frames end where the ring does: for
 * them it is not known. */
constexpr double kPathEndFall = 1.4;
/* A frame's last symbols (the last one or two, or the place among the last
 * kEndSymbols where they part most clearly) are tried at their own carrier when
 * their turn within a symbol differs from that of the kEndReference before by this
 * much (radians over half a symbol; a quarter of a bit rate). */
constexpr int kEndReference = 16;
constexpr int kEndSymbols = 12;
constexpr double kEndTurn = M_PI / 4.0;
/* The symbols either side that a frame's amplitude is measured against when its
 * carrier wanders, and by how much more signal to noise that must find than a
 * single turn (0.5 dB). */
constexpr int kWanderWindow = 8;
constexpr double kWandered = 1.122;

/* Register-wide vectors for the loops whose lanes each repeat a scalar computation
 * operation for operation (which keeps every result to the bit), laid out in ways
 * that the vectoriser does not find by itself. */
typedef float f4 __attribute__((vector_size(16)));
typedef float f2 __attribute__((vector_size(8)));
typedef double d2 __attribute__((vector_size(16)));
typedef float f8 __attribute__((vector_size(32)));
typedef double d4 __attribute__((vector_size(32)));

/* mix() takes two samples of a slice per step. */
static_assert(samples_per_bit(100) / kSlices % 2 == 0 && samples_per_bit(600) / kSlices % 2 == 0);

double wrap_hz(double f)
{
    return std::remainder(f, double(kSampleRate));
}

/* The header search's lane loops, for every frequency hypothesis side by side:
 * the running sums of the slices @raw turned by each hypothesis's carrier @turn
 * into @sum, the symbol products at every slice into @prod, and the power of the
 * known-bit correlation at every timing into @score. Rows of 2 * kLanes floats:
 * the real parts, then the imaginary ones. */
VCHAN_VECTOR_CLONES
void header_lanes(const cf *raw, const float *turn, float *sum, float *prod, float (*score)[kLanes])
{
    constexpr int kRow = 2 * kLanes;
    std::fill(sum, sum + kRow, 0.f);
    for (int m = 0; m < kHeaderSlices; m++) {
        const float xr = raw[m].real(), xi = raw[m].imag();
        const float *t = turn + size_t(m) * kRow;
        const float *p = sum + size_t(m) * kRow;
        float *n = sum + size_t(m + 1) * kRow;
        for (int l = 0; l < kLanes; l++) {
            n[l] = p[l] + (xr * t[l] - xi * t[kLanes + l]);
            n[kLanes + l] = p[kLanes + l] + (xr * t[kLanes + l] + xi * t[l]);
        }
    }
    /* The product of a symbol with the one before, for a symbol starting at any
     * slice: the products of one timing are every sixteenth of these. */
    for (int u = 0; u < kProducts; u++) {
        const float *s0 = sum + size_t(u) * kRow, *s1 = s0 + kSlices * kRow,
                    *s2 = s1 + kSlices * kRow;
        float *d = prod + size_t(u) * kRow;
        for (int l = 0; l < kLanes; l++) {
            const float ar = s2[l] - s1[l], ai = s2[kLanes + l] - s1[kLanes + l];
            const float br = s1[l] - s0[l], bi = s1[kLanes + l] - s0[kLanes + l];
            d[l] = ar * br + ai * bi;
            d[kLanes + l] = ai * br - ar * bi;
        }
    }
    for (int timing = 0; timing < kTimings; timing++) {
        float known[kRow] = {};
        for (int k = 0; k < kKnownBits; k++) {
            const float *d = prod + size_t(timing + kSlices * k) * kRow;
            if (kKnownHeader[k])
                for (int j = 0; j < kRow; j++)
                    known[j] += d[j];
            else
                for (int j = 0; j < kRow; j++)
                    known[j] -= d[j];
        }
        for (int l = 0; l < kLanes; l++)
            score[timing][l] = known[l] * known[l] + known[kLanes + l] * known[kLanes + l];
    }
}

/* The split search's sums at one @timing, every hypothesis in a lane of its own
 * (as search_split() would take them one by one, to the bit): the running sums of
 * the known bits' products @re, @im and of their powers @power (row k: the first k
 * products), and the power of each piece's sum for the step after product k,
 * @first and @second. */
struct SplitLanes {
    float re[kKnownBits + 1][kLanes];
    float im[kKnownBits + 1][kLanes];
    float power[kKnownBits + 1][kLanes];
    float first[kKnownBits + 1][kLanes];
    float second[kKnownBits + 1][kLanes];
};

VCHAN_VECTOR_CLONES
void split_lanes(const float *prod, int timing, SplitLanes &s)
{
    constexpr int kRow = 2 * kLanes;
    for (int l = 0; l < kLanes; l++)
        s.re[0][l] = s.im[0][l] = s.power[0][l] = 0.f;
    for (int k = 0; k < kKnownBits; k++) {
        const float *d = prod + size_t(timing + kSlices * k) * kRow;
        const float sign = kKnownHeader[k] ? 1.f : -1.f;
        for (int l = 0; l < kLanes; l++) {
            const float vr = d[l] * sign, vi = d[kLanes + l] * sign;
            s.re[k + 1][l] = s.re[k][l] + vr;
            s.im[k + 1][l] = s.im[k][l] + vi;
            s.power[k + 1][l] = s.power[k][l] + (vr * vr + vi * vi);
        }
    }
    for (int k = kMinSplitBits; k <= kKnownBits - kMinSplitBits; k++) {
        for (int l = 0; l < kLanes; l++) {
            const float ar = s.re[k][l], ai = s.im[k][l];
            const float br = s.re[kKnownBits][l] - ar, bi = s.im[kKnownBits][l] - ai;
            s.first[k][l] = ar * ar + ai * ai;
            s.second[k][l] = br * br + bi * bi;
        }
    }
}

/* The frame types side by side, one per lane (the last lanes idle). */
constexpr int kRowLanes = 24;
static_assert(VDEM_DECOD_V1_NFSTAB <= kRowLanes);
using PatternSigns = std::array<float, size_t(kPatternBits) * kRowLanes>;

/* Per pattern bit, per frame type: +1 where the type's pattern has a one, -1
 * where it has a zero. */
const float *pattern_signs()
{
    static PatternSigns signs{};
    static const bool filled = [] {
        for (int i = 0; i < kPatternBits; i++)
            for (int row = 0; row < VDEM_DECOD_V1_NFSTAB; row++)
                signs[size_t(i) * kRowLanes + size_t(row)] =
                    (fstab[row].pattern >> (kPatternBits - 1 - i)) & 1 ? 1.f : -1.f;
        return true;
    }();
    (void)filled;
    return signs.data();
}

/* The header correlation of every frame type: @known, the known bits' part, plus
 * the pattern bits' products @d, each with the sign of the type's bit, added in
 * bit order (x + (-1) y being x - y to the last bit), into @re, @im. */
VCHAN_VECTOR_CLONES
void pattern_correlations(const float *signs, cf known, const cf *d, float *re, float *im)
{
    for (int l = 0; l < kRowLanes; l++) {
        re[l] = known.real();
        im[l] = known.imag();
    }
    for (int i = 0; i < kPatternBits; i++) {
        const float *s = signs + size_t(i) * kRowLanes;
        const float dr = d[i].real(), di = d[i].imag();
        for (int l = 0; l < kRowLanes; l++) {
            re[l] += s[l] * dr;
            im[l] += s[l] * di;
        }
    }
}

/* Floats per sample in Demod's wide carrier table: (c) eight times, then (-s, s)
 * four times. */
constexpr int kTurnWidth = 16;

/* Samples @i and @i + 1 of four neighbouring slices at @x (@slice samples each),
 * mixed by the carrier at them (@c0, @s0, @c1, @s1 from the wide table), added to
 * @acc: per lane the products and sums of mix()'s pairs of slices, in the same
 * order. The lanes hold the real and imaginary parts of slices 0, 2, 1, 3. */
inline __attribute__((always_inline)) void mix_step(const float *x, int slice, int i, const f8 &c0,
                                                    const f8 &s0, const f8 &c1, const f8 &s1,
                                                    f8 &acc)
{
    f4 a, b, c, d;
    memcpy(&a, x + 2 * i, sizeof a);
    memcpy(&b, x + 2 * slice + 2 * i, sizeof b);
    memcpy(&c, x + 4 * slice + 2 * i, sizeof c);
    memcpy(&d, x + 6 * slice + 2 * i, sizeof d);
    const f8 p = __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7);
    const f8 q = __builtin_shufflevector(c, d, 0, 1, 2, 3, 4, 5, 6, 7);
    acc += __builtin_shufflevector(p, q, 0, 1, 8, 9, 4, 5, 12, 13) * c0 +
           __builtin_shufflevector(p, q, 1, 0, 9, 8, 5, 4, 13, 12) * s0;
    acc += __builtin_shufflevector(p, q, 2, 3, 10, 11, 6, 7, 14, 15) * c1 +
           __builtin_shufflevector(p, q, 3, 2, 11, 10, 7, 6, 15, 14) * s1;
}

/* The carrier at samples @i and @i + 1 of a slice, from the wide table. */
inline __attribute__((always_inline)) void carrier_pair(const float *turn, int i, f8 &c0, f8 &s0,
                                                        f8 &c1, f8 &s1)
{
    memcpy(&c0, turn + kTurnWidth * i, sizeof c0);
    memcpy(&s0, turn + kTurnWidth * i + kTurnWidth / 2, sizeof s0);
    memcpy(&c1, turn + kTurnWidth * (i + 1), sizeof c1);
    memcpy(&s1, turn + kTurnWidth * (i + 1) + kTurnWidth / 2, sizeof s1);
}

void store_four(const f8 &acc, cf *out)
{
    out[0] = cf(acc[0], acc[1]);
    out[1] = cf(acc[4], acc[5]);
    out[2] = cf(acc[2], acc[3]);
    out[3] = cf(acc[6], acc[7]);
}

/* mix() for four neighbouring slices at once (@x their first sample, @slice
 * samples each, @turn the wide table), into @out. */
VCHAN_VECTOR_CLONES
void mix_four(const float *x, int slice, const float *turn, cf *out)
{
    f8 acc = {};
    for (int i = 0; i < slice; i += 2) {
        f8 c0, s0, c1, s1;
        carrier_pair(turn, i, c0, s0, c1, s1);
        mix_step(x, slice, i, c0, s0, c1, s1, acc);
    }
    store_four(acc, out);
}

/* The same for eight: two groups of four side by side, sharing the carrier's
 * loads. */
VCHAN_VECTOR_CLONES
void mix_eight(const float *x, int slice, const float *turn, cf *out)
{
    f8 acc = {}, acc2 = {};
    for (int i = 0; i < slice; i += 2) {
        f8 c0, s0, c1, s1;
        carrier_pair(turn, i, c0, s0, c1, s1);
        mix_step(x, slice, i, c0, s0, c1, s1, acc);
        mix_step(x + 8 * slice, slice, i, c0, s0, c1, s1, acc2);
    }
    store_four(acc, out);
    store_four(acc2, out + 4);
}

/* Timings that Demod::sweep() measures side by side. */
constexpr int kSweepWays = 8;

/* The coherent sums of the pilot (the symbols with the modulation @sign taken off)
 * turned back by the carrier's turn per symbol, for timings @t to @t + 7 of the
 * running sums @re, @im, into @mr, @mi: per timing what Demod::measure() does,
 * operation for operation. */
VCHAN_VECTOR_CLONES
void pilot_means(const float *re, const float *im, int t, int n_symbols, const float *sign,
                 float *mr_out, float *mi_out)
{
    f8 zr[kMaxSymbols], zi[kMaxSymbols];
    f8 tr = {}, ti = {};
    for (int k = 0; k < n_symbols; k++) {
        const int a = t + kSlices * k;
        f8 r0, r1, i0, i1;
        memcpy(&r0, re + a, sizeof r0);
        memcpy(&r1, re + a + kSlices, sizeof r1);
        memcpy(&i0, im + a, sizeof i0);
        memcpy(&i1, im + a + kSlices, sizeof i1);
        zr[k] = (r1 - r0) * sign[k];
        zi[k] = (i1 - i0) * sign[k];
        /* z * conj(prev) */
        if (k > 0) {
            tr += zr[k] * zr[k - 1] + zi[k] * zi[k - 1];
            ti += zi[k] * zr[k - 1] - zr[k] * zi[k - 1];
        }
    }
    /* The carrier's turn per symbol of each timing, in double precision: lanes 0-3
     * and 4-7 of the eight. */
    d4 sr[2], si[2], rr[2], ri[2];
    for (int h = 0; h < 2; h++) {
        for (int j = 0; j < 4; j++) {
            const std::complex<double> step =
                std::polar(1.0, double(std::arg(cf(tr[4 * h + j], ti[4 * h + j]))));
            sr[h][j] = step.real();
            si[h][j] = step.imag();
        }
        rr[h] = d4{1.0, 1.0, 1.0, 1.0};
        ri[h] = d4{0.0, 0.0, 0.0, 0.0};
    }
    f8 mr = {}, mi = {};
    for (int k = 0; k < n_symbols; k++) {
        /* z * conj(rot) in single precision, then rot *= step */
        const f8 cr =
            __builtin_shufflevector(__builtin_convertvector(rr[0], f4),
                                    __builtin_convertvector(rr[1], f4), 0, 1, 2, 3, 4, 5, 6, 7);
        const f8 ci =
            __builtin_shufflevector(__builtin_convertvector(-ri[0], f4),
                                    __builtin_convertvector(-ri[1], f4), 0, 1, 2, 3, 4, 5, 6, 7);
        mr += zr[k] * cr - zi[k] * ci;
        mi += zr[k] * ci + zi[k] * cr;
        for (int h = 0; h < 2; h++) {
            const d4 nr = rr[h] * sr[h] - ri[h] * si[h];
            ri[h] = rr[h] * si[h] + ri[h] * sr[h];
            rr[h] = nr;
        }
    }
    memcpy(mr_out, &mr, sizeof mr);
    memcpy(mi_out, &mi, sizeof mi);
}

/* Symbol @k of the stretch at @timing, from running sums. */
cf symbol(const float *re, const float *im, int timing, int k)
{
    const int a = timing + kSlices * k;
    return {re[a + kSlices] - re[a], im[a + kSlices] - im[a]};
}

/* Symbol @k of the stretch at @timing: its second half times the conjugate of its
 * first, which turns by half the symbol's turn whatever the bit. */
cf turn_within(const float *re, const float *im, int timing, int k)
{
    const int a = timing + kSlices * k;
    const cf first_half(re[a + kSlices / 2] - re[a], im[a + kSlices / 2] - im[a]);
    const cf second_half(re[a + kSlices] - re[a + kSlices / 2],
                         im[a + kSlices] - im[a + kSlices / 2]);
    return second_half * std::conj(first_half);
}

/* Each hypothesis's carrier over the header, slice by slice, as derotate() makes
 * it: the same for every demodulator of a rate, so worked out once. */
using HeadTurns = std::array<float, size_t(kHeaderSlices) * 2 * kLanes>;

void fill_head_turns(HeadTurns &turns, int rate)
{
    const int slice = samples_per_bit(rate) / kSlices;
    for (int q = -kFreqSteps; q <= kFreqSteps; q++) {
        const double cycles_per_slice = q * rate / 4.0 * slice / kSampleRate;
        const std::complex<double> step = std::polar(1.0, -2.0 * M_PI * cycles_per_slice);
        std::complex<double> rot = 1.0;
        for (int m = 0; m < kHeaderSlices; m++) {
            const cf r(rot);
            turns[size_t(m) * 2 * kLanes + size_t(q + kFreqSteps)] = r.real();
            turns[size_t(m) * 2 * kLanes + kLanes + size_t(q + kFreqSteps)] = r.imag();
            rot *= step;
        }
    }
}

const float *head_turns(int rate)
{
    static HeadTurns slow{}, fast{};
    static const bool filled = (fill_head_turns(slow, 100), fill_head_turns(fast, 600), true);
    (void)filled;
    return rate == 100 ? slow.data() : fast.data();
}
} // namespace

Demod::Demod(int rate, float int_gain)
    : rate_(rate), bit_(samples_per_bit(rate)), slice_(bit_ / kSlices), int_gain_(int_gain),
      raw_(kBufferSlices), mixed_(kTotalSlices), head_turn_(head_turns(rate)),
      head_sum_(size_t(kHeaderSlices + 1) * 2 * kLanes), head_prod_(size_t(kProducts) * 2 * kLanes),
      bits_(kMaxSymbols), turn_re_(slice_), turn_im_(slice_),
      turn_wide_(size_t(kTurnWidth) * size_t(slice_))
{
    for (Sums &s : sums_) {
        s.re.resize(kBufferSlices + 1);
        s.im.resize(kBufferSlices + 1);
    }
}

void Demod::mix(const cf *ring, int64_t first, double freq, int from, int to)
{
    const double w = -2.0 * M_PI * freq / kSampleRate;
    /* The carrier over one slice, and slice by slice in double precision so that
     * rounding cannot drift over a frame. The header and the rest of a frame are
     * mixed by the same carrier: its table is kept from one call to the next. */
    for (int i = 0; i < slice_ && w != turn_w_; i++) {
        const float c = float(std::cos(w * i)), s = float(std::sin(w * i));
        turn_re_[i] = c;
        turn_im_[i] = s;
        float *t = &turn_wide_[size_t(kTurnWidth) * size_t(i)];
        for (int j = 0; j < kTurnWidth / 2; j += 2) {
            t[j] = t[j + 1] = c;
            t[kTurnWidth / 2 + j] = -s;
            t[kTurnWidth / 2 + j + 1] = s;
        }
    }
    turn_w_ = w;
    /* Eight, four or two neighbouring slices at once, as many as lie side by side
     * in the ring, each in lanes of its own: per lane the products and sums of the
     * scalar loop in the same order, (x.re c + x.im (-s)) being x.re c - x.im s to
     * the last bit. */
    int m = from;
    while (m < to) {
        const uint64_t at = uint64_t(first + int64_t(m) * slice_) & kRingMask;
        if (m + 7 < to && at + 8 * uint64_t(slice_) <= kRingSize) {
            mix_eight(reinterpret_cast<const float *>(ring + at), slice_, turn_wide_.data(),
                      &raw_[m]);
            m += 8;
            continue;
        }
        if (m + 3 < to && at + 4 * uint64_t(slice_) <= kRingSize) {
            mix_four(reinterpret_cast<const float *>(ring + at), slice_, turn_wide_.data(),
                     &raw_[m]);
            m += 4;
            continue;
        }
        if (m + 1 < to && at + 2 * uint64_t(slice_) <= kRingSize) {
            const float *xa = reinterpret_cast<const float *>(ring + at);
            const float *xb = xa + 2 * slice_;
            const float *t = turn_wide_.data();
            f4 acc = {0.f, 0.f, 0.f, 0.f};
            /* Two samples of each slice per step (a slice has an even number). */
            for (int i = 0; i < slice_; i += 2) {
                f4 a, b, c0, s0, c1, s1;
                memcpy(&a, xa + 2 * i, sizeof a);
                memcpy(&b, xb + 2 * i, sizeof b);
                memcpy(&c0, t + kTurnWidth * i, sizeof c0);
                memcpy(&s0, t + kTurnWidth * i + kTurnWidth / 2, sizeof s0);
                memcpy(&c1, t + kTurnWidth * (i + 1), sizeof c1);
                memcpy(&s1, t + kTurnWidth * (i + 1) + kTurnWidth / 2, sizeof s1);
                acc += __builtin_shufflevector(a, b, 0, 1, 4, 5) * c0 +
                       __builtin_shufflevector(a, b, 1, 0, 5, 4) * s0;
                acc += __builtin_shufflevector(a, b, 2, 3, 6, 7) * c1 +
                       __builtin_shufflevector(a, b, 3, 2, 7, 6) * s1;
            }
            raw_[m] = cf(acc[0], acc[1]);
            raw_[m + 1] = cf(acc[2], acc[3]);
            m += 2;
            continue;
        }
        float re = 0.f, im = 0.f;
        for (int i = 0; i < slice_; i++) {
            const cf x = ring[(at + uint64_t(i)) & kRingMask];
            re += x.real() * turn_re_[i] - x.imag() * turn_im_[i];
            im += x.real() * turn_im_[i] + x.imag() * turn_re_[i];
        }
        raw_[m] = cf(re, im);
        m++;
    }
    const std::complex<double> step = std::polar(1.0, w * slice_);
    std::complex<double> at_slice = std::polar(1.0, w * double(int64_t(from) * slice_));
    for (m = from; m < to; m++) {
        raw_[m] *= cf(at_slice);
        at_slice *= step;
        if ((m & 63) == 63)
            at_slice /= std::abs(at_slice);
    }
}

void Demod::derotate(double cycles_per_slice, int from, int to, Sums &out,
                     std::complex<double> &rot) const
{
    const std::complex<double> step = std::polar(1.0, -2.0 * M_PI * cycles_per_slice);
    float *re = out.re.data(), *im = out.im.data();
    if (from == 0)
        re[0] = im[0] = 0.f;
    /* The running sums in registers (the arrays could alias raw_ as far as the
     * compiler knows). */
    float sum_re = re[from], sum_im = im[from];
    for (int m = from; m < to; m++) {
        const cf v = raw_[m] * cf(rot);
        re[m + 1] = sum_re += v.real();
        im[m + 1] = sum_im += v.imag();
        rot *= step;
    }
}

/* derotate() from slice 0 to @to at two carriers at once, into @a and @b: the two
 * turns side by side in one register, each lane what derotate() does. */
void Demod::derotate_two(double cycles_a, double cycles_b, int to, Sums &a, Sums &b) const
{
    const std::complex<double> step_a = std::polar(1.0, -2.0 * M_PI * cycles_a);
    const std::complex<double> step_b = std::polar(1.0, -2.0 * M_PI * cycles_b);
    const d2 sr = {step_a.real(), step_b.real()}, si = {step_a.imag(), step_b.imag()};
    d2 rr = {1.0, 1.0}, ri = {0.0, 0.0};
    float *are = a.re.data(), *aim = a.im.data(), *bre = b.re.data(), *bim = b.im.data();
    are[0] = aim[0] = bre[0] = bim[0] = 0.f;
    f2 sum_re = {0.f, 0.f}, sum_im = {0.f, 0.f};
    for (int m = 0; m < to; m++) {
        const f2 cr = __builtin_convertvector(rr, f2), ci = __builtin_convertvector(ri, f2);
        const float xr = raw_[m].real(), xi = raw_[m].imag();
        sum_re += xr * cr - xi * ci;
        sum_im += xr * ci + xi * cr;
        are[m + 1] = sum_re[0];
        aim[m + 1] = sum_im[0];
        bre[m + 1] = sum_re[1];
        bim[m + 1] = sum_im[1];
        const d2 nr = rr * sr - ri * si;
        ri = rr * si + ri * sr;
        rr = nr;
    }
}

bool Demod::peek(const cf *ring, Candidate &c)
{
    HeaderFix h;
    std::complex<double> rot = 1.0;
    if (search(ring, c, h, kMinCorrelation) && !header_holds(h, rot))
        h.symbols = -1;
    c.header = h;
    return h.symbols > 0;
}

bool Demod::search(const cf *ring, const Candidate &c, HeaderFix &h, double min_correlation)
{
    const int64_t first = c.start - int64_t(kSearchBits) * bit_;
    mix(ring, first, c.freq, 0, kHeaderSlices);
    return search_mixed(h, min_correlation);
}

bool Demod::search_mixed(HeaderFix &h, double min_correlation)
{
    h = HeaderFix{};
    h.symbols = -1;
    /* Header search: first frequency hypothesis x timing on the 27 known bits, then
     * the frame types at the hypotheses that come close to the best. Every lane
     * does what derotate() and symbol() do for its hypothesis, operation for
     * operation. Rows of 2 * kLanes: the real parts, then the imaginary ones. */
    constexpr int kRow = 2 * kLanes;
    float *sum = head_sum_.data();
    float known_score[kTimings][kLanes];
    header_lanes(raw_.data(), head_turn_, sum, head_prod_.data(), known_score);
    float top = 0.f;
    for (int q = -kFreqSteps; q <= kFreqSteps; q++) {
        for (int timing = 0; timing < kTimings; timing++) {
            float &score = known_score[timing][q + kFreqSteps];
            score = std::sqrt(score);
            top = std::max(top, score);
        }
    }
    double best = -1.0, best_energy = 1.0;
    cf best_corr{};
    int best_timing = 0, best_row = -1;
    int best_step = 0;
    for (int q = -kFreqSteps; q <= kFreqSteps; q++) {
        const float *re = sum + (q + kFreqSteps), *im = re + kLanes;
        for (int timing = 0; timing < kTimings; timing++) {
            if (known_score[timing][q + kFreqSteps] < kShortlist * top)
                continue;
            cf r[1 + kHeaderBits];
            double energy = 0.0;
            for (int k = 0; k <= kHeaderBits; k++) {
                const size_t a = size_t(timing + kSlices * k) * kRow;
                r[k] = cf(re[a + kSlices * kRow] - re[a], im[a + kSlices * kRow] - im[a]);
                energy += std::norm(r[k]);
            }
            cf d[kHeaderBits];
            for (int k = 0; k < kHeaderBits; k++)
                d[k] = r[k + 1] * std::conj(r[k]);
            cf known{};
            for (int k = 0; k < kKnownBits; k++)
                known += kKnownHeader[k] ? d[k] : -d[k];
            float corr_re[kRowLanes], corr_im[kRowLanes];
            pattern_correlations(pattern_signs(), known, d + kKnownBits, corr_re, corr_im);
            for (int row = 0; row < VDEM_DECOD_V1_NFSTAB; row++) {
                const cf corr(corr_re[row], corr_im[row]);
                const double v = std::sqrt(std::norm(corr));
                if (v > best) {
                    best = v;
                    best_energy = energy;
                    best_corr = corr;
                    best_timing = timing;
                    best_row = row;
                    best_step = q;
                }
            }
        }
    }
    search_ratio_ = best_row < 0 ? 0.0 : best / best_energy;
    if (best_row < 0 || best < min_correlation * best_energy)
        return false;

    /* The correlation turns by the residual carrier per bit; half a turn more means
     * the other sense of differential encoding. */
    const double pol = best_corr.real() >= 0.0 ? 1.0 : -1.0;
    h.turn = std::arg(best_corr * float(pol));
    h.step = int8_t(best_step);
    h.polarity = int8_t(pol);
    h.timing = int16_t(best_timing);
    h.row = int8_t(best_row);
    h.symbols = int16_t(1 + kHeaderBits + 8 * (fstab[best_row].frame_length - 5));
    return true;
}

/* The carrier left after mixing to the candidate's bin, in Hz: the step searched
 * and the correlation's turn per bit at it. */
double Demod::residual(const HeaderFix &h) const
{
    const double offset = h.step * rate_ / 4.0;
    const double turn = h.turn;
    return offset + turn * rate_ / (2.0 * M_PI);
}

/* The header's decisions, from the slices mixed by search(), derotated into sums 0
 * (@rot left where the rest of the frame continues). */
bool Demod::header_holds(const HeaderFix &h, std::complex<double> &rot)
{
    const double cycles = (residual(h) + kAliases[0] * rate_) * slice_ / kSampleRate;
    derotate(cycles, 0, kHeaderSlices, sums_[0], rot);
    decide(h, 1, 1 + kHeaderBits);
    return header_matches(h);
}

void Demod::decide(const HeaderFix &h, int from, int to)
{
    const float *re0 = sums_[0].re.data(), *im0 = sums_[0].im.data();
    const double pol = h.polarity;
    cf prev = symbol(re0, im0, h.timing, from - 1);
    for (int k = from; k < to; k++) {
        const cf r = symbol(re0, im0, h.timing, k);
        bits_[k - 1] = (r * std::conj(prev)).real() * pol > 0.0 ? 1 : 0;
        prev = r;
    }
}

bool Demod::decode(const cf *ring, const Candidate &c, Decoded &out, SoftFrame *soft)
{
    if (decode_at(ring, c, out, soft))
        return true;
    /* At 100 bit/s a carrier that steps by about half the bit rate during the
     * preamble turns the alternation of its later products: the preamble correlates
     * in pieces, and its detection comes up to several bits late, past the timing
     * search. A candidate whose header search found something that looked like a
     * header, without one holding, is searched once more that much earlier (never
     * later: the ring holds a frame's samples from its detection's start on only
     * up to the longest frame). Combining keeps what the first look found unless
     * the second decodes the frame. */
    if (rate_ != 100 || header_score_ < kRetryScore)
        return false;
    Candidate earlier = c;
    earlier.start -= int64_t(kRetryBits) * bit_;
    earlier.header = HeaderFix{};
    if (soft == nullptr)
        return decode_at(ring, earlier, out, nullptr);
    const SoftFrame kept = *soft;
    if (decode_at(ring, earlier, out, soft))
        return true;
    *soft = kept;
    return false;
}

bool Demod::decode_at(const cf *ring, const Candidate &c, Decoded &out, SoftFrame *soft)
{
    candidate_freq_ = c.freq;
    header_score_ = 0.0;
    if (soft != nullptr)
        soft->valid = soft->wanted = false;
    const int64_t first = c.start - int64_t(kSearchBits) * bit_;
    /* The slices whose samples are in the ring (the candidate is ready). */
    reach_ = kSlices * (kSearchBits + ready_symbols(c.header.symbols) + kReadyMarginBits);
    /* The header first: most candidates end there. A candidate searched already
     * (peek()) has its slices mixed again, the same to the bit, and is not searched
     * twice. With @soft, a header that only combining could use is looked at too:
     * the search is the same, only the tests of what it found are looser. */
    HeaderFix h = c.header;
    /* strong: the header correlates as a frame decoded alone needs (a header peek()
     * found did); a weaker one (only searched for with @soft) is at most kept for
     * combining, or at 100 bit/s taken as a step under the known bits. */
    bool strong = true, split = false;
    if (h.symbols == 0) {
        const bool searched =
            search(ring, c, h, soft != nullptr ? kSoftMinCorrelation : kMinCorrelation);
        strong = searched && search_ratio_ >= kMinCorrelation;
        header_score_ = search_ratio_;
        if (!searched) {
            /* At 100 bit/s a carrier stepping by half the bit rate under the known
             * bits turns half of them: searched again as two pieces. */
            if (rate_ != 100 || !search_split(h))
                return false;
            split = true;
        }
    } else if (h.symbols < 0) {
        return false;
    } else {
        mix(ring, first, c.freq, 0, kHeaderSlices);
    }
    double residual = this->residual(h);
    /* The decisions read the sums of alias 0 of the measurement below. The header's
     * come first, from the slices mixed already: a frame whose header fails is not
     * mixed further, unless the header search found it well enough that a carrier
     * moving under the header may be to blame. */
    const double cycles = (residual + kAliases[0] * rate_) * slice_ / kSampleRate;
    std::complex<double> rot = 1.0;
    followed_ = absorbed_ = false;
    uint8_t data[kMaxCodedBytes] = {};
    uint8_t demux[sizeof out.record.frame] = {};
    const bool matched = !split && header_holds(h, rot);
    const int found_errors = header_errors_;
    /* What combining could keep of the header as found, before following the carrier
     * (which searches and tests headers again). */
    const bool soft_held = soft != nullptr && !split && soft_match();
    const HeaderFix found = h;
    const bool header_held = matched && strong;
    if (header_held)
        header_score_ = 0.0;
    if (!split && !strong && (rate_ != 100 || !search_split(h))) {
        if (soft_held) {
            /* Kept if the caller wants it (keep_soft()): it may be a frame kept
             * already. */
            soft->fix = found;
            soft->wanted = true;
        }
        return false;
    }
    split = split || !strong;
    bool held = header_held;
    if (held) {
        const int n_slices =
            std::min(2 * kMarginSlices, h.timing + kSlices / 2) + kSlices * h.symbols;
        mix(ring, first, c.freq, kHeaderSlices, n_slices);
        derotate(cycles, kHeaderSlices, n_slices, sums_[0], rot);
        decide(h, 1 + kHeaderBits, h.symbols);
        held = check(h.row, data, demux);
        bool tail = !held && rate_ == 100 && found_errors <= kMaxFollowedErrors;
        if (tail) {
            /* Tried along a step only if it ends: the symbols after it too. */
            const int beyond = std::min(kTotalSlices, n_slices + kSlices * kEndWindow);
            mix(ring, first, c.freq, n_slices, beyond);
            std::complex<double> on = rot;
            derotate(cycles, n_slices, beyond, sums_[0], on);
            tail = ends(h, beyond);
        }
        const int inverted = tail ? invert_tail(h, data, demux) : 0;
        held = held || inverted > 0;
        if (inverted > 0)
            /* Measured along the step, which puts the tail's decisions right. */
            step_tail(h, inverted, n_slices, cycles);
        else if (held)
            /* Decided as it is, but measured along its path if it moved. */
            follow(h, h.symbols, n_slices, cycles, true);
        else if (soft != nullptr)
            /* Kept for combining as found, from the slices mixed already; replaced
             * by its bits if it decodes along a moving carrier below. */
            keep_found(h, first, n_slices, *soft);
    }
    if (!held) {
        /* The carrier may have moved during the frame: follow it, and decide it
         * again along its path. */
        bool followed = split ? follow_split(ring, first, c.freq, h, data, demux)
                              : follow_header(ring, first, c.freq, h, cycles,
                                              header_held ? h.symbols : kMaxSymbols,
                                              header_held && found_errors > kMaxFollowedErrors
                                                  ? found_errors - 1
                                                  : kMaxPathHeaderErrors,
                                              data, demux);
        /* At 100 bit/s a step under the known bits late enough in them leaves the
         * search a fix that correlates but does not hold, where no path is found:
         * the known bits are searched again as two pieces (on the header's slices
         * and products anew, which following changed). */
        if (!followed && !split && !header_held && rate_ == 100) {
            HeaderFix two;
            search(ring, c, two, kMinCorrelation);
            if (search_split(two) && follow_split(ring, first, c.freq, two, data, demux)) {
                h = two;
                followed = true;
            }
        }
        if (!followed) {
            if (soft_held && !header_held) {
                soft->fix = found;
                soft->wanted = true;
            }
            return false;
        }
        residual = this->residual(h);
    }
    const double pol = h.polarity;
    const frame_sync_t &row = fstab[h.row];
    const int coded_bytes = row.frame_length - 5;
    const int n_symbols = h.symbols;
    /* The timings that measurement tries, up to half a bit either side. */
    const int first_timing = std::max(0, h.timing - kSlices / 2);
    const int last_timing = std::min(2 * kMarginSlices, h.timing + kSlices / 2);
    static_assert(kSlices / 2 + 1 >= kSweepWays, "sweep() takes at least eight timings");
    const int n_slices = last_timing + kSlices * n_symbols;

    vdem_proto_frame_t &f = out.record;
    memset(&f, 0, sizeof f);
    f.protocol = VDEM_PROTO_FRAME_V1;
    f.tid = uint32_t(data[2]) | uint32_t(data[3]) << 8 | uint32_t(data[4]) << 16 |
            uint32_t(data[5]) << 24;
    f.length = uint8_t(row.frame_length - 7);
    f.f.v1.seq = uint8_t(row.sequence_number);
    f.f.v1.oob = row.oob;
    f.f.v1.ack = (data[0] >> 4) & 1;
    memcpy(f.frame, demux, sizeof f.frame);
    out.symbols = n_symbols;
    out.rate = rate_;
    /* A carrier half the bit rate away, at a timing up to half a bit off, gives the
     * same decisions with the other sense of encoding (each bit's product turns by
     * half a cycle); with every bit known, the most power through the matched filter
     * tells the true carrier and timing. */
    float rssi = -1e30f;
    int win_alias = -1, win_timing = 0;
    static_assert(std::size(kAliases) == 3);
    /* A frame followed along its path has had its carrier settled by the turn within
     * its symbols, which tells carriers half the bit rate apart, and its timing by
     * the path (which a constant turn through the matched filter would not measure):
     * it is measured where it was decided. */
    const bool along = followed_ || absorbed_;
    if (along) {
        win_alias = 0;
        win_timing = h.timing;
    } else {
        derotate_two((residual + kAliases[1] * rate_) * slice_ / kSampleRate,
                     (residual + kAliases[2] * rate_) * slice_ / kSampleRate, n_slices, sums_[1],
                     sums_[2]);
    }
    for (int a = 0; a < (along ? 0 : 3); a++) {
        float trial[kSlices + 1];
        sweep(sums_[a], first_timing, last_timing, n_symbols, a == 0 ? pol : -pol, trial);
        for (int timing = first_timing; timing <= last_timing; timing++) {
            if (trial[timing - first_timing] > rssi) {
                rssi = trial[timing - first_timing];
                win_alias = a;
                win_timing = timing;
            }
        }
    }
    double freq = 0.0, start_freq = 0.0;
    if (win_alias >= 0) {
        const double alias = kAliases[win_alias] * rate_;
        const double p = win_alias == 0 ? pol : -pol;
        const double last = measure(sums_[win_alias], win_timing, n_symbols, p, out);
        out.start = first + int64_t(win_timing) * slice_;
        out.polarity = float(p);
        freq = c.freq + residual + alias + last;
        /* A carrier that moved is reported where the frame started; the canceller
         * (which rebuilds a steady carrier) gets its mean. */
        start_freq = freq;
        if (followed_) {
            double mean = 0.0;
            for (int k = 0; k < n_symbols; k++)
                mean += path_[size_t(k)];
            mean /= n_symbols;
            const double hz = double(kSampleRate) / slice_;
            start_freq = freq + path_[0] * hz;
            freq += mean * hz;
        } else if (absorbed_) {
            start_freq = freq + path_start_hz_;
            freq += path_mean_hz_;
        }
    }
    out.carrier = freq;
    out.record.freq = int32_t(std::lround(wrap_hz(start_freq)));
    if (soft != nullptr) {
        /* What combining needs of a frame decoded alone: its code bits. */
        soft->valid = soft->decoded = true;
        soft->row = h.row;
        soft->symbols = n_symbols;
        soft->start = out.start;
        soft->carrier = out.carrier;
        soft->polarity = out.polarity;
        std::copy(bits_.begin() + kHeaderBits, bits_.begin() + kHeaderBits + 8 * coded_bytes,
                  soft->bits);
    }
    return true;
}

bool Demod::keep_only(const cf *ring, const Candidate &c, SoftFrame &soft)
{
    candidate_freq_ = c.freq;
    soft.valid = false;
    HeaderFix h;
    if (!search(ring, c, h, kSoftMinCorrelation))
        return false;
    std::complex<double> rot = 1.0;
    header_holds(h, rot);
    if (!soft_match())
        return false;
    keep_soft(ring, c, h, soft);
    return true;
}

/* A frame whose header held but whose check failed is kept for combining as found:
 * its header is sure enough of the alignment, and its slices are mixed already.
 * Its carrier is the one of the three a half bit rate apart, and its timing the
 * one within half a bit, with the most power through the matched filter. */
void Demod::keep_found(const HeaderFix &h, int64_t first, int n_slices, SoftFrame &soft)
{
    const double residual = this->residual(h);
    derotate_two((residual + kAliases[1] * rate_) * slice_ / kSampleRate,
                 (residual + kAliases[2] * rate_) * slice_ / kSampleRate, n_slices, sums_[1],
                 sums_[2]);
    const int from = std::max(0, h.timing - kSlices / 2);
    const int to = n_slices - kSlices * h.symbols;
    int alias = 0, timing = h.timing;
    strongest(from, to, 0, h.symbols, alias, timing);
    const float *re = sums_[alias].re.data(), *im = sums_[alias].im.data();
    soft.first = kSoftLead;
    soft.last = kSoftLead + h.symbols;
    for (int j = 0; j < kSoftSymbols; j++)
        soft.y[j] = j >= soft.first && j < soft.last ? symbol(re, im, timing, j - kSoftLead) : cf{};
    soft.start = first + int64_t(timing) * slice_;
    soft.carrier = 0.0;
    finish_soft(h, alias, soft);
}

/* The alias and timing (@from to @to) whose symbols @skip to @skip + @n carry the
 * most power, into @alias and @timing. */
void Demod::strongest(int from, int to, int skip, int n, int &alias, int &timing) const
{
    double top = -1.0;
    for (int a = 0; a < 3; a++) {
        const float *re = sums_[a].re.data(), *im = sums_[a].im.data();
        for (int t = from; t <= to; t++) {
            double energy = 0.0;
            for (int k = 0; k < n; k++)
                energy += std::norm(symbol(re, im, t, skip + k));
            if (energy > top) {
                top = energy;
                alias = a;
                timing = t;
            }
        }
    }
}

void Demod::finish_soft(const HeaderFix &h, int alias, SoftFrame &soft) const
{
    soft.carrier = candidate_freq_ + residual(h) + kAliases[alias] * rate_;
    soft.symbols = h.symbols;
    soft.row = h.row;
    soft.polarity = float(alias == 0 ? h.polarity : -h.polarity);
    soft.decoded = false;
    soft.valid = true;
}

/* A frame kept for combining has its symbols taken from a few bits before its
 * header's fix to a few after the longest frame (combining checks the header's
 * alignment again, coherently), at the carrier and timing with the most power
 * through the matched filter over the frame found: at low Eb/N0 the header's
 * search cannot tell a carrier half the bit rate away. The stretch is mixed anew,
 * from half a bit before the first symbol kept. */
void Demod::keep_soft(const cf *ring, const Candidate &c, const HeaderFix &h, SoftFrame &soft)
{
    candidate_freq_ = c.freq;
    soft.wanted = false;
    const int64_t fix = c.start - int64_t(kSearchBits) * bit_ + int64_t(h.timing) * slice_;
    const int64_t from = fix - int64_t(kSoftLead) * bit_ - bit_ / 2;
    const int end = int(std::min<int64_t>(kSoftSlices, (int64_t(soft.limit) - from) / slice_));
    const double residual = this->residual(h);
    mix(ring, from, c.freq, 0, end);
    std::complex<double> rot = 1.0;
    derotate((residual + kAliases[0] * rate_) * slice_ / kSampleRate, 0, end, sums_[0], rot);
    derotate_two((residual + kAliases[1] * rate_) * slice_ / kSampleRate,
                 (residual + kAliases[2] * rate_) * slice_ / kSampleRate, end, sums_[1], sums_[2]);
    /* Timings within half a bit of the fix's, the frame's symbols wholly in. */
    const int n_symbols = std::min(int(h.symbols), (end - kSlices) / kSlices - kSoftLead);
    int alias = 0, timing = kSlices / 2;
    strongest(0, kSlices, kSoftLead, n_symbols, alias, timing);
    const float *re = sums_[alias].re.data(), *im = sums_[alias].im.data();
    soft.first = 0;
    soft.last = std::min(kSoftSymbols, (end - timing) / kSlices);
    for (int j = 0; j < kSoftSymbols; j++)
        soft.y[j] = j < soft.last ? symbol(re, im, timing, j) : cf{};
    soft.start = from + int64_t(timing + kSlices * kSoftLead) * slice_;
    finish_soft(h, alias, soft);
}

/* The coded bits of frame type @row_index from bits_ into @data, and their frame check
 * into @demux: TRUE when it holds. */
bool Demod::check(int row_index, uint8_t *data, uint8_t *demux) const
{
    const frame_sync_t &row = fstab[row_index];
    const int coded_bytes = row.frame_length - 5;
    for (int i = 0; i < coded_bytes; i++) {
        data[i] = 0;
        for (int b = 0; b < 8; b++)
            data[i] = uint8_t(data[i] << 1 | bits_[kHeaderBits + 8 * i + b]);
    }
    return process_demux_and_crc_check_v1(row.sequence_number, coded_bytes, row.frame_length, data,
                                          demux);
}

/* Whether the header bits decided into bits_ match the known bits and frame type
 * @h.row closely enough for a frame decoded alone. The wrong pattern bits and
 * header bits (pattern included) stay in pattern_errors_, header_errors_ for
 * soft_match(). */
bool Demod::header_matches(const HeaderFix &h)
{
    const frame_sync_t &row = fstab[h.row];
    int pattern_errors = 0, header_errors = 0;
    for (int i = 0; i < kPatternBits; i++)
        pattern_errors += bits_[kKnownBits + i] != ((row.pattern >> (kPatternBits - 1 - i)) & 1);
    for (int i = 0; i < kKnownBits; i++)
        header_errors += bits_[i] != kKnownHeader[i];
    pattern_errors_ = pattern_errors;
    header_errors_ = header_errors + pattern_errors;
    return pattern_errors_ <= kMaxPatternErrors && header_errors_ <= kMaxHeaderErrors;
}

/* Whether the header that header_matches() tested last matches well enough for a
 * frame kept only for combining. */
bool Demod::soft_match() const
{
    return pattern_errors_ <= kSoftMaxPatternErrors && header_errors_ <= kSoftMaxHeaderErrors;
}

/* The path of the carrier over the frame, from sums 0 derotated at @cycles per
 * slice (its header's carrier): first from the turn within each symbol (unless
 * @known: the bits in bits_ are the frame's, checked), then between symbols with the
 * bits decided along that path. When the carrier moved significantly, its path is
 * kept in path_ (cycles per slice per symbol, over @cycles), sums 0 are derotated
 * along it over @n_slices slices, and TRUE is returned (followed_). */
bool Demod::follow(const HeaderFix &h, int n_symbols, int n_slices, double cycles, bool known)
{
    const float *re = sums_[0].re.data(), *im = sums_[0].im.data();
    /* The largest drift followed, per symbol per symbol, as a turn. */
    const double t2 = 1.0 / (double(rate_) * rate_);
    /* Nothing of an earlier frame's paths: the coarse path is laid alone. */
    coarse_moved_ = fine_moved_ = false;
    if (!known) {
        /* Within a symbol, the second half against the first turns by half the
         * symbol's turn, 8 slices' worth. */
        for (int k = 0; k < n_symbols; k++)
            observed_[size_t(k)] = within_[size_t(k)] = turn_within(re, im, h.timing, k);
        coarse_moved_ = coarse_.fit(observed_.data(), n_symbols, M_PI * kMaxDrift * t2);
        if (coarse_moved_) {
            lay_path(n_symbols, coarse_.step_at(), 0);
            derotate_path(cycles, h.timing, n_slices, sums_[0]);
            decide(h, 1, n_symbols);
        }
    }
    /* Between symbols, the modulation taken off by the bits decided: a turn per
     * symbol, less whole half cycles (which turn the decisions instead). */
    const double pol = h.polarity;
    cf prev = symbol(re, im, h.timing, 0);
    for (int k = 1; k < n_symbols; k++) {
        const cf r = symbol(re, im, h.timing, k);
        observed_[size_t(k) - 1] = r * std::conj(prev) * float((bits_[k - 1] ? 1.0 : -1.0) * pol);
        prev = r;
    }
    /* A frame decided at a steady carrier is looked at closer only when its two
     * halves turn apart (a cheap test that every frame pays). Along a coarse path,
     * its leftovers are taken whether they count or not: the turn within a symbol
     * is four times coarser, and its path's slope leaves a wander of a cycle or more
     * over a long frame. */
    if (known && !coarse_moved_ && steady(n_symbols - 1))
        return false;
    fine_moved_ =
        fine_.fit(observed_.data(), n_symbols - 1, 2.0 * M_PI * kMaxDrift * t2) || coarse_moved_;
    if (!coarse_moved_ && !fine_moved_)
        return false;
    lay_path(n_symbols, coarse_.step_at(), fine_.step_at() + 1);
    derotate_path(cycles, h.timing, n_slices, sums_[0]);
    followed_ = true;
    return true;
}

/* Whether the first @n of observed_ turn alike in both halves: their sums, each
 * at its own phase, gain less over their sum than a path would need to count. */
bool Demod::steady(int n) const
{
    cf halves[2] = {};
    double power = 0.0;
    for (int k = 0; k < n; k++) {
        halves[k >= n / 2] += observed_[size_t(k)];
        power += std::norm(observed_[size_t(k)]);
    }
    const double apart = std::abs(halves[0]) + std::abs(halves[1]);
    const double together = std::abs(halves[0] + halves[1]);
    const double amplitude = apart / n;
    const double noise = std::max(power / n - amplitude * amplitude, 1e-30 * power / n);
    return (apart - together) * 2.0 * amplitude / noise < kSteadyRatio;
}

/* path_ from what follow() found, with its coarse and fine paths' steps (if any)
 * at symbols @coarse_step and @fine_step: the turn within a symbol is half its turn
 * over 8 slices, the turn between symbols (observation k - 1 ending at symbol k)
 * its turn over 16. */
void Demod::lay_path(int n_symbols, int coarse_step, int fine_step)
{
    for (int k = 0; k < n_symbols; k++)
        path_[size_t(k)] =
            (coarse_moved_ ? coarse_.turn(k, coarse_step) / (2.0 * M_PI * (kSlices / 2)) : 0.0) +
            (fine_moved_ ? fine_.turn(k - 1, fine_step - 1) / (2.0 * M_PI * kSlices) : 0.0);
}

/* A frame that fails at its header's carrier may have had its carrier move: drift
 * or step (at 100 bit/s, a step of half the bit rate turns every later product by
 * half a cycle, which reads as other bits; in the header it may make the frame
 * type read as another, or the preamble's alternation match two bits off). With
 * the timing the search found, the path is followed over the longest frame's
 * length (from the turn within each symbol, then between symbols); the slices are
 * turned along it and the header searched again on them. The turn within a symbol
 * is a noisy witness of where a step falls, and a step of half the bit rate placed
 * a symbol off reads the bits in between inverted, which the decisions cannot see:
 * the step is moved up to kStepSlack symbols either way until the header and the
 * frame check hold, the header along the path with at most @max_errors wrong bits.
 * TRUE with @h the header found on the turned slices (raw_), the frame decided
 * into bits_ and checked into @data, @demux. */
bool Demod::follow_header(const cf *ring, int64_t first, double freq, HeaderFix &h, double cycles,
                          int n_symbols, int max_errors, uint8_t *data, uint8_t *demux)
{
    const int n_slices = std::min(kTotalSlices, h.timing + kSlices * kMaxSymbols);
    mix(ring, first, freq, kHeaderSlices, n_slices);
    std::complex<double> rot = 1.0;
    derotate(cycles, 0, n_slices, sums_[0], rot);
    if (n_symbols == kMaxSymbols)
        n_symbols = extent(h.timing);
    decide(h, 1, n_symbols);
    const bool moved = follow(h, n_symbols, n_slices, cycles, false);
    std::copy(raw_.begin(), raw_.begin() + n_slices, mixed_.begin());
    /* The step to move: the coarse path's, else the fine path's (observation k - 1
     * ends at symbol k). */
    const bool coarse_steps = coarse_moved_ && coarse_.step_at() > 0;
    const int found = coarse_steps ? coarse_.step_at() : fine_moved_ ? fine_.step_at() + 1 : 0;
    HeaderFix start = h;
    if (moved && settle(h, n_symbols, n_slices, found, coarse_steps ? kCoarseStep : kFineStep,
                        max_errors, data, demux))
        return true;
    /* A step in the last symbols leaves too few of them to count: the last one or
     * two, and the place among the last kEndSymbols where the turn within a symbol
     * parts most clearly from the kEndReference before it, are turned by what their
     * own turn within a symbol says (within_, from the coarse path's fit). */
    int parted = 0;
    double most = 0.0;
    for (int last = 3; last <= std::min(kEndSymbols, n_symbols - kEndReference); last++) {
        const cf before = within_sum(n_symbols - last - kEndReference, n_symbols - last);
        const cf after = within_sum(n_symbols - last, n_symbols);
        const double apart = std::abs(before) + std::abs(after) - std::abs(before + after);
        if (apart > most) {
            most = apart;
            parted = last;
        }
    }
    for (const int last : {1, 2, parted}) {
        if (last == 0)
            continue;
        const double turn = end_turn(n_symbols, n_symbols - last);
        if (std::fabs(turn) < kEndTurn)
            continue;
        coarse_moved_ = fine_moved_ = false;
        h = start;
        if (settle(h, n_symbols, n_slices, n_symbols - last, kEndStep, max_errors, data, demux))
            return true;
    }
    return false;
}

/* A frame decided at its header's carrier that fails its check may have had its
 * carrier step by half the bit rate (at 100 bit/s the 50 Hz of a synthesiser
 * relocking) in its last symbols, too few for the paths' fits to find: that turns
 * each later product by half a cycle, so that their decisions come out inverted
 * (and only a little weaker). From each of the last kEndSymbols on where the turn
 * within a symbol parts from that of the symbols before (as half the bit rate
 * turns it by a quarter cycle), the decisions are taken inverted and checked.
 * Returns the symbol from which they are, with the frame checked into @data,
 * @demux; 0 with bits_ left as it was otherwise. */
int Demod::invert_tail(const HeaderFix &h, uint8_t *data, uint8_t *demux)
{
    const int n = h.symbols;
    const int last = std::min(kEndSymbols, n - 1 - kEndReference);
    const float *re = sums_[0].re.data(), *im = sums_[0].im.data();
    for (int k = n - last - kEndReference; k < n; k++)
        within_[size_t(k)] = turn_within(re, im, h.timing, k);
    /* Symbol k's decision is bits_[k - 1]. */
    for (int step = n - 1; step >= n - last; step--) {
        bits_[size_t(step) - 1] ^= 1;
        if (std::fabs(end_turn(n, step)) >= kEndTurn && check(h.row, data, demux))
            return step;
    }
    for (int k = n - last; k < n; k++)
        bits_[size_t(k) - 1] ^= 1;
    return 0;
}

/* The path of a step of half the bit rate at symbol @step that invert_tail() found,
 * up or down as the turn within the symbols after it says, into path_; sums 0
 * derotated along it (followed_). */
void Demod::step_tail(const HeaderFix &h, int step, int n_slices, double cycles)
{
    const double turn =
        std::copysign(0.5 * rate_, end_turn(h.symbols, step)) * slice_ / kSampleRate;
    for (int k = 0; k < kMaxSymbols; k++)
        path_[size_t(k)] = k < step ? 0.0 : turn;
    derotate_path(cycles, h.timing, n_slices, sums_[0]);
    followed_ = true;
}

cf Demod::within_sum(int from, int to) const
{
    cf s{};
    for (int k = std::max(0, from); k < to; k++)
        s += within_[size_t(k)];
    return s;
}

/* In radians over half a symbol. */
double Demod::end_turn(int n_symbols, int step) const
{
    const cf before = within_sum(step - kEndReference, step);
    const cf after = within_sum(step, n_symbols);
    return std::arg(after * std::conj(before));
}

/* Turns the slices mixed along the path found (its step at @found, of the kind
 * @moving, at symbols counted from @h.timing), searches the header again on them,
 * decides and checks the frame (its header with at most @max_errors wrong bits):
 * and again with the step moved up to kStepSlack symbols either way. TRUE
 * with @h the header found along the path. */
bool Demod::settle(HeaderFix &h, int n_symbols, int n_slices, int found, StepKind moving,
                   int max_errors, uint8_t *data, uint8_t *demux)
{
    const int timing = h.timing;
    auto header_along = [&](const HeaderFix &again) {
        return header_matches(again) && header_errors_ <= max_errors;
    };
    /* Frames that drift, or step early enough for the coarse path, are not tested
     * (only split headers and end steps): such frames may follow each other on one
     * carrier (repetitions sent back to back), and the tones never took those
     * paths. */
    const bool tested = moving == kSplitStep || moving == kEndStep;
    for (int d = 0; d <= (found > 1 ? kStepSlack : 0); d++) {
        for (const int sign : {-1, 1}) {
            const int step = found + sign * d;
            if ((d == 0 && sign > 0) || (d > 0 && (step < 2 || step >= n_symbols)))
                continue;
            switch (moving) {
            case kCoarseStep:
                /* The coarse path alone: the finer one is fitted again along it. */
                fine_moved_ = false;
                lay_path(n_symbols, step, 0);
                break;
            case kFineStep:
                lay_path(n_symbols, coarse_.step_at(), step);
                break;
            case kEndStep:
                /* The turn after the step, against the symbols before it. */
                split_cycles_ = end_turn(n_symbols, step) / (2.0 * M_PI * (kSlices / 2));
                [[fallthrough]];
            case kSplitStep:
                for (int k = 0; k < kMaxSymbols; k++)
                    path_[size_t(k)] = k < step ? 0.0 : split_cycles_;
                break;
            }
            /* The header first, along the path (most places fail there), then the
             * rest of the frame: each turned, summed and decided as in one piece. */
            turn_along(timing, kHeaderSlices);
            HeaderFix again;
            if (!search_mixed(again, kMinCorrelation))
                continue;
            std::complex<double> r = 1.0;
            const double c2 = residual(again) * slice_ / kSampleRate;
            derotate(c2, 0, kHeaderSlices, sums_[0], r);
            decide(again, 1, 1 + kHeaderBits);
            const bool header = header_along(again);
            if (!header && moving != kCoarseStep)
                continue;
            mix_rest(n_slices);
            turn_along(timing, n_slices);
            derotate(c2, kHeaderSlices, n_slices, sums_[0], r);
            decide(again, 1 + kHeaderBits, again.symbols);
            bool ok = header && (!tested || ends(again, n_slices)) && check(again.row, data, demux);
            if (!ok && moving == kCoarseStep) {
                refine(again, timing, step, n_slices, c2);
                decide(again, 1, again.symbols);
                ok = header_along(again) && check(again.row, data, demux);
            }
            if (ok) {
                /* The path is in the slices now: its offsets at the frame's start
                 * and over it are kept for the frequency reported. */
                const int k0 = std::max(0, (again.timing - timing) / kSlices);
                const int n = again.symbols;
                double mean = 0.0;
                for (int k = k0; k < k0 + n; k++)
                    mean += path_[size_t(std::min(k, kMaxSymbols - 1))];
                const double hz = double(kSampleRate) / slice_;
                path_start_hz_ = path_[size_t(std::min(k0, kMaxSymbols - 1))] * hz;
                path_mean_hz_ = mean / n * hz;
                followed_ = false;
                absorbed_ = true;
                h = again;
                return true;
            }
        }
    }
    return false;
}

/* The energy of symbols @from to @to (exclusive) of the stretch at @timing, from
 * sums 0. */
double Demod::energy(int timing, int from, int to) const
{
    const float *re = sums_[0].re.data(), *im = sums_[0].im.data();
    double e = 0.0;
    for (int k = from; k < to; k++)
        e += std::norm(symbol(re, im, timing, k));
    return e;
}

/* Whether @h's frame ends: its last kEndWindow symbols carry kPathEndFall times the
 * energy of the kEndWindow after them (sums 0 over @n_slices slices). TRUE when
 * those are not in the slices or not in the ring yet (the longest frames'). */
bool Demod::ends(const HeaderFix &h, int n_slices) const
{
    const int n = h.symbols;
    if (h.timing + kSlices * (n + kEndWindow) > std::min(n_slices, reach_))
        return true;
    return energy(h.timing, n - kEndWindow, n) >=
           kPathEndFall * energy(h.timing, n, n + kEndWindow);
}

/* The symbols of a frame whose type is not known, from its energy (sums 0 from
 * symbol 0 at @timing): the first of the frame lengths after which the energy of
 * the next symbols falls by kEndDrop, the longest otherwise. */
int Demod::extent(int timing) const
{
    for (int row = 0; row < VDEM_DECOD_V1_NFSTAB; row++) {
        const int n = 1 + kHeaderBits + 8 * (fstab[row].frame_length - 5);
        if (n + kEndWindow <= kMaxSymbols &&
            energy(timing, n - kEndWindow, n) > kEndDrop * energy(timing, n, n + kEndWindow))
            return n;
    }
    return kMaxSymbols;
}

/* The known bits' products of the last header search (head_prod_), searched as two
 * pieces of the known bits, each at its own frequency: for every timing and place
 * of the step, the best hypothesis for each piece. A step found (two different
 * frequencies, each piece coherent enough) gives @h for the first piece (its
 * timing, frequency step, turn and sense) and split_at_, split_cycles_ (the turn
 * per slice from the step on, over the first piece's). */
bool Demod::search_split(HeaderFix &h)
{
    constexpr int kHypotheses = 2 * kFreqSteps + 1;
    double best = 0.0;
    int best_timing = 0, best_split = 0, best_q1 = 0, best_q2 = 0;
    cf best_first{}, best_second{};
    SplitLanes s;
    for (int timing = 0; timing < kTimings; timing++) {
        /* Per hypothesis, running sums of the known bits' products and of their
         * powers. */
        split_lanes(head_prod_.data(), timing, s);
        for (int split = kMinSplitBits; split <= kKnownBits - kMinSplitBits; split++) {
            int q1 = 0, q2 = 0;
            float top1 = -1.f, top2 = -1.f;
            for (int q = 0; q < kHypotheses; q++) {
                const float a = s.first[split][q];
                const float b = s.second[split][q];
                if (a > top1) {
                    top1 = a;
                    q1 = q;
                }
                if (b > top2) {
                    top2 = b;
                    q2 = q;
                }
            }
            if (q1 == q2)
                continue;
            /* Each piece's coherence: its sum against what its products' powers
             * allow (Cauchy-Schwarz), weighed together. */
            const double n1 = split, n2 = kKnownBits - split;
            const double bound = std::sqrt(n1 * s.power[split][q1]) +
                                 std::sqrt(n2 * (s.power[kKnownBits][q2] - s.power[split][q2]));
            const double score = (std::sqrt(double(top1)) + std::sqrt(double(top2))) / bound;
            if (score > best) {
                best = score;
                best_timing = timing;
                best_split = split;
                best_q1 = q1;
                best_q2 = q2;
                best_first = cf(s.re[split][q1], s.im[split][q1]);
                best_second = cf(s.re[kKnownBits][q2], s.im[kKnownBits][q2]) -
                              cf(s.re[split][q2], s.im[split][q2]);
            }
        }
    }
    header_score_ = std::max(header_score_, best);
    if (best < kMinSplit)
        return false;
    const double pol = best_first.real() >= 0.f ? 1.0 : -1.0;
    h = HeaderFix{};
    h.timing = int8_t(best_timing);
    h.step = int8_t(best_q1 - kFreqSteps);
    h.polarity = int8_t(pol);
    h.turn = std::arg(best_first * float(pol));
    h.row = 0;
    h.symbols = int16_t(kMaxSymbols);
    /* Product k joins symbols k and k + 1: the second piece's from symbol split + 1. */
    split_at_ = best_split + 1;
    const double second_turn = std::arg(best_second * float(pol));
    split_cycles_ =
        ((best_q2 - best_q1) * rate_ / 4.0 + (second_turn - h.turn) * rate_ / (2.0 * M_PI)) *
        slice_ / kSampleRate;
    return true;
}

/* A header found in two pieces (search_split()): the slices over the longest frame
 * are turned from the step on by the difference, then settled as follow_header()
 * does. */
bool Demod::follow_split(const cf *ring, int64_t first, double freq, HeaderFix &h, uint8_t *data,
                         uint8_t *demux)
{
    const int n_slices = std::min(kTotalSlices, h.timing + kSlices * kMaxSymbols);
    std::copy(raw_.begin(), raw_.begin() + kHeaderSlices, mixed_.begin());
    /* The rest of the frame is mixed only once a header is found along the path. */
    rest_ = Rest{ring, first, freq};
    coarse_moved_ = fine_moved_ = false;
    const bool settled =
        settle(h, kMaxSymbols, n_slices, split_at_, kSplitStep, kMaxPathHeaderErrors, data, demux);
    rest_ = Rest{};
    return settled;
}

/* The slices after the header into mixed_, when follow_split() left them to mix. */
void Demod::mix_rest(int n_slices)
{
    if (rest_.ring == nullptr)
        return;
    mix(rest_.ring, rest_.first, rest_.freq, kHeaderSlices, n_slices);
    std::copy(raw_.begin() + kHeaderSlices, raw_.begin() + n_slices,
              mixed_.begin() + kHeaderSlices);
    rest_ = Rest{};
}

/* Along slices turned already with a step at symbol @step (counted from the first
 * search's timing @timing), what is left of each piece's turn between symbols, with
 * the bits decided: the turn within a symbol that placed the step measures the
 * pieces four times coarser. The slices are turned by it in place (the path gets
 * it too) and sums 0 derotated again at @cycles. */
void Demod::refine(const HeaderFix &h, int timing, int step, int n_slices, double cycles)
{
    const float *re = sums_[0].re.data(), *im = sums_[0].im.data();
    const double pol = h.polarity;
    /* The step in symbols of @h. */
    const int at = step - (h.timing - timing) / kSlices;
    cf before{}, after{};
    cf prev = symbol(re, im, h.timing, 0);
    for (int k = 1; k < h.symbols; k++) {
        const cf r = symbol(re, im, h.timing, k);
        (k < at ? before : after) += r * std::conj(prev) * float((bits_[k - 1] ? 1.0 : -1.0) * pol);
        prev = r;
    }
    const double turns[2] = {std::arg(before), std::arg(after)};
    std::complex<double> rot = 1.0;
    for (int m = 0; m < n_slices; m++) {
        const int k = (m - h.timing) / kSlices;
        raw_[size_t(m)] *= cf(rot);
        rot *= std::polar(1.0, -turns[k >= at] / kSlices);
    }
    for (int k = 0; k < kMaxSymbols; k++)
        path_[size_t(k)] += turns[k >= step] / (2.0 * M_PI * kSlices);
    std::complex<double> r = 1.0;
    derotate(cycles, 0, n_slices, sums_[0], r);
}

/* Turns the slices mixed (mixed_) along path_ (symbol k from slice @timing + kSlices
 * k) into raw_ over @n_slices slices: what is left is a carrier that holds still,
 * to search and decide as any other. */
void Demod::turn_along(int timing, int n_slices)
{
    std::complex<double> rot = 1.0, step{};
    int symbol = -1;
    for (int m = 0; m < n_slices; m++) {
        const int k = std::clamp((m - timing) / kSlices, 0, kMaxSymbols - 1);
        if (k != symbol) {
            symbol = k;
            step = std::polar(1.0, -2.0 * M_PI * path_[size_t(k)]);
        }
        raw_[size_t(m)] = mixed_[size_t(m)] * cf(rot);
        rot *= step;
    }
}

/* derotate() from slice 0 to @to, along the path: symbol k (from slice @timing +
 * kSlices k on) turned by @cycles + path_[k] per slice. */
void Demod::derotate_path(double cycles, int timing, int to, Sums &out) const
{
    float *re = out.re.data(), *im = out.im.data();
    re[0] = im[0] = 0.f;
    float sum_re = 0.f, sum_im = 0.f;
    std::complex<double> rot = 1.0, step{};
    int symbol = -1;
    for (int m = 0; m < to; m++) {
        const int k = std::clamp((m - timing) / kSlices, 0, kMaxSymbols - 1);
        if (k != symbol) {
            symbol = k;
            step = std::polar(1.0, -2.0 * M_PI * (cycles + path_[size_t(k)]));
        }
        const cf v = raw_[m] * cf(rot);
        re[m + 1] = sum_re += v.real();
        im[m + 1] = sum_im += v.imag();
        rot *= step;
    }
}

bool Demod::decide_known(const cf *ring, const Candidate &c, int64_t end, int guard, Decoded &out)
{
    const HeaderFix h = c.header;
    if (h.symbols <= 0)
        return false;
    const int64_t first = c.start - int64_t(kSearchBits) * bit_;
    const int64_t start = first + int64_t(h.timing) * slice_;
    const int n_symbols = int(std::min<int64_t>(h.symbols, (end - guard - start) / bit_));
    if (n_symbols <= 1 + kHeaderBits)
        return false;
    mix(ring, first, c.freq, 0, kHeaderSlices);
    std::complex<double> rot = 1.0;
    if (!header_holds(h, rot))
        return false;
    const double residual = this->residual(h);
    const int n_slices = h.timing + kSlices * n_symbols;
    mix(ring, first, c.freq, kHeaderSlices, n_slices);
    derotate((residual + kAliases[0] * rate_) * slice_ / kSampleRate, kHeaderSlices, n_slices,
             sums_[0], rot);
    decide(h, 1 + kHeaderBits, n_symbols);
    out.start = start;
    out.symbols = n_symbols;
    out.rate = rate_;
    out.carrier = c.freq + residual;
    out.polarity = float(h.polarity);
    return true;
}

/* With every bit known the whole frame is a pilot: the mean turn per bit gives the
 * last of the frequency (returned, in Hz), the coherent mean the amplitude, what is
 * left over the noise. */
double Demod::measure(const Sums &s, int timing, int n_symbols, double pol, Decoded &out) const
{
    /* The symbols with the modulation taken off, rebuilt from the decided bits. */
    auto pilot = [&](auto &&visit) {
        float sign = 1.f;
        for (int k = 0; k < n_symbols; k++) {
            if (k > 0)
                sign *= (bits_[k - 1] ? 1.f : -1.f) * float(pol);
            visit(k, symbol(s.re.data(), s.im.data(), timing, k) * sign);
        }
    };
    cf turn{}, prev{};
    pilot([&](int k, cf z) {
        if (k > 0)
            turn += z * std::conj(prev);
        prev = z;
    });
    const float w = std::arg(turn);
    /* The carrier's turn from symbol to symbol, applied step by step in double
     * precision (a frame has at most a few hundred symbols). */
    const std::complex<double> step = std::polar(1.0, double(w));
    std::complex<double> rot = 1.0;
    cf mean{};
    pilot([&](int, cf z) {
        mean += z * cf(std::conj(rot));
        rot *= step;
    });
    mean /= float(n_symbols);
    double residue = 0.0;
    rot = 1.0;
    pilot([&](int k, cf z) {
        pilots_[size_t(k)] = z * cf(std::conj(rot));
        residue += std::norm(pilots_[size_t(k)] - mean);
        rot *= step;
    });
    /* A carrier that wanders (drifting a little, or left so by a path followed, at
     * the resolution of the path) keeps the turn above from adding it up: over
     * 0.2 s at 600 bit/s, 30 Hz/s bends its phase by a radian either way. Against a
     * reference of the kWanderWindow symbols either side of each (itself left out,
     * so that its noise adds nothing), the amplitude needs no single turn; where
     * that leaves clearly less (a signal to noise kWandered higher), the carrier
     * wandered and it is the measurement. */
    double along = 0.0;
    for (int k = 0; k < n_symbols; k++) {
        cf ref{};
        for (int j = std::max(0, k - kWanderWindow);
             j <= std::min(n_symbols - 1, k + kWanderWindow); j++)
            if (j != k)
                ref += pilots_[size_t(j)];
        const float size = std::abs(ref);
        references_[size_t(k)] = size > 0.f ? ref / size : cf(1.f);
        along += double((pilots_[size_t(k)] * std::conj(references_[size_t(k)])).real());
    }
    const double amplitude = along / n_symbols;
    double local = 0.0;
    for (int k = 0; k < n_symbols; k++)
        local += std::norm(pilots_[size_t(k)] - float(amplitude) * references_[size_t(k)]);
    /* Each reference carries a sixteenth of the noise of its neighbours. */
    local /= 1.0 + 1.0 / (2 * kWanderWindow);
    if (amplitude * amplitude / local > kWandered * std::norm(mean) / residue) {
        residue = local;
        mean = cf(float(amplitude), 0.f);
    }
    residue /= double(n_symbols - 1);

    vdem_proto_frame_t &f = out.record;
    f.rssi = rssi_of(mean);
    const double snr = 10.0 * std::log10(std::norm(mean) / std::max(residue, 1e-30));
    f.snr = float(std::min(snr, 50.0));
    return w * rate_ / (2.0 * M_PI);
}

float Demod::rssi_of(cf mean) const
{
    const double amplitude = std::sqrt(double(std::norm(mean))) / bit_;
    return float(10.0 * std::log10(std::max(amplitude * amplitude, 1e-30)) - int_gain_);
}

/* The first two passes of measure() for eight timings side by side: the same
 * operations in the same order per timing, so that each rssi is the one measure()
 * would give, and the winner's noise needs its own pass only. */
void Demod::sweep(const Sums &s, int from, int to, int n_symbols, double pol, float *rssi) const
{
    float sign[kMaxSymbols];
    sign[0] = 1.f;
    for (int k = 1; k < n_symbols; k++)
        sign[k] = sign[k - 1] * ((bits_[k - 1] ? 1.f : -1.f) * float(pol));
    /* The last group ends at @to, overlapping the one before if need be. */
    for (int g = from; g <= to; g += kSweepWays) {
        const int t = std::min(g, to - (kSweepWays - 1));
        float mr[kSweepWays], mi[kSweepWays];
        pilot_means(s.re.data(), s.im.data(), t, n_symbols, sign, mr, mi);
        for (int j = 0; j < kSweepWays; j++) {
            cf mean(mr[j], mi[j]);
            mean /= float(n_symbols);
            rssi[t + j - from] = rssi_of(mean);
        }
    }
}

} // namespace vchan
