/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A program that hangs on two threads under an armed watchdog, for the watchdog's test. */
#include "watchdog.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace
{

std::mutex mu;
std::condition_variable never;

/* Distinct names, so that the test can find each thread's stack. */
[[gnu::noinline]] void helper_thread_waits_forever()
{
    std::unique_lock<std::mutex> lock(mu);
    never.wait(lock, [] { return false; });
}

[[gnu::noinline]] void main_thread_waits_forever()
{
    std::thread t(helper_thread_waits_forever);
    t.join();
}

} // namespace

int main()
{
    vek_watchdog_arm(1, "HangHelper.WaitsForever");
    main_thread_waits_forever();
    return 0;
}
