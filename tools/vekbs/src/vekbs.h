/* vekbs, the reference base-station host: pieces shared by its sources. */
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <iqhub/iqhub.h>
#include <vekgen/vekgen.h>

namespace vekbs
{

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

/* A list file: one device id per line (decimal, or hexadecimal with 0x), '#'
 * starts a comment. */
bool read_device_list(const std::string &path, std::vector<guint32> &ids, GError **error);
/* A device id given on the command line. */
bool parse_device_id(const gchar *text, guint32 *id);

/* How a station treats frames. */
struct StationConfig {
    std::vector<guint> rates;     /* one pass per rate, in order */
    gdouble int_gain = 98.0;      /* receive chain gain in dB */
    bool authenticate = true;     /* drop frames with a wrong code */
    bool whitelist = false;       /* devices is a white list (else a black list) */
    std::vector<guint32> devices; /* empty: no device filter */
    bool fast = false;            /* write as fast as possible, not in real time */
    bool json = false;            /* frames as JSON objects */
};

/* One delivered frame as it reached the host. */
struct Delivered {
    guint rate;
    kvrframe frame;
};

/* Statistics of one pass. */
struct PassStats {
    guint rate = 0;
    guint64 frames = 0, dropped = 0, ts_errors = 0, syntax_errors = 0, samples = 0;
    gint64 start_us = 0;     /* Unix time given to the first sample, in microseconds */
    gsize write_samples = 0; /* samples in each write */
};

/* Runs @source through an Iqhub once per rate on the default main context,
 * printing each delivered frame; fills @delivered and @stats. */
bool run_station(Source &source, const StationConfig &config, std::vector<Delivered> &delivered,
                 std::vector<PassStats> &stats, GError **error);

/* One line per frame. */
std::string frame_text(const kvrframe &frame);
std::string frame_json(const kvrframe &frame, guint rate);
/* The statistics, as text lines or as one JSON object. */
std::string stats_text(const std::vector<PassStats> &stats);
std::string stats_json(const std::vector<PassStats> &stats);

/* Compares the delivered frames with the truth; prints each difference on
 * standard error and returns how many there were. */
guint check_truth(const std::vector<VekgenFrame> &truth, const StationConfig &config,
                  const std::vector<Delivered> &delivered, const std::vector<PassStats> &stats);

} // namespace vekbs
