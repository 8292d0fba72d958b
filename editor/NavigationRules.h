#pragma once

#include "GameSite.h"

//==============================================================================
/** The web engine's own list of where the view's top-level document may go,
    applied before a request leaves the view.

    WebKitGTK puts a navigation to the application only at its response (the
    first point where it tells the page from its frames), so without this list
    a link to another site would be requested from the view, with its cookies
    and body, before the user's browser got it. The list stops every http or
    https document load in the top frame except to the game's origin and the
    allowed ones; the stopped address then reaches GameWebView::pageLoadStopped,
    which sends it to the user's browser. Frames, sub-resources and other
    schemes (the offline page, about:blank) are not touched: they are decided
    where they always were.

    The text is WebKit's content-blocker JSON. Pure function: any thread.
*/
namespace NavigationRules
{
    juce::String forSite (const GameSite& site);

    /** An origin as a pattern of that format that matches its addresses only
        (the path's slash is required, so "http://a.example:80@b.example/" or
        a longer port cannot pass for it).
    */
    juce::String originPattern (const juce::String& origin);
}
