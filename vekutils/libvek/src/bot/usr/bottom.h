/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Lower layer of the device library: everything that touches libusb.
 * Shared by the context, scan, control, stream and downlink modules. */
#pragma once

#include <atomic>
#include <memory>

#include <glib.h>
#include <libusb.h>

#include <xvek/xvek.h>

#include "common/xvek_errors.h"

struct UsbHandleCloser {
    void operator()(libusb_device_handle *h) const { libusb_close(h); }
};
/* An open libusb device handle, closed when it goes. */
using UsbHandlePtr = std::unique_ptr<libusb_device_handle, UsbHandleCloser>;

struct UsbTransferFreer {
    void operator()(libusb_transfer *t) const { libusb_free_transfer(t); }
};
/* A libusb transfer, freed when it goes (it must not be in flight then). */
using UsbTransferPtr = std::unique_ptr<libusb_transfer, UsbTransferFreer>;

/* Callback record of one direction of one card (RX or TX), created zeroed at
 * grab with its owner set. The event thread reads _cb.rx, _data and owner
 * while streaming; they only change while the transfers are stopped. */
struct sBottomCb {
    VekDeviceUserCB _cb;
    VekDeviceErrCB _err_cb;
    gpointer _data;
    gpointer _err_data;
    GDestroyNotify _notify;
    VekDevice *owner;
};

/* Per-component use counters of a listed card (kept at 0 by this library). */
struct sRef {
    guint32 ctl;
    guint32 rx;
    guint32 tx;
};

/* One supported card of the device list. */
struct sDev {
    libusb_device *dev; /* one libusb reference held by the context */
    sRef ref;
    gchar *info; /* descriptor summary, may be empty */
};

#define XVEK_MAX_DEVICES 64u

/* The process-wide USB context. */
struct sBottomCtx {
    libusb_context *usbCtx;
    sDev **devList; /* XVEK_MAX_DEVICES entries, index = device id */
    gsize devNb;
    GThread *gthread;                /* event thread while it runs */
    std::atomic<gint32> threadAbort; /* 1 asks the event thread to end */
    guint engineUsers;               /* streams that asked for the event thread */
};

/* Streaming and downlink state of one card; defined and owned by the
 * stream/downlink modules (ustream, udl), released by them. */
struct sBottomStream;
struct VekDeviceDataChan;

/* The bottom half of one opened card (bottom_private_init); going, it closes
 * the handle, then drops its context reference. The data channels are
 * released before by their modules. */
struct sBottomPriv {
    sBottomCtx *c = nullptr; /* context reference taken at open */
    UsbHandlePtr h;          /* every transfer of this card uses it */
    sBottomCb *cb = nullptr; /* not used */
    VekDeviceDataChan *ch_rx = nullptr;
    VekDeviceDataChan *ch_tx = nullptr;
    sBottomStream *stream = nullptr; /* free for the stream/downlink modules */

    sBottomPriv() = default;
    sBottomPriv(const sBottomPriv &) = delete;
    sBottomPriv &operator=(const sBottomPriv &) = delete;
    ~sBottomPriv();
};

/* ---- Context (ucontext) ---- */

/* Takes one reference on the context, creating it (DFU step and scan) when
 * there is none. Safe to call from several threads. */
gboolean context_get(sBottomCtx **ctx, GError **error);
/* Drops one reference; the last one destroys the context. */
void context_release(sBottomCtx *ctx);
gboolean context_device_obtain(sBottomCtx *ctx, guint id, sDev **dev, GError **error);
/* The event thread "libvekUsbEngine" is shared by every streaming card of
 * the context and every transfer a caller waits for (bottom_transfer_run):
 * each successful activate must be paired with one deactivate; the thread
 * stops when the last user deactivates. */
gboolean context_activate_usb_engine(sBottomCtx *ctx, GError **error);
gboolean context_deactivate_usb_engine(sBottomCtx *ctx, GError **error);
/* TRUE when called on the event thread, that is from inside a stream or
 * disconnection callback. libusb runs those callbacks holding its list of
 * open devices, so nothing there may open or close a handle, and nothing may
 * wait for completions that this very thread would have to deliver. */
gboolean bottom_on_engine_thread(void);
/* On the event thread: TRUE with "not allowed from a stream callback (USB event
 * thread)" set, for an operation that would wait there; the caller puts its
 * own words in front. FALSE elsewhere. */
gboolean bottom_refuse_on_engine_thread(GError **error);

gboolean bottom_private_init(guint id, sBottomPriv **priv, GError **error);
void bottom_private_release(sBottomPriv *priv);

/* ---- Scan (uscan) ---- */

gboolean bottom_scan_get_device_nb(guint32 *pnb, GError **error);
gboolean bottom_scan_print_info_all(gchar **pprint, GError **error);
gboolean bottom_scan_get_first_device_id(guint32 *p_id, GError **error);
gboolean bottom_scan_print_info_device(guint32 id, gchar **pprint, GError **error);

/* ---- Requests (usb_utils) ---- */

/* Command groups (bRequest) and commands (wValue) of the card. */
enum {
    E_ZADIZAVE_CMD_GROUP_CONFIGURATION = 0,
    E_ZADIZAVE_CMD_GROUP_VERSION = 1,
    E_ZADIZAVE_CMD_GROUP_RADIO = 2,
    E_ZADIZAVE_CMD_GROUP_DATA = 3,
    E_ZADIZAVE_CMD_GROUP_MONITORING = 4,
    E_ZADIZAVE_CMD_GROUP_DEBUG = 32,
};
enum {
    E_ZADIZAVE_CMD_CONFIGURATION_SAVE = 0,
    E_ZADIZAVE_CMD_CONFIGURATION_FACTORY_RESET = 1,
    E_ZADIZAVE_CMD_CONFIGURATION_ERROR = 2,
};
enum {
    E_ZADIZAVE_CMD_VERSION_HARDWARE = 0,
    E_ZADIZAVE_CMD_VERSION_SOFTWARE = 1,
};
enum {
    E_ZADIZAVE_CMD_RADIO_MODE = 0,
    E_ZADIZAVE_CMD_RADIO_RX_CF = 1,
    E_ZADIZAVE_CMD_RADIO_TX_CF = 2,
    E_ZADIZAVE_CMD_RADIO_XF = 3,
    E_ZADIZAVE_CMD_RADIO_PREAMP = 4,
};
enum {
    E_ZADIZAVE_CMD_DATA_RX_STREAM = 0,
    E_ZADIZAVE_CMD_DATA_TX_STREAM = 1,
    E_ZADIZAVE_CMD_DATA_LOOPBACK = 2,
    E_ZADIZAVE_CMD_DATA_RX_XRUN = 3,
    E_ZADIZAVE_CMD_DATA_TX_XRUN = 4,
    E_ZADIZAVE_CMD_DATA_SAMPLING = 5,
    E_ZADIZAVE_CMD_DATA_TX_LEVEL = 6,
    E_ZADIZAVE_CMD_DATA_FORMAT = 7,
    E_ZADIZAVE_CMD_DATA_DL_STREAM = 8,
};
enum {
    E_ZADIZAVE_CMD_MONITORING_PING = 0,
    E_ZADIZAVE_CMD_MONITORING_TEMPERATURE = 1,
};

#define BOTTOM_USB_DIR_OUT 0x00
#define BOTTOM_USB_DIR_IN 0x80

/* Time a control request may take. The card answers within milliseconds;
 * a firmware that hangs must not hang its host with it: the request then
 * fails with LIBUSB_ERROR_TIMEOUT. */
#define BOTTOM_USB_CONTROL_TIMEOUT_MS 5000

/* Runs @t (filled, its callback and user data left to this function) to its
 * end and returns what libusb's synchronous calls return: LIBUSB_SUCCESS or a
 * negative libusb error; @t's actual_length then holds the bytes moved.
 * libusb's own synchronous calls handle events on the calling thread, which
 * would run other cards' stream callbacks there; here the event thread handles
 * the completion (it runs for the time of the request) while the caller waits
 * on a condition. On the event thread itself it fails with LIBUSB_ERROR_BUSY,
 * as it would wait for itself; LIBUSB_ERROR_NO_MEM when the event thread
 * cannot be started. */
int bottom_transfer_run(sBottomPriv *b, libusb_transfer *t);

/* One vendor request with a 4-byte little-endian value: @data is written
 * (OUT) or filled (IN). Times out after BOTTOM_USB_CONTROL_TIMEOUT_MS. */
gboolean bottom_usb_control(sBottomPriv *b, guint8 direction, guint8 group, guint16 cmd,
                            guint32 *data, GError **error);
gboolean usb_out(sBottomPriv *b, guint8 group, guint16 cmd, guint32 value, GError **error);
gboolean usb_in(sBottomPriv *b, guint8 group, guint16 cmd, guint32 *value, GError **error);
/* One control transfer with exactly these setup fields, with the same
 * timeout; @moved (may be NULL) receives the bytes of the data stage moved,
 * which a card may answer with fewer than @wL. */
gboolean bottom_usb_raw(sBottomPriv *b, guint8 request_type, guint8 bR, guint16 wV, guint16 wI,
                        guint8 *data, guint16 wL, guint16 *moved, GError **error);

/* ---- Control (uctrl) ---- */

gboolean bottom_ctrl_init(sBottomPriv *b, GError **error);
void bottom_ctrl_release(sBottomPriv *b);
gboolean bottom_ctrl_ping(sBottomPriv *b, GError **error);
gboolean bottom_ctrl_uptime(sBottomPriv *b, guint32 *uptime, GError **error);
gboolean bottom_ctrl_swinfo(sBottomPriv *b, gchar **info, GError **error);
gboolean bottom_ctrl_hwinfo(sBottomPriv *b, gchar **info, GError **error);
gboolean bottom_ctrl_cf_set(sBottomPriv *b, guint32 freq, VektypeCtlMode mode, GError **error);
gboolean bottom_ctrl_cf_get(sBottomPriv *b, guint32 *freq, VektypeCtlMode mode, GError **error);
gboolean bottom_ctrl_xf_set(sBottomPriv *b, guint32 freq, GError **error);
gboolean bottom_ctrl_xf_get(sBottomPriv *b, guint32 *freq, GError **error);
gboolean bottom_ctrl_eeprom_save(sBottomPriv *b, GError **error);
gboolean bottom_ctrl_eeprom_factory_reset(sBottomPriv *b, GError **error);
gboolean bottom_ctrl_error_get_last(sBottomPriv *b, guint32 *perror, GError **error);
gboolean bottom_ctrl_temperature_get(sBottomPriv *b, gint32 *ptemp, GError **error);
gboolean bottom_ctrl_pa_set(sBottomPriv *b, VektypePreampId pa_id, VektypePreampMode pa_mode,
                            GError **error);
gboolean bottom_ctrl_pa_get(sBottomPriv *b, VektypePreampId pa_id, VektypePreampMode *pa_mode,
                            GError **error);
gboolean bottom_ctrl_mode_get(sBottomPriv *b, VektypeCtlMode *mode, GError **error);
gboolean bottom_ctrl_mode_set(sBottomPriv *b, VektypeCtlMode mode, GError **error);
gboolean bottom_ctrl_volume_set(sBottomPriv *b, VektypeCtlMode mode, gint32 volume, GError **error);
gboolean bottom_ctrl_volume_get(sBottomPriv *b, VektypeCtlMode mode, gint32 *volume,
                                GError **error);
gboolean bottom_ctrl_raw_usb_send(sBottomPriv *b, VektypeStructUsbFmap f, const guint8 *data,
                                  GError **error);
gboolean bottom_ctrl_raw_usb_recv(sBottomPriv *b, VektypeStructUsbFmap f, guint8 **data,
                                  guint16 *received, GError **error);

/* Version word and preamplifier register decoding (pure). */
gchar *parse_raw_swver(guint32 word);
gchar *parse_raw_hwver(guint32 word);
