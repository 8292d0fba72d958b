#include "support/BridgeFixture.h"

#include <set>
#include <thread>

// The page schedules and clears timed sends on the message thread while the
// sender's own thread sends, and the lists change under both; meant to run
// under ThreadSanitizer too.

TEST (TimedSenderConcurrency, SchedulingClearingAndListChangesWhileItSends)
{
    BridgeFixture f (false);
    const juce::StringArray ids { "out-0", "out-1", "out-2" };
    for (auto& id : ids)
        f.devices.plugOutput (id, id);
    f.create();

    // out-2 comes and goes while sends to it are pending; out-1 is cleared
    // over and over; out-0 is left alone, so everything sent to it must
    // arrive after the last list change (which drops everything pending).
    constexpr int rounds = 300, lastListChange = 275;

    for (int round = 0; round < rounds; ++round)
    {
        onMessageThread ([&]
        {
            const auto now = TimedSender::nowMs();

            for (int port = 0; port < 3; ++port)
            {
                auto payload = std::make_unique<juce::DynamicObject>();
                payload->setProperty ("port", port);
                payload->setProperty ("data", juce::Array<juce::var> { 0x90, round % 128, 1 + port });
                payload->setProperty ("time", now + 1.5 + (round % 7));
                f.bridge->handleMidiSend (juce::var (payload.release()));
            }


            if (round % 3 == 0)
                f.bridge->handleMidiClear (juce::JSON::parse (R"({"port": 1})"));
        });

        if (round % 50 == 25)
        {
            f.devices.unplugOutput ("out-2");
            f.poll();           // drops everything pending: out-0's too
            f.devices.plugOutput ("out-2", "out-2");
            f.poll();           // out-2 is last again, so the numbers are as before
        }
    }

    ASSERT_TRUE (waitFor ([&] { return onMessageThread<size_t> ([&] { return f.bridge->getNumPendingSends(); }) == 0; }));
    const auto sent = f.devices.getSent ("out-0");
    std::multiset<int> notes;
    for (auto& s : sent)
        notes.insert (s.message.getNoteNumber());

    for (int round = lastListChange + 1; round < rounds; ++round)
        EXPECT_GE (notes.count (round % 128), 1u) << "round " << round << " never reached out-0";

    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_LE (sent[i - 1].sentMs, sent[i].sentMs);
}
