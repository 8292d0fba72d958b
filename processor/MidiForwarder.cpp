#include "MidiForwarder.h"

MidiForwarder::MidiForwarder()
{
    pending.reserve ((size_t) queueSize);
}

MidiForwarder::~MidiForwarder()
{
    if (sender.joinable())
    {
        quit = true;
        wake.post();
        sender.join();
    }

    // Nothing is left sounding on the output as it closes.
    const std::lock_guard<std::mutex> sl (outputLock);
    releaseLocked();
}

//==============================================================================
MidiForwarder::BlockWriter::BlockWriter (MidiForwarder& owner, double start, double sampleRate) noexcept
    : forwarder (owner),
      generation (owner.currentGeneration.load (std::memory_order_acquire)),
      startMs (start),
      msPerSample (sampleRate > 0.0 ? 1000.0 / sampleRate : 0.0)
{
    // Claim all free space once; only what is written is committed.
    if (generation != 0)
        forwarder.fifo.prepareToWrite (queueSize, start1, size1, start2, size2);
}

MidiForwarder::BlockWriter::~BlockWriter() noexcept
{
    if (written == 0)
        return;

    forwarder.fifo.finishedWrite (written);

    // One wake per block at most, and none while an earlier one is unanswered.
    if (! forwarder.wakePending.exchange (true))
        forwarder.wake.post();
}

void MidiForwarder::BlockWriter::add (const juce::uint8* bytes, int size, int samplePosition) noexcept
{
    if (generation == 0)
        return;

    if (written >= size1 + size2)
    {
        forwarder.numDropped.fetch_add (1, std::memory_order_relaxed);
        return;
    }

    const auto index = written < size1 ? start1 + written : start2 + (written - size1);
    auto& event = forwarder.slots[(size_t) index];
    event.dueMs = startMs + samplePosition * msPerSample;
    event.generation = generation;
    event.size = (juce::uint8) size;
    event.bytes[0] = bytes[0];
    event.bytes[1] = size > 1 ? bytes[1] : 0;
    event.bytes[2] = size > 2 ? bytes[2] : 0;
    ++written;
}

//==============================================================================
void MidiForwarder::setOutput (std::unique_ptr<MidiOutputDevice> newOutput)
{
    const bool opening = newOutput != nullptr;

    {
        const std::lock_guard<std::mutex> sl (outputLock);
        releaseLocked();
        std::swap (output, newOutput);
        startNewGeneration (opening);
    }

    // The sender no longer reaches the previous device; closing may be slow.
    newOutput.reset();

    if (opening && ! sender.joinable())
        sender = std::thread ([this] { run(); });
}

void MidiForwarder::setChannel (int newChannel)
{
    const std::lock_guard<std::mutex> sl (outputLock);

    if (newChannel == channel)
        return;

    // Messages still waiting are kept: they take the new channel when they go
    // out, and a note-off for a note released here does no harm.
    releaseLocked();
    channel = newChannel;
}

void MidiForwarder::releaseHeldNotes()
{
    const std::lock_guard<std::mutex> sl (outputLock);
    releaseLocked();
    startNewGeneration (currentGeneration.load (std::memory_order_relaxed) != 0);
}

void MidiForwarder::releaseLocked()
{
    heldNotes.releaseAll ([this] (const juce::uint8* bytes, int size)
    {
        if (output != nullptr)
            output->sendMessageNow (juce::MidiMessage (bytes, size, 0.0));
    });
}

void MidiForwarder::startNewGeneration (bool open)
{
    if (! open)
    {
        currentGeneration.store (0, std::memory_order_release);
        return;
    }

    lastGeneration = lastGeneration == std::numeric_limits<juce::uint32>::max() ? 1 : lastGeneration + 1;
    currentGeneration.store (lastGeneration, std::memory_order_release);
}

//==============================================================================
void MidiForwarder::run()
{
    juce::Thread::setCurrentThreadName ("Lutewyrm MIDI forwarder");

    while (! quit)
    {
        // Cleared before taking, so a block queued from now on wakes us again.
        wakePending = false;
        takeQueued();
        sendDue (juce::Time::getMillisecondCounterHiRes());

        if (head == pending.size())
            wake.wait (-1.0);
        else
            wake.wait (juce::jmax (0.0, pending[head].dueMs - juce::Time::getMillisecondCounterHiRes()));
    }
}

void MidiForwarder::takeQueued()
{
    // Make room: drop what has been sent from the front.
    if (head > 0)
    {
        pending.erase (pending.begin(), pending.begin() + (std::ptrdiff_t) head);
        head = 0;
    }

    const auto room = (int) (pending.capacity() - pending.size());
    int start1, size1, start2, size2;
    fifo.prepareToRead (juce::jmin (room, fifo.getNumReady()), start1, size1, start2, size2);

    const auto take = [this] (int start, int size)
    {
        for (auto i = start; i < start + size; ++i)
        {
            const auto& event = slots[(size_t) i];

            // Blocks come in time order, so this is nearly always the end; a
            // host that runs ahead of real time can make a block start before
            // the last one's tail, and then its messages slot in between.
            auto position = pending.end();

            while (position != pending.begin() && std::prev (position)->dueMs > event.dueMs)
                --position;

            pending.insert (position, event);
        }
    };

    take (start1, size1);
    take (start2, size2);
    fifo.finishedRead (size1 + size2);
}

void MidiForwarder::sendDue (double nowMs)
{
    if (head == pending.size() || pending[head].dueMs > nowMs)
        return;

    const std::lock_guard<std::mutex> sl (outputLock);
    const auto generation = currentGeneration.load (std::memory_order_relaxed);

    for (; head < pending.size() && pending[head].dueMs <= nowMs; ++head)
    {
        const auto& event = pending[head];

        if (event.generation == generation && output != nullptr)
            sendAndTrack (event.bytes, event.size);
    }
}

void MidiForwarder::sendAndTrack (const juce::uint8* bytes, int size)
{
    juce::uint8 message[3] { bytes[0], bytes[1], bytes[2] };

    if (channel >= 1 && channel <= 16 && message[0] < 0xf0)
        message[0] = (juce::uint8) ((message[0] & 0xf0) | (channel - 1));

    output->sendMessageNow (juce::MidiMessage (message, size, 0.0));
    heldNotes.noteSent (message, size);
}
