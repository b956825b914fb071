/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Sink tables, the dated line writer shared by the stream sinks, and the fd sink. */
#include "kvrlog-private.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include <pthread.h>
#include <sys/time.h>

FILE *gsLogFile = nullptr;

namespace
{

char gsKeyName[128];

guint8 extend_timestamp_of(const KvrlogConf *conf)
{
    switch (conf->type) {
    case KVRLOG_HELPER_FD:
        return conf->helper.fd.extend_timestamp;
    case KVRLOG_HELPER_FILE:
        return conf->helper.file.extend_timestamp;
    case KVRLOG_HELPER_RFILE:
        return conf->helper.rfile.extend_timestamp;
    case KVRLOG_HELPER_CALLBACK:
    case KVRLOG_HELPER_SYSLOG:
    case KVRLOG_HELPER_MAX:
        break;
    }
    return 0;
}

gboolean fd_init(KvrlogConf *conf, GError **error)
{
    if (gsLogFile != nullptr) {
        kvrlog_set_error(error, KVRLOG_ERR, "an output stream is already open");
        return FALSE;
    }
    if (conf->helper.fd.file == nullptr) {
        kvrlog_set_error(error, KVRLOG_ERR_EARG, "no output stream configured (key 'fd')");
        return FALSE;
    }
    gsLogFile = conf->helper.fd.file;
    return TRUE;
}

FILE *open_descriptor(const gchar *value)
{
    gchar *end = nullptr;
    errno = 0;
    const gint64 fd = g_ascii_strtoll(value, &end, 10);
    if (end == value || fd < 0 || fd > INT_MAX || errno != 0)
        return nullptr;
    return fdopen(static_cast<int>(fd), "a");
}

gboolean fd_parse(const gchar *prefix, const gchar *name, const gchar *value, KvrlogConf *conf)
{
    if (name == nullptr || value == nullptr)
        return FALSE;
    if (g_ascii_strcasecmp(name, kvrlog_concat(prefix, "fd")) == 0) {
        /* Standard output stays the program's own: every standard name logs
         * to standard error. */
        static const char *const kStandard[] = {"STDOUT", "OUT", "STDERR", "ERR"};
        for (const char *standard : kStandard) {
            if (g_ascii_strcasecmp(value, standard) == 0) {
                conf->helper.fd.file = stderr;
                return TRUE;
            }
        }
        conf->helper.fd.file = open_descriptor(value);
        return conf->helper.fd.file != nullptr;
    }
    if (g_ascii_strcasecmp(name, kvrlog_concat(prefix, "extend_timestamp")) == 0) {
        conf->helper.fd.extend_timestamp = std::strtol(value, nullptr, 10) != 0;
        return TRUE;
    }
    return FALSE;
}

void fd_dump(FILE *file, KvrlogConf *conf)
{
    const int descriptor = conf->helper.fd.file != nullptr ? fileno(conf->helper.fd.file) : -1;
    std::fprintf(file, "    file = %d (ts=%s)\n", descriptor,
                 conf->helper.fd.extend_timestamp ? "TRUE" : "FALSE");
}

} // namespace

std::size_t kvrlog_append_message(char *buf, std::size_t len, std::size_t size, const char *msg)
{
    if (len >= size)
        return len;
    const std::size_t room = size - len - 1;
    std::size_t msg_len = std::strlen(msg);
    if (msg_len <= room) {
        std::memcpy(buf + len, msg, msg_len + 1);
        return len + msg_len;
    }
    const bool line_feed = msg[msg_len - 1] == '\n';
    msg_len = line_feed && room > 0 ? room - 1 : room;
    std::memcpy(buf + len, msg, msg_len);
    len += msg_len;
    if (line_feed && room > 0)
        buf[len++] = '\n';
    buf[len] = '\0';
    return len;
}

unsigned long long kvrlog_thread_id()
{
    return static_cast<unsigned long long>(pthread_self());
}

gint kvrlog_line_write(KvrlogConf *conf, KvrlogLevel level, const gchar *msg)
{
    if (gsLogFile == nullptr || conf == nullptr || msg == nullptr)
        return 0;

    char buf[kKvrlogLineSize];
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    /* The header stays within its own part of the line (an absurdly long
     * program name is cut), so the message always finds room behind it. */
    constexpr std::size_t header_size = kKvrlogBufSize;
    std::size_t len = std::strftime(buf, header_size, "%Y/%m/%d %H:%M:%S", &local);
    if (extend_timestamp_of(conf))
        len += kvrlog_bounded_printf(buf + len, header_size - len, ":%06lu",
                                     static_cast<unsigned long>(now.tv_usec));
    len += kvrlog_bounded_printf(buf + len, header_size - len, " %s",
                                 conf->prog != nullptr ? conf->prog : "(null)");
    if (conf->threads)
        len += kvrlog_bounded_printf(buf + len, header_size - len, " [%08llx]", kvrlog_thread_id());
    len += kvrlog_bounded_printf(buf + len, header_size - len, " %s ",
                                 kvrlog_level_to_str(conf, level, 0));
    len = kvrlog_append_message(buf, len, sizeof(buf), msg);
    std::fprintf(gsLogFile, "%s", buf);
    return static_cast<gint>(len);
}

const kvrlogHelper gsHelperFd = {fd_init, kvrlog_line_write, nullptr, fd_parse, fd_dump};

const kvrlogHelper *kvrlog_get_helper(KvrlogHelperType type)
{
    switch (type) {
    case KVRLOG_HELPER_FD:
        return &gsHelperFd;
    case KVRLOG_HELPER_FILE:
        return &gsHelperFile;
    case KVRLOG_HELPER_RFILE:
        return &gsHelperRfile;
    case KVRLOG_HELPER_CALLBACK:
        return &gsHelperCallback;
    case KVRLOG_HELPER_SYSLOG:
    case KVRLOG_HELPER_MAX:
        break;
    }
    return nullptr;
}

const gchar *kvrlog_concat(const gchar *prefix, const gchar *suffix)
{
    kvrlog_bounded_printf(gsKeyName, sizeof(gsKeyName), "%s%s", prefix != nullptr ? prefix : "",
                          suffix != nullptr ? suffix : "");
    return gsKeyName;
}
