/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The demodulator run and the matching of its reports against the truth. */
#include "vekgen-decode.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vekgen
{

Decoder::Decoder(guint rate, float int_gain) : rate_(rate), int_gain_(int_gain)
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
    packet_size_ = static_cast<gsize>(VDEM_INTERFACE_get_iq_packet_size());
    VDEM_INTERFACE_cb_register_fdata_exit_fct(on_frame, this);
    VDEM_INTERFACE_cb_register_rfsat_exit_fct(on_saturation, this);
    packet_.resize(2 * packet_size_);
    reports_.reserve(64);
}

Decoder::~Decoder()
{
    if (error_.empty())
        VDEM_INTERFACE_terminate();
}

void Decoder::on_frame(vdem_frame_cont_t *cont, const void *self)
{
    auto *d = static_cast<Decoder *>(const_cast<void *>(self));
    /* Nothing may unwind through the demodulator, which is built without exceptions. */
    try {
        for (guint i = 0; i < cont->entries && i < 1; i++)
            d->reports_.push_back(Report{cont->pframe[i], d->counter_});
    } catch (...) {
        d->lost_reports_++;
    }
}

void Decoder::on_saturation(vdem_rfsat_t *, const void *self)
{
    static_cast<Decoder *>(const_cast<void *>(self))->saturations_++;
}

void Decoder::post(const gint16 *iq)
{
    /* The counter after this packet, as the callbacks see it. */
    counter_ += packet_size_;
    memcpy(packet_.data(), iq, packet_.size() * sizeof(gint16));
    VDEM_INTERFACE_post_iq_packet(packet_.data(), static_cast<int>(packet_size_));
}

void Decoder::run(VekgenSignal *signal, guint64 n_samples)
{
    while (n_samples > 0) {
        const gsize n = static_cast<gsize>(MIN(n_samples, guint64{packet_size_}));
        vekgen_signal_fill(signal, packet_.data(), n);
        std::fill(packet_.begin() + 2 * n, packet_.end(), 0);
        counter_ += packet_size_;
        VDEM_INTERFACE_post_iq_packet(packet_.data(), static_cast<int>(packet_size_));
        n_samples -= n;
    }
}

bool Decoder::run(VekgenRecording *recording, GError **error)
{
    for (;;) {
        const gssize n = vekgen_recording_read(recording, packet_.data(), packet_size_, error);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        std::fill(packet_.begin() + 2 * n, packet_.end(), 0);
        counter_ += packet_size_;
        VDEM_INTERFACE_post_iq_packet(packet_.data(), static_cast<int>(packet_size_));
    }
}

static bool same_frame(const vdem_proto_frame_t &r, const VekgenFrame &t)
{
    guint8 msg[VEKGEN_MAX_COVERED + 2];
    vekgen_frame_message(&t, msg);
    return r.length == t.covered_len && r.f.v1.seq == t.repetition &&
           (r.f.v1.oob != 0) == (t.oob != FALSE) && memcmp(r.frame, msg, t.covered_len + 2u) == 0;
}

Match match(const Decoder &decoder, const VekgenFrame *truth, guint n_truth, guint64 origin)
{
    Match m;
    for (guint i = 0; i < n_truth; i++)
        if (truth[i].bit_rate == decoder.rate())
            m.frames.push_back(Outcome{truth[i]});
    const auto &reports = decoder.reports();
    for (int r = 0; r < static_cast<int>(reports.size()); r++) {
        const guint64 at = origin + reports[r].counter;
        bool matched = false;
        for (auto &o : m.frames) {
            if (o.report >= 0 || o.truth.start_sample >= at ||
                !same_frame(reports[r].frame, o.truth))
                continue;
            o.report = r;
            double err = reports[r].frame.freq - o.truth.offset_hz;
            err = std::remainder(err, double(VEKGEN_SAMPLE_RATE));
            o.freq_error = err;
            o.rssi_error = reports[r].frame.rssi - (o.truth.power_db - decoder.int_gain());
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
