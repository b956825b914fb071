/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Expectation hooks for tests of programs that log through the library. */
#include "kvrlog_test_util.h"

using namespace kvrlog_test;

namespace
{

/* Runs the default main context for @ms milliseconds. */
void run_main_loop(guint ms)
{
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(
        ms,
        [](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop *>(data));
            return G_SOURCE_REMOVE;
        },
        loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
}

class HooksTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        kvrlog_test_cleanall();
        g_unsetenv("KVRLOG_ENABLE");
        g_unsetenv("KVRLOG_NO_TIMESTAMP");
        g_unsetenv("KVRLOG_FULL_TIMESTAMP");
    }
};

std::string message_of(GError *error)
{
    std::string message = error != nullptr ? error->message : "(no error)";
    g_clear_error(&error);
    return message;
}

} // namespace

using KvrlogTestLogger = HooksTest;

TEST_F(KvrlogTestLogger, PrintsNothingWithoutKvrlogEnable)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    g_unsetenv("KVRLOG_ENABLE");
    StderrCapture capture;
    kvrlog_test_unittest_setup();
    ASSERT_NE(gsKvrlogConf, nullptr);
    EXPECT_EQ(gsKvrlogConf->level, KVRLOG_LEVEL_DEBUG);
    EXPECT_EQ(gsKvrlogConf->trace, G_MAXUINT64);
    KVRLOG_INFO("silent");
    EXPECT_EQ(capture.text(), "");
}

TEST_F(KvrlogTestLogger, PrintsLevelAndTextWithoutTimestamp)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    g_setenv("KVRLOG_ENABLE", "", TRUE);
    g_setenv("KVRLOG_NO_TIMESTAMP", "0", TRUE);
    StderrCapture capture;
    kvrlog_test_unittest_setup();
    KVRLOG_INFO("value %d", 12);
    EXPECT_EQ(capture.text(), "[I]  value 12\n");
}

TEST_F(KvrlogTestLogger, PrefixesTheTimeSinceSetup)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    g_setenv("KVRLOG_ENABLE", "1", TRUE);
    StderrCapture capture;
    kvrlog_test_unittest_setup();
    KVRLOG_WARN("late");
    const std::string text = capture.text();
    EXPECT_TRUE(g_regex_match_simple("^0\\.[0-9]{6} \\[W\\]  late\\n$", text.c_str(),
                                     G_REGEX_DOLLAR_ENDONLY, static_cast<GRegexMatchFlags>(0)))
        << text;
}

TEST_F(KvrlogTestLogger, PrefixesTheWallClockWithFullTimestamp)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    g_setenv("KVRLOG_ENABLE", "1", TRUE);
    g_setenv("KVRLOG_FULL_TIMESTAMP", "1", TRUE);
    StderrCapture capture;
    kvrlog_test_unittest_setup();
    KVRLOG_ERROR("now");
    const std::string text = capture.text();
    EXPECT_TRUE(g_regex_match_simple(
        "^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} \\[E\\]  now\\n$",
        text.c_str(), G_REGEX_DOLLAR_ENDONLY, static_cast<GRegexMatchFlags>(0)))
        << text;
}

TEST_F(KvrlogTestLogger, LeavesTheConfigurationOfAnotherSinkIntact)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    TempDir dir;
    const std::string path = dir.file("x.log");
    KvrlogConf *file_conf =
        make_conf(KVRLOG_HELPER_FILE, KVRLOG_LEVEL_INFO, {{"file", path}, {"modes", "w"}});
    StderrCapture capture;
    kvrlog_test_unittest_setup();
    EXPECT_EQ(gsKvrlogConf, nullptr) << "nothing is installed over another sink";
    EXPECT_EQ(std::string(file_conf->helper.file.filename), path);
    EXPECT_STREQ(file_conf->helper.file.modes, "w");
    kvrlog_conf_unref(file_conf);

    KvrlogConf *fd_conf = make_conf(KVRLOG_HELPER_FD, KVRLOG_LEVEL_INFO, {{"fd", "STDERR"}});
    kvrlog_test_unittest_setup();
    EXPECT_EQ(fd_conf->helper.fd.file, stderr);
    EXPECT_EQ(gsKvrlogConf, nullptr);
    const std::string refusals = capture.text();
    EXPECT_NE(refusals.find("a logger configuration of type file exists"), std::string::npos)
        << refusals;
    EXPECT_NE(refusals.find("a logger configuration of type fd exists"), std::string::npos)
        << refusals;

    /* The host's own setup still works with its untouched settings. */
    KVRLOG_SETUP_OR_SKIP(fd_conf);
    KVRLOG_WARN("through the fd sink");
    EXPECT_NE(capture.text().find(" W through the fd sink\n"), std::string::npos);
    kvrlog_close(nullptr);
    kvrlog_conf_unref(fd_conf);
}

using KvrlogExpected = HooksTest;

TEST_F(KvrlogExpected, EntryWithoutObjectMatchesAnyObject)
{
    int object = 0;
    kvrlog_test_expect_message(KVRLOG_LEVEL_INFO, 2, nullptr, "frame %d *", 7);
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 2, &object, "frame 7 of %s", "dev"), "[e]");
    EXPECT_TRUE(kvrlog_test_expected_check(nullptr));
}

TEST_F(KvrlogExpected, EntryWithAnObjectMatchesOnlyThatObject)
{
    int object = 0;
    int other = 0;
    kvrlog_test_expect_message(KVRLOG_LEVEL_ERR, 0, &object, "fail?");
    EXPECT_EQ(kvrlog_test_message(KVRLOG_LEVEL_ERR, 0, &other, "fail1"), nullptr);
    EXPECT_EQ(kvrlog_test_message(KVRLOG_LEVEL_ERR, 0, nullptr, "fail1"), nullptr);
    EXPECT_EQ(kvrlog_test_message(KVRLOG_LEVEL_WARN, 0, &object, "fail1"), nullptr);
    EXPECT_EQ(kvrlog_test_message(KVRLOG_LEVEL_ERR, 1, &object, "fail1"), nullptr);
    EXPECT_EQ(kvrlog_test_message(KVRLOG_LEVEL_ERR, 0, &object, "fail12"), nullptr);
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_ERR, 0, &object, "fail1"), "[e]");
}

TEST_F(KvrlogExpected, EntriesAreMetStrictlyInOrder)
{
    kvrlog_test_expect_message(KVRLOG_LEVEL_INFO, 1, nullptr, "A*");
    kvrlog_test_expect_message(KVRLOG_LEVEL_INFO, 1, nullptr, "B*");
    EXPECT_EQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 1, nullptr, "B first"), nullptr);
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_test_expected_check(&error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, static_cast<GQuark>(KVRLOG_ERRDOM));
    EXPECT_EQ(error->code, 0);
    EXPECT_EQ(message_of(error), "Did not see expected message (l:I,t:1,p:(nil)): A*");
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 1, nullptr, "A then"), "[e]");
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 1, nullptr, "B then"), "[e]");
    EXPECT_TRUE(kvrlog_test_expected_check(nullptr));
}

TEST_F(KvrlogExpected, PatternsAcceptThe64BitModifier)
{
    kvrlog_test_expect_message(KVRLOG_LEVEL_DEBUG, 0, nullptr, "id %016I64x at *",
                               G_GUINT64_CONSTANT(0xabc));
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_DEBUG, 0, nullptr, "id %s at %I64u",
                                     "0000000000000abc", G_MAXUINT64),
                 "[e]");
}

using KvrlogWaited = HooksTest;

TEST_F(KvrlogWaited, FailsTheCheckOnceItsTimeoutElapses)
{
    kvrlog_test_wait_message(1, KVRLOG_LEVEL_INFO, 0, nullptr, "late %s", "one");
    gboolean next = FALSE;
    EXPECT_TRUE(kvrlog_test_waited_check(nullptr, &next));
    EXPECT_TRUE(next);
    run_main_loop(1300);
    GError *error = nullptr;
    next = TRUE;
    EXPECT_FALSE(kvrlog_test_waited_check(&error, &next));
    EXPECT_FALSE(next);
    EXPECT_EQ(message_of(error), "Did not see on time waited message (l:I,t:0,p:(nil)): late one");
    EXPECT_EQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 0, nullptr, "late one"), nullptr)
        << "a timed-out entry matches nothing";
}

TEST_F(KvrlogWaited, MatchedInTimeLeavesTheCheckPassing)
{
    kvrlog_test_wait_message(1, KVRLOG_LEVEL_WARN, 3, nullptr, "quick");
    run_main_loop(200);
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_WARN, 3, nullptr, "quick"), "[ew]");
    run_main_loop(1000);
    gboolean next = TRUE;
    EXPECT_TRUE(kvrlog_test_waited_check(nullptr, &next));
    EXPECT_FALSE(next);
}

TEST_F(KvrlogWaited, NextTimerStartsWhenThePreviousEntryIsMatched)
{
    /* Margins of half a second or more either way, for a loaded machine. */
    kvrlog_test_wait_message(2, KVRLOG_LEVEL_INFO, 0, nullptr, "first");
    kvrlog_test_wait_message(2, KVRLOG_LEVEL_INFO, 0, nullptr, "second");
    run_main_loop(1000);
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 0, nullptr, "first"), "[ew]");
    run_main_loop(1500);
    /* 2.5 s after registration, 1.5 s after its turn came. */
    gboolean next = FALSE;
    EXPECT_TRUE(kvrlog_test_waited_check(nullptr, &next));
    EXPECT_TRUE(next);
    run_main_loop(1000);
    EXPECT_FALSE(kvrlog_test_waited_check(nullptr, &next));
}

TEST_F(KvrlogWaited, TagsTellWhichListsMatched)
{
    kvrlog_test_expect_message(KVRLOG_LEVEL_INFO, 0, nullptr, "both");
    kvrlog_test_wait_message(5, KVRLOG_LEVEL_INFO, 0, nullptr, "both");
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 0, nullptr, "both"), "[w]");
    kvrlog_test_expect_message(KVRLOG_LEVEL_INFO, 0, nullptr, "expected");
    kvrlog_test_wait_message(5, KVRLOG_LEVEL_INFO, 0, nullptr, "waited");
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 0, nullptr, "waited"), "[ew]");
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 0, nullptr, "expected"), "[e]");
    EXPECT_EQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 0, nullptr, "neither"), nullptr);
}

TEST_F(KvrlogWaited, CleanallDropsWaitedEntriesAndTheirTimers)
{
    kvrlog_test_expect_message(KVRLOG_LEVEL_INFO, 0, nullptr, "kept");
    kvrlog_test_wait_message(0, KVRLOG_LEVEL_INFO, 0, nullptr, "dropped");
    kvrlog_test_cleanall();
    run_main_loop(100);
    gboolean next = TRUE;
    EXPECT_TRUE(kvrlog_test_waited_check(nullptr, &next));
    EXPECT_FALSE(next);
    EXPECT_FALSE(kvrlog_test_expected_check(nullptr));
    EXPECT_STREQ(kvrlog_test_message(KVRLOG_LEVEL_INFO, 0, nullptr, "kept"), "[e]");
}
