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

        std::vector<Bytes> forwarded (const juce::String& identifier = "lute-1") const
        {
            std::vector<Bytes> out;
            for (auto& s : devices.getSent (identifier))
                out.push_back (bytesOf (s.message));
            return out;
        }

        // The sender works on its own thread and sends in due order, so once a
        // block's last forwarded message (the marker) has gone out, everything
        // before it has too.
        std::vector<Bytes> forwardedThrough (const Bytes& marker, const juce::String& identifier = "lute-1") const
        {
            for (size_t count = 1; devices.waitForSent (identifier, count); ++count)
                if (forwarded (identifier).back() == marker)
                    return forwarded (identifier);

            ADD_FAILURE() << "the marker never reached " << identifier;
            return forwarded (identifier);
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
        EXPECT_EQ (shouldForwardToOutput (c.bytes.data(), (int) c.bytes.size()), c.forwarded)
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

    EXPECT_EQ (forwardedThrough (raw ({ 0xE9, 0, 64 })), (std::vector<Bytes> { raw ({ 0x99, 0x3C, 0x64 }),
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
    block.add (raw ({ 0x83, 60, 0 }), 9);        // the marker
    processor->processBlock (block.audio, block.midi);

    EXPECT_EQ (forwardedThrough (raw ({ 0x83, 60, 0 })),
               (std::vector<Bytes> { raw ({ 0x93, 60, 100 }), raw ({ 0xD3, 33 }), raw ({ 0x83, 60, 0 }) }));
}

TEST_F (AudioPath, MessagesGoOutInDueOrderAndNeverEarly)
{
    makeWith (Wrapper::wrapperType_VST3, 0);

    // A host running ahead of real time: the second block starts before the
    // first one's tail is due, so its note must go out between them. Each
    // block is timed from its call, so that holds while the two calls are
    // less than 90 ms apart.
    untilTheTimingHeld ([&]
    {
        devices.clearSent();

        Block first, second;
        first.add (raw ({ 0x90, 60, 100 }), 0);
        first.add (raw ({ 0x80, 60, 0 }), 4800);         // 100 ms at 48 kHz
        second.add (raw ({ 0x90, 62, 100 }), 480);       // 10 ms

        const auto before = juce::Time::getMillisecondCounterHiRes();
        processor->processBlock (first.audio, first.midi);
        processor->processBlock (second.audio, second.midi);
        const auto after = juce::Time::getMillisecondCounterHiRes();

        EXPECT_TRUE (devices.waitForSent ("lute-1", 3));

        if (after - before >= 90.0)
            return false;

        EXPECT_EQ (forwarded(), (std::vector<Bytes> { raw ({ 0x90, 60, 100 }), raw ({ 0x90, 62, 100 }), raw ({ 0x80, 60, 0 }) }));

        // Due at the block's start plus the sample position: never sent before that.
        const auto sent = devices.getSent ("lute-1");
        EXPECT_GE (sent[1].sentMs - before, 10.0);
        EXPECT_GE (sent[2].sentMs - before, 100.0);
        return true;
    });

    EXPECT_EQ (processor->getNumForwardDropped(), 0);
}

TEST_F (AudioPath, FullForwardingQueueDropsTheNewestAndCountsThem)
{
    makeWith (Wrapper::wrapperType_VST3, 0);

    // Hold the sender inside its first send, so nothing leaves the queue.
    std::promise<void> sending, release;
    auto released = release.get_future().share();
    std::atomic<int> observed { 0 };
    devices.setSendObserver ([&, released] (const juce::String&, const VirtualMidiDevices::SentMessage&)
    {
        if (observed++ == 0)
        {
            sending.set_value();
            released.wait();
        }
    });

    Block opener;
    opener.add (raw ({ 0x90, 1, 1 }), 0);
    processor->processBlock (opener.audio, opener.midi);
    sending.get_future().wait();

    // The queue holds queueSize - 1; five blocks of 2000 overflow it.
    constexpr int perBlock = 2000, blocks = 5, total = perBlock * blocks;
    constexpr int held = MidiForwarder::queueSize - 1;

    for (int b = 0; b < blocks; ++b)
    {
        Block block;
        for (int i = 0; i < perBlock; ++i)
        {
            const auto n = b * perBlock + i;
            block.add (raw ({ 0xA0 | (n % 16), (n / 16) % 128, n % 128 }), 0);
        }
        processor->processBlock (block.audio, block.midi);
    }

    EXPECT_EQ (processor->getNumForwardDropped(), total - held);

    release.set_value();
    ASSERT_TRUE (devices.waitForSent ("lute-1", (size_t) held + 1));
    devices.setSendObserver (nullptr);

    // The oldest were kept, in order.
    const auto sent = forwarded();
    ASSERT_EQ (sent.size(), (size_t) held + 1);
    for (int n = 0; n < held; ++n)
        ASSERT_EQ (sent[(size_t) n + 1], raw ({ 0xA0 | (n % 16), (n / 16) % 128, n % 128 })) << n;
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
    EXPECT_EQ (forwardedThrough (raw ({ 0x90, 60, 100 })), (std::vector<Bytes> { raw ({ 0xD4, 0x33 }), raw ({ 0x90, 60, 100 }) }));
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
    EXPECT_EQ (forwardedThrough (raw ({ 0x90, 60, 100 })).size(), 1u);
}

TEST_F (AudioPath, RoutingChangeNeverHoldsTheAudioThread)
{
    makeWith (Wrapper::wrapperType_VST3, 0);
    devices.plugOutput ("Harp", "harp-1");

    // Hold the routing thread inside its change, at the close of the old device.
    std::promise<void> closing, release;
    auto released = release.get_future().share();
    devices.setOutputCloseHook ([&, released] (const juce::String&)
    {
        closing.set_value();
        released.wait();
    });

    std::thread routing ([&] { processor->setWebState (pageState ("Harp", 0)); });
    closing.get_future().wait();

    // If the audio thread waited for the routing, this would never return. The
    // new output is already in place, so the note goes there.
    Block block;
    block.add (raw ({ 0x90, 60, 100 }), 0);
    processor->processBlock (block.audio, block.midi);

    release.set_value();
    routing.join();
    devices.setOutputCloseHook (nullptr);

    EXPECT_EQ (forwardedThrough (raw ({ 0x90, 60, 100 }), "harp-1"), (std::vector<Bytes> { raw ({ 0x90, 60, 100 }) }));
    EXPECT_TRUE (forwarded ("lute-1").empty());
    EXPECT_EQ (processor->popHostMidi().size(), 1u);
}

TEST_F (AudioPath, MessagesQueuedForAClosedOutputNeverReachTheNextOne)
{
    makeWith (Wrapper::wrapperType_VST3, 0);
    devices.plugOutput ("Harp", "harp-1");

    // A note due in a second is still waiting when the page picks another
    // output (the case holds while the choice comes within that second).
    untilTheTimingHeld ([&]
    {
        processor->setWebState (pageState ("Lute", 0));
        devices.clearSent();

        Block late;
        late.add (raw ({ 0x90, 1, 1 }), 48000);
        const auto before = juce::Time::getMillisecondCounterHiRes();
        processor->processBlock (late.audio, late.midi);
        processor->setWebState (pageState ("Harp", 0));
        const auto chosen = juce::Time::getMillisecondCounterHiRes();

        Block now;
        now.add (raw ({ 0x90, 2, 2 }), 0);
        now.add (raw ({ 0x90, 3, 3 }), 96000);           // two seconds: after the stale one was due
        processor->processBlock (now.audio, now.midi);

        const auto throughTheLast = forwardedThrough (raw ({ 0x90, 3, 3 }), "harp-1");

        if (chosen - before >= 1000.0)
            return false;

        EXPECT_EQ (throughTheLast, (std::vector<Bytes> { raw ({ 0x90, 2, 2 }), raw ({ 0x90, 3, 3 }) }));
        EXPECT_TRUE (forwarded ("lute-1").empty());
        return true;
    });
}
