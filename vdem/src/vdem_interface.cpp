/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Public entry points and lifecycle of the single demodulator instance. */
#include <stdio.h>
#include <string.h>

#include <vdem/vdem.h>

#include "vdem_interface_priv.h"
#include "vdem_mem_mgt.h"
#include "vdem_process.h"

vdem_conf_t vdem_conf;

void nil_fdata_exit_fct_ptr(vdem_frame_cont_t *, const void *) {}
void nil_error_exit_stdout(vdem_error_t *, const void *) {}
void nil_rfsat_exit_fct_ptr(vdem_rfsat_t *, const void *) {}

cb_conf_t cb = {
    {nil_fdata_exit_fct_ptr, NULL},
    {nil_error_exit_stdout, NULL},
    {nil_rfsat_exit_fct_ptr, NULL},
};

/* Set while a packet is being processed. Callbacks run inside that window;
 * a terminate issued from one of them must not free the buffers the running
 * step still reads, so the release is deferred to the end of the post. */
static bool posting;
static bool release_pending;

void vdem_fdata_exit_fct_ptr(vdem_frame_cont_t *cont)
{
    cb.fdata.ptr(cont, cb.fdata.userdata);
}

void vdem_error_exit_fct_ptr(vdem_error_t *err)
{
    cb.error.ptr(err, cb.error.userdata);
}

void vdem_rfsat_exit_fct_ptr(vdem_rfsat_t *rfsat)
{
    cb.rfsat.ptr(rfsat, cb.rfsat.userdata);
}

static void write_msg(char *error_msg, const char *msg)
{
    if (error_msg)
        sprintf(error_msg, "%s\n", msg);
}

VDEM_EXPORT int32_t VDEM_INTERFACE_init(vdem_interface_config_t *config, char *error_msg)
{
    if (vdem_conf.hop_size != 0 || posting) {
        write_msg(error_msg, "Usage: rxdsp [--help] --int-gain gain --bit-rate rate");
        return VDEM_INTERFACE_INSTANCE_RUNNING;
    }
    if (!config) {
        write_msg(error_msg, "ERRAPI: missing configuration");
        return VDEM_INTERFACE_INTERNAL_ERROR;
    }
    if (config->int_gain < 0) {
        write_msg(error_msg, "ERRAPI: --int-gain must be positive");
        return VDEM_INTERFACE_NEGATIVE_INT_GAIN;
    }
    switch (config->bitrate) {
    case VDEM_INTERFACE_100BPS:
        vdem_conf.tput = 100;
        vdem_conf.sps = 8;
        vdem_conf.hop_size = 1920;
        break;
    case VDEM_INTERFACE_600BPS:
        vdem_conf.tput = 600;
        vdem_conf.sps = 8;
        vdem_conf.hop_size = 320;
        break;
    default:
        write_msg(error_msg, "ERRAPI: --bit-rate must be either 100 or 600");
        return VDEM_INTERFACE_UNSUPPORTED_BITRATE;
    }
    if (!VDEM_PROCESS_init(config->int_gain)) {
        VDEM_MEM_MGT_free();
        vdem_conf.hop_size = 0;
        write_msg(error_msg, "ERRAPI: cannot allocate the demodulator buffers");
        return VDEM_INTERFACE_INTERNAL_ERROR;
    }
    return VDEM_INTERFACE_OK;
}

VDEM_EXPORT int32_t VDEM_INTERFACE_terminate(void)
{
    if (posting)
        release_pending = true;
    else
        VDEM_MEM_MGT_free();
    vdem_conf.hop_size = 0;
    VDEM_INTERFACE_cb_register_reset();
    return 0;
}

VDEM_EXPORT void VDEM_INTERFACE_get_version(vdem_interface_version_t *version)
{
    if (version)
        memcpy(*version, "01.03.00", sizeof "01.03.00");
}

VDEM_EXPORT int32_t VDEM_INTERFACE_get_iq_packet_size(void)
{
    /* The size follows from the rate of a running instance; there is none. */
    if (vdem_conf.hop_size == 0)
        return 0;
    int32_t bundle = 2048 / vdem_conf.hop_size;
    bundle = (bundle + 4) & ~7;
    if (bundle < 8)
        bundle = 8;
    vdem_process_data.packet_bundle = bundle;
    return vdem_conf.hop_size * bundle;
}

VDEM_EXPORT int32_t VDEM_INTERFACE_post_iq_packet(short *samplebuf, int nbSamples)
{
    vdem_process_data.sampleTimeStamp += (uint32_t)nbSamples;

    int32_t hop_size = vdem_conf.hop_size;
    int32_t bundle = vdem_process_data.packet_bundle;
    /* Idle, nested inside a callback, or no samples where some are due:
     * nothing may be processed. */
    if (hop_size == 0 || posting || (nbSamples > 0 && !samplebuf))
        return VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE;
    if ((int64_t)nbSamples != (int64_t)hop_size * bundle)
        return VDEM_INTERFACE_POST_IQ_PKT_WRONG_SIZE;

    posting = true;
    vdem_proto_frame_t scratch;
    int32_t periods = (bundle / 8) * 8;
    for (int32_t n = 0; n < periods && vdem_conf.hop_size != 0; n++)
        vdem_process(samplebuf + 2 * (size_t)hop_size * n, &scratch);
    posting = false;
    if (release_pending) {
        release_pending = false;
        VDEM_MEM_MGT_free();
    }
    return VDEM_INTERFACE_POST_IQ_PKT_OK;
}

/* A missing callback is refused and stops the instance, which also puts the
 * do-nothing defaults back in the table. */
template <typename Slot, typename Fn>
static int32_t register_callback(Slot &slot, Fn ptr, const void *userdata)
{
    slot.ptr = ptr;
    slot.userdata = userdata;
    if (!ptr) {
        VDEM_INTERFACE_terminate();
        return VDEM_CB_REGISTER_WRONG_POINTER;
    }
    return VDEM_CB_REGISTER_OK;
}

VDEM_EXPORT int32_t VDEM_INTERFACE_cb_register_fdata_exit_fct(fdata_exit_fct_ptr ptr,
                                                              const void *userdata)
{
    return register_callback(cb.fdata, ptr, userdata);
}

VDEM_EXPORT int32_t VDEM_INTERFACE_cb_register_error_exit_fct(error_exit_fct_ptr ptr,
                                                              const void *userdata)
{
    return register_callback(cb.error, ptr, userdata);
}

VDEM_EXPORT int32_t VDEM_INTERFACE_cb_register_rfsat_exit_fct(rfsat_exit_fct_ptr ptr,
                                                              const void *userdata)
{
    return register_callback(cb.rfsat, ptr, userdata);
}

VDEM_EXPORT void VDEM_INTERFACE_cb_register_reset(void)
{
    cb.fdata.ptr = nil_fdata_exit_fct_ptr;
    cb.error.ptr = nil_error_exit_stdout;
    cb.rfsat.ptr = nil_rfsat_exit_fct_ptr;
}
