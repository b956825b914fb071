/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Impairments of a real front end and real devices: the table of settings, their
 * text form, and the frames of devices with errors. */
#include "vekgen/vekgen.h"
#include "vekgen-impair-chain.h"
#include "vekgen-text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

namespace
{

using vekgen::parse_number;

constexpr guint kMaxListed = 10000; /* carriers or overload bursts given in one text */
constexpr gdouble kMaxLevelDb = 150.0;
constexpr gdouble kMinLevelDb = -100.0;
constexpr gdouble kMaxSeconds = 1e7;
constexpr gdouble kHalfBand = VEKGEN_SAMPLE_RATE / 2.0;

enum class Kind {
    kNumber,   /* a number in [min, max] */
    kFreqList, /* frequencies in [min, max], comma-separated */
    kTimeList, /* start times in seconds in [min, max], comma-separated */
};

struct Setting {
    VekgenImpairmentSetting text;
    Kind kind;
    gdouble _VekgenImpairments::*number; /* for kNumber */
    gdouble min, max;
};

using I = _VekgenImpairments;

/* Every setting, in the order of the chain. The help says what the default is. */
const Setting kSettings[] = {
    {{"dc", "DB", "DC offset, over the noise in a 300 Hz bin (none)"},
     Kind::kNumber,
     &I::dc_db,
     kMinLevelDb,
     kMaxLevelDb},
    {{"dc-phase", "RAD", "Phase of the DC offset (random)"},
     Kind::kNumber,
     &I::dc_phase,
     -1e3,
     1e3},
    {{"iq-gain", "DB", "I/Q imbalance: Q's gain over I's (0)"},
     Kind::kNumber,
     &I::iq_gain_db,
     -20.0,
     20.0},
    {{"iq-phase", "DEG", "I/Q imbalance: Q's phase error in degrees (0)"},
     Kind::kNumber,
     &I::iq_phase_deg,
     -45.0,
     45.0},
    {{"carriers", "N", "Continuous carriers (0, or as many as --carrier-freq lists)"},
     Kind::kNumber,
     &I::n_carriers,
     0.0,
     kMaxListed},
    {{"carrier-level", "DB", "Each carrier over the noise in a 300 Hz bin (40)"},
     Kind::kNumber,
     &I::carrier_db,
     kMinLevelDb,
     kMaxLevelDb},
    {{"carrier-freq", "HZ[,HZ...]", "Carrier frequencies; the others random in the band"},
     Kind::kFreqList,
     nullptr,
     -kHalfBand,
     kHalfBand},
    {{"carrier-wander", "HZ", "Peak of a slow sinusoidal wander of each carrier (0)"},
     Kind::kNumber,
     &I::wander_hz,
     0.0,
     kHalfBand},
    {{"carrier-wander-period", "S", "Period of the wander, at a random phase per carrier (30)"},
     Kind::kNumber,
     &I::wander_period_s,
     1e-3,
     kMaxSeconds},
    {{"bursts", "DUTY", "Share of the time a wide-band burst of another system is on (0)"},
     Kind::kNumber,
     &I::burst_duty,
     0.0,
     1.0},
    {{"burst-level", "DB", "Burst power over the total noise (20)"},
     Kind::kNumber,
     &I::burst_db,
     kMinLevelDb,
     kMaxLevelDb},
    {{"burst-width", "HZ", "Burst width (random in 10000 to 25000 per burst)"},
     Kind::kNumber,
     &I::burst_width_hz,
     100.0,
     VEKGEN_SAMPLE_RATE},
    {{"burst-length", "S", "Length of a burst (0.05)"},
     Kind::kNumber,
     &I::burst_length_s,
     1e-3,
     kMaxSeconds},
    {{"burst-freq", "HZ", "Burst centre (random per burst, the burst wholly in the band)"},
     Kind::kNumber,
     &I::burst_hz,
     -kHalfBand,
     kHalfBand},
    {{"clicks", "RATE", "Impulses (clicks) per second, at random times (0)"},
     Kind::kNumber,
     &I::click_rate,
     0.0,
     1e5},
    {{"click-length", "S", "Length of a click (0.0001)"},
     Kind::kNumber,
     &I::click_length_s,
     1.0 / VEKGEN_SAMPLE_RATE,
     1.0},
    {{"click-level", "DB", "Click power over the total noise (30)"},
     Kind::kNumber,
     &I::click_db,
     kMinLevelDb,
     kMaxLevelDb},
    {{"clip", "DB",
      "Clip I and Q at the amplitude of a carrier this far over the total noise (16 bits)"},
     Kind::kNumber,
     &I::clip_db,
     -50.0,
     kMaxLevelDb},
    {{"overload", "S[,S...]", "Overload bursts starting at these times (none)"},
     Kind::kTimeList,
     nullptr,
     0.0,
     kMaxSeconds},
    {{"overload-length", "S", "Length of an overload burst (0.01)"},
     Kind::kNumber,
     &I::overload_length_s,
     1.0 / VEKGEN_SAMPLE_RATE,
     kMaxSeconds},
    {{"overload-level", "DB", "Overload power over the total noise (50)"},
     Kind::kNumber,
     &I::overload_db,
     kMinLevelDb,
     kMaxLevelDb},
    {{"drift", "HZ/S", "Every frame's carrier drift from its first sample (0)"},
     Kind::kNumber,
     &I::drift_hz_per_s,
     -vekgen::kMaxDriftHzPerS,
     vekgen::kMaxDriftHzPerS},
    {{"step", "HZ", "A step of every frame's carrier (0) ..."},
     Kind::kNumber,
     &I::step_hz,
     -vekgen::kMaxStepHz,
     vekgen::kMaxStepHz},
    {{"step-at", "FRACTION", "... at this fraction of the frame's length (0.5)"},
     Kind::kNumber,
     &I::step_at,
     0.0,
     1.0},
    {{"ppm", "PPM", "Every device's clock error: bits shorter by this many ppm (0)"},
     Kind::kNumber,
     &I::clock_ppm,
     -vekgen::kMaxClockPpm,
     vekgen::kMaxClockPpm},
};
constexpr guint kNSettings = G_N_ELEMENTS(kSettings);
static_assert(kNSettings <= 32, "one bit per setting in VekgenImpairments::given");

guint setting_index(const gchar *name)
{
    for (guint i = 0; i < kNSettings; i++)
        if (g_str_equal(kSettings[i].text.name, name))
            return i;
    return kNSettings;
}

bool parse_list(const gchar *text, gdouble min, gdouble max, std::vector<gdouble> *out)
{
    g_auto(GStrv) items = g_strsplit(text, ",", -1);
    if (g_strv_length(items) > kMaxListed)
        return false;
    out->clear();
    for (gchar **item = items; *item != nullptr; item++) {
        gdouble v = 0.0;
        if (!parse_number(g_strstrip(*item), &v) || v < min || v > max)
            return false;
        out->push_back(v);
    }
    return !out->empty();
}

/* The shortest of 15 or 17 significant digits that reads back as @v. */
void append_number(GString *text, gdouble v)
{
    gchar buf[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(buf, sizeof buf, "%.15g", v);
    if (g_ascii_strtod(buf, nullptr) != v)
        g_ascii_formatd(buf, sizeof buf, "%.17g", v);
    g_string_append(text, buf);
}

bool set_setting(VekgenImpairments *imp, guint index, const gchar *value, GError **error)
{
    const Setting &s = kSettings[index];
    const gchar *name = s.text.name;
    bool ok = false;
    switch (s.kind) {
    case Kind::kNumber: {
        gdouble v = 0.0;
        ok = parse_number(value, &v) && v >= s.min && v <= s.max;
        if (ok && s.number == &I::n_carriers)
            ok = v == std::floor(v);
        if (ok)
            imp->*s.number = v;
        break;
    }
    case Kind::kFreqList:
        ok = parse_list(value, s.min, s.max, &imp->carrier_hz);
        break;
    case Kind::kTimeList: {
        std::vector<gdouble> seconds;
        ok = parse_list(value, s.min, s.max, &seconds);
        if (ok) {
            imp->overloads.clear();
            for (gdouble t : seconds)
                imp->overloads.push_back(
                    static_cast<guint64>(std::llround(t * VEKGEN_SAMPLE_RATE)));
        }
        break;
    }
    }
    if (!ok) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "bad value in '%s=%s'", name, value);
        return false;
    }
    imp->given |= 1u << index;
    const guint carriers_bit = 1u << setting_index("carriers");
    if ((imp->given & carriers_bit) && imp->carrier_hz.size() > imp->carrier_count()) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE,
                    "carrier-freq lists %zu carriers, but carriers=%u", imp->carrier_hz.size(),
                    imp->carrier_count());
        return false;
    }
    return true;
}

gdouble or_default(gdouble v, gdouble dflt)
{
    return std::isnan(v) ? dflt : v;
}

} // namespace

guint _VekgenImpairments::carrier_count() const
{
    const guint bit = 1u << setting_index("carriers");
    return (given & bit) ? static_cast<guint>(n_carriers) : static_cast<guint>(carrier_hz.size());
}

guint vekgen_impairment_n_settings(void)
{
    return kNSettings;
}

const VekgenImpairmentSetting *vekgen_impairment_setting(guint index)
{
    return index < kNSettings ? &kSettings[index].text : nullptr;
}

VekgenImpairments *vekgen_impairments_new(void)
{
    return new (std::nothrow) _VekgenImpairments();
}

VekgenImpairments *vekgen_impairments_copy(const VekgenImpairments *impairments)
{
    try {
        return new _VekgenImpairments(*impairments);
    } catch (const std::exception &) {
        return nullptr;
    }
}

void vekgen_impairments_free(VekgenImpairments *impairments)
{
    delete impairments;
}

gboolean vekgen_impairments_set(VekgenImpairments *impairments, const gchar *name,
                                const gchar *value, GError **error)
{
    const guint index = setting_index(name);
    if (index == kNSettings) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "unknown impairment '%s'", name);
        return FALSE;
    }
    try {
        return set_setting(impairments, index, value, error);
    } catch (const std::exception &e) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "cannot set '%s': %s", name, e.what());
        return FALSE;
    }
}

gboolean vekgen_impairments_parse(VekgenImpairments *impairments, const gchar *text, GError **error)
{
    const auto set = [impairments](const gchar *name, const gchar *value, GError **err) {
        return vekgen_impairments_set(impairments, name, value, err);
    };
    return vekgen::parse_key_values(text, set, error);
}

gchar *vekgen_impairments_to_string(const VekgenImpairments *impairments)
{
    GString *text = g_string_new(nullptr);
    for (guint i = 0; i < kNSettings; i++) {
        if (!(impairments->given & (1u << i)))
            continue;
        const Setting &s = kSettings[i];
        if (text->len > 0)
            g_string_append_c(text, ' ');
        g_string_append_printf(text, "%s=", s.text.name);
        switch (s.kind) {
        case Kind::kNumber:
            append_number(text, impairments->*s.number);
            break;
        case Kind::kFreqList:
            for (gsize k = 0; k < impairments->carrier_hz.size(); k++) {
                if (k > 0)
                    g_string_append_c(text, ',');
                append_number(text, impairments->carrier_hz[k]);
            }
            break;
        case Kind::kTimeList:
            for (gsize k = 0; k < impairments->overloads.size(); k++) {
                if (k > 0)
                    g_string_append_c(text, ',');
                append_number(text,
                              static_cast<gdouble>(impairments->overloads[k]) / VEKGEN_SAMPLE_RATE);
            }
            break;
        }
    }
    return g_string_free(text, FALSE);
}

gdouble vekgen_impairments_get(const VekgenImpairments *impairments, const gchar *name)
{
    const guint index = setting_index(name);
    if (index == kNSettings || kSettings[index].kind != Kind::kNumber)
        return NAN;
    if (kSettings[index].number == &I::n_carriers)
        return impairments->carrier_count();
    return impairments->*kSettings[index].number;
}

gboolean vekgen_impairments_is_empty(const VekgenImpairments *impairments)
{
    return impairments->given == 0;
}

void vekgen_impairments_add_overload(VekgenImpairments *impairments, guint64 start_sample)
{
    impairments->overloads.push_back(start_sample);
    impairments->given |= 1u << setting_index("overload");
}

void vekgen_impairments_apply_device_defaults(const VekgenImpairments *impairments,
                                              VekgenFrame *frame)
{
    if (std::isnan(frame->drift_hz_per_s))
        frame->drift_hz_per_s = impairments->drift_hz_per_s;
    if (std::isnan(frame->step_hz))
        frame->step_hz = impairments->step_hz;
    if (std::isnan(frame->step_at))
        frame->step_at = impairments->step_at;
    if (std::isnan(frame->clock_ppm))
        frame->clock_ppm = impairments->clock_ppm;
}

gboolean vekgen_frame_has_device_errors(const VekgenFrame *frame)
{
    for (gdouble v : {frame->drift_hz_per_s, frame->step_hz, frame->clock_ppm})
        if (!std::isnan(v) && v != 0.0)
            return TRUE;
    return FALSE;
}

namespace
{

/* The device's bit boundaries, in samples from the frame's start: k bits of
 * samples_per_bit / (1 + ppm 1e-6) samples each, a boundary at the first whole sample
 * at or after it. */
class DeviceClock
{
  public:
    explicit DeviceClock(const VekgenFrame &frame)
        : spb_(vekgen_samples_per_bit(frame.bit_rate)), ppm_(or_default(frame.clock_ppm, 0.0)),
          bit_(spb_ / (1.0 + ppm_ * 1e-6))
    {
    }
    guint64 boundary(guint k) const
    {
        if (ppm_ == 0.0)
            return guint64{k} * spb_;
        return static_cast<guint64>(std::ceil(k * bit_));
    }
    /* The bit that holds sample @rel of the frame. */
    guint bit_of(guint64 rel, guint n_bits) const
    {
        guint k = static_cast<guint>(std::min<gdouble>(std::floor(rel / bit_), n_bits - 1));
        while (k + 1 < n_bits && boundary(k + 1) <= rel)
            k++;
        while (k > 0 && boundary(k) > rel)
            k--;
        return k;
    }

  private:
    guint spb_;
    gdouble ppm_;
    gdouble bit_;
};

} // namespace

guint64 vekgen_frame_air_end_sample(const VekgenFrame *frame)
{
    return frame->start_sample + DeviceClock(*frame).boundary(vekgen_frame_symbols(frame));
}

namespace vekgen
{

gboolean check_device_errors(const VekgenFrame *frame, GError **error)
{
    struct Range {
        gdouble value, max;
        const gchar *what;
    };
    const Range ranges[] = {
        {frame->drift_hz_per_s, kMaxDriftHzPerS, "carrier drift (Hz/s)"},
        {frame->step_hz, kMaxStepHz, "carrier step (Hz)"},
        {frame->clock_ppm, kMaxClockPpm, "clock error (ppm)"},
    };
    for (const Range &r : ranges) {
        if (std::isinf(r.value) || std::fabs(r.value) > r.max) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID, "%s %g is outside -%g to %g",
                        r.what, r.value, r.max, r.max);
            return FALSE;
        }
    }
    if (std::isinf(frame->step_at) || frame->step_at < 0.0 || frame->step_at > 1.0) {
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_INVALID,
                    "the step's place %g is not a fraction of the frame from 0 to 1",
                    frame->step_at);
        return FALSE;
    }
    return TRUE;
}

void append_device_errors(GString *text, const VekgenFrame *frame)
{
    const struct {
        const gchar *key;
        gdouble value;
    } keys[] = {{"drift", frame->drift_hz_per_s},
                {"step", frame->step_hz},
                {"step-at", frame->step_at},
                {"ppm", frame->clock_ppm}};
    for (const auto &k : keys) {
        if (std::isnan(k.value))
            continue;
        g_string_append_printf(text, " %s=", k.key);
        append_number(text, k.value);
    }
}

void add_device_frame(const VekgenFrame &frame, const gint8 *symbols, guint n_symbols,
                      gdouble amplitude, guint64 from, guint64 to, Sample *x)
{
    constexpr gdouble fs = VEKGEN_SAMPLE_RATE;
    const DeviceClock clock(frame);
    const gdouble drift = or_default(frame.drift_hz_per_s, 0.0);
    const gdouble step = or_default(frame.step_hz, 0.0);
    const guint64 length = clock.boundary(n_symbols);
    const guint64 step_rel =
        step == 0.0 ? length
                    : static_cast<guint64>(std::llround(or_default(frame.step_at, 0.5) * length));
    const guint64 start = frame.start_sample;
    const guint64 a = std::max(from, start);
    const guint64 b = std::min(to, start + length);
    if (a >= b)
        return;
    /* The frequency turns per sample, and itself turns by the drift's share per
     * sample; both are computed afresh at every bit and at the step from the exact
     * phase, so no error accumulates over the frame. */
    const Sample chirp = std::polar(1.0, 2.0 * G_PI * drift / (fs * fs));
    guint64 rel = a - start;
    guint k = clock.bit_of(rel, n_symbols);
    while (rel < b - start) {
        guint64 stop = std::min(clock.boundary(k + 1), b - start);
        if (rel < step_rel && step_rel < stop)
            stop = step_rel;
        const bool stepped = rel >= step_rel;
        const gdouble t = static_cast<gdouble>(rel) / fs;
        gdouble cycles = frame.offset_hz * t + 0.5 * drift * t * t +
                         (stepped ? step * static_cast<gdouble>(rel - step_rel) / fs : 0.0);
        cycles -= std::floor(cycles);
        Sample rot = std::polar(amplitude * symbols[k], frame.phase + 2.0 * G_PI * cycles);
        const gdouble freq = frame.offset_hz + drift * (static_cast<gdouble>(rel) + 0.5) / fs +
                             (stepped ? step : 0.0);
        Sample turn = std::polar(1.0, 2.0 * G_PI * freq / fs);
        for (guint64 n = rel; n < stop; n++) {
            x[start + n - from] += rot;
            rot *= turn;
            turn *= chirp;
        }
        rel = stop;
        if (rel == clock.boundary(k + 1))
            k++;
    }
}

} // namespace vekgen
