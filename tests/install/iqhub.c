/* SPDX-License-Identifier: GPL-2.0-or-later */
#include <iqhub/iqhub.h>

static gboolean on_tx(SdrSynthWrapper *self, guint8 *frame, gsize length, guint32 freq,
                      gpointer user_data, GError **error)
{
    (void)self;
    (void)freq;
    (void)error;
    *(gsize *)user_data = length;
    g_free(frame);
    return TRUE;
}

int main(void)
{
    Iqhub *hub = iqhub_new_with_options("bit-rate", 600u, NULL);
    gsize advised = 0;
    gboolean started = iqhub_start(hub, &advised, NULL);
    gboolean stopped = iqhub_stop_sync(hub, NULL);
    iqhub_unref(hub);

    SdrSynthWrapper *synth = sdr_synth_wrapper_new();
    gsize length = 0;
    sdr_synth_wrapper_set_tx_callback(synth, on_tx, &length, NULL, NULL);
    sdr_synth_wrapper_synthesize(synth, 0x12AB34, 1, NULL, 0, 869525000);
    sdr_synth_wrapper_unref(synth);
    return (started && stopped && advised == 10240 && length == 28) ? 0 : 1;
}
