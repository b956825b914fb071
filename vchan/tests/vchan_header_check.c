/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The public header must compile as plain C11. */
#include <vchan/vchan.h>

int vchan_header_check_entry(void);
int vchan_header_check_entry(void)
{
    vdem_interface_version_t version;
    vchan_get_version(&version);
    vchan_config_t config = {VCHAN_RATE_100BPS | VCHAN_RATE_600BPS, 0.f};
    return version[0] + (int)config.rates;
}
