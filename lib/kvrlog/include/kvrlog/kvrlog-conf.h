/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRLOG_INSIDE) && !defined(KVRLOG_COMPILATION)
#error "Only <kvrlog/kvrlog.h> can be included directly."
#endif

#include <stdio.h>
#include <glib-object.h>
#include <kvrlog/kvrlog-export.h>
#include <kvrlog/kvrlog-types.h>

G_BEGIN_DECLS

#define KVRLOG_FILENAME_SIZE 260
#define KVRLOG_MODES_SIZE 3

/* Receives the finished text of the callback sink. */
typedef void (*KvrlogCallback)(KvrlogLevel level, const gchar *msg);

typedef struct {
    FILE *file;
    guint8 extend_timestamp;
} KvrlogHelperFdConf;

typedef struct {
    gchar filename[KVRLOG_FILENAME_SIZE];
    gchar modes[KVRLOG_MODES_SIZE];
    guint8 extend_timestamp;
} KvrlogHelperFileConf;

typedef struct {
    gchar filename[KVRLOG_FILENAME_SIZE];
    gchar modes[KVRLOG_MODES_SIZE];
    guint8 history; /* kept old files, 1 to 4 */
    gsize max_size; /* KB */
    guint8 extend_timestamp;
} KvrlogHelperRfileConf;

typedef struct {
    gint32 facility;
    gint32 option;
} KvrlogHelperSyslogConf;

typedef struct {
    KvrlogCallback cb;
} KvrlogHelperCallbackConf;

/* Settings of the sink; only the member of the configured type is meaningful. */
typedef union {
    KvrlogHelperFdConf fd;
    KvrlogHelperFileConf file;
    KvrlogHelperRfileConf rfile;
    KvrlogHelperSyslogConf syslog;
    KvrlogHelperCallbackConf callback;
} KvrlogHelperConf;

#define KVRLOG_TYPE_CONF (kvrlog_conf_get_type())
KVRLOG_EXPORT G_DECLARE_FINAL_TYPE(KvrlogConf, kvrlog_conf, KVRLOG, CONF, GObject)

/* The one configuration of the process. The call-site gate reads `level` and
 * `trace` directly, so the record is public; change the first five through
 * their properties. */
struct _KvrlogConf {
    GObject parent_instance;
    gchar *prog;
    KvrlogLevel level;
    guint64 trace;
    gboolean threads;
    GHashTable *reg_traces;
    KvrlogHelperType type;
    KvrlogHelperConf helper;
};

/* Creates the configuration, or returns a new reference to the live one
 * unchanged (the properties given are then not applied). */
KVRLOG_EXPORT KvrlogConf *kvrlog_conf_new(void);
KVRLOG_EXPORT KvrlogConf *kvrlog_conf_new_with_options(const gchar *first_property_name,
                                                       ...) G_GNUC_NULL_TERMINATED;
KVRLOG_EXPORT void kvrlog_conf_unref(KvrlogConf *conf);

/* Applies the keys of the group "log" in file order. */
KVRLOG_EXPORT gboolean kvrlog_conf_parse(KvrlogConf *conf, GKeyFile *file, GError **error);
/**
 * kvrlog_conf_setup:
 * @conf: the configuration
 * @items: (element-type utf8 utf8): keys of the group "log" and their values
 * @error: the key refused, and why
 *
 * Applies every key/value string pair of @items.
 */
KVRLOG_EXPORT gboolean kvrlog_conf_setup(KvrlogConf *conf, GHashTable *items, GError **error);

KVRLOG_EXPORT KvrlogLevel kvrlog_conf_parse_level(KvrlogConf *conf, const gchar *text,
                                                  GError **error);
/* Parses "NAME | 0xHEX | ..." into a mask of registered trace names. */
KVRLOG_EXPORT guint64 kvrlog_conf_parse_trace(KvrlogConf *conf, const gchar *text, GError **error);
/**
 * kvrlog_conf_list_trace:
 * @conf: the configuration
 * @error: the reason of a failure
 *
 * Returns: (transfer full) (array zero-terminated=1): the registered trace
 *   names (g_strfreev)
 */
KVRLOG_EXPORT gchar **kvrlog_conf_list_trace(KvrlogConf *conf, GError **error);
/* Returns a new text naming the bits of @trace (g_free). */
KVRLOG_EXPORT gchar *kvrlog_trace_to_str(KvrlogConf *conf, guint64 trace);
/**
 * kvrlog_conf_dump: (skip)
 *
 * Writes the configuration to a C stream.
 */
KVRLOG_EXPORT void kvrlog_conf_dump(KvrlogConf *conf, FILE *stream);

G_END_DECLS
