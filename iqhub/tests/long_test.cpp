/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Hours of streaming: the 32-bit sample counter wraps. */
#include "iqhub_test_util.h"

#include <cstring>

using namespace iqhub_test;

namespace
{
constexpr gint64 kYear2100 = 4102444800;
} // namespace

/* 2^31 samples (3.1 hours of signal) of silence, then a frame in the write
 * that carries the 32-bit sample counter across its wrap. */
TEST(IqhubLongRun, AFrameInTheWriteAcrossTheCounterWrapIsDelivered)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("bit-rate", 100u, "int-gain", 100.0, nullptr);
    ASSERT_TRUE(iqhub_start(hub, nullptr, nullptr));
    Collector collector;
    iqhub_set_frame_callback(hub, Collector::on_frame, &collector, nullptr, nullptr);

    const gsize packet = 61440;
    const gsize chunk = (IQHUB_WRITE_BUFFER_SIZE / packet) * packet;
    const guint64 samples_per_write = chunk / 4;
    const guint64 spanning = (guint64{1} << 31) / samples_per_write;
    ASSERT_LT(spanning * samples_per_write, guint64{1} << 31);
    ASSERT_GT((spanning + 1) * samples_per_write, guint64{1} << 31);

    const std::vector<gint16> silence(chunk / sizeof(gint16), 0);
    for (guint64 k = 0; k < spanning; k++)
        ASSERT_TRUE(write_and_wait(hub, silence.data(), chunk, make_tv(1000 + k), nullptr));

    g_autoptr(VekgenSignal) signal = vekgen_signal_new(3, -G_MAXDOUBLE);
    /* It ends after the wrap: its report carries a negative sample id. */
    const guint64 wrap_offset = (guint64{1} << 31) - spanning * samples_per_write;
    VekgenFrame f =
        make_frame(100, {0, 1, 0x55, 0x66, 0x77, 0x88, 0xab, 0xcd}, wrap_offset - 200000, 1500.0);
    ASSERT_TRUE(vekgen_signal_add_frame(signal, &f, nullptr));
    ASSERT_LT(vekgen_signal_get_end(signal), samples_per_write);
    const std::vector<gint16> iq = fill(signal, samples_per_write);
    ASSERT_TRUE(write_and_wait(hub, iq.data(), chunk, make_tv(kYear2100), nullptr));
    ASSERT_TRUE(run_until([&collector] { return !collector.frames.empty(); }, 30));

    ASSERT_EQ(collector.frames.size(), 1u);
    EXPECT_EQ(collector.frames[0].f.v1.timestamp, kYear2100);
    EXPECT_EQ(0, std::memcmp(collector.frames[0].f.v1.data, f.bytes, 8));
    guint64 errors = 0;
    g_object_get(hub, "frames-error-ts", &errors, nullptr);
    EXPECT_EQ(errors, 0u);
}
