/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The hand-over of an object between the main loop and a GLib worker thread,
 * made visible to the thread sanitizer: GLib's thread pool and GTask pass the
 * object on under locks of their own (futexes), which the sanitizer cannot
 * see. Each side gives after its last write and takes before its first read. */
#pragma once

#include <atomic>

#include <glib.h>

namespace vekbs
{

class Handover
{
  public:
    void give() { turns_.fetch_add(1, std::memory_order_release); }
    void take() const { (void)turns_.load(std::memory_order_acquire); }

  private:
    std::atomic<guint> turns_{0};
};

} // namespace vekbs
