/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Repetition combining through the receiver's API, on seeded vekgen messages at
 * 600 bit/s in noise at 30 dB: a message that only combining recovers is reported
 * once, marked, when the last repetition used would have been; repetitions that
 * decode alone give exactly the reports of the receiver without combining;
 * repetitions of different messages are not combined.
 *
 * The levels: at 3.5 dB Eb/N0 a repetition alone is lost about 97 % of the time,
 * three together about 1 % of the time (bench/results/vchan_combine.md); the
 * seeds were checked to give the common case, which the receiver without
 * combining confirms for the frames alone. */
#include "vchan_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{

using namespace vchan_test;

constexpr guint kRate = 600;
constexpr guint64 kBit = 320;

/* Receivers of both rates post packets of this many samples. */
constexpr guint64 kPacket = 15360;

/* The first start from @earliest at which bit 249 of a frame, where its report is
 * due, ends half a packet away from a packet boundary. */
guint64 mid_packet(guint64 earliest)
{
    const guint64 report_packet_start = ((earliest + 250 * kBit) / kPacket + 1) * kPacket;
    return report_packet_start + kPacket / 2 - 250 * kBit;
}

/* The three repetitions of one message at @ebn0 each, the first from @start, the
 * others @gaps bit periods or up to a packet more after the one before ends (so
 * that each one's report would be due mid-packet), on carriers of their own. */
std::vector<VekgenFrame> message(GRand *rand, guint len, double ebn0, guint64 start,
                                 const guint gaps[2])
{
    const VekgenFrameType *type = vekgen_frame_type_find(len, 1, FALSE);
    VekgenFrame first = make_frame(rand, *type, kRate, 0.0, ebn0, mid_packet(start));
    std::vector<VekgenFrame> frames;
    for (guint rep = 1; rep <= 3; rep++) {
        VekgenFrame f = first;
        vekgen_frame_set_type(&f, vekgen_frame_type_find(len, rep, FALSE));
        f.offset_hz = g_rand_double_range(rand, -85000, 85000);
        f.phase = g_rand_double_range(rand, -G_PI, G_PI);
        if (rep > 1)
            f.start_sample =
                mid_packet(vekgen_frame_end_sample(&frames.back()) + gaps[rep - 2] * kBit);
        frames.push_back(f);
    }
    return frames;
}

bool carries(const vdem_proto_frame_t &r, const VekgenFrame &t)
{
    guint8 msg[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_message(&t, msg);
    return r.length == t.covered_len && memcmp(r.frame, msg, t.covered_len + 2u) == 0;
}

void run(Receiver &rx, const std::vector<VekgenFrame> &frames, guint64 seed)
{
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(seed, kNoiseDb);
    for (const auto &f : frames)
        ASSERT_TRUE(vekgen_signal_add_frame(signal, &f, nullptr));
    rx.feed(signal, vekgen_signal_get_end(signal) + 20000);
}

/* Two messages of three repetitions at 3.5 dB: alone, no repetition is reported.
 * Combined, each message is reported once, with its bytes, the frame type, tid and
 * ack of its first repetition used, freq and rssi of one of them, marked with the
 * repetitions used, in the packet in which bit 249 of the last one used ends (its
 * start keeps that bit half a packet from a packet boundary). */
TEST(VchanCombining, MessageOnlyCombiningRecoversIsReportedOnceMarked)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(300);
    std::vector<VekgenFrame> frames;
    const guint gaps[2][2] = {{40, 700}, {1, 300}};
    guint64 start = 10000;
    for (const guint *g : gaps) {
        const auto m = message(rand, frames.empty() ? 8 : 20, 3.5, start, g);
        frames.insert(frames.end(), m.begin(), m.end());
        start = vekgen_frame_tail_end_sample(&m.back()) + 500 * kBit;
    }
    Receiver without(VCHAN_RATE_600BPS | VCHAN_RATE_100BPS, false);
    run(without, frames, 301);
    EXPECT_TRUE(without.reports.empty());

    Receiver rx;
    run(rx, frames, 301);
    ASSERT_EQ(rx.reports.size(), 2u);
    const guint64 P = rx.packet_size();
    ASSERT_EQ(P, kPacket);
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(testing::Message() << "message " << i);
        const Report &r = rx.reports[i];
        const VekgenFrame *reps = &frames[3 * i];
        EXPECT_EQ(r.rate, kRate);
        EXPECT_TRUE(carries(r.frame, reps[0]));
        ASSERT_NE(r.combined & (r.combined - 1), 0u) << "at least two repetitions";
        ASSERT_EQ(r.combined & ~7u, 0u);
        const int first = __builtin_ctz(r.combined), last = 31 - __builtin_clz(r.combined);
        const VekgenFrame &f = reps[first];
        EXPECT_EQ(r.frame.f.v1.seq, f.repetition);
        EXPECT_EQ(r.frame.tid, vekgen_frame_expected_tid(&f));
        EXPECT_EQ(r.frame.f.v1.ack != 0, vekgen_frame_expected_ack(&f) != FALSE);
        EXPECT_EQ(r.frame.f.v1.oob, 0);
        bool near = false;
        for (int k = 0; k < 3; k++)
            near = near ||
                   (r.combined >> k & 1 && std::fabs(r.frame.freq - reps[k].offset_hz) < 15.0 &&
                    std::fabs(r.frame.rssi - reps[k].power_db) < 2.0);
        EXPECT_TRUE(near) << r.frame.freq << " Hz, " << r.frame.rssi << " dB";
        EXPECT_EQ(rx.counters[i], ((reps[last].start_sample + 250 * kBit) / P + 1) * P);
    }
}

/* Messages at 20 dB, of three repetitions and with one missing: combining on, the
 * reports are those of the receiver without it, field by field, packet by packet,
 * and none is marked. */
TEST(VchanCombining, RepetitionsDecodedAloneGiveTheReportsOfTheReceiverWithoutIt)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(310);
    std::vector<VekgenFrame> frames;
    guint64 start = 10000;
    for (guint len : {8u, 12u, 16u, 20u}) {
        const guint gaps[2] = {guint(g_rand_int_range(rand, 0, 600)),
                               guint(g_rand_int_range(rand, 0, 600))};
        auto m = message(rand, len, 20.0, start, gaps);
        if (len == 12)
            m.erase(m.begin() + 1);
        frames.insert(frames.end(), m.begin(), m.end());
        start = vekgen_frame_tail_end_sample(&m.back()) + 20 * kBit;
    }
    Receiver with, without(VCHAN_RATE_600BPS | VCHAN_RATE_100BPS, false);
    run(with, frames, 311);
    run(without, frames, 311);
    ASSERT_EQ(without.reports.size(), frames.size());
    ASSERT_EQ(with.reports.size(), without.reports.size());
    for (size_t i = 0; i < with.reports.size(); i++) {
        EXPECT_EQ(
            memcmp(&with.reports[i].frame, &without.reports[i].frame, sizeof with.reports[i].frame),
            0)
            << "report " << i;
        EXPECT_EQ(with.counters[i], without.counters[i]);
        EXPECT_EQ(with.reports[i].combined, 0u);
    }
}

/* Message A sends repetitions 1 and 3 at 6 dB (about half are lost alone, the pair
 * is lost about once in fifty), message B (the same length, other bytes) only
 * repetition 2, between them, at 3 dB (alone, lost 997 times in 1000): in order
 * and within the gaps they look like one message. Every A is received, from A's
 * repetitions only, and B gives nothing. */
TEST(VchanCombining, RepetitionsOfDifferentMessagesAreNotCombined)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(320);
    std::vector<VekgenFrame> frames;
    guint64 start = 10000;
    for (int trial = 0; trial < 4; trial++) {
        const guint gaps[2] = {guint(g_rand_int_range(rand, 0, 300)),
                               guint(g_rand_int_range(rand, 0, 300))};
        auto a = message(rand, 8, 6.0, start, gaps);
        auto b = message(rand, 8, 3.0, start, gaps);
        frames.push_back(a[0]);
        frames.push_back(b[1]);
        frames.push_back(a[2]);
        start = vekgen_frame_tail_end_sample(&a[2]) + 500 * kBit;
    }
    Receiver rx;
    run(rx, frames, 321);
    for (size_t i = 0; i < frames.size(); i += 3) {
        bool received = false;
        for (const Report &r : rx.reports)
            received = received || carries(r.frame, frames[i]);
        EXPECT_TRUE(received) << "message A " << i / 3;
    }
    for (const Report &r : rx.reports) {
        bool from_a = false;
        for (size_t i = 0; i < frames.size(); i += 3)
            from_a = from_a || carries(r.frame, frames[i]);
        EXPECT_TRUE(from_a);
        EXPECT_EQ(r.combined & 2u, 0u);
    }
}

TEST(VchanCombining, SwitchRefusesNoReceiver)
{
    EXPECT_EQ(vchan_set_combining(nullptr, 0), VCHAN_POST_INVALID);
    EXPECT_EQ(vchan_get_frame_combined(nullptr), 0u);
}

} // namespace
