#pragma once

#include "MidiDevices.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <thread>

//==============================================================================
/** Sends messages to outputs when they fall due, from a thread of its own.

    The page schedules sends ahead of time; waiting for them on the page's
    script thread would make them late whenever the page is busy drawing. So
    each message waits here, and this class's thread sends it at its time:
    earliest first, messages due at the same time in the order they were
    scheduled.

    Times are milliseconds on the juce::Time::getMillisecondCounterHiRes()
    scale. A pending message keeps its device open (shared ownership); a
    device whose port went away while its message was being sent is closed by
    this thread.

    Any thread may call every function; the sending thread starts with the
    object and is joined by its destructor.
*/
class TimedSender final
{
public:
    /** Pending messages held at most; later ones are dropped until some are sent. */
    static constexpr size_t maxPending = 65536;

    TimedSender();
    ~TimedSender();

    /** Queues message for device at dueMs. Returns false, and drops it, when
        maxPending messages are waiting already.
    */
    bool schedule (std::shared_ptr<MidiOutputDevice> device, const juce::MidiMessage& message, double dueMs);

    /** Drops every pending message for this device; what was sent stays sent. */
    void clear (const MidiOutputDevice* device);

    /** Drops every pending message. */
    void clearAll();

    size_t getNumPending() const;

    /** How many times the thread has slept for a pending message so far: a
        thread that waits properly sleeps once per message or per maxWaitMs.
        Takes no lock, so it can watch a thread that would hold it.
    */
    int getNumWaits() const;

    /** The longest the thread sleeps at once for a message not yet due. */
    static constexpr double maxWaitMs = 1000.0;

    /** The time base of schedule(), now. */
    static double nowMs() noexcept      { return juce::Time::getMillisecondCounterHiRes(); }

private:
    struct Pending
    {
        std::shared_ptr<MidiOutputDevice> device;
        juce::MidiMessage message;
    };

    // Ordered by due time, then by the order of scheduling.
    using Key = std::pair<double, juce::uint64>;

    void run();

    mutable std::mutex lock;
    std::condition_variable wake;
    std::map<Key, Pending> pending;             // guarded by lock
    juce::uint64 nextOrder = 0;                 // guarded by lock
    bool quitting = false;                      // guarded by lock
    std::atomic<int> waits { 0 };
    std::thread thread;                         // last: started once the rest exists

    JUCE_DECLARE_NON_COPYABLE (TimedSender)
};
