/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What the station's waterfall costs beside its receiver: the spectrum lines
 * (tools/waterfall) and the receivers over the same signal, vekgen's default
 * scenario in noise, in thread CPU time (which the load of a shared machine
 * does not inflate as much as wall time). Each figure is the least of a few
 * runs. Usage: spectrum_cost [PASSES] (19.4 s of signal each, default 3). */
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <vector>

#include <spectrum.h>

#include "vekgen-decode.h"

namespace
{

double thread_cpu_s()
{
    struct timespec ts = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double least_of(int runs, const std::function<void()> &work)
{
    double best = 1e30;
    for (int r = 0; r < runs; r++) {
        const double t0 = thread_cpu_s();
        work();
        best = std::min(best, thread_cpu_s() - t0);
    }
    return best;
}

void post_all(vekgen::Receiver &rx, const std::vector<gint16> &iq, int passes)
{
    const gsize n = iq.size() / 2, packet = rx.packet_size();
    std::vector<gint16> last(2 * packet, 0);
    for (int p = 0; p < passes; p++)
        for (gsize at = 0; at < n; at += packet) {
            if (at + packet <= n) {
                rx.post(iq.data() + 2 * at);
            } else {
                std::copy(iq.begin() + 2 * at, iq.end(), last.begin());
                rx.post(last.data());
            }
        }
}

} // namespace

int main(int argc, char **argv)
{
    const int passes = argc > 1 ? std::atoi(argv[1]) : 3;
    VekgenSignal *signal = vekgen_signal_new_default_scenario(2026);
    const gsize n = static_cast<gsize>(vekgen_signal_get_end(signal));
    std::vector<gint16> iq(2 * n);
    vekgen_signal_fill(signal, iq.data(), n);
    vekgen_signal_free(signal);
    const double seconds = static_cast<double>(n) * passes / VEKGEN_SAMPLE_RATE;

    /* The spectrum as the station feeds it: every write (here 8192 samples). */
    guint64 lines = 0;
    const double spectrum_s = least_of(5, [&] {
        waterfall::Spectrum spectrum(98.0, [&](const waterfall::Line &) { lines++; });
        guint64 pos = 0;
        for (int p = 0; p < passes; p++)
            for (gsize at = 0; at < n; at += 8192) {
                const gsize take = std::min<gsize>(8192, n - at);
                spectrum.add(iq.data() + 2 * at, take, pos, 0);
                pos += take;
            }
        spectrum.flush();
    });
    lines /= 5;
    const double vchan_s = least_of(2, [&] {
        vekgen::ChannelDecoder rx(0, 98.0f);
        post_all(rx, iq, passes);
    });
    const double vchan600_s = least_of(2, [&] {
        vekgen::ChannelDecoder rx(600, 98.0f);
        post_all(rx, iq, passes);
    });
    const double vdem_s = least_of(2, [&] {
        vekgen::Decoder rx(100, 98.0f);
        post_all(rx, iq, passes);
    });

    std::printf("signal: %.1f s (vekgen's default scenario, %d passes); %llu waterfall lines "
                "(%u bins, %u blocks of %u samples a line)\n",
                seconds, passes, static_cast<unsigned long long>(lines), waterfall::kBins,
                waterfall::kBlocksPerLine, waterfall::kBins);
    std::printf(
        "| part | CPU (s) | of the signal's time | spectrum / part |\n|---|---:|---:|---:|\n");
    std::printf("| spectrum lines | %.4f | %.3f %% | |\n", spectrum_s, 100 * spectrum_s / seconds);
    const struct {
        const char *name;
        double s;
    } parts[] = {{"vchan, both rates (the station's default)", vchan_s},
                 {"vchan, 600 bit/s", vchan600_s},
                 {"vdem, 100 bit/s", vdem_s}};
    for (const auto &p : parts)
        std::printf("| %s | %.3f | %.2f %% | %.2f %% |\n", p.name, p.s, 100 * p.s / seconds,
                    100 * spectrum_s / p.s);
    return 0;
}
