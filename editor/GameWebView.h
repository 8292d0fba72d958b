#pragma once

#include <juce_gui_extra/juce_gui_extra.h>

#include "GameSite.h"

//==============================================================================
/** The editor's web view, kept on the game.

    - The view shows the game's origin, the origins the build allows, and the
      program's own offline page. Any other http or https address, and every
      new-window request (window.open, target="_blank"), opens in the user's
      browser; other schemes are refused.
    - When the game cannot be loaded (no connection, unknown host, time-out,
      a TLS error) the view shows the offline page instead of the engine's
      error text; it tries again by itself, waiting longer each time. A
      failed load of anything else leaves the page as it is.
    - A document that ends up shown without having been allowed (one that
      came without a navigation decision) is replaced by the game.
    - Events for the game are held back while the view shows, or is about to
      show, a page of another origin, which would otherwise receive them.

    Message thread only, like every juce::WebBrowserComponent.
*/
class GameWebView final : public juce::WebBrowserComponent
{
public:
    /** Opens an address in the user's browser; replaceable for tests. */
    using BrowserLauncher = std::function<void (const juce::String& address)>;

    GameWebView (const Options& options, GameSite site, BrowserLauncher launcher = {});

    /** Loads the game page. */
    void goToGame();

    /** Called when a new document of the game is about to replace the page,
        and when a page of the game has finished loading.
    */
    std::function<void()> onGamePageLoading, onGamePageLoaded;

    /** Called when the game's document gives way to another one: a page the
        build allows, the offline page, or one shown without a decision.
    */
    std::function<void()> onOtherPageShown;

    /** Called when the view is made visible again after it was hidden: the
        framework hands a hidden view no events.
    */
    std::function<void()> onShownAgain;

    /** How many loads have failed so far (the game's or any other), and how
        many times the offline page was put up for them; for tests.
    */
    int getLoadFailures() const noexcept        { return loadFailures; }
    int getOfflinePagesShown() const noexcept   { return offlinePagesShown; }

    /** False while a page of another origin is shown or about to be. */
    bool canReachGame() const noexcept      { return ! foreignPageShown; }

    /** Opens an http or https address with the system's handler (xdg-open on Linux). */
    static void openInSystemBrowser (const juce::String& address);

private:
    bool pageAboutToLoad (const juce::String& newURL) override;
    void pageFinishedLoading (const juce::String& url) override;
    bool pageLoadHadNetworkError (const juce::String& errorInfo) override;
    void newWindowAttemptingToLoad (const juce::String& newURL) override;
    void pageLoadStopped (const juce::String& url) override;
    void visibilityChanged() override;

    bool isOwnPage (const juce::String& url) const;
    void otherPageShown();

    const GameSite site;
    const BrowserLauncher launchInBrowser;

    juce::String lastAllowedAddress, offlinePageAddress;
    int failuresInARow = 0, loadFailures = 0, offlinePagesShown = 0;
    bool foreignPageShown = false, loadHasJustFailed = false;
    bool loadingGame = false;           // goToGame was called; the game has not loaded since
    bool gameHasLoaded = false;         // once true, about:blank is no longer the start page
    bool showingOfflinePage = false;
};
