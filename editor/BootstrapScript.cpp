#include "BootstrapScript.h"
#include "PageEventKey.h"

namespace BootstrapScript
{
    static juce::String escapeLineTerminators (juce::String text)
    {
        return text.replace ("\n", "\\n")
                   .replace ("\r", "\\r")
                   .replace (juce::String::charToString ((juce::juce_wchar) 0x2028), "\\u2028")
                   .replace (juce::String::charToString ((juce::juce_wchar) 0x2029), "\\u2029");
    }

    juce::String escapeName (const juce::String& name)
    {
        // Backslashes first, so the ones added for quotes are not doubled again.
        return escapeLineTerminators (name.replace ("\\", "\\\\").replace ("\"", "\\\""));
    }

    juce::String portList (const juce::StringArray& names)
    {
        juce::String list ("[");

        for (int i = 0; i < names.size(); ++i)
        {
            if (i > 0)
                list << ",";

            list << "{\"id\":" << i << ",\"name\":\"" << escapeName (names[i]) << "\"}";
        }

        return list + "]";
    }

    juce::String buildPortsScript (const juce::StringArray& outputNames,
                                   const juce::StringArray& inputNames,
                                   const juce::String& shimText)
    {
        return "var _juceMidiPorts = " + portList (outputNames)
             + ";\nvar _juceMidiInputPorts = " + portList (inputNames)
             + ";\n" + shimText;
    }

    juce::String toStringLiteral (const juce::String& text)
    {
        // JSON string escaping covers quotes, backslashes and control characters;
        // U+2028/U+2029 are legal in JSON strings but not in older script parsers.
        auto literal = juce::JSON::toString (juce::var (text));
        return literal.replace (juce::String::charToString ((juce::juce_wchar) 0x2028), "\\u2028")
                      .replace (juce::String::charToString ((juce::juce_wchar) 0x2029), "\\u2029");
    }

    static juce::String instanceStateValue (const juce::String& webState)
    {
        return webState.trim().isEmpty()
                 ? juce::String ("null")
                 : "(function () { try { return JSON.parse (" + toStringLiteral (webState)
                       + "); } catch (e) { return null; } })()";
    }

    juce::String instanceBlock (const juce::String& instanceId, const juce::String& webState)
    {
        return "\nvar _lwInstanceId = " + toStringLiteral (instanceId) + ";\n"
             + "var _lwInstanceState = " + instanceStateValue (webState) + ";\n";
    }

    // Where a game document keeps the settings it reported last, for the
    // documents after it in the same view (a reload, a way back to the game):
    // the script's own were those of when the view was made.
    static const juce::String rememberedStateKey { "lutewyrm.instanceState" };

    // The settings a document starts from: those the document before it in
    // this view reported last, else the script's. Read as the script's are:
    // JSON.parse in a guard, null for empty text or text that is not JSON.
    static juce::String rememberedOr (const juce::String& stateValueScript)
    {
        return "(function () {\n"
               "    var text = null;\n"
               "    try { text = sessionStorage.getItem (" + toStringLiteral (rememberedStateKey) + "); } catch (e) {}\n"
               "    if (typeof text !== 'string')\n"
               "        return " + stateValueScript + ";\n"
               "    if (text.trim() === '')\n"
               "        return null;\n"
               "    try { return JSON.parse (text); } catch (e) { return null; }\n"
               "})()";
    }

    juce::String eventKeyBlock (const juce::String& secret, bool remembersState)
    {
        juce::StringArray sealed;

        for (auto& name : PageEventKey::sealedEventNames())
            sealed.add (name + ": true");

        // The text the host stores for "lwStateChanged": a string as it is,
        // nothing as "", anything else as its JSON.
        const juce::String remember = ! remembersState ? juce::String()
            : "        if (eventId === 'lwStateChanged') {\n"
              "            var s = (object !== null && typeof object === 'object') ? object.state : undefined;\n"
              "            try { sessionStorage.setItem (" + toStringLiteral (rememberedStateKey) + ", typeof s === 'string' ? s"
                  " : (s === undefined || s === null ? '' : JSON.stringify (s))); } catch (e) {}\n"
              "        }\n";

        // The secret stays in this function: the page's scripts, which run
        // later, only ever see the document's own key, which stops working
        // when the document goes.
        return "\n(function () {\n"
               "    var backend = window.__JUCE__.backend, emit = backend.emitEvent;\n"
               "    var bytes = crypto.getRandomValues (new Uint8Array (16)), key = '';\n"
               "    for (var i = 0; i < bytes.length; ++i)\n"
               "        key += (bytes[i] < 16 ? '0' : '') + bytes[i].toString (16);\n"
               "    emit.call (backend, " + toStringLiteral (PageEventKey::registrationEventName)
                   + ", { lwKey: " + toStringLiteral (secret) + ", payload: key });\n"
               "    var sealed = { " + sealed.joinIntoString (", ") + " };\n"
               "    backend.emitEvent = function (eventId, object) {\n"
             + remember
             + "        return emit.call (backend, eventId, sealed[eventId] === true ? { lwKey: key, payload: object } : object);\n"
               "    };\n"
               "})();\n";
    }

    juce::String forGameOnly (const juce::String& gameOrigin, const juce::String& script)
    {
        // self.origin is the document's own origin ("null" when its server
        // sandboxes it); location.origin is only that of its address. Both
        // are still the engine's own here: the page's scripts have not run.
        const auto origin = toStringLiteral (gameOrigin);

        return "(function () {\n"
               "if (self.origin !== " + origin + " || location.origin !== " + origin + " || window.top !== window.self)\n"
               "    return;\n"
               "var declare = function (name, value) {\n"
               "    Object.defineProperty (window, name, { value: value, writable: true, enumerable: true, configurable: false });\n"
               "};\n"
             + script
             + "})();\n";
    }

    juce::String declareGlobal (const juce::String& name, const juce::String& valueScript)
    {
        return "declare (" + toStringLiteral (name) + ", " + valueScript + ");\n";
    }

    juce::String compose (const juce::StringArray& outputNames,
                          const juce::StringArray& inputNames,
                          const juce::String& shimText,
                          const std::optional<Instance>& instance,
                          const std::optional<PageEventCheck>& pageEventCheck)
    {
        if (! pageEventCheck.has_value())
        {
            auto script = buildPortsScript (outputNames, inputNames, shimText);

            if (instance.has_value())
                script << instanceBlock (instance->id, instance->webState);

            return script;
        }

        // The same pieces in the same order, with the globals made only
        // where the script runs.
        auto script = declareGlobal ("_juceMidiPorts", portList (outputNames))
                    + declareGlobal ("_juceMidiInputPorts", portList (inputNames))
                    + shimText;

        if (instance.has_value())
            script << "\n" << declareGlobal ("_lwInstanceId", toStringLiteral (instance->id))
                   << declareGlobal ("_lwInstanceState", rememberedOr (instanceStateValue (instance->webState)));

        script << eventKeyBlock (pageEventCheck->key, instance.has_value());
        return forGameOnly (pageEventCheck->gameOrigin, script);
    }
}
