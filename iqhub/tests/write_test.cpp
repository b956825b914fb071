/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The writer: refusals, padding, time values, abort, completion on the main
 * context. */
#include "iqhub_test_util.h"

#include <cmath>

using namespace iqhub_test;

namespace
{

class IqhubWrite : public ::testing::Test
{
  protected:
    void Start(guint rate, guint depth = 10)
    {
        hub_ = iqhub_new_with_options("bit-rate", rate, "tsdepth", depth, nullptr);
        ASSERT_TRUE(iqhub_start(hub_, &advised_, nullptr));
    }
    void TearDown() override
    {
        if (hub_ != nullptr)
            iqhub_unref(hub_);
    }
    /* The time value that sample id @s received, or -1. */
    gint64 seconds_of(sId_t s)
    {
        struct timeval tv = {};
        return iqhub_ts_get(hub_, s, &tv, nullptr) ? static_cast<gint64>(tv.tv_sec) : -1;
    }
    Iqhub *hub_ = nullptr;
    gsize advised_ = 0;
};

} // namespace

TEST_F(IqhubWrite, RefusesAnOversizedWriteAndASecondPendingOne)
{
    Start(600);
    std::vector<guint8> big(IQHUB_WRITE_BUFFER_SIZE + 1);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_write_async(hub_, nullptr, big.data(), big.size(), make_tv(1), nullptr,
                                   nullptr, nullptr, &error));
    EXPECT_STREQ(error->message,
                 "data length (16777217B) larger than available buffer ( 16777216B)");
    EXPECT_EQ(error->code, IQHUB_ERR_EAGAIN);

    gsize used = 0;
    ASSERT_TRUE(iqhub_write_async(hub_, &used, big.data(), 10240, make_tv(1), nullptr, nullptr,
                                  nullptr, nullptr));
    EXPECT_EQ(used, 10240u);
    g_clear_error(&error);
    EXPECT_FALSE(iqhub_write_async(hub_, nullptr, big.data(), 10240, make_tv(1), nullptr, nullptr,
                                   nullptr, &error));
    EXPECT_STREQ(error->message, "write is already pending, wait completion");
    EXPECT_TRUE(iqhub_stop_sync(hub_, nullptr));
}

TEST_F(IqhubWrite, BeforeStartCompletesWithNotRunning)
{
    hub_ = iqhub_new();
    std::vector<guint8> data(61440);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(write_and_wait(hub_, data.data(), data.size(), make_tv(1), &error));
    EXPECT_EQ(error->code, IQHUB_ERR_NOT_RUNNING);
    EXPECT_STREQ(error->message, "component must be started before writing");
}

TEST_F(IqhubWrite, PadsAPartialPacketAndBindsThePaddingToo)
{
    Start(600);
    std::vector<guint8> data(15000);
    ASSERT_TRUE(write_and_wait(hub_, data.data(), data.size(), make_tv(100), nullptr));
    EXPECT_EQ(seconds_of(1), 100);
    EXPECT_EQ(seconds_of(5120), 100) << "two packets of 2560 samples, padding included";
    EXPECT_EQ(seconds_of(5121), -1);
    ASSERT_TRUE(write_and_wait(hub_, data.data(), 10240, make_tv(101), nullptr));
    EXPECT_EQ(seconds_of(5121), 101);
    EXPECT_EQ(seconds_of(7680), 101);
}

TEST_F(IqhubWrite, ZeroBytesCompleteAndTakeAPlaceInTheTable)
{
    Start(600, 1);
    std::vector<guint8> data(10240);
    ASSERT_TRUE(write_and_wait(hub_, data.data(), data.size(), make_tv(5), nullptr));
    EXPECT_EQ(seconds_of(1), 5);
    ASSERT_TRUE(write_and_wait(hub_, nullptr, 0, make_tv(6), nullptr));
    EXPECT_EQ(seconds_of(1), -1) << "the empty write evicted the only entry";
}

TEST_F(IqhubWrite, TimeValuesKeepTheirSecondsBeyond2038)
{
    Start(600);
    std::vector<guint8> data(10240);
    const gint64 year_2100 = 4102444800;
    ASSERT_TRUE(write_and_wait(hub_, data.data(), data.size(), make_tv(year_2100, 5), nullptr));
    EXPECT_EQ(seconds_of(1), year_2100);

    gsize used = 0;
    bool done = false;
    auto callback = [](GObject *, GAsyncResult *, gpointer flag) {
        *static_cast<bool *>(flag) = true;
    };
    ASSERT_TRUE(iqhub_write_async_tv(hub_, &used, data.data(), data.size(), year_2100 + 1.9,
                                     nullptr, callback, &done, nullptr));
    ASSERT_TRUE(run_until([&done] { return done; }));
    struct timeval tv = {};
    ASSERT_TRUE(iqhub_ts_get(hub_, 2561, &tv, nullptr));
    EXPECT_EQ(static_cast<gint64>(tv.tv_sec), year_2100 + 1);
    EXPECT_EQ(tv.tv_usec, 0) << "fractions of a second are dropped";

    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_write_async_tv(hub_, &used, data.data(), data.size(), NAN, nullptr, nullptr,
                                      nullptr, &error));
    EXPECT_EQ(error->code, IQHUB_ERR_EINVAL);
    g_clear_error(&error);
    EXPECT_FALSE(iqhub_write_async_tv(hub_, nullptr, data.data(), data.size(), 1.0, nullptr,
                                      nullptr, nullptr, &error));
    EXPECT_STREQ(error->message, "null ptr");
}

TEST_F(IqhubWrite, CancelAbortsBetweenPacketsAndTheNextWriteRuns)
{
    Start(600);
    /* 16 MiB of packets: far longer to demodulate than the cancel takes to arrive. */
    const gsize length = (IQHUB_WRITE_BUFFER_SIZE / 10240) * 10240;
    std::vector<guint8> data(length);
    std::pair<bool, GError *> outcome{true, nullptr};
    bool done = false;
    struct State {
        std::pair<bool, GError *> *outcome;
        bool *done;
    } state{&outcome, &done};
    auto callback = [](GObject *source, GAsyncResult *result, gpointer user_data) {
        auto *s = static_cast<State *>(user_data);
        s->outcome->first = iqhub_write_finish(IQHUB_IQHUB(source), result, &s->outcome->second);
        *s->done = true;
    };
    ASSERT_TRUE(iqhub_write_async(hub_, nullptr, data.data(), length, make_tv(1), nullptr, callback,
                                  &state, nullptr));
    iqhub_write_cancel(hub_);
    ASSERT_TRUE(run_until([&done] { return done; }));
    EXPECT_FALSE(outcome.first);
    ASSERT_NE(outcome.second, nullptr);
    EXPECT_EQ(outcome.second->code, IQHUB_ERR_STOPPED);
    EXPECT_STREQ(outcome.second->message, "write operation aborted");
    g_clear_error(&outcome.second);

    EXPECT_TRUE(write_and_wait(hub_, data.data(), 10240, make_tv(2), nullptr));
}

TEST_F(IqhubWrite, CompletesOnTheMainContextAndRefusesAWriteFromInsideTheCallback)
{
    Start(600);
    std::vector<guint8> data(10240);
    struct State {
        Iqhub *hub;
        const guint8 *data;
        GThread *thread = nullptr;
        GError *nested = nullptr;
        bool done = false;
    } state{hub_, data.data()};
    auto callback = [](GObject *source, GAsyncResult *result, gpointer user_data) {
        auto *s = static_cast<State *>(user_data);
        s->thread = g_thread_self();
        EXPECT_TRUE(iqhub_write_finish(IQHUB_IQHUB(source), result, nullptr));
        iqhub_write_async(s->hub, nullptr, s->data, 10240, make_tv(3), nullptr, nullptr, nullptr,
                          &s->nested);
        s->done = true;
    };
    ASSERT_TRUE(iqhub_write_async(hub_, nullptr, data.data(), data.size(), make_tv(3), nullptr,
                                  callback, &state, nullptr));
    ASSERT_TRUE(run_until([&state] { return state.done; }));
    EXPECT_EQ(state.thread, g_thread_self());
    ASSERT_NE(state.nested, nullptr);
    EXPECT_STREQ(state.nested->message, "write is already pending, wait completion");
    g_clear_error(&state.nested);
    EXPECT_TRUE(write_and_wait(hub_, data.data(), data.size(), make_tv(4), nullptr));
}

TEST_F(IqhubWrite, ACancelledCancellableGivesTheCancellationError)
{
    Start(600);
    std::vector<guint8> data(10240);
    g_autoptr(GCancellable) cancellable = g_cancellable_new();
    g_cancellable_cancel(cancellable);
    GError *error = nullptr;
    bool done = false;
    struct State {
        GError **error;
        bool *done;
    } state{&error, &done};
    auto callback = [](GObject *source, GAsyncResult *result, gpointer user_data) {
        auto *s = static_cast<State *>(user_data);
        iqhub_write_finish(IQHUB_IQHUB(source), result, s->error);
        *s->done = true;
    };
    ASSERT_TRUE(iqhub_write_async(hub_, nullptr, data.data(), data.size(), make_tv(1), cancellable,
                                  callback, &state, nullptr));
    ASSERT_TRUE(run_until([&done] { return done; }));
    EXPECT_TRUE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED));
    g_clear_error(&error);
}

TEST_F(IqhubWrite, SendBytesWantsWholePacketsOfAStartedObject)
{
    hub_ = iqhub_new_with_options("bit-rate", 600u, nullptr);
    std::vector<guint8> data(10240);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(iqhub_send_bytes(hub_, data.data(), data.size(), &error));
    EXPECT_EQ(error->code, IQHUB_ERR_NOT_RUNNING);
    ASSERT_TRUE(iqhub_start(hub_, nullptr, nullptr));
    g_clear_error(&error);
    EXPECT_FALSE(iqhub_send_bytes(hub_, data.data(), 10000, &error));
    EXPECT_STREQ(error->message, "data length (10000B) must be a iq_size multiple (10240B)");
    EXPECT_TRUE(iqhub_send_bytes(hub_, data.data(), data.size(), nullptr));
    EXPECT_TRUE(iqhub_send_bytes(hub_, data.data(), 0, nullptr));
}

TEST_F(IqhubWrite, UnrefWithAWritePendingFinishesTheWriteFirst)
{
    Start(600);
    std::vector<guint8> data(10240 * 50);
    bool done = false;
    auto callback = [](GObject *, GAsyncResult *, gpointer flag) {
        *static_cast<bool *>(flag) = true;
    };
    ASSERT_TRUE(iqhub_write_async(hub_, nullptr, data.data(), data.size(), make_tv(1), nullptr,
                                  callback, &done, nullptr));
    GWeakRef weak;
    g_weak_ref_init(&weak, hub_);
    iqhub_unref(std::exchange(hub_, nullptr));
    /* The write's task holds the object until its completion is delivered. */
    ASSERT_TRUE(run_until([&done] { return done; }));
    GObject *still = static_cast<GObject *>(g_weak_ref_get(&weak));
    EXPECT_EQ(still, nullptr);
    g_weak_ref_clear(&weak);
}
