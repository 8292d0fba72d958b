#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <mutex>

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

    /** Sends a message at once, on the calling thread. Messages that must go out
        later are timed by the caller (the processor's forwarder), not by the device.
    */
    virtual void sendMessageNow (const juce::MidiMessage& message) = 0;
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
/** What makes an input's stop() final: deliveries pass through the gate, and
    closing it waits for one that is under way.

    A driver thread may already be inside its delivery when stop() is called
    (JUCE's Linux inputs only clear a flag); without this, the callback could
    still run after its owner believed it had stopped.
*/
class DeliveryGate
{
public:
    /** Any thread: lets deliveries through. */
    void open()
    {
        const std::lock_guard<std::mutex> sl (lock);
        isOpen = true;
    }

    /** Any thread but a delivering one: once this returns, no delivery runs or will run. */
    void close()
    {
        const std::lock_guard<std::mutex> sl (lock);
        isOpen = false;
    }

    /** The device's thread: calls fn if the gate is open, holding it open meanwhile. */
    template <typename Fn>
    void deliver (Fn&& fn)
    {
        const std::lock_guard<std::mutex> sl (lock);

        if (isOpen)
            fn();
    }

    bool isOpenNow() const
    {
        const std::lock_guard<std::mutex> sl (lock);
        return isOpen;
    }

private:
    mutable std::mutex lock;
    bool isOpen = false;
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
