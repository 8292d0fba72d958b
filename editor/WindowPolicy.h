#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <optional>

//==============================================================================
/** Sizing rules of the editor and of the standalone application's window.
    Pure functions of the display's user area, so they can be tested anywhere.
*/
namespace WindowPolicy
{
    constexpr int defaultWidth = 1440, defaultHeight = 900;

    /** Editor size at construction: the saved size in a plug-in when both values
        are positive, else 1440 x 900; then limited to the user area's width and
        its height minus 32.
    */
    juce::Rectangle<int> initialEditorSize (bool isPlugin, int savedWidth, int savedHeight,
                                            std::optional<juce::Rectangle<int>> userArea);

    /** The standalone window's target size: 1440 x 900 limited to the user area
        (height minus 40, leaving room for the title bar).
    */
    juce::Rectangle<int> windowTargetSize (std::optional<juce::Rectangle<int>> userArea);

    /** Minimum size handed to the window: the target, but at most 900 x 560. */
    juce::Rectangle<int> windowMinimumSize (juce::Rectangle<int> target);

    /** A window smaller than this is resized to the target and centred. */
    bool shouldCentreWindow (int windowWidth, int windowHeight);

    /** The primary display's user area, if the desktop has a display. */
    std::optional<juce::Rectangle<int>> primaryUserArea();

    /** Hides every button below root whose text is exactly "Options", depth first. */
    void hideOptionsButtons (juce::Component* root);

    /** The first juce::DocumentWindow above the component, or nullptr. */
    juce::DocumentWindow* findEnclosingWindow (juce::Component& component);
}
