/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The library log: line format, levels, size limits and registration. The
 * registration is process-wide and cannot be undone; every test registers
 * its own recorder first. */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <xvek/xvek.h>

namespace
{

struct Seen {
    VekDevice *device;
    std::string line;
};
std::vector<Seen> gSeen;

gboolean record_line(VekDevice *device, const gchar *line)
{
    gSeen.push_back({device, line});
    return TRUE;
}

gboolean other_recorder(VekDevice *device, const gchar *line)
{
    gSeen.push_back({device, std::string("other:") + line});
    return FALSE;
}

class XvekLog : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        device_ = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
        ASSERT_TRUE(xvek_logSetCB(device_, record_line, nullptr, nullptr, nullptr));
        gSeen.clear();
    }
    void TearDown() override
    {
        /* Registrations cannot be removed: point the log at a device that
         * outlives every test before this one goes. */
        static VekDevice *keeper =
            static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
        xvek_logSetCB(keeper, record_line, nullptr, nullptr, nullptr);
        g_object_unref(device_);
        gSeen.clear();
    }
    VekDevice *device_ = nullptr;
};

TEST_F(XvekLog, LineIsTagColonMessageAndGoesWithTheRegisteredDevice)
{
    EXPECT_TRUE(xvek_log(LOG_LEVEL_ERR, "x=%d", 5));
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].line, "ERR: x=5");
    EXPECT_EQ(gSeen[0].device, device_);
    EXPECT_TRUE(xvek_log_is_init(nullptr));
}

TEST_F(XvekLog, EveryKnownLevelPassesWithItsTag)
{
    EXPECT_TRUE(xvek_log(LOG_LEVEL_DEBUG, "a"));
    EXPECT_TRUE(xvek_log(LOG_LEVEL_INFO, "b"));
    EXPECT_TRUE(xvek_log(LOG_LEVEL_WARN, "c"));
    EXPECT_TRUE(xvek_log(LOG_LEVEL_ERR, "d"));
    ASSERT_EQ(gSeen.size(), 4u);
    EXPECT_EQ(gSeen[0].line, "DEBUG: a");
    EXPECT_EQ(gSeen[1].line, "INFO: b");
    EXPECT_EQ(gSeen[2].line, "WARN: c");
    EXPECT_EQ(gSeen[3].line, "ERR: d");
}

TEST_F(XvekLog, UnknownLevelsAreRefusedWithoutOutput)
{
    EXPECT_FALSE(xvek_log(LOG_LEVEL_UNK, "x"));
    EXPECT_FALSE(xvek_log(static_cast<VekKvrlogLevel>(-1), "x"));
    EXPECT_FALSE(xvek_log(static_cast<VekKvrlogLevel>(99), "x"));
    EXPECT_TRUE(gSeen.empty());
}

TEST_F(XvekLog, MessageOfMoreThan519CharactersIsRefusedWithAWarning)
{
    const std::string big(600, 'a');
    testing::internal::CaptureStdout();
    EXPECT_FALSE(xvek_log(LOG_LEVEL_INFO, "%s", big.c_str()));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Warning_XVEK_LOG: Msg too big to be logged. Msg_Size:600\n\r");
    EXPECT_TRUE(gSeen.empty());

    testing::internal::CaptureStdout();
    EXPECT_FALSE(xvek_log(LOG_LEVEL_INFO, "%s", std::string(520, 'b').c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning_XVEK_LOG: Msg too big to be logged. Msg_Size:520\n\r");
}

TEST_F(XvekLog, MessagesFrom512To519CharactersAreCutTo511)
{
    std::string msg;
    for (int i = 0; i < 515; i++)
        msg += static_cast<char>('a' + i % 26);
    EXPECT_TRUE(xvek_log(LOG_LEVEL_WARN, "%s", msg.c_str()));
    EXPECT_TRUE(xvek_log(LOG_LEVEL_WARN, "%s", std::string(519, 'z').c_str()));
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].line, "WARN: " + msg.substr(0, 511));
    EXPECT_EQ(gSeen[1].line, "WARN: " + std::string(511, 'z'));
}

TEST_F(XvekLog, LongestMessageStillFitsTheLineBufferWithTheLongestTag)
{
    /* "DEBUG: " + 511 characters is cut to 518 by the line buffer. */
    EXPECT_TRUE(xvek_log(LOG_LEVEL_DEBUG, "%s", std::string(511, 'q').c_str()));
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].line.size(), 518u);
    EXPECT_EQ(gSeen[0].line.substr(0, 8), "DEBUG: q");
}

TEST_F(XvekLog, ALaterRegistrationReplacesTheEarlierOne)
{
    VekDevice *second = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    ASSERT_TRUE(xvek_logSetCB(second, other_recorder, nullptr, nullptr, nullptr));
    gSeen.clear(); /* the object's construction logged through the first callback */
    EXPECT_TRUE(xvek_log(LOG_LEVEL_INFO, "n=%u", 3u)); /* the callback's FALSE is ignored */
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].line, "other:INFO: n=3");
    EXPECT_EQ(gSeen[0].device, second);
    ASSERT_TRUE(xvek_logSetCB(device_, record_line, nullptr, nullptr, nullptr));
    g_object_unref(second);
}

TEST_F(XvekLog, RegistrationWithoutDeviceOrCallbackIsRefusedAndKeepsTheOldOne)
{
    testing::internal::CaptureStdout();
    EXPECT_FALSE(xvek_logSetCB(nullptr, other_recorder, nullptr, nullptr, nullptr));
    EXPECT_FALSE(xvek_logSetCB(device_, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "xvek_logSetCB: Check callback validity failed\n\r"
              "xvek_logSetCB: Check callback validity failed\n\r");
    EXPECT_TRUE(xvek_log(LOG_LEVEL_INFO, "still"));
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].line, "INFO: still");
}

} // namespace
