#pragma once

#include "midi/VirtualMidiDevices.h"
#include "processor/PluginProcessor.h"

#include <fuzzer/FuzzedDataProvider.h>

// Shared set-up of the fuzz targets: JUCE initialised once, and a few virtual
// devices so that routing and the page bridge have something to open.

inline VirtualMidiDevices& fuzzDevices()
{
    static juce::ScopedJuceInitialiser_GUI juce;
    static VirtualMidiDevices devices;
    static const bool plugged = []
    {
        devices.setRecording (false);
        devices.plugOutput ("Lute", "out-lute");
        devices.plugOutput ("Harp", "out-harp");
        devices.plugOutput ("Lute", "out-lute-2");
        devices.plugInput ("Keys", "in-keys");
        return true;
    }();
    juce::ignoreUnused (plugged);
    return devices;
}

inline std::unique_ptr<LUTEWYRMRPGAudioProcessor> fuzzProcessor (juce::AudioProcessor::WrapperType wrapper)
{
    auto& devices = fuzzDevices();
    juce::AudioProcessor::setTypeOfNextNewPlugin (wrapper);
    return std::make_unique<LUTEWYRMRPGAudioProcessor> (devices);
}

/** Stops the run with a crash the fuzzer records, if the condition fails. */
#define FUZZ_CHECK(condition) \
    do { if (! (condition)) { fprintf (stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); __builtin_trap(); } } while (false)
