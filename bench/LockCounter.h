#pragma once

#include <cstdint>

/** Counts mutex acquisitions (lock and try-lock) made by threads that asked to
    be counted; pthread_mutex_lock and pthread_mutex_trylock are replaced in
    LockCounter.cpp for the benchmark program. juce::CriticalSection and
    std::mutex both end up there on Linux.
*/
namespace LockCounter
{
    /** Counts the calling thread's acquisitions from now on. */
    void countThisThread (bool shouldCount) noexcept;

    /** Acquisitions counted so far, on every counted thread. */
    int64_t get() noexcept;
}
