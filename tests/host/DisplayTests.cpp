#include "HostedPlugin.h"
#include "support/ProcessInfo.h"

#include <csignal>
#include <thread>

// The plug-in and the display server. Instantiating, processing, saving and
// restoring state need no display; losing the display (a remote session that
// drops, a display server restarting) ends the editor's web view, not the
// host. These run one per process: each kills the display it ran on.

using namespace HostTesting;

namespace
{
    /** Blocks on a thread of their own, as a DAW's audio thread runs them. */
    struct AudioThread
    {
        explicit AudioThread (juce::AudioPluginInstance& p) : plugin (p)
        {
            plugin.prepareToPlay (48000.0, 256);
            thread = std::thread ([this]
            {
                juce::AudioBuffer<float> buffer (2, 256);

                while (! done)
                {
                    auto midi = notes (4, 256);
                    plugin.processBlock (buffer, midi);
                    ++blocks;
                    std::this_thread::sleep_for (std::chrono::milliseconds (2));
                }
            });
        }

        ~AudioThread()
        {
            done = true;
            thread.join();
            plugin.releaseResources();
        }

        /** Waits until this many more blocks have been processed. */
        bool waitForMoreBlocks (int count)
        {
            const auto target = blocks.load() + count;
            return waitFor ([&] { return blocks.load() >= target; }, 60000);
        }

        juce::AudioPluginInstance& plugin;
        std::atomic<bool> done { false };
        std::atomic<int> blocks { 0 };
        std::thread thread;
    };

    /** The editor's web engine: a process of its own on the display. */
    bool webEngineIsRunning()
    {
        return ! ProcessInfo::children (getpid(), "--juce-gtkwebkitfork-child").empty();
    }

    void killTheDisplay()
    {
        const auto pid = juce::SystemStats::getEnvironmentVariable ("LUTEWYRM_XVFB_PID", {}).getIntValue();
        ASSERT_GT (pid, 0) << "run this under tests/e2e/run-under-xvfb.sh";
        ASSERT_EQ (kill (pid, SIGKILL), 0);
    }

    /** The host's own state format, written by one instance and read by
        another, comes back byte for byte.
    */
    void expectStateRoundTrips (HostedPlugin& p)
    {
        const auto saved = p.state();
        ASSERT_GT (saved.getSize(), 0u);

        HostedPlugin again;
        ASSERT_NE (again.instance, nullptr);
        again.instance->setStateInformation (saved.getData(), (int) saved.getSize());
        EXPECT_EQ (again.state(), saved);
    }
}

//==============================================================================
TEST (DisplayLoss, WithoutAnEditorNothingNotices)
{
    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);
    AudioThread audio (*p.instance);
    ASSERT_TRUE (audio.waitForMoreBlocks (50));

    killTheDisplay();

    // Still here, still processing, state still whole.
    EXPECT_TRUE (audio.waitForMoreBlocks (200));
    expectStateRoundTrips (p);
}

TEST (DisplayLoss, WithAnEditorOpenOnlyItsViewEnds)
{
    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);
    AudioThread audio (*p.instance);

    std::unique_ptr<EditorWindow> window;
    onMessageThread ([&] { window = std::make_unique<EditorWindow> (p.instance->createEditorIfNeeded()); });

    // Until the web view's own process is up and on the display.
    ASSERT_TRUE (waitFor ([] { return webEngineIsRunning(); }, 60000));
    ASSERT_TRUE (audio.waitForMoreBlocks (50));

    killTheDisplay();

    // The web view's process goes with the display; the host stays.
    EXPECT_TRUE (waitFor ([] { return ! webEngineIsRunning(); }, 60000));
    EXPECT_TRUE (audio.waitForMoreBlocks (200));
    expectStateRoundTrips (p);

    // A host closes the editor it can no longer show, and goes on.
    onMessageThread ([&] { window = nullptr; });
    EXPECT_TRUE (audio.waitForMoreBlocks (50));
}

//==============================================================================
// Run without DISPLAY (and traced for connections to an X server by
// tests/host/no_display_test.py): everything works, nothing looks for ":0".
TEST (NoDisplay, EverythingButTheViewWorks)
{
    ASSERT_TRUE (juce::SystemStats::getEnvironmentVariable ("DISPLAY", {}).isEmpty());

    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);
    {
        AudioThread audio (*p.instance);
        ASSERT_TRUE (audio.waitForMoreBlocks (50));
        expectStateRoundTrips (p);
    }

    // The editor takes its no-display path: it exists, sized, without a view to show.
    std::unique_ptr<juce::AudioProcessorEditor> editor;
    onMessageThread ([&] { editor.reset (p.instance->createEditorIfNeeded()); });
    ASSERT_NE (editor, nullptr);
    EXPECT_GT (onMessageThread<int> ([&] { return editor->getWidth(); }), 0);
    onMessageThread ([&] { editor = nullptr; });
}

// With a display: a plug-in that never opens an editor never connects to it.
TEST (NoDisplay, APluginWithoutAnEditorNeverConnects)
{
    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);
    AudioThread audio (*p.instance);
    ASSERT_TRUE (audio.waitForMoreBlocks (50));
    expectStateRoundTrips (p);
}
