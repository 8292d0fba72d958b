#include "EditorHarness.h"

#include <thread>

// What the web engine would do for the page by itself, outside the bridge:
// save files, ask for passwords, show documents its server isolated or marked
// as files, accept messages of any size, and show a page that no decision
// allowed. Real view, virtual devices, HOME and the XDG folders in a
// temporary folder of the test's own.

using Wrapper = juce::AudioProcessor::WrapperType;
using Server = PageServerEnvironment;

namespace
{
    juce::String quoted (const juce::String& text)     { return juce::JSON::toString (text); }

    /** HOME in a fresh temporary folder for the test's editors (the web
        engine's child takes it when it starts), with or without a download
        folder configured in the XDG user folders.
    */
    struct TemporaryHome
    {
        explicit TemporaryHome (bool withDownloadFolder)
        {
            home = juce::File::createTempFile ("home");
            home.createDirectory();
            previous = juce::SystemStats::getEnvironmentVariable ("HOME", {});
            setenv ("HOME", home.getFullPathName().toRawUTF8(), 1);

            if (withDownloadFolder)
            {
                home.getChildFile ("Downloads").createDirectory();
                home.getChildFile (".config").createDirectory();
                home.getChildFile (".config/user-dirs.dirs").replaceWithText ("XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n");
            }
        }

        ~TemporaryHome()
        {
            setenv ("HOME", previous.toRawUTF8(), 1);
            home.deleteRecursively();
        }

        /** Files under HOME whose names hold any of these parts. */
        juce::StringArray filesNamed (const juce::StringArray& parts) const
        {
            juce::StringArray found;

            for (const auto& entry : juce::RangedDirectoryIterator (home, true, "*", juce::File::findFiles))
                for (auto& part : parts)
                    if (entry.getFile().getFileName().contains (part))
                        found.add (entry.getFile().getFullPathName());

            return found;
        }

        juce::File home;
        juce::String previous;
    };

    /** Polls for files the engine might write; a download it did not cancel
        appears within milliseconds, so a few seconds of nothing is a pass.
    */
    juce::StringArray filesAppearingWithin (const TemporaryHome& home, const juce::StringArray& parts, int ms)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) ms;

        for (;;)
        {
            if (auto found = home.filesNamed (parts); ! found.isEmpty() || juce::Time::getMillisecondCounter() > deadline)
                return found;

            std::this_thread::sleep_for (std::chrono::milliseconds (50));
        }
    }
}

//==============================================================================
// A download attribute (from the game or from any frame, with no click) and
// an attachment answer: the engine saves nothing, anywhere under HOME.
TEST (EngineDoors, TheEngineSavesNoFileByItself)
{
    for (auto withDownloadFolder : { false, true })
    {
        SCOPED_TRACE (withDownloadFolder ? "with a download folder" : "without a download folder");
        TemporaryHome home (withDownloadFolder);
        EditorHarness h (Wrapper::wrapperType_Standalone);
        h.open();

        // The game itself: a blob link with a download attribute, clicked by script.
        ASSERT_EQ (h.eval ("(function () { var a = document.createElement ('a');"
                           " a.href = URL.createObjectURL (new Blob (['by the game\\n'], { type: 'text/plain' }));"
                           " a.download = 'lw-probe-game.txt'; document.body.appendChild (a); a.click (); return true; })()"),
                   juce::var (true));

        // Frames on another origin and on the game's, one asking for a dot file.
        ASSERT_EQ (h.eval ("(function () { window.tried = 0;"
                           " addEventListener ('message', function (e) { if (e.data === 'download-tried') ++window.tried; });"
                           " [" + quoted (Server::address (Server::foreignPort, "/fixtures/download-probe.html")) + ", "
                                + quoted (Server::address (Server::foreignPort, "/fixtures/download-probe.html?name=.bash_aliases")) + ", "
                                + quoted (Server::address (Server::gamePort(), "/fixtures/download-probe.html?name=lw-probe-same-origin.txt")) + "]"
                           " .forEach (function (src) { var f = document.createElement ('iframe'); f.src = src; document.body.appendChild (f); });"
                           " return true; })()"), juce::var (true));
        ASSERT_TRUE (h.waitForPage ("window.tried === 3"));

        // An attachment answer to the game's own top-level navigation: not
        // shown as the page (the game document stays), and not saved.
        ASSERT_EQ (h.eval ("window.stillHere = true; location.href = "
                           + quoted (Server::address (Server::gamePort(), "/fixtures/isolated-probe.html?attachment")) + "; true"),
                   juce::var (true));

        EXPECT_EQ (filesAppearingWithin (home, { "lw-probe", "bash_aliases" }, 5000), juce::StringArray());
        EXPECT_EQ (h.eval ("window.stillHere === true && window.done === undefined && lwDemo.ready"), juce::var (true));
    }
}

//==============================================================================
// A server that asks for a password gets no dialog from the engine: the
// request is refused and the answer's own page loads, in a frame and as the page.
TEST (EngineDoors, NoPasswordDialogFromTheEngine)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.open();

    ASSERT_EQ (h.eval ("(function () { window.frameLoaded = false; var f = document.createElement ('iframe');"
                       " f.onload = function () { window.frameLoaded = true; };"
                       " f.src = " + quoted (Server::address (Server::foreignPort, "/auth")) + "; document.body.appendChild (f);"
                       " return true; })()"), juce::var (true));
    EXPECT_TRUE (h.waitForPage ("window.frameLoaded === true")) << "the frame's load waited for a password";

    // The game's own origin, as the page: an allowed load that is answered 401.
    h.eval ("location.href = " + quoted (Server::address (Server::gamePort(), "/auth")) + "; true");
    EXPECT_TRUE (h.waitForPage ("document.title === 'no entry'")) << "the page's load waited for a password";
}

//==============================================================================
// Documents of the game's own origin that the server isolates get nothing
// of the bootstrap and reach nothing.
TEST (EngineDoors, IsolatedGameDocumentsGetNoBridge)
{
    EditorHarness h (Wrapper::wrapperType_VST3);
    h.devices.plugOutput ("Lute", "out-0");
    h.open();
    ASSERT_TRUE (h.eval ("lwDemo.selectOutput ('Lute')"));
    ASSERT_TRUE (waitFor ([&] { return h.processor->getWebState().contains ("\"Lute\""); }));
    const auto stateBefore = h.processor->getWebState();

    h.eval ("location.href = " + quoted (Server::address (Server::gamePort(), "/fixtures/isolated-probe.html?sandbox")) + "; true");
    ASSERT_TRUE (h.waitForPage ("window.done === true"));
    EXPECT_EQ (h.eval ("JSON.stringify (report)"),
               juce::var (R"({"midi":"undefined","ports":"undefined","declared":false,"id":"undefined"})"));

    // Back to the game, whose own report proves that everything posted
    // before it was handled.
    h.eval ("location.href = " + quoted (LUTEWYRM_PAGE_URL) + "; true");
    ASSERT_TRUE (h.waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true"));
    ASSERT_TRUE (h.eval ("lwDemo.sendNote (64, 80)"));
    ASSERT_TRUE (h.devices.waitForSent ("out-0", 1, 60000));

    EXPECT_EQ (h.processor->getWebState(), stateBefore);
    EXPECT_EQ (h.devices.getSent ("out-0").size(), 1u);
}

//==============================================================================
// Each posted message is read only up to 1 MiB (the whole message as the
// bridge carries it: event name, key and payload as JSON). System-exclusive
// messages show it: every one that gets through reaches the device.
TEST (EngineDoors, PostedMessagesHaveASizeLimit)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugOutput ("Lute", "out-0");
    h.open();

    // Each data byte 1 is two characters of JSON ("1,").
    const auto sendSysex = [&] (int dataBytes)
    {
        return h.eval ("(function () { var data = [0xf0]; for (var i = 0; i < " + juce::String (dataBytes) + "; ++i) data.push (1);"
                       " data.push (0xf7); window.__JUCE__.backend.emitEvent ('midiSend', { port: 0, data: data }); return true; })()");
    };

    constexpr int limit = 1 << 20;
    const auto below = limit / 2 - 1000, above = limit / 2 + 10;

    ASSERT_EQ (sendSysex (below), juce::var (true));
    ASSERT_EQ (sendSysex (above), juce::var (true));
    ASSERT_EQ (h.eval ("window.__JUCE__.backend.emitEvent ('midiSend', { port: 0, data: [0x90, 60, 1] }); true"), juce::var (true));
    ASSERT_TRUE (h.devices.waitForSent ("out-0", 2, 60000));

    // The note came last, so both messages before it were handled by then.
    std::vector<int> sizes;
    for (auto& sent : h.devices.getSent ("out-0"))
        sizes.push_back (sent.message.getRawDataSize());

    EXPECT_EQ (sizes, (std::vector<int> { below + 2, 3 }));
}

//==============================================================================
// A frame the player clicked once may send the top document away; where it
// lands without a decision (about:blank) the game comes back.
TEST (EngineDoors, APageShownWithoutADecisionGivesWayToTheGame)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.open();

    h.eval ("window.lwMarker = true; location.href = 'about:blank'; true");
    ASSERT_TRUE (h.waitForPage ("window.lwMarker === undefined && window.lwDemo !== undefined && lwDemo.ready === true"
                                " && location.href === " + quoted (LUTEWYRM_PAGE_URL)))
        << "the view stayed on about:blank";
}

//==============================================================================
// The offline page stands in for the game only: when a page the build allows
// cannot be reached, the game stays as it was, and the engine shows no error
// page of its own either (its "load-failed" handler says it took care).
TEST (EngineDoors, AFailedLoadOfAnotherPageLeavesTheGameAsItWas)
{
    constexpr int closedPort = 47639;
    const auto site = GameSite::make (LUTEWYRM_PAGE_URL, { Server::address (closedPort, "") });
    EditorHarness h (Wrapper::wrapperType_Standalone, site);
    h.open();

    auto& view = h.editor().getBrowser();
    const auto failuresBefore = onMessageThread<int> ([&] { return view.getLoadFailures(); });
    h.eval ("window.lwMarker = true; location.href = " + quoted (Server::address (closedPort, "/sign-in")) + "; true");
    ASSERT_TRUE (waitFor ([&] { return onMessageThread<int> ([&] { return view.getLoadFailures(); }) > failuresBefore; }))
        << "the load did not fail";

    // The failure was handled without putting up the offline page, and the
    // game's document is still the one shown.
    EXPECT_EQ (onMessageThread<int> ([&] { return view.getOfflinePagesShown(); }), 0);
    EXPECT_EQ (h.eval ("window.lwMarker === true && location.href === " + quoted (LUTEWYRM_PAGE_URL)
                       + " && document.getElementById ('offline') === null"), juce::var (true));
}

//==============================================================================
// game → allowed page → game, then a frame moves the view back: the allowed
// page comes back as a page of its own (loaded afresh, with no page cache),
// and the game's events (the player's notes, device names) never reach it.
TEST (EngineDoors, AHistoryMoveBackToAnotherOriginGetsNoneOfTheGamesEvents)
{
    const auto site = GameSite::make (LUTEWYRM_PAGE_URL, { Server::address (Server::allowedPort, "") });
    EditorHarness h (Wrapper::wrapperType_VST3, site);
    h.open();

    h.eval ("location.href = " + quoted (Server::address (Server::allowedPort, "/fixtures/post-everything.html")) + "; true");
    ASSERT_TRUE (h.waitForPage ("window.done === true && location.port === '" + juce::String (Server::allowedPort) + "'"));
    h.eval ("location.href = " + quoted (LUTEWYRM_PAGE_URL) + "; true");
    ASSERT_TRUE (h.waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true"));

    ASSERT_EQ (h.eval ("(function () { var f = document.createElement ('iframe');"
                       " f.src = " + quoted (Server::address (Server::foreignPort, "/fixtures/history-back.html")) + ";"
                       " document.body.appendChild (f); return true; })()"), juce::var (true));
    ASSERT_TRUE (h.waitForPage ("window.done === true && location.port === '" + juce::String (Server::allowedPort) + "'"))
        << "the view did not go back";

    h.sendTheGamesEvents();

    // Evaluated after anything those two would have sent.
    EXPECT_EQ (h.eval ("window.received"), juce::var (0));
}

//==============================================================================
// A game document's key works only while that document is shown: handed to
// another page, or kept by a frame of the next game document, it is refused.
TEST (EngineDoors, AKeyHandedOnStopsWorkingWhenItsDocumentGoes)
{
    const auto site = GameSite::make (LUTEWYRM_PAGE_URL, { Server::address (Server::allowedPort, "") });
    EditorHarness h (Wrapper::wrapperType_VST3, site);
    h.open();

    // The game reads its own key off one of its events, which gets through.
    const auto key = h.eval ("(function () { var handler = window.webkit.messageHandlers.__JUCE__, post = handler.postMessage, key = null;"
                             " handler.postMessage = function (m) { var o = JSON.parse (m); if (o.payload && o.payload.lwKey) key = o.payload.lwKey;"
                             " return post.call (handler, m); };"
                             " window.__JUCE__.backend.emitEvent ('lwStateChanged', { state: 'by the game' });"
                             " handler.postMessage = post; return key; })()").toString();
    ASSERT_EQ (key.length(), 32) << key;
    ASSERT_TRUE (waitFor ([&] { return h.processor->getWebState() == "by the game"; }));

    // Counted by name: a game document's clock questions still on their way
    // as it goes are dropped too, and rightly.
    const auto droppedReports = [&] { return onMessageThread<int> ([&] { return h.editor().getDroppedPageEvents ("lwStateChanged"); }); };

    const auto postsWithTheOldKey = [&] (const std::function<void()>& post)
    {
        const auto dropped = droppedReports();
        post();
        EXPECT_TRUE (waitFor ([&] { return droppedReports() > dropped; }))
            << "the post never reached the editor, or was not dropped";
        EXPECT_EQ (droppedReports(), dropped + 1);
        EXPECT_EQ (h.processor->getWebState(), "by the game");
    };

    // Handed to a page the build allows, which the game sends the view to.
    postsWithTheOldKey ([&]
    {
        h.eval ("location.href = " + quoted (Server::address (Server::allowedPort, "/fixtures/post-with-key.html#" + key)) + "; true");
        ASSERT_TRUE (h.waitForPage ("window.done === true && location.port === '" + juce::String (Server::allowedPort) + "'"));
    });

    // Kept by a frame of the next game document.
    h.eval ("location.href = " + quoted (LUTEWYRM_PAGE_URL) + "; true");
    ASSERT_TRUE (h.waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true"));
    ASSERT_TRUE (waitFor ([&] { return h.processor->getWebState() != "by the game"; }));       // the new document reported
    h.eval ("window.__JUCE__.backend.emitEvent ('lwStateChanged', { state: 'by the game' }); true");
    ASSERT_TRUE (waitFor ([&] { return h.processor->getWebState() == "by the game"; }));

    postsWithTheOldKey ([&]
    {
        ASSERT_EQ (h.eval ("(function () { window.framePosted = false;"
                           " addEventListener ('message', function (e) { if (e.data === 'posted-with-key') window.framePosted = true; });"
                           " var f = document.createElement ('iframe');"
                           " f.src = " + quoted (Server::address (Server::gamePort(), "/fixtures/post-with-key.html#" + key)) + ";"
                           " document.body.appendChild (f); return true; })()"), juce::var (true));
        ASSERT_TRUE (h.waitForPage ("window.framePosted === true"));
    });
}
