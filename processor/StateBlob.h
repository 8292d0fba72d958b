#pragma once

#include <juce_core/juce_core.h>

//==============================================================================
/** The four values a plug-in instance keeps in the host's project. */
struct PersistedState
{
    juce::String instanceId;
    juce::String webState;      // the game page's own settings, opaque text
    int editorWidth = 0;        // 0: no size recorded
    int editorHeight = 0;

    bool operator== (const PersistedState& other) const
    {
        return instanceId == other.instanceId && webState == other.webState
            && editorWidth == other.editorWidth && editorHeight == other.editorHeight;
    }
};

//==============================================================================
/** The state blob: UTF-8 text of one JSON object in JUCE's multi-line form,
    keys "instanceId", "state", "editorW", "editorH" in that order.
*/
namespace StateBlob
{
    /** Editor sizes read from a blob are limited to 0 ... this. */
    constexpr int maxEditorSize = 16384;

    /** The properties of the blob's object, in the order they are written.
        Cheap to build, so the processor can do it inside its lock and
        serialise outside it.
    */
    juce::var toObject (const PersistedState& state);

    /** The blob text of an object made by toObject(). */
    juce::String toText (const juce::var& object);

    /** Replaces the fields whose keys are present in a parsed blob; anything
        that is not an object changes nothing. Texts are read with varToText,
        sizes as integers (saturating) limited to 0 ... maxEditorSize.
    */
    void applyTo (const juce::var& parsedBlob, PersistedState& state);
}
