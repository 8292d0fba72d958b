// What an open editor costs while nothing happens: CPU (% of one core) and
// resident memory of the whole process tree (the web engine's processes
// included), measured over 30 s once the page has settled.
//
//   tests/e2e/run-under-xvfb.sh 1920x1080 build/bench/lutewyrm_idle_bench
//
// 1. the shipped standalone application on the stand-in page
// 2. 1 and 4 plug-in editors in one host process (this one), and 1 hidden
//
// LUTEWYRM_IDLE_SECONDS changes the measuring time (default 30).

#include "../tests/e2e/EditorHarness.h"
#include "../tests/support/ProcessInfo.h"

#include <csignal>
#include <thread>

namespace
{
    double measuringSeconds()
    {
        const auto text = juce::SystemStats::getEnvironmentVariable ("LUTEWYRM_IDLE_SECONDS", "30");
        return juce::jmax (1.0, text.getDoubleValue());
    }

    struct Figures { double percentOfACore = 0, mib = 0; };

    /** The bench's own page server is a child of this process; it is not
        part of what is measured.
    */
    int pageServer()
    {
        const auto found = ProcessInfo::children (getpid(), "fixture_server");
        return found.empty() ? -1 : found.front();
    }

    double cpuSeconds (int root)
    {
        const auto server = pageServer();
        return ProcessInfo::treeCpuSeconds (root) - (server > 0 ? ProcessInfo::treeCpuSeconds (server) : 0.0);
    }

    /** CPU of the tree over the measuring time; the page has had `settleSeconds` to settle. */
    Figures measureTree (int root, double settleSeconds)
    {
        std::this_thread::sleep_for (std::chrono::duration<double> (settleSeconds));

        const auto seconds = measuringSeconds();
        const auto before = cpuSeconds (root);
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for (std::chrono::duration<double> (seconds));
        const auto cpu = cpuSeconds (root) - before;
        const auto wall = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();

        const auto server = pageServer();
        const auto mib = ProcessInfo::treeResidentMiB (root) - (server > 0 ? ProcessInfo::treeResidentMiB (server) : 0.0);
        return { 100.0 * cpu / wall, mib };
    }

    void standalone()
    {
        // Its own settings, so a player's saved state does not matter.
        const auto home = juce::File::createTempFile ("idle-home");
        home.createDirectory();

        juce::ChildProcess app;
        const auto previousHome = juce::SystemStats::getEnvironmentVariable ("HOME", {});
        setenv ("HOME", home.getFullPathName().toRawUTF8(), 1);
        const auto started = app.start (juce::StringArray { LUTEWYRM_STANDALONE_APP }, 0);
        setenv ("HOME", previousHome.toRawUTF8(), 1);

        // Until the forked child has become the application.
        auto found = ProcessInfo::children (getpid(), "Standalone/Lutewyrm RPG");

        for (int i = 0; started && found.empty() && i < 500; ++i)
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (20));
            found = ProcessInfo::children (getpid(), "Standalone/Lutewyrm RPG");
        }

        if (! started || found.empty())
        {
            printf ("standalone: could not start %s\n", LUTEWYRM_STANDALONE_APP);
            return;
        }

        const auto pid = found.front();
        const auto f = measureTree (pid, 15.0);
        printf ("standalone application, idle on the stand-in page: %.2f %% of one core, %.0f MiB resident (tree)\n",
                f.percentOfACore, f.mib);

        // As a window manager closes it; its web engine goes with it.
        kill (pid, SIGTERM);
        app.waitForProcessToFinish (60000);
        home.deleteRecursively();
    }

    void editors (int count, bool hidden)
    {
        std::vector<std::unique_ptr<EditorHarness>> open;

        for (int i = 0; i < count; ++i)
        {
            open.push_back (std::make_unique<EditorHarness> (juce::AudioProcessor::wrapperType_VST3));
            open.back()->devices.plugOutput ("Lute", "out-0");
            open.back()->open();
        }

        if (hidden)
            onMessageThread ([&] { for (auto& h : open) h->editor().getTopLevelComponent()->setVisible (false); });

        const auto f = measureTree (getpid(), 10.0);
        printf ("%d plug-in editor%s in one host process%s: %.2f %% of one core, %.0f MiB resident (tree)\n",
                count, count == 1 ? "" : "s", hidden ? ", hidden" : "", f.percentOfACore, f.mib);

        onMessageThread ([&] { for (auto& h : open) h->close(); });
    }
}

int main (int argc, char** argv)
{
    return runWithEditors (argc, argv, []
    {
        standalone();
        editors (1, false);
        editors (4, false);
        editors (1, true);
    });
}
