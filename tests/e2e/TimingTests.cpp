// Times a music game reads: received messages stamped with when they were
// played, on the page's own clock, and sends timed ahead that leave on time
// however busy the page is.
//
// What the page's clock reads against ours is measured by the test itself,
// apart from the shim (measurePageClock).

#include "EditorHarness.h"
#include "processor/HostTrackClock.h"

#include <thread>

using Wrapper = juce::AudioProcessor::WrapperType;

namespace
{
    double now()    { return juce::Time::getMillisecondCounterHiRes(); }

    // Waits, as an audio device would, for the moment a block is due.
    void waitUntil (double dueMs)
    {
        while (now() < dueMs)
            std::this_thread::yield();
    }

    std::vector<double> numbers (const juce::var& list)
    {
        std::vector<double> out;
        if (auto* a = list.getArray())
            for (auto& v : *a)
                out.push_back ((double) v);
        return out;
    }

    juce::String listenOnInputZero()
    {
        return "(function () { window.stamps = [];"
               "  navigator.requestMIDIAccess().then (function (a) {"
               "    a.inputs.get ('0').onmidimessage = function (e) { window.stamps.push (e.timeStamp); };"
               "    window.listening = true;"
               "  }); return true; })()";
    }
}

//==============================================================================
// The device's stamp of when each message came in, not when it crossed the
// bridge: messages stamped at known moments, delivered in bursts, arrive with
// those moments on the page's clock.
TEST (Timing, DeviceMessagesCarryTheTimeTheyWerePlayedOnThePagesClock)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugInput ("Keys", "in-0");
    h.open();
    ASSERT_EQ (h.eval (listenOnInputZero()), juce::var (true));
    ASSERT_TRUE (h.waitForPage ("window.listening === true"));
    ASSERT_TRUE (waitForPageClockSettled (h));
    ASSERT_TRUE (waitFor ([&] { return h.devices.getNumStartedInputs ("in-0") == 1; }));

    std::vector<double> played;
    for (int i = 0; i < 40; ++i)
    {
        // Stamped a little before they are handed over, as drivers do.
        const auto stamp = now() - 2.5 - (i % 4);
        auto message = juce::MidiMessage::noteOn (1, 40 + i, (juce::uint8) 100);
        message.setTimeStamp (stamp * 0.001);
        h.devices.injectInput ("in-0", message);
        played.push_back (stamp);

        if (i % 8 == 7)
            h.devices.waitForInputIdle();
    }

    ASSERT_TRUE (h.waitForPage ("window.stamps.length === 40"));
    const auto stamps = numbers (h.eval ("window.stamps"));
    const auto clock = measurePageClock (h);
    ASSERT_EQ (stamps.size(), played.size());

    for (size_t i = 0; i < stamps.size(); ++i)
    {
        // Sound whatever the test's own measurement is worth: the stamp is
        // wrong only if no offset within our bounds brings it within 1.5 ms.
        EXPECT_GE (stamps[i] + clock.hi, played[i] - 1.5) << "message " << i << ", clock known to " << clock.uncertainty() << " ms";
        EXPECT_LE (stamps[i] + clock.lo, played[i] + 1.5) << "message " << i << ", clock known to " << clock.uncertainty() << " ms";

        if (i > 0)
        {
            EXPECT_NEAR (stamps[i] - stamps[i - 1], played[i] - played[i - 1], 1.0) << "message " << i;
        }
    }

    std::cout << "page clock known to the test within +/- " << clock.uncertainty() << " ms\n";
}

// Host-track notes cross the bridge in 16 ms batches, but their stamps keep
// the spacing of their sample positions.
TEST (Timing, HostTrackNotesKeepTheirSampleSpacingOnThePage)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.open();
    prepare (*h.processor, 48000.0, 480);
    ASSERT_EQ (h.eval (listenOnInputZero()), juce::var (true));
    ASSERT_TRUE (h.waitForPage ("window.listening === true"));
    ASSERT_TRUE (waitForPageClockSettled (h));

    constexpr int numBlocks = 40, blockSize = 480;
    constexpr double blockMs = blockSize / 48.0;
    std::vector<double> sampleTimes;
    juce::AudioBuffer<float> audio (2, blockSize);

    // Played from a thread of its own, one block every 10 ms, as a host's
    // audio thread would.
    double worstLateness = 0.0;
    std::thread audioThread ([&]
    {
        const auto start = now();

        for (int block = 0; block < numBlocks; ++block)
        {
            waitUntil (start + block * blockMs);
            worstLateness = std::max (worstLateness, now() - (start + block * blockMs));

            juce::MidiBuffer midi;
            const int position = (block * 173) % blockSize;
            midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), position);
            sampleTimes.push_back ((block * blockSize + position) / 48.0);
            h.processor->processBlock (audio, midi);
        }
    });
    audioThread.join();

    ASSERT_TRUE (h.waitForPage ("window.stamps.length === " + juce::String (numBlocks)));
    const auto stamps = numbers (h.eval ("window.stamps"));

    // A block later than the track's clock forgives would start it again: on a
    // machine that busy, this run shows nothing about the spacing.
    if (worstLateness >= HostTrackClock::resyncMs)
        GTEST_SKIP() << "the test's audio thread ran " << worstLateness << " ms late";

    for (size_t i = 1; i < stamps.size(); ++i)
        EXPECT_NEAR (stamps[i] - stamps[i - 1], sampleTimes[i] - sampleTimes[i - 1], 1.0) << "note " << i;
}

// A send timed 50 ms ahead, after which the page's script thread is busy for
// 80 ms: the host sends it at its time, not when the page is free again.
TEST (Timing, ATimedSendLeavesOnTimeWhileThePageIsBusy)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugOutput ("Lute", "out-0");
    h.open();

    // Until the shim knows the host's clock, it times sends itself.
    ASSERT_TRUE (waitForPageClockSettled (h));
    const auto clock = measurePageClock (h);

    const auto due = h.eval ("(function () {"
                             "  var due; navigator.requestMIDIAccess().then (function (a) {"
                             "    due = performance.now() + 50;"
                             "    a.outputs.get ('0').send ([0x90, 64, 100], due);"
                             "    var until = performance.now() + 80; while (performance.now() < until) {}"
                             "    window.dueAt = due;"
                             "  }); return true; })()");
    ASSERT_EQ (due, juce::var (true));
    ASSERT_TRUE (h.waitForPage ("window.dueAt !== undefined"));
    ASSERT_TRUE (h.devices.waitForSent ("out-0", 1));

    const auto dueAt = (double) h.eval ("window.dueAt");
    const auto sentMs = h.devices.getSent ("out-0")[0].sentMs;

    EXPECT_GE (sentMs, dueAt + clock.lo - 1.0) << "clock known to " << clock.uncertainty() << " ms";
    EXPECT_LE (sentMs, dueAt + clock.hi + 1.0) << "clock known to " << clock.uncertainty() << " ms";
    std::cout << "sent " << sentMs - clock.toNative (dueAt) << " ms from its time (clock known to +/- "
              << clock.uncertainty() << " ms)\n";
}
