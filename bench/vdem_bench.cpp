/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Uplink demodulator speed.
 *
 * Real-time factor: seconds of signal processed per second of CPU, reported
 * as the "x_realtime" counter, on noise alone and with frames as dense as
 * the protocol allows (an 8-byte frame every 258 bit periods at 100 bit/s)
 * or one 20-byte frame a second at 600 bit/s, each in noise and without (a
 * noise-free signal is silent between its frames: the measurement windows
 * then end in exact zeros). Measurement: one frequency
 * and power measurement of a frame of 8 or 20 covered bytes at 100 bit/s.
 * The second argument selects the path: 1 optimised, 0 plain reference. */
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <vdem/vdem.h>

#include "vdem_process.h"
#include "vdem_receiver.h"
#include "vdem_test_signal.h"

using namespace vdem_test;

namespace
{

std::vector<int16_t> noise_signal(int64_t samples, double sigma, uint32_t seed)
{
    return render(100, samples, {}, sigma, seed);
}

/* Frames of the given type every `spacing` bit periods over `seconds`, in
 * white noise of standard deviation `sigma` per component (0: none). */
std::vector<int16_t> frame_signal(int rate, int type, int spacing, double seconds,
                                  double sigma = 20.0)
{
    const int64_t bit = kSampleRate / rate;
    const int64_t total = (int64_t)(seconds * kSampleRate);
    std::vector<TxFrame> frames;
    for (int i = 0;; i++) {
        TxFrame f;
        f.type = type;
        f.covered = make_payload(kFrameTypes[type].covered, 0x1000 + i, false, (uint8_t)i);
        f.start_sample = (10 + (int64_t)spacing * i) * bit + 13 * i;
        f.freq_hz = -80000.0 + 37000.0 * (i % 5) + 11 * i;
        f.amplitude = 2000;
        if (f.start_sample + (frame_bit_periods(f) + 260) * bit > total)
            break;
        frames.push_back(f);
    }
    return render(rate, total, frames, sigma, 5);
}

void run_chain(benchmark::State &state, int32_t bitrate, const std::vector<int16_t> &iq)
{
    vdem_process_set_fast_path(state.range(0) != 0);
    Reports reports;
    size_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        reports.frames.clear();
        int32_t packet = start(bitrate, 100.0f, &reports);
        state.ResumeTiming();
        post_all(iq, packet);
        frames = reports.frames.size();
    }
    VDEM_INTERFACE_terminate();
    vdem_process_set_fast_path(true);
    double seconds = (double)(iq.size() / 2) / kSampleRate;
    state.counters["x_realtime"] =
        benchmark::Counter(seconds * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["frames"] = (double)frames;
}

void BM_Noise100(benchmark::State &state)
{
    static const std::vector<int16_t> iq = noise_signal(20 * kSampleRate, 300.0, 1);
    run_chain(state, VDEM_INTERFACE_100BPS, iq);
}

void BM_Noise600(benchmark::State &state)
{
    static const std::vector<int16_t> iq = noise_signal(20 * kSampleRate, 300.0, 2);
    run_chain(state, VDEM_INTERFACE_600BPS, iq);
}

void BM_DensestFrames100(benchmark::State &state)
{
    static const std::vector<int16_t> iq = frame_signal(100, 0, 258, 26.0);
    run_chain(state, VDEM_INTERFACE_100BPS, iq);
}

void BM_FramePerSecond600(benchmark::State &state)
{
    static const std::vector<int16_t> iq = frame_signal(600, 12, 600, 20.0);
    run_chain(state, VDEM_INTERFACE_600BPS, iq);
}

void BM_DensestFrames100NoiseFree(benchmark::State &state)
{
    static const std::vector<int16_t> iq = frame_signal(100, 0, 258, 26.0, 0.0);
    run_chain(state, VDEM_INTERFACE_100BPS, iq);
}

void BM_FramePerSecond600NoiseFree(benchmark::State &state)
{
    static const std::vector<int16_t> iq = frame_signal(600, 12, 600, 20.0, 0.0);
    run_chain(state, VDEM_INTERFACE_600BPS, iq);
}

void BM_Measure100(benchmark::State &state)
{
    const int length = (int)state.range(0);
    vdem_interface_config_t config{VDEM_INTERFACE_100BPS, 0.0f};
    char msg[64];
    VDEM_INTERFACE_terminate();
    VDEM_INTERFACE_init(&config, msg);
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0.0, 30.0);
    int sym = 1;
    for (int n = 0; n < VDEM_PROCESS_RING; n++) {
        if (n % 1920 == 0 && (rng() & 1))
            sym = -sym;
        double ph = 2 * M_PI * 23456.0 * n / kSampleRate;
        vdem_process_data.freq_est_buffer[n] = {(float)(2000 * sym * std::cos(ph) + noise(rng)),
                                                (float)(2000 * sym * std::sin(ph) + noise(rng))};
    }
    vdem_process_data.freq_est_buffer_pos = 500000;
    vdem_process_set_fast_path(state.range(1) != 0);
    for (auto _ : state) {
        vdem_process_measure_frame(length);
        benchmark::DoNotOptimize(vdem_process_data.frameout);
    }
    vdem_process_set_fast_path(true);
    VDEM_INTERFACE_terminate();
}

} // namespace

BENCHMARK(BM_Noise100)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Noise600)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DensestFrames100)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramePerSecond600)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DensestFrames100NoiseFree)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramePerSecond600NoiseFree)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Measure100)
    ->Args({8, 1})
    ->Args({8, 0})
    ->Args({20, 1})
    ->Args({20, 0})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
