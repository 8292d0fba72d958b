#include "PluginProcessor.h"

#include "../editor/PluginEditor.h"
#include "../midi/SystemMidiDevices.h"
#include "ForwardFilter.h"
#include "RoutingChoice.h"

#include <optional>

//==============================================================================
LUTEWYRMRPGAudioProcessor::LUTEWYRMRPGAudioProcessor (MidiDevices& devices)
    : AudioProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      midiDevices (devices)
{
    const juce::ScopedLock sl (stateLock);
    persisted.instanceId = juce::Uuid().toString();
}

LUTEWYRMRPGAudioProcessor::~LUTEWYRMRPGAudioProcessor() = default;     // the forwarder releases held notes

void LUTEWYRMRPGAudioProcessor::releaseResources()
{
    // Playback stops: nothing forwarded may keep sounding, and nothing queued
    // may start a note afterwards.
    forwarder.releaseHeldNotes();
}

MidiDevices& LUTEWYRMRPGAudioProcessor::defaultMidiDevices()
{
    return SystemMidiDevices::getInstance();
}

//==============================================================================
void LUTEWYRMRPGAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    juce::ScopedNoDenormals noDenormals;

    for (auto channel = getTotalNumInputChannels(); channel < getTotalNumOutputChannels(); ++channel)
        buffer.clear (channel, 0, buffer.getNumSamples());

    const auto isPlugin = wrapperType != wrapperType_Standalone;

    // Every block moves the host track's clock on; one without MIDI by its
    // length alone, without even reading the time.
    if (midi.isEmpty())
    {
        if (isPlugin)
            hostTrackClock.skipBlock (buffer.getNumSamples(), getSampleRate());

        return;
    }

    const auto nowMs = juce::Time::getMillisecondCounterHiRes();
    const auto hostBlockStartMs = isPlugin ? hostTrackClock.blockStart (nowMs, buffer.getNumSamples(), getSampleRate())
                                           : nowMs;

    // One walk over the host's events feeds both paths. Neither allocates,
    // locks or searches: each writes into a preallocated queue and commits
    // once, when its writer goes out of scope.
    MidiForwarder::BlockWriter forward (forwarder, nowMs, getSampleRate());
    std::optional<HostMidiQueue::Writer> toEditor;

    if (isPlugin)
        toEditor.emplace (hostMidi, hostBlockStartMs, getSampleRate());

    if (! forward.isOpen() && ! toEditor.has_value())
        return;

    for (const auto metadata : midi)
    {
        // Everything either path takes is at most three bytes long.
        if (metadata.numBytes < 1 || metadata.numBytes > 3)
            continue;

        if (toEditor.has_value())
            toEditor->add (metadata.data, metadata.numBytes, metadata.samplePosition);

        // The routing's channel is applied as each message goes out.
        if (forward.isOpen() && shouldForwardToOutput (metadata.data, metadata.numBytes))
            forward.add (metadata.data, metadata.numBytes, metadata.samplePosition);
    }
}

//==============================================================================
juce::AudioProcessorEditor* LUTEWYRMRPGAudioProcessor::createEditor()
{
    return new LUTEWYRMRPGAudioProcessorEditor (*this);
}

//==============================================================================
void LUTEWYRMRPGAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    juce::var object;

    {
        const juce::ScopedLock sl (stateLock);
        object = StateBlob::toObject (persisted);
    }

    const auto text = StateBlob::toText (object);
    destData.setSize (0);
    destData.append (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

void LUTEWYRMRPGAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 0)
        return;

    // Any bytes at all: JUCE's JSON reader is patched to limit nesting
    // (0009), keep long numbers from overflowing (0010) and read an escaped
    // NUL (0024).
    const auto parsed = juce::JSON::parse (juce::String::fromUTF8 (static_cast<const char*> (data), sizeInBytes));
    bool pageSettingsChanged = false;

    {
        const juce::ScopedLock sl (stateLock);
        const auto before = persisted.webState;
        StateBlob::applyTo (parsed, persisted);

        // Counted under the lock, so that no page report can land between
        // the new settings and the count that makes older documents stale.
        pageSettingsChanged = persisted.webState != before;

        if (pageSettingsChanged)
            ++numRestores;
    }

    applyRoutingFromState();

    if (pageSettingsChanged)
        restoreBroadcaster.sendChangeMessage();
}

bool LUTEWYRMRPGAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto main = layouts.getMainOutputChannelSet();
    return main == juce::AudioChannelSet::mono() || main == juce::AudioChannelSet::stereo();
}

//==============================================================================
int LUTEWYRMRPGAudioProcessor::getEditorWidth() const
{
    const juce::ScopedLock sl (stateLock);
    return persisted.editorWidth;
}

int LUTEWYRMRPGAudioProcessor::getEditorHeight() const
{
    const juce::ScopedLock sl (stateLock);
    return persisted.editorHeight;
}

void LUTEWYRMRPGAudioProcessor::setEditorSize (int width, int height)
{
    const juce::ScopedLock sl (stateLock);
    persisted.editorWidth = width;
    persisted.editorHeight = height;
}

juce::String LUTEWYRMRPGAudioProcessor::getInstanceId() const
{
    const juce::ScopedLock sl (stateLock);
    return persisted.instanceId;
}

juce::String LUTEWYRMRPGAudioProcessor::getWebState() const
{
    const juce::ScopedLock sl (stateLock);
    return persisted.webState;
}

void LUTEWYRMRPGAudioProcessor::setWebState (const juce::String& text)
{
    {
        const juce::ScopedLock sl (stateLock);
        persisted.webState = text;
    }

    applyRoutingFromState();
}

bool LUTEWYRMRPGAudioProcessor::reportWebState (const juce::String& text, juce::uint32 documentRestores)
{
    {
        const juce::ScopedLock sl (stateLock);

        // Made before the latest restore: it shows, and would write back,
        // the settings the player just replaced.
        if (numRestores.load() != documentRestores)
            return false;

        persisted.webState = text;
    }

    applyRoutingFromState();
    return true;
}

//==============================================================================
void LUTEWYRMRPGAudioProcessor::applyRoutingFromState()
{
    const juce::ScopedLock runLock (routingLock);

    const auto choice = chooseRouting (getWebState());
    forwarder.setChannel (choice.channel);

    if (choice.outputName == forwardOutputName)
        return;

    // Enumerating and opening can be slow; the audio thread is never kept waiting.
    openForwardOutput (choice.outputName, choice.outputName.isNotEmpty() ? midiDevices.getAvailableOutputs()
                                                                         : juce::Array<juce::MidiDeviceInfo>());
}

void LUTEWYRMRPGAudioProcessor::followRoutedOutput()
{
    const juce::ScopedLock runLock (routingLock);

    const auto name = chooseRouting (getWebState()).outputName;

    if (name.isEmpty())
        return;

    const auto outputs = midiDevices.getAvailableOutputs();
    const auto stillThere = std::any_of (outputs.begin(), outputs.end(),
                                         [this] (const auto& info) { return info.identifier == forwardOutputIdentifier; });

    const auto anyOfThatName = std::any_of (outputs.begin(), outputs.end(),
                                            [&name] (const auto& info) { return info.name == name; });

    if ((name == forwardOutputName && stillThere) || (forwardOutputName.isEmpty() && ! anyOfThatName))
        return;

    // Gone, or never opened: a device that went away is closed (what was
    // queued for it goes with it), and one of that name that is there now
    // is opened.
    openForwardOutput (name, outputs);
}

void LUTEWYRMRPGAudioProcessor::openForwardOutput (const juce::String& name, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    std::unique_ptr<MidiOutputDevice> newOutput;
    juce::String identifier;

    if (name.isNotEmpty())
    {
        for (auto& info : outputs)
        {
            if (info.name == name)
            {
                newOutput = midiDevices.openOutput (info.identifier);
                identifier = info.identifier;
                break;
            }
        }
    }

    forwardOutputName = newOutput != nullptr ? name : juce::String();
    forwardOutputIdentifier = newOutput != nullptr ? identifier : juce::String();
    forwarder.setOutput (std::move (newOutput));     // closes the previous device
}
