/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Constants and small types shared by the receiver's parts. */
#pragma once

#include <complex>
#include <cstdint>

/* A per-bin loop worth a second build for AVX2, chosen when the library is loaded.
 * Without FMA, which would round the products differently from one machine to the
 * next: either build gives the same results to the bit. */
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) &&                  \
    !defined(__SANITIZE_THREAD__)
#define VCHAN_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
/* A per-sample loop of products summed, built again with fused products where the
 * machine has them (its file is compiled to contract a * b + c): the carriers'
 * subtraction, whose last bits then differ between the two builds. */
#define VCHAN_FUSED_CLONES __attribute__((target_clones("fma", "default")))
#else
#define VCHAN_VECTOR_CLONES
#define VCHAN_FUSED_CLONES
#endif

namespace vchan
{

using cf = std::complex<float>;

constexpr int kSampleRate = 192000;
/* Raw sample history: 2^19 samples (2.7 s) hold a whole 100 bit/s frame with the
 * margins of its timing search until it is demodulated. */
constexpr uint64_t kRingSize = uint64_t{1} << 19;
constexpr uint64_t kRingMask = kRingSize - 1;

/* Bits of the header before the coded bits: 20 alternating, 7 lock bits, 13 type. */
constexpr int kPreambleBits = 20;
constexpr int kKnownBits = 27;
constexpr int kPatternBits = 13;
constexpr int kHeaderBits = kKnownBits + kPatternBits;
/* The known header bits: 20 alternating starting with 1, then 1100111. */
inline constexpr uint8_t kKnownHeader[kKnownBits] = {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0,
                                                     1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 1, 1};
/* Longest frame on the air: reference symbol, header, 22 coded bytes. */
constexpr int kMaxCodedBytes = 22;
constexpr int kMaxSymbols = 1 + kHeaderBits + 8 * kMaxCodedBytes;
/* The shortest: 10 coded bytes. */
constexpr int kMinSymbols = 1 + kHeaderBits + 8 * 10;
/* The last sample a candidate's header search reads, in bits after its start: the
 * reference symbol, the header, and the three bits of the timing search. */
constexpr int kHeaderSearchBits = 1 + kHeaderBits + 3;
/* Bits after a frame's last symbol before all that its demodulation reads is in:
 * the timing search (three bits either side), and the hop on which it is taken. */
constexpr int kReadyMarginBits = 3 + 1;
/* The symbols after a frame of known length that are in too, for whether it ends
 * (no more than the longest frame's are). */
constexpr int kEndWindow = 8;
/* The symbols from a candidate's start that are in once it is ready (kReadyMarginBits
 * later): its frame's and the kEndWindow after it when its header gave the length
 * (@header_symbols), the longest frame's otherwise. */
constexpr int ready_symbols(int header_symbols)
{
    return header_symbols > 0 && header_symbols + kEndWindow < kMaxSymbols
               ? header_symbols + kEndWindow
               : kMaxSymbols;
}
/* libvdem reports a frame when the bit 249 bit periods after its first symbol has
 * been decided (41 symbols of header and 208 decisions). */
constexpr int kReportBits = 249;
/* The front end releases the ring this many samples behind the samples posted (its
 * blanker looks that far ahead): the banks, candidates and demodulators run that
 * far behind the reports, which follow the samples posted. */
constexpr int kFrontEndDelay = 80;
/* How long a ready candidate may wait for a stronger frame starting after it and
 * still be reported when libvdem would report it, in bits. */
constexpr int kWaitBits = kReportBits - kMaxSymbols - 4;
/* Share of a frame's preamble correlation on its carrier under which a detection
 * a bin or more away is taken for that frame seen from the neighbouring bin (the
 * nearest bin passes at most 0.8 dB less at 100 bit/s and 1.5 dB at 600 bit/s,
 * the next at least 3.4 and 6.6 dB less; this is -2.2 dB). */
constexpr double kNeighbourShare = 0.6;

/* What the header search of a candidate found, kept so that its frame's length is
 * known before all of it is in and the demodulation need not search again. Small,
 * as every candidate carries one: the residual carrier is kept as the frequency
 * step and the correlation's turn it comes from. */
struct HeaderFix {
    float turn = 0.f;    /* radians per bit at that step */
    int16_t symbols = 0; /* the frame's, from its type; 0: not searched, -1: no header */
    int8_t timing = 0;   /* in slices from three bits before the candidate's start */
    int8_t row = 0;      /* frame type */
    int8_t step = 0;     /* frequency step, in quarters of the bit rate */
    int8_t polarity = 0; /* sense of differential encoding, +1 or -1 */
};

/* One detection of a preamble: its estimated first sample and carrier. */
struct Candidate {
    int64_t start;
    double freq;
    float metric;           /* preamble correlation, in units of power */
    uint32_t id = 0;        /* given by the candidate list */
    uint32_t waits_for = 0; /* id of the candidate it last waited for, and where */
    uint32_t waits_at = 0;
    HeaderFix header{};   /* searched early, for a candidate that others wait for */
    bool done;            /* demodulated already */
    bool cleared = false; /* re-detected once a stronger frame was subtracted */
    bool failed = false;  /* demodulated and found no frame */
};

/* The samples per bit at @rate (100 or 600). */
constexpr int samples_per_bit(int rate)
{
    return kSampleRate / rate;
}

} // namespace vchan
