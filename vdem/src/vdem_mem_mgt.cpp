/* SPDX-License-Identifier: LGPL-2.1-or-later */
#include "vdem_mem_mgt.h"

#include <stdlib.h>

void *alloc_table[VDEM_MEM_MGT_SLOTS];
int32_t alloc_index;
#ifdef VDEM_TEST_HOOKS
static int32_t fail_countdown;

void vdem_mem_mgt_set_fail_countdown(int32_t countdown)
{
    fail_countdown = countdown;
}

static bool injected_failure(void)
{
    if (fail_countdown <= 0)
        return false;
    return --fail_countdown == 0;
}
#else
static bool injected_failure(void)
{
    return false;
}
#endif

static void *record(void *block)
{
    alloc_table[(uint32_t)alloc_index % VDEM_MEM_MGT_SLOTS] = block;
    alloc_index++;
    return block;
}

void *VDEM_MEM_MGT_malloc(size_t size)
{
    return record(injected_failure() ? NULL : malloc(size));
}

void *VDEM_MEM_MGT_calloc(size_t nmemb, size_t size)
{
    return record(injected_failure() ? NULL : calloc(nmemb, size));
}

void VDEM_MEM_MGT_free(void)
{
    int32_t used = alloc_index < VDEM_MEM_MGT_SLOTS ? alloc_index : VDEM_MEM_MGT_SLOTS;
    for (int32_t i = used - 1; i >= 0; i--) {
        free(alloc_table[i]);
        alloc_table[i] = NULL;
    }
    alloc_index = 0;
}
