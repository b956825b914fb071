/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Shared pieces of the stream, data and downlink tests: one emulated card per
 * test, opened through the device library, and an RX sink that checks the
 * card's counter pattern as the blocks arrive on the USB event thread. */
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>
#include <vekemu/vekemu.h>
#include <xvek/xvek.h>

namespace xvektest
{

/* Byte @offset of the card's counter pattern: little-endian 32-bit words
 * 0, 1, 2, ... from the moment the stream is switched on. */
inline guint8 counter_byte(guint64 offset)
{
    guint32 word = (guint32)(offset / 4);
    return (guint8)(word >> (8 * (offset % 4)));
}

/* Receives RX blocks. Everything but the atomics is touched only by the
 * event thread while the stream runs, and read by the test after the stop
 * returned (which guarantees no callback runs any more). */
struct RxSink {
    std::atomic<guint> calls{0};
    std::atomic<guint64> bytes{0};
    std::atomic<guint> errors_to_raise{0};
    std::atomic<gboolean> out_of_order{FALSE};
    gsize max_block = 0;
    gboolean odd_length = FALSE;

    static gboolean on_rx(VekDevice *owner, const guint8 *buffer, gsize length, gpointer user_data,
                          GError **error)
    {
        auto *sink = static_cast<RxSink *>(user_data);
        (void)owner;
        guint64 offset = sink->bytes.load();
        for (gsize i = 0; i < length; i++) {
            if (buffer[i] != counter_byte(offset + i)) {
                sink->out_of_order = TRUE;
                break;
            }
        }
        if (length > sink->max_block)
            sink->max_block = length;
        if (length % 4 != 0)
            sink->odd_length = TRUE;
        sink->bytes.fetch_add(length);
        sink->calls.fetch_add(1);
        guint pending = sink->errors_to_raise.load();
        if (pending > 0) {
            sink->errors_to_raise.store(pending - 1);
            g_set_error(error, g_quark_from_static_string("test"), 1, "consumer is full");
            return FALSE;
        }
        return TRUE;
    }
};

/* Counts destroy notifications. */
struct NotifyCounter {
    std::atomic<guint> count{0};
    gpointer last_data = nullptr;
    static void notify(gpointer data);
};
inline NotifyCounter *g_notify_counter = nullptr;
inline void NotifyCounter::notify(gpointer data)
{
    g_notify_counter->last_data = data;
    g_notify_counter->count.fetch_add(1);
}

/* Polls @pred every millisecond for up to @timeout_ms. */
template <typename Pred> bool wait_for(Pred pred, guint timeout_ms = 5000)
{
    gint64 deadline = g_get_monotonic_time() + (gint64)timeout_ms * 1000;
    while (!pred()) {
        if (g_get_monotonic_time() > deadline)
            return pred();
        g_usleep(1000);
    }
    return true;
}

/* TRUE while a thread named like the library's USB event thread exists. */
inline bool engine_thread_running()
{
    GDir *dir = g_dir_open("/proc/self/task", 0, nullptr);
    if (dir == nullptr)
        return false;
    bool found = false;
    while (const gchar *tid = g_dir_read_name(dir)) {
        g_autofree gchar *path = g_strdup_printf("/proc/self/task/%s/comm", tid);
        g_autofree gchar *comm = nullptr;
        if (g_file_get_contents(path, &comm, nullptr, nullptr) &&
            g_str_has_prefix(comm, "libvekUsbEngine"))
            found = true;
    }
    g_dir_close(dir);
    return found;
}

/* TRUE on the library's USB event thread. */
inline bool on_engine_thread()
{
    char name[16] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    return g_str_equal(name, "libvekUsbEngine");
}

/* Keeps every processor busy while it lives, so that the threads under test
 * are preempted at arbitrary points. */
class CpuLoad
{
  public:
    CpuLoad()
    {
        for (guint i = 0; i < g_get_num_processors(); i++)
            burners_.emplace_back([this] {
                volatile guint64 x = 0;
                while (!stop_.load(std::memory_order_relaxed))
                    x = x + 1;
            });
    }
    CpuLoad(const CpuLoad &) = delete;
    CpuLoad &operator=(const CpuLoad &) = delete;
    ~CpuLoad()
    {
        stop_ = true;
        for (std::thread &t : burners_)
            t.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> burners_;
};

// The event thread names itself once it runs, a moment after start returns.
inline bool engine_thread_appears()
{
    for (int i = 0; i < 200; i++) {
        if (engine_thread_running())
            return true;
        g_usleep(10 * 1000);
    }
    return false;
}

inline std::vector<VekemuEvent> card_events(VekemuCard *card)
{
    GArray *arr = vekemu_card_events(card);
    std::vector<VekemuEvent> out;
    for (guint i = 0; i < arr->len; i++)
        out.push_back(g_array_index(arr, VekemuEvent, i));
    g_array_unref(arr);
    return out;
}

/* Vendor OUT requests of group 3 with command @cmd that the card saw. */
inline std::vector<guint32> data_writes(VekemuCard *card, guint16 cmd)
{
    std::vector<guint32> values;
    for (const VekemuEvent &e : card_events(card))
        if (e.kind == VEKEMU_EVENT_CONTROL && e.bmRequestType == 0x43 && e.bRequest == 3 &&
            e.wValue == cmd)
            values.push_back(e.value);
    return values;
}

inline bool claimed(VekemuCard *card, guint16 iface)
{
    for (const VekemuEvent &e : card_events(card))
        if (e.kind == VEKEMU_EVENT_CLAIM && e.wIndex == iface)
            return true;
    return false;
}

inline bool released(VekemuCard *card, guint16 iface)
{
    for (const VekemuEvent &e : card_events(card))
        if (e.kind == VEKEMU_EVENT_RELEASE && e.wIndex == iface)
            return true;
    return false;
}

/* One emulated card, opened in the mode the test asks for. */
class CardTest : public ::testing::Test
{
  protected:
    VekemuBed *bed = vekemu_bed_get();
    VekemuCard *card = nullptr;
    VekDevice *dev = nullptr;
    NotifyCounter notified;

    void add_card(VekemuPacing pacing = VEKEMU_PACING_REALTIME)
    {
        VekemuCardConfig cfg;
        vekemu_card_config_init(&cfg);
        cfg.pacing = pacing;
        g_autoptr(GError) err = nullptr;
        card = vekemu_add_card(bed, &cfg, &err);
        ASSERT_NE(card, nullptr) << (err ? err->message : "");
    }

    void open(VektypeOpenMode mode)
    {
        g_autoptr(GError) err = nullptr;
        ASSERT_TRUE(xvek_device_new_with_mode(0, mode, &dev, &err)) << (err ? err->message : "");
        ASSERT_NE(dev, nullptr);
    }

    void configure_default()
    {
        g_autoptr(GError) err = nullptr;
        ASSERT_TRUE(xvek_rx_configure(dev, 100, 2, XVEK_STREAM_RATE_VAL192K,
                                      XVEK_STREAM_ACCESS_TYPE_RW, XVEK_STREAM_BITWIDTH_VAL16,
                                      XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, &err))
            << (err ? err->message : "");
    }

    void SetUp() override { g_notify_counter = &notified; }

    void TearDown() override
    {
        if (dev != nullptr)
            g_object_unref(dev);
        dev = nullptr;
        g_notify_counter = nullptr;
        vekemu_bed_remove_all(bed);
    }
};

} // namespace xvektest
