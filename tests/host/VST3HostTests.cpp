#include "HostedPlugin.h"
#include "support/ProcessInfo.h"

#include <cstdlib>
#include <iostream>
#include <thread>
#include <unistd.h>

// The built VST3 plug-in in a host of our own: what a DAW does with it.

using namespace HostTesting;

//==============================================================================
TEST (VST3Host, LoadsWithItsIdentity)
{
    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);
    EXPECT_EQ (p.instance->getName(), "Lutewyrm RPG");
    EXPECT_TRUE (p.instance->acceptsMidi());
    EXPECT_TRUE (p.instance->producesMidi());
    EXPECT_TRUE (p.instance->hasEditor());
    EXPECT_EQ (p.instance->getTotalNumOutputChannels(), 2);
}

namespace
{
    // A host's saved state for a VST3 plug-in, as JUCE's hosting writes it: the
    // component's bytes in an XML element. The wrapper appends data of its own
    // to the plug-in's bytes ("JUCEPrivateData" and sizes at the very end).
    juce::MemoryBlock hostStateHolding (const juce::String& pluginBlob)
    {
        juce::XmlElement state ("VST3PluginState");
        const juce::MemoryBlock bytes (pluginBlob.toRawUTF8(), pluginBlob.getNumBytesAsUTF8());
        state.createNewChildElement ("IComponent")->addTextElement (bytes.toBase64Encoding());

        juce::MemoryBlock out;
        juce::AudioProcessor::copyXmlToBinary (state, out);
        return out;
    }

    juce::var pluginBlobIn (const juce::MemoryBlock& hostState)
    {
        const auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
        auto* component = xml != nullptr ? xml->getChildByName ("IComponent") : nullptr;

        if (component == nullptr)
            return {};

        juce::MemoryBlock bytes;
        bytes.fromBase64Encoding (component->getAllSubText());

        const juce::String magic ("JUCEPrivateData");
        auto size = bytes.getSize();
        const auto* data = static_cast<const char*> (bytes.getData());

        if (size >= (size_t) magic.length() + 16 && juce::String (data + size - (size_t) magic.length(), (size_t) magic.length()) == magic)
        {
            juce::uint64 privateSize = 0;
            std::memcpy (&privateSize, data + size - (size_t) magic.length() - 8, 8);
            size -= (size_t) privateSize + (size_t) magic.length() + 16;
        }

        return juce::JSON::parse (juce::String::fromUTF8 (data, (int) size));
    }
}

TEST (VST3Host, StateRoundTripsByteForByte)
{
    HostedPlugin a, b;
    ASSERT_NE (a.instance, nullptr);

    // A state of its own, through the host's format: page settings that need
    // escaping and are not ASCII, and a saved editor size.
    const auto pageSettings = juce::String::fromUTF8 (R"({"channel":5,"name":"Zoë \"bard\"\n♫ Lied"})");
    auto blob = std::make_unique<juce::DynamicObject>();
    blob->setProperty ("instanceId", "0123456789abcdef0123456789abcdef");
    blob->setProperty ("state", pageSettings);
    blob->setProperty ("editorW", 1000);
    blob->setProperty ("editorH", 700);
    const juce::var blobObject (blob.release());

    onMessageThread ([&]
    {
        const auto hostState = hostStateHolding (juce::JSON::toString (blobObject, true));
        a.instance->setStateInformation (hostState.getData(), (int) hostState.getSize());
    });
    const auto first = onMessageThread<juce::MemoryBlock> ([&] { return a.state(); });

    // Every value came through.
    const auto restored = pluginBlobIn (first);
    EXPECT_EQ (restored["instanceId"].toString(), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ (restored["state"].toString(), pageSettings);
    EXPECT_EQ ((int) restored["editorW"], 1000);
    EXPECT_EQ ((int) restored["editorH"], 700);

    onMessageThread ([&] { b.instance->setStateInformation (first.getData(), (int) first.getSize()); });
    EXPECT_EQ (onMessageThread<juce::MemoryBlock> ([&] { return b.state(); }), first);

    // And once more: a state restored is the state written.
    HostedPlugin c;
    onMessageThread ([&]
    {
        const auto again = b.state();
        c.instance->setStateInformation (again.getData(), (int) again.getSize());
    });
    EXPECT_EQ (onMessageThread<juce::MemoryBlock> ([&] { return c.state(); }), first);
}

TEST (VST3Host, MidiComesBackUnchangedAndTheOutputIsSilent)
{
    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);
    p.instance->prepareToPlay (48000.0, 512);

    juce::AudioBuffer<float> audio (2, 512);
    fillWithNoise (audio);
    auto midi = notes (12, 512);
    midi.addEvent (juce::MidiMessage::controllerEvent (3, 64, 127), 300);
    midi.addEvent (juce::MidiMessage::pitchWheel (2, 9000), 400);
    const auto sent = eventsOf (midi);

    p.instance->processBlock (audio, midi);

    EXPECT_EQ (eventsOf (midi), sent);
    EXPECT_EQ (audio.getMagnitude (0, 512), 0.0f);
    p.instance->releaseResources();
}

TEST (VST3Host, EverySampleRateAndBlockSizeIsSilentAndSurvivesOversizedBlocks)
{
    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);

    for (double rate : { 44100.0, 48000.0, 96000.0 })
        for (int size : { 64, 128, 256, 512, 1024 })
        {
            p.instance->setRateAndBufferSizeDetails (rate, size);
            p.instance->prepareToPlay (rate, size);

            for (int blockSize : { size, 1, size / 2, size * 2 })       // the last one larger than prepared
            {
                juce::AudioBuffer<float> audio (2, blockSize);
                fillWithNoise (audio);
                auto midi = notes (8, blockSize);
                const auto sent = eventsOf (midi);
                p.instance->processBlock (audio, midi);

                EXPECT_EQ (audio.getMagnitude (0, blockSize), 0.0f) << rate << " " << size << " " << blockSize;
                EXPECT_EQ (eventsOf (midi).size(), sent.size()) << rate << " " << size << " " << blockSize;
            }

            p.instance->releaseResources();
        }
}

TEST (VST3Host, StateFromAnotherThreadWhileBlocksRun)
{
    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);
    p.instance->prepareToPlay (48000.0, 256);

    std::atomic<bool> done { false };
    std::atomic<int> blocks { 0 };
    std::thread audio ([&]
    {
        juce::AudioBuffer<float> buffer (2, 256);
        while (! done)
        {
            auto midi = notes (4, 256);
            p.instance->processBlock (buffer, midi);
            ++blocks;
        }
    });

    // At least 300 rounds, and as many more as it takes for 100 blocks to
    // run among them: a starved audio thread would otherwise overlap nothing.
    const auto initial = p.state();
    const auto blocksBefore = blocks.load();
    const auto deadline = juce::Time::getMillisecondCounter() + 60000;
    int rounds = 0;

    for (; rounds < 300 || blocks.load() - blocksBefore < 100; ++rounds)
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            break;

        const auto s = p.state();
        p.instance->setStateInformation (s.getData(), (int) s.getSize());
    }

    done = true;
    audio.join();
    p.instance->releaseResources();
    EXPECT_GE (blocks.load() - blocksBefore, 100) << "in " << rounds << " rounds";
    EXPECT_EQ (p.state(), initial);
}

TEST (VST3Host, EditorOpenedAndClosedManyTimesWhileMidiFlows)
{
    // The plug-in's web view keeps its data in one folder, whatever the helper
    // process is called: look at where WebKit puts data for this run.
    const auto dataHome = juce::File::createTempFile ("data"), cacheHome = juce::File::createTempFile ("cache");
    dataHome.createDirectory();
    cacheHome.createDirectory();
    setenv ("XDG_DATA_HOME", dataHome.getFullPathName().toRawUTF8(), 1);
    setenv ("XDG_CACHE_HOME", cacheHome.getFullPathName().toRawUTF8(), 1);

    HostedPlugin p;
    ASSERT_NE (p.instance, nullptr);
    p.instance->prepareToPlay (48000.0, 256);

    std::atomic<bool> done { false };
    std::atomic<int> blocks { 0 };
    std::thread audio ([&]
    {
        juce::AudioBuffer<float> buffer (2, 256);
        while (! done)
        {
            auto midi = notes (3, 256);
            p.instance->processBlock (buffer, midi);
            ++blocks;
            std::this_thread::sleep_for (std::chrono::milliseconds (5));
        }
    });

    // A failed assertion leaves the test early: the audio thread still ends.
    const juce::ScopeGuard stopAudio { [&] { done = true; if (audio.joinable()) audio.join(); } };

    auto openAndClose = [&] (int waitMs)
    {
        std::unique_ptr<EditorWindow> window;
        const auto blocksBefore = blocks.load();
        onMessageThread ([&] { window = std::make_unique<EditorWindow> (p.instance->createEditorIfNeeded()); });
        settle (waitMs);

        // Every editor sees at least one block while it is open.
        const auto overlapped = waitFor ([&] { return blocks.load() > blocksBefore; });
        onMessageThread ([&] { window = nullptr; });
        return overlapped;
    };

    ASSERT_TRUE (openAndClose (1500));     // let everything start up once

    // The baseline is taken with no web engine left running: one still on its
    // way out would be counted in it and hide one the loop leaks.
    ASSERT_TRUE (waitFor ([&] { return ProcessInfo::children (getpid(), "--juce-gtkwebkitfork-child").empty(); }));
    const auto descriptors = ProcessInfo::openDescriptors();
    const auto processes = (int) ProcessInfo::children (getpid()).size();

    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE (openAndClose (i % 20 == 0 ? 800 : 30)) << "editor " << i;
    done = true;
    audio.join();
    p.instance->releaseResources();

    // The last web engine may take a moment to end on a busy machine.
    waitFor ([&]
    {
        return ProcessInfo::openDescriptors() <= descriptors + 2
            && (int) ProcessInfo::children (getpid()).size() <= processes;
    });

    EXPECT_LE (ProcessInfo::openDescriptors(), descriptors + 2);
    EXPECT_LE ((int) ProcessInfo::children (getpid()).size(), processes);
    EXPECT_GT (blocks.load(), 100);

    // No folder named after the temporary helper process; the shared one is used.
    for (auto& home : { dataHome, cacheHome })
        for (auto& folder : home.findChildFiles (juce::File::findDirectories, false))
            EXPECT_FALSE (folder.getFileName().contains ("juce_linux_subprocess")) << folder.getFullPathName();

    EXPECT_TRUE (dataHome.getChildFile ("LUTE WYRM RPG").isDirectory());

    unsetenv ("XDG_DATA_HOME");
    unsetenv ("XDG_CACHE_HOME");
    dataHome.deleteRecursively();
    cacheHome.deleteRecursively();
}

// Hardened systems mount the temporary folder noexec. The editor's web view
// runs its helper from the plug-in's bundle, never from there: where this
// test may mount one, TMPDIR is a noexec tmpfs; anywhere, the helper process
// must be the bundle's, and the web engine must start under it.
TEST (VST3Host, TheWebViewHelperRunsFromTheBundleNotTheTemporaryFolder)
{
    const auto tmp = juce::File::createTempFile ("noexec-tmp");
    ASSERT_TRUE (tmp.createDirectory());
    const auto mounted = std::system (("mount -t tmpfs -o noexec,size=64m tmpfs '" + tmp.getFullPathName() + "' 2>/dev/null").toRawUTF8()) == 0;
    std::cout << (mounted ? "TMPDIR is a noexec tmpfs" : "TMPDIR is a plain folder (no mount allowed here)") << std::endl;
    const auto previous = juce::SystemStats::getEnvironmentVariable ("TMPDIR", {});
    setenv ("TMPDIR", tmp.getFullPathName().toRawUTF8(), 1);

    {
        HostedPlugin p;
        ASSERT_NE (p.instance, nullptr);
        std::unique_ptr<EditorWindow> window;
        onMessageThread ([&] { window = std::make_unique<EditorWindow> (p.instance->createEditorIfNeeded()); });

        // The helper is the child that runs the web engine's entry point.
        int helper = 0;
        ASSERT_TRUE (waitFor ([&]
        {
            const auto found = ProcessInfo::children (getpid(), "juce_gtkWebkitMain");
            helper = found.empty() ? 0 : found.front();
            return helper != 0 && ! ProcessInfo::children (helper, "WebKitWebProcess").empty();
        }, 60000)) << "the web engine never started";

        char exe[4096] = {};
        const auto length = readlink (("/proc/" + std::to_string (helper) + "/exe").c_str(), exe, sizeof (exe) - 1);
        ASSERT_GT (length, 0);
        const auto helperFile = juce::File (juce::String::fromUTF8 (exe, (int) length));
        juce::String bundle;
        onMessageThread ([&] { bundle = bundleUnderTest(); });
        EXPECT_TRUE (helperFile.isAChildOf (juce::File (bundle))) << helperFile.getFullPathName();
        EXPECT_FALSE (helperFile.isAChildOf (tmp)) << helperFile.getFullPathName();

        onMessageThread ([&] { window = nullptr; });
    }

    setenv ("TMPDIR", previous.toRawUTF8(), 1);

    if (previous.isEmpty())
        unsetenv ("TMPDIR");

    if (mounted)
        EXPECT_EQ (std::system (("umount -l '" + tmp.getFullPathName() + "'").toRawUTF8()), 0);

    tmp.deleteRecursively();
}

TEST (VST3Host, RemovingTheLastInstanceAfterItsEditorWasOpenIsSafe)
{
    // The last instance going away shuts the plug-in's JUCE down; the web
    // engine's libraries, loaded into the host for the editor, stay behind
    // with threads of their own, which must still have their code.
    for (int round = 0; round < 4; ++round)
    {
        settle (1500);       // the last instance has gone: give those threads time to run
        HostedPlugin p;
        ASSERT_NE (p.instance, nullptr);

        std::unique_ptr<EditorWindow> window;
        onMessageThread ([&] { window = std::make_unique<EditorWindow> (p.instance->createEditorIfNeeded()); });
        settle (1500);
        onMessageThread ([&] { window = nullptr; });
    }

    settle (3000);
    HostedPlugin again;
    EXPECT_NE (again.instance, nullptr);
}
