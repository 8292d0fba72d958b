#pragma once

#include "../midi/MidiDevices.h"
#include "HeldNotes.h"
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
    one with sendMessageNow when it falls due, on the routing's channel. The
    output device is owned here and replaced under a lock that only the sender
    and the routing take.

    Threads: BlockWriter on the audio thread (one at a time); setOutput,
    setChannel and releaseHeldNotes on any other thread (runs must not overlap);
    the sender thread internally.

    A hardware synth must never hang on a note: the notes the output is sounding
    are tracked as they are sent, and released on the old output and channel
    before either changes, before the forwarder is destroyed, and on request.

    Every output change, and every release on request, starts a new generation.
    Messages queued for an earlier generation are not sent, just as a closed
    device's pending messages never were.
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
    /** Not the audio thread: makes this the output (nullptr: none). The notes
        the previous output is sounding are released, it is closed, and messages
        still waiting for it are discarded.
    */
    void setOutput (std::unique_ptr<MidiOutputDevice> newOutput);

    /** Not the audio thread: from now on messages are sent on this channel
        (1 to 16), or on their own (0). Notes sounding on the output are
        released first, on the channel they were played on.
    */
    void setChannel (int channel);

    /** Not the audio thread: releases the notes the output is sounding and
        discards the messages still waiting, so nothing sounds afterwards.
    */
    void releaseHeldNotes();

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
    void sendAndTrack (const juce::uint8* bytes, int size);     // outputLock held
    void releaseLocked();                                       // outputLock held
    void startNewGeneration (bool open);                        // outputLock held

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

    // Shared by the sender and the routing.
    std::mutex outputLock;
    std::unique_ptr<MidiOutputDevice> output;
    int channel = 0;
    HeldNotes heldNotes;
    juce::uint32 lastGeneration = 0;

    std::atomic<bool> quit { false };
    std::thread sender;     // started with the first output

    JUCE_DECLARE_NON_COPYABLE (MidiForwarder)
};
