/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Continuous carriers followed and subtracted. */
#include "vchan_tones.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vchan
{

namespace
{
typedef float f8 __attribute__((vector_size(32)));

/* A carrier is faded in and out over this many chunks (5 ms), so that starting or
 * stopping its subtraction spreads nothing over the band. */
constexpr int kFade = 12;
/* The loops, updated once per block of kBlockChunks chunks (2.5 ms) from the
 * relative error e left over the block, c = log(1 + e): the phase is followed by a
 * third-order loop of 2 Hz noise bandwidth (phase, frequency and frequency rate,
 * with the usual coefficients 2.4 and 1.1), which follows a frequency ramp without
 * a lag and slow wander closely (a carrier wandering by 30 Hz over 30 s is taken
 * out to the noise), while the noise it lets through stays within a few hertz of
 * the carrier; the amplitude by a first-order loop of about 60 ms. Corrections are
 * spread over the next block, so that the rebuilt carrier stays continuous. */
constexpr double kLoopHz = 2.0;
constexpr double kPhaseCoefficient = 2.4;
constexpr double kFrequencyCoefficient = 1.1;
constexpr double kAmplitudeGain = 0.04;
/* A carrier is let go when the running mean of its error passes this (lost), or
 * once it is under kDropPower over the noise in a 300 Hz bin (gone, or never one). */
constexpr float kLost = 0.5f;
constexpr double kDropPower = 10.0; /* 10 dB */

/* @out = @v (the real and imaginary parts of four samples in turn) times @z. */
inline __attribute__((always_inline)) void times(const f8 &v, float z_re, float z_im, f8 &out)
{
    const f8 im = {-z_im, z_im, -z_im, z_im, -z_im, z_im, -z_im, z_im};
    out = v * z_re + __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6) * im;
}

/* The carrier's values over a chunk, eight at a time: @first times @lanes (its turn
 * over samples 0 to 7) times @steps[k] (its turn over 8 k samples). */
struct Values {
    f8 a, b; /* samples 0 to 3 and 4 to 7 at step 0 */
    const float *steps;
    Values(const float *lanes, const float *step_table, cf first) : steps(step_table)
    {
        f8 la, lb;
        memcpy(&la, lanes, sizeof la);
        memcpy(&lb, lanes + 8, sizeof lb);
        times(la, first.real(), first.imag(), a);
        times(lb, first.real(), first.imag(), b);
    }
    void at(int k, f8 &qa, f8 &qb) const
    {
        times(a, steps[2 * k], steps[2 * k + 1], qa);
        times(b, steps[2 * k], steps[2 * k + 1], qb);
    }
};

/* Subtracts a carrier from the kChunk samples @x, times the gain @g0 + @dg n at
 * sample n. */
VCHAN_VECTOR_CLONES
void subtract_one(float *__restrict x, const float *lanes, const float *steps, cf first, float g0,
                  float dg)
{
    const Values values(lanes, steps, first);
    const bool faded = !(g0 == 1.f && dg == 0.f);
    const f8 ramp = {0.f, 0.f, 1.f, 1.f, 2.f, 2.f, 3.f, 3.f};
    for (int k = 0; k < Tones::kChunk / 8; k++) {
        f8 qa, qb, xa, xb;
        values.at(k, qa, qb);
        if (faded) {
            const f8 ga = g0 + dg * (ramp + float(8 * k));
            qa *= ga;
            qb *= ga + 4.f * dg;
        }
        memcpy(&xa, x + 16 * k, sizeof xa);
        memcpy(&xb, x + 16 * k + 8, sizeof xb);
        xa -= qa;
        xb -= qb;
        memcpy(x + 16 * k, &xa, sizeof xa);
        memcpy(x + 16 * k + 8, &xb, sizeof xb);
    }
}

/* The sum of @y conj(q) over a chunk, q the carrier's values (at gain 1). */
VCHAN_VECTOR_CLONES
cf left_of(const float *y, const float *lanes, const float *steps, cf first)
{
    const Values values(lanes, steps, first);
    f8 same_a = {}, same_b = {}, crossed_a = {}, crossed_b = {};
    for (int k = 0; k < Tones::kChunk / 8; k++) {
        f8 qa, qb, ya, yb;
        values.at(k, qa, qb);
        memcpy(&ya, y + 16 * k, sizeof ya);
        memcpy(&yb, y + 16 * k + 8, sizeof yb);
        same_a += ya * qa;
        same_b += yb * qb;
        crossed_a += ya * __builtin_shufflevector(qa, qa, 1, 0, 3, 2, 5, 4, 7, 6);
        crossed_b += yb * __builtin_shufflevector(qb, qb, 1, 0, 3, 2, 5, 4, 7, 6);
    }
    const f8 same = same_a + same_b, crossed = crossed_a + crossed_b;
    /* Re: yr qr + yi qi; Im: yi qr - yr qi. */
    float re = 0.f, im = 0.f;
    for (int l = 0; l < 8; l += 2) {
        re += same[l] + same[l + 1];
        im += crossed[l + 1] - crossed[l];
    }
    return cf(re, im);
}
} // namespace

/* Moves the frequency by @dw and sets the turn per sample for the next block: the
 * frequency's, with @correction (a complex log: amplitude and phase) spread over
 * the block so that the rebuilt carrier stays continuous. Both are small once
 * the loops have settled, and taken to the third order then, where it is exact to
 * the last digit of a float. */
void Tones::steer(Tone &t, double dw, std::complex<double> correction)
{
    auto turn = [](std::complex<double> c) {
        return std::norm(c) < 1e-6 ? 1.0 + c * (1.0 + c * (0.5 + c / 6.0)) : std::exp(c);
    };
    t.w = std::remainder(t.w + dw, 2.0 * M_PI);
    t.unit *= turn(std::complex<double>(0.0, dw));
    t.unit *= 1.5 - 0.5 * std::norm(t.unit);
    const std::complex<double> step = t.unit * turn(correction / double(kBlockChunks * kChunk));
    std::complex<double> v = 1.0;
    for (size_t l = 0; l < 8; l++) {
        t.lanes[2 * l] = float(v.real());
        t.lanes[2 * l + 1] = float(v.imag());
        v *= step;
    }
    const std::complex<double> eight = v;
    v = 1.0;
    for (size_t k = 0; k < kSteps; k++) {
        t.steps[2 * k] = float(v.real());
        t.steps[2 * k + 1] = float(v.imag());
        v *= eight;
    }
    t.chunk_turn = v;
}

bool Tones::add(double w, std::complex<double> q)
{
    if (n_ == kMax)
        return false;
    Tone &t = tones_[size_t(n_++)];
    t = Tone{};
    t.q = q;
    t.w = std::remainder(w, 2.0 * M_PI);
    t.unit = std::polar(1.0, t.w);
    steer(t, 0.0, 0.0);
    return true;
}

bool Tones::near(double w, double within) const
{
    for (int i = 0; i < n_; i++)
        if (std::fabs(std::remainder(tones_[size_t(i)].w - w, 2.0 * M_PI)) <= within)
            return true;
    return false;
}

bool Tones::subtract(float *x)
{
    /* Those faded out go. */
    for (int i = 0; i < n_;) {
        if (tones_[size_t(i)].dying && tones_[size_t(i)].fade == 0)
            tones_[size_t(i)] = tones_[size_t(--n_)];
        else
            i++;
    }
    const size_t slot = chunks_ % 2;
    for (int i = 0; i < n_; i++) {
        Tone &t = tones_[size_t(i)];
        const int next = t.dying ? t.fade - 1 : std::min(t.fade + 1, kFade);
        const float g0 = float(t.fade) / kFade, g1 = float(next) / kFade;
        const float dg = (g1 - g0) / kChunk;
        t.fade = next;
        subtract_one(x, t.lanes.data(), t.steps.data(), cf(t.q), g0, dg);
        for (int s = 0; s < kChunk / kSub; s++)
            t.gain[slot][size_t(s)] = g0 + dg * (float(s * kSub) + (kSub - 1) / 2.f);
        t.first[slot] = t.q;
        t.pending[slot] = true;
        t.q *= t.chunk_turn;
    }
    chunks_++;
    return n_ > 0;
}

void Tones::release(const float *y, uint32_t blank, double noise_bin)
{
    if (chunks_ < 2)
        return;
    const uint64_t chunk = chunks_ - 2;
    const size_t slot = chunk % 2;
    const bool block_end = chunk % kBlockChunks == kBlockChunks - 1;
    for (int i = 0; i < n_; i++) {
        Tone &t = tones_[size_t(i)];
        if (t.pending[slot]) {
            /* y = x - g q, so x conj(q) / |q|^2 - 1 is y conj(q) / |q|^2 - (1 - g); blanked
             * samples are zero and count for nothing. The carrier's values are made
             * again from its turn of now, which a correction in between changes by
             * far less than what is measured. */
            const cf first(t.first[slot]);
            t.error += std::complex<double>(left_of(y, t.lanes.data(), t.steps.data(), first)) /
                       double(std::norm(first));
            for (int s = 0; s < kChunk / kSub; s++) {
                if (blank & (1u << s))
                    continue;
                t.error -= double(kSub) * (1.0 - double(t.gain[slot][size_t(s)]));
                t.samples += kSub;
            }
            t.pending[slot] = false;
        }
        if (block_end)
            update(t, noise_bin);
    }
}

/* One step of a carrier's loops from the error left over its last block. */
void Tones::update(Tone &t, double noise_bin)
{
    const int samples = t.samples;
    const std::complex<double> e = samples > 0 ? t.error / double(samples) : 0.0;
    t.error = 0.0;
    t.samples = 0;
    /* Mostly blanked: nothing to learn. */
    if (samples < kBlockChunks * kChunk / 2 || t.dying)
        return;
    /* log(1 + e): exactly when far off, to the third order (1e-6) near. */
    const double size = std::norm(e);
    const std::complex<double> c =
        size < 1e-2 ? e * (1.0 - e * (0.5 - e / 3.0)) : std::log(1.0 + e);
    const double phase = c.imag();
    /* Per sample: the loop's natural frequency and the block. */
    constexpr double w0 = 2.0 * M_PI * kLoopHz / 0.7845 / kSampleRate;
    constexpr double n = kBlockChunks * kChunk;
    t.rate += w0 * w0 * w0 * n * phase;
    steer(t, (kFrequencyCoefficient * w0 * w0 * phase + t.rate) * n,
          std::complex<double>(kAmplitudeGain * c.real(), kPhaseCoefficient * w0 * n * phase));
    t.lock += 0.1f * (float(std::sqrt(size)) - t.lock);
    const bool faded_in = t.fade == kFade;
    if ((faded_in && t.lock > kLost) || std::norm(t.q) < noise_bin * kDropPower)
        t.dying = true;
}

} // namespace vchan
