#pragma once

#include <juce_core/juce_core.h>

/** juce::var's integer conversion (numbers truncated towards zero, strings by
    their leading decimal integer, true as 1, anything else 0), except that
    values beyond the int range saturate instead of wrapping or being undefined:
    page and project data are untrusted, and {"port": 4294967297} must not mean
    port 1, nor a JSON number like 1e300 crash us. Range checks come after this.
*/
inline int varToInt (const juce::var& value)
{
    constexpr auto lowest = (double) std::numeric_limits<int>::min(),
                   highest = (double) std::numeric_limits<int>::max();

    if (value.isInt64())
        return (int) juce::jlimit ((juce::int64) std::numeric_limits<int>::min(),
                                   (juce::int64) std::numeric_limits<int>::max(),
                                   (juce::int64) value);

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

/** A value that is kept as text: a string as it is, nothing (absent or null) as
    the empty string, and anything else (a number, a boolean, an object, an
    array) as its compact JSON text, so that structured settings keep their
    meaning instead of becoming juce::var's "Object 0x..." or "[Array]".
*/
inline juce::String varToText (const juce::var& value)
{
    if (value.isString())
        return value.toString();

    if (value.isVoid() || value.isUndefined())
        return {};

    return juce::JSON::toString (value, true);
}
