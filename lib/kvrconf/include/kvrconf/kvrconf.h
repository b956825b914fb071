/* libkvrconf: configuration files and strict string conversions. */
#pragma once

#define KVRCONF_INSIDE
#include <kvrconf/kvrconf-convert.h>
#include <kvrconf/kvrconf-parser.h>
#undef KVRCONF_INSIDE
