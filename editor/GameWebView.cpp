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
    goToURL (site.pageAddress);
}

void GameWebView::openInSystemBrowser (const juce::String& address)
{
    // The address as the page gave it: juce::URL would re-encode its query.
    // (On Linux, JUCE's launcher is patched to quote it for the shell.)
    juce::Process::openDocument (address, {});
}

bool GameWebView::isOwnPage (const juce::String& url) const
{
    return url == "about:blank" || (offlinePageAddress.isNotEmpty() && url == offlinePageAddress);
}

//==============================================================================
bool GameWebView::pageAboutToLoad (const juce::String& newURL)
{
    if (isOwnPage (newURL))
        return true;

    switch (site.classify (newURL))
    {
        case GameSite::Navigation::showInView:
            // From now on events would reach that page rather than the game's.
            if (! site.isGameAddress (newURL))
                foreignPageShown = true;
            else if (onGamePageLoading != nullptr)
                onGamePageLoading();

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

    if (site.classify (url) != GameSite::Navigation::showInView || site.isGameAddress (url))
        foreignPageShown = false;

    if (site.isGameAddress (url) && onGamePageLoaded != nullptr)
        onGamePageLoaded();

    if (! isOwnPage (url))
        failuresInARow = 0;
}

bool GameWebView::pageLoadHadNetworkError (const juce::String& errorInfo)
{
    loadHasJustFailed = true;
    ++failuresInARow;

    const auto address = lastAllowedAddress.isNotEmpty() ? lastAllowedAddress : site.pageAddress;
    const auto page = OfflinePage::compose (OfflinePage::getTemplate(), address, errorInfo,
                                            OfflinePage::retryDelaySeconds (failuresInARow));

    offlinePageAddress = OfflinePage::toDataAddress (page);
    goToURL (offlinePageAddress);
    return false;       // not the engine's own error text
}

void GameWebView::newWindowAttemptingToLoad (const juce::String& newURL)
{
    // A new window never opens inside the game's view.
    if (site.classify (newURL) != GameSite::Navigation::refuse)
        launchInBrowser (newURL);
}
