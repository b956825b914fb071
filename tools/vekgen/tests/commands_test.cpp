/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The vekgen and vekdecode commands: the default scenario decodes completely, bad
 * usage gives one line on standard error and status 2. */
#include <cairo.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <picture.h>

#include "vekgen/vekgen.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace
{

struct Outcome {
    int status = -1;
    std::string out, err;
};

/* Runs a command; @setup runs in the child before it starts (standard output is then
 * not captured, the child may redirect it). */
Outcome run(std::vector<std::string> args, GSpawnChildSetupFunc setup = nullptr)
{
    std::vector<gchar *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Outcome r;
    gchar *out = nullptr, *err = nullptr;
    gint wait = 0;
    g_autoptr(GError) error = nullptr;
    if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, setup, nullptr,
                      setup == nullptr ? &out : nullptr, &err, &wait, &error)) {
        r.err = error->message;
        return r;
    }
    r.out = out != nullptr ? out : "";
    r.err = err;
    g_free(out);
    g_free(err);
    r.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return r;
}

/* Child set-ups (only async-signal-safe calls). */
void stdout_to_dev_full(gpointer)
{
    const int fd = open("/dev/full", O_WRONLY);
    if (fd >= 0)
        dup2(fd, STDOUT_FILENO);
}

void files_up_to_64_kib(gpointer)
{
    /* A write beyond the limit then fails with EFBIG instead of killing the process. */
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
}

bool exists(const std::string &path)
{
    return g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
}

const std::string kVekgen = std::string(VEK_TEST_BUILDDIR) + "/vekgen";
const std::string kVekdecode = std::string(VEK_TEST_BUILDDIR) + "/vekdecode";

class VekgenCommands : public ::testing::Test
{
  protected:
    void SetUp() override { dir_ = g_dir_make_tmp("vekgen-cmd-XXXXXX", nullptr); }
    void TearDown() override
    {
        for (const char *ext : {".sigmf-meta", ".sigmf-data", ".png"})
            g_remove((base() + ext).c_str());
        g_rmdir(dir_);
        g_free(dir_);
    }
    std::string base() const { return std::string(dir_) + "/rec"; }
    gchar *dir_ = nullptr;
};

TEST_F(VekgenCommands, DefaultScenarioIsDecodedCompletelyAtBothRates)
{
    Outcome gen = run({kVekgen, "-o", base(), "--truth"});
    ASSERT_EQ(gen.status, 0) << gen.err;
    EXPECT_EQ(std::count(gen.out.begin(), gen.out.end(), '\n'), 12) << gen.out;
    Outcome dec = run({kVekdecode, "--strict", base()});
    EXPECT_EQ(dec.status, 0) << dec.out << dec.err;
    EXPECT_NE(dec.out.find("100 bit/s: 6 sent, 6 found, 0 missed, 0 false"), std::string::npos)
        << dec.out;
    EXPECT_NE(dec.out.find("600 bit/s: 6 sent, 6 found, 0 missed, 0 false"), std::string::npos)
        << dec.out;
}

TEST_F(VekgenCommands, ChannelisedReceiverDecodesBothRatesInOnePass)
{
    Outcome gen = run({kVekgen, "-o", base()});
    ASSERT_EQ(gen.status, 0) << gen.err;
    Outcome dec = run({kVekdecode, "--strict", "--receiver", "vchan", base()});
    EXPECT_EQ(dec.status, 0) << dec.out << dec.err;
    EXPECT_NE(dec.out.find("100 bit/s: 6 sent, 6 found, 0 missed, 0 false"), std::string::npos)
        << dec.out;
    EXPECT_NE(dec.out.find("600 bit/s: 6 sent, 6 found, 0 missed, 0 false"), std::string::npos)
        << dec.out;
}

/* A raw .cs16 file carries no truth: the reports are printed without comparison, and
 * libvdem, which runs at one rate, must be told which. */
/* Two messages at 600 bit/s in noise: one at 4 dB Eb/N0 per repetition (each alone
 * is lost nine times in ten; together, about one message in a hundred, and this
 * seed's is received), one strong. vekdecode counts them and marks the report that
 * only combining gave. */
TEST_F(VekgenCommands, DecodeCountsMessagesAndMarksCombinedReports)
{
    Outcome gen = run({kVekgen, "-o", base(), "--noise", "45", "--seed", "4", "-m",
                       "at=0.5 rate=600 len=8 power=24", "-m", "at=3 rate=600 len=12 power=45"});
    ASSERT_EQ(gen.status, 0) << gen.err;
    Outcome dec = run({kVekdecode, "--receiver", "vchan", base()});
    EXPECT_EQ(dec.status, 0) << dec.out << dec.err;
    EXPECT_NE(dec.out.find(" combined=[1,"), std::string::npos) << dec.out;
    EXPECT_NE(dec.out.find("message 1 (600 bit/s, 3 repetitions sent) recovered by combining"),
              std::string::npos)
        << dec.out;
    EXPECT_NE(dec.out.find("600 bit/s: 2 messages sent, 2 received, 0 lost, 1 by combining"),
              std::string::npos)
        << dec.out;
}

TEST_F(VekgenCommands, RawRecordingIsDecodedWithoutTruth)
{
    Outcome gen = run({kVekgen, "-o", base()});
    ASSERT_EQ(gen.status, 0) << gen.err;
    const std::string raw = std::string(dir_) + "/rec.cs16";
    ASSERT_EQ(g_rename((base() + ".sigmf-data").c_str(), raw.c_str()), 0);
    Outcome both = run({kVekdecode, "--receiver", "vchan", raw});
    Outcome one = run({kVekdecode, "--rate", "600", raw});
    Outcome no_rate = run({kVekdecode, raw});
    g_remove(raw.c_str());
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(std::count(both.out.begin(), both.out.end(), '\n'), 14) << both.out;
    EXPECT_NE(both.out.find("100 bit/s: 6 reports"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("600 bit/s: 6 reports"), std::string::npos) << both.out;
    EXPECT_EQ(both.out.find("FALSE"), std::string::npos) << both.out;
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("600 bit/s: 6 reports"), std::string::npos) << one.out;
    EXPECT_EQ(no_rate.status, 2) << no_rate.out;
}

TEST_F(VekgenCommands, StrictDecodeReportsAMissedFrame)
{
    /* Too weak to be reported (rssi at or below -64 with the default gain of 98). */
    Outcome gen =
        run({kVekgen, "-o", base(), "--noise", "none", "-f", "at=0.1 power=30 len=9 rep=2"});
    ASSERT_EQ(gen.status, 0) << gen.err;
    Outcome dec = run({kVekdecode, "--strict", base()});
    EXPECT_EQ(dec.status, 3) << dec.out;
    EXPECT_NE(dec.out.find("1 sent, 0 found, 1 missed"), std::string::npos) << dec.out;
}

TEST_F(VekgenCommands, BadUsageIsOneLineOnStandardErrorWithStatusTwo)
{
    const std::vector<std::vector<std::string>> bad = {
        {kVekgen, "--frame", "len=10"},
        {kVekgen, "--noise", "loud"},
        {kVekgen, "--dc", "loud"},
        {kVekgen, "--bursts", "2"},
        {kVekgen, "-f", "at=0 ppm=5000"},
        {kVekgen, "--no-such-option"},
        {kVekgen, "-f", "at=0 power=60", "extra"},
        {kVekdecode},
        {kVekdecode, "--rate", "300", "x"},
        {kVekdecode, "--receiver", "other", "x"},
    };
    for (const auto &args : bad) {
        Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    Outcome missing = run({kVekdecode, base()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
}

TEST_F(VekgenCommands, FrameFileTakesOneFramePerLineAndNamesTheBadLine)
{
    const std::string list = std::string(dir_) + "/frames.txt";
    ASSERT_TRUE(g_file_set_contents(list.c_str(),
                                    "# two frames\n"
                                    "at=0.1 rate=600 len=8 bytes=0001020304050607\n"
                                    "\n"
                                    "at=0.6 rate=600 len=20 rep=3 freq=-40000 # far out\n",
                                    -1, nullptr));
    Outcome gen = run({kVekgen, "-o", base(), "-F", list, "--truth"});
    EXPECT_EQ(gen.status, 0) << gen.err;
    EXPECT_EQ(std::count(gen.out.begin(), gen.out.end(), '\n'), 2) << gen.out;
    EXPECT_NE(gen.out.find("bytes=0001020304050607"), std::string::npos) << gen.out;
    Outcome dec = run({kVekdecode, "--strict", base()});
    EXPECT_EQ(dec.status, 0) << dec.out;

    ASSERT_TRUE(g_file_set_contents(list.c_str(), "at=0.1\nat=0.2 len=13\n", -1, nullptr));
    Outcome bad = run({kVekgen, "-o", base(), "-F", list});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("frames.txt:2:"), std::string::npos) << bad.err;

    /* A NUL byte would end the text early and drop the frames after it. */
    ASSERT_TRUE(g_file_set_contents(list.c_str(), "at=0.1\n\0at=0.5 rate=600\n", 24, nullptr));
    Outcome nul = run({kVekgen, "-o", base(), "-F", list});
    EXPECT_EQ(nul.status, 2);
    EXPECT_NE(nul.err.find("frames.txt:2: a NUL byte"), std::string::npos) << nul.err;
    g_remove(list.c_str());
}

TEST_F(VekgenCommands, RefusesARecordingLongerThanAnHour)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {kVekgen, "-o", base(), "-f", "at=1000000"},
             {kVekgen, "-o", base(), "-f", "sample=691200000"},
             {kVekgen, "-o", base(), "-d", "3601"},
         }) {
        /* Under a file size limit, so that a regression fails instead of filling the disk. */
        Outcome r = run(args, files_up_to_64_kib);
        EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
        EXPECT_NE(r.err.find("3600"), std::string::npos) << r.err;
        EXPECT_FALSE(exists(base() + ".sigmf-data"));
    }
}

TEST_F(VekgenCommands, FailedWriteRemovesTheHalfWrittenRecording)
{
    /* The default scenario is some 15 MB of samples. */
    Outcome r = run({kVekgen, "-o", base()}, files_up_to_64_kib);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(base() + ".sigmf-data"));
    EXPECT_FALSE(exists(base() + ".sigmf-meta"));
}

TEST_F(VekgenCommands, LostStandardOutputFailsTheCommand)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(run({kVekgen, "-o", base(), "-f", "at=0.1"}).status, 0);
    for (const auto &args : std::vector<std::vector<std::string>>{
             {kVekgen, "-o", base(), "-f", "at=0.1", "--truth"},
             {kVekgen, "--version"},
             {kVekgen, "--help"},
             {kVekdecode, base()},
         }) {
        Outcome r = run(args, stdout_to_dev_full);
        EXPECT_EQ(r.status, 1) << args.back() << ": " << r.err;
        EXPECT_NE(r.err.find("cannot write standard output"), std::string::npos) << r.err;
    }
    /* A failure status of its own stays. */
    Outcome usage = run({kVekdecode, "--rate", "300", base()}, stdout_to_dev_full);
    EXPECT_EQ(usage.status, 2) << usage.err;
}

TEST_F(VekgenCommands, DecodeRefusesATruncatedRecording)
{
    ASSERT_EQ(run({kVekgen, "-o", base(), "-f", "at=0.1 rate=600"}).status, 0);
    ASSERT_EQ(truncate((base() + ".sigmf-data").c_str(), 4 * 20000), 0);
    Outcome r = run({kVekdecode, base()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the recording is truncated"), std::string::npos) << r.err;
}

TEST_F(VekgenCommands, HelpExplainsTheFrameKeysAndTheImpairments)
{
    Outcome r = run({kVekgen, "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *text : {"rate=100|600", "--frame-file", "--carrier-wander=HZ", "ppm=PPM",
                             "over the noise in a 300 Hz bin"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
}

TEST_F(VekgenCommands, ImpairmentOptionsAreNotedAndFramesOverrideThem)
{
    Outcome gen = run({kVekgen, "-o", base(), "--carriers", "2", "--drift", "10", "--truth", "-f",
                       "at=0.1 rate=600", "-f", "at=0.6 rate=600 drift=-5"});
    ASSERT_EQ(gen.status, 0) << gen.err;
    EXPECT_NE(gen.out.find(" drift=10\n"), std::string::npos) << gen.out;
    EXPECT_NE(gen.out.find(" drift=-5\n"), std::string::npos) << gen.out;
    g_autofree gchar *meta = nullptr;
    ASSERT_TRUE(g_file_get_contents((base() + ".sigmf-meta").c_str(), &meta, nullptr, nullptr));
    EXPECT_NE(std::string(meta).find("\"vekgen:impairments\" : \"carriers=2 drift=10\""),
              std::string::npos);
}

/* The picture of a recording: each frame's signal, its box and its ring where
 * the frame was, read back from the PNG's pixels. */
TEST_F(VekgenCommands, WaterfallMarksEachFrameWhereItWas)
{
    Outcome gen = run({kVekgen, "-o", base(), "--duration", "8", "-f",
                       "at=0.5 rate=100 len=12 freq=-40000 power=60", "-f",
                       "at=3.5 rate=100 len=8 freq=25000 power=55", "-f",
                       "at=6.0 rate=600 len=16 freq=-5000 power=58", "-f",
                       "at=6.9 rate=600 len=9 freq=70000 power=62"});
    ASSERT_EQ(gen.status, 0) << gen.err;
    const std::string png = base() + ".png";
    Outcome dec = run({kVekdecode, "--strict", "--receiver", "vchan", "--waterfall", png, base()});
    ASSERT_EQ(dec.status, 0) << dec.out << dec.err;
    cairo_surface_t *image = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    const guint8 *data = cairo_image_surface_get_data(image);
    const gint stride = cairo_image_surface_get_stride(image);
    auto pixel = [&](gdouble x, gdouble y) {
        return reinterpret_cast<const guint32 *>(data + static_cast<gint>(y) *
                                                            stride)[static_cast<gint>(x)] &
               0xffffff;
    };
    auto brightness = [&](gdouble x, gdouble y) {
        const guint32 c = pixel(x, y);
        return static_cast<gint>((c >> 16) + ((c >> 8) & 0xff) + (c & 0xff));
    };
    auto found = [&](gdouble x0, gdouble x1, gdouble y0, gdouble y1, guint32 rgb) {
        for (gdouble y = y0; y <= y1; y++)
            for (gdouble x = x0; x <= x1; x++)
                if (pixel(x, y) == rgb)
                    return true;
        return false;
    };
    const waterfall::Layout layout = waterfall::plan_picture(0.0, 8.0);
    EXPECT_EQ(cairo_image_surface_get_width(image), layout.width);
    EXPECT_EQ(cairo_image_surface_get_height(image), layout.height);

    VekgenRecording *rec = vekgen_recording_open(base().c_str(), nullptr);
    ASSERT_NE(rec, nullptr);
    guint n = 0;
    const VekgenFrame *frames = vekgen_recording_get_frames(rec, &n);
    ASSERT_EQ(n, 4u);
    for (guint i = 0; i < n; i++) {
        const VekgenFrame &f = frames[i];
        SCOPED_TRACE(f.offset_hz);
        const gdouble start = static_cast<gdouble>(f.start_sample) / VEKGEN_SAMPLE_RATE;
        const gdouble end = static_cast<gdouble>(vekgen_frame_end_sample(&f)) / VEKGEN_SAMPLE_RATE;
        const gdouble tail =
            static_cast<gdouble>(vekgen_frame_tail_end_sample(&f)) / VEKGEN_SAMPLE_RATE;
        const gdouble x = layout.x(f.offset_hz), mid = layout.y((start + end) / 2);
        /* The signal, well above the band where nothing was sent. */
        EXPECT_GT(brightness(x, mid), brightness(layout.x(f.offset_hz + 12000), mid) + 150);
        /* The box's edges, left and right of the frame, over its time. */
        const gdouble half = std::max(f.bit_rate * 1.0, 3 * waterfall::kBinHz);
        EXPECT_TRUE(found(layout.x(f.offset_hz - half) - 2, layout.x(f.offset_hz - half) + 2,
                          mid - 1, mid + 1, waterfall::kSentRgb));
        EXPECT_TRUE(found(layout.x(f.offset_hz + half) - 2, layout.x(f.offset_hz + half) + 2,
                          mid - 1, mid + 1, waterfall::kSentRgb));
        /* The ring: where the report came, after the frame's end and the
         * receiver's tail, at the end of the packet that ends it. */
        EXPECT_TRUE(
            found(x - 8, x + 8, layout.y(end) - 8, layout.y(tail + 0.4) + 8, waterfall::kHeardRgb));
    }
    vekgen_recording_close(rec);
    /* No mark where no frame was. */
    EXPECT_FALSE(found(layout.x(-90000) - 8, layout.x(-90000) + 8, layout.kTop,
                       layout.kTop + layout.plot_height - 1, waterfall::kHeardRgb));
    EXPECT_FALSE(found(layout.x(-90000) - 8, layout.x(-90000) + 8, layout.kTop,
                       layout.kTop + layout.plot_height - 1, waterfall::kSentRgb));
    cairo_surface_destroy(image);
}

} // namespace
