/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A picture of a recording's band: the waterfall's lines from top (the start)
 * to bottom, frequency across, a colour scale with its legend, and marks where
 * frames were heard (a ring with its label) or sent (a box over the time and
 * band the frame took), written as PNG with cairo. */
#pragma once

#include <string>
#include <vector>

#include "spectrum.h"

namespace waterfall
{

struct Mark {
    enum class Kind {
        Heard, /* a frame the receiver reported: a ring at its time and frequency */
        Sent,  /* a frame the recording's truth holds: a box over its time and band */
    };
    Kind kind = Kind::Heard;
    gdouble start_s = 0;  /* seconds of signal from the stream's start */
    gdouble end_s = 0;    /* Sent: where the frame ends */
    gdouble freq_hz = 0;  /* offset from the centre of the band */
    gdouble width_hz = 0; /* Sent: the band the frame takes */
    std::string label;
};

struct PictureOptions {
    std::string title;
    gdouble centre_hz = 0; /* the band's centre; 0: unknown, offsets are shown */
};

/* What a picture's marks and pixels are, for those who read them back. */
struct Layout {
    static constexpr gint kLeft = 80, kTop = 56, kRight = 170, kBottom = 64;
    static constexpr gint kMinPlotHeight = 480, kMaxPlotHeight = 2400;
    gint width = 0, height = 0; /* the image */
    gint plot_height = 0;       /* rows of the plot, below kTop */
    gdouble t0_s = 0;           /* the time at the plot's top edge */
    gdouble seconds_per_px = 0;
    gdouble x(gdouble hz) const; /* the pixel column of a frequency offset */
    gdouble y(gdouble seconds) const;
};

/* The colours of the marks: outside the colour scale, so that a mark never
 * passes for signal. */
constexpr guint32 kHeardRgb = 0x00ffff;
constexpr guint32 kSentRgb = 0x00ff00;

/* Lays @lines (in stream order) out as a picture would; or lines from
 * @first_s to @end_s seconds of signal. */
Layout plan_picture(const std::vector<Line> &lines);
Layout plan_picture(gdouble first_s, gdouble end_s);

/* Draws @lines with @marks into the PNG file @path. */
bool write_picture(const std::vector<Line> &lines, const std::vector<Mark> &marks,
                   const PictureOptions &options, const gchar *path, GError **error);

} // namespace waterfall
