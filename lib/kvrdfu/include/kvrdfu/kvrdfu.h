/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libkvrdfu: USB DFU 1.1 download of a firmware image into every attached
 * device that matches a vendor/product list and offers a DFU interface. */
#pragma once

#define KVRDFU_INSIDE
#include <kvrdfu/kvrdfu-program.h>
#include <kvrdfu/kvrdfu-internals.h>
#undef KVRDFU_INSIDE
