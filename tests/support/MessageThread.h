#pragma once

#include <juce_events/juce_events.h>

#include <functional>

//==============================================================================
/*  Tests that need JUCE's message thread run like code in a host: the process's
    main thread runs the message loop, and the tests run on a second thread,
    handing work to the message thread and waiting for its results.
*/

/** Runs every test on a worker thread while this thread runs the message loop. */
int runTestsWithMessageLoop (int argc, char** argv);

/** Runs fn on the message thread and waits for it. */
void onMessageThread (std::function<void()> fn);

template <typename Result>
Result onMessageThread (std::function<Result()> fn)
{
    Result result {};
    onMessageThread (std::function<void()> ([&] { result = fn(); }));
    return result;
}

/** Polls the condition on the message thread until it holds or the time is up. */
bool waitFor (std::function<bool()> condition, int timeoutMs = 60000);

/** Lets the message thread run for a while (e.g. to show that nothing happens). */
void settle (int milliseconds);
