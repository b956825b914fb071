/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Messages: the three repetitions of one frame, in order, on their own carriers,
 * with gaps drawn as asked, a power each, dropped ones left out; the message text;
 * the message number through a recording. */
#include "vekgen/vekgen.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace
{

VekgenMessage message_at(guint64 start, guint rate, guint len)
{
    VekgenMessage m;
    vekgen_message_init(&m);
    m.first.start_sample = start;
    m.first.bit_rate = rate;
    m.first.covered_len = static_cast<guint8>(len);
    for (guint i = 0; i < len; i++)
        m.first.bytes[i] = static_cast<guint8>(17 * i + 3);
    return m;
}

/* Twenty seeded messages of each rate back to back: every repetition where a
 * device puts it. */
TEST(VekgenMessage, SendsTheRepetitionsInOrderOnTheirOwnCarriersWithinTheGaps)
{
    g_autoptr(VekgenSignal) s = vekgen_signal_new(1, 30.0);
    g_autoptr(GRand) rand = g_rand_new_with_seed(11);
    guint64 at = 1000;
    for (guint i = 0; i < 40; i++) {
        VekgenMessage m = message_at(at, i % 2 ? 600 : 100, i % 2 ? 20 : 8);
        m.gap_min = 0.25;
        m.gap_max = 0.5;
        for (int r = 0; r < 3; r++)
            m.power_db[r] = 40.0 + r;
        ASSERT_TRUE(vekgen_signal_add_message(s, &m, rand, nullptr));
        guint n = 0;
        const VekgenFrame *f = vekgen_signal_get_frames(s, &n);
        ASSERT_EQ(n, 3 * (i + 1));
        f += n - 3;
        for (guint r = 0; r < 3; r++) {
            SCOPED_TRACE(testing::Message() << "message " << i << " repetition " << r + 1);
            EXPECT_EQ(f[r].repetition, r + 1);
            EXPECT_EQ(f[r].message, i + 1);
            EXPECT_EQ(f[r].covered_len, m.first.covered_len);
            EXPECT_EQ(f[r].bit_rate, m.first.bit_rate);
            EXPECT_EQ(memcmp(f[r].bytes, m.first.bytes, m.first.covered_len), 0);
            EXPECT_DOUBLE_EQ(f[r].power_db, 40.0 + r);
            EXPECT_LE(std::fabs(f[r].offset_hz), 90000.0);
            if (r == 0) {
                EXPECT_EQ(f[r].start_sample, at);
                continue;
            }
            /* The pause, rounded to the sample. */
            const double gap =
                double(f[r].start_sample - vekgen_frame_end_sample(&f[r - 1])) / VEKGEN_SAMPLE_RATE;
            EXPECT_GE(gap, 0.25 - 1e-5);
            EXPECT_LE(gap, 0.5 + 1e-5);
            EXPECT_NE(f[r].offset_hz, f[r - 1].offset_hz);
        }
        at = vekgen_frame_tail_end_sample(&f[2]);
    }
}

TEST(VekgenMessage, DroppedRepetitionsLeaveTheirTimeUnsent)
{
    g_autoptr(VekgenSignal) s = vekgen_signal_new(1, 30.0);
    g_autoptr(GRand) rand = g_rand_new_with_seed(5);
    VekgenMessage m = message_at(5000, 600, 12);
    m.gap_min = m.gap_max = 0.1;
    m.dropped[1] = TRUE;
    ASSERT_TRUE(vekgen_signal_add_message(s, &m, rand, nullptr));
    guint n = 0;
    const VekgenFrame *f = vekgen_signal_get_frames(s, &n);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(f[0].repetition, 1);
    EXPECT_EQ(f[1].repetition, 3);
    /* Repetition 2 would have taken its symbols and two pauses. */
    const guint64 frame = vekgen_frame_end_sample(&f[0]) - f[0].start_sample;
    const guint64 pause = guint64(0.1 * VEKGEN_SAMPLE_RATE);
    EXPECT_EQ(f[1].start_sample, vekgen_frame_end_sample(&f[0]) + frame + 2 * pause);
}

TEST(VekgenMessage, TextSetsEveryRepetitionAndRefusesBadValues)
{
    g_autoptr(GRand) rand = g_rand_new_with_seed(1);
    VekgenMessage m;
    ASSERT_TRUE(vekgen_message_parse(
        "at=1 rate=600 len=12 power=31,32.5,33 freq=-5000,0,7000 gap=0.2-0.4 drop=1,3", rand, &m,
        nullptr));
    EXPECT_EQ(m.first.start_sample, guint64(VEKGEN_SAMPLE_RATE));
    EXPECT_EQ(m.first.covered_len, 12);
    EXPECT_EQ(m.first.bit_rate, 600u);
    EXPECT_DOUBLE_EQ(m.power_db[1], 32.5);
    EXPECT_DOUBLE_EQ(m.offset_hz[2], 7000.0);
    EXPECT_DOUBLE_EQ(m.gap_min, 0.2);
    EXPECT_DOUBLE_EQ(m.gap_max, 0.4);
    EXPECT_TRUE(m.dropped[0] && !m.dropped[1] && m.dropped[2]);
    /* One value for all, and carriers drawn when none is given. */
    ASSERT_TRUE(vekgen_message_parse("power=20 gap=2", rand, &m, nullptr));
    EXPECT_DOUBLE_EQ(m.power_db[2], 20.0);
    EXPECT_TRUE(std::isnan(m.offset_hz[0]));
    EXPECT_DOUBLE_EQ(m.gap_min, 0.0);
    EXPECT_DOUBLE_EQ(m.gap_max, 2.0);
    for (const char *bad : {"rep=2", "power=1,2", "freq=1,2,x", "gap=2-1", "gap=-1", "drop=4",
                            "drop=", "len=7", "freq=200000"}) {
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(vekgen_message_parse(bad, rand, &m, &error)) << bad;
        EXPECT_NE(error, nullptr) << bad;
    }
}

TEST(VekgenMessage, NumberSurvivesARecording)
{
    gchar *dir = g_dir_make_tmp("vekgen-msg-XXXXXX", nullptr);
    const std::string base = std::string(dir) + "/rec";
    {
        g_autoptr(VekgenSignal) s = vekgen_signal_new(1, 30.0);
        g_autoptr(GRand) rand = g_rand_new_with_seed(2);
        VekgenFrame single;
        vekgen_frame_init(&single);
        ASSERT_TRUE(vekgen_signal_add_frame(s, &single, nullptr));
        VekgenMessage m = message_at(vekgen_frame_tail_end_sample(&single), 600, 8);
        ASSERT_TRUE(vekgen_signal_add_message(s, &m, rand, nullptr));
        ASSERT_TRUE(vekgen_recording_write(base.c_str(), s, 0, nullptr));
    }
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base.c_str(), nullptr);
    ASSERT_NE(rec, nullptr);
    guint n = 0;
    const VekgenFrame *f = vekgen_recording_get_frames(rec, &n);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(f[0].message, 0u);
    for (guint i = 1; i < 4; i++)
        EXPECT_EQ(f[i].message, 1u);
    for (const char *ext : {".sigmf-meta", ".sigmf-data"})
        g_remove((base + ext).c_str());
    g_rmdir(dir);
    g_free(dir);
}

} // namespace
