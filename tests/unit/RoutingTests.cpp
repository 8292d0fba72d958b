#include "support/ProcessorFixture.h"
#include "support/MessageThread.h"

#include "processor/RoutingChoice.h"

TEST (RoutingChoice, ReadsChannelAndOutputFromPageState)
{
    struct Case { const char* state; int channel; const char* output; };

    const Case cases[] = {
        // Channel: numbers truncate, strings by their leading integer, 1..16 only.
        { R"({"channel": 10})",    10, "" },
        { R"({"channel": "10"})",  10, "" },
        { R"({"channel": 16.9})",  16, "" },
        { R"({"channel": 1})",     1,  "" },
        { R"({"channel": 0})",     0,  "" },
        { R"({"channel": 17})",    0,  "" },
        { R"({"channel": -1})",    0,  "" },
        { R"({"channel": "abc"})", 0,  "" },
        { R"({"channel": null})",  0,  "" },
        { R"({"channel": true})",  1,  "" },
        { R"({"channel": 1e300})", 0,  "" },
        { R"({})",                 0,  "" },

        // Integers saturate before the range check: nothing wraps into 1..16.
        { R"({"channel": 2147483648})",           0,  "" },     // 2^31
        { R"({"channel": 4294967297})",           0,  "" },     // 2^32 + 1: was 1
        { R"({"channel": 4294967306})",           0,  "" },     // was 10
        { R"({"channel": 9223372036854775807})",  0,  "" },     // 2^63 - 1
        { R"({"channel": -9223372036854775808})", 0,  "" },     // -2^63
        { R"({"channel": -0.0})",                 0,  "" },
        { R"({"channel": "12abc"})",              12, "" },
        { R"({"channel": []})",                   0,  "" },
        { R"({"channel": {}})",                   0,  "" },

        // Output: the first named entry with index 0, else the first named entry.
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":2},{"portName":"B","portIdx":0}]}})", 0, "B" },
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":2},{"portName":"B","portIdx":1}]}})", 0, "A" },
        { R"({"ports":{"outputs":[{"portName":"","portIdx":0},{"portName":"C"}]}})",               0, "C" },
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":"0"}]}})",                             0, "A" },
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":4294967296},{"portName":"B","portIdx":0}]}})",  0, "B" },
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":-9223372036854775808},{"portName":"B"}]}})",   0, "B" },
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":1e300},{"portName":"B","portIdx":-0.0}]}})",   0, "B" },
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":"12abc"},{"portName":"B","portIdx":true}]}})", 0, "A" },
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":[]},{"portName":"B","portIdx":null}]}})",      0, "A" },
        { R"({"ports":{"outputs":[{"portName":"A","portIdx":0},{"portName":"B","portIdx":0}]}})", 0, "A" },
        { R"({"ports":{"outputs":[3,"B",null,["C"],{"portName":"D","portIdx":5}]}})",             0, "D" },
        { R"({"ports":{"outputs":[{"portName":7,"portIdx":0}]}})",                                 0, "7" },
        { R"({"ports":{"outputs":[]}})",                                                           0, "" },
        { R"({"ports":{"outputs":{"portName":"A"}}})",                                             0, "" },
        { R"({"ports":{"inputs":[{"portName":"A"}]}})",                                            0, "" },
        { R"({"ports":[{"outputs":[{"portName":"A"}]}]})",                                         0, "" },
        { R"({"channel":"5","ports":{"outputs":[{"portName":"Lute","portIdx":0}]}})",              5, "Lute" },

        // Not an object at all: channel 0, no output.
        { "",                     0, "" },
        { "   ",                  0, "" },
        { "{not json",            0, "" },
        { R"([{"channel": 3}])",  0, "" },
        { R"("{\"channel\":3}")", 0, "" },
        { "12",                   0, "" },
    };

    for (auto& c : cases)
        EXPECT_EQ (chooseRouting (c.state), (RoutingChoice { c.channel, c.output })) << c.state;
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

    juce::AudioBuffer<float> audio (2, 256);
    juce::MidiBuffer later;
    later.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 24000);      // due in half a second
    processor->processBlock (audio, later);
    processor->releaseResources();

    prepare (*processor);
    juce::MidiBuffer marker;
    marker.addEvent (juce::MidiMessage::noteOn (1, 61, (juce::uint8) 100), 48000);     // due after it
    processor->processBlock (audio, marker);

    ASSERT_TRUE (devices.waitForSent ("lute-1", 1));
    const auto sent = devices.getSent ("lute-1");
    ASSERT_EQ (sent.size(), 1u);
    EXPECT_EQ (sent[0].message.getNoteNumber(), 61);
}
