/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRLOG_INSIDE) && !defined(KVRLOG_COMPILATION)
#error "Only <kvrlog/kvrlog.h> can be included directly."
#endif

#include <glib-object.h>
#include <kvrlog/kvrlog-export.h>

G_BEGIN_DECLS

/* Severity of a message; higher is more severe. The configured level is the
 * lowest one that is written. Registered with GLib as "KvrlogLevel". */
typedef enum {
    KVRLOG_LEVEL_DEBUG = 0,
    KVRLOG_LEVEL_INFO = 1,
    KVRLOG_LEVEL_WARN = 2,
    KVRLOG_LEVEL_ERR = 3,
    KVRLOG_LEVEL_MAX = 4
} KvrlogLevel;

/* Output sink of the logger. Registered with GLib as "KvrlogHelperType".
 * KVRLOG_HELPER_SYSLOG has settings but no sink. */
typedef enum {
    KVRLOG_HELPER_FD = 0,
    KVRLOG_HELPER_FILE = 1,
    KVRLOG_HELPER_RFILE = 2,
    KVRLOG_HELPER_CALLBACK = 3,
    KVRLOG_HELPER_SYSLOG = 4,
    KVRLOG_HELPER_MAX = 5
} KvrlogHelperType;

KVRLOG_EXPORT GType kvrlog_level_get_type(void) G_GNUC_CONST;
#define KVRLOG_TYPE_LEVEL (kvrlog_level_get_type())
KVRLOG_EXPORT GType kvrlog_helper_type_get_type(void) G_GNUC_CONST;
#define KVRLOG_TYPE_HELPER_TYPE (kvrlog_helper_type_get_type())

G_END_DECLS
