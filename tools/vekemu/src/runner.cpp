/* vekemu: runs a program against emulated VEK cards.
 *
 *   vekemu [OPTIONS] -- PROGRAM [ARGS...]
 *
 * The cards live in this process; PROGRAM runs under umockdev's preload library and sees
 * them through the real libusb. The exit status is PROGRAM's (128 + signal number when it
 * was killed); 64 for a usage error, 70 when the cards cannot be set up. */
#include <vekemu/vekemu.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#ifdef VEKEMU_WITH_VEKGEN
#include <vekgen/vekgen.h>
#endif

namespace
{

constexpr int EXIT_USAGE = 64;
constexpr int EXIT_SOFTWARE = 70;

gint n_cards = 1;
gint n_dfu = 0;
gboolean nxp_ids = FALSE;
gboolean fast = FALSE;
gchar *serial = nullptr;
gchar *sigmf = nullptr;
gchar *hw_version = nullptr;
gchar *sw_version = nullptr;
gint64 vekgen_seed = -1;

const GOptionEntry entries[] = {
    {"cards", 'n', 0, G_OPTION_ARG_INT, &n_cards, "Number of cards (default 1)", "N"},
    {"dfu", 'd', 0, G_OPTION_ARG_INT, &n_dfu,
     "Number of cards in DFU mode (0x1FC9:0x000C) besides them (default 0)", "N"},
    {"nxp", 0, 0, G_OPTION_ARG_NONE, &nxp_ids, "Cards enumerate as 0x1FC9:0x008A", nullptr},
    {"serial", 's', 0, G_OPTION_ARG_STRING, &serial, "Serial number of the first card", "TEXT"},
    {"hw-version", 0, 0, G_OPTION_ARG_STRING, &hw_version, "Hardware version word", "WORD"},
    {"sw-version", 0, 0, G_OPTION_ARG_STRING, &sw_version, "Software version word", "WORD"},
    {"sigmf", 'r', 0, G_OPTION_ARG_FILENAME, &sigmf,
     "Stream this ci16_le SigMF recording in a loop (default: counter pattern)", "FILE"},
#ifdef VEKEMU_WITH_VEKGEN
    {"vekgen", 'g', 0, G_OPTION_ARG_INT64, &vekgen_seed,
     "Stream the uplink generator's default scenario (noise and frames) with this seed", "SEED"},
#endif
    {"fast", 'f', 0, G_OPTION_ARG_NONE, &fast,
     "Fill every RX transfer at once instead of at the sample rate", nullptr},
    {}};

bool parse_word(const gchar *text, guint32 *out)
{
    gchar *end = nullptr;
    errno = 0;
    guint64 v = g_ascii_strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || v > G_MAXUINT32)
        return false;
    *out = static_cast<guint32>(v);
    return true;
}

#ifdef VEKEMU_WITH_VEKGEN
struct Generator {
    guint64 seed;
    VekgenSignal *signal;
};

void vekgen_fill(guint8 *buf, gsize len, guint64 offset, gpointer data)
{
    auto *gen = static_cast<Generator *>(data);
    guint64 sample = offset / 4;
    if (sample < vekgen_signal_get_position(gen->signal)) {
        /* The stream was switched on again: the scenario starts over. */
        vekgen_signal_free(gen->signal);
        gen->signal = vekgen_signal_new_default_scenario(gen->seed);
    }
    if (sample > vekgen_signal_get_position(gen->signal))
        vekgen_signal_skip(gen->signal, sample - vekgen_signal_get_position(gen->signal));
    vekgen_signal_fill(gen->signal, reinterpret_cast<gint16 *>(buf), len / 4);
}
#endif

} // namespace

int main(int argc, char **argv)
{
    g_autoptr(GOptionContext) ctx = g_option_context_new("-- PROGRAM [ARGS...]");
    g_option_context_set_summary(ctx,
                                 "Runs PROGRAM against emulated VEK cards: PROGRAM uses the real "
                                 "libusb-1.0 and finds the cards on the USB bus.");
    g_option_context_add_main_entries(ctx, entries, nullptr);
    g_autoptr(GError) error = nullptr;
    if (!g_option_context_parse(ctx, &argc, &argv, &error)) {
        std::fprintf(stderr, "vekemu: %s\n", error->message);
        return EXIT_USAGE;
    }
    int first = 1;
    if (first < argc && g_strcmp0(argv[first], "--") == 0)
        first++;
    if (first >= argc || n_cards < 0 || n_dfu < 0) {
        std::fprintf(stderr, "vekemu: usage: vekemu [OPTIONS] -- PROGRAM [ARGS...]\n");
        return EXIT_USAGE;
    }

    VekemuCardConfig cfg;
    vekemu_card_config_init(&cfg);
    if (nxp_ids) {
        cfg.vid = VEKEMU_VID_NXP;
        cfg.pid = VEKEMU_PID_NXP_CARD;
    }
    if ((hw_version != nullptr && !parse_word(hw_version, &cfg.hw_version)) ||
        (sw_version != nullptr && !parse_word(sw_version, &cfg.sw_version))) {
        std::fprintf(stderr, "vekemu: a version word is a 32-bit number\n");
        return EXIT_USAGE;
    }
    cfg.pacing = fast ? VEKEMU_PACING_FAST : VEKEMU_PACING_REALTIME;
    cfg.sigmf_path = sigmf;

    VekemuBed *bed = vekemu_bed_get();
    for (gint i = 0; i < n_cards; i++) {
        cfg.serial = i == 0 ? serial : nullptr;
        VekemuCard *card = vekemu_add_card(bed, &cfg, &error);
        if (card == nullptr) {
            std::fprintf(stderr, "vekemu: cannot plug card %d: %s\n", i, error->message);
            vekemu_bed_destroy();
            return EXIT_SOFTWARE;
        }
#ifdef VEKEMU_WITH_VEKGEN
        if (vekgen_seed >= 0)
            vekemu_card_set_iq_source(card, vekgen_fill,
                                      new Generator{static_cast<guint64>(vekgen_seed),
                                                    vekgen_signal_new_default_scenario(
                                                        static_cast<guint64>(vekgen_seed))});
#endif
    }
    for (gint i = 0; i < n_dfu; i++) {
        if (vekemu_add_dfu_card(bed, nullptr, &error) == nullptr) {
            std::fprintf(stderr, "vekemu: cannot plug DFU card %d: %s\n", i, error->message);
            vekemu_bed_destroy();
            return EXIT_SOFTWARE;
        }
    }

    g_auto(GStrv) env = vekemu_child_environ(bed, argv[first]);
    gint wait_status = 0;
    gboolean ran =
        g_spawn_sync(nullptr, argv + first, env,
                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_CHILD_INHERITS_STDIN),
                     nullptr, nullptr, nullptr, nullptr, &wait_status, &error);
    vekemu_bed_destroy();
    if (!ran) {
        std::fprintf(stderr, "vekemu: %s\n", error->message);
        return 127;
    }
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return EXIT_SOFTWARE;
}
