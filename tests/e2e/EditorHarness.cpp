#include "EditorHarness.h"

extern "C" int juce_gtkWebkitMain (int argc, const char* const* argv);

#include <thread>

//==============================================================================
bool startFixtureServer (juce::ChildProcess& server, const juce::StringArray& arguments, const juce::Array<int>& ports)
{
    // Ready when our server says it has bound every port: a port that
    // answers may be someone else's server, whose pages the tests must never use.
    const auto readyFile = juce::File::createTempFile ("fixture-ready");
    const auto script = juce::File (LUTEWYRM_SOURCE_DIR).getChildFile ("tests/e2e/fixture_server.py");
    juce::StringArray command { "python3", script.getFullPathName(), "--ready-file", readyFile.getFullPathName() };
    command.addArray (arguments);

    if (! server.start (command, 0))
        return false;

    const auto deadline = juce::Time::getMillisecondCounter() + 60000;

    while (! readyFile.existsAsFile())
    {
        if (! server.isRunning() || juce::Time::getMillisecondCounter() > deadline)
        {
            juce::StringArray list;
            for (auto port : ports)
                list.add (juce::String (port));

            ADD_FAILURE() << "the fixture server did not bind its ports " << list.joinIntoString (", ")
                          << " (taken by another program?)";
            return false;
        }

        std::this_thread::sleep_for (std::chrono::milliseconds (50));
    }

    readyFile.deleteFile();
    return true;
}

int PageServerEnvironment::gamePort()
{
    return juce::URL (LUTEWYRM_PAGE_URL).getPort();
}

juce::String PageServerEnvironment::address (int port, const juce::String& path, const juce::String& scheme)
{
    return scheme + "://127.0.0.1:" + juce::String (port) + path;
}

void PageServerEnvironment::SetUp()
{
    const juce::URL page (LUTEWYRM_PAGE_URL);
    ASSERT_TRUE (page.getDomain() == "127.0.0.1" && gamePort() > 0)
        << "the end-to-end tests need a build that loads the local page, not " << LUTEWYRM_PAGE_URL;

    // A test that runs this program again (see WebViewRobustness) serves its pages itself.
    if (juce::SystemStats::getEnvironmentVariable ("LUTEWYRM_PAGES_SERVED_BY_PARENT", {}) == "1")
        return;

    // A self-signed certificate, which the web view must refuse.
    certificateFolder = juce::File::createTempFile ("certificate");
    ASSERT_TRUE (certificateFolder.createDirectory());
    const auto cert = certificateFolder.getChildFile ("cert.pem"), key = certificateFolder.getChildFile ("key.pem");
    juce::ChildProcess openssl;
    ASSERT_TRUE (openssl.start (juce::StringArray { "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                                                    "-subj", "/CN=127.0.0.1", "-keyout", key.getFullPathName(),
                                                    "-out", cert.getFullPathName() }));
    openssl.waitForProcessToFinish (60000);
    ASSERT_TRUE (cert.existsAsFile()) << openssl.readAllProcessOutput();

    // Children of this program (which use this server) find the log by name.
    const auto log = juce::File::createTempFile ("fixture-requests");
    setenv ("LUTEWYRM_FIXTURE_LOG", log.getFullPathName().toRawUTF8(), 1);

    ASSERT_TRUE (startFixtureServer (server, { "--log", log.getFullPathName(),
                                               "--http", juce::String (gamePort()),
                                               "--http", juce::String (foreignPort),
                                               "--http", juce::String (allowedPort),
                                               "--https", juce::String (httpsPort),
                                               "--cert", cert.getFullPathName(), "--key", key.getFullPathName() },
                                     { gamePort(), foreignPort, allowedPort, httpsPort }))
        << "the page server did not start";
}

void PageServerEnvironment::TearDown()
{
    if (server.isRunning())
        server.kill();
    certificateFolder.deleteRecursively();

    if (juce::SystemStats::getEnvironmentVariable ("LUTEWYRM_PAGES_SERVED_BY_PARENT", {}) != "1")
        juce::File (juce::SystemStats::getEnvironmentVariable ("LUTEWYRM_FIXTURE_LOG", {})).deleteFile();
}

static juce::File requestLog()
{
    return juce::File (juce::SystemStats::getEnvironmentVariable ("LUTEWYRM_FIXTURE_LOG", {}));
}

juce::int64 PageServerEnvironment::requestLogSize()
{
    return requestLog().getSize();
}

juce::StringArray PageServerEnvironment::requestsSince (juce::int64 offset)
{
    juce::MemoryBlock block;
    requestLog().loadFileAsData (block);
    const auto from = (size_t) juce::jlimit ((juce::int64) 0, (juce::int64) block.getSize(), offset);
    auto lines = juce::StringArray::fromLines (juce::String::fromUTF8 (static_cast<const char*> (block.getData()) + from,
                                                                       (int) (block.getSize() - from)));
    lines.removeEmptyStrings();
    return lines;
}

//==============================================================================
HostWindow::HostWindow (std::unique_ptr<juce::AudioProcessorEditor> e) : editor (std::move (e))
{
    addAndMakeVisible (*editor);
    setSize (editor->getWidth(), editor->getHeight());
    setTopLeftPosition (20, 20);
    addToDesktop (juce::ComponentPeer::windowHasTitleBar | juce::ComponentPeer::windowIsResizable);
    setVisible (true);
}

HostWindow::~HostWindow()
{
    editor = nullptr;
}

void HostWindow::childBoundsChanged (juce::Component* child)
{
    // Like a host, follow the editor's own size changes.
    if (child == editor.get())
        setSize (editor->getWidth(), editor->getHeight());
}

//==============================================================================
EditorHarness::EditorHarness (juce::AudioProcessor::WrapperType w, std::optional<GameSite> s) : wrapper (w), site (std::move (s))
{
    processor = makeProcessor (devices, wrapper);
    processor->setRateAndBufferSizeDetails (48000.0, 512);
    processor->prepareToPlay (48000.0, 512);
}

EditorHarness::~EditorHarness()
{
    close();
}

void EditorHarness::open()
{
    openOnly();
    ASSERT_TRUE (waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true", 60000))
        << "the page did not get ready";
}

void EditorHarness::openOnly()
{
    onMessageThread ([this]
    {
        std::unique_ptr<juce::AudioProcessorEditor> editor (site.has_value()
                                                                ? new LUTEWYRMRPGAudioProcessorEditor (*processor, *site)
                                                                : processor->createEditor());
        window = std::make_unique<HostWindow> (std::move (editor));
    });
}

void EditorHarness::close()
{
    onMessageThread ([this] { window = nullptr; });
}

LUTEWYRMRPGAudioProcessorEditor& EditorHarness::editor()
{
    return static_cast<LUTEWYRMRPGAudioProcessorEditor&> (window->getEditor());
}

juce::var EditorHarness::eval (const juce::String& script, int timeoutMs)
{
    struct Outcome
    {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        juce::var value;
    };

    auto outcome = std::make_shared<Outcome>();
    int viewsMade = 0;

    onMessageThread ([&]
    {
        viewsMade = editor().getBrowsersMade();
        editor().getBrowser().evaluateJavascript (script, [outcome] (juce::WebBrowserComponent::EvaluationResult r)
        {
            std::lock_guard<std::mutex> l (outcome->lock);

            if (auto* v = r.getResult())
                outcome->value = *v;

            outcome->finished = true;
            outcome->done.notify_all();
        });
    });

    // A view the editor replaces (a restore, a reload from older settings)
    // never answers what it was asked: give up on it once it has gone.
    const auto viewReplaced = [&]
    {
        return onMessageThread<int> ([&] { return editor().getBrowsersMade(); }) != viewsMade;
    };

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);
    std::unique_lock<std::mutex> l (outcome->lock);

    while (! outcome->finished && std::chrono::steady_clock::now() < deadline)
    {
        if (outcome->done.wait_for (l, std::chrono::milliseconds (100), [&] { return outcome->finished; }))
            break;

        l.unlock();
        const auto gone = viewReplaced();
        l.lock();

        if (gone)
            break;
    }

    return outcome->value;
}

bool EditorHarness::waitForPage (const juce::String& condition, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (juce::Time::getMillisecondCounter() < deadline)
    {
        if ((bool) eval ("(function () { try { return !!(" + condition + "); } catch (e) { return false; } })()"))
            return true;

        std::this_thread::sleep_for (std::chrono::milliseconds (20));
    }

    return false;
}

void EditorHarness::reload()
{
    eval ("window.lwDemo.ready = false; location.reload(); true");
    ASSERT_TRUE (waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true"));
}

void EditorHarness::sendTheGamesEvents()
{
    juce::AudioBuffer<float> audio (2, 512);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
    processor->processBlock (audio, midi);
    onMessageThread ([&] { editor().getBridge().drainHostMidi(); editor().getBridge().emitPortsChanged(); });
}

PageClock measurePageClock (EditorHarness& harness, int trips)
{
    PageClock clock;

    for (int i = 0; i < trips; ++i)
    {
        const auto before = juce::Time::getMillisecondCounterHiRes();
        const auto page = (double) harness.eval ("performance.now()");
        const auto after = juce::Time::getMillisecondCounterHiRes();
        clock.lo = std::max (clock.lo, before - page - 1.0);
        clock.hi = std::min (clock.hi, after - page);
    }

    return clock;
}

bool waitForPageClockSettled (EditorHarness& harness, int timeoutMs)
{
    // The shim's last first round is due 1 s into the document: a timer of
    // ours set after that fires after the shim's, so once it has, that round
    // has begun.
    if (! harness.waitForPage ("performance.now() > 1000", timeoutMs))
        return false;

    harness.eval ("window.lwTestTimerFired = false; setTimeout (function () { window.lwTestTimerFired = true; }, 0); true");

    if (! harness.waitForPage ("window.lwTestTimerFired === true", timeoutMs))
        return false;

    // A round under way asks again as each answer comes in, and its
    // questions and answers travel in order with our evaluations: while it
    // lasts, every evaluation sees at least one more question answered.
    const auto answered = [&] { return onMessageThread<int> ([&] { return harness.editor().getBridge().getClockPingsAnswered(); }); };

    const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

    while (juce::Time::getMillisecondCounterHiRes() < deadline)
    {
        const auto before = answered();

        if (harness.eval ("true") == juce::var (true) && answered() == before)
            return true;
    }

    return false;
}

std::vector<Bytes> receivedOn (EditorHarness& harness, const juce::String& inputName)
{
    const auto list = harness.eval ("lwDemo.received.filter (function (m) { return m.input === "
                                    + juce::JSON::toString (inputName) + "; }).map (function (m) { return m.data; })");
    std::vector<Bytes> out;

    if (auto* messages = list.getArray())
        for (auto& m : *messages)
        {
            Bytes bytes;
            if (auto* data = m.getArray())
                for (auto& b : *data)
                    bytes.push_back ((juce::uint8) (int) b);
            out.push_back (bytes);
        }

    return out;
}

//==============================================================================
int runWithEditors (int argc, char** argv, std::function<void()> body)
{
    // The web view runs WebKit in a child started from this executable.
    if (argc > 1 && juce::String (argv[1]) == "--juce-gtkwebkitfork-child")
        return juce_gtkWebkitMain (argc, argv);

    juce::JUCEApplicationBase::createInstance = [] () -> juce::JUCEApplicationBase* { return nullptr; };
    juce::ScopedJuceInitialiser_GUI juce;
    PageServerEnvironment server;
    server.SetUp();

    std::thread worker ([&]
    {
        body();
        juce::MessageManager::getInstance()->stopDispatchLoop();
    });

    juce::MessageManager::getInstance()->runDispatchLoop();
    worker.join();
    server.TearDown();
    return 0;
}
