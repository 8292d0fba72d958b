#pragma once

#include <juce_core/juce_core.h>

#include <optional>

//==============================================================================
/** The secret that ties page events to the game's own top-level document.

    The web engine lets every frame of the page post to the bridge, and lets
    a page of another origin take the view's place; the native side cannot
    tell their messages apart. So:
    - each editor makes a secret, which only the bootstrap script knows (it
      runs only in the game's top-level document, before the page's own
      scripts, and keeps the secret to itself);
    - each game document makes a key of its own as it starts and registers it
      with the secret ("lwDocumentKey"); the editor takes one registration for
      each game document it allowed to load;
    - the game's emitEvent wraps each page event as {"lwKey": key,
      "payload": ...}, and only events that carry the current document's key
      reach a handler. Whatever else posts to the bridge is dropped without a
      trace.
    A key the page hands on (to a frame, to another page) stops working when
    its document goes: when the view leaves the game, and when the next game
    document registers.

    Message thread; wrap() is a pure function.
*/
class PageEventKey
{
public:
    /** A fresh secret: 128 bits from the system's secure random source, as
        hex. If that source fails, no secret: every page event is then dropped.
    */
    PageEventKey();

    /** For tests: a given secret. */
    explicit PageEventKey (const juce::String& secretText) : secret (secretText) {}

    /** What the bootstrap script carries. */
    const juce::String& getText() const noexcept    { return secret; }
    bool isUsable() const noexcept                  { return secret.isNotEmpty(); }

    /** A game document was allowed to load: its registration is taken. */
    void gameDocumentComing() noexcept              { registrationOpen = true; }

    /** The view leaves the game document: its key stops working. */
    void documentGone()                             { documentKey = {}; registrationOpen = false; }

    /** The bootstrap's "lwDocumentKey" event: {"lwKey": secret, "payload":
        the document's key (32 hex digits)}. True if taken: once for each
        game document, and only with the secret.
    */
    bool registerDocument (const juce::var& event);

    /** The event's own payload if it carries the current document's key, else nothing. */
    std::optional<juce::var> unwrap (const juce::var& wrapped) const;

    /** What the page's wrapped emitEvent sends (for tests). */
    static juce::var wrap (const juce::String& keyText, const juce::var& payload);

    /** The names of the page events that carry the key: all that the page
        sends to the bridge (PageBridge::incomingEvents()).
    */
    static const juce::StringArray& sealedEventNames();

    /** The bootstrap's registration event. */
    static constexpr const char* registrationEventName = "lwDocumentKey";

private:
    static std::optional<juce::var> open (const juce::var& wrapped, const juce::String& expectedKey);

    juce::String secret, documentKey;
    bool registrationOpen = false;
};
