/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Which phase of the station may follow which. */
#include "life.h"

#include <kvrlog/kvrlog.h>

namespace vekbs
{

const gchar *phase_name(Phase phase)
{
    switch (phase) {
    case Phase::Starting:
        return "starting";
    case Phase::Waiting:
        return "waiting for the card";
    case Phase::Streaming:
        return "streaming";
    case Phase::Draining:
        return "draining";
    case Phase::Ending:
        return "ending";
    case Phase::Stopping:
        return "stopping";
    case Phase::Failing:
        return "failing";
    case Phase::Stopped:
        return "stopped";
    }
    return "unknown";
}

bool phase_may_follow(Phase from, Phase to)
{
    /* A stop may come at any time before the end; the rest is the card's
     * coming and going. */
    if (to == Phase::Stopping)
        return from != Phase::Stopping && from != Phase::Failing && from != Phase::Stopped;
    switch (from) {
    case Phase::Starting:
        return to == Phase::Waiting || to == Phase::Streaming || to == Phase::Failing;
    case Phase::Waiting:
        return to == Phase::Streaming || to == Phase::Failing;
    case Phase::Streaming:
        return to == Phase::Draining || to == Phase::Ending;
    case Phase::Draining:
        return to == Phase::Waiting || to == Phase::Ending;
    case Phase::Ending:
    case Phase::Stopping:
    case Phase::Failing:
        return to == Phase::Stopped;
    case Phase::Stopped:
        return false;
    }
    return false;
}

bool Life::enter(Phase to, const gchar *why)
{
    if (!phase_may_follow(phase_, to)) {
        KVRLOG_ERROR("station: %s cannot follow %s (%s); staying %s", phase_name(to),
                     phase_name(phase_), why, phase_name(phase_));
        return false;
    }
    KVRLOG_INFO("station: %s -> %s: %s", phase_name(phase_), phase_name(to), why);
    phase_ = to;
    return true;
}

} // namespace vekbs
