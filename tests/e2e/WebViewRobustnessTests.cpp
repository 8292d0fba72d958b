#include "EditorHarness.h"
#include "support/ProcessInfo.h"

#include <sys/wait.h>
#include <signal.h>
#include <thread>

// The web view on Linux runs WebKit in a child process. These tests make that
// child die, its host die, start without a display, hide the development-only
// library names, share one data folder, and open many editors in a row.

using Wrapper = juce::AudioProcessor::WrapperType;

namespace
{
    juce::File buildFile (const char* path)     { return juce::File (path); }
}

//==============================================================================
TEST (WebViewRobustness, HostSurvivesTheWebEngineDying)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugOutput ("Lute", "out-0");
    h.open();

    const auto children = ProcessInfo::children (getpid(), "--juce-gtkwebkitfork-child");
    ASSERT_EQ (children.size(), 1u);
    kill (children[0], SIGKILL);

    // Only a web engine that has really gone leaves the host a dead pipe.
    ASSERT_TRUE (waitFor ([&] { return ! ProcessInfo::isRunning (children[0]); }));

    // Events and navigation now go to a dead process: the host must live on.
    h.devices.plugOutput ("Harp", "out-1");
    onMessageThread ([&]
    {
        h.editor().getBridge().pollMidiDevices();      // announces the device
        h.editor().getBrowser().goToURL (LUTEWYRM_PAGE_URL);
        h.editor().getBridge().emitPortsChanged();
    });
    settle (300);

    // And it must not spin on the dead pipe: a spinning thread would take a
    // good share of a core even on a busy machine.
    const auto before = ProcessInfo::stat (getpid()).cpuSeconds;
    const auto start = juce::Time::getMillisecondCounterHiRes();
    settle (3000);
    const auto wall = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
    EXPECT_LT ((ProcessInfo::stat (getpid()).cpuSeconds - before) / wall, 0.1);

    // Closing the editor must not hang.
    std::atomic<bool> closed { false };
    std::thread closer ([&] { h.close(); closed = true; });
    const auto deadline = juce::Time::getMillisecondCounter() + 60000;
    while (! closed && juce::Time::getMillisecondCounter() < deadline)
        std::this_thread::sleep_for (std::chrono::milliseconds (20));

    if (! closed)
    {
        closer.detach();
        FAIL() << "closing the editor hung";
    }

    closer.join();
}

// With nothing to do, no thread of ours wakes up on a schedule: not the
// message thread for a window's vertical-blank timer (patch 0015, 100 times a
// second), not the web view's reader thread polling its pipe (patch 0020,
// every 10 ms). Wake-ups are counted, not timed: a thread that polls wakes
// hundreds of times in the interval on a machine however busy, and one that
// sleeps wakes for its own timers only (the editor's device poll, every 2 s).
TEST (WebViewRobustness, AnIdleEditorWakesNoThreadOfOurs)
{
    for (auto wrapper : { Wrapper::wrapperType_Standalone, Wrapper::wrapperType_VST3 })
    {
        SCOPED_TRACE (wrapper == Wrapper::wrapperType_VST3 ? "plug-in" : "standalone");
        EditorHarness h (wrapper);
        h.open();
        ASSERT_TRUE (waitForPageClockSettled (h));

        // Once the page's start-up work is over: 4 s with no thread waking
        // more than 100 times, within a minute.
        EXPECT_EQ (ProcessInfo::threadsStillWakingAfterSettling (getpid(), 100, 4, 15), std::vector<std::string>());
    }
}

TEST (WebViewRobustness, WebEngineExitsWhenItsHostDies)
{
    const auto app = buildFile (LUTEWYRM_STANDALONE_APP);
    const auto home = juce::File::createTempFile ("home");
    home.createDirectory();

    const auto pid = fork();
    ASSERT_GE (pid, 0);

    if (pid == 0)
    {
        setenv ("HOME", home.getFullPathName().toRawUTF8(), 1);
        execl (app.getFullPathName().toRawUTF8(), app.getFullPathName().toRawUTF8(), (char*) nullptr);
        _exit (127);
    }

    std::vector<int> children;
    for (int i = 0; i < 300 && children.empty(); ++i)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
        children = ProcessInfo::children (pid, "--juce-gtkwebkitfork-child");
    }

    ASSERT_EQ (children.size(), 1u) << "the application's web engine did not start";

    // Until the engine is up (its web process started), not a guessed time.
    for (int i = 0; i < 1200 && ProcessInfo::children (children[0], "WebKitWebProcess").empty(); ++i)
        std::this_thread::sleep_for (std::chrono::milliseconds (50));

    kill (pid, SIGKILL);
    waitpid (pid, nullptr, 0);

    // The orphan notices its parent is gone and ends, instead of spinning.
    bool ended = false;
    for (int i = 0; i < 1200 && ! ended; ++i)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
        ended = ! ProcessInfo::isRunning (children[0]);
    }

    EXPECT_TRUE (ended) << "the web engine outlived its application";

    if (! ended)
        kill (children[0], SIGKILL);

    home.deleteRecursively();
    EXPECT_TRUE (ended) << "the web engine outlived its host";
}

namespace
{
    struct Run
    {
        juce::String output;
        int status = -1;        // as a shell gives it: 128 + n for a child ended by signal n
    };

    /** Runs this same test program again with `arguments` and waits for it to end.
        juce::ChildProcess reports 0 for a child that a signal ended, so a shell
        in between prints how it really ended.
    */
    Run runThisProgram (const juce::StringArray& environment, const juce::StringArray& arguments)
    {
        const auto self = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFullPathName();
        juce::StringArray command { "sh", "-c", "\"$@\"; echo \"exit status: $?\"", "sh", "env" };
        command.addArray (environment);
        command.add (self);
        command.addArray (arguments);

        juce::ChildProcess child;
        if (! child.start (command))
            return {};

        Run run;
        run.output = child.readAllProcessOutput();
        child.waitForProcessToFinish (60000);

        const auto marker = run.output.lastIndexOf ("exit status: ");
        if (marker >= 0)
            run.status = run.output.substring (marker + 13).getIntValue();

        return run;
    }
}

TEST (WebViewRobustness, EditorWithoutADisplay)
{
    // Runs this same program again without a display; see Headless below.
    const auto run = runThisProgram ({ "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "LUTEWYRM_PAGES_SERVED_BY_PARENT=1" },
                                     { "--gtest_filter=Headless.*", "--gtest_also_run_disabled_tests" });
    EXPECT_EQ (run.status, 0) << run.output;
    EXPECT_TRUE (run.output.contains ("[  PASSED  ] 1 test")) << run.output;
}

TEST (Headless, DISABLED_EditorWorksWithoutADisplay)
{
    ASSERT_TRUE (juce::SystemStats::getEnvironmentVariable ("DISPLAY", {}).isEmpty());

    EditorHarness h (Wrapper::wrapperType_VST3);
    h.devices.plugOutput ("Lute", "out-0");

    std::unique_ptr<juce::AudioProcessorEditor> editor;
    LUTEWYRMRPGAudioProcessorEditor* e = nullptr;

    onMessageThread ([&]
    {
        editor.reset (h.processor->createEditor());
        e = static_cast<LUTEWYRMRPGAudioProcessorEditor*> (editor.get());

        // Everything that writes to the web engine, which could not start here.
        e->getBridge().emitPortsChanged();
        e->getBridge().drainHostMidi();
        e->getBrowser().goToURL (LUTEWYRM_PAGE_URL);
        e->getBrowser().evaluateJavascript ("1");
    });

    // The editor keeps working: its device poll finds a device plugged in now
    // (and tells the page that is not there), and the bridge plays into it.
    h.devices.plugOutput ("Harp", "out-1");
    ASSERT_TRUE (waitFor ([&] { return onMessageThread<int> ([&] { return e->getBridge().getPorts().getNumOutputs(); }) == 2; }));

    onMessageThread ([&] { e->getBridge().handleMidiSend (juce::JSON::parse (R"({"port": 1, "data": [144, 60, 1]})")); });
    EXPECT_TRUE (h.devices.waitForSent ("out-1", 1));

    onMessageThread ([&] { editor.reset(); });
}

TEST (WebViewRobustness, RuntimeLibrariesAloneAreEnough)
{
    const auto run = runThisProgram ({ "LD_PRELOAD=" LUTEWYRM_HIDE_DEV_LIBRARIES, "LUTEWYRM_PAGES_SERVED_BY_PARENT=1" },
                                     { "--gtest_filter=PageEndToEnd.DeviceNoteReachesThePageAndItsEchoReachesTheOutput" });
    EXPECT_EQ (run.status, 0) << run.output;
    EXPECT_TRUE (run.output.contains ("[  PASSED  ] 1 test")) << run.output;
}

TEST (WebViewRobustness, OneDataFolderForEveryInstanceThatSurvivesRestarts)
{
    const auto dataHome = juce::File::createTempFile ("data");
    dataHome.createDirectory();
    setenv ("XDG_DATA_HOME", dataHome.getFullPathName().toRawUTF8(), 1);

    {
        EditorHarness plugin (Wrapper::wrapperType_VST3);
        plugin.open();
        plugin.eval ("localStorage.setItem ('lutewyrm-test', 'kept'); document.cookie = 'bard=lute; max-age=3600'; true");

        // The engine writes both a moment later, in processes of its own:
        // close only once they are on disk.
        // (SQLite files: the text may be stored as UTF-8 or as UTF-16.)
        const auto onDisk = [&] (const std::string& text)
        {
            std::string wide;
            for (auto c : text)
                wide += { c, '\0' };

            for (auto& file : dataHome.findChildFiles (juce::File::findFiles, true))
            {
                juce::MemoryBlock block;
                file.loadFileAsData (block);
                const std::string bytes (static_cast<const char*> (block.getData()), block.getSize());

                if (bytes.find (text) != std::string::npos || bytes.find (wide) != std::string::npos)
                    return true;
            }

            return false;
        };

        EXPECT_TRUE (waitFor ([&] { return onDisk ("lutewyrm-test") && onDisk ("bard"); }, 60000));
    }

    // A later, separate web engine, this time for the standalone application.
    {
        EditorHarness standalone (Wrapper::wrapperType_Standalone);
        standalone.open();
        EXPECT_EQ (standalone.eval ("localStorage.getItem ('lutewyrm-test')"), juce::var ("kept"));
        EXPECT_TRUE (standalone.eval ("document.cookie").toString().contains ("bard=lute"));
    }

    // Everything is in the one folder; nothing is named after the program.
    const auto folders = dataHome.findChildFiles (juce::File::findDirectories, false);
    ASSERT_EQ (folders.size(), 1);
    EXPECT_EQ (folders[0].getFileName(), "LUTE WYRM RPG");

    unsetenv ("XDG_DATA_HOME");
    dataHome.deleteRecursively();
}

TEST (WebViewRobustness, OpeningAndClosingEditorsLeaksNoDescriptorsOrProcesses)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.open();
    h.close();

    // The baseline is taken with no web engine left running: one still on its
    // way out would be counted in it and hide one the loop leaks.
    ASSERT_TRUE (waitFor ([&] { return ProcessInfo::children (getpid(), "--juce-gtkwebkitfork-child").empty(); }));
    const auto descriptorsBefore = ProcessInfo::openDescriptors();

    for (int i = 0; i < 20; ++i)
    {
        h.open();
        h.close();
    }

    settle (500);

    // The last web engine may take a moment to end on a busy machine.
    waitFor ([&]
    {
        return ProcessInfo::openDescriptors() <= descriptorsBefore + 2
            && ProcessInfo::children (getpid(), "--juce-gtkwebkitfork-child").empty();
    });

    EXPECT_LE (ProcessInfo::openDescriptors(), descriptorsBefore + 2);
    EXPECT_TRUE (ProcessInfo::children (getpid(), "--juce-gtkwebkitfork-child").empty());
}
