/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Configuration object, key files and key tables, level and trace texts, dump. */
#include "kvrlog_test_util.h"

#include <cstdio>

using namespace kvrlog_test;

namespace
{

std::string dump_of(KvrlogConf *conf)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    kvrlog_conf_dump(conf, stream);
    std::fclose(stream);
    std::string dump(text, size);
    std::free(text);
    return dump;
}

/* Registers the names the trace cases use: A = 0x1, B = 0x6. */
void register_a_and_b()
{
    kvrlog_register_trace("A", 0x1, nullptr);
    kvrlog_register_trace("B", 0x6, nullptr);
}

std::string trace_text(KvrlogConf *conf, guint64 mask)
{
    gchar *text = kvrlog_trace_to_str(conf, mask);
    std::string result = text;
    g_free(text);
    return result;
}

} // namespace

TEST(KvrlogConfObject, StartsWithTheDocumentedDefaults)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new();
    EXPECT_EQ(conf->level, KVRLOG_LEVEL_INFO);
    EXPECT_EQ(conf->trace, 0U);
    EXPECT_STREQ(conf->prog, "(none)");
    EXPECT_EQ(conf->type, KVRLOG_HELPER_FD);
    EXPECT_FALSE(conf->threads);
    EXPECT_EQ(conf->reg_traces, gsRegisteredTraces);
    EXPECT_EQ(conf->helper.fd.file, nullptr);
    EXPECT_STREQ(G_OBJECT_TYPE_NAME(conf), "KvrlogConf");
}

TEST(KvrlogConfObject, SecondConstructionReturnsTheLiveInstanceUnchanged)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    g_autoptr(KvrlogConf) first = kvrlog_conf_new_with_options(
        "level", static_cast<guint>(KVRLOG_LEVEL_ERR), "prog", "first", "type",
        static_cast<guint>(KVRLOG_HELPER_RFILE), "threads", TRUE, nullptr);
    g_autoptr(KvrlogConf) second = kvrlog_conf_new_with_options(
        "level", static_cast<guint>(KVRLOG_LEVEL_DEBUG), "prog", "second", "type",
        static_cast<guint>(KVRLOG_HELPER_FILE), nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(G_OBJECT(first)->ref_count, 2U);
    EXPECT_EQ(first->level, KVRLOG_LEVEL_ERR);
    EXPECT_STREQ(first->prog, "first");
    EXPECT_EQ(first->type, KVRLOG_HELPER_RFILE);
    EXPECT_TRUE(first->threads);
}

TEST(KvrlogConfObject, ANewInstanceFollowsTheLastRelease)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    KvrlogConf *first = kvrlog_conf_new_with_options("prog", "first", nullptr);
    kvrlog_conf_unref(first);
    g_autoptr(KvrlogConf) second = kvrlog_conf_new_with_options("prog", "second", nullptr);
    EXPECT_STREQ(second->prog, "second");
}

TEST(KvrlogConfObject, PropertiesReadBackAndTypeIsConstructOnly)
{
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new();
    g_object_set(conf, "level", 3U, "trace", G_MAXUINT64, "prog", "p", "threads", TRUE, nullptr);
    guint level = 0;
    guint64 trace = 0;
    g_autofree gchar *prog = nullptr;
    gboolean threads = FALSE;
    g_object_get(conf, "level", &level, "trace", &trace, "prog", &prog, "threads", &threads,
                 nullptr);
    EXPECT_EQ(level, 3U);
    EXPECT_EQ(trace, G_MAXUINT64);
    EXPECT_STREQ(prog, "p");
    EXPECT_TRUE(threads);
    GParamSpec *type = g_object_class_find_property(G_OBJECT_GET_CLASS(conf), "type");
    ASSERT_NE(type, nullptr);
    EXPECT_TRUE(type->flags & G_PARAM_CONSTRUCT_ONLY);
    EXPECT_EQ(G_PARAM_SPEC_UINT(type)->maximum, static_cast<guint>(KVRLOG_HELPER_MAX));
    GParamSpec *level_spec = g_object_class_find_property(G_OBJECT_GET_CLASS(conf), "level");
    EXPECT_STREQ(g_param_spec_get_nick(level_spec), "Log level");
    EXPECT_EQ(G_PARAM_SPEC_UINT(level_spec)->maximum, static_cast<guint>(KVRLOG_LEVEL_MAX));
}

TEST(KvrlogTraceParse, CombinesNamesAndHexadecimalPieces)
{
    register_a_and_b();
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new();
    GError *error = nullptr;
    EXPECT_EQ(kvrlog_conf_parse_trace(conf, " A \t|  0x8 ", &error), 0x9U);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(kvrlog_conf_parse_trace(conf, "B|A", &error), 0x7U);
    EXPECT_EQ(kvrlog_conf_parse_trace(conf, "A||0X10|", &error), 0x11U);
    EXPECT_EQ(kvrlog_conf_parse_trace(conf, "", &error), 0U);
    EXPECT_EQ(error, nullptr);
}

TEST(KvrlogTraceParse, SaturatesHexadecimalPiecesAt32Bits)
{
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new();
    EXPECT_EQ(kvrlog_conf_parse_trace(conf, "0x100000000", nullptr), 0xFFFFFFFFU);
    EXPECT_EQ(kvrlog_conf_parse_trace(conf, "0xffffffffffffffffff", nullptr), 0xFFFFFFFFU);
}

TEST(KvrlogTraceParse, RefusesUnknownNamesAndAMissingText)
{
    register_a_and_b();
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new();
    GError *error = nullptr;
    kvrlog_conf_parse_trace(conf, "A | C ", &error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRLOG_ERR_VALUE);
    EXPECT_STREQ(error->message, "cannot parse trace flag 'C'");
    g_clear_error(&error);
    kvrlog_conf_parse_trace(conf, "a", &error);
    ASSERT_NE(error, nullptr) << "names are case-sensitive";
    g_clear_error(&error);
    EXPECT_EQ(kvrlog_conf_parse_trace(conf, nullptr, &error), 0U);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRLOG_ERR_OOM);
    EXPECT_STREQ(error->message, "cannot allocate memory to parse trace");
    g_clear_error(&error);
}

TEST(KvrlogTraceParse, SeesNamesRegisteredAfterTheConfiguration)
{
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new();
    ASSERT_TRUE(kvrlog_register_trace("late", G_GUINT64_CONSTANT(1) << 40, nullptr));
    EXPECT_EQ(kvrlog_conf_parse_trace(conf, "late", nullptr), G_GUINT64_CONSTANT(1) << 40);
    g_auto(GStrv) names = kvrlog_conf_list_trace(conf, nullptr);
    ASSERT_NE(names, nullptr);
    EXPECT_TRUE(g_strv_contains(names, "late"));
}

TEST(KvrlogTraceText, NamesEveryBitInBitOrder)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    register_a_and_b();
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new();
    EXPECT_EQ(trace_text(conf, 0x7), "A | B | B");
    EXPECT_EQ(trace_text(conf, 0x100), "0x0000000000000100");
    EXPECT_EQ(trace_text(conf, 0x109), "A | 0x0000000000000108");
    EXPECT_EQ(trace_text(conf, 0), "");
}

TEST(KvrlogLevelParse, AcceptsLevelNamesIgnoringCase)
{
    GError *error = nullptr;
    EXPECT_EQ(kvrlog_conf_parse_level(nullptr, "level_warn", &error), KVRLOG_LEVEL_WARN);
    EXPECT_EQ(kvrlog_conf_parse_level(nullptr, "LEVEL_ERR", &error), KVRLOG_LEVEL_ERR);
    EXPECT_EQ(kvrlog_conf_parse_level(nullptr, "Level_Debug", &error), KVRLOG_LEVEL_DEBUG);
    EXPECT_EQ(kvrlog_conf_parse_level(nullptr, "LEVEL_INFO", &error), KVRLOG_LEVEL_INFO);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(kvrlog_conf_parse_level(nullptr, "WARN", &error), KVRLOG_LEVEL_INFO);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRLOG_ERR_NOT_FOUND);
    EXPECT_STREQ(error->message, "level 'WARN' not found");
    g_error_free(error);
}

TEST(KvrlogKeyFile, AppliesKeysInOrderUntilAnUnsupportedOne)
{
    register_a_and_b();
    g_autoptr(KvrlogConf) conf =
        kvrlog_conf_new_with_options("type", static_cast<guint>(KVRLOG_HELPER_CALLBACK), nullptr);
    g_autoptr(GKeyFile) file = g_key_file_new();
    const char *text = "[log]\nprog = station \nlevel = level_debug\ntrace = B | 0x8\n"
                       "colour = blue\nthreads = 1\n";
    ASSERT_TRUE(g_key_file_load_from_data(file, text, -1, G_KEY_FILE_NONE, nullptr));
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_conf_parse(conf, file, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, KVRLOG_ERR_NOT_FOUND);
    EXPECT_STREQ(error->message, "configuration item 'colour' not supported");
    g_error_free(error);
    EXPECT_STREQ(conf->prog, "station");
    EXPECT_EQ(conf->level, KVRLOG_LEVEL_DEBUG);
    EXPECT_EQ(conf->trace, 0xEU);
    EXPECT_FALSE(conf->threads);
}

TEST(KvrlogKeyFile, ReportsAMissingLogGroup)
{
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new();
    g_autoptr(GKeyFile) file = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_data(file, "[other]\na=1\n", -1, G_KEY_FILE_NONE, nullptr));
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_conf_parse(conf, file, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, G_KEY_FILE_ERROR);
    EXPECT_EQ(error->code, G_KEY_FILE_ERROR_GROUP_NOT_FOUND);
    g_error_free(error);
}

TEST(KvrlogKeyFile, KeepsTheOldValueWhenALevelOrTraceIsBad)
{
    g_autoptr(KvrlogConf) conf = kvrlog_conf_new_with_options(
        "level", static_cast<guint>(KVRLOG_LEVEL_ERR), "trace", G_GUINT64_CONSTANT(4), nullptr);
    g_autoptr(GKeyFile) file = g_key_file_new();
    ASSERT_TRUE(
        g_key_file_load_from_data(file, "[log]\nLEVEL = loud\n", -1, G_KEY_FILE_NONE, nullptr));
    GError *error = nullptr;
    EXPECT_FALSE(kvrlog_conf_parse(conf, file, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "level 'loud' not found");
    g_clear_error(&error);
    EXPECT_EQ(conf->level, KVRLOG_LEVEL_ERR);

    g_autoptr(GHashTable) items = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(items, const_cast<char *>("Trace"), const_cast<char *>("nope"));
    EXPECT_FALSE(kvrlog_conf_setup(conf, items, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "cannot parse trace flag 'nope'");
    g_clear_error(&error);
    EXPECT_EQ(conf->trace, 4U);
}

TEST(KvrlogKeyTable, FillsTheRotatingSinkSettings)
{
    g_autoptr(KvrlogConf) conf = make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO,
                                           {{"FILE", "/var/log/x.log"},
                                            {"modes", "ab"},
                                            {"max_size", "64"},
                                            {"history", "3"},
                                            {"extend_timestamp", "1"},
                                            {"level", "level_warn"}});
    EXPECT_STREQ(conf->helper.rfile.filename, "/var/log/x.log");
    EXPECT_STREQ(conf->helper.rfile.modes, "ab");
    EXPECT_EQ(conf->helper.rfile.max_size, 64U);
    EXPECT_EQ(conf->helper.rfile.history, 3U);
    EXPECT_EQ(conf->helper.rfile.extend_timestamp, 1U);
    EXPECT_EQ(conf->level, KVRLOG_LEVEL_WARN);
}

TEST(KvrlogKeyTable, TakesAndIgnoresOutOfRangeHistoryAndSize)
{
    g_autoptr(KvrlogConf) conf =
        make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_INFO, {{"max_size", "8"}, {"history", "2"}});
    GError *error = nullptr;
    g_autoptr(GHashTable) items = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(items, const_cast<char *>("history"), const_cast<char *>("5"));
    g_hash_table_insert(items, const_cast<char *>("max_size"), const_cast<char *>("0"));
    EXPECT_TRUE(kvrlog_conf_setup(conf, items, &error));
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(conf->helper.rfile.history, 2U);
    EXPECT_EQ(conf->helper.rfile.max_size, 8U);
}

TEST(KvrlogKeyTable, RefusesANameOrModeLongerThanItsField)
{
    struct Case {
        KvrlogHelperType type;
        const char *key;
        std::size_t length;
        bool taken;
    };
    /* A rotating name leaves room for the history suffix ".<n>". */
    const Case cases[] = {
        {KVRLOG_HELPER_FILE, "file", KVRLOG_FILENAME_SIZE - 1, true},
        {KVRLOG_HELPER_FILE, "file", KVRLOG_FILENAME_SIZE, false},
        {KVRLOG_HELPER_FILE, "FILE", 1000, false},
        {KVRLOG_HELPER_RFILE, "file", KVRLOG_FILENAME_SIZE - 3, true},
        {KVRLOG_HELPER_RFILE, "file", KVRLOG_FILENAME_SIZE - 2, false},
        {KVRLOG_HELPER_FILE, "modes", KVRLOG_MODES_SIZE - 1, true},
        {KVRLOG_HELPER_RFILE, "modes", KVRLOG_MODES_SIZE, false},
    };
    for (const auto &c : cases) {
        g_autoptr(KvrlogConf) conf =
            kvrlog_conf_new_with_options("type", static_cast<guint>(c.type), nullptr);
        const std::string value(c.length, c.key[0] == 'm' ? 'a' : 'x');
        g_autoptr(GHashTable) items = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(items, const_cast<char *>(c.key), const_cast<char *>(value.c_str()));
        GError *error = nullptr;
        EXPECT_EQ(kvrlog_conf_setup(conf, items, &error), c.taken) << c.key << " " << c.length;
        const std::string kept =
            c.key[0] == 'm' ? conf->helper.file.modes : conf->helper.file.filename;
        if (c.taken) {
            EXPECT_EQ(error, nullptr);
            EXPECT_EQ(kept, value);
            continue;
        }
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code, KVRLOG_ERR_VALUE);
        EXPECT_NE(std::string(error->message).find("too long"), std::string::npos)
            << error->message;
        EXPECT_EQ(kept, "") << "nothing of a refused value is kept";
        g_error_free(error);
    }
}

TEST(KvrlogDump, CallbackConfigurationHasSixLines)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    g_autoptr(KvrlogConf) conf =
        kvrlog_conf_new_with_options("type", static_cast<guint>(KVRLOG_HELPER_CALLBACK), nullptr);
    EXPECT_EQ(dump_of(conf), "  log {\n"
                             "    prog = (none)\n"
                             "    level = INFO\n"
                             "    trace = \n"
                             "    threads = 0\n"
                             "  }\n");
}

TEST(KvrlogDump, RotatingSinkAddsFileSizeAndHistory)
{
    KVRLOG_FRESH_PROCESS_OR_SKIP();
    register_a_and_b();
    g_autoptr(KvrlogConf) conf =
        make_conf(KVRLOG_HELPER_RFILE, KVRLOG_LEVEL_ERR,
                  {{"file", "x.log"}, {"modes", "a"}, {"max_size", "16"}, {"history", "4"}});
    g_object_set(conf, "trace", G_GUINT64_CONSTANT(1), "threads", TRUE, nullptr);
    EXPECT_EQ(dump_of(conf), "  log {\n"
                             "    prog = tprog\n"
                             "    level = ERROR\n"
                             "    trace = A\n"
                             "    threads = 1\n"
                             "    file = x.log (mode=a)\n"
                             "    max_size = 16 KB\n"
                             "    history = 4\n"
                             "  }\n");
}

TEST(KvrlogDump, FdSinkShowsDescriptorAndTimestampFlag)
{
    g_autoptr(KvrlogConf) conf = make_conf(KVRLOG_HELPER_FD, KVRLOG_LEVEL_INFO,
                                           {{"fd", "stderr"}, {"extend_timestamp", "7"}});
    const std::string dump = dump_of(conf);
    EXPECT_NE(dump.find("    file = 2 (ts=TRUE)\n"), std::string::npos) << dump;
}
