/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The receiver allocates only in vchan_new(): posting packets, detecting,
 * demodulating and reporting frames take no memory from the heap. The calls the
 * test's own thread makes to the malloc family while packets are posted are
 * counted (alloc_count.h). Not built with the sanitizers, whose runtimes own
 * malloc. */
#include <vchan/vchan.h>
#include <vekgen/vekgen.h>

#include "alloc_count.h"
#include "vchan_frames.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <vector>

namespace
{

struct Reports {
    std::vector<vdem_proto_frame_t> frames;
    vchan_receiver_t *rx = nullptr;
    unsigned combined = 0; /* reports of messages only combining recovered */
    static void on_frame(vdem_frame_cont_t *cont, const void *self)
    {
        auto *r = static_cast<Reports *>(const_cast<void *>(self));
        if (r->frames.size() < r->frames.capacity())
            r->frames.push_back(cont->pframe[0]);
        r->combined += vchan_get_frame_combined(r->rx) != 0;
    }
};

/* Posts @signal to a new receiver of both rates, packet by packet, counting the
 * allocations made meanwhile into *@n_allocations and the reports into @reports. */
void post_all(VekgenSignal *signal, Reports &reports, unsigned long *n_allocations)
{
    vchan_config_t config{VCHAN_RATE_100BPS | VCHAN_RATE_600BPS, 0.f};
    vchan_receiver_t *rx = nullptr;
    ASSERT_EQ(vchan_new(&config, &rx), VCHAN_OK);
    reports.frames.reserve(256);
    reports.rx = rx;
    ASSERT_EQ(vchan_cb_register_fdata_exit_fct(rx, Reports::on_frame, &reports),
              VCHAN_CB_REGISTER_OK);
    const size_t packet = size_t(vchan_get_iq_packet_size(rx));
    const guint64 total = vekgen_signal_get_end(signal) + 20000;
    std::vector<short> iq(2 * (total + packet), 0);
    vekgen_signal_fill(signal, iq.data(), total);

    int posted = VCHAN_POST_OK;
    vek_alloc::start_counting();
    for (size_t at = 0; at < total && posted == VCHAN_POST_OK; at += packet)
        posted = vchan_post_iq_packet(rx, iq.data() + 2 * at, int(packet));
    *n_allocations = vek_alloc::stop_counting();
    vchan_free(rx);
    EXPECT_EQ(posted, VCHAN_POST_OK);
}

/* 32 frames at 600 bit/s and 8 at 100 bit/s on the air at once, at 15 dB Eb/N0,
 * in noise: every part of the receiver runs (both banks, many candidates, header
 * searches, demodulation, the frame check, holding and reporting). */
TEST(VchanAllocation, PostingDecodingAndReportingAllocateNothing)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(40);
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(41, vchan_test::kNoiseDb);
    std::vector<VekgenFrame> frames;
    for (guint i = 0; i < 40; i++) {
        const guint rate = i < 32 ? 600 : 100;
        const double offset = -88000.0 + 4400.0 * i + g_rand_double_range(rand, -200, 200);
        const guint64 start = 10000 + guint64(g_rand_int_range(rand, 0, 20000));
        frames.push_back(
            vchan_test::make_frame(rand, vchan_test::random_type(rand), rate, offset, 15.0, start));
    }
    std::sort(frames.begin(), frames.end(), [](const VekgenFrame &a, const VekgenFrame &b) {
        return a.start_sample < b.start_sample;
    });
    for (const auto &f : frames)
        ASSERT_TRUE(vekgen_signal_add_frame(signal, &f, nullptr));

    Reports reports;
    unsigned long n = 1;
    post_all(signal, reports, &n);
    EXPECT_EQ(n, 0u);
    /* The decode paths did run: (nearly) every frame was reported. */
    EXPECT_GE(reports.frames.size(), 38u);
}

/* Messages of three repetitions at 3.5 dB Eb/N0 each, which only combining
 * recovers: deeper detection, the header test, the store, pairing and joint
 * decoding allocate nothing either. */
TEST(VchanAllocation, CombiningAllocatesNothing)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(50);
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(51, vchan_test::kNoiseDb);
    guint64 start = 10000;
    for (guint len : {8u, 20u, 8u}) {
        const VekgenFrame first = vchan_test::make_frame(
            rand, *vekgen_frame_type_find(len, 1, FALSE), 600, 0.0, 3.5, start);
        for (guint rep = 1; rep <= 3; rep++) {
            VekgenFrame f = first;
            vekgen_frame_set_type(&f, vekgen_frame_type_find(len, rep, FALSE));
            f.offset_hz = g_rand_double_range(rand, -85000, 85000);
            f.phase = g_rand_double_range(rand, -G_PI, G_PI);
            f.start_sample = start;
            ASSERT_TRUE(vekgen_signal_add_frame(signal, &f, nullptr));
            start = vekgen_frame_end_sample(&f) + guint64(g_rand_int_range(rand, 0, 96000));
        }
    }
    Reports reports;
    unsigned long n = 1;
    post_all(signal, reports, &n);
    EXPECT_EQ(n, 0u);
    /* The combining paths did run. */
    EXPECT_GE(reports.combined, 2u);
}

/* Strong frames (45 dB Eb/N0, the longest type) and weak ones (15 dB) 10 kHz away
 * that start 30 to 36 bits before them: cancellation, and the weak frames' decoding
 * without the strong ones' parts already in, allocate nothing either. */
TEST(VchanAllocation, CancellingAllocatesNothing)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(42);
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(43, vchan_test::kNoiseDb);
    const guint T = vekgen_samples_per_bit(600);
    const VekgenFrameType *longest = vekgen_frame_type_find(VEKGEN_MAX_COVERED, 1, FALSE);
    ASSERT_NE(longest, nullptr);
    guint64 start = 10000;
    for (double side : {1.0, -1.0, 1.0}) {
        const double f0 = g_rand_double_range(rand, -60000, 60000);
        const VekgenFrame weak = vchan_test::make_frame(rand, vchan_test::random_type(rand), 600,
                                                        f0 + side * 10000.0, 15.0, start);
        const VekgenFrame strong = vchan_test::make_frame(
            rand, *longest, 600, f0, 45.0,
            start + 30 * guint64{T} + guint64(g_rand_int_range(rand, 0, 6 * T)));
        ASSERT_TRUE(vekgen_signal_add_frame(signal, &weak, nullptr));
        ASSERT_TRUE(vekgen_signal_add_frame(signal, &strong, nullptr));
        start = vekgen_frame_tail_end_sample(&strong) + 260 * guint64{T};
    }
    Reports reports;
    unsigned long n = 1;
    post_all(signal, reports, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(reports.frames.size(), 6u);
}

} // namespace
