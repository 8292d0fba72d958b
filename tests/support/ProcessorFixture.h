#pragma once

#include "midi/VirtualMidiDevices.h"
#include "processor/PluginProcessor.h"

#include <gtest/gtest.h>

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
