/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The hand-over of an object between the main loop and a GLib worker thread,
 * made visible to the thread sanitizer: GLib's thread pool and GTask pass the
 * object on under locks of their own (futexes), which the sanitizer cannot
 * see. Each side gives after its last write and takes before its first read. */
#pragma once

#include <atomic>

#include <gio/gio.h>

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

/* Gives @data over to @work on a GLib worker thread; @done gets the task on
 * the main context (@work and @done take before they read). */
inline void run_handed_over(Handover &handover, gpointer data, GTaskThreadFunc work,
                            GAsyncReadyCallback done, gpointer done_data)
{
    handover.give();
    GTask *task = g_task_new(nullptr, nullptr, done, done_data);
    g_task_set_task_data(task, data, nullptr);
    g_task_run_in_thread(task, work);
    g_object_unref(task);
}

} // namespace vekbs
