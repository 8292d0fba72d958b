#include "support/ProcessorFixture.h"

#include <thread>

// These tests are about threads; they are meant to run under ThreadSanitizer too.

namespace
{
    // Three-byte messages that carry a sequence number: 80 status values with a
    // three-byte length (0x80-0xBF, 0xE0-0xEF) times 14 data bits.
    Bytes encode (int seq)
    {
        const auto hi = seq / 16384;
        const auto status = hi < 64 ? 0x80 + hi : 0xE0 + (hi - 64);
        return { (juce::uint8) status, (juce::uint8) ((seq / 128) % 128), (juce::uint8) (seq % 128) };
    }

    int decode (const Bytes& b)
    {
        const auto hi = b[0] >= 0xE0 ? 64 + (b[0] - 0xE0) : b[0] - 0x80;
        return hi * 16384 + b[1] * 128 + b[2];
    }
}

TEST (AudioThreadConcurrency, HostQueueHandsOverAMillionMessagesInOrder)
{
    VirtualMidiDevices devices;
    auto processor = makeProcessor (devices, juce::AudioProcessor::wrapperType_VST3);
    processor->setRateAndBufferSizeDetails (48000.0, 64);
    processor->prepareToPlay (48000.0, 64);

    constexpr int total = 1000000, perBlock = 64;
    std::atomic<int> consumed { 0 };

    std::thread audio ([&]
    {
        juce::AudioBuffer<float> buffer (2, 64);
        juce::MidiBuffer midi;

        for (int seq = 0; seq < total;)
        {
            // Never run ahead of the consumer by more than the queue holds, so
            // nothing is dropped and every message must arrive.
            while (seq - consumed.load() > 2047 - perBlock)
                std::this_thread::yield();

            midi.clear();
            for (int i = 0; i < perBlock && seq < total; ++i, ++seq)
            {
                const auto b = encode (seq);
                midi.addEvent (b.data(), 3, i);
            }

            processor->processBlock (buffer, midi);
        }
    });

    int expected = 0;
    bool inOrder = true;

    while (expected < total && inOrder)
    {
        for (auto& message : processor->popHostMidi())
        {
            inOrder = inOrder && message.size() == 3 && decode (message) == expected;
            ++expected;
        }

        consumed = expected;
        std::this_thread::yield();
    }

    audio.join();
    EXPECT_TRUE (inOrder) << "first bad message at " << expected - 1;
    EXPECT_EQ (expected, total);
}

TEST (AudioThreadConcurrency, RoutingSwapsWhileBlocksRunAndTheSenderSends)
{
    VirtualMidiDevices devices;
    devices.setRecording (false);
    devices.plugOutput ("Lute", "lute-1");
    devices.plugOutput ("Harp", "harp-1");

    auto processor = makeProcessor (devices, juce::AudioProcessor::wrapperType_VST3);
    processor->setRateAndBufferSizeDetails (48000.0, 64);
    processor->prepareToPlay (48000.0, 64);

    // Each side runs until every other side has done enough, however the
    // threads are scheduled; the deadline only guards against a hang.
    constexpr int wanted = 40;
    std::atomic<bool> done { false };
    std::atomic<int> swaps { 0 }, restores { 0 }, blocks { 0 };

    std::thread routing ([&]
    {
        const juce::String states[] = { pageState ("Lute", 3), pageState ("Harp", 0), "", pageState ("Lute", 16),
                                        "{not json", pageState ("Nowhere", 2) };

        for (int i = 0; ! done; ++i, ++swaps)
            processor->setWebState (states[i % 6]);
    });

    // A host may also restore state from yet another thread.
    std::thread host ([&]
    {
        for (int i = 0; ! done; ++i, ++restores)
        {
            setBlob (*processor, "{\"state\": " + juce::JSON::toString (pageState (i % 2 ? "Harp" : "Lute", i % 17)) + "}");
            juce::MemoryBlock block;
            processor->getStateInformation (block);
        }
    });

    juce::AudioBuffer<float> buffer (2, 64);
    const auto deadline = juce::Time::getMillisecondCounter() + 120000;

    while ((swaps < wanted || restores < wanted || blocks < 2000 || devices.getNumSent() < wanted)
           && juce::Time::getMillisecondCounter() < deadline)
    {
        juce::MidiBuffer midi;
        midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
        midi.addEvent (juce::MidiMessage::noteOff (1, 60), 32);
        processor->processBlock (buffer, midi);
        processor->popHostMidi();
        ++blocks;

        // Give the other threads the core now and then, as a real audio
        // callback does between blocks.
        if (blocks % 64 == 0)
            std::this_thread::yield();
    }

    done = true;
    routing.join();
    host.join();

    EXPECT_GE (swaps.load(), wanted);
    EXPECT_GE (restores.load(), wanted);
    EXPECT_GE (devices.getNumSent(), wanted);

    // Every note went to one open device at most. (This loop runs far faster
    // than real time, so the sender may fall behind and drop; that is allowed.)
    EXPECT_LE (devices.getNumSent() + processor->getNumForwardDropped(), (int64_t) blocks * 2);
    RecordProperty ("routing_swaps", swaps.load());
    RecordProperty ("notes_forwarded", (int) devices.getNumSent());
}
