/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekbs, the reference base-station host: pieces shared by its sources. */
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <iqhub/iqhub.h>
#include <json-glib/json-glib.h>
#include <vekgen/vekgen.h>
#include <xvek/xvek.h>

#include "downlink_policy.h"
#include "downlink_request.h"

namespace vekbs
{

class View;

/* Exit statuses, as --help documents them. */
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitMismatch = 3;

constexpr guint kSampleRate = VEKGEN_SAMPLE_RATE;
constexpr gsize kBytesPerSample = 4;

/* Where the I/Q comes from: a recording, or a generated scenario. Samples are
 * delivered in host byte order. */
class Source
{
  public:
    virtual ~Source() = default;
    /* Reads up to @n_samples into @iq; the count, 0 at the end, -1 with @error. */
    virtual gssize read(gint16 *iq, gsize n_samples, GError **error) = 0;
    /* Back to the first sample, for another pass. */
    virtual bool rewind(GError **error) = 0;
    /* The frames sent, when the source knows them (empty otherwise). */
    virtual std::vector<VekgenFrame> truth() const = 0;
    /* A name for messages. */
    virtual std::string name() const = 0;
};

/* A SigMF recording (BASE, BASE.sigmf-meta or BASE.sigmf-data) or raw
 * little-endian .cs16 samples at @raw_rate samples/s (only 192000 is served). */
std::unique_ptr<Source> open_recording(const std::string &path, guint raw_rate, GError **error);
/* The built-in scenario: signed frames of several types at both rates from a
 * few devices, one forged frame, and frames of a device on the black list. */
std::unique_ptr<Source> open_default_scenario();
/* The device the built-in scenario's station refuses. */
constexpr guint32 kScenarioBlacklisted = 0xBAD0017;

/* Reads the whole of @path, a regular file or a character device of at most
 * @max bytes, through one descriptor, whose status goes to @st: anything else
 * (a pipe, /dev/zero, a larger file) is refused rather than waited on or held
 * in memory. */
bool read_bounded_file(const gchar *path, goffset max, std::string &text, struct stat *st,
                       GError **error);

/* A device list larger than this is not one: a million ids in hexadecimal. */
constexpr goffset kMaxDeviceListBytes = 16 << 20;
/* A list file: one device id per line (decimal, or hexadecimal with 0x), '#'
 * starts a comment. */
bool read_device_list(const std::string &path, std::vector<guint32> &ids, GError **error);
/* A device id given on the command line. */
bool parse_device_id(const gchar *text, guint32 *id);

/* The card a live station streams from. */
struct CardConfig {
    guint index = 0;                                         /* as vekctl numbers the cards */
    guint32 rx_frequency = 0;                                /* Hz; 0 leaves the card's own */
    std::array<std::optional<VektypePreampMode>, 3> preamps; /* unset: left as they are */
    guint queue_transfers = 512; /* RX transfers (8192 bytes each) the hand-over holds */
};

/* The broker a live station talks to. */
struct MqttConfig {
    std::string url; /* empty: no broker */
    std::string host;
    guint16 port = 1883;
    bool tls = false;
    std::string ca_file, user, password;
    std::string prefix = "vek";
    guint queue = 10000;    /* messages kept while the broker is away */
    guint keepalive = 30;   /* seconds */
    guint max_backoff = 60; /* seconds between two connection attempts, at most */
};

/* How the station takes downlink requests. */
struct DownlinkConfig {
    RequestLimits limits;
    guint queue = 32; /* requests waiting for the card */
    DownlinkPolicyConfig policy;
};

/* A pass of both bit rates at once: the channelised receiver's, in one wrapper. */
constexpr guint kBothRates = IQHUB_BIT_RATE_BOTH;
/* The rates a pass hears: 100 and 600 for kBothRates, otherwise its own. */
std::vector<guint> rates_of_pass(guint pass_rate);
/* "100 bit/s", "600 bit/s" or "100 and 600 bit/s". */
std::string pass_rate_text(guint pass_rate);

/* How a station treats frames. */
struct StationConfig {
    std::vector<guint> rates;       /* one pass per rate (or kBothRates), in order */
    gdouble int_gain = 98.0;        /* receive chain gain in dB */
    gdouble ext_gain = 22.5;        /* gain in front of the card in dB */
    bool authenticate = true;       /* drop frames with a wrong code */
    std::string receiver = "vchan"; /* the wrapper's uplink receiver */
    bool whitelist = false;         /* devices is a white list (else a black list) */
    std::vector<guint32> devices;   /* empty: no device filter */
    bool fast = false;              /* write as fast as possible, not in real time */
    guint write_multiple = 1;       /* advised lengths in each write of a recording */
    bool json = false;              /* frames as JSON objects */
    bool quiet = false;             /* frames not printed */
    bool check = false;             /* keep the delivered frames for --check */
    /* Live station. */
    std::string name; /* station name: topics and status */
    bool card = false;
    CardConfig card_config;
    MqttConfig mqtt;
    DownlinkConfig downlink;
    gdouble duration = 0.0;    /* seconds of signal, 0: until stopped */
    guint stats_interval = 60; /* seconds between two statistics reports */
    View *view = nullptr;      /* the operator's view (--http, --waterfall), or none */
};

/* One delivered frame as it reached the host. */
struct Delivered {
    guint rate; /* the rate it was decoded at */
    kvrframe frame;
};

/* The rate the wrapper says @frame was decoded at, or @fallback when the
 * record does not carry one. */
guint delivered_rate(const kvrframe &frame, guint fallback);

/* Statistics of one bit rate of a pass. */
struct PassStats {
    guint rate = 0;
    guint64 frames = 0, dropped = 0, ts_errors = 0, syntax_errors = 0, samples = 0;
    gint64 start_us = 0;     /* Unix time given to the first sample, in microseconds */
    gsize write_samples = 0; /* samples in each write */
};

/* An Iqhub for @rate (or kBothRates) with the station's gains and filters. */
Iqhub *make_station_hub(const StationConfig &config, guint rate);
/* The statistics of each rate @hub heard in a pass of @pass_rate: @common's
 * signal and times with the wrapper's counters of that rate. */
std::vector<PassStats> rate_stats(Iqhub *hub, guint pass_rate, const PassStats &common);

/* Runs @source through an Iqhub once per entry of config.rates on the default
 * main context (kBothRates: both rates in one pass), printing each delivered
 * frame; fills @delivered and @stats (one entry per rate heard). */
bool run_station(Source &source, const StationConfig &config, std::vector<Delivered> &delivered,
                 std::vector<PassStats> &stats, GError **error);

/* What a live station counted, beyond the wrapper's counters. */
struct LiveStats {
    guint64 rx_bytes = 0, rx_dropped_bytes = 0, rx_dropped_transfers = 0, card_losses = 0;
    guint64 published = 0, publish_dropped = 0, publish_queued = 0, reconnects = 0;
    guint64 dl_requests = 0, dl_sent = 0, dl_failed = 0, dl_refused = 0;
    guint64 dl_sent_with_warning = 0, dl_failed_stopping = 0;
    std::array<guint64, kDownlinkRules> dl_refused_by_rule{};
    guint64 takeovers = 0;
    gdouble uplink_median_ms = 0, uplink_p99_ms = 0, downlink_median_ms = 0, downlink_p99_ms = 0;
    guint64 uplink_latency_n = 0, downlink_latency_n = 0;
    gdouble uptime_s = 0, cpu_s = 0;
    guint64 peak_rss_kb = 0;
};

/* Streams the card of @config through one Iqhub until a signal, the end of
 * --duration or, with a truth, of the recording the card plays; prints and
 * publishes each delivered frame. Returns an exit status. */
int run_live(const StationConfig &config, const std::vector<VekgenFrame> &truth,
             guint64 truth_samples);

/* The process's uptime, CPU time and peak resident memory into @live. */
void add_process_usage(LiveStats &live);

/* One line per frame. */
std::string frame_text(const kvrframe &frame);
std::string frame_json(const kvrframe &frame, guint rate);
/* The statistics, as text lines or as one JSON object. */
std::string stats_text(const std::vector<PassStats> &stats);
std::string stats_json(const std::vector<PassStats> &stats);
/* A live station's statistics, one PassStats per rate it runs: as one JSON
 * object (the counters summed, and each rate's in "rates"), and as text lines. */
std::string live_stats_json(const std::vector<PassStats> &rates, const LiveStats &live);
std::string live_stats_text(const LiveStats &live, bool broker);
/* The object a builder holds, as one line of JSON. */
std::string to_json(JsonBuilder *builder);
/* Lower-case hexadecimal. */
std::string hex_string(const guint8 *bytes, gsize n);

/* Compares the delivered frames with the truth; prints each difference on
 * standard error and returns how many there were. */
guint check_truth(const std::vector<VekgenFrame> &truth, const StationConfig &config,
                  const std::vector<Delivered> &delivered, const std::vector<PassStats> &stats);

} // namespace vekbs
