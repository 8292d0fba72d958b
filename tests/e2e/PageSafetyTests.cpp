#include "EditorHarness.h"
#include "support/ProcessInfo.h"

#include <algorithm>
#include <functional>
#include <thread>

// The page is remote content: frames inside it, pages of other origins and
// popups must not reach the player's MIDI devices, the saved state or the file
// system; links leave for the user's browser; an unreachable server gets the
// program's own offline page. Real view, virtual devices, the page server of
// EditorHarness on the game's origin and on others.

using Wrapper = juce::AudioProcessor::WrapperType;
using Server = PageServerEnvironment;

namespace
{
    juce::String quoted (const juce::String& text)     { return juce::JSON::toString (text); }

    /** The editor's dropped page events of each name that post-everything.html
        posts, from the moment this is made. Counted by name: a game document's
        own clock questions still on their way when it goes are dropped too.
    */
    struct DroppedPosts
    {
        explicit DroppedPosts (EditorHarness& h) : harness (h), before (now()) {}

        std::vector<int> now() const
        {
            return onMessageThread<std::vector<int>> ([this]
            {
                std::vector<int> counts;
                for (const auto& name : { "lwStateChanged", "midiSend", "fileDownload" })
                    counts.push_back (harness.editor().getDroppedPageEvents (name));
                return counts;
            });
        }

        /** before + n for each name. */
        std::vector<int> expected (int n) const
        {
            auto counts = before;
            for (auto& count : counts)
                count += n;
            return counts;
        }

        /** Waits until each name was dropped n more times at least. */
        bool waitForEach (int n) const
        {
            return waitFor ([&]
            {
                const auto counts = now(), wanted = expected (n);
                return std::equal (counts.begin(), counts.end(), wanted.begin(), std::greater_equal<int>());
            }, 60000);
        }

        EditorHarness& harness;
        const std::vector<int> before;
    };

    juce::String run (const juce::StringArray& command)
    {
        juce::ChildProcess p;
        return p.start (command) ? p.readAllProcessOutput().trim() : juce::String();
    }

    /** A stand-in for the user's browser: an xdg-open first on PATH that records its argument. */
    struct BrowserStub
    {
        BrowserStub()
        {
            folder = juce::File::createTempFile ("browser");
            folder.createDirectory();
            log = folder.getChildFile ("opened.txt");
            const auto stub = folder.getChildFile ("xdg-open");
            stub.replaceWithText ("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + log.getFullPathName() + "\"\n", false, false, "\n");
            stub.setExecutePermission (true);

            previousPath = juce::SystemStats::getEnvironmentVariable ("PATH", {});
            setenv ("PATH", (folder.getFullPathName() + ":" + previousPath).toRawUTF8(), 1);
        }

        ~BrowserStub()
        {
            setenv ("PATH", previousPath.toRawUTF8(), 1);
            folder.deleteRecursively();
        }

        juce::StringArray opened() const      { return juce::StringArray::fromLines (log.loadFileAsString().trim()); }

        bool waitForOpened (int count) const
        {
            const auto deadline = juce::Time::getMillisecondCounter() + 60000;

            while (log.loadFileAsString().trim().isEmpty() || opened().size() < count)
            {
                if (juce::Time::getMillisecondCounter() > deadline)
                    return false;

                std::this_thread::sleep_for (std::chrono::milliseconds (20));
            }

            return true;
        }

        juce::File folder, log;
        juce::String previousPath;
    };

    /** Covers the game page with one element and clicks it like a player (a
        real pointer event, so the engine treats it as the user's own action).
        Returns once the element has had its click: pointer events reach the
        page on another path than scripts do, and on a busy machine a click
        not yet handled would land on the next overlay instead.
    */
    void clickOverlay (EditorHarness& h, const juce::String& elementHtml)
    {
        static int overlays = 0;
        const auto id = juce::String (++overlays);

        ASSERT_EQ (h.eval ("(function () { var old = document.getElementById ('lw-overlay'); if (old) old.remove();"
                           " var box = document.createElement ('div'); box.innerHTML = " + quoted (elementHtml) + ";"
                           " var e = box.firstChild; e.id = 'lw-overlay';"
                           " e.style.cssText = 'position:fixed;left:0;top:0;width:100%;height:100%;z-index:99999;display:block;opacity:0.01';"
                           " e.addEventListener ('click', function () { window.lwOverlayClicked = " + id + "; }, true);"
                           " document.body.appendChild (e); return true; })()"), juce::var (true));

        const auto centre = onMessageThread<juce::Point<int>> ([&] { return h.editor().getBrowser().getScreenBounds().getCentre(); });
        run ({ "xdotool", "mousemove", juce::String (centre.x), juce::String (centre.y), "click", "1" });
        ASSERT_TRUE (h.waitForPage ("window.lwOverlayClicked === " + id)) << "the click never reached the page";
    }

    std::vector<Bytes> sentTo (VirtualMidiDevices& devices, const juce::String& identifier)
    {
        std::vector<Bytes> out;
        for (auto& s : devices.getSent (identifier))
            out.push_back (bytesOf (s.message));
        return out;
    }

    void closeSaveDialogs()
    {
        for (auto pid : ProcessInfo::children (getpid(), "zenity"))
            kill (pid, SIGTERM);

        waitFor ([] { return ProcessInfo::children (getpid(), "zenity").empty(); }, 60000);
    }

    /** The game's own three events, whose arrival proves that everything
        posted before them has been handled.
    */
    void gameDoesAllThree (EditorHarness& h)
    {
        ASSERT_EQ (h.eval ("lwDemo.selectOutput ('Lute') && lwDemo.sendNote (64, 80) && lwDemo.saveNotes()"), juce::var (true));
        ASSERT_TRUE (h.devices.waitForSent ("out-0", 1, 60000));
        ASSERT_TRUE (waitFor ([&] { return h.processor->getWebState().contains ("\"Lute\""); }, 60000));
        ASSERT_TRUE (waitFor ([] { return ! ProcessInfo::children (getpid(), "zenity").empty(); }, 60000));
    }

    void expectNothingStolen (EditorHarness& h)
    {
        EXPECT_FALSE (h.processor->getWebState().contains ("stolen"));
        EXPECT_EQ (sentTo (h.devices, "out-0"), (std::vector<Bytes> { { 0x90, 64, 80 } }));
        EXPECT_EQ (ProcessInfo::children (getpid(), "zenity").size(), 1u);       // the game's own
        EXPECT_TRUE (run ({ "xdotool", "search", "--name", "^Save stolen.txt$" }).isEmpty());
        closeSaveDialogs();
    }
}

//==============================================================================
TEST (PageOrigin, FramesOfAnyOriginCannotDriveTheBridge)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.devices.plugOutput ("Lute", "out-0");
    h.open();

    // The game reports its settings once; the attacks come after, and the
    // state is read before the game reports again.
    ASSERT_TRUE (waitFor ([&] { return h.processor->getWebState().isNotEmpty(); }, 60000));
    const auto stateBefore = h.processor->getWebState();
    const DroppedPosts dropped (h);

    // A frame on the game's own origin and one on another, each posting
    // straight to the engine's message handler from its own window: three
    // events, each without and with a guessed key.
    ASSERT_EQ (h.eval ("(function () { window.framesDone = 0;"
                       " addEventListener ('message', function (e) { if (e.data === 'posted-everything') ++window.framesDone; });"
                       " [" + quoted (Server::address (Server::gamePort(), "/fixtures/post-everything.html")) + ", "
                            + quoted (Server::address (Server::foreignPort, "/fixtures/post-everything.html")) + "]"
                       " .forEach (function (src) { var f = document.createElement ('iframe'); f.src = src; document.body.appendChild (f); });"
                       " return true; })()"), juce::var (true));
    ASSERT_TRUE (h.waitForPage ("window.framesDone === 2", 60000));

    // The frames found the engine's handler but none of the game's globals.
    EXPECT_EQ (h.eval ("(function () { var f = document.getElementsByTagName ('iframe')[0].contentWindow.report;"
                       " return f.doors + ' ' + f.ports + ' ' + f.id; })()"), juce::var ("1 undefined undefined"));

    // Every one of their twelve posts (four of each event) reached the
    // editor, and was dropped there: the state is read before the game
    // reports again.
    ASSERT_TRUE (dropped.waitForEach (4)) << "the frames' posts never reached the editor, or some were not dropped";
    EXPECT_EQ (h.processor->getWebState(), stateBefore);
    EXPECT_EQ (dropped.now(), dropped.expected (4));
    EXPECT_TRUE (h.devices.getSent ("out-0").empty());
    EXPECT_TRUE (ProcessInfo::children (getpid(), "zenity").empty());

    gameDoesAllThree (h);
    expectNothingStolen (h);
}

TEST (PageOrigin, AnAllowedOriginLoadsWithoutTheBootstrapAndReachesNothing)
{
    const auto site = GameSite::make (LUTEWYRM_PAGE_URL, { Server::address (Server::allowedPort, "") });
    EditorHarness h (Wrapper::wrapperType_VST3, site);
    h.devices.plugOutput ("Lute", "out-0");
    h.open();

    ASSERT_TRUE (waitFor ([&] { return h.processor->getWebState().isNotEmpty(); }, 60000));
    const auto stateBefore = h.processor->getWebState();
    const DroppedPosts dropped (h);

    // The game sends the view to the allowed origin (a sign-in page, say),
    // which uses whatever it finds.
    h.eval ("location.href = " + quoted (Server::address (Server::allowedPort, "/fixtures/post-everything.html")) + "; true");
    ASSERT_TRUE (h.waitForPage ("window.done === true && location.port === '" + juce::String (Server::allowedPort) + "'", 60000));
    EXPECT_EQ (h.eval ("JSON.stringify (report)"),
               juce::var (R"({"doors":3,"ports":"undefined","inputs":"undefined","id":"undefined","state":"undefined","shim":false})"));

    // Its nine posts (three events, through the engine's handler without and
    // with a guessed key, and through the bridge) reached the editor and were
    // dropped, before the game could report again.
    ASSERT_TRUE (dropped.waitForEach (3)) << "the page's posts never reached the editor, or some were not dropped";
    EXPECT_EQ (h.processor->getWebState(), stateBefore);
    EXPECT_EQ (dropped.now(), dropped.expected (3));
    EXPECT_TRUE (h.devices.getSent ("out-0").empty());

    // Host-track MIDI and device lists are the game's: none reach this page.
    h.sendTheGamesEvents();
    EXPECT_EQ (h.eval ("window.received"), juce::var (0));

    // Back to the game, which finds everything as before and still works.
    h.eval ("location.href = " + quoted (LUTEWYRM_PAGE_URL) + "; true");
    ASSERT_TRUE (h.waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true", 60000));
    EXPECT_EQ (h.eval ("_juceMidiPorts.length + ' ' + (_lwInstanceId === " + quoted (h.processor->getInstanceId()) + ")"),
               juce::var ("1 true"));

    gameDoesAllThree (h);
    expectNothingStolen (h);
}

//==============================================================================
TEST (Links, NewWindowsAndOtherSitesOpenInTheUsersBrowser)
{
    BrowserStub browser;
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.open();

    const auto help = juce::String ("https://wiki.example/help?topic=lute&lang=en#top");
    const auto foreign = Server::address (Server::foreignPort, "/fixtures/post-everything.html");
    const auto popup = Server::address (Server::foreignPort, "/fixtures/post-everything.html?popup");

    clickOverlay (h, "<a target='_blank' href='file:///etc/passwd'>file</a>");         // never launched
    clickOverlay (h, "<a target='_blank' href='" + help + "'>help</a>");
    ASSERT_TRUE (browser.waitForOpened (1));
    clickOverlay (h, "<a href='" + foreign + "'>elsewhere</a>");
    ASSERT_TRUE (browser.waitForOpened (2));
    clickOverlay (h, "<button onclick='window.open (" + quoted (popup).replace ("\"", "&quot;") + ")'>popup</button>");
    ASSERT_TRUE (browser.waitForOpened (3));

    // A last link, whose launch comes after anything the earlier ones set off:
    // each of them launched the browser exactly once.
    const auto last = juce::String ("https://wiki.example/last");
    clickOverlay (h, "<a target='_blank' href='" + last + "'>last</a>");
    ASSERT_TRUE (browser.waitForOpened (4));

    EXPECT_EQ (browser.opened(), juce::StringArray (help, foreign, popup, last));

    // The view stayed on the game all along.
    EXPECT_EQ (h.eval ("location.href === " + quoted (LUTEWYRM_PAGE_URL) + " && lwDemo.ready"), juce::var (true));
}

//==============================================================================
namespace
{
    /** Lines of the server's log that name any of these parts. */
    juce::StringArray requestsNaming (juce::int64 logOffset, const juce::StringArray& parts)
    {
        juce::StringArray found;

        for (auto& line : Server::requestsSince (logOffset))
            for (auto& part : parts)
                if (line.contains (part))
                    found.addIfNotAlreadyThere (line);

        return found;
    }
}

// Dead and foreign addresses, from a link the player clicks in the game and
// from a frame that sends the page away with no click: the view sends none of
// them a request, the game stays as it was with no offline page, and each
// reaches the user's browser exactly once. (Except a restricted port such as
// SMTP's, which the engine refuses before anything else, as browsers do.)
TEST (Links, OtherSitesAreNeverRequestedFromTheView)
{
    constexpr int closedPort = 47640;

    struct Row { juce::String link, fromFrame; bool launches = true; };

    const Row rows[] = {
        { Server::address (closedPort, "/dead-link"),                                  Server::address (closedPort, "/dead-frame") },
        { Server::address (Server::httpsPort, "/rpg?from=link", "https"),               Server::address (Server::httpsPort, "/rpg?from=frame", "https") },
        { "http://lw-unknown-host.invalid/link",                                       "http://lw-unknown-host.invalid/frame" },
        { Server::address (Server::foreignPort, "/fixtures/post-everything.html?from=link"),
          Server::address (Server::foreignPort, "/fixtures/post-everything.html?from=frame") },
        { "http://127.0.0.1:25/link",                                                  "http://127.0.0.1:25/frame", false },
    };

    BrowserStub browser;
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.open();
    auto& view = h.editor().getBrowser();
    h.eval ("window.lwMarker = true; true");
    const auto logStart = Server::requestLogSize();

    juce::StringArray launched;
    for (auto& row : rows)
    {
        clickOverlay (h, "<a href='" + row.link + "'>elsewhere</a>");

        if (row.launches)
        {
            launched.add (row.link);
            ASSERT_TRUE (browser.waitForOpened (launched.size())) << row.link;
        }
    }

    // A game address that redirects elsewhere: the hop is stopped before its
    // request, and as the engine does not say where it led, the browser gets
    // the game's address, and follows the redirect itself. Then a form that
    // posts to another site (its body must never leave the view).
    const auto redirected = Server::address (Server::foreignPort, "/fixtures/post-everything.html?from=redirect");
    const auto redirecting = Server::address (Server::gamePort(), "/redirect?to=" + juce::URL::addEscapeChars (redirected, true));
    clickOverlay (h, "<a href='" + redirecting + "'>hop</a>");
    launched.add (redirecting);
    ASSERT_TRUE (browser.waitForOpened (launched.size())) << redirecting;

    const auto posted = Server::address (Server::foreignPort, "/fixtures/post-everything.html?from=post");
    clickOverlay (h, "<form method='post' action='" + posted + "'><input type='hidden' name='secret' value='lw'>"
                     "<button type='submit' style='width:100%;height:100%'>send</button></form>");
    launched.add (posted);
    ASSERT_TRUE (browser.waitForOpened (launched.size())) << posted;

    // Frames from another origin (an advert, say), each sending the page away
    // as soon as it runs, after telling the game. The engine lets a frame the
    // player never touched do that only now and then (right after a click in
    // the page, say); whenever it does, the address goes where a link's goes.
    h.eval ("document.getElementById ('lw-overlay').remove(); window.lwFramesRan = 0;"
            " window.addEventListener ('message', function (e) { if (e.data === 'lw-frame-ran') ++window.lwFramesRan; }); true");

    juce::StringArray fromFrames;
    for (auto& row : rows)
    {
        h.eval ("(function () { var f = document.createElement ('iframe'); f.src = "
                + quoted (Server::address (Server::foreignPort, "/fixtures/top-navigator.html?to=" + juce::URL::addEscapeChars (row.fromFrame, true)))
                + "; document.body.appendChild (f); return true; })()");
        fromFrames.add (row.fromFrame);
        ASSERT_TRUE (h.waitForPage ("window.lwFramesRan === " + juce::String (fromFrames.size()))) << row.fromFrame;
    }

    // Last, the game itself leaves: the page has one navigation at a time, so
    // once this one has reached the browser the frames' are done with.
    const auto last = Server::address (Server::foreignPort, "/fixtures/post-everything.html?from=game");
    h.eval ("location.href = " + quoted (last) + "; true");
    ASSERT_TRUE (waitFor ([&] { return browser.opened().contains (last); }, 60000));

    // The links once each, in order, then the frames' (each at most once),
    // then the game's own.
    const auto opened = browser.opened();
    ASSERT_GE (opened.size(), launched.size() + 1);
    EXPECT_EQ (juce::StringArray (opened.begin(), launched.size()), launched);
    EXPECT_EQ (opened[opened.size() - 1], last);

    juce::StringArray byFrames (opened.begin() + launched.size(), opened.size() - launched.size() - 1), once;
    for (auto& target : byFrames)
    {
        EXPECT_TRUE (fromFrames.contains (target) && ! target.contains (":25/")) << target;
        once.addIfNotAlreadyThere (target);
    }
    EXPECT_EQ (byFrames, once);

    // No request reached the servers behind those addresses (the engine may
    // open a connection ahead, which sends nothing of the player's), and the
    // game's document was never replaced.
    EXPECT_EQ (requestsNaming (logStart, { juce::String (Server::httpsPort) + " GET", "from=" }), juce::StringArray());
    EXPECT_EQ (onMessageThread<int> ([&] { return view.getOfflinePagesShown(); }), 0);
    EXPECT_EQ (h.eval ("window.lwMarker === true && location.href === " + quoted (LUTEWYRM_PAGE_URL) + " && lwDemo.ready"),
               juce::var (true));
}

// Ways back that need no address: a frame moving the history of a fresh
// editor back to where the view started, and a frame the player launched
// sending the page to about:blank. The game comes back each time.
TEST (Links, AFrameCannotLeaveTheViewWithoutTheGame)
{
    EditorHarness h (Wrapper::wrapperType_Standalone);
    h.open();
    auto& view = h.editor().getBrowser();

    h.eval ("window.lwMarker = 1; (function () { var f = document.createElement ('iframe');"
            " f.srcdoc = '<script>history.go (-(history.length - 1));<\\/script>';"
            " document.body.appendChild (f); return true; })()");
    ASSERT_TRUE (h.waitForPage ("window.lwMarker === undefined && window.lwDemo !== undefined && lwDemo.ready === true"
                                " && location.href === " + quoted (LUTEWYRM_PAGE_URL)))
        << "the game did not come back after the history move";

    h.eval ("window.lwMarker = 2; window.lwFrameReady = false; (function () { var f = document.createElement ('iframe');"
            " f.style.cssText = 'position:fixed;left:0;top:0;width:100%;height:100%;z-index:99999;border:0';"
            " f.onload = function () { window.lwFrameReady = true; };"
            " f.src = " + quoted (Server::address (Server::foreignPort, "/fixtures/top-navigator.html?click&to=about:blank")) + ";"
            " document.body.appendChild (f); return true; })()");
    ASSERT_TRUE (h.waitForPage ("window.lwFrameReady === true"));
    const auto centre = onMessageThread<juce::Point<int>> ([&] { return view.getScreenBounds().getCentre(); });
    run ({ "xdotool", "mousemove", juce::String (centre.x), juce::String (centre.y), "click", "1" });
    ASSERT_TRUE (h.waitForPage ("window.lwMarker === undefined && window.lwDemo !== undefined && lwDemo.ready === true"
                                " && location.href === " + quoted (LUTEWYRM_PAGE_URL)))
        << "the game did not come back after about:blank";

    EXPECT_EQ (onMessageThread<int> ([&] { return view.getOfflinePagesShown(); }), 0);
}

//==============================================================================
TEST (Offline, TheGameLoadsByItselfOnceTheServerAnswers)
{
    constexpr int latePort = 47635;
    EditorHarness h (Wrapper::wrapperType_Standalone, GameSite::make (Server::address (latePort, "/rpg")));
    h.openOnly();

    ASSERT_TRUE (h.waitForPage ("document.title.indexOf ('out of reach') >= 0"
                                " && document.getElementById ('address').textContent === " + quoted (Server::address (latePort, "/rpg")),
                                60000));
    EXPECT_EQ (h.eval ("typeof _juceMidiPorts + ' ' + location.protocol"), juce::var ("undefined data:"));

    juce::ChildProcess late;
    ASSERT_TRUE (startFixtureServer (late, { "--http", juce::String (latePort) }, { latePort }));
    EXPECT_TRUE (h.waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true", 120000)) << "the game did not come back";
    late.kill();
}

// The game's own address redirecting to another site as the view loads it:
// nothing is requested there, and the view treats it as the game out of reach.
TEST (Offline, AGameAddressThatLeadsElsewhereIsOutOfReach)
{
    BrowserStub browser;
    const auto elsewhere = Server::address (Server::foreignPort, "/fixtures/post-everything.html?from=game-redirect");
    const auto logStart = Server::requestLogSize();
    EditorHarness h (Wrapper::wrapperType_Standalone,
                     GameSite::make (Server::address (Server::gamePort(), "/redirect?to=" + juce::URL::addEscapeChars (elsewhere, true))));
    h.openOnly();

    ASSERT_TRUE (h.waitForPage ("document.title.indexOf ('out of reach') >= 0", 60000));
    EXPECT_EQ (h.eval ("typeof _juceMidiPorts"), juce::var ("undefined"));
    EXPECT_EQ (requestsNaming (logStart, { "from=game-redirect" }), juce::StringArray());
    EXPECT_EQ (browser.opened(), juce::StringArray());
}

TEST (Offline, ACertificateErrorIsNeverIgnored)
{
    EditorHarness h (Wrapper::wrapperType_Standalone, GameSite::make (Server::address (Server::httpsPort, "/rpg", "https")));
    h.openOnly();

    // The offline page, and after its first retry the offline page again (with
    // a longer wait): the page itself never loads.
    ASSERT_TRUE (h.waitForPage ("document.title.indexOf ('out of reach') >= 0", 60000));
    ASSERT_TRUE (h.waitForPage ("document.getElementById ('offline').getAttribute ('data-retry-seconds') === '4'", 60000));
    EXPECT_EQ (h.eval ("typeof window.lwDemo"), juce::var ("undefined"));
}
