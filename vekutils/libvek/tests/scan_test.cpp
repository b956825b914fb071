/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Listing the cards: the device list that each scan call builds, its texts,
 * its limits, and the programming of cards found in their boot loader. */
#include <string>
#include <vector>

#include <glib/gstdio.h>
#include <unistd.h>

#include "stream_fixture.h"

namespace
{

using xvektest::card_events;

std::vector<std::string> gLogLines;

gboolean keep_line(VekDevice *, const gchar *line)
{
    gLogLines.emplace_back(line);
    return TRUE;
}

class Scan : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();

    VekemuCard *add(const gchar *serial, guint16 vid = VEKEMU_VID_VEK, guint16 pid = VEKEMU_PID_VEK)
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        cfg.serial = serial;
        cfg.vid = vid;
        cfg.pid = pid;
        g_autoptr(GError) err = nullptr;
        VekemuCard *card = vekemu_add_card(bed, &cfg, &err);
        EXPECT_NE(card, nullptr) << (err ? err->message : "");
        return card;
    }

    static guint32 count()
    {
        guint32 nb = 12345;
        g_autoptr(GError) err = nullptr;
        EXPECT_TRUE(xvek_scan_get_device_nb(&nb, &err)) << (err ? err->message : "");
        return nb;
    }

    static std::string info_all()
    {
        g_autofree gchar *text = nullptr;
        g_autoptr(GError) err = nullptr;
        EXPECT_TRUE(xvek_scan_print_info_all(&text, &err)) << (err ? err->message : "");
        return text != nullptr ? text : "<none>";
    }

    static std::string card_info(const std::string &serial, const gchar *ids = "0x6b3e PID:0x0001")
    {
        return std::string("-VID:") + ids +
               "\n-Manufacturer: Kavrin\n-Product: VEK radio card\n-Serial: " + serial + "\n";
    }

    void TearDown() override { vekemu_bed_remove_all(bed); }
};

TEST_F(Scan, NoCardGivesZeroAndTheNoDeviceTexts)
{
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(info_all(), "No xvek device detected");

    guint32 id = 77;
    GError *err = nullptr;
    EXPECT_FALSE(xvek_scan_get_first_device_id(&id, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "No xvek device detected");
    EXPECT_EQ(err->domain, XVEK_ERROR);
    g_clear_error(&err);

    gchar *text = nullptr;
    EXPECT_FALSE(xvek_scan_print_info_device(0, &text, &err));
    EXPECT_STREQ(err->message, "No device with id 0");
    EXPECT_EQ(text, nullptr);
    g_clear_error(&err);
}

TEST_F(Scan, OneCardIsListedWithItsDescriptorStrings)
{
    add("A0001");
    EXPECT_EQ(count(), 1u);
    guint32 id = 77;
    g_autoptr(GError) err = nullptr;
    ASSERT_TRUE(xvek_scan_get_first_device_id(&id, &err));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(info_all(), "***Vek device 0***\n" + card_info("A0001") + "***");

    g_autofree gchar *one = nullptr;
    ASSERT_TRUE(xvek_scan_print_info_device(0, &one, &err));
    EXPECT_EQ(std::string(one), "***Vek device 0***\n" + card_info("A0001") + "***");
}

TEST_F(Scan, TwoCardsTakeIdsZeroAndOneAndBothIdentitiesAreSupported)
{
    add("A0001");
    add("B0002", VEKEMU_VID_NXP, VEKEMU_PID_NXP_CARD);
    EXPECT_EQ(count(), 2u);
    const std::string a = card_info("A0001");
    const std::string b = card_info("B0002", "0x1fc9 PID:0x008a");

    /* Ids follow libusb's enumeration order; each id describes one card and
     * the whole text is the two descriptions in id order. */
    g_autofree gchar *zero = nullptr;
    g_autofree gchar *one = nullptr;
    ASSERT_TRUE(xvek_scan_print_info_device(0, &zero, nullptr));
    ASSERT_TRUE(xvek_scan_print_info_device(1, &one, nullptr));
    const bool a_first = std::string(zero) == "***Vek device 0***\n" + a + "***";
    EXPECT_EQ(std::string(zero), "***Vek device 0***\n" + (a_first ? a : b) + "***");
    EXPECT_EQ(std::string(one), "***Vek device 1***\n" + (a_first ? b : a) + "***");
    EXPECT_EQ(info_all(), std::string(zero) + "***Vek device 1***\n" + (a_first ? b : a) + "***");

    GError *err = nullptr;
    gchar *text = nullptr;
    EXPECT_FALSE(xvek_scan_print_info_device(2, &text, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "No device with id 2");
    g_clear_error(&err);
}

TEST_F(Scan, OtherDevicesAreSkippedAndLoggedAsNotSupported)
{
    static VekDevice *logdev = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    ASSERT_TRUE(xvek_logSetCB(logdev, keep_line, nullptr, nullptr, nullptr));
    gLogLines.clear();
    add("X1", 0x1234, 0x5678);
    add("A0001");
    EXPECT_EQ(count(), 1u);
    bool not_supported = false;
    bool supported = false;
    for (const std::string &line : gLogLines) {
        not_supported |= line == "DEBUG: Device 0x1234:0x5678 not supported\n";
        supported |= line == "DEBUG: Device 0x6b3e:0x0001 is supported\n";
    }
    EXPECT_TRUE(not_supported);
    EXPECT_TRUE(supported);
}

TEST_F(Scan, ACardHeldByAnotherProcessTakesNoId)
{
    VekemuCard *held = add("HELD");
    add("FREE");
    vekemu_card_hold(held, TRUE);
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(info_all(), "***Vek device 0***\n" + card_info("FREE") + "***");
    vekemu_card_hold(held, FALSE);
    EXPECT_EQ(count(), 2u);
}

TEST_F(Scan, SixtyFiveCardsFailTheContextAndTheNextCallTriesAgain)
{
    std::vector<VekemuCard *> cards;
    for (int i = 0; i < 65; i++) {
        g_autofree gchar *serial = g_strdup_printf("S%02d", i);
        cards.push_back(add(serial));
    }
    guint32 nb = 12345;
    GError *err = nullptr;
    EXPECT_FALSE(xvek_scan_get_device_nb(&nb, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Failed to create global vek context: Failed to populate Vek "
                               "device list:  Too many vek devices detected! Max allowed: 64");
    EXPECT_EQ(nb, 12345u);
    g_clear_error(&err);

    vekemu_card_unplug(cards.back());
    EXPECT_EQ(count(), 64u);
    /* The text is cut at 4095 characters. */
    std::string all = info_all();
    EXPECT_EQ(all.size(), 4095u);
    EXPECT_EQ(all.rfind("***Vek device 0***\n", 0), 0u);
}

/* Cards in their boot loader are programmed before the list is built. The image is
 * looked up in the current directory, so each test works in a fresh one: ctest runs
 * the cases side by side. */
class ScanDfu : public Scan
{
  protected:
    std::string previous_dir;
    std::string dir;
    std::string image_path;
    std::string image;

    void SetUp() override
    {
        ASSERT_EQ(g_getenv("KVRDFU_FIRMWARE_DIR"), nullptr)
            << "the image must be looked up in the current directory";
        g_autofree gchar *cwd = g_get_current_dir();
        previous_dir = cwd;
        g_autofree gchar *tmp = g_dir_make_tmp("scan-dfu-XXXXXX", nullptr);
        ASSERT_NE(tmp, nullptr);
        dir = tmp;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        image_path = dir + "/ORB.bin.hdr";
        /* 2500 bytes: two full 1024-byte blocks and a short one. */
        for (int i = 0; i < 2500; i++)
            image.push_back(static_cast<char>((i * 7 + 3) & 0xFF));
    }
    void TearDown() override
    {
        g_remove(image_path.c_str());
        if (!previous_dir.empty()) {
            EXPECT_EQ(chdir(previous_dir.c_str()), 0);
        }
        if (!dir.empty())
            g_rmdir(dir.c_str());
        Scan::TearDown();
    }
    void write_image()
    {
        ASSERT_TRUE(g_file_set_contents(image_path.c_str(), image.data(),
                                        static_cast<gssize>(image.size()), nullptr));
    }
    VekemuCard *add_dfu(guint16 pid = VEKEMU_PID_NXP_DFU, guint16 vid = VEKEMU_VID_NXP)
    {
        VekemuCardConfig cfg;
        vekemu_dfu_config_init(&cfg);
        cfg.vid = vid;
        cfg.pid = pid;
        cfg.serial = "DFU1";
        g_autoptr(GError) err = nullptr;
        VekemuCard *card = vekemu_add_dfu_card(bed, &cfg, &err);
        EXPECT_NE(card, nullptr) << (err ? err->message : "");
        return card;
    }
};

TEST_F(ScanDfu, BootLoaderCardIsProgrammedIntactAndThenListed)
{
    write_image();
    VekemuCard *dfu = add_dfu();
    testing::internal::CaptureStdout();
    guint32 nb = count();
    std::string out = testing::internal::GetCapturedStdout();

    GBytes *got = vekemu_dfu_image(dfu);
    ASSERT_NE(got, nullptr);
    gsize size = 0;
    const char *bytes = static_cast<const char *>(g_bytes_get_data(got, &size));
    EXPECT_EQ(std::string(bytes, size), image);
    g_bytes_unref(got);
    EXPECT_EQ(vekemu_dfu_download_count(dfu), 1u);

    EXPECT_EQ(out.rfind("#\n", 0), 0u) << out;
    EXPECT_NE(out.find("Firmware 'ORB.bin.hdr' flashed to 1 device(s)\n#\n"), std::string::npos)
        << out;
    /* It came back as a card, which is listed; the boot loader itself never is. */
    EXPECT_EQ(nb, 1u);
}

TEST_F(ScanDfu, BootLoaderOfTheOtherIdentityIsProgrammedToo)
{
    write_image();
    VekemuCard *dfu = add_dfu(VEKEMU_PID_VEK_DFU, VEKEMU_VID_VEK);
    testing::internal::CaptureStdout();
    count();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(vekemu_dfu_download_count(dfu), 1u);
}

TEST_F(ScanDfu, MissingImageFailsTheContextBehindBothPrefixes)
{
    g_remove(image_path.c_str());
    add_dfu();
    add("A0001");
    guint32 nb = 0;
    GError *err = nullptr;
    EXPECT_FALSE(xvek_scan_get_device_nb(&nb, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(g_str_has_prefix(err->message, "Failed to create global vek context: Failed to "
                                               "program devices using dfu standard Failed to "
                                               "flash device "))
        << err->message;
    EXPECT_NE(std::string(err->message).find("ORB.bin.hdr"), std::string::npos) << err->message;
    g_clear_error(&err);
}

TEST_F(ScanDfu, ShortStatusAnswerFailsTheContextAndNothingIsListed)
{
    write_image();
    VekemuCard *dfu = add_dfu();
    vekemu_dfu_set_status_length(dfu, 5);
    add("A0001");
    guint32 nb = 0;
    GError *err = nullptr;
    EXPECT_FALSE(xvek_scan_get_device_nb(&nb, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(g_str_has_prefix(err->message, "Failed to create global vek context: Failed to "
                                               "program devices using dfu standard "))
        << err->message;
    EXPECT_NE(std::string(err->message).find("Failed to get dfu status (5: "), std::string::npos)
        << err->message;
    g_clear_error(&err);
    EXPECT_EQ(vekemu_dfu_download_count(dfu), 0u);
}

} // namespace
