#pragma once

#include <juce_core/juce_core.h>

//==============================================================================
/** Where forwarded host-track MIDI goes, as read from the game page's settings. */
struct RoutingChoice
{
    int channel = 0;            // 1 to 16, or 0 to keep each message's own channel
    juce::String outputName;    // empty: no output

    bool operator== (const RoutingChoice& other) const
    {
        return channel == other.channel && outputName == other.outputName;
    }
};

/** Reads "channel" and "ports" -> "outputs" -> "portName" / "portIdx" from the
    page state text. Anything unexpected falls back to channel 0 and no output.
*/
RoutingChoice chooseRouting (const juce::String& pageState);
