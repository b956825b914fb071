/* SPDX-License-Identifier: GPL-2.0-or-later */
// The card under the load a streaming host puts on it: a pool of asynchronous bulk IN
// transfers kept in flight by an event thread while another thread sends control requests.
#include <vekemu/vekemu.h>

#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

constexpr int POOL = 16;
constexpr int LEN = 8192;

struct Pool {
    libusb_device_handle *h = nullptr;
    std::atomic<bool> stopping{false};
    std::atomic<int> in_flight{0};
    std::atomic<int> completions{0};
    std::atomic<int> no_device{0};
    // Written only on the event thread.
    guint32 next_word = 0;
    bool in_order = true;
    std::vector<guint8> buf[POOL];
    libusb_transfer *t[POOL] = {};
};

void LIBUSB_CALL on_complete(libusb_transfer *t)
{
    auto *p = static_cast<Pool *>(t->user_data);
    if (t->status == LIBUSB_TRANSFER_COMPLETED) {
        for (int i = 0; i + 4 <= t->actual_length; i += 4, p->next_word++) {
            const guint8 *b = t->buffer + i;
            guint32 w = b[0] | (b[1] << 8) | (b[2] << 16) | (guint32(b[3]) << 24);
            if (w != p->next_word)
                p->in_order = false;
        }
        p->completions++;
    }
    if (t->status == LIBUSB_TRANSFER_NO_DEVICE)
        p->no_device++;
    if (p->stopping || t->status == LIBUSB_TRANSFER_NO_DEVICE ||
        t->status == LIBUSB_TRANSFER_CANCELLED) {
        p->in_flight--;
        return;
    }
    int r = libusb_submit_transfer(t);
    if (r == LIBUSB_ERROR_NO_DEVICE)
        p->no_device++;
    if (r != 0)
        p->in_flight--;
}

class Streaming : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();
    libusb_context *ctx = nullptr;
    Pool pool;
    std::atomic<bool> quit{false};
    std::thread events;

    void SetUp() override
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        cfg.pacing = VEKEMU_PACING_FAST;
        card = vekemu_add_card(bed, &cfg, nullptr);
        ASSERT_NE(card, nullptr);
        ASSERT_EQ(libusb_init(&ctx), 0);
        pool.h = libusb_open_device_with_vid_pid(ctx, VEKEMU_VID_VEK, VEKEMU_PID_VEK);
        ASSERT_NE(pool.h, nullptr);
        ASSERT_EQ(libusb_claim_interface(pool.h, 0), 0);
        events = std::thread([this] {
            while (!quit) {
                timeval tv{0, 200000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            }
        });
        for (int i = 0; i < POOL; i++) {
            pool.buf[i].resize(LEN);
            pool.t[i] = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(pool.t[i], pool.h, 0x81, pool.buf[i].data(), LEN, on_complete,
                                      &pool, 400);
            ASSERT_EQ(libusb_submit_transfer(pool.t[i]), 0);
            pool.in_flight++;
        }
    }

    void TearDown() override
    {
        pool.stopping = true;
        for (auto *t : pool.t)
            if (t != nullptr)
                libusb_cancel_transfer(t);
        for (int i = 0; i < 500 && pool.in_flight > 0; i++)
            g_usleep(10000);
        EXPECT_EQ(pool.in_flight, 0);
        quit = true;
        if (events.joinable())
            events.join();
        for (auto *t : pool.t)
            libusb_free_transfer(t);
        if (pool.h != nullptr)
            libusb_close(pool.h);
        if (ctx != nullptr)
            libusb_exit(ctx);
        vekemu_bed_remove_all(bed);
    }

    int ctl(guint8 type, guint8 group, guint16 cmd, guint32 *value)
    {
        guint8 b[4] = {guint8(*value), guint8(*value >> 8), guint8(*value >> 16),
                       guint8(*value >> 24)};
        int r = libusb_control_transfer(pool.h, type, group, cmd, 0, b, 4, 2000);
        *value = b[0] | (b[1] << 8) | (b[2] << 16) | (guint32(b[3]) << 24);
        return r;
    }

    VekemuCard *card = nullptr;
};

TEST_F(Streaming, PoolReceivesTheStreamInOrderWhileControlRequestsRun)
{
    guint32 on = 1;
    ASSERT_EQ(ctl(0x43, 3, 0, &on), 4);
    for (int i = 0; i < 50; i++) {
        guint32 temp = 0;
        ASSERT_EQ(ctl(0xC3, 4, 1, &temp), 4);
        EXPECT_EQ(temp, 315u);
    }
    for (int i = 0; i < 500 && pool.completions < 200; i++)
        g_usleep(10000);
    guint32 off = 0;
    ASSERT_EQ(ctl(0x43, 3, 0, &off), 4);
    EXPECT_GE(pool.completions, 200);
    pool.stopping = true;
    for (auto *t : pool.t)
        libusb_cancel_transfer(t);
    for (int i = 0; i < 500 && pool.in_flight > 0; i++)
        g_usleep(10000);
    EXPECT_TRUE(pool.in_order);
    EXPECT_EQ(guint64(pool.next_word) * 4, vekemu_card_rx_bytes(card));
}

// Each transfer ends either with a "no device" completion or, when it had completed
// before the unplug, with a resubmission refused for "no device".
TEST_F(Streaming, UnplugEndsEveryTransferWithNoDevice)
{
    guint32 on = 1;
    ASSERT_EQ(ctl(0x43, 3, 0, &on), 4);
    for (int i = 0; i < 500 && pool.completions < 20; i++)
        g_usleep(10000);
    vekemu_card_unplug(card);
    for (int i = 0; i < 500 && pool.in_flight > 0; i++)
        g_usleep(10000);
    EXPECT_EQ(pool.in_flight, 0);
    EXPECT_EQ(pool.no_device, POOL);
    EXPECT_TRUE(pool.in_order);
    guint32 v = 0;
    EXPECT_EQ(ctl(0xC3, 1, 0, &v), LIBUSB_ERROR_NO_DEVICE);
}

} // namespace
