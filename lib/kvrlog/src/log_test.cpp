/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Expectation hooks for the unit tests of programs that log through this library. */
#include "kvrlog-private.h"

#include <cstdarg>
#include <cstdlib>
#include <ctime>

#include <sys/time.h>

namespace
{

constexpr std::size_t kPatternSize = 1024;

struct Expectation {
    KvrlogLevel level;
    guint32 trace;
    gconstpointer p;
    gchar pattern[kPatternSize];
    /* Waited messages only. */
    gint32 timeout;
    gboolean status;
    guint tid;
};

GQueue gsExpected = G_QUEUE_INIT;
GQueue gsWaited = G_QUEUE_INIT;
struct timeval gsStart;

Expectation *new_expectation(KvrlogLevel level, guint32 trace, gconstpointer p, const gchar *format,
                             va_list args)
{
    auto *entry = g_new0(Expectation, 1);
    entry->level = level;
    entry->trace = trace;
    entry->p = p;
    if (format != nullptr) {
        const KvrlogFormat fmt(format);
        kvrlog_bounded_vprintf(entry->pattern, sizeof(entry->pattern), fmt.get(), args);
    }
    return entry;
}

gboolean waited_timeout(gpointer data)
{
    auto *entry = static_cast<Expectation *>(data);
    entry->status = FALSE;
    entry->tid = 0;
    return G_SOURCE_REMOVE;
}

void start_timer(Expectation *entry)
{
    const guint ms = entry->timeout > 0 ? static_cast<guint>(entry->timeout) * 1000U : 0U;
    entry->tid = g_timeout_add(ms, waited_timeout, entry);
}

void free_waited(gpointer data)
{
    auto *entry = static_cast<Expectation *>(data);
    if (entry->tid != 0)
        g_source_remove(entry->tid);
    g_free(entry);
}

bool agrees(const Expectation *entry, KvrlogLevel level, guint32 trace, gconstpointer p)
{
    return entry->level == level && entry->trace == trace && (entry->p == nullptr || entry->p == p);
}

void test_logger(KvrlogLevel level, const gchar *msg)
{
    if (g_getenv("KVRLOG_ENABLE") == nullptr)
        return;
    char prefix[64] = "";
    if (g_getenv("KVRLOG_NO_TIMESTAMP") == nullptr) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        std::size_t len = 0;
        if (g_getenv("KVRLOG_FULL_TIMESTAMP") != nullptr) {
            struct tm local;
            const time_t seconds = now.tv_sec;
            localtime_r(&seconds, &local);
            len = std::strftime(prefix, sizeof(prefix), "%Y/%m/%d %H:%M:%S", &local);
            len += kvrlog_bounded_printf(prefix + len, sizeof(prefix) - len, ".%06lu",
                                         static_cast<unsigned long>(now.tv_usec));
        } else {
            long sec = now.tv_sec - gsStart.tv_sec;
            long usec = now.tv_usec - gsStart.tv_usec;
            if (usec < 0) {
                usec += 1000000;
                --sec;
            }
            len = kvrlog_bounded_printf(prefix, sizeof(prefix), "%lu.%06lu",
                                        static_cast<unsigned long>(sec),
                                        static_cast<unsigned long>(usec));
        }
        kvrlog_bounded_printf(prefix + len, sizeof(prefix) - len, " ");
    }
    std::fprintf(stderr, "%s[%s] %s", prefix, kvrlog_level_to_str(nullptr, level, 0),
                 msg != nullptr ? msg : "");
    std::fflush(stderr);
}

/* Nick of a sink type, as configurations name it. */
const char *sink_name(KvrlogHelperType type)
{
    GEnumClass *klass = G_ENUM_CLASS(g_type_class_ref(KVRLOG_TYPE_HELPER_TYPE));
    const GEnumValue *value = g_enum_get_value(klass, type);
    const char *name = value != nullptr ? value->value_nick : "unknown";
    g_type_class_unref(klass);
    return name;
}

} // namespace

void kvrlog_test_unittest_setup(void)
{
    gettimeofday(&gsStart, nullptr);
    KvrlogConf *conf = kvrlog_conf_new_with_options(
        "level", static_cast<guint>(KVRLOG_LEVEL_DEBUG), "trace", G_MAXUINT64, "type",
        static_cast<guint>(KVRLOG_HELPER_CALLBACK), nullptr);
    /* The configuration is one per process: one the program made for another
     * sink (or callback) comes back unchanged, and writing the test callback
     * into it would overwrite that sink's settings. */
    const bool foreign =
        conf->type != KVRLOG_HELPER_CALLBACK ||
        (conf->helper.callback.cb != nullptr && conf->helper.callback.cb != test_logger);
    if (foreign) {
        std::fprintf(stderr,
                     "kvrlog_test_unittest_setup: a logger configuration of type %s exists "
                     "already; the test logger is not installed\n",
                     sink_name(conf->type));
        kvrlog_conf_unref(conf);
        return;
    }
    conf->helper.callback.cb = test_logger;
    GError *error = nullptr;
    if (!kvrlog_setup(conf, &error)) {
        test_logger(KVRLOG_LEVEL_ERR, error->message);
        g_clear_error(&error);
    }
    /* The logger keeps its own reference once installed. */
    kvrlog_conf_unref(conf);
}

void kvrlog_test_expect_message(KvrlogLevel level, guint32 trace, gconstpointer p,
                                const gchar *pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    g_queue_push_tail(&gsExpected, new_expectation(level, trace, p, pattern, args));
    va_end(args);
}

void kvrlog_test_wait_message(gint32 timeout, KvrlogLevel level, guint32 trace, gconstpointer p,
                              const gchar *pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    Expectation *entry = new_expectation(level, trace, p, pattern, args);
    va_end(args);
    entry->timeout = timeout;
    entry->status = TRUE;
    const bool first = g_queue_is_empty(&gsWaited);
    g_queue_push_tail(&gsWaited, entry);
    if (first)
        start_timer(entry);
}

const gchar *kvrlog_test_message(KvrlogLevel level, guint32 trace, gconstpointer p,
                                 const gchar *format, ...)
{
    auto *first = static_cast<Expectation *>(g_queue_peek_head(&gsExpected));
    auto *waited = static_cast<Expectation *>(g_queue_peek_head(&gsWaited));
    const bool expected_candidate = first != nullptr && agrees(first, level, trace, p);
    const bool waited_candidate =
        waited != nullptr && waited->status && agrees(waited, level, trace, p);
    if (!expected_candidate && !waited_candidate)
        return nullptr;

    char text[kPatternSize];
    text[0] = '\0';
    if (format != nullptr) {
        const KvrlogFormat fmt(format);
        va_list args;
        va_start(args, format);
        kvrlog_bounded_vprintf(text, sizeof(text), fmt.get(), args);
        va_end(args);
    }

    bool expected = false;
    if (expected_candidate && g_pattern_match_simple(first->pattern, text)) {
        g_free(g_queue_pop_head(&gsExpected));
        expected = true;
    }
    if (waited_candidate && g_pattern_match_simple(waited->pattern, text)) {
        free_waited(g_queue_pop_head(&gsWaited));
        auto *next = static_cast<Expectation *>(g_queue_peek_head(&gsWaited));
        if (next != nullptr)
            start_timer(next);
        return expected ? "[w]" : "[ew]";
    }
    return expected ? "[e]" : nullptr;
}

gboolean kvrlog_test_expected_check(GError **error)
{
    const auto *first = static_cast<const Expectation *>(g_queue_peek_head(&gsExpected));
    if (first == nullptr)
        return TRUE;
    kvrlog_set_error(error, KVRLOG_ERR, "Did not see expected message (l:%s,t:%x,p:%p): %s",
                     kvrlog_level_to_str(nullptr, first->level, 0), first->trace, first->p,
                     first->pattern);
    return FALSE;
}

gboolean kvrlog_test_waited_check(GError **error, gboolean *next)
{
    const auto *first = static_cast<const Expectation *>(g_queue_peek_head(&gsWaited));
    if (first == nullptr || first->status) {
        if (next != nullptr)
            *next = first != nullptr;
        return TRUE;
    }
    if (next != nullptr)
        *next = FALSE;
    kvrlog_set_error(error, KVRLOG_ERR, "Did not see %swaited message (l:%s,t:%x,p:%p): %s",
                     "on time ", kvrlog_level_to_str(nullptr, first->level, 0), first->trace,
                     first->p, first->pattern);
    return FALSE;
}

void kvrlog_test_cleanall(void)
{
    g_queue_clear_full(&gsWaited, free_waited);
}
