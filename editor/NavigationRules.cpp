#include "NavigationRules.h"

namespace
{
    juce::String rule (const juce::String& urlPattern, const char* action)
    {
        return "{\"trigger\":{\"url-filter\":" + juce::JSON::toString (urlPattern)
             + ",\"resource-type\":[\"document\"],\"load-context\":[\"top-frame\"]},"
               "\"action\":{\"type\":\"" + action + "\"}}";
    }
}

juce::String NavigationRules::originPattern (const juce::String& origin)
{
    juce::String pattern ("^");

    for (auto c : origin)
    {
        if (juce::String ("\\.*+?[](){}^$|").containsChar (c))
            pattern << '\\';

        pattern << juce::String::charToString (c);
    }

    return pattern + "/";
}

juce::String NavigationRules::forSite (const GameSite& site)
{
    juce::StringArray rules { rule ("^https?://", "block") };

    // Later rules lift the block for the origins the view may show.
    juce::StringArray origins { site.getOrigin() };
    origins.addArray (site.allowedOrigins);
    origins.removeEmptyStrings();
    origins.removeDuplicates (false);

    for (const auto& origin : origins)
        rules.add (rule (originPattern (origin), "ignore-previous-rules"));

    return "[" + rules.joinIntoString (",") + "]";
}
