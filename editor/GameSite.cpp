#include "GameSite.h"

GameSite GameSite::builtIn()
{
    juce::StringArray allowed;
    allowed.addTokens (LUTEWYRM_ALLOWED_ORIGINS, " ", {});
    return make (LUTEWYRM_PAGE_URL, allowed);
}

GameSite GameSite::make (const juce::String& pageAddress, const juce::StringArray& allowedOrigins)
{
    GameSite site { pageAddress, {}, true };

    for (auto& entry : allowedOrigins)
    {
        // An allowed origin is an origin: a path or a typo must not widen it.
        const auto origin = originOf (entry.trim());

        if (origin.isNotEmpty() && origin == entry.trim().toLowerCase().trimCharactersAtEnd ("/"))
            site.allowedOrigins.addIfNotAlreadyThere (origin);
    }

    return site;
}

GameSite::Navigation GameSite::classify (const juce::String& url) const
{
    const auto origin = originOf (url);

    if (origin.isEmpty())
        return Navigation::refuse;

    if (origin == getOrigin() || allowedOrigins.contains (origin))
        return Navigation::showInView;

    return Navigation::openInBrowser;
}

bool GameSite::isGameAddress (const juce::String& url) const
{
    const auto origin = originOf (url);
    return origin.isNotEmpty() && origin == getOrigin();
}

juce::String GameSite::originOf (const juce::String& url)
{
    const auto schemeEnd = url.indexOf ("://");

    if (schemeEnd <= 0)
        return {};

    const auto scheme = url.substring (0, schemeEnd).toLowerCase();
    const auto defaultPort = scheme == "https" ? "443" : (scheme == "http" ? "80" : nullptr);

    if (defaultPort == nullptr)
        return {};

    // The authority ends at the first path, query or fragment character.
    auto authority = url.substring (schemeEnd + 3);
    const auto end = authority.indexOfAnyOf ("/?#\\");

    if (end >= 0)
        authority = authority.substring (0, end);

    authority = authority.fromLastOccurrenceOf ("@", false, false);     // no user:password

    juce::String host, port;

    if (authority.startsWithChar ('['))                 // [IPv6]:port
    {
        const auto close = authority.indexOfChar (']');

        if (close < 0)
            return {};

        host = authority.substring (0, close + 1);
        port = authority.substring (close + 1);
    }
    else
    {
        const auto colon = authority.indexOfChar (':');
        host = colon >= 0 ? authority.substring (0, colon) : authority;
        port = colon >= 0 ? authority.substring (colon) : juce::String();
    }

    if (host.isEmpty() || host.containsAnyOf (" \t\r\n"))
        return {};

    if (port.isNotEmpty())
    {
        if (! port.startsWithChar (':'))
            return {};

        port = port.substring (1);

        if (! port.containsOnly ("0123456789"))
            return {};

        port = port.trimCharactersAtStart ("0");

        if (port.length() > 5 || port.getIntValue() > 65535)
            return {};
    }

    const auto origin = scheme + "://" + host.toLowerCase();
    return port.isEmpty() || port == defaultPort ? origin : origin + ":" + port;
}
