/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* File sink and rotating file sink with numbered history files. */
#include "kvrlog-private.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace
{

constexpr unsigned kMaxHistory = 4;

/* Serialises the rotating sink: its write, the running byte count, the
 * history table and the rotation itself, which reopens the shared stream
 * under the feet of any concurrent writer. */
std::mutex gsRotateLock;
gsize gsRfileLen = 0;
/* Slot i (1 to 4) names history file i, or is empty. */
char gsHistory[kMaxHistory + 1][KVRLOG_FILENAME_SIZE];

/* A stream lost to a failed reopen. The sink tries again at every message,
 * counts what it has to drop meanwhile, and says so when it resumes. */
struct Outage {
    bool active = false;
    int err = 0;
    unsigned long lost = 0;
};
Outage gsOutage;

const char *plural(unsigned long n)
{
    return n == 1 ? "" : "s";
}

/* A stream opened for reading only would take every line without a word
 * and write none. */
bool mode_writes(const gchar *modes)
{
    return modes[0] != 'r' || std::strchr(modes, '+') != nullptr;
}

gboolean open_log_file(const gchar *filename, const gchar *modes, GError **error)
{
    if (gsLogFile != nullptr) {
        kvrlog_set_error(error, KVRLOG_ERR, "an output stream is already open");
        return FALSE;
    }
    if (!mode_writes(modes)) {
        kvrlog_set_error(error, KVRLOG_ERR, "cannot open %s: mode '%s' does not write", filename,
                         modes);
        return FALSE;
    }
    FILE *file = std::fopen(filename, modes);
    if (file == nullptr) {
        const int err = errno;
        kvrlog_set_error(error, KVRLOG_ERR, "cannot open %s: %s", filename, g_strerror(err));
        return FALSE;
    }
    gsLogFile = file;
    return TRUE;
}

/* Closes gsLogFile; its last lines are written here, so a failure loses them. */
gboolean close_log_file(const gchar *filename, GError **error)
{
    if (gsLogFile == nullptr)
        return TRUE;
    const int result = std::fclose(gsLogFile);
    const int err = errno;
    gsLogFile = nullptr;
    if (result != 0) {
        kvrlog_set_error(error, KVRLOG_ERR, "cannot close %s: %s", filename, g_strerror(err));
        return FALSE;
    }
    return TRUE;
}

/* Takes the keys shared by the file and rotating sinks. */
gboolean parse_file_key(const gchar *prefix, const gchar *name, const gchar *value, gchar *filename,
                        gchar *modes, guint8 *extend_timestamp)
{
    if (g_ascii_strcasecmp(name, kvrlog_concat(prefix, "file")) == 0) {
        g_strlcpy(filename, value, KVRLOG_FILENAME_SIZE);
        return TRUE;
    }
    if (g_ascii_strcasecmp(name, kvrlog_concat(prefix, "modes")) == 0) {
        g_strlcpy(modes, value, KVRLOG_MODES_SIZE);
        return TRUE;
    }
    if (g_ascii_strcasecmp(name, kvrlog_concat(prefix, "extend_timestamp")) == 0) {
        *extend_timestamp = std::strtol(value, nullptr, 10) != 0;
        return TRUE;
    }
    return FALSE;
}

gboolean file_init(KvrlogConf *conf, GError **error)
{
    return open_log_file(conf->helper.file.filename, conf->helper.file.modes, error);
}

gboolean file_close(KvrlogConf *conf, GError **error)
{
    return close_log_file(conf != nullptr ? conf->helper.file.filename : "log file", error);
}

gboolean file_parse(const gchar *prefix, const gchar *name, const gchar *value, KvrlogConf *conf)
{
    if (name == nullptr || value == nullptr)
        return FALSE;
    KvrlogHelperFileConf &file = conf->helper.file;
    return parse_file_key(prefix, name, value, file.filename, file.modes, &file.extend_timestamp);
}

void file_dump(FILE *file, KvrlogConf *conf)
{
    std::fprintf(file, "    file = %s (mode=%s)\n", conf->helper.file.filename,
                 conf->helper.file.modes);
}

/* x.log gives x.<n>.log; a file name without a dot gets ".<n>" appended,
 * also when a directory of its path has one (./logs/run gives ./logs/run.<n>). */
void history_name(const gchar *filename, unsigned n, gchar *out)
{
    gchar base[KVRLOG_FILENAME_SIZE];
    g_strlcpy(base, filename, sizeof(base));
    gchar *dot = std::strrchr(base, '.');
    const gchar *slash = std::strrchr(base, '/');
    if (dot == nullptr || (slash != nullptr && dot < slash)) {
        kvrlog_bounded_printf(out, KVRLOG_FILENAME_SIZE, "%s.%u", base, n);
        return;
    }
    *dot = '\0';
    kvrlog_bounded_printf(out, KVRLOG_FILENAME_SIZE, "%s.%u%s%s", base, n, ".", dot + 1);
}

/* Byte count of the freshly opened stream; -1 with errno when unknown. */
long stream_position()
{
    return gsLogFile != nullptr ? std::ftell(gsLogFile) : -1;
}

constexpr const char *kSizeFailure = "cannot find file size for %s: %d (%s)";

gboolean rfile_init(KvrlogConf *conf, GError **error)
{
    const KvrlogHelperRfileConf &rfile = conf->helper.rfile;
    std::lock_guard<std::mutex> lock(gsRotateLock);
    gsOutage = Outage();
    if (!open_log_file(rfile.filename, rfile.modes, error))
        return FALSE;
    for (unsigned i = 1; i <= kMaxHistory; ++i) {
        history_name(rfile.filename, i, gsHistory[i]);
        if (!g_file_test(gsHistory[i], G_FILE_TEST_IS_REGULAR))
            gsHistory[i][0] = '\0';
    }
    const long position = stream_position();
    gsRfileLen = position < 0 ? 0 : static_cast<gsize>(position);
    if (position < 0 && KVRLOG_LEVEL_ENABLED(KVRLOG_LEVEL_ERR)) {
        /* The logger is not started yet, so kvrlog_log() would drop this. */
        const int err = errno;
        char msg[kKvrlogBufSize];
        const std::size_t len = kvrlog_bounded_printf(msg, sizeof(msg) - 1, kSizeFailure,
                                                      rfile.filename, err, g_strerror(err));
        msg[len] = '\n';
        msg[len + 1] = '\0';
        kvrlog_line_write(conf, KVRLOG_LEVEL_ERR, msg);
    }
    return TRUE;
}

/* Opens the current file again after a rotation or during an outage.
 * Returns errno when the new position cannot be read, else 0. */
int reopen(KvrlogConf *conf)
{
    const KvrlogHelperRfileConf &rfile = conf->helper.rfile;
    gsRfileLen = 0;
    errno = EINVAL;
    FILE *file = mode_writes(rfile.modes) ? std::fopen(rfile.filename, rfile.modes) : nullptr;
    if (file == nullptr) {
        const int err = errno;
        /* The sink itself is gone: standard error is the one place left. */
        if (!gsOutage.active)
            std::fprintf(stderr,
                         "kvrlog: cannot open %s: %s; log messages are dropped until it opens "
                         "again\n",
                         rfile.filename, g_strerror(err));
        gsOutage.active = true;
        gsOutage.err = err;
        return 0;
    }
    gsLogFile = file;
    const long position = stream_position();
    const int position_errno = position < 0 ? (errno != 0 ? errno : EBADF) : 0;
    gsRfileLen = position < 0 ? 0 : static_cast<gsize>(position);
    if (gsOutage.active) {
        const unsigned long lost = gsOutage.lost;
        gsOutage = Outage();
        std::fprintf(stderr, "kvrlog: %s opens again; %lu log message%s lost\n", rfile.filename,
                     lost, plural(lost));
        char note[kKvrlogBufSize];
        kvrlog_bounded_printf(note, sizeof(note),
                              "%lu log message%s lost while %s could not be opened\n", lost,
                              plural(lost), rfile.filename);
        gsRfileLen += static_cast<gsize>(kvrlog_line_write(conf, KVRLOG_LEVEL_WARN, note));
    }
    return position_errno;
}

/* Shifts the history files up by one, moves the current file to index 1 and
 * reopens it. Returns errno when the new position cannot be read, else 0. */
int rotate(KvrlogConf *conf)
{
    const KvrlogHelperRfileConf &rfile = conf->helper.rfile;
    const unsigned history = std::min<unsigned>(rfile.history, kMaxHistory);
    for (unsigned i = history; i-- > 1;) {
        if (gsHistory[i][0] == '\0')
            continue;
        if (gsHistory[i + 1][0] == '\0')
            history_name(rfile.filename, i + 1, gsHistory[i + 1]);
        std::rename(gsHistory[i], gsHistory[i + 1]);
    }
    const gchar *target = rfile.filename;
    if (history > 0) {
        history_name(rfile.filename, 1, gsHistory[1]);
        target = gsHistory[1];
    }
    std::rename(rfile.filename, target);

    /* A new stream rather than freopen(): a failed freopen() leaves the old
     * FILE allocated and nothing to write to. */
    g_autoptr(GError) close_error = nullptr;
    if (!close_log_file(rfile.filename, &close_error))
        std::fprintf(stderr, "kvrlog: %s\n", close_error->message);
    return reopen(conf);
}

gint rfile_log(KvrlogConf *conf, KvrlogLevel level, const gchar *msg)
{
    gint len = 0;
    int position_errno = 0;
    {
        std::lock_guard<std::mutex> lock(gsRotateLock);
        if (gsLogFile == nullptr) {
            if (!gsOutage.active)
                return 0;
            position_errno = reopen(conf);
        }
        if (gsLogFile == nullptr) {
            ++gsOutage.lost;
            return 0;
        }
        len = kvrlog_line_write(conf, level, msg);
        gsRfileLen += static_cast<gsize>(len);
        const gsize max_size = conf->helper.rfile.max_size;
        const gsize limit = max_size > G_MAXSIZE / 1024 ? G_MAXSIZE : max_size * 1024;
        if (gsRfileLen >= limit)
            position_errno = rotate(conf);
    }
    /* Reported outside the lock: the report goes through this same sink. */
    if (position_errno != 0 && KVRLOG_LEVEL_ENABLED(KVRLOG_LEVEL_ERR))
        kvrlog_log(KVRLOG_LEVEL_ERR, nullptr, kSizeFailure, conf->helper.rfile.filename,
                   position_errno, g_strerror(position_errno));
    return len;
}

/* Fails when the file could not be opened again since a rotation: the
 * messages of that time are lost. */
gboolean rfile_close(KvrlogConf *conf, GError **error)
{
    std::lock_guard<std::mutex> lock(gsRotateLock);
    const gchar *filename = conf != nullptr ? conf->helper.rfile.filename : "log file";
    if (gsOutage.active) {
        const Outage outage = gsOutage;
        gsOutage = Outage();
        kvrlog_set_error(error, KVRLOG_ERR, "cannot open %s: %s; %lu log message%s lost", filename,
                         g_strerror(outage.err), outage.lost, plural(outage.lost));
        return FALSE;
    }
    return close_log_file(filename, error);
}

gboolean rfile_parse(const gchar *prefix, const gchar *name, const gchar *value, KvrlogConf *conf)
{
    if (name == nullptr || value == nullptr)
        return FALSE;
    KvrlogHelperRfileConf &rfile = conf->helper.rfile;
    if (parse_file_key(prefix, name, value, rfile.filename, rfile.modes, &rfile.extend_timestamp))
        return TRUE;
    if (g_ascii_strcasecmp(name, kvrlog_concat(prefix, "max_size")) == 0) {
        const long long size = std::strtoll(value, nullptr, 10);
        if (size > 0)
            rfile.max_size = static_cast<gsize>(size);
        return TRUE;
    }
    if (g_ascii_strcasecmp(name, kvrlog_concat(prefix, "history")) == 0) {
        const long long history = std::strtoll(value, nullptr, 10);
        if (history >= 1 && history <= kMaxHistory)
            rfile.history = static_cast<guint8>(history);
        return TRUE;
    }
    return FALSE;
}

void rfile_dump(FILE *file, KvrlogConf *conf)
{
    std::fprintf(file, "    file = %s (mode=%s)\n", conf->helper.rfile.filename,
                 conf->helper.rfile.modes);
    std::fprintf(file, "    max_size = %zu KB\n", conf->helper.rfile.max_size);
    std::fprintf(file, "    history = %u\n", static_cast<unsigned>(conf->helper.rfile.history));
}

} // namespace

gboolean kvrlog_file_check_item(KvrlogHelperType type, const gchar *key, const gchar *value,
                                GError **error)
{
    if ((type != KVRLOG_HELPER_FILE && type != KVRLOG_HELPER_RFILE) || key == nullptr ||
        value == nullptr)
        return TRUE;
    const std::size_t length = std::strlen(value);
    if (g_ascii_strcasecmp(key, "file") == 0) {
        /* A rotating sink also names its history files, ".<n>" longer. */
        const std::size_t limit = KVRLOG_FILENAME_SIZE - 1 - (type == KVRLOG_HELPER_RFILE ? 2 : 0);
        if (length > limit) {
            kvrlog_set_error(error, KVRLOG_ERR_VALUE,
                             "log file name too long (%zu characters, at most %zu): %s", length,
                             limit, value);
            return FALSE;
        }
    } else if (g_ascii_strcasecmp(key, "modes") == 0 && length > KVRLOG_MODES_SIZE - 1) {
        kvrlog_set_error(error, KVRLOG_ERR_VALUE,
                         "log file mode too long ('%s', at most %d characters)", value,
                         KVRLOG_MODES_SIZE - 1);
        return FALSE;
    }
    return TRUE;
}

const kvrlogHelper gsHelperFile = {file_init, kvrlog_line_write, file_close, file_parse, file_dump};
const kvrlogHelper gsHelperRfile = {rfile_init, rfile_log, rfile_close, rfile_parse, rfile_dump};
