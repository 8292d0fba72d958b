#include "LockCounter.h"

#include <atomic>
#include <dlfcn.h>
#include <pthread.h>

namespace
{
    std::atomic<int64_t> acquisitions { 0 };
    thread_local bool counting = false;

    using LockFn = int (*) (pthread_mutex_t*);

    LockFn next (const char* name)
    {
        return reinterpret_cast<LockFn> (dlsym (RTLD_NEXT, name));
    }

    // Resolved before main(), so no lookup happens inside a measured call.
    const LockFn realLock = next ("pthread_mutex_lock");
    const LockFn realTryLock = next ("pthread_mutex_trylock");

    void note() noexcept
    {
        if (counting)
            acquisitions.fetch_add (1, std::memory_order_relaxed);
    }
}

void LockCounter::countThisThread (bool shouldCount) noexcept    { counting = shouldCount; }
int64_t LockCounter::get() noexcept                              { return acquisitions.load(); }

extern "C" int pthread_mutex_lock (pthread_mutex_t* m)
{
    note();
    return (realLock != nullptr ? realLock : next ("pthread_mutex_lock")) (m);
}

extern "C" int pthread_mutex_trylock (pthread_mutex_t* m)
{
    note();
    return (realTryLock != nullptr ? realTryLock : next ("pthread_mutex_trylock")) (m);
}
