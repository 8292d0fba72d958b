#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "LockCounter.h"
#include "midi/VirtualMidiDevices.h"
#include "processor/PluginProcessor.h"

#include <thread>

// processBlock on the audio thread: the host-MIDI queue alone (a plug-in with
// no output chosen), and the queue plus forwarding to an output. Heap
// allocations and mutex acquisitions per call are counted on the audio thread
// (replaced operator new, and pthread_mutex_lock / _trylock).
//
// After the benchmarks, a 10 s flood of 2047-event blocks at the pace of a real
// audio callback measures how late the sender thread sends each message.

namespace
{
    constexpr int blockSize = 512;
    constexpr double sampleRate = 48000.0;

    struct Fixture
    {
        Fixture (bool withOutput, int numEvents, bool spreadOverTheBlock = false)
        {
            devices.setRecording (false);
            devices.plugOutput ("Lute", "lute-1");

            juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_VST3);
            processor = std::make_unique<LUTEWYRMRPGAudioProcessor> (devices);
            processor->setRateAndBufferSizeDetails (sampleRate, blockSize);
            processor->prepareToPlay (sampleRate, blockSize);

            if (withOutput)
                processor->setWebState (R"({"channel":10,"ports":{"outputs":[{"portName":"Lute","portIdx":0}]}})");

            // The audio thread's work does not depend on the positions; at 0 the
            // messages are due at once, so the sender drains quickly between runs.
            for (int i = 0; i < numEvents; ++i)
                midi.addEvent (juce::MidiMessage::noteOn (1 + i % 16, i % 128, (juce::uint8) (1 + i % 127)),
                               spreadOverTheBlock ? i * blockSize / juce::jmax (1, numEvents) : 0);
        }

        VirtualMidiDevices devices;
        std::unique_ptr<LUTEWYRMRPGAudioProcessor> processor;
        juce::AudioBuffer<float> audio { 2, blockSize };
        juce::MidiBuffer midi;
    };

    void runBlocks (benchmark::State& state, bool withOutput)
    {
        const auto numEvents = (int) state.range (0);
        Fixture f (withOutput, numEvents);

        // Warm up: the first block may size things once.
        f.processor->processBlock (f.audio, f.midi);
        f.processor->popHostMidi();

        int64_t allocations = 0, locks = 0, calls = 0, forwarded = withOutput ? numEvents : 0;

        // The editor drains the host queue, and the sender the forwarding queue,
        // before either fills; that side is not measured, and is waited for only
        // as often as needed, since pausing the clock costs more than a short block.
        const auto blocksPerDrain = numEvents > 0 ? juce::jmax (1, 2047 / numEvents) : std::numeric_limits<int>::max();

        for (auto _ : state)
        {
            const auto allocationsBefore = AllocationCounter::get(), locksBefore = LockCounter::get();
            AllocationCounter::countThisThread (true);
            LockCounter::countThisThread (true);
            f.processor->processBlock (f.audio, f.midi);
            LockCounter::countThisThread (false);
            AllocationCounter::countThisThread (false);
            allocations += AllocationCounter::get() - allocationsBefore;
            locks += LockCounter::get() - locksBefore;

            if (++calls % blocksPerDrain == 0)
            {
                state.PauseTiming();
                f.processor->popHostMidi();

                while (f.devices.getNumSent() < forwarded * calls)
                    std::this_thread::yield();

                state.ResumeTiming();
            }
        }

        state.counters["allocs/call"] = (double) allocations / (double) juce::jmax<int64_t> (1, calls);
        state.counters["locks/call"] = (double) locks / (double) juce::jmax<int64_t> (1, calls);
        state.counters["dropped"] = (double) f.processor->getNumForwardDropped();
        state.counters["ns/event"] = benchmark::Counter ((double) numEvents,
                                                         benchmark::Counter::kIsIterationInvariantRate
                                                           | benchmark::Counter::kInvert);
        state.SetItemsProcessed (state.iterations() * numEvents);
    }

    void BM_ProcessBlock_QueueOnly (benchmark::State& state)          { runBlocks (state, false); }
    void BM_ProcessBlock_QueueAndForwarding (benchmark::State& state) { runBlocks (state, true); }

    // The floor for a block without MIDI: clearing the same buffer.
    void BM_ClearBufferOnly (benchmark::State& state)
    {
        juce::AudioBuffer<float> audio (2, blockSize);

        for (auto _ : state)
        {
            juce::ScopedNoDenormals noDenormals;
            for (int ch = 0; ch < audio.getNumChannels(); ++ch)
                audio.clear (ch, 0, blockSize);
            benchmark::DoNotOptimize (audio.getReadPointer (0));
        }
    }

    void BM_PopHostMidi (benchmark::State& state)
    {
        Fixture f (false, 2047);
        int64_t messages = 0;

        for (auto _ : state)
        {
            state.PauseTiming();
            f.processor->processBlock (f.audio, f.midi);
            state.ResumeTiming();

            auto popped = f.processor->popHostMidi();
            messages += (int64_t) popped.size();
            benchmark::DoNotOptimize (popped.data());
        }

        state.SetItemsProcessed (messages);
    }

    //==============================================================================
    double percentile (std::vector<double> v, double p)
    {
        if (v.empty())
            return 0.0;

        std::sort (v.begin(), v.end());
        return v[(size_t) juce::jlimit (0.0, (double) v.size() - 1, std::ceil (p / 100.0 * (double) v.size()) - 1)];
    }

    /** Blocks of 2047 notes spread over 512 samples, one every 10.7 ms, for the
        given time. Each message's due time is taken from just before its block
        was processed (the block's own clock reading is a little later), so the
        lateness printed is an upper bound.
    */
    void forwardingLateness (double seconds)
    {
        constexpr int perBlock = 2047;
        const auto blockMs = blockSize * 1000.0 / sampleRate;
        const auto numBlocks = (int) std::ceil (seconds * 1000.0 / blockMs);
        const auto total = (size_t) numBlocks * perBlock;

        Fixture f (true, perBlock, true);
        std::vector<double> offsets, due (total, 0.0), lateness (total, 0.0);

        for (const auto m : f.midi)
            offsets.push_back (m.samplePosition * 1000.0 / sampleRate);

        std::atomic<size_t> received { 0 };
        f.devices.setSendObserver ([&] (const juce::String&, const VirtualMidiDevices::SentMessage& sent)
        {
            const auto k = received.load (std::memory_order_relaxed);

            if (k < total)
                lateness[k] = sent.sentMs - due[k];

            received.store (k + 1, std::memory_order_release);
        });

        std::thread audio ([&]
        {
            auto next = std::chrono::steady_clock::now();

            for (int b = 0; b < numBlocks; ++b)
            {
                std::this_thread::sleep_until (next);
                next += std::chrono::microseconds ((int64_t) (blockMs * 1000.0));

                const auto start = juce::Time::getMillisecondCounterHiRes();
                for (size_t i = 0; i < offsets.size(); ++i)
                    due[(size_t) b * perBlock + i] = start + offsets[i];

                f.processor->processBlock (f.audio, f.midi);
            }
        });

        audio.join();

        const auto expected = total - (size_t) f.processor->getNumForwardDropped();
        const auto deadline = juce::Time::getMillisecondCounter() + 10000;

        while (received.load (std::memory_order_acquire) < expected && juce::Time::getMillisecondCounter() < deadline)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));

        f.devices.setSendObserver (nullptr);
        lateness.resize (juce::jmin (total, received.load()));

        printf ("forwarding lateness, %d blocks of %d notes in %.0f s: %zu sent, %lld dropped; "
                "lateness median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                numBlocks, perBlock, seconds, lateness.size(), (long long) f.processor->getNumForwardDropped(),
                percentile (lateness, 50), percentile (lateness, 99), percentile (lateness, 100));
    }
}

BENCHMARK (BM_ClearBufferOnly);
BENCHMARK (BM_ProcessBlock_QueueOnly)->Arg (0)->Arg (16)->Arg (256)->Arg (2047);
BENCHMARK (BM_ProcessBlock_QueueAndForwarding)->Arg (0)->Arg (16)->Arg (256)->Arg (2047);
BENCHMARK (BM_PopHostMidi);

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;

    {
        // The counters must see what they claim to count.
        juce::CriticalSection lock;
        const auto locksBefore = LockCounter::get(), allocationsBefore = AllocationCounter::get();
        LockCounter::countThisThread (true);
        AllocationCounter::countThisThread (true);
        { const juce::ScopedLock sl (lock); }
        { const juce::ScopedTryLock tl (lock); }
        auto* allocated = new int (1);
        benchmark::DoNotOptimize (allocated);
        delete allocated;
        AllocationCounter::countThisThread (false);
        LockCounter::countThisThread (false);
        printf ("counter self-check: %lld lock acquisitions (2 made), %lld allocations (1 made)\n",
                (long long) (LockCounter::get() - locksBefore), (long long) (AllocationCounter::get() - allocationsBefore));
    }

    benchmark::Initialize (&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const auto* floodSeconds = getenv ("LUTEWYRM_FLOOD_SECONDS");
    forwardingLateness (floodSeconds != nullptr ? juce::String (floodSeconds).getDoubleValue() : 10.0);
    return 0;
}
