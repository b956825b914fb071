/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Downlink channel against the emulated card: framing of a block by the
 * downlink status requests, faults of the bulk transfer, the interface per
 * open mode. */
#include "stream_fixture.h"

using namespace xvektest;

namespace
{

class Downlink : public CardTest
{
  protected:
    void SetUp() override
    {
        CardTest::SetUp();
        add_card();
        open(XVEK_OPEN_MODE_RX_DL);
        vekemu_card_clear_events(card);
    }

    /* The card's view of one send: DL status writes and bulk blocks, in order. */
    std::string trace()
    {
        std::string out;
        for (const VekemuEvent &e : card_events(card)) {
            if (e.kind == VEKEMU_EVENT_CONTROL && e.bRequest == 3 && e.wValue == 8)
                out += e.bmRequestType == 0x43 ? "status=" + std::to_string(e.value) + ";"
                                               : "status?;";
            else if (e.kind == VEKEMU_EVENT_BULK_OUT)
                out += "bulk " + std::to_string(e.length) + ";";
        }
        return out;
    }

    static std::vector<guint8> block(gsize n)
    {
        std::vector<guint8> b(n);
        for (gsize i = 0; i < n; i++)
            b[i] = (guint8)(i * 7 + 3);
        return b;
    }

    std::vector<guint8> stored(guint index)
    {
        GBytes *bytes = vekemu_card_dl_block(card, index);
        if (bytes == nullptr)
            return {};
        gsize n = 0;
        auto *p = static_cast<const guint8 *>(g_bytes_get_data(bytes, &n));
        std::vector<guint8> out(p, p + n);
        g_bytes_unref(bytes);
        return out;
    }
};

/* ---- framing ---- */

using DownlinkFraming = Downlink;

TEST_F(DownlinkFraming, ABlockIsFramedByTheTwoStatusRequests)
{
    std::vector<guint8> b = block(28);
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_dl_send(dev, b.data(), b.size(), &err)) << err->message;
    EXPECT_EQ(trace(), "status=1;bulk 28;status=0;");
    ASSERT_EQ(vekemu_card_dl_block_count(card), 1u);
    EXPECT_EQ(stored(0), b);
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_DL_STREAM), 0u);
}

TEST_F(DownlinkFraming, ConsecutiveBlocksArriveIntactAndInOrder)
{
    std::vector<guint8> a = block(4096);
    std::vector<guint8> b = block(100);
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_dl_send(dev, a.data(), a.size(), &err)) << err->message;
    ASSERT_TRUE(xvek_dl_send(dev, b.data(), b.size(), &err)) << err->message;
    EXPECT_EQ(trace(), "status=1;bulk 4096;status=0;status=1;bulk 100;status=0;");
    EXPECT_EQ(stored(0), a);
    EXPECT_EQ(stored(1), b);
}

TEST_F(DownlinkFraming, AnEmptyBlockIsAZeroLengthTransfer)
{
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_dl_send(dev, nullptr, 0, &err)) << err->message;
    EXPECT_EQ(trace(), "status=1;bulk 0;status=0;");
}

TEST_F(DownlinkFraming, WorksWhileRxStreams)
{
    configure_default();
    RxSink sink;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_rx_start(dev, RxSink::on_rx, &sink, nullptr, &err)) << err->message;
    ASSERT_TRUE(wait_for([&] { return sink.calls.load() >= 2; }));
    std::vector<guint8> b = block(28);
    ASSERT_TRUE(xvek_dl_send(dev, b.data(), b.size(), &err)) << err->message;
    ASSERT_TRUE(xvek_rx_stop(dev, &err)) << err->message;
    EXPECT_EQ(stored(0), b);
    EXPECT_FALSE(sink.out_of_order.load());
}

/* ---- faults ---- */

using DownlinkFaults = Downlink;

TEST_F(DownlinkFaults, ACardThatTakesPartOfABlockLeavesTheStatusActive)
{
    vekemu_card_fault_dl(card, VEKEMU_DL_SHORT_NAK, 100, 1);
    std::vector<guint8> b = block(1000);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_dl_send(dev, b.data(), b.size(), &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Partial dl bulk transfer (100B/1000dB)");
    EXPECT_EQ(trace(), "status=1;bulk 100;");
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_DL_STREAM), 1u);
}

TEST_F(DownlinkFaults, AShortTransferWithoutErrorIsPartialToo)
{
    vekemu_card_fault_dl(card, VEKEMU_DL_SHORT_COMPLETE, 10, 1);
    std::vector<guint8> b = block(28);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_dl_send(dev, b.data(), b.size(), &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Partial dl bulk transfer (10B/28dB)");
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_DL_STREAM), 1u);
}

TEST_F(DownlinkFaults, AStalledBlockReportsTheTransferError)
{
    vekemu_card_fault_dl(card, VEKEMU_DL_STALL, 0, 1);
    std::vector<guint8> b = block(28);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_dl_send(dev, b.data(), b.size(), &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Failed to send dl bulk packet (code -9: LIBUSB_ERROR_PIPE)");
    EXPECT_EQ(vekemu_card_reg_get(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_DL_STREAM), 1u);
    /* The next block goes through. */
    g_clear_error(&err);
    ASSERT_TRUE(xvek_dl_send(dev, b.data(), b.size(), &err)) << err->message;
}

TEST_F(DownlinkFaults, ABlockTheCardNeverTakesTimesOut)
{
    vekemu_card_fault_dl(card, VEKEMU_DL_TIMEOUT, 0, 1);
    std::vector<guint8> b = block(28);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_dl_send(dev, b.data(), b.size(), &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Failed to send dl bulk packet (code -7: LIBUSB_ERROR_TIMEOUT)");
}

TEST_F(DownlinkFaults, AFailedStatusRequestSendsNoBlock)
{
    vekemu_card_fault_control(card, VEKEMU_GROUP_DATA, VEKEMU_CMD_DATA_DL_STREAM,
                              VEKEMU_FAULT_STALL, 1);
    std::vector<guint8> b = block(28);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_dl_send(dev, b.data(), b.size(), &err));
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(g_str_has_prefix(err->message, "Failed to set DL status active: Bottom usb control "
                                               "OUT failed [group 3, cmd 8]"))
        << err->message;
    EXPECT_EQ(vekemu_card_dl_block_count(card), 0u);
}

TEST_F(DownlinkFaults, ABlockBeyondTheSigned32BitLimitIsRefusedBeforeAnyRequest)
{
    guint8 small[4] = {};
    g_autoptr(GError) err = nullptr;
    /* Only the length is looked at: the refusal comes before any byte is read. */
    EXPECT_FALSE(xvek_dl_send(dev, small, (gsize)G_MAXINT32 + 1, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(
        g_str_has_prefix(err->message, "Failed to send dl bulk packet: block of 2147483648"))
        << err->message;
    EXPECT_EQ(trace(), "");
}

TEST_F(DownlinkFaults, MissingDataForANonEmptyBlockIsRefused)
{
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_dl_send(dev, nullptr, 28, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(trace(), "");
}

/* ---- component per open mode ---- */

using DownlinkComponent = CardTest;

TEST_F(DownlinkComponent, DlModeClaimsOnlyInterfaceTwo)
{
    add_card();
    open(XVEK_OPEN_MODE_DL);
    EXPECT_TRUE(claimed(card, 2));
    EXPECT_FALSE(claimed(card, 0));
    g_object_unref(dev);
    dev = nullptr;
    EXPECT_TRUE(released(card, 2));
}

TEST_F(DownlinkComponent, RxOnlyModeLeavesInterfaceTwoAlone)
{
    add_card();
    open(XVEK_OPEN_MODE_NO_TX);
    EXPECT_FALSE(claimed(card, 2));
    g_object_unref(dev);
    dev = nullptr;
    EXPECT_FALSE(released(card, 2));
}

/* The kernel would claim interface 2 on the first transfer and keep it: a card
 * opened without the downlink channel refuses the send before any request. */
TEST_F(DownlinkComponent, SendOnACardOpenedWithoutTheChannelIsRefused)
{
    add_card();
    for (VektypeOpenMode mode : {XVEK_OPEN_MODE_NO_TX, XVEK_OPEN_MODE_CTL_ONLY}) {
        open(mode);
        vekemu_card_clear_events(card);
        const guint8 data[4] = {1, 2, 3, 4};
        g_autoptr(GError) err = nullptr;
        EXPECT_FALSE(xvek_dl_send(dev, data, sizeof data, &err));
        ASSERT_NE(err, nullptr);
        EXPECT_STREQ(err->message, "Failed to send dl bulk packet: the device was opened "
                                   "without the downlink channel");
        EXPECT_TRUE(card_events(card).empty());
        EXPECT_EQ(vekemu_card_dl_block_count(card), 0u);
        g_clear_object(&dev);
    }
}

TEST_F(DownlinkComponent, DeviceInfoIsNotProvided)
{
    add_card();
    open(XVEK_OPEN_MODE_DL);
    VektypeStructDeviceInfo info;
    memset(&info, 0x5A, sizeof info);
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_device_info(dev, &info, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Private info feature not currently supported");
    EXPECT_EQ((guint8)info.name[0], 0x5A);
}

TEST(DownlinkHandles, MissingDeviceIsAnInvalidHandle)
{
    g_autoptr(GError) err = nullptr;
    EXPECT_FALSE(xvek_dl_send(nullptr, nullptr, 0, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "xvek_dl_send: invalid handle");
}

} // namespace
