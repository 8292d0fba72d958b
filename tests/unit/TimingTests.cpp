// Times on MIDI: when a received message was played, and sends the page
// times ahead. All times are on the juce::Time::getMillisecondCounterHiRes()
// scale, which is what TimedSender::nowMs() reads.

#include "support/BridgeFixture.h"
#include "processor/HostTrackClock.h"

namespace
{
    double now()    { return TimedSender::nowMs(); }

    juce::String sendAt (int port, int note, const juce::String& timeJson)
    {
        return "{\"port\": " + juce::String (port) + ", \"data\": [144, " + juce::String (note) + ", 100]"
             + (timeJson.isEmpty() ? juce::String() : ", \"time\": " + timeJson) + "}";
    }

    juce::String ms (double t)      { return juce::String (t, 3); }

    std::vector<int> notesSentTo (const BridgeFixture& f, const juce::String& id)
    {
        std::vector<int> notes;
        for (auto& s : f.devices.getSent (id))
            notes.push_back (s.message.getNoteNumber());
        return notes;
    }

    size_t pending (BridgeFixture& f)
    {
        return onMessageThread<size_t> ([&] { return f.bridge->getNumPendingSends(); });
    }
}

//==============================================================================
// Sends leave when due, earliest first, equal times in the order they were
// made; never before their time.
TEST (TimedSends, GoOutWhenDueInDueOrderEqualTimesInCallOrder)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("Lute", "out-a");
    f.devices.plugOutput ("Harp", "out-b");
    f.create();

    const auto t = now();
    const std::vector<std::pair<int, double>> sends { { 1, t + 300 }, { 2, t + 100 }, { 3, t + 200 },
                                                      { 4, t + 200 }, { 5, t + 100 } };
    for (auto& [note, due] : sends)
        f.send ("midiSend", sendAt (0, note, ms (due)));
    f.send ("midiSend", sendAt (1, 9, ms (t + 150)));      // another output, in between

    ASSERT_TRUE (f.devices.waitForSent ("out-a", 5));
    ASSERT_TRUE (f.devices.waitForSent ("out-b", 1));
    EXPECT_EQ (notesSentTo (f, "out-a"), (std::vector<int> { 2, 5, 3, 4, 1 }));

    const auto sent = f.devices.getSent ("out-a");
    const std::vector<double> dues { t + 100, t + 100, t + 200, t + 200, t + 300 };
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_GE (sent[i].sentMs, std::round (dues[i] * 1000.0) / 1000.0 - 0.001) << "message " << i << " went early";
    EXPECT_EQ (pending (f), 0u);
}

// A browser sends at once whatever is not ahead of now; so does the bridge,
// synchronously, before the handler returns.
TEST (TimedSends, ATimeThatIsMissingPastZeroOrNotANumberSendsAtOnce)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("Lute", "out-a");
    f.create();

    const auto t = now();
    const juce::StringArray times { "", ms (t - 1000), "0", "-5", ms (t + 0.5), "\"soon\"", "true", "null",
                                    "[" + ms (t + 5000) + "]", "{\"at\": " + ms (t + 5000) + "}", "1e400" };

    for (int i = 0; i < times.size(); ++i)
    {
        f.send ("midiSend", sendAt (0, i, times[i]));
        EXPECT_EQ (f.devices.getSent ("out-a").size(), (size_t) i + 1) << "time " << times[i];
    }

    EXPECT_EQ (pending (f), 0u);
}

TEST (TimedSends, ClearDropsOnlyThatOutputsSendsThatAreNotDueYet)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("Lute", "out-a");
    f.devices.plugOutput ("Harp", "out-b");
    f.create();

    const auto far = ms (now() + 600000);
    f.send ("midiSend", sendAt (0, 1, {}));
    f.send ("midiSend", sendAt (0, 2, far));
    f.send ("midiSend", sendAt (0, 3, far));
    f.send ("midiSend", sendAt (1, 4, far));
    EXPECT_EQ (pending (f), 3u);

    for (auto* payload : { R"({"port": 2})", R"({"port": -1})", R"({"port": 4294967296})" })
        f.send ("midiClear", payload);
    EXPECT_EQ (pending (f), 3u);

    f.send ("midiClear", "{}");     // no port reads as port 0, as for "midiSend"
    EXPECT_EQ (pending (f), 1u);
    EXPECT_EQ (notesSentTo (f, "out-a"), (std::vector<int> { 1 }));

    // The output still times what it is sent after the clear.
    f.send ("midiSend", sendAt (0, 5, ms (now() + 20)));
    ASSERT_TRUE (f.devices.waitForSent ("out-a", 2));
    EXPECT_EQ (notesSentTo (f, "out-a"), (std::vector<int> { 1, 5 }));
    EXPECT_EQ (pending (f), 1u);
}

// Port numbers the page scheduled under stop naming the same device when the
// lists change or a new document starts: its pending sends are dropped.
TEST (TimedSends, ChangedListsAndANewGameDocumentDropWhatWasPending)
{
    BridgeFixture f (false);
    f.devices.plugOutput ("Lute", "out-a");
    f.devices.plugOutput ("Harp", "out-b");
    f.create();

    f.send ("midiSend", sendAt (0, 1, ms (now() + 600000)));
    f.send ("midiSend", sendAt (1, 2, ms (now() + 600000)));
    f.poll();
    EXPECT_EQ (pending (f), 2u) << "a poll without a change keeps them";

    f.devices.unplugOutput ("out-b");
    f.poll();
    EXPECT_EQ (pending (f), 0u);
    EXPECT_EQ (f.devices.getNumOpenOutputs ("out-b"), 0) << "nothing keeps the vanished device open";

    f.send ("midiSend", sendAt (0, 3, ms (now() + 600000)));
    EXPECT_EQ (pending (f), 1u);
    onMessageThread ([&] { f.bridge->gamePageLoading(); });
    EXPECT_EQ (pending (f), 0u);
    EXPECT_TRUE (f.devices.getSent ("out-a").empty());
}

// A page may ask for any time at all. One centuries ahead is kept and not
// sent, and the sender sleeps meanwhile: a single wait that long overflows
// the clock's nanoseconds and returns at once, and the thread would spin.
TEST (TimedSends, ATimeFarAheadIsWaitedForWithoutSpinning)
{
    struct Output final : MidiOutputDevice
    {
        juce::MidiDeviceInfo getDeviceInfo() const override         { return { "Far", "far" }; }
        void sendMessageNow (const juce::MidiMessage&) override     { ++sent; }
        std::atomic<int> sent { 0 };
    };

    for (const auto ahead : { 1.0e13, 1.0e300 })
    {
        auto sender = std::make_unique<TimedSender>();
        const auto output = std::make_shared<Output>();
        ASSERT_TRUE (sender->schedule (output, juce::MidiMessage::noteOn (1, 60, 0.5f), now() + ahead));

        ASSERT_TRUE (waitFor ([&] { return sender->getNumWaits() >= 1; })) << ahead;
        const auto waitsBefore = sender->getNumWaits();
        const auto start = now();
        juce::Thread::sleep (200);

        // A thread that sleeps properly wakes once per maxWaitMs (a spurious
        // wake-up aside), however long this thread was kept from running; one
        // that spins wakes hundreds of times.
        const auto allowed = 3 + (int) ((now() - start) / TimedSender::maxWaitMs);
        const auto woken = sender->getNumWaits() - waitsBefore;
        EXPECT_LE (woken, allowed) << ahead;
        EXPECT_EQ (output->sent.load(), 0) << ahead;

        if (woken > allowed)
        {
            // A spinning thread all but owns the lock: joining it could take
            // for ever, so it is left running.
            (void) sender.release();
            return;
        }

        EXPECT_EQ (sender->getNumPending(), 1u) << ahead;
    }
}

//==============================================================================
TEST (PageClock, APingIsAnsweredWithItsIdAndTheNativeTimeNow)
{
    BridgeFixture f (false);
    f.create();

    const auto before = now();
    f.send ("lwClockPing", R"({"id": 42})");
    f.send ("lwClockPing", R"({"id": "x"})");
    const auto after = now();

    const auto events = f.takeEvents();
    ASSERT_EQ (events.size(), 2u);
    EXPECT_EQ (events[0].name, "lwClockPong");
    EXPECT_EQ (juce::JSON::toString (events[0].payload.getProperty ("id", {})), "42");
    EXPECT_EQ (juce::JSON::toString (events[1].payload.getProperty ("id", {})), "0");

    const auto time = events[0].payload.getProperty ("time", {});
    ASSERT_TRUE (time.isDouble());
    EXPECT_GE ((double) time, before);
    EXPECT_LE ((double) time, after);
}

// A device's own stamp of when a message came in is what the page is told;
// a stamp that cannot be right is replaced by the moment it reached us.
TEST (PageClock, ReceivedMessagesCarryTheTimeTheDeviceStampedThem)
{
    BridgeFixture f (false);
    f.devices.plugInput ("Keys", "in-a");
    f.create();
    f.send ("midiOpenInput", R"({"port": 0})");

    struct Case { const char* name; double offsetMs; bool believed; };
    const Case cases[] = { { "a moment ago", -3.25, true },
                           { "seconds ago", -4000.0, true },
                           { "an hour ago", -3600000.0, false },
                           { "in the future", 3600000.0, false } };

    for (auto& c : cases)
    {
        const auto stamp = now() + c.offsetMs;
        auto message = juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100);
        message.setTimeStamp (stamp * 0.001);

        const auto before = now();
        f.devices.injectInput ("in-a", message);
        ASSERT_TRUE (waitFor ([&] { return onMessageThread<size_t> ([&] { return f.events.size(); }) == 1; }));
        const auto after = now();

        const auto time = (double) f.takeEvents()[0].payload.getProperty ("time", {});
        if (c.believed)
            EXPECT_NEAR (time, stamp, 1e-3) << c.name;
        else
            EXPECT_TRUE (time >= before && time <= after) << c.name << ": " << time;
    }
}

//==============================================================================
// The host track: each message is stamped with its block's start plus its
// sample position, so notes keep the spacing the track gives them.
TEST (PageClock, HostTrackMessagesKeepTheirSampleSpacingAcrossBlocks)
{
    BridgeFixture f (true);
    f.create();
    prepare (*f.processor, 48000.0, 480);

    juce::AudioBuffer<float> audio (2, 480);
    std::vector<double> expectedGaps;
    double lastSampleTime = -1.0;

    for (int block = 0; block < 6; ++block)
    {
        juce::MidiBuffer midi;
        for (int position : { 0, 47, 300 })
        {
            midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), position);
            const auto sampleTime = (block * 480 + position) / 48.0;
            if (lastSampleTime >= 0)
                expectedGaps.push_back (sampleTime - lastSampleTime);
            lastSampleTime = sampleTime;
        }
        f.processor->processBlock (audio, midi);
    }

    // Blocks were made far faster than they play: the track's clock ran ahead
    // of the callbacks by less than it tolerates, so it kept the spacing (up
    // to the thousandth of that lead it is pulled by).
    f.drain();
    const auto events = f.takeEvents();
    ASSERT_EQ (events.size(), 18u);
    for (size_t i = 1; i < events.size(); ++i)
        EXPECT_NEAR ((double) events[i].payload.getProperty ("time", {}) - (double) events[i - 1].payload.getProperty ("time", {}),
                     expectedGaps[i - 1], 0.1) << "message " << i;
}

TEST (HostTrackClock, BlocksFollowOneAnotherUnlessTheCallbacksStrayTooFar)
{
    // 480 samples at 48 kHz: 10 ms blocks. Each row: callback time, the start expected.
    struct Step { double callbackMs, expectedStart; };
    const std::vector<std::pair<const char*, std::vector<Step>>> cases {
        { "on time",                { { 1000, 1000 }, { 1010, 1010 }, { 1020, 1020 } } },
        { "late and early by a few milliseconds: the spacing stays, pulled by a thousandth",
                                    { { 1000, 1000 }, { 1014, 1010.004 }, { 1016, 1020.004 - 4.004 * 0.001 } } },
        { "a stall past the limit starts again from the callback",
                                    { { 1000, 1000 }, { 1010, 1010 }, { 1250, 1250 }, { 1260, 1260 } } },
        { "blocks made faster than they play, within the limit",
                                    { { 1000, 1000 }, { 1001, 1010 - 9 * 0.001 } } },
        { "blocks without MIDI in between (callback time -1) count by their length",
                                    { { 1000, 1000 }, { -1, 0 }, { -1, 0 }, { 1031, 1030.001 } } },
    };

    for (auto& [name, steps] : cases)
    {
        HostTrackClock clock;
        for (size_t i = 0; i < steps.size(); ++i)
        {
            if (steps[i].callbackMs < 0)
                clock.skipBlock (480, 48000.0);
            else
                EXPECT_NEAR (clock.blockStart (steps[i].callbackMs, 480, 48000.0), steps[i].expectedStart, 1e-9)
                    << name << ", block " << i;
        }
    }

    HostTrackClock unprepared;
    EXPECT_EQ (unprepared.blockStart (500.0, 480, 0.0), 500.0);
    EXPECT_EQ (unprepared.blockStart (700.0, 480, 0.0), 700.0) << "without a sample rate every block is its callback's";
}
