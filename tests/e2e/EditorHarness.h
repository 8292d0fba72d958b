#pragma once

#include "editor/PluginEditor.h"
#include "support/MessageThread.h"
#include "support/ProcessorFixture.h"

//==============================================================================
/*  The real processor and editor, in a real web view on the X display, loading
    the locally served stand-in page, with virtual MIDI devices.

    Every call is made from the test thread; the harness hands the work to the
    message thread itself.
*/

/** Serves the stand-in page on the build's page address for the whole test run,
    and the test pages of tests/e2e/pages on that origin and on others:
    foreignPort and allowedPort over http, httpsPort over https with a
    self-signed certificate.
*/
class PageServerEnvironment : public ::testing::Environment
{
public:
    static constexpr int foreignPort = 47632, allowedPort = 47633, httpsPort = 47634;

    void SetUp() override;
    void TearDown() override;

    /** The page's address on the given port ("http" or "https"). */
    static juce::String address (int port, const juce::String& path, const juce::String& scheme = "http");
    static int gamePort();

    /** Every connection and request the server had, a line each: "<port> connect"
        or "<port> <method> <path>". Read from an offset taken before the step
        under test (requestLogSize) to see what that step asked for.
    */
    static juce::StringArray requestsSince (juce::int64 offset);
    static juce::int64 requestLogSize();

private:
    juce::ChildProcess server;
    juce::File certificateFolder;
};

/** Starts the fixture server on these http ports and waits until it answers. */
bool startFixtureServer (juce::ChildProcess& server, const juce::StringArray& arguments, const juce::Array<int>& ports);

/** A host's window for an editor: a plain top-level component, which is what a
    plug-in host gives an editor (not a juce::DocumentWindow).
*/
class HostWindow : public juce::Component
{
public:
    explicit HostWindow (std::unique_ptr<juce::AudioProcessorEditor> editorToShow);
    ~HostWindow() override;

    void childBoundsChanged (juce::Component*) override;

    juce::AudioProcessorEditor& getEditor()    { return *editor; }

private:
    std::unique_ptr<juce::AudioProcessorEditor> editor;
};

class EditorHarness
{
public:
    explicit EditorHarness (juce::AudioProcessor::WrapperType wrapper = juce::AudioProcessor::wrapperType_Standalone,
                            std::optional<GameSite> site = std::nullopt);
    ~EditorHarness();

    /** Opens the editor in a host window and waits until the page is ready. */
    void open();

    /** Opens the editor without waiting for the game page. */
    void openOnly();
    void close();

    /** Evaluates a script in the page and returns its value (void on error or timeout). */
    juce::var eval (const juce::String& script, int timeoutMs = 60000);

    /** Waits until the script evaluates to true in the page. */
    bool waitForPage (const juce::String& condition, int timeoutMs = 60000);

    /** Reloads the page and waits until it is ready again. */
    void reload();

    /** What the game's page would be sent: a host-track note (plays one
        block, drains the queue) and the device lists. A script evaluated
        after this runs after anything it sent.
    */
    void sendTheGamesEvents();

    LUTEWYRMRPGAudioProcessorEditor& editor();

    VirtualMidiDevices devices;
    std::unique_ptr<LUTEWYRMRPGAudioProcessor> processor;

private:
    const juce::AudioProcessor::WrapperType wrapper;
    const std::optional<GameSite> site;
    std::unique_ptr<HostWindow> window;
};

/** Our clock (juce::Time::getMillisecondCounterHiRes()) minus the page's
    performance.now(), known to lie in [lo, hi].
*/
struct PageClock
{
    double lo = -1.0e300, hi = 1.0e300;

    double uncertainty() const              { return (hi - lo) / 2.0; }
    double toNative (double pageMs) const   { return pageMs + (lo + hi) / 2.0; }
};

/** Measures the page's clock apart from the shim: each evaluation of
    performance.now() happened between our two readings around it, which
    bounds the offset from both sides (the page's clock may be floored to
    whole milliseconds). The tightest bounds of all the trips are kept.
*/
PageClock measurePageClock (EditorHarness& harness, int trips = 60);

/** Waits until the shim's first rounds of clock questions are over, so that
    what it stamps from then on uses the one mapping it has settled on (before
    that, a stamp may be the arrival time, or come from looser bounds).
    Returns false on a time-out.
*/
bool waitForPageClockSettled (EditorHarness& harness, int timeoutMs = 60000);

/** The page hook's list of received messages for one input, as byte vectors. */
std::vector<Bytes> receivedOn (EditorHarness& harness, const juce::String& inputName);

/** The main() of a program that drives editors (the benchmarks): serves the
    pages, runs `body` on a thread of its own while this thread runs the
    message loop, and also starts the web engine's child when asked to.
*/
int runWithEditors (int argc, char** argv, std::function<void()> body);
