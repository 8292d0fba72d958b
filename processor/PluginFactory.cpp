#include "PluginProcessor.h"

// The framework's wrappers (standalone, VST3, LV2) create every instance here.
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new LUTEWYRMRPGAudioProcessor();
}
