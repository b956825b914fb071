/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The research behind repetition combining: messages lost against Eb/N0 per
 * repetition when the repetitions' soft values are decoded jointly, on seeded
 * symbols with ideal timing (bench/results/vchan_combine.md):
 *   vchan_combine_sim LEN N REPS EBN0...
 * LEN covered bytes, N messages a point, REPS which repetitions are sent (123, 12,
 * 13 or 23). Each repetition is vekgen's frame (header, code, differential
 * encoding), its symbols at a random phase and a residual carrier drawn as the
 * header search leaves it (0.02 cycles a symbol, the spread of a 40-bit fit at
 * 3 dB), in white Gaussian noise. Columns, % of messages lost:
 *   alone       some repetition decodes alone (differential decisions, frame check)
 *   diff joint  a 4-state Viterbi over the repetitions' differential soft values
 *               Re(y_k conj(y_k-1)), the carrier known
 *   known phase libvchan's joint decoder on coherent soft values, phase and
 *               carrier known
 *   combiner    libvchan's combiner as the receiver runs it: carrier from the
 *               squares, phase references, header realigned, pairing, joint
 *               decoding, the checks of a report; nothing known
 * Not part of ctest. */
#include "vchan_combine.h"
#include "vchan_joint.h"

#include <vekgen/vekgen.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace
{

using vchan::cf;

constexpr int kRate = 600;
constexpr double kResidualCycles = 0.02;

struct Repetition {
    VekgenFrame frame;
    int row;
    std::vector<cf> y; /* symbols, reference symbol first */
    double phase, cycles;
};

int row_of(const VekgenFrame &f)
{
    const VekgenFrameType *type = vekgen_frame_get_type(&f);
    guint n = 0;
    const VekgenFrameType *types = vekgen_frame_types(&n);
    return int(type - types);
}

/* Differential hard decisions, the repetition's code undone, the check. */
bool alone(const Repetition &r, const guint8 *message)
{
    const int nb = 8 * (r.frame.covered_len + 2);
    guint8 coded[VEKGEN_MAX_COVERED + 2] = {}, plain[VEKGEN_MAX_COVERED + 2] = {};
    for (int i = 0; i < nb; i++) {
        const cf d = r.y[size_t(41 + i)] * std::conj(r.y[size_t(40 + i)]);
        const bool one = (d.real() > 0.f) != (r.frame.inverted != FALSE);
        coded[i / 8] = guint8(coded[i / 8] << 1 | (one ? 1 : 0));
    }
    int o1 = 0, o2 = 0;
    for (int i = 0; i < nb; i++) {
        const int c = (coded[i / 8] >> (7 - i % 8)) & 1;
        const int o = r.frame.repetition == 1 ? c : r.frame.repetition == 2 ? c ^ o1 ^ o2 : c ^ o2;
        plain[i / 8] = guint8(plain[i / 8] << 1 | o);
        o2 = o1;
        o1 = o;
    }
    return memcmp(plain, message, size_t(r.frame.covered_len) + 2) == 0;
}

/* The 4-state Viterbi over differential soft values, each repetition's carrier
 * known (its decisions turned back). */
bool differential_joint(const std::vector<Repetition> &reps, const guint8 *message)
{
    const int nb = 8 * (reps[0].frame.covered_len + 2);
    std::vector<std::vector<float>> soft;
    for (const auto &r : reps) {
        std::vector<float> s;
        const cf turn = std::polar(1.f, float(-2.0 * M_PI * r.cycles));
        for (int i = 0; i < nb; i++) {
            const cf d = r.y[size_t(41 + i)] * std::conj(r.y[size_t(40 + i)]) * turn;
            s.push_back(r.frame.inverted ? -d.real() : d.real());
        }
        soft.push_back(s);
    }
    float metric[4] = {0.f, -1e30f, -1e30f, -1e30f};
    std::vector<std::array<uint8_t, 4>> from;
    from.resize(size_t(nb));
    for (int i = 0; i < nb; i++) {
        float next[4] = {-1e30f, -1e30f, -1e30f, -1e30f};
        for (int s = 0; s < 4; s++)
            for (int u = 0; u < 2; u++) {
                const int u1 = s & 1, u2 = s >> 1;
                float m = metric[s];
                for (size_t r = 0; r < reps.size(); r++) {
                    const int seq = reps[r].frame.repetition;
                    const int c = seq == 1 ? u : seq == 2 ? u ^ u1 ^ u2 : u ^ u2;
                    m += c ? soft[r][size_t(i)] : -soft[r][size_t(i)];
                }
                const int t = u | u1 << 1;
                if (m > next[t]) {
                    next[t] = m;
                    from[size_t(i)][size_t(t)] = uint8_t(s);
                }
            }
        memcpy(metric, next, sizeof metric);
    }
    int s = 0;
    for (int t = 1; t < 4; t++)
        if (metric[t] > metric[s])
            s = t;
    guint8 plain[VEKGEN_MAX_COVERED + 2] = {};
    for (int i = nb - 1; i >= 0; i--) {
        plain[i / 8] |= guint8((s & 1) << (7 - i % 8));
        s = from[size_t(i)][size_t(s)];
    }
    return memcmp(plain, message, size_t(nb / 8)) == 0;
}

bool known_phase(vchan::JointDecoder &joint, const std::vector<Repetition> &reps, float sigma,
                 const guint8 *message)
{
    std::vector<std::vector<float>> values;
    std::vector<vchan::SoftStream> streams;
    for (const auto &r : reps) {
        std::vector<float> v;
        for (size_t k = 0; k < r.y.size(); k++) {
            const cf back = std::polar(1.f, float(-r.phase - 2.0 * M_PI * r.cycles * double(k)));
            v.push_back((r.y[k] * back).real() / sigma);
        }
        values.push_back(v);
        streams.push_back(vchan::SoftStream{nullptr, 2.f / sigma, int(r.frame.repetition), r.row,
                                            r.frame.inverted ? -1.f : 1.f});
    }
    for (size_t i = 0; i < reps.size(); i++)
        streams[i].value = values[i].data();
    const int coded = reps[0].frame.covered_len + 2;
    uint8_t bits[8 * (VEKGEN_MAX_COVERED + 2)], out[VEKGEN_MAX_COVERED + 2];
    joint.decode(streams.data(), int(streams.size()), coded, bits);
    return vchan::JointDecoder::check(bits, coded, out) && memcmp(out, message, size_t(coded)) == 0;
}

/* Through the combiner, as the receiver hands frames to it: the symbols around
 * each frame are noise, as the ring holds. */
bool combined(const std::vector<Repetition> &reps, std::mt19937 &rng, float sigma,
              const guint8 *message)
{
    vchan::Combiner combiner(kRate, 0.f);
    std::normal_distribution<float> noise(0.f, sigma);
    const int64_t bit = vchan::samples_per_bit(kRate);
    bool found = false;
    for (const auto &r : reps) {
        /* Repetition n's place in time, whichever others are sent. */
        const int64_t at =
            100000 + int64_t(r.frame.repetition - 1) * (int64_t(r.y.size()) + 200) * bit;
        vchan::SoftFrame f{};
        for (int j = 0; j < vchan::kSoftSymbols; j++) {
            const int k = j - vchan::kSoftLead;
            f.y[j] = cf(noise(rng), noise(rng));
            if (k >= 0 && size_t(k) < r.y.size())
                f.y[j] = r.y[size_t(k)];
        }
        f.first = 0;
        f.last = vchan::kSoftSymbols;
        f.start = at;
        f.carrier = 0.0;
        f.noise = 2.f * sigma * sigma;
        f.row = r.row;
        f.symbols = int(r.y.size());
        f.polarity = r.frame.inverted ? -1.f : 1.f;
        f.valid = true;
        vchan::Combined out;
        if (combiner.add(f, uint64_t(at), out))
            found = found ||
                    memcmp(out.frame.record.frame, message, size_t(r.frame.covered_len) + 2) == 0;
    }
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s LEN N REPS EBN0...\n", argv[0]);
        return 2;
    }
    const guint len = guint(atoi(argv[1]));
    const int n = atoi(argv[2]);
    const std::string sent = argv[3];
    printf(
        "| len | repetitions | Eb/N0 dB | messages | alone %% | diff joint %% | known phase %% | "
        "combiner %% |\n|---:|---|---:|---:|---:|---:|---:|---:|\n");
    vchan::JointDecoder joint;
    for (int a = 4; a < argc; a++) {
        const double ebn0 = atof(argv[a]);
        std::mt19937 rng(unsigned(1000 + len * 10 + std::lround(ebn0 * 10)));
        std::normal_distribution<float> unit(0.f, 1.f);
        std::uniform_real_distribution<double> angle(-M_PI, M_PI);
        /* Symbols of amplitude 1, noise of power 1 / (Es/N0) per symbol. */
        const float sigma = float(std::sqrt(0.5 / std::pow(10.0, ebn0 / 10.0)));
        int lost[4] = {};
        for (int m = 0; m < n; m++) {
            VekgenFrame f;
            vekgen_frame_init(&f);
            f.covered_len = guint8(len);
            for (guint i = 0; i < len; i++)
                f.bytes[i] = guint8(rng());
            f.inverted = rng() & 1;
            guint8 message[VEKGEN_MAX_COVERED + 2];
            vekgen_frame_message(&f, message);
            std::vector<Repetition> reps;
            for (char c : sent) {
                Repetition r;
                r.frame = f;
                r.frame.repetition = guint8(c - '0');
                r.row = row_of(r.frame);
                r.phase = angle(rng);
                r.cycles = kResidualCycles * unit(rng);
                guint8 bits[VEKGEN_HEADER_BITS + 8 * (VEKGEN_MAX_COVERED + 2)];
                const guint nbits = vekgen_frame_bits(&r.frame, bits);
                float s = 1.f;
                for (guint k = 0; k <= nbits; k++) {
                    if (k > 0)
                        s *= (bits[k - 1] != 0) != (f.inverted != FALSE) ? 1.f : -1.f;
                    const cf carrier =
                        std::polar(1.f, float(r.phase + 2.0 * M_PI * r.cycles * double(k)));
                    r.y.push_back(s * carrier + cf(sigma * unit(rng), sigma * unit(rng)));
                }
                reps.push_back(r);
            }
            bool any = false;
            for (const auto &r : reps)
                any = any || alone(r, message);
            lost[0] += !any;
            lost[1] += !differential_joint(reps, message);
            lost[2] += !known_phase(joint, reps, sigma, message);
            lost[3] += !combined(reps, rng, sigma, message);
        }
        printf("| %u | %s | %.1f | %d | %.1f | %.1f | %.1f | %.1f |\n", len, sent.c_str(), ebn0, n,
               100.0 * lost[0] / n, 100.0 * lost[1] / n, 100.0 * lost[2] / n, 100.0 * lost[3] / n);
        fflush(stdout);
    }
    return 0;
}
