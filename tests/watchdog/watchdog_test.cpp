/* SPDX-License-Identifier: GPL-2.0-or-later */
// A test that runs out of time explains itself: the watchdog prints every thread's stack
// before the process ends.
#include <glib.h>
#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(Watchdog, HangingTestPrintsEveryThreadsStackAndFails)
{
    const gchar *argv[] = {VEK_WATCHDOG_HANG_HELPER, nullptr};
    g_autofree gchar *out = nullptr;
    g_autofree gchar *err = nullptr;
    gint status = 0;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                             nullptr, &out, &err, &status, &error))
        << error->message;
    const std::string text = std::string(out) + err;
    EXPECT_FALSE(g_spawn_check_wait_status(status, nullptr)) << text;
    EXPECT_NE(text.find("watchdog: HangHelper.WaitsForever still running after 1 s"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("main_thread_waits_forever"), std::string::npos) << text;
    EXPECT_NE(text.find("helper_thread_waits_forever"), std::string::npos) << text;
}

} // namespace
