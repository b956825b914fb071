/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What the station lets the card transmit, whoever asks: permitted carrier
 * ranges, a duty cycle per sub-band over a sliding hour, an optional number of
 * frames per device and hour, and the age of a request. */
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include <glib.h>

namespace vekbs
{

/* A range of carrier frequencies the card may transmit on, both ends
 * included, and the share of any hour it may spend transmitting there. */
struct SubBand {
    guint32 low_hz = 0, high_hz = 0;
    gdouble duty_percent = 100.0;
};

struct DownlinkPolicyConfig {
    std::vector<SubBand> sub_bands;   /* empty: the defaults of the card's band */
    guint bit_rate = 100;             /* downlink bit/s, which gives a frame's time on air */
    guint device_frames_per_hour = 0; /* 0: no limit per device */
    guint max_age_s = 10;             /* from a request's arrival to its transmission */
};

/* Why a request was refused when a limit of the station, not its form, refused
 * it: the "rule" of its result and a counter of the statistics each. */
enum class DownlinkRule : guint {
    Size,       /* the message, its nesting or its id is too large */
    Queue,      /* the queue of requests is full */
    Retained,   /* a retained message: stale by nature */
    MaxAge,     /* waited too long */
    Frequency,  /* outside every permitted range */
    DutyCycle,  /* its sub-band's time on air in the last hour is spent */
    DeviceRate, /* its device had its frames of the last hour */
};
constexpr guint kDownlinkRules = 7;
/* "size", "queue", "retained", "max_age", "frequency", "duty_cycle", "device_rate". */
const gchar *downlink_rule_name(DownlinkRule rule);

/* Reads "LOW-HIGH:DUTY" (Hz, Hz, percent of an hour), as vekbs.conf writes a
 * sub-band. */
bool parse_sub_band(const gchar *text, SubBand &band, GError **error);
std::string sub_band_text(const SubBand &band);
/* The sub-bands a card whose RX carrier is @card_hz may use without a
 * configuration saying otherwise; none outside the bands the station knows. */
std::vector<SubBand> default_sub_bands(guint32 card_hz);

/* Time on air of one downlink frame at @bit_rate, in microseconds. */
gint64 frame_airtime_us(guint bit_rate);

class DownlinkPolicy
{
  public:
    static constexpr gint64 kHourUs = gint64{3600} * G_USEC_PER_SEC;

    explicit DownlinkPolicy(const DownlinkPolicyConfig &config);
    /* The card's RX carrier. Without configured sub-bands the policy takes the
     * defaults of the band it lies in; returns true when they changed. */
    bool set_card_frequency(guint32 hz);
    const std::vector<SubBand> &sub_bands() const { return bands_; }
    gint64 airtime_us() const { return airtime_us_; }

    /* At a request's arrival: may anything be sent on @freq at all? */
    bool permits(guint32 freq, std::string *why) const;
    /* Has a request that arrived at @arrived_us waited too long by @now_us? */
    bool expired(gint64 arrived_us, gint64 now_us, std::string *why) const;
    /* Just before a frame goes to the card, at @now_us (monotonic): every
     * rule. A frame admitted is charged to its sub-band and its device, and
     * stays charged for an hour whatever becomes of it. */
    bool admit(guint32 device_id, guint32 freq, gint64 arrived_us, gint64 now_us,
               DownlinkRule *rule, std::string *why);
    /* Time on air charged to the sub-band of @freq in the hour before @now_us. */
    gint64 used_us(guint32 freq, gint64 now_us);
    /* Devices whose frames are remembered for the per-device limit. */
    gsize devices_remembered() const { return devices_.size(); }

  private:
    /* Time on air per second, over the last hour: fixed in size whatever the
     * bit rate, and a frame leaves it at most a second late (never early). */
    struct HourWindow {
        std::deque<std::pair<gint64, gint64>> seconds; /* (second, microseconds on air) */
        gint64 total_us = 0;
        gint64 total(gint64 now_us);
        void add(gint64 now_us, gint64 airtime_us);
    };
    gssize band_of(guint32 freq) const;
    bool device_allows(guint32 device_id, gint64 now_us);
    void forget_idle_devices(gint64 now_us);

    DownlinkPolicyConfig config_;
    std::vector<SubBand> bands_;
    std::vector<HourWindow> usage_; /* one per band */
    gint64 airtime_us_;
    std::unordered_map<guint32, std::deque<gint64>> devices_; /* frames sent per device */
    gsize devices_after_sweep_ = 0;
    gint64 last_sweep_us_ = G_MININT64 / 2;
};

} // namespace vekbs
