/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* I/Q written through a real main loop comes back as the frames that were
 * sent, with the time values of the writes that carried them. */
#include "iqhub_test_util.h"

#include <clocale>
#include <cstring>

using namespace iqhub_test;

namespace
{

constexpr gint64 kYear2100 = 4102444800;

/* Writes @iq in chunks of @chunk bytes; chunk k gets the time value base + k. */
void stream(Iqhub *hub, const std::vector<gint16> &iq, gsize chunk, gint64 base)
{
    const auto *bytes = reinterpret_cast<const guint8 *>(iq.data());
    const gsize total = iq.size() * sizeof(gint16);
    gint64 k = 0;
    for (gsize offset = 0; offset < total; offset += chunk, k++) {
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(write_and_wait(hub, bytes + offset, std::min(chunk, total - offset),
                                   make_tv(base + k, 999999), &error))
            << error->message;
    }
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

struct Case {
    guint rate;
    bool decimal_comma;
    const char *receiver;
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.rate << " bit/s, " << c.receiver << (c.decimal_comma ? ", decimal comma" : "");
}

class IqhubEndToEnd : public ::testing::TestWithParam<Case>
{
};

} // namespace

TEST_P(IqhubEndToEnd, DeliversExactlyTheFramesSentWithTheirWritesTime)
{
    const Case c = GetParam();
    if (c.decimal_comma && !use_decimal_comma_locale())
        GTEST_SKIP() << "no locale with a decimal comma on this machine";

    /* Frames at 60 dB read about -40 dB: well inside the demodulator's range. */
    g_autoptr(Iqhub) hub = iqhub_new_with_options("bit-rate", c.rate, "int-gain", 100.0, "receiver",
                                                  c.receiver, nullptr);
    gsize advised = 0;
    ASSERT_TRUE(iqhub_start(hub, &advised, nullptr));
    Collector collector;
    iqhub_set_frame_callback(hub, Collector::on_frame, &collector, nullptr, nullptr);
    g_autoptr(IqhubHmacFilter) auth = iqhub_hmac_filter_new();
    iqhub_add_filter(hub, IQHUB_IFILTER(auth));

    g_autoptr(VekgenSignal) signal = vekgen_signal_new(7, 20.0);
    const guint64 spacing =
        guint64{VEKGEN_FRAME_SPACING_BITS + 20} * vekgen_samples_per_bit(c.rate);
    const guint8 payload[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (guint i = 0; i < 4; i++) {
        VekgenFrame f = make_frame(c.rate, {}, 5000 + i * spacing, -30000.0 + 17000.0 * i);
        ASSERT_TRUE(vekgen_frame_set_uplink(&f, 0x1000 + i, static_cast<guint16>(i), payload, 3 * i,
                                            i == 2, nullptr));
        ASSERT_TRUE(vekgen_signal_add_frame(signal, &f, nullptr));
    }
    const std::vector<gint16> iq = fill(signal, vekgen_signal_get_end(signal));
    stream(hub, iq, advised, kYear2100);
    setlocale(LC_ALL, "C");

    guint n = 0;
    const VekgenFrame *sent = vekgen_signal_get_frames(signal, &n);
    ASSERT_EQ(collector.frames.size(), 3u) << "the forged frame is dropped";
    guint64 drops = 0, errors = 0;
    g_object_get(hub, "frames-drop", &drops, "frames-error-ts", &errors, nullptr);
    EXPECT_EQ(drops, 1u);
    EXPECT_EQ(errors, 0u);
    const gint64 samples_per_write = static_cast<gint64>(advised / 4);
    gsize got = 0;
    for (guint i = 0; i < n; i++) {
        if (sent[i].forged)
            continue;
        const kvrframe &frame = collector.frames[got++];
        ASSERT_EQ(frame.v, KVRPROTO_VERSION_V1);
        EXPECT_EQ(kvrproto_get_tstid(&frame, nullptr), sent[i].device_id);
        ASSERT_EQ(frame.f.v1.data_s, sent[i].covered_len);
        EXPECT_EQ(0, std::memcmp(frame.f.v1.data, sent[i].bytes, sent[i].covered_len));
        /* Reported between the end of the frame and the end of its tail, plus one packet. */
        const gint64 first =
            static_cast<gint64>(vekgen_frame_end_sample(&sent[i])) / samples_per_write;
        const gint64 last =
            static_cast<gint64>(vekgen_frame_tail_end_sample(&sent[i]) + advised / 4) /
            samples_per_write;
        EXPECT_GE(frame.f.v1.timestamp, kYear2100 + first);
        EXPECT_LE(frame.f.v1.timestamp, kYear2100 + last);
    }
    ASSERT_TRUE(iqhub_stop_sync(hub, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Rates, IqhubEndToEnd,
                         ::testing::Values(Case{100, false, "vdem"}, Case{600, false, "vdem"},
                                           Case{600, true, "vdem"}, Case{600, false, "vchan"}),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::to_string(info.param.rate) + "bps" +
                                    (info.param.decimal_comma ? "DecimalCommaLocale" : "") +
                                    (g_strcmp0(info.param.receiver, "vchan") == 0
                                         ? "ChannelisedReceiver"
                                         : "");
                         });

/* The receiver is chosen at construction; a name that is neither fails the
 * start, and the channelised receiver is released at the stop so that a
 * second start makes a new one. */
TEST(IqhubReceiver, IsChosenAtConstructionAndAnUnknownOneFailsTheStart)
{
    g_autoptr(Iqhub) plain = iqhub_new();
    g_autofree gchar *name = nullptr;
    g_object_get(plain, "receiver", &name, nullptr);
    EXPECT_STREQ(name, "vdem");

    g_autoptr(Iqhub) bogus = iqhub_new_with_options("receiver", "fft", nullptr);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_start(bogus, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "unknown receiver 'fft': vdem or vchan");

    g_autoptr(Iqhub) hub = iqhub_new_with_options("receiver", "vchan", "bit-rate", 600, nullptr);
    for (int round = 0; round < 2; round++) {
        gsize advised = 0;
        ASSERT_TRUE(iqhub_start(hub, &advised, nullptr));
        EXPECT_EQ(advised, 10240u) << "the demodulator's packet at 600 bit/s";
        ASSERT_TRUE(iqhub_stop_sync(hub, nullptr));
    }
    ASSERT_TRUE(iqhub_start(hub, nullptr, nullptr)) << "dropped while started: nothing leaks";
}

/* A frame at 12 dB Eb/N0 in noise throughout: below what the demodulator
 * hears, well above what the channelised receiver needs (about 8 dB). */
TEST(IqhubReceiver, TheChannelisedOneHearsAFrameTheDemodulatorCannot)
{
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(3, 73.0);
    VekgenFrame f = make_frame(600, {}, 20000, 12345.0);
    f.power_db = 60.0; /* 60 - 73 + 10 log10(192000 / 600) = 12 dB */
    const guint8 payload[] = {0xc0, 0xff, 0xee};
    ASSERT_TRUE(vekgen_frame_set_uplink(&f, 0x4242, 7, payload, sizeof(payload), FALSE, nullptr));
    ASSERT_TRUE(vekgen_signal_add_frame(signal, &f, nullptr));
    const std::vector<gint16> iq = fill(signal, vekgen_signal_get_end(signal));
    for (const char *receiver : {"vdem", "vchan"}) {
        g_autoptr(Iqhub) hub =
            iqhub_new_with_options("bit-rate", 600, "int-gain", 0.0, "receiver", receiver, nullptr);
        gsize advised = 0;
        ASSERT_TRUE(iqhub_start(hub, &advised, nullptr));
        Collector collector;
        iqhub_set_frame_callback(hub, Collector::on_frame, &collector, nullptr, nullptr);
        stream(hub, iq, advised, 1700000000);
        EXPECT_EQ(collector.frames.size(), g_str_equal(receiver, "vchan") ? 1u : 0u) << receiver;
        ASSERT_TRUE(iqhub_stop_sync(hub, nullptr));
    }
}
