#pragma once

#include <atomic>
#include <cstdint>

/** Counts heap allocations made by the benchmark program (operator new is
    replaced in AllocationCounter.cpp): all of them, or with countThisThread
    only those of the threads that asked to be counted.
*/
namespace AllocationCounter
{
    /** From now on, count only the allocations of threads that call this with true. */
    void countThisThread (bool shouldCount) noexcept;

    int64_t get() noexcept;
}
