#pragma once

#include <cmath>

//==============================================================================
/** Gives each audio block a start time on the juce::Time::getMillisecondCounterHiRes()
    scale that keeps the track's own spacing.

    The audio thread runs early or late by a few milliseconds from block to
    block; stamping each block with the moment its callback ran would spread
    the host track's notes by as much. So consecutive blocks start exactly one
    block length apart, and the count is only pulled gently towards the
    callbacks' own times (which keeps it with the audio device's clock). When a
    callback strays more than resyncMs from the count (the host stopped
    calling, rendered offline, or restarted its device), the count starts
    again from that callback.

    Audio thread only; no allocation, no lock. A pure function of what it is
    given, so tests can drive it with any clock.
*/
class HostTrackClock
{
public:
    static constexpr double resyncMs = 100.0;

    // The share of the callbacks' lateness taken over per block: enough to
    // follow an audio clock a few hundred ppm off ours, too little to pass
    // the callbacks' jitter on.
    static constexpr double pull = 0.001;

    /** The start of a block of numSamples whose callback runs at nowMs. */
    double blockStart (double nowMs, int numSamples, double sampleRate) noexcept
    {
        auto start = nowMs;

        if (hasNext && std::abs (nowMs - next) <= resyncMs)
            start = next + (nowMs - next) * pull;

        hasNext = sampleRate > 0.0 && numSamples > 0;
        next = hasNext ? start + numSamples * 1000.0 / sampleRate : 0.0;
        return start;
    }

    /** A block nobody needs the time of (it has no MIDI): the count moves on
        by its length, and the callback's time is not read at all.
    */
    void skipBlock (int numSamples, double sampleRate) noexcept
    {
        if (hasNext && sampleRate > 0.0)
            next += numSamples * 1000.0 / sampleRate;
        else
            hasNext = false;
    }

private:
    double next = 0.0;
    bool hasNext = false;
};
