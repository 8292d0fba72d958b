#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <gtest/gtest.h>
#include "support/JucePrinters.h"

#include "support/MessageThread.h"

// The built VST3 plug-in, loaded the way a DAW loads it, and what a host does
// with it: blocks of audio and MIDI, its state, an editor window.

namespace HostTesting
{
    using Bytes = std::vector<juce::uint8>;

    /** The bundle under test. The build's own, unless LUTEWYRM_VST3_INSTALLED_IN
        names a folder: then the bundle a DAW finds by scanning the standard
        VST3 folders, which must lie in that folder (an installed package).
        Message thread. */
    inline juce::String bundleUnderTest()
    {
        const auto installedIn = juce::SystemStats::getEnvironmentVariable ("LUTEWYRM_VST3_INSTALLED_IN", {});

        if (installedIn.isEmpty())
            return LUTEWYRM_VST3_BUNDLE;

        juce::VST3PluginFormat format;
        juce::StringArray found;

        for (const auto& path : format.searchPathsForPlugins (format.getDefaultLocationsToSearch(), true, false))
            if (juce::File (path).getFileName() == "Lutewyrm RPG.vst3")
                found.add (path);

        if (found.size() != 1 || ! juce::File (found[0]).isAChildOf (juce::File (installedIn)))
        {
            ADD_FAILURE() << "the standard VST3 folders (" << format.getDefaultLocationsToSearch().toString()
                          << ") hold " << found.joinIntoString (", ") << ", not one bundle in " << installedIn;
            return {};
        }

        return found[0];
    }

    struct HostedPlugin
    {
        explicit HostedPlugin (double sampleRate = 48000.0, int blockSize = 512)
        {
            onMessageThread ([&]
            {
                juce::VST3PluginFormat format;
                juce::OwnedArray<juce::PluginDescription> types;
                format.findAllTypesForFile (types, bundleUnderTest());

                if (types.isEmpty())
                {
                    ADD_FAILURE() << "no plug-in found in " << bundleUnderTest();
                    return;
                }

                juce::String error;
                instance = format.createInstanceFromDescription (*types[0], sampleRate, blockSize, error);

                if (instance == nullptr)
                    ADD_FAILURE() << "the plug-in did not load: " << error;
            });
        }

        ~HostedPlugin()
        {
            onMessageThread ([this] { instance = nullptr; });
        }

        juce::MemoryBlock state()
        {
            juce::MemoryBlock block;
            instance->getStateInformation (block);
            return block;
        }

        std::unique_ptr<juce::AudioPluginInstance> instance;
    };

    inline juce::MidiBuffer notes (int count, int blockSize)
    {
        juce::MidiBuffer midi;
        for (int i = 0; i < count; ++i)
            midi.addEvent (juce::MidiMessage::noteOn (1 + i % 16, 40 + i % 40, (juce::uint8) (10 + i)), (i * blockSize) / juce::jmax (1, count));
        return midi;
    }

    inline std::vector<std::pair<int, Bytes>> eventsOf (const juce::MidiBuffer& midi)
    {
        std::vector<std::pair<int, Bytes>> events;
        for (const auto m : midi)
            events.push_back ({ m.samplePosition, Bytes (m.data, m.data + m.numBytes) });
        return events;
    }

    inline void fillWithNoise (juce::AudioBuffer<float>& audio)
    {
        juce::Random random (1);
        for (int ch = 0; ch < audio.getNumChannels(); ++ch)
            for (int i = 0; i < audio.getNumSamples(); ++i)
                audio.setSample (ch, i, random.nextFloat() - 0.5f);
    }

    /** A host's editor window: a plain top-level component. */
    struct EditorWindow : juce::Component
    {
        explicit EditorWindow (juce::AudioProcessorEditor* e) : editor (e)
        {
            addAndMakeVisible (*editor);
            setSize (editor->getWidth(), editor->getHeight());
            addToDesktop (juce::ComponentPeer::windowHasTitleBar);
            setVisible (true);
        }

        std::unique_ptr<juce::AudioProcessorEditor> editor;
    };
}

