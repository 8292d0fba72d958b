#pragma once

#include "WakeSignal.h"

#include <atomic>
#include <functional>
#include <thread>

//==============================================================================
/** Calls a function every intervalMs on a thread of its own, until destroyed.

    For checks that must go on with no editor and no message thread to spare
    (a plug-in whose window is closed), and that must never run on the audio
    thread. The first call comes one interval after construction.

    Threads: construct and destroy on any one thread, never from inside the
    function. The destructor wakes the poll and waits for a call under way.
*/
class PeriodicPoll
{
public:
    PeriodicPoll (double intervalMs, std::function<void()> function);
    ~PeriodicPoll();

private:
    std::atomic<bool> stopping { false };
    WakeSignal wake;
    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE (PeriodicPoll)
};
