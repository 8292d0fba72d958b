#pragma once

#include <juce_core/juce_core.h>

#include <optional>

//==============================================================================
/** The secret that ties page events to the game's own top-level document.

    The web engine lets every frame of the page post to the bridge, and lets
    a page of another origin take the view's place; the native side cannot
    tell their messages apart. So each editor makes a key, the bootstrap
    script (which runs only in the game's top-level document) makes the
    game's emitEvent wrap each page event as {"lwKey": key, "payload": ...},
    and only events that carry the key reach a handler. Whatever else posts
    to the bridge is dropped without a trace.

    Message thread; unwrap() is a pure function of the key.
*/
class PageEventKey
{
public:
    /** A fresh key: 128 bits from the system's secure random source, as hex.
        If that source fails, no key: every page event is then dropped.
    */
    PageEventKey();

    /** For tests: a given key. */
    explicit PageEventKey (const juce::String& keyText) : key (keyText) {}

    const juce::String& getText() const noexcept    { return key; }
    bool isUsable() const noexcept                  { return key.isNotEmpty(); }

    /** The event's own payload if it carries this key, else nothing. */
    std::optional<juce::var> unwrap (const juce::var& wrapped) const;

    /** What the page's wrapped emitEvent sends (for tests). */
    static juce::var wrap (const juce::String& keyText, const juce::var& payload);

    /** The names of the page events that carry the key. */
    static const juce::StringArray& sealedEventNames();

private:
    juce::String key;
};
