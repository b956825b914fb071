/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Real-time factor of the demodulator: seconds of signal processed per second of CPU
 * on one core, on noise alone and with frames as dense as the protocol allows, the
 * frames in noise or without it (a noise-free signal is silent between frames).
 * The signal is generated once per case and posted packet by packet in a loop; it is a
 * whole number of frame periods and packets long, so the loop joins seamlessly.
 * The counter "x_realtime" is the real-time factor; "frames" the frames reported per
 * pass, which shows that the frames were decoded and measured. */
#include "vekgen-decode.h"

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace
{

enum Load { kNoise = 0, kDensest8 = 1, kDensest20 = 2, kOnePerSecond20 = 3 };

struct Case {
    std::vector<gint16> iq;
    guint frames = 0;
};

/* Frames at 60 dB in noise at 30 dB: Eb/N0 of 62.8 dB (100 bit/s) or 55 dB (600 bit/s),
 * so every frame decodes and costs its measurement; or the same frames without noise. */
const Case &make_case(guint rate, Load load, bool noisy)
{
    static std::map<std::tuple<guint, int, bool>, Case> cache;
    auto key = std::make_tuple(rate, static_cast<int>(load), noisy);
    auto it = cache.find(key);
    if (it != cache.end())
        return it->second;
    const guint T = vekgen_samples_per_bit(rate);
    /* 4 periods of 258 bit periods make a whole number of 8-bit-period packets. */
    guint period_bits = VEKGEN_FRAME_SPACING_BITS;
    guint periods = 4;
    if (load == kOnePerSecond20) {
        period_bits = rate;
        periods = 1;
    }
    if (load == kNoise) {
        period_bits = 8 * 64;
        periods = rate == 100 ? 8 : 24;
    }
    const guint64 n = static_cast<guint64>(period_bits) * periods * T;
    g_autoptr(VekgenSignal) s = vekgen_signal_new(17, noisy ? 30.0 : -G_MAXDOUBLE);
    g_autoptr(GRand) rand = g_rand_new_with_seed(17);
    Case c;
    if (load != kNoise) {
        const guint len = load == kDensest8 ? 8 : 20;
        for (guint p = 0; p < periods; p++) {
            VekgenFrame f;
            vekgen_frame_init(&f);
            f.bit_rate = rate;
            f.covered_len = static_cast<guint8>(len);
            f.repetition = static_cast<guint8>(1 + p % 3);
            f.power_db = 60.0;
            f.offset_hz = g_rand_double_range(rand, -20000.0, 20000.0);
            f.phase = g_rand_double_range(rand, -G_PI, G_PI);
            f.start_sample = static_cast<guint64>(p) * period_bits * T;
            for (guint i = 0; i < len; i++)
                f.bytes[i] = static_cast<guint8>(g_rand_int_range(rand, 0, 256));
            vekgen_signal_add_frame(s, &f, nullptr);
        }
        c.frames = periods;
    }
    c.iq.resize(2 * n);
    vekgen_signal_fill(s, c.iq.data(), n);
    return cache.emplace(key, std::move(c)).first->second;
}

void BM_RealTimeFactor(benchmark::State &state)
{
    const guint rate = static_cast<guint>(state.range(0));
    const Load load = static_cast<Load>(state.range(1));
    const bool noisy = state.range(2) != 0;
    const Case &c = make_case(rate, load, noisy);
    vekgen::Decoder d(rate, 0.0f);
    if (!d.error().empty()) {
        state.SkipWithError(d.error().c_str());
        return;
    }
    const gsize P = d.packet_size();
    const gsize n_packets = c.iq.size() / 2 / P;
    /* One warm-up pass so that the receiver is in its steady state (timing locked on the
     * periodic frames) before timing starts. */
    for (gsize k = 0; k < n_packets; k++)
        d.post(c.iq.data() + 2 * k * P);
    d.clear_reports();
    guint64 passes = 0;
    for (auto _ : state) {
        for (gsize k = 0; k < n_packets; k++)
            d.post(c.iq.data() + 2 * k * P);
        passes++;
    }
    const double seconds = double(n_packets * P) / VEKGEN_SAMPLE_RATE;
    state.counters["x_realtime"] =
        benchmark::Counter(seconds * passes, benchmark::Counter::kIsRate);
    state.counters["frames"] = passes ? double(d.reports().size()) / passes : 0.0;
    state.counters["frames_sent"] = c.frames;
    const char *what = load == kNoise       ? "noise only"
                       : load == kDensest8  ? "densest 8-byte frames"
                       : load == kDensest20 ? "densest 20-byte frames"
                                            : "one 20-byte frame a second";
    state.SetLabel(load == kNoise || noisy ? what : std::string(what) + ", noise-free");
}

BENCHMARK(BM_RealTimeFactor)
    ->ArgNames({"rate", "load", "noise"})
    ->Args({100, kNoise, 1})
    ->Args({100, kDensest8, 1})
    ->Args({100, kDensest20, 1})
    ->Args({600, kNoise, 1})
    ->Args({600, kDensest8, 1})
    ->Args({600, kOnePerSecond20, 1})
    ->Args({100, kDensest8, 0})
    ->Args({100, kDensest20, 0})
    ->Args({600, kDensest8, 0})
    ->Args({600, kOnePerSecond20, 0})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
