/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The station's read-only web server, on the default main context (libsoup 3,
 * no thread of its own): the page, the metrics, the JSON API, and a WebSocket
 * that carries the live view. The network is hostile: connections are bounded
 * in number and in lifetime, only GET and HEAD are served, request bodies are
 * never kept, and a WebSocket client is sent news only while little of what it
 * was sent before waits unread: one that stops reading is held back, brought up
 * to date once it reads again, and closed when it stalls for long. */
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gio/gio.h>

namespace vekbs
{

/* How far a WebSocket client has been brought: what it was sent last. */
struct Cursor {
    guint64 hello = 0, line = 0, frame = 0, status = 0;
};

/* What the server serves; each call runs on the main loop and must be quick. */
class HttpContent
{
  public:
    virtual ~HttpContent() = default;
    /* The station's status object, as on the status topic. */
    virtual std::string status_json() = 0;
    /* The metrics, in the Prometheus text format. */
    virtual std::string metrics_text() = 0;
    /* {"first", "next", "frames": [...]}: the frames from number @since on. */
    virtual std::string frames_json(guint64 since) = 0;
    /* The WebSocket messages a client at @cursor has not had yet (a new
     * client's cursor is zero: the whole view), and moves the cursor. */
    virtual void catch_up(Cursor &cursor, std::vector<std::string> &messages) = 0;
};

/* [ADDR:]PORT: an IPv4 address, [IPv6] or "localhost" (the default), and a
 * port (0: any free one). */
bool parse_http_address(const std::string &text, std::string &address, guint16 &port,
                        GError **error);

struct HttpCounters {
    guint64 requests = 0;  /* answered */
    guint64 refused = 0;   /* connections beyond the bound, closed at once */
    guint64 timed_out = 0; /* connections cut for taking too long */
    guint64 withheld = 0;  /* updates held back from a client that was not reading */
    guint websocket_clients = 0;
    guint connections = 0;
};

class HttpServer
{
  public:
    static constexpr guint kMaxConnections = 64;
    static constexpr guint kMaxWebSockets = 16;
    /* A request must be answered, and its answer read, within this time. */
    static constexpr gint64 kRequestSeconds = 10;
    /* A WebSocket client that reads nothing for this long is closed. */
    static constexpr gint64 kStallSeconds = 20;
    /* Unsent bytes in a client's socket beyond which it gets no news. */
    static constexpr int kUnsentBytes = 64 * 1024;

    explicit HttpServer(HttpContent &content);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    /* Listens on [@address]:@port; the page's address is url() then. */
    bool listen(const std::string &address, guint16 port, GError **error);
    const std::string &url() const { return url_; }
    /* There is news: every WebSocket client that reads is brought up to date. */
    void update();
    const HttpCounters &counters() const { return counters_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    HttpContent &content_;
    std::string url_;
    HttpCounters counters_;
};

} // namespace vekbs
