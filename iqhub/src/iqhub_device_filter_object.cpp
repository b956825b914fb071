/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* IqhubDeviceFilter: a black list or white list of device ids. */
#include "iqhub-private.h"

struct _IqhubDeviceFilter {
    GObject parent_instance;
    guint32 mode;
    GList *devices; /* GUINT_TO_POINTER ids, most recent first */
};

namespace
{

GParamSpec *gProperties[IQHUB_DEVICE_FILTER_PROP_ENUM_MAX] = {nullptr};

/* The device id of an uplink record; FALSE for any other record. */
gboolean frame_device_id(const kvrframe *frame, guint32 *id)
{
    switch (frame->v) {
    case KVRPROTO_VERSION_V0:
        *id = frame->f.v0.tid;
        return TRUE;
    case KVRPROTO_VERSION_V1:
        *id = kvrproto_get_tstid(frame, nullptr);
        return TRUE;
    default:
        return FALSE;
    }
}

gboolean filter_frame(IqhubIfilter *filter, kvrframe *frame)
{
    return iqhub_device_filter_do_filter(IQHUB_DEVICE_FILTER(filter), frame);
}

void ifilter_init(IqhubIfilterInterface *iface)
{
    iface->do_filter = filter_frame;
}

} // namespace

G_DEFINE_FINAL_TYPE_WITH_CODE(IqhubDeviceFilter, iqhub_device_filter, G_TYPE_OBJECT,
                              G_IMPLEMENT_INTERFACE(IQHUB_TYPE_IFILTER, ifilter_init))

static void iqhub_device_filter_set_property(GObject *object, guint prop_id, const GValue *value,
                                             GParamSpec *pspec)
{
    IqhubDeviceFilter *self = IQHUB_DEVICE_FILTER(object);
    switch (prop_id) {
    case IQHUB_DEVICE_FILTER_PROP_MODE:
        self->mode = g_value_get_uint(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void iqhub_device_filter_get_property(GObject *object, guint prop_id, GValue *value,
                                             GParamSpec *pspec)
{
    IqhubDeviceFilter *self = IQHUB_DEVICE_FILTER(object);
    switch (prop_id) {
    case IQHUB_DEVICE_FILTER_PROP_MODE:
        g_value_set_uint(value, self->mode);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void iqhub_device_filter_finalize(GObject *object)
{
    IqhubDeviceFilter *self = IQHUB_DEVICE_FILTER(object);
    g_list_free(self->devices);
    G_OBJECT_CLASS(iqhub_device_filter_parent_class)->finalize(object);
}

static void iqhub_device_filter_class_init(IqhubDeviceFilterClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->set_property = iqhub_device_filter_set_property;
    object_class->get_property = iqhub_device_filter_get_property;
    object_class->finalize = iqhub_device_filter_finalize;
    gProperties[IQHUB_DEVICE_FILTER_PROP_MODE] = g_param_spec_uint(
        "mode", "TAP mode", "Tap mode", 0, G_MAXUINT, IQHUB_DEVICE_FILTER_MODE_BLACKLIST,
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY |
                                 G_PARAM_STATIC_STRINGS));
    g_object_class_install_properties(object_class, IQHUB_DEVICE_FILTER_PROP_ENUM_MAX, gProperties);
}

static void iqhub_device_filter_init(IqhubDeviceFilter *self)
{
    self->devices = nullptr;
}

extern "C" {

IQHUB_EXPORT GType iqhub_device_filter_mode_get_type(void)
{
    static gsize type_id = 0;
    if (g_once_init_enter(&type_id)) {
        static const GEnumValue values[] = {
            {IQHUB_DEVICE_FILTER_MODE_BLACKLIST, "IQHUB_DEVICE_FILTER_MODE_BLACKLIST", "blacklist"},
            {IQHUB_DEVICE_FILTER_MODE_WHITELIST, "IQHUB_DEVICE_FILTER_MODE_WHITELIST", "whitelist"},
            {IQHUB_DEVICE_FILTER_MODE_UNSUPPORTED, "IQHUB_DEVICE_FILTER_MODE_UNSUPPORTED",
             "unsupported"},
            {0, nullptr, nullptr},
        };
        g_once_init_leave(&type_id, g_enum_register_static("IqhubDeviceFilterMode", values));
    }
    return type_id;
}

IQHUB_EXPORT IqhubDeviceFilter *iqhub_device_filter_new(void)
{
    return IQHUB_DEVICE_FILTER(g_object_new(IQHUB_TYPE_DEVICE_FILTER, nullptr));
}

IQHUB_EXPORT IqhubDeviceFilter *
iqhub_device_filter_new_with_options(const gchar *first_property_name, ...)
{
    va_list args;
    va_start(args, first_property_name);
    GObject *object = g_object_new_valist(IQHUB_TYPE_DEVICE_FILTER, first_property_name, args);
    va_end(args);
    return IQHUB_DEVICE_FILTER(object);
}

IQHUB_EXPORT void iqhub_device_filter_unref(IqhubDeviceFilter *filter)
{
    g_return_if_fail(IQHUB_IS_DEVICE_FILTER(filter));
    g_object_unref(filter);
}

IQHUB_EXPORT void iqhub_device_filter_register_device(IqhubDeviceFilter *filter, guint32 id)
{
    g_return_if_fail(IQHUB_IS_DEVICE_FILTER(filter));
    xvek_log(LOG_LEVEL_INFO, "Registering device:%X", id);
    filter->devices = g_list_prepend(filter->devices, GUINT_TO_POINTER(id));
}

IQHUB_EXPORT void iqhub_device_filter_unregister_device(IqhubDeviceFilter *filter, guint32 id)
{
    g_return_if_fail(IQHUB_IS_DEVICE_FILTER(filter));
    xvek_log(LOG_LEVEL_INFO, "Unregistering device:%X", id);
    filter->devices = g_list_remove(filter->devices, GUINT_TO_POINTER(id));
}

IQHUB_EXPORT const GList *iqhub_device_filter_list_registered_devices(IqhubDeviceFilter *filter)
{
    g_return_val_if_fail(IQHUB_IS_DEVICE_FILTER(filter), nullptr);
    return filter->devices;
}

IQHUB_EXPORT gboolean iqhub_device_filter_do_filter(IqhubDeviceFilter *filter, kvrframe *frame)
{
    g_return_val_if_fail(IQHUB_IS_DEVICE_FILTER(filter), TRUE);
    g_return_val_if_fail(frame != nullptr, FALSE);
    const gboolean whitelist = filter->mode == IQHUB_DEVICE_FILTER_MODE_WHITELIST;
    if (!whitelist && filter->mode != IQHUB_DEVICE_FILTER_MODE_BLACKLIST)
        return TRUE;
    guint32 id = 0;
    if (frame_device_id(frame, &id) &&
        g_list_find(filter->devices, GUINT_TO_POINTER(id)) != nullptr)
        return whitelist;
    xvek_log(LOG_LEVEL_INFO, "Receiving message from undeclared ID");
    return !whitelist;
}

} // extern "C"
