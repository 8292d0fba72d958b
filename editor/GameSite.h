#pragma once

#include <juce_core/juce_core.h>

//==============================================================================
/** Where the game lives, and what the view may show besides it.

    The game origin is the scheme, host and port of the page address the build
    loads. Only the top-level document on that origin gets the bootstrap script
    and can drive the bridge. Origins the build lists as allowed (a sign-in
    provider, say) may load in the view too, without the bootstrap; any other
    http or https address opens in the user's browser. Pure data and pure
    functions: usable on any thread.
*/
struct GameSite
{
    juce::String pageAddress;           // what the editor loads, e.g. https://game.example/rpg
    juce::StringArray allowedOrigins;   // normalised origins, e.g. https://login.example

    /** Only the benchmarks turn this off, to measure what the check costs:
        then every page and frame can drive the bridge, as before it existed.
    */
    bool checkPageEvents = true;

    /** The site this build was configured with (LUTEWYRM_PAGE_URL, LUTEWYRM_ALLOWED_ORIGINS). */
    static GameSite builtIn();

    /** A site for the given address, with the given extra origins (in any
        spelling; they are normalised, and ones that are not origins dropped).
    */
    static GameSite make (const juce::String& pageAddress, const juce::StringArray& allowedOrigins = {});

    /** The origin of the page address. */
    juce::String getOrigin() const      { return originOf (pageAddress); }

    //==============================================================================
    /** What to do with a top-level navigation or a new-window request. */
    enum class Navigation
    {
        showInView,         // the game's origin, or an allowed one
        openInBrowser,      // another http or https address
        refuse              // anything else (file:, javascript:, custom schemes...)
    };

    Navigation classify (const juce::String& url) const;

    /** True if the address is on the game's own origin. */
    bool isGameAddress (const juce::String& url) const;

    //==============================================================================
    /** The origin of an http or https address as a browser writes it
        (location.origin): lower-case scheme and host, the port only when it is
        not the scheme's default, no user name or password. Empty for anything
        that is not an http or https address with a host.
    */
    static juce::String originOf (const juce::String& url);
};
