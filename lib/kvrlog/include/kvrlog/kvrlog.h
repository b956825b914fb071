/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libkvrlog: the process-wide levelled and traced logger and its sinks. */
#pragma once

#define KVRLOG_INSIDE
#include <kvrlog/kvrlog-types.h>
#include <kvrlog/kvrlog-conf.h>
#include <kvrlog/kvrlog-log.h>
#include <kvrlog/kvrlog-test.h>
#undef KVRLOG_INSIDE
