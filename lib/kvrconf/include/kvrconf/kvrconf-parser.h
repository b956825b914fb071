/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRCONF_INSIDE) && !defined(KVRCONF_COMPILATION)
#error "Only <kvrconf/kvrconf.h> can be included directly."
#endif

#include <glib.h>
#include <kvrconf/kvrconf-export.h>

G_BEGIN_DECLS

/* Locates @name in /etc/kavrin/, /etc/, ./conf/ and ./ (in that order) and
 * loads it. Returns NULL (with a diagnostic on standard error) when not found. */
KVRCONF_EXPORT GKeyFile *kvrConfGet(const gchar *name);
/* Loads exactly @path. */
KVRCONF_EXPORT GKeyFile *kvrConfSet(const gchar *path);
KVRCONF_EXPORT void kvrConfRelease(GKeyFile *conf);

KVRCONF_EXPORT gboolean kvrConfHasGroup(GKeyFile *conf, const gchar *group);
KVRCONF_EXPORT gboolean kvrConfHasKey(GKeyFile *conf, const gchar *group, const gchar *key);

/* Typed lookups. The "ok" variants set *ok (when given) and return
 * FALSE/0/0.0/NULL on failure; the Default variants return @def on failure.
 * Every failure is reported on standard error. */
KVRCONF_EXPORT gboolean kvrConfGetBool(GKeyFile *conf, const gchar *group, const gchar *key,
                                       gboolean *ok);
KVRCONF_EXPORT gboolean kvrConfGetBoolDefault(GKeyFile *conf, const gchar *group, const gchar *key,
                                              gboolean def);
KVRCONF_EXPORT gint32 kvrConfGetInt(GKeyFile *conf, const gchar *group, const gchar *key,
                                    gboolean *ok);
KVRCONF_EXPORT gint32 kvrConfGetIntDefault(GKeyFile *conf, const gchar *group, const gchar *key,
                                           gint32 def);
KVRCONF_EXPORT gint64 kvrConfGetInt64(GKeyFile *conf, const gchar *group, const gchar *key,
                                      gboolean *ok);
KVRCONF_EXPORT gint64 kvrConfGetInt64Default(GKeyFile *conf, const gchar *group, const gchar *key,
                                             gint64 def);
KVRCONF_EXPORT guint32 kvrConfGetUInt(GKeyFile *conf, const gchar *group, const gchar *key,
                                      gboolean *ok);
KVRCONF_EXPORT guint32 kvrConfGetUIntDefault(GKeyFile *conf, const gchar *group, const gchar *key,
                                             guint32 def);
KVRCONF_EXPORT guint64 kvrConfGetUInt64(GKeyFile *conf, const gchar *group, const gchar *key,
                                        gboolean *ok);
KVRCONF_EXPORT guint64 kvrConfGetUInt64Default(GKeyFile *conf, const gchar *group, const gchar *key,
                                               guint64 def);
KVRCONF_EXPORT gdouble kvrConfGetDouble(GKeyFile *conf, const gchar *group, const gchar *key,
                                        gboolean *ok);
KVRCONF_EXPORT gdouble kvrConfGetDoubleDefault(GKeyFile *conf, const gchar *group, const gchar *key,
                                               gdouble def);

/* Returns a new trimmed string the caller frees with g_free(). */
KVRCONF_EXPORT gchar *kvrConfGetString(GKeyFile *conf, const gchar *group, const gchar *key,
                                       gboolean *ok);
/* On failure returns @def itself, trimmed in place: do not free a result that
 * is the caller's own default. */
KVRCONF_EXPORT gchar *kvrConfGetStringDefault(GKeyFile *conf, const gchar *group, const gchar *key,
                                              gchar *def);
/* Returns a new string array (g_strfreev) with every element trimmed. */
KVRCONF_EXPORT gchar **kvrConfGetStringList(GKeyFile *conf, const gchar *group, const gchar *key,
                                            gsize *length, gboolean *ok);

G_END_DECLS
