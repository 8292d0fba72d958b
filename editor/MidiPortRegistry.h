#pragma once

#include "../midi/MidiDevices.h"

//==============================================================================
/** One MIDI port as the page sees it: a device identifier (the key), its display
    name, and the device once the page has used the port.
*/
struct OutputPort
{
    juce::String identifier, name;
    std::shared_ptr<MidiOutputDevice> device;     // shared with the sends still waiting for it
};

struct InputPort
{
    juce::String identifier, name;
    std::unique_ptr<MidiInputDevice> device;
};

//==============================================================================
/** The editor's ordered lists of output and input ports.

    The page names ports by their position in these lists. The lists follow the
    system's devices: refresh() compares them with the current enumeration and
    rebuilds them on any change, carrying open devices over by identifier.

    In a plug-in the only input is the host track, which has no device.

    Everything runs on the message thread except findInputIdentifier(), which input
    devices call from their own threads: it reads an immutable snapshot of the
    input devices that is replaced whole, so it sees either the old or the new
    list and never waits for the message thread.
*/
class MidiPortRegistry
{
public:
    static inline const juce::String hostTrackIdentifier { "__DAW__" },
                                     hostTrackName { "DAW (host track)" };

    MidiPortRegistry (MidiDevices& devices, bool isPlugin);
    ~MidiPortRegistry();

    int getNumOutputs() const noexcept              { return (int) outputPorts.size(); }
    int getNumInputs() const noexcept               { return (int) inputPorts.size(); }
    const OutputPort& getOutput (int port) const    { return outputPorts[(size_t) port]; }
    const InputPort& getInput (int port) const      { return inputPorts[(size_t) port]; }

    /** The lists as they stand, kept until the next change: reading them per
        message copies nothing.
    */
    const juce::StringArray& getOutputNames() const noexcept        { return outputNames; }
    const juce::StringArray& getInputNames() const noexcept         { return inputNames; }
    const juce::StringArray& getOutputIdentifiers() const noexcept  { return outputIdentifiers; }
    const juce::StringArray& getInputIdentifiers() const noexcept   { return inputIdentifiers; }

    /** The output's device, opened on first use; nullptr if it cannot be opened. */
    const std::shared_ptr<MidiOutputDevice>& getOrOpenOutput (int port);

    /** Opens and starts the input unless it is open already or is the host track. */
    void openInput (int port, MidiInputDeviceCallback& callback);

    /** Any thread: the identifier of the input record holding this device, or
        an empty string.
    */
    juce::String findInputIdentifier (const MidiInputDevice* device) const;

    /** Compares with the system's devices; rebuilds and returns true on a change. */
    bool refresh();

    /** Stops every open input; no device callback runs once this returns. */
    void stopInputs();

private:
    using InputSnapshot = std::vector<std::pair<const MidiInputDevice*, juce::String>>;

    bool listsDiffer (const juce::Array<juce::MidiDeviceInfo>& outputs,
                      const juce::Array<juce::MidiDeviceInfo>& inputs) const;
    void publishInputs();
    void keepLists();

    MidiDevices& devices;
    const bool isPlugin;

    std::vector<OutputPort> outputPorts;
    std::vector<InputPort> inputPorts;
    juce::StringArray outputNames, inputNames, outputIdentifiers, inputIdentifiers;

    // Read by device threads through std::atomic_load, replaced by std::atomic_store.
    std::shared_ptr<const InputSnapshot> inputSnapshot;

    JUCE_DECLARE_NON_COPYABLE (MidiPortRegistry)
};
