/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* RX streaming against the emulated card: delivery, lifecycle, transfer
 * faults and unplug. */
#include "stream_fixture.h"

using namespace xvektest;

namespace
{

class RxStream : public CardTest
{
  protected:
    RxSink sink;

    void SetUp() override
    {
        CardTest::SetUp();
        add_card();
        open(XVEK_OPEN_MODE_NO_TX);
        configure_default();
    }

    void start()
    {
        g_autoptr(GError) err = nullptr;
        ASSERT_TRUE(xvek_rx_start(dev, RxSink::on_rx, &sink, NotifyCounter::notify, &err))
            << (err ? err->message : "");
    }

    void stop()
    {
        g_autoptr(GError) err = nullptr;
        ASSERT_TRUE(xvek_rx_stop(dev, &err)) << (err ? err->message : "");
    }

    bool wait_calls(guint n)
    {
        return wait_for([&] { return sink.calls.load() >= n; });
    }
};

/* ---- delivery ---- */

using RxStreamDelivery = RxStream;

TEST_F(RxStreamDelivery, CallbackReceivesTheCardsBytesInOrder)
{
    start();
    ASSERT_TRUE(wait_calls(40));
    stop();
    EXPECT_FALSE(sink.out_of_order.load());
    EXPECT_FALSE(sink.odd_length);
    EXPECT_LE(sink.max_block, 8192u);
    EXPECT_GE(sink.bytes.load(), 40u * 4);
}

TEST_F(RxStreamDelivery, AFastCardFillsWholeTransfersInOrder)
{
    vekemu_card_set_pacing(card, VEKEMU_PACING_FAST);
    start();
    ASSERT_TRUE(wait_calls(200));
    stop();
    EXPECT_FALSE(sink.out_of_order.load());
    EXPECT_EQ(sink.max_block, 8192u);
}

TEST_F(RxStreamDelivery, RestartDeliversTheNewStreamFromItsStart)
{
    start();
    ASSERT_TRUE(wait_calls(5));
    stop();
    RxSink second;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_rx_start(dev, RxSink::on_rx, &second, nullptr, &err))
        << (err ? err->message : "");
    ASSERT_TRUE(wait_for([&] { return second.calls.load() >= 5; }));
    ASSERT_TRUE(xvek_rx_stop(dev, &err)) << (err ? err->message : "");
    EXPECT_FALSE(second.out_of_order.load());
}

/* ---- lifecycle ---- */

using RxStreamLifecycle = RxStream;

TEST_F(RxStreamLifecycle, StartSwitchesTheCardStreamOnAndStopSwitchesItOff)
{
    start();
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM), 1u);
    EXPECT_TRUE(engine_thread_appears());
    stop();
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM), 0u);
    EXPECT_FALSE(engine_thread_running());
}

TEST_F(RxStreamLifecycle, NoCallbackRunsAfterStopReturns)
{
    start();
    ASSERT_TRUE(wait_calls(3));
    stop();
    guint after_stop = sink.calls.load();
    g_usleep(100 * 1000);
    EXPECT_EQ(sink.calls.load(), after_stop);
}

TEST_F(RxStreamLifecycle, SecondStartIsRefusedAndTheFirstCallbackKeepsRunning)
{
    start();
    RxSink intruder;
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_rx_start(dev, RxSink::on_rx, &intruder, nullptr, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Rx data stream already been started");
    guint before = sink.calls.load();
    ASSERT_TRUE(wait_calls(before + 5));
    stop();
    EXPECT_EQ(intruder.calls.load(), 0u);
    EXPECT_FALSE(sink.out_of_order.load());
}

TEST_F(RxStreamLifecycle, NotifyRunsOnceWithTheUserData)
{
    start();
    ASSERT_TRUE(wait_calls(1));
    stop();
    EXPECT_EQ(notified.count.load(), 1u);
    EXPECT_EQ(notified.last_data, &sink);
    stop();
    EXPECT_EQ(notified.count.load(), 1u);
}

TEST_F(RxStreamLifecycle, StopWithoutStartSucceedsAndNotifiesNobody)
{
    stop();
    EXPECT_EQ(notified.count.load(), 0u);
    EXPECT_TRUE(data_writes(card, VEKEMU_CMD_DATA_RX_STREAM).empty());
}

TEST_F(RxStreamLifecycle, NoNotifyWhenTheStreamHadNoCallback)
{
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_rx_start(dev, nullptr, &sink, NotifyCounter::notify, &err))
        << (err ? err->message : "");
    stop();
    EXPECT_EQ(notified.count.load(), 0u);
}

TEST_F(RxStreamLifecycle, StopWhenTheCardStreamIsAlreadyOffSendsNoWriteButEndsTheStream)
{
    start();
    ASSERT_TRUE(wait_calls(2));
    vekemu_card_reg_set(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM, 0);
    vekemu_card_clear_events(card);
    stop();
    EXPECT_TRUE(data_writes(card, VEKEMU_CMD_DATA_RX_STREAM).empty());
    EXPECT_FALSE(engine_thread_running());
}

TEST_F(RxStreamLifecycle, ReleasingTheDeviceWhileStreamingStopsAndNotifies)
{
    start();
    ASSERT_TRUE(wait_calls(3));
    g_object_unref(dev);
    dev = nullptr;
    EXPECT_EQ(notified.count.load(), 1u);
    EXPECT_FALSE(engine_thread_running());
    EXPECT_TRUE(released(card, 0));
}

/* A host that forgets a card from inside its RX callback: the card is released
 * off the event thread, the stream ends for its user data, and the library
 * stays usable. */
TEST_F(RxStreamLifecycle, DroppingTheLastReferenceInsideTheRxCallbackReleasesTheCard)
{
    struct Dropper {
        std::atomic<VekDevice *> device{nullptr};
        static gboolean on_rx(VekDevice *, const guint8 *, gsize, gpointer data, GError **)
        {
            VekDevice *last = static_cast<Dropper *>(data)->device.exchange(nullptr);
            if (last != nullptr)
                g_object_unref(last);
            return TRUE;
        }
    } dropper;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_rx_start(dev, Dropper::on_rx, &dropper, NotifyCounter::notify, &err))
        << err->message;
    /* The reference changes hands once the start has returned. */
    dropper.device = dev;
    dev = nullptr;
    ASSERT_TRUE(wait_for([&] { return notified.count.load() == 1u; }));
    EXPECT_EQ(notified.last_data, &dropper);
    EXPECT_TRUE(wait_for([&] { return released(card, 0) && !engine_thread_running(); }));

    guint32 nb = 0;
    ASSERT_TRUE(xvek_scan_get_device_nb(&nb, &err)) << err->message;
    EXPECT_EQ(nb, 1u);
    open(XVEK_OPEN_MODE_NO_TX);
    configure_default();
    start();
    ASSERT_TRUE(wait_calls(3));
    stop();
}

/* A host thread in the middle of a control request must never find itself
 * running another card's RX callback: dropping the card there would wait for
 * completions that only that very thread could deliver. Control requests run
 * back to back on a second handle of the card while, round after round, the
 * RX callback drops the last reference of the streaming handle; the machine is
 * kept busy so that the threads interleave in every way. Every callback must
 * run on the event thread and every release must complete. */
TEST_F(RxStreamLifecycle, DroppingTheCardInsideTheRxCallbackWhileControlRequestsRunReleasesIt)
{
    constexpr guint kRounds = 40;
    g_object_unref(dev);
    dev = nullptr;
    vekemu_card_set_pacing(card, VEKEMU_PACING_FAST);
    VekDevice *control = nullptr;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_device_new_with_mode(0, XVEK_OPEN_MODE_CTL_ONLY, &control, &err))
        << err->message;

    struct Dropper {
        std::atomic<VekDevice *> device{nullptr};
        std::atomic<guint> calls{0};
        std::atomic<guint> off_engine_thread{0};
        static gboolean on_rx(VekDevice *, const guint8 *, gsize, gpointer data, GError **)
        {
            auto *self = static_cast<Dropper *>(data);
            self->calls.fetch_add(1);
            if (!on_engine_thread())
                self->off_engine_thread.fetch_add(1);
            VekDevice *last = self->device.exchange(nullptr);
            if (last != nullptr)
                g_object_unref(last);
            return TRUE;
        }
    } dropper;
    /* Pings the card through @control back to back while it lives. */
    struct Requester {
        std::atomic<bool> done{false};
        std::atomic<guint> requests{0}, failed{0};
        std::thread thread;
        explicit Requester(VekDevice *control)
            : thread([this, control] {
                  while (!done.load()) {
                      GError *e = nullptr;
                      if (!xvek_ctrl_ping(control, &e))
                          failed.fetch_add(1);
                      g_clear_error(&e);
                      requests.fetch_add(1);
                  }
              })
        {
        }
        ~Requester()
        {
            done = true;
            thread.join();
        }
    };
    {
        CpuLoad load;
        Requester requester(control);
        for (guint round = 0; round < kRounds; round++) {
            open(XVEK_OPEN_MODE_NO_TX);
            configure_default();
            vekemu_card_clear_events(card);
            ASSERT_TRUE(xvek_rx_start(dev, Dropper::on_rx, &dropper, NotifyCounter::notify, &err))
                << err->message;
            dropper.device = std::exchange(dev, nullptr);
            ASSERT_TRUE(wait_for(
                [&] { return notified.count.load() == round + 1 && released(card, 0); }, 20000))
                << "round " << round << ": the card dropped in its RX callback was not released";
        }
        EXPECT_GT(requester.requests.load(), kRounds);
        EXPECT_EQ(requester.failed.load(), 0u);
    }
    EXPECT_GT(dropper.calls.load(), 0u);
    EXPECT_EQ(dropper.off_engine_thread.load(), 0u)
        << "RX callbacks ran on a thread that was making a control request";
    g_object_unref(control);
}

/* libusb runs the callbacks holding its list of open devices, which an open
 * needs, and a control request waits for the event thread that runs them:
 * both are refused there with a clear error instead of deadlocking, the
 * stream goes on, and the same open works outside. */
TEST_F(RxStreamLifecycle, OpeningACardOrRequestingInsideTheRxCallbackIsRefusedAndTheStreamGoesOn)
{
    struct Opener {
        std::atomic<int> done{0};
        std::string failure, request_failure;
        static gboolean on_rx(VekDevice *owner, const guint8 *, gsize, gpointer data, GError **)
        {
            auto *self = static_cast<Opener *>(data);
            if (self->done.load() != 0)
                return TRUE;
            VekDevice *other = nullptr;
            GError *err = nullptr;
            if (!xvek_device_new_with_mode(0, XVEK_OPEN_MODE_CTL_ONLY, &other, &err)) {
                self->failure = err->message;
                g_clear_error(&err);
            }
            if (other != nullptr)
                g_object_unref(other);
            /* The request would wait for the very thread that runs it. */
            if (!xvek_ctrl_ping(owner, &err)) {
                self->request_failure = err->message;
                g_clear_error(&err);
            }
            self->done.store(1);
            return TRUE;
        }
    } opener;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_rx_start(dev, Opener::on_rx, &opener, nullptr, &err)) << err->message;
    ASSERT_TRUE(wait_for([&] { return opener.done.load() == 1; }));
    EXPECT_EQ(opener.failure,
              "Failed to open vek device: not allowed from a stream callback (USB event thread)");
    EXPECT_EQ(opener.request_failure,
              "Bottom usb control IN failed [group 4, cmd 0](error -6: LIBUSB_ERROR_BUSY)");
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM), 1u);
    stop();

    VekDevice *control = nullptr;
    ASSERT_TRUE(xvek_device_new_with_mode(0, XVEK_OPEN_MODE_CTL_ONLY, &control, &err))
        << err->message;
    EXPECT_TRUE(xvek_ctrl_ping(control, &err)) << err->message;
    g_object_unref(control);
}

/* ---- faults ---- */

/* Lines of the library log that name a transfer status, counted as they are
 * logged (on the event thread). */
std::atomic<guint> g_fault_lines{0};
std::atomic<const char *> g_fault_line{nullptr};

gboolean count_fault_lines(VekDevice *, const gchar *line)
{
    const char *wanted = g_fault_line.load();
    if (wanted != nullptr && g_str_equal(line, wanted))
        g_fault_lines.fetch_add(1);
    return TRUE;
}

struct FaultCase {
    const char *name;
    VekemuFault fault;
    const char *log_line;
};

void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.name;
}

class RxStreamFaults : public RxStream, public ::testing::WithParamInterface<FaultCase>
{
  protected:
    void TearDown() override
    {
        g_fault_line = nullptr;
        RxStream::TearDown();
    }
};

TEST_P(RxStreamFaults, FailedTransfersAreResubmittedAndTheStreamGoesOn)
{
    g_fault_lines = 0;
    g_fault_line = GetParam().log_line;
    xvek_logSetCB(dev, count_fault_lines, nullptr, nullptr, nullptr);
    /* More failures than transfers in the pool: the stream only goes on
     * if failed transfers are submitted again. */
    const guint faults = 20;
    vekemu_card_fault_rx(card, GetParam().fault, faults);
    start();
    ASSERT_TRUE(wait_for([] { return g_fault_lines.load() >= faults; }))
        << g_fault_lines.load() << " of " << faults << " failures seen";
    guint calls = sink.calls.load();
    ASSERT_TRUE(wait_calls(calls + 10));
    stop();
    /* The failed transfers consumed nothing: what arrived is the unbroken
     * pattern. */
    EXPECT_FALSE(sink.out_of_order.load());
}

INSTANTIATE_TEST_SUITE_P(
    TransferStatus, RxStreamFaults,
    ::testing::Values(FaultCase{"Timeout", VEKEMU_FAULT_TIMEOUT,
                                "DEBUG: LIBUSB_TRANSFER_TIMED_OUT"},
                      FaultCase{"Stall", VEKEMU_FAULT_STALL,
                                "DEBUG: transfer stalled (stream not started yet?), resubmiting "
                                "urb"},
                      FaultCase{"Error", VEKEMU_FAULT_ERROR, "DEBUG: LIBUSB_TRANSFER_ERROR"},
                      FaultCase{"Overflow", VEKEMU_FAULT_OVERFLOW,
                                "DEBUG: transfer timeout, error or ovf: ignoring payload, "
                                "resubmiting urb"}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

using RxStreamConsumerErrors = RxStream;

TEST_F(RxStreamConsumerErrors, AnErrorFromTheCallbackDoesNotStopTheStream)
{
    sink.errors_to_raise = 3;
    start();
    ASSERT_TRUE(wait_calls(10));
    stop();
    EXPECT_EQ(sink.errors_to_raise.load(), 0u);
    EXPECT_FALSE(sink.out_of_order.load());
}

/* ---- unplug ---- */

std::atomic<guint> g_disconnections{0};
std::atomic<VekDevice *> g_disconnected_device{nullptr};

gboolean on_disconnect(VekDevice *device, GError **error)
{
    (void)error;
    g_disconnected_device = device;
    g_disconnections.fetch_add(1);
    return TRUE;
}

class RxStreamUnplug : public RxStream
{
  protected:
    /* Starts the stream with the disconnection callback registered; returns
     * once blocks arrive. */
    void start_watching_disconnection()
    {
        g_disconnections = 0;
        g_disconnected_device = nullptr;
        xvek_set_disconnection_callback(dev, on_disconnect, nullptr, nullptr, nullptr);
        start();
        ASSERT_TRUE(wait_calls(3));
    }

    /* Waits for the disconnection report: it names this card, comes once, and
     * every transfer retires after it without further callbacks. */
    void expect_one_disconnection_and_no_block_after()
    {
        ASSERT_TRUE(wait_for([] { return g_disconnections.load() >= 1; }));
        guint calls = sink.calls.load();
        g_usleep(200 * 1000);
        EXPECT_EQ(sink.calls.load(), calls);
        EXPECT_EQ(g_disconnections.load(), 1u);
        EXPECT_EQ(g_disconnected_device.load(), dev);
        EXPECT_FALSE(sink.out_of_order.load());
    }
};

TEST_F(RxStreamUnplug, DisconnectionIsReportedOnceAndTheStreamEndsCleanly)
{
    ASSERT_NO_FATAL_FAILURE(start_watching_disconnection());
    vekemu_card_unplug(card);
    ASSERT_NO_FATAL_FAILURE(expect_one_disconnection_and_no_block_after());

    /* The card cannot hear the stream-off request any more. */
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_rx_stop(dev, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(g_str_has_prefix(err->message, "Failed to stop rx stream: ")) << err->message;
    EXPECT_EQ(notified.count.load(), 0u);

    /* Releasing the device still tears everything down and ends the stream
     * for its user data. */
    g_object_unref(dev);
    dev = nullptr;
    EXPECT_FALSE(engine_thread_running());
    EXPECT_EQ(notified.count.load(), 1u);
}

/* The host controller ends the transfers of a card that goes away before the
 * card's node goes: the ended transfers alone report the disconnection (every
 * submission still succeeds), and the stream ends. */
TEST_F(RxStreamUnplug, TransferEndedForAVanishedCardReportsItOnceAndEndsTheStream)
{
    ASSERT_NO_FATAL_FAILURE(start_watching_disconnection());
    vekemu_card_fault_rx(card, VEKEMU_FAULT_NO_DEVICE, 1);
    ASSERT_NO_FATAL_FAILURE(expect_one_disconnection_and_no_block_after());
    EXPECT_TRUE(vekemu_card_is_plugged(card));

    /* The card still hears the stream-off request: the stop succeeds. */
    stop();
    EXPECT_EQ(notified.count.load(), 1u);
}

std::atomic<VekDevice *> g_device_to_drop{nullptr};

gboolean drop_on_disconnect(VekDevice *, GError **)
{
    VekDevice *last = g_device_to_drop.exchange(nullptr);
    if (last != nullptr)
        g_object_unref(last);
    return TRUE;
}

/* "Card gone, forget it": the host drops its last reference from inside the
 * disconnection callback. */
TEST_F(RxStreamUnplug, DroppingTheDeviceInsideTheDisconnectionCallbackReleasesIt)
{
    xvek_set_disconnection_callback(dev, drop_on_disconnect, nullptr, nullptr, nullptr);
    start();
    ASSERT_TRUE(wait_calls(3));
    g_device_to_drop = dev;
    dev = nullptr;
    vekemu_card_unplug(card);
    ASSERT_TRUE(wait_for([&] { return notified.count.load() == 1u; }));
    EXPECT_EQ(g_device_to_drop.load(), nullptr);
    EXPECT_TRUE(wait_for([] { return !engine_thread_running(); }));

    /* Plugged back in, the card is found and streams again. */
    ASSERT_TRUE(vekemu_card_plug(card, nullptr));
    open(XVEK_OPEN_MODE_NO_TX);
    configure_default();
    RxSink again;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_rx_start(dev, RxSink::on_rx, &again, nullptr, &err)) << err->message;
    ASSERT_TRUE(wait_for([&] { return again.calls.load() >= 3; }));
    stop();
}

TEST_F(RxStreamUnplug, StartOnAnUnpluggedCardFailsAndLeavesNothingRunning)
{
    vekemu_card_unplug(card);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_rx_start(dev, RxSink::on_rx, &sink, NotifyCounter::notify, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(g_str_has_prefix(err->message, "Failed to start rx channel: ")) << err->message;
    EXPECT_FALSE(engine_thread_running());
    g_object_unref(dev);
    dev = nullptr;
    EXPECT_EQ(sink.calls.load(), 0u);
}

/* The host runs out of kernel memory for transfers half way through the start: the
 * transfers already in flight retire before the call returns, the card's stream stays
 * off, and the next start brings the whole pool up. */
using RxStreamStartFailure = RxStream;

TEST_F(RxStreamStartFailure, RefusedSubmissionFailsTheStartAndTheNextStartRecovers)
{
    vekemu_card_refuse_rx(card, 5, 1);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_rx_start(dev, RxSink::on_rx, &sink, nullptr, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Failed to start rx channel: Failed submitted urb 5 (error -11: "
                               "LIBUSB_ERROR_NO_MEM)");
    g_clear_error(&err);
    EXPECT_FALSE(engine_thread_running());
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM), 0u);
    EXPECT_EQ(sink.calls.load(), 0u);

    start();
    ASSERT_TRUE(wait_calls(20));
    stop();
    EXPECT_FALSE(sink.out_of_order.load());
}

/* ---- several cards ---- */

using RxStreamTwoCards = CardTest;

TEST_F(RxStreamTwoCards, StoppingOneCardLeavesTheOtherStreaming)
{
    add_card();
    VekemuCard *first = card;
    add_card();
    open(XVEK_OPEN_MODE_NO_TX);
    configure_default();
    VekDevice *other = nullptr;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_device_new_with_mode(1, XVEK_OPEN_MODE_NO_TX, &other, &err)) << err->message;
    ASSERT_TRUE(xvek_rx_configure(other, 100, 2, XVEK_STREAM_RATE_VAL192K,
                                  XVEK_STREAM_ACCESS_TYPE_RW, XVEK_STREAM_BITWIDTH_VAL16,
                                  XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err))
        << err->message;
    RxSink a, b;
    ASSERT_TRUE(xvek_rx_start(dev, RxSink::on_rx, &a, nullptr, &err)) << err->message;
    ASSERT_TRUE(xvek_rx_start(other, RxSink::on_rx, &b, nullptr, &err)) << err->message;
    ASSERT_TRUE(wait_for([&] { return a.calls.load() >= 3 && b.calls.load() >= 3; }));

    ASSERT_TRUE(xvek_rx_stop(dev, &err)) << err->message;
    /* Ids follow enumeration order: which card is which does not matter,
     * one of them must still stream. */
    EXPECT_EQ(vekemu_card_reg_get(first, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM) +
                  vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM),
              1u);
    EXPECT_TRUE(engine_thread_appears());
    guint b_calls = b.calls.load();
    EXPECT_TRUE(wait_for([&] { return b.calls.load() >= b_calls + 5; }));

    ASSERT_TRUE(xvek_rx_stop(other, &err)) << err->message;
    EXPECT_FALSE(engine_thread_running());
    EXPECT_FALSE(a.out_of_order.load());
    EXPECT_FALSE(b.out_of_order.load());
    g_object_unref(other);
}

} // namespace
