/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libiqhub: the object a base-station host drives. It takes uplink I/Q
 * written by the host, demodulates it on a thread of its own, and hands the
 * decoded frames back on the host's GLib main loop with the wall-clock time of
 * the write that carried them, after the host's filters (device lists, frame
 * authentication). It also builds the 28-byte downlink frames the card sends.
 *
 * Every call is made on the thread that runs the default GLib main context,
 * and every callback arrives there. */
#pragma once

#define IQHUB_INSIDE
#include <iqhub/iqhub-export.h>
#include <iqhub/iqhub-types.h>
#include <iqhub/iqhub-object.h>
#include <iqhub/iqhub-write.h>
#include <iqhub/iqhub-filter.h>
#include <iqhub/iqhub-components.h>
#include <iqhub/sdr-synth-wrapper.h>
#undef IQHUB_INSIDE
