/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Where vekbs reads its I/Q: SigMF recordings, raw .cs16 files and the
 * built-in scenario. */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vekbs.h"

namespace vekbs
{
namespace
{

class SigmfSource : public Source
{
  public:
    SigmfSource(VekgenRecording *recording, std::string path)
        : recording_(recording), path_(std::move(path))
    {
    }
    ~SigmfSource() override { vekgen_recording_close(recording_); }
    gssize read(gint16 *iq, gsize n_samples, GError **error) override
    {
        return vekgen_recording_read(recording_, iq, n_samples, error);
    }
    bool rewind(GError **error) override { return vekgen_recording_rewind(recording_, error); }
    std::vector<VekgenFrame> truth() const override
    {
        guint n = 0;
        const VekgenFrame *frames = vekgen_recording_get_frames(recording_, &n);
        return {frames, frames + n};
    }
    std::string name() const override { return path_; }

  private:
    VekgenRecording *recording_;
    std::string path_;
};

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};

/* Interleaved signed 16-bit I and Q, little-endian, nothing else. */
class RawSource : public Source
{
  public:
    RawSource(FILE *file, std::string path) : file_(file), path_(std::move(path)) {}
    gssize read(gint16 *iq, gsize n_samples, GError **error) override
    {
        const gsize got = std::fread(iq, kBytesPerSample, n_samples, file_.get());
        if (got < n_samples && std::ferror(file_.get())) {
            g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_IO, "%s: read failed", path_.c_str());
            return -1;
        }
        for (gsize i = 0; i < 2 * got; i++)
            iq[i] = GINT16_FROM_LE(iq[i]);
        return static_cast<gssize>(got);
    }
    bool rewind(GError **error) override
    {
        if (std::fseek(file_.get(), 0, SEEK_SET) == 0)
            return true;
        g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(errno), "%s: %s", path_.c_str(),
                    g_strerror(errno));
        return false;
    }
    std::vector<VekgenFrame> truth() const override { return {}; }
    std::string name() const override { return path_; }

  private:
    std::unique_ptr<FILE, FileCloser> file_;
    std::string path_;
};

class ScenarioSource : public Source
{
  public:
    ScenarioSource() { rewind(nullptr); }
    gssize read(gint16 *iq, gsize n_samples, GError **) override
    {
        const guint64 left = end_ - vekgen_signal_get_position(signal_.get());
        const gsize n = static_cast<gsize>(MIN(left, n_samples));
        vekgen_signal_fill(signal_.get(), iq, n);
        return static_cast<gssize>(n);
    }
    bool rewind(GError **) override
    {
        signal_.reset(build());
        end_ = vekgen_signal_get_end(signal_.get());
        return true;
    }
    std::vector<VekgenFrame> truth() const override
    {
        guint n = 0;
        const VekgenFrame *frames = vekgen_signal_get_frames(signal_.get(), &n);
        return {frames, frames + n};
    }
    std::string name() const override { return "the built-in scenario"; }

  private:
    static VekgenSignal *build();
    struct SignalFree {
        void operator()(VekgenSignal *signal) const { vekgen_signal_free(signal); }
    };
    std::unique_ptr<VekgenSignal, SignalFree> signal_;
    guint64 end_ = 0;
};

/* Devices of the scenario: three of the network, one on the black list. The
 * 100 bit/s frames come first, 2.7 s apart, then the 600 bit/s ones, in noise
 * at 30 dB: every frame is received with a wide margin. */
VekgenSignal *ScenarioSource::build()
{
    struct Plan {
        gdouble at;
        guint rate, rep;
        gboolean oob;
        guint32 device;
        guint16 seq;
        const gchar *payload;
        gboolean forge;
        gdouble freq, power;
    };
    static const Plan plan[] = {
        {0.3, 100, 1, FALSE, 0x10A1, 1, "", FALSE, 1500.0, 60.0},
        {3.0, 100, 2, FALSE, 0x10A2, 7, "2a", FALSE, -42000.5, 57.0},
        {5.7, 100, 3, FALSE, 0x10A3, 12, "c0ffee", FALSE, 71250.0, 65.0},
        {8.4, 100, 1, TRUE, 0x10A1, 2, "1fe0a5b3c4", FALSE, -61000.0, 68.0},
        {11.1, 100, 2, FALSE, kScenarioBlacklisted, 40, "0102030405060708", FALSE, 12345.0, 62.0},
        {14.0, 600, 2, FALSE, 0x10A2, 8, "17", FALSE, -750.0, 60.0},
        {14.5, 600, 3, FALSE, 0x10A3, 13, "beef", FALSE, 20000.0, 58.0},
        {15.0, 600, 1, FALSE, 0x10A1, 3, "00112233445566778899aabb", FALSE, -30500.0, 66.0},
        {15.5, 600, 2, TRUE, 0x10A2, 9, "0102030405", FALSE, 2500.0, 62.0},
        {16.0, 600, 1, FALSE, 0x10A3, 14, "deadbeef", TRUE, -15000.0, 64.0},
        {16.5, 600, 3, FALSE, 0x10A1, 4, "cafe", FALSE, 33000.0, 60.0},
    };
    VekgenSignal *signal = vekgen_signal_new(2026, 30.0);
    GRand *rand = g_rand_new_with_seed(2026);
    for (const Plan &p : plan) {
        VekgenFrame f;
        vekgen_frame_init(&f);
        f.start_sample = static_cast<guint64>(p.at * kSampleRate);
        f.bit_rate = p.rate;
        f.repetition = static_cast<guint8>(p.rep);
        f.oob = p.oob;
        f.offset_hz = p.freq;
        f.power_db = p.power;
        f.phase = g_rand_double_range(rand, -G_PI, G_PI);
        guint8 payload[VEKGEN_MAX_PAYLOAD];
        gsize n = strlen(p.payload) / 2;
        for (gsize i = 0; i < n; i++)
            payload[i] = static_cast<guint8>(g_ascii_xdigit_value(p.payload[2 * i]) * 16 +
                                             g_ascii_xdigit_value(p.payload[2 * i + 1]));
        g_autoptr(GError) error = nullptr;
        if (!vekgen_frame_set_uplink(&f, p.device, p.seq, payload, n, p.forge, &error) ||
            !vekgen_signal_add_frame(signal, &f, &error))
            g_error("the built-in scenario is broken: %s", error->message);
    }
    g_rand_free(rand);
    return signal;
}

bool regular_file(const std::string &path, GError **error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(errno), "%s: %s", path.c_str(),
                    g_strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL, "%s: not a regular file",
                    path.c_str());
        return false;
    }
    if (st.st_size % kBytesPerSample != 0) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL,
                    "%s: %lld bytes are not whole samples of %zu bytes", path.c_str(),
                    static_cast<long long>(st.st_size), kBytesPerSample);
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<Source> open_recording(const std::string &path, guint raw_rate, GError **error)
{
    if (g_str_has_suffix(path.c_str(), ".cs16")) {
        if (raw_rate != kSampleRate) {
            g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                        raw_rate == 0 ? "%s: a raw recording needs --sample-rate (192000)"
                                      : "%s: the demodulator reads 192000 samples/s, not %u",
                        path.c_str(), raw_rate);
            return nullptr;
        }
        if (!regular_file(path, error))
            return nullptr;
        FILE *file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(errno), "%s: %s", path.c_str(),
                        g_strerror(errno));
            return nullptr;
        }
        return std::make_unique<RawSource>(file, path);
    }
    VekgenRecording *recording = vekgen_recording_open(path.c_str(), error);
    if (recording == nullptr)
        return nullptr;
    if (vekgen_recording_get_sample_rate(recording) != kSampleRate) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL,
                    "%s: recorded at %u samples/s; the demodulator reads 192000", path.c_str(),
                    vekgen_recording_get_sample_rate(recording));
        vekgen_recording_close(recording);
        return nullptr;
    }
    return std::make_unique<SigmfSource>(recording, path);
}

std::unique_ptr<Source> open_default_scenario()
{
    return std::make_unique<ScenarioSource>();
}

bool parse_device_id(const gchar *text, guint32 *id)
{
    guint64 value = 0;
    const bool hex = g_str_has_prefix(text, "0x") || g_str_has_prefix(text, "0X");
    if (!g_ascii_string_to_unsigned(hex ? text + 2 : text, hex ? 16 : 10, 0, G_MAXUINT32, &value,
                                    nullptr))
        return false;
    *id = static_cast<guint32>(value);
    return true;
}

bool read_bounded_file(const gchar *path, goffset max, std::string &text, struct stat *st,
                       GError **error)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, st) != 0) {
        const int saved = errno;
        if (fd >= 0)
            close(fd);
        g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(saved), "%s cannot be read: %s",
                    path, g_strerror(saved));
        return false;
    }
    /* A regular file, or a device such as /dev/null; never a pipe to wait on. */
    const bool readable = S_ISREG(st->st_mode) || S_ISCHR(st->st_mode);
    const gsize limit = static_cast<gsize>(max);
    text.clear();
    int failure = 0;
    if (readable && st->st_size <= max) {
        char chunk[4096];
        for (ssize_t n; text.size() <= limit && (n = read(fd, chunk, sizeof(chunk))) != 0;) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                failure = errno;
                break;
            }
            text.append(chunk, static_cast<gsize>(n));
        }
    }
    close(fd);
    if (failure != 0) {
        g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(failure), "%s cannot be read: %s",
                    path, g_strerror(failure));
        return false;
    }
    if (!readable || text.size() > limit) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL,
                    "%s cannot be read: not a file of at most %ld bytes", path,
                    static_cast<long>(max));
        return false;
    }
    return true;
}

bool read_device_list(const std::string &path, std::vector<guint32> &ids, GError **error)
{
    std::string text;
    struct stat st = {};
    if (!read_bounded_file(path.c_str(), kMaxDeviceListBytes, text, &st, error))
        return false;
    const gchar *contents = text.c_str();
    if (strlen(contents) != text.size()) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL, "%s: holds a NUL byte", path.c_str());
        return false;
    }
    g_auto(GStrv) lines = g_strsplit(contents, "\n", -1);
    for (guint i = 0; lines[i] != nullptr; i++) {
        gchar *hash = strchr(lines[i], '#');
        if (hash != nullptr)
            *hash = '\0';
        g_strstrip(lines[i]);
        if (*lines[i] == '\0')
            continue;
        guint32 id = 0;
        if (!parse_device_id(lines[i], &id)) {
            g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL,
                        "%s:%u: '%s' is not a device id (decimal, or hexadecimal with 0x)",
                        path.c_str(), i + 1, lines[i]);
            return false;
        }
        ids.push_back(id);
    }
    return true;
}

} // namespace vekbs
