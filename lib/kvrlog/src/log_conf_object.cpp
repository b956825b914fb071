/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* KvrlogConf: the single-instance configuration object of the logger. */
#include "kvrlog-private.h"

namespace
{

enum {
    PROP_0,
    PROP_LEVEL = 1,
    PROP_TRACE = 2,
    PROP_TYPE = 3,
    PROP_PROG = 4,
    PROP_THREADS = 5,
    N_PROPS
};

GParamSpec *properties[N_PROPS];

/* The live instance; cleared by its weak pointer when it is finalised. */
GObject *gsConfInstance = nullptr;

} // namespace

G_DEFINE_TYPE(KvrlogConf, kvrlog_conf, G_TYPE_OBJECT)

static GObject *kvrlog_conf_constructor(GType type, guint n_properties,
                                        GObjectConstructParam *params)
{
    if (gsConfInstance != nullptr)
        return G_OBJECT(g_object_ref(gsConfInstance));

    GObject *object =
        G_OBJECT_CLASS(kvrlog_conf_parent_class)->constructor(type, n_properties, params);
    gsConfInstance = object;
    g_object_add_weak_pointer(object, reinterpret_cast<gpointer *>(&gsConfInstance));
    if (gsRegisteredTraces == nullptr)
        kvrlog_onload();
    KVRLOG_CONF(object)->reg_traces = g_hash_table_ref(gsRegisteredTraces);
    return object;
}

static void kvrlog_conf_set_property(GObject *object, guint prop_id, const GValue *value,
                                     GParamSpec *pspec)
{
    KvrlogConf *self = KVRLOG_CONF(object);
    switch (prop_id) {
    case PROP_LEVEL:
        self->level = static_cast<KvrlogLevel>(g_value_get_uint(value));
        break;
    case PROP_TRACE:
        self->trace = g_value_get_uint64(value);
        break;
    case PROP_TYPE:
        self->type = static_cast<KvrlogHelperType>(g_value_get_uint(value));
        break;
    case PROP_PROG:
        g_free(self->prog);
        self->prog = g_value_dup_string(value);
        break;
    case PROP_THREADS:
        self->threads = g_value_get_boolean(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void kvrlog_conf_get_property(GObject *object, guint prop_id, GValue *value,
                                     GParamSpec *pspec)
{
    KvrlogConf *self = KVRLOG_CONF(object);
    switch (prop_id) {
    case PROP_LEVEL:
        g_value_set_uint(value, self->level);
        break;
    case PROP_TRACE:
        g_value_set_uint64(value, self->trace);
        break;
    case PROP_TYPE:
        g_value_set_uint(value, self->type);
        break;
    case PROP_PROG:
        g_value_set_string(value, self->prog);
        break;
    case PROP_THREADS:
        g_value_set_boolean(value, self->threads);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void kvrlog_conf_finalize(GObject *object)
{
    KvrlogConf *self = KVRLOG_CONF(object);
    g_clear_pointer(&self->reg_traces, g_hash_table_unref);
    g_clear_pointer(&self->prog, g_free);
    G_OBJECT_CLASS(kvrlog_conf_parent_class)->finalize(object);
}

static void kvrlog_conf_class_init(KvrlogConfClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->constructor = kvrlog_conf_constructor;
    object_class->set_property = kvrlog_conf_set_property;
    object_class->get_property = kvrlog_conf_get_property;
    object_class->finalize = kvrlog_conf_finalize;

    const auto flags =
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT | G_PARAM_STATIC_STRINGS);
    properties[PROP_LEVEL] =
        g_param_spec_uint("level", "Log level", "Current maximum log level", KVRLOG_LEVEL_DEBUG,
                          KVRLOG_LEVEL_MAX, KVRLOG_LEVEL_INFO, flags);
    properties[PROP_TRACE] = g_param_spec_uint64(
        "trace", "Trace flags", "Trace flags to be enabled", 0, G_MAXUINT64, 0, flags);
    properties[PROP_PROG] =
        g_param_spec_string("prog", "Software name", "Program name", "(none)", flags);
    properties[PROP_TYPE] = g_param_spec_uint(
        "type", "Logger type", "Logger type", KVRLOG_HELPER_FD, KVRLOG_HELPER_MAX, KVRLOG_HELPER_FD,
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY |
                                 G_PARAM_STATIC_STRINGS));
    properties[PROP_THREADS] = g_param_spec_boolean(
        "threads", "Multi-threads logging", "Add thread info in log messages", FALSE, flags);
    /* Installed in this order: level, trace, prog, type, threads. */
    g_object_class_install_property(object_class, PROP_LEVEL, properties[PROP_LEVEL]);
    g_object_class_install_property(object_class, PROP_TRACE, properties[PROP_TRACE]);
    g_object_class_install_property(object_class, PROP_PROG, properties[PROP_PROG]);
    g_object_class_install_property(object_class, PROP_TYPE, properties[PROP_TYPE]);
    g_object_class_install_property(object_class, PROP_THREADS, properties[PROP_THREADS]);
}

static void kvrlog_conf_init(KvrlogConf *self)
{
    /* The instance is zero-filled: every sink setting starts empty. */
    self->prog = nullptr;
}

KvrlogConf *kvrlog_conf_new(void)
{
    return KVRLOG_CONF(g_object_new(KVRLOG_TYPE_CONF, nullptr));
}

KvrlogConf *kvrlog_conf_new_with_options(const gchar *first_property_name, ...)
{
    va_list args;
    va_start(args, first_property_name);
    GObject *object = g_object_new_valist(KVRLOG_TYPE_CONF, first_property_name, args);
    va_end(args);
    return KVRLOG_CONF(object);
}

void kvrlog_conf_unref(KvrlogConf *conf)
{
    if (conf != nullptr)
        g_object_unref(conf);
}
