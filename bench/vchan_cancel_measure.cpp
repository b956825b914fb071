/* SPDX-License-Identifier: GPL-2.0-or-later */
/* How much of a decoded frame libvchan's canceller (vchan/src/vchan_cancel.cpp,
 * compiled in) takes out of the sample ring, printed as a Markdown table
 * (bench/results/vchan.md, "Near and far"):
 *   vchan_cancel_measure RATE TRIALS [EBN0 [NOISE_DB]]
 * Each trial: one frame (random type, bytes, phase, sense, carrier in +-80 kHz,
 * start at any sample) at EBN0 (45 dB) over noise, and the same noise without it
 * (the generator draws its noise apart from the frames), so that what the
 * canceller leaves of the frame is known exactly. The canceller gets the true bits
 * with the demodulator's errors: the start on its 1/16-bit grid and up to half a
 * slice further off, the carrier up to 1 Hz off. Printed: the frame's energy over
 * its span against what is left of it, and the same through a one-bit matched
 * filter 10 kHz (and 3.5 bit rates) from its carrier, where a weaker frame would
 * be (a third of a bit off the frame's timing, as a weaker frame's bits need not
 * line up with its), against the noise there; and the CPU time of one cancellation
 * and of one re-test. Not part of ctest. */
#include "vchan_cancel.h"
#include "vchan_demod.h"

#include <vekgen/vekgen.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace
{

using vchan::cf;

/* 20 dB under bench/vchan_measure by default: a frame at 45 dB Eb/N0 over 70 dB of
 * noise reaches the 16-bit limits at times, and the clipping is measured too. */
constexpr double kDefaultNoiseDb = 50.0;

/* Energy through a one-bit integrate-and-dump filter at @freq over [from, to). */
double band_energy(const std::vector<cf> &x, int64_t from, int64_t to, double freq, int bit)
{
    double e = 0.0;
    const double w = -2.0 * M_PI * freq / VEKGEN_SAMPLE_RATE;
    for (int64_t a = from; a + bit <= to; a += bit) {
        std::complex<double> acc{};
        for (int i = 0; i < bit; i++)
            acc += std::complex<double>(x[size_t(a + i)]) * std::polar(1.0, w * double(a + i));
        e += std::norm(acc);
    }
    return e;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? NAN : v[v.size() / 2];
}

double db(double x)
{
    return 10.0 * std::log10(x);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s RATE TRIALS [EBN0 [NOISE_DB]]\n", argv[0]);
        return 2;
    }
    const guint rate = guint(atoi(argv[1]));
    const int trials = atoi(argv[2]);
    const double ebn0 = argc > 3 ? atof(argv[3]) : 45.0;
    const double noise_db = argc > 4 ? atof(argv[4]) : kDefaultNoiseDb;
    if (rate != 100 && rate != 600)
        return 2;
    const int T = int(vekgen_samples_per_bit(rate));
    vchan::Canceller canceller{int(rate)};
    std::vector<double> wide, near10, left10, near3, left3;
    int subtracted = 0, exact = 0;
    double cancel_s = 0.0, retest_s = 0.0;
    double max_freq_err = 0.0;
    for (int t = 0; t < trials; t++) {
        g_autoptr(GRand) rand = g_rand_new_with_seed(guint32(900 + t));
        guint n_types = 0;
        const VekgenFrameType *types = vekgen_frame_types(&n_types);
        const VekgenFrameType &type = types[g_rand_int_range(rand, 0, gint32(n_types))];
        VekgenFrame f;
        vekgen_frame_init(&f);
        f.bit_rate = rate;
        vekgen_frame_set_type(&f, &type);
        f.power_db = noise_db - 10.0 * std::log10(double(VEKGEN_SAMPLE_RATE) / rate) + ebn0;
        f.offset_hz = g_rand_double_range(rand, -80000, 80000);
        f.inverted = g_rand_boolean(rand);
        f.phase = g_rand_double_range(rand, -G_PI, G_PI);
        for (guint i = 0; i < type.covered_len; i++)
            f.bytes[i] = guint8(g_rand_int_range(rand, 0, 256));
        f.start_sample = guint64(10 * T + g_rand_int_range(rand, 0, T));
        const guint64 n = vekgen_frame_end_sample(&f) + 10 * guint64(T);
        if (n > vchan::kRingSize)
            return 1;

        std::vector<gint16> iq(2 * n), iq_noise(2 * n);
        g_autoptr(VekgenSignal) with = vekgen_signal_new(1900 + t, noise_db);
        g_autoptr(VekgenSignal) without = vekgen_signal_new(1900 + t, noise_db);
        vekgen_signal_add_frame(with, &f, nullptr);
        vekgen_signal_fill(with, iq.data(), n);
        vekgen_signal_fill(without, iq_noise.data(), n);
        std::vector<cf> ring(vchan::kRingSize), noise(vchan::kRingSize);
        for (guint64 i = 0; i < n; i++) {
            ring[i] = cf(iq[2 * i], iq[2 * i + 1]);
            noise[i] = cf(iq_noise[2 * i], iq_noise[2 * i + 1]);
        }

        guint8 bits[1 + VEKGEN_HEADER_BITS + 8 * (VEKGEN_MAX_COVERED + 2)];
        const guint n_bits = vekgen_frame_bits(&f, bits);
        vchan::Decoded d{};
        const int slice = T / 16;
        const int64_t grid = int64_t(f.start_sample) / slice * slice;
        d.start = grid + g_rand_int_range(rand, -slice / 2, slice / 2 + 1);
        d.carrier = f.offset_hz + g_rand_double_range(rand, -1.0, 1.0);
        d.symbols = int(n_bits) + 1;
        d.polarity = f.inverted ? -1.f : 1.f;
        d.rate = int(rate);

        const int64_t from = int64_t(f.start_sample), to = int64_t(vekgen_frame_end_sample(&f));
        std::vector<cf> frame(ring.begin(), ring.begin() + to + T), before = frame;
        for (int64_t i = 0; i < to + T; i++)
            frame[size_t(i)] -= noise[size_t(i)];
        clock_t c0 = clock();
        const bool ok = canceller.cancel(ring.data(), d, bits);
        cancel_s += double(clock() - c0) / CLOCKS_PER_SEC;
        /* The re-test of a candidate of the weaker frame, on the cleaned ring. */
        vchan::Candidate c{};
        c.start = int64_t(f.start_sample);
        c.freq = f.offset_hz + 10000.0;
        c0 = clock();
        for (int i = 0; i < 100; i++) {
            vchan::Candidate again = c;
            canceller.retest(ring.data(), 1.f, again);
        }
        retest_s += double(clock() - c0) / CLOCKS_PER_SEC / 100;
        subtracted += ok;
        exact += canceller.fit().start == from;
        max_freq_err = std::max(max_freq_err, std::fabs(canceller.fit().freq - f.offset_hz));
        std::vector<cf> left(ring.begin(), ring.begin() + to + T),
            noise_only(noise.begin(), noise.begin() + to + T);
        for (int64_t i = 0; i < to + T; i++)
            left[size_t(i)] -= noise[size_t(i)];
        double e_frame = 0.0, e_left = 0.0;
        for (int64_t i = from - T; i < to + T; i++) {
            e_frame += std::norm(frame[size_t(i)]);
            e_left += std::norm(left[size_t(i)]);
        }
        wide.push_back(db(e_frame / e_left));
        if (getenv("VCHAN_MEASURE_VERBOSE") != nullptr)
            fprintf(stderr,
                    "trial %d: start %" G_GUINT64_FORMAT " given %" G_GINT64_FORMAT
                    " fitted %" G_GINT64_FORMAT
                    ", carrier %.3f fitted %+.4f, fit %.1f dB, %.1f dB left\n",
                    t, f.start_sample, d.start, canceller.fit().start, f.offset_hz,
                    canceller.fit().freq - f.offset_hz, canceller.fit().fit_snr,
                    db(e_frame / e_left));
        for (double away : {10000.0, 3.5 * rate}) {
            double e_near = 0.0, e_after = 0.0;
            for (double sign : {-1.0, 1.0}) {
                e_near += band_energy(frame, from + T / 3, to, f.offset_hz + sign * away, T);
                e_after += band_energy(left, from + T / 3, to, f.offset_hz + sign * away, T);
            }
            const double e_noise =
                band_energy(noise_only, from + T / 3, to, f.offset_hz + away, T) +
                band_energy(noise_only, from + T / 3, to, f.offset_hz - away, T);
            (away == 10000.0 ? near10 : near3).push_back(db(e_near / e_noise));
            (away == 10000.0 ? left10 : left3).push_back(db(e_after / e_noise));
        }
    }
    printf("| rate | Eb/N0 | noise dB | trials | subtracted | start exact | max freq err Hz | "
           "over the span: frame / left, median (min) dB | 10 kHz away: frame, left re noise "
           "dB | 3.5 bit rates away: frame, left re noise dB | cancel ms | re-test us |\n");
    printf("|---:|---:|---:|---:|---:|---:|---:|---|---|---|---:|---:|\n");
    printf("| %u | %.0f | %.0f | %d | %d | %d | %.3f | %.1f (%.1f) | %+.1f, %+.1f | %+.1f, %+.1f | "
           "%.2f | %.0f |\n",
           rate, ebn0, noise_db, trials, subtracted, exact, max_freq_err, median(wide),
           *std::min_element(wide.begin(), wide.end()), median(near10), median(left10),
           median(near3), median(left3), 1e3 * cancel_s / trials, 1e6 * retest_s / trials);
    return 0;
}
