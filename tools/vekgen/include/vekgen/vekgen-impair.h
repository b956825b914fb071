/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekgen: a real front end and real devices.
 *
 * The clean stream of vekgen.h is what a perfect radio would deliver. These
 * impairments add what a real card and real devices add, each drawn from its own
 * generator seeded by the signal's seed, so that a recording is reproduced exactly
 * from its seed and settings, and that switching one impairment on leaves the noise
 * and every other impairment as they were. The truth of the frames (power, offset,
 * bytes, start) stays that of the frames as sent.
 *
 * Levels are in dB over the noise, with one rule:
 *   - a tone (a continuous carrier, the DC offset) is stated over the noise in a
 *     300 Hz bin, that is over the total noise less 10 log10(192000 / 300) =
 *     28.06 dB; its power all falls in one such bin;
 *   - anything that spreads over a band (bursts, clicks, overload, the clipping
 *     level) is stated as its power over the total noise.
 * The noise is the signal's total noise (--noise); without noise the levels count
 * from VEKGEN_IMPAIR_QUIET_NOISE_DB as if that noise were there.
 *
 * The chain, in the order of a real receiver:
 *   on the air   frames (with their devices' errors), continuous carriers,
 *                bursts of another system, clicks, overload bursts; then the noise
 *   mixer        I/Q gain and phase imbalance: I' = a I, Q' = b (Q cos p - I sin p),
 *                a = 10^(-G/40), b = 10^(G/40) for a gain imbalance of G dB and a
 *                phase error p; a tone at f then has an image at -f of
 *                (1 - 2g cos p + g^2) / (1 + 2g cos p + g^2) of its power, g = b / a
 *                (1 dB and 5 degrees: -22.8 dB)
 *                DC offset: a constant added to every sample, the spike at 0 Hz
 *   converter    clipping of I and Q at the clipping level (at most the 16-bit range),
 *                rounding to integers
 *
 * Devices (per frame, VekgenFrame's device fields and the frame keys drift=, step=,
 * step-at=, ppm=): the carrier starts at the frame's offset and drifts linearly in
 * Hz/s from the first sample, and steps by a given number of Hz at a point of the
 * frame (a fraction of its length); a clock error in ppm makes every bit that much
 * shorter (fast clock, positive) or longer, so the frame ends earlier or later than
 * its nominal end. The carrier offset a real clock error also causes is what the
 * frame's offset states.
 */
#pragma once

#if !defined(VEKGEN_INSIDE)
#error "Only <vekgen/vekgen.h> can be included directly."
#endif

#include <glib.h>

G_BEGIN_DECLS

/* The width of the bin in which a tone's level is stated, and the number of them in
 * the band. */
#define VEKGEN_IMPAIR_BIN_HZ 300
/* The noise level the levels count from when the signal has no noise. */
#define VEKGEN_IMPAIR_QUIET_NOISE_DB 30.0

/* A set of impairments of the front end and the defaults of the devices' errors.
 * A new set has none. */
typedef struct _VekgenImpairments VekgenImpairments;

VekgenImpairments *vekgen_impairments_new(void);
VekgenImpairments *vekgen_impairments_copy(const VekgenImpairments *impairments);
void vekgen_impairments_free(VekgenImpairments *impairments);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(VekgenImpairments, vekgen_impairments_free)

/* One setting of the table below. */
typedef struct {
    const gchar *name; /* the key, and the command's long option */
    const gchar *arg;  /* what its value is, for the help */
    const gchar *help; /* one line, its default in brackets */
} VekgenImpairmentSetting;

/* The settings, in the order of the chain: vekgen_impairment_setting(0) to
 * vekgen_impairment_setting(vekgen_impairment_n_settings() - 1) (NULL beyond):
 *   dc=DB                  DC offset over the noise in a 300 Hz bin (none)
 *   dc-phase=RAD           its phase (random)
 *   iq-gain=DB             Q's gain over I's (0)
 *   iq-phase=DEG           Q's phase error (0)
 *   carriers=N             continuous carriers (0, or as many as carrier-freq lists)
 *   carrier-level=DB       each over the noise in a 300 Hz bin (40)
 *   carrier-freq=HZ[,HZ]   their frequencies; the others random in the band
 *   carrier-wander=HZ      peak of a slow sinusoidal wander of each carrier (0)
 *   carrier-wander-period=S   its period (30), each carrier at a random phase of it
 *   bursts=DUTY            share of the time a burst of another system is on (0)
 *   burst-level=DB         its power over the total noise (20)
 *   burst-width=HZ         its width (random in 10000 to 25000 per burst)
 *   burst-length=S         its length (0.05)
 *   burst-freq=HZ          its centre (random per burst, wholly in the band)
 *   clicks=RATE            impulses per second, at random times (0)
 *   click-length=S         each (0.0001)
 *   click-level=DB         their power over the total noise (30)
 *   clip=DB                clipping level: I and Q are clipped at the amplitude of a
 *                          carrier DB over the total noise (the 16-bit range)
 *   overload=S[,S]         overload bursts starting at these times (none)
 *   overload-length=S      each (0.01)
 *   overload-level=DB      their power over the total noise (50)
 *   drift=HZ/S, step=HZ, step-at=FRACTION, ppm=PPM
 *                          the devices' errors for every frame that gives none of
 *                          its own (0, 0, 0.5, 0)
 * Bursts hop to a new frequency in their width every millisecond, gliding there over
 * a quarter of one at a continuous phase (their skirts are 50 dB down 5 kHz outside
 * the width), and rise and fall over half a millisecond; clicks and overload bursts
 * are white Gaussian noise over the whole band. */
guint vekgen_impairment_n_settings(void);
const VekgenImpairmentSetting *vekgen_impairment_setting(guint index);

/* Sets the setting @name from its text @value. FALSE with VEKGEN_ERROR_PARSE for an
 * unknown name or a bad value (out of range, a list too long for carriers=). */
gboolean vekgen_impairments_set(VekgenImpairments *impairments, const gchar *name,
                                const gchar *value, GError **error);
/* Sets the whitespace-separated NAME=VALUE tokens of @text in order. */
gboolean vekgen_impairments_parse(VekgenImpairments *impairments, const gchar *text,
                                  GError **error);
/* The settings given so far, as NAME=VALUE text that parses back to the same set
 * ("" when none was given); free with g_free. */
gchar *vekgen_impairments_to_string(const VekgenImpairments *impairments);
/* The value of the number setting @name: as given, or its default (NAN for a
 * setting without one, a list, or an unknown name). */
gdouble vekgen_impairments_get(const VekgenImpairments *impairments, const gchar *name);
/* TRUE when no setting was given. */
gboolean vekgen_impairments_is_empty(const VekgenImpairments *impairments);
/* Adds an overload burst starting at @start_sample (as overload= does in seconds). */
void vekgen_impairments_add_overload(VekgenImpairments *impairments, guint64 start_sample);
/* Fills in @frame's device errors that it leaves unset (NAN) from the defaults of
 * @impairments (drift=, step=, step-at=, ppm=) where these were given. */
void vekgen_impairments_apply_device_defaults(const VekgenImpairments *impairments,
                                              VekgenFrame *frame);

/* Whether @frame has device errors (drift, step or clock error not 0 or unset). */
gboolean vekgen_frame_has_device_errors(const VekgenFrame *frame);
/* The first sample after the frame's last symbol as its device's clock makes it:
 * vekgen_frame_end_sample unless the frame has a clock error. */
guint64 vekgen_frame_air_end_sample(const VekgenFrame *frame);

/* Gives @signal a copy of @impairments (NULL for none), replacing those it had, and
 * applies their device defaults to the frames it holds that leave them unset and to
 * those added later. Only before the first sample: FALSE with VEKGEN_ERROR_INVALID
 * afterwards. After vekgen_signal_skip the impairments carry on at the new position:
 * the carriers at their exact phase there, the bursts and clicks of the skipped part
 * not drawn. */
gboolean vekgen_signal_set_impairments(VekgenSignal *signal, const VekgenImpairments *impairments,
                                       GError **error);
/* The signal's impairments, or NULL when it has none. */
const VekgenImpairments *vekgen_signal_get_impairments(const VekgenSignal *signal);
/* The centre frequencies of its continuous carriers, given or drawn from the seed
 * (*n_carriers receives their count; NULL without carriers). */
const gdouble *vekgen_signal_get_carriers(const VekgenSignal *signal, guint *n_carriers);
/* The largest magnitude I and Q can take: 32767, or the clipping level. */
guint vekgen_signal_get_full_scale(const VekgenSignal *signal);

G_END_DECLS
