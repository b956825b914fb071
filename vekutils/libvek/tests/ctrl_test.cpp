/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The control requests, their wire layout and the decoding of what the card
 * answers, against the emulated card's register model. */
#include <string>
#include <vector>

#include "stream_fixture.h"

namespace
{

using xvektest::card_events;

constexpr guint8 kOut = 0x43;
constexpr guint8 kIn = 0xC3;

class Ctrl : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();
    VekemuCard *card = nullptr;
    VekDevice *dev = nullptr;
    GError *err = nullptr;

    void SetUp() override
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        g_autoptr(GError) e = nullptr;
        card = vekemu_add_card(bed, &cfg, &e);
        ASSERT_NE(card, nullptr) << (e ? e->message : "");
        ASSERT_TRUE(xvek_device_new_with_mode(0, XVEK_OPEN_MODE_CTL_ONLY, &dev, &e))
            << (e ? e->message : "");
        vekemu_card_clear_events(card);
    }
    void TearDown() override
    {
        g_clear_error(&err);
        if (dev != nullptr)
            g_object_unref(dev);
        vekemu_bed_remove_all(bed);
    }

    std::string message() const { return err != nullptr ? err->message : "<no error>"; }

    /* Vendor requests the card saw since the last clear. */
    std::vector<VekemuEvent> requests() const
    {
        std::vector<VekemuEvent> out;
        for (const VekemuEvent &e : card_events(card))
            if (e.kind == VEKEMU_EVENT_CONTROL)
                out.push_back(e);
        return out;
    }

    static void expect_request(const VekemuEvent &e, guint8 type, guint8 group, guint16 cmd)
    {
        EXPECT_EQ(e.bmRequestType, type);
        EXPECT_EQ(e.bRequest, group);
        EXPECT_EQ(e.wValue, cmd);
        EXPECT_EQ(e.wIndex, 0);
        EXPECT_EQ(e.wLength, 4);
        EXPECT_FALSE(e.stalled);
    }

    guint32 reg(guint8 group, guint16 cmd) const { return vekemu_card_reg_get(card, group, cmd); }
    void set_reg(guint8 group, guint16 cmd, guint32 v) { vekemu_card_reg_set(card, group, cmd, v); }
};

/* ---- Monitoring ---- */

TEST_F(Ctrl, PingReadsGroup4Command0)
{
    ASSERT_TRUE(xvek_ctrl_ping(dev, &err)) << message();
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    expect_request(reqs[0], kIn, 4, 0);
}

TEST_F(Ctrl, UptimeIsTheCardsCounter)
{
    set_reg(4, 0, 123456);
    guint32 uptime = 0;
    ASSERT_TRUE(xvek_ctrl_uptime(dev, &uptime, &err)) << message();
    EXPECT_EQ(uptime, 123456u);
}

/* A firmware that does not count its uptime answers 0; ping does not look at the value. */
TEST_F(Ctrl, UptimeOfZeroMeansTheFirmwareDoesNotCountIt)
{
    vekemu_card_set_uptime_counted(card, FALSE);
    guint32 uptime = 7;
    EXPECT_FALSE(xvek_ctrl_uptime(dev, &uptime, &err));
    EXPECT_EQ(message(), "uptime request not supported");
    EXPECT_EQ(uptime, 7u);
    g_clear_error(&err);
    EXPECT_TRUE(xvek_ctrl_ping(dev, &err)) << message();
}

TEST_F(Ctrl, TransferErrorsCarryLibusbsNumberAndNameUnprefixed)
{
    vekemu_card_fault_control(card, 4, 0, VEKEMU_FAULT_STALL, 1);
    EXPECT_FALSE(xvek_ctrl_ping(dev, &err));
    EXPECT_EQ(message(), "Bottom usb control IN failed [group 4, cmd 0](error -9: "
                         "LIBUSB_ERROR_PIPE)");
    g_clear_error(&err);
    vekemu_card_fault_control(card, 4, 0, VEKEMU_FAULT_STALL, 1);
    guint32 uptime = 7;
    EXPECT_FALSE(xvek_ctrl_uptime(dev, &uptime, &err));
    EXPECT_EQ(message(), "Bottom usb control IN failed [group 4, cmd 0](error -9: "
                         "LIBUSB_ERROR_PIPE)");
    EXPECT_EQ(uptime, 7u);
}

/* A firmware that hangs must not hang its host: the request gives up after its
 * timeout with libusb's error, and the next request is answered. */
TEST_F(Ctrl, UnansweredRequestsTimeOutWithTheUsualText)
{
    vekemu_card_fault_control(card, 4, 0, VEKEMU_FAULT_TIMEOUT, 1);
    EXPECT_FALSE(xvek_ctrl_ping(dev, &err));
    EXPECT_EQ(message(), "Bottom usb control IN failed [group 4, cmd 0](error -7: "
                         "LIBUSB_ERROR_TIMEOUT)");
    g_clear_error(&err);
    EXPECT_TRUE(xvek_ctrl_ping(dev, &err)) << message();

    vekemu_card_fault_control(card, 2, 4, VEKEMU_FAULT_TIMEOUT, 1);
    guint8 *data = nullptr;
    EXPECT_FALSE(xvek_ctrl_raw_usb_recv(dev, {2, 3, 2, 4, 0, 4}, &data, &err));
    EXPECT_EQ(message(), "Failed to send raw usb: Bottom usb raw IN failed [group 2, cmd 4, indx "
                         "0, len 4](error -7: LIBUSB_ERROR_TIMEOUT)");
    EXPECT_EQ(data, nullptr);
}

TEST_F(Ctrl, TemperatureIsSignedTenthsOfADegree)
{
    set_reg(4, 1, static_cast<guint32>(-125));
    gint32 temp = 0;
    ASSERT_TRUE(xvek_ctrl_temperature_get(dev, &temp, &err)) << message();
    EXPECT_EQ(temp, -125);
    vekemu_card_fault_control(card, 4, 1, VEKEMU_FAULT_STALL, 1);
    EXPECT_FALSE(xvek_ctrl_temperature_get(dev, &temp, &err));
    EXPECT_TRUE(g_str_has_prefix(message().c_str(), "Failed to send vek temperature get: Bottom "))
        << message();
}

TEST_F(Ctrl, UnpluggedCardReportsNoDevice)
{
    vekemu_card_unplug(card);
    EXPECT_FALSE(xvek_ctrl_ping(dev, &err));
    EXPECT_EQ(message(), "Bottom usb control IN failed [group 4, cmd 0](error -4: "
                         "LIBUSB_ERROR_NO_DEVICE)");
}

/* ---- Versions ---- */

struct VersionCase {
    guint32 word;
    const char *text;
};

TEST_F(Ctrl, HardwareWordDecodesFamilyModelVersionAndNumber)
{
    const VersionCase cases[] = {
        {0x12030405, "ZEP_002_V3.4 [5]"},    {0x3F00FF01, "UNK_015_V0.255 [1]"},
        {0x0A0B0C0D, "TAV_010_V11.12 [13]"}, {0xFFFFFFFF, "UNK_015_V255.255 [255]"},
        {0x00000000, "TAV_000_V0.0 [0]"},
    };
    for (const VersionCase &c : cases) {
        set_reg(1, 0, c.word);
        g_autofree gchar *info = nullptr;
        ASSERT_TRUE(xvek_ctrl_hwinfo(dev, &info, &err)) << message();
        EXPECT_STREQ(info, c.text) << std::hex << c.word;
    }
}

TEST_F(Ctrl, SoftwareWordShowsMajorMinorPatchOnly)
{
    const VersionCase cases[] = {
        {0x01020304, "1.2.4"},
        {0xFFFFFFFF, "255.255.255"},
        {0x0000FF00, "0.0.0"},
    };
    for (const VersionCase &c : cases) {
        set_reg(1, 1, c.word);
        g_autofree gchar *info = nullptr;
        ASSERT_TRUE(xvek_ctrl_swinfo(dev, &info, &err)) << message();
        EXPECT_STREQ(info, c.text) << std::hex << c.word;
    }
    auto reqs = requests();
    ASSERT_FALSE(reqs.empty());
    expect_request(reqs[0], kIn, 1, 1);
}

TEST_F(Ctrl, VersionReadFailuresArePrefixed)
{
    vekemu_card_fault_control(card, 1, -1, VEKEMU_FAULT_STALL, 2);
    gchar *info = nullptr;
    EXPECT_FALSE(xvek_ctrl_swinfo(dev, &info, &err));
    EXPECT_EQ(message(), "Failed reading sw info: Bottom usb control IN failed [group 1, cmd "
                         "1](error -9: LIBUSB_ERROR_PIPE)");
    g_clear_error(&err);
    EXPECT_FALSE(xvek_ctrl_hwinfo(dev, &info, &err));
    EXPECT_EQ(message(), "Failed reading hw info: Bottom usb control IN failed [group 1, cmd "
                         "0](error -9: LIBUSB_ERROR_PIPE)");
    EXPECT_EQ(info, nullptr);
}

/* ---- Radio ---- */

TEST_F(Ctrl, CarrierFrequencyOfEachDirectionHasItsOwnCommand)
{
    ASSERT_TRUE(xvek_ctrl_cf_set(dev, 868130000, XVEK_CTL_MODE_RX, &err)) << message();
    ASSERT_TRUE(xvek_ctrl_cf_set(dev, 869525000, XVEK_CTL_MODE_TX, &err)) << message();
    EXPECT_EQ(reg(2, 1), 868130000u);
    EXPECT_EQ(reg(2, 2), 869525000u);
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    expect_request(reqs[0], kOut, 2, 1);
    EXPECT_EQ(reqs[0].value, 868130000u);
    expect_request(reqs[1], kOut, 2, 2);

    guint32 freq = 0;
    ASSERT_TRUE(xvek_ctrl_cf_get(dev, &freq, XVEK_CTL_MODE_TX, &err)) << message();
    EXPECT_EQ(freq, 869525000u);
    ASSERT_TRUE(xvek_ctrl_cf_get(dev, &freq, XVEK_CTL_MODE_RX, &err)) << message();
    EXPECT_EQ(freq, 868130000u);
}

TEST_F(Ctrl, CarrierFrequencyOfOtherModesIsRefusedBeforeAnyTransfer)
{
    EXPECT_FALSE(xvek_ctrl_cf_set(dev, 1, XVEK_CTL_MODE_LBT, &err));
    EXPECT_EQ(message(), "Unknown mode 2");
    g_clear_error(&err);
    guint32 freq = 0;
    EXPECT_FALSE(xvek_ctrl_cf_get(dev, &freq, static_cast<VektypeCtlMode>(9), &err));
    EXPECT_EQ(message(), "Unknown mode 9");
    EXPECT_TRUE(requests().empty());
}

TEST_F(Ctrl, CarrierFrequencyFailuresArePrefixed)
{
    vekemu_card_fault_control(card, 2, 1, VEKEMU_FAULT_STALL, 2);
    EXPECT_FALSE(xvek_ctrl_cf_set(dev, 1, XVEK_CTL_MODE_RX, &err));
    EXPECT_EQ(message(), "Failed to send vek ctrl radio cf set: Bottom usb control OUT failed "
                         "[group 2, cmd 1](error -9: LIBUSB_ERROR_PIPE)");
    g_clear_error(&err);
    guint32 freq = 0;
    EXPECT_FALSE(xvek_ctrl_cf_get(dev, &freq, XVEK_CTL_MODE_RX, &err));
    EXPECT_TRUE(g_str_has_prefix(message().c_str(), "Failed to send vek ctrl radio cf get: "));
}

TEST_F(Ctrl, CrystalFrequencyIsGroup2Command3)
{
    ASSERT_TRUE(xvek_ctrl_xf_set(dev, 260000123, &err)) << message();
    EXPECT_EQ(reg(2, 3), 260000123u);
    guint32 xf = 0;
    ASSERT_TRUE(xvek_ctrl_xf_get(dev, &xf, &err)) << message();
    EXPECT_EQ(xf, 260000123u);
    vekemu_card_fault_control(card, 2, 3, VEKEMU_FAULT_STALL, 1);
    EXPECT_FALSE(xvek_ctrl_xf_set(dev, 1, &err));
    EXPECT_TRUE(g_str_has_prefix(message().c_str(), "Failed to send vek ctrl radio xf set: "));
}

TEST_F(Ctrl, RadioModeWireValuesAreZeroForRxAndOneForTx)
{
    ASSERT_TRUE(xvek_ctrl_mode_set(dev, XVEK_CTL_MODE_TX, &err)) << message();
    EXPECT_EQ(reg(2, 0), 1u);
    VektypeCtlMode mode = XVEK_CTL_MODE_MAX;
    ASSERT_TRUE(xvek_ctrl_mode_get(dev, &mode, &err)) << message();
    EXPECT_EQ(mode, XVEK_CTL_MODE_TX);
    ASSERT_TRUE(xvek_ctrl_mode_set(dev, XVEK_CTL_MODE_RX, &err)) << message();
    EXPECT_EQ(reg(2, 0), 0u);
    ASSERT_TRUE(xvek_ctrl_mode_get(dev, &mode, &err)) << message();
    EXPECT_EQ(mode, XVEK_CTL_MODE_RX);
}

TEST_F(Ctrl, RadioModeOutsideRxAndTxIsRefused)
{
    set_reg(2, 0, 2);
    VektypeCtlMode mode = XVEK_CTL_MODE_RX;
    EXPECT_FALSE(xvek_ctrl_mode_get(dev, &mode, &err));
    EXPECT_EQ(message(), "Unknown mode value 2");
    g_clear_error(&err);
    vekemu_card_clear_events(card);
    EXPECT_FALSE(xvek_ctrl_mode_set(dev, XVEK_CTL_MODE_LBT, &err));
    EXPECT_EQ(message(), "Unknown mode 2");
    EXPECT_TRUE(requests().empty());
}

/* ---- Preamplifiers ---- */

struct PaSetCase {
    guint32 before;
    VektypePreampId id;
    VektypePreampMode mode;
    guint32 after;
};

TEST_F(Ctrl, PreampSetRewritesOnlyItsOwnField)
{
    const PaSetCase cases[] = {
        {0x00000113, XVEK_CTL_PREAMP_ID_VAL1, XVEK_CTL_PREAMP_MODE_ATTEN, 0x00000123},
        {0x00000123, XVEK_CTL_PREAMP_ID_VAL0, XVEK_CTL_PREAMP_MODE_LNA, 0x00000023},
        {0x00000000, XVEK_CTL_PREAMP_ID_VAL2, XVEK_CTL_PREAMP_MODE_BYPASS, 0x00000001},
        {0xABCD0FFF, XVEK_CTL_PREAMP_ID_VAL0, XVEK_CTL_PREAMP_MODE_BYPASS, 0xABCD01FF},
        /* Unknown modes are written as LNA (0). */
        {0x00000222, XVEK_CTL_PREAMP_ID_VAL1, XVEK_CTL_PREAMP_MODE_MAX, 0x00000202},
        /* An unknown id reads and writes the register back unchanged. */
        {0x12345678, XVEK_CTL_PREAMP_ID_VALMAX, XVEK_CTL_PREAMP_MODE_ATTEN, 0x12345678},
    };
    for (const PaSetCase &c : cases) {
        set_reg(2, 4, c.before);
        vekemu_card_clear_events(card);
        ASSERT_TRUE(xvek_ctrl_pa_set(dev, c.id, c.mode, &err)) << message();
        EXPECT_EQ(reg(2, 4), c.after) << std::hex << c.before;
        auto reqs = requests();
        ASSERT_EQ(reqs.size(), 2u);
        expect_request(reqs[0], kIn, 2, 4);
        expect_request(reqs[1], kOut, 2, 4);
        EXPECT_EQ(reqs[1].value, c.after);
    }
}

TEST_F(Ctrl, PreampGetDecodesEachFieldAndUnknownValues)
{
    set_reg(2, 4, 0x00000F12);
    VektypePreampMode mode = XVEK_CTL_PREAMP_MODE_LNA;
    ASSERT_TRUE(xvek_ctrl_pa_get(dev, XVEK_CTL_PREAMP_ID_VAL0, &mode, &err)) << message();
    EXPECT_EQ(mode, XVEK_CTL_PREAMP_MODE_MAX);
    ASSERT_TRUE(xvek_ctrl_pa_get(dev, XVEK_CTL_PREAMP_ID_VAL1, &mode, &err)) << message();
    EXPECT_EQ(mode, XVEK_CTL_PREAMP_MODE_BYPASS);
    ASSERT_TRUE(xvek_ctrl_pa_get(dev, XVEK_CTL_PREAMP_ID_VAL2, &mode, &err)) << message();
    EXPECT_EQ(mode, XVEK_CTL_PREAMP_MODE_ATTEN);
    mode = XVEK_CTL_PREAMP_MODE_MAX;
    ASSERT_TRUE(xvek_ctrl_pa_get(dev, XVEK_CTL_PREAMP_ID_VALMAX, &mode, &err)) << message();
    EXPECT_EQ(mode, XVEK_CTL_PREAMP_MODE_LNA);
    EXPECT_EQ(requests().size(), 4u);
}

TEST_F(Ctrl, PreampReadFailureStopsBeforeTheWrite)
{
    vekemu_card_fault_control(card, 2, 4, VEKEMU_FAULT_STALL, 1);
    EXPECT_FALSE(xvek_ctrl_pa_set(dev, XVEK_CTL_PREAMP_ID_VAL0, XVEK_CTL_PREAMP_MODE_ATTEN, &err));
    EXPECT_EQ(message(), "Failed to send preamp get: Bottom usb control IN failed [group 2, cmd "
                         "4](error -9: LIBUSB_ERROR_PIPE)");
    for (const VekemuEvent &e : requests())
        EXPECT_NE(e.bmRequestType, kOut);
}

/* ---- Configuration and error stack ---- */

TEST_F(Ctrl, SaveAndFactoryResetSendAZeroPayload)
{
    ASSERT_TRUE(xvek_ctrl_eeprom_save(dev, &err)) << message();
    ASSERT_TRUE(xvek_ctrl_eeprom_factory_reset(dev, &err)) << message();
    EXPECT_EQ(vekemu_card_save_count(card), 1u);
    EXPECT_EQ(vekemu_card_factory_reset_count(card), 1u);
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    expect_request(reqs[0], kOut, 0, 0);
    expect_request(reqs[1], kOut, 0, 1);
    EXPECT_EQ(reqs[0].value, 0u);
    EXPECT_EQ(reqs[1].value, 0u);

    vekemu_card_fault_control(card, 0, 0, VEKEMU_FAULT_STALL, 1);
    EXPECT_FALSE(xvek_ctrl_eeprom_save(dev, &err));
    EXPECT_TRUE(
        g_str_has_prefix(message().c_str(), "Failed to send vek ctrl configuration save: "));
}

TEST_F(Ctrl, ErrorStackDrainReturnsCodesInOrderWithTheFinalZero)
{
    vekemu_card_push_error(card, 5);
    vekemu_card_push_error(card, 7);
    guint32 *codes = nullptr;
    guint32 len = 0;
    ASSERT_TRUE(xvek_ctrl_error_get_all(dev, &codes, &len, &err)) << message();
    ASSERT_EQ(len, 3u);
    ASSERT_NE(codes, nullptr);
    EXPECT_EQ(codes[0], 5u);
    EXPECT_EQ(codes[1], 7u);
    EXPECT_EQ(codes[2], 0u);
    g_free(codes);
    EXPECT_EQ(vekemu_card_error_depth(card), 0u);
}

TEST_F(Ctrl, EmptyErrorStackGivesNoArray)
{
    guint32 *codes = reinterpret_cast<guint32 *>(0x1);
    guint32 len = 9;
    ASSERT_TRUE(xvek_ctrl_error_get_all(dev, &codes, &len, &err)) << message();
    EXPECT_EQ(codes, nullptr);
    EXPECT_EQ(len, 0u);
    guint32 last = 9;
    ASSERT_TRUE(xvek_ctrl_error_get_last(dev, &last, &err)) << message();
    EXPECT_EQ(last, 0u);
}

TEST_F(Ctrl, ErrorStackDrainStopsAfter256Codes)
{
    for (guint32 i = 1; i <= 300; i++)
        vekemu_card_push_error(card, i);
    guint32 *codes = nullptr;
    guint32 len = 0;
    ASSERT_TRUE(xvek_ctrl_error_get_all(dev, &codes, &len, &err)) << message();
    ASSERT_EQ(len, 256u);
    for (guint32 i = 0; i < len; i++)
        ASSERT_EQ(codes[i], i + 1);
    g_free(codes);
    EXPECT_EQ(vekemu_card_error_depth(card), 300u - 256u);
}

TEST_F(Ctrl, ErrorStackReadFailureFailsTheDrain)
{
    vekemu_card_push_error(card, 5);
    vekemu_card_push_error(card, 6);
    vekemu_card_fault_control(card, 0, 2, VEKEMU_FAULT_STALL, 1);
    guint32 *codes = nullptr;
    guint32 len = 4;
    EXPECT_FALSE(xvek_ctrl_error_get_all(dev, &codes, &len, &err));
    EXPECT_EQ(message(), "Failed to send vek ctrl configuratione error get: Bottom usb control "
                         "IN failed [group 0, cmd 2](error -9: LIBUSB_ERROR_PIPE)");
    EXPECT_EQ(codes, nullptr);
    EXPECT_EQ(len, 0u);
    g_clear_error(&err);
    EXPECT_FALSE(xvek_ctrl_error_get_all(dev, nullptr, &len, &err));
    EXPECT_EQ(message(), "xvek_ctrl_error_get_all: invalid handle");
}

/* ---- TX level ---- */

TEST_F(Ctrl, TxLevelIsSignedAndOnlyForTx)
{
    ASSERT_TRUE(xvek_ctrl_volume_set(dev, XVEK_CTL_MODE_TX, -12, &err)) << message();
    EXPECT_EQ(static_cast<gint32>(reg(3, 6)), -12);
    gint32 volume = 0;
    ASSERT_TRUE(xvek_ctrl_volume_get(dev, XVEK_CTL_MODE_TX, &volume, &err)) << message();
    EXPECT_EQ(volume, -12);

    vekemu_card_clear_events(card);
    EXPECT_FALSE(xvek_ctrl_volume_get(dev, XVEK_CTL_MODE_RX, &volume, &err));
    EXPECT_EQ(message(), "Unknown mode 0 for volume command");
    g_clear_error(&err);
    EXPECT_FALSE(xvek_ctrl_volume_set(dev, XVEK_CTL_MODE_LBT, 1, &err));
    EXPECT_EQ(message(), "Unknown mode 2 for volume command");
    EXPECT_TRUE(requests().empty());
}

/* ---- Raw requests ---- */

TEST_F(Ctrl, RawReceiveSendsTheSameSetupAsPreampGet)
{
    set_reg(2, 4, 0x00000123);
    VektypeStructUsbFmap f = {2, 3, 2, 4, 0, 4};
    guint8 *data = nullptr;
    ASSERT_TRUE(xvek_ctrl_raw_usb_recv(dev, f, &data, &err)) << message();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 0x23);
    EXPECT_EQ(data[1], 0x01);
    EXPECT_EQ(data[2], 0x00);
    EXPECT_EQ(data[3], 0x00);
    g_free(data);
    VektypePreampMode mode;
    ASSERT_TRUE(xvek_ctrl_pa_get(dev, XVEK_CTL_PREAMP_ID_VAL1, &mode, &err)) << message();
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    expect_request(reqs[0], kIn, 2, 4);
    expect_request(reqs[1], kIn, 2, 4);
}

/* The device descriptor asked for with a length of 255: the card answers its 18 bytes. */
TEST_F(Ctrl, RawReceiveTellsHowManyBytesTheCardAnswered)
{
    guint8 *data = nullptr;
    guint16 received = 0;
    ASSERT_TRUE(xvek_ctrl_raw_usb_recv_full(dev, {0, 0, 6, 0x0100, 0, 255}, &data, &received, &err))
        << message();
    EXPECT_EQ(received, 18u);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 18);
    EXPECT_EQ(data[1], 0x01);
    g_free(data);
    EXPECT_FALSE(xvek_ctrl_raw_usb_recv_full(dev, {0, 0, 6, 0x0100, 0, 255}, &data, nullptr, &err));
    EXPECT_EQ(message(), "xvek_ctrl_raw_usb_recv_full: invalid handle");
}

TEST_F(Ctrl, RawSendWritesTheGivenBytes)
{
    VektypeStructUsbFmap f = {2, 3, 2, 1, 0, 4};
    const guint8 payload[4] = {0x40, 0x3A, 0xBE, 0x33}; /* 868104768 little-endian */
    ASSERT_TRUE(xvek_ctrl_raw_usb_send(dev, f, payload, &err)) << message();
    EXPECT_EQ(reg(2, 1), 0x33BE3A40u);
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    expect_request(reqs[0], kOut, 2, 1);
}

TEST_F(Ctrl, RawFailureNamesTheWholeSetup)
{
    VektypeStructUsbFmap f = {2, 3, 32, 5, 1, 4};
    guint8 *data = nullptr;
    EXPECT_FALSE(xvek_ctrl_raw_usb_recv(dev, f, &data, &err));
    EXPECT_EQ(message(), "Failed to send raw usb: Bottom usb raw IN failed [group 32, cmd 5, indx "
                         "1, len 4](error -9: LIBUSB_ERROR_PIPE)");
    EXPECT_EQ(data, nullptr);
    g_clear_error(&err);
    const guint8 payload[4] = {0, 0, 0, 0};
    EXPECT_FALSE(xvek_ctrl_raw_usb_send(dev, f, payload, &err));
    EXPECT_EQ(message(), "Failed to send raw usb: Bottom usb raw OUT failed [group 32, cmd 5, "
                         "indx 1, len 4](error -9: LIBUSB_ERROR_PIPE)");
}

/* ---- Features the card interface lacks ---- */

TEST_F(Ctrl, MissingFeaturesFailWithoutTouchingTheCard)
{
    guint32 u = 0;
    VektypeCtlSynth synth;
    VektypeCtlLoopback lb;
    const guint32 table[2] = {1, 2};
    struct Case {
        gboolean ok;
        const char *feature;
    };
    std::vector<std::string> messages;
    auto collect = [&](gboolean ok) {
        EXPECT_FALSE(ok);
        messages.push_back(message());
        g_clear_error(&err);
    };
    collect(xvek_ctrl_if_set(dev, 1, &err));
    collect(xvek_ctrl_if_get(dev, &u, &err));
    collect(xvek_ctrl_synth_get(dev, &synth, &err));
    collect(xvek_ctrl_loopback_get(dev, &lb, &err));
    collect(xvek_ctrl_loopback_set(dev, XVEK_CTL_LOOPBACK_ON, &err));
    collect(xvek_ctrl_hop_start(dev, table, 2, 10, 1, &err));
    collect(xvek_ctrl_hop_stop(dev, &err));
    collect(xvek_ctrl_lbt_cfg_set(dev, 1, 2, 3, 4, &err));
    const std::vector<std::string> expected = {
        "IF Set feature not currently supported",
        "IF Get feature not currently supported",
        "Get synth feature not currently supported",
        "Stream loopback feature not currently supported",
        "Stream loopback feature not currently supported",
        "Frequency hopping feature not currently supported",
        "Frequency hopping feature not currently supported",
        "LBT TX feature not currently supported",
    };
    EXPECT_EQ(messages, expected);
    EXPECT_TRUE(requests().empty());
}

} // namespace
