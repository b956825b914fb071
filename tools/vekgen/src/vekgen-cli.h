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

} // namespace vekgen
