#include "service.h"

#ifdef VEKBS_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace vekbs
{

void service_notify(const char *state)
{
#ifdef VEKBS_WITH_SYSTEMD
    sd_notify(0, state);
#else
    (void)state;
#endif
}

} // namespace vekbs
