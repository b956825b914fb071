/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRDFU_INSIDE) && !defined(KVRDFU_COMPILATION)
#error "Only <kvrdfu/kvrdfu.h> can be included directly."
#endif

#include <glib.h>
#include <kvrdfu/kvrdfu-export.h>

G_BEGIN_DECLS

/* Error domain value, used directly as the GError domain (no registered quark). */
typedef enum {
    KVRDFU_ERRDOM = 1,
    KVRDFU_ERRDOM_MAX = 2,
} KvrdfuErrorDomain;

/* Every error raised by this library carries KVRDFU_ERR; the other codes are
 * reserved. Callers tell errors apart by their message. */
typedef enum {
    KVRDFU_ERR = 0,
    KVRDFU_ERR_NOT_FOUND = 1,
    KVRDFU_ERR_EARG = 2,
    KVRDFU_ERR_VALUE = 3,
    KVRDFU_ERR_OOM = 4,
    KVRDFU_ERRCODE_MAX = 5,
} KvrdfuErrorCode;

/* One entry of the match list: a USB vendor id and product id. */
typedef struct {
    guint16 vid;
    guint16 pid;
} kvrdfu_dev;

/* The devices to program: @size entries at @list. */
typedef struct {
    kvrdfu_dev *list;
    guint64 size;
} kvrdfu_match_list;

/* Programs @firmware into every attached device that matches @list and has a
 * DFU interface, in libusb enumeration order, on a libusb context of its own.
 *
 * @firmware is sent byte for byte. A name containing a '/' is used as given;
 * a bare name is looked up in the directory named by the environment variable
 * KVRDFU_FIRMWARE_DIR (when set), then in the working directory, then in the
 * installed firmware directory (KVRDFU_FIRMWARE_INSTALL_DIR, <datadir>/vek/firmware).
 * The file is only read when a matching device is present.
 *
 * @devices receives the number of devices programmed (also on failure: the
 * count so far). @prog_info (may be NULL) receives a new text the caller frees
 * with g_free(), one line per programmed device; it is left untouched on
 * failure. When at least one device was programmed the call waits 2000 ms so
 * that the devices can re-enumerate. Returns TRUE also when nothing matched. */
KVRDFU_EXPORT gboolean kvrdfu_program_all_devices(const kvrdfu_match_list *list,
                                                  const gchar *firmware, gint *devices,
                                                  gchar **prog_info, GError **error);

G_END_DECLS
