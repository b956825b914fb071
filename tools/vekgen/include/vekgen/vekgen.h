/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekgen: the uplink test transmitter of the VEK project.
 *
 * vekgen produces the I/Q sample stream that the card delivers to the host while
 * uplink frames are on the air: 192000 complex samples per second, each a signed
 * 16-bit in-phase value followed by a signed 16-bit quadrature value in host byte
 * order. The stream is the sum of the frames' carriers and of white Gaussian noise,
 * rounded to the nearest integer and clipped to the 16-bit range. Everything it
 * produces is a function of the seed, of the frame list and of the impairments of a
 * real front end and real devices it is given (vekgen-impair.h) only.
 *
 * The uplink transmitter, as vekgen builds it
 * -------------------------------------------
 * A frame carries L covered bytes (L = 8, 9, 12, 16 or 20) and is sent as one of
 * three repetitions (1, 2 or 3); the frame type table below gives its 13-bit frame
 * type pattern for each (L, repetition, out-of-band) row.
 *
 * 1. Message bits o(n): the L covered bytes, then their CRC-16 (polynomial 0x1021,
 *    initial value 0, MSB first, no reflection, all 16 bits inverted), high byte
 *    first; every byte most significant bit first. 8(L+2) bits.
 * 2. Coded bits c(n), running across byte boundaries and over the CRC, with
 *    o(-1) = o(-2) = 0:
 *      repetition 1: c(n) = o(n)
 *      repetition 2: c(n) = o(n) XOR o(n-1) XOR o(n-2)
 *      repetition 3: c(n) = o(n) XOR o(n-2)
 *    (the receiver's de-multiplexing undoes exactly this.)
 * 3. Bit sequence, as the receiver decides it: 20 alternating bits ending in 0
 *    (1,0,1,0,...,1,0), the lock bits 1,1,0,0,1,1,1 (the receiver's symbol timing
 *    locks on the sixth and freezes on the seventh), the 13-bit frame type pattern
 *    most significant bit first, then the 8(L+2) coded bits: 40 + 8(L+2) bits.
 * 4. Differential encoding: one reference symbol +1, then for every bit the BPSK
 *    symbol is kept for a 1 and flipped for a 0 (an inverted transmitter does the
 *    opposite; the receiver decodes both polarities). 41 + 8(L+2) symbols.
 * 5. Modulation: rectangular symbols of one bit period (1920 samples at 100 bit/s,
 *    320 at 600 bit/s) on one continuous carrier at the frame's offset from the
 *    centre of the band, amplitude sqrt(10^(power/10)) in sample units, so that the
 *    frame's mean |x|^2 is 10^(power/10). The carrier stops after the last symbol.
 * 6. The receiver reports a frame 208 bit decisions after its pattern, so the
 *    stream keeps running for a tail of 208 - 8(L+2) + 9 bit periods after the
 *    last symbol, and two frames start at least 258 bit periods apart whatever
 *    their length (41 + 208 + 9).
 *
 * Power is in dB of mean |x|^2 in sample units (a full-scale carrier is about
 * 90.3 dB); the noise level is the total noise power over the 192 kHz band in the
 * same units. Eb/N0 = power - noise + 10 log10(192000 / bit rate).
 */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

#define VEKGEN_SAMPLE_RATE 192000
/* Bits before the coded bits: preamble 20, lock 7, pattern 13. */
#define VEKGEN_HEADER_BITS 40
/* Bit periods between the start of a frame and its report by the receiver. */
#define VEKGEN_FRAME_SPACING_BITS 258
#define VEKGEN_MAX_COVERED 20
#define VEKGEN_N_FRAME_TYPES 18

#define VEKGEN_ERROR (vekgen_error_quark())
GQuark vekgen_error_quark(void);

typedef enum {
    VEKGEN_ERROR_INVALID,   /* a frame or option that the transmitter cannot send */
    VEKGEN_ERROR_PARSE,     /* a frame text or recording description that does not parse */
    VEKGEN_ERROR_IO,        /* a recording file that cannot be read or written */
    VEKGEN_ERROR_TRUNCATED, /* a recording whose samples end before its frames do */
} VekgenError;

/* One row of the uplink frame type table. */
typedef struct {
    guint16 pattern;    /* 13-bit frame type, oldest bit most significant */
    guint8 covered_len; /* bytes covered by the CRC: 8, 9, 12, 16 or 20 */
    guint8 repetition;  /* 1, 2 or 3 */
    gboolean oob;       /* out-of-band frame */
} VekgenFrameType;

/* The 18 rows, in table order; *n_types receives 18 when not NULL. */
const VekgenFrameType *vekgen_frame_types(guint *n_types);
/* The row for (covered_len, repetition, oob), or NULL when there is none. */
const VekgenFrameType *vekgen_frame_type_find(guint covered_len, guint repetition, gboolean oob);

/* One frame on the air. */
typedef struct {
    guint8 covered_len;               /* 8, 9, 12, 16 or 20 */
    guint8 repetition;                /* 1, 2 or 3 */
    gboolean oob;                     /* only with covered_len 16 */
    guint8 bytes[VEKGEN_MAX_COVERED]; /* covered bytes; covered_len of them are sent */
    guint64 start_sample;             /* first sample of the reference symbol */
    gdouble offset_hz;                /* carrier offset, -96000 to +96000 */
    gdouble power_db;                 /* 10 log10 of mean |x|^2 in sample units */
    guint bit_rate;                   /* 100 or 600 */
    gboolean inverted;                /* opposite differential sense */
    gdouble phase;                    /* carrier phase of the first sample, radians */
    /* Set when the covered bytes are a signed uplink message (vekgen_frame_set_uplink). */
    gboolean uplink;
    guint32 device_id;
    guint16 seq;     /* 12-bit sequence number */
    gboolean forged; /* the authentication code is wrong on purpose */
    /* Set when the frame is a repetition of a message (vekgen_signal_add_message):
     * the message's number in its signal, from 1 on. */
    guint message;
    /* The device's errors (vekgen-impair.h). NAN, as vekgen_frame_init leaves them,
     * takes the signal's defaults (vekgen_signal_set_impairments), 0 without. */
    gdouble drift_hz_per_s; /* linear carrier drift from the first sample */
    gdouble step_hz;        /* a carrier step of that many Hz ... */
    gdouble step_at;        /* ... at this fraction of the frame's length (0.5) */
    gdouble clock_ppm;      /* each bit shorter by this many ppm (longer when < 0) */
} VekgenFrame;

/* Fills @frame with the defaults: type 8/1 in band, zero bytes, start 0, offset 0,
 * power 60 dB, 100 bit/s, not inverted, phase 0, device errors unset (NAN). */
void vekgen_frame_init(VekgenFrame *frame);
/* TRUE when the transmitter can send @frame; otherwise FALSE with VEKGEN_ERROR_INVALID. */
gboolean vekgen_frame_check(const VekgenFrame *frame, GError **error);
const VekgenFrameType *vekgen_frame_get_type(const VekgenFrame *frame);
/* Gives @frame the type @type: its covered length, repetition and band. */
void vekgen_frame_set_type(VekgenFrame *frame, const VekgenFrameType *type);

/* Samples per bit period: 1920 at 100 bit/s, 320 at 600 bit/s (0 for other rates). */
guint vekgen_samples_per_bit(guint bit_rate);
/* Symbols on the air (reference symbol included): 41 + 8(L+2). */
guint vekgen_frame_symbols(const VekgenFrame *frame);
/* First sample after the frame's last symbol, and after its tail. */
guint64 vekgen_frame_end_sample(const VekgenFrame *frame);
guint64 vekgen_frame_tail_end_sample(const VekgenFrame *frame);

/* CRC-16 with polynomial 0x1021, initial value 0, inverted result ("123456789" gives
 * 0xCE3C). */
guint16 vekgen_crc16(const guint8 *data, gsize len);
/* The L covered bytes followed by their CRC-16, high byte first (L+2 bytes into @out). */
void vekgen_frame_message(const VekgenFrame *frame, guint8 out[VEKGEN_MAX_COVERED + 2]);
/* The message after the repetition's coding (L+2 bytes into @out): the bytes as the
 * receiver cuts them out of its bit ring. */
void vekgen_frame_coded(const VekgenFrame *frame, guint8 out[VEKGEN_MAX_COVERED + 2]);
/* What the receiver reports for the frame's tid and ack: taken from the coded bytes
 * (coded[2..5] little-endian, bit 0x10 of coded[0]). */
guint32 vekgen_frame_expected_tid(const VekgenFrame *frame);
gboolean vekgen_frame_expected_ack(const VekgenFrame *frame);
/* The 40 + 8(L+2) bits as the receiver decides them (one bit, 0 or 1, per byte);
 * returns the count. @bits must hold VEKGEN_HEADER_BITS + 8 * (VEKGEN_MAX_COVERED + 2). */
guint vekgen_frame_bits(const VekgenFrame *frame, guint8 *bits);

/* Longest payload of a signed uplink message, in bytes. */
#define VEKGEN_MAX_PAYLOAD 12

/* Lays out the covered bytes of @frame as a signed uplink message of the current
 * version: the 6-byte header (payload padding, ack 0, the 12-bit @seq), @device_id
 * least significant byte first, the payload, then its authentication code under the
 * network's key, which fills the frame up to its size class. The covered length
 * follows from the payload: 0, 1, 2 to 4, 5 to 8 and 9 to 12 bytes give 8, 9, 12,
 * 16 and 20. With @forge the code is deliberately wrong, so that an authentication
 * check drops the frame. FALSE with VEKGEN_ERROR_INVALID for a payload above
 * VEKGEN_MAX_PAYLOAD bytes, a sequence number above 4095, or an out-of-band frame
 * whose size class is not 16. */
gboolean vekgen_frame_set_uplink(VekgenFrame *frame, guint32 device_id, guint16 seq,
                                 const guint8 *payload, gsize payload_len, gboolean forge,
                                 GError **error);

/* Parses one frame text: whitespace-separated key=value tokens, every one optional:
 *   at=SECONDS | sample=N   start of the frame (default 0)
 *   rate=100|600            bit rate (default 100)
 *   len=8|9|12|16|20        covered bytes (default 8)
 *   rep=1|2|3               repetition (default 1)
 *   oob=0|1                 out-of-band (default 0)
 *   freq=HZ                 carrier offset (default 0)
 *   power=DB                power (default 60)
 *   bytes=HEX|random        covered bytes, 2*len hex digits (default random)
 *   inv=0|1                 inverted transmitter (default 0)
 *   phase=RAD               carrier phase (default random)
 *   dev=ID                  a signed uplink message from device ID (decimal or 0x hex);
 *                           then len and bytes follow from the payload
 *   seq=N                   its 12-bit sequence number (default 0)
 *   payload=HEX             its payload, up to 12 bytes (default none)
 *   forge=0|1               a wrong authentication code (default 0)
 *   drift=HZ/S              carrier drift from the first sample (default: the signal's)
 *   step=HZ                 a carrier step (default: the signal's) ...
 *   step-at=FRACTION        ... at this fraction of the frame (default: the signal's)
 *   ppm=PPM                 the device's clock error (default: the signal's)
 * Random bytes and phase come from @rand (a fixed seed when NULL). FALSE with
 * VEKGEN_ERROR_PARSE or
 * VEKGEN_ERROR_INVALID on a bad text. */
gboolean vekgen_frame_parse(const gchar *text, GRand *rand, VekgenFrame *frame, GError **error);
/* The same key=value text for @frame (bytes in hex); free with g_free. */
gchar *vekgen_frame_to_string(const VekgenFrame *frame);

/* The sample stream: noise plus frames, generated in order.
 * A signal is not thread-safe; fill it from one thread at a time. */
typedef struct _VekgenSignal VekgenSignal;

/* A signal at sample 0. @noise_db is the total noise power in dB (sample units);
 * pass -G_MAXDOUBLE (or any value below -200) for no noise. */
VekgenSignal *vekgen_signal_new(guint64 seed, gdouble noise_db);
void vekgen_signal_free(VekgenSignal *signal);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(VekgenSignal, vekgen_signal_free)

gdouble vekgen_signal_get_noise_db(const VekgenSignal *signal);
guint64 vekgen_signal_get_seed(const VekgenSignal *signal);
/* Adds a frame. It may overlap others; its start must not lie before the next
 * sample to be generated. FALSE with VEKGEN_ERROR_INVALID otherwise. */
gboolean vekgen_signal_add_frame(VekgenSignal *signal, const VekgenFrame *frame, GError **error);
/* The frames added so far, in order of start (those already played included). */
const VekgenFrame *vekgen_signal_get_frames(const VekgenSignal *signal, guint *n_frames);
/* The next sample to be generated. */
guint64 vekgen_signal_get_position(const VekgenSignal *signal);
/* The end of the last frame's tail (0 without frames): a recording of that many
 * samples lets the receiver report every frame. */
guint64 vekgen_signal_get_end(const VekgenSignal *signal);
/* Writes the next @n_samples complex samples into @iq (2 * @n_samples values, I then
 * Q, host byte order) and advances. Allocates nothing. */
void vekgen_signal_fill(VekgenSignal *signal, gint16 *iq, gsize n_samples);
/* Skips @n_samples samples without producing them: the noise of the skipped part is
 * not drawn, so a skipped stream differs from a filled one after the skip. */
void vekgen_signal_skip(VekgenSignal *signal, guint64 n_samples);

/* The default scenario of the vekgen command: frames of several types at both rates
 * over about 20 s, noise at 30 dB, frames at 50 to 70 dB. */
VekgenSignal *vekgen_signal_new_default_scenario(guint64 seed);

/* Adds one frame text (see vekgen_frame_parse) to @signal. With @forge, a signed
 * message (dev=) gets a wrong authentication code. */
gboolean vekgen_signal_add_frame_text(VekgenSignal *signal, const gchar *text, gboolean forge,
                                      GRand *rand, GError **error);
/* Adds the frames of a frame file's @text: one frame text per line, '#' starts a
 * comment, blank lines are skipped. Stops at the first bad line with its error
 * prefixed "ORIGIN:LINE: " (the frames before it stay added). */
gboolean vekgen_signal_add_frames_text(VekgenSignal *signal, const gchar *text, const gchar *origin,
                                       gboolean forge, GRand *rand, GError **error);
/* Reads the frame file @path and adds its frames as above; a file that cannot be
 * read gives a G_FILE_ERROR. */
gboolean vekgen_signal_add_frame_file(VekgenSignal *signal, const gchar *path, gboolean forge,
                                      GRand *rand, GError **error);

/* SigMF recordings: BASE.sigmf-data holds ci16_le samples, BASE.sigmf-meta the
 * sample rate and one annotation per frame with its truth. @base may also be given
 * with either extension. Writes @n_samples samples of @signal from its position
 * (0 means up to vekgen_signal_get_end); only the frames that lie wholly in them are
 * annotated. A recording that cannot be completed is removed. */
gboolean vekgen_recording_write(const gchar *base, VekgenSignal *signal, guint64 n_samples,
                                GError **error);
/* Whether the @n_samples samples from @origin hold every symbol of @frame. */
gboolean vekgen_recording_holds_frame(const VekgenFrame *frame, guint64 origin, guint64 n_samples);

/* A recording opened for reading. */
typedef struct _VekgenRecording VekgenRecording;

/* Opens a recording. Both files must be regular files; the description may hold at
 * most 16 MiB nested at most 64 levels deep. A recording whose samples end before
 * one of its annotated frames does is refused with VEKGEN_ERROR_TRUNCATED. */
VekgenRecording *vekgen_recording_open(const gchar *base, GError **error);
void vekgen_recording_close(VekgenRecording *recording);
G_DEFINE_AUTOPTR_CLEANUP_FUNC(VekgenRecording, vekgen_recording_close)

guint vekgen_recording_get_sample_rate(const VekgenRecording *recording);
guint64 vekgen_recording_get_n_samples(const VekgenRecording *recording);
/* The truth of the annotations, in file order. */
const VekgenFrame *vekgen_recording_get_frames(const VekgenRecording *recording, guint *n_frames);
/* Reads up to @n_samples samples into @iq (host byte order) and returns the count;
 * 0 at the end, which is the size the data file had at open. -1 with VEKGEN_ERROR_IO
 * on a read failure, VEKGEN_ERROR_TRUNCATED when the file has shrunk since. */
gssize vekgen_recording_read(VekgenRecording *recording, gint16 *iq, gsize n_samples,
                             GError **error);
/* Goes back to the first sample. */
gboolean vekgen_recording_rewind(VekgenRecording *recording, GError **error);

/* Messages: a device sends every message as the three repetitions of its frame
 * type, one after the other, each on a carrier of its own, with a pause of its
 * own choosing between two repetitions. */
typedef struct {
    /* Repetition 1: its length, band, bytes (or signed message), rate, start,
     * sense and phase; the other two get the same bytes and rate. */
    VekgenFrame first;
    /* The pause between the end of one repetition and the start of the next, drawn
     * uniformly in seconds (0 to 1). */
    gdouble gap_min, gap_max;
    gdouble power_db[3];  /* of each repetition (that of @first) */
    gdouble offset_hz[3]; /* of each repetition; NAN: drawn in +-90 kHz (all NAN) */
    gboolean dropped[3];  /* repetitions lost on the way: their time passes, unsent */
} VekgenMessage;

/* Fills @message with repetition 1 as vekgen_frame_init() makes a frame, gaps of
 * 0 to 1 s, every repetition at its power on a random carrier, none dropped. */
void vekgen_message_init(VekgenMessage *message);
/* Parses one message text: the keys of a frame text but rep=, and
 *   power=DB[,DB,DB]        each repetition's power, or one for all (60)
 *   freq=HZ[,HZ,HZ]         each repetition's carrier, or one for all (random)
 *   gap=MAX | gap=MIN-MAX   pause between repetitions in seconds (0-1)
 *   drop=N[,N]              repetitions lost (none)
 * FALSE with VEKGEN_ERROR_PARSE or VEKGEN_ERROR_INVALID on a bad text. */
gboolean vekgen_message_parse(const gchar *text, GRand *rand, VekgenMessage *message,
                              GError **error);
/* Adds the repetitions of @message that are not dropped, drawing gaps and random
 * carriers from @rand, each frame marked with the message's number (one more than
 * the highest in @signal). FALSE with VEKGEN_ERROR_INVALID, adding nothing, when a
 * repetition cannot be sent. */
gboolean vekgen_signal_add_message(VekgenSignal *signal, const VekgenMessage *message, GRand *rand,
                                   GError **error);

G_END_DECLS

#define VEKGEN_INSIDE
#include "vekgen/vekgen-impair.h"
#undef VEKGEN_INSIDE
