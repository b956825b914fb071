/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The watchdog thread and the stack dump (see watchdog.h). */
#include "watchdog.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

using Clock = std::chrono::steady_clock;

struct State {
    std::mutex mu;
    std::condition_variable cv;
    bool armed = false;
    bool thread_started = false;
    Clock::time_point deadline;
    unsigned seconds = 0;
    std::string what;
};

State &state()
{
    /* Never destroyed: the watchdog thread may still wait on it while the process exits. */
    static State *s = new State();
    return *s;
}

/* The dumper's environment: the process's own, less what would run the dumper inside the
 * test's world. A dumper under umockdev's preload library would have its reads of /proc
 * and /dev answered by the very process it stops. */
std::vector<std::string> dumper_environment()
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        const std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("UMOCKDEV_", 0) == 0)
            continue;
        env.push_back(entry);
    }
    return env;
}

/* Runs one stack dumper on this process; false when it could not be started. */
bool run_dumper(const char *const argv[])
{
    std::vector<std::string> env = dumper_environment();
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    /* The dumper's report goes where the test's diagnostics go. */
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t child = 0;
    int r = posix_spawnp(&child, argv[0], &actions, nullptr, const_cast<char *const *>(argv),
                         envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0)
        return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    /* 127: the program was not found. */
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

[[noreturn]] void dump_and_exit(const std::string &what, unsigned seconds)
{
    std::fflush(stdout);
    std::fprintf(stderr,
                 "\nwatchdog: %s still running after %u s; the stack of every thread follows\n",
                 what.c_str(), seconds);
    std::fflush(stderr);
    /* Where the kernel restricts ptrace to ancestors, the dumper (our child) needs leave. */
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string pid = std::to_string(getpid());
    const char *const gdb[] = {"gdb",          "-nx",       "-batch",
                               "-p",           pid.c_str(), "-ex",
                               "info threads", "-ex",       "thread apply all bt",
                               nullptr};
    const char *const eu_stack[] = {"eu-stack", "-p", pid.c_str(), nullptr};
    if (!run_dumper(gdb) && !run_dumper(eu_stack))
        std::fprintf(stderr, "watchdog: neither gdb nor eu-stack could be run: no stacks\n");
    std::fprintf(stderr, "watchdog: ending %s\n", what.c_str());
    std::fflush(stderr);
    _exit(1);
}

void watch()
{
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
        if (!s.armed) {
            s.cv.wait(lock);
            continue;
        }
        if (Clock::now() >= s.deadline)
            break;
        s.cv.wait_until(lock, s.deadline);
    }
    const std::string what = s.what;
    const unsigned seconds = s.seconds;
    lock.unlock();
    dump_and_exit(what, seconds);
}

} // namespace

void vek_watchdog_arm(unsigned seconds, const char *what)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.armed = true;
    s.seconds = seconds;
    s.deadline = Clock::now() + std::chrono::seconds(seconds);
    s.what = what != nullptr ? what : "the test";
    if (!s.thread_started) {
        /* Started with the first test rather than before main(): the emulated-card tests
         * start no thread before their test bed exists. */
        std::thread(watch).detach();
        s.thread_started = true;
    }
    s.cv.notify_all();
}

void vek_watchdog_disarm()
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.armed = false;
    s.cv.notify_all();
}
