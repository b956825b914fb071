/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Locating the configuration file and the typed lookups with their diagnostics.
#include <kvrconf/kvrconf.h>

#include <gtest/gtest.h>

#include <glib/gstdio.h>
#include <string>
#include <utility>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace
{

const char *kSample = "[radio]\n"
                      "blank_int =   42  \n"
                      "octal = 010\n"
                      "zero = 0\n"
                      "bad_octal = 08\n"
                      "hex = 0x1f\n"
                      "upper_hex = 0X1F\n"
                      "negative = -12\n"
                      "minus_one = -1\n"
                      "big = 18446744073709551615\n"
                      "ratio = 2.5\n"
                      "t1 = TRUE\n"
                      "t2 = true\n"
                      "t3 = 1\n"
                      "f1 =  False \n"
                      "f2 = 0\n"
                      "yes = yes\n"
                      "name =   card one  \n"
                      "escaped = a\\tb\n"
                      "list = a ; b;c \n";

class KvrConfLookup : public ::testing::Test
{
  protected:
    GKeyFile *conf = nullptr;
    void SetUp() override
    {
        conf = g_key_file_new();
        ASSERT_TRUE(g_key_file_load_from_data(conf, kSample, -1, G_KEY_FILE_NONE, nullptr));
    }
    void TearDown() override { kvrConfRelease(conf); }
};

} // namespace

TEST_F(KvrConfLookup, IntegersChooseTheirBaseFromThePrefix)
{
    gboolean ok = FALSE;
    EXPECT_EQ(kvrConfGetInt(conf, "radio", "blank_int", &ok), 42);
    EXPECT_TRUE(ok);
    EXPECT_EQ(kvrConfGetInt(conf, "radio", "octal", &ok), 8);
    EXPECT_EQ(kvrConfGetInt(conf, "radio", "zero", &ok), 0);
    EXPECT_EQ(kvrConfGetInt(conf, "radio", "hex", &ok), 31);
    EXPECT_EQ(kvrConfGetInt(conf, "radio", "negative", &ok), -12);
    EXPECT_EQ(kvrConfGetUInt(conf, "radio", "minus_one", &ok), 4294967295u);
    EXPECT_EQ(kvrConfGetInt64(conf, "radio", "negative", &ok), -12);
    EXPECT_EQ(kvrConfGetUInt64(conf, "radio", "big", &ok), G_MAXUINT64);
    EXPECT_TRUE(ok);
}

TEST_F(KvrConfLookup, IntegerConversionFailuresAreReported)
{
    gboolean ok = TRUE;
    CaptureStderr();
    EXPECT_EQ(kvrConfGetInt(conf, "radio", "bad_octal", &ok), 0);
    EXPECT_EQ(GetCapturedStderr(), "Unable to convert key 'bad_octal' in group 'radio' : "
                                   "Unable to convert '08' into an integer with base 8\n");
    EXPECT_FALSE(ok);

    ok = TRUE;
    CaptureStderr();
    EXPECT_EQ(kvrConfGetUInt(conf, "radio", "upper_hex", &ok), 0u);
    EXPECT_NE(GetCapturedStderr().find("into an unsigned int with base 8"), std::string::npos);
    EXPECT_FALSE(ok);
}

TEST_F(KvrConfLookup, DefaultsAreReturnedAndAnnounced)
{
    CaptureStderr();
    EXPECT_EQ(kvrConfGetIntDefault(conf, "radio", "missing", -5), -5);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("Error getting key 'missing' in group 'radio' (cannot get raw value): ", 0),
              0u);
    EXPECT_NE(err.find("\nReturn default value '-5'\n"), std::string::npos);

    CaptureStderr();
    EXPECT_EQ(kvrConfGetUInt64Default(conf, "nogroup", "k", G_MAXUINT64), G_MAXUINT64);
    EXPECT_NE(GetCapturedStderr().find("Return default value '18446744073709551615'\n"),
              std::string::npos);

    CaptureStderr();
    EXPECT_DOUBLE_EQ(kvrConfGetDoubleDefault(conf, "radio", "name", 0.25), 0.25);
    err = GetCapturedStderr();
    EXPECT_NE(err.find("Unable to convert key 'name' in group 'radio' : Unable to convert "
                       "'card one' into a double\n"),
              std::string::npos);
    EXPECT_NE(err.find("Return default value '0.250000'\n"), std::string::npos);

    CaptureStderr();
    EXPECT_TRUE(kvrConfGetBoolDefault(conf, "radio", "yes", TRUE));
    EXPECT_NE(GetCapturedStderr().find("Return default value 'true'\n"), std::string::npos);

    // A present value wins over the default, silently.
    CaptureStderr();
    EXPECT_EQ(kvrConfGetInt64Default(conf, "radio", "hex", 0), 31);
    EXPECT_DOUBLE_EQ(kvrConfGetDoubleDefault(conf, "radio", "ratio", 0.0), 2.5);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(KvrConfLookup, BooleansAcceptTrueFalseOneAndZeroInAnyCase)
{
    gboolean ok = FALSE;
    for (const char *key : {"t1", "t2", "t3"}) {
        EXPECT_TRUE(kvrConfGetBool(conf, "radio", key, &ok)) << key;
        EXPECT_TRUE(ok);
    }
    for (const char *key : {"f1", "f2"}) {
        ok = FALSE;
        EXPECT_FALSE(kvrConfGetBool(conf, "radio", key, &ok)) << key;
        EXPECT_TRUE(ok);
    }
    CaptureStderr();
    EXPECT_FALSE(kvrConfGetBool(conf, "radio", "yes", &ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetCapturedStderr(), "Error getting key 'yes' in group 'radio' (not TRUE,FALSE,0 "
                                   "or 1 neither case insensitive ones)\n");
    CaptureStderr();
    EXPECT_FALSE(kvrConfGetBool(conf, "radio", "absent", &ok));
    EXPECT_EQ(GetCapturedStderr().rfind("Error getting key 'absent' in group 'radio' (neither "
                                        "uin64 nor raw value): ",
                                        0),
              0u);
}

TEST_F(KvrConfLookup, StringsAreTrimmedAndUnescaped)
{
    gboolean ok = FALSE;
    g_autofree gchar *name = kvrConfGetString(conf, "radio", "name", &ok);
    EXPECT_STREQ(name, "card one");
    EXPECT_TRUE(ok);
    g_autofree gchar *escaped = kvrConfGetString(conf, "radio", "escaped", &ok);
    EXPECT_STREQ(escaped, "a\tb");

    CaptureStderr();
    EXPECT_EQ(kvrConfGetString(conf, "radio", "absent", &ok), nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetCapturedStderr().rfind("Error getting key 'absent' in group 'radio' : ", 0), 0u);
}

TEST_F(KvrConfLookup, StringDefaultHandsBackTheCallersOwnTextTrimmed)
{
    char def[] = "  fallback  ";
    CaptureStderr();
    gchar *value = kvrConfGetStringDefault(conf, "radio", "absent", def);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(value, def);
    EXPECT_STREQ(value, "fallback");
    EXPECT_NE(err.find("Return default value '  fallback  '\n"), std::string::npos);
}

TEST_F(KvrConfLookup, StringDefaultWithoutBlanksIsNotWrittenTo)
{
    // A literal lives in read-only memory: any write to it would crash.
    static const char kLiteral[] = "fallback";
    CaptureStderr();
    gchar *value = kvrConfGetStringDefault(conf, "radio", "absent", const_cast<gchar *>(kLiteral));
    GetCapturedStderr();
    EXPECT_EQ(value, kLiteral);
    EXPECT_STREQ(value, "fallback");
}

TEST_F(KvrConfLookup, StringListsAreSplitAndTrimmed)
{
    gsize n = 0;
    gboolean ok = FALSE;
    g_auto(GStrv) list = kvrConfGetStringList(conf, "radio", "list", &n, &ok);
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(ok);
    ASSERT_EQ(n, 3u);
    EXPECT_STREQ(list[0], "a");
    EXPECT_STREQ(list[1], "b");
    EXPECT_STREQ(list[2], "c");

    CaptureStderr();
    EXPECT_EQ(kvrConfGetStringList(conf, "radio", "absent", &n, &ok), nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(GetCapturedStderr().rfind("Error getting key 'absent' in group 'radio' : ", 0), 0u);
}

TEST_F(KvrConfLookup, PresenceChecksAreSilent)
{
    CaptureStderr();
    EXPECT_TRUE(kvrConfHasGroup(conf, "radio"));
    EXPECT_FALSE(kvrConfHasGroup(conf, "log"));
    EXPECT_TRUE(kvrConfHasKey(conf, "radio", "hex"));
    EXPECT_FALSE(kvrConfHasKey(conf, "radio", "absent"));
    EXPECT_FALSE(kvrConfHasKey(conf, "nogroup", "hex"));
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(KvrConfLookup, MissingGroupOrKeyNameFailsCleanly)
{
    const std::pair<const char *, const char *> names[] = {{nullptr, "hex"}, {"radio", nullptr}};
    for (const auto &[group, key] : names) {
        gboolean ok = TRUE;
        CaptureStderr();
        EXPECT_EQ(kvrConfGetInt(conf, group, key, &ok), 0);
        EXPECT_FALSE(ok);
        ok = TRUE;
        EXPECT_FALSE(kvrConfGetBool(conf, group, key, &ok));
        EXPECT_FALSE(ok);
        ok = TRUE;
        EXPECT_EQ(kvrConfGetDouble(conf, group, key, &ok), 0.0);
        EXPECT_FALSE(ok);
        EXPECT_EQ(kvrConfGetUInt64Default(conf, group, key, 7), 7u);
        EXPECT_EQ(kvrConfGetString(conf, group, key, &ok), nullptr);
        gsize n = 1;
        EXPECT_EQ(kvrConfGetStringList(conf, group, key, &n, &ok), nullptr);
        EXPECT_EQ(n, 0u);
        const std::string err = GetCapturedStderr();
        EXPECT_NE(err.find("(cannot get raw value): no group or key name given\n"),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("(neither uin64 nor raw value): no group or key name given\n"),
                  std::string::npos)
            << err;
        EXPECT_EQ(err.find("CRITICAL"), std::string::npos) << err;
    }
}

TEST(KvrConfLookupWithoutFile, EveryLookupFailsCleanly)
{
    gboolean ok = TRUE;
    CaptureStderr();
    EXPECT_EQ(kvrConfGetInt(nullptr, "g", "k", &ok), 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(kvrConfGetString(nullptr, "g", "k", &ok), nullptr);
    EXPECT_FALSE(kvrConfHasKey(nullptr, "g", "k"));
    GetCapturedStderr();
}

// The search runs in the current directory, so each test works in a fresh one.
class KvrConfLocate : public ::testing::Test
{
  protected:
    std::string previous_dir;
    std::string dir;
    std::string name;
    void SetUp() override
    {
        g_autofree gchar *cwd = g_get_current_dir();
        previous_dir = cwd;
        g_autofree gchar *tmp = g_dir_make_tmp("kvrconf-XXXXXX", nullptr);
        ASSERT_NE(tmp, nullptr);
        dir = tmp;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        g_autofree gchar *unique = g_strdup_printf("kvrconf-test-%d.conf", getpid());
        name = unique;
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(previous_dir.c_str()), 0);
        g_autofree gchar *cmd = g_strdup_printf("rm -rf '%s'", dir.c_str());
        ASSERT_EQ(system(cmd), 0);
    }
    static void write(const std::string &path, const char *origin)
    {
        g_autofree gchar *text = g_strdup_printf("[where]\norigin=%s\n", origin);
        ASSERT_TRUE(g_file_set_contents(path.c_str(), text, -1, nullptr));
    }
    static std::string origin_of(GKeyFile *conf)
    {
        g_autofree gchar *value = kvrConfGetString(conf, "where", "origin", nullptr);
        return value ? value : "";
    }
};

TEST_F(KvrConfLocate, ConfFolderComesBeforeTheCurrentOne)
{
    ASSERT_EQ(g_mkdir("conf", 0755), 0);
    write("conf/" + name, "conf");
    write(name, "here");
    CaptureStderr();
    GKeyFile *conf = kvrConfGet(name.c_str());
    std::string err = GetCapturedStderr();
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(origin_of(conf), "conf");
    EXPECT_NE(err.find("Using the configuration file : '"), std::string::npos);
    EXPECT_NE(err.find("conf/" + name + "'\n"), std::string::npos);
    kvrConfRelease(conf);
}

TEST_F(KvrConfLocate, SystemFolderComesFirst)
{
    if (access("/etc/kavrin", W_OK) != 0 && g_mkdir_with_parents("/etc/kavrin", 0755) != 0)
        GTEST_SKIP() << "/etc/kavrin is not writable here (needs root)";
    std::string system_path = "/etc/kavrin/" + name;
    write(system_path, "system");
    write(name, "here");
    CaptureStderr();
    GKeyFile *conf = kvrConfGet(name.c_str());
    std::string err = GetCapturedStderr();
    g_unlink(system_path.c_str());
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(origin_of(conf), "system");
    EXPECT_EQ(err, "Using the configuration file : '" + system_path + "'\n");
    kvrConfRelease(conf);
}

TEST_F(KvrConfLocate, MissingFileIsReportedWithTheReason)
{
    CaptureStderr();
    EXPECT_EQ(kvrConfGet(name.c_str()), nullptr);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("Unable to locate '" + name +
                            "' in '/etc/kavrin/' or '/etc/' or './conf/' neither './' !\nReason: ",
                        0),
              0u);
}

TEST_F(KvrConfLocate, GivenPathIsLoadedExactly)
{
    write(name, "here");
    std::string path = dir + "/" + name;
    CaptureStderr();
    GKeyFile *conf = kvrConfSet(path.c_str());
    EXPECT_EQ(GetCapturedStderr(), "Using the configuration file : '" + path + "'\n");
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(origin_of(conf), "here");
    kvrConfRelease(conf);

    ASSERT_TRUE(g_file_set_contents("broken.conf", "no group here\n", -1, nullptr));
    CaptureStderr();
    EXPECT_EQ(kvrConfSet("broken.conf"), nullptr);
    EXPECT_EQ(GetCapturedStderr().rfind(
                  "Unable to parse the configuration file 'broken.conf'!\nReason: ", 0),
              0u);
}
