#pragma once

#include <juce_core/juce_core.h>

//==============================================================================
/** The port lists one page works with, as device identifiers by position.

    A page names ports by position in the lists it was given: the bootstrap
    script's, or the last "midiPortsChanged". When those are not the native
    lists any more, positions are translated through the identifiers, so a port
    number always reaches the device the page meant. Pure data and a pure
    function: usable on any thread.
*/
struct PagePortLists
{
    juce::StringArray outputs, inputs;

    bool operator== (const PagePortLists& other) const  { return outputs == other.outputs && inputs == other.inputs; }
    bool operator!= (const PagePortLists& other) const  { return ! operator== (other); }

    /** The position in `to` of the device at `port` in `from`; -1 if `port` is
        out of range or the device is not in `to`. With equal lists this is
        `port` itself (when in range), duplicates included.
    */
    static int translate (const juce::StringArray& from, const juce::StringArray& to, int port)
    {
        if (! juce::isPositiveAndBelow (port, from.size()))
            return -1;

        if (from == to)
            return port;

        return to.indexOf (from[port]);
    }
};
