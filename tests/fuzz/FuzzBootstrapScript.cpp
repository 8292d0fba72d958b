#include "FuzzSupport.h"

#include "editor/BootstrapScript.h"

// Any device names and saved state: the composed script's string literals
// decode back to exactly the names and the state text, and none of them holds
// a raw line terminator (which would be a syntax error). The page tests
// (tests/page/bootstrap.test.mjs) run such scripts in a real script engine.

namespace
{
    bool isLineTerminator (juce::juce_wchar c)    { return c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029; }

    /** Reads the double-quoted literal starting at `pos`; false if it is malformed. */
    bool readLiteral (const juce::String& script, int& pos, juce::String& out)
    {
        if (script[pos] != '"')
            return false;

        ++pos;
        out.clear();

        while (pos < script.length())
        {
            const auto c = script[pos++];

            if (c == '"')
                return true;

            if (isLineTerminator (c))
                return false;

            if (c != '\\')
            {
                out += juce::String::charToString (c);
                continue;
            }

            const auto e = script[pos++];
            switch (e)
            {
                case 'n': out += "\n"; break;
                case 'r': out += "\r"; break;
                case 't': out += "\t"; break;
                case 'b': out += "\b"; break;
                case 'f': out += "\f"; break;
                case 'u':
                {
                    const auto hex = script.substring (pos, pos + 4);
                    pos += 4;
                    out += juce::String::charToString ((juce::juce_wchar) hex.getHexValue32());
                    break;
                }
                default:  out += juce::String::charToString (e); break;
            }
        }

        return false;
    }

    /** The names in a "[{"id":0,"name":"..."},...]" list that starts at `pos`. */
    bool readPortList (const juce::String& script, int& pos, juce::StringArray& names)
    {
        if (script[pos++] != '[')
            return false;

        for (int i = 0; script[pos] != ']'; ++i)
        {
            if (i > 0 && script[pos++] != ',')
                return false;

            const juce::String head ("{\"id\":" + juce::String (i) + ",\"name\":");
            if (script.substring (pos, pos + head.length()) != head)
                return false;

            pos += head.length();
            juce::String name;
            if (! readLiteral (script, pos, name) || script[pos++] != '}')
                return false;

            names.add (name);
        }

        ++pos;
        return true;
    }
}

// Device names and page states are text: build them from code points, more
// often the ASCII ones that matter to scripts and JSON, sometimes any at all.
static juce::String consumeText (FuzzedDataProvider& input, size_t maxLength)
{
    juce::String text;

    for (auto length = input.ConsumeIntegralInRange<size_t> (0, maxLength); length > 0 && input.remaining_bytes() > 0; --length)
    {
        auto c = input.ConsumeIntegralInRange<uint32_t> (1, 0x10ffff);

        if (input.ConsumeBool())
            c = 1 + c % 0x7f;

        if (c < 0xd800 || c > 0xdfff)
            text += juce::String::charToString ((juce::juce_wchar) c);
    }

    return text;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    FuzzedDataProvider input (data, size);
    juce::StringArray outputs, inputs;

    for (auto n = input.ConsumeIntegralInRange (0, 3); --n >= 0;)
        outputs.add (consumeText (input, 24));

    for (auto n = input.ConsumeIntegralInRange (0, 3); --n >= 0;)
        inputs.add (consumeText (input, 24));

    const auto state = consumeText (input, 200);
    const auto script = BootstrapScript::buildPortsScript (outputs, inputs, "\n/*shim*/\n")
                      + BootstrapScript::instanceBlock ("abc", state);

    int pos = juce::String ("var _juceMidiPorts = ").length();
    juce::StringArray seenOutputs, seenInputs;
    FUZZ_CHECK (readPortList (script, pos, seenOutputs) && seenOutputs == outputs);

    const juce::String between (";\nvar _juceMidiInputPorts = ");
    FUZZ_CHECK (script.substring (pos, pos + between.length()) == between);
    pos += between.length();
    FUZZ_CHECK (readPortList (script, pos, seenInputs) && seenInputs == inputs);

    const auto marker = script.indexOf ("JSON.parse (");
    if (state.trim().isEmpty())
    {
        FUZZ_CHECK (marker < 0 && script.endsWith ("var _lwInstanceState = null;\n"));
    }
    else
    {
        pos = marker + juce::String ("JSON.parse (").length();
        juce::String seenState;
        FUZZ_CHECK (readLiteral (script, pos, seenState) && seenState == state);
        FUZZ_CHECK (script.substring (pos).startsWith ("); } catch (e) { return null; } })();\n"));
    }

    return 0;
}
