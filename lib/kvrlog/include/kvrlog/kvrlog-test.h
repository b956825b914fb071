/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRLOG_INSIDE) && !defined(KVRLOG_COMPILATION)
#error "Only <kvrlog/kvrlog.h> can be included directly."
#endif

#include <glib.h>
#include <kvrlog/kvrlog-export.h>
#include <kvrlog/kvrlog-types.h>

G_BEGIN_DECLS

/* Sets the logger up for unit tests: every level and trace, printed on
 * standard error when KVRLOG_ENABLE is set (KVRLOG_NO_TIMESTAMP,
 * KVRLOG_FULL_TIMESTAMP choose the time prefix). */
KVRLOG_EXPORT void kvrlog_test_unittest_setup(void);
/* Appends a message that must be seen, in order. @pattern is printf-style and
 * then matched as a GLib simple pattern; @p NULL matches any object. */
KVRLOG_EXPORT void kvrlog_test_expect_message(KvrlogLevel level, guint32 trace, gconstpointer p,
                                              const gchar *pattern, ...);
/* Appends a message that must be seen, in order, within @timeout seconds of
 * its turn (timed on the default main context). */
KVRLOG_EXPORT void kvrlog_test_wait_message(gint32 timeout, KvrlogLevel level, guint32 trace,
                                            gconstpointer p, const gchar *pattern, ...);
/* Offers one logged message; returns "[e]", "[w]", "[ew]" or NULL. */
KVRLOG_EXPORT const gchar *kvrlog_test_message(KvrlogLevel level, guint32 trace, gconstpointer p,
                                               const gchar *format, ...);
KVRLOG_EXPORT gboolean kvrlog_test_expected_check(GError **error);
/**
 * kvrlog_test_waited_check: (skip)
 *
 * Checks the waited messages (its error comes first: C only).
 */
KVRLOG_EXPORT gboolean kvrlog_test_waited_check(GError **error, gboolean *next);
KVRLOG_EXPORT void kvrlog_test_cleanall(void);

G_END_DECLS
