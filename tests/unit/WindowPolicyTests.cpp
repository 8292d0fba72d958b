#include <gtest/gtest.h>
#include "support/JucePrinters.h"

#include "editor/WindowPolicy.h"
#include "support/MessageThread.h"

using Area = std::optional<juce::Rectangle<int>>;

TEST (WindowPolicy, EditorSizeAtConstruction)
{
    struct Case { bool plugin; int savedW, savedH; Area area; int w, h; };

    const Case cases[] = {
        { false, 0,    0,    juce::Rectangle<int> (1920, 1040), 1440, 900 },
        { false, 1000, 700,  juce::Rectangle<int> (1920, 1040), 1440, 900 },   // standalone never reads it
        { false, 0,    0,    juce::Rectangle<int> (1280, 680),  1280, 648 },
        { false, 0,    0,    juce::Rectangle<int> (800, 560),   800,  528 },
        { true,  1000, 700,  juce::Rectangle<int> (1920, 1040), 1000, 700 },
        { true,  0,    700,  juce::Rectangle<int> (1920, 1040), 1440, 900 },
        { true,  1000, -1,   juce::Rectangle<int> (1920, 1040), 1440, 900 },
        { true,  2000, 1500, juce::Rectangle<int> (1920, 1040), 1920, 1008 },
        { true,  2000, 1500, std::nullopt,                      2000, 1500 },
        { false, 0,    0,    std::nullopt,                      1440, 900 },
    };

    for (auto& c : cases)
        EXPECT_EQ (WindowPolicy::initialEditorSize (c.plugin, c.savedW, c.savedH, c.area),
                   juce::Rectangle<int> (c.w, c.h))
            << c.plugin << " " << c.savedW << "x" << c.savedH;
}

TEST (WindowPolicy, StandaloneWindowTargetLimitsAndCentring)
{
    struct Case { Area area; int targetW, targetH, minW, minH; };

    const Case cases[] = {
        { juce::Rectangle<int> (1920, 1040), 1440, 900, 900, 560 },
        { juce::Rectangle<int> (1280, 680),  1280, 640, 900, 560 },
        { juce::Rectangle<int> (800, 560),   800,  520, 800, 520 },
        { std::nullopt,                      1440, 900, 900, 560 },
    };

    for (auto& c : cases)
    {
        const auto target = WindowPolicy::windowTargetSize (c.area);
        EXPECT_EQ (target, juce::Rectangle<int> (c.targetW, c.targetH));
        EXPECT_EQ (WindowPolicy::windowMinimumSize (target), juce::Rectangle<int> (c.minW, c.minH));
    }

    EXPECT_TRUE (WindowPolicy::shouldCentreWindow (999, 900));
    EXPECT_TRUE (WindowPolicy::shouldCentreWindow (1440, 639));
    EXPECT_FALSE (WindowPolicy::shouldCentreWindow (1000, 640));
}

TEST (WindowPolicy, OptionsButtonsAreFoundByTheirTextAtAnyDepth)
{
    onMessageThread ([]
    {
        juce::Component root, level1, level2, level3;
        juce::TextButton deep ("Options"), named ("Something else"), other ("Close"), lowerCase ("options"), direct ("Options");
        named.setName ("Options");      // the component name does not count

        root.addAndMakeVisible (level1);
        root.addAndMakeVisible (direct);
        level1.addAndMakeVisible (level2);
        level2.addAndMakeVisible (level3);
        level3.addAndMakeVisible (deep);
        level2.addAndMakeVisible (named);
        level2.addAndMakeVisible (other);
        level1.addAndMakeVisible (lowerCase);

        WindowPolicy::hideOptionsButtons (&root);
        WindowPolicy::hideOptionsButtons (nullptr);

        EXPECT_FALSE (deep.isVisible());
        EXPECT_FALSE (direct.isVisible());
        EXPECT_TRUE (named.isVisible());
        EXPECT_TRUE (other.isVisible());
        EXPECT_TRUE (lowerCase.isVisible());
        EXPECT_TRUE (level3.isVisible());
    });
}
