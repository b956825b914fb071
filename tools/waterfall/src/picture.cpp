/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The waterfall picture, drawn with cairo. */
#include "picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>

#include <cairo.h>
#include <fontconfig/fontconfig.h>

namespace waterfall
{

namespace
{

constexpr gdouble kLineSeconds = 1.0 / kLinesPerSecond;

struct SurfaceFree {
    void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct ContextFree {
    void operator()(cairo_t *c) const { cairo_destroy(c); }
};

/* The colour scale: dark blue through purple and orange to pale yellow,
 * read in order of brightness, without green or cyan (the marks' colours). */
struct Stop {
    gdouble at;
    guint8 r, g, b;
};
constexpr Stop kScale[] = {{0.00, 0, 0, 16},     {0.25, 60, 10, 110},  {0.50, 160, 40, 110},
                           {0.75, 240, 110, 40}, {0.90, 252, 190, 60}, {1.00, 255, 250, 190}};

guint32 colour(gdouble v)
{
    v = std::clamp(v, 0.0, 1.0);
    for (gsize i = 1; i < G_N_ELEMENTS(kScale); i++) {
        const Stop &a = kScale[i - 1], &b = kScale[i];
        if (v <= b.at) {
            const gdouble f = (v - a.at) / (b.at - a.at);
            auto mix = [f](guint8 p, guint8 q) {
                return static_cast<guint32>(std::lround(p + f * (q - p)));
            };
            return (mix(a.r, b.r) << 16) | (mix(a.g, b.g) << 8) | mix(a.b, b.b);
        }
    }
    return 0xfffabe;
}

void set_rgb(cairo_t *cr, guint32 rgb)
{
    cairo_set_source_rgb(cr, ((rgb >> 16) & 0xff) / 255.0, ((rgb >> 8) & 0xff) / 255.0,
                         (rgb & 0xff) / 255.0);
}

gdouble line_start_s(const Line &line)
{
    return static_cast<gdouble>(line.first_sample) / kSampleRate;
}

/* The scale's ends: from just under the noise floor (the median of every
 * value) to the strongest value, at least 20 and at most 80 dB apart. */
std::pair<gdouble, gdouble> scale_range(const std::vector<Line> &lines)
{
    std::vector<float> all;
    all.reserve(lines.size() * kBins);
    float top = -300;
    for (const Line &l : lines)
        for (float v : l.db) {
            all.push_back(v);
            top = std::max(top, v);
        }
    if (all.empty())
        return {-140.0, -60.0};
    std::nth_element(all.begin(), all.begin() + all.size() / 2, all.end());
    const gdouble lo = std::floor(all[all.size() / 2] - 3.0);
    return {lo, std::clamp<gdouble>(std::ceil(top), lo + 20.0, lo + 80.0)};
}

/* A step for ticks at least @min_px apart when one unit is @px_per_unit. */
gdouble tick_step(gdouble px_per_unit, gdouble min_px)
{
    static const gdouble steps[] = {0.25, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1200, 1800};
    for (gdouble s : steps)
        if (s * px_per_unit >= min_px)
            return s;
    return 3600;
}

void text_at(cairo_t *cr, gdouble x, gdouble y, const std::string &text, gdouble align_x = 0,
             gdouble align_y = 0)
{
    cairo_text_extents_t ext;
    cairo_text_extents(cr, text.c_str(), &ext);
    cairo_move_to(cr, x - align_x * ext.width - ext.x_bearing,
                  y - align_y * ext.height - ext.y_bearing);
    cairo_show_text(cr, text.c_str());
}

/* The plot's pixels, straight into the surface. */
void paint_lines(cairo_surface_t *surface, const Layout &layout, const std::vector<Line> &lines,
                 gdouble lo, gdouble hi)
{
    cairo_surface_flush(surface);
    guint8 *data = cairo_image_surface_get_data(surface);
    const gint stride = cairo_image_surface_get_stride(surface);
    /* Each row shows the strongest value of the lines that fall into it, so
     * that a short burst survives when many lines share a row. */
    std::vector<float> row(kBins);
    gint current = -1;
    auto put_row = [&](gint y) {
        auto *px = reinterpret_cast<guint32 *>(data + static_cast<gsize>(y) * stride);
        for (guint b = 0; b < kBins; b++)
            px[layout.kLeft + b] = 0xff000000u | colour((row[b] - lo) / (hi - lo));
    };
    for (const Line &line : lines) {
        const gint top = static_cast<gint>(std::floor(layout.y(line_start_s(line))));
        const gint bottom =
            static_cast<gint>(std::ceil(layout.y(line_start_s(line) + kLineSeconds)));
        for (gint y = top; y < std::max(bottom, top + 1); y++) {
            if (y < layout.kTop || y >= layout.kTop + layout.plot_height)
                continue;
            if (y != current) {
                if (current >= 0)
                    put_row(current);
                std::copy(line.db.begin(), line.db.end(), row.begin());
                current = y;
            } else {
                for (guint b = 0; b < kBins; b++)
                    row[b] = std::max(row[b], line.db[b]);
            }
        }
    }
    if (current >= 0)
        put_row(current);
    cairo_surface_mark_dirty(surface);
}

void draw_axes(cairo_t *cr, const Layout &layout, const PictureOptions &options)
{
    const gdouble plot_bottom = layout.kTop + layout.plot_height;
    cairo_set_line_width(cr, 1);
    set_rgb(cr, 0x000000);
    cairo_rectangle(cr, layout.kLeft - 0.5, layout.kTop - 0.5, kBins + 1, layout.plot_height + 1);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 12);
    /* Frequency: every 24 kHz, as offsets or, with the centre known, in MHz. */
    for (gint khz = -96; khz <= 96; khz += 24) {
        const gdouble x = std::min(layout.x(khz * 1000.0), layout.kLeft + kBins - 0.5);
        cairo_move_to(cr, x, plot_bottom);
        cairo_line_to(cr, x, plot_bottom + 5);
        cairo_stroke(cr);
        g_autofree gchar *label =
            options.centre_hz > 0
                ? g_strdup_printf("%.3f", (options.centre_hz + khz * 1000.0) / 1e6)
                : g_strdup_printf("%+d", khz);
        text_at(cr, x, plot_bottom + 8, khz == 0 && options.centre_hz <= 0 ? "0" : label, 0.5, 0);
    }
    text_at(cr, layout.kLeft + kBins / 2.0, plot_bottom + 30,
            options.centre_hz > 0 ? "frequency (MHz)" : "offset from the band's centre (kHz)", 0.5,
            0);
    /* Time: seconds from the start, downwards. */
    const gdouble step = tick_step(1.0 / layout.seconds_per_px, 36);
    for (gdouble t = std::ceil(layout.t0_s / step) * step; layout.y(t) <= plot_bottom + 0.01;
         t += step) {
        const gdouble y = layout.y(t);
        cairo_move_to(cr, layout.kLeft - 5, y);
        cairo_line_to(cr, layout.kLeft, y);
        cairo_stroke(cr);
        g_autofree gchar *label = g_strdup_printf("%g s", t);
        text_at(cr, layout.kLeft - 8, y, label, 1, 0.5);
    }
    cairo_save(cr);
    cairo_translate(cr, 16, layout.kTop + layout.plot_height / 2.0);
    cairo_rotate(cr, -G_PI / 2);
    text_at(cr, 0, 0, "time (s of signal)", 0.5, 0.5);
    cairo_restore(cr);
    cairo_set_font_size(cr, 15);
    text_at(cr, layout.kLeft, 14, options.title);
}

void draw_legend(cairo_t *cr, const Layout &layout, gdouble lo, gdouble hi)
{
    const gdouble x = layout.kLeft + kBins + 24, w = 20;
    const gdouble top = layout.kTop, h = std::min<gdouble>(layout.plot_height, 400);
    for (gint i = 0; i < static_cast<gint>(h); i++) {
        set_rgb(cr, colour(1.0 - (i + 0.5) / h));
        cairo_rectangle(cr, x, top + i, w, 1);
        cairo_fill(cr);
    }
    set_rgb(cr, 0x000000);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, x - 0.5, top - 0.5, w + 1, h + 1);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 12);
    for (gdouble db = std::ceil(lo / 10) * 10; db <= hi; db += 10) {
        const gdouble y = top + (hi - db) / (hi - lo) * h;
        cairo_move_to(cr, x + w, y);
        cairo_line_to(cr, x + w + 4, y);
        cairo_stroke(cr);
        g_autofree gchar *label = g_strdup_printf("%.0f", db);
        text_at(cr, x + w + 7, y, label, 0, 0.5);
    }
    text_at(cr, x, top + h + 12, "dB per 187.5 Hz bin");
    text_at(cr, x, top + h + 28, "(rssi scale)");
    /* What the marks mean. */
    const gdouble key = top + h + 56;
    set_rgb(cr, kHeardRgb);
    cairo_set_line_width(cr, 2);
    cairo_new_path(cr);
    cairo_arc(cr, x + 6, key, 5, 0, 2 * G_PI);
    cairo_stroke(cr);
    set_rgb(cr, 0x000000);
    text_at(cr, x + 18, key, "frame heard", 0, 0.5);
    set_rgb(cr, kSentRgb);
    cairo_rectangle(cr, x + 1, key + 14, 10, 12);
    cairo_stroke(cr);
    set_rgb(cr, 0x000000);
    text_at(cr, x + 18, key + 20, "frame sent", 0, 0.5);
}

void draw_marks(cairo_t *cr, const Layout &layout, const std::vector<Mark> &marks)
{
    cairo_save(cr);
    cairo_rectangle(cr, layout.kLeft, layout.kTop, kBins, layout.plot_height);
    cairo_clip(cr);
    /* Crisp marks: their pixels are exactly the marks' colours. */
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_font_size(cr, 11);
    for (const Mark &m : marks) {
        if (m.kind != Mark::Kind::Sent)
            continue;
        const gdouble half = std::max(m.width_hz / 2, 3 * kBinHz);
        const gdouble x0 = layout.x(m.freq_hz - half), x1 = layout.x(m.freq_hz + half);
        const gdouble y0 = layout.y(m.start_s), y1 = std::max(layout.y(m.end_s), y0 + 3);
        set_rgb(cr, kSentRgb);
        cairo_set_line_width(cr, 2);
        cairo_rectangle(cr, x0, y0, x1 - x0, y1 - y0);
        cairo_stroke(cr);
    }
    for (const Mark &m : marks) {
        if (m.kind != Mark::Kind::Heard)
            continue;
        const gdouble x = layout.x(m.freq_hz), y = layout.y(m.start_s);
        set_rgb(cr, kHeardRgb);
        cairo_set_line_width(cr, 2);
        cairo_new_path(cr);
        cairo_arc(cr, x, y, 6, 0, 2 * G_PI);
        cairo_stroke(cr);
        if (!m.label.empty())
            text_at(cr, x + 10, y, m.label, 0, 0.5);
    }
    cairo_restore(cr);
}

} // namespace

gdouble Layout::x(gdouble hz) const
{
    return kLeft + (hz + kSampleRate / 2.0) / kBinHz;
}

gdouble Layout::y(gdouble seconds) const
{
    return kTop + (seconds - t0_s) / seconds_per_px;
}

Layout plan_picture(const std::vector<Line> &lines)
{
    if (lines.empty())
        return plan_picture(0.0, 0.0);
    return plan_picture(line_start_s(lines.front()), line_start_s(lines.back()) + kLineSeconds);
}

Layout plan_picture(gdouble first_s, gdouble t_end)
{
    Layout layout;
    layout.t0_s = first_s;
    const gdouble span = std::max(t_end - layout.t0_s, kLineSeconds);
    /* One row per line or more, up to the longest plot; longer recordings
     * share rows. */
    gdouble per_px = kLineSeconds;
    if (span / per_px > Layout::kMaxPlotHeight)
        per_px = span / Layout::kMaxPlotHeight;
    else if (span / per_px < Layout::kMinPlotHeight)
        per_px = span / Layout::kMinPlotHeight;
    layout.seconds_per_px = per_px;
    layout.plot_height = static_cast<gint>(std::ceil(span / per_px - 1e-9));
    layout.width = Layout::kLeft + static_cast<gint>(kBins) + Layout::kRight;
    layout.height = Layout::kTop + std::max(layout.plot_height, 400 + 100) + Layout::kBottom;
    return layout;
}

bool write_picture(const std::vector<Line> &lines, const std::vector<Mark> &marks,
                   const PictureOptions &options, const gchar *path, GError **error)
{
    const Layout layout = plan_picture(lines);
    std::unique_ptr<cairo_surface_t, SurfaceFree> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, layout.width, layout.height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_NOMEM, "%s: cannot make a %dx%d picture: %s",
                    path, layout.width, layout.height,
                    cairo_status_to_string(cairo_surface_status(surface.get())));
        return false;
    }
    std::unique_ptr<cairo_t, ContextFree> cr(cairo_create(surface.get()));
    set_rgb(cr.get(), 0xffffff);
    cairo_paint(cr.get());
    set_rgb(cr.get(), 0x202020);
    cairo_rectangle(cr.get(), layout.kLeft, layout.kTop, kBins, layout.plot_height);
    cairo_fill(cr.get());
    cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           CAIRO_FONT_WEIGHT_NORMAL);
    const auto [lo, hi] = scale_range(lines);
    cairo_surface_flush(surface.get());
    paint_lines(surface.get(), layout, lines, lo, hi);
    draw_axes(cr.get(), layout, options);
    draw_legend(cr.get(), layout, lo, hi);
    draw_marks(cr.get(), layout, marks);
    cairo_surface_flush(surface.get());
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), path);
    cr.reset();
    surface.reset();
    /* A program draws a picture or two: the font caches that cairo and
     * fontconfig would keep to the end are given back now. */
    cairo_debug_reset_static_data();
    FcFini();
    if (status != CAIRO_STATUS_SUCCESS) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s: cannot write the picture: %s",
                    path, cairo_status_to_string(status));
        return false;
    }
    return true;
}

} // namespace waterfall
