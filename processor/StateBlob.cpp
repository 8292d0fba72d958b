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

        // A project file is untrusted too: a size no screen has would reach
        // the window system as it is.
        const auto editorSize = [] (const juce::var& v) { return juce::jlimit (0, maxEditorSize, varToInt (v)); };

        if (object->hasProperty (instanceIdKey))  state.instanceId   = varToText (object->getProperty (instanceIdKey));
        if (object->hasProperty (stateKey))       state.webState     = varToText (object->getProperty (stateKey));
        if (object->hasProperty (widthKey))       state.editorWidth  = editorSize (object->getProperty (widthKey));
        if (object->hasProperty (heightKey))      state.editorHeight = editorSize (object->getProperty (heightKey));
    }
}
