#include "support/MessageThread.h"

#include <juce_events/juce_events.h>
#include <gtest/gtest.h>
#include "support/JucePrinters.h"

#include <unistd.h>

// The Linux message loop calls back for ready file descriptors. A host that
// deletes a plug-in instance from one such callback unregisters the instance's
// own descriptors, and frees what their callbacks use, in the middle of a pass.

#if JUCE_LINUX
TEST (LinuxEventLoop, CallbackUnregisteredEarlierInTheSamePassDoesNotRun)
{
    int pipes[2][2];
    ASSERT_EQ (pipe (pipes[0]), 0);
    ASSERT_EQ (pipe (pipes[1]), 0);

    // Both descriptors are readable before the loop looks, so both are in one pass.
    for (auto& p : pipes)
        ASSERT_EQ (write (p[1], "x", 1), 1);

    std::atomic<int> calls { 0 };

    onMessageThread ([&]
    {
        // Whichever runs first unregisters the other, as a host that deletes
        // the other's owner would; the other must then not run.
        for (int i = 0; i < 2; ++i)
        {
            const auto other = pipes[1 - i][0];
            juce::LinuxEventLoop::registerFdCallback (pipes[i][0], [&calls, other] (int fd)
            {
                char byte;
                [[maybe_unused]] const auto n = read (fd, &byte, 1);
                ++calls;
                juce::LinuxEventLoop::unregisterFdCallback (other);
                juce::LinuxEventLoop::unregisterFdCallback (fd);
            });
        }
    });

    ASSERT_TRUE (waitFor ([&] { return calls.load() > 0; }));
    onMessageThread ([] {});      // the pass that made the first call is over
    onMessageThread ([] {});

    EXPECT_EQ (calls.load(), 1);

    onMessageThread ([&]
    {
        for (auto& p : pipes)
            juce::LinuxEventLoop::unregisterFdCallback (p[0]);
    });

    for (auto& p : pipes)
    {
        close (p[0]);
        close (p[1]);
    }
}
#endif
