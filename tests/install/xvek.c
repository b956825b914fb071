/* SPDX-License-Identifier: GPL-2.0-or-later */
#include <xvek/xvek.h>

int main(void)
{
    return xvek_hlp_mode_to_str(xvek_hlp_str_to_mode("rx")) != NULL ? 0 : 1;
}
