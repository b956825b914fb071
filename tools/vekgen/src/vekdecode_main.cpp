/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekdecode: feeds a SigMF recording through the demodulator packet by packet, prints
 * every frame it reports and compares the reports with the recording's truth. Exit
 * statuses: see kDescription. */
#include "vekgen-cli.h"
#include "vekgen-decode.h"

#include <cmath>
#include <cstdlib>
#include <set>

namespace
{

using vekgen::fail;
using vekgen::kExitFailure;
using vekgen::kExitMismatch;
using vekgen::kExitOk;
using vekgen::kExitUsage;

gchar *opt_rate = nullptr;
gdouble opt_gain = 98.0;
gboolean opt_strict = FALSE;
gboolean opt_quiet = FALSE;
gboolean opt_version = FALSE;

const GOptionEntry kEntries[] = {
    {"rate", 'r', 0, G_OPTION_ARG_STRING, &opt_rate,
     "Bit rate of the demodulator: 100, 600 or \"both\" (default: the rates of the "
     "recording's frames, both when it has none)",
     "RATE"},
    {"int-gain", 'g', 0, G_OPTION_ARG_DOUBLE, &opt_gain,
     "Receive chain gain in dB subtracted from every power (default 98, which puts a "
     "full-scale carrier at the saturation threshold)",
     "DB"},
    {"strict", 's', 0, G_OPTION_ARG_NONE, &opt_strict,
     "Exit with status 3 when a frame is missed or a report matches no frame", nullptr},
    {"quiet", 'q', 0, G_OPTION_ARG_NONE, &opt_quiet, "Print only the summary lines", nullptr},
    {"version", 'V', 0, G_OPTION_ARG_NONE, &opt_version, "Print the version and exit", nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

const char kDescription[] =
    "Each report is printed as one line: the bit rate, sampleTimeStamp, length, seq, oob,\n"
    "ack, tid, freq (Hz), rssi and snr (dB), the covered bytes, and the matching sent frame\n"
    "with the errors of freq and rssi (rssi is compared with the sent power minus the\n"
    "gain), or FALSE when no sent frame matches. Then one summary line per rate:\n"
    "frames sent, found, missed and false reports.\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails (a recording that cannot be read or\n"
    "is truncated, a demodulator that does not start, standard output that cannot be\n"
    "written), 2 on a usage error (bad option or operand), 3 with --strict when a frame\n"
    "was missed or a report matches no frame.\n"
    "\n"
    "Example:\n"
    "  vekgen -o demo && vekdecode demo\n";

void print_report(guint rate, const vekgen::Report &r, const vekgen::Match &m, int index)
{
    const vdem_proto_frame_t &f = r.frame;
    g_print("rate=%u ts=%d len=%u seq=%u oob=%u ack=%u tid=0x%08x freq=%d rssi=%.2f snr=%.2f "
            "bytes=%s",
            rate, f.sampleTimeStamp, f.length, f.f.v1.seq, f.f.v1.oob, f.f.v1.ack, f.tid, f.freq,
            f.rssi, f.snr, vekgen::hex(f.frame, f.length).c_str());
    for (const auto &o : m.frames) {
        if (o.report == index) {
            g_print(" sent@%" G_GUINT64_FORMAT " dfreq=%+.0f drssi=%+.2f\n", o.truth.start_sample,
                    o.freq_error, o.rssi_error);
            return;
        }
    }
    g_print(" FALSE\n");
}

} // namespace

int main(int argc, char **argv)
{
    vekgen::parse_command_line("vekdecode",
                               "RECORDING - decode a SigMF recording and compare with its truth",
                               kEntries, kDescription, &opt_version, &argc, &argv);
    g_autoptr(GError) error = nullptr;
    if (argc != 2)
        fail(kExitUsage, "expected one recording (BASE, BASE.sigmf-meta or BASE.sigmf-data)");
    if (!std::isfinite(opt_gain) || opt_gain < 0.0 || opt_gain > 200.0)
        fail(kExitUsage, "--int-gain must be between 0 and 200 dB");

    if (opt_rate != nullptr && !g_str_equal(opt_rate, "both") && !g_str_equal(opt_rate, "100") &&
        !g_str_equal(opt_rate, "600"))
        fail(kExitUsage, "--rate must be 100, 600 or \"both\"");

    g_autoptr(VekgenRecording) rec = vekgen_recording_open(argv[1], &error);
    if (rec == nullptr)
        fail(kExitFailure, "%s", error->message);
    if (vekgen_recording_get_sample_rate(rec) != VEKGEN_SAMPLE_RATE)
        fail(kExitFailure, "%s: sample rate %u, the card delivers %d", argv[1],
             vekgen_recording_get_sample_rate(rec), VEKGEN_SAMPLE_RATE);
    guint n_truth = 0;
    const VekgenFrame *truth = vekgen_recording_get_frames(rec, &n_truth);

    std::set<guint> rates;
    if (opt_rate == nullptr) {
        for (guint i = 0; i < n_truth; i++)
            rates.insert(truth[i].bit_rate);
        if (rates.empty())
            rates = {100, 600};
    } else if (g_str_equal(opt_rate, "both")) {
        rates = {100, 600};
    } else {
        rates = {static_cast<guint>(atoi(opt_rate))};
    }

    bool mismatch = false;
    std::vector<std::string> summaries;
    for (guint rate : rates) {
        if (!vekgen_recording_rewind(rec, &error))
            fail(kExitFailure, "%s", error->message);
        vekgen::Decoder decoder(rate, static_cast<float>(opt_gain));
        if (!decoder.error().empty())
            fail(kExitFailure, "demodulator: %s", decoder.error().c_str());
        if (!decoder.run(rec, &error))
            fail(kExitFailure, "%s", error->message);
        const vekgen::Match m = vekgen::match(decoder, truth, n_truth);
        if (!opt_quiet)
            for (int i = 0; i < static_cast<int>(decoder.reports().size()); i++)
                print_report(rate, decoder.reports()[i], m, i);
        g_autofree gchar *summary =
            g_strdup_printf("%u bit/s: %zu sent, %u found, %u missed, %zu false, %" G_GUINT64_FORMAT
                            " saturation reports",
                            rate, m.frames.size(), m.found, m.missed, m.false_reports.size(),
                            decoder.saturation_reports());
        summaries.push_back(summary);
        mismatch = mismatch || m.missed > 0 || !m.false_reports.empty();
    }
    for (const auto &s : summaries)
        g_print("%s\n", s.c_str());
    return vekgen::close_stdout(opt_strict && mismatch ? kExitMismatch : kExitOk);
}
