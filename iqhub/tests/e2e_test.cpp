/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* I/Q written through a real main loop comes back as the frames that were
 * sent, with the time values of the writes that carried them. */
#include "iqhub_test_util.h"

#include <algorithm>
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

/* The write that carried a frame's report lies between the one holding the
 * frame's end and the one holding its tail's end plus one packet (time values
 * count writes from @base). */
void expect_reported_in_time(gint64 timestamp, const VekgenFrame &sent, gsize advised, gint64 base)
{
    const gint64 samples_per_write = static_cast<gint64>(advised / 4);
    const gint64 first = static_cast<gint64>(vekgen_frame_end_sample(&sent)) / samples_per_write;
    const gint64 last =
        static_cast<gint64>(vekgen_frame_tail_end_sample(&sent) + advised / 4) / samples_per_write;
    EXPECT_GE(timestamp, base + first) << "device " << sent.device_id;
    EXPECT_LE(timestamp, base + last) << "device " << sent.device_id;
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
    gsize got = 0;
    for (guint i = 0; i < n; i++) {
        if (sent[i].forged)
            continue;
        const kvrframe &frame = collector.frames[got++];
        ASSERT_EQ(frame.v, KVRPROTO_VERSION_V1);
        EXPECT_EQ(kvrproto_get_tstid(&frame, nullptr), sent[i].device_id);
        ASSERT_EQ(frame.f.v1.data_s, sent[i].covered_len);
        EXPECT_EQ(0, std::memcmp(frame.f.v1.data, sent[i].bytes, sent[i].covered_len));
        EXPECT_EQ(frame.f.v1.bit_rate, c.rate);
        expect_reported_in_time(frame.f.v1.timestamp, sent[i], advised, kYear2100);
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

/* Both rates are the channelised receiver's alone: the demodulator keeps
 * refusing anything but 100 or 600, and per-rate counters exist for those two. */
TEST(IqhubReceiver, BothRatesAreTheChannelisedReceiversAlone)
{
    g_autoptr(Iqhub) vdem = iqhub_new_with_options("bit-rate", IQHUB_BIT_RATE_BOTH, nullptr);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_start(vdem, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "libsdr initialization failed code: 2 (ERRAPI: --bit-rate must "
                                 "be either 100 or 600\n)");
    g_clear_error(&error);

    g_autoptr(Iqhub) odd = iqhub_new_with_options("receiver", "vchan", "bit-rate", 300, nullptr);
    EXPECT_FALSE(iqhub_start(odd, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "channelised receiver initialization failed code: 2");
    g_clear_error(&error);

    IqhubRateCounters counters = {1, 1, 1, 1};
    EXPECT_FALSE(iqhub_get_rate_counters(odd, 300, &counters, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "no counters for 300 bit/s: 100 or 600");
    ASSERT_TRUE(iqhub_get_rate_counters(odd, 600, &counters, nullptr));
    EXPECT_EQ(counters.frames + counters.frames_drop + counters.frames_error_ts +
                  counters.frames_error_syntax,
              0u);
}

namespace
{

struct Heard {
    guint32 device_id;
    guint bit_rate;
    gint64 timestamp;
};

gboolean on_frame_object(Iqhub *, KvrprotoFrameGen *frame, gpointer user_data, GError **)
{
    guint tid = 0, rate = 0;
    gdouble timestamp = 0;
    g_object_get(frame, "tid", &tid, "bit-rate", &rate, "timestamp", &timestamp, nullptr);
    static_cast<std::vector<Heard> *>(user_data)->push_back(
        {tid, rate, static_cast<gint64>(timestamp)});
    g_object_unref(frame);
    return TRUE;
}

} // namespace

/* One object hears frames of both rates, overlapping in time, from one
 * stream written in the advised lengths of 100 bit/s; each frame object
 * carries the rate it was sent at and the time of the write that carried it,
 * and each rate is counted apart (a forged frame of each is dropped). */
TEST(IqhubBothRates, OneChannelisedObjectHearsBothAndTellsEachFramesRate)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("bit-rate", IQHUB_BIT_RATE_BOTH, "int-gain",
                                                  100.0, "receiver", "vchan", nullptr);
    gsize advised = 0;
    ASSERT_TRUE(iqhub_start(hub, &advised, nullptr));
    EXPECT_EQ(advised, 61440u) << "the demodulator's packet at 100 bit/s";
    std::vector<Heard> heard;
    iqhub_set_frame_callback_gobject(hub, on_frame_object, &heard, nullptr, nullptr);
    g_autoptr(IqhubHmacFilter) auth = iqhub_hmac_filter_new();
    iqhub_add_filter(hub, IQHUB_IFILTER(auth));

    /* Two frames at 100 bit/s one after the other; three at 600 bit/s over
     * them at other frequencies. */
    const guint64 slow = vekgen_samples_per_bit(100);
    const struct {
        guint rate;
        guint64 start;
        double freq;
        bool forged;
    } plan[] = {
        {100, 5000, -30000.0, false},
        {600, 5000 + 30 * slow, 10000.0, false},
        {600, 5000 + 150 * slow, -60000.0, true},
        {100, 5000 + 300 * slow, 20000.0, true},
        {600, 5000 + 330 * slow, 45000.0, false},
    };
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(11, 20.0);
    const guint8 payload[] = {0xb0, 0x7a};
    for (guint i = 0; i < G_N_ELEMENTS(plan); i++) {
        VekgenFrame f = make_frame(plan[i].rate, {}, plan[i].start, plan[i].freq);
        ASSERT_TRUE(vekgen_frame_set_uplink(&f, 0x2000 + i, static_cast<guint16>(i), payload,
                                            sizeof(payload), plan[i].forged, nullptr));
        ASSERT_TRUE(vekgen_signal_add_frame(signal, &f, nullptr));
    }
    stream(hub, fill(signal, vekgen_signal_get_end(signal)), advised, kYear2100);

    guint n = 0;
    const VekgenFrame *sent = vekgen_signal_get_frames(signal, &n);
    ASSERT_EQ(heard.size(), 3u) << "the forged frames are dropped, nothing is doubled";
    for (guint i = 0; i < n; i++) {
        const auto it = std::find_if(heard.begin(), heard.end(), [&](const Heard &h) {
            return h.device_id == sent[i].device_id;
        });
        if (sent[i].forged) {
            EXPECT_EQ(it, heard.end());
            continue;
        }
        ASSERT_NE(it, heard.end()) << "device " << sent[i].device_id;
        EXPECT_EQ(it->bit_rate, sent[i].bit_rate) << "device " << sent[i].device_id;
        expect_reported_in_time(it->timestamp, sent[i], advised, kYear2100);
    }

    IqhubRateCounters slow_counters = {}, fast_counters = {};
    ASSERT_TRUE(iqhub_get_rate_counters(hub, 100, &slow_counters, nullptr));
    ASSERT_TRUE(iqhub_get_rate_counters(hub, 600, &fast_counters, nullptr));
    EXPECT_EQ(slow_counters.frames, 2u);
    EXPECT_EQ(slow_counters.frames_drop, 1u);
    EXPECT_EQ(fast_counters.frames, 3u);
    EXPECT_EQ(fast_counters.frames_drop, 1u);
    guint64 frames = 0, drops = 0;
    g_object_get(hub, "frames", &frames, "frames-drop", &drops, nullptr);
    EXPECT_EQ(frames, 5u);
    EXPECT_EQ(drops, 2u);
    ASSERT_TRUE(iqhub_stop_sync(hub, nullptr));
}
