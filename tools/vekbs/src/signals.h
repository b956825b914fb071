/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The signals that stop vekbs, and standard output as the end of a pipe. */
#pragma once

#include <functional>
#include <string>

namespace vekbs
{

/* SIGINT, SIGTERM and SIGHUP stop vekbs cleanly (SIGHUP too: a closed
 * terminal, or a service manager's hang-up, is no reason to lose the queue and
 * the statistics). They are caught from the start of main, on the default
 * main context, and unblocked even when the parent blocked them: a signal that
 * arrives before the station runs waits for it. SIGPIPE is ignored: a closed
 * standard output shows as a failed write. */
class StopSignals
{
  public:
    static void install();
    /* Who stops on a signal from now on; called at once, on the main context,
     * when one came already. */
    static void on_stop(std::function<void(const char *signal)> handler);
    /* The first stop signal received, or nullptr. */
    static const char *received();
};

/* Standard output carries frames. A closed pipe (the reader has what it
 * wanted: "| head -1") is the end of output, not a failure; any other failed
 * write is reported on standard error at once, the first time. */
enum class OutputState { Open, Closed, Failed };
/* Writes @line and a line end, flushed. False once the output is closed or
 * has failed. */
bool print_line(const std::string &line);
OutputState output_state();
/* Writes @text (statistics) when the output is still open. */
void print_text(const std::string &text);

} // namespace vekbs
