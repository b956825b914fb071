/* What the transmitter's commands share on their command line. */
#pragma once

#include <cstdarg>
#include <cstdlib>

#include <glib.h>

namespace vekgen
{

/* Prints "<program>: <message>" on standard error and exits with @status; the program
 * name is the one main() gave g_set_prgname(). */
[[noreturn]] inline void G_GNUC_PRINTF(2, 3) fail(int status, const gchar *format, ...)
{
    va_list args;
    va_start(args, format);
    gchar *msg = g_strdup_vprintf(format, args);
    va_end(args);
    g_printerr("%s: %s\n", g_get_prgname(), msg);
    g_free(msg);
    exit(status);
}

/* Names the program, parses its options and handles --version: a bad option fails with
 * status 2, --version prints "<program> 1.0" and exits 0. Leaves the operands in argv. */
inline void parse_command_line(const gchar *program, const gchar *summary,
                               const GOptionEntry *entries, const gchar *description,
                               const gboolean *version, int *argc, char ***argv)
{
    g_set_prgname(program);
    GOptionContext *context = g_option_context_new(summary);
    g_option_context_add_main_entries(context, entries, nullptr);
    g_option_context_set_description(context, description);
    GError *error = nullptr;
    const gboolean ok = g_option_context_parse(context, argc, argv, &error);
    g_option_context_free(context);
    if (!ok)
        fail(2, "%s", error->message);
    if (*version) {
        g_print("%s 1.0\n", program);
        exit(0);
    }
}

} // namespace vekgen
