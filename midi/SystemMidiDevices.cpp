#include "SystemMidiDevices.h"

namespace
{
    class SystemOutput final : public MidiOutputDevice
    {
    public:
        explicit SystemOutput (std::unique_ptr<juce::MidiOutput> d) : device (std::move (d)) {}

        juce::MidiDeviceInfo getDeviceInfo() const override         { return device->getDeviceInfo(); }
        void sendMessageNow (const juce::MidiMessage& m) override    { device->sendMessageNow (m); }

    private:
        std::unique_ptr<juce::MidiOutput> device;
    };

    // The JUCE device calls back with its own juce::MidiInput*, which the layer's
    // users never see; this wrapper hands them itself instead.
    //
    // JUCE's stop() only clears a flag on some platforms (Linux), so a callback
    // already under way would outlive it; the gate makes stop() wait for it.
    class SystemInput final : public MidiInputDevice,
                              private juce::MidiInputCallback
    {
    public:
        SystemInput (const juce::String& identifier, MidiInputDeviceCallback& cb)
            : callback (cb), device (juce::MidiInput::openDevice (identifier, this))
        {
        }

        ~SystemInput() override
        {
            stop();
            device = nullptr;
        }

        bool isOpen() const                                  { return device != nullptr; }
        juce::MidiDeviceInfo getDeviceInfo() const override  { return device->getDeviceInfo(); }

        void start() override
        {
            gate.open();
            device->start();
        }

        void stop() override
        {
            if (device != nullptr)
                device->stop();

            gate.close();
        }

    private:
        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            gate.deliver ([&] { callback.handleIncomingMidiMessage (this, message); });
        }

        MidiInputDeviceCallback& callback;
        DeliveryGate gate;
        std::unique_ptr<juce::MidiInput> device;    // last: closed before the gate goes
    };
}

SystemMidiDevices& SystemMidiDevices::getInstance()
{
    static SystemMidiDevices instance;
    return instance;
}

juce::Array<juce::MidiDeviceInfo> SystemMidiDevices::getAvailableOutputs()
{
    const std::lock_guard<std::mutex> sl (queryLock);
    return juce::MidiOutput::getAvailableDevices();
}

juce::Array<juce::MidiDeviceInfo> SystemMidiDevices::getAvailableInputs()
{
    const std::lock_guard<std::mutex> sl (queryLock);
    return juce::MidiInput::getAvailableDevices();
}

std::unique_ptr<MidiOutputDevice> SystemMidiDevices::openOutput (const juce::String& identifier)
{
    const std::lock_guard<std::mutex> sl (queryLock);

    if (auto device = juce::MidiOutput::openDevice (identifier))
        return std::make_unique<SystemOutput> (std::move (device));

    return nullptr;
}

std::unique_ptr<MidiInputDevice> SystemMidiDevices::openInput (const juce::String& identifier,
                                                               MidiInputDeviceCallback& callback)
{
    const std::lock_guard<std::mutex> sl (queryLock);
    auto input = std::make_unique<SystemInput> (identifier, callback);
    return input->isOpen() ? std::move (input) : nullptr;
}
