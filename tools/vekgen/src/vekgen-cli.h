/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What the transmitter's commands share on their command line. */
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <glib.h>

namespace vekgen
{

/* Exit statuses, the same for every tool of the project (README, "Tools"). */
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  /* the run failed */
constexpr int kExitUsage = 2;    /* a bad option, operand or frame text */
constexpr int kExitMismatch = 3; /* a check found a difference */

namespace detail
{
inline int stdout_errno = 0; /* the first failed write to standard output */
inline bool stdout_closed = false;

/* g_print as GLib does it (write, then flush), remembering why a write failed. */
inline void print_to_stdout(const gchar *text)
{
    if ((fputs(text, stdout) == EOF || fflush(stdout) != 0) && stdout_errno == 0)
        stdout_errno = errno != 0 ? errno : EIO;
}
} // namespace detail

/* Closes standard output. When anything written to it was lost, says so on standard
 * error and returns a failure status (kExitFailure for a run that had otherwise
 * succeeded); otherwise returns @status. */
inline int close_stdout(int status)
{
    if (detail::stdout_closed)
        return status;
    detail::stdout_closed = true;
    bool lost = detail::stdout_errno != 0 || ferror(stdout) != 0;
    errno = 0;
    if (fclose(stdout) != 0) {
        lost = true;
        if (detail::stdout_errno == 0)
            detail::stdout_errno = errno;
    }
    if (!lost)
        return status;
    g_printerr("%s: cannot write standard output: %s\n", g_get_prgname(),
               g_strerror(detail::stdout_errno != 0 ? detail::stdout_errno : EIO));
    return status == kExitOk ? kExitFailure : status;
}

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
    exit(close_stdout(status));
}

/* Names the program, parses its options and handles --version: a bad option fails with
 * kExitUsage, --version prints "<program> 1.0" and exits with kExitOk. Leaves the
 * operands in argv.
 * From here on a lost write to standard output fails the command, whichever way it
 * ends (--help exits from inside GLib). */
inline void parse_command_line(const gchar *program, const gchar *summary,
                               const GOptionEntry *entries, const gchar *description,
                               const gboolean *version, int *argc, char ***argv)
{
    g_set_prgname(program);
    g_set_print_handler(detail::print_to_stdout);
    atexit([] {
        if (!detail::stdout_closed && close_stdout(kExitOk) != kExitOk)
            _exit(kExitFailure);
    });
    GOptionContext *context = g_option_context_new(summary);
    g_option_context_add_main_entries(context, entries, nullptr);
    g_option_context_set_description(context, description);
    GError *error = nullptr;
    const gboolean ok = g_option_context_parse(context, argc, argv, &error);
    g_option_context_free(context);
    if (!ok)
        fail(kExitUsage, "%s", error->message);
    if (*version) {
        g_print("%s 1.0\n", program);
        exit(close_stdout(kExitOk));
    }
}

} // namespace vekgen
