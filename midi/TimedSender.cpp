#include "TimedSender.h"

#include <algorithm>

TimedSender::TimedSender()
    : thread ([this] { run(); })
{
}

TimedSender::~TimedSender()
{
    {
        const std::scoped_lock sl (lock);
        quitting = true;
    }

    wake.notify_all();
    thread.join();
}

bool TimedSender::schedule (std::shared_ptr<MidiOutputDevice> device, const juce::MidiMessage& message, double dueMs)
{
    bool isFirst = false;

    {
        const std::scoped_lock sl (lock);

        if (pending.size() >= maxPending)
            return false;

        const auto at = pending.emplace (Key { dueMs, nextOrder++ }, Pending { std::move (device), message }).first;
        isFirst = at == pending.begin();
    }

    // Only a message that is now the earliest changes how long the thread sleeps.
    if (isFirst)
        wake.notify_all();

    return true;
}

void TimedSender::clear (const MidiOutputDevice* device)
{
    std::vector<Pending> dropped;     // destroyed outside the lock: it may close devices

    {
        const std::scoped_lock sl (lock);

        for (auto it = pending.begin(); it != pending.end();)
        {
            if (it->second.device.get() == device)
            {
                dropped.push_back (std::move (it->second));
                it = pending.erase (it);
            }
            else
            {
                ++it;
            }
        }
    }
}

void TimedSender::clearAll()
{
    std::map<Key, Pending> dropped;

    {
        const std::scoped_lock sl (lock);
        dropped.swap (pending);
    }
}

size_t TimedSender::getNumPending() const
{
    const std::scoped_lock sl (lock);
    return pending.size();
}

int TimedSender::getNumWaits() const
{
    return waits.load (std::memory_order_relaxed);
}

void TimedSender::run()
{
    juce::Thread::setCurrentThreadName ("Lutewyrm timed MIDI");

    std::unique_lock<std::mutex> sl (lock);

    while (! quitting)
    {
        if (pending.empty())
        {
            wake.wait (sl);
            continue;
        }

        const auto waitMs = pending.begin()->first.first - nowMs();

        if (waitMs > 0.0)
        {
            // Woken early by an earlier message, a clear or the end; the loop
            // looks again in every case. A page may ask for any time at all:
            // a wait of centuries overflows the clock's nanoseconds and
            // returns at once, so no single wait is longer than maxWaitMs.
            wake.wait_for (sl, std::chrono::duration<double, std::milli> (std::min (waitMs, maxWaitMs)));
            waits.fetch_add (1, std::memory_order_relaxed);
            continue;
        }

        auto due = std::move (pending.begin()->second);
        pending.erase (pending.begin());

        // Sent without the lock, so scheduling and clearing never wait for a device.
        sl.unlock();
        due.device->sendMessageNow (due.message);
        due = {};
        sl.lock();
    }
}
