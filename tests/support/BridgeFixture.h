#pragma once

#include "editor/PageBridge.h"
#include "MessageThread.h"
#include "ProcessorFixture.h"

//==============================================================================
/** A PageBridge on virtual devices whose events are recorded instead of sent to
    a web view. Everything touching the bridge runs on the message thread.
*/
struct BridgeFixture
{
    struct Event
    {
        juce::String name;
        juce::var payload;
    };

    explicit BridgeFixture (bool isPlugin) : plugin (isPlugin) {}

    ~BridgeFixture()
    {
        onMessageThread ([this] { bridge.reset(); });
    }

    void create()
    {
        processor = makeProcessor (devices, plugin ? juce::AudioProcessor::wrapperType_VST3
                                                   : juce::AudioProcessor::wrapperType_Standalone);
        onMessageThread ([this]
        {
            bridge = std::make_unique<PageBridge> (*processor, plugin, [this] (const PageBridge::PageEvents& batch)
            {
                if (viewHidden)
                    return false;

                for (auto& [id, p] : batch)
                    events.push_back ({ id.toString(), p });

                ++batches;
                return true;
            });
        });
    }

    void send (const juce::String& event, const juce::String& payloadJson)
    {
        const auto payload = juce::JSON::parse (payloadJson);
        onMessageThread ([&]
        {
            for (auto& e : PageBridge::incomingEvents())
                if (event == e.name && event != "fileDownload")     // that one opens a dialog
                    e.handle (*bridge, payload);
        });
    }

    void poll()              { onMessageThread ([this] { bridge->pollMidiDevices(); }); }
    void hideView()          { onMessageThread ([this] { viewHidden = true; }); }
    void showView()          { onMessageThread ([this] { viewHidden = false; bridge->viewShownAgain(); }); }
    void drain()             { onMessageThread ([this] { bridge->drainHostMidi(); }); }
    void clearEvents()       { onMessageThread ([this] { events.clear(); }); }

    std::vector<Event> takeEvents()
    {
        return onMessageThread<std::vector<Event>> ([this] { return std::exchange (events, {}); });
    }

    /** The events so far, each as "name JSON" on one line. The time a
        message was played differs from run to run, so "time" is left out of
        the text ("midiReceive" and "lwClockPong"); see takeEvents().
    */
    std::vector<juce::String> eventTexts()
    {
        std::vector<juce::String> texts;
        for (auto& e : takeEvents())
        {
            if (auto* object = e.payload.getDynamicObject(); object != nullptr && object->hasProperty ("time"))
            {
                auto copy = e.payload.clone();
                copy.getDynamicObject()->removeProperty ("time");
                texts.push_back (e.name + " " + juce::JSON::toString (copy, true));
                continue;
            }
            texts.push_back (e.name + " " + juce::JSON::toString (e.payload, true));
        }
        return texts;
    }

    std::vector<Bytes> sentTo (const juce::String& identifier) const
    {
        std::vector<Bytes> out;
        for (auto& s : devices.getSent (identifier))
            out.push_back (bytesOf (s.message));
        return out;
    }

    const bool plugin;
    VirtualMidiDevices devices;
    std::unique_ptr<LUTEWYRMRPGAudioProcessor> processor;
    std::unique_ptr<PageBridge> bridge;
    std::vector<Event> events;      // message thread only
    bool viewHidden = false;        // message thread only: the sink refuses events
    int batches = 0;                // message thread only: calls of the sink
};
