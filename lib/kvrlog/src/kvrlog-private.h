/* Internals shared by the logger's sources. */
#pragma once

#include <cstddef>
#include <memory>

#include <kvrlog/kvrlog.h>

/* Size of every message buffer of the logger. */
inline constexpr std::size_t kKvrlogBufSize = 512;

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

/* Identifier of the calling thread, as written in thread-tagged lines. */
unsigned long long kvrlog_thread_id();

/* Writes one dated line for @msg to gsLogFile; returns its length. */
gint kvrlog_line_write(KvrlogConf *conf, KvrlogLevel level, const gchar *msg);

void kvrlog_glib_handler(const gchar *domain, GLogLevelFlags flags, const gchar *message,
                         gpointer user_data);

/* Sets a KVRLOG_ERRDOM error. */
#define kvrlog_set_error(error, code, ...)                                                         \
    g_set_error((error), (GQuark)KVRLOG_ERRDOM, (code), __VA_ARGS__)
