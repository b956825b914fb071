/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekdecode: feeds a SigMF recording (or a raw .cs16 file) through a receiver packet
 * by packet, prints every frame it reports and compares the reports with the
 * recording's truth. Exit statuses: see kDescription. */
#include "vekgen-cli.h"
#include "vekgen-decode.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include <picture.h>
#include <spectrum.h>

namespace
{

using vekgen::fail;
using vekgen::kExitFailure;
using vekgen::kExitMismatch;
using vekgen::kExitOk;
using vekgen::kExitUsage;

gchar *opt_rate = nullptr;
gchar *opt_receiver = nullptr;
gdouble opt_gain = 98.0;
gboolean opt_strict = FALSE;
gboolean opt_quiet = FALSE;
gboolean opt_version = FALSE;
gchar *opt_waterfall = nullptr;

const GOptionEntry kEntries[] = {
    {"rate", 'r', 0, G_OPTION_ARG_STRING, &opt_rate,
     "Bit rate of the demodulator: 100, 600 or \"both\" (default: the rates of the "
     "recording's frames, both when it has none)",
     "RATE"},
    {"receiver", 'R', 0, G_OPTION_ARG_STRING, &opt_receiver,
     "Receiver: \"vdem\" (the demodulator library, default) or \"vchan\" (the "
     "channelised receiver, which hears both rates at once)",
     "NAME"},
    {"int-gain", 'g', 0, G_OPTION_ARG_DOUBLE, &opt_gain,
     "Receive chain gain in dB subtracted from every power (default 98, which puts a "
     "full-scale carrier at the saturation threshold)",
     "DB"},
    {"strict", 's', 0, G_OPTION_ARG_NONE, &opt_strict,
     "Exit with status 3 when a frame is missed or a report matches no frame", nullptr},
    {"quiet", 'q', 0, G_OPTION_ARG_NONE, &opt_quiet, "Print only the summary lines", nullptr},
    {"waterfall", 'w', 0, G_OPTION_ARG_FILENAME, &opt_waterfall,
     "Draw the recording's band into FILE.png: time down, frequency across, a colour scale, "
     "a ring on each report (labelled with its device) and, for a SigMF recording, a box on "
     "each frame sent",
     "FILE.png"},
    {"version", 'V', 0, G_OPTION_ARG_NONE, &opt_version, "Print the version and exit", nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

const char kDescription[] =
    "The operand is a SigMF recording (BASE, BASE.sigmf-meta or BASE.sigmf-data), or a\n"
    "raw file of ci16_le samples at 192000 per second named *.cs16, which carries no\n"
    "truth: its reports are printed without comparison (vdem then needs --rate).\n"
    "\n"
    "Each report is printed as one line: the bit rate, sampleTimeStamp, length, seq, oob,\n"
    "ack, tid, freq (Hz), rssi and snr (dB), the covered bytes, and the matching sent frame\n"
    "with the errors of freq and rssi (rssi is compared with the sent power minus the\n"
    "gain), or FALSE when no sent frame matches. A message that only combining its\n"
    "repetitions recovered (vchan) is marked combined=[1,3] with the repetitions used.\n"
    "Then one summary line per rate: frames sent, found, missed and false reports (for\n"
    "a raw file: reports), and when the recording holds messages (vekgen --message) one\n"
    "more: messages sent, received (a report carries their bytes), lost, and received\n"
    "by combining only.\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails (a recording that cannot be read or\n"
    "is truncated, a demodulator that does not start, standard output that cannot be\n"
    "written), 2 on a usage error (bad option or operand), 3 with --strict when a frame\n"
    "was missed or a report matches no frame.\n"
    "\n"
    "Example:\n"
    "  vekgen -o demo && vekdecode demo\n"
    "  vekdecode --receiver vchan capture.cs16\n"
    "  vekdecode --receiver vchan --waterfall demo.png demo\n";

void print_report(const vekgen::Report &r, const vekgen::Match *m, int index)
{
    const vdem_proto_frame_t &f = r.frame;
    const guint rate = r.rate;
    g_print("rate=%u ts=%d len=%u seq=%u oob=%u ack=%u tid=0x%08x freq=%d rssi=%.2f snr=%.2f "
            "bytes=%s",
            rate, f.sampleTimeStamp, f.length, f.f.v1.seq, f.f.v1.oob, f.f.v1.ack, f.tid, f.freq,
            f.rssi, f.snr, vekgen::hex(f.frame, f.length).c_str());
    if (r.combined != 0)
        g_print(" combined=[%s]", vekgen::repetitions_text(r.combined).c_str());
    if (m == nullptr) {
        g_print("\n");
        return;
    }
    for (const auto &o : m->frames) {
        if (o.report == index) {
            g_print(" sent@%" G_GUINT64_FORMAT " dfreq=%+.0f drssi=%+.2f\n", o.truth.start_sample,
                    o.freq_error, o.rssi_error);
            return;
        }
    }
    g_print(" FALSE\n");
}

} // namespace

/* Samples from a SigMF recording or a raw .cs16 file, read packet by packet. */
class Source
{
  public:
    Source(const gchar *path, GError **error)
    {
        if (g_str_has_suffix(path, ".cs16")) {
            raw_ = fopen(path, "rb");
            if (raw_ == nullptr)
                g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(errno), "%s: %s", path,
                            g_strerror(errno));
            return;
        }
        rec_ = vekgen_recording_open(path, error);
        if (rec_ != nullptr && vekgen_recording_get_sample_rate(rec_) != VEKGEN_SAMPLE_RATE)
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                        "%s: sample rate %u, the card delivers %d", path,
                        vekgen_recording_get_sample_rate(rec_), VEKGEN_SAMPLE_RATE);
    }
    ~Source()
    {
        if (raw_ != nullptr)
            fclose(raw_);
        if (rec_ != nullptr)
            vekgen_recording_close(rec_);
    }
    bool has_truth() const { return rec_ != nullptr; }
    const VekgenFrame *truth(guint *n) const
    {
        *n = 0;
        return rec_ != nullptr ? vekgen_recording_get_frames(rec_, n) : nullptr;
    }
    bool rewind(GError **error)
    {
        if (raw_ != nullptr) {
            ::rewind(raw_);
            return true;
        }
        return vekgen_recording_rewind(rec_, error);
    }
    /* Reads every sample in order, a block at a time. */
    bool each_block(const std::function<void(const gint16 *, gsize)> &take, GError **error)
    {
        if (!rewind(error))
            return false;
        std::vector<gint16> block(2 * waterfall::kSamplesPerLine);
        for (;;) {
            gssize n = 0;
            if (rec_ != nullptr) {
                n = vekgen_recording_read(rec_, block.data(), waterfall::kSamplesPerLine, error);
            } else {
                n = static_cast<gssize>(fread(block.data(), 4, waterfall::kSamplesPerLine, raw_));
                if (n == 0 && ferror(raw_)) {
                    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_IO, "reading the samples failed");
                    return false;
                }
                for (gssize i = 0; i < 2 * n; i++)
                    block[i] = gint16(GINT16_FROM_LE(block[i]));
            }
            if (n < 0)
                return false;
            if (n == 0)
                return true;
            take(block.data(), static_cast<gsize>(n));
        }
    }
    /* Posts every packet (the last one padded with zeros) to @decoder. */
    bool run(vekgen::Receiver &decoder, GError **error)
    {
        if (rec_ != nullptr)
            return decoder.run(rec_, error);
        std::vector<gint16> packet(2 * decoder.packet_size());
        for (;;) {
            const size_t n = fread(packet.data(), 4, decoder.packet_size(), raw_);
            if (n == 0) {
                if (ferror(raw_)) {
                    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_IO, "reading the samples failed");
                    return false;
                }
                return true;
            }
            for (size_t i = 0; i < 2 * n; i++)
                packet[i] = gint16(GINT16_FROM_LE(packet[i]));
            std::fill(packet.begin() + 2 * n, packet.end(), 0);
            decoder.post(packet.data());
        }
    }

  private:
    FILE *raw_ = nullptr;
    VekgenRecording *rec_ = nullptr;
};

/* The picture's rings: one on each report, where its packet ended. */
void mark_reports(const vekgen::Receiver &decoder, std::vector<waterfall::Mark> &marks)
{
    for (const vekgen::Report &r : decoder.reports()) {
        g_autofree gchar *label = g_strdup_printf("0x%x", r.frame.tid);
        const gdouble at = static_cast<gdouble>(r.counter) / VEKGEN_SAMPLE_RATE;
        marks.push_back(
            {waterfall::Mark::Kind::Heard, at, at, static_cast<gdouble>(r.frame.freq), 0, label});
    }
}

/* Draws the recording's band with @marks and the frames of its truth. */
void draw_waterfall(Source &source, std::vector<waterfall::Mark> marks, const gchar *title)
{
    std::vector<waterfall::Line> lines;
    waterfall::Spectrum spectrum(opt_gain, [&](const waterfall::Line &l) { lines.push_back(l); });
    guint64 at = 0;
    g_autoptr(GError) error = nullptr;
    if (!source.each_block(
            [&](const gint16 *iq, gsize n) {
                spectrum.add(iq, n, at,
                             static_cast<gint64>(at * G_USEC_PER_SEC / VEKGEN_SAMPLE_RATE));
                at += n;
            },
            &error))
        fail(kExitFailure, "%s", error->message);
    spectrum.flush();
    guint n_truth = 0;
    const VekgenFrame *truth = source.truth(&n_truth);
    for (guint i = 0; i < n_truth; i++)
        marks.push_back(
            {waterfall::Mark::Kind::Sent,
             static_cast<gdouble>(truth[i].start_sample) / VEKGEN_SAMPLE_RATE,
             static_cast<gdouble>(vekgen_frame_end_sample(&truth[i])) / VEKGEN_SAMPLE_RATE,
             truth[i].offset_hz, 2.0 * truth[i].bit_rate, ""});
    waterfall::PictureOptions options;
    options.title = title;
    if (!waterfall::write_picture(lines, marks, options, opt_waterfall, &error))
        fail(kExitFailure, "%s", error->message);
}

/* Runs one receiver over the source, prints its reports and its summary lines;
 * returns whether a frame was missed or a report was false. */
bool decode(vekgen::Receiver &decoder, Source &source, std::vector<std::string> &summaries,
            std::vector<waterfall::Mark> &marks)
{
    g_autoptr(GError) error = nullptr;
    if (!decoder.error().empty())
        fail(kExitFailure, "receiver: %s", decoder.error().c_str());
    if (!source.rewind(&error) || !source.run(decoder, &error))
        fail(kExitFailure, "%s", error->message);
    guint n_truth = 0;
    const VekgenFrame *truth = source.truth(&n_truth);
    const vekgen::Match m = vekgen::match(decoder, truth, n_truth);
    mark_reports(decoder, marks);
    if (!opt_quiet)
        for (int i = 0; i < static_cast<int>(decoder.reports().size()); i++)
            print_report(decoder.reports()[i], source.has_truth() ? &m : nullptr, i);
    std::set<guint> rates;
    if (decoder.rate() == 0)
        rates = {100, 600};
    else
        rates = {decoder.rate()};
    const vekgen::MessageMatch messages = vekgen::match_messages(decoder, truth, n_truth);
    if (!opt_quiet)
        for (const auto &o : messages.messages)
            if (o.by_combining)
                g_print("message %u (%u bit/s, %u repetitions sent) recovered by combining\n",
                        o.number, o.rate, o.sent);
    bool mismatch = false;
    for (guint rate : rates) {
        guint sent = 0, found = 0, missed = 0, reports = 0, false_reports = 0;
        for (const auto &o : m.frames)
            if (o.truth.bit_rate == rate) {
                sent++;
                (o.report >= 0 ? found : missed)++;
            }
        for (const auto &r : decoder.reports())
            reports += r.rate == rate;
        for (int r : m.false_reports)
            false_reports += decoder.reports()[r].rate == rate;
        g_autofree gchar *summary =
            source.has_truth()
                ? g_strdup_printf(
                      "%u bit/s: %u sent, %u found, %u missed, %u false, %" G_GUINT64_FORMAT
                      " saturation reports",
                      rate, sent, found, missed, false_reports, decoder.saturation_reports())
                : g_strdup_printf("%u bit/s: %u reports, %" G_GUINT64_FORMAT " saturation reports",
                                  rate, reports, decoder.saturation_reports());
        summaries.push_back(summary);
        mismatch = mismatch || missed > 0 || false_reports > 0;
        guint sent_messages = 0, received = 0, by_combining = 0;
        for (const auto &o : messages.messages)
            if (o.rate == rate) {
                sent_messages++;
                received += o.received;
                by_combining += o.by_combining;
            }
        if (sent_messages > 0) {
            g_autofree gchar *line = g_strdup_printf(
                "%u bit/s: %u messages sent, %u received, %u lost, %u by combining", rate,
                sent_messages, received, sent_messages - received, by_combining);
            summaries.push_back(line);
        }
    }
    return mismatch;
}

int main(int argc, char **argv)
{
    vekgen::parse_command_line(
        "vekdecode",
        "RECORDING - decode a SigMF recording (or raw .cs16 samples) and compare "
        "with its truth",
        kEntries, kDescription, &opt_version, &argc, &argv);
    g_autoptr(GError) error = nullptr;
    if (argc != 2)
        fail(kExitUsage, "expected one recording (BASE, BASE.sigmf-meta or BASE.sigmf-data)");
    if (!std::isfinite(opt_gain) || opt_gain < 0.0 || opt_gain > 200.0)
        fail(kExitUsage, "--int-gain must be between 0 and 200 dB");

    if (opt_rate != nullptr && !g_str_equal(opt_rate, "both") && !g_str_equal(opt_rate, "100") &&
        !g_str_equal(opt_rate, "600"))
        fail(kExitUsage, "--rate must be 100, 600 or \"both\"");

    const bool use_vchan = opt_receiver != nullptr && g_str_equal(opt_receiver, "vchan");
    if (opt_receiver != nullptr && !use_vchan && !g_str_equal(opt_receiver, "vdem"))
        fail(kExitUsage, "--receiver must be \"vdem\" or \"vchan\"");

    Source source(argv[1], &error);
    if (error != nullptr)
        fail(kExitFailure, "%s", error->message);
    guint n_truth = 0;
    const VekgenFrame *truth = source.truth(&n_truth);

    std::set<guint> rates;
    if (opt_rate == nullptr) {
        for (guint i = 0; i < n_truth; i++)
            rates.insert(truth[i].bit_rate);
        if (rates.empty() && !source.has_truth() && !use_vchan)
            fail(kExitUsage, "a raw recording needs --rate with the vdem receiver");
        if (rates.empty())
            rates = {100, 600};
    } else if (g_str_equal(opt_rate, "both")) {
        rates = {100, 600};
    } else {
        rates = {static_cast<guint>(atoi(opt_rate))};
    }

    bool mismatch = false;
    std::vector<std::string> summaries;
    std::vector<waterfall::Mark> marks;
    if (use_vchan) {
        /* One receiver hears both rates at once. */
        vekgen::ChannelDecoder decoder(rates.size() == 2 ? 0 : *rates.begin(),
                                       static_cast<float>(opt_gain));
        mismatch = decode(decoder, source, summaries, marks);
    } else {
        for (guint rate : rates) {
            vekgen::Decoder decoder(rate, static_cast<float>(opt_gain));
            mismatch = decode(decoder, source, summaries, marks) || mismatch;
        }
    }
    for (const auto &s : summaries)
        g_print("%s\n", s.c_str());
    if (opt_waterfall != nullptr) {
        g_autofree gchar *title =
            g_strdup_printf("vekdecode: %s, receiver %s", argv[1], use_vchan ? "vchan" : "vdem");
        draw_waterfall(source, std::move(marks), title);
    }
    return vekgen::close_stdout(opt_strict && mismatch ? kExitMismatch : kExitOk);
}
