/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Repetition combining of one bit rate: the demodulated frames of the last few
 * seconds, decoded or not, kept as soft values; each new one paired with the
 * stored repetitions of its message and decoded together with them. The design
 * and its reasons are in <vchan/vchan.h>. */
#pragma once

#include "vchan_demod.h"
#include "vchan_fft.h"
#include "vchan_joint.h"

#include <vector>

namespace vchan
{

/* A message that only combining recovered, ready for its report. */
struct Combined {
    Decoded frame;         /* the record, start and rate: those of the last repetition used */
    uint32_t repetitions;  /* bit n - 1 for repetition n */
    uint8_t bytes_key[24]; /* covered bytes and check, to recognise the message */
};

/* Limits of the store, per bit rate: frames kept, and the longest gap between two
 * repetitions of one message that pairing allows (devices send them 0 to 1 s
 * apart). */
constexpr size_t kStoredFrames = 256;
constexpr double kMaxGapSeconds = 2.0;

class Combiner
{
  public:
    Combiner(int rate, float int_gain);
    Combiner(const Combiner &) = delete;
    Combiner &operator=(const Combiner &) = delete;
    bool ok() const { return fft_.ok(); }

    /* Takes the demodulated frame @f at sample @now. TRUE with @out filled when it
     * and the stored repetitions of its message decode together into a message
     * that none of them gave alone. */
    bool add(const SoftFrame &f, uint64_t now, Combined &out);
    /* Whether a frame not decoded alone starting within a few bits of @start, within
     * a bit rate and a half of @freq, is stored: the same frame, found again. */
    bool holds(int64_t start, double freq) const;
    /* Forgets everything stored. */
    void clear() { count_ = 0; }
    size_t stored() const { return count_; }

  private:
    struct Entry {
        int64_t start, end; /* first sample, and the first after the last symbol */
        double carrier;     /* Hz, refined */
        float amplitude;    /* of a symbol, in the units of y */
        float noise;        /* mean |y|^2 of noise */
        float weight;       /* of the soft values, see SoftStream */
        float polarity;
        int row, seq, covered, symbols;
        bool oob;
        bool decoded;                    /* decoded on its own */
        bool used;                       /* its message was recovered by combining */
        float value[kMaxSymbols];        /* soft values, see SoftStream */
        float coded[8 * kMaxCodedBytes]; /* per coded bit, the mean of +1 for a 1 */
        cf y[kMaxSymbols];               /* the symbols, turned to the refined carrier */
    };

    void prepare(const SoftFrame &f, Entry &e);
    double refine_carrier(const cf *y, int n);
    void realign(int first, int last, float sigma, int &shift, int &row, float &polarity);
    void set_soft(Entry &e);
    bool compatible(const Entry &a, const Entry &b) const;
    double pair_score(const Entry &a, const Entry &b) const;
    bool try_decode(Entry *const *members, int n, Combined &out);
    void measure(const Entry &e, const uint8_t *bits, Decoded &out);
    size_t slot_for(const Entry &e, uint64_t now);

    int rate_;
    int bit_;
    float int_gain_;
    Fft fft_;
    JointDecoder joint_;
    std::vector<Entry> entries_;
    size_t count_ = 0;
    Entry incoming_;          /* the frame being added */
    cf around_[kSoftSymbols]; /* its symbols as the demodulator kept them */
    float scratch_[kSoftSymbols];
};

} // namespace vchan
