/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The live station's life as one state machine: its phases, which phase may
 * follow which, and every move logged. */
#pragma once

#include <glib.h>

namespace vekbs
{

enum class Phase {
    Starting,  /* signals and the broker set up; no card tried yet */
    Waiting,   /* no card: trying to open one every second */
    Streaming, /* the card's samples flow through the wrapper */
    Draining,  /* the card is gone or silent: writing what it sent, then releasing it */
    Ending,    /* the end of the signal (--duration, --truth) reached: the last write */
    Stopping,  /* a stop was asked: shutting down in order */
    Failing,   /* the station cannot run: shutting down in order, exit status 1 */
    Stopped,   /* everything released */
};

const gchar *phase_name(Phase phase);
/* Whether the station may move from @from to @to. */
bool phase_may_follow(Phase from, Phase to);

class Life
{
  public:
    Phase phase() const { return phase_; }
    bool is(Phase phase) const { return phase_ == phase; }
    /* Moves to @to, logging the move and @why; a move the table does not
     * allow is logged as an error and refused (false). */
    bool enter(Phase to, const gchar *why);

  private:
    Phase phase_ = Phase::Starting;
};

} // namespace vekbs
