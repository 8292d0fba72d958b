#include "WakeSignal.h"

#if JUCE_WINDOWS
 #include <windows.h>
#endif

#include <cmath>
#include <ctime>

#if JUCE_LINUX || JUCE_BSD

WakeSignal::WakeSignal()            { sem_init (&semaphore, 0, 0); }
WakeSignal::~WakeSignal()           { sem_destroy (&semaphore); }
void WakeSignal::post() noexcept    { sem_post (&semaphore); }

bool WakeSignal::wait (double timeoutMs) noexcept
{
    for (;;)
    {
        int result;

        if (timeoutMs < 0)
        {
            result = sem_wait (&semaphore);
        }
        else
        {
            // The monotonic clock, so that a change of the wall clock cannot
            // stretch or cut a wait.
            timespec deadline;
            clock_gettime (CLOCK_MONOTONIC, &deadline);

            const auto ns = (long long) deadline.tv_nsec + (long long) std::ceil (timeoutMs * 1.0e6);
            deadline.tv_sec += (time_t) (ns / 1000000000LL);
            deadline.tv_nsec = (long) (ns % 1000000000LL);
            result = sem_clockwait (&semaphore, CLOCK_MONOTONIC, &deadline);
        }

        if (result == 0)
            return true;

        if (errno != EINTR)
            return false;
    }
}

#elif JUCE_WINDOWS

WakeSignal::WakeSignal()            { semaphore = CreateSemaphoreW (nullptr, 0, 0x7fffffff, nullptr); }
WakeSignal::~WakeSignal()           { CloseHandle ((HANDLE) semaphore); }
void WakeSignal::post() noexcept    { ReleaseSemaphore ((HANDLE) semaphore, 1, nullptr); }

bool WakeSignal::wait (double timeoutMs) noexcept
{
    const auto ms = timeoutMs < 0 ? INFINITE : (DWORD) std::ceil (timeoutMs);
    return WaitForSingleObject ((HANDLE) semaphore, ms) == WAIT_OBJECT_0;
}

#elif JUCE_MAC

WakeSignal::WakeSignal()            { semaphore = dispatch_semaphore_create (0); }
WakeSignal::~WakeSignal()           { dispatch_release (semaphore); }
void WakeSignal::post() noexcept    { dispatch_semaphore_signal (semaphore); }

bool WakeSignal::wait (double timeoutMs) noexcept
{
    const auto when = timeoutMs < 0 ? DISPATCH_TIME_FOREVER
                                    : dispatch_time (DISPATCH_TIME_NOW, (int64_t) std::ceil (timeoutMs * 1.0e6));
    return dispatch_semaphore_wait (semaphore, when) == 0;
}

#endif
