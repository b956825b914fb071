/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Continuous carriers (another system's, or the card's own: the DC offset is a
 * carrier at 0 Hz) followed and subtracted ahead of the banks. A one-bit rectangular
 * window leaks a carrier as 1/f^2: one 60 dB over the noise of a 300 Hz bin is still
 * 40 dB over it 1 kHz away in the 600 bit/s bank, and a few of them bury the band.
 * Rather than widen every filter's skirts for it, each carrier is rebuilt and taken
 * out of the samples: loops per carrier follow its amplitude, phase, frequency and
 * frequency rate from what is left of it after the subtraction, block by block, so
 * that a carrier, wandering slowly or not, is taken out to the noise. */
#pragma once

#include "vchan_common.h"

#include <array>

namespace vchan
{

class Tones
{
  public:
    /* Carriers followed at most, samples per call and per sub-block (the blanker's),
     * chunks per update of the loops. */
    static constexpr int kMax = 32;
    static constexpr int kChunk = 80;
    static constexpr int kSub = 16;
    static constexpr int kBlockChunks = 12;
    /* What is left of each carrier is measured on one chunk in this many: the
     * loops follow a few hertz, and what they let through of the noise is still a
     * few hertz wide when measured on a third of the samples (which leaves the
     * noise in the carrier's own 50 Hz bin some 0.3 dB higher rather than lower). */
    static constexpr int kMeasureEvery = 3;
    static_assert(kBlockChunks % kMeasureEvery == 0);
    /* A chunk measured is released before the next is subtracted and measured. */
    static_assert(kMeasureEvery >= 2);

    int count() const { return n_; }
    /* Subtracts the carriers' values predicted for the next kChunk samples @x (real
     * and imaginary parts in turn) from them; FALSE when none is followed and the
     * samples are as they were. */
    bool subtract(float *x);
    /* The chunk before the last one subtracted is final, @y (interleaved): @blank
     * has a bit set for each of its sub-blocks that was blanked (zero), which say
     * nothing of the carriers. What is left of each carrier over the rest feeds its
     * loops; carriers lost or under @noise_bin (the noise power in a 300 Hz bin)
     * fade out. */
    void release(const float *y, uint32_t blank, double noise_bin);
    /* Starts following a carrier of @w radians per sample whose value at the first
     * sample of the next chunk is @q; fades it in. FALSE when kMax are followed. */
    bool add(double w, std::complex<double> q);
    /* Whether a carrier is followed within @within radians per sample of @w. */
    bool near(double w, double within) const;
    /* The frequency (radians per sample) and amplitude of carrier @i. */
    double frequency(int i) const { return tones_[size_t(i)].w; }
    double amplitude(int i) const { return std::abs(tones_[size_t(i)].q); }

  private:
    struct Tone {
        double w = 0.0;              /* radians per sample */
        double rate = 0.0;           /* its change per sample */
        std::complex<double> unit{}; /* e^(j w) */
        std::complex<double> q{};    /* the value predicted at the next chunk's first sample */
        /* Its turn over a chunk in this block, and in float: over samples 0 to 7
         * (interleaved), and over 0, 8, 16, ... 72 samples (each as eight real parts
         * then eight imaginary ones, as the kernels take them), so that every value
         * of a chunk is its first times one of each (no chain of products). */
        std::complex<double> chunk_turn{};
        std::array<float, 16> lanes{};
        std::array<float, 2 * kChunk> steps{};
        /* For the chunk last subtracted and measured, until released: its value at
         * the first sample, and the mean gain of its fade per sub-block. */
        std::complex<double> first{};
        std::array<float, kChunk / kSub> gain{};
        bool measured = false;
        bool faded = false;
        std::complex<double> error{}; /* summed over the loop's block */
        std::complex<double> smoothed{};
        int samples = 0;    /* in the error */
        int fade = 0;       /* chunks of its fade done: its gain is fade / kFade */
        bool dying = false; /* fading out */
        float lock = 0.f;   /* running mean of |error| */
    };
    void steer(Tone &t, double dw, std::complex<double> correction);
    void update(Tone &t, double noise_bin);

    std::array<Tone, kMax> tones_{};
    /* Zeros for a group's silent places. */
    std::array<float, 2 * kChunk> silent_{};
    int n_ = 0;
    int dying_ = 0;       /* of them, fading out */
    uint64_t chunks_ = 0; /* chunks subtracted */
};

} // namespace vchan
