#pragma once

#include "MidiPortRegistry.h"

class LUTEWYRMRPGAudioProcessor;

//==============================================================================
/** The native end of the page's MIDI and file events.

    The page sends "midiSend", "midiOpenInput", "fileDownload" and
    "lwStateChanged"; this class handles them and sends "midiReceive" and
    "midiPortsChanged" back through an event sink (the web view, in the editor).
    It owns the port registry, and is the callback of every input it opens.

    Everything runs on the message thread, except handleIncomingMidiMessage,
    which input devices call on their own threads.
*/
class PageBridge final : public MidiInputDeviceCallback
{
public:
    using EventSink = std::function<void (const juce::Identifier& eventId, const juce::var& payload)>;

    PageBridge (LUTEWYRMRPGAudioProcessor& processor, bool isPlugin, EventSink sink);
    ~PageBridge() override;

    //==============================================================================
    // Page events.
    void handleMidiSend (const juce::var& payload);
    void handleOpenMidiInput (const juce::var& payload);
    void handleStateChanged (const juce::var& payload);

    /** Asks the user where to save the page's text, under a safe version of the
        suggested name, starting in the desktop folder; needs nothing of the bridge.
    */
    static void handleFileDownload (const juce::var& payload);

    //==============================================================================
    /** Rebuilds the port lists if the system's devices changed, and tells the page. */
    void pollMidiDevices();

    /** Sends the host track's queued messages to the page, one event each;
        returns how many there were.
    */
    int drainHostMidi();

    void emitPortsChanged();

    /** Stops every open input, before the sink's target goes away. */
    void stopInputs()                                  { ports.stopInputs(); }

    const MidiPortRegistry& getPorts() const noexcept  { return ports; }

private:
    void handleIncomingMidiMessage (MidiInputDevice* source, const juce::MidiMessage& message) override;
    void emit (const juce::Identifier& eventId, const juce::var& payload);

    LUTEWYRMRPGAudioProcessor& processor;
    EventSink sink;

    // Made on the message thread, copied by device threads into posted tasks.
    JUCE_DECLARE_WEAK_REFERENCEABLE (PageBridge)
    const juce::WeakReference<PageBridge> weakThis { this };

    // Last, so it goes first: its open inputs are closed, and a delivery that
    // was already under way has finished, while everything a device callback
    // touches (the weak reference above, the processor, the sink) still exists.
    MidiPortRegistry ports;

    JUCE_DECLARE_NON_COPYABLE (PageBridge)
};
