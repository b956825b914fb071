/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Impairments of a real front end and real devices: their text, the stream left as
 * it was without them, and each one measured on the samples it writes. */
#include "vekgen/vekgen.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

namespace
{

using cd = std::complex<double>;
constexpr double kFs = VEKGEN_SAMPLE_RATE;
/* The noise in a 300 Hz bin is the total noise less this. */
const double kBinDb = 10.0 * std::log10(kFs / VEKGEN_IMPAIR_BIN_HZ);

VekgenSignal *impaired(guint64 seed, double noise_db, const char *text)
{
    VekgenSignal *s = vekgen_signal_new(seed, noise_db);
    g_autoptr(VekgenImpairments) imp = vekgen_impairments_new();
    g_autoptr(GError) error = nullptr;
    EXPECT_TRUE(vekgen_impairments_parse(imp, text, &error)) << error->message;
    EXPECT_TRUE(vekgen_signal_set_impairments(s, imp, &error)) << error->message;
    return s;
}

std::vector<cd> render(VekgenSignal *s, gsize n)
{
    std::vector<gint16> iq(2 * n);
    vekgen_signal_fill(s, iq.data(), n);
    std::vector<cd> x(n);
    for (gsize i = 0; i < n; i++)
        x[i] = {double(iq[2 * i]), double(iq[2 * i + 1])};
    return x;
}

cd mean(const std::vector<cd> &x)
{
    cd sum = 0.0;
    for (const cd &v : x)
        sum += v;
    return sum / double(x.size());
}

double db(double power)
{
    return 10.0 * std::log10(power);
}

double mean_power(const std::vector<cd> &x, gsize from, gsize to)
{
    double sum = 0.0;
    for (gsize n = from; n < to; n++)
        sum += std::norm(x[n]);
    return sum / double(to - from);
}

/* The power of a tone at @f over the whole of @x: its amplitude squared. */
double tone_power(const std::vector<cd> &x, double f)
{
    cd sum = 0.0;
    for (gsize n = 0; n < x.size(); n++)
        sum += x[n] * std::polar(1.0, -2.0 * G_PI * f * double(n) / kFs);
    return std::norm(sum / double(x.size()));
}

/* The mean frequency of @x over [from, from + n), from its phase turn; with @squared
 * that of x^2 halved, which BPSK symbols do not disturb. */
double frequency(const std::vector<cd> &x, gsize from, gsize n, bool squared = false)
{
    double turn = 0.0;
    for (gsize i = from; i + 1 < from + n; i++) {
        const cd a = squared ? x[i] * x[i] : x[i];
        const cd b = squared ? x[i + 1] * x[i + 1] : x[i + 1];
        turn += std::arg(b * std::conj(a));
    }
    return turn / double(n - 1) * kFs / (2.0 * G_PI) / (squared ? 2.0 : 1.0);
}

VekgenFrame frame_at(guint rate, double freq, double power, guint64 start)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    f.bit_rate = rate;
    f.offset_hz = freq;
    f.power_db = power;
    f.start_sample = start;
    f.phase = 0.3;
    for (guint i = 0; i < f.covered_len; i++)
        f.bytes[i] = guint8(0x3C ^ (i * 71));
    return f;
}

TEST(VekgenImpairText, EverySettingReadsAndPrintsBack)
{
    /* In the table's order, as the text is printed. */
    const char *text =
        "dc=45 dc-phase=-1.5 iq-gain=1 iq-phase=5 carriers=3 carrier-level=60 "
        "carrier-freq=-1500.5,20000 carrier-wander=100 carrier-wander-period=12 bursts=0.2 "
        "burst-level=25 burst-width=12500 burst-length=0.1 burst-freq=-30000 clicks=5 "
        "click-length=0.0002 click-level=35 clip=12 overload=1.5,2 overload-length=0.02 "
        "overload-level=55 drift=-30 step=50 step-at=0.25 ppm=-20";
    g_autoptr(VekgenImpairments) imp = vekgen_impairments_new();
    EXPECT_TRUE(vekgen_impairments_is_empty(imp));
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(vekgen_impairments_parse(imp, text, &error)) << error->message;
    g_autofree gchar *printed = vekgen_impairments_to_string(imp);
    EXPECT_STREQ(printed, text);
    EXPECT_EQ(vekgen_impairment_n_settings(), 25u);
    EXPECT_EQ(vekgen_impairment_setting(25), nullptr);
    EXPECT_EQ(vekgen_impairments_get(imp, "carriers"), 3.0);
    EXPECT_EQ(vekgen_impairments_get(imp, "burst-width"), 12500.0);
    EXPECT_TRUE(std::isnan(vekgen_impairments_get(imp, "carrier-freq")));
    g_autoptr(VekgenImpairments) none = vekgen_impairments_new();
    EXPECT_EQ(vekgen_impairments_get(none, "overload-length"), 0.01);
    EXPECT_TRUE(std::isnan(vekgen_impairments_get(none, "dc")));

    /* An added overload burst prints in seconds and reads back as the same sample. */
    vekgen_impairments_add_overload(imp, 123457);
    g_autofree gchar *with_added = vekgen_impairments_to_string(imp);
    g_autoptr(VekgenImpairments) again = vekgen_impairments_new();
    ASSERT_TRUE(vekgen_impairments_parse(again, with_added, nullptr));
    g_autofree gchar *reprinted = vekgen_impairments_to_string(again);
    EXPECT_STREQ(reprinted, with_added);

    /* The frames take the devices' defaults where they set none themselves. */
    VekgenFrame own, plain;
    ASSERT_TRUE(vekgen_frame_parse("drift=0 ppm=7.5", nullptr, &own, nullptr));
    ASSERT_TRUE(vekgen_frame_parse("", nullptr, &plain, nullptr));
    vekgen_impairments_apply_device_defaults(imp, &own);
    vekgen_impairments_apply_device_defaults(imp, &plain);
    EXPECT_EQ(own.drift_hz_per_s, 0.0);
    EXPECT_EQ(own.clock_ppm, 7.5);
    EXPECT_EQ(own.step_hz, 50.0);
    EXPECT_EQ(plain.drift_hz_per_s, -30.0);
    EXPECT_EQ(plain.step_at, 0.25);
    g_autofree gchar *frame_text = vekgen_frame_to_string(&own);
    EXPECT_NE(std::string(frame_text).find(" drift=0 step=50 step-at=0.25 ppm=7.5"),
              std::string::npos)
        << frame_text;
    VekgenFrame back;
    ASSERT_TRUE(vekgen_frame_parse(frame_text, nullptr, &back, nullptr));
    EXPECT_EQ(back.clock_ppm, 7.5);
    EXPECT_EQ(back.step_at, 0.25);
}

TEST(VekgenImpairText, RefusesBadSettingsNamingThem)
{
    const struct {
        const char *text, *named;
    } bad[] = {
        {"hum=3", "hum"},
        {"dc=loud", "dc=loud"},
        {"bursts=1.5", "bursts=1.5"},
        {"iq-phase=90", "iq-phase=90"},
        {"carriers=2.5", "carriers=2.5"},
        {"carrier-freq=100000", "carrier-freq=100000"},
        {"carrier-freq=1,,2", "carrier-freq=1,,2"},
        {"overload=-1", "overload=-1"},
        {"clicks=nan", "clicks=nan"},
        {"ppm=5000", "ppm=5000"},
        {"carriers=1 carrier-freq=10,20", "carriers=1"},
        {"carrier-freq=10,20 carriers=1", "carriers=1"},
        {"dc", "'dc'"},
    };
    for (const auto &b : bad) {
        g_autoptr(VekgenImpairments) imp = vekgen_impairments_new();
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(vekgen_impairments_parse(imp, b.text, &error)) << b.text;
        ASSERT_NE(error, nullptr) << b.text;
        EXPECT_TRUE(g_error_matches(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE));
        EXPECT_NE(std::string(error->message).find(b.named), std::string::npos) << error->message;
    }
    for (const char *text : {"drift=20000", "step-at=1.5", "ppm=-1001", "step=200000"}) {
        VekgenFrame f;
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(vekgen_frame_parse(text, nullptr, &f, &error)) << text;
        EXPECT_TRUE(g_error_matches(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID)) << text;
    }
}

/* The default scenario as the commands wrote it before there were impairments
 * (SHA-256 of its ci16_le samples): asking for none, or for ones that change
 * nothing, must not move a sample. */
TEST(VekgenImpairNone, LeavesTheStreamAsItWas)
{
    const char *before = "3a175e1f6473d8c584b803dd8c99e081f0f6179dd1110993a7527f70ee85c19a";
    for (const char *text : {static_cast<const char *>(nullptr),
                             "carriers=0 bursts=0 clicks=0 iq-gain=0 iq-phase=0 drift=0 step=0 "
                             "step-at=0.5 ppm=0 clip=80 carrier-level=99"}) {
        g_autoptr(VekgenSignal) s = vekgen_signal_new_default_scenario(1);
        if (text != nullptr) {
            g_autoptr(VekgenImpairments) imp = vekgen_impairments_new();
            ASSERT_TRUE(vekgen_impairments_parse(imp, text, nullptr));
            ASSERT_TRUE(vekgen_signal_set_impairments(s, imp, nullptr));
        }
        const gsize n = vekgen_signal_get_end(s);
        std::vector<gint16> iq(2 * n);
        vekgen_signal_fill(s, iq.data(), n);
        for (auto &v : iq)
            v = GINT16_TO_LE(v);
        g_autofree gchar *sum = g_compute_checksum_for_data(
            G_CHECKSUM_SHA256, reinterpret_cast<const guchar *>(iq.data()), iq.size() * 2);
        EXPECT_STREQ(sum, before) << (text != nullptr ? text : "no impairments");
    }
}

TEST(VekgenImpairSeed, SameSeedSameStreamWhateverTheChunkingAndEachOnItsOwn)
{
    const char *all = "dc=30 iq-gain=0.5 iq-phase=3 carriers=4 carrier-wander=300 "
                      "carrier-wander-period=0.5 bursts=0.5 burst-length=0.01 clicks=200 "
                      "overload=0.3 clip=35 drift=40 step=30 ppm=200";
    g_autoptr(VekgenSignal) a = impaired(5, 40.0, all);
    g_autoptr(VekgenSignal) b = impaired(5, 40.0, all);
    for (VekgenSignal *s : {a, b}) {
        VekgenFrame f = frame_at(600, -7000.0, 60.0, 5000);
        ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
    }
    const gsize n = 100000;
    const auto whole = render(a, n);
    std::vector<cd> pieces;
    for (gsize part : {1u, 255u, 257u, 4095u, 4097u, 333u, 90962u}) {
        const auto p = render(b, part);
        pieces.insert(pieces.end(), p.begin(), p.end());
    }
    EXPECT_EQ(whole, pieces);
    g_autoptr(VekgenSignal) other = impaired(6, 40.0, all);
    EXPECT_NE(render(other, 20000), std::vector<cd>(whole.begin(), whole.begin() + 20000));

    /* Clicks switched on add clicks and change nothing else. */
    g_autoptr(VekgenSignal) quiet = impaired(5, 40.0, "carriers=3 dc=20");
    g_autoptr(VekgenSignal) clicking = impaired(5, 40.0, "carriers=3 dc=20 clicks=20");
    const auto q = render(quiet, 192000), c = render(clicking, 192000);
    gsize differ = 0;
    for (gsize i = 0; i < q.size(); i++)
        differ += q[i] != c[i];
    /* About 20 clicks of 19 samples; a few samples of a click may round alike. */
    EXPECT_GT(differ, 5u * 19u);
    EXPECT_LT(differ, 40u * 19u);
}

TEST(VekgenImpairFrontEnd, DcOffsetIsTheMeanAtItsLevelOverABinsNoise)
{
    g_autoptr(VekgenSignal) s = impaired(3, 30.0, "dc=45 dc-phase=1");
    const auto x = render(s, 384000);
    const cd m = mean(x);
    double var = 0.0;
    for (const cd &v : x)
        var += std::norm(v - m);
    var /= double(x.size());
    /* The noise moves the mean by sigma / sqrt(n) = 0.03 per component. */
    const cd expected = std::polar(std::sqrt(std::pow(10.0, (30.0 - kBinDb + 45.0) / 10.0)), 1.0);
    EXPECT_LT(std::abs(m - expected), 0.15) << m;
    EXPECT_NEAR(db(std::norm(m)) - (db(var) - kBinDb), 45.0, 0.02);

    /* Without a phase it is drawn from the seed: the same level, another angle. */
    g_autoptr(VekgenSignal) t = impaired(4, 30.0, "dc=45");
    const cd drawn = mean(render(t, 192000));
    EXPECT_NEAR(std::abs(drawn), std::abs(expected), 0.2);
    EXPECT_GT(std::abs(std::arg(drawn) - 1.0), 0.01);
}

TEST(VekgenImpairFrontEnd, IqImbalanceMakesTheImageItsFormulaGives)
{
    const double g = std::pow(10.0, 1.0 / 20.0), p = 5.0 * G_PI / 180.0;
    const double image_db =
        db((1.0 - 2.0 * g * std::cos(p) + g * g) / (1.0 + 2.0 * g * std::cos(p) + g * g));
    ASSERT_NEAR(image_db, -22.8, 0.05);
    const double level = VEKGEN_IMPAIR_QUIET_NOISE_DB - kBinDb + 60.0;
    g_autoptr(VekgenSignal) s = impaired(
        1, -G_MAXDOUBLE, "carriers=1 carrier-freq=12000 carrier-level=60 iq-gain=1 iq-phase=5");
    const auto x = render(s, 192000);
    EXPECT_NEAR(db(tone_power(x, -12000.0)) - db(tone_power(x, 12000.0)), image_db, 0.02);
    /* The gains are split so that the wanted tone keeps its level within 0.01 dB. */
    EXPECT_NEAR(db(tone_power(x, 12000.0)), level, 0.02);

    g_autoptr(VekgenSignal) balanced =
        impaired(1, -G_MAXDOUBLE, "carriers=1 carrier-freq=12000 carrier-level=60");
    const auto y = render(balanced, 192000);
    EXPECT_LT(db(tone_power(y, -12000.0)) - db(tone_power(y, 12000.0)), -90.0);
}

TEST(VekgenImpairFrontEnd, ClippingCutsIAndQAtItsLevel)
{
    /* Noise at 40 dB, clipped 6 dB over it: at floor(10^(46/20)) = 199. */
    g_autoptr(VekgenSignal) s = impaired(9, 40.0, "clip=6");
    EXPECT_EQ(vekgen_signal_get_full_scale(s), 199u);
    const auto x = render(s, 192000);
    gsize at_limit = 0, beyond = 0;
    for (const cd &v : x) {
        for (double c : {v.real(), v.imag()}) {
            at_limit += std::fabs(c) == 199.0;
            beyond += std::fabs(c) > 199.0;
        }
    }
    EXPECT_EQ(beyond, 0u);
    /* Every value past 198.5 lands on the limit: 2 Q(198.5 / sigma) of them, about
     * 1900 of 384000 (+-44, one standard deviation). */
    const double sigma = std::sqrt(1e4 / 2.0);
    const double expected = 2.0 * double(x.size()) * std::erfc(198.5 / sigma / std::sqrt(2.0));
    EXPECT_NEAR(double(at_limit) / expected, 1.0, 0.1) << at_limit << " of " << expected;
}

TEST(VekgenImpairAir, CarriersSitAtTheirFrequenciesAtTheirLevel)
{
    const char *text = "carriers=3 carrier-freq=-50000,1234.5 carrier-level=40";
    g_autoptr(VekgenSignal) s = impaired(11, 30.0, text);
    guint n = 0;
    const double *f = vekgen_signal_get_carriers(s, &n);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(f[0], -50000.0);
    EXPECT_EQ(f[1], 1234.5);
    EXPECT_LE(std::fabs(f[2]), kFs / 2);
    const auto x = render(s, 192000);
    /* A second of noise puts -22.8 dB into a tone's 1 Hz bin, 65 dB under it. */
    for (guint k = 0; k < n; k++)
        EXPECT_NEAR(db(tone_power(x, f[k])), 30.0 - kBinDb + 40.0, 0.02) << f[k];

    g_autoptr(VekgenSignal) t = impaired(12, 30.0, text);
    const double *g = vekgen_signal_get_carriers(t, &n);
    EXPECT_EQ(g[1], 1234.5);
    EXPECT_NE(g[2], f[2]);
}

TEST(VekgenImpairAir, WanderMovesACarrierSlowlyByItsPeak)
{
    g_autoptr(VekgenSignal) s = impaired(2, -G_MAXDOUBLE,
                                         "carriers=1 carrier-freq=20000 carrier-level=60 "
                                         "carrier-wander=500 carrier-wander-period=1");
    const auto x = render(s, 2 * 192000);
    const gsize window = 960; /* 5 ms, over which the wander moves at most 16 Hz */
    double lowest = 1e9, highest = -1e9, previous = NAN, largest_move = 0.0;
    for (gsize at = 0; at + window <= x.size(); at += window) {
        const double f = frequency(x, at, window);
        lowest = std::min(lowest, f);
        highest = std::max(highest, f);
        if (!std::isnan(previous))
            largest_move = std::max(largest_move, std::fabs(f - previous));
        previous = f;
    }
    EXPECT_NEAR(highest, 20500.0, 2.0);
    EXPECT_NEAR(lowest, 19500.0, 2.0);
    EXPECT_LT(largest_move, 2.0 * G_PI * 500.0 * 0.005 + 1.0);
}

TEST(VekgenImpairAir, BurstsKeepTheirDutyWidthAndLevel)
{
    g_autoptr(VekgenSignal) s = impaired(3, -G_MAXDOUBLE,
                                         "bursts=0.3 burst-length=0.02 burst-width=20000 "
                                         "burst-freq=30000 burst-level=20");
    const auto x = render(s, 20 * 192000);
    const double on_power = std::pow(10.0, (VEKGEN_IMPAIR_QUIET_NOISE_DB + 20.0) / 10.0);
    gsize on = 0, full = 0;
    double full_power = 0.0;
    for (const cd &v : x) {
        on += std::norm(v) > on_power / 4;
        if (std::norm(v) > 0.99 * on_power) {
            full++;
            full_power += std::norm(v);
        }
    }
    /* Some 300 bursts with exponential gaps: the share on is 0.3 within 0.02 (one
     * standard deviation). */
    EXPECT_NEAR(double(on) / double(x.size()), 0.3, 0.05);
    EXPECT_NEAR(db(full_power / double(full)), db(on_power), 0.01);

    /* Its spectrum (1 kHz bins, Hann windows wholly inside bursts) fills 20 to 40 kHz. */
    const gsize m = 192;
    std::vector<cd> turn(m), block(m);
    std::vector<double> hann(m), spectrum(m, 0.0);
    for (gsize i = 0; i < m; i++) {
        turn[i] = std::polar(1.0, -2.0 * G_PI * double(i) / m);
        hann[i] = 0.5 - 0.5 * std::cos(2.0 * G_PI * double(i) / m);
    }
    gsize blocks = 0;
    for (gsize at = 0; at + m <= x.size() && blocks < 500; at += m) {
        bool inside = true;
        for (gsize i = 0; i < m && inside; i++) {
            inside = std::norm(x[at + i]) > 0.99 * on_power;
            block[i] = x[at + i] * hann[i];
        }
        if (!inside)
            continue;
        blocks++;
        for (gsize k = 0; k < m; k++) {
            cd sum = 0.0;
            for (gsize i = 0; i < m; i++)
                sum += block[i] * turn[k * i % m];
            spectrum[k] += std::norm(sum);
        }
    }
    ASSERT_EQ(blocks, 500u);
    double in_band = 0.0, total = 0.0;
    for (gsize k = 0; k < m; k++) {
        total += spectrum[k];
        in_band += (k >= 19 && k <= 41) ? spectrum[k] : 0.0;
    }
    ASSERT_GT(total, 0.0);
    EXPECT_GT(in_band / total, 0.99);
    /* Its skirts: from 5 kHz outside its width on, under 1e-4 of its power (6e-6 here;
     * an abrupt hop every millisecond put 6e-4 there). */
    double far = 0.0;
    for (gsize k = 0; k < m; k++)
        far += (k < 15 || k > 45) ? spectrum[k] : 0.0;
    EXPECT_LT(far / total, 1e-4);
    /* ... evenly: every bin inside holds at least half its share. */
    for (gsize k = 21; k <= 39; k++)
        EXPECT_GT(spectrum[k], 0.5 * in_band / 21.0) << k << " kHz";
}

TEST(VekgenImpairAir, ClicksComeAtTheirRateLengthAndLevel)
{
    g_autoptr(VekgenSignal) s =
        impaired(4, -G_MAXDOUBLE, "clicks=50 click-length=0.0001 click-level=30");
    const auto x = render(s, 10 * 192000);
    gsize clicks = 0, samples = 0, run = 0;
    double power = 0.0;
    bool whole_clicks = true;
    for (gsize i = 0; i <= x.size(); i++) {
        if (i < x.size() && x[i] != cd{}) {
            run++;
            power += std::norm(x[i]);
            continue;
        }
        if (run == 0)
            continue;
        /* 0.0001 s is 19 samples; a click may follow the one before it at once. */
        whole_clicks = whole_clicks && run % 19 == 0;
        clicks += run / 19;
        samples += run;
        run = 0;
    }
    EXPECT_TRUE(whole_clicks);
    /* 500 expected, Poisson: +-22 is one standard deviation. */
    EXPECT_NEAR(double(clicks), 500.0, 75.0);
    EXPECT_NEAR(db(power / double(samples)), VEKGEN_IMPAIR_QUIET_NOISE_DB + 30.0, 0.15);
}

TEST(VekgenImpairAir, OverloadIsABurstAtItsTimeLengthAndLevel)
{
    g_autoptr(VekgenSignal) s = impaired(5, 30.0, "overload=0.5 overload-level=50");
    const auto x = render(s, 192000);
    const gsize start = 96000, end = start + 1920;
    /* 1920 samples of Gaussian noise: the power within 0.1 dB (one standard deviation). */
    EXPECT_NEAR(db(mean_power(x, start, end)), 80.0, 0.3);
    EXPECT_NEAR(db(mean_power(x, start - 2000, start)), 30.0, 0.3);
    EXPECT_NEAR(db(mean_power(x, end, end + 2000)), 30.0, 0.3);
    EXPECT_GT(std::norm(x[start]), 1e5);
    EXPECT_LT(std::norm(x[end]), 1e5);

    /* 70 dB over the noise is past full scale: the converter clips, never wraps. */
    g_autoptr(VekgenSignal) t = impaired(5, 30.0, "overload=0.5 overload-level=70");
    const auto y = render(t, 192000);
    gsize clipped = 0;
    for (gsize i = start; i < end; i++)
        for (double c : {y[i].real(), y[i].imag()})
            clipped += c == 32767.0 || c == -32768.0;
    EXPECT_GT(clipped, 2 * 1920 / 2);
}

TEST(VekgenImpairDevice, DriftAndStepMoveTheCarrierAsStated)
{
    g_autoptr(VekgenSignal) s = impaired(6, -G_MAXDOUBLE, "");
    VekgenFrame f = frame_at(100, 1000.0, 60.0, 1000);
    f.drift_hz_per_s = 30.0;
    f.step_hz = -50.0;
    f.step_at = 0.25;
    ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
    const guint64 length = vekgen_frame_end_sample(&f) - f.start_sample;
    const guint64 step = f.start_sample + guint64(std::llround(0.25 * double(length)));
    const auto x = render(s, vekgen_frame_end_sample(&f) + 100);
    const gsize window = 960;
    for (guint64 at = f.start_sample; at + window <= vekgen_frame_end_sample(&f); at += window) {
        if (at < step && step < at + window)
            continue;
        const double t = (double(at - f.start_sample) + window / 2.0) / kFs;
        const double expected = 1000.0 + 30.0 * t + (at >= step ? -50.0 : 0.0);
        ASSERT_NEAR(frequency(x, at, window, true), expected, 0.1) << "at " << t << " s";
    }
    /* The frame keeps its power; its truth is the frame as sent. */
    EXPECT_NEAR(db(mean_power(x, f.start_sample, vekgen_frame_end_sample(&f))), 60.0, 0.01);
    guint n = 0;
    const VekgenFrame *kept = vekgen_signal_get_frames(s, &n);
    EXPECT_EQ(kept[0].offset_hz, 1000.0);
}

TEST(VekgenImpairDevice, ClockErrorMakesEveryBitShorterOrLonger)
{
    for (double ppm : {1000.0, -1000.0}) {
        g_autoptr(VekgenSignal) s = impaired(7, -G_MAXDOUBLE, "");
        VekgenFrame f = frame_at(600, 0.0, 60.0, 100);
        f.clock_ppm = ppm;
        ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
        const guint symbols = vekgen_frame_symbols(&f);
        const double bit = 320.0 / (1.0 + ppm * 1e-6);
        const guint64 end = f.start_sample + guint64(std::ceil(symbols * bit));
        EXPECT_EQ(vekgen_frame_air_end_sample(&f), end);
        const auto x = render(s, end + 100);
        EXPECT_NE(x[end - 1], cd{});
        EXPECT_EQ(x[end], cd{});
        /* With the carrier at 0 Hz the symbols flip exactly at the device's bit
         * boundaries, the first at or after k * bit. */
        guint8 bits[VEKGEN_HEADER_BITS + 8 * (VEKGEN_MAX_COVERED + 2)];
        vekgen_frame_bits(&f, bits);
        gsize flips = 0;
        for (guint k = 1; k < symbols; k++) {
            const gsize at = f.start_sample + gsize(std::ceil(k * bit));
            const bool flipped = std::real(x[at] * std::conj(x[at - 1])) < 0;
            EXPECT_EQ(flipped, bits[k - 1] == 0) << "bit " << k;
            EXPECT_GT(std::real(x[at + 1] * std::conj(x[at])), 0) << "bit " << k;
            flips += flipped;
        }
        EXPECT_GT(flips, 20u);
    }
}

TEST(VekgenImpairRecording, NotesTheImpairmentsAndKeepsTheTruth)
{
    g_autofree gchar *dir = g_dir_make_tmp("vekgen-impair-XXXXXX", nullptr);
    const std::string base = std::string(dir) + "/rec";
    g_autoptr(VekgenSignal) s = impaired(8, 30.0, "carriers=2 clicks=10 drift=12");
    VekgenFrame a = frame_at(600, 2500.0, 55.0, 2000), b = frame_at(600, -2500.0, 55.0, 100000);
    b.clock_ppm = 40.0;
    b.drift_hz_per_s = 0.0;
    ASSERT_TRUE(vekgen_signal_add_frame(s, &a, nullptr));
    ASSERT_TRUE(vekgen_signal_add_frame(s, &b, nullptr));
    ASSERT_TRUE(vekgen_recording_write(base.c_str(), s, 0, nullptr));

    g_autoptr(GError) error = nullptr;
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base.c_str(), &error);
    ASSERT_NE(rec, nullptr) << error->message;
    guint n = 0;
    const VekgenFrame *frames = vekgen_recording_get_frames(rec, &n);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(frames[0].offset_hz, 2500.0);
    EXPECT_EQ(frames[0].power_db, 55.0);
    EXPECT_EQ(frames[0].drift_hz_per_s, 12.0);
    EXPECT_TRUE(std::isnan(frames[0].clock_ppm));
    EXPECT_EQ(frames[1].drift_hz_per_s, 0.0);
    EXPECT_EQ(frames[1].clock_ppm, 40.0);
    EXPECT_EQ(frames[1].start_sample, 100000u);

    g_autofree gchar *meta = nullptr;
    ASSERT_TRUE(g_file_get_contents((base + ".sigmf-meta").c_str(), &meta, nullptr, nullptr));
    EXPECT_NE(std::string(meta).find("\"vekgen:impairments\" : \"carriers=2 clicks=10 drift=12\""),
              std::string::npos)
        << meta;
    for (const char *ext : {".sigmf-meta", ".sigmf-data"})
        g_remove((base + ext).c_str());
    g_rmdir(dir);
}

} // namespace
