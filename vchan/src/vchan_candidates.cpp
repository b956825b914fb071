/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The candidate list of one bit rate: merging, side lobes, waiting, readiness. */
#include "vchan_candidates.h"

#include "vchan_demod.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vchan
{

namespace
{
typedef double d4 __attribute__((vector_size(32)));
typedef float f4 __attribute__((vector_size(16)));

/* Distances between candidates are counted in half bit rates, called bins here:
 * the spacing of the banks' bins when the side lobes were fitted, and still the
 * unit of the fit (the banks' bins are now 0.94 and 1.25 of it apart, at 100 and
 * 600 bit/s). A distance is rounded to whole bins.
 *
 * Distances in bins past which CandidateList::add() bounds the side lobes anew.
 * The first is the nearest at which a frame is taken for another's side lobe: a
 * detection closer than that is the frame itself, seen from a neighbouring bin. */
constexpr int kLobeSteps[kLobeLevels] = {4, 12, 40, 120};
constexpr int kNearestLobeBins = kLobeSteps[0];
/* The preamble correlation of a rectangular-pulse frame n bins away from its
 * carrier, relative to its peak: kLobeScale n^kLobeExponent (fitted on frames 20 to
 * 160 bins away; the symbol edges spread the signal itself as n^-2). */
constexpr double kLobeScale = 1.56;
constexpr double kLobeExponent = -1.84;
/* How far over the fit a detection may be and still be taken for a side lobe: the
 * spread of the fit. */
constexpr double kSideLobeMargin = 2.0;
/* Detections of one frame start within the demodulator's timing search of each
 * other (three bits either side of the estimate), and lie within this many bit
 * rates of each other in frequency. */
constexpr int kTimingSearchBits = 3;
constexpr double kMergeRates = 1.5;
/* A strong preamble's first bits alone raise detections up to this many bit rates
 * beside its carrier. */
constexpr double kEarlyViewRates = 2.0;
static_assert(kReadyMarginBits == kTimingSearchBits + 1);
/* Bits after the longest frame for which a demodulated candidate stays, to account
 * for what its side lobes bring up until they can no longer be detected. */
constexpr int kLobeMemoryBits = 32;

/* The first of items @from to @n (exclusive) whose frequency in @freq is within
 * @merge_hz of @f, or whose metric in @metric times the side-lobe ceiling at its
 * distance exceeds @weak: @ceiling[k] from @reach[k] Hz away on; @n if none. Four
 * at a time, each lane doing the scalar comparisons. */
VCHAN_VECTOR_CLONES
size_t first_near_or_strong(const double *freq, const float *metric, size_t from, size_t n,
                            double f, double merge_hz, double weak, const double *ceiling,
                            const double *reach)
{
    static_assert(kLobeLevels == 4);
    size_t i = from;
    for (; i + 4 <= n; i += 4) {
        d4 fr;
        f4 mf;
        memcpy(&fr, freq + i, sizeof fr);
        memcpy(&mf, metric + i, sizeof mf);
        const d4 df = fr - f;
        const d4 adf = df < 0.0 ? -df : df;
        d4 top = d4{} + ceiling[0];
        top = adf >= reach[1] ? ceiling[1] : top;
        top = adf >= reach[2] ? ceiling[2] : top;
        top = adf >= reach[3] ? ceiling[3] : top;
        const auto hit = ~(adf > merge_hz) | (weak < top * __builtin_convertvector(mf, d4));
        if ((hit[0] | hit[1] | hit[2] | hit[3]) != 0)
            break;
    }
    for (; i < n; i++) {
        const double adf = std::fabs(freq[i] - f);
        int k = kLobeLevels - 1;
        while (k > 0 && !(adf >= reach[k]))
            k--;
        if (!(adf > merge_hz) || weak < ceiling[k] * double(metric[i]))
            return i;
    }
    return n;
}

/* The first of items @from to @n (exclusive) whose entry in @open is under
 * @ceiling; @n if none. */
VCHAN_VECTOR_CLONES
size_t first_open_below(const float *open, size_t from, size_t n, double ceiling)
{
    size_t i = from;
    for (; i + 4 <= n; i += 4) {
        f4 mf;
        memcpy(&mf, open + i, sizeof mf);
        const auto hit = __builtin_convertvector(mf, d4) < ceiling;
        if ((hit[0] | hit[1] | hit[2] | hit[3]) != 0)
            break;
    }
    for (; i < n; i++)
        if (double(open[i]) < ceiling)
            return i;
    return n;
}

typedef long long l4 __attribute__((vector_size(32)));

/* The first of items @from to @n (exclusive) whose entry in @live is after @t and
 * whose metric in @metric times @factor exceeds @weak; @n if none. */
VCHAN_VECTOR_CLONES
size_t first_live_stronger(const int64_t *live, const float *metric, size_t from, size_t n,
                           int64_t t, double weak, double factor)
{
    size_t i = from;
    for (; i + 4 <= n; i += 4) {
        l4 v;
        f4 mf;
        memcpy(&v, live + i, sizeof v);
        memcpy(&mf, metric + i, sizeof mf);
        const l4 hit = (v > (long long)t) & (weak < factor * __builtin_convertvector(mf, d4));
        if ((hit[0] | hit[1] | hit[2] | hit[3]) != 0)
            break;
    }
    for (; i < n; i++)
        if (live[i] > t && weak < factor * double(metric[i]))
            return i;
    return n;
}

/* Side-lobe level (see CandidateList::explains()) n bins away, for every n the
 * bank of either rate can give: the same at both, worked out once. */
const double *side_lobes()
{
    static std::array<double, 2 * samples_per_bit(100) + 1> lobe{};
    static const bool filled = [] {
        for (size_t n = 1; n < lobe.size(); n++)
            lobe[n] = kLobeScale * std::pow(double(n), kLobeExponent);
        return true;
    }();
    (void)filled;
    return lobe.data();
}
} // namespace

CandidateList::CandidateList(int rate)
    : bit_(vchan::samples_per_bit(rate)), half_rate_(rate / 2.0), merge_hz_(kMergeRates * rate),
      lobe_(side_lobes()), lobe_top_(size_t(2 * bit_)), items_(kMaxCandidates),
      key_freq_(kMaxCandidates), key_metric_(kMaxCandidates), key_open_(kMaxCandidates),
      key_live_(kMaxCandidates), shadowed_(kMaxShadowed)
{
    for (int k = 0; k < kLobeLevels; k++) {
        /* Two candidates at least (n - 1/2) bins apart round to n bins or more. */
        lobe_reach_[k] = (kLobeSteps[k] - 0.5) * half_rate_;
        lobe_ceiling_[k] =
            kSideLobeMargin * *std::max_element(lobe_ + kLobeSteps[k], lobe_ + lobe_top_ + 1);
    }
}

void CandidateList::put(size_t i, const Candidate &c)
{
    items_[i] = c;
    key_freq_[i] = c.freq;
    key_metric_[i] = c.metric;
    key_open_[i] = c.done || c.cleared ? INFINITY : c.metric;
    key_live_[i] = c.done ? INT64_MIN : c.start;
}

void CandidateList::remove(size_t i)
{
    items_[i] = items_[--count_];
    key_freq_[i] = key_freq_[count_];
    key_metric_[i] = key_metric_[count_];
    key_open_[i] = key_open_[count_];
    key_live_[i] = key_live_[count_];
}

/* Whether @strong's side lobes can account for @weak (see kLobeScale; bins are
 * R/2 wide, see kLobeSteps). A frame that weak so close to a strong one sits in the strong one's
 * spectrum and is lost to it anyway; the margin covers the spread of the fit. */
bool CandidateList::explains(const Candidate &strong, const Candidate &weak) const
{
    if (weak.start < strong.start - kTimingSearchBits * bit_ ||
        weak.start > strong.start + int64_t(kMaxSymbols) * bit_)
        return false;
    return buries(strong, weak);
}

/* Whether @weak is within what @strong's side lobes bring up at its carrier. */
bool CandidateList::buries(const Candidate &strong, const Candidate &weak) const
{
    const size_t n = lobe_bins(strong, weak);
    return n >= kNearestLobeBins &&
           double(weak.metric) < kSideLobeMargin * lobe_[n] * double(strong.metric);
}

/* The distance between two candidates in bins of R/2, to the nearest whole one. */
size_t CandidateList::lobe_bins(const Candidate &a, const Candidate &b) const
{
    /* Rounding up from a half, as lround does for these positive distances, without
     * the call. */
    const double bins = std::fabs(a.freq - b.freq) / half_rate_;
    return std::min(size_t(bins + 0.5), lobe_top_);
}

/* Whether @weak, ready, should wait for a stronger frame that starts after it, to
 * be demodulated first, when that one's samples are all in before @weak's report
 * is due: one whose side lobes could bury it (and which may be subtracted), or one
 * within two bit rates that it can be an early view of. A strong preamble's first
 * few bits alone pass the detector in a bin or two beside the carrier, where the
 * whole preamble's products turn and cancel: those detections start up to twenty
 * bits early, beyond the timing search. Once that frame is decoded the receiver
 * recognises them. */
bool CandidateList::waits(Candidate &weak, const Peek &peek)
{
    /* Past this, waiting would make the report late (@now lags the samples posted). */
    if (int64_t(peek.now) + kFrontEndDelay >= weak.start + int64_t(kReportBits) * bit_) {
        weak.waits_for = 0;
        return false;
    }
    /* Ready candidates are asked again at every hop while they wait: the one they
     * waited for last is looked at first. */
    if (weak.waits_for != 0 && weak.waits_at < count_) {
        Candidate &s = items_[weak.waits_at];
        if (s.id == weak.waits_for && holds_back(s, weak, peek))
            return true;
    }
    /* Only one not done, starting after @weak and well stronger can hold it back:
     * enough to bury it, or to be the frame it is an early view of. */
    const double stronger = std::max(lobe_ceiling_[0], kNeighbourShare);
    for (size_t i = 0;; i++) {
        i = first_live_stronger(key_live_.data(), key_metric_.data(), i, count_, weak.start,
                                double(weak.metric), stronger);
        if (i == count_)
            break;
        if (holds_back(items_[i], weak, peek)) {
            weak.waits_for = items_[i].id;
            weak.waits_at = uint32_t(i);
            return true;
        }
    }
    weak.waits_for = 0;
    return false;
}

/* Any frame starting up to kWaitBits after @weak is complete in time, however long
 * it is. One that starts later and buries @weak is too when its header, searched
 * here once it is in, gives a length short enough: a strong frame of 121 symbols
 * may start 123 bits after @weak. */
bool CandidateList::holds_back(Candidate &s, const Candidate &weak, const Peek &peek)
{
    if (s.done || s.start <= weak.start)
        return false;
    if (s.start <= weak.start + int64_t(kWaitBits) * bit_)
        return buries(s, weak) ||
               (s.start > weak.start + kTimingSearchBits * bit_ &&
                std::fabs(s.freq - weak.freq) <= kEarlyViewRates * 2.0 * half_rate_ &&
                double(weak.metric) < kNeighbourShare * double(s.metric));
    /* A bit to spare for the hop on which it is taken and the spread of @weak's
     * estimated start. */
    const int64_t deadline = weak.start + int64_t(kReportBits - 1) * bit_ - kFrontEndDelay;
    if (s.start + int64_t(kMinSymbols + kReadyMarginBits) * bit_ > deadline ||
        s.header.symbols < 0 || (s.header.symbols > 0 && ready_at(s) > deadline) ||
        !buries(s, weak))
        return false;
    if (s.header.symbols == 0) {
        if (s.start + int64_t(kHeaderSearchBits) * bit_ > int64_t(peek.now) ||
            !peek.demod.peek(peek.ring, s))
            return false;
    }
    return ready_at(s) <= deadline;
}

/* The first sample after everything the demodulator reads of @c's frame, with
 * the kEndWindow symbols after it: the longest frame's until its header has been
 * searched. */
int64_t CandidateList::ready_at(const Candidate &c) const
{
    return c.start + int64_t(ready_symbols(c.header.symbols) + kReadyMarginBits) * bit_;
}

bool CandidateList::burying(const Candidate &weak, uint64_t now, Demod &demod, const cf *ring,
                            Candidate &strong)
{
    Candidate *best = nullptr;
    for (size_t i = 0; i < count_; i++) {
        Candidate &s = items_[i];
        /* Only a frame whose header is in, among those @weak may have waited for
         * (as holds_back(), which searches their headers too). */
        if (s.done || s.start <= weak.start || s.header.symbols < 0 ||
            s.start + int64_t(kHeaderSearchBits) * bit_ > int64_t(now) ||
            s.start + int64_t(kMinSymbols + kReadyMarginBits) * bit_ >
                weak.start + int64_t(kReportBits - 1) * bit_ - kFrontEndDelay ||
            (best != nullptr && s.metric <= best->metric) || !buries(s, weak))
            continue;
        best = &s;
    }
    if (best == nullptr || (best->header.symbols == 0 && !demod.peek(ring, *best)))
        return false;
    strong = *best;
    return true;
}

void CandidateList::forget_headers(int64_t from, int64_t to)
{
    for (size_t i = 0; i < count_; i++) {
        Candidate &o = items_[i];
        if (o.header.symbols != 0 && !o.done && o.start - kTimingSearchBits * bit_ < to &&
            o.start + int64_t(kHeaderSearchBits) * bit_ > from)
            o.header = HeaderFix{};
    }
}

void CandidateList::shadow(const Candidate &weak, const Candidate &strong)
{
    const float excess =
        float(double(weak.metric) / (lobe_[lobe_bins(strong, weak)] * double(strong.metric)));
    for (size_t i = 0; i < n_shadowed_; i++) {
        Shadowed &o = shadowed_[i];
        if (o.strong == strong.id && std::fabs(o.c.freq - weak.freq) <= merge_hz_ &&
            std::llabs(o.c.start - weak.start) <= kTimingSearchBits * bit_) {
            if (weak.metric > o.c.metric)
                o = Shadowed{weak, strong.id, excess, strong.done};
            return;
        }
    }
    size_t slot = n_shadowed_;
    if (n_shadowed_ == shadowed_.size()) {
        slot = 0;
        for (size_t i = 1; i < n_shadowed_; i++)
            if (shadowed_[i].excess < shadowed_[slot].excess)
                slot = i;
        if (shadowed_[slot].excess >= excess)
            return;
    } else {
        n_shadowed_++;
    }
    shadowed_[slot] = Shadowed{weak, strong.id, excess, strong.done};
    late_ = late_ || strong.done;
}

void CandidateList::add(const Candidate &c)
{
    /* Side lobes are at most the margin times the nearest lobe's level of the
     * frame's correlation: a candidate stronger than that of the strongest held is
     * no one's side lobe. */
    const double nearest_lobe = kSideLobeMargin * lobe_[kNearestLobeBins];
    const bool may_be_lobe = !c.cleared && double(c.metric) < nearest_lobe * double(max_metric_);
    max_metric_ = std::max(max_metric_, c.metric);
    /* Only candidates near @c in frequency can merge with it, and only those much
     * stronger can explain it (by more the further they are): a first test on the
     * keys alone passes every one that can do either. */
    const double weak = may_be_lobe ? double(c.metric) : INFINITY;
    const Candidate *kept = nullptr;
    for (size_t i = 0; kept == nullptr; i++) {
        i = first_near_or_strong(key_freq_.data(), key_metric_.data(), i, count_, c.freq, merge_hz_,
                                 weak, lobe_ceiling_, lobe_reach_);
        if (i == count_)
            break;
        Candidate &o = items_[i];
        if (std::fabs(o.freq - c.freq) <= merge_hz_ &&
            std::llabs(o.start - c.start) <= kTimingSearchBits * bit_) {
            if (c.metric <= o.metric || o.done)
                return;
            const uint32_t id = o.id;
            put(i, c);
            o.id = id;
            kept = &o;
        } else if (may_be_lobe && !o.failed && explains(o, c)) {
            /* The side lobes of a strong frame reach far across the bank: they wait
             * here for it, before they cost a demodulation each. */
            if (!o.done)
                shadow(c, o);
            else if (o.header.symbols > 0)
                /* Taken as soon as its frame was in, before its side lobes' last
                 * detections: those are re-tested on the ring it left. */
                shadow(c, o);
            return;
        }
    }
    if (kept == nullptr) {
        if (count_ == items_.size()) {
            dropped_++;
            return;
        }
        put(count_, c);
        items_[count_].id = next_id_++;
        kept = &items_[count_++];
    }
    const Candidate strong = *kept;
    const double lobe_ceiling = nearest_lobe * double(strong.metric);
    for (size_t i = 0; (i = first_open_below(key_open_.data(), i, count_, lobe_ceiling)) < count_;)
        if (explains(strong, items_[i])) {
            /* What waited for the weaker one now waits for the stronger. */
            const uint32_t id = items_[i].id;
            for (size_t j = 0; j < n_shadowed_; j++)
                if (shadowed_[j].strong == id)
                    shadowed_[j].strong = strong.id;
            shadow(items_[i], strong);
            remove(i);
        } else {
            i++;
        }
}

bool CandidateList::near(const Candidate &c) const
{
    for (size_t i = 0; i < count_; i++)
        if (std::fabs(key_freq_[i] - c.freq) <= merge_hz_ &&
            std::llabs(items_[i].start - c.start) <= kTimingSearchBits * bit_)
            return true;
    return false;
}

void CandidateList::fail(uint32_t id)
{
    for (size_t i = 0; i < count_; i++)
        if (items_[i].id == id) {
            items_[i].failed = true;
            return;
        }
}

bool CandidateList::pop_shadowed(uint32_t strong, Candidate &c)
{
    for (size_t i = 0; i < n_shadowed_; i++)
        if (shadowed_[i].strong == strong) {
            c = shadowed_[i].c;
            shadowed_[i] = shadowed_[--n_shadowed_];
            return true;
        }
    return false;
}

bool CandidateList::pop_late(Candidate &c)
{
    if (!late_)
        return false;
    for (size_t i = 0; i < n_shadowed_; i++)
        if (shadowed_[i].late) {
            c = shadowed_[i].c;
            shadowed_[i] = shadowed_[--n_shadowed_];
            return true;
        }
    late_ = false;
    return false;
}

void CandidateList::restore(const Candidate &c)
{
    Candidate r = c;
    r.done = false;
    r.cleared = true;
    r.header = HeaderFix{}; /* the re-test moved its start */
    for (size_t i = 0; i < count_; i++) {
        Candidate &o = items_[i];
        if (std::fabs(o.freq - r.freq) <= merge_hz_ &&
            std::llabs(o.start - r.start) <= kTimingSearchBits * bit_) {
            if (o.done || o.metric >= r.metric) {
                o.cleared = true;
                key_open_[i] = INFINITY;
                return;
            }
            r.id = o.id;
            put(i, r);
            max_metric_ = std::max(max_metric_, r.metric);
            return;
        }
    }
    if (count_ == items_.size()) {
        dropped_++;
        return;
    }
    r.id = next_id_++;
    put(count_++, r);
    max_metric_ = std::max(max_metric_, r.metric);
}

bool CandidateList::pop_ready(uint64_t now, Candidate &c, Demod &demod, const cf *ring)
{
    const Peek peek{now, demod, ring};
    /* Ready whatever its length, or (for fewer) once its own frame is in. */
    const int64_t latest = int64_t(now) - int64_t(kMaxSymbols + kReadyMarginBits) * bit_;
    const int64_t kept = int64_t(kMaxSymbols + kLobeMemoryBits) * bit_;
    constexpr size_t kNone = SIZE_MAX;
    size_t best = kNone;
    /* The receiver takes what waits for a candidate when it pops that candidate;
     * anything left long after is dropped, as side lobes were. */
    for (size_t i = 0; i < n_shadowed_;)
        if (shadowed_[i].c.start + kept < int64_t(now))
            shadowed_[i] = shadowed_[--n_shadowed_];
        else
            i++;
    float max_metric = 0.f;
    for (size_t i = 0; i < count_;) {
        Candidate &o = items_[i];
        if (o.done && o.start + kept < int64_t(now)) {
            remove(i);
            continue;
        }
        max_metric = std::max(max_metric, o.metric);
        /* Strongest first, so that side lobes meet the frame that explains them. */
        if (!o.done &&
            (o.start <= latest || (o.header.symbols > 0 && ready_at(o) <= int64_t(now))) &&
            (best == kNone || o.metric > items_[best].metric) && !waits(o, peek))
            best = i;
        i++;
    }
    max_metric_ = max_metric;
    if (best == kNone)
        return false;
    items_[best].done = true;
    key_open_[best] = INFINITY;
    key_live_[best] = INT64_MIN;
    c = items_[best];
    return true;
}

} // namespace vchan
