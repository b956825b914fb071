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

/* Test hook: when positive, the allocation that brings it to 0 fails. */
extern int32_t vdem_mem_mgt_fail_countdown;
