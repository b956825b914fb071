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
typedef float f4 __attribute__((vector_size(16)));

/* A carrier is faded in and out over this many chunks (5 ms), so that starting or
 * stopping its subtraction spreads nothing over the band. */
constexpr int kFade = 12;
/* The loops, updated once per block of kBlockChunks chunks (5 ms) from the
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
constexpr double kAmplitudeGain = 0.0784;
/* The corrections of phase and amplitude follow the error through a first-order
 * smoothing of about 10 ms: each block's error is measured on a third of its
 * samples, and applied as it comes it would spread the noise it carries some
 * 100 Hz either side of the carrier. */
constexpr double kSmoothing = 0.4375;
/* The running mean of a carrier's error, over about 25 ms. */
constexpr float kLockGain = 0.19f;
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

/* Carriers go through the kernels four at a time (the last group padded with
 * silent ones): the samples are read and written once per group. */
constexpr int kGroup = 4;

/* A value @v (the real and imaginary parts of four samples in turn) made ready to
 * be turned: its parts swapped, the imaginary part negated in the real lanes. */
inline __attribute__((always_inline)) void swapped(const f8 &v, f8 &out)
{
    const f8 sign = {-1.f, 1.f, -1.f, 1.f, -1.f, 1.f, -1.f, 1.f};
    out = __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6) * sign;
}

/* The turn over 8 @k samples from @steps, its real part in every lane (@re) and its
 * imaginary part (@im). */
inline __attribute__((always_inline)) void step_at(const float *steps, int k, f8 &re, f8 &im)
{
    memcpy(&re, steps + 16 * k, sizeof re);
    memcpy(&im, steps + 16 * k + 8, sizeof im);
}

/* @v (with @vs, swapped(v)) turned on by @steps' turn over 8 @k samples. */
inline __attribute__((always_inline)) void turned(const f8 &v, const f8 &vs, const float *steps,
                                                  int k, f8 &out)
{
    f8 re, im;
    step_at(steps, k, re, im);
    out = v * re + vs * im;
}

/* Subtracts kGroup carriers from the kChunk samples @x: carrier g's values at
 * samples 0 to 7 are @lanes[g] (its turn over them, interleaved) times @q[g],
 * turned on by @steps[g][k] for the eight samples from 8 k. Each product is taken
 * from the samples as it comes (one fused step where the machine has them). */
VCHAN_FUSED_CLONES
void subtract_group(float *__restrict x, const float *const *lanes, const cf *q,
                    const float *const *steps)
{
    f8 a[kGroup], b[kGroup], as[kGroup], bs[kGroup];
    for (int g = 0; g < kGroup; g++) {
        memcpy(&a[g], lanes[g], sizeof a[g]);
        memcpy(&b[g], lanes[g] + 8, sizeof b[g]);
        times(a[g], q[g].real(), q[g].imag(), a[g]);
        times(b[g], q[g].real(), q[g].imag(), b[g]);
        swapped(a[g], as[g]);
        swapped(b[g], bs[g]);
    }
    for (int k = 0; k < Tones::kChunk / 8; k++) {
        f8 xa, xb;
        memcpy(&xa, x + 16 * k, sizeof xa);
        memcpy(&xb, x + 16 * k + 8, sizeof xb);
        for (int g = 0; g < kGroup; g++) {
            f8 vre, vim;
            step_at(steps[g], k, vre, vim);
            xa = xa - a[g] * vre;
            xa = xa - as[g] * vim;
            xb = xb - b[g] * vre;
            xb = xb - bs[g] * vim;
        }
        memcpy(x + 16 * k, &xa, sizeof xa);
        memcpy(x + 16 * k + 8, &xb, sizeof xb);
    }
}

/* Subtracts one carrier as subtract_group() does, times the gain @g0 + @dg n at
 * sample n (while it fades in or out). */
VCHAN_VECTOR_CLONES
void subtract_faded(float *__restrict x, const float *lanes, cf q, const float *steps, float g0,
                    float dg)
{
    f8 a, b;
    memcpy(&a, lanes, sizeof a);
    memcpy(&b, lanes + 8, sizeof b);
    times(a, q.real(), q.imag(), a);
    times(b, q.real(), q.imag(), b);
    f8 as, bs, qa, qb;
    swapped(a, as);
    swapped(b, bs);
    const f8 ramp = {0.f, 0.f, 1.f, 1.f, 2.f, 2.f, 3.f, 3.f};
    for (int k = 0; k < Tones::kChunk / 8; k++) {
        f8 xa, xb;
        const f8 ga = g0 + dg * (ramp + float(8 * k));
        memcpy(&xa, x + 16 * k, sizeof xa);
        memcpy(&xb, x + 16 * k + 8, sizeof xb);
        turned(a, as, steps, k, qa);
        turned(b, bs, steps, k, qb);
        xa -= ga * qa;
        xb -= (ga + 4.f * dg) * qb;
        memcpy(x + 16 * k, &xa, sizeof xa);
        memcpy(x + 16 * k + 8, &xb, sizeof xb);
    }
}

/* For kGroup carriers, the sum over the kChunk samples @y of y conj(t), t carrier
 * g's turn from the first sample (@lanes[g] for samples 0 to 7, on by @steps[g]),
 * into @out[g]. As t at sample 8 k + l is lanes[l] steps[k], the sum is, over l,
 * conj(lanes[l]) times the sum over k of y(8 k + l) conj(steps[k]): the samples
 * are turned back by the steps alone, and by the lanes once. */
VCHAN_FUSED_CLONES
void measure_group(const float *y, const float *const *lanes, const float *const *steps, cf *out)
{
    f8 acc_a[kGroup] = {}, acc_b[kGroup] = {};
    /* y conj(s) = y re(s) + (yi, -yr) im(s). */
    const f8 sign = {1.f, -1.f, 1.f, -1.f, 1.f, -1.f, 1.f, -1.f};
    for (int k = 0; k < Tones::kChunk / 8; k++) {
        f8 ya, yb;
        memcpy(&ya, y + 16 * k, sizeof ya);
        memcpy(&yb, y + 16 * k + 8, sizeof yb);
        const f8 sa = __builtin_shufflevector(ya, ya, 1, 0, 3, 2, 5, 4, 7, 6) * sign;
        const f8 sb = __builtin_shufflevector(yb, yb, 1, 0, 3, 2, 5, 4, 7, 6) * sign;
        for (int g = 0; g < kGroup; g++) {
            f8 vre, vim;
            step_at(steps[g], k, vre, vim);
            acc_a[g] = acc_a[g] + ya * vre;
            acc_a[g] = acc_a[g] + sa * vim;
            acc_b[g] = acc_b[g] + yb * vre;
            acc_b[g] = acc_b[g] + sb * vim;
        }
    }
    for (int g = 0; g < kGroup; g++) {
        f8 la, lb;
        memcpy(&la, lanes[g], sizeof la);
        memcpy(&lb, lanes[g] + 8, sizeof lb);
        /* conj(l) v: Re lr vr + li vi, Im lr vi - li vr, from swap(l) v: (li vr, lr vi). */
        const f8 same = la * acc_a[g] + lb * acc_b[g];
        const f8 crossed = __builtin_shufflevector(la, la, 1, 0, 3, 2, 5, 4, 7, 6) * acc_a[g] +
                           __builtin_shufflevector(lb, lb, 1, 0, 3, 2, 5, 4, 7, 6) * acc_b[g];
        float re = 0.f, im = 0.f;
        for (int l = 0; l < 8; l += 2) {
            re += same[l] + same[l + 1];
            im += crossed[l + 1] - crossed[l];
        }
        out[g] = cf(re, im);
    }
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
    for (size_t k = 0; k < kChunk / 8; k++) {
        /* In halves, as this (scalar) code's vectors are. */
        const float re = float(v.real()), im = float(v.imag());
        const f4 res = {re, re, re, re}, ims = {im, im, im, im};
        float *at = t.steps.data() + 16 * k;
        memcpy(at, &res, sizeof res);
        memcpy(at + 4, &res, sizeof res);
        memcpy(at + 8, &ims, sizeof ims);
        memcpy(at + 12, &ims, sizeof ims);
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
    for (int i = 0; i < n_ && dying_ > 0;) {
        if (tones_[size_t(i)].dying && tones_[size_t(i)].fade == 0) {
            tones_[size_t(i)] = tones_[size_t(--n_)];
            dying_--;
        } else {
            i++;
        }
    }
    const bool measured = chunks_ % kMeasureEvery == 0;
    /* The steady carriers by groups, with their values at the chunk's first eight
     * samples; those fading one by one. */
    int n_group = 0;
    const float *lanes[kGroup], *steps[kGroup];
    cf qs[kGroup];
    for (int i = 0; i < n_; i++) {
        Tone &t = tones_[size_t(i)];
        const cf q(t.q);
        if (measured) {
            t.measured = true;
            t.first = t.q;
        }
        t.q *= t.chunk_turn;
        if (t.fade == kFade && !t.dying) {
            t.faded = t.faded && !measured;
            lanes[n_group] = t.lanes.data();
            qs[n_group] = q;
            steps[n_group++] = t.steps.data();
            if (n_group == kGroup) {
                subtract_group(x, lanes, qs, steps);
                n_group = 0;
            }
            continue;
        }
        const int next = t.dying ? t.fade - 1 : std::min(t.fade + 1, kFade);
        const float g0 = float(t.fade) / kFade, g1 = float(next) / kFade;
        const float dg = (g1 - g0) / kChunk;
        t.fade = next;
        if (measured) {
            t.faded = true;
            for (int s = 0; s < kChunk / kSub; s++)
                t.gain[size_t(s)] = g0 + dg * (float(s * kSub) + (kSub - 1) / 2.f);
        }
        subtract_faded(x, t.lanes.data(), q, t.steps.data(), g0, dg);
    }
    if (n_group > 0) {
        for (int g = n_group; g < kGroup; g++) {
            lanes[g] = silent_.data();
            qs[g] = 0.f;
            steps[g] = silent_.data();
        }
        subtract_group(x, lanes, qs, steps);
    }
    chunks_++;
    return n_ > 0;
}

void Tones::release(const float *y, uint32_t blank, double noise_bin)
{
    if (chunks_ < 2)
        return;
    const uint64_t chunk = chunks_ - 2;
    const bool measured = chunk % kMeasureEvery == 0;
    const bool block_end = chunk % kBlockChunks == kBlockChunks - 1;
    if (measured) {
        /* What is left of each carrier: y = x - g q, so x conj(q) / |q|^2 - 1 is
         * y conj(q) / |q|^2 - (1 - g), and y conj(q) is y conj(t) conj(first), t its
         * turn from the first sample (made again from its turn of now, which a
         * correction in between changes by far less than what is measured). Blanked
         * samples are zero and count for nothing. */
        const int clear = kSub * (kChunk / kSub - __builtin_popcount(blank & 31u));
        for (int i0 = 0; i0 < n_; i0 += kGroup) {
            const float *lanes[kGroup], *steps[kGroup];
            for (int g = 0; g < kGroup; g++) {
                const bool real = i0 + g < n_;
                lanes[g] = real ? tones_[size_t(i0 + g)].lanes.data() : silent_.data();
                steps[g] = real ? tones_[size_t(i0 + g)].steps.data() : silent_.data();
            }
            cf left[kGroup];
            measure_group(y, lanes, steps, left);
            for (int g = 0; g < kGroup && i0 + g < n_; g++) {
                Tone &t = tones_[size_t(i0 + g)];
                if (!t.measured)
                    continue;
                t.error += std::complex<double>(left[g]) / t.first;
                t.samples += clear;
                if (t.faded)
                    for (int s = 0; s < kChunk / kSub; s++)
                        if (!(blank & (1u << s)))
                            t.error -= double(kSub) * (1.0 - double(t.gain[size_t(s)]));
                t.measured = false;
            }
        }
    }
    if (block_end)
        for (int i = 0; i < n_; i++)
            update(tones_[size_t(i)], noise_bin);
}

/* One step of a carrier's loops from the error left over its last block. */
void Tones::update(Tone &t, double noise_bin)
{
    const int samples = t.samples;
    const std::complex<double> e = samples > 0 ? t.error / double(samples) : 0.0;
    t.error = 0.0;
    t.samples = 0;
    /* Mostly blanked: nothing to learn. */
    if (samples < kBlockChunks / kMeasureEvery * kChunk / 2 || t.dying)
        return;
    /* log(1 + e): exactly when far off, to the third order (1e-6) near. */
    const double size = std::norm(e);
    const std::complex<double> c =
        size < 1e-2 ? e * (1.0 - e * (0.5 - e / 3.0)) : std::log(1.0 + e);
    const double phase = c.imag();
    /* Per sample: the loop's natural frequency and the block. */
    constexpr double w0 = 2.0 * M_PI * kLoopHz / 0.7845 / kSampleRate;
    constexpr double n = kBlockChunks * kChunk;
    t.smoothed += (c - t.smoothed) * kSmoothing;
    t.rate += w0 * w0 * w0 * n * phase;
    steer(t, (kFrequencyCoefficient * w0 * w0 * phase + t.rate) * n,
          std::complex<double>(kAmplitudeGain * t.smoothed.real(),
                               kPhaseCoefficient * w0 * n * t.smoothed.imag()));
    t.lock += kLockGain * (float(std::sqrt(size)) - t.lock);
    const bool faded_in = t.fade == kFade;
    if ((faded_in && t.lock > kLost) || std::norm(t.q) < noise_bin * kDropPower) {
        t.dying = true;
        dying_++;
    }
}

} // namespace vchan
