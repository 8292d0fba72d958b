#include "FuzzSupport.h"

#include "editor/PageBridge.h"

// Any payload the page sends with "midiSend", "midiOpenInput" or
// "lwStateChanged" (the fourth, "fileDownload", opens a dialog): ignored or
// handled, never a crash.

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static auto processor = fuzzProcessor (juce::AudioProcessor::wrapperType_Standalone);
    static PageBridge bridge (*processor, false, [] (const PageBridge::PageEvents&) { return true; });

    if (size == 0)
        return 0;

    const auto payload = juce::JSON::parse (juce::String::fromUTF8 (reinterpret_cast<const char*> (data + 1),
                                                                    (int) size - 1));
    switch (data[0] % 3)
    {
        case 0:  bridge.handleMidiSend (payload); break;
        case 1:  bridge.handleOpenMidiInput (payload); break;
        default: bridge.handleStateChanged (payload); break;
    }

    return 0;
}
