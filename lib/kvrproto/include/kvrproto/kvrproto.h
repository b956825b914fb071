/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libkvrproto: frame records, their text lines, frame objects and frame
 * authentication codes. */
#pragma once

#define KVRPROTO_INSIDE
#include <kvrproto/kvrproto-frame.h>
#include <kvrproto/kvrproto-hmac.h>
#include <kvrproto/kvrproto-frame-gen.h>
#include <kvrproto/kvrproto-frame-uplk.h>
#include <kvrproto/kvrproto-frame-v0.h>
#include <kvrproto/kvrproto-frame-v1.h>
#include <kvrproto/kvrproto-frame-v1-oob.h>
#include <kvrproto/kvrproto-frame-v1-dlk.h>
#undef KVRPROTO_INSIDE
