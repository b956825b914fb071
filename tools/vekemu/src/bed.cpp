/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The process-wide test bed: the umockdev sandbox, and putting cards into (and taking
 * them out of) its sysfs and /dev trees. */
#include "vekemu-private.h"

#include <cerrno>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

struct _VekemuBed {
    vekemu::Bed impl;
};

namespace vekemu
{

namespace
{

VekemuBed *the_bed = nullptr;
/* Re-enumerations run on their own threads, never on umockdev's worker. */
std::vector<GThread *> pending_threads;

std::string attr_escape(const std::string &s)
{
    std::string out;
    for (char ch : s) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out;
}

void client_disconnected(GObject *object, GParamSpec *, gpointer data)
{
    auto *card = static_cast<VekemuCard *>(data);
    auto *client = UMOCKDEV_IOCTL_CLIENT(object);
    if (umockdev_ioctl_client_get_connected(client))
        return;
    g_signal_handlers_disconnect_by_data(object, card);
    run_locked_on_worker(card->bed, [card, client] {
        card->clients.erase(client);
        g_object_unref(client);
    });
}

constexpr const char *GENERATION_KEY = "vekemu-generation";

/* Runs on umockdev's worker thread, which must not wait for the bed lock: the client's
 * identity is noted on the client itself and taken into the card's table with its first
 * request. */
void client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *card = static_cast<VekemuCard *>(data);
    g_object_set_data(G_OBJECT(client), GENERATION_KEY, GUINT_TO_POINTER(card->generation.load()));
    g_object_ref(client);
    g_signal_connect(client, "notify::connected", G_CALLBACK(client_disconnected), card);
}

/* A card leaves its boot loader a moment after the reset or detach, time enough for the
 * host to finish with the old device (libusb re-claims interfaces after a reset). */
constexpr gulong REBOOT_DELAY_US = 100000;

gpointer reboot_thread(gpointer data)
{
    auto *card = static_cast<VekemuCard *>(data);
    Bed *bed = card->bed;
    g_usleep(REBOOT_DELAY_US);
    std::lock_guard<std::recursive_mutex> lock(bed->mu);
    if (!card->plugged || !card->dfu_mode)
        return nullptr;
    /* Descriptors still open on the boot loader now lead nowhere. */
    card->generation++;
    disconnect_all(card);
    bed->unplug_sysfs(card);
    card->dfu_mode = false;
    card->dfu_reboot_pending = false;
    card->vid = card->cfg.c.runtime_vid;
    card->pid = card->cfg.c.runtime_pid;
    card->events.clear();
    card->regs.rx_stream = card->regs.dl_stream = 0;
    load_registers(card, card->saved);
    g_autoptr(GError) error = nullptr;
    if (!bed->plug(card, &error))
        g_warning("vekemu: card %s did not come back after its download: %s",
                  card->cfg.serial.c_str(), error->message);
    return nullptr;
}

} // namespace

guint client_generation(UMockdevIoctlClient *client)
{
    return GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(client), GENERATION_KEY));
}

Bed *bed_instance()
{
    return the_bed != nullptr ? &the_bed->impl : nullptr;
}

/* Hot-plug events reach libusb's monitor in this process. (umockdev finds the device
 * through libudev, which only sees the bed under the preload library: a runner process
 * that merely hosts the cards has no monitor to tell.) */
void Bed::send_uevent(VekemuCard *card, const char *action)
{
    if (vekemu_in_mock_environment())
        umockdev_testbed_uevent(testbed, card->syspath.c_str(), action);
}

bool Bed::plug(VekemuCard *card, GError **error)
{
    std::lock_guard<std::recursive_mutex> lock(mu);
    if (next_devnum > 127) {
        next_bus++;
        next_devnum = 2;
        next_port = 1;
    }
    card->busnum = next_bus;
    card->devnum = next_devnum++;
    card->port = next_port++;
    g_autofree gchar *node = g_strdup_printf("bus/usb/%03u/%03u", card->busnum, card->devnum);
    card->devnode = std::string("/dev/") + node;
    g_autofree gchar *sysname = g_strdup_printf("%u-%u", card->busnum, card->port);
    g_autofree gchar *path =
        g_strdup_printf("/devices/pci0000:00/0000:00:14.0/usb%u/%s", card->busnum, sysname);

    if (card->handler == nullptr) {
        card->handler = umockdev_ioctl_base_new();
        g_signal_connect(card->handler, "handle-ioctl", G_CALLBACK(handle_ioctl), card);
        g_signal_connect(card->handler, "client-connected", G_CALLBACK(client_connected), card);
    }
    /* The handler must be in place before the node appears. */
    if (!umockdev_testbed_attach_ioctl(testbed, card->devnode.c_str(), card->handler, error))
        return false;

    std::vector<guint8> descriptors = device_descriptor(card);
    std::vector<guint8> config = config_descriptor(card);
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    guint minor = (card->busnum - 1u) * 128u + card->devnum - 1u;
    g_autofree gchar *record = g_strdup_printf(
        "P: %s\n"
        "N: %s\n"
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "E: DRIVER=usb\n"
        "E: BUSNUM=%03u\n"
        "E: DEVNUM=%03u\n"
        "E: DEVNAME=/dev/%s\n"
        "E: PRODUCT=%x/%x/%x\n"
        "E: MAJOR=189\n"
        "E: MINOR=%u\n"
        "A: busnum=%u\\n\n"
        "A: devnum=%u\\n\n"
        "A: devpath=%u\\n\n"
        "A: dev=189:%u\\n\n"
        "A: speed=480\\n\n"
        "A: version= 2.00\\n\n"
        "A: bConfigurationValue=1\\n\n"
        "A: bNumConfigurations=1\\n\n"
        "A: bNumInterfaces=%2u\\n\n"
        "A: bDeviceClass=00\\n\n"
        "A: bMaxPacketSize0=64\\n\n"
        "A: idVendor=%04x\\n\n"
        "A: idProduct=%04x\\n\n"
        "A: bcdDevice=%04x\\n\n"
        "A: manufacturer=%s\\n\n"
        "A: product=%s\\n\n"
        "A: serial=%s\\n\n"
        "H: descriptors=%s\n",
        path, node, card->busnum, card->devnum, node, card->vid, card->pid,
        card->dfu_mode ? 0x0100 : card->cfg.c.bcd_device, minor, card->busnum, card->devnum,
        card->port, minor, card->dfu_mode ? 1u : 3u, card->vid, card->pid,
        card->dfu_mode ? 0x0100 : card->cfg.c.bcd_device,
        attr_escape(card->cfg.manufacturer).c_str(), attr_escape(card->cfg.product).c_str(),
        attr_escape(card->cfg.serial).c_str(), hex_upper(descriptors).c_str());
    if (!umockdev_testbed_add_from_string(testbed, record, error)) {
        umockdev_testbed_detach_ioctl(testbed, card->devnode.c_str(), nullptr);
        return false;
    }
    card->syspath = std::string("/sys") + path;
    card->plugged = true;
    card->gone = false;
    card->held = false;
    card->plug_time_us = g_get_monotonic_time();
    send_uevent(card, "add");
    return true;
}

void Bed::unplug_sysfs(VekemuCard *card)
{
    std::lock_guard<std::recursive_mutex> lock(mu);
    if (!card->plugged)
        return;
    send_uevent(card, "remove");
    umockdev_testbed_remove_device(testbed, card->syspath.c_str());
    std::string node = root + card->devnode;
    if (g_file_test(node.c_str(), G_FILE_TEST_IS_DIR))
        g_rmdir(node.c_str());
    else
        g_unlink(node.c_str());
    umockdev_testbed_detach_ioctl(testbed, card->devnode.c_str(), nullptr);
    card->plugged = false;
}

void dfu_leave(VekemuCard *card)
{
    if (card->dfu_downloads == 0 || card->dfu_reboot_pending || !card->dfu_mode || !card->plugged)
        return;
    card->dfu_reboot_pending = true;
    pending_threads.push_back(g_thread_new("vekemu-reenumerate", reboot_thread, card));
}

} // namespace vekemu

_VekemuCard::~_VekemuCard()
{
    for (GBytes *b : dl_blocks)
        g_bytes_unref(b);
    if (dfu_last_image != nullptr)
        g_bytes_unref(dfu_last_image);
}

using vekemu::Bed;

VekemuBed *vekemu_bed_get(void)
{
    static gsize once = 0;
    if (g_once_init_enter(&once)) {
        auto *bed = new VekemuBed();
        /* The bed is thousands of small files; on a tmpfs creating and removing them is
         * ten times faster than on a disk. umockdev puts it under the temporary directory. */
        g_autofree gchar *saved_tmpdir = g_strdup(g_getenv("TMPDIR"));
        if (g_access("/dev/shm", W_OK) == 0)
            g_setenv("TMPDIR", "/dev/shm", TRUE);
        /* umockdev sets UMOCKDEV_DIR after it started its worker thread, which reads the
         * environment as it goes. Adding a variable reallocates the environment under that
         * reader; replacing one does not. So the variable exists before the thread does
         * (empty, which the preload library maps to the real paths), and every change
         * from here on replaces or removes in place. */
        if (g_getenv("UMOCKDEV_DIR") == nullptr)
            g_setenv("UMOCKDEV_DIR", "", TRUE);
        bed->impl.testbed = umockdev_testbed_new();
        if (saved_tmpdir != nullptr)
            g_setenv("TMPDIR", saved_tmpdir, TRUE);
        else
            g_unsetenv("TMPDIR");
        g_autofree gchar *root = umockdev_testbed_get_root_dir(bed->impl.testbed);
        bed->impl.root = root;
        vekemu::the_bed = bed;
        g_once_init_leave(&once, 1);
    }
    return vekemu::the_bed;
}

const gchar *vekemu_bed_root_dir(VekemuBed *bed)
{
    return bed->impl.root.c_str();
}

void vekemu_bed_settle(VekemuBed *bed)
{
    for (;;) {
        GThread *t = nullptr;
        {
            std::lock_guard<std::recursive_mutex> lock(bed->impl.mu);
            if (vekemu::pending_threads.empty())
                return;
            t = vekemu::pending_threads.back();
            vekemu::pending_threads.pop_back();
        }
        g_thread_join(t);
    }
}

void vekemu_bed_remove_all(VekemuBed *bed)
{
    vekemu_bed_settle(bed);
    std::lock_guard<std::recursive_mutex> lock(bed->impl.mu);
    for (VekemuCard *card : bed->impl.cards) {
        card->gone = true;
        vekemu::disconnect_all(card);
        bed->impl.unplug_sysfs(card);
    }
    /* Clients that are still connected may call into a card until they close their
     * descriptor, so retired cards stay allocated (and answer ENODEV) for the life of
     * the process; only their bulky contents go. */
    for (VekemuCard *card : bed->impl.cards) {
        card->events.clear();
        card->events.shrink_to_fit();
        for (GBytes *b : card->dl_blocks)
            g_bytes_unref(b);
        card->dl_blocks.clear();
    }
    bed->impl.cards.clear();
}

void vekemu_bed_destroy(void)
{
    VekemuBed *bed = vekemu::the_bed;
    if (bed == nullptr)
        return;
    vekemu_bed_remove_all(bed);
    g_clear_object(&bed->impl.testbed);
}

guint vekemu_bed_card_count(VekemuBed *bed)
{
    std::lock_guard<std::recursive_mutex> lock(bed->impl.mu);
    return static_cast<guint>(bed->impl.cards.size());
}

VekemuCard *vekemu_bed_card(VekemuBed *bed, guint index)
{
    std::lock_guard<std::recursive_mutex> lock(bed->impl.mu);
    return index < bed->impl.cards.size() ? bed->impl.cards[index] : nullptr;
}

void vekemu_card_unplug(VekemuCard *card)
{
    std::lock_guard<std::recursive_mutex> lock(card->bed->mu);
    card->gone = true;
    card->regs.rx_stream = 0;
    vekemu::disconnect_all(card);
    card->bed->unplug_sysfs(card);
}

gboolean vekemu_card_plug(VekemuCard *card, GError **error)
{
    std::lock_guard<std::recursive_mutex> lock(card->bed->mu);
    if (card->plugged)
        return TRUE;
    /* Powered up again: the saved configuration, no stream. */
    card->regs.rx_stream = card->regs.tx_stream = card->regs.dl_stream = 0;
    vekemu::load_registers(card, card->saved);
    return card->bed->plug(card, error);
}

gboolean vekemu_card_is_plugged(VekemuCard *card)
{
    std::lock_guard<std::recursive_mutex> lock(card->bed->mu);
    return card->plugged;
}

void vekemu_card_hold(VekemuCard *card, gboolean held)
{
    std::lock_guard<std::recursive_mutex> lock(card->bed->mu);
    if (!card->plugged || card->held == static_cast<bool>(held))
        return;
    /* A node that cannot be opened: a directory where the device file was. */
    std::string node = card->bed->root + card->devnode;
    if (held) {
        g_unlink(node.c_str());
        g_mkdir(node.c_str(), 0755);
    } else {
        g_rmdir(node.c_str());
        g_file_set_contents(node.c_str(), "", 0, nullptr);
    }
    card->held = held;
}
