/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Hang watchdog of the test binaries.
 *
 * CTest kills a test that outlives its time limit with SIGKILL, which leaves nothing to
 * explain the hang. Every test binary of the project carries this watchdog: each test case
 * arms it when it starts and disarms it when it ends; a case still running at its
 * deadline gets the stack of every thread of the process printed on standard error (by
 * gdb, or eu-stack when there is no gdb), and the process then ends with a failure. */
#pragma once

/* Arms the watchdog: unless disarmed within `seconds`, print every thread's stack, naming
 * `what`, and end the process with status 1. Re-arming replaces the previous deadline. */
void vek_watchdog_arm(unsigned seconds, const char *what);
void vek_watchdog_disarm();
