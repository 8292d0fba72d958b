#include "SaveFileName.h"

namespace
{
    bool isDeviceDigit (juce::juce_wchar c)
    {
        // Windows also reserves COM and LPT with the superscript digits ¹ ² ³.
        return (c >= '1' && c <= '9') || c == 0xb9 || c == 0xb2 || c == 0xb3;
    }

    bool isWindowsDeviceName (const juce::String& name)
    {
        // The device names are reserved with any extension: "nul.txt" is NUL too.
        const auto stem = name.upToFirstOccurrenceOf (".", false, false).trimEnd().toUpperCase();

        for (auto* device : { "CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$" })
            if (stem == device)
                return true;

        return (stem.startsWith ("COM") || stem.startsWith ("LPT"))
            && stem.length() == 4 && isDeviceDigit (stem[3]);
    }

    // Characters that change how a name looks without being seen: the Unicode
    // format characters (category Cf, bidirectional controls among them) and
    // the few other code points that render as nothing.
    bool isInvisible (juce::juce_wchar c)
    {
        struct Range { juce::juce_wchar first, last; };

        static constexpr Range ranges[] = {
            { 0x00ad, 0x00ad }, { 0x034f, 0x034f }, { 0x0600, 0x0605 }, { 0x061c, 0x061c },
            { 0x06dd, 0x06dd }, { 0x070f, 0x070f }, { 0x0890, 0x0891 }, { 0x08e2, 0x08e2 },
            { 0x115f, 0x1160 }, { 0x17b4, 0x17b5 }, { 0x180b, 0x180f }, { 0x200b, 0x200f },
            { 0x202a, 0x202e }, { 0x2060, 0x206f }, { 0x3164, 0x3164 }, { 0xfe00, 0xfe0f },
            { 0xfeff, 0xfeff }, { 0xffa0, 0xffa0 }, { 0xfff0, 0xfffb }, { 0x110bd, 0x110bd },
            { 0x110cd, 0x110cd }, { 0x13430, 0x1343f }, { 0x1bca0, 0x1bca3 }, { 0x1d173, 0x1d17a },
            { 0xe0000, 0xe0fff },
        };

        for (auto& r : ranges)
            if (c >= r.first && c <= r.last)
                return true;

        return false;
    }

    bool isKept (juce::juce_wchar c)
    {
        return c >= 0x20 && c != 0x7f && ! (c >= 0x80 && c < 0xa0)
            && c != 0x2028 && c != 0x2029
            && ! isInvisible (c)
            && juce::String ("<>:\"|?*").indexOfChar (c) < 0;
    }

    size_t utf8Bytes (const juce::String& s)     { return s.getNumBytesAsUTF8(); }

    /** The longest start of text that fits both limits, whole characters only. */
    juce::String cut (const juce::String& text, int maxCharacters, size_t maxBytes)
    {
        int characters = 0;
        size_t bytes = 0;
        auto end = text.getCharPointer();

        for (auto p = text.getCharPointer(); ! p.isEmpty(); )
        {
            const auto size = juce::CharPointer_UTF8::getBytesRequiredFor (p.getAndAdvance());

            if (characters + 1 > maxCharacters || bytes + size > maxBytes)
                break;

            ++characters;
            bytes += size;
            end = p;
        }

        return juce::String (text.getCharPointer(), end);
    }
}

juce::String safeSaveFileName (const juce::String& suggestedName)
{
    // Only the last component: no folder of the page's choosing, absolute or relative.
    auto name = suggestedName.fromLastOccurrenceOf ("/", false, false)
                             .fromLastOccurrenceOf ("\\", false, false);

    juce::String kept;

    for (auto c : name)
        if (isKept (c))
            kept += c;

    // A leading dot hides the file (and "." or ".." would climb); Windows
    // drops trailing dots and spaces itself.
    kept = kept.trim().trimCharactersAtStart (". ").trimCharactersAtEnd (". ");

    if (kept.isEmpty())
        return "lutewyrm.txt";

    if (isWindowsDeviceName (kept))
        kept = "_" + kept;

    constexpr int maxCharacters = 200;
    constexpr size_t maxBytes = 255;

    if (kept.length() > maxCharacters || utf8Bytes (kept) > maxBytes)
    {
        const auto extension = kept.fromLastOccurrenceOf (".", true, false);
        const auto keepExtension = extension.length() > 1 && extension.length() <= 16
                                    && utf8Bytes (extension) < maxBytes / 2;

        kept = keepExtension ? cut (kept.dropLastCharacters (extension.length()),
                                    maxCharacters - extension.length(), maxBytes - utf8Bytes (extension)).trimEnd()
                                 + extension
                             : cut (kept, maxCharacters, maxBytes);
    }

    return kept;
}

juce::File saveDialogFolder()
{
    const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory);

    const auto usable = [&home] (const juce::File& folder)
    {
        if (! folder.isDirectory() || folder == home)
            return false;

        // No dot folder anywhere below home (nor the folder itself).
        for (auto f = folder; f != home && f.getParentDirectory() != f; f = f.getParentDirectory())
            if (f.getFileName().startsWithChar ('.'))
                return false;

        return true;
    };

    for (auto location : { juce::File::userDesktopDirectory, juce::File::userDocumentsDirectory })
        if (auto folder = juce::File::getSpecialLocation (location); usable (folder))
            return folder;

    return home;
}
