#pragma once

#include "midi/VirtualMidiDevices.h"
#include "processor/PluginProcessor.h"

#include <gtest/gtest.h>
#include "support/JucePrinters.h"

#include <functional>
#include <set>

//==============================================================================
/** Makes processors the way a given wrapper would, on virtual MIDI devices. */
inline std::unique_ptr<LUTEWYRMRPGAudioProcessor> makeProcessor (MidiDevices& devices,
                                                                 juce::AudioProcessor::WrapperType wrapper
                                                                     = juce::AudioProcessor::wrapperType_VST3)
{
    juce::AudioProcessor::setTypeOfNextNewPlugin (wrapper);
    auto processor = std::make_unique<LUTEWYRMRPGAudioProcessor> (devices);
    juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_Undefined);
    return processor;
}

/** Prepares a processor as a host does: the rate and block size first, so that
    getSampleRate() and due times are real.
*/
inline void prepare (LUTEWYRMRPGAudioProcessor& processor, double sampleRate = 48000.0, int blockSize = 256)
{
    processor.setRateAndBufferSizeDetails (sampleRate, blockSize);
    processor.prepareToPlay (sampleRate, blockSize);
}

inline juce::String blobText (LUTEWYRMRPGAudioProcessor& processor)
{
    juce::MemoryBlock block;
    processor.getStateInformation (block);
    return juce::String::fromUTF8 (static_cast<const char*> (block.getData()), (int) block.getSize());
}

inline void setBlob (LUTEWYRMRPGAudioProcessor& processor, const juce::String& text)
{
    processor.setStateInformation (text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
}

/** A page state naming one output and a channel, in the form the page writes. */
inline juce::String pageState (const juce::String& outputName, int channel = 0)
{
    return juce::String (R"({"channel":)") + juce::String (channel)
         + R"(,"ports":{"outputs":[{"portName":")" + outputName + R"(","portIdx":0}]}})";
}

inline std::vector<juce::uint8> bytesOf (const juce::MidiMessage& m)
{
    return { m.getRawData(), m.getRawData() + m.getRawDataSize() };
}

using Bytes = std::vector<juce::uint8>;

/** The notes still sounding on an output after everything it was sent, each
    as "channel/note" (channels 1 to 16): a note-on starts one, a note-off (or a
    note-on with velocity 0) ends it, and "all notes off" ends a channel's.
*/
inline std::set<juce::String> soundingNotes (const VirtualMidiDevices& devices, const juce::String& identifier)
{
    std::set<juce::String> sounding;

    for (auto& sent : devices.getSent (identifier))
    {
        const auto& m = sent.message;
        const auto key = juce::String (m.getChannel()) + "/" + juce::String (m.getNoteNumber());

        if (m.isNoteOn())
            sounding.insert (key);
        else if (m.isNoteOff())
            sounding.erase (key);
        else if (m.isAllNotesOff())
            for (auto it = sounding.begin(); it != sounding.end();)
                it = it->startsWith (juce::String (m.getChannel()) + "/") ? sounding.erase (it) : std::next (it);
    }

    return sounding;
}

/** For cases whose outcome depends on two calls made less than some time
    apart (the forwarder sends by the wall clock): runs attempt() again, at
    most 20 times, while it reports that the machine stalled between the calls
    for longer than the case allows. attempt() checks its outcome only when
    the timing held, and leaves nothing in flight that the next try could see.
*/
inline void untilTheTimingHeld (const std::function<bool()>& attempt)
{
    for (int i = 0; i < 20; ++i)
        if (attempt())
            return;

    ADD_FAILURE() << "the machine stalled between the calls of every try";
}
