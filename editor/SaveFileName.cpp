#include "SaveFileName.h"

static bool isWindowsDeviceName (const juce::String& name)
{
    // The device names are reserved with any extension: "nul.txt" is NUL too.
    const auto stem = name.upToFirstOccurrenceOf (".", false, false).trimEnd().toUpperCase();

    for (auto* device : { "CON", "PRN", "AUX", "NUL" })
        if (stem == device)
            return true;

    return (stem.startsWith ("COM") || stem.startsWith ("LPT"))
        && stem.length() == 4 && juce::CharacterFunctions::isDigit (stem[3]) && stem[3] != '0';
}

juce::String safeSaveFileName (const juce::String& suggestedName)
{
    // Only the last component: no folder of the page's choosing, absolute or relative.
    auto name = suggestedName.fromLastOccurrenceOf ("/", false, false)
                             .fromLastOccurrenceOf ("\\", false, false);

    juce::String kept;

    for (auto c : name)
        if (c >= 0x20 && c != 0x7f && ! (c >= 0x80 && c < 0xa0) && c != 0x2028 && c != 0x2029
             && juce::String ("<>:\"|?*").indexOfChar (c) < 0)
            kept += c;

    // Windows drops trailing dots and spaces itself, and ".." would climb.
    kept = kept.trim().trimCharactersAtEnd (". ");

    if (kept.isEmpty())
        return "lutewyrm.txt";

    if (isWindowsDeviceName (kept))
        kept = "_" + kept;

    constexpr int maxLength = 200;

    if (kept.length() > maxLength)
    {
        const auto extension = kept.fromLastOccurrenceOf (".", true, false);
        const auto keepExtension = extension.length() > 1 && extension.length() <= 16;
        kept = keepExtension ? kept.substring (0, maxLength - extension.length()) + extension
                             : kept.substring (0, maxLength);
    }

    return kept;
}
