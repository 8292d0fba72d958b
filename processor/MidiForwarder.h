#pragma once

#include "../midi/MidiDevices.h"
#include "WakeSignal.h"

#include <array>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

//==============================================================================
/** Carries forwarded host-track MIDI from the audio thread to the chosen output.

    The audio thread only copies each message, with the time it is due, into a
    preallocated single-producer queue: no allocation, no lock, no search. A
    sender thread of ours takes them out, keeps them in due order and sends each
    one with sendMessageNow when it falls due. The output device is owned here
    and replaced under a lock that only the sender and the routing take.

    Threads: BlockWriter on the audio thread (one at a time); setOutput on any
    other thread (runs must not overlap); the sender thread internally.

    Every output change starts a new generation. Messages queued for an earlier
    generation are not sent, just as a closed device's pending messages never were.
*/
class MidiForwarder
{
public:
    /** Messages the queue holds; one slot always stays free. */
    static constexpr int queueSize = 8192;

    MidiForwarder();

    /** Stops the sender and closes the output. */
    ~MidiForwarder();

    //==============================================================================
    /** Audio thread: queues one block's messages, then wakes the sender. */
    class BlockWriter
    {
    public:
        /** startMs is on the juce::Time::getMillisecondCounterHiRes scale. */
        BlockWriter (MidiForwarder& owner, double startMs, double sampleRate) noexcept;
        ~BlockWriter() noexcept;

        /** False while no output is open: add() then does nothing. */
        bool isOpen() const noexcept        { return generation != 0; }

        /** Queues a message of 1 to 3 bytes, due at its sample position; when
            the queue is full it is dropped and counted.
        */
        void add (const juce::uint8* bytes, int size, int samplePosition) noexcept;

    private:
        MidiForwarder& forwarder;
        const juce::uint32 generation;
        const double startMs, msPerSample;
        int start1 = 0, size1 = 0, start2 = 0, size2 = 0, written = 0;

        JUCE_DECLARE_NON_COPYABLE (BlockWriter)
    };

    //==============================================================================
    /** Not the audio thread: makes this the output (nullptr: none). The previous
        output is closed, and messages still waiting for it are discarded.
    */
    void setOutput (std::unique_ptr<MidiOutputDevice> newOutput);

    /** Messages dropped so far because the queue was full. */
    juce::int64 getNumDropped() const noexcept      { return numDropped.load(); }

private:
    struct Event
    {
        double dueMs;
        juce::uint32 generation;
        juce::uint8 size;
        juce::uint8 bytes[3];
    };

    void run();
    void takeQueued();
    void sendDue (double nowMs);

    // Audio thread to sender.
    juce::AbstractFifo fifo { queueSize };
    std::array<Event, (size_t) queueSize> slots {};
    std::atomic<juce::uint32> currentGeneration { 0 };
    std::atomic<bool> wakePending { false };
    std::atomic<juce::int64> numDropped { 0 };
    WakeSignal wake;

    // The sender's own: queued messages in due order, from pending[head] on.
    std::vector<Event> pending;
    size_t head = 0;

    // Shared by the sender and setOutput.
    std::mutex outputLock;
    std::unique_ptr<MidiOutputDevice> output;
    juce::uint32 lastGeneration = 0;

    std::atomic<bool> quit { false };
    std::thread sender;     // started with the first output

    JUCE_DECLARE_NON_COPYABLE (MidiForwarder)
};
