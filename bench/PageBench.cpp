// Figures for the page path in a real WebKitGTK view with virtual devices.
// Run it under Xvfb (see the README):
//   tests/e2e/run-under-xvfb.sh 1920x1080 build/bench/lutewyrm_page_bench
//
// 1. device -> page -> device round trip, one message at a time (page MIDI thru)
// 2. throughput each way for 10 s, with loss counted
// 3. host track -> page latency, from processBlock to the page's handler
// 4. editor construction -> page ready, and memory of the process tree, against
//    a bare juce::WebBrowserComponent loading the same page
// 5. message times: received timeStamps against the true times, host-track
//    spacing against sample time, and how late timed sends leave while the
//    page is busy (the host's sender against the page's own setTimeout)

#include "../tests/e2e/EditorHarness.h"
#include "../tests/support/ProcessInfo.h"

#include <thread>

namespace
{
    using Clock = std::chrono::steady_clock;

    double msSince (Clock::time_point t)
    {
        return std::chrono::duration<double, std::milli> (Clock::now() - t).count();
    }

    double percentile (std::vector<double> v, double p)
    {
        if (v.empty())
            return 0.0;

        std::sort (v.begin(), v.end());
        return v[(size_t) juce::jlimit (0.0, (double) v.size() - 1, std::ceil (p / 100.0 * (double) v.size()) - 1)];
    }

    //==============================================================================
    /** The standalone editor with one input and one output, the page attached to the input. */
    void openWithKeyboardAndLute (EditorHarness& h)
    {
        h.devices.plugInput ("Keys", "in-0");
        h.devices.plugOutput ("Lute", "out-0");
        h.devices.setRecording (false);
        h.open();
        waitFor ([&] { return h.devices.getNumStartedInputs ("in-0") == 1; });
    }

    /** A plain JUCE web view in a window of its own, loading the game page. */
    struct BareView
    {
        explicit BareView (juce::WebBrowserComponent::Options options)
        {
            onMessageThread ([&]
            {
                browser = std::make_unique<juce::WebBrowserComponent> (options);
                window = std::make_unique<juce::Component>();
                window->setSize (1440, 900);
                browser->setBounds (window->getLocalBounds());
                window->addAndMakeVisible (*browser);
                window->addToDesktop (juce::ComponentPeer::windowHasTitleBar);
                window->setVisible (true);
                browser->goToURL (LUTEWYRM_PAGE_URL);
            });
        }

        ~BareView()
        {
            onMessageThread ([&] { browser = nullptr; window = nullptr; });
        }

        std::unique_ptr<juce::WebBrowserComponent> browser;
        std::unique_ptr<juce::Component> window;
    };

    /** Round trips, one message at a time; returns the times in ms. */
    std::vector<double> roundTripTimes (int count, bool checkPageEvents)
    {
        auto site = GameSite::builtIn();
        site.checkPageEvents = checkPageEvents;
        EditorHarness h (juce::AudioProcessor::wrapperType_Standalone, site);
        openWithKeyboardAndLute (h);
        h.eval ("lwDemo.selectOutput ('Lute') && lwDemo.setThru (true)");

        std::atomic<int> arrived { 0 };
        h.devices.setSendObserver ([&] (const juce::String&, const VirtualMidiDevices::SentMessage&) { ++arrived; });

        // The first messages after a page opens meet its start-up work; they
        // are not counted.
        constexpr int warmUp = 20;
        std::vector<double> times;
        for (int i = -warmUp; i < count; ++i)
        {
            const auto target = arrived.load() + 1;
            const auto start = Clock::now();
            h.devices.injectInput ("in-0", juce::MidiMessage::noteOn (1, (i + 128) % 128, (juce::uint8) 100));

            while (arrived.load() < target && msSince (start) < 1000.0)
                std::this_thread::yield();

            if (i >= 0)
                times.push_back (msSince (start));
        }

        h.devices.setSendObserver (nullptr);
        return times;
    }

    /** The same trip through a bare web view: a page that answers "ping" with
        "pong" through one native listener, nothing else.
    */
    std::vector<double> bareBridgeTimes (int count)
    {
        std::atomic<int> pongs { 0 };
        BareView view (juce::WebBrowserComponent::Options()
                           .withNativeIntegrationEnabled()
                           .withUserScript ("window.__JUCE__.backend.addEventListener ('ping', function (p) {"
                                            " window.__JUCE__.backend.emitEvent ('pong', p); });")
                           .withEventListener ("pong", [&pongs] (const juce::var&) { ++pongs; }));
        auto& browser = view.browser;

        // Ready once a ping comes back.
        while (pongs.load() == 0)
        {
            onMessageThread ([&] { browser->emitEventIfBrowserIsVisible ("ping", juce::var (0)); });
            std::this_thread::sleep_for (std::chrono::milliseconds (50));
        }

        settle (1000);
        std::vector<double> times;

        for (int i = -20; i < count; ++i)
        {
            const auto target = pongs.load() + 1;
            const auto start = Clock::now();
            juce::MessageManager::callAsync ([&, i] { browser->emitEventIfBrowserIsVisible ("ping", juce::var (i)); });

            while (pongs.load() < target && msSince (start) < 1000.0)
                std::this_thread::yield();

            if (i >= 0)
                times.push_back (msSince (start));
        }

        return times;
    }

    void roundTrip (int count = 1000)
    {
        // Alternating rounds, so that both variants meet the same machine.
        std::vector<double> checked, unchecked, bare;

        for (int round = 0; round < 4; ++round)
        {
            for (auto t : roundTripTimes (count / 4, true))    checked.push_back (t);
            for (auto t : roundTripTimes (count / 4, false))   unchecked.push_back (t);
            for (auto t : bareBridgeTimes (count / 4))         bare.push_back (t);
        }

        const auto print = [] (const char* what, const std::vector<double>& times)
        {
            printf ("%s, %d messages: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    what, (int) times.size(), percentile (times, 50), percentile (times, 99), percentile (times, 100));
        };

        print ("round trip device -> page -> device", checked);
        print ("  the same without the page-event check", unchecked);
        print ("  a bare bridge (native -> page -> native, one listener)", bare);
        printf ("  the check adds %+.1f %% to the median; the product's trip is %.2fx the bare bridge's\n",
                100.0 * (percentile (checked, 50) / percentile (unchecked, 50) - 1.0),
                percentile (checked, 50) / percentile (bare, 50));
    }

    void evalRoundTrip()
    {
        EditorHarness h (juce::AudioProcessor::wrapperType_Standalone);
        h.open();
        settle (1000);
        std::vector<double> times;
        for (int i = 0; i < 50; ++i)
        {
            const auto start = Clock::now();
            h.eval ("1");
            times.push_back (msSince (start));
        }
        printf ("script evaluation round trip, idle page: median %.2f ms, p99 %.2f ms\n", percentile (times, 50), percentile (times, 99));
    }

    void throughput (int ratePerSecond, double seconds)
    {
        EditorHarness h (juce::AudioProcessor::wrapperType_Standalone);
        openWithKeyboardAndLute (h);

        // Device to page.
        {
            const auto start = Clock::now();
            int64_t sent = 0;

            while (msSince (start) < seconds * 1000.0)
            {
                const auto due = (int64_t) (msSince (start) * ratePerSecond / 1000.0);
                for (; sent < due; ++sent)
                    h.devices.injectInput ("in-0", juce::MidiMessage::noteOn (1, (int) (sent % 128), (juce::uint8) 100));

                std::this_thread::sleep_for (std::chrono::microseconds (500));
            }

            const auto sendTime = msSince (start);
            h.waitForPage ("lwDemo.receivedCount >= " + juce::String (sent), 20000);
            const auto received = (int64_t) (double) h.eval ("lwDemo.receivedCount");
            const auto total = msSince (start);
            printf ("device -> page: %lld sent in %.1f s at %d/s, %lld received (%lld lost), all in by %.2f s: %.0f messages/s\n",
                    (long long) sent, sendTime / 1000.0, ratePerSecond, (long long) received,
                    (long long) (sent - received), total / 1000.0, (double) received * 1000.0 / total);
        }

        // Page to device: the page sends in timed batches from its own script.
        {
            h.devices.clearSent();
            const auto start = Clock::now();
            // Sends what is due by the clock every few milliseconds, so timer
            // jitter does not lower the offered rate.
            h.eval ("(function () { navigator.requestMIDIAccess().then (function (a) {"
                    "  var o = a.outputs.get ('0'), n = 0, start = performance.now();"
                    "  var tick = setInterval (function () {"
                    "    var elapsed = performance.now() - start;"
                    "    for (var due = Math.floor (elapsed * " + juce::String (ratePerSecond) + " / 1000); n < due; ++n)"
                    "      o.send ([0x90, n % 128, 100]);"
                    "    if (elapsed >= " + juce::String (seconds * 1000.0) + ") { clearInterval (tick); window.benchSent = n; }"
                    "  }, 5); }); return true; })()");
            h.waitForPage ("window.benchSent !== undefined", (int) (seconds * 1000.0) + 20000);
            const auto sent = (int64_t) (double) h.eval ("window.benchSent");
            waitFor ([&] { return h.devices.getNumSent() >= sent; }, 20000);
            const auto total = msSince (start);
            const auto arrived = h.devices.getNumSent();
            printf ("page -> device: %lld sent at %d/s, %lld arrived (%lld lost) in %.2f s: %.0f messages/s\n",
                    (long long) sent, ratePerSecond, (long long) arrived, (long long) (sent - arrived),
                    total / 1000.0, (double) arrived * 1000.0 / total);
        }
    }

    void hostTrackLatency (int blocks = 500)
    {
        EditorHarness h (juce::AudioProcessor::wrapperType_VST3);
        h.open();

        const auto origin = (double) h.eval ("performance.timeOrigin");
        std::vector<double> sentAt;
        juce::AudioBuffer<float> audio (2, 512);

        // Blocks of 4 messages, one block every 10.7 ms (512 samples at 48 kHz).
        for (int block = 0; block < blocks; ++block)
        {
            juce::MidiBuffer midi;
            for (int i = 0; i < 4; ++i)
                midi.addEvent (juce::MidiMessage::noteOn (1, (block * 4 + i) % 128, (juce::uint8) (1 + block % 100)), i);

            const auto now = (double) std::chrono::duration_cast<std::chrono::microseconds> (
                                 std::chrono::system_clock::now().time_since_epoch()).count() / 1000.0;
            h.processor->processBlock (audio, midi);
            for (int i = 0; i < 4; ++i)
                sentAt.push_back (now);

            std::this_thread::sleep_for (std::chrono::microseconds (10667));
        }

        h.waitForPage ("lwDemo.receivedCount >= " + juce::String (blocks * 4), 20000);
        const auto pageTimes = h.eval ("lwDemo.received.map (function (m) { return m.at; })");
        std::vector<double> latencies;

        if (auto* t = pageTimes.getArray())
            for (int i = 0; i < t->size() && i < (int) sentAt.size(); ++i)
                latencies.push_back (origin + (double) (*t)[i] - sentAt[(size_t) i]);

        printf ("host track -> page, %d messages: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                (int) latencies.size(), percentile (latencies, 50), percentile (latencies, 99), percentile (latencies, 100));
    }

    //==============================================================================
    double nowMs()   { return juce::Time::getMillisecondCounterHiRes(); }

    std::vector<double> numbersOf (const juce::var& list)
    {
        std::vector<double> out;
        if (auto* a = list.getArray())
            for (auto& v : *a)
                out.push_back ((double) v);
        return out;
    }

    void printSpread (const char* what, std::vector<double> values)
    {
        for (auto& v : values)
            v = std::abs (v);

        printf ("%s, %d messages: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                what, (int) values.size(), percentile (values, 50), percentile (values, 99), percentile (values, 100));
    }

    /** timeStamp of device input against the device's stamp, mapped with the
        bench's own measure of the page's clock.
    */
    void inputStampError (int count = 1000)
    {
        EditorHarness h;
        h.devices.plugInput ("Keys", "in-0");
        h.open();
        waitFor ([&] { return h.devices.getNumStartedInputs ("in-0") == 1; });
        juce::Thread::sleep (1500);     // past the shim's first rounds of clock questions
        h.eval ("window.stamps = []; navigator.requestMIDIAccess().then (function (a) {"
                "  a.inputs.get ('0').addEventListener ('midimessage', function (e) { window.stamps.push (e.timeStamp); }); })");
        waitFor ([&] { return h.devices.getNumStartedInputs ("in-0") == 1; });

        std::vector<double> played;
        for (int i = 0; i < count; ++i)
        {
            const auto due = nowMs() + 2.0;
            while (nowMs() < due)
                std::this_thread::yield();

            auto message = juce::MidiMessage::noteOn (1, i % 128, (juce::uint8) 100);
            message.setTimeStamp (nowMs() * 0.001);
            played.push_back (message.getTimeStamp() * 1000.0);
            h.devices.injectInput ("in-0", message);
        }

        h.waitForPage ("window.stamps.length >= " + juce::String (count), 20000);
        const auto stamps = numbersOf (h.eval ("window.stamps"));
        const auto clock = measurePageClock (h);
        std::vector<double> errors;
        for (size_t i = 0; i < stamps.size() && i < played.size(); ++i)
            errors.push_back (clock.toNative (stamps[i]) - played[i]);

        printSpread ("device input timeStamp error", errors);
        printf ("  (the bench knows the page's clock within +/- %.3f ms)\n", clock.uncertainty());
    }

    /** Host-track notes, one per 10 ms block at varying sample positions:
        the spacing of their timeStamps, and of their arrival, against sample time.
    */
    void hostTrackSpacing (int blocks = 500)
    {
        EditorHarness h (juce::AudioProcessor::wrapperType_VST3);
        h.open();
        prepare (*h.processor, 48000.0, 480);

        // Steady play, not a document's first second: the shim's first
        // rounds of clock questions (at 0, 250 and 1000 ms) are done by then.
        juce::Thread::sleep (1500);

        std::vector<double> sampleTimes;
        juce::AudioBuffer<float> audio (2, 480);
        const auto start = nowMs();

        for (int block = 0; block < blocks; ++block)
        {
            while (nowMs() < start + block * 10.0)
                std::this_thread::yield();

            juce::MidiBuffer midi;
            const auto position = (block * 173) % 480;
            midi.addEvent (juce::MidiMessage::noteOn (1, block % 128, (juce::uint8) 100), position);
            sampleTimes.push_back ((block * 480 + position) / 48.0);
            h.processor->processBlock (audio, midi);
        }

        h.waitForPage ("lwDemo.receivedCount >= " + juce::String (blocks), 20000);
        const auto stamps = numbersOf (h.eval ("lwDemo.received.map (function (m) { return m.t; })"));
        const auto arrivals = numbersOf (h.eval ("lwDemo.received.map (function (m) { return m.at; })"));
        std::vector<double> stampErrors, arrivalErrors;

        for (size_t i = 1; i < stamps.size() && i < sampleTimes.size(); ++i)
        {
            const auto gap = sampleTimes[i] - sampleTimes[i - 1];
            stampErrors.push_back (stamps[i] - stamps[i - 1] - gap);
            if (std::abs (stampErrors.back()) > 1.0 && getenv ("LUTEWYRM_DEBUG_TIMES") != nullptr)
                printf ("  gap %d: %.3f ms off (stamps %.3f, %.3f; arrivals %.3f, %.3f)\n", (int) i, stampErrors.back(),
                        stamps[i - 1], stamps[i], arrivals[i - 1], arrivals[i]);
            arrivalErrors.push_back (arrivals[i] - arrivals[i - 1] - gap);
        }

        printSpread ("host-track timeStamp spacing error", stampErrors);
        printSpread ("host-track arrival spacing error (what a page had before)", arrivalErrors);
    }

    /** Sends timed 50 ms ahead, one every 25 ms, while the page runs a 20 ms
        busy loop every 30 ms: through the shim (timed by the host), and in the
        same run through the page's own setTimeout as the shim used to do.
    */
    void timedSendLateness (int count = 200)
    {
        EditorHarness h;
        h.devices.plugOutput ("Lute", "out-0");
        h.open();
        const auto clock = measurePageClock (h);

        for (const bool native : { true, false })
        {
            h.devices.clearSent();
            const auto send = native ? juce::String ("out.send ([0x90, n % 128, 100], due);")
                                     : juce::String ("setTimeout (function () { out.send ([0x90, n % 128, 100]); }, due - performance.now());");
            h.eval ("(function () { window.dues = []; var n = 0;"
                    "  navigator.requestMIDIAccess().then (function (a) {"
                    "    var out = a.outputs.get ('0');"
                    "    var busy = setInterval (function () { var until = performance.now() + 20; while (performance.now() < until) {} }, 30);"
                    "    var sender = setInterval (function () {"
                    "      var due = performance.now() + 50; window.dues.push (due); " + send +
                    "      if (++n === " + juce::String (count) + ") { clearInterval (sender); setTimeout (function () { clearInterval (busy); }, 200); }"
                    "    }, 25);"
                    "  }); return true; })()");
            h.devices.waitForSent ("out-0", (size_t) count, 60000);

            const auto dues = numbersOf (h.eval ("window.dues"));
            const auto sent = h.devices.getSent ("out-0");
            std::vector<double> lateness;
            for (size_t i = 0; i < dues.size() && i < sent.size(); ++i)
                lateness.push_back (sent[i].sentMs - clock.toNative (dues[i]));

            printSpread (native ? "timed send lateness, page busy, sent by the host"
                                : "timed send lateness, page busy, the page's setTimeout", lateness);
        }

        printf ("  (the bench knows the page's clock within +/- %.3f ms)\n", clock.uncertainty());
    }

    void messageTimes()
    {
        inputStampError();
        hostTrackSpacing();
        timedSendLateness();
    }

    //==============================================================================
    struct LoadFigures { double ms = 0, mib = 0; };

    LoadFigures measureEditor()
    {
        EditorHarness h (juce::AudioProcessor::wrapperType_VST3);
        settle (300);
        const auto start = Clock::now();
        h.open();     // returns once the page's script has its MIDI access
        const auto ms = msSince (start);
        settle (1500);
        return { ms, ProcessInfo::treeResidentMiB (getpid()) };
    }

    LoadFigures measureBareBrowser()
    {
        settle (300);
        const auto start = Clock::now();
        auto view = std::make_unique<BareView> (juce::WebBrowserComponent::Options());
        auto& browser = view->browser;

        // The same moment as for the editor: the page's script has started and answered.
        for (;;)
        {
            std::atomic<int> state { 0 };
            onMessageThread ([&]
            {
                browser->evaluateJavascript ("window.lwDemo !== undefined && lwDemo.status !== 'starting'",
                                             [&state] (juce::WebBrowserComponent::EvaluationResult r)
                                             {
                                                 state = (r.getResult() != nullptr && (bool) *r.getResult()) ? 2 : 1;
                                             });
            });

            while (state == 0)
                std::this_thread::sleep_for (std::chrono::milliseconds (1));

            if (state == 2 || msSince (start) > 30000)
                break;

            std::this_thread::sleep_for (std::chrono::milliseconds (20));
        }

        const auto ms = msSince (start);
        settle (1500);
        const auto mib = ProcessInfo::treeResidentMiB (getpid());
        view = nullptr;
        return { ms, mib };
    }

    void loadTimeAndMemory()
    {
        std::vector<double> editorMs, bareMs, editorMiB, bareMiB;

        for (int round = 0; round < 5; ++round)
        {
            const auto e = measureEditor();
            const auto b = measureBareBrowser();
            editorMs.push_back (e.ms);   editorMiB.push_back (e.mib);
            bareMs.push_back (b.ms);     bareMiB.push_back (b.mib);
        }

        const auto em = percentile (editorMs, 50), bm = percentile (bareMs, 50);
        const auto er = percentile (editorMiB, 50), br = percentile (bareMiB, 50);
        printf ("construction -> page ready (median of 5): editor %.0f ms, bare web view %.0f ms: %.2fx\n", em, bm, em / bm);
        printf ("resident memory of the process tree (median of 5): editor %.1f MiB, bare web view %.1f MiB: %.2fx\n",
                er, br, er / br);
    }
}

int main (int argc, char** argv)
{
    return runWithEditors (argc, argv, []
    {
        // LUTEWYRM_QUICK=1: only a short round-trip and host-track check, for tuning the page.
        if (getenv ("LUTEWYRM_QUICK") != nullptr)
        {
            evalRoundTrip();
            roundTrip (200);
            hostTrackLatency (100);
            return;
        }

        // LUTEWYRM_TIMES_ONLY=1: the message-time figures only.
        if (getenv ("LUTEWYRM_TIMES_ONLY") != nullptr)
        {
            messageTimes();
            return;
        }

        // LUTEWYRM_THROUGHPUT_ONLY=1: the round trip and the throughput each way only.
        if (getenv ("LUTEWYRM_THROUGHPUT_ONLY") != nullptr)
        {
            roundTrip();
            throughput (10000, 10.0);
            throughput (20000, 10.0);
            return;
        }

        roundTrip();
        throughput (10000, 10.0);
        throughput (20000, 10.0);
        hostTrackLatency();
        messageTimes();
        loadTimeAndMemory();
    });
}
