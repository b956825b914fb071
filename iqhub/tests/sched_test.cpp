/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The event queue: order, one event per main-loop iteration, and what
 * happens to events nobody delivers. */
#include "iqhub_test_util.h"

#include <cstring>

using namespace iqhub_test;

namespace
{

vdem_frame_cont_t container(gint32 sample_id, guint8 entries = 1)
{
    vdem_frame_cont_t c = {};
    c.entries = entries;
    vdem_proto_frame_t &f = c.pframe[0];
    f.sampleTimeStamp = sample_id;
    f.length = 8;
    f.f.v1.seq = 1;
    const guint8 bytes[] = {0x00, 0x01, static_cast<guint8>(sample_id), 0, 0, 0, 0, 0};
    std::memcpy(f.frame, bytes, sizeof(bytes));
    return c;
}

class IqhubEvents : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        capture_logs();
        hub_ = iqhub_new();
        iqhub_ts_reset(hub_, nullptr);
        iqhub_ts_bind(hub_, 100, make_tv(42), nullptr);
        iqhub_set_frame_callback(hub_, Collector::on_frame, &collector_, nullptr, nullptr);
    }
    void TearDown() override
    {
        if (hub_ != nullptr)
            iqhub_unref(hub_);
    }
    Iqhub *hub_ = nullptr;
    Collector collector_;
};

} // namespace

TEST_F(IqhubEvents, OnlyFramesAndSaturationReportsAreQueued)
{
    vdem_rfsat_t report = {};
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_sched_add(hub_, &report, E_SCHED_EVT_TYPE_METRIC, &error));
    EXPECT_STREQ(error->message, "Iqhub scheduler: bad type");
    EXPECT_FALSE(g_main_context_pending(nullptr)) << "nothing was scheduled";
}

TEST_F(IqhubEvents, AreDeliveredInOrderOnePerIteration)
{
    for (gint32 id : {10, 20, 30}) {
        vdem_frame_cont_t c = container(id);
        ASSERT_TRUE(iqhub_sched_add(hub_, &c, E_SCHED_EVT_TYPE_FCONT, nullptr));
    }
    for (gsize expected = 1; expected <= 3; expected++) {
        g_main_context_iteration(nullptr, FALSE);
        ASSERT_EQ(collector_.frames.size(), expected);
    }
    for (gsize i = 0; i < 3; i++)
        EXPECT_EQ(collector_.frames[i].f.v1.data[2], 10 * (i + 1));
    g_main_context_iteration(nullptr, FALSE); /* finds the queue empty and retires */
    EXPECT_FALSE(g_main_context_pending(nullptr));
}

TEST_F(IqhubEvents, AContainerAdvertisingTwoFramesDeliversTheFirstAndZeroNothing)
{
    vdem_frame_cont_t two = container(5, 2);
    vdem_frame_cont_t none = container(6, 0);
    iqhub_sched_process_fcont(hub_, &none);
    EXPECT_TRUE(collector_.frames.empty());
    clear_logs();
    iqhub_sched_process_fcont(hub_, &two);
    EXPECT_EQ(collector_.frames.size(), 1u);
    EXPECT_EQ(count_logged("Iqhub: too many frames (2) advertised for container (table length 1)"),
              1);
}

TEST_F(IqhubEvents, SaturationReportsReachTheirCallbackWithTheRawCounter)
{
    struct Seen {
        gfloat rssi = 0;
        guint32 timestamp = 0;
        int calls = 0;
    } seen;
    auto on_rfsat = [](Iqhub *, gfloat rssi, guint32 timestamp, gpointer data,
                       GError **) -> gboolean {
        auto *s = static_cast<Seen *>(data);
        s->rssi = rssi;
        s->timestamp = timestamp;
        s->calls++;
        return TRUE;
    };
    iqhub_set_rfsat_callback(hub_, on_rfsat, &seen, nullptr, nullptr);
    vdem_rfsat_t report = {71.5f, -2};
    ASSERT_TRUE(iqhub_sched_add(hub_, &report, E_SCHED_EVT_TYPE_RFSAT, nullptr));
    ASSERT_TRUE(run_until([&seen] { return seen.calls == 1; }));
    EXPECT_EQ(seen.rssi, 71.5f);
    EXPECT_EQ(seen.timestamp, 0xfffffffeu);
}

TEST_F(IqhubEvents, QueuedEventsDieWithTheObjectUndelivered)
{
    for (gint32 id : {1, 2}) {
        vdem_frame_cont_t c = container(id);
        ASSERT_TRUE(iqhub_sched_add(hub_, &c, E_SCHED_EVT_TYPE_FCONT, nullptr));
    }
    iqhub_unref(std::exchange(hub_, nullptr));
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_TRUE(collector_.frames.empty());
}

TEST_F(IqhubEvents, ErrorRecordsOnlyReachTheRawLog)
{
    vdem_error_t record = {0x1f, "x"};
    clear_logs();
    iqhub_cb_error_(&record, hub_);
    EXPECT_EQ(count_logged("[rawsdr]"), 0);
    g_object_set(hub_, "log-raw-sdr", TRUE, nullptr);
    iqhub_cb_error_(&record, hub_);
    EXPECT_EQ(count_logged("[rawsdr][Error: 1f :: Msg: x]"), 1);
    iqhub_cb_error_(nullptr, hub_);
    EXPECT_EQ(count_logged("Iqhub: error cb null ptr"), 1);
}
