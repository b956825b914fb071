/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#if !defined(IQHUB_INSIDE) && !defined(IQHUB_COMPILATION)
#error "Only <iqhub/iqhub.h> can be included directly."
#endif

#include <glib.h>

G_BEGIN_DECLS

/* Error domains: the numbers themselves are the domain values, no quark is
 * registered. The library raises IQHUB_ERRDOM, IQHUB_TSTAMP_ERRDOM and
 * IQHUB_ERRAPI_ERRDOM. */
typedef enum {
    IQHUB_ERRDOM = 1,
    IQHUB_FILTER_ERRDOM = 2,
    IQHUB_METRIC_ERRDOM = 3,
    IQHUB_TSTAMP_ERRDOM = 4,
    IQHUB_RMSPEC_ERRDOM = 5,
    IQHUB_ERRAPI_ERRDOM = 6,
    IQHUB_SPCT_STREAMER_ERRDOM = 7,
    IQHUB_ERRDOM_MAX = 8
} sdrErrorDomain;

typedef enum {
    IQHUB_ERR = 0,
    IQHUB_ERR_OOM = 1,
    IQHUB_ERR_STOPPED = 2,
    IQHUB_ERR_NOT_RUNNING = 3,
    IQHUB_ERR_EINTR = 4,
    IQHUB_ERR_EINVAL = 5,
    IQHUB_ERR_EAGAIN = 6,
    IQHUB_ERR_PROTOCOL = 7,
    IQHUB_ERRCODE_MAX = 8
} sdrErrorCode;

/* Value of the "platform" property. */
typedef enum {
    MACHINE_A1150 = 0,
    MACHINE_GAH61 = 1,
    MACHINE_IMX6Q = 2,
    MACHINE_AIMB230 = 3,
    MACHINE_QEMUX86_64 = 4,
    MACHINE_MAX = 5,
    MACHINE_UNKNOWN = 6
} tapTarget;
typedef tapTarget target_machine_t;

/* Sample id: the running number of a written sample, starting at 1 at each start. */
typedef gint64 sId_t;

/* Types of the reports queued for the main context; only
 * E_SCHED_EVT_TYPE_FCONT and E_SCHED_EVT_TYPE_RFSAT are accepted. */
typedef enum {
    E_SCHED_EVT_TYPE_TICK = 0,
    E_SCHED_EVT_TYPE_FCONT = 1,
    E_SCHED_EVT_TYPE_METRIC = 2,
    E_SCHED_EVT_TYPE_MSPEC = 3,
    E_SCHED_EVT_TYPE_AVAIL = 4,
    E_SCHED_EVT_TYPE_SPCT = 5,
    E_SCHED_EVT_TYPE_RFSAT = 6
} e_sched_evt_type;

G_END_DECLS
