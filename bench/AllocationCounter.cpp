#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

static std::atomic<int64_t> allocations { 0 };
static std::atomic<bool> perThread { false };
static thread_local bool counting = false;

static void note() noexcept
{
    if (counting || ! perThread.load (std::memory_order_relaxed))
        allocations.fetch_add (1, std::memory_order_relaxed);
}

void AllocationCounter::countThisThread (bool shouldCount) noexcept
{
    perThread = true;
    counting = shouldCount;
}

int64_t AllocationCounter::get() noexcept    { return allocations.load (std::memory_order_relaxed); }

void* operator new (std::size_t size)
{
    note();

    if (auto* p = std::malloc (size == 0 ? 1 : size))
        return p;

    throw std::bad_alloc();
}

void* operator new[] (std::size_t size)                      { return operator new (size); }
void* operator new (std::size_t size, const std::nothrow_t&) noexcept
{
    note();
    return std::malloc (size == 0 ? 1 : size);
}
void* operator new[] (std::size_t size, const std::nothrow_t& t) noexcept   { return operator new (size, t); }
void operator delete (void* p) noexcept                      { std::free (p); }
void operator delete[] (void* p) noexcept                    { std::free (p); }
void operator delete (void* p, std::size_t) noexcept         { std::free (p); }
void operator delete[] (void* p, std::size_t) noexcept       { std::free (p); }
