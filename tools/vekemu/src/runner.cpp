/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekemu: runs a program against emulated VEK cards.
 *
 *   vekemu [OPTIONS] -- PROGRAM [ARGS...]
 *
 * The cards live in this process; PROGRAM runs under umockdev's preload library and sees
 * them through the real libusb. The exit status is PROGRAM's (128 + signal number when it
 * was killed); otherwise the tools' convention: 1 for a failure at run time (the cards
 * cannot be set up, the events file cannot be written), 2 for a usage error, and 127,
 * as a shell answers, when PROGRAM cannot be started. */
#include <vekemu/vekemu.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <vector>

#include <glib-unix.h>

#ifdef VEKEMU_WITH_VEKGEN
#include <vekgen/vekgen.h>
#endif

namespace
{

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCannotStart = 127;

gint n_cards = 1;
gint n_dfu = 0;
gboolean nxp_ids = FALSE;
gboolean dfu_vek_ids = FALSE;
gboolean fast = FALSE;
gchar *serial = nullptr;
gchar *sigmf = nullptr;
gchar *hw_version = nullptr;
gchar *sw_version = nullptr;
gint64 vekgen_seed = -1;
gint n_held = 0;
gint n_unresponsive = 0;
gchar **reg_sets = nullptr;
gchar **error_codes = nullptr;
gchar *events_file = nullptr;
gdouble unplug_after = -1.0;
gdouble speed = 1.0;
gdouble replug_after = -1.0;

const GOptionEntry entries[] = {
    {"cards", 'n', 0, G_OPTION_ARG_INT, &n_cards, "Number of cards (default 1)", "N"},
    {"dfu", 'd', 0, G_OPTION_ARG_INT, &n_dfu,
     "Number of cards in DFU mode (0x1FC9:0x000C) besides them (default 0)", "N"},
    {"nxp", 0, 0, G_OPTION_ARG_NONE, &nxp_ids, "Cards enumerate as 0x1FC9:0x008A", nullptr},
    {"dfu-vek", 0, 0, G_OPTION_ARG_NONE, &dfu_vek_ids, "DFU cards enumerate as 0x6B3E:0x8001",
     nullptr},
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
    {"speed", 0, 0, G_OPTION_ARG_DOUBLE, &speed,
     "Stream at X times the sample rate, steadily (default 1)", "X"},
    {"set", 0, 0, G_OPTION_ARG_STRING_ARRAY, &reg_sets,
     "Set register GROUP:CMD of every card to VALUE (repeatable)", "GROUP:CMD=VALUE"},
    {"error", 'e', 0, G_OPTION_ARG_STRING_ARRAY, &error_codes,
     "Push CODE onto every card's error stack (repeatable, oldest first)", "CODE"},
    {"held", 0, 0, G_OPTION_ARG_INT, &n_held,
     "The first N cards are held by another process: they cannot be opened", "N"},
    {"unresponsive", 0, 0, G_OPTION_ARG_INT, &n_unresponsive,
     "The first N cards never answer a vendor request (their firmware hangs)", "N"},
    {"events", 0, 0, G_OPTION_ARG_FILENAME, &events_file,
     "At the end, write every request the cards saw to FILE, one per line", "FILE"},
    {"unplug-after", 0, 0, G_OPTION_ARG_DOUBLE, &unplug_after,
     "Unplug every card SECONDS after PROGRAM started (SIGUSR1 to the runner does it at once)",
     "SECONDS"},
    {"replug-after", 0, 0, G_OPTION_ARG_DOUBLE, &replug_after,
     "Plug the cards back in SECONDS after they were unplugged (SIGUSR2 does it at once)",
     "SECONDS"},
    {}};

/* A 32-bit word: unsigned (decimal, 0x hex, 0 octal) or a negative 32-bit number. */
bool parse_word(const gchar *text, guint32 *out)
{
    gchar *end = nullptr;
    errno = 0;
    if (text[0] == '-') {
        gint64 v = g_ascii_strtoll(text, &end, 0);
        if (end == text || *end != '\0' || errno != 0 || v < G_MININT32)
            return false;
        *out = static_cast<guint32>(static_cast<gint32>(v));
        return true;
    }
    guint64 v = g_ascii_strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || v > G_MAXUINT32)
        return false;
    *out = static_cast<guint32>(v);
    return true;
}

struct RegSet {
    guint8 group;
    guint16 cmd;
    guint32 value;
};

bool parse_reg_set(const gchar *text, RegSet *out)
{
    g_auto(GStrv) kv = g_strsplit(text, "=", 2);
    if (g_strv_length(kv) != 2)
        return false;
    g_auto(GStrv) gc = g_strsplit(kv[0], ":", 2);
    guint32 group = 0, cmd = 0;
    if (g_strv_length(gc) != 2 || !parse_word(gc[0], &group) || !parse_word(gc[1], &cmd) ||
        group > G_MAXUINT8 || cmd > G_MAXUINT16 || !parse_word(kv[1], &out->value))
        return false;
    out->group = static_cast<guint8>(group);
    out->cmd = static_cast<guint16>(cmd);
    return true;
}

const char *event_kind(VekemuEventKind kind)
{
    switch (kind) {
    case VEKEMU_EVENT_CONTROL:
        return "control";
    case VEKEMU_EVENT_BULK_OUT:
        return "bulk-out";
    case VEKEMU_EVENT_RESET:
        return "reset";
    case VEKEMU_EVENT_CLAIM:
        return "claim";
    case VEKEMU_EVENT_RELEASE:
        return "release";
    }
    return "?";
}

bool write_events(VekemuBed *bed, const gchar *path, GError **error)
{
    g_autoptr(GString) out = g_string_new(nullptr);
    for (guint i = 0; i < vekemu_bed_card_count(bed); i++) {
        VekemuCard *card = vekemu_bed_card(bed, i);
        g_autoptr(GArray) events = vekemu_card_events(card);
        for (guint k = 0; k < events->len; k++) {
            const VekemuEvent &e = g_array_index(events, VekemuEvent, k);
            g_string_append_printf(out, "card %u %s", i, event_kind(e.kind));
            if (e.kind == VEKEMU_EVENT_CONTROL)
                g_string_append_printf(out,
                                       " type=0x%02x request=%u value=%u index=%u length=%u "
                                       "data=0x%08x",
                                       e.bmRequestType, e.bRequest, e.wValue, e.wIndex, e.wLength,
                                       e.value);
            else if (e.kind == VEKEMU_EVENT_CLAIM || e.kind == VEKEMU_EVENT_RELEASE)
                g_string_append_printf(out, " interface=%u", e.wIndex);
            else if (e.kind == VEKEMU_EVENT_BULK_OUT)
                g_string_append_printf(out, " bytes=%" G_GSIZE_FORMAT, e.length);
            g_string_append(out, e.stalled ? " stall\n" : "\n");
        }
    }
    return g_file_set_contents(path, out->str, static_cast<gssize>(out->len), error);
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

/* The program under test and the plug schedule of its cards. */
struct Run {
    VekemuBed *bed;
    GMainLoop *loop;
    GPid pid = 0;
    gint wait_status = 0;
};

void replug_cards(Run *run)
{
    for (guint i = 0; i < vekemu_bed_card_count(run->bed); i++) {
        VekemuCard *card = vekemu_bed_card(run->bed, i);
        g_autoptr(GError) error = nullptr;
        if (!vekemu_card_is_plugged(card) && !vekemu_card_plug(card, &error))
            std::fprintf(stderr, "vekemu: cannot plug card %u back in: %s\n", i, error->message);
    }
    std::fprintf(stderr, "vekemu: cards plugged in\n");
}

gboolean replug_due(gpointer data)
{
    replug_cards(static_cast<Run *>(data));
    return G_SOURCE_REMOVE;
}

void unplug_cards(Run *run)
{
    for (guint i = 0; i < vekemu_bed_card_count(run->bed); i++)
        vekemu_card_unplug(vekemu_bed_card(run->bed, i));
    std::fprintf(stderr, "vekemu: cards unplugged\n");
    if (replug_after >= 0.0)
        g_timeout_add(static_cast<guint>(replug_after * 1000.0), replug_due, run);
}

gboolean unplug_due(gpointer data)
{
    unplug_cards(static_cast<Run *>(data));
    return G_SOURCE_REMOVE;
}

gboolean on_usr1(gpointer data)
{
    unplug_cards(static_cast<Run *>(data));
    return G_SOURCE_CONTINUE;
}

gboolean on_usr2(gpointer data)
{
    replug_cards(static_cast<Run *>(data));
    return G_SOURCE_CONTINUE;
}

/* SIGINT and SIGTERM are the program's to handle: it may stop in order. */
gboolean forward_signal(gpointer data, int signal)
{
    kill(static_cast<Run *>(data)->pid, signal);
    return G_SOURCE_CONTINUE;
}

gboolean on_int(gpointer data)
{
    return forward_signal(data, SIGINT);
}

gboolean on_term(gpointer data)
{
    return forward_signal(data, SIGTERM);
}

void child_exited(GPid pid, gint wait_status, gpointer data)
{
    auto *run = static_cast<Run *>(data);
    g_spawn_close_pid(pid);
    run->wait_status = wait_status;
    g_main_loop_quit(run->loop);
}

/* What the command line asks for, checked. */
struct Setup {
    VekemuCardConfig cfg;
    std::vector<RegSet> sets;
    std::vector<guint32> errors;
    gchar **program = nullptr; /* PROGRAM and its arguments, inside argv */
};

const char kDescription[] =
    "Exit status: PROGRAM's own (128 + N when signal N killed it); otherwise 1 when the\n"
    "run fails (a card that cannot be set up, an events file that cannot be written),\n"
    "2 on a usage error (bad option or value, no PROGRAM), 127 when PROGRAM cannot be\n"
    "started.\n";

/* Parses the options into @setup; false (with the reason on standard error) for a usage
 * error. */
bool parse_arguments(int argc, char **argv, Setup *setup)
{
    g_autoptr(GOptionContext) ctx = g_option_context_new("-- PROGRAM [ARGS...]");
    g_option_context_set_summary(ctx,
                                 "Runs PROGRAM against emulated VEK cards: PROGRAM uses the real "
                                 "libusb-1.0 and finds the cards on the USB bus.");
    g_option_context_set_description(ctx, kDescription);
    g_option_context_add_main_entries(ctx, entries, nullptr);
    g_autoptr(GError) error = nullptr;
    if (!g_option_context_parse(ctx, &argc, &argv, &error)) {
        std::fprintf(stderr, "vekemu: %s\n", error->message);
        return false;
    }
    int first = 1;
    if (first < argc && g_strcmp0(argv[first], "--") == 0)
        first++;
    if (first >= argc || n_cards < 0 || n_dfu < 0 || n_held < 0 || n_unresponsive < 0 ||
        !(speed > 0.0)) {
        std::fprintf(stderr, "vekemu: usage: vekemu [OPTIONS] -- PROGRAM [ARGS...]\n");
        return false;
    }
    setup->program = argv + first;

    VekemuCardConfig &cfg = setup->cfg;
    vekemu_card_config_init(&cfg);
    if (nxp_ids) {
        cfg.vid = VEKEMU_VID_NXP;
        cfg.pid = VEKEMU_PID_NXP_CARD;
    }
    if ((hw_version != nullptr && !parse_word(hw_version, &cfg.hw_version)) ||
        (sw_version != nullptr && !parse_word(sw_version, &cfg.sw_version))) {
        std::fprintf(stderr, "vekemu: a version word is a 32-bit number\n");
        return false;
    }
    cfg.pacing = fast ? VEKEMU_PACING_FAST : VEKEMU_PACING_REALTIME;
    cfg.sigmf_path = sigmf;
    for (gchar **p = reg_sets; p != nullptr && *p != nullptr; p++) {
        RegSet r{};
        if (!parse_reg_set(*p, &r)) {
            std::fprintf(stderr, "vekemu: --set wants GROUP:CMD=VALUE, not \"%s\"\n", *p);
            return false;
        }
        setup->sets.push_back(r);
    }
    for (gchar **p = error_codes; p != nullptr && *p != nullptr; p++) {
        guint32 code = 0;
        if (!parse_word(*p, &code)) {
            std::fprintf(stderr, "vekemu: an error code is a 32-bit number, not \"%s\"\n", *p);
            return false;
        }
        setup->errors.push_back(code);
    }
    return true;
}

/* Plugs the cards and the DFU cards of @setup into @bed; false (with the reason on
 * standard error) when one cannot be plugged. */
bool plug_cards(VekemuBed *bed, Setup *setup)
{
    g_autoptr(GError) error = nullptr;
    VekemuCardConfig &cfg = setup->cfg;
    for (gint i = 0; i < n_cards; i++) {
        cfg.serial = i == 0 ? serial : nullptr;
        VekemuCard *card = vekemu_add_card(bed, &cfg, &error);
        if (card == nullptr) {
            std::fprintf(stderr, "vekemu: cannot plug card %d: %s\n", i, error->message);
            return false;
        }
        vekemu_card_set_speed(card, speed);
        for (const RegSet &r : setup->sets)
            vekemu_card_reg_set(card, r.group, r.cmd, r.value);
        for (guint32 code : setup->errors)
            vekemu_card_push_error(card, code);
        if (i < n_held)
            vekemu_card_hold(card, TRUE);
        if (i < n_unresponsive)
            vekemu_card_set_unresponsive(card, TRUE);
#ifdef VEKEMU_WITH_VEKGEN
        if (vekgen_seed >= 0)
            vekemu_card_set_iq_source(card, vekgen_fill,
                                      new Generator{static_cast<guint64>(vekgen_seed),
                                                    vekgen_signal_new_default_scenario(
                                                        static_cast<guint64>(vekgen_seed))});
#endif
    }
    VekemuCardConfig dfu_cfg;
    vekemu_dfu_config_init(&dfu_cfg);
    if (dfu_vek_ids) {
        dfu_cfg.vid = VEKEMU_VID_VEK;
        dfu_cfg.pid = VEKEMU_PID_VEK_DFU;
    }
    for (gint i = 0; i < n_dfu; i++) {
        if (vekemu_add_dfu_card(bed, &dfu_cfg, &error) == nullptr) {
            std::fprintf(stderr, "vekemu: cannot plug DFU card %d: %s\n", i, error->message);
            return false;
        }
    }
    return true;
}

/* Runs @program against the cards of @bed, following the plug schedule and the signals
 * until it ends; its wait status, or false when it cannot be started. */
bool spawn_and_wait(VekemuBed *bed, gchar **program, gint *wait_status, GError **error)
{
    g_auto(GStrv) env = vekemu_child_environ(bed, program[0]);
    Run run{bed, g_main_loop_new(nullptr, FALSE)};
    gboolean ran =
        g_spawn_async(nullptr, program, env,
                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_CHILD_INHERITS_STDIN |
                                               G_SPAWN_DO_NOT_REAP_CHILD),
                      nullptr, nullptr, &run.pid, error);
    if (ran) {
        g_child_watch_add(run.pid, child_exited, &run);
        const guint signals[] = {g_unix_signal_add(SIGUSR1, on_usr1, &run),
                                 g_unix_signal_add(SIGUSR2, on_usr2, &run),
                                 g_unix_signal_add(SIGINT, on_int, &run),
                                 g_unix_signal_add(SIGTERM, on_term, &run)};
        if (unplug_after >= 0.0)
            g_timeout_add(static_cast<guint>(unplug_after * 1000.0), unplug_due, &run);
        g_main_loop_run(run.loop);
        for (guint id : signals)
            g_source_remove(id);
    }
    g_main_loop_unref(run.loop);
    *wait_status = run.wait_status;
    return ran;
}

/* The runner's status for PROGRAM's wait status. */
int program_status(gint wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return kExitFailure;
}

} // namespace

int main(int argc, char **argv)
{
    Setup setup;
    if (!parse_arguments(argc, argv, &setup))
        return kExitUsage;
    VekemuBed *bed = vekemu_bed_get();
    if (!plug_cards(bed, &setup)) {
        vekemu_bed_destroy();
        return kExitFailure;
    }
    gint wait_status = 0;
    g_autoptr(GError) spawn_error = nullptr;
    const bool ran = spawn_and_wait(bed, setup.program, &wait_status, &spawn_error);
    g_autoptr(GError) events_error = nullptr;
    const bool events_ok = events_file == nullptr || write_events(bed, events_file, &events_error);
    vekemu_bed_destroy();
    if (!events_ok) {
        std::fprintf(stderr, "vekemu: %s\n", events_error->message);
        return kExitFailure;
    }
    if (!ran) {
        std::fprintf(stderr, "vekemu: %s\n", spawn_error->message);
        return kExitCannotStart;
    }
    return program_status(wait_status);
}
