/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The channelised receiver (libvchan) measured beside libvdem on the same generated
 * streams, printed as Markdown tables (bench/results/vchan.md):
 *   fer RATE LEN N EBN0...   frames lost against Eb/N0, both receivers, one stream
 *                            per point with noise before, during and after every
 *                            frame; vchan's freq and rssi errors beside
 *   many RATE N TRIALS       N frames overlapping in time (RATE 0: half at each rate)
 *   nearfar RATE TRIALS [FIRST [WEAK_FIRST]]  a frame 30 dB under an overlapping
 *                            one 10 kHz away (trials from FIRST on), starting up to
 *                            40 bits after it (WEAK_FIRST 1: before it)
 *   false HOURS [SEED]       reports on noise alone (both rates at once)
 *   speed [ROUNDS [LOAD]]    x real time on one core of vchan and of libvdem at
 *                            each rate on the same recordings: noise, one burst
 *                            of 32 overlapping frames (each rate, both), and
 *                            bursts back to back; best and worst of ROUNDS. LOAD
 *                            1 to 5 makes and runs only that load. With
 *                            lead=, the samples before the frames are posted
 *                            but not timed (a station's front end settles
 *                            once). Instruction counts: run it under callgrind
 *                            with --instr-atstart=no --collect-atstart=no,
 *                            which collects libvchan's timed posts alone
 *   fft                      the banks' transforms alone: their time per second
 *                            of signal, the bound they put on the speed, at the
 *                            banks' lengths and at the mixed-radix lengths 2T
 * Frames: random offset in +-90 kHz, phase, sub-bit start, bytes, type of the given
 * length, sense of differential encoding. With VCHAN_MEASURE_DUMP set, every report
 * of vchan is printed as well (to the bit), so that two builds can be compared;
 * with VCHAN_MEASURE_NO_COMBINING set, fer, many and nearfar run the receiver
 * without repetition combining. Before the mode, --impair TEXT runs it with the
 * impairments of a real front end and real devices, and --noise DB sets the noise
 * (default 70 dB); see bench_impair.h. fer then adds the share of clipped I and Q
 * values to its table.
 * Not part of ctest. */
#include "vekgen-decode.h"

#include "bench_impair.h"
#include "vchan_bank.h"

#include "vchan_fft.h"

#include <kiss_fft.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_TOGGLE_COLLECT
#endif

namespace
{

/* The impairments of the run (none by default) and its noise: full-band noise
 * well inside the 16-bit range, 70 dB by default, so that 40 dB Eb/N0 needs no
 * clipping (as bench/vekgen_measure). */
bench::Impairments impairments;
constexpr double kMaxOffset = 90000.0;

double noise_db()
{
    return impairments.noise_db();
}

double band_gain_db(guint rate)
{
    return 10.0 * std::log10(double(VEKGEN_SAMPLE_RATE) / rate);
}

double cpu_seconds()
{
    return static_cast<double>(clock()) / CLOCKS_PER_SEC;
}

VekgenFrame random_frame(GRand *rand, guint rate, guint len, double ebn0, double offset)
{
    guint n_types = 0;
    const VekgenFrameType *types = vekgen_frame_types(&n_types);
    const VekgenFrameType *t;
    do
        t = &types[g_rand_int_range(rand, 0, n_types)];
    while (len != 0 && t->covered_len != len);
    VekgenFrame f;
    vekgen_frame_init(&f);
    f.bit_rate = rate;
    vekgen_frame_set_type(&f, t);
    f.power_db = noise_db() - band_gain_db(rate) + ebn0;
    f.offset_hz = offset;
    f.inverted = g_rand_boolean(rand);
    f.phase = g_rand_double_range(rand, -G_PI, G_PI);
    for (guint i = 0; i < t->covered_len; i++)
        f.bytes[i] = static_cast<guint8>(g_rand_int_range(rand, 0, 256));
    return f;
}

/* Feeds @signal up to its end (plus one packet) to vchan and, when @rate is not 0,
 * to libvdem at that rate, packet by packet with libvdem's packet size. */
struct Outcome {
    vekgen::Match vchan, vdem;
    std::vector<vekgen::Report> reports; /* vchan's */
    double cpu_vchan = 0.0;
    double clipped = 0.0; /* share of I and Q values at full scale, with impairments */
};

Outcome run(VekgenSignal *signal, guint rate, bool with_vdem)
{
    const guint packet_rate = rate == 0 ? 100 : rate;
    const gsize P = packet_rate == 100 ? 15360 : 2560;
    vekgen::ChannelDecoder ch(0, 0.0f, P, getenv("VCHAN_MEASURE_NO_COMBINING") == nullptr);
    std::unique_ptr<vekgen::Decoder> vd;
    if (with_vdem)
        vd = std::make_unique<vekgen::Decoder>(rate, 0.0f);
    std::vector<gint16> packet(2 * P);
    const guint64 total = vekgen_signal_get_end(signal) + P;
    Outcome o;
    for (guint64 at = 0; at < total; at += P) {
        vekgen_signal_fill(signal, packet.data(), P);
        if (impairments.any())
            o.clipped += bench::Impairments::clipped_share(signal, packet.data(), P) * P / total;
        const double t0 = cpu_seconds();
        ch.post(packet.data());
        o.cpu_vchan += cpu_seconds() - t0;
        if (vd)
            vd->post(packet.data());
    }
    guint n = 0;
    const VekgenFrame *truth = vekgen_signal_get_frames(signal, &n);
    o.vchan = vekgen::match(ch, truth, n);
    o.reports = ch.reports();
    if (getenv("VCHAN_MEASURE_DUMP") != nullptr)
        for (const auto &r : o.reports)
            printf("report: %u bit/s at %" G_GUINT64_FORMAT
                   " ts %d freq %d rssi %a snr %a tid %08x "
                   "len %u seq %u oob %u ack %u %s\n",
                   r.rate, r.counter, r.frame.sampleTimeStamp, r.frame.freq, double(r.frame.rssi),
                   double(r.frame.snr), r.frame.tid, r.frame.length, r.frame.f.v1.seq,
                   r.frame.f.v1.oob, r.frame.f.v1.ack,
                   vekgen::hex(r.frame.frame, r.frame.length + 2u).c_str());
    if (vd)
        o.vdem = vekgen::match(*vd, truth, n);
    return o;
}

struct Stats {
    std::vector<double> v;
    void add(double x) { v.push_back(x); }
    double quantile(double q)
    {
        if (v.empty())
            return NAN;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, size_t(q * v.size()))];
    }
    double mean() const
    {
        double s = 0;
        for (double x : v)
            s += x;
        return v.empty() ? NAN : s / v.size();
    }
};

/* One frame after the other, each 262 to 282 bit periods after the previous one
 * (libvdem needs 258), so that both receivers see the same stream. */
int cmd_fer(guint rate, guint len, guint n_frames, const std::vector<double> &points)
{
    printf("| rate | len | Eb/N0 dB | frames | vdem lost %% | vchan lost %% | vchan false | "
           "freq err p50/p99 Hz | rssi err mean/p1/p99 dB |%s\n",
           impairments.any() ? " clipped % |" : "");
    printf("|---:|---:|---:|---:|---:|---:|---:|---|---|%s\n", impairments.any() ? "---:|" : "");
    for (double ebn0 : points) {
        const guint64 seed = 1000 + guint64(ebn0 * 10) + rate + len;
        g_autoptr(GRand) rand = g_rand_new_with_seed(guint32(seed));
        g_autoptr(GRand) extra = bench::Impairments::new_rand(seed);
        g_autoptr(VekgenSignal) s = impairments.new_signal(seed);
        const guint T = vekgen_samples_per_bit(rate);
        guint64 at = guint64(T) * 20 + impairments.lead_samples();
        for (guint i = 0; i < n_frames; i++) {
            const double offset = impairments.keep_away(
                s, extra, rate, g_rand_double_range(rand, -kMaxOffset, kMaxOffset), kMaxOffset);
            VekgenFrame f = random_frame(rand, rate, len, ebn0, offset);
            impairments.give_device_errors(&f, extra);
            f.start_sample = at + guint64(g_rand_int_range(rand, 0, T));
            vekgen_signal_add_frame(s, &f, nullptr);
            at += guint64(T) * guint64(262 + g_rand_int_range(rand, 0, 20));
        }
        impairments.add_overloads_in_gaps(s, extra);
        Outcome o = run(s, rate, true);
        for (int r : o.vchan.false_reports) {
            const vekgen::Report &f = o.reports[r];
            /* A repeat has the bytes of a frame that was found. */
            bool repeat = false;
            for (const auto &x : o.vchan.frames)
                repeat = repeat || (x.report >= 0 && memcmp(o.reports[x.report].frame.frame,
                                                            f.frame.frame, f.frame.length) == 0);
            fprintf(stderr,
                    "Eb/N0 %.1f: false report at sample %" G_GUINT64_FORMAT
                    ": %u bit/s, len %u, freq %d, rssi %.1f, snr %.1f%s\n",
                    ebn0, f.counter, f.rate, f.frame.length, f.frame.freq, f.frame.rssi,
                    f.frame.snr, repeat ? " (a repeat of a frame found)" : "");
            if (getenv("VCHAN_MEASURE_VERBOSE") != nullptr)
                fprintf(stderr, "  seq %u oob %u bytes %s\n", f.frame.f.v1.seq, f.frame.f.v1.oob,
                        vekgen::hex(f.frame.frame, f.frame.length + 2).c_str());
            if (getenv("VCHAN_MEASURE_VERBOSE") != nullptr)
                for (const auto &x : o.vchan.frames)
                    if (x.truth.start_sample + 400 * vekgen_samples_per_bit(x.truth.bit_rate) >
                            f.counter &&
                        x.truth.start_sample < f.counter)
                        fprintf(stderr,
                                "  near: sent@%" G_GUINT64_FORMAT
                                " %s len %u rep %u freq %.0f found %d\n",
                                x.truth.start_sample,
                                vekgen::hex(x.truth.bytes, x.truth.covered_len).c_str(),
                                x.truth.covered_len, x.truth.repetition, x.truth.offset_hz,
                                x.report);
        }
        if (getenv("VCHAN_MEASURE_VERBOSE") != nullptr)
            for (const auto &x : o.vchan.frames)
                if (x.report < 0)
                    fprintf(stderr,
                            "Eb/N0 %.1f: lost frame at %" G_GUINT64_FORMAT
                            ": %.1f Hz, len %u rep %u inv %d, drift %.1f Hz/s, step %.1f Hz "
                            "at %.3f\n",
                            ebn0, x.truth.start_sample, x.truth.offset_hz, x.truth.covered_len,
                            x.truth.repetition, x.truth.inverted, x.truth.drift_hz_per_s,
                            x.truth.step_hz, x.truth.step_at);
        Stats fe, re;
        for (const auto &x : o.vchan.frames)
            if (x.report >= 0) {
                fe.add(std::fabs(x.freq_error));
                re.add(x.rssi_error);
                if (getenv("VCHAN_MEASURE_VERBOSE") != nullptr &&
                    (std::fabs(x.rssi_error) > 1.0 || std::fabs(x.freq_error) > 20))
                    fprintf(stderr, "offset %.0f inv %d len %u rep %u: dfreq %+.0f drssi %+.2f\n",
                            x.truth.offset_hz, x.truth.inverted, x.truth.covered_len,
                            x.truth.repetition, x.freq_error, x.rssi_error);
            }
        const double mean_rssi = re.mean();
        printf("| %u | %u | %.1f | %u | %.2f | %.2f | %zu | %.1f / %.1f | %+.2f / %+.2f / %+.2f |",
               rate, len, ebn0, n_frames, 100.0 * o.vdem.missed / n_frames,
               100.0 * o.vchan.missed / n_frames, o.vchan.false_reports.size(), fe.quantile(0.5),
               fe.quantile(0.99), mean_rssi, re.quantile(0.01), re.quantile(0.99));
        if (impairments.any())
            printf(" %.3f |", 100.0 * o.clipped);
        printf("\n");
        fflush(stdout);
    }
    return 0;
}

/* Offsets at least @spacing apart, drawn in +-90 kHz, for frames of @rate (0: both)
 * kept away from the impairments of @s (drawing from @extra). */
constexpr int kMaxDraws = 1000000;

std::vector<double> spread_offsets(GRand *rand, guint n, double spacing, const VekgenSignal *s,
                                   GRand *extra, guint rate)
{
    std::vector<double> out;
    /* Drawn at random, frames this far apart jam the band long before it is full
     * (at about three quarters of 180 kHz over the spacing): give up then. */
    for (int draws = 0; out.size() < n; draws++) {
        if (draws == kMaxDraws)
            return {};
        const double f =
            impairments.keep_away(s, extra, rate == 0 ? 600 : rate,
                                  g_rand_double_range(rand, -kMaxOffset, kMaxOffset), kMaxOffset);
        bool ok = true;
        for (double o : out)
            ok = ok && std::fabs(o - f) >= spacing;
        if (ok)
            out.push_back(f);
    }
    return out;
}

/* Adds @n frames all at 15 dB that overlap in time (starts within 10 bits). */
bool add_overlapping(VekgenSignal *s, GRand *rand, guint rate, guint n, guint64 at)
{
    std::vector<guint> rates(n, rate);
    if (rate == 0)
        for (guint i = 0; i < n; i++)
            rates[i] = i % 2 ? 600 : 100;
    const double spacing = rate == 100 ? 1000.0 : 3000.0;
    g_autoptr(GRand) extra = bench::Impairments::new_rand(at);
    const std::vector<double> offsets = spread_offsets(rand, n, spacing, s, extra, rate);
    if (offsets.size() != n) {
        g_printerr("%u frames %.0f Hz apart do not fit in +-%.0f Hz\n", n, spacing, kMaxOffset);
        return false;
    }
    std::vector<VekgenFrame> frames;
    for (guint i = 0; i < n; i++) {
        VekgenFrame f = random_frame(rand, rates[i], 0, 15.0, offsets[i]);
        impairments.give_device_errors(&f, extra);
        const guint T = vekgen_samples_per_bit(rates[i]);
        f.start_sample = at + guint64(g_rand_int_range(rand, 0, 10 * T));
        frames.push_back(f);
    }
    std::sort(frames.begin(), frames.end(), [](const VekgenFrame &a, const VekgenFrame &b) {
        return a.start_sample < b.start_sample;
    });
    for (const auto &f : frames)
        vekgen_signal_add_frame(s, &f, nullptr);
    return true;
}

int cmd_many(guint rate, guint n, guint trials)
{
    guint sent = 0, lost = 0, dup_or_false = 0;
    double cpu = 0, signal_s = 0;
    for (guint t = 0; t < trials; t++) {
        g_autoptr(GRand) rand = g_rand_new_with_seed(500 + t);
        g_autoptr(VekgenSignal) s = impairments.new_signal(600 + t);
        if (!add_overlapping(s, rand, rate, n, 100000 + impairments.lead_samples()))
            return 2;
        Outcome o = run(s, rate, false);
        sent += guint(o.vchan.frames.size());
        lost += o.vchan.missed;
        dup_or_false += guint(o.vchan.false_reports.size());
        cpu += o.cpu_vchan;
        signal_s += double(vekgen_signal_get_end(s)) / VEKGEN_SAMPLE_RATE;
    }
    printf("| %s | %u | %u | %u | %.2f | %u | %.0f |\n",
           rate == 0 ? "100+600" : (rate == 100 ? "100" : "600"), n, trials, sent,
           100.0 * lost / sent, dup_or_false, signal_s / cpu);
    return 0;
}

int cmd_nearfar(guint rate, guint trials, guint first, bool weak_first)
{
    guint lost_weak = 0, lost_strong = 0, extra = 0;
    for (guint t = first; t < first + trials; t++) {
        g_autoptr(GRand) rand = g_rand_new_with_seed(700 + t);
        g_autoptr(VekgenSignal) s = impairments.new_signal(800 + t);
        g_autoptr(GRand) own = bench::Impairments::new_rand(800 + t);
        const double f0 = g_rand_double_range(rand, -80000, 80000);
        VekgenFrame strong = random_frame(rand, rate, 0, 45.0, f0);
        VekgenFrame weak =
            random_frame(rand, rate, 0, 15.0, f0 + (g_rand_boolean(rand) ? 10000 : -10000));
        const guint T = vekgen_samples_per_bit(rate);
        VekgenFrame &early = weak_first ? weak : strong, &late = weak_first ? strong : weak;
        early.start_sample = 10 * T;
        late.start_sample = 10 * T + guint64(g_rand_int_range(rand, 0, 40 * T));
        impairments.give_device_errors(&early, own);
        impairments.give_device_errors(&late, own);
        vekgen_signal_add_frame(s, &early, nullptr);
        vekgen_signal_add_frame(s, &late, nullptr);
        impairments.add_overloads_in_gaps(s, own);
        Outcome o = run(s, rate, false);
        for (const auto &x : o.vchan.frames) {
            if (x.truth.power_db == weak.power_db)
                lost_weak += x.report < 0;
            else
                lost_strong += x.report < 0;
            if (x.report < 0 && getenv("VCHAN_MEASURE_VERBOSE") != nullptr)
                fprintf(stderr,
                        "trial %u: %s frame lost: start %" G_GUINT64_FORMAT
                        ", %.0f Hz; the weak frame starts %+.1f bits after the strong one\n",
                        t, x.truth.power_db == weak.power_db ? "weak" : "strong",
                        x.truth.start_sample, x.truth.offset_hz,
                        (double(weak.start_sample) - double(strong.start_sample)) / T);
        }
        extra += guint(o.vchan.false_reports.size());
    }
    printf("| %u | %u | %u | %u | %u |\n", rate, trials, lost_weak, lost_strong, extra);
    return 0;
}

/* The same stream through the receiver with combining and without, packet by
 * packet; each's CPU time. */
struct Pair {
    std::unique_ptr<vekgen::ChannelDecoder> with, without;
    double cpu_with = 0.0, cpu_without = 0.0;
};

/* VCHAN_MEASURE_ONLY=with or =without feeds only that receiver (the other reports
 * nothing), for instruction counts of one. */
Pair run_pair(VekgenSignal *signal, gsize packet)
{
    Pair p;
    p.with = std::make_unique<vekgen::ChannelDecoder>(0, 0.0f, packet, true);
    p.without = std::make_unique<vekgen::ChannelDecoder>(0, 0.0f, packet, false);
    const char *only = getenv("VCHAN_MEASURE_ONLY");
    const bool with = only == nullptr || strcmp(only, "with") == 0;
    const bool without = only == nullptr || strcmp(only, "without") == 0;
    std::vector<gint16> buf(2 * packet);
    const guint64 total = vekgen_signal_get_end(signal) + packet;
    for (guint64 at = 0; at < total; at += packet) {
        vekgen_signal_fill(signal, buf.data(), packet);
        double t0 = cpu_seconds();
        if (with)
            p.with->post(buf.data());
        p.cpu_with += cpu_seconds() - t0;
        t0 = cpu_seconds();
        if (without)
            p.without->post(buf.data());
        p.cpu_without += cpu_seconds() - t0;
    }
    return p;
}

/* A message of @len bytes at @rate from sample @at: its three repetitions at @ebn0
 * each, 0 to 1 s apart on random carriers; @drop 1 to 3 leaves that repetition
 * out, 4 a random one. Returns the sample after its last repetition's tail. */
guint64 add_message(VekgenSignal *s, GRand *rand, guint rate, guint len, double ebn0, guint64 at,
                    guint drop)
{
    VekgenMessage m;
    vekgen_message_init(&m);
    m.first = random_frame(rand, rate, len, ebn0, 0.0);
    VekgenFrameType const *t = vekgen_frame_type_find(m.first.covered_len, 1, m.first.oob);
    vekgen_frame_set_type(&m.first, t);
    m.first.start_sample = at;
    for (double &p : m.power_db)
        p = m.first.power_db;
    const guint dropped = drop == 4 ? guint(g_rand_int_range(rand, 1, 4)) : drop;
    if (dropped != 0)
        m.dropped[dropped - 1] = TRUE;
    guint n0 = 0;
    vekgen_signal_get_frames(s, &n0);
    vekgen_signal_add_message(s, &m, rand, nullptr);
    guint n = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(s, &n);
    guint64 end = at;
    for (guint i = n0; i < n; i++)
        end = MAX(end, vekgen_frame_tail_end_sample(&frames[i]));
    /* The last repetition's tail, had it been sent. */
    const guint T = vekgen_samples_per_bit(rate);
    return end + guint64(T) * 20;
}

/* Messages one after the other: lost against Eb/N0 per repetition, with combining
 * and without (the same receiver, the same stream), and the frames lost alone. */
int cmd_messages(guint rate, guint len, guint n_messages, guint drop,
                 const std::vector<double> &points)
{
    printf("| rate | len | Eb/N0 dB per repetition | messages | frames lost alone %% | messages "
           "lost without %% | messages lost with %% | by combining | lost with, found "
           "without | false with / without | cpu with / without |\n");
    printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|\n");
    for (double ebn0 : points) {
        const guint64 seed = 5000 + guint64(ebn0 * 10 + 100) + rate + len + 7 * drop;
        g_autoptr(GRand) rand = g_rand_new_with_seed(guint32(seed));
        g_autoptr(VekgenSignal) s = impairments.new_signal(seed);
        const guint T = vekgen_samples_per_bit(rate);
        guint64 at = guint64(T) * 20;
        for (guint i = 0; i < n_messages; i++)
            at = add_message(s, rand, rate, len, ebn0, at + guint64(g_rand_int_range(rand, 0, T)),
                             drop);
        Pair p = run_pair(s, rate == 100 ? 15360 : 2560);
        guint n = 0;
        const VekgenFrame *truth = vekgen_signal_get_frames(s, &n);
        const vekgen::MessageMatch with = vekgen::match_messages(*p.with, truth, n);
        const vekgen::MessageMatch without = vekgen::match_messages(*p.without, truth, n);
        const vekgen::Match frames = vekgen::match(*p.without, truth, n);
        const vekgen::Match frames_with = vekgen::match(*p.with, truth, n);
        guint regressions = 0;
        for (size_t i = 0; i < with.messages.size(); i++)
            regressions += without.messages[i].received && !with.messages[i].received;
        printf("| %u | %u | %.1f | %zu | %.2f | %.2f | %.2f | %u | %u | %zu / %zu | %.2f / %.2f "
               "|\n",
               rate, len, ebn0, with.messages.size(), 100.0 * frames.missed / n,
               100.0 * without.lost / without.messages.size(),
               100.0 * with.lost / with.messages.size(), with.by_combining, regressions,
               frames_with.false_reports.size(), frames.false_reports.size(), p.cpu_with,
               p.cpu_without);
        if (getenv("VCHAN_MEASURE_TRUTH") != nullptr)
            for (guint i = 0; i < n; i++)
                fprintf(stderr, "truth rep %u at %" G_GUINT64_FORMAT " f %.1f\n",
                        truth[i].repetition, truth[i].start_sample, truth[i].offset_hz);
        if (getenv("VCHAN_MEASURE_VERBOSE") != nullptr)
            for (const auto &o : with.messages)
                if (!o.received) {
                    fprintf(stderr, "lost message %u:", o.number);
                    for (guint i = 0; i < n; i++)
                        if (truth[i].message == o.number)
                            fprintf(stderr, " rep %u at %" G_GUINT64_FORMAT " f %.0f;",
                                    truth[i].repetition, truth[i].start_sample, truth[i].offset_hz);
                    fprintf(stderr, "\n");
                }
        if (getenv("VCHAN_MEASURE_VERBOSE") != nullptr)
            for (int r : frames_with.false_reports) {
                const vekgen::Report &f = p.with->reports()[size_t(r)];
                /* The frame sent nearest before it in time, to tell a frame reported
                 * twice (its bytes) from one that is not a frame at all. */
                const VekgenFrame *before = nullptr;
                for (guint i = 0; i < n; i++)
                    if (truth[i].start_sample < f.counter &&
                        (before == nullptr || truth[i].start_sample > before->start_sample))
                        before = &truth[i];
                fprintf(stderr,
                        "false: %u bit/s at %" G_GUINT64_FORMAT
                        " freq %d len %u seq %u combined %s bytes %s",
                        f.rate, f.counter, f.frame.freq, f.frame.length, f.frame.f.v1.seq,
                        vekgen::repetitions_text(f.combined).c_str(),
                        vekgen::hex(f.frame.frame, f.frame.length + 2u).c_str());
                if (before != nullptr) {
                    guint8 msg[VEKGEN_MAX_COVERED + 2];
                    vekgen_frame_message(before, msg);
                    fprintf(stderr,
                            "; sent before it: %u bit/s at %" G_GUINT64_FORMAT
                            " f %.0f rep %u bytes %s",
                            before->bit_rate, before->start_sample, before->offset_hz,
                            before->repetition, vekgen::hex(msg, before->covered_len + 2u).c_str());
                }
                fprintf(stderr, "\n");
            }
        fflush(stdout);
    }
    return 0;
}

/* Carriers for @frames, so that two frames on the air at once lie at least 1 kHz
 * apart (3 kHz when one of them is at 600 bit/s), drawn in +-90 kHz. */
void spread_in_time(GRand *rand, std::vector<VekgenFrame> &frames)
{
    for (size_t i = 0; i < frames.size(); i++) {
        for (;;) {
            const double f = g_rand_double_range(rand, -kMaxOffset, kMaxOffset);
            bool ok = true;
            for (size_t j = 0; j < i && ok; j++) {
                const bool overlap = frames[j].start_sample < vekgen_frame_end_sample(&frames[i]) &&
                                     frames[i].start_sample < vekgen_frame_end_sample(&frames[j]);
                const double spacing =
                    frames[i].bit_rate == 600 || frames[j].bit_rate == 600 ? 3000.0 : 1000.0;
                ok = !overlap || std::fabs(frames[j].offset_hz - f) >= spacing;
            }
            if (ok) {
                frames[i].offset_hz = f;
                break;
            }
        }
    }
}

/* @n messages in flight at once, half at each rate (RATE 0) or all at one, at
 * @ebn0 per repetition: their first repetitions start within ten bit periods of
 * 100 bit/s, the others follow 0 to 1 s apart; carriers as spread_in_time(). */
void add_crowd(VekgenSignal *s, GRand *rand, guint rate, guint n, double ebn0, guint64 at)
{
    std::vector<VekgenFrame> frames;
    for (guint i = 0; i < n; i++) {
        const guint r = rate != 0 ? rate : (i % 2 ? 600 : 100);
        VekgenFrame first = random_frame(rand, r, 0, ebn0, 0.0);
        vekgen_frame_set_type(&first, vekgen_frame_type_find(first.covered_len, 1, first.oob));
        first.message = i + 1;
        guint64 start = at + guint64(g_rand_int_range(rand, 0, 10 * 1920));
        for (guint rep = 1; rep <= 3; rep++) {
            VekgenFrame f = first;
            vekgen_frame_set_type(&f, vekgen_frame_type_find(first.covered_len, rep, first.oob));
            f.start_sample = start;
            f.phase = g_rand_double_range(rand, -G_PI, G_PI);
            frames.push_back(f);
            start = vekgen_frame_end_sample(&f) +
                    guint64(g_rand_double_range(rand, 0.0, 1.0) * VEKGEN_SAMPLE_RATE);
        }
    }
    std::sort(frames.begin(), frames.end(), [](const VekgenFrame &a, const VekgenFrame &b) {
        return a.start_sample < b.start_sample;
    });
    spread_in_time(rand, frames);
    for (const auto &f : frames)
        vekgen_signal_add_frame(s, &f, nullptr);
}

/* The crowd of messages, @trials times: messages lost with combining and without,
 * false reports, and each receiver's CPU time. */
int cmd_crowd(guint rate, guint n, guint trials, double ebn0)
{
    guint sent = 0, lost_with = 0, lost_without = 0, by_combining = 0, regressions = 0;
    size_t false_with = 0, false_without = 0;
    double cpu_with = 0, cpu_without = 0, signal_s = 0;
    for (guint t = 0; t < trials; t++) {
        g_autoptr(GRand) rand = g_rand_new_with_seed(900 + t);
        g_autoptr(VekgenSignal) s = impairments.new_signal(1900 + t);
        add_crowd(s, rand, rate, n, ebn0, 100000);
        Pair p = run_pair(s, 2560);
        guint nt = 0;
        const VekgenFrame *truth = vekgen_signal_get_frames(s, &nt);
        const vekgen::MessageMatch with = vekgen::match_messages(*p.with, truth, nt);
        const vekgen::MessageMatch without = vekgen::match_messages(*p.without, truth, nt);
        if (getenv("VCHAN_MEASURE_TRUTH") != nullptr)
            for (guint i = 0; i < nt; i++)
                fprintf(stderr, "truth rate %u rep %u at %" G_GUINT64_FORMAT " f %.1f\n",
                        truth[i].bit_rate, truth[i].repetition, truth[i].start_sample,
                        truth[i].offset_hz);
        sent += guint(with.messages.size());
        lost_with += with.lost;
        lost_without += without.lost;
        by_combining += with.by_combining;
        for (size_t i = 0; i < with.messages.size(); i++)
            regressions += without.messages[i].received && !with.messages[i].received;
        false_with += vekgen::match(*p.with, truth, nt).false_reports.size();
        false_without += vekgen::match(*p.without, truth, nt).false_reports.size();
        cpu_with += p.cpu_with;
        cpu_without += p.cpu_without;
        signal_s += double(vekgen_signal_get_end(s) + 2560) / VEKGEN_SAMPLE_RATE;
    }
    printf("| %s | %u | %.1f | %u | %u | %.2f | %.2f | %u | %u | %zu / %zu | %.0f / %.0f | %.2f "
           "|\n",
           rate == 0 ? "100+600" : (rate == 100 ? "100" : "600"), n, ebn0, trials, sent,
           100.0 * lost_without / sent, 100.0 * lost_with / sent, by_combining, regressions,
           false_with, false_without, signal_s / cpu_with, signal_s / cpu_without,
           cpu_without / cpu_with);
    return 0;
}

int cmd_false(double hours, guint64 seed)
{
    const gsize P = 15360;
    vekgen::ChannelDecoder ch(0, 0.0f, P);
    g_autoptr(VekgenSignal) s = impairments.new_signal(seed);
    std::vector<gint16> packet(2 * P);
    const guint64 total = guint64(hours * 3600 * VEKGEN_SAMPLE_RATE);
    double cpu = 0;
    for (guint64 at = 0; at < total; at += P) {
        vekgen_signal_fill(s, packet.data(), P);
        const double t0 = cpu_seconds();
        ch.post(packet.data());
        cpu += cpu_seconds() - t0;
    }
    printf("| %.2f | %zu | %.0f |\n", hours, ch.reports().size(), hours * 3600 / cpu);
    for (const auto &r : ch.reports())
        printf("false report: rate %u at sample %" G_GUINT64_FORMAT " len %u freq %d\n", r.rate,
               r.counter, r.frame.length, r.frame.freq);
    return 0;
}

/* One load of the speed table: recordings held in memory (so that making them is
 * not timed) with the truth of their frames. With lead=, the samples before the
 * first frame are posted but neither timed nor counted: what a station pays once,
 * while its front end settles on the carriers of the band, is left out. */
struct Load {
    explicit Load(std::string n) : name(std::move(n)) {}
    std::string name;
    std::vector<std::vector<gint16>> recordings;
    std::vector<std::vector<VekgenFrame>> truth;
    double seconds = 0.0;                         /* timed */
    guint64 untimed = impairments.lead_samples(); /* at the start of each recording */
    guint frames[2] = {0, 0};                     /* at 100 and 600 bit/s */

    void add(VekgenSignal *s, guint64 n_samples)
    {
        std::vector<gint16> iq(2 * n_samples);
        vekgen_signal_fill(s, iq.data(), n_samples);
        recordings.push_back(std::move(iq));
        guint n = 0;
        const VekgenFrame *f = vekgen_signal_get_frames(s, &n);
        truth.emplace_back(f, f + n);
        for (guint i = 0; i < n; i++)
            frames[f[i].bit_rate == 600]++;
        if (n_samples <= untimed)
            g_error("the speed loads are no longer than their lead");
        seconds += double(n_samples - untimed) / VEKGEN_SAMPLE_RATE;
    }
};

/* The loads: noise alone; one burst of 32 overlapping frames (the many-at-once
 * target: the same signals as `many RATE 32 10`), of each rate and of both; and the
 * back-to-back bursts, 32 frames of both rates again every 300 bit periods. @only 1
 * to 5 makes only that one, 0 all. */
std::vector<Load> speed_loads(int only)
{
    std::vector<Load> loads;
    int number = 0;
    auto wanted = [&] { return ++number == only || only == 0; };
    if (wanted()) {
        Load l("noise only");
        g_autoptr(VekgenSignal) s = impairments.new_signal(9);
        l.add(s, 60 * guint64(VEKGEN_SAMPLE_RATE));
        loads.push_back(std::move(l));
    }
    for (guint rate : {0u, 100u, 600u}) {
        if (!wanted())
            continue;
        Load l(rate == 0 ? "one burst of 32, 16 at each rate (10 recordings)"
                         : std::string("one burst of 32 at ") + std::to_string(rate) +
                               " bit/s (10 recordings)");
        for (guint t = 0; t < 10; t++) {
            g_autoptr(GRand) rand = g_rand_new_with_seed(500 + t);
            g_autoptr(VekgenSignal) s = impairments.new_signal(600 + t);
            if (!add_overlapping(s, rand, rate, 32, 100000 + impairments.lead_samples()))
                g_error("the speed loads' frames do not fit in the band");
            l.add(s, vekgen_signal_get_end(s) + 15360);
        }
        loads.push_back(std::move(l));
    }
    if (wanted()) {
        Load l("32 at 100+600 bit/s back to back");
        g_autoptr(GRand) rand = g_rand_new_with_seed(31);
        g_autoptr(VekgenSignal) s = impairments.new_signal(10);
        const guint64 period = 300 * guint64(vekgen_samples_per_bit(100));
        for (int i = 0; i < 6; i++)
            if (!add_overlapping(s, rand, 0, 32, 1000 + i * period + impairments.lead_samples()))
                g_error("the speed loads' frames do not fit in the band");
        l.add(s, vekgen_signal_get_end(s) + 15360);
        loads.push_back(std::move(l));
    }
    return loads;
}

/* Posts @iq to @rx in its packets (the last one padded with zeros): CPU seconds of
 * those from sample @untimed on, whose instructions callgrind collects if @counted. */
double post_timed(vekgen::Receiver &rx, const std::vector<gint16> &iq, guint64 untimed,
                  bool counted)
{
    const gsize P = rx.packet_size();
    std::vector<gint16> packet(2 * P);
    double cpu = 0.0;
    for (gsize at = 0; at < iq.size(); at += 2 * P) {
        const gsize n = std::min(2 * P, iq.size() - at);
        std::copy(iq.begin() + gssize(at), iq.begin() + gssize(at + n), packet.begin());
        std::fill(packet.begin() + gssize(n), packet.end(), 0);
        if (at / 2 < untimed) {
            rx.post(packet.data());
            continue;
        }
        if (counted) {
            CALLGRIND_TOGGLE_COLLECT;
        }
        const double t0 = cpu_seconds();
        rx.post(packet.data());
        cpu += cpu_seconds() - t0;
        if (counted) {
            CALLGRIND_TOGGLE_COLLECT;
        }
    }
    return cpu;
}

std::string loadavg()
{
    gchar *text = nullptr;
    if (!g_file_get_contents("/proc/loadavg", &text, nullptr, nullptr))
        return "?";
    std::string s(text);
    g_free(text);
    return s.substr(0, s.find(' ', s.find(' ', s.find(' ') + 1) + 1));
}

/* x real time on one core of libvchan (one receiver of both rates) and of libvdem
 * at 100 and at 600 bit/s (one instance at a time, as the library allows) on the
 * same recordings, each posting in its own packet size; @rounds times over every
 * load, the receivers alternating, best and worst. "both vdem" is a station that
 * runs one instance per rate: the signal over their CPU time added up. */
int cmd_speed(int rounds, int only)
{
    if (only < 0 || only > 5) {
        g_printerr("speed: LOAD is 1 to 5, or 0 for all\n");
        return 2;
    }
    const std::vector<Load> loads = speed_loads(only);
    CALLGRIND_START_INSTRUMENTATION;
    struct Figures {
        double best = 0.0, worst = 1e30;
        guint found = 0;
        void add(double x) { best = std::max(best, x), worst = std::min(worst, x); }
    };
    /* [load][vchan, vdem 100, vdem 600, both vdem] */
    std::vector<std::array<Figures, 4>> fig(loads.size());
    g_printerr("load average before: %s\n", loadavg().c_str());
    for (int round = 0; round < rounds; round++) {
        for (size_t l = 0; l < loads.size(); l++) {
            double cpu[3] = {0.0, 0.0, 0.0};
            guint found[3] = {0, 0, 0};
            for (int r = 0; r < 3; r++) {
                for (size_t i = 0; i < loads[l].recordings.size(); i++) {
                    std::unique_ptr<vekgen::Receiver> rx;
                    if (r == 0)
                        rx = std::make_unique<vekgen::ChannelDecoder>(0, 0.0f);
                    else
                        rx = std::make_unique<vekgen::Decoder>(r == 1 ? 100 : 600, 0.0f);
                    if (!rx->error().empty()) {
                        g_printerr("%s\n", rx->error().c_str());
                        return 1;
                    }
                    cpu[r] += post_timed(*rx, loads[l].recordings[i], loads[l].untimed, r == 0);
                    const auto &t = loads[l].truth[i];
                    found[r] += vekgen::match(*rx, t.data(), guint(t.size())).found;
                }
                fig[l][size_t(r)].add(loads[l].seconds / cpu[r]);
                fig[l][size_t(r)].found = found[r];
            }
            fig[l][3].add(loads[l].seconds / (cpu[1] + cpu[2]));
        }
        g_printerr("round %d done, load average %s\n", round + 1, loadavg().c_str());
    }
    printf("FFT: %s; x real time on one core, best / worst of %d rounds\n\n", vchan::Fft::backend(),
           rounds);
    printf("| load | signal s | frames 100 + 600 | vchan found | vchan | vdem 100 found | vdem 100 "
           "| vdem 600 found | vdem 600 | both vdem |\n"
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (size_t l = 0; l < loads.size(); l++) {
        const auto &f = fig[l];
        printf("| %s | %.1f | %u + %u | %u | %.0f / %.0f | %u | %.0f / %.0f | %u | %.0f / %.0f | "
               "%.0f / %.0f |\n",
               loads[l].name.c_str(), loads[l].seconds, loads[l].frames[0], loads[l].frames[1],
               f[0].found, f[0].best, f[0].worst, f[1].found, f[1].best, f[1].worst, f[2].found,
               f[2].best, f[2].worst, f[3].best, f[3].worst);
    }
    return 0;
}

/* The receiver's banks transform their points (bank_points(), a power of two: 512
 * and 4096) every T/2 samples: 1200 and 200 transforms per second of signal. Timed
 * with KissFFT called directly and with the library's own transform (whichever FFT
 * the build chose), beside the mixed-radix lengths 2T (640 and 3840) that give bins
 * exactly half the bit rate apart, which the banks used before. */
int cmd_fft()
{
    printf("| FFT | rate | points | transforms per s | us per transform | ms per s of signal |\n"
           "|---|---:|---:|---:|---:|---:|\n");
    for (int lib = 0; lib < 2; lib++) {
        const char *name = lib == 0 ? "KissFFT (direct)" : vchan::Fft::backend();
        for (bool banks : {true, false}) {
            double total_ms = 0.0;
            for (guint rate : {600u, 100u}) {
                const int T = int(vekgen_samples_per_bit(rate));
                const int n = banks ? vchan::bank_points(int(rate)) : 2 * T;
                kiss_fft_cfg cfg = kiss_fft_alloc(n, 0, nullptr, nullptr);
                vchan::Fft fft(n);
                std::vector<vchan::cf> in(static_cast<size_t>(n)), out(in.size());
                g_autoptr(GRand) rand = g_rand_new_with_seed(5);
                for (int i = 0; i < T; i++)
                    in[size_t(i)] = vchan::cf(float(g_rand_double_range(rand, -3e3, 3e3)),
                                              float(g_rand_double_range(rand, -3e3, 3e3)));
                std::copy(in.begin(), in.end(), fft.in());
                const int per_second = 2 * VEKGEN_SAMPLE_RATE / T;
                const int reps = 60 * per_second;
                const double t0 = cpu_seconds();
                for (int r = 0; r < reps; r++) {
                    if (lib == 0)
                        kiss_fft(cfg, reinterpret_cast<const kiss_fft_cpx *>(in.data()),
                                 reinterpret_cast<kiss_fft_cpx *>(out.data()));
                    else
                        fft.run();
                }
                const double us = (cpu_seconds() - t0) * 1e6 / reps;
                kiss_fft_free(cfg);
                const double ms = us * per_second / 1e3;
                total_ms += ms;
                printf("| %s | %u | %d | %d | %.2f | %.2f |\n", name, rate, n, per_second, us, ms);
            }
            printf("| %s | both, %s | | | | %.1f (at most %.0fx real time) |\n", name,
                   banks ? "the banks' lengths" : "2T", total_ms, 1e3 / total_ms);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    if (!impairments.take_options(&argc, &argv, &error)) {
        g_printerr("%s: %s\n", argv[0], error.c_str());
        return 2;
    }
    if (argc < 2) {
        g_printerr("usage: %s [--impair TEXT] [--noise DB] fer RATE LEN FRAMES EBN0... | many "
                   "RATE N TRIALS | nearfar RATE TRIALS [FIRST [WEAK_FIRST]] | false HOURS "
                   "[SEED] | speed [ROUNDS [LOAD]] | fft\n",
                   argv[0]);
        return 2;
    }
    if (impairments.any())
        printf("%s\n\n", impairments.describe().c_str());
    const std::string mode = argv[1];
    auto arg = [&](int i, double dflt) { return argc > i ? atof(argv[i]) : dflt; };
    if (mode == "fer") {
        std::vector<double> points;
        for (int i = 5; i < argc; i++)
            points.push_back(atof(argv[i]));
        return cmd_fer(guint(arg(2, 100)), guint(arg(3, 8)), guint(arg(4, 100)), points);
    }
    if (mode == "messages") {
        std::vector<double> points;
        for (int i = 6; i < argc; i++)
            points.push_back(atof(argv[i]));
        return cmd_messages(guint(arg(2, 600)), guint(arg(3, 8)), guint(arg(4, 100)),
                            guint(arg(5, 0)), points);
    }
    if (mode == "crowd")
        return cmd_crowd(guint(arg(2, 0)), guint(arg(3, 32)), guint(arg(4, 10)), arg(5, 6.0));
    if (mode == "many")
        return cmd_many(guint(arg(2, 100)), guint(arg(3, 32)), guint(arg(4, 10)));
    if (mode == "nearfar")
        return cmd_nearfar(guint(arg(2, 100)), guint(arg(3, 20)), guint(arg(4, 0)), arg(5, 0) != 0);
    if (mode == "false")
        return cmd_false(arg(2, 1.0), guint64(arg(3, 4242)));
    if (mode == "speed")
        return cmd_speed(int(arg(2, 3)), int(arg(3, 0)));
    if (mode == "fft")
        return cmd_fft();
    g_printerr("%s: unknown mode '%s'\n", argv[0], argv[1]);
    return 2;
}
