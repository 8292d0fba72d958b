#include "FuzzSupport.h"

#include "processor/RoutingChoice.h"

// Any page state: the routing choice stays in range, and applying it (which
// opens, swaps or closes virtual devices) never crashes.

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static auto processor = fuzzProcessor (juce::AudioProcessor::wrapperType_VST3);

    const auto text = juce::String::fromUTF8 (reinterpret_cast<const char*> (data), (int) size);
    const auto choice = chooseRouting (text);
    FUZZ_CHECK (choice.channel >= 0 && choice.channel <= 16);

    processor->setWebState (text);

    juce::AudioBuffer<float> audio (2, 64);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
    processor->processBlock (audio, midi);
    return 0;
}
