/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The USB context taken and dropped by several threads at once: scans and
 * opens from any thread must neither lose nor double a reference. */
#include <atomic>
#include <thread>
#include <vector>

#include "stream_fixture.h"

namespace
{

class ContextThreads : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();

    void add(const gchar *serial)
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        cfg.serial = serial;
        g_autoptr(GError) err = nullptr;
        ASSERT_NE(vekemu_add_card(bed, &cfg, &err), nullptr) << (err ? err->message : "");
    }

    void TearDown() override { vekemu_bed_remove_all(bed); }
};

TEST_F(ContextThreads, ConcurrentOpensAndScansKeepTheCountBalanced)
{
    add("A");
    add("B");
    constexpr int kThreads = 4;
    constexpr int kRounds = 8;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kRounds; i++) {
                GError *err = nullptr;
                if (t % 2 == 0) {
                    VekDevice *dev = nullptr;
                    if (!xvek_device_new_with_mode(static_cast<guint32>(t / 2),
                                                   XVEK_OPEN_MODE_CTL_ONLY, &dev, &err) ||
                        !xvek_ctrl_ping(dev, &err))
                        failures++;
                    if (dev != nullptr)
                        g_object_unref(dev);
                } else {
                    guint32 nb = 0;
                    if (!xvek_scan_get_device_nb(&nb, &err) || nb != 2)
                        failures++;
                }
                g_clear_error(&err);
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);

    /* Every reference was dropped: the context is gone and a new card shows. */
    add("C");
    guint32 nb = 0;
    ASSERT_TRUE(xvek_scan_get_device_nb(&nb, nullptr));
    EXPECT_EQ(nb, 3u);
}

} // namespace
