#include "EditorHarness.h"
#include "editor/WindowPolicy.h"

#include <juce_audio_utils/juce_audio_utils.h>
#include <juce_audio_plugin_client/Standalone/juce_StandaloneFilterWindow.h>

#include <atomic>

// The editor's window policy on the real X display. CTest runs these tests on
// two screens, 1920x1080 and 1280x720; the sizes expected on each are written
// out below rather than computed with the policy under test.

using Wrapper = juce::AudioProcessor::WrapperType;

namespace
{
    juce::Rectangle<int> userArea()
    {
        return onMessageThread<juce::Rectangle<int>> ([] { return *WindowPolicy::primaryUserArea(); });
    }

    /** What the player sees on this screen: the editor's default size (the
        default 1440x900, with room for a title bar of 32), and the standalone
        window's size after its adjustment (room for 40).
    */
    struct ScreenSizes
    {
        juce::Rectangle<int> defaultEditor, standaloneWindow;
    };

    ScreenSizes sizesOnThisScreen()
    {
        const auto area = userArea();

        if (area.getWidth() == 1920 && area.getHeight() == 1080)
            return { { 1440, 900 }, { 1440, 900 } };

        if (area.getWidth() == 1280 && area.getHeight() == 720)
            return { { 1280, 688 }, { 1280, 680 } };

        ADD_FAILURE() << "no sizes written down for a user area of " << area.toString();
        return {};
    }

    /** The framework's own standalone window, as the shipped application has it.
        `beforeAdjustment` runs in the same message-thread turn that creates and
        shows the window, so it always lands before the editor's delayed window
        adjustment, however slow the machine is.
    */
    struct StandaloneWindow
    {
        explicit StandaloneWindow (std::function<void (juce::StandaloneFilterWindow&)> beforeAdjustment = {})
        {
            settingsFolder = juce::File::createTempFile ("settings");
            onMessageThread ([this, &beforeAdjustment]
            {
                juce::PropertiesFile::Options options;
                options.applicationName = "Lutewyrm RPG test";
                options.filenameSuffix = ".settings";
                options.folderName = settingsFolder.getFullPathName();

                window = std::make_unique<juce::StandaloneFilterWindow> ("Lutewyrm RPG",
                                                                         juce::Colours::black,
                                                                         new juce::PropertiesFile (options),
                                                                         true);
                window->setVisible (true);

                if (beforeAdjustment)
                    beforeAdjustment (*window);

                // JUCE runs timers in due order: this marker, registered in the
                // same turn as the editor's window adjustment with the same
                // delay, runs after it, however late both are.
                juce::Timer::callAfterDelay (LUTEWYRMRPGAudioProcessorEditor::windowAdjustDelayMs,
                                             [flag = adjusted] { *flag = true; });
            });
        }

        /** Waits until the editor's delayed window adjustment has run. */
        bool waitForTheAdjustment() const
        {
            return waitFor ([flag = adjusted] { return flag->load(); }, 60000);
        }

        std::shared_ptr<std::atomic<bool>> adjusted = std::make_shared<std::atomic<bool>> (false);

        ~StandaloneWindow()
        {
            onMessageThread ([this] { window = nullptr; });
            settingsFolder.deleteRecursively();
        }

        // The wrapper puts the editor inside a content component of its own.
        LUTEWYRMRPGAudioProcessorEditor* editor() const
        {
            std::function<LUTEWYRMRPGAudioProcessorEditor* (juce::Component&)> find = [&] (juce::Component& c)
            {
                if (auto* e = dynamic_cast<LUTEWYRMRPGAudioProcessorEditor*> (&c))
                    return e;

                for (auto* child : c.getChildren())
                    if (auto* e = find (*child))
                        return e;

                return (LUTEWYRMRPGAudioProcessorEditor*) nullptr;
            };

            return find (*window);
        }

        juce::File settingsFolder;
        std::unique_ptr<juce::StandaloneFilterWindow> window;
    };

    // JUCE runs timers in due order, so a marker with the longest of an open
    // editor's delays, registered after it was made, runs after all of them.
    void waitForTheEditorsDelayedTasks()
    {
        const auto ran = std::make_shared<std::atomic<bool>> (false);
        onMessageThread ([ran] { juce::Timer::callAfterDelay (LUTEWYRMRPGAudioProcessorEditor::sizeRestoreDelayMs,
                                                              [ran] { *ran = true; }); });
        ASSERT_TRUE (waitFor ([ran] { return ran->load(); }));
    }

    int visibleOptionsButtons (juce::Component& root)
    {
        int count = 0;
        for (auto* child : root.getChildren())
        {
            if (auto* b = dynamic_cast<juce::Button*> (child))
                if (b->getButtonText() == "Options" && b->isVisible())
                    ++count;
            count += visibleOptionsButtons (*child);
        }
        return count;
    }
}

//==============================================================================
TEST (Window, StandaloneEditorStartsAtTheDefaultSizeLimitedByTheDisplay)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.processor->setEditorSize (1000, 700);      // never read in the standalone application
    const auto expected = sizesOnThisScreen().defaultEditor;

    onMessageThread ([&]
    {
        std::unique_ptr<juce::AudioProcessorEditor> editor (h.processor->createEditor());
        EXPECT_EQ (editor->getBounds(), expected);
    });
}

TEST (Window, StandaloneWindowGetsNativeTitleBarAndNoOptionsButton)
{
    StandaloneWindow w;
    ASSERT_TRUE (waitFor ([&] { return w.editor() != nullptr; }));

    // The wrapper lays its content out a moment after it is shown.
    juce::Rectangle<int> previous;
    ASSERT_TRUE (waitFor ([&]
    {
        const auto now = w.window->getBounds();
        return std::exchange (previous, now) == now && now.getWidth() > 200;
    }, 60000));

    onMessageThread ([&]
    {
        EXPECT_TRUE (w.window->isUsingNativeTitleBar());
        EXPECT_EQ (visibleOptionsButtons (*w.window), 0);
    });

    // After the adjustment: still hidden, and a window this big stays where it is.
    const auto bounds = onMessageThread<juce::Rectangle<int>> ([&] { return w.window->getBounds(); });
    ASSERT_TRUE (bounds.getWidth() >= 1000 && bounds.getHeight() >= 640) << bounds.toString();
    ASSERT_TRUE (w.waitForTheAdjustment());
    onMessageThread ([&]
    {
        EXPECT_EQ (visibleOptionsButtons (*w.window), 0);
        EXPECT_EQ (w.window->getPosition(), bounds.getPosition());
    });
}

TEST (Window, SmallStandaloneWindowIsResizedToTheTargetAndCentred)
{
    // Shrink it before the adjustment runs.
    StandaloneWindow w ([] (auto& window) { window.setBounds (5, 5, 700, 500); });
    const auto area = userArea();
    const auto target = sizesOnThisScreen().standaloneWindow;

    // Wait for the adjustment rather than a fixed time: a loaded machine may
    // deliver the editor's timer late.
    ASSERT_TRUE (w.waitForTheAdjustment());

    onMessageThread ([&]
    {
        EXPECT_EQ (w.window->getWidth(), target.getWidth());
        EXPECT_EQ (w.window->getHeight(), target.getHeight());
        EXPECT_EQ (w.window->getBounds().getCentre(), area.getCentre());
    });
}

TEST (Window, FullScreenStandaloneWindowIsLeftAlone)
{
    StandaloneWindow w ([] (auto& window) { window.setFullScreen (true); });
    const auto bounds = onMessageThread<juce::Rectangle<int>> ([&] { return w.window->getBounds(); });
    ASSERT_TRUE (w.waitForTheAdjustment());

    onMessageThread ([&]
    {
        EXPECT_EQ (w.window->getBounds(), bounds);
        EXPECT_EQ (visibleOptionsButtons (*w.window), 0);
    });
}

//==============================================================================
TEST (Window, PluginStartsAtItsSavedSizeAndNeverWritesTheInitialOne)
{
    // Nothing saved: it opens at the default size, and saves nothing, not even
    // after its delayed size restore has run.
    {
        EditorHarness h (Wrapper::wrapperType_VST3);
        h.open();
        waitForTheEditorsDelayedTasks();

        const auto expected = sizesOnThisScreen().defaultEditor;
        onMessageThread ([&] { EXPECT_EQ (h.editor().getBounds(), expected); });
        EXPECT_EQ (h.processor->getEditorWidth(), 0);
        EXPECT_EQ (h.processor->getEditorHeight(), 0);
    }

    EditorHarness h (Wrapper::wrapperType_VST3);
    h.processor->setEditorSize (1000, 600);
    h.open();
    waitForTheEditorsDelayedTasks();

    onMessageThread ([&] { EXPECT_EQ (h.editor().getBounds(), juce::Rectangle<int> (1000, 600)); });
    EXPECT_EQ (h.processor->getEditorWidth(), 1000);
    EXPECT_EQ (h.processor->getEditorHeight(), 600);

    // The host resizes it: saved.
    onMessageThread ([&] { h.editor().setSize (1200, 800); });
    EXPECT_EQ (h.processor->getEditorWidth(), 1200);
    EXPECT_EQ (h.processor->getEditorHeight(), 800);
}

TEST (Window, PluginSizeLimitedByTheDisplayIsRestoredInFull)
{
    const auto area = userArea();
    const auto bigW = area.getWidth() + 80, bigH = area.getHeight() + 400;

    EditorHarness h (Wrapper::wrapperType_LV2);
    h.processor->setEditorSize (bigW, bigH);
    std::atomic<bool> checked { false };

    onMessageThread ([&]
    {
        auto editor = std::unique_ptr<juce::AudioProcessorEditor> (h.processor->createEditor());
        EXPECT_EQ (editor->getWidth(), area.getWidth());
        EXPECT_EQ (editor->getHeight(), area.getHeight() - 32);
        EXPECT_EQ (h.processor->getEditorWidth(), bigW);       // the limited size was not saved

        auto* raw = editor.get();
        juce::Component holder;
        holder.addAndMakeVisible (*raw);

        // After 300 ms the saved size is applied as it is, and saved again.
        juce::Timer::callAfterDelay (600, [raw, bigW, bigH, &h]
        {
            EXPECT_EQ (raw->getBounds(), juce::Rectangle<int> (bigW, bigH));
            EXPECT_EQ (h.processor->getEditorWidth(), bigW);
        });
        editor.release();
        juce::Timer::callAfterDelay (700, [raw, &checked] { delete raw; checked = true; });
    });

    // The delayed checks refer to this test's objects: wait until they have run.
    ASSERT_TRUE (waitFor ([&] { return checked.load(); }));
}

TEST (Window, PluginRestoreAppliesASizeTheHostRestoredMeanwhile)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.processor->setEditorSize (900, 600);
    h.open();       // opening takes longer than 300 ms, so restore within the window ourselves:

    h.close();
    std::atomic<bool> checked { false };
    onMessageThread ([&]
    {
        auto* editor = h.processor->createEditor();
        // A host restores a project with another size right after opening the editor.
        setBlob (*h.processor, R"({"editorW": 1111, "editorH": 777})");
        juce::Timer::callAfterDelay (600, [editor, &checked]
        {
            EXPECT_EQ (editor->getBounds(), juce::Rectangle<int> (1111, 777));
            delete editor;
            checked = true;
        });
    });

    ASSERT_TRUE (waitFor ([&] { return checked.load(); }));
}

TEST (Window, StandaloneNeverSavesTheSizeAndSavedZeroIsIgnored)
{
    {
        EditorHarness h (Wrapper::wrapperType_Standalone);
        h.open();
        onMessageThread ([&] { h.editor().setSize (1200, 800); });
        EXPECT_EQ (h.processor->getEditorWidth(), 0);
        EXPECT_EQ (h.processor->getEditorHeight(), 0);
    }

    EditorHarness h (Wrapper::wrapperType_VST3);
    h.processor->setEditorSize (0, 700);
    h.open();
    waitForTheEditorsDelayedTasks();
    const auto expected = sizesOnThisScreen().defaultEditor;
    onMessageThread ([&] { EXPECT_EQ (h.editor().getBounds(), expected); });
    EXPECT_EQ (h.processor->getEditorWidth(), 0);
}

TEST (Window, EditorClosedBeforeItsDelayedTasksRunIsFine)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.processor->setEditorSize (800, 600);

    for (int i = 0; i < 5; ++i)
        onMessageThread ([&]
        {
            // Closed at once: the size restore and, inside a window, the window
            // adjustment still fire later and must find nothing.
            juce::DocumentWindow window ("w", juce::Colours::black, juce::DocumentWindow::allButtons);
            window.setContentOwned (h.processor->createEditor(), true);
        });

    // A marker with the longest of their delays, registered after all of
    // them, runs after every one of them.
    std::atomic<bool> allRan { false };
    onMessageThread ([&] { juce::Timer::callAfterDelay (LUTEWYRMRPGAudioProcessorEditor::sizeRestoreDelayMs, [&] { allRan = true; }); });
    ASSERT_TRUE (waitFor ([&] { return allRan.load(); }, 60000));
}
