/* Placeholder: filled by the streaming and downlink layer. */
#pragma once

#if !defined(XVEK_INSIDE) && !defined(XVEK_COMPILATION)
#error "Only <xvek/xvek.h> can be included directly."
#endif
