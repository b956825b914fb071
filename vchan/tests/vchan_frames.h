/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Seeded frames for the receiver's tests: noise at 30 dB over the band, so that a
 * frame at a stated Eb/N0 has a stated power; and a receiver fed from them. */
#pragma once

#include <vchan/vchan.h>
#include <vdem/vdem.h>
#include <vekgen/vekgen.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace vchan_test
{

constexpr double kNoiseDb = 30.0;

inline double power_for(double ebn0, guint rate)
{
    return kNoiseDb - 10.0 * std::log10(192000.0 / rate) + ebn0;
}

/* One of vekgen's frame types, drawn from @rand. */
inline const VekgenFrameType &random_type(GRand *rand)
{
    guint n = 0;
    const VekgenFrameType *types = vekgen_frame_types(&n);
    return types[g_rand_int_range(rand, 0, gint(n))];
}

inline VekgenFrame make_frame(GRand *rand, const VekgenFrameType &type, guint rate, double offset,
                              double ebn0, guint64 start)
{
    VekgenFrame f;
    vekgen_frame_init(&f);
    vekgen_frame_set_type(&f, &type);
    f.bit_rate = rate;
    f.offset_hz = offset;
    f.power_db = power_for(ebn0, rate);
    f.inverted = g_rand_boolean(rand);
    f.phase = g_rand_double_range(rand, -G_PI, G_PI);
    for (guint i = 0; i < type.covered_len; i++)
        f.bytes[i] = guint8(g_rand_int_range(rand, 0, 256));
    f.start_sample = start;
    return f;
}

struct Report {
    vdem_proto_frame_t frame;
    guint rate;
    uint32_t combined; /* vchan_get_frame_combined() */
};

/* A receiver fed packet by packet from a vekgen signal. */
class Receiver
{
  public:
    explicit Receiver(uint32_t rates = VCHAN_RATE_100BPS | VCHAN_RATE_600BPS, bool combining = true)
    {
        vchan_config_t config{rates, 0.f};
        EXPECT_EQ(vchan_new(&config, &rx_), VCHAN_OK);
        if (!combining) {
            EXPECT_EQ(vchan_set_combining(rx_, 0), VCHAN_POST_OK);
        }
        EXPECT_EQ(vchan_cb_register_fdata_exit_fct(rx_, on_frame, this), VCHAN_CB_REGISTER_OK);
        packet_ = size_t(vchan_get_iq_packet_size(rx_));
        buf_.resize(2 * packet_);
    }
    ~Receiver() { vchan_free(rx_); }
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    void feed(VekgenSignal *signal, guint64 n_samples)
    {
        while (n_samples > 0) {
            const gsize n = gsize(MIN(n_samples, guint64{packet_}));
            vekgen_signal_fill(signal, buf_.data(), n);
            std::fill(buf_.begin() + 2 * n, buf_.end(), 0);
            post(buf_.data());
            n_samples -= n;
        }
    }
    void post(const short *iq)
    {
        counter_ += packet_;
        ASSERT_EQ(vchan_post_iq_packet(rx_, iq, int(packet_)), VCHAN_POST_OK);
    }
    size_t packet_size() const { return packet_; }

    std::vector<Report> reports;
    std::vector<guint64> counters; /* samples posted when each report came */

  private:
    static void on_frame(vdem_frame_cont_t *cont, const void *self)
    {
        auto *r = static_cast<Receiver *>(const_cast<void *>(self));
        r->reports.push_back(Report{cont->pframe[0], vchan_get_frame_bit_rate(r->rx_),
                                    vchan_get_frame_combined(r->rx_)});
        r->counters.push_back(r->counter_);
    }
    vchan_receiver_t *rx_ = nullptr;
    size_t packet_ = 0;
    guint64 counter_ = 0;
    std::vector<short> buf_;
};

} // namespace vchan_test
