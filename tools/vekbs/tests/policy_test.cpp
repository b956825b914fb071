/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The downlink policy on its own, on a clock the tests set: permitted ranges,
 * duty cycle over a sliding hour, frames per device, the age of a request. */
#include <gtest/gtest.h>

#include <string>

#include "downlink_policy.h"

using namespace vekbs;

namespace
{

constexpr gint64 kS = G_USEC_PER_SEC;
constexpr gint64 kT0 = 1000 * kS; /* an arbitrary monotonic start */

/* Admits a frame sent at once, or says which rule refused it. */
std::string admit(DownlinkPolicy &policy, guint32 device, guint32 freq, gint64 now_us)
{
    DownlinkRule rule = DownlinkRule::Size;
    std::string why;
    if (policy.admit(device, freq, now_us, now_us, &rule, &why))
        return "admitted";
    EXPECT_FALSE(why.empty());
    return downlink_rule_name(rule);
}

} // namespace

TEST(DownlinkPolicy, TheCardsBandGivesTheDefaultsAndEverythingElseIsRefused)
{
    DownlinkPolicy policy({});
    std::string why;
    EXPECT_FALSE(policy.permits(869525000, &why)) << "no card yet: nothing is permitted";
    EXPECT_TRUE(policy.set_card_frequency(868130000));
    EXPECT_FALSE(policy.set_card_frequency(868300000)) << "the same band";
    ASSERT_EQ(policy.sub_bands().size(), 6u);
    /* The four frequencies of the attack, and the edges of the 10 % sub-band
     * (869.40 to 869.65 MHz, carriers 5 kHz inside). */
    for (guint32 f : {1u, 2400000000u, G_MAXUINT32, 869300000u, 869400000u, 869404999u, 869645001u,
                      862995000u, 870000000u}) {
        EXPECT_FALSE(policy.permits(f, &why)) << f;
        EXPECT_NE(why.find(std::to_string(f) + " Hz is outside the permitted ranges ("),
                  std::string::npos)
            << why;
    }
    for (guint32 f : {869405000u, 869525000u, 869645000u, 868130000u, 863005000u})
        EXPECT_TRUE(policy.permits(f, &why)) << f;

    /* A card outside the bands the station knows: nothing, and the message
     * says what to configure. */
    DownlinkPolicy elsewhere({});
    EXPECT_FALSE(elsewhere.set_card_frequency(915000000));
    EXPECT_FALSE(elsewhere.permits(915000000, &why));
    EXPECT_NE(why.find("[downlink] sub_bands"), std::string::npos) << why;
    /* Configured sub-bands are kept whatever the card's band. */
    DownlinkPolicyConfig own;
    own.sub_bands = {{915000000, 915500000, 100.0}};
    DownlinkPolicy configured(own);
    EXPECT_FALSE(configured.set_card_frequency(868130000));
    EXPECT_TRUE(configured.permits(915000000, &why));
    EXPECT_FALSE(configured.permits(869525000, &why));
}

TEST(DownlinkPolicy, DutyCycleCountsEachFramesTimeOnAirOverASlidingHour)
{
    /* 224 bits: 2.24 s at 100 bit/s, 373.34 ms at 600 (rounded up). */
    EXPECT_EQ(frame_airtime_us(100), 2240000);
    EXPECT_EQ(frame_airtime_us(600), 373334);
    EXPECT_EQ(frame_airtime_us(1), 224 * kS);
    DownlinkPolicyConfig config;
    /* 0.1 % of an hour is 3.6 s: one frame of 2.24 s. */
    config.sub_bands = {{869400000, 869650000, 0.1}, {868000000, 868600000, 1.0}};
    config.max_age_s = 3600;
    DownlinkPolicy policy(config);
    EXPECT_EQ(admit(policy, 1, 869525000, kT0), "admitted");
    EXPECT_EQ(policy.used_us(869525000, kT0), 2240000);
    EXPECT_EQ(admit(policy, 2, 869525000, kT0 + 1 * kS), "duty_cycle");
    EXPECT_EQ(policy.used_us(869525000, kT0 + 1 * kS), 2240000) << "a refusal is not charged";
    /* 1 % (36 s) of the other sub-band is its own: 16 frames of 2.24 s. */
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(admit(policy, 3, 868300000, kT0 + i * kS), "admitted") << i;
    EXPECT_EQ(admit(policy, 3, 868300000, kT0 + 16 * kS), "duty_cycle");
    /* The first frame leaves the window an hour after it was sent, not before
     * (within the second the window counts in). */
    EXPECT_EQ(admit(policy, 2, 869525000, kT0 + 3599 * kS), "duty_cycle");
    EXPECT_EQ(admit(policy, 2, 869525000, kT0 + 3601 * kS), "admitted");
    EXPECT_EQ(admit(policy, 3, 868300000, kT0 + 3601 * kS), "admitted");

    /* The degenerate budgets: 100 % never refuses in an hour of frames back
     * to back; a budget below one frame refuses every frame. */
    config.sub_bands = {{869400000, 869650000, 100.0}, {868000000, 868600000, 0.05}};
    DownlinkPolicy edges(config);
    for (gint64 t = 0; t + 2240000 <= 3600 * kS; t += 2240000)
        ASSERT_EQ(admit(edges, 1, 869525000, kT0 + t), "admitted") << t;
    EXPECT_EQ(admit(edges, 1, 868300000, kT0), "duty_cycle");
}

TEST(DownlinkPolicy, DeviceRateAndAgeAreRulesOfTheirOwn)
{
    DownlinkPolicyConfig config;
    config.sub_bands = {{869400000, 869650000, 100.0}};
    config.device_frames_per_hour = 2;
    config.max_age_s = 5;
    config.bit_rate = 100000; /* 2.24 ms a frame: the duty cycle stays out of the way */
    DownlinkPolicy policy(config);
    EXPECT_EQ(admit(policy, 0xA, 869525000, kT0), "admitted");
    EXPECT_EQ(admit(policy, 0xA, 869525000, kT0 + kS), "admitted");
    EXPECT_EQ(admit(policy, 0xA, 869525000, kT0 + 2 * kS), "device_rate");
    EXPECT_EQ(admit(policy, 0xB, 869525000, kT0 + 2 * kS), "admitted") << "another device";
    EXPECT_EQ(admit(policy, 0xA, 869525000, kT0 + 3600 * kS + 1), "admitted");
    /* Many devices, each once: all admitted, and forgotten once their frames
     * are an hour old. */
    for (guint32 d = 0; d < 10000; d++)
        ASSERT_EQ(admit(policy, 0x100000 + d, 869525000, kT0 + 2 * 3600 * kS + d), "admitted");
    EXPECT_GE(policy.devices_remembered(), 10000u);
    EXPECT_EQ(admit(policy, 0xA, 869525000, kT0 + 3 * 3600 * kS + kS), "admitted");
    EXPECT_EQ(policy.devices_remembered(), 1u);

    /* Age: the bound itself is fine, a microsecond more is not; the age goes
     * first, so an expired request is not charged. */
    DownlinkRule rule = DownlinkRule::Size;
    std::string why;
    const gint64 now = kT0 + 5 * 3600 * kS;
    EXPECT_TRUE(policy.admit(0xC, 869525000, now - 5 * kS, now, &rule, &why));
    EXPECT_FALSE(policy.admit(0xC, 869525000, now - 5 * kS - 1, now, &rule, &why));
    EXPECT_EQ(rule, DownlinkRule::MaxAge);
    EXPECT_EQ(why, "waited 5.0 s, longer than the 5 s a request may wait");
    EXPECT_EQ(policy.used_us(869525000, now), frame_airtime_us(100000));
    EXPECT_FALSE(policy.admit(0xD, 1, now, now, &rule, &why));
    EXPECT_EQ(rule, DownlinkRule::Frequency);
}

TEST(DownlinkPolicy, SubBandsAreReadAsVekbsConfWritesThem)
{
    SubBand band;
    ASSERT_TRUE(parse_sub_band(" 869400000-869650000:10 ", band, nullptr));
    EXPECT_EQ(band.low_hz, 869400000u);
    EXPECT_EQ(band.high_hz, 869650000u);
    EXPECT_EQ(band.duty_percent, 10.0);
    EXPECT_EQ(sub_band_text(band), "869400000-869650000:10");
    ASSERT_TRUE(parse_sub_band("1-4294967295:100", band, nullptr));
    ASSERT_TRUE(parse_sub_band("868000000-868000000:0.1", band, nullptr)) << "one frequency";
    for (const char *bad :
         {"", "869400000", "869400000-869650000", "869650000-869400000:1", "0-10:1",
          "1-4294967296:1", "1-2:0", "1-2:100.5", "1-2:nan", "1-2:5%", "a-b:1", "-1-2:1"}) {
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(parse_sub_band(bad, band, &error)) << bad;
        ASSERT_NE(error, nullptr) << bad;
        EXPECT_NE(std::string(error->message).find("LOW-HIGH:DUTY"), std::string::npos)
            << error->message;
    }
}
