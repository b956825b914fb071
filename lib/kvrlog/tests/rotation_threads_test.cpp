/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Several threads logging through the rotating sink across many rotations. */
#include "kvrlog_test_util.h"

#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace kvrlog_test;

TEST(KvrlogRotationThreads, EveryFileHoldsWholeLinesAndRotatesAtItsLimit)
{
    TempDir dir;
    const std::string path = dir.file("x.log");
    KvrlogConf *conf =
        make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO,
                  {{"file", path}, {"modes", "a"}, {"max_size", "1"}, {"history", "2"}});
    g_object_set(conf, "threads", TRUE, nullptr);
    KVRLOG_SETUP_OR_SKIP(conf);

    constexpr int kThreads = 4;
    constexpr int kLines = 1500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int n = 0; n < kLines; ++n)
                KVRLOG_INFO("writer %d line %04d %040d", t, n, 0);
        });
    }
    for (auto &writer : writers)
        writer.join();
    ASSERT_TRUE(kvrlog_close(nullptr));
    g_object_unref(conf);

    EXPECT_FALSE(file_exists(dir.file("x.3.log")));
    const char *line_pattern = "^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} tprog "
                               "\\[[0-9a-f]{8,}\\] I writer [0-3] line [0-9]{4} 0{40}$";
    for (const char *name : {"x.1.log", "x.2.log"}) {
        const std::string text = read_file(dir.file(name));
        const auto lines = split_lines(text);
        ASSERT_FALSE(lines.empty()) << name;
        /* A rotated file is closed by the line that reached 1 KB. */
        const std::size_t line_length = lines.front().size() + 1;
        EXPECT_GE(text.size(), 1024U) << name;
        EXPECT_LT(text.size(), 1024U + line_length) << name;
        EXPECT_EQ(text.back(), '\n') << name;
        for (const auto &line : lines)
            EXPECT_TRUE(g_regex_match_simple(line_pattern, line.c_str(), G_REGEX_DOLLAR_ENDONLY,
                                             static_cast<GRegexMatchFlags>(0)))
                << name << ": " << line;
    }
    const std::string current = read_file(path);
    EXPECT_LT(current.size(), 1024U);
}
