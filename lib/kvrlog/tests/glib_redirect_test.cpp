/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* GLib's own messages go to the logger's sink at WARN. */
#include "kvrlog_test_util.h"

using namespace kvrlog_test;

namespace
{

class KvrlogGlibRedirect : public ::testing::Test
{
  protected:
    /* A file sink at @level; returns FALSE when the case must be skipped. */
    void SetUpFileLogger(KvrlogLevel level)
    {
        path_ = dir_.file("glib.log");
        conf_ = make_conf(KVRLOG_HELPER_FILE, level, {{"file", path_}, {"modes", "w"}});
    }
    /* Lines written after the banner, without their date, time and program. */
    std::vector<std::string> Written()
    {
        kvrlog_close(nullptr);
        std::vector<std::string> lines = split_lines(read_file(path_));
        std::vector<std::string> tails;
        for (std::size_t i = 1; i < lines.size(); ++i)
            tails.push_back(lines[i].substr(lines[i].find(" tprog ") + 7));
        return tails;
    }
    /* The handler installed as GLib's default, put back at once. */
    static GLogFunc InstalledHandler()
    {
        GLogFunc installed = g_log_set_default_handler(g_log_default_handler, nullptr);
        g_log_set_default_handler(installed, nullptr);
        return installed;
    }
    void TearDown() override
    {
        kvrlog_close(nullptr);
        g_clear_object(&conf_);
    }
    TempDir dir_;
    std::string path_;
    KvrlogConf *conf_ = nullptr;
};

} // namespace

TEST_F(KvrlogGlibRedirect, WarningOfADomainIsWrittenAtWarnEvenAtLevelErr)
{
    SetUpFileLogger(KVRLOG_LEVEL_ERR);
    KVRLOG_SETUP_OR_SKIP(conf_);
    g_log("radio", G_LOG_LEVEL_WARNING, "careful %d", 3);
    const auto lines = Written();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0], "W [GLIB-radio WARN] careful 3");
}

TEST_F(KvrlogGlibRedirect, EveryGlibLevelHasItsTag)
{
    SetUpFileLogger(KVRLOG_LEVEL_ERR);
    KVRLOG_SETUP_OR_SKIP(conf_);
    g_log("d", G_LOG_LEVEL_CRITICAL, "crit");
    g_log("d", G_LOG_LEVEL_MESSAGE, "msg");
    g_log(nullptr, G_LOG_LEVEL_INFO, "info");
    g_log(nullptr, G_LOG_LEVEL_DEBUG, "debug");
    const auto lines = Written();
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[0], "W [GLIB-d CRIT] crit");
    EXPECT_EQ(lines[1], "W [GLIB-d MSG] msg");
    EXPECT_EQ(lines[2], "W [GLIB INFO] info");
    EXPECT_EQ(lines[3], "W [GLIB DBG] debug");
}

TEST_F(KvrlogGlibRedirect, FatalErrorWithoutDomainListsBothFlags)
{
    SetUpFileLogger(KVRLOG_LEVEL_INFO);
    KVRLOG_SETUP_OR_SKIP(conf_);
    /* GLib aborts after a real fatal message, so the handler is called directly. */
    GLogFunc handler = InstalledHandler();
    ASSERT_NE(handler, g_log_default_handler);
    handler(nullptr, static_cast<GLogLevelFlags>(G_LOG_FLAG_FATAL | G_LOG_LEVEL_ERROR), "boom",
            nullptr);
    EXPECT_NE(read_file(path_).find("boom\n"), std::string::npos)
        << "a fatal message reaches the file before GLib aborts";
    const auto lines = Written();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0], "W [GLIB FATAL-ERROR] boom");
}

TEST_F(KvrlogGlibRedirect, CallbackSinkLeavesGlibMessagesToGlib)
{
    conf_ =
        kvrlog_conf_new_with_options("type", static_cast<guint>(KVRLOG_HELPER_CALLBACK), nullptr);
    conf_->helper.callback.cb = capture_callback;
    captured().clear();
    KVRLOG_SETUP_OR_SKIP(conf_);
    EXPECT_EQ(InstalledHandler(), g_log_default_handler);
    g_log("quiet", G_LOG_LEVEL_DEBUG, "not for the logger");
    EXPECT_TRUE(captured().empty());
}

TEST_F(KvrlogGlibRedirect, SendsGlibMessagesToStandardErrorAfterClose)
{
    SetUpFileLogger(KVRLOG_LEVEL_INFO);
    KVRLOG_SETUP_OR_SKIP(conf_);
    ASSERT_TRUE(kvrlog_close(nullptr));
    EXPECT_NE(InstalledHandler(), g_log_default_handler) << "the handler stays installed";
    g_unsetenv("G_MESSAGES_DEBUG");
    StderrCapture capture;
    g_log("late", G_LOG_LEVEL_MESSAGE, "after close");
    g_log(nullptr, G_LOG_LEVEL_CRITICAL, "critical after close");
    g_log("late", G_LOG_LEVEL_DEBUG, "debug GLib itself hides");
    EXPECT_EQ(capture.text(), "[GLIB-late MSG] after close\n[GLIB CRIT] critical after close\n");
    EXPECT_EQ(split_lines(read_file(path_)).size(), 1U);
}
