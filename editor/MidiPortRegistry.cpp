#include "MidiPortRegistry.h"

MidiPortRegistry::MidiPortRegistry (MidiDevices& d, bool plugin)
    : devices (d), isPlugin (plugin)
{
    for (auto& info : devices.getAvailableOutputs())
        outputPorts.push_back ({ info.identifier, info.name, nullptr });

    if (isPlugin)
    {
        inputPorts.push_back ({ hostTrackIdentifier, hostTrackName, nullptr });
    }
    else
    {
        for (auto& info : devices.getAvailableInputs())
            inputPorts.push_back ({ info.identifier, info.name, nullptr });
    }

    publishInputs();
    keepLists();
}

MidiPortRegistry::~MidiPortRegistry()
{
    stopInputs();

    // Inputs go first, then outputs, each closing its open devices.
    inputPorts.clear();
    outputPorts.clear();
}

void MidiPortRegistry::keepLists()
{
    outputNames.clear();
    outputIdentifiers.clear();
    inputNames.clear();
    inputIdentifiers.clear();

    for (auto& port : outputPorts)
    {
        outputNames.add (port.name);
        outputIdentifiers.add (port.identifier);
    }

    for (auto& port : inputPorts)
    {
        inputNames.add (port.name);
        inputIdentifiers.add (port.identifier);
    }
}

const std::shared_ptr<MidiOutputDevice>& MidiPortRegistry::getOrOpenOutput (int port)
{
    auto& record = outputPorts[(size_t) port];

    if (record.device == nullptr)
        record.device = devices.openOutput (record.identifier);

    return record.device;
}

void MidiPortRegistry::openInput (int port, MidiInputDeviceCallback& callback)
{
    auto& record = inputPorts[(size_t) port];

    if (record.identifier == hostTrackIdentifier || record.device != nullptr)
        return;

    record.device = devices.openInput (record.identifier, callback);

    if (record.device == nullptr)
        return;

    // Published before starting, so the device's first message finds its port.
    publishInputs();
    record.device->start();
}

juce::String MidiPortRegistry::findInputIdentifier (const MidiInputDevice* device) const
{
    const auto snapshot = std::atomic_load (&inputSnapshot);

    for (auto& [openDevice, identifier] : *snapshot)
        if (openDevice == device && device != nullptr)
            return identifier;

    return {};
}

void MidiPortRegistry::publishInputs()
{
    auto snapshot = std::make_shared<InputSnapshot>();

    for (auto& port : inputPorts)
        snapshot->emplace_back (port.device.get(), port.identifier);

    std::atomic_store (&inputSnapshot, std::shared_ptr<const InputSnapshot> (std::move (snapshot)));
}

bool MidiPortRegistry::listsDiffer (const juce::Array<juce::MidiDeviceInfo>& outputs,
                                    const juce::Array<juce::MidiDeviceInfo>& inputs) const
{
    // Counts first, then identifiers position by position; names never count.
    if ((size_t) outputs.size() != outputPorts.size())
        return true;

    if (! isPlugin && (size_t) inputs.size() != inputPorts.size())
        return true;

    for (int i = 0; i < outputs.size(); ++i)
        if (outputs[i].identifier != outputPorts[(size_t) i].identifier)
            return true;

    if (! isPlugin)
        for (int i = 0; i < inputs.size(); ++i)
            if (inputs[i].identifier != inputPorts[(size_t) i].identifier)
                return true;

    return false;
}

template <typename Port>
static std::vector<Port> rebuild (const juce::Array<juce::MidiDeviceInfo>& current, std::vector<Port>& old)
{
    std::vector<Port> ports;

    for (auto& info : current)
    {
        Port port { info.identifier, info.name, nullptr };

        // Only the first old record with this identifier is considered, so a
        // duplicate identifier takes the device over once.
        auto match = std::find_if (old.begin(), old.end(),
                                   [&] (const Port& p) { return p.identifier == info.identifier; });

        if (match != old.end())
            port.device = std::move (match->device);

        ports.push_back (std::move (port));
    }

    return ports;
}

bool MidiPortRegistry::refresh()
{
    const auto outputs = devices.getAvailableOutputs();
    const auto inputs = isPlugin ? juce::Array<juce::MidiDeviceInfo>() : devices.getAvailableInputs();

    if (! listsDiffer (outputs, inputs))
        return false;

    // Outputs whose device has gone are closed when the old list is destroyed.
    outputPorts = rebuild (outputs, outputPorts);

    if (! isPlugin)
    {
        // An input whose device has gone is stopped and closed before anything
        // else changes, so it cannot deliver into the new numbering.
        std::vector<std::unique_ptr<MidiInputDevice>> vanished;

        for (auto& port : inputPorts)
        {
            const auto stillThere = std::any_of (inputs.begin(), inputs.end(),
                                                 [&] (const juce::MidiDeviceInfo& info)
                                                 { return info.identifier == port.identifier; });

            if (port.device != nullptr && ! stillThere)
            {
                port.device->stop();
                vanished.push_back (std::move (port.device));
            }
        }

        if (! vanished.empty())
        {
            publishInputs();
            vanished.clear();
        }

        inputPorts = rebuild (inputs, inputPorts);
        publishInputs();
    }

    keepLists();
    return true;
}

void MidiPortRegistry::stopInputs()
{
    for (auto& port : inputPorts)
        if (port.device != nullptr)
            port.device->stop();
}
