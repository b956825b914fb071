/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The demodulator library against the transmitter: every frame type at both rates,
 * measured frequency, power, SNR and report time, rejection of damaged frames, both
 * polarities, back-to-back frames and patterned input without false reports. */
#include "vekgen-decode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace
{

constexpr float kGain = 20.0f;

guint64 bit_samples(guint rate)
{
    return vekgen_samples_per_bit(rate);
}

VekgenFrame make(guint rate, const VekgenFrameType &type, guint64 start, double freq, int salt)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    f.bit_rate = rate;
    vekgen_frame_set_type(&f, &type);
    f.start_sample = start;
    f.offset_hz = freq;
    f.power_db = 60.0;
    f.phase = 0.37 * salt;
    for (guint i = 0; i < type.covered_len; i++)
        f.bytes[i] = static_cast<guint8>(g_int_hash(&salt) + 53 * i + salt * salt);
    f.bytes[0] = static_cast<guint8>(salt % 2 ? 0x10 : 0x00);
    return f;
}

/* Runs one decoder over the whole signal, up to the end of the last frame's tail
 * plus one packet. */
vekgen::Match decode(vekgen::Decoder &d, VekgenSignal *s)
{
    d.run(s, vekgen_signal_get_end(s) + d.packet_size());
    guint n = 0;
    const VekgenFrame *truth = vekgen_signal_get_frames(s, &n);
    return vekgen::match(d, truth, n);
}

class EndToEndEveryFrameType : public ::testing::TestWithParam<guint>
{
};

TEST_P(EndToEndEveryFrameType, DecodesBytesLengthTidAckSeqAndOob)
{
    const guint rate = GetParam();
    vekgen::Decoder d(rate, kGain);
    ASSERT_EQ(d.error(), "");
    g_autoptr(VekgenSignal) s = vekgen_signal_new(11, -G_MAXDOUBLE);
    guint n_types = 0;
    const VekgenFrameType *types = vekgen_frame_types(&n_types);
    bool acks[2] = {false, false};
    for (guint i = 0; i < n_types; i++) {
        /* Back to back at the closest spacing the receiver allows. */
        VekgenFrame f =
            make(rate, types[i], 5000 + i * VEKGEN_FRAME_SPACING_BITS * bit_samples(rate),
                 -3000.0 + 401.0 * i, static_cast<int>(i));
        acks[vekgen_frame_expected_ack(&f)] = true;
        ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
    }
    ASSERT_TRUE(acks[0] && acks[1]) << "the frames should exercise both ack values";
    const vekgen::Match m = decode(d, s);
    ASSERT_EQ(d.reports().size(), n_types);
    EXPECT_EQ(m.found, n_types);
    EXPECT_TRUE(m.false_reports.empty());
    for (guint i = 0; i < m.frames.size(); i++) {
        const auto &o = m.frames[i];
        ASSERT_GE(o.report, 0) << "type 0x" << std::hex << types[i].pattern;
        const vdem_proto_frame_t &r = d.reports()[o.report].frame;
        guint8 msg[VEKGEN_MAX_COVERED + 2];
        vekgen_frame_message(&o.truth, msg);
        EXPECT_EQ(0, memcmp(r.frame, msg, o.truth.covered_len + 2u)) << i;
        EXPECT_EQ(r.length, o.truth.covered_len) << i;
        EXPECT_EQ(r.f.v1.seq, o.truth.repetition) << i;
        EXPECT_EQ(r.f.v1.oob, o.truth.oob ? 1 : 0) << i;
        EXPECT_EQ(r.f.v1.ack, vekgen_frame_expected_ack(&o.truth) ? 1 : 0) << i;
        EXPECT_EQ(r.tid, vekgen_frame_expected_tid(&o.truth)) << i;
        EXPECT_EQ(r.protocol, VDEM_PROTO_FRAME_V1);
    }
}

INSTANTIATE_TEST_SUITE_P(BothRates, EndToEndEveryFrameType, ::testing::Values(100u, 600u));

/* Noise-free, the phase-locked loop and its regression leave errors of about +-30 Hz at
 * 100 bit/s and +-60 Hz at 600 bit/s (the BPSK phase jumps disturb the loop; the window
 * is shorter at 600 bit/s). The tolerance adds a third. Near +-95 kHz the value may come
 * out on the other side of the band: errors are compared modulo 192 kHz. */
class EndToEndFrequency : public ::testing::TestWithParam<guint>
{
};

TEST_P(EndToEndFrequency, FollowsTheOffsetAcrossTheBand)
{
    const guint rate = GetParam();
    const double tolerance = rate == 100 ? 40.0 : 80.0;
    const double offsets[] = {-95500, -90000, -60000, -37500, -12000, -800,  -50,  0,
                              75,     2500,   20000,  37000,  55000,  80000, 95900};
    vekgen::Decoder d(rate, kGain);
    g_autoptr(VekgenSignal) s = vekgen_signal_new(3, -G_MAXDOUBLE);
    guint n_types = 0;
    const VekgenFrameType *types = vekgen_frame_types(&n_types);
    int i = 0;
    for (double f : offsets) {
        VekgenFrame fr =
            make(rate, types[(i * 5) % n_types], 1000 + i * 260 * bit_samples(rate), f, i);
        ASSERT_TRUE(vekgen_signal_add_frame(s, &fr, nullptr));
        i++;
    }
    const vekgen::Match m = decode(d, s);
    EXPECT_TRUE(m.false_reports.empty());
    for (const auto &o : m.frames) {
        ASSERT_GE(o.report, 0) << o.truth.offset_hz;
        EXPECT_LE(std::fabs(o.freq_error), tolerance) << "offset " << o.truth.offset_hz;
    }
}

INSTANTIATE_TEST_SUITE_P(BothRates, EndToEndFrequency, ::testing::Values(100u, 600u));

/* rssi is the power after a coarse derotation and a one-pole low-pass of about 300 Hz:
 * the filter cuts the BPSK sidebands, on average 0.25 dB at 100 bit/s and 1.55 dB at
 * 600 bit/s near 0 Hz, and far more where the coarse estimate misses (600 bit/s beyond
 * about 30 kHz). One frame's reading moves with its bits and the coarse estimate's error:
 * +-0.1 dB at 100 bit/s, +-0.5 dB at 600 bit/s around those means. */
TEST(EndToEndMeasuredPower, ReadsTheInjectedPowerMinusTheGain)
{
    struct Case {
        guint rate;
        double freq, power, low, high; /* bounds of rssi - (power - gain) */
    } cases[] = {
        {100, 0.0, 60.0, -0.45, -0.05},      {100, -7000.0, 45.0, -0.45, -0.05},
        {100, 30000.0, 75.0, -0.45, -0.05},  {100, 90000.0, 60.0, -1.6, -0.2},
        {600, 0.0, 60.0, -2.2, -1.0},        {600, -600.0, 50.0, -2.2, -1.0},
        {600, -60000.0, 60.0, -24.0, -12.0}, {600, 80000.0, 60.0, -24.0, -12.0},
    };
    for (guint rate : {100u, 600u}) {
        vekgen::Decoder d(rate, kGain);
        g_autoptr(VekgenSignal) s = vekgen_signal_new(5, -G_MAXDOUBLE);
        int i = 0;
        for (const auto &c : cases) {
            if (c.rate != rate)
                continue;
            guint n_types = 0;
            const VekgenFrameType *types = vekgen_frame_types(&n_types);
            VekgenFrame f =
                make(rate, types[i % n_types], 100 + i * 260 * bit_samples(rate), c.freq, i);
            f.power_db = c.power;
            ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
            i++;
        }
        const vekgen::Match m = decode(d, s);
        int k = 0;
        for (const auto &c : cases) {
            if (c.rate != rate)
                continue;
            const auto &o = m.frames[k++];
            ASSERT_GE(o.report, 0);
            EXPECT_GE(o.rssi_error, c.low) << rate << " " << c.freq;
            EXPECT_LE(o.rssi_error, c.high) << rate << " " << c.freq;
        }
    }
}

TEST(EndToEndMeasuredPower, SnrIsRssiPlusTheRateConstantCappedAtFifty)
{
    for (guint rate : {100u, 600u}) {
        vekgen::Decoder d(rate, 100.0f);
        g_autoptr(VekgenSignal) s = vekgen_signal_new(5, -G_MAXDOUBLE);
        const double powers[] = {40.0, 50.0, 70.0};
        guint n_types = 0;
        const VekgenFrameType *types = vekgen_frame_types(&n_types);
        for (int i = 0; i < 3; i++) {
            VekgenFrame f = make(rate, types[i], 100 + i * 260 * bit_samples(rate), 1000.0, i);
            f.power_db = powers[i];
            ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
        }
        const vekgen::Match m = decode(d, s);
        ASSERT_EQ(m.found, 3u);
        bool capped = false, uncapped = false;
        for (const auto &r : d.reports()) {
            const float expected = std::min(50.0f, r.frame.rssi + (rate == 100 ? 90.0f : 82.0f));
            EXPECT_FLOAT_EQ(r.frame.snr, expected);
            (r.frame.snr == 50.0f ? capped : uncapped) = true;
        }
        EXPECT_TRUE(capped && uncapped) << "both sides of the cap should be exercised";
    }
}

TEST(EndToEndMeasuredPower, FramesAtOrBelowMinus64AreNotReported)
{
    vekgen::Decoder d(100, 100.0f);
    g_autoptr(VekgenSignal) s = vekgen_signal_new(5, -G_MAXDOUBLE);
    guint n_types = 0;
    const VekgenFrameType *types = vekgen_frame_types(&n_types);
    VekgenFrame weak = make(100, types[0], 100, 0.0, 1);
    weak.power_db = 34.0; /* rssi about -66.3 */
    VekgenFrame strong = make(100, types[1], 100 + 260 * 1920, 0.0, 2);
    strong.power_db = 38.0; /* rssi about -62.3 */
    ASSERT_TRUE(vekgen_signal_add_frame(s, &weak, nullptr));
    ASSERT_TRUE(vekgen_signal_add_frame(s, &strong, nullptr));
    const vekgen::Match m = decode(d, s);
    EXPECT_EQ(m.frames[0].report, -1);
    EXPECT_GE(m.frames[1].report, 0) << "the timing must have been reset after the dropped frame";
}

TEST(EndToEndReportTime, IsTheCounterAtTheEndOfThePacketThatCompletedTheFrame)
{
    for (guint rate : {100u, 600u}) {
        vekgen::Decoder d(rate, kGain);
        g_autoptr(VekgenSignal) s = vekgen_signal_new(5, -G_MAXDOUBLE);
        guint n_types = 0;
        const VekgenFrameType *types = vekgen_frame_types(&n_types);
        const guint64 T = bit_samples(rate);
        for (int i = 0; i < 6; i++) {
            /* Starts that fall at different places inside a packet. */
            VekgenFrame f = make(rate, types[i * 3], 777 + i * (260 * T + 1234), 500.0, i);
            ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
        }
        const vekgen::Match m = decode(d, s);
        ASSERT_EQ(m.found, 6u);
        for (const auto &o : m.frames) {
            const vekgen::Report &r = d.reports()[o.report];
            EXPECT_EQ(static_cast<guint32>(r.frame.sampleTimeStamp),
                      static_cast<guint32>(r.counter));
            EXPECT_EQ(r.counter % d.packet_size(), 0u);
            /* The pattern ends 41 bit periods after the start; the report comes 208
             * decisions later, the decisions lagging the samples by less than a bit period
             * of filter and integrator, then rounded up to the packet's end. */
            const guint64 decided = o.truth.start_sample + (41 + 208) * T;
            EXPECT_GE(r.counter, decided) << rate;
            EXPECT_LT(r.counter, decided + 2 * T + d.packet_size()) << rate;
        }
    }
}

/* Flips the differential decision of data bit @bit: every symbol after it changes sign. */
void flip_decision(std::vector<gint16> &iq, const VekgenFrame &f, guint bit)
{
    const guint64 T = bit_samples(f.bit_rate);
    const guint64 from = f.start_sample + (1 + VEKGEN_HEADER_BITS + bit) * T;
    for (guint64 n = from; n < vekgen_frame_end_sample(&f); n++) {
        iq[2 * n] = static_cast<gint16>(-iq[2 * n]);
        iq[2 * n + 1] = static_cast<gint16>(-iq[2 * n + 1]);
    }
}

void post_all(vekgen::Decoder &d, std::vector<gint16> &iq)
{
    iq.resize((iq.size() / 2 + d.packet_size() - 1) / d.packet_size() * d.packet_size() * 2, 0);
    for (gsize at = 0; at < iq.size(); at += 2 * d.packet_size())
        d.post(iq.data() + at);
}

TEST(EndToEndDamagedFrame, OneFlippedBitGivesNoReport)
{
    for (guint rate : {100u, 600u}) {
        guint n_types = 0;
        const VekgenFrameType *types = vekgen_frame_types(&n_types);
        const VekgenFrameType &type = types[7]; /* 12 bytes, repetition 2 */
        for (guint bit : {0u, 1u, 47u, 8u * 12u, 8u * 14u - 1u}) {
            vekgen::Decoder d(rate, kGain);
            g_autoptr(VekgenSignal) s = vekgen_signal_new(5, -G_MAXDOUBLE);
            VekgenFrame f = make(rate, type, 1000, 1500.0, 3);
            ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
            const guint64 n = vekgen_signal_get_end(s) + d.packet_size();
            std::vector<gint16> iq(2 * n);
            vekgen_signal_fill(s, iq.data(), n);
            std::vector<gint16> good = iq;
            flip_decision(iq, f, bit);
            post_all(d, iq);
            EXPECT_TRUE(d.reports().empty()) << rate << " bit " << bit;
            /* The same frame undamaged is reported: the damage is what stops it. */
            d.clear_reports();
            post_all(d, good);
            EXPECT_EQ(d.reports().size(), 1u) << rate << " bit " << bit;
        }
    }
}

TEST(EndToEndPolarity, BothDifferentialSensesAndBothLockPhasesDecode)
{
    for (guint rate : {100u, 600u}) {
        vekgen::Decoder d(rate, kGain);
        g_autoptr(VekgenSignal) s = vekgen_signal_new(5, -G_MAXDOUBLE);
        guint n_types = 0;
        const VekgenFrameType *types = vekgen_frame_types(&n_types);
        int i = 0;
        /* An offset of half the bit rate turns the differential product by pi, so the
         * phase tracker starts on the other sign. */
        for (double freq : {0.0, rate / 2.0}) {
            for (gboolean inverted : {gboolean{FALSE}, gboolean{TRUE}}) {
                VekgenFrame f =
                    make(rate, types[i + 9], 100 + i * 260 * bit_samples(rate), freq, i);
                f.inverted = inverted;
                ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
                i++;
            }
        }
        const vekgen::Match m = decode(d, s);
        EXPECT_EQ(m.found, 4u) << rate;
        EXPECT_EQ(d.reports().size(), 4u) << rate;
    }
}

TEST(EndToEndBackToBack, ShortestAndLongestFramesAtTheMinimumSpacingAreEachReportedOnce)
{
    /* Shortest and longest frames alternating at exactly 258 bit periods, in noise. */
    for (guint rate : {100u, 600u}) {
        vekgen::Decoder d(rate, kGain);
        g_autoptr(VekgenSignal) s = vekgen_signal_new(8, 10.0);
        guint n_types = 0;
        const VekgenFrameType *types = vekgen_frame_types(&n_types);
        const guint64 spacing = VEKGEN_FRAME_SPACING_BITS * bit_samples(rate);
        for (int i = 0; i < 10; i++) {
            VekgenFrame f = make(rate, types[i % 2 ? 14 : 0], 300 + i * spacing, 100.0 * i, i);
            ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
        }
        const vekgen::Match m = decode(d, s);
        EXPECT_EQ(m.found, 10u) << rate;
        EXPECT_TRUE(m.false_reports.empty()) << rate;
    }
}

TEST(EndToEndNoFalseReports, PatternedInputGivesNothing)
{
    /* Bytes 0x00, 0xFF and 0x55 read as I/Q, one second of each; plus silence. */
    for (guint rate : {100u, 600u}) {
        for (guint8 byte : {0x00, 0xFF, 0x55, 0xAA}) {
            vekgen::Decoder d(rate, kGain);
            std::vector<gint16> iq(2 * VEKGEN_SAMPLE_RATE);
            memset(iq.data(), byte, iq.size() * sizeof(gint16));
            post_all(d, iq);
            EXPECT_TRUE(d.reports().empty()) << rate << " byte " << int(byte);
        }
    }
}

TEST(EndToEndNoFalseReports, TenSecondsOfNoiseGiveNothing)
{
    for (guint rate : {100u, 600u}) {
        vekgen::Decoder d(rate, kGain);
        g_autoptr(VekgenSignal) s = vekgen_signal_new(99, 40.0);
        d.run(s, 10 * VEKGEN_SAMPLE_RATE);
        EXPECT_TRUE(d.reports().empty()) << rate;
    }
}

} // namespace
