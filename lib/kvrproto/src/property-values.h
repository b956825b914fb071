/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Conversions between property values and record fields.
#pragma once

#include <glib-object.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace kvrproto
{

// A new array of one-byte elements holding @length bytes.
inline GArray *byte_array_new(const guint8 *bytes, guint length)
{
    GArray *array = g_array_sized_new(FALSE, FALSE, 1, length);
    if (length > 0)
        g_array_append_vals(array, bytes, length);
    return array;
}

// Stores a double property into a float field: values beyond the float range
// become infinite instead of being undefined.
inline gfloat narrow_to_float(gdouble value)
{
    constexpr gdouble kMax = std::numeric_limits<gfloat>::max();
    if (value > kMax)
        return std::numeric_limits<gfloat>::infinity();
    if (value < -kMax)
        return -std::numeric_limits<gfloat>::infinity();
    return static_cast<gfloat>(value);
}

// Truncates a time value to a 64-bit integer, saturating where a double
// exceeds what the integer holds.
inline gint64 truncate_to_int64(gdouble value)
{
    if (std::isnan(value))
        return 0;
    // 2^63 is exact as a double; anything at or above it saturates.
    constexpr gdouble kLimit = 9223372036854775808.0;
    if (value >= kLimit)
        return std::numeric_limits<gint64>::max();
    if (value < -kLimit)
        return std::numeric_limits<gint64>::min();
    return static_cast<gint64>(value);
}

// Copies a boxed byte array of exactly @len one-byte elements into @a.
// Anything else is a caller error, reported as a critical warning.
inline gboolean byte_array_copy_exact(guint8 *a, guint len, GArray *src)
{
    g_return_val_if_fail(src != NULL, FALSE);
    // clang-format off
    g_return_val_if_fail (g_array_get_element_size (src) == sizeof (a[0]), FALSE);
    g_return_val_if_fail (src->len == len, FALSE);
    // clang-format on
    memcpy(a, src->data, len);
    return TRUE;
}

} // namespace kvrproto
