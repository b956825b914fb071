/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekemu: an emulated VEK card (and its DFU boot loader) below the real libusb-1.0.
 *
 * The card lives at the kernel's usbfs boundary: umockdev's preload library redirects
 * /sys and /dev/bus/usb into a private test bed and forwards every ioctl() on an
 * emulated device node to this library, which answers as the card would. Programs
 * and libraries under test use libusb unchanged.
 *
 * Rules of use (see tools/vekemu/README.md):
 * - The process must run with libumockdev-preload.so.0 in LD_PRELOAD. Test binaries get
 *   this by linking the `vekemu_gtest_main` target (it re-executes the binary under the
 *   preload library); other programs run under the `vekemu` runner.
 * - Call vekemu_bed_get() early, before libusb_init() and before any thread is started
 *   (creating the bed sets an environment variable). vekemu_gtest_main does it for you.
 * - Add the cards a test needs before the code under test creates its libusb context:
 *   a libusb context only sees the cards present at its libusb_init().
 * - Every function here may be called from any thread; the card answers USB requests on
 *   umockdev's worker thread and never blocks there.
 */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

/* USB identities the system knows. */
#define VEKEMU_VID_VEK 0x6B3E
#define VEKEMU_PID_VEK 0x0001
#define VEKEMU_VID_NXP 0x1FC9
#define VEKEMU_PID_NXP_CARD 0x008A
#define VEKEMU_PID_NXP_DFU 0x000C
#define VEKEMU_PID_VEK_DFU 0x8001

/* Control request groups (bRequest) and commands (wValue) the card answers. */
#define VEKEMU_GROUP_CONFIGURATION 0
#define VEKEMU_CMD_CONFIGURATION_SAVE 0
#define VEKEMU_CMD_CONFIGURATION_FACTORY_RESET 1
#define VEKEMU_CMD_CONFIGURATION_ERROR 2
#define VEKEMU_GROUP_VERSION 1
#define VEKEMU_CMD_VERSION_HARDWARE 0
#define VEKEMU_CMD_VERSION_SOFTWARE 1
#define VEKEMU_GROUP_RADIO 2
#define VEKEMU_CMD_RADIO_MODE 0
#define VEKEMU_CMD_RADIO_RX_CF 1
#define VEKEMU_CMD_RADIO_TX_CF 2
#define VEKEMU_CMD_RADIO_XF 3
#define VEKEMU_CMD_RADIO_PREAMP 4
#define VEKEMU_GROUP_DATA 3
#define VEKEMU_CMD_DATA_RX_STREAM 0
#define VEKEMU_CMD_DATA_TX_STREAM 1
#define VEKEMU_CMD_DATA_LOOPBACK 2
#define VEKEMU_CMD_DATA_RX_XRUN 3
#define VEKEMU_CMD_DATA_TX_XRUN 4
#define VEKEMU_CMD_DATA_SAMPLING 5
#define VEKEMU_CMD_DATA_TX_LEVEL 6
#define VEKEMU_CMD_DATA_FORMAT 7
#define VEKEMU_CMD_DATA_DL_STREAM 8
#define VEKEMU_GROUP_MONITORING 4
#define VEKEMU_CMD_MONITORING_PING 0 /* answers the uptime, tenths of a second */
#define VEKEMU_CMD_MONITORING_TEMPERATURE 1

typedef struct _VekemuBed VekemuBed;
typedef struct _VekemuCard VekemuCard;

/* How the RX stream on 0x81 is paced. */
typedef enum {
    VEKEMU_PACING_REALTIME = 0, /* bytes become available at the configured sample rate */
    VEKEMU_PACING_FAST = 1,     /* every bulk IN request is filled at once */
} VekemuPacing;

/* Card configuration. Always start from vekemu_card_config_init() or
 * vekemu_dfu_config_init(), then change what the test needs; new fields are only ever
 * appended and get their defaults from the init functions. Strings are copied. */
typedef struct {
    guint16 vid;
    guint16 pid;
    guint16 bcd_device;
    const gchar *manufacturer;
    const gchar *product;
    const gchar *serial; /* NULL: a unique serial "VEK%08u" */

    /* Register model at power-on (and after a factory reset). */
    guint32 hw_version; /* group 1 cmd 0 */
    guint32 sw_version; /* group 1 cmd 1 */
    guint32 mode;       /* group 2 cmd 0: 0 RX, 1 TX */
    guint32 rx_cf;      /* group 2 cmd 1, Hz */
    guint32 tx_cf;      /* group 2 cmd 2, Hz */
    guint32 xf;         /* group 2 cmd 3, tenths of Hz */
    guint32 preamp;     /* group 2 cmd 4 */
    guint32 sampling;   /* group 3 cmd 5: 48000, 192000 or 0 (0 streams at 192000) */
    gint32 tx_level;    /* group 3 cmd 6 */
    guint32 format;     /* group 3 cmd 7: sample width in bits */
    gint32 temperature; /* group 4 cmd 1, tenths of a degree Celsius */
    guint32 uptime;     /* group 4 cmd 0; 0 = count tenths of a second since plug-in */

    /* RX stream. */
    VekemuPacing pacing;
    const gchar *sigmf_path; /* ci16_le recording (.sigmf-meta or .sigmf-data path) streamed
                                in a loop; NULL: the counter pattern (see README) */

    /* DFU boot loader (vekemu_add_dfu_card only). */
    guint16 dfu_transfer_size;   /* wTransferSize */
    guint16 dfu_detach_timeout;  /* wDetachTimeOut, ms */
    guint8 dfu_attributes;       /* bmAttributes of the functional descriptor */
    guint32 dfu_poll_timeout_ms; /* bwPollTimeout announced while busy */
    guint dfu_busy_polls;        /* poll timeouts in dfuDNBUSY per block; a GETSTATUS sent
                                    before one ran out is answered busy again */
    guint16 runtime_vid;         /* identity after reset / detach */
    guint16 runtime_pid;
    guint8 dfu_descriptor_length; /* bLength of the functional descriptor: 9 (DFU 1.1) or 7
                                     (DFU 1.0, which ends before bcdDFUVersion) */
} VekemuCardConfig;

/* Defaults: 0x6B3E:0x0001, "Kavrin"/"VEK radio card", real-time pacing, counter pattern,
 * hw 0x12030405, sw 0x01020304, RX 868.1 MHz, 192000 samples/s, 16 bits. */
void vekemu_card_config_init(VekemuCardConfig *cfg);
/* Defaults: 0x1FC9:0x000C, wTransferSize 1024, wDetachTimeOut 0, bmAttributes 0x05
 * (download, manifestation tolerant), poll timeout 5 ms, 1 busy poll per block, a 9-byte
 * functional descriptor, re-enumerates as 0x6B3E:0x0001. */
void vekemu_dfu_config_init(VekemuCardConfig *cfg);

/* ---- The test bed (one per process) ---- */

/* The process-wide bed, created on first call. Without the umockdev preload library in
 * this process, the bed serves child processes only (see vekemu_child_environ). */
VekemuBed *vekemu_bed_get(void);
/* TRUE when the umockdev preload library is active in this process. */
gboolean vekemu_in_mock_environment(void);
/* Root directory of the bed (its sys/ and dev/ trees). */
const gchar *vekemu_bed_root_dir(VekemuBed *bed);
/* Unplugs and forgets every card; card pointers become invalid. Call between tests. */
void vekemu_bed_remove_all(VekemuBed *bed);
guint vekemu_bed_card_count(VekemuBed *bed);
/* Waits until re-enumerations in progress (a DFU card becoming a normal card) are done. */
void vekemu_bed_settle(VekemuBed *bed);
/* Removes every card and the bed's directory; the end of the process (vekemu_gtest_main
 * and the runner call it). */
void vekemu_bed_destroy(void);
VekemuCard *vekemu_bed_card(VekemuBed *bed, guint index);

/* ---- Cards ---- */

/* Plugs in a card (cfg NULL: defaults). Returns NULL with the error set on failure. The
 * card belongs to the bed. */
VekemuCard *vekemu_add_card(VekemuBed *bed, const VekemuCardConfig *cfg, GError **error);
/* Plugs in a card in DFU mode (cfg NULL: vekemu_dfu_config_init defaults). */
VekemuCard *vekemu_add_dfu_card(VekemuBed *bed, const VekemuCardConfig *cfg, GError **error);

/* Electrical unplug: transfers in flight complete with "no device", every later request
 * fails with ENODEV, and the card leaves sysfs and /dev (a "remove" uevent is sent). */
void vekemu_card_unplug(VekemuCard *card);
/* Plugs an unplugged card back in under a new device address. It powers up with its saved
 * configuration (the one of its config, or the last one saved with group 0 cmd 0). */
gboolean vekemu_card_plug(VekemuCard *card, GError **error);
gboolean vekemu_card_is_plugged(VekemuCard *card);
/* Another process holds the card: opening its device node fails until released. */
void vekemu_card_hold(VekemuCard *card, gboolean held);

gboolean vekemu_card_is_dfu(VekemuCard *card); /* FALSE again after re-enumeration */
guint16 vekemu_card_vid(VekemuCard *card);
guint16 vekemu_card_pid(VekemuCard *card);
guint8 vekemu_card_busnum(VekemuCard *card);
guint8 vekemu_card_devnum(VekemuCard *card);
/* New string "/dev/bus/usb/BBB/DDD" and the serial; caller frees. */
gchar *vekemu_card_devnode(VekemuCard *card);
gchar *vekemu_card_serial(VekemuCard *card);

/* ---- Register model ---- */

/* Current value of a register as the card would answer an IN request (group, cmd). The
 * error stack (group 0 cmd 2) reads its top without popping. Unknown: 0. */
guint32 vekemu_card_reg_get(VekemuCard *card, guint8 group, guint16 cmd);
/* Sets a register, as the card's firmware would. Setting group 4 cmd 0 freezes the uptime
 * at that value (0: counting again). */
void vekemu_card_reg_set(VekemuCard *card, guint8 group, guint16 cmd, guint32 value);
/* FALSE: the firmware does not count its uptime and answers 0 to group 4 cmd 0 (as it
 * does after vekemu_card_reg_set) until this is set back to TRUE, the default. */
void vekemu_card_set_uptime_counted(VekemuCard *card, gboolean counted);
/* Pushes a code onto the error stack; IN group 0 cmd 2 pops the oldest first and answers 0
 * when the stack is empty. */
void vekemu_card_push_error(VekemuCard *card, guint32 code);
guint vekemu_card_error_depth(VekemuCard *card);
/* Times the card was asked to save its configuration (group 0 cmd 0: it survives an unplug)
 * / to restore the factory one (group 0 cmd 1: the registers of its config). */
guint vekemu_card_save_count(VekemuCard *card);
guint vekemu_card_factory_reset_count(VekemuCard *card);

/* ---- What the card saw ---- */

typedef enum {
    VEKEMU_EVENT_CONTROL = 0,  /* a control request on endpoint 0 (standard ones included) */
    VEKEMU_EVENT_BULK_OUT = 1, /* a downlink block on 0x02 */
    VEKEMU_EVENT_RESET = 2,    /* USB reset */
    VEKEMU_EVENT_CLAIM = 3,    /* interface claimed (index = interface) */
    VEKEMU_EVENT_RELEASE = 4,  /* interface released */
} VekemuEventKind;

typedef struct {
    VekemuEventKind kind;
    guint8 bmRequestType;
    guint8 bRequest;
    guint16 wValue;
    guint16 wIndex;
    guint16 wLength;
    guint32 value; /* the 4-byte little-endian payload of vendor requests (IN: answered) */
    gsize length;  /* bytes moved (data stage or bulk block) */
    gboolean stalled;
    gint64 time_us; /* g_get_monotonic_time() when the card saw it */
} VekemuEvent;

/* Copy of every event since plug-in or the last clear, oldest first (GArray of
 * VekemuEvent; caller unrefs). Only vendor and class control requests, bulk OUT, reset,
 * claim and release are logged; descriptor reads are not. */
GArray *vekemu_card_events(VekemuCard *card);
void vekemu_card_clear_events(VekemuCard *card);

/* ---- Streams ---- */

/* Downlink blocks received on 0x02, in order; a block cut short by a fault holds only
 * the bytes accepted. */
guint vekemu_card_dl_block_count(VekemuCard *card);
GBytes *vekemu_card_dl_block(VekemuCard *card, guint index); /* NULL when out of range */

void vekemu_card_set_pacing(VekemuCard *card, VekemuPacing pacing);
/* Real-time pacing at @speed times the sample rate (1.0 at plug-in): a steady
 * stream faster than a card's, for long runs. Ignored unless above 0. */
void vekemu_card_set_speed(VekemuCard *card, gdouble speed);
/* Streams a ci16_le SigMF recording in a loop from the next stream start. */
gboolean vekemu_card_set_sigmf(VekemuCard *card, const gchar *path, GError **error);
/* Custom I/Q source: called on the worker thread, never blocking, to fill `len` bytes
 * (a multiple of 4) of the stream at byte offset `offset` since the stream was switched
 * on. NULL restores the counter pattern. */
typedef void (*VekemuIqSource)(guint8 *buf, gsize len, guint64 offset, gpointer user_data);
void vekemu_card_set_iq_source(VekemuCard *card, VekemuIqSource source, gpointer user_data);
/* Bytes delivered on 0x81 since the stream was last switched on. */
guint64 vekemu_card_rx_bytes(VekemuCard *card);

/* ---- Fault injection ---- */

typedef enum {
    VEKEMU_FAULT_NONE = 0,
    VEKEMU_FAULT_STALL = 1,     /* the request stalls (LIBUSB_TRANSFER_STALL / ERROR_PIPE) */
    VEKEMU_FAULT_TIMEOUT = 2,   /* never answered: the client's timeout fires (a control
                                   request sent without timeout then waits forever) */
    VEKEMU_FAULT_ERROR = 3,     /* protocol error (LIBUSB_TRANSFER_ERROR / ERROR_IO) */
    VEKEMU_FAULT_OVERFLOW = 4,  /* babble (LIBUSB_TRANSFER_OVERFLOW) on bulk IN */
    VEKEMU_FAULT_NO_DEVICE = 5, /* ended as the host controller ends the transfers of a card
                                   that went away (LIBUSB_TRANSFER_NO_DEVICE /
                                   ERROR_NO_DEVICE), while the node still takes requests:
                                   the moment between the unplug and the node's removal */
} VekemuFault;

/* The next `count` vendor or class (DFU) requests with bRequest `group` and wValue `cmd`
 * fail with `fault` (ERROR and OVERFLOW both give a protocol error); -1 matches any group
 * / any command. Faults added for different requests queue up; FAULT_NONE or a count of
 * 0 clears them all. Standard requests (descriptors) are never faulted. */
void vekemu_card_fault_control(VekemuCard *card, gint group, gint cmd, VekemuFault fault,
                               guint count);
/* The same, once `after` matching requests have been answered as usual: the second of a
 * pair of requests with one group and command (a downlink send sets its status active,
 * then inactive) can fail alone. */
void vekemu_card_fault_control_after(VekemuCard *card, gint group, gint cmd, VekemuFault fault,
                                     guint after, guint count);
/* TRUE: a card whose firmware has stopped answering. Every vendor and class request is
 * left unanswered (as VEKEMU_FAULT_TIMEOUT) until this is set back to FALSE; the USB
 * controller still answers standard requests (descriptors), so the card is listed and
 * opens. */
void vekemu_card_set_unresponsive(VekemuCard *card, gboolean unresponsive);
/* The next `count` bulk IN transfers on 0x81 fail with `fault` (no stream bytes are
 * consumed, whether the stream is on or off). Replaces a previous RX fault. */
void vekemu_card_fault_rx(VekemuCard *card, VekemuFault fault, guint count);
/* After `after` more bulk IN submissions on 0x81 are taken, the next `count` are refused
 * outright, as a kernel out of memory for transfers refuses them (ENOMEM, which libusb
 * reports as LIBUSB_ERROR_NO_MEM from libusb_submit_transfer). A count of 0 clears it. */
void vekemu_card_refuse_rx(VekemuCard *card, guint after, guint count);

typedef enum {
    VEKEMU_DL_FAULT_NONE = 0,
    VEKEMU_DL_SHORT_NAK = 1,      /* accept `accept` bytes then NAK: the client times out
                                     with that many bytes transferred (what a card does) */
    VEKEMU_DL_SHORT_COMPLETE = 2, /* complete the transfer after `accept` bytes */
    VEKEMU_DL_STALL = 3,
    VEKEMU_DL_TIMEOUT = 4, /* NAK everything */
} VekemuDlFault;
/* The next `count` downlink blocks meet `fault`; the bytes accepted are stored as the
 * block (none for STALL). Replaces a previous DL fault. */
void vekemu_card_fault_dl(VekemuCard *card, VekemuDlFault fault, gsize accept, guint count);

/* ---- DFU boot loader ---- */

/* The download goes to dfuERROR with bStatus `status` when block `block` arrives
 * (status 0 clears the fault). */
void vekemu_dfu_fault_status(VekemuCard *card, guint8 status, guint block);
/* GETSTATUS answers carry only `len` bytes (6 is correct; 5 is the short answer). */
void vekemu_dfu_set_status_length(VekemuCard *card, guint len);
/* The image of the last completed download (zero-length DNLOAD seen), or NULL. */
GBytes *vekemu_dfu_image(VekemuCard *card);
/* Completed downloads so far. */
guint vekemu_dfu_download_count(VekemuCard *card);
/* Current DFU state (bState), dfuIDLE = 2 ... dfuERROR = 10. */
guint8 vekemu_dfu_state(VekemuCard *card);

/* ---- Running tests and programs ---- */

/* Makes sure the process runs under the umockdev preload library: if it does not, it
 * re-executes argv[0] with LD_PRELOAD set (the sanitizer runtime first when the binary
 * uses one) and does not return; if that is impossible it returns FALSE. */
gboolean vekemu_ensure_preload(int argc, char **argv);
/* Environment for a child process that should see the bed's cards (LD_PRELOAD and
 * UMOCKDEV_DIR set); `program` is used to choose a sanitizer runtime. Free with
 * g_strfreev. */
gchar **vekemu_child_environ(VekemuBed *bed, const gchar *program);

G_END_DECLS
