/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Text and number forms of the card's values. */
#include <gtest/gtest.h>

#include <xvek/xvek.h>

namespace
{

struct GFreeDeleter {
    void operator()(gchar *p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

TEST(XvekHlpModeText, EveryModeRoundTripsThroughItsText)
{
    for (VektypeCtlMode mode : {XVEK_CTL_MODE_RX, XVEK_CTL_MODE_TX, XVEK_CTL_MODE_LBT})
        EXPECT_EQ(xvek_hlp_str_to_mode(xvek_hlp_mode_to_str(mode)), mode);
    EXPECT_STREQ(xvek_hlp_mode_to_str(XVEK_CTL_MODE_RX), "RX");
    EXPECT_STREQ(xvek_hlp_mode_to_str(XVEK_CTL_MODE_LBT), "LBT");
}

TEST(XvekHlpModeText, UnknownValuesAndTextsMapToTheMarkers)
{
    EXPECT_STREQ(xvek_hlp_mode_to_str(XVEK_CTL_MODE_MAX), "??");
    EXPECT_STREQ(xvek_hlp_mode_to_str(static_cast<VektypeCtlMode>(77)), "??");
    EXPECT_EQ(xvek_hlp_str_to_mode("rx"), XVEK_CTL_MODE_MAX); /* case matters */
    EXPECT_EQ(xvek_hlp_str_to_mode("RX "), XVEK_CTL_MODE_MAX);
    EXPECT_EQ(xvek_hlp_str_to_mode("R"), XVEK_CTL_MODE_MAX);
    EXPECT_EQ(xvek_hlp_str_to_mode(""), XVEK_CTL_MODE_MAX);
    EXPECT_EQ(xvek_hlp_str_to_mode(nullptr), XVEK_CTL_MODE_MAX);
}

TEST(XvekHlpPreamp, IdsConvertBothWaysAndOutOfRangeIsRefused)
{
    for (gint i = 0; i <= 2; i++)
        EXPECT_EQ(xvek_hlp_preampid_to_int(xvek_hlp_int_to_preampid(i)), i);
    EXPECT_EQ(xvek_hlp_int_to_preampid(-1), XVEK_CTL_PREAMP_ID_VALMAX);
    EXPECT_EQ(xvek_hlp_int_to_preampid(3), XVEK_CTL_PREAMP_ID_VALMAX);
    EXPECT_EQ(xvek_hlp_int_to_preampid(G_MININT), XVEK_CTL_PREAMP_ID_VALMAX);
    EXPECT_EQ(xvek_hlp_preampid_to_int(XVEK_CTL_PREAMP_ID_VALMAX), -1);
    EXPECT_EQ(xvek_hlp_preampid_to_int(static_cast<VektypePreampId>(42)), -1);
}

TEST(XvekHlpPreamp, ModesRoundTripThroughTheirExactTexts)
{
    for (VektypePreampMode mode :
         {XVEK_CTL_PREAMP_MODE_LNA, XVEK_CTL_PREAMP_MODE_BYPASS, XVEK_CTL_PREAMP_MODE_ATTEN})
        EXPECT_EQ(xvek_hlp_str_to_preampmode(xvek_hlp_preampmode_to_str(mode)), mode);
    EXPECT_STREQ(xvek_hlp_preampmode_to_str(XVEK_CTL_PREAMP_MODE_BYPASS), "BYPASS");
    EXPECT_STREQ(xvek_hlp_preampmode_to_str(XVEK_CTL_PREAMP_MODE_MAX), "??");
    EXPECT_EQ(xvek_hlp_str_to_preampmode("lna"), XVEK_CTL_PREAMP_MODE_MAX);
    EXPECT_EQ(xvek_hlp_str_to_preampmode("ATTENUATOR"), XVEK_CTL_PREAMP_MODE_MAX);
    EXPECT_EQ(xvek_hlp_str_to_preampmode(nullptr), XVEK_CTL_PREAMP_MODE_MAX);
}

TEST(XvekHlpSynth, NamesTheTwoSynthesizersAndNothingElse)
{
    EXPECT_STREQ(xvek_hlp_synth_to_str(XVEK_CTL_SYNTH_HIT), "HITTITE");
    EXPECT_STREQ(xvek_hlp_synth_to_str(XVEK_CTL_SYNTH_PRY), "DARUDAR");
    EXPECT_STREQ(xvek_hlp_synth_to_str(XVEK_CTL_SYNTH_MAX), "UNKNOWN");
    EXPECT_STREQ(xvek_hlp_synth_to_str(static_cast<VektypeCtlSynth>(-1)), "UNKNOWN");
}

TEST(XvekHlpLoopback, RoundTripsAndRefusesOtherTexts)
{
    EXPECT_EQ(xvek_hlp_str_to_loopback(xvek_hlp_loopback_to_str(XVEK_CTL_LOOPBACK_ON)),
              XVEK_CTL_LOOPBACK_ON);
    EXPECT_EQ(xvek_hlp_str_to_loopback(xvek_hlp_loopback_to_str(XVEK_CTL_LOOPBACK_OFF)),
              XVEK_CTL_LOOPBACK_OFF);
    EXPECT_STREQ(xvek_hlp_loopback_to_str(XVEK_CTL_LOOPBACK_MAX), "??");
    EXPECT_EQ(xvek_hlp_str_to_loopback("on"), XVEK_CTL_LOOPBACK_MAX);
    EXPECT_EQ(xvek_hlp_str_to_loopback("ONE"), XVEK_CTL_LOOPBACK_MAX);
    EXPECT_EQ(xvek_hlp_str_to_loopback(nullptr), XVEK_CTL_LOOPBACK_MAX);
}

TEST(XvekHlpStreamValues, OnlyTheCardsRatesWidthsAndChannelCountsAreAccepted)
{
    EXPECT_EQ(xvek_hlp_uint_to_rate(48000), XVEK_STREAM_RATE_VAL48K);
    EXPECT_EQ(xvek_hlp_uint_to_rate(192000), XVEK_STREAM_RATE_VAL192K);
    for (guint32 rate : {0u, 96000u, 192001u, G_MAXUINT32})
        EXPECT_EQ(xvek_hlp_uint_to_rate(rate), XVEK_STREAM_RATE_VALUNSUPPORTED) << rate;

    EXPECT_EQ(xvek_hlp_uint_to_bw(8), XVEK_STREAM_BITWIDTH_VAL8);
    EXPECT_EQ(xvek_hlp_uint_to_bw(16), XVEK_STREAM_BITWIDTH_VAL16);
    EXPECT_EQ(xvek_hlp_uint_to_bw(24), XVEK_STREAM_BITWIDTH_VAL24);
    for (guint32 bw : {0u, 12u, 32u, 64u})
        EXPECT_EQ(xvek_hlp_uint_to_bw(bw), XVEK_STREAM_BITWIDTH_VALUNSUPPORTED) << bw;

    EXPECT_EQ(xvek_hlp_uint_to_nbch(1), XVEK_STREAM_NB_CHANNEL_VAL1);
    EXPECT_EQ(xvek_hlp_uint_to_nbch(2), XVEK_STREAM_NB_CHANNEL_VAL2);
    EXPECT_EQ(xvek_hlp_uint_to_nbch(0), XVEK_STREAM_NB_CHANNEL_VALUNSUPPORTED);
    EXPECT_EQ(xvek_hlp_uint_to_nbch(3), XVEK_STREAM_NB_CHANNEL_VALUNSUPPORTED);
}

TEST(XvekHlpTexts, StatisticsPrintEveryCounterAsA64BitDecimal)
{
    VektypeStructHwStats stats = {1, 2, 3, 4, 5, G_MAXUINT64};
    GText text(xvek_hlp_pprint_hwstats(&stats));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "Stream stats:\n"
                             " Fifo xfer|xrun:    1ms|2ms\n"
                             " Hw count xfer|err: 3|4\n"
                             " Hw xrun|cuts:      5ms|18446744073709551615");
    EXPECT_EQ(xvek_hlp_pprint_hwstats(nullptr), nullptr);
}

TEST(XvekHlpTexts, PackageInfoNamesTheSuiteAndBuild)
{
    GText text(xvek_hlp_get_package_info_string());
    EXPECT_STREQ(text.get(), "vekutils 2.0 [user build]");
}

} // namespace
