/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Allocation registry of the demodulator: every block the pipeline takes is
 * recorded so that terminate can release them all at once. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#define VDEM_MEM_MGT_SLOTS 32768

extern void *alloc_table[VDEM_MEM_MGT_SLOTS];
extern int32_t alloc_index;

void *VDEM_MEM_MGT_malloc(size_t size);
void *VDEM_MEM_MGT_calloc(size_t nmemb, size_t size);
void VDEM_MEM_MGT_free(void);

#ifdef VDEM_TEST_HOOKS
/* Test archive only: when @countdown is positive, the allocation that
 * brings it to 0 fails. */
void vdem_mem_mgt_set_fail_countdown(int32_t countdown);
#endif
