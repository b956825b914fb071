/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Frame texts and frame files: the frames of a scenario, one per line. */
#include "vekgen/vekgen.h"

#include <cstring>

gboolean vekgen_signal_add_frame_text(VekgenSignal *signal, const gchar *text, gboolean forge,
                                      GRand *rand, GError **error)
{
    /* Appended last, the forgery asked for here wins over a forge=0 in the text. */
    g_autofree gchar *forged = nullptr;
    if (forge && strstr(text, "dev=") != nullptr)
        text = forged = g_strconcat(text, " forge=1", nullptr);
    VekgenFrame frame;
    return vekgen_frame_parse(text, rand, &frame, error) &&
           vekgen_signal_add_frame(signal, &frame, error);
}

gboolean vekgen_signal_add_frames_text(VekgenSignal *signal, const gchar *text,
                                       const gchar *origin, gboolean forge, GRand *rand,
                                       GError **error)
{
    g_auto(GStrv) lines = g_strsplit(text, "\n", -1);
    for (guint i = 0; lines[i] != nullptr; i++) {
        gchar *hash = strchr(lines[i], '#');
        if (hash != nullptr)
            *hash = '\0';
        g_strstrip(lines[i]);
        if (*lines[i] == '\0')
            continue;
        if (!vekgen_signal_add_frame_text(signal, lines[i], forge, rand, error)) {
            g_prefix_error(error, "%s:%u: ", origin, i + 1);
            return FALSE;
        }
    }
    return TRUE;
}

gboolean vekgen_signal_add_frame_file(VekgenSignal *signal, const gchar *path, gboolean forge,
                                      GRand *rand, GError **error)
{
    g_autofree gchar *contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path, &contents, &length, error))
        return FALSE;
    /* The lines are C strings: a NUL byte would silently end the text there. */
    const gchar *nul = static_cast<const gchar *>(memchr(contents, '\0', length));
    if (nul != nullptr) {
        guint line = 1;
        for (const gchar *c = contents; c < nul; c++)
            line += *c == '\n';
        g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "%s:%u: a NUL byte in a frame file",
                    path, line);
        return FALSE;
    }
    return vekgen_signal_add_frames_text(signal, contents, path, forge, rand, error);
}
