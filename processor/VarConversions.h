#pragma once

#include <juce_core/juce_core.h>

/** juce::var's integer conversion (numbers truncated towards zero, strings by
    their leading decimal integer, true as 1, anything else 0), except that
    values beyond the int range saturate instead of being undefined: page and
    project data are untrusted, and a JSON number like 1e300 must not crash us.
*/
inline int varToInt (const juce::var& value)
{
    constexpr auto lowest = (double) std::numeric_limits<int>::min(),
                   highest = (double) std::numeric_limits<int>::max();

    if (value.isDouble())
    {
        const auto d = (double) value;
        return std::isnan (d) ? 0 : (int) juce::jlimit (lowest, highest, d);
    }

    if (value.isString())
    {
        auto text = value.toString().getCharPointer().findEndOfWhitespace();
        const bool negative = *text == '-';

        if (negative)
            ++text;

        double magnitude = 0;

        for (auto c = *text; c >= '0' && c <= '9'; c = *++text)
            magnitude = juce::jmin (magnitude * 10 + (c - '0'), highest + 1.0);

        return (int) juce::jlimit (lowest, highest, negative ? -magnitude : magnitude);
    }

    return (int) value;
}
