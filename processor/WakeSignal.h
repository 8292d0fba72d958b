#pragma once

#include <juce_core/juce_core.h>

#if JUCE_LINUX || JUCE_BSD
 #include <semaphore.h>
#elif JUCE_MAC
 #include <dispatch/dispatch.h>
#endif

//==============================================================================
/** A counting semaphore: one thread sleeps on it, any thread (the audio thread
    included) wakes it.

    post() takes no lock and never allocates or blocks: on Linux it is an atomic
    increment plus, when someone sleeps, a futex wake; on Windows a kernel
    semaphore release. That is why this exists instead of a juce::WaitableEvent,
    whose signal() takes a mutex that the sleeping side may hold.
*/
class WakeSignal
{
public:
    WakeSignal();
    ~WakeSignal();

    /** Any thread, real-time safe: wakes one wait (now or the next one). */
    void post() noexcept;

    /** Sleeps until post() is called, or at most timeoutMs (a negative time-out
        waits for ever). Returns true when woken by post().
    */
    bool wait (double timeoutMs) noexcept;

private:
   #if JUCE_LINUX || JUCE_BSD
    sem_t semaphore;
   #elif JUCE_WINDOWS
    void* semaphore = nullptr;
   #elif JUCE_MAC
    dispatch_semaphore_t semaphore = nullptr;
   #endif

    JUCE_DECLARE_NON_COPYABLE (WakeSignal)
};
