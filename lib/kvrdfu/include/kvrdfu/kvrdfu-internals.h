/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(KVRDFU_INSIDE) && !defined(KVRDFU_COMPILATION)
#error "Only <kvrdfu/kvrdfu.h> can be included directly."
#endif

#include <glib.h>
#include <libusb.h>
#include <kvrdfu/kvrdfu-export.h>
#include <kvrdfu/kvrdfu-program.h>

G_BEGIN_DECLS

/* Size of the report text that dfu_download_firmware() appends to. */
#define KVRDFU_REPORT_SIZE 2048

/* DFU 1.1 request numbers and states used by the download. */
#define KVRDFU_REQ_DETACH 0
#define KVRDFU_REQ_DNLOAD 1
#define KVRDFU_REQ_GETSTATUS 3
#define KVRDFU_STATE_DNBUSY 4
#define KVRDFU_STATE_DNLOAD_IDLE 5
#define KVRDFU_STATE_ERROR 10
#define KVRDFU_STATUS_ERR_UNKNOWN 14

/* The DFU functional descriptor, decoded. On the wire it is 9 bytes, multi-byte
 * fields little-endian: bLength, bDescriptorType, bmAttributes, wDetachTimeOut at
 * offset 3, wTransferSize at 5, bcdDFUVersion at 7. */
#define KVRDFU_FUNC_DESC_LENGTH 9
#define KVRDFU_FUNC_DESC_TYPE 0x21
typedef struct {
    guint8 bLength;
    guint8 bDescriptorType;
    guint8 bmAttributes;
    guint16 wDetachTimeOut;
    guint16 wTransferSize;
    guint16 bcdDFUVersion;
} usb_dfu_func_descriptor;

/* What the search found on one device. */
typedef struct {
    guint16 vid;
    guint16 pid;
    libusb_device *dev;
    gint32 interface_number; /* index in the configuration's interface array */
    guint8 altsetting;       /* index of the DFU alternate setting */
    guint32 xfer_size;       /* wTransferSize: bytes per download block */
    gint32 detach_tout;      /* wDetachTimeOut, milliseconds */
} dfu_capable_device;

/* A decoded DFU_GETSTATUS answer. */
typedef struct {
    guint8 bStatus;
    guint32 bwPollTimeout; /* milliseconds, 24 bits on the wire */
    guint8 bState;
    guint8 iString;
} dfu_status;

/* TRUE when @dev matches the first entry of @list with its ids and one of its
 * alternate settings is a DFU setting; @found then describes it. @found does
 * not take a reference on @dev. */
KVRDFU_EXPORT gboolean is_dfu_capable(const kvrdfu_match_list *list, libusb_device *dev,
                                      dfu_capable_device *found);

/* Downloads @firmware into the device described by @found, then detaches or
 * resets it. When @report (a KVRDFU_REPORT_SIZE-byte text, may be NULL) is
 * given, one line about the download is appended to it. */
KVRDFU_EXPORT gboolean dfu_download_firmware(const gchar *firmware, const dfu_capable_device *found,
                                             gchar *report, GError **error);

G_END_DECLS
