#include "HostMidiQueue.h"

void HostMidiQueue::push (const juce::MidiBuffer& midi) noexcept
{
    for (const auto metadata : midi)
    {
        if (metadata.numBytes < 1 || metadata.numBytes > 3)
            continue;

        int start1, size1, start2, size2;
        fifo.prepareToWrite (1, start1, size1, start2, size2);

        const auto index = size1 > 0 ? start1 : (size2 > 0 ? start2 : -1);

        if (index < 0)
        {
            fifo.finishedWrite (0);     // full: this message is dropped
            continue;
        }

        auto& slot = slots[(size_t) index].bytes;
        slot[0] = (juce::uint8) metadata.numBytes;
        slot[1] = metadata.data[0];
        slot[2] = metadata.numBytes > 1 ? metadata.data[1] : 0;
        slot[3] = metadata.numBytes > 2 ? metadata.data[2] : 0;
        fifo.finishedWrite (1);
    }
}

std::vector<std::vector<juce::uint8>> HostMidiQueue::popAll()
{
    std::vector<std::vector<juce::uint8>> messages;
    const auto numReady = fifo.getNumReady();

    if (numReady <= 0)
        return messages;

    messages.reserve ((size_t) numReady);

    int start1, size1, start2, size2;
    fifo.prepareToRead (numReady, start1, size1, start2, size2);

    const auto take = [&] (int start, int size)
    {
        for (auto i = start; i < start + size; ++i)
        {
            auto& slot = slots[(size_t) i].bytes;
            messages.emplace_back (slot + 1, slot + 1 + slot[0]);
        }
    };

    take (start1, size1);
    take (start2, size2);
    fifo.finishedRead (size1 + size2);
    return messages;
}
