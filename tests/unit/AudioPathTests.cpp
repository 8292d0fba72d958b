#include "support/ProcessorFixture.h"

#include "processor/ForwardFilter.h"

#include <future>
#include <thread>

using Wrapper = juce::AudioProcessor::WrapperType;

namespace
{
    Bytes raw (std::initializer_list<int> bytes)
    {
        Bytes b;
        for (auto v : bytes)
            b.push_back ((juce::uint8) v);
        return b;
    }

    juce::MidiMessage messageOf (const Bytes& b)
    {
        return { b.data(), (int) b.size(), 0.0 };
    }

    struct Block
    {
        explicit Block (int numSamples = 512) : audio (2, numSamples)
        {
            for (int ch = 0; ch < 2; ++ch)
                for (int i = 0; i < numSamples; ++i)
                    audio.setSample (ch, i, 0.5f);
        }

        void add (const Bytes& b, int position = 0)    { midi.addEvent (b.data(), (int) b.size(), position); }

        juce::AudioBuffer<float> audio;
        juce::MidiBuffer midi;
    };

    std::vector<Bytes> eventsOf (const juce::MidiBuffer& midi)
    {
        std::vector<Bytes> events;
        for (const auto m : midi)
            events.emplace_back (m.data, m.data + m.numBytes);
        return events;
    }

    class AudioPath : public ::testing::Test
    {
    protected:
        void makeWith (Wrapper wrapper, int channel)
        {
            devices.plugOutput ("Lute", "lute-1");
            processor = makeProcessor (devices, wrapper);
            processor->setRateAndBufferSizeDetails (48000.0, 512);
            processor->prepareToPlay (48000.0, 512);
            processor->setWebState (pageState ("Lute", channel));
        }

        std::vector<Bytes> forwarded() const
        {
            std::vector<Bytes> out;
            for (auto& s : devices.getSent ("lute-1"))
                out.push_back (bytesOf (s.message));
            return out;
        }

        VirtualMidiDevices devices;
        std::unique_ptr<LUTEWYRMRPGAudioProcessor> processor;
    };
}

//==============================================================================
TEST (ForwardFilter, ForwardsPerformanceMessagesOnly)
{
    struct Case { Bytes bytes; bool forwarded; };

    std::vector<Case> cases;

    for (int status = 0; status < 16; ++status)
    {
        cases.push_back ({ raw ({ 0x80 | status, 60, 0 }),   true });    // note off
        cases.push_back ({ raw ({ 0x90 | status, 60, 0 }),   true });    // note on, velocity 0 too
        cases.push_back ({ raw ({ 0x90 | status, 60, 127 }), true });
        cases.push_back ({ raw ({ 0xA0 | status, 60, 40 }),  true });    // key pressure
        cases.push_back ({ raw ({ 0xD0 | status, 40 }),      true });    // channel pressure
        cases.push_back ({ raw ({ 0xE0 | status, 0, 64 }),   true });    // pitch bend
        cases.push_back ({ raw ({ 0xC0 | status, 5 }),       false });   // program change
    }

    for (int controller = 0; controller < 128; ++controller)
    {
        const bool performance = controller == 64 || controller == 66 || controller == 67
                               || controller == 120 || controller == 123;

        for (int value : { 0, 63, 64, 127 })
            cases.push_back ({ raw ({ 0xB3, controller, value }), performance });
    }

    for (int status = 0xF1; status <= 0xFF; ++status)
        cases.push_back ({ raw ({ status }), false });

    cases.push_back ({ raw ({ 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 }), false });

    // Cut short: too few bytes for the status are never forwarded.
    cases.push_back ({ raw ({ 0x90 }), false });
    cases.push_back ({ raw ({ 0x90, 60 }), false });
    cases.push_back ({ raw ({ 0xB0, 64 }), false });

    for (auto& c : cases)
        EXPECT_EQ (shouldForwardToOutput (messageOf (c.bytes)), c.forwarded)
            << juce::String::toHexString (c.bytes.data(), (int) c.bytes.size());
}

//==============================================================================
TEST_F (AudioPath, SilenceOnEveryOutputAndTheHostBufferUntouched)
{
    makeWith (Wrapper::wrapperType_VST3, 10);

    Block block;
    block.add (raw ({ 0x90, 60, 100 }), 0);
    block.add (raw ({ 0xF0, 1, 2, 3, 4, 0xF7 }), 3);
    block.add (raw ({ 0xC2, 7 }), 9);
    const auto before = eventsOf (block.midi);

    processor->processBlock (block.audio, block.midi);

    EXPECT_EQ (block.audio.getMagnitude (0, 512), 0.0f);
    EXPECT_EQ (eventsOf (block.midi), before);
}

TEST_F (AudioPath, ChannelOverrideAppliesOnTheDeviceOnly)
{
    makeWith (Wrapper::wrapperType_VST3, 10);

    Block block;
    block.add (raw ({ 0x90, 0x3C, 0x64 }), 0);
    block.add (raw ({ 0xB5, 64, 127 }), 1);
    block.add (raw ({ 0xE2, 0, 64 }), 2);
    processor->processBlock (block.audio, block.midi);

    EXPECT_EQ (forwarded(), (std::vector<Bytes> { raw ({ 0x99, 0x3C, 0x64 }),
                                                  raw ({ 0xB9, 64, 127 }),
                                                  raw ({ 0xE9, 0, 64 }) }));
    EXPECT_EQ (eventsOf (block.midi)[0], raw ({ 0x90, 0x3C, 0x64 }));
}

TEST_F (AudioPath, OverrideZeroKeepsChannelsAndFilterDropsTheRest)
{
    makeWith (Wrapper::wrapperType_VST3, 0);

    Block block;
    block.add (raw ({ 0x93, 60, 100 }), 0);
    block.add (raw ({ 0xB3, 1, 10 }), 0);       // modulation
    block.add (raw ({ 0xB3, 7, 100 }), 0);      // volume
    block.add (raw ({ 0xB3, 121, 0 }), 0);      // reset all controllers
    block.add (raw ({ 0xC3, 4 }), 0);
    block.add (raw ({ 0xF8 }), 0);
    block.add (raw ({ 0xD3, 33 }), 0);
    processor->processBlock (block.audio, block.midi);

    EXPECT_EQ (forwarded(), (std::vector<Bytes> { raw ({ 0x93, 60, 100 }), raw ({ 0xD3, 33 }) }));
}

TEST_F (AudioPath, DueTimesFollowSamplePositions)
{
    makeWith (Wrapper::wrapperType_VST3, 0);

    Block block;
    block.add (raw ({ 0x90, 60, 100 }), 0);
    block.add (raw ({ 0x80, 60, 0 }), 480);

    const auto before = juce::Time::getMillisecondCounterHiRes();
    processor->processBlock (block.audio, block.midi);
    const auto after = juce::Time::getMillisecondCounterHiRes();

    const auto sent = devices.getSent ("lute-1");
    ASSERT_EQ (sent.size(), 2u);
    EXPECT_TRUE (sent[0].scheduled);
    EXPECT_GE (sent[0].dueMs, before);
    EXPECT_LE (sent[0].dueMs, after);
    EXPECT_NEAR (sent[1].dueMs - sent[0].dueMs, 10.0, 1e-9);     // 480 samples at 48 kHz
}

TEST_F (AudioPath, BlockWithoutMidiTouchesNothingButTheAudio)
{
    makeWith (Wrapper::wrapperType_VST3, 0);

    Block block;
    processor->processBlock (block.audio, block.midi);

    EXPECT_EQ (block.audio.getMagnitude (0, 512), 0.0f);
    EXPECT_TRUE (forwarded().empty());
    EXPECT_TRUE (processor->popHostMidi().empty());
}

//==============================================================================
TEST_F (AudioPath, HostQueueTakesShortMessagesInOrder)
{
    makeWith (Wrapper::wrapperType_VST3, 0);

    Block block;
    block.add (raw ({ 0xD4, 0x33 }), 0);
    block.add (raw ({ 0xF8 }), 1);
    block.add (raw ({ 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 }), 2);
    block.add (raw ({ 0xC0, 5 }), 3);
    block.add (raw ({ 0x90, 60, 100 }), 4);
    processor->processBlock (block.audio, block.midi);

    EXPECT_EQ (processor->popHostMidi(),
               (std::vector<Bytes> { raw ({ 0xD4, 0x33 }), raw ({ 0xF8 }), raw ({ 0xC0, 5 }), raw ({ 0x90, 60, 100 }) }));
    EXPECT_TRUE (processor->popHostMidi().empty());

    // Sysex and clock never reach the device; channel pressure and the note do.
    EXPECT_EQ (forwarded(), (std::vector<Bytes> { raw ({ 0xD4, 0x33 }), raw ({ 0x90, 60, 100 }) }));
}

TEST_F (AudioPath, FullQueueKeepsTheOldestAndDropsTheRest)
{
    makeWith (Wrapper::wrapperType_LV2, 0);

    Block block;
    for (int i = 0; i < 3000; ++i)
        block.add (raw ({ 0xA0 | (i % 16), (i / 16) % 128, i % 128 }), i % 512);

    processor->processBlock (block.audio, block.midi);

    const auto popped = processor->popHostMidi();
    ASSERT_EQ (popped.size(), 2047u);

    const auto all = eventsOf (block.midi);
    EXPECT_EQ (popped, std::vector<Bytes> (all.begin(), all.begin() + 2047));
    EXPECT_TRUE (processor->popHostMidi().empty());
}

TEST_F (AudioPath, WrapAroundKeepsArrivalOrder)
{
    makeWith (Wrapper::wrapperType_VST3, 0);

    int next = 0;
    for (int round = 0; round < 7; ++round)
    {
        Block block;
        const auto first = next;
        for (int i = 0; i < 700; ++i, ++next)
            block.add (raw ({ 0x90 | (next % 16), (next / 16) % 128, next % 128 }), 0);

        processor->processBlock (block.audio, block.midi);

        const auto popped = processor->popHostMidi();
        ASSERT_EQ (popped.size(), 700u);
        for (int i = 0; i < 700; ++i)
        {
            const auto n = first + i;
            ASSERT_EQ (popped[(size_t) i], raw ({ 0x90 | (n % 16), (n / 16) % 128, n % 128 }));
        }
    }
}

TEST_F (AudioPath, StandaloneForwardsButNeverQueues)
{
    makeWith (Wrapper::wrapperType_Standalone, 0);

    Block block;
    block.add (raw ({ 0x90, 60, 100 }), 0);
    processor->processBlock (block.audio, block.midi);

    EXPECT_TRUE (processor->popHostMidi().empty());
    EXPECT_EQ (forwarded().size(), 1u);
}

TEST_F (AudioPath, SwapInProgressSkipsForwardingInsteadOfWaiting)
{
    makeWith (Wrapper::wrapperType_VST3, 0);
    devices.plugOutput ("Harp", "harp-1");

    // Hold the routing thread inside its swap, at the close of the old device.
    std::promise<void> closing, release;
    auto released = release.get_future().share();
    devices.setOutputCloseHook ([&, released] (const juce::String&)
    {
        closing.set_value();
        released.wait();
    });

    std::thread routing ([&] { processor->setWebState (pageState ("Harp", 0)); });
    closing.get_future().wait();

    // If the audio thread waited for the swap, this would never return.
    Block block;
    block.add (raw ({ 0x90, 60, 100 }), 0);
    processor->processBlock (block.audio, block.midi);

    release.set_value();
    routing.join();
    devices.setOutputCloseHook (nullptr);

    EXPECT_TRUE (forwarded().empty());
    EXPECT_TRUE (devices.getSent ("harp-1").empty());
    EXPECT_EQ (processor->popHostMidi().size(), 1u);     // the queue does not depend on the lock
}
