/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Receiver measurements from generated I/Q, printed as Markdown tables:
 *   fer    frame error rate against Eb/N0 at both rates, silent and noisy backgrounds
 *   floor  frames lost at high Eb/N0 with noise before the frames, many frames
 *   band   frequency and RSSI errors across the band, noise-free
 *   false  false reports over hours of noise alone
 * Run once from a Release build; the tables go to bench/results/. Not part of ctest. */
#include "vekgen-decode.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace
{

/* Full-band noise well inside the 16-bit range (sigma 2236 per component), so that
 * Eb/N0 from 0 to 40 dB needs no clipping. */
constexpr double kNoiseDb = 70.0;

double band_gain_db(guint rate)
{
    return 10.0 * std::log10(double(VEKGEN_SAMPLE_RATE) / rate);
}

double cpu_seconds()
{
    return static_cast<double>(clock()) / CLOCKS_PER_SEC;
}

VekgenFrame random_frame(GRand *rand, guint rate, double power_db, double max_offset)
{
    guint n_types = 0;
    const VekgenFrameType *types = vekgen_frame_types(&n_types);
    const VekgenFrameType &t = types[g_rand_int_range(rand, 0, n_types)];
    VekgenFrame f;
    vekgen_frame_init(&f);
    f.bit_rate = rate;
    vekgen_frame_set_type(&f, &t);
    f.power_db = power_db;
    f.offset_hz = g_rand_double_range(rand, -max_offset, max_offset);
    f.phase = g_rand_double_range(rand, -G_PI, G_PI);
    for (guint i = 0; i < t.covered_len; i++)
        f.bytes[i] = static_cast<guint8>(g_rand_int_range(rand, 0, 256));
    return f;
}

/* Silence before each frame: a fresh receiver per frame, noise only while the frame is
 * on the air. Returns the frames lost. */
guint fer_silent(guint rate, double ebn0, guint n_frames, guint64 seed)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(static_cast<guint32>(seed));
    g_autoptr(VekgenSignal) noise = vekgen_signal_new(seed, kNoiseDb);
    const double power = kNoiseDb - band_gain_db(rate) + ebn0;
    const guint T = vekgen_samples_per_bit(rate);
    guint lost = 0;
    std::vector<gint16> packet, burst;
    for (guint i = 0; i < n_frames; i++) {
        vekgen::Decoder d(rate, 0.0f);
        const gsize P = d.packet_size();
        packet.resize(2 * P);
        VekgenFrame f = random_frame(rand, rate, power, 30000.0);
        f.start_sample = 2 * P + static_cast<guint64>(g_rand_int_range(rand, 0, T));
        g_autoptr(VekgenSignal) s = vekgen_signal_new(0, -G_MAXDOUBLE);
        vekgen_signal_add_frame(s, &f, nullptr);
        const guint64 end = vekgen_frame_end_sample(&f);
        const guint64 total = vekgen_frame_tail_end_sample(&f) + P;
        for (guint64 at = 0; at < total; at += P) {
            vekgen_signal_fill(s, packet.data(), P);
            const guint64 a = MAX(at, f.start_sample), b = MIN(at + P, end);
            if (a < b) {
                burst.resize(2 * (b - a));
                vekgen_signal_fill(noise, burst.data(), b - a);
                for (guint64 k = 0; k < 2 * (b - a); k++) {
                    const int v = packet[2 * (a - at) + k] + burst[k];
                    packet[2 * (a - at) + k] = static_cast<gint16>(CLAMP(v, -32768, 32767));
                }
            }
            d.post(packet.data());
        }
        const vekgen::Match m = vekgen::match(d, &f, 1);
        lost += m.missed;
    }
    return lost;
}

/* Noise all the time: one receiver, and before each frame 60 to 400 bit periods of
 * noise after the previous report, long enough for the symbol timing to lock on the
 * noise (it needs a run of six decisions s, s, -s, -s, s, s: about 40 decisions). */
guint fer_noisy(guint rate, double ebn0, guint n_frames, guint64 seed, guint *false_reports)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(static_cast<guint32>(seed));
    g_autoptr(VekgenSignal) s = vekgen_signal_new(seed, kNoiseDb);
    const double power = kNoiseDb - band_gain_db(rate) + ebn0;
    const guint T = vekgen_samples_per_bit(rate);
    guint64 at = 400ull * T;
    for (guint i = 0; i < n_frames; i++) {
        VekgenFrame f = random_frame(rand, rate, power, 30000.0);
        f.start_sample = at + static_cast<guint64>(g_rand_int_range(rand, 0, 340 * T));
        vekgen_signal_add_frame(s, &f, nullptr);
        at = f.start_sample + (VEKGEN_FRAME_SPACING_BITS + 60ull) * T;
    }
    vekgen::Decoder d(rate, 0.0f);
    d.run(s, vekgen_signal_get_end(s) + d.packet_size());
    guint n = 0;
    const VekgenFrame *truth = vekgen_signal_get_frames(s, &n);
    const vekgen::Match m = vekgen::match(d, truth, n);
    *false_reports += static_cast<guint>(m.false_reports.size());
    return m.missed;
}

int cmd_fer(guint n_frames)
{
    g_print("## Frame error rate against Eb/N0\n\n");
    g_print("%u frames a point, random type, bytes, phase, offset within +-30 kHz and start "
            "within a bit period; int_gain 0; noise %.0f dB over the band; "
            "Eb/N0 = power - noise + 10 log10(192000 / rate).\n"
            "silent: a fresh receiver per frame and noise only while the frame is on the air; "
            "noisy: noise throughout, one receiver, 60 to 400 bit periods of noise between a "
            "report and the next frame.\n\n",
            n_frames, kNoiseDb);
    g_print("| Eb/N0 (dB) | 100 silent | 100 noisy | 600 silent | 600 noisy |\n");
    g_print("|---:|---:|---:|---:|---:|\n");
    guint false_reports = 0;
    const double t0 = cpu_seconds();
    for (int ebn0 = 0; ebn0 <= 40; ebn0 += 2) {
        g_print("| %d", ebn0);
        for (guint rate : {100u, 600u}) {
            const guint64 seed = 1000u * rate + static_cast<guint>(ebn0);
            const guint ls = fer_silent(rate, ebn0, n_frames, seed);
            const guint ln = fer_noisy(rate, ebn0, n_frames, seed + 7, &false_reports);
            g_print(" | %.1f %% | %.1f %%", 100.0 * ls / n_frames, 100.0 * ln / n_frames);
        }
        g_print(" |\n");
        fflush(stdout);
    }
    g_print("\nFalse reports during the noisy runs: %u. CPU time %.0f s.\n", false_reports,
            cpu_seconds() - t0);
    return 0;
}

int cmd_floor(guint n_frames)
{
    g_print("## Lost frames at high Eb/N0 with noise before the frames\n\n");
    g_print("%u frames a point, noisy background as in the table above (one receiver, noise "
            "throughout, 60 to 400 bit periods of noise before each frame).\n\n",
            n_frames);
    g_print("| Eb/N0 (dB) | 100 lost | 600 lost |\n|---:|---:|---:|\n");
    guint false_reports = 0;
    for (int ebn0 : {40}) {
        g_print("| %d", ebn0);
        for (guint rate : {100u, 600u}) {
            const guint lost = fer_noisy(rate, ebn0, n_frames, 5000u + rate + ebn0, &false_reports);
            g_print(" | %u (%.1f %%)", lost, 100.0 * lost / n_frames);
        }
        g_print(" |\n");
        fflush(stdout);
    }
    g_print("\nFalse reports during these runs: %u.\n", false_reports);
    return 0;
}

int cmd_band(guint per_point)
{
    g_print("## Frequency and RSSI errors across the band (noise-free)\n\n");
    g_print("%u frames an offset, random type, bytes, phase, offset +-50 Hz around the "
            "nominal one; errors are reported freq - offset (modulo 192 kHz) and "
            "rssi - (power - int_gain), mean [min, max].\n\n",
            per_point);
    g_print("| offset (Hz) | 100 freq error (Hz) | 100 rssi error (dB) | 600 freq error (Hz) | "
            "600 rssi error (dB) |\n|---:|---|---|---|---|\n");
    g_autoptr(GRand) rand = g_rand_new_with_seed(77);
    for (int offset = -95000; offset <= 95000; offset += 5000) {
        g_print("| %d", offset);
        for (guint rate : {100u, 600u}) {
            vekgen::Decoder d(rate, 20.0f);
            g_autoptr(VekgenSignal) s = vekgen_signal_new(1, -G_MAXDOUBLE);
            const guint T = vekgen_samples_per_bit(rate);
            for (guint i = 0; i < per_point; i++) {
                VekgenFrame f = random_frame(rand, rate, 60.0, 50.0);
                f.offset_hz += offset;
                f.offset_hz = CLAMP(f.offset_hz, -96000.0, 96000.0);
                f.start_sample = 1000 + i * 260ull * T;
                vekgen_signal_add_frame(s, &f, nullptr);
            }
            d.run(s, vekgen_signal_get_end(s) + d.packet_size());
            guint n = 0;
            const VekgenFrame *truth = vekgen_signal_get_frames(s, &n);
            const vekgen::Match m = vekgen::match(d, truth, n);
            double fs = 0, fmin = 1e9, fmax = -1e9, rs = 0, rmin = 1e9, rmax = -1e9;
            guint found = 0;
            for (const auto &o : m.frames) {
                if (o.report < 0)
                    continue;
                found++;
                fs += o.freq_error;
                fmin = MIN(fmin, o.freq_error);
                fmax = MAX(fmax, o.freq_error);
                rs += o.rssi_error;
                rmin = MIN(rmin, o.rssi_error);
                rmax = MAX(rmax, o.rssi_error);
            }
            if (found == 0) {
                g_print(" | none found | none found");
                continue;
            }
            g_print(" | %+.0f [%+.0f, %+.0f]%s | %+.2f [%+.2f, %+.2f]", fs / found, fmin, fmax,
                    found < per_point ? " (some missed)" : "", rs / found, rmin, rmax);
        }
        g_print(" |\n");
        fflush(stdout);
    }
    return 0;
}

int cmd_false(double hours, guint only_rate, guint64 seed)
{
    g_print("## False reports on noise alone\n\n");
    g_print("White Gaussian noise at 40 dB (sigma 71 per component), int_gain 0, %.1f h of "
            "signal per rate, processed as fast as the machine allows.\n\n",
            hours);
    g_print("| rate | hours | false reports | per day |\n|---:|---:|---:|---:|\n");
    for (guint rate : {100u, 600u}) {
        if (only_rate != 0 && rate != only_rate)
            continue;
        vekgen::Decoder d(rate, 0.0f);
        g_autoptr(VekgenSignal) s = vekgen_signal_new(seed + rate, 40.0);
        const guint64 n = static_cast<guint64>(hours * 3600.0 * VEKGEN_SAMPLE_RATE);
        const double t0 = cpu_seconds();
        d.run(s, n);
        const double hours_done = double(d.counter()) / VEKGEN_SAMPLE_RATE / 3600.0;
        g_print("| %u | %.2f | %zu | %.1f |\n", rate, hours_done, d.reports().size(),
                d.reports().size() * 24.0 / hours_done);
        for (const auto &r : d.reports())
            g_print("|  | | at sample %" G_GUINT64_FORMAT ": len %u seq %u freq %d rssi %.1f | |\n",
                    r.counter, r.frame.length, r.frame.f.v1.seq, r.frame.freq, r.frame.rssi);
        g_printerr("false %u: %.0f s CPU\n", rate, cpu_seconds() - t0);
        fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        g_printerr("usage: %s fer [FRAMES] | floor [FRAMES] | band [FRAMES] | false [HOURS [RATE "
                   "[SEED]]]\n",
                   argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const char *arg = argc > 2 ? argv[2] : nullptr;
    if (mode == "fer")
        return cmd_fer(arg ? static_cast<guint>(atoi(arg)) : 100);
    if (mode == "floor")
        return cmd_floor(arg ? static_cast<guint>(atoi(arg)) : 1000);
    if (mode == "band")
        return cmd_band(arg ? static_cast<guint>(atoi(arg)) : 10);
    if (mode == "false")
        return cmd_false(arg ? atof(arg) : 1.0, argc > 3 ? static_cast<guint>(atoi(argv[3])) : 0,
                         argc > 4 ? g_ascii_strtoull(argv[4], nullptr, 10) : 4242);
    g_printerr("%s: unknown mode '%s'\n", argv[0], argv[1]);
    return 2;
}
