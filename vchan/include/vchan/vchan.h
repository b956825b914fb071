/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libvchan: a channelised uplink receiver that reports frames in the records of
 * libvdem, for both bit rates at once and for many frames in flight.
 *
 * How it works, and why
 * ---------------------
 * libvdem multiplies each sample by the one a bit period earlier across the whole
 * 192 kHz band before it filters. A frame occupies a few hundred hertz of that band,
 * so the product is dominated by noise times noise and most of the link budget is
 * gone before the first decision; the chain also follows one frame at a time. This
 * receiver filters every signal to its own bandwidth first:
 *
 * 0. The front end. What a real card and its surroundings add to the band and can
 *    be measured is taken out before the banks, because a one-bit rectangular
 *    window leaks a strong line into bins tens of kHz away (its side lobes fall
 *    only as 1/f^2) and nothing downstream could tell that leakage from a frame.
 *    A survey of the band four times a second finds continuous lines (carriers of
 *    other systems, and the card's DC offset as a line at 0 Hz); a line that has
 *    stood at one frequency for 2.5 s, longer than any frame so that a frame is
 *    never taken for one, is then followed (its phase, frequency and drift,
 *    measured again on what is left of it) and subtracted, up to 32 at a time.
 *    The cost: a carrier is removed only 2.5 s after it appears. Clicks and
 *    overload bursts are white where everything this receiver hears is narrow: a
 *    power that jumps over the band's without the lag-one correlation a narrow
 *    signal brings is blanked to zero with its edges, which costs a frame a few
 *    samples of energy instead of a burst of errors, keeps a single huge sample
 *    from passing the preamble test in every bin, and keeps an overload from
 *    leaving the receiver deaf to the frame after it.
 * 1. Channelisation. For each bit rate R (T = 192000 / R samples per bit) an FFT
 *    over the last T samples, zero-padded to a power of two (4096 points at
 *    100 bit/s, bins 46.875 Hz or 0.47 R apart; 512 at 600 bit/s, 375 Hz or
 *    0.625 R apart), is computed every T/2 samples. A rectangular window of one bit
 *    is exactly the matched filter of a rectangular symbol, so every bin output is
 *    already the matched filter of a symbol at that bin's frequency; a carrier
 *    halfway between two bins loses at most 0.8 dB (100 bit/s) or 1.5 dB
 *    (600 bit/s) of preamble correlation, far less than the detector's margin at
 *    the Eb/N0 where frames begin to decode, and the detection needs no finer
 *    timing. Powers of two rather than 2T points (bins exactly R/2 apart) because
 *    the libraries' power-of-two transforms take half the time or less per point:
 *    the transforms went from 4.5 to 1.9 ms per second of signal.
 * 2. Detection. Per bin and per timing phase, each output times the conjugate of
 *    the one a bit earlier is a differential decision; the preamble's 20 alternating
 *    bits make these products alternate in sign, so a running sum of the products
 *    with the alternation removed grows only on a preamble. It is compared with a
 *    threshold that follows the noise floor (the median over the bins). Detections
 *    of one frame in neighbouring bins and hops are merged into one candidate.
 *    Before a candidate costs a demodulation, it is checked against the frames
 *    already decoded, which tell what they raise in the banks: the same frame
 *    seen from a neighbouring bin (correlating well under what the frame gives on
 *    its carrier, at its start or, from a preamble's first few bits, up to twenty
 *    bits before it; such an early detection waits for the stronger one to be
 *    decoded first), and a 600 bit/s frame seen by the 100 bit/s bank (no
 *    stronger than a 100 bit/s frame of its energy per bit, within 600 Hz of it).
 *    A real frame that weak there would meet the other's power in its own band
 *    and fail anyway.
 * 3. Extraction. Once the longest frame could be complete, the candidate's stretch
 *    of raw samples (kept in a ring) is mixed to baseband at its bin frequency and
 *    summed into sixteen slices per bit. A search over frequency (steps of a
 *    quarter of the bit rate up to 1.75 bit rates either side of the bin, since a
 *    frame's strongest detection need not be in its nearest bin), over timing (a
 *    sixteenth of a bit, three bits either side) and over the 18 frame type
 *    patterns maximises the correlation with the known header bits; that
 *    correlation's angle gives the residual frequency and the sense of
 *    differential encoding the transmitter used. At 100 bit/s a carrier stepping
 *    by half the bit rate during the preamble breaks its correlation in two and
 *    the detection comes several bits late: a candidate whose search came close
 *    without a header holding is searched once more six bits earlier.
 * 4. Demodulation. The slices are derotated by the estimated frequency and summed
 *    over each bit at the found timing (the matched filter); each bit is decided
 *    differentially, and the coded bits go through the same de-multiplexing and
 *    16-bit frame check as libvdem (the decoder's own source is compiled in).
 * 5. Measurement. With all bits known, the whole frame is data-aided: the carrier
 *    and timing with the most power through the matched filter (which settles a
 *    carrier half the bit rate away, indistinguishable by the decisions alone),
 *    frequency from the mean rotation per bit, rssi from the coherent amplitude,
 *    snr (Eb/N0 of the frame, at most 50 dB) from what is left after removing the
 *    signal.
 * 6. Cancellation. A decoded frame strong enough for its spectrum to bury others
 *    (rectangular symbols leak as 1/f^2: a frame 30 dB over another 17 bit rates
 *    away still drowns it) is rebuilt from its bits at the sample rate, with its
 *    timing refined to the sample and carrier, amplitude and phase fitted by least
 *    squares, and subtracted from the sample ring when the fit accounts for most of
 *    the energy over its span. Detections that its side lobes could explain are
 *    not dropped but wait for it; once it is subtracted they are re-tested on the
 *    cleaned samples (the preamble correlation again) and demodulated if they
 *    pass. Candidates are demodulated strongest first, and a weaker one waits for
 *    a stronger frame starting shortly after it, so the weak see the ring without
 *    the strong. A candidate is demodulated once the longest frame could be
 *    complete, but one that a weaker waits for has its header searched as soon as
 *    the header is in: its frame type gives its real length, it is taken once that
 *    much is in, and the weaker may wait for it as long as it is still reported in
 *    time (up to about 120 bits after its own start for the shortest frames). The
 *    search's result is kept for the full demodulation; what such an early frame
 *    may have buried and is detected after it is re-tested as above. When a weak
 *    frame's report is due while the strong frame is still coming in (the longest
 *    frames, starting some 30 bits after it), the strong frame's symbols that are
 *    in are decided from its header's fix (certain at the levels where its side
 *    lobes matter), fitted and taken out of the ring as a whole frame would be;
 *    the weak frame is demodulated, and the ring is put back to the sample, so the
 *    strong frame is found, measured and cancelled later as ever.
 * 7. Reporting. Frames of one transmission found in several bins or by several
 *    candidates are reported once (same rate, type and bytes within four bits of
 *    each other). A frame is held until the bit period in which libvdem would
 *    report it (249 bits after its first symbol), so sampleTimeStamp is the sample
 *    counter after the posted packet in which that bit ends, as libvdem counts it.
 *
 * 8. Repetition combining (on unless vchan_set_combining() turns it off). A device
 *    sends every message three times, as repetitions 1, 2 and 3 of its frame type,
 *    one after the other, each on a carrier of its own: repetition 1 carries the
 *    message bits o(n), 2 o(n) + o(n-1) + o(n-2), 3 o(n) + o(n-2) (modulo 2), one
 *    rate-1/3 convolutional code of 4 states and free distance 6 spread over three
 *    frames. Every frame that reaches demodulation is kept for the seconds a message
 *    can take (three of the longest frames and two gaps of up to 2 s; 256 frames a
 *    rate at most, the oldest going first), decoded or not, and each new one is
 *    decoded together with the stored repetitions of its message:
 *    - What is kept: the matched filter's output per symbol, at the carrier (of the
 *      three half a bit rate apart) and timing (within half a bit) with the most power
 *      through it, from ten bits before the header's fix to three after the longest
 *      frame; of a frame decoded alone, its code bits. The frame's residual carrier
 *      comes from where the spectrum of its symbols' squares peaks (the bits do not
 *      change it), each symbol's phase reference from the mean of the squares over
 *      24 symbols either side, and the header is found again against that reference,
 *      coherently: at low Eb/N0 the differential search takes an alignment up to ten
 *      bits late now and then, with the type that fits it. The soft values are each
 *      symbol's real part against its reference, weighted as log-likelihood ratios.
 *      Why coherent: with ideal timing and frequency a joint decoder on differential
 *      soft values loses 10 % of messages at 2.7 dB Eb/N0 per repetition (8 bytes) and
 *      3.1 dB (20 bytes); with each repetition's phase tracked this way, at about
 *      0.3 and 0.2 dB, 0.5 to 1.3 dB from the phase known (bench/results/vchan_combine.md).
 *    - Joint decoding: a Viterbi search over the code's 4 states times each
 *      repetition's symbol sign (32 states for three, 16 for two), the header's known
 *      symbols anchoring each sign; a slip of a phase reference by half a turn costs
 *      one code bit. The result must pass the 16-bit frame check, and each repetition
 *      must agree with it by 6 standard deviations of noise.
 *    - Pairing, without trying every combination: a new frame is compared only with
 *      the stored frames that can be another repetition of its message (the same
 *      length and band, another repetition number, in order, within the gaps), and
 *      each such pair is scored by the parity checks that tie their code bits (c_b
 *      times a's polynomial equals c_a times b's), in standard deviations above what
 *      two unrelated frames give: one pass over the bits per pair. The best of each
 *      other repetition number over 3 (noise passes once in 740) joins; the set is
 *      decoded once, and the new frame with its best partner alone if the three fail.
 *      A partner decoded alone, or already part of a combined message, means the
 *      message was received: nothing is tried.
 *    - Deeper detection: bins between a lower threshold (16 instead of 20) and the
 *      threshold are tracked apart from the others, and such a detection is kept
 *      only for combining. It is never demodulated as a candidate, merged with one
 *      or waited for, so nothing the receiver reports alone changes. Noise raises
 *      some 30 of them a second per rate; their header is tested first on the
 *      bank's own outputs (kept for 64 bits): the differential correlation of the
 *      known bits and the best frame type, over alignments within two bits and the
 *      bins either side, must reach 30 noise units (a frame at 3 dB gives about
 *      50, noise passes about twice a second). Those that pass are searched and
 *      kept as any frame, with looser header tests (correlation 0.4 of the header's
 *      energy, at most 4 wrong pattern bits and 10 wrong header bits).
 *    - False reports: combining adds no report of a frame alone; a combined one needs
 *      pairs scored 3 deviations over chance, each repetition 6 deviations in
 *      agreement and the frame check (one in 65536), and there are at most two
 *      decodes per new frame, so noise would make about one a year (48 hours of
 *      noise at both rates gave none, bench/results/vchan_combine.md).
 *    - Reports: a frame decoded alone is reported as ever. A message only combining
 *      recovers is reported once, in the packet in which libvdem would have reported
 *      the last repetition used (249 bits after its first symbol), with its bytes,
 *      the frame type, tid and ack of its first repetition used and the freq, rssi
 *      and snr of the strongest; vchan_get_frame_combined() tells which repetitions
 *      went into it. A message reported in the last few seconds (alone or combined)
 *      is not reported again by combining.
 *
 * Both rates have their own bank and candidates over one sample ring; every frame
 * in flight has its own candidate and state. Everything is allocated by
 * vchan_new() (which, like the rest of the library built without exceptions,
 * aborts when memory runs out); posting allocates nothing.
 *
 * The FFT comes from a library, by default under terms that keep the project's
 * libraries usable under the LGPL: libavutil's transforms (LGPL-2.1-or-later),
 * whose SIMD code runs the banks' sizes about six times faster than KissFFT, when
 * the build finds them; KissFFT (BSD, needs only libc) otherwise, or when the build
 * is told to (VEK_VCHAN_FFT). The build may be told to take FFTW instead, whose GPL
 * then covers this library and what links it. All give the same transform up to
 * rounding.
 *
 * A receiver is not thread-safe, but separate receivers are independent. Frame and
 * RF-saturation reports are delivered synchronously from inside
 * vchan_post_iq_packet(); the records live only for the duration of the call, and
 * callbacks must not free the receiver.
 *
 * This header is plain C (C11) and compiles as C++ too. */
#ifndef VCHAN_VCHAN_H
#define VCHAN_VCHAN_H

#include <stdint.h>
#include <vchan/vchan-export.h>
#include <vdem/vdem.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bit rates to receive (vchan_config_t.rates), alone or together. */
#define VCHAN_RATE_100BPS 1u
#define VCHAN_RATE_600BPS 2u

typedef struct {
    uint32_t rates; /* VCHAN_RATE_100BPS, VCHAN_RATE_600BPS or both */
    float int_gain; /* receive chain gain in dB, 0 or more, subtracted from rssi */
} vchan_config_t;

/* Results of vchan_new(). */
typedef enum {
    VCHAN_OK = 0,
    VCHAN_NEGATIVE_INT_GAIN = 1,
    VCHAN_UNSUPPORTED_BITRATE = 2,
    VCHAN_INTERNAL_ERROR = 3 /* a missing argument, or the FFT could not be set up */
} vchan_code_t;

/* Results of vchan_post_iq_packet() and of the registrations. */
#define VCHAN_POST_OK 0
#define VCHAN_POST_INVALID 1
#define VCHAN_CB_REGISTER_OK 0
#define VCHAN_CB_REGISTER_WRONG_POINTER 1

typedef struct vchan_receiver vchan_receiver_t;

/* Creates a receiver with its sample counter at 0 into *receiver; returns a
 * vchan_code_t value (*receiver is NULL on failure). */
VCHAN_EXPORT int32_t vchan_new(const vchan_config_t *config, vchan_receiver_t **receiver);
VCHAN_EXPORT void vchan_free(vchan_receiver_t *receiver);

VCHAN_EXPORT void vchan_get_version(vdem_interface_version_t *version);

/* The packet size that libvdem would use at the receiver's slowest rate (15360 with
 * 100 bit/s, else 2560). Any size is accepted; posting this size gives the same
 * sampleTimeStamp values as libvdem. */
VCHAN_EXPORT int32_t vchan_get_iq_packet_size(const vchan_receiver_t *receiver);

/* Processes nbSamples interleaved I/Q pairs (signed 16-bit, in-phase first) and
 * advances the sample counter by nbSamples. Returns VCHAN_POST_INVALID for a NULL
 * receiver or buffer or a negative count. */
VCHAN_EXPORT int32_t vchan_post_iq_packet(vchan_receiver_t *receiver, const short *samplebuf,
                                          int nbSamples);

/* Registration stores (ptr, userdata); a NULL ptr stops the reports and returns
 * VCHAN_CB_REGISTER_WRONG_POINTER. */
VCHAN_EXPORT int32_t vchan_cb_register_fdata_exit_fct(vchan_receiver_t *receiver,
                                                      fdata_exit_fct_ptr ptr, const void *userdata);
/* Inside the frame callback: the bit rate (100 or 600) of the frame being
 * reported, which the shared record does not carry. 0 elsewhere. */
VCHAN_EXPORT uint32_t vchan_get_frame_bit_rate(const vchan_receiver_t *receiver);

/* Inside the frame callback: for a message that only repetition combining
 * recovered, the repetitions that went into it, bit n - 1 for repetition n (0x5
 * for repetitions 1 and 3); 0 for a frame decoded on its own, and elsewhere. */
VCHAN_EXPORT uint32_t vchan_get_frame_combined(const vchan_receiver_t *receiver);

/* Repetition combining is on when a receiver is made; @enabled 0 turns it off (and
 * forgets what it kept), anything else on again. Returns VCHAN_POST_INVALID for a
 * NULL receiver, VCHAN_POST_OK otherwise. */
VCHAN_EXPORT int32_t vchan_set_combining(vchan_receiver_t *receiver, int32_t enabled);

/* RF saturation: reported for every 320 samples whose mean power, minus int_gain,
 * is above -8 dB, with the sample counter at their end. */
VCHAN_EXPORT int32_t vchan_cb_register_rfsat_exit_fct(vchan_receiver_t *receiver,
                                                      rfsat_exit_fct_ptr ptr, const void *userdata);

#ifdef __cplusplus
}
#endif

#endif /* VCHAN_VCHAN_H */
