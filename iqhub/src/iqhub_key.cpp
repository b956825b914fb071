/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The key is kept as two 64-bit halves and only assembled when needed, so
 * that it never sits in the binary as one contiguous 16-byte string. */
#include "iqhub_key.h"

namespace
{
constexpr guint64 kKeyHigh = 0x5a3c96e1f00d7b42ULL;
constexpr guint64 kKeyLow = 0x8e21c4d9a6170b53ULL;
} // namespace

void iqhub_auth_key(guint8 key[IQHUB_AUTH_KEY_LEN])
{
    for (int i = 0; i < 8; ++i) {
        key[i] = static_cast<guint8>(kKeyHigh >> (56 - 8 * i));
        key[8 + i] = static_cast<guint8>(kKeyLow >> (56 - 8 * i));
    }
}
