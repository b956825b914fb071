/* SPDX-License-Identifier: GPL-2.0-or-later */
// The emulated card seen through the real libusb-1.0, as any host program sees it.
#include <vekemu/vekemu.h>

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/wait.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{
/* Children start through posix_spawn, which GLib takes when descriptors are
 * left open and no working directory is set: a fork would run the emulation's
 * preloaded wrappers in the child, where a lock that another thread held at
 * the fork can stall it before its exec. */
constexpr GSpawnFlags kSpawnFlags = G_SPAWN_LEAVE_DESCRIPTORS_OPEN;

constexpr guint8 OUT = 0x43; // vendor, recipient other
constexpr guint8 IN = 0xC3;
constexpr unsigned TIMEOUT_MS = 2000;

class Card : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;

    void TearDown() override
    {
        if (h != nullptr)
            libusb_close(h);
        if (ctx != nullptr)
            libusb_exit(ctx);
        vekemu_bed_remove_all(bed);
    }

    VekemuCard *add(VekemuPacing pacing = VEKEMU_PACING_FAST)
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        cfg.pacing = pacing;
        g_autoptr(GError) error = nullptr;
        VekemuCard *card = vekemu_add_card(bed, &cfg, &error);
        EXPECT_NE(card, nullptr) << (error != nullptr ? error->message : "");
        return card;
    }

    void init()
    {
        if (ctx == nullptr) {
            ASSERT_EQ(libusb_init(&ctx), 0);
        }
    }

    void open(guint16 vid = VEKEMU_VID_VEK, guint16 pid = VEKEMU_PID_VEK)
    {
        init();
        h = libusb_open_device_with_vid_pid(ctx, vid, pid);
        ASSERT_NE(h, nullptr);
    }

    int count(guint16 vid, guint16 pid)
    {
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        int found = 0;
        for (ssize_t i = 0; i < n; i++) {
            libusb_device_descriptor d{};
            libusb_get_device_descriptor(list[i], &d);
            found += d.idVendor == vid && d.idProduct == pid;
        }
        libusb_free_device_list(list, 1);
        return found;
    }

    int ctl_out(guint8 group, guint16 cmd, guint32 value)
    {
        guint8 b[4] = {guint8(value), guint8(value >> 8), guint8(value >> 16), guint8(value >> 24)};
        return libusb_control_transfer(h, OUT, group, cmd, 0, b, 4, TIMEOUT_MS);
    }

    int ctl_in(guint8 group, guint16 cmd, guint32 *value)
    {
        guint8 b[4] = {};
        int r = libusb_control_transfer(h, IN, group, cmd, 0, b, 4, TIMEOUT_MS);
        *value = b[0] | (b[1] << 8) | (b[2] << 16) | (guint32(b[3]) << 24);
        return r;
    }

    std::vector<guint8> bulk_in(int len, int *r, unsigned timeout = TIMEOUT_MS)
    {
        std::vector<guint8> buf(len);
        int got = 0;
        *r = libusb_bulk_transfer(h, 0x81, buf.data(), len, &got, timeout);
        buf.resize(got);
        return buf;
    }
};

std::string string_of(libusb_device_handle *h, guint8 index)
{
    unsigned char s[256] = {};
    int n = libusb_get_string_descriptor_ascii(h, index, s, sizeof s);
    return n < 0 ? std::string("<error>") : std::string(reinterpret_cast<char *>(s), n);
}

guint32 word_at(const std::vector<guint8> &b, gsize i)
{
    return b[i] | (b[i + 1] << 8) | (b[i + 2] << 16) | (guint32(b[i + 3]) << 24);
}

// ---- enumeration ----

using Enumeration = Card;

TEST_F(Enumeration, CardHasItsIdsStringsAndEndpoints)
{
    add();
    open();
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(h), &d), 0);
    EXPECT_EQ(d.bcdUSB, 0x0200);
    EXPECT_EQ(string_of(h, d.iManufacturer), "Kavrin");
    EXPECT_EQ(string_of(h, d.iProduct), "VEK radio card");
    EXPECT_EQ(string_of(h, d.iSerialNumber).rfind("VEK", 0), 0u);

    libusb_config_descriptor *c = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(h), &c), 0);
    ASSERT_EQ(c->bNumInterfaces, 3);
    ASSERT_EQ(c->interface[0].altsetting[0].bNumEndpoints, 1);
    EXPECT_EQ(c->interface[0].altsetting[0].endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(c->interface[0].altsetting[0].endpoint[0].bmAttributes, LIBUSB_TRANSFER_TYPE_BULK);
    ASSERT_EQ(c->interface[2].altsetting[0].bNumEndpoints, 1);
    EXPECT_EQ(c->interface[2].altsetting[0].endpoint[0].bEndpointAddress, 0x02);
    libusb_free_config_descriptor(c);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_claim_interface(h, 2), 0);
    EXPECT_EQ(libusb_claim_interface(h, 3), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(Enumeration, ConfiguredSerialAndNxpIdentity)
{
    VekemuCardConfig cfg;
    vekemu_card_config_init(&cfg);
    cfg.vid = VEKEMU_VID_NXP;
    cfg.pid = VEKEMU_PID_NXP_CARD;
    cfg.serial = "SN-0042";
    ASSERT_NE(vekemu_add_card(bed, &cfg, nullptr), nullptr);
    open(VEKEMU_VID_NXP, VEKEMU_PID_NXP_CARD);
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(libusb_get_device(h), &d);
    EXPECT_EQ(string_of(h, d.iSerialNumber), "SN-0042");
}

TEST_F(Enumeration, SixtyFiveCardsAreAllListed)
{
    for (int i = 0; i < 65; i++)
        ASSERT_NE(add(), nullptr);
    init();
    EXPECT_EQ(count(VEKEMU_VID_VEK, VEKEMU_PID_VEK), 65);
}

TEST_F(Enumeration, HeldCardIsListedButCannotBeOpened)
{
    VekemuCard *card = add();
    vekemu_card_hold(card, TRUE);
    init();
    EXPECT_EQ(count(VEKEMU_VID_VEK, VEKEMU_PID_VEK), 1);
    EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, VEKEMU_VID_VEK, VEKEMU_PID_VEK), nullptr);
    vekemu_card_hold(card, FALSE);
    open();
}

// umockdev's worker thread answers every file this process opens under /dev/, the bed's
// own files on /dev/shm included: holding a card (which rewrites its node) while a client
// connects to the card must not leave the two waiting for each other. The client connects
// to the card's ioctl socket as umockdev's preload library does when the node is opened
// (opening from two threads at once would race in that library's own descriptor table).
TEST_F(Enumeration, HoldingACardWhileAClientConnectsNeverDeadlocks)
{
    VekemuCard *card = add();
    g_autofree gchar *node = vekemu_card_devnode(card);
    g_autofree gchar *socket_path = g_strdup_printf("%s/ioctl/%s", vekemu_bed_root_dir(bed), node);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(strlen(socket_path), sizeof addr.sun_path);
    strcpy(addr.sun_path, socket_path);
    std::atomic<bool> done{false};
    std::atomic<int> connected{0};
    std::thread client([&] {
        while (!done.load()) {
            int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
                connected++;
            if (fd >= 0)
                close(fd);
            g_usleep(1000);
        }
    });
    for (int i = 0; i < 200; i++) {
        vekemu_card_hold(card, TRUE);
        vekemu_card_hold(card, FALSE);
    }
    done = true;
    client.join();
    EXPECT_GT(connected.load(), 0);
    open();
}

TEST_F(Enumeration, UnpluggedCardIsGoneAndComesBack)
{
    VekemuCard *card = add();
    vekemu_card_unplug(card);
    init();
    EXPECT_EQ(count(VEKEMU_VID_VEK, VEKEMU_PID_VEK), 0);
    libusb_exit(ctx);
    ctx = nullptr;
    ASSERT_TRUE(vekemu_card_plug(card, nullptr));
    init();
    EXPECT_EQ(count(VEKEMU_VID_VEK, VEKEMU_PID_VEK), 1);
}

// ---- control requests ----

using Control = Card;

TEST_F(Control, InRequestsAnswerTheRegisters)
{
    VekemuCard *card = add();
    open();
    guint32 v = 0;
    EXPECT_EQ(ctl_in(1, 0, &v), 4);
    EXPECT_EQ(v, 0x12030405u);
    vekemu_card_reg_set(card, 1, 1, 0xA1B2C3D4);
    EXPECT_EQ(ctl_in(1, 1, &v), 4);
    EXPECT_EQ(v, 0xA1B2C3D4u);
    vekemu_card_reg_set(card, 4, 1, static_cast<guint32>(-52));
    EXPECT_EQ(ctl_in(4, 1, &v), 4);
    EXPECT_EQ(static_cast<gint32>(v), -52);
}

TEST_F(Control, OutRequestsSetTheRegisters)
{
    VekemuCard *card = add();
    open();
    EXPECT_EQ(ctl_out(2, 1, 868300000), 4);
    EXPECT_EQ(vekemu_card_reg_get(card, 2, 1), 868300000u);
    EXPECT_EQ(ctl_out(2, 4, 0x123), 4);
    guint32 v = 0;
    EXPECT_EQ(ctl_in(2, 4, &v), 4);
    EXPECT_EQ(v, 0x123u);
    EXPECT_EQ(ctl_out(3, 6, static_cast<guint32>(-3)), 4);
    EXPECT_EQ(static_cast<gint32>(vekemu_card_reg_get(card, 3, 6)), -3);

    GArray *ev = vekemu_card_events(card);
    ASSERT_EQ(ev->len, 4u);
    const VekemuEvent &first = g_array_index(ev, VekemuEvent, 0);
    EXPECT_EQ(first.bmRequestType, OUT);
    EXPECT_EQ(first.bRequest, 2);
    EXPECT_EQ(first.wValue, 1);
    EXPECT_EQ(first.value, 868300000u);
    g_array_unref(ev);
}

TEST_F(Control, ErrorStackDrainsOldestFirstThenZero)
{
    VekemuCard *card = add();
    vekemu_card_push_error(card, 5);
    vekemu_card_push_error(card, 7);
    open();
    guint32 v = 1;
    std::vector<guint32> got;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(ctl_in(0, 2, &v), 4);
        got.push_back(v);
    }
    EXPECT_EQ(got, (std::vector<guint32>{5, 7, 0}));
    EXPECT_EQ(vekemu_card_error_depth(card), 0u);
}

TEST_F(Control, UnknownAndMalformedRequestsStall)
{
    add();
    open();
    guint32 v = 0;
    EXPECT_EQ(ctl_in(32, 0, &v), LIBUSB_ERROR_PIPE); // debug group
    EXPECT_EQ(ctl_in(3, 9, &v), LIBUSB_ERROR_PIPE);  // no such data command
    EXPECT_EQ(ctl_out(1, 0, 1), LIBUSB_ERROR_PIPE);  // versions are read-only
    EXPECT_EQ(ctl_out(4, 1, 1), LIBUSB_ERROR_PIPE);  // so is the temperature
    guint8 b[4] = {};
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, 1, 0, 0, b, 4, TIMEOUT_MS), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, OUT, 2, 1, 0, b, 2, TIMEOUT_MS), LIBUSB_ERROR_PIPE);
    // The card still answers after the stalls.
    EXPECT_EQ(ctl_in(1, 0, &v), 4);
}

TEST_F(Control, UptimeCountsUnlessFrozen)
{
    VekemuCard *card = add();
    open();
    guint32 v = 0;
    ASSERT_EQ(ctl_in(4, 0, &v), 4);
    EXPECT_GE(v, 10u);
    vekemu_card_reg_set(card, 4, 0, 1234);
    ASSERT_EQ(ctl_in(4, 0, &v), 4);
    EXPECT_EQ(v, 1234u);
}

TEST_F(Control, SavedConfigurationSurvivesUnplugAndFactoryResetRestoresTheOriginal)
{
    VekemuCard *card = add();
    open();
    ASSERT_EQ(ctl_out(2, 1, 100), 4);
    ASSERT_EQ(ctl_out(0, 0, 0), 4); // save
    ASSERT_EQ(ctl_out(2, 1, 200), 4);
    libusb_close(h);
    h = nullptr;
    libusb_exit(ctx);
    ctx = nullptr;
    vekemu_card_unplug(card);
    ASSERT_TRUE(vekemu_card_plug(card, nullptr));
    EXPECT_EQ(vekemu_card_reg_get(card, 2, 1), 100u);
    open();
    ASSERT_EQ(ctl_out(0, 1, 0), 4); // factory reset
    EXPECT_EQ(vekemu_card_reg_get(card, 2, 1), 868100000u);
    EXPECT_EQ(vekemu_card_save_count(card), 1u);
    EXPECT_EQ(vekemu_card_factory_reset_count(card), 1u);
}

TEST_F(Control, InjectedFaultsHitOnlyTheMatchingRequests)
{
    VekemuCard *card = add();
    open();
    vekemu_card_fault_control(card, 2, 4, VEKEMU_FAULT_STALL, 1);
    vekemu_card_fault_control(card, 1, -1, VEKEMU_FAULT_TIMEOUT, 1);
    guint32 v = 0;
    EXPECT_EQ(ctl_in(2, 1, &v), 4);
    EXPECT_EQ(ctl_in(2, 4, &v), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(ctl_in(2, 4, &v), 4);
    guint8 b[4];
    EXPECT_EQ(libusb_control_transfer(h, IN, 1, 1, 0, b, 4, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(ctl_in(1, 1, &v), 4);
    vekemu_card_fault_control(card, 4, 0, VEKEMU_FAULT_NO_DEVICE, 1);
    EXPECT_EQ(ctl_in(4, 0, &v), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(ctl_in(4, 0, &v), 4);
}

TEST_F(Control, UnresponsiveCardAnswersNoVendorRequestButItsDescriptors)
{
    VekemuCard *card = add();
    open();
    vekemu_card_set_unresponsive(card, TRUE);
    guint8 b[4];
    EXPECT_EQ(libusb_control_transfer(h, IN, 1, 0, 0, b, 4, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_control_transfer(h, OUT, 2, 1, 0, b, 4, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_control_transfer(h, IN, 4, 0, 0, b, 4, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(string_of(h, 1), "Kavrin");
    vekemu_card_set_unresponsive(card, FALSE);
    guint32 v = 0;
    EXPECT_EQ(ctl_in(1, 0, &v), 4);
}

// ---- RX stream ----

using RxStream = Card;

TEST_F(RxStream, NothingArrivesWhileTheStreamIsOff)
{
    add();
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    int r = 0;
    auto got = bulk_in(8192, &r, 100);
    EXPECT_EQ(r, LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(got.empty());
}

TEST_F(RxStream, BytesFollowTheCounterPatternInOrder)
{
    VekemuCard *card = add();
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(ctl_out(3, 0, 1), 4);
    guint32 expect = 0;
    for (int t = 0; t < 8; t++) {
        int r = 0;
        auto b = bulk_in(8192, &r);
        ASSERT_EQ(r, 0);
        ASSERT_EQ(b.size(), 8192u);
        for (gsize i = 0; i < b.size(); i += 4, expect++)
            ASSERT_EQ(word_at(b, i), expect) << "transfer " << t << " byte " << i;
    }
    EXPECT_EQ(vekemu_card_rx_bytes(card), 8u * 8192u);
    // Switching the stream on again starts the pattern over.
    ASSERT_EQ(ctl_out(3, 0, 0), 4);
    ASSERT_EQ(ctl_out(3, 0, 1), 4);
    int r = 0;
    auto b = bulk_in(16, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(word_at(b, 0), 0u);
    EXPECT_EQ(word_at(b, 12), 3u);
}

TEST_F(RxStream, RealTimePacingNeverRunsAheadOfTheSampleRate)
{
    add(VEKEMU_PACING_REALTIME);
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(ctl_out(3, 5, 48000), 4);
    gint64 start = g_get_monotonic_time();
    ASSERT_EQ(ctl_out(3, 0, 1), 4);
    // 48000 samples/s x 4 bytes: 19200 bytes take 100 ms of card time.
    int r = 0;
    for (int i = 0; i < 3; i++) {
        bulk_in(6400, &r);
        ASSERT_EQ(r, 0);
    }
    EXPECT_GE(g_get_monotonic_time() - start, 100000 - 2000);
}

// At ten times the sample rate the same bytes take a tenth of the time, and never less.
TEST_F(RxStream, SpeedScalesRealTimePacing)
{
    VekemuCard *card = add(VEKEMU_PACING_REALTIME);
    vekemu_card_set_speed(card, 10.0);
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(ctl_out(3, 5, 48000), 4);
    gint64 start = g_get_monotonic_time();
    ASSERT_EQ(ctl_out(3, 0, 1), 4);
    // 48000 samples/s x 4 bytes x 10: 192000 bytes take 100 ms of card time.
    int r = 0;
    guint32 expected = 0;
    for (int i = 0; i < 30; i++) {
        auto b = bulk_in(6400, &r);
        ASSERT_EQ(r, 0);
        ASSERT_EQ(b.size(), 6400u);
        EXPECT_EQ(word_at(b, 0), expected) << "the counter pattern goes on without a gap";
        expected += 1600;
    }
    const gint64 took = g_get_monotonic_time() - start;
    EXPECT_GE(took, 100000 - 2000);
    EXPECT_LT(took, 800000) << "at the plain sample rate this takes a whole second";
}

// A faster rate set while streaming applies from then on: the time spent at the slower
// rate does not turn into a burst of bytes.
TEST_F(RxStream, RateChangeWhileStreamingPacesFromThenOn)
{
    add(VEKEMU_PACING_REALTIME);
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(ctl_out(3, 5, 48000), 4);
    ASSERT_EQ(ctl_out(3, 0, 1), 4);
    int r = 0;
    bulk_in(9600, &r); // 50 ms at 48000 samples/s
    ASSERT_EQ(r, 0);
    // The card re-anchors its pacing when it takes the request, which may be well before
    // the host sees the answer: the clock starts before the request is sent.
    gint64 start = g_get_monotonic_time();
    ASSERT_EQ(ctl_out(3, 5, 192000), 4);
    for (int i = 0; i < 10; i++) { // 100 ms at 192000 samples/s
        auto b = bulk_in(7680, &r);
        ASSERT_EQ(r, 0);
        ASSERT_EQ(b.size(), 7680u);
    }
    EXPECT_GE(g_get_monotonic_time() - start, 100000 - 2000);
}

// A host too slow to reap before its timeout (sanitizers, a loaded machine) loses no part
// of the stream: the card would have filled the transfer in the background.
TEST_F(RxStream, TransferTheHostGivesUpOnReturnsItsBytesToTheStream)
{
    add(VEKEMU_PACING_REALTIME);
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(ctl_out(3, 5, 48000), 4);
    ASSERT_EQ(ctl_out(3, 0, 1), 4);
    int r = 0;
    auto partial = bulk_in(16384, &r, 10); // 16384 bytes take 85 ms at 48000 samples/s
    EXPECT_EQ(r, LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(partial.empty());
    auto next = bulk_in(16, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(word_at(next, 0), 0u);
    EXPECT_EQ(word_at(next, 12), 3u);
}

TEST_F(RxStream, InjectedFaultsMapToLibusbErrorsWithoutLosingBytes)
{
    VekemuCard *card = add();
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(ctl_out(3, 0, 1), 4);
    int r = 0;
    vekemu_card_fault_rx(card, VEKEMU_FAULT_STALL, 1);
    bulk_in(512, &r);
    EXPECT_EQ(r, LIBUSB_ERROR_PIPE);
    vekemu_card_fault_rx(card, VEKEMU_FAULT_ERROR, 1);
    bulk_in(512, &r);
    EXPECT_EQ(r, LIBUSB_ERROR_IO);
    vekemu_card_fault_rx(card, VEKEMU_FAULT_OVERFLOW, 1);
    bulk_in(512, &r);
    EXPECT_EQ(r, LIBUSB_ERROR_OVERFLOW);
    vekemu_card_fault_rx(card, VEKEMU_FAULT_TIMEOUT, 1);
    bulk_in(512, &r, 100);
    EXPECT_EQ(r, LIBUSB_ERROR_TIMEOUT);
    vekemu_card_fault_rx(card, VEKEMU_FAULT_NO_DEVICE, 1);
    bulk_in(512, &r);
    EXPECT_EQ(r, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(vekemu_card_is_plugged(card));
    // One submission taken, the next refused, then taken again.
    vekemu_card_refuse_rx(card, 1, 1);
    auto b = bulk_in(16, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(word_at(b, 0), 0u);
    bulk_in(16, &r);
    EXPECT_EQ(r, LIBUSB_ERROR_NO_MEM);
    b = bulk_in(16, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(word_at(b, 0), 4u);
}

TEST_F(RxStream, SigmfRecordingIsStreamedInALoop)
{
    g_autofree gchar *dir = g_dir_make_tmp("vekemu-XXXXXX", nullptr);
    std::string base = std::string(dir) + "/rec";
    const guint8 samples[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(g_file_set_contents((base + ".sigmf-data").c_str(),
                                    reinterpret_cast<const gchar *>(samples), 8, nullptr));
    ASSERT_TRUE(g_file_set_contents((base + ".sigmf-meta").c_str(),
                                    "{\"global\":{\"core:datatype\":\"ci16_le\"}}", -1, nullptr));
    VekemuCard *card = add();
    ASSERT_TRUE(vekemu_card_set_sigmf(card, (base + ".sigmf-meta").c_str(), nullptr));
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(ctl_out(3, 0, 1), 4);
    int r = 0;
    auto b = bulk_in(20, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(b, (std::vector<guint8>{1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4}));

    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(g_file_set_contents((base + ".sigmf-meta").c_str(),
                                    "{\"global\":{\"core:datatype\":\"cf32_le\"}}", -1, nullptr));
    EXPECT_FALSE(vekemu_card_set_sigmf(card, base.c_str(), &error));
    for (const char *ext : {".sigmf-data", ".sigmf-meta"})
        g_unlink((base + ext).c_str());
    g_rmdir(dir);
}

// ---- downlink ----

using Downlink = Card;

TEST_F(Downlink, EachBulkOutIsStoredAsOneBlock)
{
    VekemuCard *card = add();
    open();
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    std::vector<guint8> block(28);
    for (gsize i = 0; i < block.size(); i++)
        block[i] = static_cast<guint8>(i * 7);
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x02, block.data(), 28, &done, TIMEOUT_MS), 0);
    EXPECT_EQ(done, 28);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x02, block.data(), 0, &done, TIMEOUT_MS), 0);
    ASSERT_EQ(vekemu_card_dl_block_count(card), 2u);
    g_autoptr(GBytes) first = vekemu_card_dl_block(card, 0);
    gsize n = 0;
    auto *p = static_cast<const guint8 *>(g_bytes_get_data(first, &n));
    EXPECT_EQ(std::vector<guint8>(p, p + n), block);
    g_autoptr(GBytes) empty = vekemu_card_dl_block(card, 1);
    EXPECT_EQ(g_bytes_get_size(empty), 0u);
    EXPECT_EQ(vekemu_card_dl_block(card, 2), nullptr);
}

TEST_F(Downlink, ShortWriteFaults)
{
    VekemuCard *card = add();
    open();
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    std::vector<guint8> block(100, 0x5A);
    int done = -1;
    vekemu_card_fault_dl(card, VEKEMU_DL_SHORT_NAK, 40, 1);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, block.data(), 100, &done, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(done, 40);
    vekemu_card_fault_dl(card, VEKEMU_DL_SHORT_COMPLETE, 60, 1);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, block.data(), 100, &done, TIMEOUT_MS), 0);
    EXPECT_EQ(done, 60);
    vekemu_card_fault_dl(card, VEKEMU_DL_STALL, 0, 1);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, block.data(), 100, &done, TIMEOUT_MS),
              LIBUSB_ERROR_PIPE);
    ASSERT_EQ(vekemu_card_dl_block_count(card), 2u);
    g_autoptr(GBytes) cut = vekemu_card_dl_block(card, 0);
    EXPECT_EQ(g_bytes_get_size(cut), 40u);
}

// ---- unplug ----

using Unplug = Card;

struct Completion {
    bool done = false;
    libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
};

void LIBUSB_CALL record_completion(libusb_transfer *t)
{
    auto *c = static_cast<Completion *>(t->user_data);
    c->status = t->status;
    c->done = true;
}

TEST_F(Unplug, TransfersInFlightEndWithNoDevice)
{
    VekemuCard *card = add();
    open();
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    std::vector<guint8> buf(8192);
    Completion c;
    libusb_transfer *t = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(t, h, 0x81, buf.data(), 8192, record_completion, &c, 0);
    ASSERT_EQ(libusb_submit_transfer(t), 0); // stream off: it waits
    vekemu_card_unplug(card);
    for (int i = 0; i < 100 && !c.done; i++) {
        timeval tv{0, 10000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    ASSERT_TRUE(c.done);
    EXPECT_EQ(c.status, LIBUSB_TRANSFER_NO_DEVICE);
    libusb_free_transfer(t);
    guint32 v = 0;
    EXPECT_EQ(ctl_in(1, 0, &v), LIBUSB_ERROR_NO_DEVICE);
}

// ---- the usbfs interface itself, as a careless client could use it ----

class Usbfs : public Card
{
  protected:
    int fd = -1;
    void SetUp() override
    {
        VekemuCard *card = add();
        ASSERT_NE(card, nullptr);
        g_autofree gchar *node = vekemu_card_devnode(card);
        fd = ::open(node, O_RDWR);
        ASSERT_GE(fd, 0) << node;
    }
    void TearDown() override
    {
        if (fd >= 0)
            ::close(fd);
        Card::TearDown();
    }
    int submit(usbdevfs_urb *urb) { return ioctl(fd, USBDEVFS_SUBMITURB, urb) == 0 ? 0 : errno; }
};

TEST_F(Usbfs, MalformedRequestsAreRefusedWithTheKernelsErrors)
{
    guint8 buf[64] = {};
    usbdevfs_urb urb{};
    urb.type = USBDEVFS_URB_TYPE_CONTROL;
    urb.buffer = buf;
    urb.buffer_length = 4; // shorter than a setup packet
    EXPECT_EQ(submit(&urb), EINVAL);
    buf[6] = 100; // wLength beyond the buffer
    urb.buffer_length = 16;
    EXPECT_EQ(submit(&urb), EINVAL);
    urb.type = USBDEVFS_URB_TYPE_BULK;
    urb.endpoint = 0x83; // no such endpoint
    EXPECT_EQ(submit(&urb), ENOENT);
    urb.endpoint = 0x81;
    urb.buffer_length = -1;
    EXPECT_EQ(submit(&urb), EINVAL);
    urb.buffer_length = 64 * 1024 * 1024;
    EXPECT_EQ(submit(&urb), ENOMEM);

    void *reaped = nullptr;
    EXPECT_EQ(ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(ioctl(fd, USBDEVFS_DISCARDURB, &urb), -1);
    EXPECT_EQ(errno, EINVAL);
    unsigned int iface = 7;
    EXPECT_EQ(ioctl(fd, USBDEVFS_CLAIMINTERFACE, &iface), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Usbfs, ControlUrbIsReapedWithTheAnswer)
{
    guint8 buf[8 + 4] = {IN, 1, 0, 0, 0, 0, 4, 0};
    usbdevfs_urb urb{};
    urb.type = USBDEVFS_URB_TYPE_CONTROL;
    urb.buffer = buf;
    urb.buffer_length = sizeof buf;
    ASSERT_EQ(submit(&urb), 0);
    void *reaped = nullptr;
    ASSERT_EQ(ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped), 0);
    EXPECT_EQ(reaped, &urb);
    EXPECT_EQ(urb.status, 0);
    EXPECT_EQ(urb.actual_length, 4);
    EXPECT_EQ(buf[8] | (buf[9] << 8) | (buf[10] << 16) | (guint32(buf[11]) << 24), 0x12030405u);
}

// ---- DFU boot loader ----

class Dfu : public Card
{
  protected:
    /* Long enough that two requests sent back to back on a loaded machine still fall
     * within one busy period. */
    static constexpr int kPollMs = 200;

    VekemuCard *add_dfu(guint busy_polls = 1)
    {
        VekemuCardConfig cfg;
        vekemu_dfu_config_init(&cfg);
        cfg.dfu_busy_polls = busy_polls;
        cfg.dfu_poll_timeout_ms = kPollMs;
        cfg.serial = "DFU-1";
        VekemuCard *card = vekemu_add_dfu_card(bed, &cfg, nullptr);
        EXPECT_NE(card, nullptr);
        return card;
    }

    int dnload(guint16 block, const guint8 *data, guint16 len)
    {
        return libusb_control_transfer(h, 0x21, 1, block, 0, const_cast<guint8 *>(data), len,
                                       TIMEOUT_MS);
    }

    int getstatus(guint8 st[6])
    {
        return libusb_control_transfer(h, 0xA1, 3, 0, 0, st, 6, TIMEOUT_MS);
    }
};

TEST_F(Dfu, InterfaceCarriesTheFunctionalDescriptor)
{
    add_dfu();
    open(VEKEMU_VID_NXP, VEKEMU_PID_NXP_DFU);
    libusb_config_descriptor *c = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(h), &c), 0);
    const libusb_interface_descriptor &alt = c->interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceClass, 0xFE);
    EXPECT_EQ(alt.bInterfaceSubClass, 0x01);
    EXPECT_EQ(alt.bInterfaceProtocol, 0x02);
    ASSERT_EQ(alt.extra_length, 9);
    EXPECT_EQ(alt.extra[1], 0x21);
    EXPECT_EQ(alt.extra[5] | (alt.extra[6] << 8), 1024);
    EXPECT_EQ(alt.extra[7] | (alt.extra[8] << 8), 0x0110);
    libusb_free_config_descriptor(c);
}

TEST_F(Dfu, DownloadBusyPollingAndReenumeration)
{
    VekemuCard *card = add_dfu(2);
    open(VEKEMU_VID_NXP, VEKEMU_PID_NXP_DFU);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    std::vector<guint8> image(2500);
    for (gsize i = 0; i < image.size(); i++)
        image[i] = static_cast<guint8>(i * 13 + 1);
    guint8 st[6];
    guint16 block = 0;
    for (gsize pos = 0; pos < image.size(); pos += 1024, block++) {
        guint16 len = static_cast<guint16>(std::min<gsize>(1024, image.size() - pos));
        ASSERT_EQ(dnload(block, image.data() + pos, len), len);
        // Two busy periods, then dfuDNLOAD-IDLE; asking early finds it busy.
        for (int poll = 0; poll < 2; poll++) {
            ASSERT_EQ(getstatus(st), 6);
            EXPECT_EQ(st[4], 4);
            EXPECT_EQ(st[1] | (st[2] << 8) | (st[3] << 16), kPollMs);
            if (poll == 0) {
                ASSERT_EQ(getstatus(st), 6);
                EXPECT_EQ(st[4], 4);
                EXPECT_GE(st[1] | (st[2] << 8), 1);
                EXPECT_LE(st[1] | (st[2] << 8), kPollMs);
            }
            g_usleep(kPollMs * 1000);
        }
        ASSERT_EQ(getstatus(st), 6);
        EXPECT_EQ(st[0], 0);
        EXPECT_EQ(st[4], 5);
    }
    ASSERT_EQ(dnload(block, nullptr, 0), 0);
    g_autoptr(GBytes) stored = vekemu_dfu_image(card);
    ASSERT_NE(stored, nullptr);
    gsize n = 0;
    auto *p = static_cast<const guint8 *>(g_bytes_get_data(stored, &n));
    EXPECT_EQ(std::vector<guint8>(p, p + n), image);

    ASSERT_EQ(libusb_reset_device(h), 0);
    libusb_close(h);
    h = nullptr;
    libusb_exit(ctx);
    ctx = nullptr;
    vekemu_bed_settle(bed);
    EXPECT_FALSE(vekemu_card_is_dfu(card));
    open();
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(libusb_get_device(h), &d);
    EXPECT_EQ(string_of(h, d.iSerialNumber), "DFU-1");
    EXPECT_EQ(count(VEKEMU_VID_NXP, VEKEMU_PID_NXP_DFU), 0);
}

TEST_F(Dfu, ErrorStatusAndShortStatusAnswer)
{
    VekemuCard *card = add_dfu(0);
    vekemu_dfu_fault_status(card, 0x03, 1);
    open(VEKEMU_VID_NXP, VEKEMU_PID_NXP_DFU);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    guint8 data[16] = {};
    guint8 st[6];
    ASSERT_EQ(dnload(0, data, 16), 16);
    ASSERT_EQ(getstatus(st), 6);
    EXPECT_EQ(st[4], 5);
    ASSERT_EQ(dnload(1, data, 16), 16);
    ASSERT_EQ(getstatus(st), 6);
    EXPECT_EQ(st[0], 0x03);
    EXPECT_EQ(st[4], 10);
    EXPECT_EQ(dnload(2, data, 16), LIBUSB_ERROR_PIPE);
    vekemu_dfu_set_status_length(card, 5);
    EXPECT_EQ(getstatus(st), 5);
    EXPECT_EQ(vekemu_dfu_image(card), nullptr);
}

// ---- a child process using this process's cards ----

const char *runner_path()
{
#ifdef VEKEMU_RUNNER_PATH
    return VEKEMU_RUNNER_PATH;
#else
    return g_getenv("VEKEMU_RUNNER");
#endif
}

const char *vekctl_path()
{
#ifdef VEKEMU_VEKCTL_PATH
    return VEKEMU_VEKCTL_PATH;
#else
    return g_getenv("VEKEMU_VEKCTL");
#endif
}

std::string run_child(VekemuBed *bed, const std::vector<std::string> &args, int *status)
{
    std::vector<gchar *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<gchar *>(a.c_str()));
    argv.push_back(nullptr);
    g_auto(GStrv) env = vekemu_child_environ(bed, args[0].c_str());
    g_autofree gchar *out = nullptr;
    g_autofree gchar *err = nullptr;
    gint wait = 0;
    if (!g_spawn_sync(nullptr, argv.data(), env,
                      static_cast<GSpawnFlags>(kSpawnFlags | G_SPAWN_SEARCH_PATH), nullptr, nullptr,
                      &out, &err, &wait, nullptr))
        return "<spawn failed>";
    *status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return std::string(out) + err;
}

using ChildProcess = Card;

TEST_F(ChildProcess, LsusbSeesTheCardsOfThisProcess)
{
    g_autofree gchar *lsusb = g_find_program_in_path("lsusb");
    if (lsusb == nullptr)
        GTEST_SKIP() << "lsusb is not installed; the usbutils package provides it";
    VekemuCardConfig cfg;
    vekemu_card_config_init(&cfg);
    cfg.serial = "CHILD-1";
    ASSERT_NE(vekemu_add_card(bed, &cfg, nullptr), nullptr);
    int status = -1;
    std::string out = run_child(bed, {"lsusb", "-v", "-d", "6b3e:0001"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("iSerial                 3 CHILD-1"), std::string::npos) << out;
}

TEST_F(ChildProcess, VekctlWritesReachTheCardInThisProcess)
{
    const char *vekctl = vekctl_path();
    if (vekctl == nullptr)
        GTEST_SKIP() << "vekctl is not part of this build";
    VekemuCard *card = add();
    int status = -1;
    std::string out = run_child(bed, {vekctl, "--cfr=868300000"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(vekemu_card_reg_get(card, 2, 1), 868300000u);
}

// ---- programs nobody here wrote, under the runner ----

std::string run_under_runner(const std::vector<std::string> &args, int *status)
{
    const char *runner = runner_path();
    std::vector<gchar *> argv{const_cast<gchar *>(runner)};
    for (const auto &a : args)
        argv.push_back(const_cast<gchar *>(a.c_str()));
    argv.push_back(nullptr);
    // The runner hosts its own bed: the child must not inherit this process's.
    g_auto(GStrv) env = g_get_environ();
    env = g_environ_unsetenv(env, "LD_PRELOAD");
    env = g_environ_unsetenv(env, "UMOCKDEV_DIR");
    g_autofree gchar *out = nullptr;
    g_autofree gchar *err = nullptr;
    gint wait = 0;
    if (!g_spawn_sync(nullptr, argv.data(), env, kSpawnFlags, nullptr, nullptr, &out, &err, &wait,
                      nullptr))
        return "<spawn failed>";
    *status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return std::string(out) + err;
}

class Runner : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (runner_path() == nullptr)
            GTEST_SKIP() << "the vekemu runner is not part of this build";
    }
    void need(const char *program)
    {
        g_autofree gchar *path = g_find_program_in_path(program);
        if (path == nullptr)
            GTEST_SKIP() << program << " is not installed; the usbutils / dfu-util "
                         << "packages provide it";
    }
};

TEST_F(Runner, LsusbReadsTheCardsDescriptorsAndStrings)
{
    need("lsusb");
    int status = -1;
    std::string out =
        run_under_runner({"--serial=RUN-7", "--", "lsusb", "-v", "-d", "6b3e:0001"}, &status);
    EXPECT_EQ(status, 0) << out;
    for (const char *line :
         {"idVendor           0x6b3e", "idProduct          0x0001",
          "iManufacturer           1 Kavrin", "iProduct                2 VEK radio card",
          "iSerial                 3 RUN-7", "bNumInterfaces          3",
          "bEndpointAddress     0x81  EP 1 IN", "bEndpointAddress     0x02  EP 2 OUT"})
        EXPECT_NE(out.find(line), std::string::npos) << "missing \"" << line << "\" in\n" << out;
}

TEST_F(Runner, DfuUtilListsTheBootLoader)
{
    need("dfu-util");
    int status = -1;
    std::string out = run_under_runner({"--cards=1", "--dfu=1", "--", "dfu-util", "-l"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Found DFU: [1fc9:000c] ver=0100"), std::string::npos) << out;
    EXPECT_NE(out.find("name=\"VEK boot loader\""), std::string::npos) << out;
    // The normal card is not a DFU device.
    EXPECT_EQ(out.find("6b3e:0001"), std::string::npos) << out;

    out = run_under_runner({"--cards=0", "--dfu=1", "--dfu-vek", "--", "dfu-util", "-l"}, &status);
    EXPECT_NE(out.find("Found DFU: [6b3e:8001]"), std::string::npos) << out;
}

TEST_F(Runner, DfuUtilDownloadsAnImageInTransferSizeBlocks)
{
    need("dfu-util");
    g_autofree gchar *dir = g_dir_make_tmp("vekemu-XXXXXX", nullptr);
    std::string file = std::string(dir) + "/fw.bin";
    std::string events = std::string(dir) + "/events.txt";
    std::string image(2500, 'x');
    ASSERT_TRUE(g_file_set_contents(file.c_str(), image.data(), image.size(), nullptr));
    int status = -1;
    std::string out = run_under_runner({"--cards=0", "--dfu=1", "--events=" + events, "--",
                                        "dfu-util", "-d", "1fc9:000c", "-D", file},
                                       &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Download done."), std::string::npos) << out;
    g_autofree gchar *log = nullptr;
    ASSERT_TRUE(g_file_get_contents(events.c_str(), &log, nullptr, nullptr));
    std::string downloads;
    g_auto(GStrv) lines = g_strsplit(log, "\n", -1);
    for (gchar **l = lines; *l != nullptr; l++)
        if (strstr(*l, "type=0x21 request=1 ") != nullptr)
            downloads += std::string(*l) + "\n";
    EXPECT_EQ(downloads,
              "card 0 control type=0x21 request=1 value=0 index=0 length=1024 data=0x00000000\n"
              "card 0 control type=0x21 request=1 value=1 index=0 length=1024 data=0x00000000\n"
              "card 0 control type=0x21 request=1 value=2 index=0 length=452 data=0x00000000\n"
              "card 0 control type=0x21 request=1 value=3 index=0 length=0 data=0x00000000\n");
    g_unlink(file.c_str());
    g_unlink(events.c_str());
    g_rmdir(dir);
}

TEST_F(Runner, HeldCardCannotBeOpenedByLsusb)
{
    need("lsusb");
    int status = -1;
    std::string out =
        run_under_runner({"--held=1", "--", "lsusb", "-v", "-d", "6b3e:0001"}, &status);
    EXPECT_NE(out.find("idVendor           0x6b3e"), std::string::npos) << out;
    EXPECT_NE(out.find("Couldn't open device"), std::string::npos) << out;
}

TEST_F(Runner, VekctlReadsTheRegistersTheRunnerSet)
{
    const char *vekctl = vekctl_path();
    if (vekctl == nullptr)
        GTEST_SKIP() << "vekctl is not part of this build";
    int status = -1;
    std::string out = run_under_runner(
        {"--set=4:1=-52", "--error=5", "--error=7", "--", vekctl, "--hwinfo", "--errors", "--temp"},
        &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ZEP_002_V3.4 [5]"), std::string::npos) << out;
    EXPECT_NE(out.find("0x00000005 0x00000007 0x00000000"), std::string::npos) << out;
    EXPECT_NE(out.find("-5.2"), std::string::npos) << out;
}

TEST_F(Runner, CardsGoAwayAndComeBackOnTheirScheduleAndOnSignals)
{
    need("lsusb");
    /* The program looks at the bus well inside each period (unplug at 1 s,
     * back 1.5 s later), then has the runner do the same on signals. */
    const char *script = "lsusb -d 6b3e:0001 >/dev/null && echo present || echo absent; sleep 1.7; "
                         "lsusb -d 6b3e:0001 >/dev/null && echo present || echo absent; sleep 1.5; "
                         "lsusb -d 6b3e:0001 >/dev/null && echo present || echo absent; "
                         "kill -USR1 $PPID; sleep 0.5; "
                         "lsusb -d 6b3e:0001 >/dev/null && echo present || echo absent; "
                         "kill -USR2 $PPID; sleep 0.5; "
                         "lsusb -d 6b3e:0001 >/dev/null && echo present || echo absent";
    int status = -1;
    const std::string out = run_under_runner(
        {"--unplug-after=1", "--replug-after=1.5", "--", "sh", "-c", script}, &status);
    EXPECT_EQ(status, 0) << out;
    const gsize unplugged = out.find("cards unplugged"), plugged = out.find("cards plugged in");
    EXPECT_NE(unplugged, std::string::npos) << out;
    EXPECT_NE(plugged, std::string::npos) << out;
    std::string seen;
    g_auto(GStrv) lines = g_strsplit(out.c_str(), "\n", -1);
    for (guint i = 0; lines[i] != nullptr; i++)
        if (g_str_equal(lines[i], "present") || g_str_equal(lines[i], "absent"))
            seen += lines[i][0];
    EXPECT_EQ(seen, "papap") << out;
}

TEST_F(Runner, ExitStatusIsTheProgramsOrTheToolsConvention)
{
    int status = -1;
    run_under_runner({"--", "sh", "-c", "exit 3"}, &status);
    EXPECT_EQ(status, 3);
    run_under_runner({"--cards=x", "--", "true"}, &status);
    EXPECT_EQ(status, 2);
    run_under_runner({}, &status);
    EXPECT_EQ(status, 2);
    run_under_runner({"--set=2:1", "--", "true"}, &status);
    EXPECT_EQ(status, 2);
    run_under_runner({"--set=2:1=-5", "--error=0x10", "--", "true"}, &status);
    EXPECT_EQ(status, 0);
    run_under_runner({"--events=/nonexistent/dir/ev.txt", "--", "true"}, &status);
    EXPECT_EQ(status, 1);
    run_under_runner({"--", "/nonexistent/program"}, &status);
    EXPECT_EQ(status, 127);
}

} // namespace
