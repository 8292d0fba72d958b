#include "WindowPolicy.h"

namespace WindowPolicy
{
    juce::Rectangle<int> initialEditorSize (bool isPlugin, int savedWidth, int savedHeight,
                                            std::optional<juce::Rectangle<int>> userArea)
    {
        auto width = defaultWidth, height = defaultHeight;

        if (isPlugin && savedWidth > 0 && savedHeight > 0)
        {
            width = savedWidth;
            height = savedHeight;
        }

        if (userArea.has_value())
        {
            width = juce::jmin (width, userArea->getWidth());
            height = juce::jmin (height, userArea->getHeight() - 32);
        }

        return { width, height };
    }

    juce::Rectangle<int> windowTargetSize (std::optional<juce::Rectangle<int>> userArea)
    {
        if (! userArea.has_value())
            return { defaultWidth, defaultHeight };

        return { juce::jmin (defaultWidth, userArea->getWidth()),
                 juce::jmin (defaultHeight, userArea->getHeight() - 40) };
    }

    juce::Rectangle<int> windowMinimumSize (juce::Rectangle<int> target)
    {
        return { juce::jmin (target.getWidth(), 900), juce::jmin (target.getHeight(), 560) };
    }

    bool shouldCentreWindow (int windowWidth, int windowHeight)
    {
        return windowWidth < 1000 || windowHeight < 640;
    }

    std::optional<juce::Rectangle<int>> primaryUserArea()
    {
        if (auto* display = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay())
            return display->userArea;

        return std::nullopt;
    }

    void hideOptionsButtons (juce::Component* root)
    {
        if (root == nullptr)
            return;

        for (auto* child : root->getChildren())
        {
            // The wrapper's button is found by its text; its component name differs.
            if (auto* button = dynamic_cast<juce::Button*> (child))
                if (button->getButtonText() == "Options")
                    button->setVisible (false);

            hideOptionsButtons (child);
        }
    }

    juce::DocumentWindow* findEnclosingWindow (juce::Component& component)
    {
        return component.findParentComponentOfClass<juce::DocumentWindow>();
    }
}
