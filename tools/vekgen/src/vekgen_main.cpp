/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekgen: writes a SigMF recording of generated uplink I/Q. Exit statuses: see
 * kDescription. */
#include "vekgen/vekgen.h"
#include "vekgen-cli.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

using vekgen::fail;
using vekgen::kExitFailure;
using vekgen::kExitOk;
using vekgen::kExitUsage;
/* Enough for any test of the receiver; a mistyped start time would otherwise fill
 * the disk (an hour is 2.8 GB). */
constexpr guint kMaxSeconds = 3600;
constexpr guint64 kMaxSamples = guint64{kMaxSeconds} * VEKGEN_SAMPLE_RATE;

gchar *opt_output = nullptr;
gchar **opt_frames = nullptr;
gchar **opt_messages = nullptr;
gchar *opt_gap = nullptr;
gchar *opt_frame_file = nullptr;
gint64 opt_seed = 1;
gchar *opt_noise = nullptr;
gdouble opt_duration = 0.0;
gboolean opt_truth = FALSE;
gboolean opt_forge = FALSE;
gboolean opt_version = FALSE;
VekgenImpairments *impairments = nullptr; /* what the impairment options set */

const GOptionEntry kEntries[] = {
    {"output", 'o', 0, G_OPTION_ARG_FILENAME, &opt_output,
     "Base name of the recording: BASE.sigmf-data and BASE.sigmf-meta (default \"vekgen\")",
     "BASE"},
    {"frame", 'f', 0, G_OPTION_ARG_STRING_ARRAY, &opt_frames,
     "A frame as key=value tokens (repeatable; see below)", "TEXT"},
    {"message", 'm', 0, G_OPTION_ARG_STRING_ARRAY, &opt_messages,
     "A message: the three repetitions of one frame, as key=value tokens (repeatable; see "
     "below)",
     "TEXT"},
    {"gap", 0, 0, G_OPTION_ARG_STRING, &opt_gap,
     "Pause between the repetitions of a message, in seconds: MAX or MIN-MAX (default 0-1); "
     "a message's gap= overrides it",
     "SECONDS"},
    {"frame-file", 'F', 0, G_OPTION_ARG_FILENAME, &opt_frame_file,
     "A file of frames, one per line; '#' starts a comment", "FILE"},
    {"seed", 's', 0, G_OPTION_ARG_INT64, &opt_seed,
     "Seed of the noise and of random bytes and phases (default 1)", "N"},
    {"noise", 'n', 0, G_OPTION_ARG_STRING, &opt_noise,
     "Total noise power in dB of sample units, or \"none\" (default 30)", "DB"},
    {"duration", 'd', 0, G_OPTION_ARG_DOUBLE, &opt_duration,
     "Length of the recording in seconds, at most 3600 (default: until the receiver has "
     "reported the last frame)",
     "SECONDS"},
    {"truth", 't', 0, G_OPTION_ARG_NONE, &opt_truth, "Print the truth of every frame", nullptr},
    {"forge", 0, 0, G_OPTION_ARG_NONE, &opt_forge,
     "Give every signed message (dev=) a wrong authentication code", nullptr},
    {"version", 'V', 0, G_OPTION_ARG_NONE, &opt_version, "Print the version and exit", nullptr},
};

/* An impairment option: --NAME VALUE sets the impairment NAME. */
gboolean on_impairment(const gchar *option_name, const gchar *value, gpointer, GError **error)
{
    return vekgen_impairments_set(impairments, option_name + 2, value, error);
}

/* The options above, then one per impairment in the order of the chain. */
std::vector<GOptionEntry> option_entries()
{
    std::vector<GOptionEntry> entries(std::begin(kEntries), std::end(kEntries));
    for (guint i = 0; i < vekgen_impairment_n_settings(); i++) {
        const VekgenImpairmentSetting *s = vekgen_impairment_setting(i);
        entries.push_back({s->name, 0, 0, G_OPTION_ARG_CALLBACK,
                           reinterpret_cast<gpointer>(on_impairment), s->help, s->arg});
    }
    entries.push_back({nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr});
    return entries;
}

const char kDescription[] =
    "Frame keys (all optional):\n"
    "  at=SECONDS or sample=N  start of the frame (0)\n"
    "  rate=100|600            bit rate (100)\n"
    "  len=8|9|12|16|20        bytes covered by the CRC (8)\n"
    "  rep=1|2|3               repetition (1)\n"
    "  oob=0|1                 out-of-band frame, only with len=16 (0)\n"
    "  freq=HZ                 carrier offset, -96000 to 96000 (0)\n"
    "  power=DB                power in dB of sample units; full scale is about 90 (60)\n"
    "  bytes=HEX|random        the covered bytes (random)\n"
    "  inv=0|1                 inverted differential sense (0)\n"
    "  phase=RAD               carrier phase (random)\n"
    "  dev=ID                  a signed uplink message from device ID (decimal or 0x hex):\n"
    "                          header, device id, payload and authentication code; len and\n"
    "                          bytes then follow from the payload\n"
    "  seq=N                   its 12-bit sequence number (0)\n"
    "  payload=HEX             its payload, up to 12 bytes (none)\n"
    "  forge=0|1               a wrong authentication code (0)\n"
    "  drift=HZ/S              carrier drift from the first sample (--drift)\n"
    "  step=HZ                 a carrier step (--step) ...\n"
    "  step-at=FRACTION        ... at this fraction of the frame's length (--step-at)\n"
    "  ppm=PPM                 the device's clock error: bits shorter by PPM (--ppm)\n"
    "\n"
    "Impairments of a real front end and real devices (the options from --dc on), each\n"
    "drawn from the seed; the truth of the frames stays that of the frames as sent.\n"
    "Levels are in dB over the noise: a tone's (--dc, --carrier-level) over the noise in\n"
    "a 300 Hz bin, which is the total noise less 28.06 dB; the others' (bursts, clicks,\n"
    "overload, --clip) as their power over the total noise. With --noise none they count\n"
    "from 30 dB. A frame's drift=, step=, step-at= and ppm= override the options.\n"
    "\n"
    "Message keys: those of a frame but rep=, and\n"
    "  power=DB[,DB,DB]        each repetition's power, or one for all (60)\n"
    "  freq=HZ[,HZ,HZ]         each repetition's carrier, or one for all (random in\n"
    "                          +-90 kHz, each repetition its own)\n"
    "  gap=MAX or gap=MIN-MAX  pause between repetitions in seconds (--gap, 0-1)\n"
    "  drop=N[,N]              repetitions lost on the way: their time passes unsent\n"
    "A message sends repetitions 1, 2 and 3 of its frame type in order from at=, each\n"
    "after the pause drawn after the one before; the truth numbers its frames.\n"
    "\n"
    "Without frames, vekgen writes its default scenario: six frames at 100 bit/s and six\n"
    "at 600 bit/s of several types across the band, in noise at 30 dB.\n"
    "Frames of one rate should start at least 258 bit periods apart.\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails (a frame file that cannot be read,\n"
    "a recording or standard output that cannot be written), 2 on a usage error (bad\n"
    "option, operand or frame text, or frames that run longer than an hour).\n"
    "\n"
    "Example:\n"
    "  vekgen -o demo -f \"at=0.5 rate=600 len=12 rep=2 freq=-2500 power=55\" --truth\n"
    "  vekgen -o weak -m \"at=0.5 rate=600 len=8 power=30,31,29 drop=2\" --noise 45\n"
    "  vekgen -o real --carriers 20 --dc 45 --clicks 5 --iq-gain 1 --iq-phase 5 --drift 30\n";

void add_frame_text(VekgenSignal *signal, GRand *rand, const gchar *text, const gchar *where)
{
    g_autoptr(GError) error = nullptr;
    if (!vekgen_signal_add_frame_text(signal, text, opt_forge, rand, &error))
        fail(kExitUsage, "%s: %s", where, error->message);
}

void add_message_text(VekgenSignal *signal, GRand *rand, const gchar *text)
{
    g_autoptr(GError) error = nullptr;
    /* The option's gap comes first, so that the message's own wins. */
    g_autofree gchar *full =
        opt_gap != nullptr ? g_strdup_printf("gap=%s %s", opt_gap, text) : g_strdup(text);
    VekgenMessage message;
    if (!vekgen_message_parse(full, rand, &message, &error) ||
        !vekgen_signal_add_message(signal, &message, rand, &error))
        fail(kExitUsage, "--message: %s", error->message);
}

void read_frame_file(VekgenSignal *signal, GRand *rand, const gchar *path)
{
    g_autoptr(GError) error = nullptr;
    if (!vekgen_signal_add_frame_file(signal, path, opt_forge, rand, &error))
        fail(error->domain == G_FILE_ERROR ? kExitFailure : kExitUsage, "%s", error->message);
}

void warn_close_frames(VekgenSignal *signal)
{
    guint n = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(signal, &n);
    for (guint i = 0; i < n; i++) {
        for (guint j = i + 1; j < n; j++) {
            if (frames[j].bit_rate != frames[i].bit_rate)
                continue;
            if (frames[j].start_sample < vekgen_frame_tail_end_sample(&frames[i]))
                g_printerr("vekgen: warning: frames at samples %" G_GUINT64_FORMAT
                           " and %" G_GUINT64_FORMAT
                           " are closer than 258 bit periods; the receiver may miss one\n",
                           frames[i].start_sample, frames[j].start_sample);
            break;
        }
    }
}

void warn_frames_left_out(VekgenSignal *signal, guint64 n_samples)
{
    guint n = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(signal, &n);
    for (guint i = 0; i < n; i++) {
        if (!vekgen_recording_holds_frame(&frames[i], 0, n_samples))
            g_printerr("vekgen: warning: the frame at sample %" G_GUINT64_FORMAT
                       " does not fit in the recording and is not annotated\n",
                       frames[i].start_sample);
    }
}

void print_truth(VekgenSignal *signal)
{
    guint n = 0;
    const VekgenFrame *frames = vekgen_signal_get_frames(signal, &n);
    for (guint i = 0; i < n; i++) {
        const VekgenFrameType *type = vekgen_frame_get_type(&frames[i]);
        g_autofree gchar *text = vekgen_frame_to_string(&frames[i]);
        g_autofree gchar *message =
            frames[i].uplink
                ? g_strdup_printf(" device=0x%X seq=%u %s", frames[i].device_id, frames[i].seq,
                                  frames[i].forged ? "forged" : "authentic")
                : g_strdup("");
        g_autofree gchar *number = frames[i].message != 0
                                       ? g_strdup_printf(" message=%u", frames[i].message)
                                       : g_strdup("");
        g_print("type=0x%03X tid=0x%08x ack=%d %s%s%s\n", type->pattern,
                vekgen_frame_expected_tid(&frames[i]),
                vekgen_frame_expected_ack(&frames[i]) ? 1 : 0, text, message, number);
    }
}

} // namespace

int main(int argc, char **argv)
{
    impairments = vekgen_impairments_new();
    const std::vector<GOptionEntry> entries = option_entries();
    vekgen::parse_command_line("vekgen", "- write generated uplink I/Q as a SigMF recording",
                               entries.data(), kDescription, &opt_version, &argc, &argv);
    g_autoptr(GError) error = nullptr;
    if (argc > 1)
        fail(kExitUsage, "unexpected argument '%s'", argv[1]);
    if (opt_seed < 0)
        fail(kExitUsage, "--seed must not be negative");
    if (!std::isfinite(opt_duration) || opt_duration < 0.0 || opt_duration > kMaxSeconds)
        fail(kExitUsage, "--duration must be between 0 and %u seconds", kMaxSeconds);

    gdouble noise_db = 30.0;
    if (opt_noise != nullptr) {
        if (g_str_equal(opt_noise, "none")) {
            noise_db = -G_MAXDOUBLE;
        } else {
            gchar *end = nullptr;
            noise_db = g_ascii_strtod(opt_noise, &end);
            if (end == opt_noise || *end != '\0' || !std::isfinite(noise_db) || noise_db > 120.0)
                fail(kExitUsage, "--noise must be a level in dB up to 120, or \"none\"");
        }
    }

    const guint64 seed = static_cast<guint64>(opt_seed);
    g_autoptr(VekgenSignal) signal = nullptr;
    if (opt_frames == nullptr && opt_frame_file == nullptr && opt_messages == nullptr) {
        signal = vekgen_signal_new_default_scenario(seed);
        if (opt_noise != nullptr) {
            /* The scenario's frames over the chosen noise. */
            g_autoptr(VekgenSignal) scenario = g_steal_pointer(&signal);
            signal = vekgen_signal_new(seed, noise_db);
            guint n = 0;
            const VekgenFrame *frames = vekgen_signal_get_frames(scenario, &n);
            for (guint i = 0; i < n; i++)
                vekgen_signal_add_frame(signal, &frames[i], nullptr);
        }
    } else {
        signal = vekgen_signal_new(seed, noise_db);
        g_autoptr(GRand) rand = g_rand_new_with_seed(static_cast<guint32>(seed ^ (seed >> 32)));
        if (opt_frame_file != nullptr)
            read_frame_file(signal, rand, opt_frame_file);
        for (gchar **f = opt_frames; f != nullptr && *f != nullptr; f++)
            add_frame_text(signal, rand, *f, "--frame");
        for (gchar **m = opt_messages; m != nullptr && *m != nullptr; m++)
            add_message_text(signal, rand, *m);
    }
    if (signal == nullptr)
        fail(kExitFailure, "out of memory");
    if (!vekgen_impairments_is_empty(impairments) &&
        !vekgen_signal_set_impairments(signal, impairments, &error))
        fail(kExitFailure, "%s", error->message);
    warn_close_frames(signal);

    guint64 n_samples = vekgen_signal_get_end(signal);
    if (opt_duration > 0.0)
        n_samples = static_cast<guint64>(std::llround(opt_duration * VEKGEN_SAMPLE_RATE));
    else if (n_samples > kMaxSamples)
        fail(kExitUsage, "the frames run until %.1f s; a recording holds at most %u s",
             static_cast<double>(n_samples) / VEKGEN_SAMPLE_RATE, kMaxSeconds);
    if (n_samples == 0)
        fail(kExitUsage, "nothing to write: give --duration or at least one frame");
    warn_frames_left_out(signal, n_samples);

    const gchar *output = opt_output != nullptr ? opt_output : "vekgen";
    if (opt_truth)
        print_truth(signal);
    if (!vekgen_recording_write(output, signal, n_samples, &error))
        fail(kExitFailure, "%s", error->message);
    g_printerr("vekgen: wrote %" G_GUINT64_FORMAT " samples (%.2f s) to %s.sigmf-data\n", n_samples,
               static_cast<double>(n_samples) / VEKGEN_SAMPLE_RATE, output);
    return vekgen::close_stdout(kExitOk);
}
