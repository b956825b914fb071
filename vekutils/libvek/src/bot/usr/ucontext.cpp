/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The process-wide USB context: the DFU programming step, the list of
 * supported cards, its reference count, the shared libusb event thread and
 * the opening of one card by its id. */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include <kvrdfu/kvrdfu.h>

#include "bottom.h"

namespace
{

struct UsbId {
    guint16 vid;
    guint16 pid;
};

/* Cards this library drives, tested in this order. */
constexpr UsbId kSupported[] = {{0x6B3E, 0x0001}, {0x1FC9, 0x008A}};
/* Boot loader identities handed to the firmware programmer. */
constexpr UsbId kDfuIds[] = {{0x1FC9, 0x000C}, {0x6B3E, 0x8001}};
/* Resolved by the programmer (its firmware directory, then the working
 * directory, then the installed firmware directory). */
constexpr const gchar *kFirmwareName = "ORB.bin.hdr";
constexpr gsize kInfoLen = 4096;
constexpr gsize kStringLen = 256;
constexpr guint kEngineTimeoutUs = 200000;

/* Creation, reference counting and destruction may be called from several
 * threads: one lock guards the context pointer and its count. (std::mutex
 * rather than GMutex: the thread sanitizer understands the former.) */
std::mutex gCtxLock;
sBottomCtx *gCtx = nullptr;
guint32 gCtxRef = 0;

/* Start and stop of the event thread. */
std::mutex gEngineLock;
/* Set on the event thread itself; read without a lock, since a stop may hold
 * gEngineLock while it waits for this thread to end. */
thread_local bool tOnEngineThread = false;

bool is_device_supported(const libusb_device_descriptor &desc)
{
    for (const UsbId &id : kSupported) {
        if (desc.idVendor == id.vid && desc.idProduct == id.pid)
            return true;
    }
    return false;
}

/* @dev opened, or none when libusb_open fails (errno then tells why). */
UsbHandlePtr open_device(libusb_device *dev)
{
    libusb_device_handle *h = nullptr;
    if (libusb_open(dev, &h) != 0)
        return nullptr;
    return UsbHandlePtr(h);
}

/* Descriptor summary of a card, or an empty text when it cannot be opened. */
gchar *print_info_from_desc(libusb_device *dev, const libusb_device_descriptor &desc)
{
    UsbHandlePtr h = open_device(dev);
    if (!h)
        return g_strdup("");

    unsigned char mfr[kStringLen] = "";
    unsigned char prod[kStringLen] = "";
    unsigned char serial[kStringLen] = "";
    if (desc.iManufacturer != 0 &&
        libusb_get_string_descriptor_ascii(h.get(), desc.iManufacturer, mfr, sizeof mfr) < 0)
        mfr[0] = '\0';
    if (desc.iProduct != 0 &&
        libusb_get_string_descriptor_ascii(h.get(), desc.iProduct, prod, sizeof prod) < 0)
        prod[0] = '\0';
    if (desc.iSerialNumber != 0 &&
        libusb_get_string_descriptor_ascii(h.get(), desc.iSerialNumber, serial, sizeof serial) < 0)
        serial[0] = '\0';
    h.reset();

    gchar *info =
        g_strdup_printf("-VID:0x%04x PID:0x%04x\n-Manufacturer: %s\n-Product: %s\n"
                        "-Serial: %s\n",
                        desc.idVendor, desc.idProduct, reinterpret_cast<gchar *>(mfr),
                        reinterpret_cast<gchar *>(prod), reinterpret_cast<gchar *>(serial));
    if (strlen(info) >= kInfoLen)
        info[kInfoLen - 1] = '\0';
    return info;
}

void clear_supported_device(sDev *d)
{
    if (d == nullptr)
        return;
    if (d->dev != nullptr)
        libusb_unref_device(d->dev);
    g_free(d->info);
    g_free(d);
}

/* Lists @dev with its descriptor summary @info, which it takes. */
gboolean add_supported_device(sBottomCtx *ctx, libusb_device *dev, gchar *info, GError **error)
{
    g_autofree gchar *owned_info = info;
    if (ctx->devNb >= XVEK_MAX_DEVICES) {
        xvek_set_error(error, " Too many vek devices detected! Max allowed: %u", XVEK_MAX_DEVICES);
        return FALSE;
    }
    sDev *d = g_try_new0(sDev, 1);
    if (d == nullptr) {
        xvek_set_error(error, "Oom");
        return FALSE;
    }
    d->dev = libusb_ref_device(dev);
    d->info = std::exchange(owned_info, nullptr);
    ctx->devList[ctx->devNb++] = d;
    return TRUE;
}

/* libusb's device list, freed with the references it holds. */
struct DeviceListFreer {
    void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};
using DeviceListPtr = std::unique_ptr<libusb_device *, DeviceListFreer>;

gboolean populate_device_list(sBottomCtx *ctx, GError **error)
{
    libusb_device **raw = nullptr;
    ssize_t count = libusb_get_device_list(ctx->usbCtx, &raw);
    DeviceListPtr list(raw);
    if (count <= 0)
        return TRUE;

    gboolean ok = TRUE;
    for (ssize_t i = 0; i < count && ok; i++) {
        libusb_device *dev = list.get()[i];
        libusb_device_descriptor desc;
        int r = libusb_get_device_descriptor(dev, &desc);
        if (r < 0) {
            std::fprintf(stderr, "failed to get device descriptor");
            std::fflush(stderr);
            ok = xvek_set_usb_error(error, r, UsbResultWord::error,
                                    "failed to get device descriptor ");
            break;
        }
        if (!is_device_supported(desc)) {
            xvek_log(LOG_LEVEL_DEBUG, "Device 0x%04x:0x%04x not supported\n", desc.idVendor,
                     desc.idProduct);
            continue;
        }
        xvek_log(LOG_LEVEL_DEBUG, "Device 0x%04x:0x%04x is supported\n", desc.idVendor,
                 desc.idProduct);
        /* A card that another process holds (or that we may not open) takes no id. */
        if (!open_device(dev))
            continue;

        ok = add_supported_device(ctx, dev, print_info_from_desc(dev, desc), error);
    }
    if (!ok)
        g_prefix_error(error, "Failed to populate Vek device list: ");
    return ok;
}

void unpopulate_device_list(sBottomCtx *ctx)
{
    if (ctx->devList == nullptr)
        return;
    for (gsize i = 0; i < ctx->devNb; i++) {
        clear_supported_device(ctx->devList[i]);
        ctx->devList[i] = nullptr;
    }
    ctx->devNb = 0;
}

void engine_stop_locked(sBottomCtx *ctx);

void bottom_context_destroy(sBottomCtx *ctx)
{
    if (ctx == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(gEngineLock);
        ctx->engineUsers = 0;
        engine_stop_locked(ctx);
    }
    unpopulate_device_list(ctx);
    if (ctx->usbCtx != nullptr)
        libusb_exit(ctx->usbCtx);
    g_free(ctx->devList);
    delete ctx;
}

struct MatchListDeleter {
    void operator()(kvrdfu_match_list *ml) const
    {
        g_free(ml->list);
        g_free(ml);
    }
};
using MatchListPtr = std::unique_ptr<kvrdfu_match_list, MatchListDeleter>;

gboolean dfu_match_list_create(MatchListPtr &out, GError **error)
{
    kvrdfu_match_list *ml = g_try_new0(kvrdfu_match_list, 1);
    if (ml == nullptr) {
        xvek_set_error(error, "oom ! (1)");
        return FALSE;
    }
    out.reset(ml);
    ml->list = g_try_new0(kvrdfu_dev, G_N_ELEMENTS(kDfuIds));
    if (ml->list == nullptr) {
        xvek_set_error(error, "oom ! (2)");
        return FALSE;
    }
    for (gsize i = 0; i < G_N_ELEMENTS(kDfuIds); i++)
        ml->list[i] = {kDfuIds[i].vid, kDfuIds[i].pid};
    ml->size = G_N_ELEMENTS(kDfuIds);
    return TRUE;
}

/* Programs every card found in its boot loader, before the scan sees it. */
gboolean program_dfu_cards(GError **error)
{
    MatchListPtr ml;
    if (!dfu_match_list_create(ml, error)) {
        g_prefix_error(error, "Failed populating dfu match list");
        return FALSE;
    }
    gint flashed = 0;
    g_autofree gchar *report = nullptr;
    GError *inner = nullptr;
    if (!kvrdfu_program_all_devices(ml.get(), kFirmwareName, &flashed, &report, &inner)) {
        g_propagate_prefixed_error(error, inner, "Failed to program devices using dfu standard ");
        return FALSE;
    }
    if (flashed != 0) {
        std::printf("#\n%sFirmware '%s' flashed to %d device(s)\n#\n", report ? report : "",
                    kFirmwareName, flashed);
        std::fflush(stdout);
    }
    return TRUE;
}

struct ContextDestroyer {
    void operator()(sBottomCtx *ctx) const { bottom_context_destroy(ctx); }
};

sBottomCtx *bottom_context_create(GError **error)
{
    std::unique_ptr<sBottomCtx, ContextDestroyer> ctx(new (std::nothrow) sBottomCtx());
    if (!ctx) {
        xvek_set_error(error, "Creating ctx: oom ! (1)");
        return nullptr;
    }
    ctx->devList = g_try_new0(sDev *, XVEK_MAX_DEVICES);
    if (ctx->devList == nullptr) {
        xvek_set_error(error, "Creating ctx: oom ! (2)");
        return nullptr;
    }
    if (!program_dfu_cards(error))
        return nullptr;
    int r = libusb_init(&ctx->usbCtx);
    if (r < 0) {
        /* Going on would silently use libusb's default context. */
        ctx->usbCtx = nullptr;
        xvek_set_usb_error(error, r, UsbResultWord::error, "libusb init failed ");
        return nullptr;
    }
    if (!populate_device_list(ctx.get(), error))
        return nullptr;
    return ctx.release();
}

gpointer engine_main(gpointer data)
{
    auto *ctx = static_cast<sBottomCtx *>(data);
    tOnEngineThread = true;
    while (true) {
        /* The only event handler of the context while it runs: every
         * transfer the library waits for completes here (bottom_transfer_run),
         * so stream callbacks never run on an application thread. */
        struct timeval tv = {0, kEngineTimeoutUs};
        libusb_handle_events_timeout_completed(ctx->usbCtx, &tv, nullptr);
        if (ctx->threadAbort.load(std::memory_order_seq_cst) == 1)
            break;
    }
    return nullptr;
}

void engine_stop_locked(sBottomCtx *ctx)
{
    ctx->threadAbort.store(1, std::memory_order_seq_cst);
    if (ctx->gthread == nullptr)
        return;
    GThread *thread = ctx->gthread;
    ctx->gthread = nullptr;
    if (thread == g_thread_self()) {
        /* Stopped from one of its own callbacks: it ends after this pass. */
        g_thread_unref(thread);
        return;
    }
    libusb_interrupt_event_handler(ctx->usbCtx);
    g_thread_join(thread);
}

} // namespace

gboolean context_get(sBottomCtx **ctx, GError **error)
{
    if (ctx == nullptr)
        return xvek_invalid_handle("context_get", error);
    std::lock_guard<std::mutex> lock(gCtxLock);
    if (gCtx == nullptr) {
        GError *inner = nullptr;
        gCtx = bottom_context_create(&inner);
        if (gCtx == nullptr) {
            g_propagate_prefixed_error(error, inner, "Failed to create global vek context: ");
            *ctx = nullptr;
            return FALSE;
        }
        gCtxRef = 0;
    }
    gCtxRef++;
    *ctx = gCtx;
    return TRUE;
}

void context_release(sBottomCtx *ctx)
{
    (void)ctx; /* there is only one context */
    std::lock_guard<std::mutex> lock(gCtxLock);
    if (gCtx == nullptr || gCtxRef == 0)
        return;
    if (--gCtxRef > 0)
        return;
    bottom_context_destroy(gCtx);
    gCtx = nullptr;
}

gboolean context_device_obtain(sBottomCtx *ctx, guint id, sDev **dev, GError **error)
{
    if (dev == nullptr || ctx == nullptr)
        return xvek_invalid_handle("context_device_obtain", error);
    if (id >= ctx->devNb) {
        *dev = nullptr;
        xvek_set_error(error, "id %u: no such device", id);
        return FALSE;
    }
    *dev = ctx->devList[id];
    return TRUE;
}

gboolean context_activate_usb_engine(sBottomCtx *ctx, GError **error)
{
    if (ctx == nullptr)
        return xvek_invalid_handle("context_activate_usb_engine", error);
    std::lock_guard<std::mutex> lock(gEngineLock);
    if (ctx->gthread == nullptr) {
        ctx->threadAbort.store(0, std::memory_order_seq_cst);
        GThread *thread = g_thread_try_new("libvekUsbEngine", engine_main, ctx, error);
        if (thread == nullptr)
            return FALSE;
        ctx->gthread = thread;
    }
    ctx->engineUsers++;
    return TRUE;
}

gboolean context_deactivate_usb_engine(sBottomCtx *ctx, GError **error)
{
    (void)error;
    if (ctx == nullptr)
        return TRUE;
    std::lock_guard<std::mutex> lock(gEngineLock);
    if (ctx->engineUsers > 0)
        ctx->engineUsers--;
    if (ctx->engineUsers > 0)
        return TRUE; /* another card still streams */
    engine_stop_locked(ctx);
    return TRUE;
}

gboolean bottom_on_engine_thread(void)
{
    return tOnEngineThread;
}

gboolean bottom_refuse_on_engine_thread(GError **error)
{
    if (!tOnEngineThread)
        return FALSE;
    xvek_set_error(error, "not allowed from a stream callback (USB event thread)");
    return TRUE;
}

sBottomPriv::~sBottomPriv()
{
    h.reset();
    if (c != nullptr)
        context_release(c);
}

gboolean bottom_private_init(guint id, sBottomPriv **priv, GError **error)
{
    if (priv == nullptr)
        return xvek_invalid_handle("bottom_private_init", error);
    *priv = nullptr;
    std::unique_ptr<sBottomPriv> b(new (std::nothrow) sBottomPriv());
    if (!b) {
        xvek_set_error(error, "Oom");
        return FALSE;
    }
    if (!context_get(&b->c, error)) {
        g_prefix_error(error, "Failed obtain context: ");
        return FALSE;
    }
    sDev *dev = nullptr;
    if (!context_device_obtain(b->c, id, &dev, error)) {
        g_prefix_error(error, "Failed obtain device: ");
        return FALSE;
    }
    errno = 0;
    b->h = open_device(dev->dev);
    if (!b->h) {
        int err = errno;
        xvek_set_error(error, "Failed opeing usb device (error %d)", err);
        return FALSE;
    }
    *priv = b.release();
    return TRUE;
}

void bottom_private_release(sBottomPriv *priv)
{
    delete priv;
}
