#include "StateBlob.h"
#include "VarConversions.h"

namespace StateBlob
{
    static const juce::Identifier instanceIdKey { "instanceId" },
                                  stateKey      { "state" },
                                  widthKey      { "editorW" },
                                  heightKey     { "editorH" };

    juce::var toObject (const PersistedState& state)
    {
        auto object = std::make_unique<juce::DynamicObject>();
        object->setProperty (instanceIdKey, state.instanceId);
        object->setProperty (stateKey,      state.webState);
        object->setProperty (widthKey,      state.editorWidth);
        object->setProperty (heightKey,     state.editorHeight);
        return object.release();
    }

    juce::String toText (const juce::var& object)
    {
        return juce::JSON::toString (object, false, 15);
    }

    void applyTo (const juce::var& parsedBlob, PersistedState& state)
    {
        auto* object = parsedBlob.getDynamicObject();

        if (object == nullptr)
            return;

        if (object->hasProperty (instanceIdKey))  state.instanceId   = object->getProperty (instanceIdKey).toString();
        if (object->hasProperty (stateKey))       state.webState     = object->getProperty (stateKey).toString();
        if (object->hasProperty (widthKey))       state.editorWidth  = varToInt (object->getProperty (widthKey));
        if (object->hasProperty (heightKey))      state.editorHeight = varToInt (object->getProperty (heightKey));
    }
}
