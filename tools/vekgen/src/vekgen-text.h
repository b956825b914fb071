/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The key=value texts of frames and impairments. */
#pragma once

#include "vekgen/vekgen.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace vekgen
{

/* A whole text that is one finite number in the C locale: @out set, TRUE. */
inline bool parse_number(const gchar *text, gdouble *out)
{
    gchar *end = nullptr;
    errno = 0;
    const gdouble v = g_ascii_strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

/* Calls @set(name, value, error) for every whitespace-separated NAME=VALUE token of
 * @text, in order, and stops at the first that fails; a token without '=' is a
 * VEKGEN_ERROR_PARSE. */
template <typename Set> gboolean parse_key_values(const gchar *text, Set &&set, GError **error)
{
    g_auto(GStrv) tokens = g_strsplit_set(text, " \t\r\n", -1);
    for (gchar **tok = tokens; *tok != nullptr; tok++) {
        if (**tok == '\0')
            continue;
        const gchar *eq = strchr(*tok, '=');
        if (eq == nullptr) {
            g_set_error(error, VEKGEN_ERROR, VEKGEN_ERROR_PARSE, "'%s' is not key=value", *tok);
            return FALSE;
        }
        g_autofree gchar *name = g_strndup(*tok, eq - *tok);
        if (!set(name, eq + 1, error))
            return FALSE;
    }
    return TRUE;
}

} // namespace vekgen
