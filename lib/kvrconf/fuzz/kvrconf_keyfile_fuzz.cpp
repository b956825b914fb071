/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Fuzz target over configuration key files: the input is written to a file,
// loaded as the configuration, and every key of every group is read with one
// of the typed lookups. Lookups may fail (and say so on standard error), never
// crash; a failed "ok" lookup returns 0 or NULL.
#include <kvrconf/kvrconf.h>

#include "fuzz_scratch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

// One typed lookup of group/key; which one cycles with the key's position, so
// that every lookup meets every kind of value while a run stays cheap.
void look_up(GKeyFile *conf, const gchar *group, const gchar *key, guint which)
{
    gboolean ok = TRUE;
    switch (which % 9) {
    case 0:
        if (kvrConfGetBool(conf, group, key, &ok) && !ok)
            abort(); // a failed "ok" lookup returns FALSE, 0 or NULL
        break;
    case 1:
        if (kvrConfGetInt(conf, group, key, &ok) != 0 && !ok)
            abort();
        break;
    case 2:
        if (kvrConfGetUInt(conf, group, key, &ok) != 0 && !ok)
            abort();
        break;
    case 3:
        if (kvrConfGetInt64(conf, group, key, &ok) != 0 && !ok)
            abort();
        break;
    case 4:
        if (kvrConfGetUInt64(conf, group, key, &ok) != 0 && !ok)
            abort();
        break;
    case 5:
        if (kvrConfGetDouble(conf, group, key, &ok) != 0.0 && !ok)
            abort();
        break;
    case 6: {
        g_autofree gchar *text = kvrConfGetString(conf, group, key, &ok);
        if (text != nullptr && !ok)
            abort();
        break;
    }
    case 7: {
        g_autofree gchar *def = g_strdup(" x ");
        gchar *found = kvrConfGetStringDefault(conf, group, key, def);
        if (found == nullptr)
            abort(); // the default variant always gives a text
        if (found != def)
            g_free(found);
        break;
    }
    default: {
        gsize n = 0;
        g_auto(GStrv) list = kvrConfGetStringList(conf, group, key, &n, &ok);
        if (list != nullptr && g_strv_length(list) != n)
            abort();
        break;
    }
    }
}

void read_every_key(GKeyFile *conf)
{
    g_auto(GStrv) groups = g_key_file_get_groups(conf, nullptr);
    guint which = 0;
    for (gchar **group = groups; *group != nullptr; group++) {
        if (!kvrConfHasGroup(conf, *group))
            abort(); // a group the file lists is there
        g_auto(GStrv) keys = g_key_file_get_keys(conf, *group, nullptr, nullptr);
        for (gchar **key = keys; keys != nullptr && *key != nullptr; key++)
            look_up(conf, *group, *key, which++);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The lookups report every failure on standard error; the sanitizers
    // write to the descriptor, so only the stream is silenced.
    stderr = fopen("/dev/null", "w");
    vek_fuzz::make_scratch_dir("kvrconf-fuzz", {"fuzz.conf"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const std::string path = vek_fuzz::scratch_path("fuzz.conf");
    vek_fuzz::write_file(path, bytes, size);
    GKeyFile *conf = kvrConfSet(path.c_str());
    if (conf == nullptr)
        return 0;
    read_every_key(conf);
    kvrConfRelease(conf);
    return 0;
}
