/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRLOG_INSIDE) && !defined(KVRLOG_COMPILATION)
#error "Only <kvrlog/kvrlog.h> can be included directly."
#endif

#include <stdio.h>
#include <glib-object.h>
#include <kvrlog/kvrlog-export.h>
#include <kvrlog/kvrlog-types.h>
#include <kvrlog/kvrlog-conf.h>

G_BEGIN_DECLS

/* Errors use the integer 1 as their domain, not a registered quark. */
typedef enum { KVRLOG_ERRDOM = 1, KVRLOG_ERRDOM_MAX = 2 } KvrlogErrDom;

typedef enum {
    KVRLOG_ERR = 0,
    KVRLOG_ERR_NOT_FOUND = 1,
    KVRLOG_ERR_EARG = 2,
    KVRLOG_ERR_VALUE = 3,
    KVRLOG_ERR_OOM = 4,
    KVRLOG_ERRCODE_MAX = 5
} KvrlogErrCode;

/* Header format of kvrlog_log_fd() that means "no header". */
#define KVRLOG_EMPTY_FORMAT "KVRLOG_EMPTY_FORMAT"

/**
 * kvrlogHelper: (skip)
 *
 * Operations of one sink; any may be NULL.
 */
typedef struct {
    gboolean (*init)(KvrlogConf *conf, GError **error);
    /* Writes one message (ending in a line feed); returns the characters written. */
    gint (*log)(KvrlogConf *conf, KvrlogLevel level, const gchar *msg);
    gboolean (*close)(KvrlogConf *conf, GError **error);
    /* Takes one sink key; TRUE when the key was taken. */
    gboolean (*parse)(const gchar *prefix, const gchar *name, const gchar *value, KvrlogConf *conf);
    void (*dump)(FILE *file, KvrlogConf *conf);
} kvrlogHelper;

/* The current configuration, or NULL. Read by the call-site gate. */
KVRLOG_EXPORT extern KvrlogConf *gsKvrlogConf;
/* Trace name -> guint64 mask. */
KVRLOG_EXPORT extern GHashTable *gsRegisteredTraces;

KVRLOG_EXPORT extern const kvrlogHelper gsHelperFd;
KVRLOG_EXPORT extern const kvrlogHelper gsHelperFile;
KVRLOG_EXPORT extern const kvrlogHelper gsHelperRfile;
KVRLOG_EXPORT extern const kvrlogHelper gsHelperCallback;

/* Writes one message; the text is cut to 509 characters and gets a line feed.
 * Besides the standard conversions, "I64" is accepted as the length modifier
 * of 64-bit integers ("%I64u", "%016I64x"). Call it behind the gate macros. */
KVRLOG_EXPORT void kvrlog_log(KvrlogLevel level, const gchar *prefix, const gchar *format, ...);
KVRLOG_EXPORT void kvrlog_log_s(KvrlogLevel level, const gchar *message);
/* Logs every line of @stream behind the header made from @format. */
KVRLOG_EXPORT void kvrlog_log_fd(KvrlogLevel level, FILE *stream, const gchar *format, ...);

KVRLOG_EXPORT gboolean kvrlog_setup(KvrlogConf *conf, GError **error);
KVRLOG_EXPORT gboolean kvrlog_close(GError **error);
KVRLOG_EXPORT gboolean kvrlog_register_trace(const gchar *name, guint64 flag, GError **error);
KVRLOG_EXPORT const gchar *kvrlog_level_to_str(KvrlogConf *conf, KvrlogLevel level, gint full);
/**
 * kvrlog_get_helper: (skip)
 *
 * The operations of the sink @type.
 */
KVRLOG_EXPORT const kvrlogHelper *kvrlog_get_helper(KvrlogHelperType type);
/* Writes @prefix then @suffix into one static buffer (127 characters at most). */
KVRLOG_EXPORT const gchar *kvrlog_concat(const gchar *prefix, const gchar *suffix);

/* Run when the library is loaded and unloaded. */
KVRLOG_EXPORT void kvrlog_onload(void);
KVRLOG_EXPORT void kvrlog_unload(void);

/* The call-site gate: a disabled message costs one pointer test and one
 * comparison, and its arguments are not evaluated. */
#define KVRLOG_LEVEL_ENABLED(lvl) (gsKvrlogConf != NULL && gsKvrlogConf->level <= (lvl))
#define KVRLOG_TRACE_ENABLED(mask)                                                                 \
    (gsKvrlogConf != NULL && (gsKvrlogConf->trace & (guint64)(mask)) != 0)

#define KVRLOG_LOG(lvl, ...)                                                                       \
    do {                                                                                           \
        if (KVRLOG_LEVEL_ENABLED(lvl))                                                             \
            kvrlog_log((lvl), NULL, __VA_ARGS__);                                                  \
    } while (0)
#define KVRLOG_DEBUG(...) KVRLOG_LOG(KVRLOG_LEVEL_DEBUG, __VA_ARGS__)
#define KVRLOG_INFO(...) KVRLOG_LOG(KVRLOG_LEVEL_INFO, __VA_ARGS__)
#define KVRLOG_WARN(...) KVRLOG_LOG(KVRLOG_LEVEL_WARN, __VA_ARGS__)
#define KVRLOG_ERROR(...) KVRLOG_LOG(KVRLOG_LEVEL_ERR, __VA_ARGS__)

/* Runs @statement only when a trace of @mask is enabled. */
#define KVRLOG_IF_TRACE(mask, statement)                                                           \
    do {                                                                                           \
        if (KVRLOG_TRACE_ENABLED(mask)) {                                                          \
            statement;                                                                             \
        }                                                                                          \
    } while (0)
/* Writes a message when a trace of @mask is enabled (whatever the level). */
#define KVRLOG_TRACE(mask, lvl, ...)                                                               \
    do {                                                                                           \
        if (KVRLOG_TRACE_ENABLED(mask))                                                            \
            kvrlog_log((lvl), NULL, __VA_ARGS__);                                                  \
    } while (0)

G_END_DECLS
