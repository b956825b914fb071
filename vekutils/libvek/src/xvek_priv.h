/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Private record of VekDevice and the component hooks that grab and release
 * call, shared by the public layer of the device library. */
#pragma once

#include <glib.h>

#include <xvek/xvek.h>

#include "common/xvek_errors.h"

struct sBottomPriv;
struct sBottomCb;

typedef enum {
    COMPONENT_OFF = 0,
    COMPONENT_ON = 1,
} VekCompStatus;

typedef enum {
    STREAM_OFF = 0,
    STREAM_ON = 1,
} VekStreamStatus;

struct VekDevicePrivate {
    guint device_id;
    guint dbus_id;    /* reserved */
    gchar *dbus_path; /* reserved */
    VekCompStatus c_priv;
    VekCompStatus c_ctrl;
    VekCompStatus c_data;
    VekCompStatus c_dl;
    VekStreamStatus rxStatus;
    VekStreamStatus txStatus;
    sBottomPriv *bottom;
    sBottomCb *rxBottomCb;
    sBottomCb *txBottomCb;
};

/* The private record of @self, or NULL when @self is not a VekDevice. */
VekDevicePrivate *xvek_device_priv(VekDevice *self);
/* The private record of @self for the public operation @function, or NULL with
 * "<function>: invalid handle" set when @self is not a VekDevice or when the
 * caller found its other arguments unusable (@usable FALSE). */
VekDevicePrivate *xvek_device_priv_checked(VekDevice *self, const gchar *function, GError **error,
                                           bool usable = true);

/* Component hooks, in grab order; release runs them backwards. The release
 * hooks work on the private record alone, so that a card whose object is
 * finalised on the USB event thread can be released by another thread. */
gboolean xvek_private_init(VekDevice *self, GError **error);
void xvek_priv_release(VekDevicePrivate *priv);
gboolean xvek_ctrl_init(VekDevice *self, GError **error);
void xvek_ctrl_release(VekDevicePrivate *priv);
gboolean xvek_data_init(VekDevice *self, VektypeOpenMode mode, GError **error);
void xvek_data_release(VekDevicePrivate *priv);
gboolean xvek_dl_init(VekDevice *self, VektypeOpenMode mode, GError **error);
void xvek_dl_release(VekDevicePrivate *priv);
