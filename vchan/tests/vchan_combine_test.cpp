/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Repetition combining from the library's sources: the joint decoder against a
 * plain reference on seeded soft values, and the combiner's store.
 *
 * The reference decides the message by trying every one (messages of two coded
 * bytes, 65536 of them), with the code and differential encoding written out here
 * from their definitions: repetition 1 sends o(n), 2 o(n) + o(n-1) + o(n-2), 3
 * o(n) + o(n-2); a symbol keeps its sign for a 1 (times the sense). Each
 * repetition's sign is free, so a message scores the sum over repetitions of
 * |correlation|: the Viterbi search must find the same maximum. */
#include "vchan_combine.h"
#include "vchan_joint.h"
#include "vdem_decod_v1.h"

#include <vekgen/vekgen.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace
{

using vchan::kHeaderBits;

/* The symbols of repetition @seq carrying @bits (n of them) after the header of
 * frame type @row, from the reference symbol (+1) on. */
std::vector<float> reference_signs(int seq, int row, float polarity, const std::vector<int> &bits)
{
    std::vector<int> line(vchan::kKnownHeader, vchan::kKnownHeader + vchan::kKnownBits);
    for (int i = 0; i < vchan::kPatternBits; i++)
        line.push_back((fstab[row].pattern >> (vchan::kPatternBits - 1 - i)) & 1);
    int o1 = 0, o2 = 0;
    for (int o : bits) {
        line.push_back(seq == 1 ? o : seq == 2 ? o ^ o1 ^ o2 : o ^ o2);
        o2 = o1;
        o1 = o;
    }
    std::vector<float> signs{1.f};
    for (int b : line)
        signs.push_back(signs.back() * (b ? 1.f : -1.f) * polarity);
    return signs;
}

/* A frame type of each repetition with the same length (8 bytes: rows 0, 1, 2). */
constexpr int kRows[3] = {0, 1, 2};

struct Trial {
    std::vector<std::vector<float>> values; /* per repetition */
    std::vector<vchan::SoftStream> streams;
};

/* Soft values of @bits sent as the repetitions @seqs at @snr (amplitude over the
 * noise's deviation), seeded; 0 gives noise alone. */
Trial make_trial(std::mt19937 &rng, const std::vector<int> &seqs, const std::vector<int> &bits,
                 float snr)
{
    std::normal_distribution<float> noise(0.f, 1.f);
    Trial t;
    for (int seq : seqs) {
        const float polarity = rng() & 1 ? 1.f : -1.f, sign = rng() & 1 ? 1.f : -1.f;
        std::vector<float> v;
        for (float s : reference_signs(seq, kRows[seq - 1], polarity, bits))
            v.push_back(snr * s * sign + noise(rng));
        t.values.push_back(v);
        t.streams.push_back(
            vchan::SoftStream{nullptr, 2.f * snr + 0.5f, seq, kRows[seq - 1], polarity});
    }
    for (size_t i = 0; i < seqs.size(); i++)
        t.streams[i].value = t.values[i].data();
    return t;
}

std::vector<int> exhaustive(const Trial &t, int n_bits)
{
    /* The header's part of each repetition's correlation is the same for every
     * message: worked out once, the rest per message. */
    std::vector<double> header;
    std::vector<float> last;
    for (const auto &s : t.streams) {
        const std::vector<float> signs = reference_signs(s.seq, s.row, s.polarity, {});
        double sum = 0.0;
        for (size_t k = 0; k < signs.size(); k++)
            sum += signs[k] * s.value[k];
        header.push_back(sum);
        last.push_back(signs.back());
    }
    double top = -1.0;
    uint32_t best = 0;
    for (uint32_t m = 0; m < (1u << n_bits); m++) {
        double score = 0.0;
        for (size_t r = 0; r < t.streams.size(); r++) {
            const auto &s = t.streams[r];
            float sign = last[r];
            double sum = header[r];
            int o1 = 0, o2 = 0;
            for (int i = 0; i < n_bits; i++) {
                const int o = (m >> (n_bits - 1 - i)) & 1;
                const int c = s.seq == 1 ? o : s.seq == 2 ? o ^ o1 ^ o2 : o ^ o2;
                o2 = o1;
                o1 = o;
                sign *= (c ? 1.f : -1.f) * s.polarity;
                sum += sign * s.value[1 + kHeaderBits + i];
            }
            score += s.weight * std::fabs(sum);
        }
        if (score > top) {
            top = score;
            best = m;
        }
    }
    std::vector<int> bits;
    for (int i = 0; i < n_bits; i++)
        bits.push_back((best >> (n_bits - 1 - i)) & 1);
    return bits;
}

/* Every set of repetitions the receiver may combine (and one alone), with signal
 * and with noise alone, 16 message bits: the search finds the most likely message. */
TEST(VchanJoint, FindsTheMostLikelyMessageAsAnExhaustiveSearchDoes)
{
    const std::vector<std::vector<int>> sets = {{1, 2, 3}, {1, 2}, {1, 3}, {2, 3}, {3, 1}, {2}};
    vchan::JointDecoder joint;
    std::mt19937 rng(20);
    for (const auto &seqs : sets) {
        for (float snr : {0.f, 0.6f}) {
            for (int trial = 0; trial < 3; trial++) {
                std::vector<int> sent(16);
                for (int &b : sent)
                    b = int(rng() & 1);
                const Trial t = make_trial(rng, seqs, sent, snr);
                uint8_t bits[16];
                joint.decode(t.streams.data(), int(seqs.size()), 2, bits);
                const std::vector<int> ml = exhaustive(t, 16);
                for (int i = 0; i < 16; i++)
                    ASSERT_EQ(bits[i], ml[size_t(i)])
                        << "repetitions " << seqs.size() << " snr " << snr << " bit " << i;
            }
        }
    }
}

/* The transmitter's own frames (vekgen codes them, not the code above), the phase
 * known: 20-byte messages that three repetitions at 3 dB Eb/N0 each, or any two at
 * 5 dB, carry with their check. Alone, a repetition at 3 dB gets 2 to 3 % of its bits
 * wrong and nearly always fails its check; in simulation the joint loss there is
 * under 0.1 %, and under 0.1 % for the weakest pair (1 and 2) at 5 dB. */
TEST(VchanJoint, DecodesTheTransmittersFramesTogether)
{
    vchan::JointDecoder joint;
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.f, 1.f);
    for (const std::vector<int> &seqs : {std::vector<int>{1, 2, 3}, {1, 2}, {1, 3}, {2, 3}}) {
        const float ebn0_db = seqs.size() == 3 ? 3.f : 5.f;
        const float snr = std::sqrt(2.f * std::pow(10.f, ebn0_db / 10.f));
        for (int trial = 0; trial < 10; trial++) {
            VekgenFrame f;
            vekgen_frame_init(&f);
            f.covered_len = 20;
            for (guint i = 0; i < 20; i++)
                f.bytes[i] = guint8(rng());
            f.inverted = rng() & 1;
            std::vector<std::vector<float>> values;
            std::vector<vchan::SoftStream> streams;
            for (int seq : seqs) {
                f.repetition = guint8(seq);
                guint8 bits[VEKGEN_HEADER_BITS + 8 * (VEKGEN_MAX_COVERED + 2)];
                const guint n = vekgen_frame_bits(&f, bits);
                std::vector<float> v{snr + noise(rng)};
                float s = 1.f;
                for (guint i = 0; i < n; i++) {
                    s *= (bits[i] != 0) != (f.inverted != FALSE) ? 1.f : -1.f;
                    v.push_back(snr * s + noise(rng));
                }
                values.push_back(v);
                const VekgenFrameType *type = vekgen_frame_get_type(&f);
                int row = 0;
                while (fstab[row].pattern != type->pattern)
                    row++;
                streams.push_back(
                    vchan::SoftStream{nullptr, 2.f * snr, seq, row, f.inverted ? -1.f : 1.f});
            }
            for (size_t i = 0; i < seqs.size(); i++)
                streams[i].value = values[i].data();
            uint8_t bits[8 * 22], message[22];
            joint.decode(streams.data(), int(seqs.size()), 22, bits);
            guint8 sent[VEKGEN_MAX_COVERED + 2];
            vekgen_frame_message(&f, sent);
            int wrong = 0;
            for (int i = 0; i < 176; i++)
                wrong += bits[i] != ((sent[i / 8] >> (7 - i % 8)) & 1);
            ASSERT_TRUE(vchan::JointDecoder::check(bits, 22, message))
                << "trial " << trial << " of " << seqs.size() << " " << seqs[0] << " wrong "
                << wrong;
            EXPECT_EQ(0, memcmp(message, sent, 22));
            for (const auto &s : streams)
                EXPECT_GT(vchan::JointDecoder::agreement(s, 22, bits), 20.f);
        }
    }
}

/* A frame for the combiner: noise alone (every one different), so that nothing pairs. */
vchan::SoftFrame noise_frame(std::mt19937 &rng, int64_t start, int row, double carrier = 1000.0)
{
    std::normal_distribution<float> noise(0.f, 1.f);
    vchan::SoftFrame f{};
    for (auto &y : f.y)
        y = vchan::cf(noise(rng), noise(rng));
    f.first = 0;
    f.last = vchan::kSoftSymbols;
    f.start = start;
    f.carrier = carrier;
    f.noise = 2.f;
    f.row = row;
    f.symbols = 1 + kHeaderBits + 8 * (fstab[row].frame_length - 5);
    f.polarity = 1.f;
    f.valid = true;
    return f;
}

/* However many frames come and however close, the store holds at most its capacity,
 * and forgets a frame once no repetition of its message can still come. */
TEST(VchanCombiner, StoreIsBoundedAndForgets)
{
    constexpr int kRate = 600;
    constexpr int64_t kBit = vchan::samples_per_bit(kRate);
    vchan::Combiner combiner(kRate, 0.f);
    ASSERT_TRUE(combiner.ok());
    std::mt19937 rng(3);
    vchan::Combined out;
    /* Two bits apart and 2 kHz apart in turn: each a frame of its own, all of them
     * within the time a message may take. */
    int64_t at = 0;
    for (size_t i = 0; i < 2 * vchan::kStoredFrames; i++) {
        at += 2 * kBit;
        EXPECT_FALSE(combiner.add(noise_frame(rng, at, int(i % 18), -90000.0 + 2000.0 * (i % 90)),
                                  uint64_t(at), out));
        ASSERT_LE(combiner.stored(), vchan::kStoredFrames);
    }
    EXPECT_EQ(combiner.stored(), vchan::kStoredFrames);
    /* Long after, one more frame: all the others are gone. */
    at += int64_t(10 * vchan::kMaxGapSeconds * vchan::kSampleRate);
    combiner.add(noise_frame(rng, at, 0), uint64_t(at), out);
    EXPECT_EQ(combiner.stored(), 1u);
}

} // namespace
