/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The station's web server over libsoup 3, on the default main context. */
#include "http_server.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <kvrlog/kvrlog.h>
#include <libsoup/soup.h>

namespace vekbs
{

/* The page, from data/page.html (generated at build time). */
extern const char kPage[];
extern const gsize kPageLength;

namespace
{

/* Headers of every answer: nothing is cached, nothing is sniffed, and the
 * page loads nothing from elsewhere (the station runs offline). */
void common_headers(SoupServerMessage *msg)
{
    SoupMessageHeaders *h = soup_server_message_get_response_headers(msg);
    soup_message_headers_replace(h, "Cache-Control", "no-store");
    soup_message_headers_replace(h, "X-Content-Type-Options", "nosniff");
    soup_message_headers_replace(h, "Referrer-Policy", "no-referrer");
}

void answer(SoupServerMessage *msg, guint status, const char *type, const std::string &body)
{
    common_headers(msg);
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, body.data(), body.size());
}

void refuse(SoupServerMessage *msg, guint status, const std::string &why)
{
    answer(msg, status, "text/plain; charset=utf-8", why + "\n");
}

/* "since" of /api/frames: a whole number, plainly written. */
bool parse_since(const char *text, guint64 *since)
{
    return text != nullptr && *text != '\0' && strlen(text) <= 20 &&
           g_ascii_string_to_unsigned(text, 10, 0, G_MAXUINT64, since, nullptr);
}

} // namespace

bool parse_http_address(const std::string &text, std::string &address, guint16 &port,
                        GError **error)
{
    std::string host = "localhost", port_text = text;
    if (!text.empty() && text.front() == '[') {
        const gsize close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                        "'%s' is not [ADDRESS]:PORT", text.c_str());
            return false;
        }
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else if (const gsize colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                        "'%s': an IPv6 address goes in brackets, [ADDRESS]:PORT", text.c_str());
            return false;
        }
    }
    guint64 n = 0;
    if (port_text.empty() ||
        !g_ascii_string_to_unsigned(port_text.c_str(), 10, 0, 65535, &n, nullptr)) {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                    "'%s' is not a port from 0 to 65535", port_text.c_str());
        return false;
    }
    if (host != "localhost") {
        g_autoptr(GInetAddress) inet = g_inet_address_new_from_string(host.c_str());
        if (inet == nullptr) {
            g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                        "'%s' is not an IP address (or localhost)", host.c_str());
            return false;
        }
    }
    address = host;
    port = static_cast<guint16>(n);
    return true;
}

/* ---- the connections ---- */

struct HttpServer::Impl {
    struct Connection {
        GSocketConnection *stream = nullptr;
        GSocket *socket = nullptr;
        gint64 accepted_us = 0;
        guint16 remote_port = 0;
        bool websocket = false;
        bool cut = false; /* shut down by us; libsoup closes it */
    };
    struct Client {
        SoupWebsocketConnection *ws = nullptr;
        GSocket *socket = nullptr;
        gint64 blocked_since_us = 0; /* 0: it has kept up */
        Cursor cursor;
        gulong closed_handler = 0;
    };

    HttpServer &owner;
    SoupServer *server = nullptr;
    GSocketService *service = nullptr;
    guint sweep = 0;
    std::list<Connection> connections;
    std::list<Client> clients;

    explicit Impl(HttpServer &o) : owner(o) {}
    ~Impl();

    static gboolean on_incoming(GSocketService *, GSocketConnection *stream, GObject *,
                                gpointer data);
    static gboolean on_sweep(gpointer data);
    static void on_request_started(SoupServer *, SoupServerMessage *msg, gpointer data);
    static void on_got_headers(SoupServerMessage *msg, gpointer data);
    static void on_request(SoupServer *, SoupServerMessage *msg, const char *path,
                           GHashTable *query, gpointer data);
    static void on_websocket(SoupServer *, SoupServerMessage *msg, const char *path,
                             SoupWebsocketConnection *ws, gpointer data);
    static void on_ws_closed(SoupWebsocketConnection *ws, gpointer data);
    static void on_ws_message(SoupWebsocketConnection *, gint, GBytes *, gpointer) {}

    void cut(Connection &c);
    void drop_client(std::list<Client>::iterator it);
    void send(Client &client);
    std::vector<std::string> batch; /* reused for every client */
};

HttpServer::Impl::~Impl()
{
    if (sweep != 0)
        g_source_remove(sweep);
    if (service != nullptr) {
        g_socket_service_stop(service);
        g_socket_listener_close(G_SOCKET_LISTENER(service));
        g_object_unref(service);
    }
    for (Client &c : clients) {
        g_signal_handler_disconnect(c.ws, c.closed_handler);
        if (soup_websocket_connection_get_state(c.ws) == SOUP_WEBSOCKET_STATE_OPEN)
            soup_websocket_connection_close(c.ws, SOUP_WEBSOCKET_CLOSE_GOING_AWAY, nullptr);
        g_object_unref(c.ws);
    }
    for (Connection &c : connections) {
        g_socket_shutdown(c.socket, TRUE, TRUE, nullptr);
        g_object_unref(c.stream);
    }
    if (server != nullptr) {
        soup_server_disconnect(server);
        g_object_unref(server);
    }
}

/* Shutting the socket down makes libsoup see the end of the stream and
 * release the connection in its own time; the descriptor stays valid until
 * then. */
void HttpServer::Impl::cut(Connection &c)
{
    if (c.cut)
        return;
    c.cut = true;
    owner.counters_.timed_out++;
    g_socket_shutdown(c.socket, TRUE, TRUE, nullptr);
}

gboolean HttpServer::Impl::on_incoming(GSocketService *, GSocketConnection *stream, GObject *,
                                       gpointer data)
{
    auto *self = static_cast<Impl *>(data);
    HttpCounters &counters = self->owner.counters_;
    if (self->connections.size() >= kMaxConnections) {
        counters.refused++;
        g_io_stream_close(G_IO_STREAM(stream), nullptr, nullptr);
        return TRUE;
    }
    g_autoptr(GSocketAddress) local = g_socket_connection_get_local_address(stream, nullptr);
    g_autoptr(GSocketAddress) remote = g_socket_connection_get_remote_address(stream, nullptr);
    Connection c;
    c.stream = G_SOCKET_CONNECTION(g_object_ref(stream));
    c.socket = g_socket_connection_get_socket(stream);
    /* The socket says it can be written only while little waits unsent in
     * it, so that a client that does not read is seen soon (the kernel would
     * otherwise grow its buffer to megabytes first). */
    const int lowat = kUnsentBytes;
    setsockopt(g_socket_get_fd(c.socket), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof(lowat));
    c.accepted_us = g_get_monotonic_time();
    if (remote != nullptr && G_IS_INET_SOCKET_ADDRESS(remote))
        c.remote_port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(remote));
    self->connections.push_back(c);
    g_autoptr(GError) error = nullptr;
    if (!soup_server_accept_iostream(self->server, G_IO_STREAM(stream), local, remote, &error)) {
        KVRLOG_WARN("http: a connection could not be taken: %s", error->message);
        self->cut(self->connections.back());
    }
    counters.connections = static_cast<guint>(self->connections.size());
    return TRUE;
}

/* Every second: forget closed connections, cut those that take too long,
 * close WebSocket clients that have stalled. */
gboolean HttpServer::Impl::on_sweep(gpointer data)
{
    auto *self = static_cast<Impl *>(data);
    const gint64 now = g_get_monotonic_time();
    for (auto it = self->connections.begin(); it != self->connections.end();) {
        if (g_socket_is_closed(it->socket) || g_io_stream_is_closed(G_IO_STREAM(it->stream))) {
            g_object_unref(it->stream);
            it = self->connections.erase(it);
            continue;
        }
        const gint64 age = now - it->accepted_us;
        if (!it->websocket && age > kRequestSeconds * G_USEC_PER_SEC)
            self->cut(*it);
        /* A connection libsoup never lets go of after the cut. */
        if (it->cut && age > 3 * kRequestSeconds * G_USEC_PER_SEC) {
            g_io_stream_close(G_IO_STREAM(it->stream), nullptr, nullptr);
            g_object_unref(it->stream);
            it = self->connections.erase(it);
            continue;
        }
        ++it;
    }
    for (Client &c : self->clients)
        if (c.blocked_since_us != 0 && now - c.blocked_since_us > kStallSeconds * G_USEC_PER_SEC) {
            KVRLOG_INFO("http: a WebSocket client read nothing for %d s: closing it",
                        static_cast<int>(kStallSeconds));
            for (Connection &conn : self->connections)
                if (conn.socket == c.socket)
                    self->cut(conn);
            c.blocked_since_us = 0;
        }
    self->owner.counters_.connections = static_cast<guint>(self->connections.size());
    return G_SOURCE_CONTINUE;
}

/* ---- requests ---- */

void HttpServer::Impl::on_request_started(SoupServer *, SoupServerMessage *msg, gpointer data)
{
    /* Bodies are never kept: the station takes no input. */
    soup_message_body_set_accumulate(soup_server_message_get_request_body(msg), FALSE);
    g_signal_connect(msg, "got-headers", G_CALLBACK(on_got_headers), data);
}

void HttpServer::Impl::on_got_headers(SoupServerMessage *msg, gpointer)
{
    const char *method = soup_server_message_get_method(msg);
    if (method != SOUP_METHOD_GET && method != SOUP_METHOD_HEAD) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow",
                                     "GET, HEAD");
        refuse(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "the station's pages are read-only");
    }
}

void HttpServer::Impl::on_request(SoupServer *, SoupServerMessage *msg, const char *path,
                                  GHashTable *query, gpointer data)
{
    auto *self = static_cast<Impl *>(data);
    HttpContent &content = self->owner.content_;
    self->owner.counters_.requests++;
    if (soup_server_message_get_status(msg) != 0)
        return;
    if (g_str_equal(path, "/")) {
        common_headers(msg);
        soup_message_headers_replace(
            soup_server_message_get_response_headers(msg), "Content-Security-Policy",
            "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
            "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'");
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
        soup_server_message_set_response(msg, "text/html; charset=utf-8", SOUP_MEMORY_STATIC, kPage,
                                         kPageLength);
    } else if (g_str_equal(path, "/metrics")) {
        answer(msg, SOUP_STATUS_OK, "text/plain; version=0.0.4; charset=utf-8",
               content.metrics_text());
    } else if (g_str_equal(path, "/api/status")) {
        answer(msg, SOUP_STATUS_OK, "application/json", content.status_json() + "\n");
    } else if (g_str_equal(path, "/api/frames")) {
        guint64 since = 0;
        const char *text = query != nullptr
                               ? static_cast<const char *>(g_hash_table_lookup(query, "since"))
                               : nullptr;
        if (text != nullptr && !parse_since(text, &since))
            refuse(msg, SOUP_STATUS_BAD_REQUEST, "since= takes a frame number (0 or more)");
        else
            answer(msg, SOUP_STATUS_OK, "application/json", content.frames_json(since) + "\n");
    } else {
        refuse(msg, SOUP_STATUS_NOT_FOUND,
               "not here: the station serves /, /metrics, /api/status, /api/frames?since=N");
    }
}

/* ---- the WebSocket ---- */

void HttpServer::Impl::on_websocket(SoupServer *, SoupServerMessage *msg, const char *,
                                    SoupWebsocketConnection *ws, gpointer data)
{
    auto *self = static_cast<Impl *>(data);
    /* A page of another site may not read the station through a visitor's
     * browser: the origin, when sent, must be this host. */
    SoupMessageHeaders *request = soup_server_message_get_request_headers(msg);
    const char *origin = soup_message_headers_get_one(request, "Origin");
    const char *host = soup_message_headers_get_one(request, "Host");
    if (origin != nullptr) {
        const char *rest = g_str_has_prefix(origin, "http://")    ? origin + 7
                           : g_str_has_prefix(origin, "https://") ? origin + 8
                                                                  : nullptr;
        if (rest == nullptr || host == nullptr || !g_str_equal(rest, host)) {
            soup_websocket_connection_close(ws, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION,
                                            "another site's page");
            return;
        }
    }
    if (self->clients.size() >= kMaxWebSockets) {
        soup_websocket_connection_close(ws, static_cast<gushort>(1013) /* try again later */,
                                        "too many");
        return;
    }
    /* The connection it came on: the same remote port. */
    GSocketAddress *remote = soup_server_message_get_remote_address(msg);
    const guint16 port = remote != nullptr && G_IS_INET_SOCKET_ADDRESS(remote)
                             ? g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(remote))
                             : 0;
    Connection *conn = nullptr;
    for (Connection &c : self->connections)
        if (!c.cut && c.remote_port == port)
            conn = &c;
    if (conn == nullptr) {
        soup_websocket_connection_close(ws, SOUP_WEBSOCKET_CLOSE_SERVER_ERROR, nullptr);
        return;
    }
    conn->websocket = true;
    Client client;
    client.ws = SOUP_WEBSOCKET_CONNECTION(g_object_ref(ws));
    client.socket = conn->socket;
    client.closed_handler = g_signal_connect(ws, "closed", G_CALLBACK(on_ws_closed), self);
    g_signal_connect(ws, "message", G_CALLBACK(on_ws_message), self);
    self->clients.push_back(client);
    self->owner.counters_.websocket_clients = static_cast<guint>(self->clients.size());
    self->send(self->clients.back());
}

void HttpServer::Impl::on_ws_closed(SoupWebsocketConnection *ws, gpointer data)
{
    auto *self = static_cast<Impl *>(data);
    for (auto it = self->clients.begin(); it != self->clients.end(); ++it)
        if (it->ws == ws) {
            self->drop_client(it);
            return;
        }
}

void HttpServer::Impl::drop_client(std::list<Client>::iterator it)
{
    g_signal_handler_disconnect(it->ws, it->closed_handler);
    g_object_unref(it->ws);
    clients.erase(it);
    owner.counters_.websocket_clients = static_cast<guint>(clients.size());
}

/* News goes out only while the socket has little unsent: what libsoup holds
 * for a client is then at most one catch-up. A client held back gets all it
 * missed (as far as the view keeps it) once it reads again. */
void HttpServer::Impl::send(Client &client)
{
    if (soup_websocket_connection_get_state(client.ws) != SOUP_WEBSOCKET_STATE_OPEN)
        return;
    if (!g_socket_condition_check(client.socket, G_IO_OUT)) {
        if (client.blocked_since_us == 0)
            client.blocked_since_us = g_get_monotonic_time();
        owner.counters_.withheld++;
        return;
    }
    client.blocked_since_us = 0;
    batch.clear();
    owner.content_.catch_up(client.cursor, batch);
    for (const std::string &m : batch)
        soup_websocket_connection_send_text(client.ws, m.c_str());
}

/* ---- the server ---- */

HttpServer::HttpServer(HttpContent &content)
    : impl_(std::make_unique<Impl>(*this)), content_(content)
{
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const std::string &address, guint16 port, GError **error)
{
    Impl &impl = *impl_;
    impl.server = soup_server_new("server-header", "vekbs", nullptr);
    soup_server_add_handler(impl.server, nullptr, Impl::on_request, &impl, nullptr);
    soup_server_add_websocket_handler(impl.server, "/ws", nullptr, nullptr, Impl::on_websocket,
                                      &impl, nullptr);
    g_signal_connect(impl.server, "request-started", G_CALLBACK(Impl::on_request_started), &impl);

    impl.service = g_socket_service_new();
    const std::string host = address == "localhost" ? "127.0.0.1" : address;
    g_autoptr(GInetAddress) inet = g_inet_address_new_from_string(host.c_str());
    g_autoptr(GSocketAddress) where = g_inet_socket_address_new(inet, port);
    g_autoptr(GSocketAddress) bound = nullptr;
    if (!g_socket_listener_add_address(G_SOCKET_LISTENER(impl.service), where, G_SOCKET_TYPE_STREAM,
                                       G_SOCKET_PROTOCOL_TCP, nullptr, &bound, error)) {
        g_prefix_error(error, "cannot listen on %s:%u: ", address.c_str(), port);
        return false;
    }
    g_signal_connect(impl.service, "incoming", G_CALLBACK(Impl::on_incoming), &impl);
    g_socket_service_start(impl.service);
    impl.sweep = g_timeout_add_seconds(1, Impl::on_sweep, &impl);
    const guint16 actual = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
    const bool v6 = g_inet_address_get_family(inet) == G_SOCKET_FAMILY_IPV6;
    url_ = std::string("http://") + (v6 ? "[" : "") + host + (v6 ? "]" : "") + ":" +
           std::to_string(actual) + "/";
    return true;
}

void HttpServer::update()
{
    for (Impl::Client &c : impl_->clients)
        impl_->send(c);
}

} // namespace vekbs
