/* SPDX-License-Identifier: GPL-2.0-or-later */
#include <mini/mini.h>

void mini_call(MiniFunc func, gpointer user_data)
{
    func(user_data);
}
