/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Counts the heap allocations of a test's own thread: the binary that includes this
 * (in exactly one of its files) puts its own malloc family in front of the C
 * library's (an executable's definitions win over a shared library's), and every
 * call made between vek_alloc::start_counting() and vek_alloc::stop_counting() on
 * that thread is counted; operator new goes through malloc. Not for the sanitizer
 * builds, whose runtimes own malloc. */
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
}

namespace vek_alloc
{
namespace detail
{
inline thread_local bool counting = false;
inline thread_local unsigned long allocations = 0;

inline void count()
{
    if (counting)
        allocations++;
}
} // namespace detail

/* Counts the calls this thread makes from now on. */
inline void start_counting()
{
    detail::allocations = 0;
    detail::counting = true;
}

/* Stops counting and returns the count. */
inline unsigned long stop_counting()
{
    detail::counting = false;
    return detail::allocations;
}
} // namespace vek_alloc

extern "C" {
void *malloc(size_t size)
{
    vek_alloc::detail::count();
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size)
{
    vek_alloc::detail::count();
    return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size)
{
    vek_alloc::detail::count();
    return __libc_realloc(p, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    vek_alloc::detail::count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
    vek_alloc::detail::count();
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}
}
