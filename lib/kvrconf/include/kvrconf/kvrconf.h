/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libkvrconf: configuration files and strict string conversions. */
#pragma once

#define KVRCONF_INSIDE
#include <kvrconf/kvrconf-convert.h>
#include <kvrconf/kvrconf-parser.h>
#undef KVRCONF_INSIDE
