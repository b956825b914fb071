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
};

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
    g_autoptr(Iqhub) hub = iqhub_new_with_options("bit-rate", c.rate, "int-gain", 100.0, nullptr);
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
                         ::testing::Values(Case{100, false}, Case{600, false},
                                           Case{600, true}),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::to_string(info.param.rate) + "bps" +
                                    (info.param.decimal_comma ? "DecimalCommaLocale" : "");
                         });
