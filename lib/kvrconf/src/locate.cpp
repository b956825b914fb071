/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Finding and loading the configuration key file.
#include <kvrconf/kvrconf.h>

#include <cstdio>

namespace
{

void report_reason(const GError *error)
{
    if (error)
        fprintf(stderr, "Reason: %s\n", error->message);
}

} // namespace

GKeyFile *kvrConfGet(const gchar *name)
{
    static const gchar *const search_dirs[] = {"/etc/kavrin/", "/etc/", "./conf/", "./", nullptr};
    g_autoptr(GKeyFile) conf = g_key_file_new();
    g_autoptr(GError) error = nullptr;
    g_autofree gchar *full_path = nullptr;

    if (name && g_key_file_load_from_dirs(conf, name, const_cast<const gchar **>(search_dirs),
                                          &full_path, G_KEY_FILE_NONE, &error)) {
        fprintf(stderr, "Using the configuration file : '%s'\n", full_path);
        return static_cast<GKeyFile *>(g_steal_pointer(&conf));
    }
    fprintf(stderr,
            "Unable to locate '%s' in '/etc/kavrin/' or '/etc/' or './conf/' neither './' !\n",
            name ? name : "");
    report_reason(error);
    return nullptr;
}

GKeyFile *kvrConfSet(const gchar *path)
{
    g_autoptr(GKeyFile) conf = g_key_file_new();
    g_autoptr(GError) error = nullptr;

    if (path && g_key_file_load_from_file(conf, path, G_KEY_FILE_NONE, &error)) {
        fprintf(stderr, "Using the configuration file : '%s'\n", path);
        return static_cast<GKeyFile *>(g_steal_pointer(&conf));
    }
    fprintf(stderr, "Unable to parse the configuration file '%s'!\n", path ? path : "");
    report_reason(error);
    return nullptr;
}

void kvrConfRelease(GKeyFile *conf)
{
    if (conf)
        g_key_file_free(conf);
}
