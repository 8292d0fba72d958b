#include "PluginProcessor.h"

#include "../editor/PluginEditor.h"
#include "../midi/SystemMidiDevices.h"
#include "ForwardFilter.h"
#include "RoutingChoice.h"

//==============================================================================
LUTEWYRMRPGAudioProcessor::LUTEWYRMRPGAudioProcessor (MidiDevices& devices)
    : AudioProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      midiDevices (devices)
{
    const juce::ScopedLock sl (stateLock);
    persisted.instanceId = juce::Uuid().toString();
}

LUTEWYRMRPGAudioProcessor::~LUTEWYRMRPGAudioProcessor() = default;

MidiDevices& LUTEWYRMRPGAudioProcessor::defaultMidiDevices()
{
    return SystemMidiDevices::getInstance();
}

//==============================================================================
void LUTEWYRMRPGAudioProcessor::prepareToPlay (double, int)
{
    // Room for a busy block's forwarded events, so the audio thread does not
    // allocate in the steady state. Each event takes at most 9 bytes here.
    forwardScratch.ensureSize (2048 * 9);
}

void LUTEWYRMRPGAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    juce::ScopedNoDenormals noDenormals;

    for (auto channel = getTotalNumInputChannels(); channel < getTotalNumOutputChannels(); ++channel)
        buffer.clear (channel, 0, buffer.getNumSamples());

    if (midi.isEmpty())
        return;

    {
        const juce::ScopedTryLock tl (forwardLock);

        if (tl.isLocked() && forwardOutput != nullptr)
        {
            const auto channel = forwardChannel.load();
            forwardScratch.clear();

            for (const auto metadata : midi)
            {
                // Everything forwarded is at most three bytes; skipping longer
                // events first keeps system exclusive from allocating here.
                if (metadata.numBytes > 3)
                    continue;

                auto message = metadata.getMessage();

                if (! shouldForwardToOutput (message))
                    continue;

                if (channel >= 1 && channel <= 16)
                    message.setChannel (channel);

                forwardScratch.addEvent (message, metadata.samplePosition);
            }

            if (! forwardScratch.isEmpty())
                forwardOutput->sendBlockOfMessages (forwardScratch,
                                                    juce::Time::getMillisecondCounterHiRes(),
                                                    getSampleRate());
        }
    }

    if (wrapperType != wrapperType_Standalone)
        hostMidi.push (midi);
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

    const auto parsed = juce::JSON::parse (juce::String::fromUTF8 (static_cast<const char*> (data), sizeInBytes));

    {
        const juce::ScopedLock sl (stateLock);
        StateBlob::applyTo (parsed, persisted);
    }

    applyRoutingFromState();
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

//==============================================================================
void LUTEWYRMRPGAudioProcessor::applyRoutingFromState()
{
    const juce::ScopedLock runLock (routingLock);

    const auto choice = chooseRouting (getWebState());
    forwardChannel.exchange (choice.channel);

    // forwardOutputName is only written below, under routingLock, so reading it
    // here without forwardLock is safe.
    if (choice.outputName == forwardOutputName)
        return;

    // Enumerating and opening can be slow; no lock the audio thread tries is held.
    std::unique_ptr<MidiOutputDevice> newOutput;

    if (choice.outputName.isNotEmpty())
    {
        for (auto& info : midiDevices.getAvailableOutputs())
        {
            if (info.name == choice.outputName)
            {
                newOutput = midiDevices.openOutput (info.identifier);

                if (newOutput != nullptr)
                    newOutput->startBackgroundThread();

                break;
            }
        }
    }

    const juce::ScopedLock sl (forwardLock);
    forwardOutputName = newOutput != nullptr ? choice.outputName : juce::String();
    std::swap (forwardOutput, newOutput);
    newOutput.reset();      // closes the previous device while the audio thread is kept out
}
