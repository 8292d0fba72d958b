#include "MessageThread.h"

#include <gtest/gtest.h>

#include <thread>

int runTestsWithMessageLoop (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;

    int result = 1;

    std::thread tests ([&]
    {
        result = RUN_ALL_TESTS();
        juce::MessageManager::getInstance()->stopDispatchLoop();
    });

    juce::MessageManager::getInstance()->runDispatchLoop();
    tests.join();
    return result;
}

void onMessageThread (std::function<void()> fn)
{
    if (juce::MessageManager::getInstance()->isThisTheMessageThread())
    {
        fn();
        return;
    }

    juce::MessageManager::getInstance()->callFunctionOnMessageThread ([] (void* f) -> void*
    {
        (*static_cast<std::function<void()>*> (f))();
        return nullptr;
    }, &fn);
}

bool waitFor (std::function<bool()> condition, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    for (;;)
    {
        if (onMessageThread<bool> (condition))
            return true;

        if (juce::Time::getMillisecondCounter() > deadline)
            return false;

        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }
}

void settle (int milliseconds)
{
    std::this_thread::sleep_for (std::chrono::milliseconds (milliseconds));
    onMessageThread ([] {});     // and let everything queued so far run
}
