/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The DFU programmer against emulated boot loaders, through the real libusb. */
#include <kvrdfu/kvrdfu.h>
#include <vekemu/vekemu.h>

#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

const std::string kReportFormat = "Programming DFU Device <0x%04x:0x%04x>: transferred %u "
                                  "blocks of %uB + last block %uB\n";

std::string report_line(guint16 vid, guint16 pid, guint blocks, guint size, guint last)
{
    g_autofree gchar *s = g_strdup_printf(kReportFormat.c_str(), vid, pid, blocks, size, last);
    return s;
}

/* A deterministic image whose bytes differ from block to block. */
std::vector<guint8> make_image(gsize size)
{
    std::vector<guint8> image(size);
    guint32 x = 0x12345678;
    for (auto &b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<guint8>(x >> 16);
    }
    return image;
}

struct Download {
    guint16 block;
    gsize length;
};

/* Class requests of one kind among @events, in order. */
std::vector<VekemuEvent> class_requests(const std::vector<VekemuEvent> &events, guint8 request)
{
    std::vector<VekemuEvent> out;
    for (const auto &e : events)
        if (e.kind == VEKEMU_EVENT_CONTROL && (e.bmRequestType & 0x60) == 0x20 &&
            e.bRequest == request)
            out.push_back(e);
    return out;
}

std::vector<Download> downloads(const std::vector<VekemuEvent> &events)
{
    std::vector<Download> out;
    for (const auto &e : class_requests(events, KVRDFU_REQ_DNLOAD))
        out.push_back({e.wValue, e.wLength});
    return out;
}

bool saw_reset(const std::vector<VekemuEvent> &events)
{
    for (const auto &e : events)
        if (e.kind == VEKEMU_EVENT_RESET)
            return true;
    return false;
}

std::vector<VekemuEvent> events_of(VekemuCard *card)
{
    GArray *events = vekemu_card_events(card);
    std::vector<VekemuEvent> out(&g_array_index(events, VekemuEvent, 0),
                                 &g_array_index(events, VekemuEvent, 0) + events->len);
    g_array_unref(events);
    return out;
}

class DfuTest : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();
    kvrdfu_dev entries[2] = {{0x1FC9, 0x000C}, {0x6B3E, 0x8001}};
    kvrdfu_match_list list = {entries, 2};
    gchar *dir = nullptr;
    std::string firmware;
    libusb_context *ctx = nullptr;
    libusb_device **devs = nullptr;
    ssize_t count = 0;

    void SetUp() override
    {
        ASSERT_NE(bed, nullptr);
        dir = g_dir_make_tmp("kvrdfu-XXXXXX", nullptr);
        ASSERT_NE(dir, nullptr);
        g_autofree gchar *path = g_build_filename(dir, "ORB.bin.hdr", nullptr);
        firmware = path;
    }

    void TearDown() override
    {
        if (devs != nullptr)
            libusb_free_device_list(devs, 1);
        if (ctx != nullptr)
            libusb_exit(ctx);
        vekemu_bed_remove_all(bed);
        g_unlink(firmware.c_str());
        g_rmdir(dir);
        g_free(dir);
    }

    void write_firmware(const std::vector<guint8> &image)
    {
        ASSERT_TRUE(g_file_set_contents(firmware.c_str(),
                                        reinterpret_cast<const gchar *>(image.data()),
                                        static_cast<gssize>(image.size()), nullptr));
    }

    VekemuCard *add_dfu(guint16 pid = 0x000C, guint16 transfer = 1024, guint16 detach = 0,
                        guint busy = 1, guint32 poll_ms = 5)
    {
        VekemuCardConfig cfg;
        vekemu_dfu_config_init(&cfg);
        cfg.vid = pid == 0x8001 ? 0x6B3E : 0x1FC9;
        cfg.pid = pid;
        cfg.dfu_transfer_size = transfer;
        cfg.dfu_detach_timeout = detach;
        cfg.dfu_busy_polls = busy;
        cfg.dfu_poll_timeout_ms = poll_ms;
        g_autoptr(GError) error = nullptr;
        VekemuCard *card = vekemu_add_dfu_card(bed, &cfg, &error);
        EXPECT_NE(card, nullptr) << (error ? error->message : "");
        return card;
    }

    /* Lists the attached devices on a context of the test's own. */
    void list_devices()
    {
        ASSERT_EQ(libusb_init(&ctx), LIBUSB_SUCCESS);
        count = libusb_get_device_list(ctx, &devs);
        ASSERT_GE(count, 1);
    }

    /* Downloads into the one DFU card and returns what the card saw. The card
     * re-enumerates (and forgets its events) shortly after it leaves DFU mode, so
     * the events are taken as soon as the download returns. */
    std::vector<VekemuEvent> download_into(VekemuCard *card, gchar *report, gboolean *ok,
                                           GError **error)
    {
        list_devices();
        dfu_capable_device found{};
        for (ssize_t i = 0; i < count; i++)
            if (is_dfu_capable(&list, devs[i], &found))
                break;
        EXPECT_NE(found.dev, nullptr);
        *ok = dfu_download_firmware(firmware.c_str(), &found, report, error);
        return events_of(card);
    }

    gboolean program(gint *devices, gchar **info, GError **error)
    {
        return kvrdfu_program_all_devices(&list, firmware.c_str(), devices, info, error);
    }

    /* The card comes back as the application a little after it left DFU mode. */
    static bool wait_for_application(VekemuCard *card)
    {
        for (int i = 0; i < 500 && vekemu_card_is_dfu(card); i++)
            g_usleep(10000);
        return !vekemu_card_is_dfu(card);
    }
};

std::vector<guint8> bytes_of(GBytes *b)
{
    gsize size = 0;
    const auto *data = static_cast<const guint8 *>(g_bytes_get_data(b, &size));
    return std::vector<guint8>(data, data + size);
}

/* ---- Nothing to program ---- */

using KvrdfuNothingToProgram = DfuTest;

TEST_F(KvrdfuNothingToProgram, NoCardSucceedsWithAnEmptyReport)
{
    gint devices = -1;
    g_autofree gchar *info = nullptr;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(program(&devices, &info, &error)) << error->message;
    EXPECT_EQ(devices, 0);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info, "");
}

TEST_F(KvrdfuNothingToProgram, CardsOutsideTheListAreLeftAlone)
{
    VekemuCard *card = vekemu_add_card(bed, nullptr, nullptr);
    ASSERT_NE(card, nullptr);
    /* A DFU card whose ids are not in the list is not touched either. */
    VekemuCardConfig cfg;
    vekemu_dfu_config_init(&cfg);
    cfg.pid = 0x0DDD;
    VekemuCard *other = vekemu_add_dfu_card(bed, &cfg, nullptr);
    ASSERT_NE(other, nullptr);
    write_firmware(make_image(100));
    gint devices = -1;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(program(&devices, nullptr, &error));
    EXPECT_EQ(devices, 0);
    EXPECT_TRUE(downloads(events_of(other)).empty());
    EXPECT_EQ(vekemu_dfu_download_count(other), 0u);
}

TEST_F(KvrdfuNothingToProgram, MissingFirmwareOnlyMattersWithADfuCard)
{
    gint devices = -1;
    g_autoptr(GError) error = nullptr;
    EXPECT_TRUE(kvrdfu_program_all_devices(&list, "no-such-image.bin", &devices, nullptr, &error));
    EXPECT_EQ(devices, 0);

    add_dfu();
    gchar *info = nullptr;
    EXPECT_FALSE(kvrdfu_program_all_devices(&list, "no-such-image.bin", &devices, &info, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, static_cast<GQuark>(KVRDFU_ERRDOM));
    EXPECT_EQ(error->code, KVRDFU_ERR);
    EXPECT_TRUE(g_str_has_prefix(error->message, "Failed to flash device "));
    EXPECT_NE(strstr(error->message, ": Failed to open firmware file no-such-image.bin: "), nullptr)
        << error->message;
    EXPECT_EQ(devices, 0);
    EXPECT_EQ(info, nullptr);
}

TEST_F(KvrdfuNothingToProgram, MissingArgumentsFail)
{
    gint devices = 0;
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(kvrdfu_program_all_devices(nullptr, "x", &devices, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "Null ptr");
    g_clear_error(&error);
    EXPECT_FALSE(kvrdfu_program_all_devices(&list, "x", nullptr, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "Null ptr");
}

/* ---- Downloads ---- */

using KvrdfuDownload = DfuTest;

TEST_F(KvrdfuDownload, ImageArrivesIntactAndIsReported)
{
    const auto image = make_image(2500);
    write_firmware(image);
    VekemuCard *card = add_dfu();

    gint devices = 0;
    g_autofree gchar *info = nullptr;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(program(&devices, &info, &error)) << error->message;
    EXPECT_EQ(devices, 1);
    EXPECT_EQ(std::string(info), report_line(0x1FC9, 0x000C, 3, 1024, 452));
    EXPECT_EQ(vekemu_dfu_download_count(card), 1u);
    g_autoptr(GBytes) received = vekemu_dfu_image(card);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(bytes_of(received), image);
}

TEST_F(KvrdfuDownload, BlocksFollowTheTransferSizeThenAnEmptyBlock)
{
    write_firmware(make_image(2500));
    VekemuCard *card = add_dfu();
    gchar report[KVRDFU_REPORT_SIZE] = "";
    gboolean ok = FALSE;
    g_autoptr(GError) error = nullptr;
    const auto events = download_into(card, report, &ok, &error);
    ASSERT_TRUE(ok) << error->message;

    const auto blocks = downloads(events);
    ASSERT_EQ(blocks.size(), 4u);
    const Download expected[] = {{0, 1024}, {1, 1024}, {2, 452}, {3, 0}};
    for (gsize i = 0; i < 4; i++) {
        EXPECT_EQ(blocks[i].block, expected[i].block) << "block " << i;
        EXPECT_EQ(blocks[i].length, expected[i].length) << "block " << i;
    }
    /* Every class request goes to the DFU interface, in the DFU directions. */
    for (const auto &e : events) {
        if (e.kind != VEKEMU_EVENT_CONTROL || (e.bmRequestType & 0x60) != 0x20)
            continue;
        EXPECT_EQ(e.wIndex, 0u);
        EXPECT_TRUE(e.bmRequestType == 0x21 || e.bmRequestType == 0xA1);
    }
    EXPECT_EQ(std::string(report), report_line(0x1FC9, 0x000C, 3, 1024, 452));
}

TEST_F(KvrdfuDownload, ImageOfOneExactBlockEndsWithAnEmptyBlock)
{
    write_firmware(make_image(1024));
    VekemuCard *card = add_dfu();
    gchar report[KVRDFU_REPORT_SIZE] = "";
    gboolean ok = FALSE;
    const auto events = download_into(card, report, &ok, nullptr);
    ASSERT_TRUE(ok);
    const auto blocks = downloads(events);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].length, 1024u);
    EXPECT_EQ(blocks[1].block, 1u);
    EXPECT_EQ(blocks[1].length, 0u);
    EXPECT_EQ(std::string(report), report_line(0x1FC9, 0x000C, 1, 1024, 1024));
}

TEST_F(KvrdfuDownload, ReportKeepsEarlierLinesAndStaysWithinItsBuffer)
{
    write_firmware(make_image(10));
    VekemuCard *card = add_dfu();
    gchar report[KVRDFU_REPORT_SIZE];
    memset(report, 'x', sizeof report - 60);
    report[sizeof report - 60] = '\0';
    gboolean ok = FALSE;
    download_into(card, report, &ok, nullptr);
    ASSERT_TRUE(ok);
    EXPECT_EQ(strlen(report), static_cast<gsize>(KVRDFU_REPORT_SIZE - 1));
    EXPECT_EQ(report[0], 'x');
    EXPECT_TRUE(g_str_has_prefix(report + sizeof report - 60, "Programming DFU Device <0x1fc9"));
}

TEST_F(KvrdfuDownload, EmptyImageIsRefusedBeforeTheCardIsTouched)
{
    write_firmware({});
    VekemuCard *card = add_dfu();
    gint devices = -1;
    g_autoptr(GError) error = nullptr;
    ASSERT_FALSE(program(&devices, nullptr, &error));
    g_autofree gchar *expected =
        g_strdup_printf("Failed to flash device 0: Firmware file %s is empty", firmware.c_str());
    EXPECT_STREQ(error->message, expected);
    EXPECT_EQ(devices, 0);
    EXPECT_TRUE(downloads(events_of(card)).empty());
    EXPECT_TRUE(vekemu_card_is_dfu(card));
}

TEST_F(KvrdfuDownload, BusyCardIsPolledAfterItsPollTimeout)
{
    write_firmware(make_image(2048));
    /* Two busy answers of 50 ms per block before the card is idle again. */
    VekemuCard *card = add_dfu(0x000C, 1024, 0, 2, 50);
    gboolean ok = FALSE;
    g_autoptr(GError) error = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const auto events = download_into(card, nullptr, &ok, &error);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(ok) << error->message;
    /* Per data block: two busy answers, one idle; one more after the final block. */
    EXPECT_EQ(class_requests(events, KVRDFU_REQ_GETSTATUS).size(), 2u * 3u + 1u);
    /* Two blocks with two 50 ms waits each. */
    EXPECT_GE(elapsed, std::chrono::milliseconds(4 * 50));
}

TEST_F(KvrdfuDownload, BothBootLoaderIdentitiesAreProgrammed)
{
    write_firmware(make_image(600));
    VekemuCard *a = add_dfu(0x000C);
    VekemuCard *b = add_dfu(0x8001);
    gint devices = 0;
    g_autofree gchar *info = nullptr;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(program(&devices, &info, &error)) << error->message;
    EXPECT_EQ(devices, 2);
    EXPECT_EQ(vekemu_dfu_download_count(a), 1u);
    EXPECT_EQ(vekemu_dfu_download_count(b), 1u);
    const std::string la = report_line(0x1FC9, 0x000C, 1, 1024, 600);
    const std::string lb = report_line(0x6B3E, 0x8001, 1, 1024, 600);
    const std::string text(info);
    EXPECT_TRUE(text == la + lb || text == lb + la) << text;
}

/* ---- Leaving DFU mode ---- */

using KvrdfuLeaveDfu = DfuTest;

TEST_F(KvrdfuLeaveDfu, ZeroDetachTimeoutResetsTheCardIntoItsApplication)
{
    write_firmware(make_image(100));
    VekemuCard *card = add_dfu(0x000C, 1024, 0);
    gboolean ok = FALSE;
    g_autoptr(GError) error = nullptr;
    const auto events = download_into(card, nullptr, &ok, &error);
    ASSERT_TRUE(ok) << error->message;
    EXPECT_TRUE(saw_reset(events));
    const auto detach = class_requests(events, KVRDFU_REQ_DETACH);
    ASSERT_EQ(detach.size(), 1u);
    EXPECT_EQ(detach[0].bmRequestType, 0x21);
    EXPECT_EQ(detach[0].wValue, 0u);
    EXPECT_TRUE(wait_for_application(card));
    EXPECT_EQ(vekemu_card_vid(card), 0x6B3E);
    EXPECT_EQ(vekemu_card_pid(card), 0x0001);
}

TEST_F(KvrdfuLeaveDfu, DetachCarriesTheTimeoutAndNoResetFollows)
{
    write_firmware(make_image(100));
    VekemuCard *card = add_dfu(0x000C, 1024, 1000);
    gboolean ok = FALSE;
    g_autoptr(GError) error = nullptr;
    const auto events = download_into(card, nullptr, &ok, &error);
    ASSERT_TRUE(ok) << error->message;
    const auto detach = class_requests(events, KVRDFU_REQ_DETACH);
    ASSERT_EQ(detach.size(), 1u);
    EXPECT_EQ(detach[0].wValue, 1000u);
    EXPECT_EQ(detach[0].wLength, 0u);
    EXPECT_FALSE(saw_reset(events));
}

using KvrdfuFailure = DfuTest;

TEST_F(KvrdfuFailure, ShortStatusAnswerFailsTheDownload)
{
    write_firmware(make_image(2500));
    VekemuCard *card = add_dfu();
    vekemu_dfu_set_status_length(card, 5);
    gint devices = -1;
    gchar *info = nullptr;
    g_autoptr(GError) error = nullptr;
    ASSERT_FALSE(program(&devices, &info, &error));
    ASSERT_NE(error, nullptr);
    /* libusb's name for the number 5 would be a transfer status ("no device"). */
    EXPECT_STREQ(error->message,
                 "Failed to flash device 0: Failed to get dfu status (5: only 5 of 6 bytes)");
    EXPECT_EQ(devices, 0);
    EXPECT_EQ(info, nullptr);
    /* Nothing after the first block's status read. */
    EXPECT_EQ(downloads(events_of(card)).size(), 1u);
}

/* A listed boot loader that cannot be programmed is no success: the run says why. */
TEST_F(KvrdfuFailure, DfuOneBootLoaderFailsTheRunWithTheReason)
{
    write_firmware(make_image(2500));
    VekemuCardConfig cfg;
    vekemu_dfu_config_init(&cfg);
    cfg.dfu_descriptor_length = 7;
    VekemuCard *card = vekemu_add_dfu_card(bed, &cfg, nullptr);
    ASSERT_NE(card, nullptr);
    gint devices = -1;
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(program(&devices, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message,
                 "Failed to flash device 0: DFU boot loader <0x1fc9:0x000c> not programmed: its "
                 "functional descriptor has 7 bytes (DFU 1.0), only DFU 1.1 (9 bytes) is "
                 "supported");
    EXPECT_EQ(devices, 0);
    EXPECT_TRUE(downloads(events_of(card)).empty());
    EXPECT_TRUE(vekemu_card_is_dfu(card));
}

TEST_F(KvrdfuFailure, ErrorStatusStopsTheDownload)
{
    write_firmware(make_image(2500));
    VekemuCard *card = add_dfu();
    vekemu_dfu_fault_status(card, 0x03 /* errWRITE */, 1);
    gint devices = -1;
    g_autoptr(GError) error = nullptr;
    ASSERT_FALSE(program(&devices, nullptr, &error));
    EXPECT_STREQ(error->message,
                 "Failed to flash device 0: Firmware download failed [state 10, status 3 ]");
    const auto blocks = downloads(events_of(card));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].block, 1u);
    EXPECT_EQ(vekemu_dfu_download_count(card), 0u);
}

TEST_F(KvrdfuFailure, CardThatStaysBusyIsGivenUp)
{
    write_firmware(make_image(100));
    VekemuCard *card = add_dfu(0x000C, 1024, 0, 100000, 0);
    gint devices = -1;
    g_autoptr(GError) error = nullptr;
    ASSERT_FALSE(program(&devices, nullptr, &error));
    EXPECT_STREQ(error->message, "Failed to flash device 0: Device still busy after 1000 status "
                                 "polls [state 4, status 0 ]");
    EXPECT_EQ(class_requests(events_of(card), KVRDFU_REQ_GETSTATUS).size(), 1000u);
    EXPECT_EQ(vekemu_dfu_download_count(card), 0u);
}

TEST_F(KvrdfuFailure, FirstFailingCardEndsTheRun)
{
    write_firmware(make_image(100));
    VekemuCard *a = add_dfu(0x000C);
    VekemuCard *b = add_dfu(0x8001);
    vekemu_dfu_fault_status(a, 0x03, 0);
    vekemu_dfu_fault_status(b, 0x03, 0);
    gint devices = -1;
    g_autoptr(GError) error = nullptr;
    ASSERT_FALSE(program(&devices, nullptr, &error));
    EXPECT_EQ(devices, 0);
    /* Whichever card comes first fails; the other one is never tried. */
    EXPECT_EQ(downloads(events_of(a)).size() + downloads(events_of(b)).size(), 1u);
}

TEST_F(KvrdfuFailure, HeldCardFailsToOpen)
{
    write_firmware(make_image(100));
    VekemuCard *card = add_dfu();
    vekemu_card_hold(card, TRUE);
    gint devices = -1;
    g_autoptr(GError) error = nullptr;
    ASSERT_FALSE(program(&devices, nullptr, &error));
    EXPECT_TRUE(g_str_has_prefix(error->message, "Failed to flash device 0: Failed to open usb "
                                                 "device (LIBUSB_ERROR_"))
        << error->message;
}

/* ---- Capability search ---- */

using KvrdfuSearch = DfuTest;

TEST_F(KvrdfuSearch, DfuCardIsDescribed)
{
    add_dfu(0x8001, 512, 250);
    list_devices();
    dfu_capable_device found{};
    guint capable = 0;
    for (ssize_t i = 0; i < count; i++) {
        if (!is_dfu_capable(&list, devs[i], &found))
            continue;
        capable++;
        EXPECT_EQ(found.vid, 0x6B3E);
        EXPECT_EQ(found.pid, 0x8001);
        EXPECT_EQ(found.dev, devs[i]);
        EXPECT_EQ(found.interface_number, 0);
        EXPECT_EQ(found.altsetting, 0);
        EXPECT_EQ(found.xfer_size, 512u);
        EXPECT_EQ(found.detach_tout, 250);
    }
    EXPECT_EQ(capable, 1u);
}

TEST_F(KvrdfuSearch, ListedCardWithoutDfuInterfaceIsNotCapable)
{
    VekemuCardConfig cfg;
    vekemu_card_config_init(&cfg);
    cfg.vid = 0x1FC9;
    cfg.pid = 0x000C; /* the boot loader's ids, but the card's vendor interfaces */
    ASSERT_NE(vekemu_add_card(bed, &cfg, nullptr), nullptr);
    list_devices();
    for (ssize_t i = 0; i < count; i++) {
        dfu_capable_device found{};
        EXPECT_FALSE(is_dfu_capable(&list, devs[i], &found));
    }
}

/* A DFU 1.0 boot loader's functional descriptor ends before bcdDFUVersion. */
TEST_F(KvrdfuSearch, SevenByteFunctionalDescriptorIsNotCapable)
{
    VekemuCardConfig cfg;
    vekemu_dfu_config_init(&cfg);
    cfg.dfu_descriptor_length = 7;
    VekemuCard *card = vekemu_add_dfu_card(bed, &cfg, nullptr);
    ASSERT_NE(card, nullptr);
    list_devices();
    for (ssize_t i = 0; i < count; i++) {
        dfu_capable_device found{};
        EXPECT_FALSE(is_dfu_capable(&list, devs[i], &found));
    }
    EXPECT_TRUE(vekemu_card_is_dfu(card));
}

TEST_F(KvrdfuSearch, EmptyListOrMissingOutputMatchesNothing)
{
    add_dfu();
    list_devices();
    kvrdfu_match_list empty = {entries, 0};
    for (ssize_t i = 0; i < count; i++) {
        dfu_capable_device found{};
        EXPECT_FALSE(is_dfu_capable(&empty, devs[i], &found));
        EXPECT_FALSE(is_dfu_capable(&list, devs[i], nullptr));
    }
}

/* ---- Firmware lookup ---- */

using KvrdfuFirmwareLookup = DfuTest;

TEST_F(KvrdfuFirmwareLookup, BareNameIsFoundInTheWorkingDirectory)
{
    const auto image = make_image(700);
    write_firmware(image);
    VekemuCard *card = add_dfu();
    g_autofree gchar *cwd = g_get_current_dir();
    ASSERT_EQ(chdir(dir), 0);
    gint devices = 0;
    g_autoptr(GError) error = nullptr;
    const gboolean ok = kvrdfu_program_all_devices(&list, "ORB.bin.hdr", &devices, nullptr, &error);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(ok) << error->message;
    g_autoptr(GBytes) received = vekemu_dfu_image(card);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(bytes_of(received), image);
}

TEST_F(KvrdfuFirmwareLookup, BareNameIsFoundInTheFirmwareDirectoryVariable)
{
    /* Other threads read the environment: only replace the variable, never add it. */
    if (g_getenv("KVRDFU_FIRMWARE_DIR") == nullptr)
        GTEST_SKIP() << "needs KVRDFU_FIRMWARE_DIR present (empty) at start, as ctest sets it";
    const auto image = make_image(300);
    write_firmware(image);
    VekemuCard *card = add_dfu();
    g_setenv("KVRDFU_FIRMWARE_DIR", dir, TRUE);
    gint devices = 0;
    g_autoptr(GError) error = nullptr;
    const gboolean ok = kvrdfu_program_all_devices(&list, "ORB.bin.hdr", &devices, nullptr, &error);
    g_setenv("KVRDFU_FIRMWARE_DIR", "", TRUE);
    ASSERT_TRUE(ok) << error->message;
    g_autoptr(GBytes) received = vekemu_dfu_image(card);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(bytes_of(received), image);
}

} // namespace
