/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A minimal uplink transmitter for the demodulator's own tests: rectangular
 * differential BPSK on a continuous carrier, as the devices send it. */
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vdem_test
{

constexpr int kSampleRate = 192000;

struct FrameType {
    uint16_t pattern;
    int covered; /* bytes covered by the CRC-16 */
    int seq;     /* repetition 1..3 */
    int oob;
};

/* The 18 uplink frame types, in the receiver's table order. */
extern const FrameType kFrameTypes[18];

struct TxFrame {
    int type = 0;                 /* index into kFrameTypes */
    std::vector<uint8_t> covered; /* kFrameTypes[type].covered bytes */
    int64_t start_sample = 0;     /* first sample of the preamble */
    double freq_hz = 0;           /* carrier offset */
    double amplitude = 1000;      /* peak value of I and Q together */
    double phase = 0.3;           /* carrier phase at start_sample */
    bool inverted = false;        /* opposite differential convention */
    int flip_bit = -1;            /* coded data bit to corrupt, -1 for none */
};

uint16_t crc16(const uint8_t *data, size_t len);

/* Bits of a frame in the receiver's decision domain: 20 alternating bits,
 * the 7 lock bits, the 13-bit type pattern and the coded data bits. */
std::vector<uint8_t> frame_decisions(const TxFrame &frame);

/* The frame's data bytes as sent (after the repetition's coding): the
 * receiver takes tid and ack from these, not from the covered bytes. */
std::vector<uint8_t> coded_bytes(const TxFrame &frame);

/* Bit periods a frame occupies on the air (reference symbol included). */
int frame_bit_periods(const TxFrame &frame);

/* Renders the frames into interleaved I/Q of total_samples samples, with
 * Gaussian noise of standard deviation noise_sigma per component. */
std::vector<int16_t> render(int bitrate, int64_t total_samples, const std::vector<TxFrame> &frames,
                            double noise_sigma = 0, uint32_t seed = 1);

/* Covered bytes for a frame type: a fixed pattern with the given
 * transmitter id in bytes 2..5 and the ack flag in bit 4 of byte 0. */
std::vector<uint8_t> make_payload(int covered, uint32_t tid, bool ack, uint8_t salt);

} // namespace vdem_test
