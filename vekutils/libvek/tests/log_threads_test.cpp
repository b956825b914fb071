/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The library log called from several threads at once, as the USB event
 * thread and the application's threads do. */
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <xvek/xvek.h>

namespace
{

std::atomic<int> gLines{0};
std::atomic<int> gBadLines{0};

gboolean count_line(VekDevice *, const gchar *line)
{
    /* Each thread logs "INFO: t<k> n<i>"; a torn or mixed line fails this. */
    int k = -1;
    int i = -1;
    if (std::sscanf(line, "INFO: t%d n%d", &k, &i) != 2 || k < 0 || i < 0)
        gBadLines++;
    gLines++;
    return TRUE;
}

TEST(XvekLogThreads, ConcurrentLinesArriveWholeAndAllOfThem)
{
    VekDevice *device = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    ASSERT_TRUE(xvek_logSetCB(device, count_line, nullptr, nullptr, nullptr));

    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; k++) {
        threads.emplace_back([k, &refused] {
            for (int i = 0; i < kLines; i++) {
                if (!xvek_log(LOG_LEVEL_INFO, "t%d n%d", k, i))
                    refused++;
            }
        });
    }
    /* Re-registering the same callback meanwhile must not lose lines. */
    for (int i = 0; i < 100; i++)
        xvek_logSetCB(device, count_line, nullptr, nullptr, nullptr);
    for (auto &t : threads)
        t.join();

    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(gLines.load(), kThreads * kLines);
    EXPECT_EQ(gBadLines.load(), 0);
    /* Leave a live device registered: the object goes away now. */
    static VekDevice *keeper = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    xvek_logSetCB(keeper, count_line, nullptr, nullptr, nullptr);
    g_object_unref(device);
}

} // namespace
