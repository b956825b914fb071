/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Repetition combining: the store of demodulated frames, their soft values,
 * pairing and joint decoding. */
#include "vchan_combine.h"

#include "vdem_decod_v1.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vchan
{

namespace
{
/* The squares of a frame's symbols, zero-padded to this many points, tell its
 * residual carrier to a fraction of a bin (their spectrum peaks at twice the
 * carrier, whatever the bits). */
constexpr int kSquaresFft = 1024;
/* The header's carrier is within this many radians per bit of the truth, in all
 * but about one frame in 10^4 at 1 dB Eb/N0 (it is fitted to 40 bits). */
constexpr double kMaxResidualTurn = 0.5;
/* Once the squares have placed the carrier, the pilot's spectrum peaks within a
 * few bins of it. */
constexpr int kPilotReach = 4;
/* Half the window, in symbols, over which the squares give a repetition's phase:
 * long enough that the squaring's noise is small at 0 dB Eb/N0 (0.1 rad), short
 * enough to follow what is left of the carrier. */
constexpr int kPhaseWindow = 24;
/* Two frames of one message start this many bits of their estimates apart at most
 * beyond what the gaps allow; two detections of one frame start within it. */
constexpr int kSlackBits = 8;
constexpr int kSameFrameBits = 4;
/* A pair is taken for two repetitions of one message when its parity checks hold
 * this many standard deviations above chance (noise passes about once in 740). */
constexpr double kMinPairScore = 3.0;
/* Each repetition must agree with the joint decision by this many standard
 * deviations (noise in a decision others made gives about one). */
constexpr float kMinAgreement = 6.f;

/* The taps of each repetition's code polynomial (1, 1 + D + D^2, 1 + D^2). */
struct Taps {
    int n;
    int d[3];
};
constexpr Taps kTaps[4] = {{0, {}}, {1, {0}}, {3, {0, 1, 2}}, {2, {0, 2}}};

float at_or_zero_bit(const float *coded, int n)
{
    /* Before the message the encoder holds zeros: a sure code bit 0. */
    return n < 0 ? -1.f : coded[n];
}

double wrap_hz(double f)
{
    return std::remainder(f, double(kSampleRate));
}

/* Where the magnitude of the spectrum @out (kSquaresFft bins) peaks within @reach
 * bins of 0, between bins as the parabola through the three around the peak puts
 * it, in bins. */
double spectrum_peak(const cf *out, int reach)
{
    int best = 0;
    float top = -1.f;
    for (int b = -reach; b <= reach; b++) {
        const float p = std::norm(out[(b + kSquaresFft) % kSquaresFft]);
        if (p > top) {
            top = p;
            best = b;
        }
    }
    const float l = std::abs(out[(best - 1 + kSquaresFft) % kSquaresFft]);
    const float c = std::abs(out[(best + kSquaresFft) % kSquaresFft]);
    const float r = std::abs(out[(best + 1 + kSquaresFft) % kSquaresFft]);
    const float curve = l - 2.f * c + r;
    return best + (curve < 0.f ? 0.5 * double(l - r) / double(curve) : 0.0);
}
} // namespace

Combiner::Combiner(int rate, float int_gain)
    : rate_(rate), bit_(samples_per_bit(rate)), int_gain_(int_gain), fft_(kSquaresFft),
      entries_(kStoredFrames)
{
}

/* The phase reference of each of the @n symbols @y: the square root of the mean
 * of the squares around it (which the bits do not change), its sign kept from one
 * symbol to the next. A slip of the reference by half a turn costs one code bit, as
 * a wrong differential decision would. Into @value, each symbol's real part
 * against it over @sigma. */
static void reference_values(const cf *y, int n, float sigma, float *value)
{
    cf window{};
    for (int k = 0; k < std::min(n, kPhaseWindow); k++)
        window += y[k] * y[k];
    cf last{1.f, 0.f};
    for (int k = 0; k < n; k++) {
        if (k + kPhaseWindow < n)
            window += y[k + kPhaseWindow] * y[k + kPhaseWindow];
        if (k - kPhaseWindow - 1 >= 0)
            window -= y[k - kPhaseWindow - 1] * y[k - kPhaseWindow - 1];
        cf ref = std::sqrt(window);
        if ((ref * std::conj(last)).real() < 0.f)
            ref = -ref;
        const float size = std::abs(ref);
        if (size > 0.f)
            last = ref / size;
        value[k] = (y[k] * std::conj(last)).real() / sigma;
    }
}

void Combiner::prepare(const SoftFrame &f, Entry &e)
{
    e.noise = std::max(f.noise, 1e-30f);
    e.used = false;
    e.decoded = f.decoded;
    if (f.decoded) {
        /* Its bits are known: they only serve to recognise its message. */
        const frame_sync_t &type = fstab[f.row];
        e.row = f.row;
        e.seq = type.sequence_number;
        e.covered = type.frame_length - 7;
        e.oob = type.oob != 0;
        e.polarity = f.polarity;
        e.symbols = f.symbols;
        e.start = f.start;
        e.end = e.start + int64_t(e.symbols) * bit_;
        e.carrier = f.carrier;
        e.amplitude = 0.f;
        e.weight = 0.f;
        for (int i = 0; i < 8 * (e.covered + 2); i++)
            e.coded[i] = f.bits[i] ? 1.f : -1.f;
        return;
    }
    const int first = f.first, last = f.last;
    const int found = std::min(last, kSoftLead + f.symbols) - kSoftLead;
    std::copy(f.y, f.y + kSoftSymbols, around_);
    const double turn = refine_carrier(around_ + kSoftLead, found);
    const std::complex<double> step = std::polar(1.0, -turn);
    std::complex<double> rot = std::polar(1.0, turn * (kSoftLead - first));
    for (int j = first; j < last; j++) {
        around_[j] *= cf(rot);
        rot *= step;
    }
    e.carrier = f.carrier + turn * rate_ / (2.0 * M_PI);
    int shift = 0, row = f.row;
    float polarity = f.polarity;
    realign(first, last, std::sqrt(e.noise / 2.f), shift, row, polarity);
    const frame_sync_t &type = fstab[row];
    e.row = row;
    e.seq = type.sequence_number;
    e.covered = type.frame_length - 7;
    e.oob = type.oob != 0;
    e.polarity = polarity;
    e.symbols = 1 + kHeaderBits + 8 * (type.frame_length - 5);
    e.start = f.start + int64_t(shift) * bit_;
    e.end = e.start + int64_t(e.symbols) * bit_;
    std::copy(around_ + kSoftLead + shift, around_ + kSoftLead + shift + e.symbols, e.y);
    set_soft(e);
}

/* The header's alignment, frame type and sense that correlate best with the
 * symbols @first to @last of around_, coherently against their phase reference:
 * at low Eb/N0 the differential search that found the frame takes an alignment a
 * few bits off now and then, with the type that fits it best. Only frames wholly
 * within the symbols kept are considered. */
void Combiner::realign(int first, int last, float sigma, int &shift, int &row, float &polarity)
{
    /* Every type's header signs in both senses: the known bits' part is common. */
    struct Signs {
        float s[2][VDEM_DECOD_V1_NFSTAB][1 + kHeaderBits];
    };
    static Signs table;
    static const bool filled = [] {
        for (int p = 0; p < 2; p++)
            for (int r = 0; r < VDEM_DECOD_V1_NFSTAB; r++)
                header_signs(r, p == 0 ? 1.f : -1.f, table.s[p][r]);
        return true;
    }();
    (void)filled;
    float *value = scratch_;
    reference_values(around_ + first, last - first, sigma, value);
    value -= first;
    double top = -1.0;
    for (int s = -kSoftLead; s <= kSoftTail; s++) {
        const int at = kSoftLead + s;
        if (at < first)
            continue;
        const float *v = value + at;
        for (int p = 0; p < 2; p++) {
            const float *common = table.s[p][0];
            float known = 0.f;
            for (int k = 0; k <= kKnownBits; k++)
                known += common[k] * v[k];
            for (int r = 0; r < VDEM_DECOD_V1_NFSTAB; r++) {
                if (at + 1 + kHeaderBits + 8 * (fstab[r].frame_length - 5) > last)
                    continue;
                const float *signs = table.s[p][r];
                float sum = known;
                for (int k = kKnownBits + 1; k <= kHeaderBits; k++)
                    sum += signs[k] * v[k];
                if (std::fabs(sum) > top) {
                    top = std::fabs(sum);
                    shift = s;
                    row = r;
                    polarity = p == 0 ? 1.f : -1.f;
                }
            }
        }
    }
}

/* The squares' spectrum peaks at twice the residual carrier, between bins as the
 * parabola through the three around the peak puts it: the residual turn per
 * symbol of the @n symbols @y. */
double Combiner::refine_carrier(const cf *y, int n)
{
    cf *in = fft_.in();
    for (int k = 0; k < n; k++)
        in[k] = y[k] * y[k];
    std::fill(in + n, in + kSquaresFft, cf{});
    fft_.run();
    return M_PI * spectrum_peak(fft_.out(), int(kMaxResidualTurn * kSquaresFft / M_PI)) /
           kSquaresFft;
}

/* The soft values of the frame's symbols, their weight, and the mean of each code
 * bit for the pair scores. */
void Combiner::set_soft(Entry &e)
{
    const int n = e.symbols;
    cf sum{};
    for (int k = 0; k < n; k++)
        sum += e.y[k] * e.y[k];
    e.amplitude = std::sqrt(std::abs(sum) / float(n));
    const float sigma = std::sqrt(e.noise / 2.f);
    e.weight = 2.f * e.amplitude / sigma;
    reference_values(e.y, n, sigma, e.value);
    const int nb = 8 * (e.covered + 2);
    for (int i = 0; i < nb; i++) {
        const int k = 1 + kHeaderBits + i;
        e.coded[i] = e.polarity * std::tanh(0.5f * e.weight * e.value[k]) *
                     std::tanh(0.5f * e.weight * e.value[k - 1]);
    }
}

/* Whether @a and @b can be two repetitions of one message: the same frame length
 * and band, other repetitions, in order, the later one starting after the earlier
 * one and those between them, within the gaps allowed. */
bool Combiner::compatible(const Entry &a, const Entry &b) const
{
    if (a.covered != b.covered || a.oob != b.oob || a.seq == b.seq)
        return false;
    const Entry &first = a.seq < b.seq ? a : b, &second = a.seq < b.seq ? b : a;
    const int between = second.seq - first.seq - 1;
    const int64_t slack = int64_t(kSlackBits) * bit_;
    const int64_t earliest = first.end + int64_t(between) * (first.end - first.start) - slack;
    const int64_t gaps = int64_t(std::llround((between + 1) * kMaxGapSeconds * kSampleRate));
    return second.start >= earliest && second.start <= earliest + gaps + 2 * slack;
}

/* How well the parity checks that tie the two repetitions' code bits hold (c_b
 * times a's polynomial equals c_a times b's), in standard deviations of what
 * unrelated frames give: each check's expected sign from the soft values, summed
 * and normalised by the sum of their squares. */
double Combiner::pair_score(const Entry &a, const Entry &b) const
{
    const Taps &ta = kTaps[a.seq], &tb = kTaps[b.seq];
    const float sign = (ta.n + tb.n) % 2 ? -1.f : 1.f;
    const int nb = 8 * (a.covered + 2);
    double sum = 0.0, squares = 0.0;
    for (int n = 0; n < nb; n++) {
        float t = sign;
        for (int j = 0; j < ta.n; j++)
            t *= at_or_zero_bit(b.coded, n - ta.d[j]);
        for (int j = 0; j < tb.n; j++)
            t *= at_or_zero_bit(a.coded, n - tb.d[j]);
        sum += t;
        squares += double(t) * t;
    }
    return squares > 0.0 ? sum / std::sqrt(squares) : 0.0;
}

bool Combiner::try_decode(Entry *const *members, int n, Combined &out)
{
    SoftStream streams[3] = {};
    const int coded_bytes = members[0]->covered + 2;
    for (int i = 0; i < n; i++)
        streams[i] = SoftStream{members[i]->value, members[i]->weight, members[i]->seq,
                                members[i]->row, members[i]->polarity};
    uint8_t bits[8 * kMaxCodedBytes];
    joint_.decode(streams, n, coded_bytes, bits);
    uint8_t message[kMaxCodedBytes];
    const bool crc = JointDecoder::check(bits, coded_bytes, message);
    if (!crc)
        return false;
    for (int i = 0; i < n; i++)
        if (JointDecoder::agreement(streams[i], coded_bytes, bits) < kMinAgreement)
            return false;

    const Entry *first = members[0], *last = members[0], *strongest = members[0];
    uint32_t repetitions = 0;
    for (int i = 0; i < n; i++) {
        const Entry *m = members[i];
        repetitions |= 1u << (m->seq - 1);
        first = m->seq < first->seq ? m : first;
        last = m->start > last->start ? m : last;
        if (m->amplitude * m->amplitude / m->noise >
            strongest->amplitude * strongest->amplitude / strongest->noise)
            strongest = m;
    }
    Decoded &d = out.frame;
    vdem_proto_frame_t &f = d.record;
    memset(&f, 0, sizeof f);
    measure(*strongest, bits, d);
    /* tid and ack as libvdem takes them: from the first repetition's bytes as sent. */
    uint8_t coded_bits[8 * kMaxCodedBytes], sent[kMaxCodedBytes] = {};
    encode_repetition(first->seq, bits, 8 * coded_bytes, coded_bits);
    for (int i = 0; i < 8 * coded_bytes; i++)
        sent[i / 8] = uint8_t(sent[i / 8] << 1 | coded_bits[i]);
    f.protocol = VDEM_PROTO_FRAME_V1;
    f.tid = uint32_t(sent[2]) | uint32_t(sent[3]) << 8 | uint32_t(sent[4]) << 16 |
            uint32_t(sent[5]) << 24;
    f.length = uint8_t(first->covered);
    f.f.v1.seq = uint8_t(first->seq);
    f.f.v1.oob = first->oob ? 1 : 0;
    f.f.v1.ack = (sent[0] >> 4) & 1;
    memcpy(f.frame, message, size_t(coded_bytes));
    d.start = last->start;
    d.symbols = last->symbols;
    d.rate = rate_;
    out.repetitions = repetitions;
    memset(out.bytes_key, 0, sizeof out.bytes_key);
    memcpy(out.bytes_key, message, size_t(coded_bytes));
    for (int i = 0; i < n; i++)
        members[i]->used = true;
    return true;
}

/* With every bit known the frame is a pilot, as the demodulator measures it: the
 * pilot's turn per symbol gives the last of the carrier, its coherent mean the
 * amplitude, what is left the noise. At the Eb/N0 where combining matters the mean
 * turn of successive symbols is too noisy for that (a tenth of a radian per symbol
 * at 3 dB), so the turn is where the pilot's spectrum peaks, near the carrier the
 * squares gave. */
void Combiner::measure(const Entry &e, const uint8_t *bits, Decoded &out)
{
    float signs[kMaxSymbols];
    JointDecoder::symbols(e.seq, e.row, e.polarity, e.covered + 2, bits, signs);
    const int n = e.symbols;
    cf *in = fft_.in();
    for (int k = 0; k < n; k++)
        in[k] = e.y[k] * signs[k];
    std::fill(in + n, in + kSquaresFft, cf{});
    fft_.run();
    const double w = spectrum_peak(fft_.out(), kPilotReach) * 2.0 * M_PI / kSquaresFft;
    const std::complex<double> step = std::polar(1.0, w);
    std::complex<double> rot = 1.0;
    cf mean{};
    for (int k = 0; k < n; k++) {
        mean += e.y[k] * signs[k] * cf(std::conj(rot));
        rot *= step;
    }
    mean /= float(n);
    double residue = 0.0;
    rot = 1.0;
    for (int k = 0; k < n; k++) {
        residue += std::norm(e.y[k] * signs[k] - mean * cf(rot));
        rot *= step;
    }
    residue /= double(n - 1);
    const double amplitude = std::abs(mean) / bit_;
    out.record.rssi =
        float(10.0 * std::log10(std::max(amplitude * amplitude, 1e-30)) - double(int_gain_));
    const double snr = 10.0 * std::log10(std::norm(mean) / std::max(residue, 1e-30));
    out.record.snr = float(std::min(snr, 50.0));
    out.carrier = e.carrier + w * rate_ / (2.0 * M_PI);
    out.polarity = e.polarity;
    out.record.freq = int32_t(std::lround(wrap_hz(out.carrier)));
}

/* A free slot: the frames that can no longer meet a repetition of their message
 * go first (the longest a message can still run after a frame: two more frames
 * and their gaps, and the demodulation's delay), then the oldest. */
size_t Combiner::slot_for(const Entry &e, uint64_t now)
{
    for (size_t i = 0; i < count_;) {
        const Entry &o = entries_[i];
        const int64_t reach = o.end + 2 * (o.end - o.start) +
                              int64_t(std::llround(2 * kMaxGapSeconds * kSampleRate)) +
                              int64_t(kMaxSymbols + 2 * kSlackBits) * bit_;
        if (reach < int64_t(now) || reach < e.start)
            entries_[i] = entries_[--count_];
        else
            i++;
    }
    if (count_ < entries_.size())
        return count_++;
    size_t oldest = 0;
    for (size_t i = 1; i < count_; i++)
        if (entries_[i].start < entries_[oldest].start)
            oldest = i;
    return oldest;
}

bool Combiner::holds(int64_t start, double freq) const
{
    for (size_t i = 0; i < count_; i++) {
        const Entry &o = entries_[i];
        if (!o.decoded && std::llabs(o.start - start) <= int64_t(kSoftLead) * bit_ &&
            std::fabs(wrap_hz(o.carrier - freq)) <= 1.5 * rate_)
            return true;
    }
    return false;
}

bool Combiner::add(const SoftFrame &f, uint64_t now, Combined &out)
{
    Entry &e = incoming_;
    prepare(f, e);
    /* The same frame demodulated again (detected in another bin): the better view
     * stays. */
    for (size_t i = 0; i < count_; i++) {
        Entry &o = entries_[i];
        if (o.row != e.row || std::llabs(o.start - e.start) > int64_t(kSameFrameBits) * bit_ ||
            std::fabs(wrap_hz(o.carrier - e.carrier)) > 1.5 * rate_)
            continue;
        if (o.decoded || o.used ||
            o.amplitude * o.amplitude / o.noise >= e.amplitude * e.amplitude / e.noise) {
            o.decoded = o.decoded || e.decoded;
            return false;
        }
        entries_[i] = entries_[--count_];
        break;
    }
    Entry *partners[3] = {};
    double scores[3] = {};
    bool received = e.decoded;
    for (size_t i = 0; i < count_ && !received; i++) {
        Entry &o = entries_[i];
        if (!compatible(e, o))
            continue;
        const double z = pair_score(e, o);
        if (z < kMinPairScore || (partners[o.seq - 1] != nullptr && z <= scores[o.seq - 1]))
            continue;
        partners[o.seq - 1] = &o;
        scores[o.seq - 1] = z;
    }
    Entry *members[3] = {&e};
    int n = 1, best = -1;
    for (int s = 0; s < 3; s++) {
        if (partners[s] == nullptr)
            continue;
        /* A repetition of a message received already: so is this one. */
        received = received || partners[s]->decoded || partners[s]->used;
        members[n++] = partners[s];
        if (best < 0 || scores[s] > scores[best])
            best = s;
    }
    bool found = false;
    if (!received && n > 1) {
        found = try_decode(members, n, out);
        if (!found && n == 3) {
            Entry *pair[2] = {&e, partners[best]};
            found = try_decode(pair, 2, out);
        }
    }
    e.used = e.used || received;
    entries_[slot_for(e, now)] = e;
    return found;
}

} // namespace vchan
