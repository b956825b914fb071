/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Error domain of the VEK card device library. */
#pragma once

#if !defined(XVEK_INSIDE) && !defined(XVEK_COMPILATION)
#error "Only <xvek/xvek.h> can be included directly."
#endif

#include <glib.h>

G_BEGIN_DECLS

/* Every GError of the library carries domain value XVEK_ERRDOM (used as the
 * domain number itself, not a registered quark) and code XVEK_ERR: errors
 * differ by their message only. */
typedef enum {
    XVEK_ERRDOM = 1,
    XVEK_ERRDOM_MAX = 2,
} xvekErrorDomain;

typedef enum {
    XVEK_ERR = 0,
    XVEK_ERRCODE_MAX = 1,
} xvekErrorCode;

#define XVEK_ERROR ((GQuark)XVEK_ERRDOM)

G_END_DECLS
