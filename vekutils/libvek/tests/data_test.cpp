/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Data API against the emulated card: stream configuration, the data
 * component per open mode, refused starts and the TX entry points. */
#include "stream_fixture.h"

using namespace xvektest;

namespace
{

gboolean configure(VekDevice *dev, VektypeStreamRate rate, VektypeStreamBitwidth bit,
                   VektypeStreamEndian end, VektypeStreamNbChannel chan, GError **err)
{
    return xvek_rx_configure(dev, 100, 2, rate, XVEK_STREAM_ACCESS_TYPE_RW, bit, end, chan, err);
}

/* ---- configuration ---- */

class RxConfigure : public CardTest
{
  protected:
    void SetUp() override
    {
        CardTest::SetUp();
        add_card();
        open(XVEK_OPEN_MODE_NO_TX);
        vekemu_card_clear_events(card);
    }
};

TEST_F(RxConfigure, WritesWidthAndRateToTheCard)
{
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(configure(dev, XVEK_STREAM_RATE_VAL48K, XVEK_STREAM_BITWIDTH_VAL24,
                          XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err))
        << err->message;
    EXPECT_EQ(data_writes(card, VEKEMU_CMD_DATA_FORMAT), std::vector<guint32>{24});
    EXPECT_EQ(data_writes(card, VEKEMU_CMD_DATA_SAMPLING), std::vector<guint32>{48000});
}

TEST_F(RxConfigure, AWidthTheCardAlreadyHasIsNotWrittenAgain)
{
    vekemu_card_reg_set(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_FORMAT, 16);
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(configure(dev, XVEK_STREAM_RATE_VAL192K, XVEK_STREAM_BITWIDTH_VAL16,
                          XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err))
        << err->message;
    EXPECT_TRUE(data_writes(card, VEKEMU_CMD_DATA_FORMAT).empty());
    EXPECT_EQ(data_writes(card, VEKEMU_CMD_DATA_SAMPLING), std::vector<guint32>{192000});
}

TEST_F(RxConfigure, AnOtherRateBelowTheLimitIsAcceptedAndSentAsZero)
{
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(configure(dev, (VektypeStreamRate)96000, XVEK_STREAM_BITWIDTH_VAL16,
                          XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err))
        << err->message;
    EXPECT_EQ(data_writes(card, VEKEMU_CMD_DATA_SAMPLING), std::vector<guint32>{0});
}

struct BadConfig {
    const char *name;
    guint32 buffer;
    guint32 ratio;
    VektypeStreamRate rate;
    VektypeStreamEndian end;
    VektypeStreamNbChannel chan;
    const char *message;
};

void PrintTo(const BadConfig &c, std::ostream *os)
{
    *os << c.name;
}

class RxConfigureRefused : public RxConfigure, public ::testing::WithParamInterface<BadConfig>
{
};

TEST_P(RxConfigureRefused, BeforeAnyRequestReachesTheCard)
{
    const BadConfig &c = GetParam();
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_rx_configure(dev, c.buffer, c.ratio, c.rate, XVEK_STREAM_ACCESS_TYPE_RW,
                                   XVEK_STREAM_BITWIDTH_VAL16, c.end, c.chan, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, c.message);
    EXPECT_TRUE(card_events(card).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, RxConfigureRefused,
    ::testing::Values(BadConfig{"BigEndian", 100, 2, XVEK_STREAM_RATE_VAL192K,
                                XVEK_STREAM_ENDIAN_BE, XVEK_STREAM_NB_CHANNEL_VAL2,
                                "Bottom rx configure: unavailable endianess "},
                      BadConfig{"OneChannel", 100, 2, XVEK_STREAM_RATE_VAL192K,
                                XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL1,
                                "Bottom rx configure: unavailable nb channels "},
                      BadConfig{"RateAboveLimit", 100, 2, XVEK_STREAM_RATE_VALUNSUPPORTED,
                                XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2,
                                "Error preparing chan cfg: one or more invalid values"},
                      BadConfig{"NoBuffer", 0, 2, XVEK_STREAM_RATE_VAL192K, XVEK_STREAM_ENDIAN_LE,
                                XVEK_STREAM_NB_CHANNEL_VAL2,
                                "Error preparing chan cfg: one or more invalid values"},
                      BadConfig{"NoRatio", 100, 0, XVEK_STREAM_RATE_VAL192K, XVEK_STREAM_ENDIAN_LE,
                                XVEK_STREAM_NB_CHANNEL_VAL2,
                                "Error preparing chan cfg: one or more invalid values"}),
    [](const ::testing::TestParamInfo<BadConfig> &info) { return std::string(info.param.name); });

TEST_F(RxConfigure, IsRefusedWhileTheStreamRunsAndTheStreamGoesOn)
{
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(configure(dev, XVEK_STREAM_RATE_VAL192K, XVEK_STREAM_BITWIDTH_VAL16,
                          XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err));
    RxSink sink;
    ASSERT_TRUE(xvek_rx_start(dev, RxSink::on_rx, &sink, nullptr, &err)) << err->message;
    vekemu_card_clear_events(card);
    EXPECT_FALSE(configure(dev, XVEK_STREAM_RATE_VAL48K, XVEK_STREAM_BITWIDTH_VAL16,
                           XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Rx data stream running: stop it before configuring");
    g_clear_error(&err);
    EXPECT_TRUE(data_writes(card, VEKEMU_CMD_DATA_SAMPLING).empty());
    guint calls = sink.calls.load();
    EXPECT_TRUE(wait_for([&] { return sink.calls.load() >= calls + 5; }));
    ASSERT_TRUE(xvek_rx_stop(dev, &err)) << err->message;
    EXPECT_FALSE(sink.out_of_order.load());
}

TEST_F(RxConfigure, StatisticsAreNotAvailable)
{
    VektypeStructHwStats stats{};
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_rx_get_stats(dev, &stats, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "RX Stats feature not currently supported");
}

/* ---- refused starts ---- */

class RxStartRefused : public CardTest
{
  protected:
    RxSink sink;
    void SetUp() override
    {
        CardTest::SetUp();
        add_card();
    }
};

TEST_F(RxStartRefused, OnACardOpenedWithoutRxChannel)
{
    for (VektypeOpenMode mode : {XVEK_OPEN_MODE_CTL_ONLY, XVEK_OPEN_MODE_DL}) {
        open(mode);
        g_autoptr(GError) err = nullptr;
        EXPECT_FALSE(xvek_rx_start(dev, RxSink::on_rx, &sink, NotifyCounter::notify, &err));
        ASSERT_NE(err, nullptr);
        EXPECT_STREQ(err->message,
                     "Failed to start rx channel: the device was opened without an RX channel");
        g_clear_error(&err);
        EXPECT_FALSE(xvek_rx_configure(dev, 100, 2, XVEK_STREAM_RATE_VAL192K,
                                       XVEK_STREAM_ACCESS_TYPE_RW, XVEK_STREAM_BITWIDTH_VAL16,
                                       XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err));
        ASSERT_NE(err, nullptr);
        EXPECT_STREQ(err->message, "Error preparing chan cfg: one or more invalid values");
        EXPECT_FALSE(engine_thread_running());
        EXPECT_TRUE(xvek_rx_stop(dev, nullptr));
        g_object_unref(dev);
        dev = nullptr;
    }
    EXPECT_EQ(notified.count.load(), 0u);
    EXPECT_FALSE(claimed(card, 0));
}

TEST_F(RxStartRefused, WhenTheCardRefusesStreamOnNothingStaysInFlight)
{
    open(XVEK_OPEN_MODE_NO_TX);
    configure_default();
    vekemu_card_fault_control(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_RX_STREAM,
                              VEKEMU_FAULT_STALL, 1);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_rx_start(dev, RxSink::on_rx, &sink, NotifyCounter::notify, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(g_str_has_prefix(err->message, "Failed to start rx stream: Failed to read current "
                                               "RX stream status: "))
        << err->message;
    g_clear_error(&err);
    EXPECT_FALSE(engine_thread_running());
    /* The transfers of the failed start were retired: the next start owns a
     * clean pool and the stream begins at its first byte. */
    ASSERT_TRUE(xvek_rx_start(dev, RxSink::on_rx, &sink, NotifyCounter::notify, &err))
        << err->message;
    ASSERT_TRUE(wait_for([&] { return sink.calls.load() >= 5; }));
    ASSERT_TRUE(xvek_rx_stop(dev, &err)) << err->message;
    EXPECT_FALSE(sink.out_of_order.load());
    EXPECT_EQ(notified.count.load(), 1u);
}

TEST_F(RxStartRefused, FromInsideTheRxCallback)
{
    open(XVEK_OPEN_MODE_NO_TX);
    configure_default();
    struct Reentrant {
        std::atomic<int> done{0};
        std::string stop_message;
        static gboolean on_rx(VekDevice *owner, const guint8 *, gsize, gpointer data, GError **)
        {
            auto *self = static_cast<Reentrant *>(data);
            if (self->done.load() != 0)
                return TRUE;
            GError *err = nullptr;
            if (!xvek_rx_stop(owner, &err)) {
                self->stop_message = err->message;
                g_error_free(err);
            }
            self->done.store(1);
            return TRUE;
        }
    } reentrant;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_rx_start(dev, Reentrant::on_rx, &reentrant, nullptr, &err));
    ASSERT_TRUE(wait_for([&] { return reentrant.done.load() == 1; }));
    ASSERT_TRUE(xvek_rx_stop(dev, &err)) << err->message;
    EXPECT_EQ(reentrant.stop_message,
              "Failed to stop rx stream: not allowed from a stream callback (USB event thread)");
}

/* ---- data component per open mode ---- */

using DataComponent = CardTest;

TEST_F(DataComponent, RxModesClaimInterfaceZeroAndReleaseIt)
{
    add_card();
    open(XVEK_OPEN_MODE_NO_TX);
    EXPECT_TRUE(claimed(card, 0));
    g_object_unref(dev);
    dev = nullptr;
    EXPECT_TRUE(released(card, 0));
}

TEST_F(DataComponent, OpenWithTxFailsAndGivesInterfaceZeroBack)
{
    add_card();
    for (VektypeOpenMode mode : {XVEK_OPEN_MODE_ALL, XVEK_OPEN_MODE_NO_RX}) {
        g_autoptr(GError) err = nullptr;
        EXPECT_FALSE(xvek_device_new_with_mode(0, mode, &dev, &err));
        EXPECT_EQ(dev, nullptr);
        ASSERT_NE(err, nullptr);
        EXPECT_STREQ(err->message, "TX Stream feature not currently supported");
    }
    /* ALL brought the RX channel up before TX failed. */
    EXPECT_TRUE(claimed(card, 0));
    EXPECT_TRUE(released(card, 0));
    /* The interface is free again: a later RX open works. */
    open(XVEK_OPEN_MODE_NO_TX);
}

/* ---- TX entry points ---- */

class TxStream : public CardTest
{
  protected:
    void SetUp() override
    {
        CardTest::SetUp();
        add_card();
        open(XVEK_OPEN_MODE_RX_DL);
    }
};

gboolean tx_avail(VekDevice *, gsize, gpointer, GError **)
{
    return TRUE;
}

TEST_F(TxStream, EveryStartFailsAndLeavesTheStreamOff)
{
    int data = 0;
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_tx_start_gir(dev, tx_avail, nullptr, &data, NotifyCounter::notify, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "TX Stream feature not currently supported");
    g_clear_error(&err);
    EXPECT_FALSE(
        xvek_tx_twotime_start_prepare(dev, tx_avail, nullptr, &data, NotifyCounter::notify, &err));
    g_clear_error(&err);
    EXPECT_FALSE(xvek_tx_start(dev, nullptr, &data, NotifyCounter::notify, &err));
    g_clear_error(&err);
    EXPECT_FALSE(xvek_tx_twotime_start_go(dev, &err));
    g_clear_error(&err);
    const guint8 block[4] = {1, 2, 3, 4};
    EXPECT_FALSE(xvek_tx_write(dev, block, sizeof block, &err));
    g_clear_error(&err);
    EXPECT_FALSE(xvek_tx_configure(dev, 100, 2, XVEK_STREAM_RATE_VAL192K,
                                   XVEK_STREAM_ACCESS_TYPE_RW, XVEK_STREAM_BITWIDTH_VAL16,
                                   XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "TX Stream feature not currently supported");
    g_clear_error(&err);
    /* Never started, so stopping succeeds and notifies nobody. */
    EXPECT_TRUE(xvek_tx_stop(dev, &err));
    EXPECT_EQ(notified.count.load(), 0u);
}

/* ---- handles ---- */

TEST(DataApiHandles, MissingDeviceIsAnInvalidHandle)
{
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_rx_stop(nullptr, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "xvek_rx_stop: invalid handle");
    g_clear_error(&err);
    EXPECT_FALSE(xvek_rx_start(nullptr, nullptr, nullptr, nullptr, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "xvek_rx_start_full_cb: invalid handle");
}

} // namespace
