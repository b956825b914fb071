/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Entry points, refusal codes and their texts, packet sizes, callbacks. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <vdem/vdem.h>

#include "vdem_receiver.h"

using namespace vdem_test;

namespace
{

class VdemLifecycle : public ::testing::Test
{
  protected:
    void SetUp() override { VDEM_INTERFACE_terminate(); }
    void TearDown() override { VDEM_INTERFACE_terminate(); }

    int32_t init(int32_t bitrate, float gain)
    {
        memset(msg, 'x', sizeof msg - 1);
        msg[sizeof msg - 1] = 0;
        vdem_interface_config_t config{bitrate, gain};
        return VDEM_INTERFACE_init(&config, msg);
    }

    char msg[128];
};

TEST_F(VdemLifecycle, VersionIsTheLibraryRelease)
{
    vdem_interface_version_t version;
    memset(version, 'x', sizeof version);
    VDEM_INTERFACE_get_version(&version);
    EXPECT_STREQ(version, "01.03.00");
}

TEST_F(VdemLifecycle, InitAcceptsBothRatesAndZeroGain)
{
    ASSERT_EQ(init(VDEM_INTERFACE_100BPS, 0.0f), VDEM_INTERFACE_OK);
    EXPECT_EQ(msg[0], 'x') << "the message buffer is left alone on success";
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 15360);
    EXPECT_EQ(VDEM_INTERFACE_terminate(), 0);

    ASSERT_EQ(init(VDEM_INTERFACE_600BPS, 0.0f), VDEM_INTERFACE_OK);
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 2560);
}

TEST_F(VdemLifecycle, SecondInitIsRefusedWithUsageLine)
{
    ASSERT_EQ(init(VDEM_INTERFACE_600BPS, 3.0f), VDEM_INTERFACE_OK);
    EXPECT_EQ(init(VDEM_INTERFACE_100BPS, 0.0f), VDEM_INTERFACE_INSTANCE_RUNNING);
    EXPECT_STREQ(msg, "Usage: rxdsp [--help] --int-gain gain --bit-rate rate\n");
    EXPECT_EQ(strlen(msg) + 1, (size_t)VDEM_INTERFACE_ERROR_MSG_SIZE);
    /* The running instance keeps its rate. */
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 2560);
}

TEST_F(VdemLifecycle, NegativeGainIsRefused)
{
    EXPECT_EQ(init(VDEM_INTERFACE_100BPS, -0.5f), VDEM_INTERFACE_NEGATIVE_INT_GAIN);
    EXPECT_STREQ(msg, "ERRAPI: --int-gain must be positive\n");
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 0) << "the instance stays idle";
}

TEST_F(VdemLifecycle, UnknownBitrateIsRefused)
{
    EXPECT_EQ(init(2, 0.0f), VDEM_INTERFACE_UNSUPPORTED_BITRATE);
    EXPECT_STREQ(msg, "ERRAPI: --bit-rate must be either 100 or 600\n");
    EXPECT_EQ(init(-1, 1.0f), VDEM_INTERFACE_UNSUPPORTED_BITRATE);
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 0);
}

TEST_F(VdemLifecycle, GainIsCheckedBeforeBitrate)
{
    EXPECT_EQ(init(2, -1.0f), VDEM_INTERFACE_NEGATIVE_INT_GAIN);
    EXPECT_STREQ(msg, "ERRAPI: --int-gain must be positive\n");
}

TEST_F(VdemLifecycle, TerminateWhileIdleSucceeds)
{
    EXPECT_EQ(VDEM_INTERFACE_terminate(), 0);
    EXPECT_EQ(VDEM_INTERFACE_terminate(), 0);
}

TEST_F(VdemLifecycle, IdleInstanceRefusesPacketsAndHasNoPacketSize)
{
    std::vector<int16_t> iq(2 * 15360, 1000);
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 0);
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), 15360),
              VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE);
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), 0), VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE);

    /* Also after a run: the freed buffers are never touched. */
    ASSERT_EQ(init(VDEM_INTERFACE_100BPS, 0.0f), VDEM_INTERFACE_OK);
    ASSERT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 15360);
    VDEM_INTERFACE_terminate();
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), 15360),
              VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE);
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), 0), VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE);
}

TEST_F(VdemLifecycle, PacketOfWrongSizeIsRefusedButCounted)
{
    Reports reports;
    int32_t packet = start(VDEM_INTERFACE_100BPS, 0.0f, &reports);
    ASSERT_EQ(packet, 15360);
    std::vector<int16_t> iq(2 * packet, 32767);
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), packet - 1),
              VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE);
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), packet + 1),
              VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE);
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(nullptr, packet),
              VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE);
    EXPECT_TRUE(reports.rfsat.empty()) << "refused samples are not processed";

    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), packet), VDEM_INTERFACE_POST_IQ_PKT_OK);
    ASSERT_EQ(reports.rfsat.size(), 8u);
    /* The refused packets advanced the counter all the same. */
    EXPECT_EQ(reports.rfsat[0].timestamp, (packet - 1) + (packet + 1) + packet + packet);
}

TEST_F(VdemLifecycle, NullCallbackTerminatesAndRestoresDefaults)
{
    Reports reports;
    int32_t packet = start(VDEM_INTERFACE_600BPS, 0.0f, &reports);
    ASSERT_EQ(packet, 2560);
    EXPECT_EQ(VDEM_INTERFACE_cb_register_fdata_exit_fct(nullptr, nullptr),
              VDEM_CB_REGISTER_WRONG_POINTER);
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 0) << "the instance is idle";

    /* After a new init the saturation callback is the silent default again. */
    vdem_interface_config_t config{VDEM_INTERFACE_600BPS, 0.0f};
    char msg2[64];
    ASSERT_EQ(VDEM_INTERFACE_init(&config, msg2), VDEM_INTERFACE_OK);
    ASSERT_EQ(VDEM_INTERFACE_get_iq_packet_size(), packet);
    std::vector<int16_t> iq(2 * packet, 32767);
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), packet), VDEM_INTERFACE_POST_IQ_PKT_OK);
    EXPECT_TRUE(reports.rfsat.empty());
}

TEST_F(VdemLifecycle, EachNullRegistrationIsRefused)
{
    Reports reports;
    ASSERT_NE(start(VDEM_INTERFACE_600BPS, 0.0f, &reports), 0);
    EXPECT_EQ(VDEM_INTERFACE_cb_register_error_exit_fct(nullptr, nullptr),
              VDEM_CB_REGISTER_WRONG_POINTER);
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 0);

    ASSERT_NE(start(VDEM_INTERFACE_600BPS, 0.0f, &reports), 0);
    EXPECT_EQ(VDEM_INTERFACE_cb_register_rfsat_exit_fct(nullptr, nullptr),
              VDEM_CB_REGISTER_WRONG_POINTER);
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 0);
}

TEST_F(VdemLifecycle, CallbacksRegisteredBeforeInitStay)
{
    Reports reports;
    EXPECT_EQ(VDEM_INTERFACE_cb_register_rfsat_exit_fct(collect_rfsat, &reports),
              VDEM_CB_REGISTER_OK);
    ASSERT_EQ(init(VDEM_INTERFACE_600BPS, 0.0f), VDEM_INTERFACE_OK);
    int32_t packet = VDEM_INTERFACE_get_iq_packet_size();
    std::vector<int16_t> iq(2 * packet, 32767);
    VDEM_INTERFACE_post_iq_packet(iq.data(), packet);
    EXPECT_EQ(reports.rfsat.size(), 8u);

    VDEM_INTERFACE_cb_register_reset();
    VDEM_INTERFACE_post_iq_packet(iq.data(), packet);
    EXPECT_EQ(reports.rfsat.size(), 8u) << "reset puts the silent defaults back";
}

void terminate_from_callback(vdem_rfsat_t *, const void *userdata)
{
    int *calls = static_cast<int *>(const_cast<void *>(userdata));
    (*calls)++;
    VDEM_INTERFACE_terminate();
}

TEST_F(VdemLifecycle, TerminateFromInsideACallbackIsSafe)
{
    int calls = 0;
    ASSERT_EQ(init(VDEM_INTERFACE_600BPS, 0.0f), VDEM_INTERFACE_OK);
    int32_t packet = VDEM_INTERFACE_get_iq_packet_size();
    VDEM_INTERFACE_cb_register_rfsat_exit_fct(terminate_from_callback, &calls);
    std::vector<int16_t> iq(2 * packet, 32767);
    EXPECT_EQ(VDEM_INTERFACE_post_iq_packet(iq.data(), packet), VDEM_INTERFACE_POST_IQ_PKT_OK);
    EXPECT_EQ(calls, 1) << "processing stops with the instance";
    EXPECT_EQ(VDEM_INTERFACE_get_iq_packet_size(), 0);
    ASSERT_EQ(init(VDEM_INTERFACE_600BPS, 0.0f), VDEM_INTERFACE_OK);
}

} // namespace
