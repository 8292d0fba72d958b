#include "PageEventKey.h"
#include "PageBridge.h"

#if JUCE_WINDOWS
 #include <windows.h>
 #include <bcrypt.h>
#elif JUCE_LINUX || JUCE_BSD
 #include <sys/random.h>
#else
 #include <stdlib.h>
#endif

namespace
{
    const juce::Identifier keyProperty { "lwKey" }, payloadProperty { "payload" };

    // Guessing the key must be as hard as breaking the system's own random
    // source; juce::Random and juce::Uuid are not made for that. False if the
    // source failed: the bytes are then worth nothing.
    bool fillWithSecureRandomBytes (juce::uint8* bytes, size_t size)
    {
       #if JUCE_WINDOWS
        return BCRYPT_SUCCESS (BCryptGenRandom (nullptr, bytes, (ULONG) size, BCRYPT_USE_SYSTEM_PREFERRED_RNG));
       #elif JUCE_LINUX || JUCE_BSD
        for (size_t done = 0; done < size;)
        {
            const auto got = getrandom (bytes + done, size - done, 0);

            if (got > 0)
                done += (size_t) got;
            else if (got == 0 || errno != EINTR)
                return false;
        }

        return true;
       #else
        arc4random_buf (bytes, size);
        return true;
       #endif
    }
}

PageEventKey::PageEventKey()
{
    juce::uint8 bytes[16] {};

    // Without a secret every page event is dropped (nothing matches an empty
    // key): a bridge that does nothing is safe, a guessable secret is not.
    if (fillWithSecureRandomBytes (bytes, sizeof (bytes)))
        secret = juce::String::toHexString (bytes, (int) sizeof (bytes), 0);
    else
        juce::Logger::writeToLog ("Lutewyrm: the system's random source failed; page events are disabled");
}

std::optional<juce::var> PageEventKey::open (const juce::var& wrapped, const juce::String& expectedKey)
{
    auto* object = wrapped.getDynamicObject();

    if (object == nullptr || expectedKey.isEmpty())
        return std::nullopt;

    const auto& given = object->getProperty (keyProperty);

    if (! given.isString() || given.toString() != expectedKey)
        return std::nullopt;

    return object->getProperty (payloadProperty);
}

bool PageEventKey::registerDocument (const juce::var& event)
{
    if (! registrationOpen)
        return false;

    const auto key = open (event, secret);

    // The document's own key: as long and as random as the secret.
    if (! key.has_value() || ! key->isString() || key->toString().length() != 32
         || ! key->toString().containsOnly ("0123456789abcdef") || key->toString() == secret)
        return false;

    documentKey = key->toString();
    registrationOpen = false;
    return true;
}

std::optional<juce::var> PageEventKey::unwrap (const juce::var& wrapped) const
{
    return open (wrapped, documentKey);
}

juce::var PageEventKey::wrap (const juce::String& keyText, const juce::var& payload)
{
    auto object = std::make_unique<juce::DynamicObject>();
    object->setProperty (keyProperty, keyText);
    object->setProperty (payloadProperty, payload);
    return object.release();
}

const juce::StringArray& PageEventKey::sealedEventNames()
{
    static const auto names = []
    {
        juce::StringArray list;

        for (auto& event : PageBridge::incomingEvents())
            list.add (event.name);

        return list;
    }();

    return names;
}
