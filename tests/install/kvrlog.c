/* SPDX-License-Identifier: GPL-2.0-or-later */
#include <kvrlog/kvrlog.h>

int main(void)
{
    KvrlogConf *conf = kvrlog_conf_new();
    if (conf == NULL)
        return 1;
    kvrlog_conf_unref(conf);
    return 0;
}
