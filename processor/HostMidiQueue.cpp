#include "HostMidiQueue.h"

HostMidiQueue::Writer::Writer (HostMidiQueue& q, double startMs, double sampleRate) noexcept
    : queue (q), blockStartMs (startMs), msPerSample (sampleRate > 0.0 ? 1000.0 / sampleRate : 0.0)
{
    // All the free space at once; only what is written is committed.
    queue.fifo.prepareToWrite (capacity, start1, size1, start2, size2);
}

HostMidiQueue::Writer::~Writer() noexcept
{
    queue.fifo.finishedWrite (written);

    if (written > 0)
        queue.arrival.signal();
}

void HostMidiQueue::whenMessagesArrive (std::function<void()> onArrival)
{
    if (onArrival != nullptr)
        arrival.arm (std::move (onArrival));
    else
        arrival.disarm();
}

void HostMidiQueue::Writer::add (const juce::uint8* data, int size, int samplePosition) noexcept
{
    if (written >= size1 + size2)
        return;     // full: this message is dropped, the older ones stay

    const auto index = written < size1 ? start1 + written : start2 + (written - size1);
    auto& slot = queue.slots[(size_t) index].bytes;
    slot[0] = (juce::uint8) size;
    slot[1] = data[0];
    slot[2] = size > 1 ? data[1] : 0;
    slot[3] = size > 2 ? data[2] : 0;
    queue.slotTimesMs[(size_t) index] = blockStartMs + samplePosition * msPerSample;
    ++written;
}

std::vector<std::vector<juce::uint8>> HostMidiQueue::popAll (std::vector<double>* timesMs)
{
    std::vector<std::vector<juce::uint8>> messages;
    const auto numReady = fifo.getNumReady();

    if (numReady <= 0)
        return messages;

    messages.reserve ((size_t) numReady);

    if (timesMs != nullptr)
        timesMs->clear();

    int start1, size1, start2, size2;
    fifo.prepareToRead (numReady, start1, size1, start2, size2);

    const auto take = [&] (int start, int size)
    {
        for (auto i = start; i < start + size; ++i)
        {
            auto& slot = slots[(size_t) i].bytes;
            messages.emplace_back (slot + 1, slot + 1 + slot[0]);

            if (timesMs != nullptr)
                timesMs->push_back (slotTimesMs[(size_t) i]);
        }
    };

    take (start1, size1);
    take (start2, size2);
    fifo.finishedRead (size1 + size2);
    return messages;
}
