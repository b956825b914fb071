/* SPDX-License-Identifier: GPL-2.0-or-later */
#include <kvrconf/kvrconf.h>

int main(void)
{
    guint8 bytes[2];
    guint32 size = 0;
    if (!kvrConvertStrToHex(bytes, "00ff", sizeof bytes, &size, NULL) || size != 2)
        return 1;
    return kvrConvertStrToUint("0x10", 16, NULL) == 16 ? 0 : 1;
}
