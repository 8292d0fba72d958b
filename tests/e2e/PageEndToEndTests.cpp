#include "EditorHarness.h"
#include "processor/RoutingChoice.h"

using Wrapper = juce::AudioProcessor::WrapperType;

namespace
{
    juce::MidiMessage bytesMessage (const Bytes& b)    { return { b.data(), (int) b.size() }; }

    std::vector<Bytes> sentTo (VirtualMidiDevices& devices, const juce::String& identifier)
    {
        std::vector<Bytes> out;
        for (auto& s : devices.getSent (identifier))
            out.push_back (bytesOf (s.message));
        return out;
    }

    juce::String quoted (const juce::String& text)     { return juce::JSON::toString (text); }
}

//==============================================================================
TEST (PageEndToEnd, DeviceNoteReachesThePageAndItsEchoReachesTheOutput)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugInput ("Keys", "in-0");
    h.devices.plugOutput ("Lute", "out-0");
    h.open();

    // The page attached its handler, which opened the device through the bridge.
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumStartedInputs ("in-0") == 1; }));
    ASSERT_EQ (h.eval ("lwDemo.selectOutput ('Lute') && lwDemo.setThru (true)"), juce::var (true));

    const Bytes note { 0x93, 61, 99 };
    h.devices.injectInput ("in-0", bytesMessage (note));

    ASSERT_TRUE (h.waitForPage ("lwDemo.receivedCount === 1"));
    EXPECT_EQ (receivedOn (h, "Keys"), (std::vector<Bytes> { note }));
    ASSERT_TRUE (waitFor ([&] { return ! h.devices.getSent ("out-0").empty(); }));
    EXPECT_EQ (sentTo (h.devices, "out-0"), (std::vector<Bytes> { note }));
}

// Messages that pile up while the message thread is busy cross into the web
// engine together (patch 0026): the page still gets each as a message of its
// own, in order, and a listener that throws loses only its own message.
TEST (PageEndToEnd, ABurstReachesThePageAsMessagesOfTheirOwnInOrder)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugInput ("Keys", "in-0");
    h.open();
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumStartedInputs ("in-0") == 1; }));

    // Three listeners of a page's own: the middle one throws on note 62.
    ASSERT_EQ (h.eval ("(function () { window.all = []; window.heard = [];"
                       "  navigator.requestMIDIAccess().then (function (a) {"
                       "    var input = a.inputs.get ('0');"
                       "    input.addEventListener ('midimessage', function (e) { window.all.push (Array.from (e.data).join (' ')); });"
                       "    input.addEventListener ('midimessage', function (e) { if (e.data[1] === 62) throw new Error ('no'); });"
                       "    input.addEventListener ('midimessage', function (e) { window.heard.push (e.data[1]); });"
                       "    window.listening = true;"
                       "  }); return true; })()"), juce::var (true));
    ASSERT_TRUE (h.waitForPage ("window.listening === true"));

    juce::StringArray all, heard;
    onMessageThread ([&]
    {
        for (int note = 40; note < 80; ++note)
        {
            h.devices.injectInput ("in-0", bytesMessage ({ 0x90, (juce::uint8) note, 100 }));
            all.add ("144 " + juce::String (note) + " 100");

            if (note != 62)
                heard.add (juce::String (note));
        }

        h.devices.waitForInputIdle();
    });

    ASSERT_TRUE (h.waitForPage ("window.all.length === 40")) << h.eval ("window.all.length").toString();
    EXPECT_EQ (h.eval ("window.all.join (',')"), juce::var (all.joinIntoString (",")));
    EXPECT_EQ (h.eval ("window.heard.join (',')"), juce::var (heard.joinIntoString (",")));
}

TEST (PageEndToEnd, PluggedInDeviceAnnouncesItselfAndCanBeUsed)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugOutput ("Lute", "out-0");
    h.open();

    EXPECT_EQ (h.eval ("lwDemo.outputs().join ('|')"), juce::var ("Lute"));
    const auto changesBefore = (int) h.eval ("lwDemo.stateChangeCount");

    // Both in one turn of the message thread, so no device poll sees half of it.
    onMessageThread ([&]
    {
        h.devices.plugOutput ("Harp", "out-1", 0);
        h.devices.plugInput ("Pads", "in-9");
    });
    ASSERT_TRUE (h.waitForPage ("lwDemo.stateChangeCount > " + juce::String (changesBefore), 60000));
    EXPECT_EQ (h.eval ("lwDemo.outputs().join ('|')"), juce::var ("Harp|Lute"));
    EXPECT_EQ (h.eval ("lwDemo.inputs().join ('|')"), juce::var ("Pads"));

    // The page re-attached its handlers, so the new input is open, and the new output plays.
    EXPECT_TRUE (waitFor ([&] { return h.devices.getNumStartedInputs ("in-9") == 1; }));
    EXPECT_EQ (h.eval ("lwDemo.selectOutput ('Harp') && lwDemo.sendNote (64, 80)"), juce::var (true));
    ASSERT_TRUE (waitFor ([&] { return ! h.devices.getSent ("out-1").empty(); }));
    EXPECT_EQ (sentTo (h.devices, "out-1"), (std::vector<Bytes> { { 0x90, 64, 80 } }));
}

// The bootstrap script keeps the lists the editor was built with. After an
// unplug, a reloaded page starts from those, so port numbers must still reach
// the devices the page means until it has been sent the current lists.
TEST (PageEndToEnd, ReloadAfterAnUnplugPlaysIntoTheRightDevices)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugOutput ("Lute", "out-0");
    h.devices.plugOutput ("Harp", "out-1");
    h.devices.plugOutput ("Viol", "out-2");
    h.devices.plugInput ("Keys", "in-0");
    h.devices.plugInput ("Pads", "in-1");
    h.devices.plugInput ("Drum", "in-2");
    h.open();

    onMessageThread ([&]
    {
        h.devices.unplugOutput ("out-0");
        h.devices.unplugInput ("in-0");
    });
    ASSERT_TRUE (h.waitForPage ("lwDemo.outputs().join ('|') === 'Harp|Viol'"));

    h.reload();
    EXPECT_EQ (h.eval ("_juceMidiPorts.length"), juce::var (3));       // the script is as it was built
    ASSERT_TRUE (h.waitForPage ("lwDemo.outputs().join ('|') === 'Harp|Viol' && lwDemo.inputs().join ('|') === 'Pads|Drum'"));

    // Harp is the page's first output now; natively it is the first as well.
    ASSERT_EQ (h.eval ("lwDemo.selectOutput ('Harp') && lwDemo.sendNote (64, 80)"), juce::var (true));
    ASSERT_TRUE (h.devices.waitForSent ("out-1", 1));
    EXPECT_EQ (sentTo (h.devices, "out-1"), (std::vector<Bytes> { { 0x90, 64, 80 } }));
    EXPECT_TRUE (h.devices.getSent ("out-2").empty());

    // A note from Drum is shown as Drum's, not as the device before it.
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumStartedInputs ("in-2") == 1; }));
    h.devices.injectInput ("in-2", bytesMessage ({ 0x90, 36, 90 }));
    ASSERT_TRUE (h.waitForPage ("lwDemo.receivedCount === 1"));
    EXPECT_EQ (receivedOn (h, "Drum"), (std::vector<Bytes> { { 0x90, 36, 90 } }));
}

//==============================================================================
TEST (PageEndToEnd, HostTrackMessagesReachThePageInOrder)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.open();

    EXPECT_EQ (h.eval ("lwDemo.inputs().join ('|')"), juce::var ("DAW (host track)"));

    std::vector<Bytes> played;
    for (int block = 0; block < 5; ++block)
    {
        juce::AudioBuffer<float> audio (2, 512);
        juce::MidiBuffer midi;
        for (int i = 0; i < 20; ++i)
        {
            const Bytes b { (juce::uint8) (0x90 | (i % 16)), (juce::uint8) (block * 20 + i), (juce::uint8) (i + 1) };
            midi.addEvent (b.data(), 3, i * 10);
            played.push_back (b);
        }
        h.processor->processBlock (audio, midi);
    }

    ASSERT_TRUE (h.waitForPage ("lwDemo.receivedCount === 100"));
    EXPECT_EQ (receivedOn (h, "DAW (host track)"), played);
}

TEST (PageEndToEnd, PageSettingsRouteTheHostTrackToTheChosenOutput)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.devices.plugOutput ("Lute A", "out-a");
    h.devices.plugOutput ("Lute B", "out-b");
    h.open();

    ASSERT_EQ (h.eval ("lwDemo.selectOutput ('Lute B') && lwDemo.setChannel (10)"), juce::var (10));
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumOpenOutputs ("out-b") == 1; }));
    EXPECT_TRUE (h.processor->getWebState().contains ("\"Lute B\""));

    juce::AudioBuffer<float> audio (2, 512);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
    midi.addEvent (juce::MidiMessage::controllerEvent (1, 1, 50), 1);       // modulation: not forwarded
    h.processor->processBlock (audio, midi);

    // The forwarder sends on its own thread; out-a was never opened.
    ASSERT_TRUE (h.devices.waitForSent ("out-b", 1, 60000));
    EXPECT_EQ (sentTo (h.devices, "out-b"), (std::vector<Bytes> { { 0x99, 60, 100 } }));
    EXPECT_TRUE (h.devices.getSent ("out-a").empty());
}

// A preset, undo or A/B restore while the editor is open: the page starts
// again from the restored settings, and the document that showed the old ones
// cannot write them back, though it keeps reporting them to the last.
TEST (PageEndToEnd, AHostRestoreWhileOpenReachesThePageAndCannotBeUndone)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.devices.plugOutput ("Lute A", "out-a");
    h.devices.plugOutput ("Lute B", "out-b");
    h.open();

    ASSERT_EQ (h.eval ("lwDemo.selectOutput ('Lute A') && lwDemo.setChannel (2)"), juce::var (2));
    ASSERT_TRUE (waitFor ([&] { return chooseRouting (h.processor->getWebState()) == (RoutingChoice { 2, "Lute A" }); }));
    ASSERT_EQ (h.eval ("window.lwMarker = 1; setInterval (function () { lwDemo.setChannel (2); }, 1); true"), juce::var (true));

    const auto restoreWith = [&] (const juce::String& pageSettings)
    {
        juce::MemoryBlock blob;
        h.processor->getStateInformation (blob);
        auto object = juce::JSON::parse (blob.toString());
        object.getDynamicObject()->setProperty ("state", pageSettings);
        const auto text = juce::JSON::toString (object);
        h.processor->setStateInformation (text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
    };

    const auto restored = pageState ("Lute B", 9);
    restoreWith (restored);
    EXPECT_EQ (h.processor->getWebState(), restored);

    // A view of its own for the restored settings (evaluations wait for it:
    // one sent to the old view would never come back).
    ASSERT_TRUE (waitFor ([&] { return onMessageThread<int> ([&] { return h.editor().getBrowsersMade(); }) == 2; }));
    ASSERT_TRUE (h.waitForPage ("window.lwMarker === undefined && lwDemo.ready === true && lwDemo.settingsFrom === 'instance'"));
    EXPECT_EQ (h.eval ("lwDemo.settings().output + '/' + lwDemo.settings().channel"), juce::var ("Lute B/9"));
    EXPECT_EQ (chooseRouting (h.processor->getWebState()), (RoutingChoice { 9, "Lute B" }));
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumOpenOutputs ("out-b") == 1; }));

    // The same settings again change nothing the player sees.
    ASSERT_EQ (h.eval ("window.lwMarker = 2; true"), juce::var (true));
    restoreWith (h.processor->getWebState());
    onMessageThread ([] {});        // after a change message, had there been one
    EXPECT_EQ (onMessageThread<int> ([&] { return h.editor().getBrowsersMade(); }), 2);
    EXPECT_EQ (h.eval ("window.lwMarker"), juce::var (2));
}

// A reload (or a way back to the game) finds the settings the player chose
// last, not those the editor's view was made with, in the same view.
TEST (PageEndToEnd, AReloadStartsFromThePlayersLatestSettings)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.devices.plugOutput ("Lute A", "out-a");
    h.devices.plugOutput ("Lute B", "out-b");
    h.open();

    for (const auto& [output, channel] : { std::pair { "Lute A", 3 }, std::pair { "Lute B", 11 } })
    {
        ASSERT_EQ (h.eval ("lwDemo.selectOutput (" + quoted (output) + ") && lwDemo.setChannel (" + juce::String (channel) + ")"),
                   juce::var (channel));
        ASSERT_TRUE (waitFor ([&] { return chooseRouting (h.processor->getWebState()) == (RoutingChoice { channel, output }); }));

        h.reload();
        EXPECT_EQ (h.eval ("lwDemo.settingsFrom + ' ' + lwDemo.settings().output + '/' + lwDemo.settings().channel"),
                   juce::var ("instance " + juce::String (output) + "/" + juce::String (channel)));
        EXPECT_EQ (chooseRouting (h.processor->getWebState()), (RoutingChoice { channel, output }));
    }

    EXPECT_EQ (onMessageThread<int> ([&] { return h.editor().getBrowsersMade(); }), 1) << "a reload is only a reload";
}

// The routing follows its device with the editor open too: a synth switched
// on after the settings named it is played, and one pulled and put back under
// a new identifier gets only what was played after it came back.
TEST (PageEndToEnd, TheRoutedOutputFollowsItsDeviceWithTheEditorOpen)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.open();
    prepare (*h.processor);

    ASSERT_EQ (h.eval ("lwDemo.selectOutput ('synth')"), juce::var (false)) << "kept by name while absent";
    ASSERT_TRUE (waitFor ([&] { return chooseRouting (h.processor->getWebState()).outputName == "synth"; }));

    juce::AudioBuffer<float> audio (2, 256);
    const auto play = [&] (int note, int samplePosition)
    {
        juce::MidiBuffer midi;
        midi.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 100), samplePosition);
        h.processor->processBlock (audio, midi);
    };

    h.devices.plugOutput ("synth", "synth-1");
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumOpenOutputs ("synth-1") >= 1; }));
    play (60, 0);
    ASSERT_TRUE (h.devices.waitForSent ("synth-1", 1, 60000));
    EXPECT_EQ (sentTo (h.devices, "synth-1"), (std::vector<Bytes> { { 0x90, 60, 100 } }));

    // A note due in three seconds, then the cable is pulled.
    play (61, 3 * 48000);
    h.devices.unplugOutput ("synth-1");
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumOpenOutputs ("synth-1") == 0; }));

    h.devices.plugOutput ("synth", "synth-2");
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumOpenOutputs ("synth-2") >= 1; }));
    play (62, 3 * 48000 + 24000);
    ASSERT_TRUE (h.devices.waitForSent ("synth-2", 1, 60000));
    EXPECT_EQ (sentTo (h.devices, "synth-2"), (std::vector<Bytes> { { 0x90, 62, 100 } }));
    EXPECT_EQ (sentTo (h.devices, "synth-1"), (std::vector<Bytes> { { 0x90, 60, 100 } }));
}

// A hidden view is handed nothing by the framework: what it missed is counted
// as dropped, not delivered, and once it shows again the page is told the
// device lists that changed meanwhile.
TEST (PageEndToEnd, AHiddenViewCountsWhatItMissedAndIsToldTheListsWhenShown)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugInput ("Keys", "in-0");
    h.open();
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumStartedInputs ("in-0") == 1; }));

    // What the view misses besides: the answers to the page's clock questions,
    // whenever a round of them falls into this time.
    const auto dropped = [&] { return onMessageThread<int> ([&] { return h.editor().getEventsDroppedWhileHidden(); }); };

    onMessageThread ([&] { h.editor().getBrowser().setVisible (false); });
    for (int i = 0; i < 5; ++i)
        h.devices.injectInput ("in-0", bytesMessage ({ 0x90, (juce::uint8) (60 + i), 100 }));
    ASSERT_TRUE (h.devices.waitForInputIdle());
    onMessageThread ([] {});            // the deliveries posted before this have run
    ASSERT_GE (dropped(), 5);

    // The device poll's list change is missed too.
    const auto droppedBefore = dropped();
    h.devices.plugOutput ("Harp", "out-1");
    ASSERT_TRUE (waitFor ([&] { return onMessageThread<int> ([&] { return h.editor().getBridge().getPorts().getNumOutputs(); }) == 1; }));
    EXPECT_GT (dropped(), droppedBefore);
    EXPECT_EQ (h.eval ("lwDemo.receivedCount"), juce::var (0));
    EXPECT_EQ (h.eval ("lwDemo.outputs().join ('|')"), juce::var (""));

    onMessageThread ([&] { h.editor().getBrowser().setVisible (true); });
    ASSERT_TRUE (h.waitForPage ("lwDemo.outputs().join ('|') === 'Harp'"));
    h.devices.injectInput ("in-0", bytesMessage ({ 0x90, 72, 100 }));
    ASSERT_TRUE (h.waitForPage ("lwDemo.receivedCount === 1"));
    EXPECT_EQ (receivedOn (h, "Keys"), (std::vector<Bytes> { { 0x90, 72, 100 } }));
}

TEST (PageEndToEnd, EachPluginInstanceHasItsOwnIdAndSettings)
{
    EditorHarness first (Wrapper::wrapperType_VST3), second (Wrapper::wrapperType_LV2);

    first.processor->setWebState (R"({"channel": 3, "ports": {"outputs": []}, "velocity": 71})");
    second.processor->setWebState (R"({"channel": 12, "ports": {"outputs": []}, "velocity": 33})");
    first.open();
    second.open();

    EXPECT_EQ (first.eval ("lwDemo.instanceId"), juce::var (first.processor->getInstanceId()));
    EXPECT_EQ (second.eval ("lwDemo.instanceId"), juce::var (second.processor->getInstanceId()));
    EXPECT_NE (first.processor->getInstanceId(), second.processor->getInstanceId());

    EXPECT_EQ (first.eval ("_lwInstanceState.channel + '/' + lwDemo.settings().velocity"), juce::var ("3/71"));
    EXPECT_EQ (second.eval ("_lwInstanceState.channel + '/' + lwDemo.settings().velocity"), juce::var ("12/33"));
}

TEST (PageEndToEnd, StandaloneDeclaresNoInstanceGlobals)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.processor->setWebState (R"({"channel": 3})");
    h.open();

    EXPECT_EQ (h.eval ("typeof _lwInstanceId + ' ' + typeof _lwInstanceState"), juce::var ("undefined undefined"));
}

TEST (PageEndToEnd, HostileSavedStateNeitherRunsNorBreaksThePage)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.devices.plugOutput ("Lute", "out-0");
    h.processor->setWebState ("0; window.pwned = true; </script> \u2028 {");
    h.open();

    EXPECT_EQ (h.eval ("typeof window.pwned"), juce::var ("undefined"));
    EXPECT_EQ (h.eval ("_lwInstanceState === null && lwDemo.outputs().join ('|')"), juce::var ("Lute"));
}

TEST (PageEndToEnd, TextOutsideAsciiCrossesTheBridgeBothWays)
{
    const auto name = juce::String::fromUTF8 ("Lut\xc3\xa9 \xe2\x99\xaa \xe5\xbc\xa6");      // Luté ♪ 弦

    EditorHarness h (Wrapper::wrapperType_VST3);
    h.devices.plugOutput (name, "out-0");
    h.open();

    // In: the name arrives in the bootstrap script unchanged.
    EXPECT_EQ (h.eval ("lwDemo.outputs()[0]"), juce::var (name));

    // Out: the page's settings naming it come back and open that device.
    EXPECT_EQ (h.eval ("lwDemo.selectOutput (" + quoted (name) + ")"), juce::var (true));
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumOpenOutputs ("out-0") == 1; }));
    EXPECT_TRUE (h.processor->getWebState().contains (name));

    // Control characters, a NUL among them, in a report: delivered, the NUL
    // as its escape and everything else as sent.
    ASSERT_EQ (h.eval ("window.__JUCE__.backend.emitEvent ('lwStateChanged', { state: 'a\\u0000b\\u0001c\\u001fd' }); true"),
               juce::var (true));
    EXPECT_TRUE (waitFor ([&] { return h.processor->getWebState().startsWith ("a\\u0000b"); }))
        << h.processor->getWebState();
    EXPECT_EQ (h.processor->getWebState(), "a\\u0000b" + juce::String::charToString (1) + "c" + juce::String::charToString (0x1f) + "d");
}

// A note key pressed while the output list still has the focus (right after
// the player chose an output) plays a note and never reaches the list, whose
// type-ahead would otherwise choose another output.
TEST (PageEndToEnd, NoteKeysNeverReachTheOutputList)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugOutput ("Lute", "out-0");
    h.devices.plugOutput ("Harp", "out-1");
    h.open();
    ASSERT_EQ (h.eval ("lwDemo.selectOutput ('Lute')"), juce::var (true));

    const auto pressed = h.eval (R"(
        (function () {
            var list = document.getElementById ("output-select");
            list.focus();
            var down = new KeyboardEvent ("keydown", { code: "KeyH", key: "h", bubbles: true, cancelable: true });
            list.dispatchEvent (down);
            list.dispatchEvent (new KeyboardEvent ("keyup", { code: "KeyH", key: "h", bubbles: true }));
            return [document.activeElement === list, down.defaultPrevented, lwDemo.settings().output].join ("|");
        })())");

    EXPECT_EQ (pressed, juce::var ("true|true|Lute"));
    ASSERT_TRUE (h.devices.waitForSent ("out-0", 2));
    EXPECT_EQ (sentTo (h.devices, "out-0"), (std::vector<Bytes> { { 0x90, 69, 100 }, { 0x80, 69, 0 } }));
    EXPECT_TRUE (h.devices.getSent ("out-1").empty());
}

// The minimal example page of page/README.md, on the game's origin: it lists
// the ports, plays into the chosen output, shows what arrives, and gets its
// settings back in the plug-in.
TEST (PageEndToEnd, MinimalExamplePageWorksAsDocumented)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.devices.plugOutput ("Lute", "out-0");
    h.devices.plugOutput ("Harp", "out-1");
    h.open();

    const auto address = PageServerEnvironment::address (PageServerEnvironment::gamePort(), "/examples/minimal/");
    const auto load = [&]
    {
        onMessageThread ([&] { h.editor().getBrowser().goToURL (address); });
        return h.waitForPage ("window.minimalPage !== undefined && minimalPage.ready === true");
    };

    ASSERT_TRUE (load());
    EXPECT_EQ (h.eval ("minimalPage.outputs().join ('|')"), juce::var ("Lute|Harp"));
    ASSERT_EQ (h.eval ("minimalPage.select ('Harp') && minimalPage.playNote (60)"), juce::var (true));
    ASSERT_TRUE (h.devices.waitForSent ("out-1", 1));
    EXPECT_EQ (sentTo (h.devices, "out-1"), (std::vector<Bytes> { { 0x90, 60, 100 } }));

    // The host track arrives on its input.
    juce::AudioBuffer<float> audio (2, 64);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (2, 64, (juce::uint8) 90), 0);
    h.processor->processBlock (audio, midi);
    ASSERT_TRUE (h.waitForPage ("minimalPage.received.length === 1"));
    EXPECT_EQ (h.eval ("minimalPage.received[0].join (' ')"), juce::var ("145 64 90"));

    // Its settings reached the host, which routes by them and hands them back.
    ASSERT_TRUE (waitFor ([&] { return h.processor->getWebState().contains ("Harp"); }));
    h.close();
    h.open();
    ASSERT_TRUE (load());
    EXPECT_EQ (h.eval ("document.getElementById ('output').value"), juce::var ("Harp"));
}
