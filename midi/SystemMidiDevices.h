#pragma once

#include "MidiDevices.h"

#include <mutex>

//==============================================================================
/** The computer's real MIDI devices, through juce::MidiInput and juce::MidiOutput.

    Deliberately nothing but delegation (and one lock that keeps JUCE's calls
    one at a time), so that no untested logic hides here.
*/
class SystemMidiDevices final : public MidiDevices
{
public:
    /** The instance shared by every processor of the process. */
    static SystemMidiDevices& getInstance();

    juce::Array<juce::MidiDeviceInfo> getAvailableOutputs() override;
    juce::Array<juce::MidiDeviceInfo> getAvailableInputs() override;

    std::unique_ptr<MidiOutputDevice> openOutput (const juce::String& identifier) override;
    std::unique_ptr<MidiInputDevice> openInput (const juce::String& identifier,
                                                MidiInputDeviceCallback& callback) override;

private:
    // JUCE's Linux MIDI asks one ALSA sequencer handle for every list and
    // open, and such a handle is not for two threads at once; the editor's
    // poll and each processor's may ask together.
    std::mutex queryLock;
};
