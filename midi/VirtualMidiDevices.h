#pragma once

#include "MidiDevices.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

//==============================================================================
/** Software MIDI devices that stand in for hardware in tests and benchmarks.

    Devices can be plugged and unplugged at any time (also while open),
    reordered, given duplicate names or identifiers, and made to fail their next
    open. Outputs record everything they are sent with the time it was sent;
    inputs deliver injected messages from a thread of their own, as a driver does.

    An open device that has been unplugged stays a valid object, but sends
    nothing and delivers nothing, like a real device that has gone away.
*/
class VirtualMidiDevices final : public MidiDevices
{
public:
    VirtualMidiDevices();
    ~VirtualMidiDevices() override;

    struct SentMessage
    {
        juce::MidiMessage message;
        double sentMs = 0.0;        // on the juce::Time::getMillisecondCounterHiRes scale
    };

    using SendObserver = std::function<void (const juce::String& identifier, const SentMessage&)>;
    using CloseHook = std::function<void (const juce::String& identifier)>;

    //==============================================================================
    void plugOutput (const juce::String& name, const juce::String& identifier, int index = -1);
    void plugInput  (const juce::String& name, const juce::String& identifier, int index = -1);
    void unplugOutput (const juce::String& identifier);   // every output with this identifier
    void unplugInput  (const juce::String& identifier);   // every input with this identifier
    void setOutputs (const juce::Array<juce::MidiDeviceInfo>& outputsInOrder);
    void setInputs  (const juce::Array<juce::MidiDeviceInfo>& inputsInOrder);

    /** The next open of this identifier (input or output) fails. */
    void failNextOpen (const juce::String& identifier);

    //==============================================================================
    /** Everything sent to outputs with this identifier so far, in send order. */
    std::vector<SentMessage> getSent (const juce::String& identifier) const;
    void clearSent();

    /** Waits until at least this many messages were sent to the identifier. */
    bool waitForSent (const juce::String& identifier, size_t count, int timeoutMs = 60000) const;

    /** Called on the sending thread for every recorded message; keep it short. */
    void setSendObserver (SendObserver observer);

    /** Called by an output as it closes, on the closing thread: lets a test make
        closing slow, or hold it at a known point.
    */
    void setOutputCloseHook (CloseHook hook);

    /** When false, outputs only count what they are sent (for allocation-free benchmarks). */
    void setRecording (bool shouldRecord);
    int64_t getNumSent() const;

    int getNumOpenOutputs (const juce::String& identifier) const;
    int getNumOpenInputs (const juce::String& identifier) const;
    int getNumStartedInputs (const juce::String& identifier) const;
    int getNumOpens (const juce::String& identifier) const;           // successful opens so far

    //==============================================================================
    /** Queues a message for every open input with this identifier; each one
        delivers it from its own thread if it is started by then. A message
        with a time stamp above zero keeps it, as a driver's stamp of when the
        message came in (seconds on the juce::Time::getMillisecondCounterHiRes()
        scale); one without is stamped as it is delivered.
    */
    void injectInput (const juce::String& identifier, const juce::MidiMessage& message);

    /** Waits until every injected message has been delivered or discarded. */
    bool waitForInputIdle (int timeoutMs = 5000) const;

    //==============================================================================
    /** Inputs opened from now on stop the way JUCE's Linux (ALSA) inputs do:
        stop() clears a flag and returns at once, so a delivery already past that
        flag still calls back afterwards; only closing the device waits for it.
        By default stop() waits for a delivery under way, as the layer promises.
    */
    void setStopReturnsAtOnce (bool shouldReturnAtOnce);

    /** The next delivery on an input with this identifier, once it has passed the
        started check, waits there until its device is being closed: the latest
        moment a late callback can come. Only for inputs that stop at once.
    */
    void holdNextDelivery (const juce::String& identifier);

    /** Waits until a delivery is being held by holdNextDelivery(). */
    bool waitForHeldDelivery (int timeoutMs = 60000) const;

    //==============================================================================
    juce::Array<juce::MidiDeviceInfo> getAvailableOutputs() override;
    juce::Array<juce::MidiDeviceInfo> getAvailableInputs() override;
    std::unique_ptr<MidiOutputDevice> openOutput (const juce::String& identifier) override;
    std::unique_ptr<MidiInputDevice> openInput (const juce::String& identifier,
                                                MidiInputDeviceCallback& callback) override;

    struct Shared;

private:
    std::shared_ptr<Shared> shared;

    JUCE_DECLARE_NON_COPYABLE (VirtualMidiDevices)
};
