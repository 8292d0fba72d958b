#include "RoutingChoice.h"
#include "VarConversions.h"

static int readChannel (const juce::var& value)
{
    // A string is read by its leading integer; numbers are truncated.
    const auto channel = varToInt (value);
    return channel >= 1 && channel <= 16 ? channel : 0;
}

static juce::String readOutputName (const juce::var& ports)
{
    if (ports.getDynamicObject() == nullptr)
        return {};

    auto* outputs = ports.getProperty ("outputs", {}).getArray();

    if (outputs == nullptr)
        return {};

    // The page may list several outputs; the one it marks with index 0 is its
    // main choice, otherwise the first one that has a name.
    juce::String firstNamed, firstNamedAtIndexZero;

    for (auto& entry : *outputs)
    {
        if (entry.getDynamicObject() == nullptr)
            continue;

        const auto name = entry.getProperty ("portName", {}).toString();

        if (name.isEmpty())
            continue;

        if (firstNamed.isEmpty())
            firstNamed = name;

        if (varToInt (entry.getProperty ("portIdx", {})) == 0 && firstNamedAtIndexZero.isEmpty())
            firstNamedAtIndexZero = name;
    }

    return firstNamedAtIndexZero.isNotEmpty() ? firstNamedAtIndexZero : firstNamed;
}

RoutingChoice chooseRouting (const juce::String& pageState)
{
    const auto parsed = juce::JSON::parse (pageState);

    if (parsed.getDynamicObject() == nullptr)
        return {};

    return { readChannel (parsed.getProperty ("channel", {})),
             readOutputName (parsed.getProperty ("ports", {})) };
}
