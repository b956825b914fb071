/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The library log before any callback is registered (a process of its own:
 * registrations last for the life of the process). */
#include <gtest/gtest.h>

#include <xvek/xvek.h>

namespace
{

gboolean gCalled = FALSE;

gboolean never(VekDevice *, const gchar *)
{
    gCalled = TRUE;
    return TRUE;
}

TEST(XvekLogUnregistered, LogsNothingUntilACallbackIsRegistered)
{
    EXPECT_FALSE(xvek_log_is_init(nullptr));
    EXPECT_FALSE(xvek_log(LOG_LEVEL_ERR, "x=%d", 5));

    /* A refused registration leaves the log unregistered. */
    testing::internal::CaptureStdout();
    EXPECT_FALSE(xvek_logSetCB(nullptr, never, nullptr, nullptr, nullptr));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(xvek_log_is_init(nullptr));
    EXPECT_FALSE(xvek_log(LOG_LEVEL_INFO, "y"));
    EXPECT_FALSE(gCalled);
}

} // namespace
