/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The timestamp table: ranges, eviction, the 32-bit wrap, and binds racing
 * lookups. */
#include "iqhub_test_util.h"

#include <atomic>
#include <thread>

using namespace iqhub_test;

namespace
{

gint64 seconds_of(Iqhub *hub, sId_t s)
{
    struct timeval tv = {};
    return iqhub_ts_get(hub, s, &tv, nullptr) ? static_cast<gint64>(tv.tv_sec) : -1;
}

} // namespace

TEST(IqhubTimestamps, EachWriteCoversItsOwnSampleIds)
{
    g_autoptr(Iqhub) hub = iqhub_new();
    ASSERT_TRUE(iqhub_ts_reset(hub, nullptr));
    iqhub_ts_bind(hub, 2560, make_tv(10), nullptr);
    iqhub_ts_bind(hub, 2560, make_tv(11), nullptr);
    EXPECT_EQ(seconds_of(hub, 0), -1);
    EXPECT_EQ(seconds_of(hub, 1), 10);
    EXPECT_EQ(seconds_of(hub, 2560), 10);
    EXPECT_EQ(seconds_of(hub, 2561), 11);
    EXPECT_EQ(seconds_of(hub, 5120), 11);
    EXPECT_EQ(seconds_of(hub, 5121), -1);
}

TEST(IqhubTimestamps, TheOldestEntryLeavesAtTheDepth)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("tsdepth", 2u, nullptr);
    iqhub_ts_reset(hub, nullptr);
    for (int i = 0; i < 3; i++)
        iqhub_ts_bind(hub, 100, make_tv(20 + i), nullptr);
    struct timeval tv = {};
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_ts_get(hub, 1, &tv, &error));
    EXPECT_EQ(error->domain, static_cast<GQuark>(IQHUB_TSTAMP_ERRDOM));
    EXPECT_EQ(error->code, IQHUB_ERR);
    EXPECT_STREQ(error->message, "cannot get time stamp for sampleId: 1");
    EXPECT_EQ(seconds_of(hub, 101), 21);
    EXPECT_EQ(seconds_of(hub, 300), 22);

    /* A new depth empties the table but keeps the numbering. */
    g_object_set(hub, "tsdepth", 5u, nullptr);
    EXPECT_EQ(seconds_of(hub, 300), -1);
    iqhub_ts_bind(hub, 1, make_tv(30), nullptr);
    EXPECT_EQ(seconds_of(hub, 301), 30);
}

TEST(IqhubTimestamps, AnEmptyBindMatchesNothingButTakesItsPlace)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("tsdepth", 2u, nullptr);
    iqhub_ts_reset(hub, nullptr);
    iqhub_ts_bind(hub, 10, make_tv(1), nullptr);
    iqhub_ts_bind(hub, 0, make_tv(2), nullptr);
    EXPECT_EQ(seconds_of(hub, 10), 1);
    EXPECT_EQ(seconds_of(hub, 11), -1);
    iqhub_ts_bind(hub, 0, make_tv(3), nullptr);
    EXPECT_EQ(seconds_of(hub, 10), -1);
}

TEST(IqhubTimestamps, TheEntrySpanningTheWrapMatchesOnBothSides)
{
    g_autoptr(Iqhub) hub = iqhub_new();
    iqhub_ts_reset(hub, nullptr);
    iqhub_ts_bind(hub, 0x7ffffff0u, make_tv(1), nullptr); /* ids 1 .. 0x7ffffff0 */
    iqhub_ts_bind(hub, 32, make_tv(2), nullptr);          /* 0x7ffffff1 .. -2^31 + 16 */
    iqhub_ts_bind(hub, 16, make_tv(3), nullptr);
    EXPECT_EQ(seconds_of(hub, 0x7ffffff0), 1);
    EXPECT_EQ(seconds_of(hub, 0x7ffffff1), 2);
    EXPECT_EQ(seconds_of(hub, G_MAXINT32), 2);
    EXPECT_EQ(seconds_of(hub, G_MININT32), 2);
    EXPECT_EQ(seconds_of(hub, sId_t{G_MININT32} + 16), 2);
    EXPECT_EQ(seconds_of(hub, sId_t{G_MININT32} + 17), 3);
    /* Ids beyond the 32-bit counter's range do not alias into it. */
    EXPECT_EQ(seconds_of(hub, sId_t{G_MAXINT32} + 1), -1);
}

TEST(IqhubTimestamps, BindsOnOneThreadRaceLookupsOnAnother)
{
    g_autoptr(Iqhub) hub = iqhub_new_with_options("tsdepth", 4u, nullptr);
    iqhub_ts_reset(hub, nullptr);
    constexpr guint kBinds = 20000;
    constexpr guint kSamples = 100;
    std::atomic<guint> bound{0};
    std::thread writer([&] {
        for (guint i = 0; i < kBinds; i++) {
            iqhub_ts_bind(hub, kSamples, make_tv(i), nullptr);
            bound.store(i + 1);
        }
    });
    guint mismatches = 0;
    while (bound.load() < kBinds) {
        const guint done = bound.load();
        if (done == 0)
            continue;
        /* The latest write's first sample maps to that write or is already evicted. */
        const sId_t first = sId_t{done - 1} * kSamples + 1;
        const gint64 seconds = seconds_of(hub, first);
        mismatches += seconds != -1 && seconds != static_cast<gint64>(done - 1);
    }
    writer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(seconds_of(hub, sId_t{kBinds} * kSamples), static_cast<gint64>(kBinds - 1));
}
