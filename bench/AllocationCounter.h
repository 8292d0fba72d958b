#pragma once

#include <atomic>
#include <cstdint>

/** Counts every heap allocation made by the benchmark program (operator new
    is replaced in AllocationCounter.cpp).
*/
namespace AllocationCounter
{
    int64_t get() noexcept;
}
