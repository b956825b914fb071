/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Logger core: message assembly, stream logging, setup and close, the gate, trace registry. */
#include "kvrlog_test_util.h"

#include <cstdio>
#include <cstring>

using namespace kvrlog_test;

namespace
{

/* A callback-sink logger at @level; the callback sink puts a blank before each message. */
class CallbackLogger : public ::testing::Test
{
  protected:
    void SetUpLogger(KvrlogLevel level = KVRLOG_LEVEL_DEBUG)
    {
        conf_ = kvrlog_conf_new_with_options("type", static_cast<guint>(KVRLOG_HELPER_CALLBACK),
                                             "level", static_cast<guint>(level), nullptr);
        conf_->helper.callback.cb = capture_callback;
        captured().clear();
    }
    void TearDown() override
    {
        kvrlog_close(nullptr);
        g_clear_object(&conf_);
    }
    KvrlogConf *conf_ = nullptr;
};

FILE *memory_stream(const char *text)
{
    return fmemopen(const_cast<char *>(text), std::strlen(text), "r");
}

} // namespace

using KvrlogMessage = CallbackLogger;

TEST_F(KvrlogMessage, CutsAnOverlongMessageTo509CharactersAndALineFeed)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    const std::string text(600, 'x');
    kvrlog_log(KVRLOG_LEVEL_INFO, nullptr, "%s", text.c_str());
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text, " " + std::string(509, 'x') + "\n");
    EXPECT_EQ(captured()[0].level, KVRLOG_LEVEL_INFO);
}

TEST_F(KvrlogMessage, KeepsA509CharacterMessageWhole)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    const std::string text(508, 'y');
    kvrlog_log(KVRLOG_LEVEL_WARN, nullptr, "%sz", text.c_str());
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text, " " + text + "z\n");
}

TEST_F(KvrlogMessage, PutsOneBlankBetweenPrefixAndMessage)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    kvrlog_log(KVRLOG_LEVEL_ERR, "Ctx:", "value %d", 42);
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text, " Ctx: value 42\n");
}

TEST_F(KvrlogMessage, OverlongPrefixStaysWithinTheBuffer)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    const std::string prefix(700, 'p');
    kvrlog_log(KVRLOG_LEVEL_ERR, prefix.c_str(), "tail");
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text, " " + std::string(509, 'p') + "\n");
}

TEST_F(KvrlogMessage, LogSWritesConversionsLiterally)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    kvrlog_log_s(KVRLOG_LEVEL_INFO, "100%d done %s");
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text, " 100%d done %s\n");
}

TEST_F(KvrlogMessage, FormatsTheI64ModifierAs64BitConversions)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    const guint64 big = G_MAXUINT64;
    const guint64 pattern = G_GUINT64_CONSTANT(0xdeadbeefcafe);
    const gint64 negative = G_MININT64;
    const std::size_t size = 7;
    kvrlog_log(KVRLOG_LEVEL_INFO, nullptr, "%I64u %016I64x %I64d %zu %%I64u %-4I64u|", big, pattern,
               negative, size, G_GUINT64_CONSTANT(5));
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text,
              " 18446744073709551615 0000deadbeefcafe -9223372036854775808 7 %I64u 5   |\n");
}

TEST_F(KvrlogMessage, IsDroppedBeforeSetupAndAfterClose)
{
    SetUpLogger();
    kvrlog_log(KVRLOG_LEVEL_ERR, nullptr, "too early");
    EXPECT_TRUE(captured().empty());
    KVRLOG_SETUP_OR_SKIP(conf_);
    kvrlog_log(KVRLOG_LEVEL_ERR, nullptr, "on time");
    ASSERT_TRUE(kvrlog_close(nullptr));
    kvrlog_log(KVRLOG_LEVEL_ERR, nullptr, "too late");
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text, " on time\n");
    EXPECT_EQ(gsKvrlogConf, nullptr);
}

TEST_F(KvrlogMessage, CallbackSinkTagsTheThreadWhenAsked)
{
    SetUpLogger();
    g_object_set(conf_, "threads", TRUE, nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    kvrlog_log(KVRLOG_LEVEL_INFO, nullptr, "tagged");
    const std::string longest(509, 'l');
    kvrlog_log(KVRLOG_LEVEL_INFO, nullptr, "%s", longest.c_str());
    ASSERT_EQ(captured().size(), 2U);
    EXPECT_TRUE(g_regex_match_simple("^\\[[0-9a-f]{8,}\\]  tagged\\n$", captured()[0].text.c_str(),
                                     G_REGEX_DOLLAR_ENDONLY, static_cast<GRegexMatchFlags>(0)))
        << captured()[0].text;
    const std::string &text = captured()[1].text;
    EXPECT_EQ(text.substr(text.find("]  ") + 3), longest + "\n")
        << "the tag costs the message no text and no line feed";
}

using KvrlogLogFd = CallbackLogger;

TEST_F(KvrlogLogFd, EmptyFormatLogsEveryLineFollowedByAnEmptyLine)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    FILE *stream = memory_stream("a\nb");
    kvrlog_log_fd(KVRLOG_LEVEL_INFO, stream, KVRLOG_EMPTY_FORMAT, 1, 2, 3);
    std::fclose(stream);
    ASSERT_EQ(captured().size(), 2U);
    EXPECT_EQ(captured()[0].text, " a\n\n");
    EXPECT_EQ(captured()[1].text, " b\n\n");
}

TEST_F(KvrlogLogFd, RepeatsTheHeaderForEveryLine)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    FILE *stream = memory_stream("one\n\n\ntwo\n");
    kvrlog_log_fd(KVRLOG_LEVEL_WARN, stream, "cmd %d: ", 7);
    std::fclose(stream);
    ASSERT_EQ(captured().size(), 4U);
    EXPECT_EQ(captured()[0].text, " cmd 7: one\n\n");
    EXPECT_EQ(captured()[1].text, " cmd 7: \n\n");
    EXPECT_EQ(captured()[3].text, " cmd 7: two\n\n");
    EXPECT_EQ(captured()[3].level, KVRLOG_LEVEL_WARN);
}

TEST_F(KvrlogLogFd, SplitsAnOverlongLineIntoPiecesWithoutLosingText)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    std::string line;
    for (int i = 0; i < 1500; ++i)
        line += static_cast<char>('a' + i % 26);
    const std::string input = line + "\n";
    FILE *stream = memory_stream(input.c_str());
    kvrlog_log_fd(KVRLOG_LEVEL_INFO, stream, "h:");
    std::fclose(stream);
    ASSERT_GE(captured().size(), 3U);
    std::string joined;
    for (const auto &piece : captured()) {
        ASSERT_EQ(piece.text.substr(0, 3), " h:");
        ASSERT_EQ(piece.text.substr(piece.text.size() - 2), "\n\n");
        EXPECT_LE(piece.text.size(), 511U);
        joined += piece.text.substr(3, piece.text.size() - 5);
    }
    EXPECT_EQ(joined, line);
}

TEST_F(KvrlogLogFd, OverlongHeaderStillMakesProgress)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    const std::string header(800, 'H');
    FILE *stream = memory_stream("first\nsecond\n");
    kvrlog_log_fd(KVRLOG_LEVEL_INFO, stream, "%s", header.c_str());
    std::fclose(stream);
    ASSERT_EQ(captured().size(), 2U);
    for (const auto &piece : captured()) {
        EXPECT_LE(piece.text.size(), 511U);
        EXPECT_EQ(piece.text.substr(0, 4), " HHH");
    }
    EXPECT_NE(captured()[0].text.find("Hfirst\n\n"), std::string::npos);
    EXPECT_NE(captured()[1].text.find("Hsecond\n\n"), std::string::npos);
}

using KvrlogSetup = CallbackLogger;

TEST_F(KvrlogSetup, CallbackSinkWritesNoBanner)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    EXPECT_TRUE(captured().empty());
    EXPECT_EQ(gsKvrlogConf, conf_);
}

TEST_F(KvrlogSetup, RefusesASecondSetupAndKeepsTheFirst)
{
    SetUpLogger();
    KVRLOG_SETUP_OR_SKIP(conf_);
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_setup(conf_, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, static_cast<GQuark>(KVRLOG_ERRDOM));
    EXPECT_EQ(error->code, KVRLOG_ERR);
    g_error_free(error);
    kvrlog_log(KVRLOG_LEVEL_INFO, nullptr, "still here");
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(gsKvrlogConf, conf_);
}

TEST_F(KvrlogSetup, RefusesASinkTypeWithoutSink)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    for (const auto type : {KVRLOG_HELPER_SYSLOG, KVRLOG_HELPER_MAX}) {
        EXPECT_EQ(kvrlog_get_helper(type), nullptr);
    }
    conf_ = kvrlog_conf_new_with_options("type", static_cast<guint>(KVRLOG_HELPER_SYSLOG), nullptr);
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_setup(conf_, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, static_cast<GQuark>(KVRLOG_ERRDOM));
    EXPECT_EQ(error->code, KVRLOG_ERR_VALUE);
    g_error_free(error);
    EXPECT_EQ(gsKvrlogConf, nullptr);
}

TEST_F(KvrlogSetup, CloseWithoutSetupSucceeds)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    EXPECT_TRUE(kvrlog_close(nullptr));
    EXPECT_EQ(gsKvrlogConf, nullptr);
}

TEST_F(KvrlogSetup, FailedSetupPublishesTheConfigurationButWritesNothing)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    TempDir dir;
    const std::string path = dir.file("missing/x.log");
    conf_ = make_conf(KVRLOG_HELPER_FILE, KVRLOG_LEVEL_DEBUG, {{"file", path}, {"modes", "a"}});
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_setup(conf_, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRLOG_ERR);
    EXPECT_EQ(std::string(error->message), "cannot open " + path + ": No such file or directory");
    g_error_free(error);
    EXPECT_EQ(gsKvrlogConf, conf_);
    EXPECT_TRUE(KVRLOG_LEVEL_ENABLED(KVRLOG_LEVEL_ERR));
    kvrlog_log(KVRLOG_LEVEL_ERR, nullptr, "dropped");
    FILE *stream = memory_stream("dropped too\n");
    kvrlog_log_fd(KVRLOG_LEVEL_ERR, stream, KVRLOG_EMPTY_FORMAT);
    std::fclose(stream);
    EXPECT_FALSE(file_exists(path));
}

namespace
{
int gsEvaluations = 0;
int evaluated()
{
    return ++gsEvaluations;
}
} // namespace

using KvrlogGate = CallbackLogger;

TEST_F(KvrlogGate, EvaluatesNoArgumentOfADisabledMessage)
{
    gsEvaluations = 0;
    KVRLOG_ERROR("no logger %d", evaluated());
    EXPECT_EQ(gsEvaluations, 0);

    SetUpLogger(KVRLOG_LEVEL_WARN);
    KVRLOG_SETUP_OR_SKIP(conf_);
    KVRLOG_INFO("below %d", evaluated());
    KVRLOG_DEBUG("below %d", evaluated());
    EXPECT_EQ(gsEvaluations, 0);
    EXPECT_TRUE(captured().empty());
    KVRLOG_WARN("at %d", evaluated());
    KVRLOG_ERROR("above %d", evaluated());
    EXPECT_EQ(gsEvaluations, 2);
    ASSERT_EQ(captured().size(), 2U);
    EXPECT_EQ(captured()[0].text, " at 1\n");
    EXPECT_EQ(captured()[1].level, KVRLOG_LEVEL_ERR);
}

TEST_F(KvrlogGate, RunsTraceStatementsOnlyForEnabledBits)
{
    SetUpLogger(KVRLOG_LEVEL_ERR);
    g_object_set(conf_, "trace", G_GUINT64_CONSTANT(0x8000000000000002), nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    gsEvaluations = 0;
    KVRLOG_IF_TRACE(0x1, evaluated());
    KVRLOG_TRACE(0x4, KVRLOG_LEVEL_INFO, "off %d", evaluated());
    EXPECT_EQ(gsEvaluations, 0);
    KVRLOG_IF_TRACE(0x3, evaluated());
    KVRLOG_TRACE(G_GUINT64_CONSTANT(0x8000000000000000), KVRLOG_LEVEL_INFO, "on %d", evaluated());
    EXPECT_EQ(gsEvaluations, 2);
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text, " on 2\n");
}

TEST_F(KvrlogGate, FollowsPropertyChangesAtOnce)
{
    SetUpLogger(KVRLOG_LEVEL_ERR);
    KVRLOG_SETUP_OR_SKIP(conf_);
    KVRLOG_INFO("hidden");
    g_object_set(conf_, "level", static_cast<guint>(KVRLOG_LEVEL_INFO), nullptr);
    KVRLOG_INFO("shown");
    ASSERT_EQ(captured().size(), 1U);
    EXPECT_EQ(captured()[0].text, " shown\n");
}

TEST(KvrlogLevelText, GivesShortTagsUnlessFullIsExactlyOne)
{
    EXPECT_STREQ(kvrlog_level_to_str(nullptr, KVRLOG_LEVEL_WARN, 0), "W");
    EXPECT_STREQ(kvrlog_level_to_str(nullptr, KVRLOG_LEVEL_WARN, 2), "W");
    EXPECT_STREQ(kvrlog_level_to_str(nullptr, KVRLOG_LEVEL_WARN, 1), "WARN");
    EXPECT_STREQ(kvrlog_level_to_str(nullptr, KVRLOG_LEVEL_ERR, 1), "ERROR");
    EXPECT_STREQ(kvrlog_level_to_str(nullptr, KVRLOG_LEVEL_DEBUG, 0), "D");
    EXPECT_STREQ(kvrlog_level_to_str(nullptr, KVRLOG_LEVEL_MAX, 0), "?");
    EXPECT_STREQ(kvrlog_level_to_str(nullptr, static_cast<KvrlogLevel>(7), 1), "??");
}

TEST(KvrlogTraceRegistry, RefusesADuplicateNameAndKeepsTheFirstMask)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    ASSERT_TRUE(kvrlog_register_trace("dup-name", 0x10, nullptr));
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_register_trace("dup-name", 0x20, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRLOG_ERR_VALUE);
    EXPECT_STREQ(error->message, "'dup-name' already exists");
    g_error_free(error);
    const auto *mask =
        static_cast<const guint64 *>(g_hash_table_lookup(gsRegisteredTraces, "dup-name"));
    ASSERT_NE(mask, nullptr);
    EXPECT_EQ(*mask, 0x10U);
}

TEST(KvrlogTraceRegistry, RefusesAMissingName)
{
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_register_trace(nullptr, 1, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRLOG_ERR_EARG);
    EXPECT_STREQ(error->message, "'trace' argument cannot be null");
    g_error_free(error);
}

TEST(KvrlogTraceRegistry, ComparesNamesCaseSensitively)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    ASSERT_TRUE(kvrlog_register_trace("Case", 0x1, nullptr));
    EXPECT_TRUE(kvrlog_register_trace("case", 0x2, nullptr));
}
