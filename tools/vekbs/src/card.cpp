/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The live station's card: opening, configuration, RX hand-over and
 * disconnection. */
#include "card.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <gio/gio.h>
#include <kvrlog/kvrlog.h>

namespace vekbs
{
namespace
{

/* The card whose disconnection the process-wide callback reports. */
std::atomic<class Card *> gWatched{nullptr};

constexpr guint32 kBufferMs = 100; /* stored by the library; the pool is fixed */
constexpr guint32 kBufferRatio = 2;

std::string serial_of(guint index)
{
    g_autofree gchar *info = nullptr;
    if (!xvek_scan_print_info_device(index, &info, nullptr) || info == nullptr)
        return "";
    const gchar *serial = strstr(info, "-Serial: ");
    if (serial == nullptr)
        return "";
    serial += strlen("-Serial: ");
    return std::string(serial, strcspn(serial, "\n*"));
}

} // namespace

RxQueue::RxQueue(guint capacity) : slots_(MAX(capacity, 1u)) {}

bool RxQueue::push(const guint8 *bytes, gsize length, gint64 received_us)
{
    bool was_empty = false;
    while (length > 0) {
        const gsize piece = MIN(length, kSlotBytes);
        std::lock_guard<std::mutex> lock(mutex_);
        was_empty = was_empty || count_ == 0;
        received_bytes_.fetch_add(piece, std::memory_order_relaxed);
        const guint64 first = next_sample_;
        next_sample_ += piece / kBytesPerSample;
        if (count_ == slots_.size()) {
            dropped_bytes_.fetch_add(piece, std::memory_order_relaxed);
            dropped_transfers_.fetch_add(1, std::memory_order_relaxed);
        } else {
            Slot &slot = slots_[(head_ + count_) % slots_.size()];
            std::memcpy(slot.bytes.data(), bytes, piece);
            slot.length = piece;
            slot.first_sample = first;
            slot.received_us = received_us;
            count_++;
        }
        bytes += piece;
        length -= piece;
    }
    return was_empty;
}

const RxQueue::Slot *RxQueue::front()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ > 0 ? &slots_[head_] : nullptr;
}

void RxQueue::pop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0)
        return;
    head_ = (head_ + 1) % slots_.size();
    count_--;
}

void RxQueue::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    head_ = count_ = 0;
    next_sample_ = 0;
}

bool RxQueue::empty()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ == 0;
}

Card::Card(const CardConfig &config, RxQueue &queue) : config_(config), queue_(queue) {}

Card::~Card()
{
    close();
}

void Card::watch_disconnections(VekDevice *owner)
{
    /* The registration announces itself on standard output, which carries
     * only frames here: let it speak on standard error instead. */
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    if (saved >= 0)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    xvek_set_disconnection_callback(owner, on_disconnected, nullptr, nullptr, nullptr);
    std::fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
}

gboolean Card::on_disconnected(VekDevice *, GError **)
{
    /* USB event thread: flag it and wake the main loop, nothing more. */
    Card *card = gWatched.load();
    if (card != nullptr)
        card->unplugged_.store(true);
    g_main_context_wakeup(nullptr);
    return TRUE;
}

gboolean Card::on_rx(VekDevice *, const guint8 *buffer, gsize length, gpointer user_data, GError **)
{
    auto *card = static_cast<Card *>(user_data);
    /* The main loop only sleeps on an empty queue. */
    if (card->queue_.push(buffer, length, g_get_real_time()))
        g_main_context_wakeup(nullptr);
    return TRUE;
}

bool Card::configure(GError **error)
{
    if (config_.rx_frequency != 0 &&
        !xvek_ctrl_cf_set(device_, config_.rx_frequency, XVEK_CTL_MODE_RX, error)) {
        g_prefix_error(error, "cannot set the RX carrier frequency: ");
        return false;
    }
    for (guint id = 0; id < config_.preamps.size(); id++) {
        if (config_.preamps[id] &&
            !xvek_ctrl_pa_set(device_, xvek_hlp_int_to_preampid(static_cast<gint>(id)),
                              *config_.preamps[id], error)) {
            g_prefix_error(error, "cannot set preamplifier %u: ", id);
            return false;
        }
    }
    if (!xvek_rx_configure(device_, kBufferMs, kBufferRatio, XVEK_STREAM_RATE_VAL192K,
                           XVEK_STREAM_ACCESS_TYPE_RW, XVEK_STREAM_BITWIDTH_VAL16,
                           XVEK_STREAM_ENDIAN_LE, XVEK_STREAM_NB_CHANNEL_VAL2, error)) {
        g_prefix_error(error, "cannot configure RX: ");
        return false;
    }
    /* Say what the card now runs with, read back from the card. */
    guint32 freq = 0;
    VektypePreampMode modes[3] = {XVEK_CTL_PREAMP_MODE_MAX, XVEK_CTL_PREAMP_MODE_MAX,
                                  XVEK_CTL_PREAMP_MODE_MAX};
    if (!xvek_ctrl_cf_get(device_, &freq, XVEK_CTL_MODE_RX, error)) {
        g_prefix_error(error, "cannot read the RX carrier frequency: ");
        return false;
    }
    for (guint id = 0; id < 3; id++)
        if (!xvek_ctrl_pa_get(device_, xvek_hlp_int_to_preampid(static_cast<gint>(id)), &modes[id],
                              error)) {
            g_prefix_error(error, "cannot read preamplifier %u: ", id);
            return false;
        }
    rx_frequency_ = freq;
    g_printerr("vekbs: %s: RX %u Hz, preamplifiers %s/%s/%s, 192000 samples/s, 16 bits\n",
               label_.c_str(), freq, xvek_hlp_preampmode_to_str(modes[0]),
               xvek_hlp_preampmode_to_str(modes[1]), xvek_hlp_preampmode_to_str(modes[2]));
    KVRLOG_INFO("%s: RX %u Hz, preamplifiers %s/%s/%s", label_.c_str(), freq,
                xvek_hlp_preampmode_to_str(modes[0]), xvek_hlp_preampmode_to_str(modes[1]),
                xvek_hlp_preampmode_to_str(modes[2]));
    return true;
}

bool Card::open(GError **error)
{
    guint32 count = 0;
    if (!xvek_scan_get_device_nb(&count, error))
        return false;
    if (config_.index >= count) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no card %u (%u found)", config_.index,
                    count);
        return false;
    }
    const std::string serial = serial_of(config_.index);
    label_ = "card " + std::to_string(config_.index) +
             (serial.empty() ? std::string() : " (" + serial + ")");
    if (!xvek_device_new_with_mode(config_.index, XVEK_OPEN_MODE_RX_DL, &device_, error)) {
        g_prefix_error(error, "cannot open %s: ", label_.c_str());
        return false;
    }
    queue_.reset();
    unplugged_.store(false);
    if (!configure(error)) {
        g_prefix_error(error, "%s: ", label_.c_str());
        close();
        return false;
    }
    gWatched.store(this);
    if (!xvek_rx_start(device_, on_rx, this, nullptr, error)) {
        g_prefix_error(error, "cannot start RX on %s: ", label_.c_str());
        close();
        return false;
    }
    return true;
}

void Card::close()
{
    if (device_ == nullptr)
        return;
    g_autoptr(GError) error = nullptr;
    if (!xvek_rx_stop(device_, &error))
        KVRLOG_DEBUG("%s: RX stop: %s", label_.c_str(), error->message);
    /* The last reference: released here on the main loop, never from a
     * callback of the device library. */
    g_clear_object(&device_);
    Card *self = this;
    gWatched.compare_exchange_strong(self, nullptr);
}

} // namespace vekbs
