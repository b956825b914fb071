/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A measurement run with the impairments of a real front end and real devices:
 * the options that ask for them and how they meet the generated frames. */
#pragma once

#include <vekgen/vekgen.h>

#include <string>

namespace bench
{

/* The options
 *   --impair TEXT   impairments as vekgen's key=value text (its option names without
 *                   the dashes), e.g. "carriers=20 carrier-level=40 dc=45"; and, for
 *                   the measurement only:
 *                     overload=gaps     an overload burst in the gap before every frame
 *                                       (wholly between the frames, at random in it)
 *                     lead=SECONDS      the first frame starts that much later (what a
 *                                       station meets once its front end has settled on
 *                                       the carriers and DC of the band; 0 by default)
 *                     keep-away=HZ      frames are kept this far from every carrier
 *                                       (plus its wander), from 0 Hz with a DC offset
 *                                       and from a fixed burst band (burst-freq=); by
 *                                       default 1000 Hz at 600 bit/s and 300 Hz at
 *                                       100 bit/s; 0 places frames anywhere
 *                   drift=, step= and ppm= give every frame that error with a sign
 *                   drawn at random; step-at= fixes where the step falls, at random
 *                   in the frame without it.
 *   --noise DB      the total noise (default 70 dB). The strongest conditions of the
 *                   receiver's targets (a carrier 60 dB over a 300 Hz bin's noise,
 *                   31.9 dB over the total noise) reach full scale (90.3 dB) above
 *                   58 dB of noise: run them with --noise 50.
 * Without --impair a run is exactly what it was without these options. Every draw the
 * impairments need comes from a generator of their own, so the frames of a run are
 * the same with and without impairments except where keep-away moves one. */
class Impairments
{
  public:
    Impairments() = default;
    ~Impairments();
    Impairments(const Impairments &) = delete;
    Impairments &operator=(const Impairments &) = delete;

    /* Takes the options above from the front of the arguments (after the program
     * name); false with @error on a bad one. */
    bool take_options(int *argc, char ***argv, std::string *error);

    bool any() const { return settings_ != nullptr; }
    /* Samples before the first frame of a run, from lead= (0 by default). */
    guint64 lead_samples() const { return guint64(lead_s_ * VEKGEN_SAMPLE_RATE); }
    double noise_db() const { return noise_db_; }
    /* One line that says what the run is given ("" without impairments). */
    std::string describe() const;

    /* A signal of @seed at the noise level, with the impairments. */
    VekgenSignal *new_signal(guint64 seed) const;
    /* A generator for the impairments' own draws in the run of @seed. */
    static GRand *new_rand(guint64 seed);
    /* An offset in +-@max_hz for a frame of @rate: @offset when it keeps away from
     * what it must, otherwise one drawn from @rand that does. */
    double keep_away(const VekgenSignal *signal, GRand *rand, guint rate, double offset,
                     double max_hz) const;
    /* Gives @frame the devices' errors, each with a random sign. */
    void give_device_errors(VekgenFrame *frame, GRand *rand) const;
    /* With overload=gaps, puts an overload burst into the gap before each of the
     * signal's frames (of either rate) that has room for it. */
    bool add_overloads_in_gaps(VekgenSignal *signal, GRand *rand) const;

    /* The share of I and Q values at the limits of @signal's full scale. */
    static double clipped_share(const VekgenSignal *signal, const gint16 *iq, gsize n_samples);

  private:
    bool clear_of(const VekgenSignal *signal, guint rate, double offset) const;

    VekgenImpairments *settings_ = nullptr;
    std::string text_;
    double noise_db_ = 70.0;
    bool overload_gaps_ = false;
    double keep_away_hz_ = -1.0; /* < 0: by the rate */
    double lead_s_ = 0.0;
};

} // namespace bench
