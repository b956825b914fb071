/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Downlink requests: JSON in, the policy, synthesis, the card's downlink
 * channel, a JSON result out. */
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
constexpr guint kExpiryMs = 1000;
constexpr const gchar *kStopping = "station stopping";
/* The last step of a send: the card has had the whole frame by then. */
constexpr const gchar *kInactiveFailure = "Failed to set DL status inactive";

} // namespace

Downlink::Downlink(const DownlinkConfig &config, Publish publish)
    : config_(config), publish_(std::move(publish)), synth_(sdr_synth_wrapper_new()),
      policy_(config.policy)
{
}

Downlink::~Downlink()
{
    if (expiry_ != 0)
        g_source_remove(expiry_);
    /* Still with its thread (the stop waited in vain): the thread owns it now. */
    (void)in_flight_.release();
    sdr_synth_wrapper_unref(synth_);
}

void Downlink::set_card_frequency(guint32 hz)
{
    if (!policy_.set_card_frequency(hz))
        return;
    std::string bands;
    for (const SubBand &b : policy_.sub_bands())
        bands += (bands.empty() ? "" : ", ") + sub_band_text(b);
    if (bands.empty())
        KVRLOG_WARN("downlink: the card's band (RX %u Hz) has no default sub-bands: nothing "
                    "will be transmitted until [downlink] sub_bands lists them",
                    hz);
    else
        KVRLOG_INFO("downlink: sub-bands for RX %u Hz (Hz:duty %%): %s", hz, bands.c_str());
}

void Downlink::publish(const DownlinkRequest &request, const char *status, const gchar *error,
                       const DownlinkRule *rule, const std::array<guint8, 28> *frame,
                       const gchar *warning)
{
    g_autoptr(JsonBuilder) b = json_builder_new();
    json_builder_begin_object(b);
    if (!request.id.empty()) {
        /* Read within its bound when the request was: parsing it back is cheap. */
        g_autoptr(JsonParser) parser = json_parser_new();
        if (json_parser_load_from_data(parser, request.id.c_str(),
                                       static_cast<gssize>(request.id.size()), nullptr)) {
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
    if (rule != nullptr) {
        json_builder_set_member_name(b, "rule");
        json_builder_add_string_value(b, downlink_rule_name(*rule));
    }
    if (warning != nullptr) {
        json_builder_set_member_name(b, "warning");
        json_builder_add_string_value(b, warning);
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

void Downlink::refuse(const DownlinkRequest &request, const gchar *why, const DownlinkRule *rule)
{
    refused++;
    if (rule != nullptr)
        refused_by_rule[static_cast<guint>(*rule)]++;
    /* Anyone who may publish can provoke this line: said at most every 10 s. */
    guint64 unsaid = 0;
    if (refusal_log_.allow(g_get_monotonic_time(), &unsaid)) {
        if (unsaid > 0)
            KVRLOG_WARN("downlink request refused: %s (and %" G_GUINT64_FORMAT
                        " more since the last such line)",
                        why, unsaid);
        else
            KVRLOG_WARN("downlink request refused: %s", why);
    }
    publish(request, "refused", why, rule, nullptr, nullptr);
}

void Downlink::fail(const DownlinkRequest &request, const gchar *why)
{
    failed++;
    publish(request, "failed", why, nullptr, nullptr, nullptr);
}

bool Downlink::synthesize(Job &job)
{
    /* The synthesis hands the frame over synchronously. */
    auto capture = [](SdrSynthWrapper *, guint8 *frame, gsize length, guint32, gpointer data,
                      GError **) -> gboolean {
        auto *j = static_cast<Job *>(data);
        std::memcpy(j->frame.data(), frame, MIN(length, kFrameBytes));
        g_free(frame);
        return TRUE;
    };
    sdr_synth_wrapper_set_tx_callback(synth_, capture, &job, nullptr, nullptr);
    sdr_synth_wrapper_synthesize(synth_, job.request.device_id, job.request.seq,
                                 job.request.payload.data(),
                                 static_cast<guint8>(job.request.payload.size()), job.request.freq);
    sdr_synth_wrapper_set_tx_callback(synth_, nullptr, nullptr, nullptr, nullptr);
    return job.frame != std::array<guint8, 28>{};
}

void Downlink::request(std::string_view text, gint64 arrived_us, VekDevice *device, bool retained)
{
    requests++;
    auto job = std::make_unique<Job>();
    job->arrived_us = arrived_us;
    if (stopping_) {
        /* Read for its id only; nothing new goes to the card. */
        parse_downlink_request(text, config_.limits, job->request, nullptr);
        failed_stopping++;
        fail(job->request, kStopping);
        return;
    }
    g_autoptr(GError) error = nullptr;
    const bool parsed = parse_downlink_request(text, config_.limits, job->request, &error);
    if (retained) {
        /* Kept by the broker for whoever subscribes next: its time is unknown,
         * and a bad one would be met at every start. */
        const DownlinkRule rule = DownlinkRule::Retained;
        refuse(job->request, "a retained request is never sent (publish requests without retain)",
               &rule);
        return;
    }
    if (!parsed) {
        const DownlinkRule rule = DownlinkRule::Size;
        refuse(job->request, error->message,
               g_error_matches(error, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE) ? &rule : nullptr);
        return;
    }
    /* Before the policy: without a card, the band of its default sub-bands
     * may not be known yet. */
    if (device == nullptr) {
        fail(job->request, "no card is streaming");
        return;
    }
    std::string why;
    if (!policy_.permits(job->request.freq, &why)) {
        const DownlinkRule rule = DownlinkRule::Frequency;
        refuse(job->request, why.c_str(), &rule);
        return;
    }
    if (queue_.size() >= config_.queue) {
        if (!full_said_)
            KVRLOG_WARN("downlink: %zu requests wait for the card: refusing new ones until "
                        "one goes",
                        queue_.size());
        full_said_ = true;
        refused_while_full_++;
        const DownlinkRule rule = DownlinkRule::Queue;
        g_autofree gchar *full =
            g_strdup_printf("%zu requests wait for the card already", queue_.size());
        refuse(job->request, full, &rule);
        return;
    }
    if (!synthesize(*job)) {
        fail(job->request, "synthesis failed");
        return;
    }
    job->device = XVEK_DEVICE(g_object_ref(device));
    queue_.push_back(std::move(job));
    if (expiry_ == 0)
        expiry_ = g_timeout_add(kExpiryMs, on_expiry, this);
    start_next();
}

/* Requests that waited too long are answered while they wait, not only when
 * their turn comes. */
void Downlink::expire()
{
    const gint64 now = g_get_monotonic_time();
    std::string why;
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (policy_.expired((*it)->arrived_us, now, &why)) {
            const DownlinkRule rule = DownlinkRule::MaxAge;
            refuse((*it)->request, why.c_str(), &rule);
            it = queue_.erase(it);
        } else {
            ++it;
        }
    }
    note_room();
}

/* The queue was full and is not any more: said once per time it filled. */
void Downlink::note_room()
{
    if (!full_said_ || queue_.size() >= config_.queue)
        return;
    KVRLOG_WARN("downlink: the queue has room again (%" G_GUINT64_FORMAT
                " requests refused while it was full)",
                refused_while_full_);
    full_said_ = false;
    refused_while_full_ = 0;
}

gboolean Downlink::on_expiry(gpointer data)
{
    auto *self = static_cast<Downlink *>(data);
    self->expire();
    if (!self->queue_.empty())
        return G_SOURCE_CONTINUE;
    self->expiry_ = 0;
    return G_SOURCE_REMOVE;
}

void Downlink::start_next()
{
    while (in_flight_ == nullptr && !queue_.empty() && !stopping_) {
        std::unique_ptr<Job> job = std::move(queue_.front());
        queue_.pop_front();
        note_room();
        DownlinkRule rule = DownlinkRule::MaxAge;
        std::string why;
        if (!policy_.admit(job->request.device_id, job->request.freq, job->arrived_us,
                           g_get_monotonic_time(), &rule, &why)) {
            refuse(job->request, why.c_str(), &rule);
            continue;
        }
        in_flight_ = std::move(job);
        run_handed_over(in_flight_->handover, in_flight_.get(), send_in_thread, on_sent, this);
    }
}

void Downlink::send_in_thread(GTask *task, gpointer, gpointer data, GCancellable *)
{
    auto *job = static_cast<Job *>(data);
    job->handover.take();
    GError *error = nullptr;
    /* The card transmits on its TX carrier: set it to the request's. */
    bool ok = xvek_ctrl_cf_set(job->device, job->request.freq, XVEK_CTL_MODE_TX, &error) &&
              xvek_dl_send(job->device, job->frame.data(), job->frame.size(), &error);
    if (!ok && g_str_has_prefix(error->message, kInactiveFailure)) {
        /* The card had the whole frame: it went on air. Reported as sent, so
         * that a retry does not transmit it twice. */
        job->warning = error->message;
        g_clear_error(&error);
        ok = true;
    }
    job->sent_us = g_get_monotonic_time();
    job->handover.give();
    if (ok)
        g_task_return_boolean(task, TRUE);
    else
        g_task_return_error(task, error);
}

void Downlink::on_sent(GObject *, GAsyncResult *result, gpointer data)
{
    auto *self = static_cast<Downlink *>(data);
    /* Dropped here, on the main loop: it may hold the card's last reference. */
    std::unique_ptr<Job> job = std::move(self->in_flight_);
    job->handover.take();
    const gint64 sent_us = job->sent_us;
    g_autoptr(GError) error = nullptr;
    if (g_task_propagate_boolean(G_TASK(result), &error)) {
        self->sent++;
        self->latency.add(sent_us - job->arrived_us);
        const gchar *warning = job->warning.empty() ? nullptr : job->warning.c_str();
        if (warning != nullptr) {
            self->sent_with_warning++;
            KVRLOG_WARN("downlink to 0x%X: the card had the frame, then: %s",
                        job->request.device_id, warning);
        }
        self->publish(job->request, "sent", nullptr, nullptr, &job->frame, warning);
    } else {
        self->failed++;
        KVRLOG_WARN("downlink to 0x%X failed: %s", job->request.device_id, error->message);
        self->publish(job->request, "failed", error->message, nullptr, &job->frame, nullptr);
    }
    self->start_next();
}

void Downlink::stop()
{
    if (stopping_)
        return;
    stopping_ = true;
    if (expiry_ != 0) {
        g_source_remove(expiry_);
        expiry_ = 0;
    }
    const gsize waiting = queue_.size();
    for (const std::unique_ptr<Job> &job : queue_) {
        failed_stopping++;
        fail(job->request, kStopping);
    }
    queue_.clear();
    if (waiting > 0)
        KVRLOG_WARN("downlink: %zu waiting requests answered \"failed\" (%s)", waiting, kStopping);
}

} // namespace vekbs
