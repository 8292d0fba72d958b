#pragma once

#include <juce_core/juce_core.h>

#include <optional>

//==============================================================================
/** The script injected into every page the editor loads, before the page's own
    scripts: the MIDI port lists, the Web MIDI shim and, in a plug-in, the
    instance id and the page's saved settings. Pure text functions.
*/
namespace BootstrapScript
{
    /** A device name made safe inside a double-quoted script string: backslash
        and double quote are escaped, and so are the line terminators (LF, CR,
        U+2028, U+2029), which would otherwise end the string and break the script.
    */
    juce::String escapeName (const juce::String& name);

    /** [{"id":0,"name":"..."},...] with each port's position as its id. */
    juce::String portList (const juce::StringArray& names);

    /** The port-list declarations followed by the shim text. */
    juce::String buildPortsScript (const juce::StringArray& outputNames,
                                   const juce::StringArray& inputNames,
                                   const juce::String& shimText);

    /** The plug-in's instance block: _lwInstanceId as a string and
        _lwInstanceState as the value of the saved settings.

        The settings text never runs as code: it travels as a string literal
        that the page parses as JSON, so a state that is not valid JSON (or a
        crafted one) gives null instead of breaking or hijacking the page.
        Empty or whitespace-only settings give null.
    */
    juce::String instanceBlock (const juce::String& instanceId, const juce::String& webState);

    /** Any text as a double-quoted script string literal. */
    juce::String toStringLiteral (const juce::String& text);

    /** Makes a key for the document, registers it with the editor's secret,
        and makes the game's emitEvent wrap the page events that the native
        side listens for with it (see PageEventKey); other events pass as
        they are. When remembersState is set (a plug-in), the settings each
        "lwStateChanged" carries are also kept in the view's session storage,
        where the next game document of the view starts from them.
    */
    juce::String eventKeyBlock (const juce::String& secret, bool remembersState = false);

    /** The script, run only in the top-level document of the game's origin:
        pages of other origins, every frame, and game documents that their
        server isolates (a sandbox policy gives them the origin "null") get
        nothing of it. The script runs inside a function, so it must declare
        its globals with declareGlobal, never with a top-level var, which
        would be hoisted into every page.
    */
    juce::String forGameOnly (const juce::String& gameOrigin, const juce::String& script);

    /** Inside forGameOnly: makes a global the way a top-level var does
        (writable, enumerable, not deletable), only where the script runs.
    */
    juce::String declareGlobal (const juce::String& name, const juce::String& valueScript);

    /** What a plug-in instance hands its page. */
    struct Instance
    {
        juce::String id, webState;
    };

    /** Where page events are checked: the game's origin, and the editor's key. */
    struct PageEventCheck
    {
        juce::String gameOrigin, key;
    };

    /** The whole script the editor injects: the ports script, then the
        instance block in a plug-in, then the key block, with all of it run in
        the game's top-level document only when page events are checked.
        The page tests compose their scripts with this too (tests/tools), so
        what they run cannot drift from what the editor injects.
    */
    juce::String compose (const juce::StringArray& outputNames,
                          const juce::StringArray& inputNames,
                          const juce::String& shimText,
                          const std::optional<Instance>& instance,
                          const std::optional<PageEventCheck>& pageEventCheck);
}
