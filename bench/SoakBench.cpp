// A long session, accelerated: a plug-in with its editor in a real web view
// and virtual devices, through everything an evening of play brings, while
// MIDI flows both ways the whole time.
//
// Every cycle (about 6 s): a device is plugged in and pulled out again, the
// routed synth is switched off and on, the page changes channel and output,
// plays notes of its own, is reloaded, the host restores an earlier state
// with the editor open (while the old page keeps reporting its settings) and
// once more with it closed, and the editor is closed and opened again. The
// track plays a new note in every block, each held for two blocks.
//
// Checked throughout, each breach counted as a violation:
//   - every note-on reaches its note-off on the same device and channel
//     (checked when an output is closed while its device is still there, and
//     at the end; a device that is pulled out takes its notes with it);
//   - no message reaches "Decoy", an output the page never addresses;
//   - a restored state is never overwritten by an older document;
//   - a reloaded page comes back with the settings it had;
//   - the saved state at the end is the page's last report.
// Reported: messages checked, violations, and the growth after warm-up of
// the proportional set size of the process tree, its open descriptors and
// this process's threads.
//
// LUTEWYRM_SOAK_SECONDS (600) sets the length; the CTest entry soak_short runs
// 30 s and fails on any violation, never on a figure.

#include "../tests/e2e/EditorHarness.h"
#include "processor/RoutingChoice.h"
#include "support/ProcessInfo.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

namespace
{
    using Clock = std::chrono::steady_clock;

    /** Notes sounding per device, channel and note, as the devices saw them. */
    class NoteLedger
    {
    public:
        void sent (const juce::String& device, const juce::MidiMessage& m)
        {
            const std::scoped_lock lock (mutex);
            ++checked;

            if (device == "out-decoy")
                ++violations;

            if (m.isNoteOn())
                ++held[device][{ m.getChannel(), m.getNoteNumber() }];
            else if (m.isNoteOff())
                if (auto& count = held[device][{ m.getChannel(), m.getNoteNumber() }]; count > 0)
                    --count;
        }

        /** An output closed while its device is there: the track's notes
            (below 100; the page plays its own above) must all have ended.
            The page's notes are checked at the end, as its output and the
            routing's are two openings of one device.
        */
        void closed (const juce::String& device)
        {
            const std::scoped_lock lock (mutex);

            for (auto& [key, count] : held[device])
                if (key.second < 100)
                    violations += count;
        }

        /** A device pulled out takes its sounding notes with it. */
        void gone (const juce::String& device)
        {
            const std::scoped_lock lock (mutex);
            held.erase (device);
        }

        int64_t soundingAnywhere()
        {
            const std::scoped_lock lock (mutex);
            int64_t total = 0;
            for (auto& entry : held)
                total += sounding (entry.first);
            return total;
        }

        std::mutex mutex;
        int64_t checked = 0, violations = 0;

    private:
        int64_t sounding (const juce::String& device)
        {
            int64_t total = 0;
            for (auto& [key, count] : held[device])
                total += count;
            return total;
        }

        std::map<juce::String, std::map<std::pair<int, int>, int64_t>> held;
    };

    /** Proportional set size of a process and its descendants, in MiB. */
    double treePssMiB (int root)
    {
        double kib = 0;
        for (auto pid : ProcessInfo::tree (root))
        {
            std::istringstream rollup (ProcessInfo::readFile ("/proc/" + std::to_string (pid) + "/smaps_rollup"));
            for (std::string line; std::getline (rollup, line);)
                if (line.rfind ("Pss:", 0) == 0)
                    kib += std::stod (line.substr (4));
        }
        return kib / 1024.0;
    }

    int threadsOfThisProcess()
    {
        std::istringstream status (ProcessInfo::readFile ("/proc/self/status"));
        for (std::string line; std::getline (status, line);)
            if (line.rfind ("Threads:", 0) == 0)
                return std::stoi (line.substr (8));
        return 0;
    }

    struct Sample
    {
        double pssMiB;
        int descriptors, threads;
    };

    Sample sample()
    {
        return { treePssMiB (getpid()), ProcessInfo::openDescriptors(), threadsOfThisProcess() };
    }

    double growth (double from, double to)      { return from > 0 ? 100.0 * (to - from) / from : 0.0; }

    void soak (double seconds)
    {
        EditorHarness h (juce::AudioProcessor::wrapperType_VST3);
        NoteLedger ledger;
        std::set<juce::String> present;
        std::mutex presentLock;

        const auto plug = [&] (const juce::String& name, const juce::String& id)
        {
            { const std::scoped_lock lock (presentLock); present.insert (id); }
            h.devices.plugOutput (name, id);
        };
        const auto unplug = [&] (const juce::String& id)
        {
            { const std::scoped_lock lock (presentLock); present.erase (id); }
            h.devices.unplugOutput (id);
            ledger.gone (id);
        };

        h.devices.setRecording (false);
        h.devices.setSendObserver ([&] (const juce::String& id, const VirtualMidiDevices::SentMessage& s) { ledger.sent (id, s.message); });
        h.devices.setOutputCloseHook ([&] (const juce::String& id)
        {
            const std::scoped_lock lock (presentLock);
            if (present.count (id) > 0)
                ledger.closed (id);
        });

        plug ("synth", "out-synth");
        plug ("Harp", "out-harp");
        plug ("Decoy", "out-decoy");
        h.processor->prepareToPlay (48000.0, 256);
        h.open();

        // The track: a new note in every block, each held for two blocks, so
        // that notes are sounding whenever the routing changes.
        std::atomic<bool> playing { true };
        std::thread audio ([&]
        {
            juce::AudioBuffer<float> buffer (2, 256);
            const auto noteOf = [] (int block) { return 36 + block % 48; };
            for (int block = 0; playing; ++block)
            {
                juce::MidiBuffer midi;
                if (block >= 2)
                    midi.addEvent (juce::MidiMessage::noteOff (1, noteOf (block - 2)), 3);
                midi.addEvent (juce::MidiMessage::noteOn (1, noteOf (block), (juce::uint8) 90), 17);
                h.processor->processBlock (buffer, midi);

                // The host's callback period: the pace of the track, not a
                // wait for anything (a busy machine just plays fewer blocks).
                std::this_thread::sleep_for (std::chrono::milliseconds (5));
            }
        });

        int64_t restoreViolations = 0, restores = 0, reloadsReverted = 0;
        std::vector<juce::MemoryBlock> savedStates;
        std::optional<Sample> warm;
        Sample last {}, peak {};
        const auto start = Clock::now();
        const auto elapsed = [&] { return std::chrono::duration<double> (Clock::now() - start).count(); };

        const auto pageSettings = [&] { return h.eval ("lwDemo.stateText()").toString(); };
        const auto waitForReport = [&]
        {
            const auto expected = pageSettings();
            return waitFor ([&] { return h.processor->getWebState() == expected; }, 30000);
        };

        // A restore of an earlier state: the page must show it, and nothing
        // the old document says afterwards may undo it.
        const auto restoreOpen = [&] (const juce::MemoryBlock& blob)
        {
            // The old document reports its settings every millisecond from now on.
            h.eval ("setInterval (function () { lwDemo.setChannel (lwDemo.settings().channel); }, 1); true");
            waitForReport();
            const auto made = onMessageThread<int> ([&] { return h.editor().getBrowsersMade(); });
            const auto before = h.processor->getWebState();
            h.processor->setStateInformation (blob.getData(), (int) blob.getSize());
            const auto restored = h.processor->getWebState();
            ++restores;

            if (restored == before)
                return;     // the same settings as shown: nothing to reload

            waitFor ([&] { return onMessageThread<int> ([&] { return h.editor().getBrowsersMade(); }) > made; }, 30000);
            h.waitForPage ("lwDemo.ready === true && lwDemo.settingsFrom === 'instance'");

            if (h.processor->getWebState() != restored)
                ++restoreViolations;
        };

        for (int cycle = 0; elapsed() < seconds; ++cycle)
        {
            // Device-list changes, and the synth switched off and on.
            // The gap is longer than the device polls' 2 s, so each sees the synth gone.
            plug ("Pads", "out-pads");
            unplug ("out-synth");
            juce::Thread::sleep (2500);
            plug ("synth", "out-synth");
            unplug ("out-pads");

            // The page's routing, and notes of its own.
            h.eval ("lwDemo.selectOutput ('" + juce::String (cycle % 3 == 2 ? "Harp" : "synth") + "'); lwDemo.setChannel ("
                    + juce::String (1 + cycle % 16) + "); true");
            waitForReport();
            h.eval ("for (var n = 100; n < 104; ++n) { lwDemo.sendNote (n, 80); lwDemo.sendNote (n, 0); } true");

            juce::MemoryBlock blob;
            h.processor->getStateInformation (blob);
            savedStates.push_back (blob);

            // A reload, then a restore of an earlier state with the page open.
            // The reloaded page must come back with the player's latest settings.
            const auto beforeReload = pageSettings();
            h.reload();
            if (pageSettings() != beforeReload)
                ++reloadsReverted;
            if (savedStates.size() > 1)
                restoreOpen (savedStates[savedStates.size() - 2]);

            // Closed, restored while closed, opened again.
            h.close();
            h.processor->setStateInformation (savedStates.back().getData(), (int) savedStates.back().getSize());
            h.open();

            if (h.eval ("lwDemo.settingsFrom") != juce::var ("instance"))
                ++restoreViolations;

            last = sample();
            peak = { std::max (peak.pssMiB, last.pssMiB), std::max (peak.descriptors, last.descriptors),
                     std::max (peak.threads, last.threads) };

            if (! warm.has_value() && elapsed() >= std::min (60.0, seconds * 0.2))
                warm = last;

            printf ("cycle %d at %.0f s: %lld messages checked, PSS %.1f MiB, %d descriptors, %d threads\n",
                    cycle, elapsed(), (long long) ledger.checked, last.pssMiB, last.descriptors, last.threads);
            fflush (stdout);
        }

        playing = false;
        audio.join();

        // The page's last word is what the host saves.
        waitForReport();
        const auto finalStateMatches = h.processor->getWebState() == pageSettings();
        h.close();
        h.processor->releaseResources();

        const auto stillSounding = ledger.soundingAnywhere();
        const auto violations = ledger.violations + stillSounding + restoreViolations + reloadsReverted
                              + (finalStateMatches ? 0 : 1);
        const auto from = warm.value_or (last);

        printf ("\nsoak: %.0f s, %lld messages checked, %lld restores with the editor open\n",
                elapsed(), (long long) ledger.checked, (long long) restores);
        printf ("invariant violations: %lld (notes left sounding or a message to Decoy: %lld; notes sounding at the end: %lld; "
                "restores undone: %lld; reloads back at older settings: %lld; final state %s)\n",
                (long long) violations, (long long) ledger.violations, (long long) stillSounding,
                (long long) restoreViolations, (long long) reloadsReverted,
                finalStateMatches ? "matches the page" : "DIFFERS from the page");
        printf ("growth after warm-up: PSS %.1f -> %.1f MiB (%+.1f %%), descriptors %d -> %d (%+.1f %%), threads %d -> %d (%+.1f %%)\n",
                from.pssMiB, last.pssMiB, growth (from.pssMiB, last.pssMiB),
                from.descriptors, last.descriptors, growth (from.descriptors, last.descriptors),
                from.threads, last.threads, growth (from.threads, last.threads));

        EXPECT_EQ (violations, 0);
    }
}

int main (int argc, char** argv)
{
    const auto* seconds = getenv ("LUTEWYRM_SOAK_SECONDS");
    auto failed = false;
    const auto result = runWithEditors (argc, argv, [&]
    {
        soak (seconds != nullptr ? std::atof (seconds) : 600.0);
        failed = ::testing::Test::HasFailure();
    });
    return result != 0 ? result : (failed ? 1 : 0);
}
