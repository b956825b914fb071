/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The receiver: feeds the banks, runs the due candidates, holds and reports. */
#include "vchan_receiver.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vchan
{

namespace
{
/* A divisor of every bank hop (a quarter bit at 600 bit/s): samples are taken in
 * chunks that end on its multiples. */
constexpr uint64_t kChunk = 80;
static_assert(kChunk == FrontEnd::kChunk);
/* libvdem's saturation period at 600 bit/s and its threshold. */
constexpr uint64_t kSaturationPeriod = 320;
constexpr double kSaturationDb = -8.0;
/* Frames held for reporting or for recognising repeats. */
constexpr size_t kHeld = 256;
/* Two decodes of one transmission start within this many bits of each other. */
constexpr int kSameFrameBits = 4;
/* Messages recovered by combining and not yet reported, and reports remembered to
 * recognise a message reported already. */
constexpr size_t kPending = 64;
constexpr size_t kRecent = 512;
/* The header test a detection kept only for combining must pass, in units of a
 * bin's noise power (see Bank::header_score()). */
constexpr float kDeepHeaderScore = 30.f;
/* How far before a subtracted frame's start a candidate that waited for it may
 * start (see Receiver::cleaned()). */
constexpr int kWaitedBits = 6;
/* What the front end leaves of a carrier it follows is noise that its loops let
 * through, some 3 dB over the band's within 25 Hz of it: at 100 bit/s the bins
 * there raise several times the candidates of the rest of the band, with metrics
 * up to half as much again over the threshold. A detection that close to a
 * followed carrier must pass the threshold by that much (a frame at 6 dB Eb/N0
 * reaches three times it), and none is kept only for combining there. */
constexpr double kOnCarrierHz = 25.0;
constexpr float kOnCarrierMargin = 1.5f;

typedef double d4 __attribute__((vector_size(32)));
typedef float f8 __attribute__((vector_size(32)));

/* Converts @n samples @in (pairs of I and Q) into @out, and returns @power plus
 * their powers |x|^2. Each power is a whole number under 2^31 (the squares of 16-bit
 * values are rounded to float only above 2^24, where floats are whole), and a
 * saturation period's sum stays far under 2^53: added in double precision they are
 * exact in any order, so four lanes add them side by side. */
VCHAN_VECTOR_CLONES
double take_samples(const short *in, int n, cf *out, double power)
{
    float *o = reinterpret_cast<float *>(out);
    for (int k = 0; k < 2 * n; k++)
        o[k] = float(in[k]);
    d4 lanes = {power, 0.0, 0.0, 0.0};
    int j = 0;
    for (; j + 4 <= n; j += 4) {
        f8 x;
        memcpy(&x, o + 2 * j, sizeof x);
        const f8 sq = x * x;
        const f8 pairs = sq + __builtin_shufflevector(sq, sq, 1, 0, 3, 2, 5, 4, 7, 6);
        lanes += __builtin_convertvector(__builtin_shufflevector(pairs, pairs, 0, 2, 4, 6), d4);
    }
    power = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    for (; j < n; j++)
        power += double(o[2 * j] * o[2 * j] + o[2 * j + 1] * o[2 * j + 1]);
    return power;
}

bool same_bytes_any_seq(const vdem_proto_frame_t &a, const vdem_proto_frame_t &b)
{
    return a.length == b.length && a.f.v1.oob == b.f.v1.oob &&
           memcmp(a.frame, b.frame, a.length + 2u) == 0;
}

bool same_bytes(const vdem_proto_frame_t &a, const vdem_proto_frame_t &b)
{
    return a.f.v1.seq == b.f.v1.seq && same_bytes_any_seq(a, b);
}
} // namespace

Receiver::Receiver(uint32_t rates, float int_gain)
    : rates_(rates), int_gain_(int_gain), ring_(kRingSize), held_(kHeld), pending_(kPending),
      recent_(kRecent)
{
    for (int rate : {100, 600})
        if (rates & (rate == 100 ? VCHAN_RATE_100BPS : VCHAN_RATE_600BPS))
            chains_.push_back(std::make_unique<Rate>(rate, int_gain));
}

bool Receiver::ok() const
{
    for (const auto &c : chains_)
        if (!c->bank.ok() || !c->combiner.ok())
            return false;
    return !chains_.empty() && front_.ok();
}

void Receiver::post(const short *samples, int n)
{
    int i = 0;
    while (i < n) {
        /* Up to the end of the chunk, and of the ring. */
        const uint64_t at = counter_ & kRingMask;
        const int c = int(std::min({kChunk - counter_ % kChunk, uint64_t(n - i), kRingSize - at}));
        power_ = take_samples(samples + 2 * i, c, ring_.data() + at, power_);
        counter_ += c;
        i += c;
        if (counter_ % kChunk == 0)
            on_chunk_end();
    }
    report_due();
}

void Receiver::on_chunk_end()
{
    if (counter_ % kSaturationPeriod == 0) {
        const double p = 10.0 * std::log10(power_ / kSaturationPeriod) - int_gain_;
        power_ = 0.0;
        if (p > kSaturationDb && on_saturation != nullptr) {
            vdem_rfsat_t sat{float(p), int32_t(uint32_t(counter_))};
            on_saturation(&sat, saturation_data);
        }
    }
    front_.chunk(ring_.data(), counter_);
    if (counter_ < uint64_t(FrontEnd::kDelay))
        return;
    clean_ = counter_ - FrontEnd::kDelay;
    for (auto &chain : chains_) {
        Bank &bank = chain->bank;
        if (clean_ % uint64_t(bank.hop()) != 0 || clean_ < uint64_t(bank.samples_per_bit()))
            continue;
        bank.step(ring_.data(), clean_, chain->candidates, combining_ ? &chain->deep : nullptr);
        Candidate c;
        while (chain->candidates.pop_late(c))
            if (cleaned(c, bank.rate()) && chain->canceller.retest(ring_.data(), bank.noise(), c))
                chain->candidates.restore(c);
        while (chain->candidates.pop_ready(clean_, c, chain->demod, ring_.data())) {
            Decoded d;
            bool subtracted = false;
            chain->soft.valid = chain->soft.wanted = false;
            chain->soft.limit = clean_;
            const bool residue = on_carrier(c, bank.threshold());
            const bool tried = !covered(c, bank.rate()) && !masked(c, bank.rate()) && !residue;
            const bool found = tried && decode(*chain, c, d);
            if (chain->soft.wanted && !chain->combiner.holds(c.start, c.freq))
                chain->demod.keep_soft(ring_.data(), c, chain->soft.fix, chain->soft);
            if (chain->soft.valid)
                combine(*chain);
            if (found) {
                /* A strong frame leaves the ring, and what its side lobes hid is looked
                 * at again without it. */
                subtracted = chain->canceller.worth(d) &&
                             chain->canceller.cancel(ring_.data(), d, chain->demod.bits());
                if (subtracted) {
                    /* The samples the frame spanned (its timing refined by up to a
                     * tenth of a bit) changed under any header searched there. */
                    const int bit = bank.samples_per_bit();
                    for (auto &other : chains_)
                        other->candidates.forget_headers(d.start - bit,
                                                         d.start + int64_t(d.symbols + 1) * bit);
                }
                take(d, subtracted);
            }
            /* What seemed its side lobes is looked at again: without it where it was
             * a frame subtracted; as it is where it was no frame at all (a burst of
             * another system, say, which raises detections across the band, or a
             * carrier's residue). */
            const bool failed = (tried && !found) || residue;
            if (failed)
                chain->candidates.fail(c.id);
            Candidate s;
            while (chain->candidates.pop_shadowed(c.id, s))
                if (failed || (cleaned(s, bank.rate()) &&
                               chain->canceller.retest(ring_.data(), bank.noise(), s)))
                    chain->candidates.restore(s);
        }
        if (combining_)
            run_deep(*chain);
    }
}

void Receiver::run_deep(Rate &chain)
{
    const int rate = chain.bank.rate();
    Candidate c;
    while (chain.deep.pop_untested(clean_, c)) {
        if (front_.near_carrier(c.freq, kOnCarrierHz))
            continue;
        const float score = chain.bank.header_score(c);
        if (score >= kDeepHeaderScore)
            chain.deep.keep(c);
    }
    while (chain.deep.pop_ready(clean_, c)) {
        if (covered(c, rate) || masked(c, rate) || chain.candidates.near(c) ||
            chain.combiner.holds(c.start, c.freq))
            continue;
        chain.soft.limit = clean_;
        if (chain.demod.keep_only(ring_.data(), c, chain.soft))
            combine(chain);
    }
}

/* A weak frame whose report is due while a stronger frame that buries it, starting
 * after it, is still coming in (the longest frames starting some 30 bits later) is
 * demodulated without that frame's part so far: from its header fix the strong
 * frame's symbols that are in are decided (certain at the levels where its side
 * lobes matter), fitted and taken out of the ring as a whole frame would be, and
 * the ring is put back to the sample once the weak frame is demodulated, so that
 * the strong frame is found, measured and cancelled later as ever. */
bool Receiver::decode(Rate &chain, const Candidate &c, Decoded &d)
{
    Candidate strong;
    Decoded known{};
    if (!chain.candidates.burying(c, clean_, chain.demod, ring_.data(), strong) ||
        !chain.demod.decide_known(ring_.data(), strong, int64_t(clean_),
                                  chain.canceller.reach() + 1, known) ||
        !chain.canceller.lift(ring_.data(), known, chain.demod.bits()))
        return chain.demod.decode(ring_.data(), c, d, combining_ ? &chain.soft : nullptr);
    /* Its header is searched again, on the ring without the strong frame. */
    Candidate weak = c;
    weak.header = HeaderFix{};
    const bool ok = chain.demod.decode(ring_.data(), weak, d, combining_ ? &chain.soft : nullptr);
    chain.canceller.put_back(ring_.data());
    return ok;
}

/* A detection within kOnCarrierHz of a followed carrier that the carrier's residue
 * could have made (under kOnCarrierMargin times the bank's @threshold). */
bool Receiver::on_carrier(const Candidate &c, float threshold) const
{
    return c.metric < kOnCarrierMargin * threshold && front_.near_carrier(c.freq, kOnCarrierHz);
}

/* A candidate inside a frame already decoded near its carrier (the frame's own
 * data bits) needs no second look, nor one at its start within a bin of the decoded
 * carrier. One at its start further away is still decoded when it could be the
 * better view: the first decode may have come from a side lobe, and the better
 * measurement wins in take(). It cannot be when its correlation is well under what
 * the decoded frame gives on its carrier (20 T^2 a^2): it is that frame seen from
 * a neighbouring bin. So is such a weaker one within two bit rates that starts
 * before the frame, up to the wait of CandidateList::waits(): the detection of a
 * preamble's first bits beside its carrier. */
bool Receiver::covered(const Candidate &c, int rate) const
{
    const int bit = samples_per_bit(rate);
    for (size_t i = 0; i < n_held_; i++) {
        const Decoded &d = held_[i].frame;
        const double df = std::fabs(std::remainder(d.record.freq - c.freq, double(kSampleRate)));
        if (d.rate != rate || df > 2.0 * rate)
            continue;
        const int64_t lead = d.start - c.start;
        if (lead < -2 * kSameFrameBits * bit) {
            if (c.start <= d.start + int64_t(d.symbols + kSameFrameBits) * bit)
                return true;
            continue;
        }
        if (lead <= 2 * kSameFrameBits * bit && df <= rate / 2.0)
            return true;
        if (lead > int64_t(kWaitBits) * bit)
            continue;
        const double a2 = std::pow(10.0, (double(d.record.rssi) + int_gain_) / 10.0);
        if (double(c.metric) < kNeighbourShare * kPreambleBits * double(bit) * bit * a2)
            return true;
    }
    return false;
}

/* Whether @c, a detection of the 100 bit/s bank, can be a 600 bit/s frame decoded
 * already, seen through the narrower filters. The faster frame's random decisions
 * make the products of 100 bit/s symbols a random walk whose sum passes the
 * coherence check now and then, over the 600 Hz of its main lobe and for as long
 * as it lasts. Such a detection's correlation is at most about what a 100 bit/s
 * frame with the same energy per bit would give (a sixth of the power): 20 T^2
 * a^2 / 6. A 100 bit/s frame no stronger than that, within 600 Hz of a 600 bit/s
 * frame over its preamble, meets that frame's power in its own band at 3 to 8 dB
 * and would not be decoded anyway; skipping the search saves the most costly
 * demodulation there is, many times per 600 bit/s frame. The first side lobes of
 * its spectrum (600 Hz to 1.2 kHz away, sinc^2 of the offset in bit rates, at most
 * -13 dB) raise such detections too, at up to twice what that density puts in a
 * 100 Hz band: there a detection under twice that share of the bound is masked,
 * a 100 bit/s frame that weak meeting the side lobe at 3 dB Eb/I0 or less (where
 * nine frames in ten are lost to noise alone); near the lobes' nulls nothing is. */
bool Receiver::masked(const Candidate &c, int rate) const
{
    if (rate != 100)
        return false;
    constexpr double kFastRate = 600.0;
    const int64_t bit = samples_per_bit(100), fast_bit = samples_per_bit(600);
    for (size_t i = 0; i < n_held_; i++) {
        const Decoded &d = held_[i].frame;
        if (d.rate != 600 || c.start < d.start - (kPreambleBits + 2) * bit ||
            c.start > d.start + int64_t(d.symbols) * fast_bit)
            continue;
        const double df = std::fabs(std::remainder(d.record.freq - c.freq, double(kSampleRate)));
        if (df > 2.0 * kFastRate)
            continue;
        double share = 1.0;
        if (df > kFastRate) {
            const double x = M_PI * df / kFastRate;
            share = 2.0 * std::pow(std::sin(x) / x, 2);
        }
        const double a2 = std::pow(10.0, (double(d.record.rssi) + int_gain_) / 10.0);
        if (double(c.metric) < share * double(kPreambleBits) * double(bit * bit) * a2 / 6.0)
            return true;
    }
    return false;
}

/* Whether a frame subtracted from the ring spans @c's start: what waited for a
 * candidate of that frame (it may have been found at several bins and times, and
 * only one of them decoded) is re-tested; otherwise it goes, as side lobes did. A
 * candidate waits for a stronger one starting up to three bits after it (the
 * candidate list's timing search), and the decoded frame may start up to three
 * bits after that candidate's estimate (the demodulator's): six bits in all. */
bool Receiver::cleaned(const Candidate &c, int rate) const
{
    const int bit = samples_per_bit(rate);
    for (size_t i = 0; i < n_held_; i++) {
        const Decoded &d = held_[i].frame;
        if (held_[i].subtracted && d.rate == rate && c.start >= d.start - kWaitedBits * bit &&
            c.start <= d.start + int64_t(d.symbols) * bit)
            return true;
    }
    return false;
}

/* Whether @weak can be @strong seen through a filter off its carrier. Such a decode
 * starts with the strong frame, is as much weaker as a rectangular-pulse signal
 * leaks n bit rates away (1 / (pi n)^2), and its decisions are a fixed function of
 * the strong frame's bits, which can pass the frame check far more often than
 * noise does (seen at 20 to 28 dB under frames at 40 dB Eb/N0). 6 dB of margin. */
static bool side_lobe_of(const Decoded &strong, const Decoded &weak)
{
    const int bit = samples_per_bit(weak.rate);
    if (strong.rate != weak.rate || std::llabs(strong.start - weak.start) > kSameFrameBits * bit)
        return false;
    const double n =
        std::max(1.0, std::fabs(std::remainder(double(strong.record.freq) - weak.record.freq,
                                               double(kSampleRate))) /
                          weak.rate);
    return weak.record.rssi < strong.record.rssi - 20.0 * std::log10(M_PI * n) + 6.0;
}

void Receiver::take(const Decoded &d, bool subtracted)
{
    const int bit = samples_per_bit(d.rate);
    for (size_t i = 0; i < n_held_; i++) {
        Held &h = held_[i];
        /* Nothing decoded after a frame left the ring is that frame's side lobe. */
        if (!h.subtracted && side_lobe_of(h.frame, d))
            return;
        if (h.frame.rate == d.rate && std::llabs(h.frame.start - d.start) <= kSameFrameBits * bit &&
            same_bytes(h.frame.record, d.record)) {
            /* The measurement closest to the carrier (the most power through the matched
             * filter) of a frame not yet reported wins. */
            if (!h.reported && d.record.rssi > h.frame.record.rssi)
                h.frame = d;
            h.subtracted = h.subtracted || subtracted;
            return;
        }
    }
    /* A frame decoded first through a side lobe goes when its carrier is found. */
    for (size_t i = 0; i < n_held_;) {
        if (!held_[i].reported && side_lobe_of(d, held_[i].frame))
            held_[i] = held_[--n_held_];
        else
            i++;
    }
    /* Forget the oldest reported frame when full. */
    size_t slot = n_held_;
    if (n_held_ == held_.size()) {
        slot = held_.size();
        for (size_t i = 0; i < n_held_; i++)
            if (held_[i].reported && (slot == held_.size() || held_[i].due < held_[slot].due))
                slot = i;
        if (slot == held_.size())
            return;
    } else {
        n_held_++;
    }
    Held &h = held_[slot];
    h.frame = d;
    h.due = uint64_t(d.start + int64_t(kReportBits) * bit + bit / 2);
    h.reported = false;
    h.subtracted = subtracted;
}

void Receiver::set_combining(bool on)
{
    combining_ = on;
    if (!on) {
        for (auto &chain : chains_)
            chain->combiner.clear();
        n_pending_ = 0;
    }
}

/* A message recovered by combining is reported once, when the last repetition that
 * went into it would have been: unless it has been reported already (a repetition
 * decoded alone, or a combination of others), or a repetition decoded alone is
 * still waiting for its report. */
void Receiver::combine(Rate &chain)
{
    chain.soft.noise = chain.bank.noise();
    Combined m;
    if (!chain.combiner.add(chain.soft, clean_, m) ||
        reported_lately(m.frame.rate, m.frame.record) || n_pending_ == pending_.size())
        return;
    for (size_t i = 0; i < n_held_; i++)
        if (!held_[i].reported && held_[i].frame.rate == m.frame.rate &&
            same_bytes_any_seq(held_[i].frame.record, m.frame.record))
            return;
    for (size_t i = 0; i < n_pending_; i++)
        if (pending_[i].message.frame.rate == m.frame.rate &&
            same_bytes_any_seq(pending_[i].message.frame.record, m.frame.record))
            return;
    const int bit = samples_per_bit(m.frame.rate);
    pending_[n_pending_++] =
        Pending{m, uint64_t(m.frame.start + int64_t(kReportBits) * bit + bit / 2)};
}

bool Receiver::reported_lately(int rate, const vdem_proto_frame_t &f) const
{
    for (size_t i = 0; i < n_recent_; i++) {
        const Recent &r = recent_[i];
        if (r.rate == rate && r.length == f.length && r.oob == f.f.v1.oob &&
            memcmp(r.bytes, f.frame, f.length + 2u) == 0)
            return true;
    }
    return false;
}

/* Kept as long as another repetition of the message may still come: two more
 * frames, their gaps and the demodulation's delay. */
void Receiver::remember(int rate, const vdem_proto_frame_t &f)
{
    for (size_t i = 0; i < n_recent_;)
        if (recent_[i].until < counter_)
            recent_[i] = recent_[--n_recent_];
        else
            i++;
    size_t slot = n_recent_;
    if (n_recent_ == recent_.size()) {
        slot = 0;
        for (size_t i = 1; i < n_recent_; i++)
            if (recent_[i].until < recent_[slot].until)
                slot = i;
    } else {
        n_recent_++;
    }
    Recent &r = recent_[slot];
    const int bit = samples_per_bit(rate);
    r.until = counter_ + uint64_t(3 * kMaxSymbols + 2 * kReportBits) * uint64_t(bit) +
              uint64_t(std::llround(2 * kMaxGapSeconds * kSampleRate));
    r.rate = rate;
    r.length = f.length;
    r.oob = f.f.v1.oob;
    memcpy(r.bytes, f.frame, std::min<size_t>(f.length + 2u, sizeof r.bytes));
}

void Receiver::deliver(const vdem_proto_frame_t &f, int rate, uint32_t repetitions)
{
    if (combining_)
        remember(rate, f);
    if (on_frame == nullptr)
        return;
    reporting_rate_ = rate;
    reporting_repetitions_ = repetitions;
    vdem_frame_cont_t cont{};
    cont.pframe[0] = f;
    cont.pframe[0].sampleTimeStamp = int32_t(uint32_t(counter_));
    cont.entries = 1;
    on_frame(&cont, frame_data);
    reporting_rate_ = 0;
    reporting_repetitions_ = 0;
}

void Receiver::report_due()
{
    for (;;) {
        Held *next = nullptr;
        for (size_t i = 0; i < n_held_; i++)
            if (!held_[i].reported && held_[i].due <= counter_ &&
                (next == nullptr || held_[i].due < next->due))
                next = &held_[i];
        size_t combined = n_pending_;
        for (size_t i = 0; i < n_pending_; i++)
            if (pending_[i].due <= counter_ && (next == nullptr || pending_[i].due < next->due) &&
                (combined == n_pending_ || pending_[i].due < pending_[combined].due))
                combined = i;
        if (combined < n_pending_) {
            const Combined m = pending_[combined].message;
            pending_[combined] = pending_[--n_pending_];
            if (!reported_lately(m.frame.rate, m.frame.record))
                deliver(m.frame.record, m.frame.rate, m.repetitions);
            continue;
        }
        if (next == nullptr)
            break;
        next->reported = true;
        deliver(next->frame.record, next->frame.rate, 0);
    }
    /* Frames reported long ago are no longer needed to recognise repeats, nor, once
     * the slowest rate's detections that could overlap them are past, to recognise
     * those as theirs. */
    const int slowest = (rates_ & VCHAN_RATE_100BPS) ? 100 : 600;
    for (size_t i = 0; i < n_held_;) {
        const int bit = samples_per_bit(std::min(held_[i].frame.rate, slowest));
        if (held_[i].reported &&
            held_[i].due + uint64_t(kMaxSymbols + 16) * uint64_t(bit) < counter_)
            held_[i] = held_[--n_held_];
        else
            i++;
    }
}

} // namespace vchan
