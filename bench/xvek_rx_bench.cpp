/* SPDX-License-Identifier: GPL-2.0-or-later */
/* RX streaming through the device library against the emulated card.
 *
 * RxThroughput/fast_card:1: the card fills every bulk IN request at once, so the
 * figure is what the library's transfer pool and event thread can carry
 * (bytes_per_second, completions per second). RxThroughput/fast_card:0: the card
 * paces its stream at 192000 samples/s x 4 bytes = 0.768 MB/s, the real card's
 * rate, for comparison. RxStopLatency: time of xvek_rx_stop on a running
 * stream, from the call to the return (card stream off, transfers retired,
 * event thread joined). */
#include <atomic>
#include <chrono>

#include <benchmark/benchmark.h>
#include <glib.h>
#include <vekemu/vekemu.h>
#include <xvek/xvek.h>

namespace
{

constexpr double kCardRateBytesPerSecond = 192000.0 * 4;

struct Counter {
    std::atomic<guint64> bytes{0};
    std::atomic<guint64> calls{0};
    std::atomic<guint8> sink{0};

    static gboolean on_rx(VekDevice *, const guint8 *buffer, gsize length, gpointer data, GError **)
    {
        auto *self = static_cast<Counter *>(data);
        /* A consumer looks at the bytes; keep the read from being elided. */
        guint8 x = 0;
        for (gsize i = 0; i < length; i += 64)
            x ^= buffer[i];
        self->sink.fetch_xor(x, std::memory_order_relaxed);
        self->bytes.fetch_add(length, std::memory_order_relaxed);
        self->calls.fetch_add(1, std::memory_order_relaxed);
        return TRUE;
    }
};

struct OpenCard {
    VekemuBed *bed = vekemu_bed_get();
    VekDevice *dev = nullptr;

    bool open(benchmark::State &state, VekemuPacing pacing)
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        cfg.pacing = pacing;
        GError *err = nullptr;
        if (vekemu_add_card(bed, &cfg, &err) == nullptr ||
            !xvek_device_new_with_mode(0, XVEK_OPEN_MODE_NO_TX, &dev, &err) ||
            !xvek_rx_configure(dev, 100, 2, XVEK_STREAM_RATE_VAL192K, XVEK_STREAM_ACCESS_TYPE_RW,
                               XVEK_STREAM_BITWIDTH_VAL16, XVEK_STREAM_ENDIAN_LE,
                               XVEK_STREAM_NB_CHANNEL_VAL2, &err)) {
            state.SkipWithError(err != nullptr ? err->message : "open failed");
            g_clear_error(&err);
            return false;
        }
        return true;
    }

    ~OpenCard()
    {
        if (dev != nullptr)
            g_object_unref(dev);
        vekemu_bed_remove_all(bed);
    }
};

bool wait_bytes(Counter &c, guint64 target)
{
    gint64 deadline = g_get_monotonic_time() + 30 * G_USEC_PER_SEC;
    while (c.bytes.load(std::memory_order_relaxed) < target) {
        if (g_get_monotonic_time() > deadline)
            return false;
        g_usleep(200);
    }
    return true;
}

void RxThroughput(benchmark::State &state)
{
    const auto pacing = static_cast<VekemuPacing>(state.range(0));
    const guint64 chunk = static_cast<guint64>(state.range(1));
    OpenCard card;
    if (!card.open(state, pacing))
        return;
    Counter counter;
    GError *err = nullptr;
    if (!xvek_rx_start(card.dev, Counter::on_rx, &counter, nullptr, &err)) {
        state.SkipWithError(err->message);
        g_error_free(err);
        return;
    }
    /* Let the pool fill before measuring. */
    wait_bytes(counter, 16 * 8192);
    guint64 bytes0 = counter.bytes.load();
    guint64 calls0 = counter.calls.load();
    for (auto _ : state) {
        if (!wait_bytes(counter, counter.bytes.load() + chunk)) {
            state.SkipWithError("stream stalled");
            break;
        }
    }
    guint64 bytes = counter.bytes.load() - bytes0;
    guint64 calls = counter.calls.load() - calls0;
    xvek_rx_stop(card.dev, nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["completions_per_s"] =
        benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate);
    state.counters["card_real_rate_MBps"] = kCardRateBytesPerSecond / 1e6;
}
BENCHMARK(RxThroughput)
    ->ArgNames({"fast_card", "chunk"})
    ->Args({VEKEMU_PACING_FAST, 8 << 20})
    ->Args({VEKEMU_PACING_REALTIME, 768 * 1024})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void RxStopLatency(benchmark::State &state)
{
    OpenCard card;
    if (!card.open(state, VEKEMU_PACING_REALTIME))
        return;
    for (auto _ : state) {
        Counter counter;
        GError *err = nullptr;
        if (!xvek_rx_start(card.dev, Counter::on_rx, &counter, nullptr, &err)) {
            state.SkipWithError(err->message);
            g_error_free(err);
            break;
        }
        wait_bytes(counter, 4 * 8192);
        auto t0 = std::chrono::steady_clock::now();
        gboolean ok = xvek_rx_stop(card.dev, &err);
        auto t1 = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError(err->message);
            g_error_free(err);
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
}
BENCHMARK(RxStopLatency)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    /* The emulated card needs the umockdev preload library in this process:
     * re-executes the program under it when missing. */
    if (!vekemu_ensure_preload(argc, argv)) {
        fprintf(stderr, "xvek_rx_bench: cannot run under the umockdev preload library\n");
        return 77;
    }
    vekemu_bed_get();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
