/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The picture: read back from its PNG, signal shows where it was and each mark
 * sits where its frame was. */
#include <cmath>

#include <cairo.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include "picture.h"

namespace
{

using namespace waterfall;

struct Png {
    explicit Png(const std::string &path)
        : surface(cairo_image_surface_create_from_png(path.c_str()))
    {
    }
    ~Png() { cairo_surface_destroy(surface); }
    bool ok() const { return cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS; }
    guint32 at(gint x, gint y) const
    {
        const guint8 *data = cairo_image_surface_get_data(surface);
        const gint stride = cairo_image_surface_get_stride(surface);
        return reinterpret_cast<const guint32 *>(data + y * stride)[x] & 0xffffff;
    }
    /* Whether @rgb is within @r pixels of (@x, @y). */
    bool near(gdouble x, gdouble y, guint32 rgb, gint r = 3) const
    {
        for (gint dy = -r; dy <= r; dy++)
            for (gint dx = -r; dx <= r; dx++)
                if (at(static_cast<gint>(std::lround(x)) + dx,
                       static_cast<gint>(std::lround(y)) + dy) == rgb)
                    return true;
        return false;
    }
    gint brightness(gint x, gint y) const
    {
        const guint32 c = at(x, y);
        return static_cast<gint>((c >> 16) + ((c >> 8) & 0xff) + (c & 0xff));
    }
    cairo_surface_t *surface;
};

class Picture : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = g_dir_make_tmp("waterfall-XXXXXX", nullptr);
        ASSERT_NE(dir_, nullptr);
        path_ = std::string(dir_) + "/band.png";
    }
    void TearDown() override
    {
        g_remove(path_.c_str());
        g_rmdir(dir_);
        g_free(dir_);
    }
    gchar *dir_ = nullptr;
    std::string path_;
};

/* Lines of noise at -120 dB, with a carrier at @hz from @from_s to @to_s. */
std::vector<Line> band(gdouble seconds, gdouble hz, gdouble from_s, gdouble to_s)
{
    std::vector<Line> lines;
    for (guint i = 0; i < seconds * kLinesPerSecond; i++) {
        Line l;
        l.seq = i;
        l.first_sample = i * kSamplesPerLine;
        l.blocks = kBlocksPerLine;
        for (guint b = 0; b < kBins; b++)
            l.db[b] = -120.0f + static_cast<float>((b * 7 + i * 13) % 5);
        const gdouble t = static_cast<gdouble>(i) / kLinesPerSecond;
        if (t >= from_s && t < to_s)
            l.db[bin_of(hz)] = -60.0f;
        lines.push_back(l);
    }
    return lines;
}

TEST_F(Picture, SignalAndMarksAreWhereTheFramesWere)
{
    /* A short recording (rows stretched to the least height) and a long one
     * (many lines to a row: a short burst must survive). */
    for (gdouble seconds : {12.0, 1500.0}) {
        SCOPED_TRACE(seconds);
        const gdouble hz = -30000, from = seconds / 3, to = from + 1.0;
        const std::vector<Line> lines = band(seconds, hz, from, to);
        std::vector<Mark> marks = {
            {Mark::Kind::Sent, from, to, hz, 600, ""},
            {Mark::Kind::Heard, to, to, hz, 0, "0x10a1"},
        };
        PictureOptions options;
        options.title = "test";
        g_autoptr(GError) error = nullptr;
        const Layout layout = plan_picture(lines);
        EXPECT_GE(layout.plot_height, Layout::kMinPlotHeight);
        EXPECT_LE(layout.plot_height, Layout::kMaxPlotHeight);
        {
            /* Without marks, the carrier shows where it was. */
            ASSERT_TRUE(write_picture(lines, {}, options, path_.c_str(), &error)) << error->message;
            const Png png(path_);
            ASSERT_TRUE(png.ok());
            const gint x = static_cast<gint>(layout.x(hz_of(bin_of(hz))));
            EXPECT_GT(png.brightness(x, static_cast<gint>(layout.y((from + to) / 2))),
                      png.brightness(x, static_cast<gint>(layout.y(from / 2))) + 200);
        }
        ASSERT_TRUE(write_picture(lines, marks, options, path_.c_str(), &error)) << error->message;
        const Png png(path_);
        ASSERT_TRUE(png.ok());
        EXPECT_EQ(cairo_image_surface_get_width(png.surface), layout.width);
        EXPECT_EQ(cairo_image_surface_get_height(png.surface), layout.height);
        /* The box's left edge at mid-frame, the ring at the frame's end. */
        EXPECT_TRUE(png.near(layout.x(hz - 3 * kBinHz), layout.y((from + to) / 2), kSentRgb));
        EXPECT_TRUE(png.near(layout.x(hz) - 6, layout.y(to), kHeardRgb));
        /* And nowhere else across the band at that time. */
        EXPECT_FALSE(png.near(layout.x(-hz), layout.y((from + to) / 2), kSentRgb, 20));
        EXPECT_FALSE(png.near(layout.x(-hz), layout.y(to), kHeardRgb, 20));
    }
}

TEST_F(Picture, EmptyRecordingAndUnwritablePath)
{
    g_autoptr(GError) error = nullptr;
    EXPECT_TRUE(write_picture({}, {}, {}, path_.c_str(), &error));
    EXPECT_TRUE(Png(path_).ok());
    const std::string bad = std::string(dir_) + "/missing/band.png";
    EXPECT_FALSE(write_picture(band(1, 0, 0, 0), {}, {}, bad.c_str(), &error));
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error->message).find(bad), std::string::npos);
}

} // namespace
