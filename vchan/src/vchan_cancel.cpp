/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Successive cancellation of decoded frames, and the re-test of the candidates they
 * hid. */
#include "vchan_cancel.h"

#include "vchan_demod.h"

#include <algorithm>
#include <cmath>

namespace vchan
{

namespace
{
constexpr double kTwoPi = 2.0 * M_PI;
/* A frame is worth taking out when its energy per sample reaches about the noise
 * (Eb/N0 of at least 10 log10(samples per bit), 25 dB at 600 bit/s, 33 dB at 100),
 * which the share test below needs anyway to tell a good fit from a rebuild off
 * the carrier. Below that its spectrum 17 bit rates away (10 kHz at 600 bit/s) is
 * under the noise, and at ordinary loads no frame costs a cancellation. The cheap
 * first test, on the demodulator's estimate, leaves 3 dB for its spread. */
constexpr double kWorthMarginDb = 3.0;
/* The rebuilt frame must account for at least this share of the energy over its
 * span (its energy per sample at least the noise's). A rebuild half a bit rate or
 * more off the carrier (a decode through a side lobe) explains at most 4/pi^2 of
 * the frame's energy, one at a wrong timing or with wrong bits less, and is left
 * alone. */
constexpr double kMinShare = 0.5;
/* The symbols must match the rebuilt ones to this signal-to-residue ratio. */
constexpr double kMinFitSnrDb = 15.0;
/* The re-test searches this many bits either side of a candidate's start (the
 * bank's estimate was seen 8 bits off when the strong frame's side lobes disturbed
 * its correlation), in half bits as the bank, with the bank's threshold and
 * coherence test. */
constexpr int kRetestBits = 8;
constexpr float kThreshold = 20.f;
constexpr float kCoherence = 0.5f;

/* The carrier e^(j w (at - ref)) of sample @at, computed afresh so that no rounding
 * piles up over a frame. */
cf phasor(double w, int64_t at, int64_t ref)
{
    return cf(std::polar(1.0, std::fmod(w * double(at - ref), kTwoPi)));
}
} // namespace

Canceller::Canceller(int rate)
    : rate_(rate), bit_(samples_per_bit(rate)), margin_(bit_ / 10), signs_(kMaxSymbols),
      z_(kMaxSymbols), best_z_(kMaxSymbols), edges_(size_t(kMaxSymbols + 1) * 2 * size_t(margin_)),
      slices_(2 * (kPreambleBits + 1 + 2 * kRetestBits)),
      lifted_(std::make_unique_for_overwrite<float[]>(
          2 * (size_t(kMaxSymbols) * size_t(bit_) + 2 * size_t(margin_))))
{
}

bool Canceller::worth(const Decoded &d) const
{
    return d.rate == rate_ && d.record.snr >= 10.0 * std::log10(double(bit_)) - kWorthMarginDb;
}

/* The symbols' signs from @bits, d.polarity being the sense of the differential
 * encoding. */
void Canceller::take_signs(const Decoded &d, const uint8_t *bits)
{
    signs_[0] = 1.f;
    for (int k = 1; k < d.symbols; k++)
        signs_[k] = signs_[k - 1] * (bits[k - 1] ? 1.f : -1.f) * d.polarity;
}

/* The symbols through the matched filter at the demodulator's carrier, for the
 * earliest timing searched (into z_), and the samples around each symbol boundary
 * that slide the timing on by one sample at a time (into edges_). */
void Canceller::match_earliest(const cf *ring, const Decoded &d)
{
    const int n = d.symbols, T = bit_, W = 2 * margin_;
    const int64_t s0 = d.start - margin_;
    const double w = -kTwoPi * d.carrier / kSampleRate;
    const cf step(std::polar(1.0, w));
    for (int k = 0; k <= n; k++) {
        const int64_t base = s0 + int64_t(k) * T;
        cf rot = phasor(w, base, d.start);
        cf *edge = &edges_[size_t(k) * size_t(W)];
        const int len = k < n ? T : W;
        cf sum{};
        for (int i = 0; i < len; i++) {
            const cf y = ring[uint64_t(base + i) & kRingMask] * rot;
            rot *= step;
            if (i < W)
                edge[i] = y;
            sum += y;
        }
        if (k < n)
            z_[k] = sum;
    }
}

/* Timing to the sample, in samples after the earliest searched: the symbols with
 * the modulation taken off line up best (each sample off mixes a sample of the
 * neighbouring symbol into every transition); the size of the mean turn per symbol
 * does not mind the carrier being a little off. Leaves the symbols there, with the
 * modulation taken off, in best_z_. */
int Canceller::refine_timing(int n)
{
    const int W = 2 * margin_;
    double best = -1.0;
    int best_d = 0;
    for (int dd = 0; dd <= W; dd++) {
        std::complex<double> acc{};
        for (int k = 1; k < n; k++)
            acc += std::complex<double>(z_[k] * std::conj(z_[k - 1]) * (signs_[k] * signs_[k - 1]));
        if (std::abs(acc) > best) {
            best = std::abs(acc);
            best_d = dd;
            std::copy(z_.begin(), z_.begin() + n, best_z_.begin());
        }
        if (dd < W)
            for (int k = 0; k < n; k++)
                z_[k] += edges_[size_t(k + 1) * size_t(W) + size_t(dd)] -
                         edges_[size_t(k) * size_t(W) + size_t(dd)];
    }
    for (int k = 0; k < n; k++)
        best_z_[k] *= signs_[k];
    return best_d;
}

/* The carrier's residual turn per symbol: the mean turn per symbol, then a straight
 * line through the symbols' phases (the whole frame is a pilot now). Sets
 * fit_.fit_snr from what the line leaves. */
double Canceller::fit_turn(int n)
{
    std::complex<double> turn{};
    for (int k = 1; k < n; k++)
        turn += std::complex<double>(best_z_[k] * std::conj(best_z_[k - 1]));
    double theta = std::arg(turn);
    const double centre = (n - 1) / 2.0;
    std::complex<double> mean{};
    for (int pass = 0; pass < 3; pass++) {
        mean = 0.0;
        for (int k = 0; k < n; k++)
            mean += std::complex<double>(best_z_[k]) * std::polar(1.0, -theta * k);
        mean /= double(n);
        if (pass == 2)
            break;
        double num = 0.0, den = 0.0;
        for (int k = 0; k < n; k++) {
            const double phi = std::arg(std::complex<double>(best_z_[k]) *
                                        std::polar(1.0, -theta * k) * std::conj(mean));
            num += (k - centre) * phi;
            den += (k - centre) * (k - centre);
        }
        theta += num / den;
    }
    double residue = 0.0;
    for (int k = 0; k < n; k++)
        residue += std::norm(std::complex<double>(best_z_[k]) * std::polar(1.0, -theta * k) - mean);
    fit_.fit_snr = float(10.0 * std::log10(std::norm(mean) * (n - 1) / std::max(residue, 1e-30)));
    return theta;
}

/* Amplitude and phase per sample at fit_.start: least squares over every sample of
 * the frame at carrier fit_.freq. Sets fit_.before, the energy over its span. */
std::complex<double> Canceller::fit_amplitude(const cf *ring, int n)
{
    const int T = bit_;
    const double w1 = -kTwoPi * fit_.freq / kSampleRate;
    const cf step1(std::polar(1.0, w1));
    std::complex<double> proj{};
    double before = 0.0;
    for (int k = 0; k < n; k++) {
        const int64_t base = fit_.start + int64_t(k) * T;
        cf rot = phasor(w1, base, fit_.start);
        cf acc{};
        float energy = 0.f;
        for (int i = 0; i < T; i++) {
            const cf x = ring[uint64_t(base + i) & kRingMask];
            acc += x * rot;
            energy += std::norm(x);
            rot *= step1;
        }
        proj += std::complex<double>(acc) * double(signs_[k]);
        before += energy;
    }
    fit_.before = before;
    return proj / double(int64_t(n) * T);
}

/* Subtracts @sign times the rebuilt frame of fit_ from the ring (-1 adds it back);
 * returns the energy left over its span. */
double Canceller::subtract(cf *ring, int n, float sign)
{
    const int T = bit_;
    const double w1 = -kTwoPi * fit_.freq / kSampleRate;
    double after = 0.0;
    const cf step_up(std::polar(1.0, -w1));
    for (int k = 0; k < n; k++) {
        const int64_t base = fit_.start + int64_t(k) * T;
        cf rot = phasor(-w1, base, fit_.start);
        const cf a = fit_.amplitude * (sign * signs_[k]);
        float energy = 0.f;
        for (int i = 0; i < T; i++) {
            cf &x = ring[uint64_t(base + i) & kRingMask];
            x -= a * rot;
            energy += std::norm(x);
            rot *= step_up;
        }
        after += energy;
    }
    return after;
}

bool Canceller::cancel(cf *ring, const Decoded &d, const uint8_t *bits)
{
    fit_ = Fit{};
    const int n = d.symbols;
    if (n < 2 || n > kMaxSymbols)
        return false;
    take_signs(d, bits);
    match_earliest(ring, d);
    fit_.start = d.start - margin_ + refine_timing(n);
    fit_.freq = d.carrier + fit_turn(n) * rate_ / kTwoPi;
    const std::complex<double> alpha = fit_amplitude(ring, n);
    fit_.amplitude = cf(alpha);
    const double before = fit_.before;
    const double removed = std::norm(alpha) * double(int64_t(n) * bit_);
    fit_.after = before - removed;
    if (fit_.fit_snr < kMinFitSnrDb || removed < kMinShare * before)
        return false;

    /* Out of the ring; checked on the samples, and put back should it not have
     * taken out what the fit promised. */
    fit_.after = subtract(ring, n, 1.f);
    if (fit_.after > before - 0.5 * removed) {
        subtract(ring, n, -1.f);
        fit_.after = before;
        return false;
    }
    fit_.subtracted = true;
    return true;
}

bool Canceller::lift(cf *ring, const Decoded &d, const uint8_t *bits)
{
    n_lifted_ = 0;
    if (d.symbols < 2 || d.symbols > kMaxSymbols)
        return false;
    lifted_at_ = d.start - margin_;
    n_lifted_ = size_t(d.symbols) * size_t(bit_) + 2 * size_t(margin_);
    for (size_t i = 0; i < n_lifted_; i++) {
        const cf x = ring[uint64_t(lifted_at_ + int64_t(i)) & kRingMask];
        lifted_[2 * i] = x.real();
        lifted_[2 * i + 1] = x.imag();
    }
    if (cancel(ring, d, bits))
        return true;
    put_back(ring);
    return false;
}

void Canceller::put_back(cf *ring)
{
    for (size_t i = 0; i < n_lifted_; i++)
        ring[uint64_t(lifted_at_ + int64_t(i)) & kRingMask] =
            cf(lifted_[2 * i], lifted_[2 * i + 1]);
    n_lifted_ = 0;
}

bool Canceller::retest(const cf *ring, float noise, Candidate &c)
{
    const int half = bit_ / 2;
    const int n_slices = int(slices_.size());
    const int64_t first = c.start - int64_t(kRetestBits) * bit_;
    const double w = -kTwoPi * c.freq / kSampleRate;
    const cf step(std::polar(1.0, w));
    for (int m = 0; m < n_slices; m++) {
        const int64_t base = first + int64_t(m) * half;
        cf rot = phasor(w, base, first);
        cf acc{};
        for (int i = 0; i < half; i++) {
            acc += ring[uint64_t(base + i) & kRingMask] * rot;
            rot *= step;
        }
        slices_[m] = acc;
    }
    /* The 20 alternating bits: symbols 0 to 20 of the frame, one bit period each. */
    float best = -1.f;
    int best_t = 0;
    for (int t = 0; t <= 4 * kRetestBits; t++) {
        cf prev = slices_[t] + slices_[t + 1];
        cf sum{};
        float size = 0.f;
        for (int i = 0; i < kPreambleBits; i++) {
            const cf b = slices_[t + 2 * i + 2] + slices_[t + 2 * i + 3];
            const cf p = b * std::conj(prev) * ((i & 1) ? -1.f : 1.f);
            sum += p;
            size += std::abs(p);
            prev = b;
        }
        const float v = std::abs(sum);
        if (v >= kCoherence * size && v > best) {
            best = v;
            best_t = t;
        }
    }
    if (best <= kThreshold * noise)
        return false;
    c.start = first + int64_t(best_t) * half;
    c.metric = best;
    return true;
}

} // namespace vchan
