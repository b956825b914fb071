/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Internal state of the emulated card and its bed. */
#pragma once

#include <vekemu/vekemu.h>

#include <umockdev.h>

#include <linux/usbdevice_fs.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vekemu
{

/* DFU 1.1 states and requests. */
enum DfuState : guint8 {
    DFU_APP_IDLE = 0,
    DFU_APP_DETACH = 1,
    DFU_IDLE = 2,
    DFU_DNLOAD_SYNC = 3,
    DFU_DNBUSY = 4,
    DFU_DNLOAD_IDLE = 5,
    DFU_MANIFEST_SYNC = 6,
    DFU_MANIFEST = 7,
    DFU_MANIFEST_WAIT_RESET = 8,
    DFU_UPLOAD_IDLE = 9,
    DFU_ERROR = 10,
};
enum DfuRequest : guint8 {
    DFU_DETACH = 0,
    DFU_DNLOAD = 1,
    DFU_UPLOAD = 2,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
    DFU_GETSTATE = 5,
    DFU_ABORT = 6,
};
constexpr guint8 DFU_STATUS_OK = 0x00;
constexpr guint8 DFU_STATUS_ERR_STALLEDPKT = 0x0F;

constexpr guint8 EP_RX = 0x81;
constexpr guint8 EP_DL = 0x02;
constexpr gsize BYTES_PER_SAMPLE = 4;

/* One submitted URB, as the card holds it until the client reaps it. */
struct Urb {
    UMockdevIoctlData *urb = nullptr; /* the client's struct usbdevfs_urb (local copy) */
    UMockdevIoctlData *buf = nullptr; /* its buffer (local copy), or none */
    gsize fill = 0;                   /* bytes already placed (bulk IN) or accepted (OUT) */
    guint64 first_offset = 0;         /* bulk IN: stream offset of its first byte */
    guint stream_session = 0;         /* bulk IN: the stream session those bytes came from */
    ~Urb();
    struct usbdevfs_urb *u() const;
    guint8 *data() const;
    gsize length() const;
};
using UrbPtr = std::unique_ptr<Urb>;

/* One open file descriptor on the card's node. URBs are reaped on the descriptor that
 * submitted them, so queues live here. */
struct Client {
    guint generation = 0;          /* the card's identity when the node was opened */
    bool idle = false;             /* its last reap found nothing and it submitted nothing since */
    std::deque<UrbPtr> done;       /* completed, waiting for REAPURB */
    std::deque<UrbPtr> rx_waiting; /* bulk IN on 0x81 waiting for stream bytes */
    std::deque<UrbPtr> nak;        /* never answered (timeouts); completed on DISCARDURB */
};

struct ControlFault {
    gint group;
    gint cmd;
    VekemuFault fault;
    guint count;
    guint after = 0; /* matching requests answered as usual first */
};

struct Config {
    VekemuCardConfig c{};
    std::string manufacturer, product, serial, sigmf_path;
};

class IqSource;

struct Registers {
    guint32 hw_version = 0, sw_version = 0;
    guint32 mode = 0, rx_cf = 0, tx_cf = 0, xf = 0, preamp = 0;
    guint32 rx_stream = 0, tx_stream = 0, loopback = 0, rx_xrun = 0, tx_xrun = 0;
    guint32 sampling = 0, tx_level = 0, format = 0, dl_stream = 0;
    guint32 temperature = 0, uptime = 0;
    guint32 *find(guint8 group, guint16 cmd);
};

class Bed;

struct _VekemuCardImpl;

} // namespace vekemu

struct _VekemuCard {
    vekemu::Bed *bed = nullptr;
    guint index = 0;
    vekemu::Config cfg;
    bool dfu_mode = false;
    guint16 vid = 0, pid = 0;

    /* USB presence */
    bool plugged = false;
    bool gone = false; /* electrically unplugged: every request fails */
    bool held = false;
    guint8 busnum = 0, devnum = 0, port = 0;
    std::string syspath, devnode;
    UMockdevIoctlBase *handler = nullptr;
    gulong handler_ioctl_id = 0, handler_vanished_id = 0;
    std::map<UMockdevIoctlClient *, vekemu::Client> clients;
    /* Bumped (under the bed lock) when the card re-enumerates under a new identity; read
     * without it when a client connects. */
    std::atomic<guint> generation{0};
    gint64 plug_time_us = 0;

    /* register model */
    vekemu::Registers regs;
    vekemu::Registers factory; /* the configuration the card left the factory with */
    vekemu::Registers saved;   /* what it powers up with */
    bool uptime_frozen = false;
    bool uptime_uncounted = false; /* firmware without an uptime counter: answers 0 */
    std::deque<guint32> errors;
    guint saves = 0, factory_resets = 0;

    /* log and streams */
    std::vector<VekemuEvent> events;
    std::vector<GBytes *> dl_blocks;
    gint64 stream_start_us = 0;      /* pacing epoch: stream on, or the last rate change */
    guint64 stream_epoch_offset = 0; /* stream bytes due at that epoch */
    guint64 rx_offset = 0;
    guint stream_session = 0; /* counts the times the stream was switched on */
    VekemuPacing pacing = VEKEMU_PACING_REALTIME;
    gdouble speed = 1.0; /* real-time pacing runs this many times the sample rate */
    std::unique_ptr<vekemu::IqSource> source;

    /* faults */
    std::vector<vekemu::ControlFault> control_faults;
    bool unresponsive = false; /* no vendor or class request is answered */
    VekemuFault rx_fault = VEKEMU_FAULT_NONE;
    guint rx_fault_count = 0;
    guint rx_refuse_after = 0;
    guint rx_refuse_count = 0;
    VekemuDlFault dl_fault = VEKEMU_DL_FAULT_NONE;
    gsize dl_accept = 0;
    guint dl_fault_count = 0;

    /* DFU boot loader */
    guint8 dfu_state = vekemu::DFU_IDLE;
    guint8 dfu_status = vekemu::DFU_STATUS_OK;
    guint dfu_busy_left = 0;
    gint64 dfu_busy_until = 0; /* monotonic time the current poll timeout runs out */
    guint dfu_block = 0;
    std::vector<guint8> dfu_image;
    GBytes *dfu_last_image = nullptr;
    guint dfu_downloads = 0;
    guint dfu_status_len = 6;
    guint8 dfu_fault_status = 0;
    guint dfu_fault_block = 0;
    bool dfu_reboot_pending = false;

    ~_VekemuCard();
};

namespace vekemu
{

/* Source of the bytes streamed on 0x81. */
class IqSource
{
  public:
    virtual ~IqSource() = default;
    /* Fills len bytes (multiple of 4) at stream offset `offset`. Never blocks. */
    virtual void fill(guint8 *buf, gsize len, guint64 offset) = 0;
};
std::unique_ptr<IqSource> make_counter_source();
std::unique_ptr<IqSource> make_callback_source(VekemuIqSource fn, gpointer user_data);
std::unique_ptr<IqSource> make_sigmf_source(const std::string &path, GError **error);

/* The process-wide bed. Every card state is guarded by `mu`. */
class Bed
{
  public:
    std::recursive_mutex mu;
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    std::vector<VekemuCard *> cards;
    guint next_serial = 1;
    guint8 next_bus = 1;
    guint8 next_devnum = 2;
    guint8 next_port = 1;

    /* Puts the card into sysfs and /dev and attaches the ioctl handler. */
    bool plug(VekemuCard *card, GError **error);
    /* Takes it out again (sends a "remove" uevent). */
    void unplug_sysfs(VekemuCard *card);
    void send_uevent(VekemuCard *card, const char *action);
};

/* descriptors.cpp */
std::vector<guint8> device_descriptor(const VekemuCard *card);
std::vector<guint8> config_descriptor(const VekemuCard *card);
/* String descriptor `index` (0: language ids); empty when the card has none. */
std::vector<guint8> string_descriptor(const VekemuCard *card, guint8 index);
std::string hex_upper(const std::vector<guint8> &bytes);

/* requests.cpp: answers one control request. `data` holds wLength bytes (OUT: what the
 * host sent; IN: to be filled), `*actual` gets the bytes of the data stage moved. NAK
 * leaves the request unanswered until the host gives up. */
struct Setup {
    guint8 bmRequestType;
    guint8 bRequest;
    guint16 wValue;
    guint16 wIndex;
    guint16 wLength;
};
enum class ControlResult { OK, STALL, ERROR, NAK, GONE };
ControlResult control_request(VekemuCard *card, const Setup &s, guint8 *data, gsize *actual);
/* Loads a configuration into the registers; the stream and downlink state stay. */
void load_registers(VekemuCard *card, const Registers &from);
void stream_switched(VekemuCard *card, bool on);
/* What the card answers to group 4 cmd 0 now, in tenths of a second. */
guint32 uptime_now(const VekemuCard *card);
/* The sample rate changes: pacing goes on from what was due at the old rate. */
void stream_rate_changed(VekemuCard *card);
void log_event(VekemuCard *card, VekemuEventKind kind, const Setup *s, guint32 value, gsize length,
               bool stalled);
/* DFU: a USB reset or a detach after a finished download starts the new firmware: the
 * card re-enumerates under its run-time identity shortly afterwards. */
void dfu_leave(VekemuCard *card);

/* usbfs.cpp */
/* Runs `fn` under the bed lock on umockdev's worker thread: at once when the lock is free,
 * otherwise from the worker's loop a moment later. The worker never waits for the lock,
 * because the thread holding it may be waiting for the worker: every file this process
 * opens under /dev/ (the bed's own files on /dev/shm included) is announced to the worker
 * by umockdev's preload library, and that open does not return until the worker has
 * taken the connection. */
void run_locked_on_worker(Bed *bed, std::function<void()> fn);
/* The card's generation when `client` connected (see client_connected). */
guint client_generation(UMockdevIoctlClient *client);
gboolean handle_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, VekemuCard *card);
void client_vanished(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, VekemuCard *card);
/* Completes every transfer in flight with "no device" (unplug). */
void disconnect_all(VekemuCard *card);
/* Moves stream bytes into waiting bulk IN transfers. */
void pump_rx(VekemuCard *card, Client &client);

Bed *bed_instance();

} // namespace vekemu
