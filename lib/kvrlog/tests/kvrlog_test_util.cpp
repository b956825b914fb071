/* SPDX-License-Identifier: LGPL-2.1-or-later */
#include "kvrlog_test_util.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <glib/gstdio.h>

namespace kvrlog_test
{

namespace
{
int gsCasesStarted = 0;

class CaseCounter : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo &) override { ++gsCasesStarted; }
};

const bool gsCounterInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CaseCounter);
    return true;
}();
} // namespace

bool fresh_process()
{
    return gsCounterInstalled && gsCasesStarted <= 1;
}

std::string read_file(const std::string &path)
{
    gchar *contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr))
        return {};
    std::string text(contents, length);
    g_free(contents);
    return text;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool file_exists(const std::string &path)
{
    return g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
}

namespace
{
void remove_tree(const std::string &path)
{
    if (g_file_test(path.c_str(), G_FILE_TEST_IS_DIR)) {
        GDir *dir = g_dir_open(path.c_str(), 0, nullptr);
        if (dir != nullptr) {
            while (const gchar *name = g_dir_read_name(dir))
                remove_tree(path + "/" + name);
            g_dir_close(dir);
        }
        g_rmdir(path.c_str());
    } else {
        g_unlink(path.c_str());
    }
}
} // namespace

TempDir::TempDir()
{
    gchar *dir = g_dir_make_tmp("kvrlog-XXXXXX", nullptr);
    if (dir != nullptr)
        path_ = dir;
    g_free(dir);
}

TempDir::~TempDir()
{
    if (!path_.empty())
        remove_tree(path_);
}

std::vector<Captured> &captured()
{
    static std::vector<Captured> texts;
    return texts;
}

void capture_callback(KvrlogLevel level, const gchar *msg)
{
    captured().push_back({level, msg});
}

StderrCapture::StderrCapture()
{
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int fd = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
}

std::string StderrCapture::text()
{
    std::fflush(stderr);
    return read_file(dir_.file("stderr"));
}

KvrlogConf *make_conf(KvrlogHelperType type, KvrlogLevel level,
                      const std::vector<std::pair<std::string, std::string>> &items)
{
    KvrlogConf *conf =
        kvrlog_conf_new_with_options("type", static_cast<guint>(type), "level",
                                     static_cast<guint>(level), "prog", "tprog", nullptr);
    GHashTable *table = g_hash_table_new(g_str_hash, g_str_equal);
    for (const auto &[key, value] : items)
        g_hash_table_insert(table, const_cast<char *>(key.c_str()),
                            const_cast<char *>(value.c_str()));
    GError *error = nullptr;
    if (!kvrlog_conf_setup(conf, table, &error)) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
    }
    g_hash_table_unref(table);
    return conf;
}

} // namespace kvrlog_test
