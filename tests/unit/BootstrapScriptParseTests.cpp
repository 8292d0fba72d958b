#include <gtest/gtest.h>

#include "editor/BootstrapScript.h"

#include <PageData.h>

// Whatever the device names and the saved state, the composed script must
// parse, and the page must see every name and the state's JSON value exactly.
// The check runs the scripts in Node (tests/unit/bootstrap_check.mjs).

namespace
{
    juce::String randomText (juce::Random& random)
    {
        // Weighted towards the characters that break scripts and JSON.
        static const juce::juce_wchar awkward[] = { '"', '\\', '\n', '\r', '\t', 0x2028, 0x2029, '<', '/', '\'', '{',
                                                    '}', '[', ']', ':', ',', ' ', 0x01, 0x1f, 0x7f, 0xe9, 0x266a,
                                                    0x1f3b9, 0xfeff };
        juce::String text;
        const auto length = random.nextInt (12);

        for (int i = 0; i < length; ++i)
        {
            const auto pick = random.nextInt (4);
            const auto c = pick == 0 ? (juce::juce_wchar) (0x20 + random.nextInt (0x5f))
                         : pick == 1 ? (juce::juce_wchar) (1 + random.nextInt (0x2fff))
                                     : awkward[random.nextInt (juce::numElementsInArray (awkward))];

            if (! (c >= 0xd800 && c <= 0xdfff))
                text += juce::String::charToString (c);
        }

        return text;
    }

    juce::String randomState (juce::Random& random)
    {
        switch (random.nextInt (4))
        {
            case 0:  return randomText (random);        // mostly not JSON
            case 1:  return juce::JSON::toString (juce::var (randomText (random)));
            case 2:
            {
                auto object = std::make_unique<juce::DynamicObject>();
                object->setProperty ("channel", random.nextInt (20));
                object->setProperty (juce::Identifier ("k" + juce::String (random.nextInt (9))), randomText (random));
                return " " + juce::JSON::toString (object.release(), random.nextBool()) + "\n";
            }
            default: return juce::String::repeatedString (" ", random.nextInt (3));
        }
    }
}

TEST (BootstrapScript, ThousandsOfRandomNamesAndStatesParseInTheBrowserEngine)
{
    const juce::String shim (PageData::webmidishim_js, (size_t) PageData::webmidishim_jsSize);
    juce::Random random (20261210);
    juce::Array<juce::var> cases;

    for (int i = 0; i < 3000; ++i)
    {
        juce::StringArray outputs, inputs;
        for (int n = random.nextInt (4); --n >= 0;)   outputs.add (randomText (random));
        for (int n = random.nextInt (3); --n >= 0;)   inputs.add (randomText (random));

        const auto id = juce::Uuid().toString();
        const auto state = randomState (random);
        const auto plugin = random.nextBool();

        auto script = BootstrapScript::buildPortsScript (outputs, inputs, shim);
        if (plugin)
            script << BootstrapScript::instanceBlock (id, state);
        script << BootstrapScript::eventKeyBlock ("k3y");

        // Where the script lands: the game's top-level document (most of the
        // time), a page of another origin, or a frame inside the game.
        const char* where[] = { "game", "game", "other origin", "frame" };
        const juce::String place = where[random.nextInt (4)];

        auto c = std::make_unique<juce::DynamicObject>();
        c->setProperty ("script", BootstrapScript::forGameOnly ("https://game.example", script));
        c->setProperty ("origin", place == "other origin" ? "https://ads.example" : "https://game.example");
        c->setProperty ("frame", place == "frame");
        c->setProperty ("outputs", outputs);
        c->setProperty ("inputs", inputs);
        c->setProperty ("plugin", plugin);
        c->setProperty ("id", id);
        c->setProperty ("state", state);
        cases.add (c.release());
    }

    juce::TemporaryFile file (".json");
    ASSERT_TRUE (file.getFile().replaceWithText (juce::JSON::toString (cases, true), false, false, "\n"));

    const auto checker = juce::File (LUTEWYRM_SOURCE_DIR).getChildFile ("tests/unit/bootstrap_check.mjs");
    juce::ChildProcess node;
    ASSERT_TRUE (node.start (juce::StringArray { "node", checker.getFullPathName(), file.getFile().getFullPathName() }));

    const auto output = node.readAllProcessOutput();
    EXPECT_EQ (node.getExitCode(), 0u) << output;
    EXPECT_TRUE (output.contains ("3000 scripts checked")) << output;
}
