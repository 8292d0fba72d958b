#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

//==============================================================================
/*  The one place where the product meets MIDI hardware.

    Everything above this layer (processor, editor) lists, opens and talks to
    MIDI devices only through these interfaces. SystemMidiDevices delegates to
    juce::MidiInput / juce::MidiOutput and adds nothing; VirtualMidiDevices
    stands in for hardware in tests, benchmarks and the end-to-end harness.
*/

//==============================================================================
/** An open MIDI output. Deleting it closes the device. */
class MidiOutputDevice
{
public:
    virtual ~MidiOutputDevice() = default;

    virtual juce::MidiDeviceInfo getDeviceInfo() const = 0;

    /** Sends a message at once, on the calling thread. */
    virtual void sendMessageNow (const juce::MidiMessage& message) = 0;

    /** Schedules a block of events: each one is due at
        millisecondCounterToStartAt + samplePosition * 1000 / samplesPerSecondForBuffer
        and is sent by the device's background thread.
    */
    virtual void sendBlockOfMessages (const juce::MidiBuffer& buffer,
                                      double millisecondCounterToStartAt,
                                      double samplesPerSecondForBuffer) = 0;

    /** Starts the thread that delivers scheduled blocks. */
    virtual void startBackgroundThread() = 0;
};

//==============================================================================
class MidiInputDevice;

/** Receives messages from an open input, on the device's own thread. */
class MidiInputDeviceCallback
{
public:
    virtual ~MidiInputDeviceCallback() = default;

    virtual void handleIncomingMidiMessage (MidiInputDevice* source, const juce::MidiMessage& message) = 0;
};

/** An open MIDI input. Deleting it stops and closes the device. */
class MidiInputDevice
{
public:
    virtual ~MidiInputDevice() = default;

    virtual juce::MidiDeviceInfo getDeviceInfo() const = 0;

    /** Starts delivering messages to the callback given at opening. */
    virtual void start() = 0;

    /** Stops delivering; when this returns no callback is running or will run. */
    virtual void stop() = 0;
};

//==============================================================================
/** Enumerates and opens MIDI devices. All calls may come from any thread. */
class MidiDevices
{
public:
    virtual ~MidiDevices() = default;

    virtual juce::Array<juce::MidiDeviceInfo> getAvailableOutputs() = 0;
    virtual juce::Array<juce::MidiDeviceInfo> getAvailableInputs() = 0;

    /** Returns nullptr if the device is unknown or cannot be opened. */
    virtual std::unique_ptr<MidiOutputDevice> openOutput (const juce::String& identifier) = 0;

    /** Returns nullptr if the device is unknown or cannot be opened.
        The callback must outlive the returned device.
    */
    virtual std::unique_ptr<MidiInputDevice> openInput (const juce::String& identifier,
                                                        MidiInputDeviceCallback& callback) = 0;
};
