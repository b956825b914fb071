/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The demodulator run and the matching of its reports against the truth. */
#include "vekgen-decode.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vekgen
{

void Receiver::started(gsize packet_size)
{
    packet_size_ = packet_size;
    packet_.resize(2 * packet_size_);
    reports_.reserve(64);
}

void Receiver::add_report(const vdem_proto_frame_t &frame, guint rate, guint32 combined) noexcept
{
    try {
        reports_.push_back(Report{frame, counter_, rate, combined});
    } catch (...) {
        lost_reports_++;
    }
}

void Receiver::post(const gint16 *iq)
{
    memcpy(packet_.data(), iq, packet_.size() * sizeof(gint16));
    /* The counter after this packet, as the callbacks see it. */
    counter_ += packet_size_;
    deliver();
}

void Receiver::run(VekgenSignal *signal, guint64 n_samples)
{
    while (n_samples > 0) {
        const gsize n = static_cast<gsize>(MIN(n_samples, guint64{packet_size_}));
        vekgen_signal_fill(signal, packet_.data(), n);
        std::fill(packet_.begin() + 2 * n, packet_.end(), 0);
        counter_ += packet_size_;
        deliver();
        n_samples -= n;
    }
}

bool Receiver::run(VekgenRecording *recording, GError **error)
{
    for (;;) {
        const gssize n = vekgen_recording_read(recording, packet_.data(), packet_size_, error);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        std::fill(packet_.begin() + 2 * n, packet_.end(), 0);
        counter_ += packet_size_;
        deliver();
    }
}

Decoder::Decoder(guint rate, float int_gain) : Receiver(rate, int_gain)
{
    vdem_interface_config_t config{};
    config.bitrate = rate == 600 ? VDEM_INTERFACE_600BPS : VDEM_INTERFACE_100BPS;
    config.int_gain = int_gain;
    if (rate != 100 && rate != 600) {
        error_ = "bit rate must be 100 or 600";
        return;
    }
    char msg[VDEM_INTERFACE_ERROR_MSG_SIZE + 8] = {};
    const int32_t rc = VDEM_INTERFACE_init(&config, msg);
    if (rc != VDEM_INTERFACE_OK) {
        error_ = msg[0] != '\0' ? g_strchomp(msg) : "demodulator init failed";
        return;
    }
    started(static_cast<gsize>(VDEM_INTERFACE_get_iq_packet_size()));
    VDEM_INTERFACE_cb_register_fdata_exit_fct(on_frame, this);
    VDEM_INTERFACE_cb_register_rfsat_exit_fct(on_saturation, this);
}

Decoder::~Decoder()
{
    if (error_.empty())
        VDEM_INTERFACE_terminate();
}

void Decoder::on_frame(vdem_frame_cont_t *cont, const void *self)
{
    auto *d = static_cast<Decoder *>(const_cast<void *>(self));
    for (guint i = 0; i < cont->entries && i < 1; i++)
        d->add_report(cont->pframe[i], d->rate());
}

void Decoder::on_saturation(vdem_rfsat_t *, const void *self)
{
    static_cast<Decoder *>(const_cast<void *>(self))->add_saturation();
}

void Decoder::deliver()
{
    VDEM_INTERFACE_post_iq_packet(packet_.data(), static_cast<int>(packet_size()));
}

ChannelDecoder::ChannelDecoder(guint rate, float int_gain, gsize packet_size, bool combining)
    : Receiver(rate, int_gain)
{
    vchan_config_t config{};
    config.int_gain = int_gain;
    config.rates = rate == 100   ? VCHAN_RATE_100BPS
                   : rate == 600 ? VCHAN_RATE_600BPS
                   : rate == 0   ? VCHAN_RATE_100BPS | VCHAN_RATE_600BPS
                                 : 0u;
    const int32_t rc = vchan_new(&config, &receiver_);
    if (rc != VCHAN_OK) {
        error_ = rc == VCHAN_NEGATIVE_INT_GAIN     ? "the gain must not be negative"
                 : rc == VCHAN_UNSUPPORTED_BITRATE ? "bit rate must be 100 or 600"
                                                   : "the receiver could not be set up";
        return;
    }
    started(packet_size != 0 ? packet_size : gsize(vchan_get_iq_packet_size(receiver_)));
    vchan_set_combining(receiver_, combining ? 1 : 0);
    vchan_cb_register_fdata_exit_fct(receiver_, on_frame, this);
    vchan_cb_register_rfsat_exit_fct(receiver_, on_saturation, this);
}

ChannelDecoder::~ChannelDecoder()
{
    vchan_free(receiver_);
}

void ChannelDecoder::on_frame(vdem_frame_cont_t *cont, const void *self)
{
    auto *d = static_cast<ChannelDecoder *>(const_cast<void *>(self));
    d->add_report(cont->pframe[0], vchan_get_frame_bit_rate(d->receiver_),
                  vchan_get_frame_combined(d->receiver_));
}

void ChannelDecoder::on_saturation(vdem_rfsat_t *, const void *self)
{
    static_cast<ChannelDecoder *>(const_cast<void *>(self))->add_saturation();
}

void ChannelDecoder::deliver()
{
    vchan_post_iq_packet(receiver_, packet_.data(), static_cast<int>(packet_size()));
}

static bool same_frame(const vdem_proto_frame_t &r, const VekgenFrame &t)
{
    guint8 msg[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_message(&t, msg);
    return r.length == t.covered_len && r.f.v1.seq == t.repetition &&
           (r.f.v1.oob != 0) == (t.oob != FALSE) && memcmp(r.frame, msg, t.covered_len + 2u) == 0;
}

Match match(const Receiver &receiver, const VekgenFrame *truth, guint n_truth, guint64 origin)
{
    const guint rate = receiver.rate();
    const auto &reports = receiver.reports();
    Match m;
    for (guint i = 0; i < n_truth; i++)
        if (rate == 0 || truth[i].bit_rate == rate)
            m.frames.push_back(Outcome{truth[i]});
    for (int r = 0; r < static_cast<int>(reports.size()); r++) {
        const guint64 at = origin + reports[r].counter;
        bool matched = false;
        for (auto &o : m.frames) {
            if (o.report >= 0 || o.truth.start_sample >= at ||
                o.truth.bit_rate != reports[r].rate || !same_frame(reports[r].frame, o.truth))
                continue;
            o.report = r;
            /* A combined report measures the strongest repetition used: compared with
             * the repetition of its message nearest in frequency. */
            const VekgenFrame *measured = &o.truth;
            auto error = [&](const VekgenFrame &t) {
                return std::remainder(reports[r].frame.freq - t.offset_hz,
                                      double(VEKGEN_SAMPLE_RATE));
            };
            for (guint i = 0; i < n_truth && reports[r].combined != 0; i++)
                if (truth[i].message == o.truth.message && o.truth.message != 0 &&
                    std::fabs(error(truth[i])) < std::fabs(error(*measured)))
                    measured = &truth[i];
            o.freq_error = error(*measured);
            o.rssi_error = reports[r].frame.rssi - (measured->power_db - receiver.int_gain());
            matched = true;
            break;
        }
        if (!matched)
            m.false_reports.push_back(r);
    }
    for (const auto &o : m.frames)
        (o.report >= 0 ? m.found : m.missed)++;
    return m;
}

MessageMatch match_messages(const Receiver &receiver, const VekgenFrame *truth, guint n_truth,
                            guint64 origin)
{
    MessageMatch m;
    for (guint i = 0; i < n_truth; i++) {
        const VekgenFrame &t = truth[i];
        if (t.message == 0 || (receiver.rate() != 0 && t.bit_rate != receiver.rate()))
            continue;
        auto it = std::find_if(m.messages.begin(), m.messages.end(),
                               [&](const MessageOutcome &o) { return o.number == t.message; });
        if (it == m.messages.end()) {
            m.messages.push_back(MessageOutcome{t.message, t.bit_rate, t});
            it = m.messages.end() - 1;
        }
        it->sent++;
        if (t.start_sample < it->first.start_sample)
            it->first = t;
    }
    std::sort(m.messages.begin(), m.messages.end(),
              [](const MessageOutcome &a, const MessageOutcome &b) { return a.number < b.number; });
    for (auto &o : m.messages) {
        guint8 msg[VEKGEN_MAX_COVERED + 2];
        vekgen_frame_message(&o.first, msg);
        bool alone = false;
        for (const auto &r : receiver.reports()) {
            if (origin + r.counter <= o.first.start_sample || r.rate != o.rate ||
                r.frame.length != o.first.covered_len ||
                (r.frame.f.v1.oob != 0) != (o.first.oob != FALSE) ||
                memcmp(r.frame.frame, msg, o.first.covered_len + 2u) != 0)
                continue;
            o.received = true;
            alone = alone || r.combined == 0;
        }
        o.by_combining = o.received && !alone;
        (o.received ? m.received : m.lost)++;
        m.by_combining += o.by_combining;
    }
    return m;
}

std::string repetitions_text(guint32 combined)
{
    std::string s;
    for (guint r = 1; r <= 3; r++)
        if (combined & (1u << (r - 1)))
            s += (s.empty() ? "" : ",") + std::to_string(r);
    return s;
}

std::string hex(const guint8 *bytes, guint n)
{
    std::string s;
    char two[3];
    for (guint i = 0; i < n; i++) {
        g_snprintf(two, sizeof two, "%02x", bytes[i]);
        s += two;
    }
    return s;
}

} // namespace vekgen
