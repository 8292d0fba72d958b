#include <gtest/gtest.h>
#include "support/JucePrinters.h"

#include "editor/BootstrapScript.h"

namespace
{
    juce::String utf8 (const char* text)    { return juce::String::fromUTF8 (text); }

    const juce::String lineSeparator = juce::String::charToString ((juce::juce_wchar) 0x2028),
                       paragraphSeparator = juce::String::charToString ((juce::juce_wchar) 0x2029);
}

TEST (BootstrapScript, PortListsNumberPortsByPosition)
{
    EXPECT_EQ (BootstrapScript::portList ({}), "[]");
    EXPECT_EQ (BootstrapScript::portList ({ "Lute" }), R"([{"id":0,"name":"Lute"}])");
    EXPECT_EQ (BootstrapScript::portList ({ "Lute", "Lute", "" }),
               R"([{"id":0,"name":"Lute"},{"id":1,"name":"Lute"},{"id":2,"name":""}])");
}

TEST (BootstrapScript, NamesAreEscapedSoTheyArriveUnchanged)
{
    struct Case { juce::String name, escaped; };

    const Case cases[] = {
        { "a\"b\\c",                        "a\\\"b\\\\c" },        // backslash first, then quote
        { "\\\"",                           "\\\\\\\"" },
        { "tab\tbell\x07 stay raw",         "tab\tbell\x07 stay raw" },
        { utf8 ("R\xc3\xb6land \xf0\x9f\x8e\xb9"), utf8 ("R\xc3\xb6land \xf0\x9f\x8e\xb9") },
        // Line terminators would end the string literal and break the script.
        { "two\nlines\r\n",                 "two\\nlines\\r\\n" },
        { "ls" + lineSeparator + "ps" + paragraphSeparator, "ls\\u2028ps\\u2029" },
        { "</script>",                      "</script>" },
    };

    for (auto& c : cases)
        EXPECT_EQ (BootstrapScript::escapeName (c.name), c.escaped) << c.name;
}

TEST (BootstrapScript, PortsScriptIsTheDeclarationsThenTheShim)
{
    EXPECT_EQ (BootstrapScript::buildPortsScript ({ "Out \"A\"" }, {}, "\n(function(){})();\n"),
               "var _juceMidiPorts = [{\"id\":0,\"name\":\"Out \\\"A\\\"\"}];\n"
               "var _juceMidiInputPorts = [];\n"
               "\n(function(){})();\n");
}

TEST (BootstrapScript, InstanceBlockCarriesTheStateAsInertText)
{
    const juce::String parse ("(function () { try { return JSON.parse (");
    const juce::String guard ("); } catch (e) { return null; } })()");

    struct Case { juce::String state, value; };

    const Case cases[] = {
        { "",                        "null" },
        { "   \t\r\n ",              "null" },
        { "{\"channel\":3}",         parse + "\"{\\\"channel\\\":3}\"" + guard },
        { "  {\"a\":1}  ",           parse + "\"  {\\\"a\\\":1}  \"" + guard },     // inserted untrimmed
        { "not json; alert(1)",      parse + "\"not json; alert(1)\"" + guard },
        { "\"</script>\"\n\\",       parse + "\"\\\"</script>\\\"\\n\\\\\"" + guard },
        { "x" + lineSeparator,       parse + "\"x\\u2028\"" + guard },
    };

    for (auto& c : cases)
        EXPECT_EQ (BootstrapScript::instanceBlock ("0123abcd", c.state),
                   "\nvar _lwInstanceId = \"0123abcd\";\nvar _lwInstanceState = " + c.value + ";\n") << c.state;

    EXPECT_EQ (BootstrapScript::instanceBlock ("a\"b", ""), "\nvar _lwInstanceId = \"a\\\"b\";\nvar _lwInstanceState = null;\n");
}
