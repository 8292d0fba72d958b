#include "ArrivalNotifier.h"

ArrivalNotifier::~ArrivalNotifier()
{
    if (thread.joinable())
    {
        quit = true;
        wake.post();
        thread.join();
    }
}

void ArrivalNotifier::arm (std::function<void()> onArrival)
{
    {
        const std::lock_guard<std::mutex> sl (callbackLock);
        callback = std::move (onArrival);
    }

    if (! thread.joinable())
        thread = std::thread ([this] { run(); });

    armed = true;
}

void ArrivalNotifier::disarm()
{
    armed = false;
}

void ArrivalNotifier::run()
{
    juce::Thread::setCurrentThreadName ("Lutewyrm host MIDI waker");

    for (;;)
    {
        wake.wait (-1.0);

        if (quit)
            return;

        std::function<void()> toCall;

        {
            const std::lock_guard<std::mutex> sl (callbackLock);
            toCall = callback;
        }

        if (toCall != nullptr)
            juce::MessageManager::callAsync (std::move (toCall));
    }
}
