/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRCONF_INSIDE) && !defined(KVRCONF_COMPILATION)
#error "Only <kvrconf/kvrconf.h> can be included directly."
#endif

#include <glib.h>
#include <kvrconf/kvrconf-export.h>

G_BEGIN_DECLS

/* Whole-text conversions. Every failure sets @error in G_CONVERT_ERROR with
 * G_CONVERT_ERROR_FAILED and returns 0 (0.0, FALSE). Accepted bases: 8, 10, 16. */
KVRCONF_EXPORT guint32 kvrConvertStrToUint(const gchar *str, guint base, GError **error);
KVRCONF_EXPORT gint32 kvrConvertStrToInt(const gchar *str, guint base, GError **error);
KVRCONF_EXPORT guint64 kvrConvertStrToUint64(const gchar *str, guint base, GError **error);
KVRCONF_EXPORT gint64 kvrConvertStrToInt64(const gchar *str, guint base, GError **error);
KVRCONF_EXPORT gdouble kvrConvertStrToDouble(const gchar *str, GError **error);

/* Decodes pairs of hexadecimal digits into @data (at most @max_size bytes) and
 * stores the number of bytes in @size. The text "-" is an empty payload. On
 * failure @data is zeroed over @max_size bytes and @size is 0. */
KVRCONF_EXPORT gboolean kvrConvertStrToHex(guint8 *data, const gchar *str, guint max_size,
                                           guint32 *size, GError **error);

G_END_DECLS
