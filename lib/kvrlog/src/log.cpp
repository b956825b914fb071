/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Logger core: trace registry, message assembly, GLib redirection, setup and close. */
#include "kvrlog-private.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

KvrlogConf *gsKvrlogConf = nullptr;
GHashTable *gsRegisteredTraces = nullptr;

namespace
{

const kvrlogHelper *gsLogHelper = nullptr;
gboolean gsStarted = FALSE;

/* Messages keep their first 509 characters; a line feed follows. */
constexpr std::size_t kMaxMessage = 509;
/* A longer header would leave kvrlog_log_fd() too little room to make
 * progress on its stream; such headers are cut. */
constexpr std::size_t kMaxFdHeader = kMaxMessage - 64;

bool is_conversion_flag(char c)
{
    return std::strchr("-+ #0123456789.*'", c) != nullptr;
}

/* Copies @format into @out (when given) with every "I64" modifier rewritten;
 * returns the length of the result, or 0 when no modifier is present. */
std::size_t translate_i64(const char *format, char *out)
{
    bool found = false;
    std::size_t len = 0;
    const std::size_t mod_len = std::strlen(G_GINT64_MODIFIER);
    for (const char *p = format; *p != '\0';) {
        if (*p != '%') {
            if (out)
                out[len] = *p;
            ++len;
            ++p;
            continue;
        }
        const char *conv = p + 1;
        while (*conv != '\0' && is_conversion_flag(*conv))
            ++conv;
        const std::size_t head = static_cast<std::size_t>(conv - p);
        if (out)
            std::memcpy(out + len, p, head);
        len += head;
        p = conv;
        if (std::strncmp(p, "I64", 3) == 0) {
            found = true;
            if (out)
                std::memcpy(out + len, G_GINT64_MODIFIER, mod_len);
            len += mod_len;
            p += 3;
        } else if (*p != '\0') {
            /* The conversion character itself, so "%%" never starts a new conversion. */
            if (out)
                out[len] = *p;
            ++len;
            ++p;
        }
    }
    if (out)
        out[len] = '\0';
    return found ? len : 0;
}

} // namespace

KvrlogFormat::KvrlogFormat(const char *format) : format_(format)
{
    if (format == nullptr || std::strstr(format, "I64") == nullptr)
        return;
    const std::size_t len = translate_i64(format, nullptr);
    if (len == 0)
        return;
    char *out = local_;
    if (len >= sizeof(local_)) {
        heap_ = std::make_unique<char[]>(len + 1);
        out = heap_.get();
    }
    translate_i64(format, out);
    format_ = out;
}

std::size_t kvrlog_bounded_vprintf(char *buf, std::size_t size, const char *format, va_list args)
{
    if (size == 0)
        return 0;
    const int n = std::vsnprintf(buf, size, format, args);
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    const std::size_t len = static_cast<std::size_t>(n);
    return len < size ? len : size - 1;
}

std::size_t kvrlog_bounded_printf(char *buf, std::size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const std::size_t len = kvrlog_bounded_vprintf(buf, size, format, args);
    va_end(args);
    return len;
}

namespace
{

/* The sink is written to only after a successful setup: before it, or after
 * a failed one, the configuration may be published while no sink is open. */
const kvrlogHelper *active_helper()
{
    if (!gsStarted || gsLogHelper == nullptr || gsLogHelper->log == nullptr)
        return nullptr;
    return gsLogHelper;
}

void log_valist(KvrlogLevel level, const gchar *prefix, const gchar *format, va_list args)
{
    const kvrlogHelper *helper = active_helper();
    if (helper == nullptr || format == nullptr)
        return;

    char buf[kKvrlogBufSize];
    std::size_t len = 0;
    buf[0] = '\0';
    if (prefix != nullptr)
        len = kvrlog_bounded_printf(buf, sizeof(buf), "%s ", prefix);
    const KvrlogFormat fmt(format);
    len += kvrlog_bounded_vprintf(buf + len, sizeof(buf) - len, fmt.get(), args);
    if (len > kMaxMessage)
        len = kMaxMessage;
    buf[len] = '\n';
    buf[len + 1] = '\0';
    helper->log(gsKvrlogConf, level, buf);
}

} // namespace

void kvrlog_log(KvrlogLevel level, const gchar *prefix, const gchar *format, ...)
{
    va_list args;
    va_start(args, format);
    log_valist(level, prefix, format, args);
    va_end(args);
}

void kvrlog_log_s(KvrlogLevel level, const gchar *message)
{
    kvrlog_log(level, nullptr, "%s", message);
}

void kvrlog_log_fd(KvrlogLevel level, FILE *stream, const gchar *format, ...)
{
    if (active_helper() == nullptr || stream == nullptr || format == nullptr)
        return;

    char buf[kKvrlogBufSize];
    std::size_t header = 0;
    buf[0] = '\0';
    if (std::strcmp(format, KVRLOG_EMPTY_FORMAT) != 0) {
        const KvrlogFormat fmt(format);
        va_list args;
        va_start(args, format);
        header = kvrlog_bounded_vprintf(buf, kMaxFdHeader + 1, fmt.get(), args);
        va_end(args);
    }

    /* Pieces are read short enough that header, piece and line feed pass
     * kvrlog_log() whole: an over-long line is split, never cut. */
    char *line = buf + header;
    const int room = static_cast<int>(kMaxMessage - header);
    while (std::fgets(line, room, stream) != nullptr) {
        std::size_t len = std::strlen(line);
        while (len > 0 && line[len - 1] == '\n')
            --len;
        line[len] = '\n';
        line[len + 1] = '\0';
        kvrlog_log(level, nullptr, "%s", buf);
    }
}

gboolean kvrlog_register_trace(const gchar *name, guint64 flag, GError **error)
{
    if (name == nullptr) {
        kvrlog_set_error(error, KVRLOG_ERR_EARG, "'trace' argument cannot be null");
        return FALSE;
    }
    if (gsRegisteredTraces == nullptr)
        kvrlog_onload();
    if (g_hash_table_contains(gsRegisteredTraces, name)) {
        kvrlog_set_error(error, KVRLOG_ERR_VALUE, "'%s' already exists", name);
        return FALSE;
    }
    auto *mask = g_new(guint64, 1);
    *mask = flag;
    g_hash_table_insert(gsRegisteredTraces, g_strdup(name), mask);
    return TRUE;
}

const gchar *kvrlog_level_to_str(KvrlogConf *conf, KvrlogLevel level, gint full)
{
    (void)conf;
    static const char *const kShort[] = {"D", "I", "W", "E"};
    static const char *const kLong[] = {"DEBUG", "INFO", "WARN", "ERROR"};
    const auto index = static_cast<unsigned>(level);
    if (index >= G_N_ELEMENTS(kShort))
        return full == 1 ? "??" : "?";
    return full == 1 ? kLong[index] : kShort[index];
}

void kvrlog_glib_handler(const gchar *domain, GLogLevelFlags flags, const gchar *message,
                         gpointer user_data)
{
    (void)user_data;
    const bool to_sink = active_helper() != nullptr;
    /* Once the logger is closed, GLib's messages go to standard error, as
     * GLib would print them: debug and info only when it would show them. */
    if (!to_sink && g_log_writer_default_would_drop(
                        static_cast<GLogLevelFlags>(flags & G_LOG_LEVEL_MASK), domain))
        return;
    g_autoptr(GString) text = g_string_sized_new(256);
    g_string_append(text, "[GLIB");
    if (domain != nullptr)
        g_string_append_printf(text, "-%s ", domain);
    else
        g_string_append_c(text, ' ');
    static const struct {
        GLogLevelFlags flag;
        const char *tag;
    } kTags[] = {
        {G_LOG_FLAG_FATAL, "FATAL-"},     {G_LOG_LEVEL_ERROR, "ERROR] "},
        {G_LOG_LEVEL_CRITICAL, "CRIT] "}, {G_LOG_LEVEL_WARNING, "WARN] "},
        {G_LOG_LEVEL_MESSAGE, "MSG] "},   {G_LOG_LEVEL_INFO, "INFO] "},
        {G_LOG_LEVEL_DEBUG, "DBG] "},
    };
    for (const auto &tag : kTags) {
        if ((flags & tag.flag) != 0)
            g_string_append(text, tag.tag);
    }
    if (message != nullptr)
        g_string_append(text, message);
    if (!to_sink) {
        std::fprintf(stderr, "%s\n", text->str);
        return;
    }
    kvrlog_log(KVRLOG_LEVEL_WARN, nullptr, "%s", text->str);
    /* GLib aborts the process after a fatal message: the line must not stay
     * in the stream's buffer. */
    if ((flags & (G_LOG_FLAG_FATAL | G_LOG_LEVEL_ERROR)) != 0 && gsLogFile != nullptr)
        std::fflush(gsLogFile);
}

gboolean kvrlog_setup(KvrlogConf *conf, GError **error)
{
    /* One setup per process: refuse before touching the running logger. */
    if (gsStarted) {
        kvrlog_set_error(error, KVRLOG_ERR, "logger already set up");
        return FALSE;
    }
    if (!KVRLOG_IS_CONF(conf)) {
        kvrlog_set_error(error, KVRLOG_ERR_EARG, "'conf' argument is not a configuration");
        return FALSE;
    }
    const kvrlogHelper *helper = kvrlog_get_helper(conf->type);
    if (helper == nullptr) {
        kvrlog_set_error(error, KVRLOG_ERR_VALUE, "logger type %d has no output",
                         static_cast<int>(conf->type));
        return FALSE;
    }

    if (gsLogHelper != nullptr && gsLogHelper->close != nullptr)
        gsLogHelper->close(gsKvrlogConf, nullptr);
    gsLogHelper = nullptr;
    g_clear_object(&gsKvrlogConf);

    gsKvrlogConf = KVRLOG_CONF(g_object_ref(conf));
    gsLogHelper = helper;

    if (helper->init == nullptr) {
        gsStarted = TRUE;
        return TRUE;
    }
    if (!helper->init(conf, error))
        return FALSE;
    g_log_set_default_handler(kvrlog_glib_handler, nullptr);
    if (helper->log != nullptr)
        helper->log(conf, KVRLOG_LEVEL_INFO, "==========================================\n");
    gsStarted = TRUE;
    return TRUE;
}

gboolean kvrlog_close(GError **error)
{
    GError *close_error = nullptr;
    if (gsLogHelper != nullptr && gsLogHelper->close != nullptr)
        gsLogHelper->close(gsKvrlogConf, &close_error);
    gsLogHelper = nullptr;
    g_clear_object(&gsKvrlogConf);
    if (close_error != nullptr) {
        g_propagate_error(error, close_error);
        return FALSE;
    }
    return TRUE;
}

void kvrlog_onload(void)
{
    if (gsRegisteredTraces == nullptr)
        gsRegisteredTraces = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
}

void kvrlog_unload(void)
{
    g_clear_pointer(&gsRegisteredTraces, g_hash_table_unref);
}

namespace
{
__attribute__((constructor)) void kvrlog_library_loaded()
{
    kvrlog_onload();
}
__attribute__((destructor)) void kvrlog_library_unloaded()
{
    kvrlog_unload();
}
} // namespace
