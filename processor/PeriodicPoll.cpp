#include "PeriodicPoll.h"

PeriodicPoll::PeriodicPoll (double intervalMs, std::function<void()> function)
{
    thread = std::thread ([this, intervalMs, function = std::move (function)]
    {
        // A post() only ever comes from the destructor.
        while (! wake.wait (intervalMs) && ! stopping.load())
            function();
    });
}

PeriodicPoll::~PeriodicPoll()
{
    stopping.store (true);
    wake.post();
    thread.join();
}
