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

// What the composed script declares and does, with hostile names and states,
// is checked by running it: tests/page/bootstrap.test.mjs.
