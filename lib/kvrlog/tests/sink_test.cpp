/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Output sinks: line format of the stream sinks, the fd sink's streams, rotation. */
#include "kvrlog_test_util.h"

#include <fcntl.h>
#include <memory>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kvrlog_test;

namespace
{

constexpr const char *kStamp = "[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";
constexpr const char *kBanner = "==========================================";

bool matches(const std::string &pattern, const std::string &text)
{
    return g_regex_match_simple(pattern.c_str(), text.c_str(), G_REGEX_DOLLAR_ENDONLY,
                                static_cast<GRegexMatchFlags>(0));
}

class SinkTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        kvrlog_close(nullptr);
        g_clear_object(&conf_);
    }
    KvrlogConf *conf_ = nullptr;
    TempDir dir_;
};

} // namespace

using KvrlogFileSink = SinkTest;

TEST_F(KvrlogFileSink, WritesBannerThenDateTimeProgramLevelAndMessage)
{
    const std::string path = dir_.file("x.log");
    conf_ = make_conf(KVRLOG_HELPER_FILE, KVRLOG_LEVEL_INFO, {{"file", path}, {"modes", "w"}});
    KVRLOG_SETUP_OR_SKIP(conf_);
    KVRLOG_INFO("hello %s", "world");
    KVRLOG_DEBUG("filtered");
    KVRLOG_ERROR("bad %d", 5);
    ASSERT_TRUE(kvrlog_close(nullptr));
    const auto lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_TRUE(matches(std::string("^") + kStamp + " tprog I " + kBanner + "$", lines[0]))
        << lines[0];
    EXPECT_TRUE(matches(std::string("^") + kStamp + " tprog I hello world$", lines[1])) << lines[1];
    EXPECT_TRUE(matches(std::string("^") + kStamp + " tprog E bad 5$", lines[2])) << lines[2];
}

TEST_F(KvrlogFileSink, AddsMicrosecondsAndThreadWhenConfigured)
{
    const std::string path = dir_.file("x.log");
    conf_ = make_conf(KVRLOG_HELPER_FILE, KVRLOG_LEVEL_DEBUG,
                      {{"file", path}, {"modes", "a"}, {"extend_timestamp", "1"}});
    g_object_set(conf_, "threads", TRUE, nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    KVRLOG_DEBUG("tagged");
    ASSERT_TRUE(kvrlog_close(nullptr));
    const auto lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_TRUE(matches(std::string("^") + kStamp + ":[0-9]{6} tprog \\[[0-9a-f]{8,}\\] D tagged$",
                        lines[1]))
        << lines[1];
}

TEST_F(KvrlogFileSink, AppendsToAnExistingFile)
{
    const std::string path = dir_.file("x.log");
    ASSERT_TRUE(g_file_set_contents(path.c_str(), "old line\n", -1, nullptr));
    conf_ = make_conf(KVRLOG_HELPER_FILE, KVRLOG_LEVEL_INFO, {{"file", path}, {"modes", "a"}});
    KVRLOG_SETUP_OR_SKIP(conf_);
    ASSERT_TRUE(kvrlog_close(nullptr));
    const auto lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "old line");
}

TEST_F(KvrlogFileSink, KeepsTheLineFeedOfEveryRecord)
{
    /* The longest header: microseconds and the thread identifier. */
    const std::string path = dir_.file("x.log");
    conf_ = make_conf(KVRLOG_HELPER_FILE, KVRLOG_LEVEL_INFO,
                      {{"file", path}, {"modes", "w"}, {"extend_timestamp", "1"}});
    g_object_set(conf_, "threads", TRUE, nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    KVRLOG_INFO("%s", std::string(485, 'm').c_str());
    KVRLOG_INFO("%s", std::string(509, 'n').c_str());
    KVRLOG_INFO("%s", std::string(600, 'o').c_str());
    KVRLOG_INFO("next");
    ASSERT_TRUE(kvrlog_close(nullptr));
    const std::string text = read_file(path);
    EXPECT_EQ(text.back(), '\n');
    const auto lines = split_lines(text);
    ASSERT_EQ(lines.size(), 5U);
    auto message_of = [](const std::string &line) { return line.substr(line.find("] I ") + 4); };
    EXPECT_EQ(message_of(lines[1]), std::string(485, 'm'));
    EXPECT_EQ(message_of(lines[2]), std::string(509, 'n'));
    EXPECT_EQ(message_of(lines[3]), std::string(509, 'o')) << "only the message itself is cut";
    EXPECT_EQ(message_of(lines[4]), "next");
}

TEST_F(KvrlogFileSink, SplitsLongStreamLinesWithoutLoss)
{
    const std::string path = dir_.file("x.log");
    conf_ = make_conf(KVRLOG_HELPER_FILE, KVRLOG_LEVEL_INFO,
                      {{"file", path}, {"modes", "w"}, {"extend_timestamp", "1"}});
    g_object_set(conf_, "threads", TRUE, nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    std::string line;
    for (int i = 0; i < 3000; ++i)
        line += static_cast<char>('a' + i % 26);
    const std::string input = line + "\n";
    FILE *stream = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    kvrlog_log_fd(KVRLOG_LEVEL_INFO, stream, "h:");
    std::fclose(stream);
    ASSERT_TRUE(kvrlog_close(nullptr));
    std::string joined;
    int pieces = 0;
    for (const auto &written : split_lines(read_file(path))) {
        const std::size_t at = written.find("] I h:");
        if (at == std::string::npos)
            continue;
        joined += written.substr(at + 6);
        ++pieces;
    }
    EXPECT_GE(pieces, 6);
    EXPECT_EQ(joined.size(), line.size());
    EXPECT_EQ(joined, line);
}

TEST_F(KvrlogFileSink, RefusesAnUnsetOpenMode)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    const std::string path = dir_.file("x.log");
    conf_ = make_conf(KVRLOG_HELPER_FILE, KVRLOG_LEVEL_INFO, {{"file", path}});
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_setup(conf_, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::string(error->message), "cannot open " + path + ": Invalid argument");
    g_error_free(error);
}

TEST_F(KvrlogFileSink, RefusesAModeThatDoesNotWrite)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    const std::string path = dir_.file("x.log");
    ASSERT_TRUE(g_file_set_contents(path.c_str(), "", -1, nullptr));
    conf_ = make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO, {{"file", path}, {"modes", "r"}});
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_setup(conf_, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::string(error->message), "cannot open " + path + ": mode 'r' does not write");
    g_error_free(error);
}

using KvrlogFdSink = SinkTest;

TEST_F(KvrlogFdSink, StandardNamesAllWriteToStandardError)
{
    for (const char *name : {"STDOUT", "out", "StdErr", "ERR"}) {
        g_autoptr(KvrlogConf) conf = make_conf(KVRLOG_HELPER_FD, KVRLOG_LEVEL_INFO, {{"fd", name}});
        EXPECT_EQ(conf->helper.fd.file, stderr) << name;
        conf->helper.fd.file = nullptr;
    }
    conf_ = make_conf(KVRLOG_HELPER_FD, KVRLOG_LEVEL_INFO, {{"fd", "STDOUT"}});
    StderrCapture capture;
    KVRLOG_SETUP_OR_SKIP(conf_);
    KVRLOG_WARN("to stderr");
    const auto lines = split_lines(capture.text());
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_TRUE(matches(std::string("^") + kStamp + " tprog W to stderr$", lines[1])) << lines[1];
}

TEST_F(KvrlogFdSink, DescriptorNumberIsOpenedForAppending)
{
    const std::string path = dir_.file("fd.log");
    ASSERT_TRUE(g_file_set_contents(path.c_str(), "before\n", -1, nullptr));
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    conf_ = make_conf(KVRLOG_HELPER_FD, KVRLOG_LEVEL_INFO, {{"fd", std::to_string(fd)}});
    ASSERT_NE(conf_->helper.fd.file, nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    KVRLOG_INFO("through %d", fd);
    FILE *stream = conf_->helper.fd.file;
    ASSERT_TRUE(kvrlog_close(nullptr));
    std::fflush(stream);
    const auto lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_EQ(lines[0], "before");
    EXPECT_TRUE(matches(std::string("^") + kStamp + " tprog I through [0-9]+$", lines[2]));
    std::fclose(stream);
}

TEST_F(KvrlogFdSink, RefusesADescriptorThatIsNotANumber)
{
    conf_ = kvrlog_conf_new();
    for (const char *value : {"abc", "-1", ""}) {
        g_autoptr(GHashTable) items = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(items, const_cast<char *>("fd"), const_cast<char *>(value));
        GError *error = nullptr;
        EXPECT_FALSE(kvrlog_conf_setup(conf_, items, &error)) << value;
        ASSERT_NE(error, nullptr);
        EXPECT_STREQ(error->message, "configuration item 'fd' not supported");
        g_error_free(error);
        EXPECT_EQ(conf_->helper.fd.file, nullptr);
    }
}

TEST_F(KvrlogFdSink, RefusesSetupWithoutAStream)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    conf_ = kvrlog_conf_new();
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_setup(conf_, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, static_cast<GQuark>(KVRLOG_ERRDOM));
    EXPECT_EQ(error->code, KVRLOG_ERR_EARG);
    g_error_free(error);
    kvrlog_log(KVRLOG_LEVEL_ERR, nullptr, "dropped without crash");
}

using KvrlogRfileSink = SinkTest;

namespace
{

/* Every line is 100 characters: "YYYY/MM/DD HH:MM:SS p I " (24) + 75 + "\n".
 * The banner line is 24 + 43 = 67, so with 1 KB files the first rotation
 * follows message 10 and every later one 11 messages after the previous. */
void log_numbered(int n)
{
    kvrlog_log(KVRLOG_LEVEL_INFO, nullptr, "message %03d %063d", n, 0);
}

std::string first_and_last(const std::string &path)
{
    const auto lines = split_lines(read_file(path));
    if (lines.empty())
        return "empty";
    auto number = [](const std::string &line) {
        const std::size_t at = line.find("message ");
        return at == std::string::npos ? std::string("banner") : line.substr(at + 8, 3);
    };
    return number(lines.front()) + ".." + number(lines.back());
}

} // namespace

TEST_F(KvrlogRfileSink, KeepsTwoHistoryFilesOverThreeRotations)
{
    const std::string path = dir_.file("x.log");
    conf_ = make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO,
                      {{"file", path}, {"modes", "a"}, {"max_size", "1"}, {"history", "2"}});
    g_object_set(conf_, "prog", "p", nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);

    for (int n = 1; n <= 10; ++n)
        log_numbered(n);
    EXPECT_EQ(first_and_last(dir_.file("x.1.log")), "banner..010");
    EXPECT_FALSE(file_exists(dir_.file("x.2.log")));

    for (int n = 11; n <= 21; ++n)
        log_numbered(n);
    EXPECT_EQ(first_and_last(dir_.file("x.2.log")), "banner..010");
    EXPECT_EQ(first_and_last(dir_.file("x.1.log")), "011..021");

    for (int n = 22; n <= 32; ++n)
        log_numbered(n);
    log_numbered(33);
    ASSERT_TRUE(kvrlog_close(nullptr));
    EXPECT_EQ(first_and_last(dir_.file("x.2.log")), "011..021");
    EXPECT_EQ(first_and_last(dir_.file("x.1.log")), "022..032");
    EXPECT_EQ(first_and_last(path), "033..033");
    EXPECT_FALSE(file_exists(dir_.file("x.3.log")));
    for (const char *name : {"x.1.log", "x.2.log"}) {
        const auto lines = split_lines(read_file(dir_.file(name)));
        for (const auto &line : lines)
            EXPECT_TRUE(line.size() == 99U || line.find(kBanner) != std::string::npos) << line;
    }
}

TEST_F(KvrlogRfileSink, AppendsIndexToANameWithoutExtension)
{
    ASSERT_EQ(g_chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(g_mkdir("logs", 0700), 0);
    conf_ = make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO,
                      {{"file", "logs/run"}, {"modes", "w"}, {"max_size", "1"}, {"history", "3"}});
    g_object_set(conf_, "prog", "p", nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    for (int n = 1; n <= 32; ++n)
        log_numbered(n);
    ASSERT_TRUE(kvrlog_close(nullptr));
    EXPECT_EQ(first_and_last("logs/run.3"), "banner..010");
    EXPECT_EQ(first_and_last("logs/run.2"), "011..021");
    EXPECT_EQ(first_and_last("logs/run.1"), "022..032");
    EXPECT_EQ(first_and_last("logs/run"), "empty");
}

TEST_F(KvrlogRfileSink, PutsTheIndexAfterTheNameInADottedDirectory)
{
    ASSERT_EQ(g_chdir(dir_.path().c_str()), 0);
    ASSERT_EQ(g_mkdir("logs.d", 0700), 0);
    conf_ = make_conf(
        KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO,
        {{"file", "./logs.d/station"}, {"modes", "w"}, {"max_size", "1"}, {"history", "2"}});
    g_object_set(conf_, "prog", "p", nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    for (int n = 1; n <= 22; ++n)
        log_numbered(n);
    ASSERT_TRUE(kvrlog_close(nullptr));
    EXPECT_EQ(first_and_last("logs.d/station.2"), "banner..010");
    EXPECT_EQ(first_and_last("logs.d/station.1"), "011..021");
    EXPECT_EQ(first_and_last("logs.d/station"), "022..022");
}

namespace
{

/* A rotating sink whose directory is removed under it, so that the reopen
 * after the first rotation (message 10) fails. */
class KvrlogRfileOutage : public SinkTest
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(g_mkdir(logs_.c_str(), 0700), 0);
        conf_ = make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO,
                          {{"file", path_}, {"modes", "a"}, {"max_size", "1"}, {"history", "1"}});
        g_object_set(conf_, "prog", "p", nullptr);
        KVRLOG_SETUP_OR_SKIP(conf_);
        capture_ = std::make_unique<StderrCapture>();
        ASSERT_EQ(g_unlink(path_.c_str()), 0);
        ASSERT_EQ(g_rmdir(logs_.c_str()), 0);
    }
    void TearDown() override
    {
        SinkTest::TearDown();
        capture_.reset();
    }
    const std::string logs_ = dir_.file("logs");
    const std::string path_ = logs_ + "/x.log";
    std::unique_ptr<StderrCapture> capture_;
};

} // namespace

TEST_F(KvrlogRfileOutage, IsReportedOnceKeepsTryingAndResumes)
{
    for (int n = 1; n <= 12; ++n)
        log_numbered(n);
    const std::string report = capture_->text();
    EXPECT_EQ(report, "kvrlog: cannot open " + path_ +
                          ": No such file or directory; log messages are dropped until it "
                          "opens again\n");

    ASSERT_EQ(g_mkdir(logs_.c_str(), 0700), 0);
    log_numbered(13);
    log_numbered(14);
    EXPECT_EQ(capture_->text(),
              report + "kvrlog: " + path_ + " opens again; 2 log messages lost\n");
    ASSERT_TRUE(kvrlog_close(nullptr));
    const auto lines = split_lines(read_file(path_));
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_NE(lines[0].find(" p W 2 log messages lost while " + path_ + " could not be opened"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("message 013"), std::string::npos);
    EXPECT_NE(lines[2].find("message 014"), std::string::npos);
}

TEST_F(KvrlogRfileOutage, MakesCloseFail)
{
    for (int n = 1; n <= 11; ++n)
        log_numbered(n);
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_close(&error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRLOG_ERR);
    EXPECT_EQ(std::string(error->message),
              "cannot open " + path_ + ": No such file or directory; 1 log message lost");
    g_error_free(error);
    EXPECT_EQ(gsKvrlogConf, nullptr);
}

TEST_F(KvrlogRfileSink, CountsTheLengthOfAnAppendedFile)
{
    const std::string path = dir_.file("x.log");
    ASSERT_TRUE(g_file_set_contents(path.c_str(), std::string(1000, '#').c_str(), -1, nullptr));
    conf_ = make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO,
                      {{"file", path}, {"modes", "a"}, {"max_size", "1"}, {"history", "1"}});
    g_object_set(conf_, "prog", "p", nullptr);
    KVRLOG_SETUP_OR_SKIP(conf_);
    /* 1000 existing bytes and the banner pass 1024: the banner closes the file. */
    EXPECT_TRUE(file_exists(dir_.file("x.1.log")));
    log_numbered(1);
    ASSERT_TRUE(kvrlog_close(nullptr));
    EXPECT_EQ(first_and_last(path), "001..001");
}

TEST_F(KvrlogRfileSink, ExtendedTimestampKeepsTheHistorySetting)
{
    const std::string path = dir_.file("x.log");
    conf_ = make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO,
                      {{"file", path},
                       {"modes", "w"},
                       {"max_size", "100"},
                       {"history", "2"},
                       {"extend_timestamp", "1"}});
    EXPECT_EQ(conf_->helper.rfile.history, 2U);
    KVRLOG_SETUP_OR_SKIP(conf_);
    KVRLOG_WARN("precise");
    ASSERT_TRUE(kvrlog_close(nullptr));
    const auto lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_TRUE(matches(std::string("^") + kStamp + ":[0-9]{6} tprog W precise$", lines[1]))
        << lines[1];
}
