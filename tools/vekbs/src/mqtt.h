/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The live station's link to an MQTT broker: uplink frames, downlink
 * requests and results, and a retained status, on one topic tree. */
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "latency.h"
#include "vekbs.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace vekbs
{

/* @url with the password of its user information, if any, as "***". */
std::string redact_url(const std::string &url);
/* Parses mqtt://HOST[:PORT] or mqtts://HOST[:PORT] into @config; an error
 * shows the address redacted. */
bool parse_mqtt_url(const std::string &url, MqttConfig &config, GError **error);

/* Runs on the default main context: libmosquitto's socket is watched by the
 * main loop, so every callback below arrives there (only the connection's
 * start, which libmosquitto does blocking, runs on a worker thread). Messages
 * wait in a bounded queue until the broker acknowledges them (QoS 1); while
 * the broker is away the queue keeps the newest ones, and it drains in order
 * once the connection is back.
 *
 * MQTT 5 with a session the broker keeps for @session_expiry_s after the
 * connection is lost, so that requests published meanwhile wait for the
 * station; the client id, vekbs-STATION-PID-RANDOM, is the station's and this
 * process's alone. */
class MqttLink
{
  public:
    /* @arrived_us (monotonic): when the request reached the station, or, for
     * one the broker kept while the station was away, when the link was lost.
     * @retained: the broker held it as a retained message. */
    using RequestHandler =
        std::function<void(std::string_view payload, gint64 arrived_us, bool retained)>;

    /* Requests above @max_request_bytes are the station's to refuse; the
     * broker is told to keep far larger ones (64 KiB more) for itself. */
    MqttLink(const MqttConfig &config, const std::string &station, guint session_expiry_s,
             gsize max_request_bytes, RequestHandler on_request);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    /* Starts connecting (in the background; failures are retried). */
    void start();
    /* Queues @payload for <prefix>/<station>/up; @origin_us (monotonic) is
     * when the samples that carried it were written, for the latency. */
    void publish_uplink(std::string payload, gint64 origin_us);
    void publish_result(std::string payload);
    /* The retained status; the newest replaces one not sent yet. */
    void publish_status(std::string payload);
    /* Runs the main loop until the queue and the status are acknowledged or
     * @timeout_ms passes, then says goodbye to the broker. */
    void finish(const std::function<std::string()> &last_status, guint timeout_ms);

    bool connected() const { return connected_; }
    guint64 published() const { return published_; }
    guint64 dropped() const { return dropped_; }
    guint64 queued() const { return queue_.size(); }
    guint64 reconnects() const { return reconnects_; }
    guint64 takeovers() const { return takeovers_; }
    const std::string &client_id() const { return client_id_; }
    /* Milliseconds from the write of a frame's samples to its publication. */
    const LatencyHistogram &uplink_latency() const { return latency_; }
    std::string topic(const char *leaf) const;

  private:
    struct Message {
        std::string topic, payload;
        gint64 origin_us = 0; /* 0: no latency to record */
        int mid = 0;          /* libmosquitto's id while in flight, 0 otherwise */
    };

    struct Attempt;
    void connect();
    static void connect_in_thread(GTask *task, gpointer, gpointer data, GCancellable *);
    static void on_connected(GObject *, GAsyncResult *result, gpointer data);
    void schedule_reconnect();
    void connection_lost(const char *why);
    void pump();
    void send_pending();
    void enqueue(Message message);
    void update_watch();
    struct SocketSource;
    static GSourceFuncs socket_funcs_;
    static gboolean on_socket(GSource *source, GSourceFunc, gpointer);
    static gboolean on_tick(gpointer data);
    static gboolean on_retry(gpointer data);
    static void on_connect(struct mosquitto *, void *data, int rc, int flags,
                           const ::mqtt5__property *);
    static void on_disconnect(struct mosquitto *, void *data, int rc);
    static void on_publish(struct mosquitto *, void *data, int mid);
    static void on_message(struct mosquitto *, void *data, const struct mosquitto_message *msg);
    static void on_log(struct mosquitto *mosq, void *data, int level, const char *text);
    /* What a libmosquitto error code means here, TLS failures said in full. */
    std::string reason(int rc) const;

    const MqttConfig &config_;
    std::string station_, client_id_, offline_;
    guint session_expiry_s_;
    guint32 max_packet_bytes_;
    RequestHandler on_request_;
    struct mosquitto *mosq_ = nullptr;
    Attempt *attempt_ = nullptr; /* a connection being started on a worker thread */
    GSource *socket_ = nullptr;
    guint tick_ = 0, retry_ = 0;
    bool connected_ = false, finishing_ = false;
    guint backoff_s_ = 1;
    std::deque<Message> queue_; /* oldest first; the first in_flight_ are with libmosquitto */
    gsize in_flight_ = 0;
    std::string status_; /* waiting to be sent, or empty */
    int final_mid_ = 0;  /* the last status, until acknowledged */
    guint64 published_ = 0, dropped_ = 0, reconnects_ = 0, connections_ = 0, takeovers_ = 0;
    bool full_said_ = false;
    guint64 dropped_while_full_ = 0;
    bool taken_over_ = false;      /* the last connection ended by a takeover */
    gint64 lost_us_ = 0;           /* when the last connection was lost */
    gint64 catch_up_until_us_ = 0; /* requests until then may have waited since lost_us_ */
    LatencyHistogram latency_;
    std::string tls_error_; /* the first TLS error of the current attempt */
};

} // namespace vekbs
