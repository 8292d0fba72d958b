#include "support/BridgeFixture.h"

#include <thread>

namespace
{
    juce::String portsChanged (const juce::String& outputs, const juce::String& inputs)
    {
        return "midiPortsChanged {\"outputs\": " + outputs + ", \"inputs\": " + inputs + "}";
    }

    juce::MidiMessage noteOn (int note)     { return juce::MidiMessage::noteOn (1, note, (juce::uint8) 100); }

    juce::Array<juce::MidiDeviceInfo> deviceList (std::initializer_list<std::pair<const char*, const char*>> namesAndIds)
    {
        juce::Array<juce::MidiDeviceInfo> list;
        for (auto& [name, id] : namesAndIds)
            list.add ({ name, id });
        return list;
    }
}

//==============================================================================
TEST (PortRegistry, PollSendsNothingWhileIdentifiersStayTheSame)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("Lute", "out-a");
    f.devices.plugInput ("Keys", "in-a");
    f.create();

    f.poll();
    f.devices.setOutputs ({ juce::MidiDeviceInfo ("Lute (renamed)", "out-a") });   // a name change alone
    f.poll();

    EXPECT_TRUE (f.eventTexts().empty());
    EXPECT_EQ (onMessageThread<juce::String> ([&] { return f.bridge->getPorts().getOutput (0).name; }), "Lute");
}

TEST (PortRegistry, OpenDevicesFollowTheirIdentifiersThroughRebuilds)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("A", "out-a");
    f.devices.plugOutput ("B", "out-b");
    f.devices.plugOutput ("C", "out-c");
    f.devices.plugOutput ("D", "out-d");
    f.create();

    f.send ("midiSend", R"({"port": 1, "data": [144, 1, 1]})");       // opens B
    f.send ("midiSend", R"({"port": 2, "data": [144, 2, 2]})");       // opens C

    // Swap A and B: B keeps its device under its new number 0.
    f.devices.setOutputs (deviceList ({ { "B", "out-b" }, { "A", "out-a" }, { "C", "out-c" }, { "D", "out-d" } }));
    f.poll();
    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> {
        portsChanged (R"([{"id": 0, "name": "B"}, {"id": 1, "name": "A"}, {"id": 2, "name": "C"}, {"id": 3, "name": "D"}])", "[]") }));

    f.send ("midiSend", R"({"port": 0, "data": [144, 3, 3]})");
    EXPECT_EQ (f.sentTo ("out-b"), (std::vector<Bytes> { { 144, 1, 1 }, { 144, 3, 3 } }));
    EXPECT_EQ (f.devices.getNumOpens ("out-b"), 1);

    // Unplug C, open at number 2: closed, D moves down to 2.
    f.devices.unplugOutput ("out-c");
    f.poll();
    EXPECT_EQ (f.devices.getNumOpenOutputs ("out-c"), 0);
    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> {
        portsChanged (R"([{"id": 0, "name": "B"}, {"id": 1, "name": "A"}, {"id": 2, "name": "D"}])", "[]") }));

    // A device plugged in ahead of the open one: it stays open, under number 1.
    f.devices.plugOutput ("New", "out-new", 0);
    f.poll();
    f.send ("midiSend", R"({"port": 1, "data": [144, 4, 4]})");
    EXPECT_EQ (f.devices.getNumOpens ("out-b"), 1);
    EXPECT_EQ (f.sentTo ("out-b").back(), (Bytes { 144, 4, 4 }));
}

TEST (PortRegistry, DuplicateIdentifiersHandTheDeviceToTheFirstOnly)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("A", "dup");
    f.create();
    f.send ("midiSend", R"({"port": 0, "data": [144, 1, 1]})");

    f.devices.setOutputs (deviceList ({ { "A", "dup" }, { "A again", "dup" } }));
    f.poll();

    onMessageThread ([&]
    {
        EXPECT_NE (f.bridge->getPorts().getOutput (0).device, nullptr);
        EXPECT_EQ (f.bridge->getPorts().getOutput (1).device, nullptr);
    });
    EXPECT_EQ (f.devices.getNumOpens ("dup"), 1);
}

TEST (PortRegistry, VanishedInputIsStoppedAndDeliversNoMore)
{
    BridgeFixture f (false);
    f.devices.plugInput ("Keys", "in-a");
    f.devices.plugInput ("Pads", "in-b");
    f.create();
    f.send ("midiOpenInput", R"({"port": 0})");
    f.send ("midiOpenInput", R"({"port": 1})");
    ASSERT_EQ (f.devices.getNumStartedInputs ("in-a"), 1);

    f.devices.unplugInput ("in-a");
    f.poll();
    EXPECT_EQ (f.devices.getNumOpenInputs ("in-a"), 0);
    EXPECT_EQ (f.devices.getNumStartedInputs ("in-b"), 1);     // taken over while running
    f.clearEvents();

    // Pads is now number 0.
    f.devices.injectInput ("in-b", noteOn (62));
    f.devices.waitForInputIdle();
    settle (20);
    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> { R"(midiReceive {"port": 0, "data": [144, 62, 100]})" }));
}

TEST (PortRegistry, PluginListsOnlyTheHostTrack)
{
    BridgeFixture f (true);
    f.devices.plugInput ("Keys", "in-a");
    f.devices.plugOutput ("Lute", "out-a");
    f.create();

    EXPECT_EQ (onMessageThread<juce::StringArray> ([&] { return f.bridge->getPorts().getInputNames(); }),
               juce::StringArray ("DAW (host track)"));

    f.devices.plugInput ("Pads", "in-b");       // system inputs are not watched
    f.poll();
    EXPECT_TRUE (f.eventTexts().empty());

    f.devices.unplugOutput ("out-a");
    f.poll();
    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> {
        portsChanged ("[]", R"x([{"id": 0, "name": "DAW (host track)"}])x") }));

    f.send ("midiOpenInput", R"({"port": 0})");
    EXPECT_EQ (f.devices.getNumOpens ("__DAW__"), 0);
    EXPECT_EQ (f.devices.getNumOpens ("in-a"), 0);
}

//==============================================================================
TEST (PageBridge, MidiSendOpensLazilyAndSendsTheBytesAsGiven)
{
    struct Case { const char* payload; bool opens; std::vector<Bytes> sent; };

    const Case cases[] = {
        { R"({"port": 0, "data": [144, 60, 100]})",  true,  { { 0x90, 60, 100 } } },
        { R"({"port": 0, "data": []})",              true,  {} },
        { R"({"port": 0, "data": [400, -1, 60.9]})", true,  { { 0x90, 0xFF, 60 } } },
        { R"({"port": 0, "data": [256, 300, "7", true, null]})", true, { { 0, 44, 7, 1, 0 } } },
        { R"({"data": [128, 60, 0]})",               true,  { { 0x80, 60, 0 } } },
        { R"({"port": "0", "data": [248]})",         true,  { { 0xF8 } } },
        { R"({"port": 1, "data": [144, 60, 100]})",  false, {} },
        { R"({"port": -1, "data": [144, 60, 100]})", false, {} },
        { R"({"port": 0, "data": "144,60,100"})",    false, {} },
        { R"({"port": 0})",                          false, {} },
        { R"({"port": 0, "data": {"0": 144}})",      false, {} },
        { R"([0, [144, 60, 100]])",                  false, {} },
        { R"("midi")",                               false, {} },
        { R"(null)",                                 false, {} },
    };

    for (auto& c : cases)
    {
        BridgeFixture f (false);
        f.devices.plugOutput ("Lute", "out-a");
        f.create();
        f.send ("midiSend", c.payload);

        EXPECT_EQ (f.devices.getNumOpenOutputs ("out-a"), c.opens ? 1 : 0) << c.payload;
        EXPECT_EQ (f.sentTo ("out-a"), c.sent) << c.payload;
        EXPECT_TRUE (f.eventTexts().empty()) << c.payload;
    }
}

TEST (PageBridge, FailedOpenIsTriedAgainNextTime)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("Lute", "out-a");
    f.devices.plugInput ("Keys", "in-a");
    f.create();

    f.devices.failNextOpen ("out-a");
    f.devices.failNextOpen ("in-a");
    f.send ("midiSend", R"({"port": 0, "data": [144, 60, 100]})");
    f.send ("midiOpenInput", R"({"port": 0})");
    EXPECT_TRUE (f.sentTo ("out-a").empty());
    EXPECT_EQ (f.devices.getNumOpenInputs ("in-a"), 0);

    f.send ("midiSend", R"({"port": 0, "data": [144, 60, 100]})");
    f.send ("midiOpenInput", R"({"port": 0})");
    EXPECT_EQ (f.sentTo ("out-a").size(), 1u);
    EXPECT_EQ (f.devices.getNumStartedInputs ("in-a"), 1);
}

TEST (PageBridge, SysexTravelsWholeBothWays)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("Lute", "out-a");
    f.devices.plugInput ("Keys", "in-a");
    f.devices.plugInput ("Sysex box", "in-b");
    f.create();

    Bytes sysex { 0xF0 };
    for (int i = 0; i < 18; ++i)
        sysex.push_back ((juce::uint8) (i * 7 % 128));
    sysex.push_back (0xF7);

    juce::StringArray numbers;
    for (auto b : sysex)
        numbers.add (juce::String (b));

    f.send ("midiSend", "{\"port\": 0, \"data\": [" + numbers.joinIntoString (", ") + "]}");
    EXPECT_EQ (f.sentTo ("out-a"), (std::vector<Bytes> { sysex }));

    f.send ("midiOpenInput", R"({"port": 1})");
    f.devices.injectInput ("in-b", juce::MidiMessage (sysex.data(), (int) sysex.size()));
    f.devices.waitForInputIdle();
    settle (20);
    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> {
        "midiReceive {\"port\": 1, \"data\": [" + numbers.joinIntoString (", ") + "]}" }));
}

TEST (PageBridge, OpenInputOnceAndNeverThePseudoPort)
{
    BridgeFixture f (false);
    f.devices.plugInput ("Keys", "in-a");
    f.create();

    for (auto* payload : { R"({"port": 0})", R"({"port": 0})", R"({"port": 1})", R"({"port": -1})", R"([0])" })
        f.send ("midiOpenInput", payload);

    EXPECT_EQ (f.devices.getNumOpens ("in-a"), 1);
    EXPECT_EQ (f.devices.getNumStartedInputs ("in-a"), 1);
}

TEST (PageBridge, DeliveryIsNumberedByTheListsThePageHasBeenGiven)
{
    BridgeFixture f (false);
    for (auto* id : { "in-0", "in-1", "in-2", "in-3" })
        f.devices.plugInput (id, id);
    f.create();
    f.send ("midiOpenInput", R"({"port": 3})");

    // The message arrives while in-3 is number 3; the lists then change, and
    // the page is told, before the message thread delivers it: by then in-3
    // is number 2 for the page.
    onMessageThread ([&]
    {
        f.devices.injectInput ("in-3", noteOn (64));
        f.devices.waitForInputIdle();
        f.devices.unplugInput ("in-0");
        f.bridge->pollMidiDevices();
    });

    ASSERT_TRUE (waitFor ([&] { return onMessageThread<size_t> ([&] { return f.events.size(); }) == 2; }));
    const auto texts = f.eventTexts();
    EXPECT_TRUE (texts[0].startsWith ("midiPortsChanged"));
    EXPECT_EQ (texts[1], R"(midiReceive {"port": 2, "data": [144, 64, 100]})");
}

// Messages that arrive from devices while the message thread is busy reach
// the page together, in arrival order, each as an event of its own: a burst
// costs one crossing into the web engine, not one per message.
TEST (PageBridge, ABurstFromDevicesReachesThePageInOneGoInOrder)
{
    BridgeFixture f (false);
    f.devices.plugInput ("K", "in-k");
    f.devices.plugInput ("P", "in-p");
    f.create();
    f.send ("midiOpenInput", R"({"port": 0})");
    f.send ("midiOpenInput", R"({"port": 1})");

    std::vector<juce::String> expected;
    onMessageThread ([&]
    {
        for (int i = 0; i < 40; ++i)
        {
            const auto onK = i % 3 != 0;
            f.devices.injectInput (onK ? "in-k" : "in-p", noteOn (i));
            f.devices.waitForInputIdle();
            expected.push_back (R"(midiReceive {"port": )" + juce::String (onK ? 0 : 1)
                                  + R"(, "data": [144, )" + juce::String (i) + ", 100]}");
        }
    });

    ASSERT_TRUE (waitFor ([&] { return onMessageThread<size_t> ([&] { return f.events.size(); }) == 40; }));
    EXPECT_EQ (f.eventTexts(), expected);
    EXPECT_EQ (onMessageThread<int> ([&] { return f.batches; }), 1);

    // A message on its own still goes at once.
    f.devices.injectInput ("in-k", noteOn (100));
    ASSERT_TRUE (waitFor ([&] { return onMessageThread<size_t> ([&] { return f.events.size(); }) == 1; }));
    EXPECT_EQ (onMessageThread<int> ([&] { return f.batches; }), 2);
}

// A reloaded page starts from the bootstrap script's lists, which are those
// the bridge was made with. Until it has loaded and been sent the current
// lists, its port numbers are read in those.
TEST (PageBridge, ReloadedPageIsNumberedByTheBootstrapListsUntilItIsToldTheCurrentOnes)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("A", "out-a");
    f.devices.plugOutput ("B", "out-b");
    f.devices.plugOutput ("C", "out-c");
    f.devices.plugInput ("K", "in-k");
    f.devices.plugInput ("P", "in-p");
    f.create();

    // While the lists are as the script has them, a load is sent nothing.
    onMessageThread ([&] { f.bridge->gamePageLoading(); f.bridge->gamePageLoaded(); });
    EXPECT_TRUE (f.eventTexts().empty());

    f.devices.unplugOutput ("out-a");
    f.devices.unplugInput ("in-k");
    f.poll();
    f.clearEvents();

    onMessageThread ([&] { f.bridge->gamePageLoading(); });

    // For the loading page B is still number 1 and P number 1; A is gone.
    f.send ("midiSend", R"({"port": 1, "data": [144, 1, 1]})");
    f.send ("midiSend", R"({"port": 0, "data": [144, 2, 2]})");
    f.send ("midiOpenInput", R"({"port": 1})");
    EXPECT_EQ (f.sentTo ("out-b"), (std::vector<Bytes> { { 144, 1, 1 } }));
    EXPECT_TRUE (f.sentTo ("out-c").empty());
    ASSERT_EQ (f.devices.getNumStartedInputs ("in-p"), 1);

    f.devices.injectInput ("in-p", noteOn (60));
    ASSERT_TRUE (waitFor ([&] { return onMessageThread<size_t> ([&] { return f.events.size(); }) == 1; }));

    // A change while it loads is held back until it has loaded.
    f.devices.plugOutput ("D", "out-d");
    f.poll();
    onMessageThread ([&] { f.bridge->gamePageLoaded(); });

    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> {
        R"(midiReceive {"port": 1, "data": [144, 60, 100]})",
        portsChanged (R"([{"id": 0, "name": "B"}, {"id": 1, "name": "C"}, {"id": 2, "name": "D"}])",
                      R"([{"id": 0, "name": "P"}])") }));

    // From now on the page's numbers are the current ones.
    f.send ("midiSend", R"({"port": 0, "data": [144, 3, 3]})");
    EXPECT_EQ (f.sentTo ("out-b").back(), (Bytes { 144, 3, 3 }));

    f.devices.injectInput ("in-p", noteOn (61));
    ASSERT_TRUE (waitFor ([&] { return onMessageThread<size_t> ([&] { return f.events.size(); }) == 1; }));
    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> { R"(midiReceive {"port": 0, "data": [144, 61, 100]})" }));
}

// A hidden view takes no events. A change of the lists it missed is not the
// page's: its numbers keep meaning the lists it has, and once the view shows
// again the page is sent the current ones.
TEST (PageBridge, ListsMissedWhileTheViewWasHiddenAreSentWhenItShowsAgain)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("A", "out-a");
    f.devices.plugOutput ("B", "out-b");
    f.create();

    f.hideView();
    f.devices.unplugOutput ("out-a");
    f.poll();
    EXPECT_TRUE (f.eventTexts().empty());

    // For the page B is still number 1.
    f.send ("midiSend", R"({"port": 1, "data": [144, 1, 1]})");
    EXPECT_EQ (f.sentTo ("out-b"), (std::vector<Bytes> { { 144, 1, 1 } }));

    // Shown again with the lists unchanged since: nothing new to tell.
    f.showView();
    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> { portsChanged (R"([{"id": 0, "name": "B"}])", "[]") }));
    f.showView();
    EXPECT_TRUE (f.eventTexts().empty());

    f.send ("midiSend", R"({"port": 0, "data": [144, 2, 2]})");
    EXPECT_EQ (f.sentTo ("out-b").back(), (Bytes { 144, 2, 2 }));
}

TEST (PageBridge, DeliveriesPendingWhenTheBridgeGoesAreDropped)
{
    BridgeFixture f (false);
    f.devices.plugInput ("Keys", "in-a");
    f.create();
    f.send ("midiOpenInput", R"({"port": 0})");

    onMessageThread ([&]
    {
        for (int i = 0; i < 50; ++i)
            f.devices.injectInput ("in-a", noteOn (i));

        // The deliveries are posted to this thread, so they cannot have run yet.
        f.devices.waitForInputIdle();
        f.bridge.reset();
    });

    // Everything posted before now has run (under ASan, a delivery that still
    // reached the bridge would be a use after free).
    onMessageThread ([] {});
    EXPECT_TRUE (f.events.empty());
}

TEST (PageBridge, HostTrackDrainsAsOneEventPerMessage)
{
    BridgeFixture f (true);
    f.create();

    juce::AudioBuffer<float> audio (2, 64);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (3, 60, (juce::uint8) 90), 0);
    midi.addEvent (juce::MidiMessage::channelPressureChange (3, 40), 5);
    midi.addEvent (juce::MidiMessage::midiClock(), 9);
    f.processor->processBlock (audio, midi);

    f.drain();
    f.drain();
    EXPECT_EQ (f.eventTexts(), (std::vector<juce::String> { R"(midiReceive {"port": 0, "data": [146, 60, 90]})",
                                                            R"(midiReceive {"port": 0, "data": [210, 40]})",
                                                            R"(midiReceive {"port": 0, "data": [248]})" }));
}

TEST (PageBridge, StateChangedStoresTheTextAndReroutes)
{
    BridgeFixture f (true);
    f.devices.plugOutput ("Lute", "out-a");
    f.create();

    f.send ("lwStateChanged", "{\"state\": " + juce::JSON::toString (pageState ("Lute", 4)) + "}");
    EXPECT_EQ (f.processor->getWebState(), pageState ("Lute", 4));
    EXPECT_EQ (f.devices.getNumOpenOutputs ("out-a"), 1);

    f.send ("lwStateChanged", R"({"other": 1})");
    EXPECT_EQ (f.processor->getWebState(), "");
    EXPECT_EQ (f.devices.getNumOpenOutputs ("out-a"), 0);

    f.send ("lwStateChanged", R"({"state": 12})");
    EXPECT_EQ (f.processor->getWebState(), "12");
}

//==============================================================================
TEST (PageBridge, ClosingWhileLateDeliveriesAreUnderWayIsSafe)
{
    // Inputs that stop the way JUCE's Linux inputs do: stop() returns at once,
    // and a delivery already past its check calls back later, at the latest
    // while its device is being closed. Closing the bridge (as closing the
    // editor does) must leave everything that callback touches alive until then.
    for (int round = 0; round < 8; ++round)
    {
        BridgeFixture f (false);
        f.devices.setStopReturnsAtOnce (true);
        const juce::StringArray ids { "in-a", "in-b", "in-c" };
        for (auto& id : ids)
            f.devices.plugInput (id, id);
        f.create();

        for (int port = 0; port < ids.size(); ++port)
            f.send ("midiOpenInput", "{\"port\": " + juce::String (port) + "}");

        std::atomic<bool> streaming { true };
        std::thread feeder ([&]
        {
            for (int n = 0; streaming; ++n)
            {
                f.devices.injectInput (ids[n % ids.size()], noteOn (n % 128));
                if (n % 16 == 15)
                    std::this_thread::yield();
            }
        });

        // One delivery is caught exactly between its check and its callback.
        f.devices.holdNextDelivery (ids[round % ids.size()]);
        ASSERT_TRUE (f.devices.waitForHeldDelivery());

        onMessageThread ([&] { f.bridge.reset(); });

        streaming = false;
        feeder.join();

        // Deliveries posted before the close find the bridge gone and do nothing.
        settle (1);
    }
}

//==============================================================================
// Every integer a page event carries saturates to the int range before it is
// range-checked, so out-of-range numbers never wrap into valid ports.
TEST (PageBridge, PortNumbersSaturateBeforeTheRangeCheck)
{
    struct Case { const char* port; int opened; };   // -1: nothing opened

    const Case cases[] = {
        { "2147483648",            -1 },     // 2^31
        { "4294967297",            -1 },     // 2^32 + 1: was port 1
        { "4294967296",            -1 },     // 2^32: was port 0
        { "9223372036854775807",   -1 },     // 2^63 - 1
        { "-9223372036854775808",  -1 },     // -2^63
        { "1e300",                 -1 },
        { "-0.0",                   0 },
        { "\"12abc\"",             -1 },     // 12: no such port
        { "\"1abc\"",               1 },
        { "true",                   1 },
        { "[]",                     0 },
        { "{}",                     0 },
        { "null",                   0 },
        { nullptr,                  0 },     // missing
    };

    for (auto& c : cases)
    {
        BridgeFixture f (false);
        f.devices.plugOutput ("Lute", "out-0");
        f.devices.plugOutput ("Harp", "out-1");
        f.devices.plugInput ("Keys", "in-0");
        f.devices.plugInput ("Pads", "in-1");
        f.create();

        const juce::String port = c.port != nullptr ? juce::String ("\"port\": ") + c.port + ", " : juce::String();
        f.send ("midiSend", "{" + port + "\"data\": [144, 60, 100]}");
        f.send ("midiOpenInput", "{" + port.dropLastCharacters (2) + "}");

        const auto label = juce::String (c.port != nullptr ? c.port : "missing");
        for (int i = 0; i < 2; ++i)
        {
            EXPECT_EQ (f.sentTo ("out-" + juce::String (i)).size(), c.opened == i ? 1u : 0u) << label;
            EXPECT_EQ (f.devices.getNumStartedInputs ("in-" + juce::String (i)), c.opened == i ? 1 : 0) << label;
        }
    }
}

TEST (PageBridge, StateOfAnyTypeKeepsItsMeaning)
{
    struct Case { const char* state; const char* stored; };

    const Case cases[] = {
        { R"("{\"channel\":3}")",               R"({"channel":3})" },
        { R"({"channel": 3, "ports": {"outputs": [{"portName": "Lute", "portIdx": 0}]}})",
          R"({"channel": 3, "ports": {"outputs": [{"portName": "Lute", "portIdx": 0}]}})" },
        { "[1, \"two\", {\"three\": 3}]",       "[1, \"two\", {\"three\": 3}]" },
        { "12",                                 "12" },
        { "4294967297",                         "4294967297" },
        { "1.5",                                "1.5" },
        { "true",                               "true" },
        { "false",                              "false" },
        { "null",                               "" },
        { nullptr,                              "" },
    };

    for (auto& c : cases)
    {
        BridgeFixture f (true);
        f.devices.plugOutput ("Lute", "out-a");
        f.create();
        f.processor->setWebState ("old");

        f.send ("lwStateChanged", c.state != nullptr ? juce::String ("{\"state\": ") + c.state + "}" : juce::String ("{}"));
        EXPECT_EQ (f.processor->getWebState(), juce::String (c.stored)) << (c.state != nullptr ? c.state : "missing");
    }

    // A state sent as an object routes like the same state sent as text.
    BridgeFixture f (true);
    f.devices.plugOutput ("Lute", "out-a");
    f.create();
    f.send ("lwStateChanged", R"({"state": {"channel": 3, "ports": {"outputs": [{"portName": "Lute", "portIdx": 0}]}}})");
    EXPECT_EQ (f.devices.getNumOpenOutputs ("out-a"), 1);
}
