#pragma once

#include "../processor/PluginProcessor.h"
#include "GameWebView.h"
#include "PageBridge.h"
#include "PageEventKey.h"

#include <map>

//==============================================================================
/** The whole user interface: one web view showing the game page.

    The page gets the MIDI port lists, the Web MIDI shim and (in a plug-in) its
    instance id and saved settings from a script injected before its own; its
    events go to the PageBridge. Only the game's own top-level document gets
    that script, and only events carrying this editor's key reach the bridge
    (PageEventKey). In the standalone application the editor also gives the
    wrapper's window a native title bar and hides its "Options" button.
*/
class LUTEWYRMRPGAudioProcessorEditor final : public juce::AudioProcessorEditor,
                                              private juce::MultiTimer,
                                              private juce::ChangeListener
{
public:
    explicit LUTEWYRMRPGAudioProcessorEditor (LUTEWYRMRPGAudioProcessor&, GameSite site = GameSite::builtIn());
    ~LUTEWYRMRPGAudioProcessorEditor() override;

    void resized() override;
    void parentHierarchyChanged() override;

    GameWebView& getBrowser() noexcept                  { return *browser; }
    PageBridge& getBridge() noexcept                    { return bridge; }

    /** Page events that reached the editor, and those of them dropped for
        want of the key (a frame, another page); for tests.
    */
    int getPageEventsReceived() const noexcept          { return pageEventsReceived; }
    int getDroppedPageEvents() const noexcept           { return droppedPageEvents; }

    /** Those dropped of one event name. A document that has just been left
        may still have events of its own on the way (the shim's clock
        questions), dropped as they arrive; counting by name tells them apart.
    */
    int getDroppedPageEvents (const juce::String& eventName) const
    {
        const auto it = droppedPageEventsByName.find (eventName);
        return it != droppedPageEventsByName.end() ? it->second : 0;
    }

    /** Events for the page that were dropped because the view was hidden. */
    int getEventsDroppedWhileHidden() const noexcept    { return eventsDroppedWhileHidden; }

    /** Web views made so far: one, and one more for each host restore that
        changed the page's settings while the editor was open.
    */
    int getBrowsersMade() const noexcept                { return browsersMade; }

    static constexpr int devicePollTimer = 0, devicePollIntervalMs = 2000;
    static constexpr int hostMidiTimer = 1,   hostMidiIntervalMs = 16;

    /** Drains in a row that found nothing before the host-MIDI timer sleeps
        until the track plays again (about a quarter of a second).
    */
    static constexpr int quietDrainsBeforeSleeping = 16;
    static constexpr int sizeRestoreDelayMs = 300, windowAdjustDelayMs = 250;

private:
    void timerCallback (int timerID) override;
    void changeListenerCallback (juce::ChangeBroadcaster*) override;
    void makeBrowser();
    void makeViewAfresh();
    juce::WebBrowserComponent::Options createBrowserOptions();
    void restoreSavedSize();
    void adjustWindow();
    void drainHostMidi();
    void sleepUntilHostMidi();
    void wakeForHostMidi();

    bool windowConfigured = false;
    bool constructionComplete = false;
    int quietDrains = 0, pageEventsReceived = 0, droppedPageEvents = 0, browsersMade = 0, eventsDroppedWhileHidden = 0;
    std::map<juce::String, int> droppedPageEventsByName;
    const bool isPlugin;
    LUTEWYRMRPGAudioProcessor& processor;
    const GameSite site;
    PageEventKey eventKey;

    // Holds the port lists; declared before the browser, so it outlives it.
    PageBridge bridge;
    std::unique_ptr<GameWebView> browser;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LUTEWYRMRPGAudioProcessorEditor)
};
