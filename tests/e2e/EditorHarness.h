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

/** Serves the stand-in page on the build's page address for the whole test run. */
class PageServerEnvironment : public ::testing::Environment
{
public:
    void SetUp() override;
    void TearDown() override;

private:
    juce::ChildProcess server;
};

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
    explicit EditorHarness (juce::AudioProcessor::WrapperType wrapper = juce::AudioProcessor::wrapperType_Standalone);
    ~EditorHarness();

    /** Opens the editor in a host window and waits until the page is ready. */
    void open();
    void close();

    /** Evaluates a script in the page and returns its value (void on error or timeout). */
    juce::var eval (const juce::String& script, int timeoutMs = 10000);

    /** Waits until the script evaluates to true in the page. */
    bool waitForPage (const juce::String& condition, int timeoutMs = 10000);

    /** Reloads the page and waits until it is ready again. */
    void reload();

    LUTEWYRMRPGAudioProcessorEditor& editor();

    VirtualMidiDevices devices;
    std::unique_ptr<LUTEWYRMRPGAudioProcessor> processor;

private:
    const juce::AudioProcessor::WrapperType wrapper;
    std::unique_ptr<HostWindow> window;
};

/** The page hook's list of received messages for one input, as byte vectors. */
std::vector<Bytes> receivedOn (EditorHarness& harness, const juce::String& inputName);
