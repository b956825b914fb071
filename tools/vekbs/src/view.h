/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The operator's view of a station: the band's waterfall computed from the
 * samples the station writes (a few blocks a line, on the main loop, no copy
 * of the stream kept), the latest frames, the status; served live over HTTP
 * (the page, /metrics, /api/status, /api/frames, a WebSocket) and, for a
 * recording, drawn into a picture once the recording has run. */
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <picture.h>
#include <spectrum.h>

#include "http_server.h"
#include "vekbs.h"

namespace vekbs
{

class View : public HttpContent
{
  public:
    static constexpr gsize kRecentLines = 480; /* two minutes, the page's height */
    static constexpr gsize kRecentFrames = 1000;
    static constexpr guint kSegments = 8;    /* of 24 kHz, for the noise floor */
    static constexpr gsize kFloorLines = 16; /* averaged: the last 4 s */

    /* @http: [ADDR:]PORT to serve on, or empty; @picture: the PNG to draw at
     * the end of a recording, or empty. */
    View(const StationConfig &config, std::string http, std::string picture);
    ~View() override;
    View(const View &) = delete;
    View &operator=(const View &) = delete;

    /* Starts serving, when asked to; says where on standard error. */
    bool start(GError **error);
    bool serving() const { return server_ != nullptr; }

    /* The station's status object, as the status topic carries it. */
    void set_status(std::function<std::string()> status) { status_ = std::move(status); }
    /* The card's RX frequency, for the page's axis (0: unknown). */
    void set_centre_hz(guint32 hz);

    /* The samples of a write, the first at stream position @first_sample and
     * Unix time @time_us; @spectrum: they go into the waterfall (a second
     * pass over a recording only places its frames). */
    void samples(const gint16 *iq, gsize n, guint64 first_sample, gint64 time_us, bool spectrum);
    /* A delivered frame and its JSON object: marked where the stream is now. */
    void frame(const kvrframe &frame, const std::string &json);
    /* The end of a stream: the line in progress is drawn. */
    void end_of_stream();

    /* Draws the picture of the recording, with the frames of @truth as sent. */
    bool write_picture(const std::string &title, const std::vector<VekgenFrame> &truth,
                       GError **error);
    /* After a recording: serves until SIGINT or SIGTERM. */
    void serve_until_stopped();

    /* HttpContent */
    std::string status_json() override;
    std::string metrics_text() override;
    std::string frames_json(guint64 since) override;
    void catch_up(Cursor &cursor, std::vector<std::string> &messages) override;

  private:
    struct Frame {
        guint64 index;
        gdouble line;     /* the waterfall line it was heard in, with its fraction */
        std::string json; /* the object of the up topic */
    };
    void on_line(const waterfall::Line &line);
    std::string hello(bool reset) const;
    static std::string line_message(const waterfall::Line &line);
    std::string frame_message(const Frame &f) const;
    static gboolean on_status_tick(gpointer data);

    const StationConfig &config_;
    std::string http_, picture_;
    std::unique_ptr<waterfall::Spectrum> spectrum_;
    std::unique_ptr<HttpServer> server_;
    std::function<std::string()> status_;
    guint32 centre_hz_ = 0;
    guint64 position_ = 0; /* stream position after the last samples */
    bool feeding_ = true;  /* the last samples went into the spectrum */
    std::deque<waterfall::Line> recent_;
    std::vector<waterfall::Line> all_; /* for the picture only */
    std::vector<waterfall::Mark> heard_;
    std::deque<Frame> frames_;
    guint64 next_frame_ = 0;
    std::deque<std::array<float, kSegments>> floors_;
    guint64 hello_version_ = 1, status_version_ = 1;
    std::string status_message_; /* the status as last sent, and its version */
    guint64 status_message_version_ = 0;
    guint tick_ = 0;
    struct LoopWatch;
    LoopWatch *watch_ = nullptr;
};

/* The members every station's status object starts and ends with (the end
 * closes "config" with the authentication and the device filter). Between the
 * two calls the "config" object is open for the caller's own members. */
void status_json_begin(JsonBuilder *b, const StationConfig &config, const char *state,
                       const std::vector<guint> &rates);
void status_json_end(JsonBuilder *b, const StationConfig &config, bool card_streaming,
                     const std::string &statistics);

/* The status object of a station running a recording: as a card station's,
 * with the recording in "config" and the counters of the passes so far. */
std::string recording_status_json(const StationConfig &config, const char *state,
                                  const std::string &recording,
                                  const std::vector<PassStats> &stats);

} // namespace vekbs
