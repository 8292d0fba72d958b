#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

static std::atomic<int64_t> allocations { 0 };

int64_t AllocationCounter::get() noexcept    { return allocations.load (std::memory_order_relaxed); }

void* operator new (std::size_t size)
{
    allocations.fetch_add (1, std::memory_order_relaxed);

    if (auto* p = std::malloc (size == 0 ? 1 : size))
        return p;

    throw std::bad_alloc();
}

void* operator new[] (std::size_t size)                      { return operator new (size); }
void* operator new (std::size_t size, const std::nothrow_t&) noexcept
{
    allocations.fetch_add (1, std::memory_order_relaxed);
    return std::malloc (size == 0 ? 1 : size);
}
void* operator new[] (std::size_t size, const std::nothrow_t& t) noexcept   { return operator new (size, t); }
void operator delete (void* p) noexcept                      { std::free (p); }
void operator delete[] (void* p) noexcept                    { std::free (p); }
void operator delete (void* p, std::size_t) noexcept         { std::free (p); }
void operator delete[] (void* p, std::size_t) noexcept       { std::free (p); }
