#include "EditorHarness.h"

#include <thread>

// The page's "fileDownload" through the real native save dialog (zenity, which
// JUCE uses on Linux when it is installed), confirmed or cancelled with xdotool.

namespace
{
    struct TemporaryHome
    {
        TemporaryHome()
        {
            previous = juce::SystemStats::getEnvironmentVariable ("HOME", {});
            home = juce::File::createTempFile ("home");
            home.getChildFile ("Desktop").createDirectory();
            setenv ("HOME", home.getFullPathName().toRawUTF8(), 1);
        }

        ~TemporaryHome()
        {
            setenv ("HOME", previous.toRawUTF8(), 1);
            home.deleteRecursively();
        }

        juce::String previous;
        juce::File home;
    };

    juce::String run (const juce::StringArray& command)
    {
        juce::ChildProcess p;
        return p.start (command) ? p.readAllProcessOutput().trim() : juce::String();
    }

    /** Waits for the dialog window with this title, focuses it and types the key. */
    bool answerDialog (const juce::String& title, const juce::String& key)
    {
        for (int i = 0; i < 200; ++i)
        {
            const auto window = run ({ "xdotool", "search", "--name", "^" + title + "$" })
                                    .upToFirstOccurrenceOf ("\n", false, false);

            if (window.isNotEmpty())
            {
                std::this_thread::sleep_for (std::chrono::milliseconds (700));     // let it settle
                run ({ "xdotool", "windowfocus", "--sync", window });
                run ({ "xdotool", "key", "--clearmodifiers", key });
                return true;
            }

            std::this_thread::sleep_for (std::chrono::milliseconds (50));
        }

        return false;
    }

    void requestDownload (const juce::String& filename, const juce::String& content)
    {
        auto payload = std::make_unique<juce::DynamicObject>();
        payload->setProperty ("filename", filename);
        payload->setProperty ("content", content);
        const juce::var p (payload.release());
        onMessageThread ([p] { PageBridge::handleFileDownload (p); });
    }
}

TEST (FileDialog, ConfirmingWritesTheTextWithCrLfLineEnds)
{
    TemporaryHome home;
    const auto target = home.home.getChildFile ("Desktop/song.txt");
    target.replaceWithText ("OLD: an older file is replaced");

    requestDownload ("song.txt", "a\nb\r\nc\rd");
    ASSERT_TRUE (answerDialog ("Save song.txt", "Return"));
    ASSERT_TRUE (waitFor ([&] { return ! target.loadFileAsString().startsWith ("OLD"); }, 10000));

    juce::MemoryBlock bytes;
    target.loadFileAsData (bytes);
    EXPECT_EQ (juce::String::toHexString (bytes.getData(), (int) bytes.getSize()),
               juce::String::toHexString ("a\r\nb\r\nc\rd", 9));
}

TEST (FileDialog, CancellingWritesNothing)
{
    TemporaryHome home;
    requestDownload ("notes.txt", "a\nb");
    ASSERT_TRUE (answerDialog ("Save notes.txt", "Escape"));
    settle (1500);

    EXPECT_FALSE (home.home.getChildFile ("Desktop/notes.txt").exists());
    EXPECT_EQ (home.home.getChildFile ("Desktop").getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
}

TEST (FileDialog, EmptyFilenameOpensNoDialog)
{
    TemporaryHome home;
    requestDownload ("", "a");
    settle (1500);
    EXPECT_TRUE (run ({ "xdotool", "search", "--name", "^Save $" }).isEmpty());
}
