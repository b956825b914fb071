/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Stop signals caught early, and standard output's failures told apart. */
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <glib-unix.h>

namespace vekbs
{
namespace
{

const char *gReceived = nullptr;
std::function<void(const char *)> gHandler;
OutputState gOutput = OutputState::Open;

gboolean on_signal(gpointer name)
{
    const char *signal = static_cast<const char *>(name);
    if (gReceived == nullptr)
        gReceived = signal;
    if (gHandler)
        gHandler(signal);
    return G_SOURCE_CONTINUE;
}

gboolean deliver_early(gpointer)
{
    if (gReceived != nullptr && gHandler)
        gHandler(gReceived);
    return G_SOURCE_REMOVE;
}

void output_failed()
{
    if (gOutput != OutputState::Open)
        return;
    if (errno == EPIPE) {
        gOutput = OutputState::Closed;
        return;
    }
    gOutput = OutputState::Failed;
    g_printerr("vekbs: cannot write standard output: %s\n", g_strerror(errno));
}

} // namespace

void StopSignals::install()
{
    static const struct {
        int number;
        const char *name;
    } kSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    /* One that waits, blocked since before the exec, counts as received now:
     * GLib hands it over only later, through its worker thread. */
    sigset_t pending, set;
    sigemptyset(&pending);
    sigpending(&pending);
    sigemptyset(&set);
    for (const auto &s : kSignals) {
        g_unix_signal_add(s.number, on_signal, const_cast<char *>(s.name));
        sigaddset(&set, s.number);
        if (gReceived == nullptr && sigismember(&pending, s.number) == 1)
            gReceived = s.name;
    }
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void StopSignals::on_stop(std::function<void(const char *)> handler)
{
    gHandler = std::move(handler);
    if (gReceived != nullptr)
        g_idle_add(deliver_early, nullptr);
}

const char *StopSignals::received()
{
    return gReceived;
}

bool print_line(const std::string &line)
{
    if (gOutput != OutputState::Open)
        return false;
    errno = 0;
    if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0) {
        output_failed();
        return false;
    }
    return true;
}

OutputState output_state()
{
    return gOutput;
}

void print_text(const std::string &text)
{
    if (gOutput != OutputState::Open)
        return;
    errno = 0;
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        output_failed();
}

} // namespace vekbs
