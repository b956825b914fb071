/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The public header compiles as strict C11, gate macros included. */
#include <kvrlog/kvrlog.h>

int kvrlog_header_c11_evaluations(void);
const char *kvrlog_header_c11_level_type(void);

static int evaluations;

static int evaluate(void)
{
    return ++evaluations;
}

/* Number of arguments evaluated by gated calls while no logger is set up. */
int kvrlog_header_c11_evaluations(void)
{
    evaluations = 0;
    KVRLOG_ERROR("%d", evaluate());
    KVRLOG_TRACE(0xFFFFFFFFFFFFFFFFULL, KVRLOG_LEVEL_ERR, "%d", evaluate());
    KVRLOG_IF_TRACE(1, evaluate());
    return evaluations;
}

const char *kvrlog_header_c11_level_type(void)
{
    return g_type_name(KVRLOG_TYPE_LEVEL);
}
