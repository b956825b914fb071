/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Successive cancellation. Once a frame is decoded all of it is known: its bits and
 * so its symbols, carrier, phase, amplitude and timing. The canceller refines the
 * timing to the sample and the carrier to a small fraction of a hertz, rebuilds the
 * frame at the sample rate and takes it out of the sample ring, so that frames
 * demodulated afterwards see the ring without it. It also re-tests, on the cleaned
 * ring, the candidates that the frame's side lobes could have accounted for. */
#pragma once

#include "vchan_common.h"

#include <memory>
#include <vector>

namespace vchan
{

struct Decoded;

class Canceller
{
  public:
    explicit Canceller(int rate);

    /* What the last cancel() found. */
    struct Fit {
        int64_t start = 0;   /* first sample of the reference symbol */
        double freq = 0.0;   /* carrier, Hz */
        cf amplitude{};      /* complex amplitude per sample at start */
        float fit_snr = 0.f; /* dB, the symbols against the rebuilt ones */
        double before = 0.0; /* sum of |x|^2 over the frame's span */
        double after = 0.0;  /* the same once subtracted (or as it would have been) */
        bool subtracted = false;
    };

    /* Whether @d is strong enough for its side lobes to matter (a cheap first test;
     * cancel() decides on the fit). */
    bool worth(const Decoded &d) const;
    /* Fits @d, whose decided bits are @bits (d.symbols - 1 of them, in the sense
     * d.polarity), to the ring and subtracts it when the fit is good and the frame
     * carries most of the energy over its span. TRUE when subtracted. */
    bool cancel(cf *ring, const Decoded &d, const uint8_t *bits);
    const Fit &fit() const { return fit_; }
    /* How far before its first and after its last symbol cancel() reads and writes
     * the ring, in samples (its timing search). */
    int reach() const { return margin_; }
    /* Takes @d, the first d.symbols symbols of a frame still coming in, out of the
     * ring as cancel() would, for a while: TRUE when taken out, and put_back() must
     * follow before anything else changes the ring; it restores it to the sample. */
    bool lift(cf *ring, const Decoded &d, const uint8_t *bits);
    void put_back(cf *ring);

    /* The preamble's differential correlation |S| (the bank's units) at @c's carrier
     * within eight bits of its start; moves c.start to the best timing and sets
     * c.metric. TRUE when it passes the bank's test against @noise (the bank's mean
     * noise power per bin). */
    bool retest(const cf *ring, float noise, Candidate &c);

  private:
    /* The phases of cancel(). */
    void take_signs(const Decoded &d, const uint8_t *bits);
    void match_earliest(const cf *ring, const Decoded &d);
    int refine_timing(int n);
    double fit_turn(int n);
    std::complex<double> fit_amplitude(const cf *ring, int n);
    double subtract(cf *ring, int n, float sign);

    int rate_;
    int bit_;
    int margin_; /* timing search either side of the demodulator's estimate, in samples:
                  * a tenth of a bit, its 1/16-bit grid and some spread */
    std::vector<float> signs_;
    std::vector<cf> z_, best_z_; /* symbols through the matched filter */
    std::vector<cf> edges_;      /* samples around each symbol boundary */
    std::vector<cf> slices_;     /* half-bit sums for the re-test */
    /* The ring under a lifted frame from lifted_at_, real and imaginary parts in
     * turn; left uninitialised, so that its pages cost nothing until it is used. */
    std::unique_ptr<float[]> lifted_;
    int64_t lifted_at_ = 0;
    size_t n_lifted_ = 0;
    Fit fit_;
};

} // namespace vchan
