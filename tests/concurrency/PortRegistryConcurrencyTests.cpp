#include "support/BridgeFixture.h"

#include <thread>

// Input devices deliver from their own threads while the message thread
// rebuilds the port lists; meant to run under ThreadSanitizer too.

TEST (PortRegistryConcurrency, DevicesDeliverWhileTheListsAreRebuilt)
{
    BridgeFixture f (false);
    const juce::StringArray ids { "in-0", "in-1", "in-2", "in-3", "in-4" };
    for (auto& id : ids)
        f.devices.plugInput (id, id);
    f.create();

    std::atomic<bool> done { false };
    std::atomic<int> injected { 0 };

    std::thread feeder ([&]
    {
        for (int n = 0; ! done; ++n)
        {
            const auto which = n % ids.size();
            f.devices.injectInput (ids[which], juce::MidiMessage::noteOn (1, which, (juce::uint8) (1 + n % 126)));
            ++injected;

            // About as busy as five real keyboards played hard.
            if (n % 8 == 0)
                std::this_thread::sleep_for (std::chrono::microseconds (200));

            // Every delivery becomes a message-thread task. Real devices cannot
            // outrun the message thread for long, but this loop can (above all
            // under ThreadSanitizer), so let the backlog drain now and then.
            if (n % 64 == 63)
                onMessageThread ([] {});
        }
    });

    juce::Random random (7);

    // Deliveries that came between two rebuilds of the lists: those are what
    // the test is about, so the churn goes on until enough of them were seen
    // (and for 300 rounds at least), however the threads are scheduled.
    const auto deliveriesAmidTheChurn = [&]
    {
        return onMessageThread<long> ([&]
        {
            long amid = 0, sinceChange = 0;

            for (auto& e : f.events)
            {
                if (e.name == "midiReceive")
                    ++sinceChange;
                else if (e.name == "midiPortsChanged" || e.name == "pageLoading")
                    amid += std::exchange (sinceChange, 0);
            }

            return amid;
        });
    };

    const auto deadline = juce::Time::getMillisecondCounter() + 120000;
    int rounds = 0;

    for (; rounds < 300 || deliveriesAmidTheChurn() < 100; ++rounds)
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            break;

        // Hot-plug churn: drop one, bring one back, shuffle the order.
        auto present = f.devices.getAvailableInputs();
        if (present.size() > 2 && random.nextBool())
            f.devices.unplugInput (present[random.nextInt (present.size())].identifier);

        for (auto& id : ids)
            if (random.nextInt (4) == 0)
            {
                f.devices.unplugInput (id);
                f.devices.plugInput (id, id, random.nextInt (f.devices.getAvailableInputs().size() + 1));
            }

        onMessageThread ([&]
        {
            // Now and then the page reloads: until it has loaded, it numbers
            // the ports as the bootstrap script listed them (the lists the
            // bridge was made with), however the devices changed meanwhile.
            if (rounds % 40 == 10)
            {
                f.bridge->gamePageLoading();
                f.events.push_back ({ "pageLoading", {} });
            }

            f.bridge->pollMidiDevices();

            if (rounds % 40 == 30)
                f.bridge->gamePageLoaded();

            // The page re-attaches its handlers after every change.
            for (int port = 0; port < f.bridge->getPorts().getNumInputs(); ++port)
                f.bridge->handleOpenMidiInput (juce::JSON::parse ("{\"port\": " + juce::String (port) + "}"));
        });

        std::this_thread::sleep_for (std::chrono::milliseconds (2));
    }

    EXPECT_GE (deliveriesAmidTheChurn(), 100) << "in " << rounds << " rounds";

    done = true;
    feeder.join();
    f.devices.waitForInputIdle();
    onMessageThread ([] {});        // deliveries posted before now have run

    // Each device plays its own note number, so every delivery says which
    // device it came from: it must carry that device's number in the lists the
    // page was given last (those of the bridge at first, then of each change).
    juce::StringArray pageInputs = ids;
    int received = 0;

    for (auto& e : f.takeEvents())
    {
        if (e.name == "pageLoading")
        {
            pageInputs = ids;
            continue;
        }

        if (e.name == "midiPortsChanged")
        {
            pageInputs.clear();
            for (auto& entry : *e.payload["inputs"].getArray())
                pageInputs.add (entry["name"].toString());
            continue;
        }

        ++received;
        const auto port = (int) e.payload["port"];
        auto* data = e.payload["data"].getArray();
        ASSERT_TRUE (data != nullptr && data->size() == 3 && (int) (*data)[0] == 0x90);

        const auto device = ids[(int) (*data)[1]];
        ASSERT_EQ (pageInputs[port], device) << "delivery " << received << " came from " << device
                                             << " but was numbered " << port << " in " << pageInputs.joinIntoString (",");
    }
    // Closing the bridge while the devices are still busy is safe too.
    std::atomic<bool> stop { false };
    std::thread lastFeeder ([&]
    {
        while (! stop)
        {
            for (auto& id : ids)
                f.devices.injectInput (id, juce::MidiMessage::midiClock());

            std::this_thread::sleep_for (std::chrono::microseconds (200));
        }
    });
    settle (20);
    onMessageThread ([&] { f.bridge.reset(); });
    stop = true;
    lastFeeder.join();
}
