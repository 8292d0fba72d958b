#include "GameWebView.h"

#include "OfflinePage.h"

GameWebView::GameWebView (const Options& options, GameSite s, BrowserLauncher launcher)
    : WebBrowserComponent (options),
      site (std::move (s)),
      launchInBrowser (launcher != nullptr ? std::move (launcher) : BrowserLauncher (openInSystemBrowser))
{
}

void GameWebView::goToGame()
{
    loadingGame = true;
    goToURL (site.pageAddress);
}

void GameWebView::openInSystemBrowser (const juce::String& address)
{
    // The address as the page gave it: juce::URL would re-encode its query.
    // (On Linux, JUCE's launcher quotes it for the shell: patch 0017.)
    juce::Process::openDocument (address, {});
}

void GameWebView::otherPageShown()
{
    if (onOtherPageShown != nullptr)
        onOtherPageShown();
}

bool GameWebView::isOwnPage (const juce::String& url) const
{
    return url == "about:blank" || (offlinePageAddress.isNotEmpty() && url == offlinePageAddress);
}

//==============================================================================
bool GameWebView::pageAboutToLoad (const juce::String& newURL)
{
    if (isOwnPage (newURL))
    {
        otherPageShown();
        return true;
    }

    switch (site.classify (newURL))
    {
        case GameSite::Navigation::showInView:
            // From now on events would reach that page rather than the game's.
            if (! site.isGameAddress (newURL))
            {
                foreignPageShown = true;
                otherPageShown();
            }
            else if (onGamePageLoading != nullptr)
            {
                onGamePageLoading();
            }

            lastAllowedAddress = newURL;
            return true;

        case GameSite::Navigation::openInBrowser:
            launchInBrowser (newURL);
            return false;

        case GameSite::Navigation::refuse:
            break;
    }

    return false;
}

void GameWebView::pageFinishedLoading (const juce::String& url)
{
    // A failed load also "finishes"; the offline page that follows counts.
    if (std::exchange (loadHasJustFailed, false))
        return;

    showingOfflinePage = offlinePageAddress.isNotEmpty() && url == offlinePageAddress;

    // What is shown decides, whatever was decided before: a document that is
    // neither the game's, an allowed origin's nor our own (one that came
    // without a decision, say a frame sending the page to about:blank after
    // the game had loaded) is replaced by the game.
    const auto isGame = site.isGameAddress (url);
    const auto isAllowed = ! isGame && site.classify (url) == GameSite::Navigation::showInView;
    const auto isStartPage = url == "about:blank" && ! gameHasLoaded;

    foreignPageShown = ! (isGame || showingOfflinePage || isStartPage);

    if (! (isGame || isAllowed || showingOfflinePage || isStartPage))
    {
        otherPageShown();
        goToGame();
        return;
    }

    if (isGame)
    {
        loadingGame = false;
        gameHasLoaded = true;

        if (onGamePageLoaded != nullptr)
            onGamePageLoaded();
    }

    if (isGame || isAllowed)
        failuresInARow = 0;
}

bool GameWebView::pageLoadHadNetworkError (const juce::String& errorInfo)
{
    ++loadFailures;

    // The offline page stands in for the game only. Any other failed load
    // (a dead link, a sign-in page that is down) leaves what is shown as it
    // is: the engine keeps the current document when a load fails.
    if (! (loadingGame || showingOfflinePage))
        return false;

    loadHasJustFailed = true;
    ++failuresInARow;

    const auto address = lastAllowedAddress.isNotEmpty() ? lastAllowedAddress : site.pageAddress;
    const auto page = OfflinePage::compose (OfflinePage::getTemplate(), address, errorInfo,
                                            OfflinePage::retryDelaySeconds (failuresInARow));

    offlinePageAddress = OfflinePage::toDataAddress (page);
    ++offlinePagesShown;
    goToURL (offlinePageAddress);
    return false;       // not the engine's own error text
}

void GameWebView::newWindowAttemptingToLoad (const juce::String& newURL)
{
    // On Linux, window.open reaches this only with patch 0019.
    // A new window never opens inside the game's view.
    if (site.classify (newURL) != GameSite::Navigation::refuse)
        launchInBrowser (newURL);
}

void GameWebView::pageLoadStopped (const juce::String& url)
{
    // The engine stopped one of the page's own loads before its request (see
    // NavigationRules, and patch 0023 for this callback): an address
    // elsewhere, or one of the game's or an allowed origin's that redirected
    // elsewhere (the engine does not say where to). The user's browser can
    // follow either; the view stays as it is.
    if (site.isGameAddress (url) && loadingGame)
    {
        // The game's own page sent the view away as it loaded.
        pageLoadHadNetworkError ("The game's address sent the view to another site.");
        return;
    }

    if (site.classify (url) != GameSite::Navigation::refuse)
        launchInBrowser (url);
}

void GameWebView::visibilityChanged()
{
    WebBrowserComponent::visibilityChanged();

    if (isVisible() && onShownAgain != nullptr)
        onShownAgain();
}
