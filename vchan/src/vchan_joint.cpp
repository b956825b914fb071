/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Joint decoding of a message's repetitions: a Viterbi search over the code's
 * 4 states times each repetition's symbol sign. */
#include "vchan_joint.h"

#include "vdem_decod_v1.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vchan
{

namespace
{
constexpr int kMaxStreams = 3;
constexpr int kMaxStates = 4 << kMaxStreams;
constexpr int kMaxCodedBits = 8 * kMaxCodedBytes;

/* The code bit of repetition @seq for the message bit @u after @u1 and @u2. */
inline int code_bit(int seq, int u, int u1, int u2)
{
    return seq == 1 ? u : seq == 2 ? u ^ u1 ^ u2 : u ^ u2;
}

} // namespace

/* A bit 1 keeps the sign (times the polarity). */
void header_signs(int row, float polarity, float *signs)
{
    signs[0] = 1.f;
    for (int i = 0; i < kHeaderBits; i++) {
        const int bit =
            i < kKnownBits ? kKnownHeader[i] : (fstab[row].pattern >> (kHeaderBits - 1 - i)) & 1;
        signs[i + 1] = signs[i] * (bit ? 1.f : -1.f) * polarity;
    }
}

void encode_repetition(int seq, const uint8_t *bits, int n, uint8_t *coded)
{
    int u1 = 0, u2 = 0;
    for (int i = 0; i < n; i++) {
        coded[i] = uint8_t(code_bit(seq, bits[i], u1, u2));
        u2 = u1;
        u1 = bits[i];
    }
}

JointDecoder::JointDecoder() : choices_(kMaxCodedBits) {}

void JointDecoder::decode(const SoftStream *streams, int n, int coded_bytes, uint8_t *bits)
{
    const int nb = 8 * coded_bytes;
    const int n_states = 4 << n;
    float metric[kMaxStates], next[kMaxStates];
    /* The header anchors each repetition's sign: the state's sign is that of the
     * last header symbol. */
    float anchor[kMaxStreams];
    for (int r = 0; r < n; r++) {
        float signs[1 + kHeaderBits];
        header_signs(streams[r].row, streams[r].polarity, signs);
        float sum = 0.f;
        for (int k = 0; k <= kHeaderBits; k++)
            sum += signs[k] * signs[kHeaderBits] * streams[r].value[k];
        anchor[r] = streams[r].weight * sum;
    }
    for (int s = 0; s < n_states; s++) {
        metric[s] = -INFINITY;
        if ((s & 3) != 0)
            continue;
        float m = 0.f;
        for (int r = 0; r < n; r++)
            m += (s >> (2 + r)) & 1 ? anchor[r] : -anchor[r];
        metric[s] = m;
    }
    /* Which of a state's signs flip on a step, per (u, u1, u2): a repetition's
     * symbol keeps its sign for a code bit 1 (times the polarity). */
    int flips[8];
    for (int v = 0; v < 8; v++) {
        flips[v] = 0;
        for (int r = 0; r < n; r++) {
            const int c = code_bit(streams[r].seq, v & 1, (v >> 1) & 1, (v >> 2) & 1);
            if ((c != 0) != (streams[r].polarity > 0.f))
                flips[v] |= 1 << r;
        }
    }
    const int n_signs = 1 << n;
    for (int i = 0; i < nb; i++) {
        const int k = 1 + kHeaderBits + i;
        /* The branch metric depends only on the signs reached. */
        float gain[1 << kMaxStreams];
        for (int g = 0; g < n_signs; g++) {
            float sum = 0.f;
            for (int r = 0; r < n; r++)
                sum += ((g >> r) & 1 ? 1.f : -1.f) * streams[r].weight * streams[r].value[k];
            gain[g] = sum;
        }
        uint32_t chosen = 0;
        for (int s = 0; s < n_states; s++) {
            const int u = s & 1, u1 = (s >> 1) & 1, g = s >> 2;
            /* Predecessors (u1, u2, signs before): u2 either way. */
            const int p0 = u1 | (g ^ flips[u | u1 << 1]) << 2;
            const int p1 = u1 | 2 | (g ^ flips[u | u1 << 1 | 4]) << 2;
            const bool second = metric[p1] > metric[p0];
            next[s] = (second ? metric[p1] : metric[p0]) + gain[g];
            chosen |= uint32_t(second) << s;
        }
        choices_[size_t(i)] = chosen;
        std::copy(next, next + n_states, metric);
    }
    int s = int(std::max_element(metric, metric + n_states) - metric);
    for (int i = nb - 1; i >= 0; i--) {
        const int u = s & 1, u1 = (s >> 1) & 1, u2 = int((choices_[size_t(i)] >> s) & 1);
        bits[i] = uint8_t(u);
        s = u1 | u2 << 1 | ((s >> 2) ^ flips[u | u1 << 1 | u2 << 2]) << 2;
    }
}

void JointDecoder::symbols(int seq, int row, float polarity, int coded_bytes, const uint8_t *bits,
                           float *signs)
{
    const int nb = 8 * coded_bytes;
    header_signs(row, polarity, signs);
    uint8_t coded[kMaxCodedBits];
    encode_repetition(seq, bits, nb, coded);
    for (int i = 0; i < nb; i++) {
        const int k = 1 + kHeaderBits + i;
        signs[k] = signs[k - 1] * (coded[i] ? 1.f : -1.f) * polarity;
    }
}

float JointDecoder::agreement(const SoftStream &s, int coded_bytes, const uint8_t *bits)
{
    float signs[kMaxSymbols];
    symbols(s.seq, s.row, s.polarity, coded_bytes, bits, signs);
    const int n = 1 + kHeaderBits + 8 * coded_bytes;
    float sum = 0.f;
    for (int k = 0; k < n; k++)
        sum += signs[k] * s.value[k];
    return std::fabs(sum) / std::sqrt(float(n));
}

bool JointDecoder::check(const uint8_t *bits, int coded_bytes, uint8_t *message)
{
    for (int i = 0; i < coded_bytes; i++) {
        uint8_t b = 0;
        for (int j = 0; j < 8; j++)
            b = uint8_t(b << 1 | bits[8 * i + j]);
        message[i] = b;
    }
    uint8_t demux[kMaxCodedBytes + 5];
    /* Repetition 1's de-multiplexing leaves the bytes as they are. */
    return process_demux_and_crc_check_v1(1, coded_bytes, coded_bytes + 5, message, demux) != 0;
}

} // namespace vchan
