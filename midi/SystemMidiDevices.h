#pragma once

#include "MidiDevices.h"

//==============================================================================
/** The computer's real MIDI devices, through juce::MidiInput and juce::MidiOutput.

    Deliberately nothing but delegation, so that no untested logic hides here.
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
};
