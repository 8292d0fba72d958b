#pragma once

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

// How a failed expectation prints the JUCE values it compares: as text, not
// as the bytes of the object ("16-byte object <90-59 ...>").
namespace juce
{
    inline void PrintTo (const String& s, std::ostream* os)
    {
        *os << JSON::toString (var (s));
    }

    inline void PrintTo (const StringArray& a, std::ostream* os)
    {
        *os << "{";

        for (int i = 0; i < a.size(); ++i)
            *os << (i > 0 ? ", " : " ") << JSON::toString (var (a[i]));

        *os << (a.isEmpty() ? "}" : " }");
    }

    inline void PrintTo (const var& v, std::ostream* os)
    {
        *os << (v.isVoid() ? String ("<void>") : v.isUndefined() ? String ("<undefined>")
                                                : JSON::toString (v, JSON::FormatOptions{}.withSpacing (JSON::Spacing::none)));
    }

    inline void PrintTo (const MemoryBlock& m, std::ostream* os)
    {
        *os << m.getSize() << " bytes: " << String::toHexString (m.getData(), (int) m.getSize());
    }
}
