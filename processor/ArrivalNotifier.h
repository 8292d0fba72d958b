#pragma once

#include <juce_events/juce_events.h>

#include "WakeSignal.h"

#include <atomic>
#include <mutex>
#include <thread>

//==============================================================================
/** Lets the audio thread wake a consumer on the message thread without a lock.

    A consumer that found nothing to do for a while arms the notifier instead
    of polling. The audio thread's signal() costs one atomic load while nobody
    is waiting, and otherwise one atomic exchange and a semaphore post; a thread
    of ours, started the first time the notifier is armed, turns that into one
    call on the message thread.

    Threads: arm() and disarm() on the message thread, signal() on the audio
    thread (or any one thread at a time).
*/
class ArrivalNotifier
{
public:
    ArrivalNotifier() = default;
    ~ArrivalNotifier();

    /** The next signal() calls onArrival once, on the message thread. The
        callback must look after its own lifetime (hold a SafePointer).
    */
    void arm (std::function<void()> onArrival);

    /** No call, until armed again. */
    void disarm();

    /** Audio thread, after new data has been made visible to the consumer. */
    void signal() noexcept
    {
        if (armed.load() && armed.exchange (false))
            wake.post();
    }

private:
    void run();

    std::atomic<bool> armed { false };
    WakeSignal wake;

    std::mutex callbackLock;            // the message thread and ours only
    std::function<void()> callback;

    std::atomic<bool> quit { false };
    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE (ArrivalNotifier)
};
