/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Downlink requests from the network: parsed, synthesised into the 28-byte
 * air frame and sent to the card one at a time, off the main loop. */
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <string>

#include "latency.h"
#include "vekbs.h"

namespace vekbs
{

struct DownlinkRequest {
    guint32 device_id = 0;
    guint16 seq = 0;
    std::vector<guint8> payload;
    guint32 freq = 0;
    std::string id; /* the request's "id" member as JSON text, or empty */
};

/* Reads one request: {"device_id": N or "0x..", "seq": 0-4095, "payload":
 * "hex" (at most 8 bytes), "freq": Hz, "id": anything (echoed)}. On failure
 * @request.id still holds what could be read of "id". */
bool parse_downlink_request(const std::string &text, DownlinkRequest &request, GError **error);

class Downlink
{
  public:
    using Publish = std::function<void(std::string result)>;

    explicit Downlink(Publish publish);
    ~Downlink();
    /* Handles one request that arrived at @arrived_us (monotonic); @device is
     * the streaming card, or nullptr. */
    void request(const std::string &text, gint64 arrived_us, VekDevice *device);
    bool busy() const { return sending_; }

    guint64 requests = 0, sent = 0, failed = 0, refused = 0;
    /* From a request's arrival to the end of its xvek_dl_send. */
    LatencyHistogram latency;

  private:
    struct Job {
        DownlinkRequest request;
        std::array<guint8, 28> frame{};
        gint64 arrived_us = 0;
        /* Stored last by the sending thread, read first by the completion:
         * it also publishes the thread's other writes to the main loop. */
        std::atomic<gint64> sent_us{0};
        VekDevice *device = nullptr;
    };
    void start_next();
    void publish(const DownlinkRequest &request, const char *status, const gchar *error,
                 const std::array<guint8, 28> *frame);
    static void send_in_thread(GTask *task, gpointer source, gpointer data, GCancellable *);
    static void on_sent(GObject *source, GAsyncResult *result, gpointer data);

    Publish publish_;
    SdrSynthWrapper *synth_;
    std::deque<Job *> jobs_;
    bool sending_ = false;
};

} // namespace vekbs
