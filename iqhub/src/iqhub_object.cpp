/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Iqhub: configuration, statistics, host callbacks, start and stop. */
#include <cfloat>
#include <new>

#include "iqhub-private.h"

namespace
{

constexpr guint kDefaultPortAvail = 2346;
constexpr gdouble kDefaultIntGain = 121.0;
constexpr gdouble kDefaultExtGain = 22.5;
constexpr guint kDefaultMacroChannel = 192000;
constexpr guint kDefaultBitRate = 100;
constexpr guint kDefaultProtocols = 3;
constexpr guint kDefaultAdcResolution = 16;
constexpr guint kDefaultTsDepth = 10;
constexpr guint kDefaultIqSizeBytes = 10240;
/* The demodulator reads signed 16-bit I and Q: 4 bytes a complex sample. */
constexpr guint32 kDemodulatorBytesPerSample = 4;
/* The advised write carries about this many milliseconds of samples. */
constexpr guint32 kAdvisedWriteMs = 15;

/* "receiver" follows the documented property ids. */
constexpr guint kPropReceiver = STATS_PROP_ENUM_MAX;
GParamSpec *gProperties[kPropReceiver + 1] = {nullptr};

void set_callback_data(IqhubPrivate *priv, gpointer user_data, GDestroyNotify notify)
{
    iqhub_replace_user_data(&priv->frame_callback_data, &priv->frame_callback_notify_release,
                            user_data, notify);
}

} // namespace

G_DEFINE_TYPE_WITH_PRIVATE(Iqhub, iqhub, G_TYPE_OBJECT)

IqhubPrivate *iqhub_priv(Iqhub *self)
{
    if (self == nullptr || !IQHUB_IS_IQHUB(self))
        return nullptr;
    return static_cast<IqhubPrivate *>(iqhub_get_instance_private(self));
}

IqhubPrivate *iqhub_priv(const void *self)
{
    return iqhub_priv(static_cast<Iqhub *>(const_cast<void *>(self)));
}

gboolean iqhub_invalid_handle(GError **error, const gchar *function)
{
    g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "%s: invalid handle", function);
    return FALSE;
}

guint iqhub_single_bit_rate(const IqhubPrivate *priv)
{
    switch (priv->bit_rate) {
    case 0:
    case 100:
        return 100;
    case 1:
    case 600:
        return 600;
    default:
        return 0;
    }
}

IqhubRateCounters *iqhub_rate_counters(IqhubPrivate *priv, guint bit_rate)
{
    switch (bit_rate) {
    case 100:
        return &priv->rate_counters[0];
    case 600:
        return &priv->rate_counters[1];
    default:
        return nullptr;
    }
}

void iqhub_replace_user_data(gpointer *data, GDestroyNotify *notify, gpointer new_data,
                             GDestroyNotify new_notify)
{
    /* The replaced pair goes back to the host untouched: a host frees the
     * data it replaced itself, so calling its destroy function here would
     * free it twice. */
    *data = new_data;
    *notify = new_notify;
}

static GObject *iqhub_constructor(GType type, guint n_construct_properties,
                                  GObjectConstructParam *construct_properties)
{
    GObject *object = G_OBJECT_CLASS(iqhub_parent_class)
                          ->constructor(type, n_construct_properties, construct_properties);
    Iqhub *self = IQHUB_IQHUB(object);
    IqhubPrivate *priv = iqhub_priv(self);
    priv->frame_callback = nullptr;
    priv->frame_callback_gobject = nullptr;
    priv->frame_callback_data = nullptr;
    priv->frame_callback_notify_release = nullptr;
    priv->rfsat_callback = nullptr;
    priv->rfsat_callback_data = nullptr;
    priv->rfsat_callback_notify_release = nullptr;
    priv->started = FALSE;
    /* A component that fails to set up reports it on first use. */
    iqhub_ts_init(self, nullptr);
    iqhub_errapi_init(self, nullptr);
    g_autoptr(GError) error = nullptr;
    if (!iqhub_write_init(self, &error))
        KVRLOG_ERROR("Iqhub: %s", error->message);
    iqhub_sched_init(self, nullptr);
    iqhub_filter_init(self, nullptr);
    return object;
}

static void iqhub_set_property(GObject *object, guint prop_id, const GValue *value,
                               GParamSpec *pspec)
{
    Iqhub *self = IQHUB_IQHUB(object);
    IqhubPrivate *priv = iqhub_priv(self);
    switch (prop_id) {
    case IQHUB_PROP_SPECTRA:
        priv->spectra = g_value_get_boolean(value);
        break;
    case IQHUB_PROP_PORT_AVAIL:
        priv->port_avail = static_cast<guint16>(g_value_get_uint(value));
        break;
    case IQHUB_PROP_NO_CRC:
        priv->no_crc = g_value_get_boolean(value);
        break;
    case IQHUB_PROP_INT_GAIN:
        priv->int_gain = g_value_get_double(value);
        break;
    case IQHUB_PROP_EXT_GAIN:
        priv->ext_gain = g_value_get_double(value);
        break;
    case IQHUB_PROP_MACRO_CHANNEL:
        priv->macro_channel = g_value_get_uint(value);
        break;
    case IQHUB_PROP_BIT_RATE:
        priv->bit_rate = g_value_get_uint(value);
        break;
    case IQHUB_PROP_PROTOCOLS:
        priv->protocols = static_cast<guint8>(g_value_get_uint(value));
        break;
    case IQHUB_PROP_NOISE_FIGURE:
        priv->noise_figure = g_value_get_double(value);
        break;
    case IQHUB_PROP_ADC_RESOLUTION:
        priv->adc_resolution = static_cast<guint8>(g_value_get_uint(value));
        priv->bpsp = 2 * (priv->adc_resolution / 8);
        break;
    case IQHUB_PROP_PLATFORM:
        priv->platform = static_cast<target_machine_t>(g_value_get_uint(value));
        break;
    case IQHUB_PROP_TSDEPTH:
        iqhub_ts_clear(self, nullptr);
        priv->ts_depth = g_value_get_uint(value);
        break;
    case IQHUB_PROP_TAPID:
        g_free(priv->tapid);
        priv->tapid = g_value_dup_string(value);
        break;
    case IQHUB_PROP_UPLINK_CF:
        priv->uplink_cf = g_value_get_double(value);
        break;
    case IQHUB_PROP_RAW_SDR_LOG:
        priv->raw_sdr_log.store(g_value_get_boolean(value));
        break;
    case kPropReceiver:
        g_free(priv->receiver);
        priv->receiver = g_value_dup_string(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

/* A new array holding a reference to each filter, in the order they run. */
static GPtrArray *filters_snapshot(IqhubPrivate *priv)
{
    GPtrArray *array = g_ptr_array_new_with_free_func(g_object_unref);
    for (GList *l = priv->filters; l != nullptr; l = l->next)
        g_ptr_array_add(array, g_object_ref(l->data));
    return array;
}

static void iqhub_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
    Iqhub *self = IQHUB_IQHUB(object);
    IqhubPrivate *priv = iqhub_priv(self);
    switch (prop_id) {
    case IQHUB_PROP_SPECTRA:
        g_value_set_boolean(value, priv->spectra);
        break;
    case IQHUB_PROP_PORT_AVAIL:
        g_value_set_uint(value, priv->port_avail);
        break;
    case IQHUB_PROP_NO_CRC:
        g_value_set_boolean(value, priv->no_crc);
        break;
    case IQHUB_PROP_INT_GAIN:
        g_value_set_double(value, priv->int_gain);
        break;
    case IQHUB_PROP_EXT_GAIN:
        g_value_set_double(value, priv->ext_gain);
        break;
    case IQHUB_PROP_MACRO_CHANNEL:
        g_value_set_uint(value, priv->macro_channel);
        break;
    case IQHUB_PROP_BIT_RATE:
        g_value_set_uint(value, priv->bit_rate);
        break;
    case IQHUB_PROP_PROTOCOLS:
        g_value_set_uint(value, priv->protocols);
        break;
    case IQHUB_PROP_NOISE_FIGURE:
        g_value_set_double(value, priv->noise_figure);
        break;
    case IQHUB_PROP_ADC_RESOLUTION:
        g_value_set_uint(value, priv->adc_resolution);
        break;
    case IQHUB_PROP_BPSP:
        g_value_set_uint(value, priv->bpsp);
        break;
    case IQHUB_PROP_PLATFORM:
        g_value_set_uint(value, priv->platform);
        break;
    case IQHUB_PROP_TSDEPTH:
        g_value_set_uint(value, priv->ts_depth);
        break;
    case IQHUB_PROP_VERSION:
        g_value_set_string(value, priv->version);
        break;
    case IQHUB_PROP_TAPID:
        g_value_set_string(value, priv->tapid);
        break;
    case IQHUB_PROP_ERRAPI:
        if (iqhub_errapi_has_error(self))
            g_value_take_string(value, iqhub_errapi_get_error(self));
        else
            g_value_set_string(value, "No error");
        break;
    case IQHUB_PROP_IQSIZE:
        g_value_set_uint(value, priv->iq_size);
        break;
    case IQHUB_PROP_IQSIZEBYTES:
        g_value_set_uint(value, priv->iq_size_bytes);
        break;
    case IQHUB_PROP_FILTERS:
        g_value_take_boxed(value, filters_snapshot(priv));
        break;
    case IQHUB_PROP_UPLINK_CF:
        g_value_set_double(value, priv->uplink_cf);
        break;
    case STATS_PROP_FRAMES:
        g_value_set_uint64(value, priv->frames);
        break;
    case STATS_PROP_FRAMES_DROP:
        g_value_set_uint64(value, priv->frames_drop);
        break;
    case STATS_PROP_FRAMES_ERROR_TS:
        g_value_set_uint64(value, priv->frames_error_ts);
        break;
    case STATS_PROP_FRAMES_ERROR_SYNTAX:
        g_value_set_uint64(value, priv->frames_error_syntax);
        break;
    case IQHUB_PROP_RAW_SDR_LOG:
        g_value_set_boolean(value, priv->raw_sdr_log.load());
        break;
    case kPropReceiver:
        g_value_set_string(value, priv->receiver);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void iqhub_dispose(GObject *object)
{
    Iqhub *self = IQHUB_IQHUB(object);
    g_autoptr(GError) error = nullptr;
    if (!iqhub_stop_sync(self, &error))
        KVRLOG_ERROR("Bad ! Stopped failed: %s", error->message);
    iqhub_ts_dispose(self);
    iqhub_errapi_dispose(self);
    iqhub_write_dispose(self);
    iqhub_sched_dispose(self);
    iqhub_filter_dispose(self);
    G_OBJECT_CLASS(iqhub_parent_class)->dispose(object);
}

static void iqhub_finalize(GObject *object)
{
    Iqhub *self = IQHUB_IQHUB(object);
    IqhubPrivate *priv = iqhub_priv(self);
    iqhub_ts_finalize(self);
    iqhub_errapi_finalize(self);
    iqhub_write_finalize(self);
    iqhub_sched_finalize(self);
    iqhub_filter_finalize(self);
    if (priv->frame_callback_notify_release != nullptr)
        priv->frame_callback_notify_release(priv->frame_callback_data);
    if (priv->rfsat_callback_notify_release != nullptr)
        priv->rfsat_callback_notify_release(priv->rfsat_callback_data);
    g_free(priv->tapid);
    g_free(priv->receiver);
    /* Dropped while started: the writer thread has been joined by now. */
    g_clear_pointer(&priv->vchan, vchan_free);
    g_free(priv->version);
    priv->~IqhubPrivate();
    G_OBJECT_CLASS(iqhub_parent_class)->finalize(object);
}

static void install(GObjectClass *object_class, guint id, GParamSpec *pspec)
{
    gProperties[id] = pspec;
    g_object_class_install_property(object_class, id, pspec);
}

static void iqhub_class_init(IqhubClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->constructor = iqhub_constructor;
    object_class->set_property = iqhub_set_property;
    object_class->get_property = iqhub_get_property;
    object_class->dispose = iqhub_dispose;
    object_class->finalize = iqhub_finalize;

    const auto construct_only = static_cast<GParamFlags>(
        G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS);
    const auto construct =
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT | G_PARAM_STATIC_STRINGS);
    const auto read_only = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    const auto read_write = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);

    install(
        object_class, IQHUB_PROP_SPECTRA,
        g_param_spec_boolean("spectra", "spectra", "Spectra custom launch", FALSE, construct_only));
    install(object_class, IQHUB_PROP_PORT_AVAIL,
            g_param_spec_uint("port-avail", "portAvail",
                              "UDP listening port for channel availability display", 0, 65535,
                              kDefaultPortAvail, construct_only));
    install(object_class, IQHUB_PROP_NO_CRC,
            g_param_spec_boolean("no-crc", "noCrc", "IQHUB packet CRC deactivation flag", FALSE,
                                 construct_only));
    install(object_class, IQHUB_PROP_INT_GAIN,
            g_param_spec_double("int-gain", "intGain", "Conversion gain in dBDSm", -DBL_MAX,
                                DBL_MAX, kDefaultIntGain, construct_only));
    install(object_class, IQHUB_PROP_EXT_GAIN,
            g_param_spec_double("ext-gain", "extGain", "External gain in dB", -DBL_MAX, DBL_MAX,
                                kDefaultExtGain, construct_only));
    install(object_class, IQHUB_PROP_MACRO_CHANNEL,
            g_param_spec_uint("macro-channel", "macroChannel", "Macro Channel Bandwidth", 0,
                              G_MAXUINT, kDefaultMacroChannel, construct_only));
    install(object_class, IQHUB_PROP_BIT_RATE,
            g_param_spec_uint("bit-rate", "bitRate", "Protocol Bit Rate", 0, G_MAXUINT,
                              kDefaultBitRate, construct_only));
    install(object_class, IQHUB_PROP_PROTOCOLS,
            g_param_spec_uint("protocols", "Protocols", "Protocol bit mask", 0, 255,
                              kDefaultProtocols, construct_only));
    install(object_class, IQHUB_PROP_NOISE_FIGURE,
            g_param_spec_double("noise-figure", "noiseFigure", "Front end Noise Figure in dB",
                                -DBL_MAX, DBL_MAX, 0.0, construct_only));
    install(object_class, IQHUB_PROP_ADC_RESOLUTION,
            g_param_spec_uint("adc-resolution", "adcResolution", "ADC output resolution in bits", 8,
                              255, kDefaultAdcResolution, construct_only));
    install(object_class, IQHUB_PROP_BPSP,
            g_param_spec_uint("bpsp", "bpsp", "Total number of bytes per IQ samples", 0, G_MAXUINT,
                              0, read_only));
    install(object_class, IQHUB_PROP_PLATFORM,
            g_param_spec_uint("platform", "Platform", "Target BSP platform", 0, G_MAXUINT,
                              MACHINE_GAH61, construct_only));
    install(object_class, IQHUB_PROP_TSDEPTH,
            g_param_spec_uint("tsdepth", "Time stamp depth",
                              "Depth of the time stamp matching array", 1, G_MAXUINT,
                              kDefaultTsDepth, construct));
    install(object_class, IQHUB_PROP_VERSION,
            g_param_spec_string("version", "Version", "IQHUB version", "(none)", read_only));
    install(object_class, IQHUB_PROP_TAPID,
            g_param_spec_string("tapid", "Tapid", "TAP Id", "(none)", construct_only));
    install(object_class, IQHUB_PROP_ERRAPI,
            g_param_spec_string("errapi", "errapi", "API Error", "(none)", read_only));
    install(object_class, IQHUB_PROP_IQSIZE,
            g_param_spec_uint("iq-size", "iqSize", "I/Q packet size in sample unit", 0, G_MAXUINT,
                              0, read_only));
    install(object_class, IQHUB_PROP_IQSIZEBYTES,
            g_param_spec_uint("iq-size-bytes", "iqSizeBytes", "I/Q packet size in bytes", 0,
                              G_MAXUINT, kDefaultIqSizeBytes, read_only));
    install(object_class, IQHUB_PROP_FILTERS,
            g_param_spec_boxed("filters", "Filters", "Array containing filters used by iqhub",
                               G_TYPE_PTR_ARRAY, read_only));
    install(object_class, IQHUB_PROP_UPLINK_CF,
            g_param_spec_double("uplink-cf", "Uplink central frequency", "Uplink central frequency",
                                0.0, DBL_MAX, 0.0, construct));
    install(object_class, STATS_PROP_FRAMES,
            g_param_spec_uint64("frames", "Frame counter", "# of frames", 0, G_MAXUINT64, 0,
                                read_only));
    install(object_class, STATS_PROP_FRAMES_DROP,
            g_param_spec_uint64("frames-drop", "Dropped frame", "# of dropped frame", 0,
                                G_MAXUINT64, 0, read_only));
    install(object_class, STATS_PROP_FRAMES_ERROR_TS,
            g_param_spec_uint64("frames-error-ts", "Frame ts error",
                                "# of frames in error (timestamp)", 0, G_MAXUINT64, 0, read_only));
    install(object_class, STATS_PROP_FRAMES_ERROR_SYNTAX,
            g_param_spec_uint64("frames-error-syntax", "Frame syntax error",
                                "# of frames in error (syntax)", 0, G_MAXUINT64, 0, read_only));
    install(object_class, IQHUB_PROP_RAW_SDR_LOG,
            g_param_spec_boolean("log-raw-sdr", "logRawSdr", "Activate raw sdr logs", FALSE,
                                 read_write));
    install(object_class, kPropReceiver,
            g_param_spec_string("receiver", "Receiver",
                                "Uplink receiver: vdem (the demodulator) or vchan (the "
                                "channelised receiver)",
                                "vdem", construct_only));
}

static void iqhub_init(Iqhub *self)
{
    /* GObject hands over zero-filled memory; the record's C++ members need
     * their constructors. */
    new (iqhub_get_instance_private(self)) IqhubPrivate();
}

/* Bytes of about 15 ms of samples, rounded down to whole packets and never
 * less than one packet. The product wraps on 32 bits like the card's own
 * arithmetic. */
static guint32 advised_length(const IqhubPrivate *priv)
{
    const guint32 a = (priv->bpsp * priv->macro_channel * kAdvisedWriteMs) / 1000;
    if (a > priv->iq_size_bytes)
        return (a / priv->iq_size_bytes) * priv->iq_size_bytes;
    return priv->iq_size_bytes;
}

extern "C" {

IQHUB_EXPORT Iqhub *iqhub_new(void)
{
    return IQHUB_IQHUB(g_object_new(IQHUB_TYPE_IQHUB, nullptr));
}

IQHUB_EXPORT Iqhub *iqhub_new_with_options(const gchar *first_property_name, ...)
{
    va_list args;
    va_start(args, first_property_name);
    GObject *object = g_object_new_valist(IQHUB_TYPE_IQHUB, first_property_name, args);
    va_end(args);
    return IQHUB_IQHUB(object);
}

IQHUB_EXPORT void iqhub_unref(Iqhub *self)
{
    if (iqhub_priv(self) == nullptr)
        return;
    iqhub_write_cancel(self);
    g_object_unref(self);
}

IQHUB_EXPORT gboolean iqhub_set_frame_callback(Iqhub *self, IqhubFrameCallback callback,
                                               gpointer user_data, GDestroyNotify notify,
                                               GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    priv->frame_callback = callback;
    set_callback_data(priv, user_data, notify);
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_set_frame_callback_gobject(Iqhub *self,
                                                       IqhubFrameCallbackGObject callback,
                                                       gpointer user_data, GDestroyNotify notify,
                                                       GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    priv->frame_callback_gobject = callback;
    set_callback_data(priv, user_data, notify);
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_set_rfsat_callback(Iqhub *self, IqhubRfSatCallback callback,
                                               gpointer user_data, GDestroyNotify notify,
                                               GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    priv->rfsat_callback = callback;
    iqhub_replace_user_data(&priv->rfsat_callback_data, &priv->rfsat_callback_notify_release,
                            user_data, notify);
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_start(Iqhub *self, gsize *advised, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    if (priv->started)
        return TRUE;
    if (priv->bpsp != kDemodulatorBytesPerSample) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL,
                    "%u bytes per sample (adc-resolution %u) cannot feed the demodulator, which "
                    "reads %u (adc-resolution 16 to 23)",
                    priv->bpsp, priv->adc_resolution, kDemodulatorBytesPerSample);
        return FALSE;
    }
    if (!iqhub_interface_init(self, error))
        return FALSE;
    /* A demodulator left bound would refuse every later start. */
    if (!iqhub_cb_register(self, error) || !iqhub_ts_reset(self, error)) {
        iqhub_interface_release(self, nullptr);
        return FALSE;
    }
    if (advised != nullptr)
        *advised = advised_length(priv);
    priv->started = TRUE;
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_stop_sync(Iqhub *self, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr)
        return iqhub_invalid_handle(error, __func__);
    if (!priv->started)
        return TRUE;
    iqhub_write_cancel_sync(self);
    if (priv->writer.task != nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_PROTOCOL, "Internal error: write still pending");
        return FALSE;
    }
    if (!iqhub_interface_release(self, error) || !iqhub_cb_unregister(self, error))
        return FALSE;
    priv->started = FALSE;
    return TRUE;
}

IQHUB_EXPORT gboolean iqhub_get_rate_counters(Iqhub *self, guint bit_rate,
                                              IqhubRateCounters *counters, GError **error)
{
    IqhubPrivate *priv = iqhub_priv(self);
    if (priv == nullptr || counters == nullptr)
        return iqhub_invalid_handle(error, __func__);
    const IqhubRateCounters *kept = iqhub_rate_counters(priv, bit_rate);
    if (kept == nullptr) {
        g_set_error(error, IQHUB_ERRDOM, IQHUB_ERR_EINVAL, "no counters for %u bit/s: 100 or 600",
                    bit_rate);
        return FALSE;
    }
    *counters = *kept;
    return TRUE;
}

IQHUB_EXPORT void iqhub_onload(void)
{
    static const struct {
        const gchar *name;
        guint64 mask;
    } traces[] = {
        {"TRACE_IQHUB", 0x10000},         {"TRACE_IQHUB_OBJ", 0x400000},
        {"TRACE_IQHUB_SCHED", 0x20000},   {"TRACE_IQHUB_FILTER", 0x80000},
        {"TRACE_IQHUB_METRIC", 0x100000}, {"TRACE_IQHUB_TSTAMP", 0x200000},
        {"TRACE_IQHUB_SPCT", 0x800000},   {"TRACE_IQHUB_SPCT_MORE", 0x1000000},
    };
    for (const auto &trace : traces)
        kvrlog_register_trace(trace.name, trace.mask, nullptr);
}

} // extern "C"
