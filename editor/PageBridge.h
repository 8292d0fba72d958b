#pragma once

#include "../midi/TimedSender.h"
#include "MidiPortRegistry.h"
#include "PagePortLists.h"

#include <mutex>

class LUTEWYRMRPGAudioProcessor;

//==============================================================================
/** The native end of the page's MIDI and file events.

    The page sends "midiSend", "midiClear", "midiOpenInput", "fileDownload",
    "lwStateChanged" and "lwClockPing"; this class handles them and sends
    "midiReceive", "midiPortsChanged" and "lwClockPong" back through an event
    sink (the web view, in the editor). It owns the port registry, and is the
    callback of every input it opens.

    Times cross the bridge in milliseconds of the native clock
    (juce::Time::getMillisecondCounterHiRes()): the time a message was played
    on "midiReceive", the time a send is due on "midiSend". The page maps them
    onto its own clock with "lwClockPing"/"lwClockPong" round trips.

    Every page of the game starts from the port lists of the bootstrap script,
    which are those at construction; a reload after a device change would
    otherwise number ports differently from the native lists. So the bridge
    keeps the lists the page works with: port numbers from the page and to the
    page are translated through them, and once the page has loaded it is sent
    the current lists if they differ.

    Everything runs on the message thread, except handleIncomingMidiMessage,
    which input devices call on their own threads.
*/
class PageBridge final : public MidiInputDeviceCallback
{
public:
    /** Events for the page, in the order it must receive them. */
    using PageEvents = std::vector<std::pair<juce::Identifier, juce::var>>;

    /** Hands events to the page, in order, each as an event of its own (the
        web view emits them in one go); returns false when the view could not
        take them (hidden, or showing another page), so none arrived.
    */
    using EventSink = std::function<bool (const PageEvents& events)>;

    PageBridge (LUTEWYRMRPGAudioProcessor& processor, bool isPlugin, EventSink sink);
    ~PageBridge() override;

    //==============================================================================
    // Page events.
    /** Sends at once, or when its "time" falls due (see TimedSender). */
    void handleMidiSend (const juce::var& payload);

    /** Drops the output's sends that are not due yet. */
    void handleMidiClear (const juce::var& payload);

    /** Answers with the native clock's time now, for the page's clock mapping. */
    void handleClockPing (const juce::var& payload);

    void handleOpenMidiInput (const juce::var& payload);
    void handleStateChanged (const juce::var& payload);

    /** Asks the user where to save the page's text, under a safe version of the
        suggested name, starting in the desktop folder; needs nothing of the bridge.
    */
    static void handleFileDownload (const juce::var& payload);

    /** One event the page sends, and the handler above that takes it. */
    struct IncomingEvent
    {
        const char* name;
        void (*handle) (PageBridge& bridge, const juce::var& payload);
    };

    /** Every event the page sends to the bridge, in one table: the editor
        listens for exactly these, each sealed with the document's key, and the
        bootstrap seals exactly these names. A name missing from one list would
        drop every event of that name without a word.
    */
    static const std::vector<IncomingEvent>& incomingEvents();

    //==============================================================================
    /** Rebuilds the port lists if the system's devices changed, and tells the page. */
    void pollMidiDevices();

    /** Sends the host track's queued messages to the page, one event each
        (handed to the sink together); returns how many there were.
    */
    int drainHostMidi();

    /** Sends the current lists, unless a page is loading: it is sent them
        once it has loaded. Lists the view could not take are not the page's:
        its port numbers keep meaning the lists it has.
    */
    void emitPortsChanged();

    /** The view is shown again after it was hidden: a page that missed a
        change of the lists is sent the current ones.
    */
    void viewShownAgain();

    /** A new document of the game is about to replace the page: it will start
        from the bootstrap script's lists.
    */
    void gamePageLoading();

    /** The game's page has loaded: if the lists changed since the bootstrap
        script was made, it is sent the current ones now, before any delivery.
    */
    void gamePageLoaded();

    /** A new bootstrap script was made for the page (the view is made
        afresh): documents start from its lists, and from the restore count
        it was made at; reports from documents of before that are ignored.
    */
    void bootstrapMade (juce::uint32 restoresSoFar);
    juce::uint32 getDocumentRestores() const noexcept  { return documentRestores; }

    size_t getNumPendingSends() const                  { return timedSends.getNumPending(); }

    /** The page's clock questions answered so far (for tests, which wait for
        the page's clock mapping to settle before they time anything).
    */
    int getClockPingsAnswered() const noexcept         { return clockPingsAnswered; }

    /** Stops every open input, before the sink's target goes away. */
    void stopInputs()                                  { ports.stopInputs(); }

    const MidiPortRegistry& getPorts() const noexcept  { return ports; }

private:
    void handleIncomingMidiMessage (MidiInputDevice* source, const juce::MidiMessage& message) override;
    bool emit (const juce::Identifier& eventId, const juce::var& payload);
    void addReceive (PageEvents& events, const juce::String& inputIdentifier, const juce::var& data, double timeMs) const;
    void deliverArrivals();
    void handToPage (const PageEvents& events);
    PagePortLists currentLists() const;

    // Events handed to the sink at most at once.
    static constexpr size_t maxEventsPerHandOver = 256;

    LUTEWYRMRPGAudioProcessor& processor;
    EventSink sink;

    // The bootstrap script's lists, and those the current page works with.
    PagePortLists declaredLists, pageLists;
    bool pageLoading = false;
    int clockPingsAnswered = 0;
    juce::uint32 documentRestores = 0;

    // Messages from devices, in arrival order, waiting for the message thread;
    // one delivery task is posted for however many arrive before it runs.
    struct Arrival
    {
        juce::String inputIdentifier;
        std::vector<juce::uint8> bytes;
        double timeMs;
    };

    std::mutex arrivalsLock;
    std::vector<Arrival> arrivals;          // guarded by arrivalsLock
    bool deliveryPosted = false;            // guarded by arrivalsLock

    // Made on the message thread, copied by device threads into posted tasks.
    JUCE_DECLARE_WEAK_REFERENCEABLE (PageBridge)
    const juce::WeakReference<PageBridge> weakThis { this };

    // Sends the page timed ahead; emptied when the page or the lists change.
    TimedSender timedSends;

    // Last, so it goes first: its open inputs are closed, and a delivery that
    // was already under way has finished, while everything a device callback
    // touches (the weak reference above, the processor, the sink) still exists.
    MidiPortRegistry ports;

    JUCE_DECLARE_NON_COPYABLE (PageBridge)
};
