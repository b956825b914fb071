/* SPDX-License-Identifier: LGPL-2.1-or-later */
#include "vdem_test_signal.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace vdem_test
{

const FrameType kFrameTypes[18] = {
    {0x06B, 8, 1, 0},  {0x6E0, 8, 2, 0},  {0x034, 8, 3, 0},   {0x08D, 9, 1, 0},  {0x0D2, 9, 2, 0},
    {0x302, 9, 3, 0},  {0x35F, 12, 1, 0}, {0x598, 12, 2, 0},  {0x5A3, 12, 3, 0}, {0x611, 16, 1, 0},
    {0x6BF, 16, 2, 0}, {0x72C, 16, 3, 0}, {0x94C, 20, 1, 0},  {0x971, 20, 2, 0}, {0x997, 20, 3, 0},
    {0xF67, 16, 1, 1}, {0xFC9, 16, 2, 1}, {0x11BE, 16, 3, 1},
};

uint16_t crc16(const uint8_t *data, size_t len)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < len; i++) {
        crc ^= (uint16_t)(data[i] << 8);
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return (uint16_t)~crc;
}

std::vector<uint8_t> frame_decisions(const TxFrame &frame)
{
    const FrameType &type = kFrameTypes[frame.type];
    std::vector<uint8_t> bits;
    for (int i = 0; i < 20; i++)
        bits.push_back(i % 2 == 0 ? 1 : 0);
    for (uint8_t b : {1, 1, 0, 0, 1, 1, 1})
        bits.push_back(b);
    for (int i = 12; i >= 0; i--)
        bits.push_back((type.pattern >> i) & 1);

    std::vector<uint8_t> bytes = frame.covered;
    bytes.resize(type.covered);
    uint16_t crc = crc16(bytes.data(), bytes.size());
    bytes.push_back(crc >> 8);
    bytes.push_back(crc & 0xFF);

    /* The receiver undoes out(n) = c(n) ^ p1 out(n-1) ^ p2 out(n-2). */
    int p1 = type.seq == 2 ? 1 : 0;
    int p2 = type.seq == 1 ? 0 : 1;
    int o1 = 0, o2 = 0;
    int n = 0;
    for (uint8_t byte : bytes) {
        for (int b = 7; b >= 0; b--) {
            int o = (byte >> b) & 1;
            int c = o ^ (p1 & o1) ^ (p2 & o2);
            o2 = o1;
            o1 = o;
            if (n++ == frame.flip_bit)
                c ^= 1;
            bits.push_back((uint8_t)c);
        }
    }
    return bits;
}

std::vector<uint8_t> coded_bytes(const TxFrame &frame)
{
    std::vector<uint8_t> bits = frame_decisions(frame);
    std::vector<uint8_t> bytes;
    for (size_t i = 40; i + 8 <= bits.size(); i += 8) {
        uint8_t v = 0;
        for (size_t b = 0; b < 8; b++)
            v = (uint8_t)(v << 1 | bits[i + b]);
        bytes.push_back(v);
    }
    return bytes;
}

int frame_bit_periods(const TxFrame &frame)
{
    return (int)frame_decisions(frame).size() + 1;
}

std::vector<int16_t> render(int bitrate, int64_t total_samples, const std::vector<TxFrame> &frames,
                            double noise_sigma, uint32_t seed)
{
    std::vector<double> re(total_samples, 0.0), im(total_samples, 0.0);
    const int64_t bit_samples = kSampleRate / bitrate;
    for (const TxFrame &frame : frames) {
        std::vector<uint8_t> bits = frame_decisions(frame);
        std::vector<int> symbols{1};
        for (uint8_t b : bits) {
            bool keep = frame.inverted ? b == 0 : b == 1;
            symbols.push_back(keep ? symbols.back() : -symbols.back());
        }
        for (size_t s = 0; s < symbols.size(); s++) {
            for (int64_t k = 0; k < bit_samples; k++) {
                int64_t n = frame.start_sample + (int64_t)s * bit_samples + k;
                if (n < 0 || n >= total_samples)
                    continue;
                double t = (double)(n - frame.start_sample);
                double ph = 2 * M_PI * frame.freq_hz * t / kSampleRate + frame.phase;
                re[n] += frame.amplitude * symbols[s] * std::cos(ph);
                im[n] += frame.amplitude * symbols[s] * std::sin(ph);
            }
        }
    }
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, noise_sigma > 0 ? noise_sigma : 1.0);
    std::vector<int16_t> iq(2 * total_samples);
    auto to16 = [](double v) { return (int16_t)std::clamp(std::lround(v), -32768L, 32767L); };
    for (int64_t n = 0; n < total_samples; n++) {
        double nr = noise_sigma > 0 ? noise(rng) : 0.0;
        double ni = noise_sigma > 0 ? noise(rng) : 0.0;
        iq[2 * n] = to16(re[n] + nr);
        iq[2 * n + 1] = to16(im[n] + ni);
    }
    return iq;
}

std::vector<uint8_t> make_payload(int covered, uint32_t tid, bool ack, uint8_t salt)
{
    std::vector<uint8_t> bytes(covered);
    for (int i = 0; i < covered; i++)
        bytes[i] = (uint8_t)(0x5A ^ (i * 37) ^ salt);
    bytes[0] = (uint8_t)((bytes[0] & ~0x10) | (ack ? 0x10 : 0));
    bytes[2] = tid & 0xFF;
    bytes[3] = (tid >> 8) & 0xFF;
    bytes[4] = (tid >> 16) & 0xFF;
    bytes[5] = (tid >> 24) & 0xFF;
    return bytes;
}

} // namespace vdem_test
