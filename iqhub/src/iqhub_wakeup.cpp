/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Sources through which the writer thread hands work to the default main
 * context. Each is created and attached on the main context once, and the
 * writer only makes it ready: no source is allocated on one thread and freed
 * on the other, a hand-over the thread sanitizer cannot follow inside an
 * uninstrumented GLib. */
#include "iqhub-private.h"

namespace
{

gboolean dispatch_wakeup(GSource *source, GSourceFunc callback, gpointer user_data)
{
    g_source_set_ready_time(source, -1);
    if (callback(user_data))
        g_source_set_ready_time(source, 0);
    return G_SOURCE_CONTINUE;
}

GSourceFuncs gWakeupFuncs = {nullptr, nullptr, dispatch_wakeup, nullptr, nullptr, nullptr};

} // namespace

GSource *iqhub_wakeup_new(GSourceFunc callback, gpointer data, const gchar *name)
{
    GSource *source = g_source_new(&gWakeupFuncs, sizeof(GSource));
    g_source_set_priority(source, G_PRIORITY_DEFAULT_IDLE);
    g_source_set_callback(source, callback, data, nullptr);
    g_source_set_static_name(source, name);
    g_source_set_ready_time(source, -1);
    g_source_attach(source, g_main_context_default());
    return source;
}

void iqhub_wakeup_signal(GSource *source)
{
    g_source_set_ready_time(source, 0);
}

void iqhub_wakeup_free(GSource **source)
{
    if (*source == nullptr)
        return;
    g_source_destroy(*source);
    g_clear_pointer(source, g_source_unref);
}
