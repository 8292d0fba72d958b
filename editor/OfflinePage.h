#pragma once

#include <juce_core/juce_core.h>

//==============================================================================
/** The page the view shows when the game page cannot be loaded: the embedded
    page/offline/offline.html with the address, the error and the time until
    the next attempt filled in. Pure functions.
*/
namespace OfflinePage
{
    /** Seconds before the next attempt after this many failures in a row:
        2, 4, 8, 16, 32, then 60 from then on.
    */
    int retryDelaySeconds (int failuresInARow);

    /** Text made safe inside HTML text and double- or single-quoted attributes. */
    juce::String escapeHtml (const juce::String& text);

    /** The template with {{address}}, {{error}} and {{retrySeconds}} filled in. */
    juce::String compose (const juce::String& templateHtml, const juce::String& address,
                          const juce::String& error, int retrySeconds);

    /** A data: address holding the page (base64, so it arrives byte for byte). */
    juce::String toDataAddress (const juce::String& html);

    /** The embedded template. */
    juce::String getTemplate();
}
