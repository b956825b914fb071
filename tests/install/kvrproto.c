/* SPDX-License-Identifier: GPL-2.0-or-later */
#include <kvrproto/kvrproto.h>

int main(void)
{
    kvrframe *frame = NULL;
    GError *error = NULL;
    /* A line with nothing in it is refused with an error, not a crash. */
    gboolean ok = kvrproto_fdata_parse("", &frame, &error);
    int status = (!ok && error != NULL && frame == NULL) ? 0 : 1;
    g_clear_error(&error);
    return status;
}
