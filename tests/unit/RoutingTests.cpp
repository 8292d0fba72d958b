#include "support/ProcessorFixture.h"
#include "support/MessageThread.h"

#include "processor/RoutingChoice.h"

// A failed comparison says what was read, not the object's bytes.
inline void PrintTo (const RoutingChoice& r, std::ostream* os)
{
    *os << "channel " << r.channel << ", output \"" << r.outputName << "\"";
}

// How the routing is read out of a page state object is one table with the
// stand-in page, whose own reading must agree (tests/page/game.test.mjs).
TEST (RoutingChoice, ReadsChannelAndOutputAsTheSharedTableSays)
{
    const auto table = juce::JSON::parse (juce::File (LUTEWYRM_TEST_CASES_DIR "/routing-choice.json"));
    const auto* cases = table["cases"].getArray();
    ASSERT_TRUE (cases != nullptr && ! cases->isEmpty());

    for (auto& c : *cases)
        EXPECT_EQ (chooseRouting (c["state"].toString()), (RoutingChoice { (int) c["channel"], c["output"].toString() }))
            << c["name"].toString() << ": " << c["state"].toString();
}

TEST (RoutingChoice, AnythingButAnObjectIsNoRouting)
{
    for (auto* state : { "", "   ", "{not json", R"([{"channel": 3}])", R"("{\"channel\":3}")", "12" })
        EXPECT_EQ (chooseRouting (state), RoutingChoice {}) << state;
}

//==============================================================================
class RoutingTransitions : public ::testing::Test
{
protected:
    void SetUp() override
    {
        devices.plugOutput ("Lute", "lute-1");
        devices.plugOutput ("Harp", "harp-1");
        processor = makeProcessor (devices);
        prepare (*processor);
    }

    // Plays one note on channel 1 through processBlock; returns what reached the
    // device once the forwarder has sent it. Only an open output can receive
    // anything, so a note that must go nowhere is checked by that instead.
    std::vector<Bytes> playNote (const juce::String& identifier)
    {
        devices.clearSent();
        juce::AudioBuffer<float> audio (2, 256);
        juce::MidiBuffer midi;
        midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
        processor->processBlock (audio, midi);

        if (devices.getNumOpenOutputs (identifier) > 0)
            devices.waitForSent (identifier, 1);

        std::vector<Bytes> received;
        for (auto& sent : devices.getSent (identifier))
            received.push_back (bytesOf (sent.message));
        return received;
    }

    VirtualMidiDevices devices;
    std::unique_ptr<LUTEWYRMRPGAudioProcessor> processor;
};

TEST_F (RoutingTransitions, OpensKeepsSwapsAndCloses)
{
    EXPECT_TRUE (playNote ("lute-1").empty());      // nothing routed before the first state

    processor->setWebState (pageState ("Lute", 10));
    EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 1);
    EXPECT_EQ (playNote ("lute-1"), (std::vector<Bytes> { { 0x99, 60, 100 } }));

    // The same name keeps the open device but takes the new channel.
    processor->setWebState (pageState ("Lute", 2));
    EXPECT_EQ (devices.getNumOpens ("lute-1"), 1);
    EXPECT_EQ (playNote ("lute-1"), (std::vector<Bytes> { { 0x91, 60, 100 } }));

    // Another name swaps the device.
    processor->setWebState (pageState ("Harp", 0));
    EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 0);
    EXPECT_EQ (devices.getNumOpenOutputs ("harp-1"), 1);
    EXPECT_EQ (playNote ("harp-1"), (std::vector<Bytes> { { 0x90, 60, 100 } }));

    // An unknown name closes it.
    processor->setWebState (pageState ("Viol", 3));
    EXPECT_EQ (devices.getNumOpenOutputs ("harp-1"), 0);
    EXPECT_TRUE (playNote ("harp-1").empty());

    // Not an object: closes and resets the channel.
    processor->setWebState (pageState ("Lute", 4));
    processor->setWebState ("");
    EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 0);
}

// A synth switched on after the project was loaded, its cable pulled and put
// back: the routing follows the device with no editor and no state change.
TEST_F (RoutingTransitions, TheRoutedOutputFollowsItsDevice)
{
    processor->setWebState (pageState ("Viol", 0));
    processor->followRoutedOutput();

    devices.plugOutput ("Viol", "viol-1");
    processor->followRoutedOutput();
    ASSERT_EQ (devices.getNumOpenOutputs ("viol-1"), 1);
    EXPECT_EQ (playNote ("viol-1"), (std::vector<Bytes> { { 0x90, 60, 100 } }));

    // A note due in three seconds, then the cable is pulled: the device is
    // closed, and the note goes with it. (Were the machine to stall longer
    // than that first, the note would reach the old device, never the new.)
    juce::AudioBuffer<float> audio (2, 256);
    juce::MidiBuffer later;
    later.addEvent (juce::MidiMessage::noteOn (1, 61, (juce::uint8) 100), 3 * 48000);
    processor->processBlock (audio, later);
    devices.unplugOutput ("viol-1");
    processor->followRoutedOutput();
    EXPECT_EQ (devices.getNumOpenOutputs ("viol-1"), 0);

    // Put back (under a new identifier, as a driver may): opened again, and
    // the first note it gets is one played after it came back, due after the
    // one from before, which never arrives.
    devices.plugOutput ("Viol", "viol-2");
    processor->followRoutedOutput();
    ASSERT_EQ (devices.getNumOpenOutputs ("viol-2"), 1);
    juce::MidiBuffer marker;
    marker.addEvent (juce::MidiMessage::noteOn (1, 62, (juce::uint8) 100), 3 * 48000 + 24000);
    processor->processBlock (audio, marker);
    ASSERT_TRUE (devices.waitForSent ("viol-2", 1, 60000));
    const auto sent = devices.getSent ("viol-2");
    ASSERT_EQ (sent.size(), 1u);
    EXPECT_EQ (sent[0].message.getNoteNumber(), 62);

    // A device of another name changes nothing; the open one stays open.
    devices.plugOutput ("Harp", "harp-2");
    processor->followRoutedOutput();
    EXPECT_EQ (devices.getNumOpens ("viol-2"), 1);
    EXPECT_EQ (devices.getNumOpens ("harp-2"), 0);
}

// Nobody calls it: the processor's own poll notices within a few seconds.
TEST_F (RoutingTransitions, TheProcessorFollowsTheDeviceByItself)
{
    processor->setWebState (pageState ("Viol", 0));
    devices.plugOutput ("Viol", "viol-1");
    EXPECT_TRUE (waitFor ([&] { return devices.getNumOpenOutputs ("viol-1") == 1; }, 60000));

    devices.unplugOutput ("viol-1");
    EXPECT_TRUE (waitFor ([&] { return devices.getNumOpenOutputs ("viol-1") == 0; }, 60000));
}

TEST_F (RoutingTransitions, FailedOpenIsRetriedByTheNextStateChange)
{
    devices.failNextOpen ("lute-1");
    processor->setWebState (pageState ("Lute", 0));
    EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 0);

    processor->setWebState (pageState ("Lute", 0));
    EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 1);
}

TEST_F (RoutingTransitions, DuplicateNamesOpenTheFirstInEnumerationOrder)
{
    devices.plugOutput ("Drum", "drum-b");
    devices.plugOutput ("Drum", "drum-a");
    processor->setWebState (pageState ("Drum", 0));

    EXPECT_EQ (devices.getNumOpenOutputs ("drum-b"), 1);
    EXPECT_EQ (devices.getNumOpenOutputs ("drum-a"), 0);
}

TEST_F (RoutingTransitions, DestroyingTheProcessorClosesTheOutput)
{
    processor->setWebState (pageState ("Lute", 0));
    processor.reset();
    EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 0);
}

//==============================================================================
// A hardware synth must never hang on a note: whatever ends the routing of a
// held note releases it on the output and channel it was played on.
TEST (HeldNotes, AreReleasedOnTheOutputAndChannelTheyWerePlayedOn)
{
    struct Case
    {
        const char* change;
        std::function<void (std::unique_ptr<LUTEWYRMRPGAudioProcessor>&)> apply;
    };

    const std::vector<Case> cases {
        { "another output",        [] (auto& p) { p->setWebState (pageState ("Harp", 3)); } },
        { "another channel",       [] (auto& p) { p->setWebState (pageState ("Lute", 9)); } },
        { "no output",             [] (auto& p) { p->setWebState (pageState ("Viol", 3)); } },
        { "releaseResources",      [] (auto& p) { p->releaseResources(); } },
        { "destroying it",         [] (auto& p) { p.reset(); } },
    };

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.change);
        VirtualMidiDevices devices;
        devices.plugOutput ("Lute", "lute-1");
        devices.plugOutput ("Harp", "harp-1");
        auto processor = makeProcessor (devices);
        prepare (*processor);
        processor->setWebState (pageState ("Lute", 3));

        // Two notes held on the forced channel 3, one played and released,
        // and one released by a note-on of velocity 0, as many keyboards do.
        juce::AudioBuffer<float> audio (2, 256);
        juce::MidiBuffer midi;
        midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
        midi.addEvent (juce::MidiMessage::noteOn (2, 64, (juce::uint8) 100), 1);
        midi.addEvent (juce::MidiMessage::noteOn (1, 67, (juce::uint8) 100), 2);
        midi.addEvent (juce::MidiMessage::noteOff (1, 67), 3);
        midi.addEvent (juce::MidiMessage::noteOn (1, 72, (juce::uint8) 100), 4);
        midi.addEvent (juce::MidiMessage::noteOn (1, 72, (juce::uint8) 0), 5);
        processor->processBlock (audio, midi);
        ASSERT_TRUE (devices.waitForSent ("lute-1", 6, 60000));
        ASSERT_EQ (soundingNotes (devices, "lute-1"), (std::set<juce::String> { "3/60", "3/64" }));
        devices.clearSent();

        c.apply (processor);

        // Exactly the held notes are released, then all notes off on their channel.
        std::vector<Bytes> released;
        for (auto& sent : devices.getSent ("lute-1"))
            released.push_back (bytesOf (sent.message));

        EXPECT_EQ (released, (std::vector<Bytes> { { 0x82, 60, 0 }, { 0x82, 64, 0 }, { 0xb2, 123, 0 } }));

        // The host's own note-offs, arriving later, leave nothing sounding anywhere.
        if (processor != nullptr)
        {
            juce::MidiBuffer offs;
            offs.addEvent (juce::MidiMessage::noteOff (1, 60), 0);
            offs.addEvent (juce::MidiMessage::noteOff (2, 64), 1);
            processor->processBlock (audio, offs);
            processor.reset();
        }

        EXPECT_TRUE (soundingNotes (devices, "lute-1").empty());
        EXPECT_TRUE (soundingNotes (devices, "harp-1").empty());
    }
}

TEST (HeldNotes, NothingQueuedBeforeReleaseResourcesPlaysAfterIt)
{
    VirtualMidiDevices devices;
    devices.plugOutput ("Lute", "lute-1");
    auto processor = makeProcessor (devices);
    prepare (*processor);
    processor->setWebState (pageState ("Lute", 0));

    // The case holds while releaseResources comes before the first note is due.
    untilTheTimingHeld ([&]
    {
        // Whatever an earlier try left sounding is released before counting.
        processor->releaseResources();
        prepare (*processor);
        devices.clearSent();

        juce::AudioBuffer<float> audio (2, 256);
        juce::MidiBuffer later;
        later.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 24000);      // due in half a second
        const auto before = juce::Time::getMillisecondCounterHiRes();
        processor->processBlock (audio, later);
        processor->releaseResources();
        const auto released = juce::Time::getMillisecondCounterHiRes();

        prepare (*processor);
        juce::MidiBuffer marker;
        marker.addEvent (juce::MidiMessage::noteOn (1, 61, (juce::uint8) 100), 48000);     // due after it
        processor->processBlock (audio, marker);

        const auto markerSent = [&]
        {
            const auto sent = devices.getSent ("lute-1");
            return ! sent.empty() && sent.back().message.getNoteNumber() == 61;
        };

        EXPECT_TRUE (waitFor (markerSent));

        if (released - before >= 500.0)
            return false;

        const auto sent = devices.getSent ("lute-1");
        EXPECT_EQ (sent.size(), 1u);
        EXPECT_EQ (sent.back().message.getNoteNumber(), 61);
        return true;
    });
}
