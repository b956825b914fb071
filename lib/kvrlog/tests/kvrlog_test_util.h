/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Shared helpers of the logger's tests.
 *
 * The logger can be set up once per process, and ctest runs every case in a
 * process of its own. A case that needs a setup skips itself when run after
 * another one in the same process (running the binary by hand). */
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <kvrlog/kvrlog.h>

namespace kvrlog_test
{

/* Sets the logger up with @conf, or skips the case when this process set it up already. */
#define KVRLOG_SETUP_OR_SKIP(conf)                                                                 \
    do {                                                                                           \
        GError *setup_error_ = nullptr;                                                            \
        if (!kvrlog_setup((conf), &setup_error_)) {                                                \
            const std::string message_ = setup_error_->message;                                    \
            g_error_free(setup_error_);                                                            \
            if (message_ == "logger already set up")                                               \
                GTEST_SKIP() << "needs a process of its own (run it through ctest)";               \
            FAIL() << message_;                                                                    \
        }                                                                                          \
    } while (0)

/* Skips a case that relies on the logger's untouched process-wide state when
 * another case ran before it in this process. */
#define KVRLOG_FRESH_PROCESS_OR_SKIP()                                                             \
    do {                                                                                           \
        if (!kvrlog_test::fresh_process())                                                         \
            GTEST_SKIP() << "needs a process of its own (run it through ctest)";                   \
    } while (0)

/* TRUE while the running case is the first of this process. */
bool fresh_process();

std::string read_file(const std::string &path);
std::vector<std::string> split_lines(const std::string &text);
bool file_exists(const std::string &path);

/* A fresh directory, removed with its content at the end of the case. */
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

/* Texts received by the callback sink. */
struct Captured {
    KvrlogLevel level;
    std::string text;
};
std::vector<Captured> &captured();
void capture_callback(KvrlogLevel level, const gchar *msg);

/* Sends standard error to a file while alive; text() returns what was written. */
class StderrCapture
{
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    std::string text();

  private:
    TempDir dir_;
    int saved_ = -1;
};

/* Creates the configuration with sink settings given as key/value pairs. */
KvrlogConf *make_conf(KvrlogHelperType type, KvrlogLevel level,
                      const std::vector<std::pair<std::string, std::string>> &items);

} // namespace kvrlog_test
