/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The public header compiles as C++20 and as C11; the enumerations are registered with GLib. */
#include "kvrlog_test_util.h"

extern "C" int kvrlog_header_c11_evaluations(void);
extern "C" const char *kvrlog_header_c11_level_type(void);

TEST(KvrlogHeader, GateMacrosEvaluateNothingWithoutALoggerInC11)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    ASSERT_EQ(gsKvrlogConf, nullptr);
    EXPECT_EQ(kvrlog_header_c11_evaluations(), 0);
    EXPECT_STREQ(kvrlog_header_c11_level_type(), "KvrlogLevel");
}

TEST(KvrlogEnums, LevelIsRegisteredWithItsNicks)
{
    GEnumClass *klass = static_cast<GEnumClass *>(g_type_class_ref(KVRLOG_TYPE_LEVEL));
    const struct {
        const char *nick;
        int value;
        const char *name;
    } expected[] = {{"debug", 0, "KVRLOG_LEVEL_DEBUG"},
                    {"info", 1, "KVRLOG_LEVEL_INFO"},
                    {"warn", 2, "KVRLOG_LEVEL_WARN"},
                    {"err", 3, "KVRLOG_LEVEL_ERR"},
                    {"max", 4, "KVRLOG_LEVEL_MAX"}};
    for (const auto &entry : expected) {
        GEnumValue *value = g_enum_get_value_by_nick(klass, entry.nick);
        ASSERT_NE(value, nullptr) << entry.nick;
        EXPECT_EQ(value->value, entry.value);
        EXPECT_STREQ(value->value_name, entry.name);
    }
    EXPECT_EQ(klass->n_values, 5U);
    g_type_class_unref(klass);
}

TEST(KvrlogEnums, HelperTypeIsRegisteredWithItsNicks)
{
    EXPECT_STREQ(g_type_name(KVRLOG_TYPE_HELPER_TYPE), "KvrlogHelperType");
    GEnumClass *klass = static_cast<GEnumClass *>(g_type_class_ref(KVRLOG_TYPE_HELPER_TYPE));
    const char *nicks[] = {"fd", "file", "rfile", "callback", "syslog", "max"};
    for (int i = 0; i < 6; ++i) {
        GEnumValue *value = g_enum_get_value(klass, i);
        ASSERT_NE(value, nullptr);
        EXPECT_STREQ(value->value_nick, nicks[i]);
    }
    g_type_class_unref(klass);
}
