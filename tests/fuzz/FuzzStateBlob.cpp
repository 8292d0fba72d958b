#include "FuzzSupport.h"

// Any bytes a host or a project file hands to setStateInformation: no crash,
// and what the processor then writes must read back to the same blob.

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    auto processor = fuzzProcessor (juce::AudioProcessor::wrapperType_VST3);
    processor->setStateInformation (data, (int) size);

    juce::MemoryBlock first;
    processor->getStateInformation (first);

    auto reread = fuzzProcessor (juce::AudioProcessor::wrapperType_VST3);
    reread->setStateInformation (first.getData(), (int) first.getSize());

    juce::MemoryBlock second;
    reread->getStateInformation (second);
    FUZZ_CHECK (first == second);

    const auto parsed = juce::JSON::parse (first.toString());
    FUZZ_CHECK (parsed.getDynamicObject() != nullptr);
    FUZZ_CHECK (parsed.getDynamicObject()->getProperties().size() == 4);
    return 0;
}
