/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The downlink policy: a radio that transmits on request keeps to its band's
 * rules itself, whatever the requester asks. */
#include "downlink_policy.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vekbs
{
namespace
{

/* A downlink frame is the 28-byte block the frame builder makes (11 preamble
 * bytes, the 2-byte sync word, 15 protected bytes), handed whole to the card
 * in one bulk transfer of its downlink channel and transmitted as it is: 224
 * bits on air at the downlink bit rate. The card does not tell its downlink bit
 * rate; the configuration does ([downlink] bit_rate), and its default is the
 * network's slowest rate, 100 bit/s, so that a frame's time on air (2.24 s) is
 * never underestimated. */
constexpr guint kFrameBits = 28 * 8;

/* Carriers keep this far from a sub-band's edges: half the width of a
 * narrow-band signal and the card's frequency error (2 ppm is 1.7 kHz at
 * 868 MHz). */
constexpr guint32 kEdgeMarginHz = 5000;

/* 863 to 870 MHz: the sub-bands open to short-range devices of any use
 * (ETSI EN 300 220-2, ERC Recommendation 70-03 Annex 1) with their duty-cycle
 * limits over an hour. 869.70-870 MHz allows 25 mW at 1 %; the higher
 * power of 869.40-869.65 MHz (500 mW) is the operator's to set on the card. */
constexpr SubBand kEu868[] = {
    {863000000, 865000000, 0.1}, {865000000, 868000000, 1.0},  {868000000, 868600000, 1.0},
    {868700000, 869200000, 0.1}, {869400000, 869650000, 10.0}, {869700000, 870000000, 1.0},
};

gint64 duty_budget_us(const SubBand &band)
{
    return std::llround(band.duty_percent / 100.0 * static_cast<gdouble>(DownlinkPolicy::kHourUs));
}

bool bad_band(GError **error, const gchar *text, const gchar *why)
{
    g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                "'%s' is not a sub-band LOW-HIGH:DUTY (Hz, Hz, percent of an hour): %s", text, why);
    return false;
}

} // namespace

const gchar *downlink_rule_name(DownlinkRule rule)
{
    switch (rule) {
    case DownlinkRule::Size:
        return "size";
    case DownlinkRule::Queue:
        return "queue";
    case DownlinkRule::Retained:
        return "retained";
    case DownlinkRule::MaxAge:
        return "max_age";
    case DownlinkRule::Frequency:
        return "frequency";
    case DownlinkRule::DutyCycle:
        return "duty_cycle";
    case DownlinkRule::DeviceRate:
        return "device_rate";
    }
    return "unknown";
}

bool parse_sub_band(const gchar *text, SubBand &band, GError **error)
{
    g_autofree gchar *copy = g_strstrip(g_strdup(text));
    gchar *dash = strchr(copy, '-');
    gchar *colon = dash != nullptr ? strchr(dash, ':') : nullptr;
    if (dash == nullptr || colon == nullptr)
        return bad_band(error, text, "a '-' and a ':' are missing");
    *dash = *colon = '\0';
    guint64 low = 0, high = 0;
    if (!g_ascii_string_to_unsigned(copy, 10, 1, G_MAXUINT32, &low, nullptr) ||
        !g_ascii_string_to_unsigned(dash + 1, 10, 1, G_MAXUINT32, &high, nullptr))
        return bad_band(error, text, "the ends are whole numbers of Hz from 1 to 4294967295");
    if (low > high)
        return bad_band(error, text, "the low end is above the high end");
    gchar *end = nullptr;
    const gdouble duty = g_ascii_strtod(colon + 1, &end);
    if (end == colon + 1 || *end != '\0' || !std::isfinite(duty) || duty <= 0.0 || duty > 100.0)
        return bad_band(error, text, "the duty cycle is a percentage above 0, at most 100");
    band = {static_cast<guint32>(low), static_cast<guint32>(high), duty};
    return true;
}

std::string sub_band_text(const SubBand &band)
{
    g_autofree gchar *text =
        g_strdup_printf("%u-%u:%g", band.low_hz, band.high_hz, band.duty_percent);
    return text;
}

std::vector<SubBand> default_sub_bands(guint32 card_hz)
{
    std::vector<SubBand> bands;
    if (card_hz < 863000000 || card_hz > 870000000)
        return bands;
    for (const SubBand &b : kEu868)
        bands.push_back({b.low_hz + kEdgeMarginHz, b.high_hz - kEdgeMarginHz, b.duty_percent});
    return bands;
}

gint64 frame_airtime_us(guint bit_rate)
{
    const guint64 rate = MAX(bit_rate, 1u);
    return static_cast<gint64>((kFrameBits * G_USEC_PER_SEC + rate - 1) / rate);
}

gint64 DownlinkPolicy::HourWindow::total(gint64 now_us)
{
    /* A second leaves once all of it is more than an hour old. */
    const gint64 first_kept = (now_us - kHourUs) / G_USEC_PER_SEC;
    while (!seconds.empty() && seconds.front().first < first_kept) {
        total_us -= seconds.front().second;
        seconds.pop_front();
    }
    return total_us;
}

void DownlinkPolicy::HourWindow::add(gint64 now_us, gint64 airtime_us)
{
    const gint64 second = now_us / G_USEC_PER_SEC;
    if (seconds.empty() || seconds.back().first != second)
        seconds.emplace_back(second, 0);
    seconds.back().second += airtime_us;
    total_us += airtime_us;
}

DownlinkPolicy::DownlinkPolicy(const DownlinkPolicyConfig &config)
    : config_(config), bands_(config.sub_bands), usage_(bands_.size()),
      airtime_us_(frame_airtime_us(config.bit_rate))
{
}

bool DownlinkPolicy::set_card_frequency(guint32 hz)
{
    if (!config_.sub_bands.empty())
        return false;
    std::vector<SubBand> bands = default_sub_bands(hz);
    const bool same = bands.size() == bands_.size() &&
                      std::equal(bands.begin(), bands.end(), bands_.begin(),
                                 [](const SubBand &a, const SubBand &b) {
                                     return a.low_hz == b.low_hz && a.high_hz == b.high_hz &&
                                            a.duty_percent == b.duty_percent;
                                 });
    if (same)
        return false;
    /* Another band: what was charged to the old sub-bands does not carry over,
     * but a card is not moved across bands while it runs. */
    bands_ = std::move(bands);
    usage_.assign(bands_.size(), HourWindow{});
    return true;
}

gssize DownlinkPolicy::band_of(guint32 freq) const
{
    for (gsize i = 0; i < bands_.size(); i++)
        if (freq >= bands_[i].low_hz && freq <= bands_[i].high_hz)
            return static_cast<gssize>(i);
    return -1;
}

bool DownlinkPolicy::permits(guint32 freq, std::string *why) const
{
    if (band_of(freq) >= 0)
        return true;
    if (bands_.empty()) {
        *why = std::to_string(freq) +
               " Hz: no frequency is permitted (the card's band has no default sub-bands; "
               "[downlink] sub_bands lists them)";
        return false;
    }
    *why = std::to_string(freq) + " Hz is outside the permitted ranges (";
    for (gsize i = 0; i < bands_.size(); i++)
        *why += (i > 0 ? ", " : "") + std::to_string(bands_[i].low_hz) + "-" +
                std::to_string(bands_[i].high_hz);
    *why += " Hz)";
    return false;
}

void DownlinkPolicy::forget_idle_devices(gint64 now_us)
{
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (it->second.empty() || it->second.back() <= now_us - kHourUs)
            it = devices_.erase(it);
        else
            ++it;
    }
    devices_after_sweep_ = devices_.size();
    last_sweep_us_ = now_us;
}

bool DownlinkPolicy::device_allows(guint32 device_id, gint64 now_us)
{
    /* The devices remembered are those sent to in the last hour, which the
     * duty cycle bounds: a sweep every hour, and whenever their number
     * doubles, keeps it so. */
    if (devices_.size() > 2 * MAX(devices_after_sweep_, gsize{64}) ||
        now_us - last_sweep_us_ >= kHourUs)
        forget_idle_devices(now_us);
    std::deque<gint64> &sent = devices_[device_id];
    while (!sent.empty() && sent.front() <= now_us - kHourUs)
        sent.pop_front();
    return sent.size() < config_.device_frames_per_hour;
}

bool DownlinkPolicy::expired(gint64 arrived_us, gint64 now_us, std::string *why) const
{
    const gint64 waited_us = now_us - arrived_us;
    if (waited_us <= static_cast<gint64>(config_.max_age_s) * G_USEC_PER_SEC)
        return false;
    g_autofree gchar *text =
        g_strdup_printf("waited %.1f s, longer than the %u s a request may wait",
                        static_cast<gdouble>(waited_us) / G_USEC_PER_SEC, config_.max_age_s);
    *why = text;
    return true;
}

bool DownlinkPolicy::admit(guint32 device_id, guint32 freq, gint64 arrived_us, gint64 now_us,
                           DownlinkRule *rule, std::string *why)
{
    if (expired(arrived_us, now_us, why)) {
        *rule = DownlinkRule::MaxAge;
        return false;
    }
    const gssize band = band_of(freq);
    if (band < 0) {
        *rule = DownlinkRule::Frequency;
        return permits(freq, why);
    }
    if (config_.device_frames_per_hour > 0 && !device_allows(device_id, now_us)) {
        *rule = DownlinkRule::DeviceRate;
        g_autofree gchar *text = g_strdup_printf("device 0x%X had its %u frames of the last hour",
                                                 device_id, config_.device_frames_per_hour);
        *why = text;
        return false;
    }
    const SubBand &b = bands_[static_cast<gsize>(band)];
    HourWindow &usage = usage_[static_cast<gsize>(band)];
    const gint64 used = usage.total(now_us), budget = duty_budget_us(b);
    if (used + airtime_us_ > budget) {
        *rule = DownlinkRule::DutyCycle;
        g_autofree gchar *text = g_strdup_printf(
            "the sub-band %u-%u Hz has been on air %.2f s of the %.2f s (%g %%) an hour "
            "allows; a frame takes %.2f s",
            b.low_hz, b.high_hz, static_cast<gdouble>(used) / G_USEC_PER_SEC,
            static_cast<gdouble>(budget) / G_USEC_PER_SEC, b.duty_percent,
            static_cast<gdouble>(airtime_us_) / G_USEC_PER_SEC);
        *why = text;
        return false;
    }
    usage.add(now_us, airtime_us_);
    if (config_.device_frames_per_hour > 0)
        devices_[device_id].push_back(now_us);
    return true;
}

gint64 DownlinkPolicy::used_us(guint32 freq, gint64 now_us)
{
    const gssize band = band_of(freq);
    return band < 0 ? 0 : usage_[static_cast<gsize>(band)].total(now_us);
}

} // namespace vekbs
