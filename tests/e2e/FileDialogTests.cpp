#include "EditorHarness.h"
#include "support/ProcessInfo.h"

#include <csignal>
#include <thread>

// The page's "fileDownload" through the real native save dialog (zenity, which
// JUCE uses on Linux when it is installed), answered with xdotool.

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

        juce::File desktop() const      { return home.getChildFile ("Desktop"); }

        juce::String previous;
        juce::File home;
    };

    juce::String run (const juce::StringArray& command)
    {
        juce::ChildProcess p;
        return p.start (command) ? p.readAllProcessOutput().trim() : juce::String();
    }

    juce::String visibleWindow (const juce::String& title)
    {
        return run ({ "xdotool", "search", "--onlyvisible", "--name", "^" + title + "$" }).upToFirstOccurrenceOf ("\n", false, false);
    }

    bool dialogsAreGone()
    {
        return ProcessInfo::children (getpid(), "zenity").empty();
    }

    // The save dialog takes Return as "save" only in its name field, and a key
    // that arrived while it was coming up can leave the focus elsewhere (the
    // folder list, the places): Alt+N puts it back in the name field first.
    const juce::StringArray saveKeys { "alt+n", "Return" };

    void pressKeys (const juce::String& window, const juce::StringArray& keys)
    {
        run ({ "xdotool", "windowfocus", "--sync", window });

        juce::StringArray command { "xdotool", "key", "--clearmodifiers" };
        command.addArray (keys);
        run (command);
    }

    /** Waits for the visible window with this title, focuses it and types the
        keys, again every two seconds until the window has gone.
    */
    bool answer (const juce::String& title, const juce::StringArray& keys)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + 60000;
        bool seen = false;

        while (juce::Time::getMillisecondCounter() < deadline)
        {
            const auto window = visibleWindow (title);

            if (window.isEmpty())
            {
                if (seen)
                    return true;

                std::this_thread::sleep_for (std::chrono::milliseconds (50));
                continue;
            }

            seen = true;
            pressKeys (window, keys);

            for (int i = 0; i < 40 && visibleWindow (title) == window; ++i)
                std::this_thread::sleep_for (std::chrono::milliseconds (50));
        }

        return false;
    }

    juce::StringArray untitledWindows()
    {
        auto ids = juce::StringArray::fromLines (run ({ "xdotool", "search", "--onlyvisible", "--name", "^$" }));
        ids.removeEmptyStrings();
        return ids;
    }

    /** A window can be shown before it takes keys: press again every two
        seconds until it has gone.
    */
    bool pressUntilGone (const juce::String& window, const juce::String& key)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + 60000;

        while (juce::Time::getMillisecondCounter() < deadline)
        {
            pressKeys (window, { key });

            for (int i = 0; i < 40; ++i)
            {
                if (! untitledWindows().contains (window))
                    return true;

                std::this_thread::sleep_for (std::chrono::milliseconds (50));
            }
        }

        return false;
    }

    /** Presses Return in the save dialog and returns the window of the question
        that asks before replacing a file, or nothing if the dialog closed
        without asking.
    */
    juce::String pressSaveAndFindQuestion (const juce::String& title)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + 60000;
        auto chooser = visibleWindow (title);

        while (chooser.isEmpty() && juce::Time::getMillisecondCounter() < deadline)
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (50));
            chooser = visibleWindow (title);
        }

        const auto before = untitledWindows();
        auto nextPress = 0u;

        while (juce::Time::getMillisecondCounter() < deadline)
        {
            // Again every two seconds, in case the dialog dropped the key.
            if (juce::Time::getMillisecondCounter() >= nextPress)
            {
                pressKeys (chooser, saveKeys);
                nextPress = juce::Time::getMillisecondCounter() + 2000;
            }

            // The question comes with a helper window of its own; it is the newer one.
            juce::String question;

            for (auto& window : untitledWindows())
                if (! before.contains (window) && window.getLargeIntValue() > question.getLargeIntValue())
                    question = window;

            if (question.isNotEmpty())
                return question;

            if (visibleWindow (title).isEmpty())
                return {};

            std::this_thread::sleep_for (std::chrono::milliseconds (50));
        }

        return {};
    }

    /** After the dialog process has gone, one timer turn later than the
        chooser's own check lets its completion (the write) run first.
    */
    void waitForTheCompletion()
    {
        ASSERT_TRUE (waitFor ([] { return dialogsAreGone(); }, 60000));
        std::atomic<bool> done { false };
        onMessageThread ([&] { juce::Timer::callAfterDelay (300, [&] { done = true; }); });
        ASSERT_TRUE (waitFor ([&] { return done.load(); }, 60000));
    }

    void requestDownload (const juce::String& filename, const juce::String& content)
    {
        auto payload = std::make_unique<juce::DynamicObject>();
        payload->setProperty ("filename", filename);
        payload->setProperty ("content", content);
        const juce::var p (payload.release());
        onMessageThread ([p] { PageBridge::handleFileDownload (p); });
    }

    bool isOnPath (const juce::String& program)
    {
        for (auto& folder : juce::StringArray::fromTokens (juce::SystemStats::getEnvironmentVariable ("PATH", {}), ":", {}))
            if (folder.isNotEmpty() && juce::File (folder).getChildFile (program).existsAsFile())
                return true;

        return false;
    }
}

// Without zenity JUCE shows a dialog of its own, which these tests neither see
// nor answer, and without xdotool nothing is answered: either way the tests
// would prove nothing, so they fail instead.
class FileDialog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (auto* program : { "zenity", "xdotool" })
            ASSERT_TRUE (isOnPath (program)) << program << " is needed to see and answer the save dialog";
    }

    // A test that failed with its dialog still open must not leave it to the next.
    void TearDown() override
    {
        for (auto pid : ProcessInfo::children (getpid(), "zenity"))
            kill (pid, SIGTERM);

        EXPECT_TRUE (waitFor ([] { return dialogsAreGone(); }));
    }
};

TEST_F (FileDialog, ConfirmingWritesTheTextWithCrLfLineEnds)
{
    TemporaryHome home;
    const auto target = home.desktop().getChildFile ("song.txt");
    const auto workingDirectory = juce::File::getCurrentWorkingDirectory();

    requestDownload ("song.txt", "a\nb\r\nc\rd");

    // The dialog starts in the desktop folder without moving the process
    // there: in a plug-in that would be the host's working directory.
    EXPECT_EQ (juce::File::getCurrentWorkingDirectory(), workingDirectory);

    ASSERT_TRUE (answer ("Save song.txt", saveKeys));
    waitForTheCompletion();

    juce::MemoryBlock bytes;
    target.loadFileAsData (bytes);
    EXPECT_EQ (juce::String::toHexString (bytes.getData(), (int) bytes.getSize()),
               juce::String::toHexString ("a\r\nb\r\nc\rd", 9));
}

// What the page itself sends, through the bridge and the key check: a NUL in
// its text arrives as the six characters \u0000 (a juce::String cannot hold
// the character itself), and the rest of the text with it.
TEST_F (FileDialog, APagesTextWithANulIsSavedWhole)
{
    TemporaryHome home;
    EditorHarness h;
    h.open();
    const auto target = home.desktop().getChildFile ("notes.txt");

    ASSERT_EQ (h.eval ("window.__JUCE__.backend.emitEvent ('fileDownload', { filename: 'notes.txt', content: 'a\\u0000b\\nc' }); true"),
               juce::var (true));
    ASSERT_TRUE (answer ("Save notes.txt", saveKeys));
    waitForTheCompletion();

    EXPECT_EQ (target.loadFileAsString(), "a\\u0000b\r\nc");
}

TEST_F (FileDialog, CancellingWritesNothing)
{
    TemporaryHome home;
    requestDownload ("notes.txt", "a\nb");
    ASSERT_TRUE (answer ("Save notes.txt", { "Escape" }));
    waitForTheCompletion();

    EXPECT_EQ (home.desktop().getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
}

TEST_F (FileDialog, EmptyFilenameOpensNoDialog)
{
    TemporaryHome home;
    requestDownload ("", "a");

    // A dialog would have been started within the handler itself.
    EXPECT_TRUE (dialogsAreGone());
}

TEST_F (FileDialog, SuggestedNamesNeverLeaveTheChosenFolder)
{
    TemporaryHome home;
    const auto outside = home.home.getChildFile ("x.txt");

    struct Case { juce::String suggested, saved; };

    const Case cases[] = {
        { "../x.txt",                          "x.txt" },
        { "/etc/passwd",                       "passwd" },
        { "a/b.txt",                           "b.txt" },
        { "two\nlines.txt",                    "twolines.txt" },
        { "notes/",                            "lutewyrm.txt" },
        { home.home.getFullPathName() + "/x.txt", "x.txt" },
    };

    for (auto& c : cases)
    {
        const auto saved = home.desktop().getChildFile (c.saved);

        // The dialog can drop a key pressed while it is still coming up, and
        // then save in another folder of the home: that slip of the keys is
        // tried again (never more than thrice). A dialog that closed with
        // nothing written anywhere is the product's failure, and fails.
        for (int attempt = 0; attempt < 3 && ! saved.existsAsFile(); ++attempt)
        {
            home.desktop().deleteRecursively();
            home.desktop().createDirectory();

            requestDownload (c.suggested, "content of " + c.saved);
            ASSERT_TRUE (answer ("Save " + c.saved, saveKeys)) << c.suggested;
            waitForTheCompletion();

            if (! saved.existsAsFile())
            {
                ASSERT_FALSE (home.home.findChildFiles (juce::File::findFiles, true, c.saved).isEmpty())
                    << c.suggested << ": the dialog closed and nothing was written";
            }
        }

        EXPECT_EQ (saved.loadFileAsString(), "content of " + c.saved) << c.suggested;
        EXPECT_EQ (home.desktop().getNumberOfChildFiles (juce::File::findFilesAndDirectories), 1) << c.suggested;
    }

    EXPECT_FALSE (outside.exists());
}

TEST_F (FileDialog, ReplacingAFileAsksFirst)
{
    TemporaryHome home;
    const auto target = home.desktop().getChildFile ("song.txt");
    target.replaceWithText ("the player's own song");

    requestDownload ("song.txt", "from the page");

    // No to the question: the file stays as it was, the dialog stays open.
    auto question = pressSaveAndFindQuestion ("Save song.txt");
    ASSERT_TRUE (question.isNotEmpty()) << "the dialog replaced the file without asking";
    ASSERT_TRUE (pressUntilGone (question, "Escape"));
    EXPECT_FALSE (visibleWindow ("Save song.txt").isEmpty());
    EXPECT_EQ (target.loadFileAsString(), "the player's own song");

    // Yes to it: replaced.
    question = pressSaveAndFindQuestion ("Save song.txt");
    ASSERT_TRUE (question.isNotEmpty());
    ASSERT_TRUE (pressUntilGone (question, "Return"));
    waitForTheCompletion();
    EXPECT_EQ (target.loadFileAsString(), "from the page");
}
