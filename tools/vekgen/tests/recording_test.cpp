/* SPDX-License-Identifier: GPL-2.0-or-later */
/* SigMF recordings: what is written reads back, and bad files are refused clearly. */
#include "vekgen/vekgen.h"

#include <gtest/gtest.h>
#include <glib/gstdio.h>
#include <json-glib/json-glib.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

class VekgenRecording : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = g_dir_make_tmp("vekgen-test-XXXXXX", nullptr);
        ASSERT_NE(dir_, nullptr);
        base_ = std::string(dir_) + "/rec";
    }
    void TearDown() override
    {
        for (const char *ext : {".sigmf-meta", ".sigmf-data"})
            g_remove((base_ + ext).c_str());
        g_rmdir(dir_);
        g_free(dir_);
    }
    std::string meta() const { return base_ + ".sigmf-meta"; }
    std::string data() const { return base_ + ".sigmf-data"; }

    VekgenSignal *make_signal()
    {
        VekgenSignal *s = vekgen_signal_new(5, 20.0);
        g_autoptr(GRand) rand = g_rand_new_with_seed(5);
        for (const char *text : {"sample=1000 rate=600 len=16 rep=2 oob=1 freq=-1500 power=50",
                                 "sample=90000 rate=600 len=9 rep=3 freq=40000 power=45 inv=1"}) {
            VekgenFrame f;
            EXPECT_TRUE(vekgen_frame_parse(text, rand, &f, nullptr));
            EXPECT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
        }
        return s;
    }

    gchar *dir_ = nullptr;
    std::string base_;
};

TEST_F(VekgenRecording, RoundTripsSamplesAndTruth)
{
    g_autoptr(VekgenSignal) s = make_signal();
    ASSERT_TRUE(vekgen_recording_write(base_.c_str(), s, 0, nullptr));
    const guint64 n = vekgen_signal_get_end(s);
    g_autoptr(GError) error = nullptr;
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(meta().c_str(), &error);
    ASSERT_NE(rec, nullptr) << error->message;
    EXPECT_EQ(vekgen_recording_get_sample_rate(rec), 192000u);
    EXPECT_EQ(vekgen_recording_get_n_samples(rec), n);

    guint n_frames = 0, n_sent = 0;
    const VekgenFrame *got = vekgen_recording_get_frames(rec, &n_frames);
    const VekgenFrame *sent = vekgen_signal_get_frames(s, &n_sent);
    ASSERT_EQ(n_frames, n_sent);
    for (guint i = 0; i < n_frames; i++) {
        EXPECT_EQ(got[i].start_sample, sent[i].start_sample);
        EXPECT_EQ(got[i].covered_len, sent[i].covered_len);
        EXPECT_EQ(got[i].repetition, sent[i].repetition);
        EXPECT_EQ(got[i].oob, sent[i].oob);
        EXPECT_EQ(got[i].bit_rate, sent[i].bit_rate);
        EXPECT_EQ(got[i].inverted, sent[i].inverted);
        EXPECT_EQ(0, memcmp(got[i].bytes, sent[i].bytes, sent[i].covered_len));
        EXPECT_DOUBLE_EQ(got[i].offset_hz, sent[i].offset_hz);
        EXPECT_DOUBLE_EQ(got[i].power_db, sent[i].power_db);
    }

    g_autoptr(VekgenSignal) again = make_signal();
    std::vector<gint16> want(2 * n), read(2 * n + 2);
    vekgen_signal_fill(again, want.data(), n);
    gsize total = 0;
    for (;;) { /* in odd pieces, as a streaming reader would */
        gssize r = vekgen_recording_read(rec, read.data() + 2 * total, 7777, nullptr);
        ASSERT_GE(r, 0);
        if (r == 0)
            break;
        total += static_cast<gsize>(r);
        ASSERT_LE(total, n);
    }
    EXPECT_EQ(total, n);
    read.resize(2 * n);
    EXPECT_EQ(read, want);

    ASSERT_TRUE(vekgen_recording_rewind(rec, nullptr));
    gint16 first[2];
    ASSERT_EQ(vekgen_recording_read(rec, first, 1, nullptr), 1);
    EXPECT_EQ(first[0], want[0]);
}

TEST_F(VekgenRecording, KeepsTheTruthOfSignedMessages)
{
    g_autoptr(VekgenSignal) s = vekgen_signal_new(1, 30.0);
    const guint8 payload[] = {7, 8, 9};
    for (gboolean forge = FALSE; forge <= TRUE; forge++) {
        VekgenFrame f;
        vekgen_frame_init(&f);
        f.start_sample = forge ? 600000 : 1000;
        ASSERT_TRUE(vekgen_frame_set_uplink(&f, 0xC0FFEE, 42, payload, 3, forge, nullptr));
        ASSERT_TRUE(vekgen_signal_add_frame(s, &f, nullptr));
    }
    ASSERT_TRUE(vekgen_recording_write(base_.c_str(), s, 0, nullptr));
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base_.c_str(), nullptr);
    ASSERT_NE(rec, nullptr);
    guint n = 0;
    const VekgenFrame *got = vekgen_recording_get_frames(rec, &n);
    ASSERT_EQ(n, 2u);
    for (guint i = 0; i < n; i++) {
        EXPECT_TRUE(got[i].uplink);
        EXPECT_EQ(got[i].device_id, 0xC0FFEEu);
        EXPECT_EQ(got[i].seq, 42);
        EXPECT_EQ(got[i].forged, static_cast<gboolean>(i == 1));
    }
}

TEST_F(VekgenRecording, MetaIsSigmfWithOneAnnotationPerFrame)
{
    g_autoptr(VekgenSignal) s = make_signal();
    ASSERT_TRUE(vekgen_recording_write(base_.c_str(), s, 0, nullptr));
    g_autoptr(JsonParser) parser = json_parser_new();
    ASSERT_TRUE(json_parser_load_from_file(parser, meta().c_str(), nullptr));
    JsonObject *root = json_node_get_object(json_parser_get_root(parser));
    JsonObject *global = json_object_get_object_member(root, "global");
    EXPECT_STREQ(json_object_get_string_member(global, "core:datatype"), "ci16_le");
    EXPECT_EQ(json_object_get_int_member(global, "core:sample_rate"), 192000);
    JsonArray *ann = json_object_get_array_member(root, "annotations");
    ASSERT_EQ(json_array_get_length(ann), 2u);
    JsonObject *a = json_array_get_object_element(ann, 0);
    EXPECT_EQ(json_object_get_int_member(a, "core:sample_start"), 1000);
    EXPECT_EQ(json_object_get_int_member(a, "vekgen:pattern"), 0xFC9);
    EXPECT_EQ(json_object_get_int_member(a, "core:sample_count"), (41 + 8 * 18) * 320);
    EXPECT_TRUE(json_object_get_boolean_member(a, "vekgen:oob"));
}

TEST_F(VekgenRecording, DataIsLittleEndianAndStartsAtTheSignalPosition)
{
    g_autoptr(VekgenSignal) s = make_signal();
    vekgen_signal_skip(s, 500);
    ASSERT_TRUE(vekgen_recording_write(base_.c_str(), s, 60000, nullptr));
    gchar *bytes = nullptr;
    gsize len = 0;
    ASSERT_TRUE(g_file_get_contents(data().c_str(), &bytes, &len, nullptr));
    g_autofree gchar *owned = bytes;
    ASSERT_EQ(len, 240000u);
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base_.c_str(), nullptr);
    ASSERT_NE(rec, nullptr);
    guint n = 0;
    const VekgenFrame *frames = vekgen_recording_get_frames(rec, &n);
    ASSERT_EQ(n, 1u); /* the second frame lies beyond the 60000 samples */
    EXPECT_EQ(frames[0].start_sample, 500u);
    gint16 iq[2];
    ASSERT_EQ(vekgen_recording_read(rec, iq, 1, nullptr), 1);
    const auto *u = reinterpret_cast<const guint8 *>(bytes);
    EXPECT_EQ(iq[0], static_cast<gint16>(u[0] | (u[1] << 8)));
    EXPECT_EQ(iq[1], static_cast<gint16>(u[2] | (u[3] << 8)));
}

TEST_F(VekgenRecording, RefusesMissingAndMalformedFiles)
{
    g_autoptr(GError) error = nullptr;
    EXPECT_EQ(vekgen_recording_open(base_.c_str(), &error), nullptr);
    ASSERT_NE(error, nullptr);
    g_clear_error(&error);

    struct Case {
        const char *meta;
        const char *why;
    } cases[] = {
        {"not json", "syntax"},
        {"[1,2]", "no global"},
        {R"({"global":{"core:datatype":"cf32_le","core:sample_rate":192000}})", "datatype"},
        {R"({"global":{"core:datatype":"ci16_le"}})", "no rate"},
        {R"({"global":{"core:datatype":"ci16_le","core:sample_rate":192000},"annotations":[
            {"core:sample_start":0,"vekgen:covered_length":8,"vekgen:repetition":1,
             "vekgen:bit_rate":100,"vekgen:oob":false,"vekgen:offset_hz":0,"vekgen:power_db":50,
             "vekgen:bytes":"00"}]})",
         "short bytes"},
        {R"({"global":{"core:datatype":"ci16_le","core:sample_rate":192000},"annotations":[
            {"core:sample_start":-4,"vekgen:covered_length":8}]})",
         "negative start"},
        {R"({"global":{"core:datatype":"ci16_le","core:sample_rate":192000},"annotations":[
            {"core:sample_start":0,"vekgen:covered_length":10,"vekgen:repetition":1,
             "vekgen:bit_rate":100,"vekgen:oob":false,"vekgen:offset_hz":0,"vekgen:power_db":50,
             "vekgen:bytes":"00000000000000000000"}]})",
         "no such type"},
    };
    ASSERT_TRUE(g_file_set_contents(data().c_str(), "\0\0\0\0", 4, nullptr));
    for (const auto &c : cases) {
        ASSERT_TRUE(g_file_set_contents(meta().c_str(), c.meta, -1, nullptr));
        EXPECT_EQ(vekgen_recording_open(base_.c_str(), &error), nullptr) << c.why;
        ASSERT_NE(error, nullptr) << c.why;
        g_clear_error(&error);
    }

    ASSERT_TRUE(g_file_set_contents(
        meta().c_str(), R"({"global":{"core:datatype":"ci16_le","core:sample_rate":192000}})", -1,
        nullptr));
    ASSERT_TRUE(g_file_set_contents(data().c_str(), "\0\0\0\0\0\0", 6, nullptr));
    EXPECT_EQ(vekgen_recording_open(base_.c_str(), &error), nullptr);
    EXPECT_TRUE(g_error_matches(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE));
    g_clear_error(&error);
    ASSERT_TRUE(g_file_set_contents(data().c_str(), "\0\0\0\0\0\0\0\0", 8, nullptr));
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base_.c_str(), &error);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(vekgen_recording_get_n_samples(rec), 2u);
}

TEST_F(VekgenRecording, AnnotatesOnlyTheFramesItHoldsWhole)
{
    g_autoptr(VekgenSignal) s = make_signal();
    /* The first frame runs from sample 1000 to 60200. */
    ASSERT_TRUE(vekgen_recording_write(base_.c_str(), s, 60199, nullptr));
    g_autoptr(GError) error = nullptr;
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base_.c_str(), &error);
    ASSERT_NE(rec, nullptr) << error->message;
    guint n = 1;
    vekgen_recording_get_frames(rec, &n);
    EXPECT_EQ(n, 0u);
}

TEST_F(VekgenRecording, RefusesDataThatEndsBeforeItsFrames)
{
    g_autoptr(VekgenSignal) s = make_signal();
    ASSERT_TRUE(vekgen_recording_write(base_.c_str(), s, 0, nullptr));
    const guint64 n = vekgen_signal_get_end(s);
    guint n_frames = 0;
    const guint64 last_end = vekgen_frame_end_sample(&vekgen_signal_get_frames(s, &n_frames)[1]);

    /* Cut inside the last frame: refused at open. */
    ASSERT_EQ(truncate(data().c_str(), static_cast<off_t>(4 * (last_end - 1))), 0);
    g_autoptr(GError) error = nullptr;
    EXPECT_EQ(vekgen_recording_open(base_.c_str(), &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, VEKGEN_ERROR, VEKGEN_ERROR_TRUNCATED)) << error->message;
    EXPECT_NE(strstr(error->message, "truncated"), nullptr) << error->message;
    g_clear_error(&error);

    /* Cut after the last frame: the recording holds it, and reads what it has. */
    ASSERT_EQ(truncate(data().c_str(), static_cast<off_t>(4 * last_end)), 0);
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base_.c_str(), &error);
    ASSERT_NE(rec, nullptr) << error->message;
    EXPECT_EQ(vekgen_recording_get_n_samples(rec), last_end);
    EXPECT_LT(last_end, n);

    /* Shrunk while being read: the read fails instead of ending early. */
    std::vector<gint16> iq(2 * last_end);
    ASSERT_EQ(vekgen_recording_read(rec, iq.data(), 1000, nullptr), 1000);
    ASSERT_EQ(truncate(data().c_str(), 4 * 3000), 0);
    EXPECT_EQ(vekgen_recording_read(rec, iq.data(), last_end, &error), -1);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, VEKGEN_ERROR, VEKGEN_ERROR_TRUNCATED)) << error->message;
}

TEST_F(VekgenRecording, RefusesDataThatIsNotARegularFile)
{
    g_autoptr(VekgenSignal) s = make_signal();
    ASSERT_TRUE(vekgen_recording_write(base_.c_str(), s, 1000, nullptr));
    ASSERT_EQ(g_remove(data().c_str()), 0);
    /* A link to a device that never ends, and a FIFO that would block the open. */
    ASSERT_EQ(symlink("/dev/zero", data().c_str()), 0);
    g_autoptr(GError) error = nullptr;
    EXPECT_EQ(vekgen_recording_open(base_.c_str(), &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(strstr(error->message, "not a regular file"), nullptr) << error->message;
    g_clear_error(&error);

    ASSERT_EQ(g_remove(data().c_str()), 0);
    ASSERT_EQ(mkfifo(data().c_str(), 0600), 0);
    EXPECT_EQ(vekgen_recording_open(base_.c_str(), &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(strstr(error->message, "not a regular file"), nullptr) << error->message;
}

TEST_F(VekgenRecording, RefusesADescriptionTooDeepOrTooLargeBeforeParsingIt)
{
    ASSERT_TRUE(g_file_set_contents(data().c_str(), "\0\0\0\0", 4, nullptr));
    const std::string global = R"("global":{"core:datatype":"ci16_le","core:sample_rate":192000})";
    /* json-glib would recurse once per level and overflow the stack. */
    const int levels = 100000;
    std::string deep =
        "{" + global + R"(,"x":)" + std::string(levels, '[') + std::string(levels, ']') + "}";
    ASSERT_TRUE(g_file_set_contents(meta().c_str(), deep.c_str(), -1, nullptr));
    g_autoptr(GError) error = nullptr;
    EXPECT_EQ(vekgen_recording_open(base_.c_str(), &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(strstr(error->message, "nests deeper"), nullptr) << error->message;
    g_clear_error(&error);

    /* Brackets inside strings are text. */
    std::string bracketed = "{" + global + R"(,"x":")" + std::string(levels, '[') + R"(\"{"})";
    ASSERT_TRUE(g_file_set_contents(meta().c_str(), bracketed.c_str(), -1, nullptr));
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base_.c_str(), &error);
    EXPECT_NE(rec, nullptr) << error->message;
    g_clear_error(&error);

    /* Valid, but larger than a description may be. */
    std::string large = "{" + global + "}" + std::string(17 << 20, ' ');
    ASSERT_TRUE(g_file_set_contents(meta().c_str(), large.c_str(), -1, nullptr));
    EXPECT_EQ(vekgen_recording_open(base_.c_str(), &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(strstr(error->message, "MiB"), nullptr) << error->message;
}

TEST_F(VekgenRecording, WriteReportsAnUnwritablePath)
{
    g_autoptr(VekgenSignal) s = make_signal();
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(
        vekgen_recording_write((std::string(dir_) + "/no/such/dir/rec").c_str(), s, 100, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_NE(strstr(error->message, "no/such/dir"), nullptr) << error->message;
}

} // namespace
