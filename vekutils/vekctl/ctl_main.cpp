/* SPDX-License-Identifier: GPL-2.0-or-later */
/* vekctl: the operator's command line over the VEK card's control requests.
 *
 * One run opens one card for control only, performs the requested operations
 * in a fixed order (whatever their order on the command line), prints one
 * block per operation and stops at the first failure.
 *
 * Exit status: 0 on success and after --Version, 1 after any failure,
 * including output that could not be written. */
#include <xvek/xvek.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

namespace
{

constexpr gint kFirstCard = -99;
constexpr char kSeparator[] = "==================================\n";
constexpr gsize kErrorTextSize = 4096;

/* An option that reads without a value and writes a number with one. */
struct NumberOption {
    gboolean get = FALSE;
    gboolean set = FALSE;   /* a value was given: -1 is a value like any other */
    gboolean whole = FALSE; /* it is a whole decimal number, held in value */
    gint64 value = -1;
};

/* An option that reads without a value and writes a name with one. */
struct NameOption {
    gboolean get = FALSE;
    gchar *value = nullptr;
};

struct Options {
    gboolean version = FALSE;
    gboolean verbose = FALSE;
    gboolean ping = FALSE;
    gboolean uptime = FALSE;
    gboolean swinfo = FALSE;
    gboolean hwinfo = FALSE;
    gboolean synth = FALSE;
    gboolean eepsave = FALSE;
    gboolean eepreset = FALSE;
    gboolean errors = FALSE;
    gboolean temp = FALSE;
    gint id = kFirstCard;
    NumberOption cfr, cft, ifreq, xf, txlevel;
    NameOption preamp[3], mode, loopback;
    gchar *rawget = nullptr;
    gchar *nxpget = nullptr;
    gchar *nxpset = nullptr;

    Options() = default;
    Options(const Options &) = delete;
    Options &operator=(const Options &) = delete;
    ~Options()
    {
        for (NameOption &p : preamp)
            g_free(p.value);
        g_free(mode.value);
        g_free(loopback.value);
        g_free(rawget);
        g_free(nxpget);
        g_free(nxpset);
    }
};

void set_number(NumberOption &opt, const gchar *value)
{
    if (value == nullptr) {
        opt.get = TRUE;
        return;
    }
    /* Only a whole decimal number counts: "868e6" or "5k" would otherwise be
     * cut to their leading digits and written as such. Range checks come
     * with each write. */
    opt.set = TRUE;
    opt.whole = g_ascii_string_to_signed(value, 10, G_MININT64, G_MAXINT64, &opt.value, nullptr);
}

void set_name(NameOption &opt, const gchar *value)
{
    if (value == nullptr) {
        opt.get = TRUE;
        return;
    }
    g_free(opt.value);
    opt.value = g_strdup(value);
}

gboolean on_get_or_set(const gchar *name, const gchar *value, gpointer data, GError **error)
{
    auto *o = static_cast<Options *>(data);
    if (g_strcmp0(name, "--mode") == 0)
        set_name(o->mode, value);
    else if (g_strcmp0(name, "--txlevel") == 0)
        set_number(o->txlevel, value);
    else if (g_strcmp0(name, "--cfr") == 0)
        set_number(o->cfr, value);
    else if (g_strcmp0(name, "--cft") == 0)
        set_number(o->cft, value);
    else if (g_strcmp0(name, "--if") == 0)
        set_number(o->ifreq, value);
    else if (g_strcmp0(name, "--xf") == 0)
        set_number(o->xf, value);
    else if (g_strcmp0(name, "--preamp0") == 0)
        set_name(o->preamp[0], value);
    else if (g_strcmp0(name, "--preamp1") == 0)
        set_name(o->preamp[1], value);
    else if (g_strcmp0(name, "--preamp2") == 0)
        set_name(o->preamp[2], value);
    else if (g_strcmp0(name, "--loopback") == 0)
        set_name(o->loopback, value);
    else {
        g_set_error(error, G_OPTION_ERROR, G_OPTION_ERROR_UNKNOWN_OPTION, "unknown option %s",
                    name);
        return FALSE;
    }
    return TRUE;
}

/* Builds the option context; the entries point into @o. */
GOptionContext *make_context(Options &o)
{
    const auto cb = reinterpret_cast<gpointer>(on_get_or_set);
    constexpr int opt = G_OPTION_FLAG_OPTIONAL_ARG;
    const GOptionEntry entries[] = {
        {"Version", 'V', 0, G_OPTION_ARG_NONE, &o.version, "Show the application's version",
         nullptr},
        {"id", 'i', 0, G_OPTION_ARG_INT, &o.id, "Vek device card id (default: first detected)",
         "ID"},
        {"verbose", 'v', 0, G_OPTION_ARG_NONE, &o.verbose, "Enable verbosity", nullptr},
        {"ping", 0, 0, G_OPTION_ARG_NONE, &o.ping, "Ping", nullptr},
        {"uptime", 0, 0, G_OPTION_ARG_NONE, &o.uptime, "Get uptime", nullptr},
        {"swinfo", 0, 0, G_OPTION_ARG_NONE, &o.swinfo, "Get sw info", nullptr},
        {"hwinfo", 0, 0, G_OPTION_ARG_NONE, &o.hwinfo, "Get hw info", nullptr},
        {"cfr", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set RX Central freq (Hz)", "HZ"},
        {"cft", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set TX Central freq (Hz)", "HZ"},
        {"if", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set Interm. freq (Hz)", "HZ"},
        {"xf", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set Crystal freq (1/10th Hz)",
         "TENTHS_HZ"},
        {"synth", 0, 0, G_OPTION_ARG_NONE, &o.synth, "Get synth type", nullptr},
        {"preamp0", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set Preamp0 (LNA, BYPASS or ATTEN)",
         "MODE"},
        {"preamp1", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set Preamp1 (LNA, BYPASS or ATTEN)",
         "MODE"},
        {"preamp2", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set Preamp2 (LNA, BYPASS or ATTEN)",
         "MODE"},
        {"mode", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set Mode (RX / TX / LBT)", "MODE"},
        {"loopback", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set Loopback (ON / OFF)", "ON|OFF"},
        {"txlevel", 0, opt, G_OPTION_ARG_CALLBACK, cb, "Get or Set TX Level", "LEVEL"},
        {"eepsave", 0, 0, G_OPTION_ARG_NONE, &o.eepsave, "Save current values in eeprom", nullptr},
        {"eepreset", 0, 0, G_OPTION_ARG_NONE, &o.eepreset, "Restore factory settings in eeprom",
         nullptr},
        {"errors", 0, 0, G_OPTION_ARG_NONE, &o.errors, "Get full device error code stack", nullptr},
        {"temp", 0, 0, G_OPTION_ARG_NONE, &o.temp, "Read device temperature (Celcius)", nullptr},
        {"rawget", 0, 0, G_OPTION_ARG_STRING, &o.rawget,
         "Generic USB EP0 get command: "
         "<bmRequestType.type,bmRequestType.recipient,bRequest,wValue,wIndex,wLength>, all "
         "fields in hexa",
         "TYPE,RECIP,REQ,VAL,IDX,LEN"},
        {"nxpget", 0, 0, G_OPTION_ARG_STRING, &o.nxpget,
         "NXP USB EP0 get command: <Group,Command>, all fields in hexa", "GROUP,CMD"},
        {"nxpset", 0, 0, G_OPTION_ARG_STRING, &o.nxpset,
         "NXP USB EP0 get command: <Group,Command,Data>, all fields in hexa", "GROUP,CMD,DATA"},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    GOptionContext *ctx = g_option_context_new("- vekrecord");
    GOptionGroup *main_group = g_option_group_new(nullptr, nullptr, nullptr, &o, nullptr);
    g_option_group_add_entries(main_group, entries);
    g_option_context_set_main_group(ctx, main_group);
    g_option_context_set_help_enabled(ctx, TRUE);
    g_option_context_set_description(
        ctx, "Options without a value read a setting, options with one (--cfr=868100000) write\n"
             "it. Operations run in a fixed order whatever their order on the command line,\n"
             "and the run stops at the first failure.\n"
             "\n"
             "Exit status: 0 on success and after --Version, 1 after any failure.\n");
    return ctx;
}

/* Splits @text at every comma into exactly @count hexadecimal fields. */
bool parse_fields(const gchar *text, guint count, guint32 *fields)
{
    g_auto(GStrv) parts = g_strsplit(text, ",", -1);
    if (g_strv_length(parts) != count) {
        fflush(stdout);
        fprintf(stderr, "Error: exactly %u params expected\n", count);
        return false;
    }
    for (guint i = 0; i < count; i++)
        fields[i] = static_cast<guint32>(g_ascii_strtoull(parts[i], nullptr, 16));
    return true;
}

/* Runs the requested operations on one opened card. */
class Session
{
  public:
    Session(const Options &o, VekDevice *dev) : o_(o), dev_(dev) {}

    bool run()
    {
        return ping() && uptime() && swinfo() && hwinfo() && frequencies() && synth() &&
               preamps() && mode() && loopback() && txlevel() && eeprom() && errors() &&
               temperature() && rawget() && nxpget() && nxpset();
    }

  private:
    const Options &o_;
    VekDevice *dev_;

    /* Completes the open line: OK or the device error. */
    static bool finish(gboolean ok, GError *error)
    {
        if (!ok) {
            printf("Error: %s\n", error != nullptr ? error->message : "unknown error");
            return false;
        }
        return true;
    }

    static void open_action(const gchar *label) { printf("%s#Sending %s : ", kSeparator, label); }
    static void open_read(const gchar *label) { printf("%s#Get %s : ", kSeparator, label); }
    static void open_write(const gchar *label, const gchar *value)
    {
        printf("%s#Setting %s to %s : ", kSeparator, label, value);
    }
    static void close_ok() { printf("OK\n%s", kSeparator); }
    static void close_value(const gchar *value) { printf("  %s\n%s", value, kSeparator); }

    static bool fail_check(const gchar *format, const gchar *value = nullptr)
    {
        fflush(stdout);
        fprintf(stderr, format, value);
        return false;
    }

    /* Runs @call for a line already opened and closes it with OK. */
    template <typename Call> static bool finish_ok(Call call)
    {
        g_autoptr(GError) error = nullptr;
        const gboolean ok = call(&error);
        if (!finish(ok, error))
            return false;
        close_ok();
        return true;
    }

    template <typename Call> bool action(const gchar *label, Call call)
    {
        open_action(label);
        return finish_ok(call);
    }

    template <typename Call> bool write(const gchar *label, const gchar *value, Call call)
    {
        open_write(label, value);
        return finish_ok(call);
    }

    /* Reads through @call, then formats the value with @format_value. */
    template <typename Call, typename Format>
    bool read(const gchar *label, Call call, Format format_value)
    {
        open_read(label);
        g_autoptr(GError) error = nullptr;
        const gboolean ok = call(&error);
        if (!finish(ok, error))
            return false;
        g_autofree gchar *text = format_value();
        close_value(text != nullptr ? text : "");
        return true;
    }

    bool ping()
    {
        if (!o_.ping)
            return true;
        return action("Ping", [&](GError **e) { return xvek_ctrl_ping(dev_, e); });
    }

    bool uptime()
    {
        if (!o_.uptime)
            return true;
        guint32 v = 0;
        return read(
            "Uptime", [&](GError **e) { return xvek_ctrl_uptime(dev_, &v, e); },
            [&] { return g_strdup_printf("%u 1/10th sec", v); });
    }

    bool swinfo()
    {
        if (!o_.swinfo)
            return true;
        gchar *info = nullptr;
        return read(
            "SW Info", [&](GError **e) { return xvek_ctrl_swinfo(dev_, &info, e); },
            [&] { return info; });
    }

    bool hwinfo()
    {
        if (!o_.hwinfo)
            return true;
        gchar *info = nullptr;
        return read(
            "HW Info", [&](GError **e) { return xvek_ctrl_hwinfo(dev_, &info, e); },
            [&] { return info; });
    }

    /* A frequency option: write it, then read it back when asked. A value that
     * is not a whole number from 1 to 4294967295 fails with @check. The crystal
     * (@check NULL) drops a whole number not above 0 without a word and refuses
     * anything else out of range. */
    template <typename Set, typename Get>
    bool frequency(const NumberOption &opt, const gchar *label, const gchar *unit,
                   const gchar *check, Set set, Get get)
    {
        const bool in_range = opt.whole && opt.value > 0 && opt.value <= G_MAXUINT32;
        if (opt.set && !in_range) {
            if (check != nullptr)
                return fail_check(check);
            if (!opt.whole || opt.value > 0)
                return fail_check("Error: XF must be a whole number from 1 to 4294967295\n");
        }
        if (opt.set && in_range) {
            const auto freq = static_cast<guint32>(opt.value);
            g_autofree gchar *text = g_strdup_printf("%u %s", freq, unit);
            if (!write(label, text, [&](GError **e) { return set(freq, e); }))
                return false;
        }
        if (opt.get) {
            guint32 freq = 0;
            if (!read(
                    label, [&](GError **e) { return get(&freq, e); },
                    [&] { return g_strdup_printf("%u %s", freq, unit); }))
                return false;
        }
        return true;
    }

    /* A carrier frequency of @mode. */
    bool carrier(const NumberOption &opt, VektypeCtlMode mode, const gchar *label,
                 const gchar *check)
    {
        return frequency(
            opt, label, "Hz", check,
            [&](guint32 freq, GError **e) { return xvek_ctrl_cf_set(dev_, freq, mode, e); },
            [&](guint32 *freq, GError **e) { return xvek_ctrl_cf_get(dev_, freq, mode, e); });
    }

    bool intermediate()
    {
        return frequency(
            o_.ifreq, "IF", "Hz", "Error: IF must be greater than 0\n",
            [&](guint32 freq, GError **e) { return xvek_ctrl_if_set(dev_, freq, e); },
            [&](guint32 *freq, GError **e) { return xvek_ctrl_if_get(dev_, freq, e); });
    }

    bool crystal()
    {
        return frequency(
            o_.xf, "XF", "1/10th Hz", nullptr,
            [&](guint32 freq, GError **e) { return xvek_ctrl_xf_set(dev_, freq, e); },
            [&](guint32 *freq, GError **e) { return xvek_ctrl_xf_get(dev_, freq, e); });
    }

    bool frequencies()
    {
        return carrier(o_.cfr, XVEK_CTL_MODE_RX, "RX Cf",
                       "Error: RX Cf must be greater than 0\n") &&
               carrier(o_.cft, XVEK_CTL_MODE_TX, "TX Cf",
                       "Error: TX Cf must be greater than 0\n") &&
               intermediate() && crystal();
    }

    bool synth()
    {
        if (!o_.synth)
            return true;
        VektypeCtlSynth s = XVEK_CTL_SYNTH_MAX;
        return read(
            "Synth", [&](GError **e) { return xvek_ctrl_synth_get(dev_, &s, e); },
            [&] { return g_strdup(xvek_hlp_synth_to_str(s)); });
    }

    /* A setting given by name: the name is checked and written, then read back as a name
     * when asked. @unsupported reports a name the library does not know; @written runs
     * once the card took the value. */
    template <typename T, typename Set, typename Get, typename Written>
    bool named(const NameOption &opt, const gchar *label, T (*parse)(const gchar *),
               const gchar *(*name_of)(T), T invalid, const gchar *unsupported, Set set, Get get,
               Written written)
    {
        if (opt.value != nullptr) {
            const T v = parse(opt.value);
            if (v == invalid)
                return fail_check(unsupported, opt.value);
            if (!write(label, opt.value, [&](GError **e) { return set(v, e); }))
                return false;
            written(v);
        }
        if (opt.get) {
            T v = invalid;
            if (!read(
                    label, [&](GError **e) { return get(&v, e); },
                    [&] { return g_strdup(name_of(v)); }))
                return false;
        }
        return true;
    }

    bool preamp(guint index)
    {
        static const VektypePreampId ids[] = {XVEK_CTL_PREAMP_ID_VAL0, XVEK_CTL_PREAMP_ID_VAL1,
                                              XVEK_CTL_PREAMP_ID_VAL2};
        const VektypePreampId id = ids[index];
        g_autofree gchar *label = g_strdup_printf("Preamp%u", index);
        return named(
            o_.preamp[index], label, xvek_hlp_str_to_preampmode, xvek_hlp_preampmode_to_str,
            XVEK_CTL_PREAMP_MODE_MAX, "Error: unsupported preamp mode %s\n",
            [&](VektypePreampMode m, GError **e) { return xvek_ctrl_pa_set(dev_, id, m, e); },
            [&](VektypePreampMode *m, GError **e) { return xvek_ctrl_pa_get(dev_, id, m, e); },
            [](VektypePreampMode) {});
    }

    bool preamps() { return preamp(0) && preamp(1) && preamp(2); }

    bool mode()
    {
        return named(
            o_.mode, "Mode", xvek_hlp_str_to_mode, xvek_hlp_mode_to_str, XVEK_CTL_MODE_MAX,
            "Error: unsupported mode %s\n",
            [&](VektypeCtlMode m, GError **e) { return xvek_ctrl_mode_set(dev_, m, e); },
            [&](VektypeCtlMode *m, GError **e) { return xvek_ctrl_mode_get(dev_, m, e); },
            [](VektypeCtlMode m) {
                if (m == XVEK_CTL_MODE_TX)
                    printf(" Warning: commuting VEK radios in TX for long periods can cause HW "
                           "damage\n");
            });
    }

    bool loopback()
    {
        return named(
            o_.loopback, "Loopback", xvek_hlp_str_to_loopback, xvek_hlp_loopback_to_str,
            XVEK_CTL_LOOPBACK_MAX, "Error: unsupported loopback cmd '%s'\n",
            [&](VektypeCtlLoopback lb, GError **e) { return xvek_ctrl_loopback_set(dev_, lb, e); },
            [&](VektypeCtlLoopback *lb, GError **e) { return xvek_ctrl_loopback_get(dev_, lb, e); },
            [](VektypeCtlLoopback) {});
    }

    /* The level is read before it is written when both are asked for. */
    bool txlevel()
    {
        const NumberOption &opt = o_.txlevel;
        if (opt.get) {
            gint32 level = 0;
            if (!read(
                    "TX Level",
                    [&](GError **e) {
                        return xvek_ctrl_volume_get(dev_, XVEK_CTL_MODE_TX, &level, e);
                    },
                    [&] { return g_strdup_printf("%d", level); }))
                return false;
        }
        if (opt.set) {
            if (opt.whole && opt.value < 0)
                return fail_check("Error: level can't be less than 0\n");
            /* The card takes a signed 32-bit level. */
            if (!opt.whole || opt.value > G_MAXINT32)
                return fail_check("Error: level must be a whole number from 0 to 2147483647\n");
            const auto level = static_cast<gint32>(opt.value);
            g_autofree gchar *text = g_strdup_printf("%d", level);
            if (!write("TX Level", text, [&](GError **e) {
                    return xvek_ctrl_volume_set(dev_, XVEK_CTL_MODE_TX, level, e);
                }))
                return false;
        }
        return true;
    }

    bool eeprom()
    {
        if (o_.eepsave &&
            !action("Save in EEPROM", [&](GError **e) { return xvek_ctrl_eeprom_save(dev_, e); }))
            return false;
        if (o_.eepreset && !action("Restore factory settings in EEPROM", [&](GError **e) {
                return xvek_ctrl_eeprom_factory_reset(dev_, e);
            }))
            return false;
        return true;
    }

    bool errors()
    {
        if (!o_.errors)
            return true;
        guint32 *codes = nullptr;
        guint32 count = 0;
        return read(
            "Error stack",
            [&](GError **e) { return xvek_ctrl_error_get_all(dev_, &codes, &count, e); },
            [&] {
                if (codes == nullptr)
                    return g_strdup("No errors");
                GString *text = g_string_sized_new(kErrorTextSize);
                for (guint32 i = 0; i < count; i++) {
                    /* Each code takes 11 characters; the text stays within the buffer. */
                    if (text->len + 11 > kErrorTextSize - 1)
                        break;
                    g_string_append_printf(text, " 0x%08x", codes[i]);
                }
                g_free(codes);
                return g_string_free(text, FALSE);
            });
    }

    bool temperature()
    {
        if (!o_.temp)
            return true;
        gint32 tenths = 0;
        return read(
            "Temperature", [&](GError **e) { return xvek_ctrl_temperature_get(dev_, &tenths, e); },
            [&] {
                char number[G_ASCII_DTOSTR_BUF_SIZE];
                g_ascii_formatd(number, sizeof number, "%.1f", tenths / 10.0);
                return g_strdup_printf("%s °C", number);
            });
    }

    bool rawget()
    {
        if (o_.rawget == nullptr)
            return true;
        guint32 f[6];
        if (!parse_fields(o_.rawget, 6, f))
            return false;
        const VektypeStructUsbFmap fmap = {
            static_cast<guint8>(f[0]),  static_cast<guint8>(f[1]),  static_cast<guint8>(f[2]),
            static_cast<guint16>(f[3]), static_cast<guint16>(f[4]), static_cast<guint16>(f[5]),
        };
        g_autofree gchar *label =
            g_strdup_printf("RAW USB CMD:\n"
                            "bmRequestType.type      : 0x%02x\n"
                            "bmRequestType.recipient : 0x%02x\n"
                            "bRequest                : 0x%02x\n"
                            "wValue                  : 0x%04x\n"
                            "wIndex                  : 0x%04x\n"
                            "wLength                 : 0x%04x\n",
                            fmap.bmRT_type, fmap.bmRT_recip, fmap.bR, fmap.wV, fmap.wI, fmap.wL);
        guint8 *data = nullptr;
        guint16 received = 0;
        return read(
            label,
            [&](GError **e) {
                return xvek_ctrl_raw_usb_recv_full(dev_, fmap, &data, &received, e);
            },
            [&] {
                /* A card may answer fewer bytes than asked for: show what came. */
                GString *text = g_string_new("\n --RESULT--\n");
                for (guint i = 0; i < received && data != nullptr; i++)
                    g_string_append_printf(text, " [%d]: 0x%02x\n", static_cast<int>(i), data[i]);
                g_string_append(text, " ----------");
                g_free(data);
                return g_string_free(text, FALSE);
            });
    }

    /* The card's group/command request: vendor type, recipient other, 4 bytes. */
    static VektypeStructUsbFmap group_request(guint32 group, guint32 command)
    {
        return {2, 3, static_cast<guint8>(group), static_cast<guint16>(command), 0, 4};
    }

    static gchar *three_ways(const gchar *prefix, guint32 v)
    {
        return g_strdup_printf("%s%uu %ds 0x%08x", prefix, v, static_cast<gint32>(v), v);
    }

    bool nxpget()
    {
        if (o_.nxpget == nullptr)
            return true;
        guint32 f[2];
        if (!parse_fields(o_.nxpget, 2, f))
            return false;
        const VektypeStructUsbFmap fmap = group_request(f[0], f[1]);
        g_autofree gchar *label = g_strdup_printf("NXP Group 0x%04x Cmd 0x%04x", fmap.bR, fmap.wV);
        guint8 *data = nullptr;
        return read(
            label, [&](GError **e) { return xvek_ctrl_raw_usb_recv(dev_, fmap, &data, e); },
            [&] {
                guint32 v = 0;
                if (data != nullptr)
                    v = static_cast<guint32>(data[0]) | static_cast<guint32>(data[1]) << 8 |
                        static_cast<guint32>(data[2]) << 16 | static_cast<guint32>(data[3]) << 24;
                g_free(data);
                return three_ways("", v);
            });
    }

    bool nxpset()
    {
        if (o_.nxpset == nullptr)
            return true;
        guint32 f[3];
        if (!parse_fields(o_.nxpset, 3, f))
            return false;
        const VektypeStructUsbFmap fmap = group_request(f[0], f[1]);
        const guint32 d = f[2];
        const guint8 bytes[4] = {static_cast<guint8>(d), static_cast<guint8>(d >> 8),
                                 static_cast<guint8>(d >> 16), static_cast<guint8>(d >> 24)};
        g_autofree gchar *label = g_strdup_printf("NXP Group 0x%04x Cmd 0x%04x", fmap.bR, fmap.wV);
        g_autofree gchar *value = three_ways("Data ", d);
        return write(label, value,
                     [&](GError **e) { return xvek_ctrl_raw_usb_send(dev_, fmap, bytes, e); });
    }
};

int run(int argc, char **argv)
{
    Options o;
    GOptionContext *ctx = make_context(o);
    GError *parse_error = nullptr;
    const gboolean parsed = g_option_context_parse(ctx, &argc, &argv, &parse_error);
    if (!parsed) {
        /* The parser's own message is not shown: the help says it all. */
        g_clear_error(&parse_error);
        g_autofree gchar *help = g_option_context_get_help(ctx, FALSE, nullptr);
        printf("%s", help);
        g_option_context_free(ctx);
        return 1;
    }
    g_option_context_free(ctx);

    if (o.version) {
        g_autofree gchar *package = xvek_hlp_get_package_info_string();
        fprintf(stderr, "vekctl from %s\n", package);
        return 0;
    }

    guint32 id = 0;
    if (o.id == kFirstCard) {
        g_autoptr(GError) error = nullptr;
        if (!xvek_scan_get_first_device_id(&id, &error)) {
            printf("Error: %s\n", error->message);
            return 1;
        }
    } else if (o.id < 0) {
        fprintf(stderr, "Error: Device number can't be less than 0\n");
        return 1;
    } else {
        id = static_cast<guint32>(o.id);
    }

    g_autoptr(VekDevice) device = nullptr;
    g_autoptr(GError) error = nullptr;
    if (!xvek_device_new_with_mode(id, XVEK_OPEN_MODE_CTL_ONLY, &device, &error)) {
        printf("Error: %s\n", error != nullptr ? error->message : "unknown error");
        return 1;
    }
    Session session(o, device);
    const bool ok = session.run();
    fflush(stdout);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    /* Character handling follows the environment; numbers keep the '.' that
     * scripts parse. */
    setlocale(LC_ALL, "");
    setlocale(LC_NUMERIC, "C");
    const int status = run(argc, argv);
    /* Output that never arrived (a full disk, a closed pipe) is a failure:
     * the buffered blocks only meet their writer here. */
    const bool write_failed = ferror(stdout) != 0;
    if (fclose(stdout) != 0 || write_failed) {
        fprintf(stderr, "Error: cannot write to standard output: %s\n", g_strerror(errno));
        return 1;
    }
    return status;
}
