/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Module state shared by the demodulator's components: rate settings and the
 * callback table. */
#pragma once

#include <vdem/vdem.h>

/* Rate settings of the running instance; hop_size 0 means idle. */
typedef struct {
    int32_t sps;      /* samples per symbol after decimation: 8 */
    int32_t tput;     /* bit rate: 100 or 600 */
    int32_t hop_size; /* input samples per bit period: 1920 or 320 */
} vdem_conf_t;

typedef struct {
    struct {
        fdata_exit_fct_ptr ptr;
        const void *userdata;
    } fdata;
    struct {
        error_exit_fct_ptr ptr;
        const void *userdata;
    } error;
    struct {
        rfsat_exit_fct_ptr ptr;
        const void *userdata;
    } rfsat;
} cb_conf_t;

extern vdem_conf_t vdem_conf;
extern cb_conf_t cb;

void nil_fdata_exit_fct_ptr(vdem_frame_cont_t *cont, const void *userdata);
void nil_error_exit_stdout(vdem_error_t *err, const void *userdata);
void nil_rfsat_exit_fct_ptr(vdem_rfsat_t *rfsat, const void *userdata);

/* Report through the registered callbacks. */
void vdem_fdata_exit_fct_ptr(vdem_frame_cont_t *cont);
void vdem_error_exit_fct_ptr(vdem_error_t *err);
void vdem_rfsat_exit_fct_ptr(vdem_rfsat_t *rfsat);
