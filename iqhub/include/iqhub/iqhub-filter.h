/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(IQHUB_INSIDE) && !defined(IQHUB_COMPILATION)
#error "Only <iqhub/iqhub.h> can be included directly."
#endif

#include <glib-object.h>
#include <kvrproto/kvrproto.h>
#include <iqhub/iqhub-export.h>
#include <iqhub/iqhub-object.h>

G_BEGIN_DECLS

/* ---- Filter interface ----------------------------------------------------- */

/* A frame filter: do_filter returns TRUE to keep the frame, FALSE to drop it.
 * It may read the frame and must not free it. */
#define IQHUB_TYPE_IFILTER (iqhub_ifilter_get_type())
IQHUB_EXPORT G_DECLARE_INTERFACE(IqhubIfilter, iqhub_ifilter, IQHUB, IFILTER, GObject)

struct _IqhubIfilterInterface {
    GTypeInterface parent_iface;
    gboolean (*do_filter)(IqhubIfilter *self, kvrframe *frame);
};

/**
 * iqhub_ifilter_do_filter: (skip)
 *
 * The filter's verdict; TRUE (with a warning) for an object that is not a filter.
 */
IQHUB_EXPORT gboolean iqhub_ifilter_do_filter(IqhubIfilter *self, kvrframe *frame);

/* ---- The frame chain and the object's filter list ------------------------------ */

/* Parses an FDATA_V1 line, gives the frame the time value of its write, runs
 * the filters and hands the frame to the host's frame callback. @length is not
 * used (the line ends with its NUL). A frame a filter drops is counted in
 * "frames-drop" and is not an error. */
IQHUB_EXPORT gboolean iqhub_filter(Iqhub *self, const gchar *line, gsize length, GError **error);
/* Takes a reference and puts the filter first: the last added runs first. */
IQHUB_EXPORT void iqhub_add_filter(Iqhub *self, IqhubIfilter *filter);
/* Removes the first occurrence and drops the list's reference. */
IQHUB_EXPORT void iqhub_delete_filter(Iqhub *self, IqhubIfilter *filter);

/* ---- Device filter: device id black list or white list ------------------------ */

typedef enum {
    IQHUB_DEVICE_FILTER_MODE_BLACKLIST = 0,
    IQHUB_DEVICE_FILTER_MODE_WHITELIST = 1,
    IQHUB_DEVICE_FILTER_MODE_UNSUPPORTED = 255
} IqhubDeviceFilterMode;

IQHUB_EXPORT GType iqhub_device_filter_mode_get_type(void) G_GNUC_CONST;
#define IQHUB_TYPE_DEVICE_FILTER_MODE (iqhub_device_filter_mode_get_type())

typedef enum {
    IQHUB_DEVICE_FILTER_PROP_MODE = 1,
    IQHUB_DEVICE_FILTER_PROP_ENUM_MAX = 2
} IqhubDeviceFilterProperties;

/* Property "mode" (construct-only, an IqhubDeviceFilterMode value): in
 * black-list mode a listed id drops the frame, in white-list mode only a
 * listed id keeps it, any other mode keeps everything. */
#define IQHUB_TYPE_DEVICE_FILTER (iqhub_device_filter_get_type())
IQHUB_EXPORT G_DECLARE_FINAL_TYPE(IqhubDeviceFilter, iqhub_device_filter, IQHUB, DEVICE_FILTER,
                                  GObject)

IQHUB_EXPORT IqhubDeviceFilter *iqhub_device_filter_new(void);
IQHUB_EXPORT IqhubDeviceFilter *
iqhub_device_filter_new_with_options(const gchar *first_property_name, ...);
IQHUB_EXPORT void iqhub_device_filter_unref(IqhubDeviceFilter *filter);
IQHUB_EXPORT void iqhub_device_filter_register_device(IqhubDeviceFilter *filter, guint32 id);
IQHUB_EXPORT void iqhub_device_filter_unregister_device(IqhubDeviceFilter *filter, guint32 id);
/**
 * iqhub_device_filter_list_registered_devices: (skip)
 *
 * The filter's own list of ids (GUINT_TO_POINTER), most recent first: neither
 * change nor free it.
 */
IQHUB_EXPORT const GList *iqhub_device_filter_list_registered_devices(IqhubDeviceFilter *filter);
/**
 * iqhub_device_filter_do_filter: (skip)
 */
IQHUB_EXPORT gboolean iqhub_device_filter_do_filter(IqhubDeviceFilter *filter, kvrframe *frame);

/* ---- Authentication filter: drops current uplink frames with a wrong code ------ */

#define IQHUB_TYPE_HMAC_FILTER (iqhub_hmac_filter_get_type())
IQHUB_EXPORT G_DECLARE_FINAL_TYPE(IqhubHmacFilter, iqhub_hmac_filter, IQHUB, HMAC_FILTER, GObject)

IQHUB_EXPORT IqhubHmacFilter *iqhub_hmac_filter_new(void);
IQHUB_EXPORT void iqhub_hmac_filter_unref(IqhubHmacFilter *filter);
/* Switches the check on or off for every authentication filter of the
 * process (on at start). */
IQHUB_EXPORT void iqhub_hmac_filter_set_auth(IqhubHmacFilter *filter, gboolean on);
/**
 * iqhub_hmac_filter_do_filter: (skip)
 */
IQHUB_EXPORT gboolean iqhub_hmac_filter_do_filter(IqhubHmacFilter *filter, kvrframe *frame);

G_END_DECLS
