#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "midi/VirtualMidiDevices.h"
#include "processor/PluginProcessor.h"

// processBlock on the audio thread: the host-MIDI queue alone (a plug-in with
// no output chosen), and the queue plus forwarding to an output. Heap
// allocations per call are counted by a replaced operator new.

namespace
{
    constexpr int blockSize = 512;

    struct Fixture
    {
        explicit Fixture (bool withOutput, int numEvents)
        {
            devices.setRecording (false);
            devices.plugOutput ("Lute", "lute-1");

            juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_VST3);
            processor = std::make_unique<LUTEWYRMRPGAudioProcessor> (devices);
            processor->setRateAndBufferSizeDetails (48000.0, blockSize);
            processor->prepareToPlay (48000.0, blockSize);

            if (withOutput)
                processor->setWebState (R"({"channel":10,"ports":{"outputs":[{"portName":"Lute","portIdx":0}]}})");

            for (int i = 0; i < numEvents; ++i)
                midi.addEvent (juce::MidiMessage::noteOn (1 + i % 16, i % 128, (juce::uint8) (1 + i % 127)),
                               i * blockSize / juce::jmax (1, numEvents));
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

        int64_t allocations = 0, calls = 0;

        // The editor drains the queue before it fills; that side is not
        // measured, and is done only as often as needed, since pausing the
        // clock costs more than a short block.
        const auto blocksPerDrain = numEvents > 0 ? juce::jmax (1, 2047 / numEvents) : std::numeric_limits<int>::max();

        for (auto _ : state)
        {
            const auto before = AllocationCounter::get();
            f.processor->processBlock (f.audio, f.midi);
            allocations += AllocationCounter::get() - before;

            if (++calls % blocksPerDrain == 0)
            {
                state.PauseTiming();
                f.processor->popHostMidi();
                state.ResumeTiming();
            }
        }

        state.counters["allocs/call"] = (double) allocations / (double) juce::jmax<int64_t> (1, calls);
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
}

BENCHMARK (BM_ClearBufferOnly);
BENCHMARK (BM_ProcessBlock_QueueOnly)->Arg (0)->Arg (16)->Arg (256)->Arg (2047);
BENCHMARK (BM_ProcessBlock_QueueAndForwarding)->Arg (0)->Arg (16)->Arg (256)->Arg (2047);
BENCHMARK (BM_PopHostMidi);

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    benchmark::Initialize (&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
