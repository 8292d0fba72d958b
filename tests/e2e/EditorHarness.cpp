#include "EditorHarness.h"

#include <thread>

//==============================================================================
void PageServerEnvironment::SetUp()
{
    const juce::URL page (LUTEWYRM_PAGE_URL);
    const auto port = page.getPort();
    ASSERT_TRUE (page.getDomain() == "127.0.0.1" && port > 0)
        << "the end-to-end tests need a build that loads the local page, not " << LUTEWYRM_PAGE_URL;

    const auto script = juce::File (LUTEWYRM_SOURCE_DIR).getChildFile ("scripts/serve_page.py");
    ASSERT_TRUE (server.start (juce::StringArray { "python3", script.getFullPathName(), juce::String (port) }, 0));

    // Ready once it answers.
    for (int i = 0; i < 200; ++i)
    {
        juce::StreamingSocket socket;

        if (socket.connect ("127.0.0.1", port, 100))
            return;

        std::this_thread::sleep_for (std::chrono::milliseconds (50));
    }

    FAIL() << "the page server did not start on port " << port;
}

void PageServerEnvironment::TearDown()
{
    server.kill();
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
EditorHarness::EditorHarness (juce::AudioProcessor::WrapperType w) : wrapper (w)
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
    onMessageThread ([this]
    {
        window = std::make_unique<HostWindow> (std::unique_ptr<juce::AudioProcessorEditor> (processor->createEditor()));
    });

    ASSERT_TRUE (waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true", 30000))
        << "the page did not get ready";
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

    onMessageThread ([&]
    {
        editor().getBrowser().evaluateJavascript (script, [outcome] (juce::WebBrowserComponent::EvaluationResult r)
        {
            std::lock_guard<std::mutex> l (outcome->lock);

            if (auto* v = r.getResult())
                outcome->value = *v;

            outcome->finished = true;
            outcome->done.notify_all();
        });
    });

    std::unique_lock<std::mutex> l (outcome->lock);
    outcome->done.wait_for (l, std::chrono::milliseconds (timeoutMs), [&] { return outcome->finished; });
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
    ASSERT_TRUE (waitForPage ("window.lwDemo !== undefined && lwDemo.ready === true", 30000));
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
