/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The impairments inside: their settings, and the chain that adds them to the
 * sample stream chunk by chunk without allocating. */
#pragma once

#include "vekgen/vekgen.h"
#include "vekgen-rng.h"

#include <cmath>
#include <complex>
#include <vector>

struct _VekgenImpairments {
    guint32 given = 0; /* one bit per setting of the table, in its order */
    gdouble dc_db = NAN;
    gdouble dc_phase = NAN;
    gdouble iq_gain_db = 0.0;
    gdouble iq_phase_deg = 0.0;
    gdouble n_carriers = 0.0; /* a count, kept as a number like every setting */
    gdouble carrier_db = 40.0;
    std::vector<gdouble> carrier_hz;
    gdouble wander_hz = 0.0;
    gdouble wander_period_s = 30.0;
    gdouble burst_duty = 0.0;
    gdouble burst_db = 20.0;
    gdouble burst_width_hz = NAN;
    gdouble burst_length_s = 0.05;
    gdouble burst_hz = NAN;
    gdouble click_rate = 0.0;
    gdouble click_length_s = 1e-4;
    gdouble click_db = 30.0;
    gdouble clip_db = NAN;
    std::vector<guint64> overloads; /* start samples */
    gdouble overload_length_s = 0.01;
    gdouble overload_db = 50.0;
    /* The devices' errors of every frame that gives none of its own. */
    gdouble drift_hz_per_s = NAN;
    gdouble step_hz = NAN;
    gdouble step_at = NAN;
    gdouble clock_ppm = NAN;

    guint carrier_count() const;
};

namespace vekgen
{

using Sample = std::complex<gdouble>;

/* What the frame keys and the device defaults accept. */
constexpr gdouble kMaxDriftHzPerS = 10000.0;
constexpr gdouble kMaxStepHz = VEKGEN_SAMPLE_RATE;
constexpr gdouble kMaxClockPpm = 1000.0;

/* FALSE with VEKGEN_ERROR_INVALID when a device error of @frame is out of range. */
gboolean check_device_errors(const VekgenFrame *frame, GError **error);
/* Appends " drift=... step=... step-at=... ppm=..." for those that are set. */
void append_device_errors(GString *text, const VekgenFrame *frame);

/* Adds the samples [from, to) of a frame with device errors to @x (x[0] is sample
 * @from); @symbols are its n_symbols symbols (+1 or -1). */
void add_device_frame(const VekgenFrame &frame, const gint8 *symbols, guint n_symbols,
                      gdouble amplitude, guint64 from, guint64 to, Sample *x);

/* The impairments of one signal as they run. Every random draw comes from a generator
 * of its own impairment, and every draw happens in the order of the samples, so
 * the stream does not depend on how it is cut into chunks. */
class ImpairChain
{
  public:
    /* May throw std::bad_alloc; nothing allocates afterwards. */
    ImpairChain(const VekgenImpairments &settings, guint64 seed, gdouble noise_db);

    const VekgenImpairments &settings() const { return settings_; }
    const std::vector<gdouble> &carriers() const { return carrier_hz_; }
    gdouble clip_low() const { return -clip_; }
    gdouble clip_high() const { return clip_ < 32767.0 ? clip_ : 32767.0; }

    /* Adds what is on the air besides the frames to the samples [from, from + n). */
    void add_air(Sample *x, guint64 from, gsize n);
    /* The mixer: I/Q imbalance, then the DC offset. */
    void mix(Sample *x, gsize n) const;

  private:
    struct Tone {
        gdouble amplitude;
        gdouble freq_hz;
        gdouble phase;        /* at sample 0, radians */
        gdouble wander_phase; /* of the wander's sine at sample 0 */
        Sample z, step;       /* the tone now, and its turn per sample */
    };
    /* One event at a time: a burst or a click, [start, end). */
    struct Event {
        guint64 start = 0, end = 0;
        guint64 index = 0; /* how many came before it */
    };

    void add_tones(Sample *x, guint64 from, gsize n);
    void set_tones(guint64 block_start);
    void add_bursts(Sample *x, guint64 from, gsize n);
    void next_burst();
    void add_clicks(Sample *x, guint64 from, gsize n);
    void next_click();
    void add_overloads(Sample *x, guint64 from, gsize n);

    VekgenImpairments settings_;
    gdouble ref_noise_db_; /* what the levels count from */
    /* The mixer and the converter. */
    bool imbalance_ = false;
    gdouble gain_i_ = 1.0, gain_q_ = 1.0, cos_p_ = 1.0, sin_p_ = 0.0;
    Sample dc_{};
    gdouble clip_ = 32768.0;
    /* Continuous carriers. */
    std::vector<Tone> tones_;
    guint64 tone_position_ = G_MAXUINT64; /* the sample the tones are at */
    std::vector<gdouble> carrier_hz_;
    /* Bursts of another system. */
    Rng burst_rng_;
    Event burst_;
    bool burst_started_ = false;
    gdouble burst_amplitude_ = 0.0, burst_centre_hz_ = 0.0, burst_width_hz_ = 0.0;
    gdouble burst_from_hz_ = 0.0, burst_to_hz_ = 0.0; /* the glide of this millisecond */
    Sample burst_z_{}, burst_step_{};
    /* Clicks. */
    Rng click_rng_;
    Event click_;
    gdouble click_sigma_ = 0.0;
    guint64 click_key_;
    /* Overload bursts, in order of start. */
    std::vector<guint64> overloads_;
    gsize first_overload_ = 0; /* those before it have ended */
    gdouble overload_sigma_ = 0.0;
    guint64 overload_length_ = 0;
    guint64 overload_key_;
};

} // namespace vekgen
