/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Downlink requests: JSON in, synthesis, the card's downlink channel, a
 * JSON result out. */
#include "downlink.h"

#include <cstring>

#include <gio/gio.h>
#include <json-glib/json-glib.h>
#include <kvrlog/kvrlog.h>

namespace vekbs
{
namespace
{

constexpr gsize kFrameBytes = 28;

bool read_uint(JsonObject *o, const gchar *name, guint64 max, guint64 *value, GError **error)
{
    JsonNode *node = json_object_get_member(o, name);
    if (node == nullptr) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "\"%s\" is missing", name);
        return false;
    }
    if (JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_INT64) {
        const gint64 v = json_node_get_int(node);
        if (v >= 0 && static_cast<guint64>(v) <= max) {
            *value = static_cast<guint64>(v);
            return true;
        }
    } else if (JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_STRING) {
        /* Device ids are often written in hexadecimal. */
        const gchar *text = json_node_get_string(node);
        const bool hex = g_str_has_prefix(text, "0x") || g_str_has_prefix(text, "0X");
        if (g_ascii_string_to_unsigned(hex ? text + 2 : text, hex ? 16 : 10, 0, max, value,
                                       nullptr))
            return true;
    }
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
                "\"%s\" must be a whole number from 0 to %" G_GUINT64_FORMAT, name, max);
    return false;
}

bool read_payload(JsonObject *o, std::vector<guint8> &payload, GError **error)
{
    JsonNode *node = json_object_get_member(o, "payload");
    const gchar *text = node != nullptr && JSON_NODE_HOLDS_VALUE(node) &&
                                json_node_get_value_type(node) == G_TYPE_STRING
                            ? json_node_get_string(node)
                            : nullptr;
    const gsize n = text != nullptr ? strlen(text) : 0;
    if (text == nullptr || n % 2 != 0 || n / 2 > SDR_SYNTH_WRAPPER_MAX_PAYLOAD) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
                    "\"payload\" must be a string of 0 to %d bytes in hexadecimal",
                    SDR_SYNTH_WRAPPER_MAX_PAYLOAD);
        return false;
    }
    payload.clear();
    for (gsize i = 0; i < n; i += 2) {
        const gint hi = g_ascii_xdigit_value(text[i]), lo = g_ascii_xdigit_value(text[i + 1]);
        if (hi < 0 || lo < 0) {
            g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
                        "\"payload\" is not hexadecimal");
            return false;
        }
        payload.push_back(static_cast<guint8>(hi * 16 + lo));
    }
    return true;
}

std::string node_text(JsonNode *node)
{
    g_autoptr(JsonGenerator) generator = json_generator_new();
    json_generator_set_root(generator, node);
    g_autofree gchar *text = json_generator_to_data(generator, nullptr);
    return text;
}

} // namespace

bool parse_downlink_request(const std::string &text, DownlinkRequest &request, GError **error)
{
    g_autoptr(JsonParser) parser = json_parser_new();
    GError *parse_error = nullptr;
    if (!json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()),
                                    &parse_error)) {
        g_propagate_prefixed_error(error, parse_error, "not JSON: ");
        return false;
    }
    JsonNode *root = json_parser_get_root(parser);
    if (root == nullptr || !JSON_NODE_HOLDS_OBJECT(root)) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "not a JSON object");
        return false;
    }
    JsonObject *o = json_node_get_object(root);
    if (json_object_has_member(o, "id"))
        request.id = node_text(json_object_get_member(o, "id"));
    guint64 device = 0, seq = 0, freq = 0;
    if (!read_uint(o, "device_id", G_MAXUINT32, &device, error) ||
        !read_uint(o, "seq", 4095, &seq, error) || !read_payload(o, request.payload, error) ||
        !read_uint(o, "freq", G_MAXUINT32, &freq, error))
        return false;
    if (freq == 0) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "\"freq\" must not be 0");
        return false;
    }
    request.device_id = static_cast<guint32>(device);
    request.seq = static_cast<guint16>(seq);
    request.freq = static_cast<guint32>(freq);
    return true;
}

Downlink::Downlink(Publish publish) : publish_(std::move(publish)), synth_(sdr_synth_wrapper_new())
{
}

Downlink::~Downlink()
{
    for (Job *job : jobs_) {
        g_clear_object(&job->device);
        delete job;
    }
    sdr_synth_wrapper_unref(synth_);
}

void Downlink::publish(const DownlinkRequest &request, const char *status, const gchar *error,
                       const std::array<guint8, 28> *frame)
{
    g_autoptr(JsonBuilder) b = json_builder_new();
    json_builder_begin_object(b);
    if (!request.id.empty()) {
        g_autoptr(JsonParser) parser = json_parser_new();
        if (json_parser_load_from_data(parser, request.id.c_str(), -1, nullptr)) {
            json_builder_set_member_name(b, "id");
            json_builder_add_value(b, json_node_copy(json_parser_get_root(parser)));
        }
    }
    json_builder_set_member_name(b, "status");
    json_builder_add_string_value(b, status);
    if (error != nullptr) {
        json_builder_set_member_name(b, "error");
        json_builder_add_string_value(b, error);
    }
    if (frame != nullptr) {
        json_builder_set_member_name(b, "device_id");
        json_builder_add_int_value(b, request.device_id);
        json_builder_set_member_name(b, "seq");
        json_builder_add_int_value(b, request.seq);
        json_builder_set_member_name(b, "freq");
        json_builder_add_int_value(b, request.freq);
        json_builder_set_member_name(b, "frame");
        json_builder_add_string_value(b, hex_string(frame->data(), frame->size()).c_str());
    }
    json_builder_end_object(b);
    publish_(to_json(b));
}

void Downlink::request(const std::string &text, gint64 arrived_us, VekDevice *device)
{
    requests++;
    auto job = std::make_unique<Job>();
    job->arrived_us = arrived_us;
    g_autoptr(GError) error = nullptr;
    if (!parse_downlink_request(text, job->request, &error)) {
        refused++;
        KVRLOG_WARN("downlink request refused: %s", error->message);
        publish(job->request, "refused", error->message, nullptr);
        return;
    }
    /* The synthesis hands the frame over synchronously. */
    bool built = false;
    auto capture = [](SdrSynthWrapper *, guint8 *frame, gsize length, guint32, gpointer data,
                      GError **) -> gboolean {
        auto *j = static_cast<Job *>(data);
        std::memcpy(j->frame.data(), frame, MIN(length, kFrameBytes));
        g_free(frame);
        return TRUE;
    };
    sdr_synth_wrapper_set_tx_callback(synth_, capture, job.get(), nullptr, nullptr);
    sdr_synth_wrapper_synthesize(synth_, job->request.device_id, job->request.seq,
                                 job->request.payload.data(),
                                 static_cast<guint8>(job->request.payload.size()),
                                 job->request.freq);
    sdr_synth_wrapper_set_tx_callback(synth_, nullptr, nullptr, nullptr, nullptr);
    built = job->frame != std::array<guint8, 28>{};
    if (!built || device == nullptr) {
        failed++;
        publish(job->request, "failed", built ? "no card is streaming" : "synthesis failed",
                nullptr);
        return;
    }
    job->device = XVEK_DEVICE(g_object_ref(device));
    jobs_.push_back(job.release());
    start_next();
}

void Downlink::start_next()
{
    if (sending_ || jobs_.empty())
        return;
    sending_ = true;
    Job *job = jobs_.front();
    GTask *task = g_task_new(nullptr, nullptr, on_sent, this);
    g_task_set_task_data(task, job, nullptr);
    g_task_run_in_thread(task, send_in_thread);
    g_object_unref(task);
}

void Downlink::send_in_thread(GTask *task, gpointer, gpointer data, GCancellable *)
{
    auto *job = static_cast<Job *>(data);
    GError *error = nullptr;
    /* The card transmits on its TX carrier: set it to the request's. */
    const bool ok =
        xvek_ctrl_cf_set(job->device, job->request.freq, XVEK_CTL_MODE_TX, &error) &&
        xvek_dl_send(job->device, job->frame.data(), job->frame.size(), &error);
    job->sent_us.store(g_get_monotonic_time(), std::memory_order_release);
    if (ok)
        g_task_return_boolean(task, TRUE);
    else
        g_task_return_error(task, error);
}

void Downlink::on_sent(GObject *, GAsyncResult *result, gpointer data)
{
    auto *self = static_cast<Downlink *>(data);
    std::unique_ptr<Job> job(self->jobs_.front());
    self->jobs_.pop_front();
    const gint64 sent_us = job->sent_us.load(std::memory_order_acquire);
    self->sending_ = false;
    g_autoptr(GError) error = nullptr;
    const bool ok = g_task_propagate_boolean(G_TASK(result), &error);
    /* Dropped here, on the main loop: it may be the card's last reference. */
    g_clear_object(&job->device);
    if (ok) {
        self->sent++;
        self->latency.add(sent_us - job->arrived_us);
        self->publish(job->request, "sent", nullptr, &job->frame);
    } else {
        self->failed++;
        KVRLOG_WARN("downlink to 0x%X failed: %s", job->request.device_id, error->message);
        self->publish(job->request, "failed", error->message, &job->frame);
    }
    self->start_next();
}

} // namespace vekbs
