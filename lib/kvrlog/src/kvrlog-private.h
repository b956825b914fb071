/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Internals shared by the logger's sources. */
#pragma once

#include <cstddef>
#include <memory>

#include <kvrlog/kvrlog.h>

/* Size of every message buffer of the logger. */
inline constexpr std::size_t kKvrlogBufSize = 512;
/* A sink's line: a header of less than kKvrlogBufSize characters followed
 * by a whole message of kvrlog_log(), which is shorter than kKvrlogBufSize. */
inline constexpr std::size_t kKvrlogLineSize = 2 * kKvrlogBufSize;

/* The stream of the fd, file and rotating sinks; NULL when none is open. */
extern FILE *gsLogFile;

/* Format string with the "I64" length modifier rewritten to this platform's
 * 64-bit modifier. Formats without it are used as they are; the rewrite uses a
 * stack buffer unless the format is unusually long. */
class KvrlogFormat
{
  public:
    explicit KvrlogFormat(const char *format);
    KvrlogFormat(const KvrlogFormat &) = delete;
    KvrlogFormat &operator=(const KvrlogFormat &) = delete;
    const char *get() const { return format_; }

  private:
    char local_[kKvrlogBufSize];
    std::unique_ptr<char[]> heap_;
    const char *format_;
};

/* Formats into @buf (of @size bytes) and returns the length kept, which is
 * at most size - 1; never writes past the buffer. */
std::size_t kvrlog_bounded_vprintf(char *buf, std::size_t size, const char *format, va_list args);
std::size_t kvrlog_bounded_printf(char *buf, std::size_t size, const char *format, ...)
    G_GNUC_PRINTF(3, 4);

/* Appends @msg to the @len characters of @buf (of @size bytes) and returns
 * the new length. A message that does not fit loses text, never its final
 * line feed, so that the next record starts a line of its own. */
std::size_t kvrlog_append_message(char *buf, std::size_t len, std::size_t size, const char *msg);

/* Identifier of the calling thread, as written in thread-tagged lines. */
unsigned long long kvrlog_thread_id();

/* Writes one dated line for @msg to gsLogFile; returns its length. The
 * header is cut before the message loses any text. */
gint kvrlog_line_write(KvrlogConf *conf, KvrlogLevel level, const gchar *msg);

/* Refuses a value that a file-like sink of @type could only keep cut (a
 * name or mode longer than its field), so that the logger never writes to
 * another file than the one configured. TRUE for every other item. */
gboolean kvrlog_file_check_item(KvrlogHelperType type, const gchar *key, const gchar *value,
                                GError **error);

void kvrlog_glib_handler(const gchar *domain, GLogLevelFlags flags, const gchar *message,
                         gpointer user_data);

/* Sets a KVRLOG_ERRDOM error. */
#define kvrlog_set_error(error, code, ...)                                                         \
    g_set_error((error), (GQuark)KVRLOG_ERRDOM, (code), __VA_ARGS__)
