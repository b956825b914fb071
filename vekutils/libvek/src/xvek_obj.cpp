/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* VekDevice: one opened card, and the process-wide disconnection callback. */
#include <atomic>
#include <cstdio>

#include <libusb.h>

#include "xvek_priv.h"

namespace
{

constexpr guint kDefaultId = 99;

/* The process-wide disconnection registration; read on the USB event
 * thread, written by the application. The device is not referenced. */
struct VekparmsCb {
    std::atomic<VekDevice *> dev{nullptr};
    std::atomic<VekDisconnectionCallback> disconnectionCb{nullptr};
};

VekparmsCb gDisconnection;

GParamSpec *gProperties[XVEK_PROP_ENUM_MAX] = {nullptr};

} // namespace

G_DEFINE_TYPE_WITH_PRIVATE(VekDevice, xvek_device, G_TYPE_OBJECT)

VekDevicePrivate *xvek_device_priv(VekDevice *self)
{
    if (self == nullptr || !XVEK_IS_DEVICE(self))
        return nullptr;
    return static_cast<VekDevicePrivate *>(xvek_device_get_instance_private(self));
}

VekDevicePrivate *xvek_device_priv_checked(VekDevice *self, const gchar *function, GError **error,
                                           bool usable)
{
    VekDevicePrivate *priv = xvek_device_priv(self);
    if (priv == nullptr || !usable) {
        xvek_invalid_handle(function, error);
        return nullptr;
    }
    return priv;
}

static GObject *xvek_device_constructor(GType type, guint n_construct_properties,
                                        GObjectConstructParam *construct_properties)
{
    xvek_log(LOG_LEVEL_DEBUG, "%s", "xvek_device_constructor");
    return G_OBJECT_CLASS(xvek_device_parent_class)
        ->constructor(type, n_construct_properties, construct_properties);
}

static void xvek_device_set_property(GObject *object, guint prop_id, const GValue *value,
                                     GParamSpec *pspec)
{
    xvek_log(LOG_LEVEL_DEBUG, "%s", "xvek_device_set_property");
    VekDevicePrivate *priv = xvek_device_priv(XVEK_DEVICE(object));
    switch (prop_id) {
    case XVEK_PROP_ID:
        priv->device_id = g_value_get_uint(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void xvek_device_get_property(GObject *object, guint prop_id, GValue *value,
                                     GParamSpec *pspec)
{
    xvek_log(LOG_LEVEL_DEBUG, "%s", "xvek_device_get_property");
    VekDevicePrivate *priv = xvek_device_priv(XVEK_DEVICE(object));
    switch (prop_id) {
    case XVEK_PROP_ID:
        g_value_set_uint(value, priv->device_id);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void xvek_device_dispose(GObject *object)
{
    G_OBJECT_CLASS(xvek_device_parent_class)->dispose(object);
}

static void xvek_device_finalize(GObject *object)
{
    xvek_log(LOG_LEVEL_DEBUG, "%s", "xvek_device_finalize");
    /* A registration naming this object would hand out a dangling pointer. */
    VekDevice *self = XVEK_DEVICE(object);
    gDisconnection.dev.compare_exchange_strong(self, nullptr);
    xvek_release_device(XVEK_DEVICE(object));
    G_OBJECT_CLASS(xvek_device_parent_class)->finalize(object);
}

static void xvek_device_class_init(VekDeviceClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->constructor = xvek_device_constructor;
    object_class->set_property = xvek_device_set_property;
    object_class->get_property = xvek_device_get_property;
    object_class->dispose = xvek_device_dispose;
    object_class->finalize = xvek_device_finalize;

    gProperties[XVEK_PROP_ID] = g_param_spec_uint(
        "id", "id", "Device Id", 0, G_MAXUINT32, kDefaultId,
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT | G_PARAM_STATIC_STRINGS));
    g_object_class_install_properties(object_class, XVEK_PROP_ENUM_MAX, gProperties);
}

static void xvek_device_init(VekDevice *self)
{
    (void)self;
}

extern "C" {

XVEK_EXPORT gboolean xvek_device_new_with_mode(guint32 xvek_device_id, VektypeOpenMode mode,
                                               VekDevice **pVek, GError **error)
{
    if (pVek == nullptr) {
        xvek_set_error(error, "Null pointer");
        return FALSE;
    }
    *pVek = nullptr;
    VekDevice *self =
        static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, "id", xvek_device_id, nullptr));
    if (self == nullptr) {
        xvek_set_error(error, "Failed creating obj");
        return FALSE;
    }
    if (!xvek_grab_device(self, mode, error)) {
        g_object_unref(self);
        return FALSE;
    }
    *pVek = self;
    return TRUE;
}

XVEK_EXPORT gboolean xvek_device_new(guint32 xvek_device_id, VekDevice **pVek, GError **error)
{
    return xvek_device_new_with_mode(xvek_device_id, XVEK_OPEN_MODE_ALL, pVek, error);
}

XVEK_EXPORT gboolean xvek_set_disconnection_callback(VekDevice *self,
                                                     VekDisconnectionCallback callback,
                                                     gpointer user_data, GDestroyNotify notify,
                                                     GError **error)
{
    (void)user_data;
    (void)notify;
    (void)error;
    if (self == nullptr) {
        std::printf("Vek entity: Null pointer\n");
        std::fflush(stdout);
        xvek_log(LOG_LEVEL_DEBUG, "Vek entity: Null pointer");
        std::fflush(stderr);
        return FALSE;
    }
    gDisconnection.dev.store(self, std::memory_order_release);
    if (callback == nullptr) {
        std::fprintf(stderr, "Vek error: No Callback has been set\n");
        xvek_log(LOG_LEVEL_ERR, "Vek error: No Callback has been set");
        std::fflush(stderr);
        return FALSE;
    }
    gDisconnection.disconnectionCb.store(callback, std::memory_order_release);
    std::printf("Vek: Disconnection callback is set\n");
    std::fflush(stdout);
    xvek_log(LOG_LEVEL_DEBUG, "Vek: Disconnection callback is set");
    std::fflush(stderr);

    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        return TRUE;
    std::fprintf(stderr, "Error: The hotplug support is not available\n");
    xvek_log(LOG_LEVEL_WARN, "The hotplug support is not available");
    std::fflush(stderr);
    return FALSE;
}

XVEK_EXPORT gboolean xvek_callDisconnectionCb(void)
{
    VekDisconnectionCallback cb = gDisconnection.disconnectionCb.load(std::memory_order_acquire);
    if (cb == nullptr) {
        std::fprintf(stderr, "Vek Cb: Null pointer\n");
        std::fflush(stderr);
        xvek_log(LOG_LEVEL_DEBUG, "Vek Cb: Null pointer");
        return FALSE;
    }
    cb(gDisconnection.dev.load(std::memory_order_acquire), nullptr);
    return TRUE;
}

} // extern "C"
