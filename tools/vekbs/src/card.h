/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The card a live station streams from: its RX samples cross from the device
 * library's event thread to the main loop through a bounded queue. */
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "vekbs.h"

namespace vekbs
{

/* A bounded hand-over of RX transfers: the producer (the USB event thread)
 * never waits and never allocates; when the consumer falls behind, new
 * transfers are dropped and counted. Samples are numbered from the start of
 * the stream, dropped ones included, so the consumer sees every gap. */
class RxQueue
{
  public:
    static constexpr gsize kSlotBytes = 8192;

    struct Slot {
        std::array<guint8, kSlotBytes> bytes;
        gsize length = 0;
        guint64 first_sample = 0; /* position in the stream of bytes[0] */
        gint64 received_us = 0;   /* wall clock when the transfer completed */
    };

    explicit RxQueue(guint capacity);
    /* Producer. Returns TRUE when the queue was empty before: the consumer
     * may be asleep and needs a wake-up. */
    bool push(const guint8 *bytes, gsize length, gint64 received_us);
    /* Consumer: the oldest slot, or nullptr; it stays valid until pop(). */
    const Slot *front();
    void pop();
    /* Forgets every slot and restarts the sample numbering (a new stream). */
    void reset();

    guint64 received_bytes() const { return received_bytes_.load(); }
    guint64 dropped_bytes() const { return dropped_bytes_.load(); }
    guint64 dropped_transfers() const { return dropped_transfers_.load(); }
    bool empty();

  private:
    std::mutex mutex_;
    std::vector<Slot> slots_;
    gsize head_ = 0, count_ = 0;
    guint64 next_sample_ = 0;
    std::atomic<guint64> received_bytes_{0}, dropped_bytes_{0}, dropped_transfers_{0};
};

/* One opened, streaming card. Everything but the RX and disconnection
 * callbacks runs on the main loop. */
class Card
{
  public:
    Card(const CardConfig &config, RxQueue &queue);
    ~Card();
    /* Opens card @index, configures it and starts RX; prints what it set. */
    bool open(GError **error);
    /* Stops RX and releases the card (never from a device-library callback). */
    void close();
    bool is_open() const { return device_ != nullptr; }
    VekDevice *device() const { return device_; }
    /* The RX carrier the card runs with, as read back at the open. */
    guint32 rx_frequency() const { return rx_frequency_; }
    /* Set by the disconnection callback on the USB event thread. */
    bool take_unplugged() { return unplugged_.exchange(false); }
    bool unplugged() const { return unplugged_.load(); }
    /* A short description for the log: "card 0 (serial ...)". */
    const std::string &label() const { return label_; }
    /* Registered once per process: the device library keeps one callback. */
    static void watch_disconnections(VekDevice *owner);

  private:
    static gboolean on_rx(VekDevice *owner, const guint8 *buffer, gsize length, gpointer user_data,
                          GError **error);
    static gboolean on_disconnected(VekDevice *device, GError **error);
    bool configure(GError **error);

    const CardConfig &config_;
    RxQueue &queue_;
    VekDevice *device_ = nullptr;
    std::atomic<bool> unplugged_{false};
    std::string label_;
    guint32 rx_frequency_ = 0;
};

} // namespace vekbs
