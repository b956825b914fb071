/* SPDX-License-Identifier: GPL-2.0-or-later */
/* iqhub_throughput RATE SECONDS [DIR]: generates a recording of SECONDS of
 * signal with a signed frame every 258 bit periods at RATE bit/s, then runs
 * it (1) straight through the demodulator, packet by packet, and (2) through
 * `vekbs --fast`, in writes of the advised length and of eight of them, and
 * prints the CPU time of each, their real-time factors, the wrapper's cost
 * over the bare demodulator and vekbs's peak RSS.
 * Both read the same samples; vekbs reads them as raw .cs16 (a link to the
 * data file), so that its peak RSS is the run's and not that of parsing the
 * truth annotations. The recording is removed at the end. */
#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <spawn.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

#include <glib/gstdio.h>
#include <vdem/vdem.h>
#include <vekgen/vekgen.h>

extern char **environ;

namespace
{

double cpu_seconds(const struct rusage &u)
{
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void on_frame(vdem_frame_cont_t *, const void *counter)
{
    ++*static_cast<guint64 *>(const_cast<void *>(counter));
}

/* Frames of @rate every spacing, signed, across the band, at 60 dB in noise at 30 dB. */
void generate(const gchar *base, guint rate, double seconds)
{
    g_autoptr(VekgenSignal) signal = vekgen_signal_new(11, 30.0);
    const guint64 total = static_cast<guint64>(seconds * VEKGEN_SAMPLE_RATE);
    const guint64 spacing = guint64{VEKGEN_FRAME_SPACING_BITS + 10} * vekgen_samples_per_bit(rate);
    const guint8 payload[4] = {0xde, 0xad, 0xbe, 0xef};
    guint i = 0;
    for (guint64 start = 1000; start + spacing < total; start += spacing, i++) {
        VekgenFrame f;
        vekgen_frame_init(&f);
        f.bit_rate = rate;
        f.start_sample = start;
        f.offset_hz = -80000.0 + 16000.0 * (i % 11);
        f.phase = 0.1 * (i % 60);
        vekgen_frame_set_uplink(&f, 0x1000 + i % 50, static_cast<guint16>(i % 4096), payload,
                                i % 5, FALSE, nullptr);
        vekgen_signal_add_frame(signal, &f, nullptr);
    }
    g_autoptr(GError) error = nullptr;
    if (!vekgen_recording_write(base, signal, total, &error)) {
        g_printerr("%s\n", error->message);
        exit(1);
    }
}

double bare(const gchar *base, guint rate, guint64 *frames, guint64 *samples)
{
    g_autoptr(VekgenRecording) rec = vekgen_recording_open(base, nullptr);
    vdem_interface_config_t config = {rate == 100 ? VDEM_INTERFACE_100BPS : VDEM_INTERFACE_600BPS,
                                      98.0f};
    char message[VDEM_INTERFACE_ERROR_MSG_SIZE];
    if (rec == nullptr || VDEM_INTERFACE_init(&config, message) != 0)
        exit(1);
    VDEM_INTERFACE_cb_register_fdata_exit_fct(on_frame, frames);
    const gsize packet = static_cast<gsize>(VDEM_INTERFACE_get_iq_packet_size());
    std::vector<gint16> iq(2 * packet);
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    for (gssize n; (n = vekgen_recording_read(rec, iq.data(), packet, nullptr)) > 0;) {
        std::fill(iq.begin() + 2 * n, iq.end(), 0);
        VDEM_INTERFACE_post_iq_packet(iq.data(), static_cast<int>(packet));
        *samples += static_cast<guint64>(n);
    }
    getrusage(RUSAGE_SELF, &after);
    VDEM_INTERFACE_terminate();
    return cpu_seconds(after) - cpu_seconds(before);
}

double wrapped(const gchar *base, guint rate, guint multiple, long *max_rss_kb)
{
    g_autofree gchar *rate_text = g_strdup_printf("%u", rate);
    g_autofree gchar *multiple_text = g_strdup_printf("%u", multiple);
    g_autofree gchar *data = g_strconcat(base, ".sigmf-data", nullptr);
    g_autofree gchar *raw = g_strconcat(base, ".cs16", nullptr);
    g_remove(raw);
    if (link(data, raw) != 0)
        exit(1);
    /* The wrapper's cost over the bare demodulator: the station on libvdem. */
    const char *argv[] = {VEKBS_PATH, "--fast",           "--no-auth",   "--receiver",
                          "vdem",     "--bit-rate",       rate_text,     "--sample-rate",
                          "192000",   "--write-multiple", multiple_text, raw,
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, VEKBS_PATH, &actions, nullptr, const_cast<char **>(argv), environ) != 0)
        exit(1);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        g_printerr("vekbs failed\n");
        exit(1);
    }
    *max_rss_kb = usage.ru_maxrss;
    return cpu_seconds(usage);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        g_printerr("usage: %s RATE SECONDS [DIR]\n", argv[0]);
        return 2;
    }
    const guint rate = static_cast<guint>(atoi(argv[1]));
    const double seconds = atof(argv[2]);
    g_autofree gchar *base = g_build_filename(argc > 3 ? argv[3] : g_get_tmp_dir(),
                                              "iqhub-throughput", nullptr);
    /* A child's peak RSS includes the pages of its parent at the spawn, so
     * the recording is made in a process of its own and vekbs is started
     * while this one is still small. */
    const pid_t maker = fork();
    if (maker == 0) {
        generate(base, rate, seconds);
        _exit(0);
    }
    int made = 0;
    if (maker < 0 || waitpid(maker, &made, 0) != maker || !WIFEXITED(made) ||
        WEXITSTATUS(made) != 0)
        return 1;
    long rss = 0, rss8 = 0;
    const double wrapped_cpu = wrapped(base, rate, 1, &rss);
    const double wrapped8_cpu = wrapped(base, rate, 8, &rss8);
    guint64 frames = 0, samples = 0;
    const double bare_cpu = bare(base, rate, &frames, &samples);
    const double signal = static_cast<double>(samples) / VEKGEN_SAMPLE_RATE;
    std::printf("rate %u bit/s, %.0f s of signal, %" G_GUINT64_FORMAT " frames\n", rate, signal,
                frames);
    std::printf("bare demodulator: %.2f s CPU, %.0f x real time\n", bare_cpu, signal / bare_cpu);
    std::printf("vekbs --fast, advised writes: %.2f s CPU, %.0f x real time, peak RSS %ld KiB, "
                "wrapper cost %+.1f %%\n",
                wrapped_cpu, signal / wrapped_cpu, rss,
                100.0 * (wrapped_cpu - bare_cpu) / bare_cpu);
    std::printf("vekbs --fast --write-multiple 8: %.2f s CPU, %.0f x real time, peak RSS %ld KiB, "
                "wrapper cost %+.1f %%\n",
                wrapped8_cpu, signal / wrapped8_cpu, rss8,
                100.0 * (wrapped8_cpu - bare_cpu) / bare_cpu);
    for (const char *ext : {".sigmf-data", ".sigmf-meta", ".cs16"}) {
        g_autofree gchar *path = g_strconcat(base, ext, nullptr);
        g_remove(path);
    }
    return 0;
}
