#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include "ArrivalNotifier.h"

#include <array>
#include <vector>

//==============================================================================
/** One queued host-track message: its length (1 to 3), then its bytes, zero-filled. */
struct HostMidiSlot
{
    juce::uint8 bytes[4] {};
};

static_assert (sizeof (HostMidiSlot) == 4);

//==============================================================================
/** Hands short host-track messages from the audio thread to the editor.

    Single producer (the audio thread), single consumer (the message thread).
    The audio side never allocates and never locks; when the consumer falls
    behind, new messages are dropped and the oldest stay queued. A consumer
    with nothing to do can sleep instead of polling: see whenMessagesArrive().
*/
class HostMidiQueue
{
public:
    static constexpr int capacity = 2048;     // holds capacity - 1 messages at most

    /** Audio thread: queues one block's messages in order, committing them all
        at the end. One writer at a time.
    */
    class Writer
    {
    public:
        /** blockStartMs: the block's start on the juce::Time::getMillisecondCounterHiRes()
            scale; each message's time is that plus its sample position.
        */
        Writer (HostMidiQueue& queue, double blockStartMs = 0.0, double sampleRate = 0.0) noexcept;
        ~Writer() noexcept;

        /** Queues a message of 1 to 3 bytes, or drops it if the queue is full. */
        void add (const juce::uint8* data, int size, int samplePosition = 0) noexcept;

    private:
        HostMidiQueue& queue;
        const double blockStartMs, msPerSample;
        int start1 = 0, size1 = 0, start2 = 0, size2 = 0, written = 0;

        JUCE_DECLARE_NON_COPYABLE (Writer)
    };

    /** Message thread: everything queued so far, in arrival order; with
        timesMs, also each message's time, in the same order.
    */
    std::vector<std::vector<juce::uint8>> popAll (std::vector<double>* timesMs = nullptr);

    /** Message thread: true if anything is queued. */
    bool hasMessages() const noexcept           { return fifo.getNumReady() > 0; }

    /** Message thread: calls onArrival once on the message thread when the next
        messages are queued (nullptr: no call). Check hasMessages() afterwards:
        messages queued just before arming call nothing.
    */
    void whenMessagesArrive (std::function<void()> onArrival);

private:
    ArrivalNotifier arrival;
    juce::AbstractFifo fifo { capacity };
    std::array<HostMidiSlot, capacity> slots {};
    std::array<double, capacity> slotTimesMs {};       // the time of the message in the slot of that index
};
