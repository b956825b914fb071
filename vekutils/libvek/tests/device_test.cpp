/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Opening a card as a VekDevice: ids, open modes, the shared context and
 * the release of everything an open brought up. */
#include <algorithm>
#include <string>
#include <vector>

#include "stream_fixture.h"

namespace
{

class Device : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();

    VekemuCard *add(const gchar *serial)
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        cfg.serial = serial;
        g_autoptr(GError) err = nullptr;
        VekemuCard *card = vekemu_add_card(bed, &cfg, &err);
        EXPECT_NE(card, nullptr) << (err ? err->message : "");
        return card;
    }

    static VekDevice *open(guint32 id, VektypeOpenMode mode = XVEK_OPEN_MODE_CTL_ONLY)
    {
        VekDevice *dev = nullptr;
        g_autoptr(GError) err = nullptr;
        EXPECT_TRUE(xvek_device_new_with_mode(id, mode, &dev, &err)) << (err ? err->message : "");
        return dev;
    }

    static guint32 count()
    {
        guint32 nb = 0;
        EXPECT_TRUE(xvek_scan_get_device_nb(&nb, nullptr));
        return nb;
    }

    void TearDown() override { vekemu_bed_remove_all(bed); }
};

TEST_F(Device, OpenedCardReportsItsIdAndAnswersRequests)
{
    add("A");
    add("B");
    VekDevice *dev = open(1);
    ASSERT_NE(dev, nullptr);
    guint id = 0;
    g_object_get(dev, "id", &id, nullptr);
    EXPECT_EQ(id, 1u);
    g_autoptr(GError) err = nullptr;
    EXPECT_TRUE(xvek_ctrl_ping(dev, &err)) << (err ? err->message : "");
    g_object_unref(dev);
}

TEST_F(Device, UnknownIdFailsBehindTheDevicePrefixAndHandsOutNothing)
{
    add("A");
    add("B");
    VekDevice *dev = reinterpret_cast<VekDevice *>(0x1);
    GError *err = nullptr;
    EXPECT_FALSE(xvek_device_new_with_mode(7, XVEK_OPEN_MODE_CTL_ONLY, &dev, &err));
    EXPECT_EQ(dev, nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Failed obtain device: id 7: no such device");
    EXPECT_EQ(err->domain, XVEK_ERROR);
    EXPECT_EQ(err->code, XVEK_ERR);
    g_clear_error(&err);
    /* The failed open left no context behind: a card plugged now is seen. */
    add("C");
    EXPECT_EQ(count(), 3u);
}

TEST_F(Device, NoCardFailsTheOpen)
{
    VekDevice *dev = nullptr;
    GError *err = nullptr;
    EXPECT_FALSE(xvek_device_new_with_mode(0, XVEK_OPEN_MODE_CTL_ONLY, &dev, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "Failed obtain device: id 0: no such device");
    g_clear_error(&err);
}

TEST_F(Device, OpenWithTheTxChannelFailsAsUnsupported)
{
    add("A");
    VekDevice *dev = nullptr;
    GError *err = nullptr;
    EXPECT_FALSE(xvek_device_new(0, &dev, &err));
    EXPECT_EQ(dev, nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "TX Stream feature not currently supported");
    g_clear_error(&err);
    EXPECT_FALSE(xvek_device_new_with_mode(0, XVEK_OPEN_MODE_NO_RX, &dev, &err));
    EXPECT_STREQ(err->message, "TX Stream feature not currently supported");
    g_clear_error(&err);
}

TEST_F(Device, OpenCardsShareOneContextUntilTheLastIsClosed)
{
    add("A");
    add("B");
    VekDevice *first = open(0);
    g_autoptr(VekDevice) second = open(1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    /* While the context lives its list is fixed: a new card is not seen. */
    add("C");
    EXPECT_EQ(count(), 2u);
    g_object_unref(first);
    EXPECT_EQ(count(), 2u);
    g_autoptr(GError) err = nullptr;
    EXPECT_TRUE(xvek_ctrl_ping(second, &err)) << (err ? err->message : "");
    g_clear_object(&second);
    /* The last close destroyed it: the next scan builds a new list. */
    EXPECT_EQ(count(), 3u);
}

TEST_F(Device, CardTakenByAnotherProcessAfterTheScanFailsToOpen)
{
    VekemuCard *a = add("A");
    VekemuCard *b = add("B");
    g_autoptr(VekDevice) first = open(0);
    ASSERT_NE(first, nullptr);
    /* Hold the card that took id 1 (ids follow libusb's enumeration order). */
    g_autofree gchar *info = nullptr;
    ASSERT_TRUE(xvek_scan_print_info_device(1, &info, nullptr));
    VekemuCard *second = g_str_has_suffix(info, "-Serial: B\n***") ? b : a;
    vekemu_card_hold(second, TRUE);
    g_autoptr(VekDevice) dev = nullptr;
    GError *err = nullptr;
    EXPECT_FALSE(xvek_device_new_with_mode(1, XVEK_OPEN_MODE_CTL_ONLY, &dev, &err));
    EXPECT_EQ(dev, nullptr);
    vekemu_card_hold(second, FALSE);
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(g_str_has_prefix(err->message, "Failed opeing usb device (error ")) << err->message;
    g_clear_error(&err);
}

TEST_F(Device, ReleaseTakesEverythingDownAndZeroesTheRecord)
{
    add("A");
    VekDevice *dev = open(0, XVEK_OPEN_MODE_NO_TX);
    ASSERT_NE(dev, nullptr);
    xvek_release_device(dev);
    guint id = 99;
    g_object_get(dev, "id", &id, nullptr);
    EXPECT_EQ(id, 0u);
    GError *err = nullptr;
    EXPECT_FALSE(xvek_ctrl_ping(dev, &err));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err->message, "xvek_ctrl_ping: invalid handle");
    g_clear_error(&err);
    /* Released twice (again at finalisation) without harm. */
    g_object_unref(dev);
    add("B");
    EXPECT_EQ(count(), 2u);
}

TEST_F(Device, GrabOnAnOpenedDeviceAddsNothingTwice)
{
    add("A");
    VekDevice *dev = open(0);
    ASSERT_NE(dev, nullptr);
    g_autoptr(GError) err = nullptr;
    EXPECT_TRUE(xvek_grab_device(dev, XVEK_OPEN_MODE_CTL_ONLY, &err)) << (err ? err->message : "");
    g_object_unref(dev);
    /* One release balanced the single context reference. */
    add("B");
    EXPECT_EQ(count(), 2u);
}

std::vector<std::string> gLines;

gboolean keep_line(VekDevice *, const gchar *line)
{
    gLines.emplace_back(line);
    return TRUE;
}

TEST_F(Device, ObjectLifeIsTracedInTheLibraryLog)
{
    add("A");
    static VekDevice *logdev = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    ASSERT_TRUE(xvek_logSetCB(logdev, keep_line, nullptr, nullptr, nullptr));
    gLines.clear();
    VekDevice *dev = open(0);
    ASSERT_NE(dev, nullptr);
    g_object_unref(dev);
    auto has = [](const char *line) {
        return std::find(gLines.begin(), gLines.end(), line) != gLines.end();
    };
    EXPECT_TRUE(has("DEBUG: xvek_device_constructor"));
    EXPECT_TRUE(has("DEBUG: xvek_device_set_property"));
    EXPECT_TRUE(has("DEBUG: xvek_device_finalize"));
}

} // namespace
