/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Downlink requests from the network: parsed, held to the station's policy,
 * synthesised into the 28-byte air frame and sent to the card one at a time,
 * off the main loop. Every request gets exactly one result. */
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "downlink_policy.h"
#include "downlink_request.h"
#include "handover.h"
#include "latency.h"
#include "log_limiter.h"
#include "vekbs.h"

namespace vekbs
{

class Downlink
{
  public:
    using Publish = std::function<void(std::string result)>;

    Downlink(const DownlinkConfig &config, Publish publish);
    ~Downlink();
    Downlink(const Downlink &) = delete;
    Downlink &operator=(const Downlink &) = delete;

    /* Handles one request that arrived at @arrived_us (monotonic); @device is
     * the streaming card, or nullptr; @retained: the broker kept it. */
    void request(std::string_view text, gint64 arrived_us, VekDevice *device,
                 bool retained = false);
    /* The card's RX carrier, once known: the default sub-bands follow it. */
    void set_card_frequency(guint32 hz);
    /* The station stops: nothing new goes to the card; every request waiting,
     * and every one that still arrives, is answered "failed" ("station
     * stopping"). The frame already with the card finishes. */
    void stop();
    bool busy() const { return in_flight_ != nullptr; }

    guint64 requests = 0, sent = 0, failed = 0, refused = 0;
    guint64 sent_with_warning = 0; /* the card had the frame, a later step failed */
    guint64 failed_stopping = 0;   /* answered "failed" at the stop */
    std::array<guint64, kDownlinkRules> refused_by_rule{};
    /* From a request's arrival to the end of its xvek_dl_send. */
    LatencyHistogram latency;

  private:
    struct Job {
        DownlinkRequest request;
        std::array<guint8, 28> frame{};
        gint64 arrived_us = 0;
        gint64 sent_us = 0;  /* set by the sending thread */
        std::string warning; /* set by the sending thread */
        Handover handover;
        VekDevice *device = nullptr;
        ~Job() { g_clear_object(&device); }
    };
    void start_next();
    void expire();
    void note_room();
    void refuse(const DownlinkRequest &request, const gchar *why, const DownlinkRule *rule);
    void fail(const DownlinkRequest &request, const gchar *why);
    void publish(const DownlinkRequest &request, const char *status, const gchar *error,
                 const DownlinkRule *rule, const std::array<guint8, 28> *frame,
                 const gchar *warning);
    bool synthesize(Job &job);
    static gboolean on_expiry(gpointer data);
    static void send_in_thread(GTask *task, gpointer source, gpointer data, GCancellable *);
    static void on_sent(GObject *source, GAsyncResult *result, gpointer data);

    const DownlinkConfig &config_;
    Publish publish_;
    SdrSynthWrapper *synth_;
    DownlinkPolicy policy_;
    std::deque<std::unique_ptr<Job>> queue_; /* waiting, oldest first */
    std::unique_ptr<Job> in_flight_;         /* with the sending thread */
    guint expiry_ = 0;
    bool stopping_ = false;
    bool full_said_ = false;
    guint64 refused_while_full_ = 0;
    LogLimiter refusal_log_;
};

} // namespace vekbs
