#include "PluginEditor.h"

#include "BootstrapScript.h"
#include "NavigationRules.h"
#include "WindowPolicy.h"

#include <PageData.h>

//==============================================================================
LUTEWYRMRPGAudioProcessorEditor::LUTEWYRMRPGAudioProcessorEditor (LUTEWYRMRPGAudioProcessor& p, GameSite gameSite)
    : AudioProcessorEditor (p),
      isPlugin (p.wrapperType != juce::AudioProcessor::wrapperType_Standalone),
      processor (p),
      site (std::move (gameSite)),
      bridge (p, isPlugin, [this] (const PageBridge::PageEvents& events)
              {
                  // MIDI and device names are for the game only, not for a
                  // page of another origin that the view may be showing.
                  if (browser == nullptr || ! browser->canReachGame())
                      return false;

                  // The framework drops what a hidden view is sent.
                  if (! browser->isVisible())
                  {
                      eventsDroppedWhileHidden += (int) events.size();
                      return false;
                  }

                  // One evaluation for the whole list (patch 0026).
                  browser->emitEventsIfBrowserIsVisible (events);
                  return true;
              })
{
    makeBrowser();

    const auto size = WindowPolicy::initialEditorSize (isPlugin, processor.getEditorWidth(),
                                                       processor.getEditorHeight(),
                                                       WindowPolicy::primaryUserArea());
    setSize (size.getWidth(), size.getHeight());
    setResizable (true, true);
    browser->goToGame();
    processor.getRestoreBroadcaster().addChangeListener (this);

    startTimer (devicePollTimer, devicePollIntervalMs);

    if (isPlugin)
        startTimer (hostMidiTimer, hostMidiIntervalMs);

    constructionComplete = true;

    if (isPlugin)
        juce::Timer::callAfterDelay (sizeRestoreDelayMs, [safeThis = SafePointer (this)]
        {
            if (safeThis != nullptr)
                safeThis->restoreSavedSize();
        });
}

LUTEWYRMRPGAudioProcessorEditor::~LUTEWYRMRPGAudioProcessorEditor()
{
    processor.getRestoreBroadcaster().removeChangeListener (this);
    processor.whenHostMidiArrives (nullptr);

    // No device may call back into a half-destroyed editor, and no page event
    // may reach the bridge once the port lists start going away.
    bridge.stopInputs();
    browser.reset();
}

//==============================================================================
void LUTEWYRMRPGAudioProcessorEditor::makeBrowser()
{
    browser = std::make_unique<GameWebView> (createBrowserOptions(), site);
    browser->onGamePageLoading = [this] { eventKey.gameDocumentComing(); bridge.gamePageLoading(); };
    browser->onGamePageLoaded  = [this] { bridge.gamePageLoaded(); };
    browser->onOtherPageShown  = [this] { eventKey.documentGone(); };
    browser->onShownAgain      = [this] { bridge.viewShownAgain(); };
    addAndMakeVisible (*browser);
    ++browsersMade;
}

void LUTEWYRMRPGAudioProcessorEditor::changeListenerCallback (juce::ChangeBroadcaster*)
{
    // The host restored other settings (a preset, undo, A/B) while the page
    // is open. Its script carries the settings a document starts from, so the
    // view is made afresh with the restored ones; the old document's reports
    // have been ignored since the restore.
    if (processor.getNumRestores() != bridge.getDocumentRestores())
        makeViewAfresh();
}

void LUTEWYRMRPGAudioProcessorEditor::makeViewAfresh()
{
    eventKey.documentGone();
    browser.reset();
    makeBrowser();
    resized();
    browser->goToGame();
}

juce::WebBrowserComponent::Options LUTEWYRMRPGAudioProcessorEditor::createBrowserOptions()
{
    const juce::String shim (PageData::webmidishim_js, (size_t) PageData::webmidishim_jsSize);

    // Read before the settings: a restore in between only makes this script
    // stale at once, and the view is made again.
    const auto restores = processor.getNumRestores();

    const auto instance = isPlugin ? std::make_optional (BootstrapScript::Instance { processor.getInstanceId(),
                                                                                     processor.getWebState() })
                                   : std::nullopt;
    const auto pageEventCheck = site.checkPageEvents
                                  ? std::make_optional (BootstrapScript::PageEventCheck { site.getOrigin(), eventKey.getText() })
                                  : std::nullopt;
    const auto script = BootstrapScript::compose (bridge.getPorts().getOutputNames(),
                                                  bridge.getPorts().getInputNames(),
                                                  shim, instance, pageEventCheck);
    bridge.bootstrapMade (restores);

    // Only events that carry the key come from the game's own document; the
    // rest (a frame, another page) are dropped before any handler runs.
    const auto dropped = [this] (const juce::String& name)
    {
        ++droppedPageEvents;
        ++droppedPageEventsByName[name];
    };

    const auto sealed = [this, dropped] (const juce::String& name, std::function<void (const juce::var&)> handler)
    {
        return [this, dropped, name, handler = std::move (handler)] (const juce::var& event)
        {
            ++pageEventsReceived;

            if (! site.checkPageEvents)
                handler (event);
            else if (const auto payload = eventKey.unwrap (event))
                handler (*payload);
            else
                dropped (name);
        };
    };

    // WebView2 on Windows; elsewhere the platform's own engine (WebKitGTK on Linux).
    // The data folder is shared by every instance of the user, standalone or
    // plug-in, so the page's cookies and web storage survive restarts.
   #if JUCE_WINDOWS
    const auto backend = juce::WebBrowserComponent::Options::Backend::webview2;
    const auto dataHome = juce::File::getSpecialLocation (juce::File::windowsLocalAppData);
   #else
    const auto backend = juce::WebBrowserComponent::Options::Backend::defaultBackend;
    const auto xdgDataHome = juce::SystemStats::getEnvironmentVariable ("XDG_DATA_HOME", {});
    const auto dataHome = juce::File::isAbsolutePath (xdgDataHome) ? juce::File (xdgDataHome)
                                                                    : juce::File ("~/.local/share");
   #endif

    auto options = juce::WebBrowserComponent::Options()
        .withBackend (backend)
        .withWinWebView2Options (juce::WebBrowserComponent::Options::WinWebView2()
                                     .withUserDataFolder (dataHome.getChildFile ("LUTE WYRM RPG")))
        .withContentRuleList (NavigationRules::forSite (site))        // patch 0023 (WebKitGTK only)
        .withNativeIntegrationEnabled()
        .withUserScript (script)
        .withEventListener (PageEventKey::registrationEventName, [this, dropped] (const juce::var& event)
                            {
                                ++pageEventsReceived;

                                if (site.checkPageEvents && ! eventKey.registerDocument (event))
                                    dropped (PageEventKey::registrationEventName);
                            });

    // Every event the bridge takes, each sealed with the document's key.
    for (const auto& event : PageBridge::incomingEvents())
    {
        const auto handle = event.handle;
        options = options.withEventListener (event.name, sealed (event.name, [this, handle] (const juce::var& v) { handle (bridge, v); }));
    }

    return options;
}

//==============================================================================
void LUTEWYRMRPGAudioProcessorEditor::resized()
{
    browser->setBounds (getLocalBounds());

    // Only sizes the host or the user chose are remembered, and only in a plug-in.
    if (constructionComplete && isPlugin)
        processor.setEditorSize (getWidth(), getHeight());
}

void LUTEWYRMRPGAudioProcessorEditor::restoreSavedSize()
{
    const auto width = processor.getEditorWidth(), height = processor.getEditorHeight();

    if (width <= 0 || height <= 0)
        return;

    // The saved size may have been limited to the display at construction, or
    // the host may have restored another one since: apply it exactly.
    if (getWidth() != width || getHeight() != height)
        setSize (width, height);
}

//==============================================================================
void LUTEWYRMRPGAudioProcessorEditor::parentHierarchyChanged()
{
    if (windowConfigured)
        return;

    auto* window = WindowPolicy::findEnclosingWindow (*this);

    if (window == nullptr)
        return;

    windowConfigured = true;
    window->setUsingNativeTitleBar (true);
    window->setTitleBarButtonsRequired (juce::DocumentWindow::allButtons, false);
    WindowPolicy::hideOptionsButtons (window);

    juce::Timer::callAfterDelay (windowAdjustDelayMs, [safeThis = SafePointer (this)]
    {
        if (safeThis != nullptr)
            safeThis->adjustWindow();
    });
}

void LUTEWYRMRPGAudioProcessorEditor::adjustWindow()
{
    auto* window = WindowPolicy::findEnclosingWindow (*this);

    if (window == nullptr)
        return;

    // The wrapper may have rebuilt its title bar since, so look again.
    WindowPolicy::hideOptionsButtons (window);

    if (window->isFullScreen())
        return;

    const auto userArea = WindowPolicy::primaryUserArea();
    const auto target = WindowPolicy::windowTargetSize (userArea);
    const auto minimum = WindowPolicy::windowMinimumSize (target);

    window->setResizeLimits (minimum.getWidth(), minimum.getHeight(), 100000, 100000);

    if (WindowPolicy::shouldCentreWindow (window->getWidth(), window->getHeight()))
        window->centreWithSize (target.getWidth(), target.getHeight());
}

//==============================================================================
void LUTEWYRMRPGAudioProcessorEditor::timerCallback (int timerID)
{
    if (timerID == hostMidiTimer)
        drainHostMidi();
    else
        bridge.pollMidiDevices();
}

//==============================================================================
// While the track plays, its messages are drained every 16 ms. An idle editor
// should cost nothing, so after a quiet spell the timer stops and the
// processor wakes the editor when the next messages arrive.
void LUTEWYRMRPGAudioProcessorEditor::drainHostMidi()
{
    if (bridge.drainHostMidi() > 0)
        quietDrains = 0;
    else if (++quietDrains >= quietDrainsBeforeSleeping)
        sleepUntilHostMidi();
}

void LUTEWYRMRPGAudioProcessorEditor::sleepUntilHostMidi()
{
    stopTimer (hostMidiTimer);
    processor.whenHostMidiArrives ([safeThis = SafePointer (this)]
    {
        if (safeThis != nullptr)
            safeThis->wakeForHostMidi();
    });

    // Messages queued just before the call above wake nobody.
    if (processor.hasHostMidi())
        wakeForHostMidi();
}

void LUTEWYRMRPGAudioProcessorEditor::wakeForHostMidi()
{
    processor.whenHostMidiArrives (nullptr);
    quietDrains = 0;
    bridge.drainHostMidi();
    startTimer (hostMidiTimer, hostMidiIntervalMs);
}
