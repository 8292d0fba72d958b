#include "PageBridge.h"

#include "../processor/PluginProcessor.h"
#include "../processor/VarConversions.h"
#include "SaveFileName.h"

namespace
{
    const juce::Identifier midiReceiveEvent { "midiReceive" },
                           midiPortsChangedEvent { "midiPortsChanged" },
                           clockPongEvent { "lwClockPong" };

    // A device's time stamp further than this from the moment it reaches us
    // is not believed: the message is taken as played now.
    constexpr double stampTrustMs = 10000.0;

    double playedAt (const juce::MidiMessage& message)
    {
        // Inputs stamp messages in seconds of the millisecond counter (on
        // Linux to the microsecond: patch 0027).
        const auto now = TimedSender::nowMs();
        const auto stamp = message.getTimeStamp() * 1000.0;
        return std::isfinite (stamp) && std::abs (stamp - now) <= stampTrustMs ? stamp : now;
    }

    juce::var makeObject (std::initializer_list<std::pair<const char*, juce::var>> properties)
    {
        auto object = std::make_unique<juce::DynamicObject>();

        for (auto& [name, value] : properties)
            object->setProperty (name, value);

        return object.release();
    }

    juce::var bytesToVar (const juce::uint8* data, size_t size)
    {
        juce::Array<juce::var> bytes;
        bytes.ensureStorageAllocated ((int) size);

        for (size_t i = 0; i < size; ++i)
            bytes.add ((int) data[i]);

        return bytes;
    }

    juce::var portEntries (const juce::StringArray& names)
    {
        juce::Array<juce::var> entries;

        for (int i = 0; i < names.size(); ++i)
            entries.add (makeObject ({ { "id", i }, { "name", names[i] } }));

        return entries;
    }
}

//==============================================================================
PageBridge::PageBridge (LUTEWYRMRPGAudioProcessor& p, bool isPlugin, EventSink s)
    : processor (p), sink (std::move (s)), ports (p.getMidiDevices(), isPlugin)
{
    declaredLists = pageLists = currentLists();
}

PageBridge::~PageBridge()
{
    // Nothing the page scheduled goes out once its editor has gone.
    timedSends.clearAll();
}

bool PageBridge::emit (const juce::Identifier& eventId, const juce::var& payload)
{
    return sink != nullptr && sink ({ { eventId, payload } });
}

//==============================================================================
void PageBridge::handleMidiSend (const juce::var& payload)
{
    const auto port = PagePortLists::translate (pageLists.outputs, ports.getOutputIdentifiers(),
                                                varToInt (payload.getProperty ("port", {})));
    const auto* data = payload.getProperty ("data", {}).getArray();

    if (data == nullptr || port < 0)
        return;

    const auto& output = ports.getOrOpenOutput (port);

    if (output == nullptr || data->isEmpty())
        return;

    // The page's bytes go out as one message, unexamined: any length, any status.
    juce::HeapBlock<juce::uint8> bytes ((size_t) data->size());

    for (int i = 0; i < data->size(); ++i)
        bytes[i] = (juce::uint8) (varToInt (data->getReference (i)) & 0xff);

    const juce::MidiMessage message (bytes.get(), data->size(), 0.0);

    // A time that is missing, not a number, past or within a millisecond
    // means now, as in a browser.
    const auto due = payload.getProperty ("time", {});

    if (due.isInt() || due.isInt64() || due.isDouble())
    {
        const auto dueMs = (double) due;

        if (std::isfinite (dueMs) && dueMs > TimedSender::nowMs() + 1.0)
        {
            timedSends.schedule (output, message, dueMs);
            return;
        }
    }

    output->sendMessageNow (message);
}

void PageBridge::handleMidiClear (const juce::var& payload)
{
    const auto port = PagePortLists::translate (pageLists.outputs, ports.getOutputIdentifiers(),
                                                varToInt (payload.getProperty ("port", {})));

    if (port >= 0)
        if (const auto& device = ports.getOutput (port).device)
            timedSends.clear (device.get());
}

void PageBridge::handleClockPing (const juce::var& payload)
{
    ++clockPingsAnswered;
    emit (clockPongEvent, makeObject ({ { "id", varToInt (payload.getProperty ("id", {})) },
                                        { "time", TimedSender::nowMs() } }));
}

void PageBridge::handleOpenMidiInput (const juce::var& payload)
{
    const auto port = PagePortLists::translate (pageLists.inputs, ports.getInputIdentifiers(),
                                                varToInt (payload.getProperty ("port", {})));

    if (port < 0)
        return;

    ports.openInput (port, *this);
}

const std::vector<PageBridge::IncomingEvent>& PageBridge::incomingEvents()
{
    static const std::vector<IncomingEvent> events
    {
        { "midiSend",       [] (PageBridge& b, const juce::var& v) { b.handleMidiSend (v); } },
        { "midiClear",      [] (PageBridge& b, const juce::var& v) { b.handleMidiClear (v); } },
        { "midiOpenInput",  [] (PageBridge& b, const juce::var& v) { b.handleOpenMidiInput (v); } },
        { "fileDownload",   [] (PageBridge&, const juce::var& v)   { handleFileDownload (v); } },
        { "lwStateChanged", [] (PageBridge& b, const juce::var& v) { b.handleStateChanged (v); } },
        { "lwClockPing",    [] (PageBridge& b, const juce::var& v) { b.handleClockPing (v); } },
    };

    return events;
}

void PageBridge::handleStateChanged (const juce::var& payload)
{
    processor.reportWebState (varToText (payload.getProperty ("state", {})), documentRestores);
}

void PageBridge::handleFileDownload (const juce::var& payload)
{
    const auto suggested = varToText (payload.getProperty ("filename", {}));
    const auto content = varToText (payload.getProperty ("content", {}));

    if (suggested.isEmpty())
        return;

    // The page only suggests a name: it never picks the folder, and the user
    // is asked before an existing file is replaced.
    const auto filename = safeSaveFileName (suggested);
    const auto initialFile = saveDialogFolder().getChildFile (filename);

    // On Linux the dialog no longer moves the whole process to its folder (patch 0018).
    auto chooser = std::make_shared<juce::FileChooser> ("Save " + filename, initialFile, "", true, false, nullptr);

    // The completion keeps the chooser alive until the dialog is done; the
    // framework drops the completion afterwards, which releases it.
    chooser->launchAsync (juce::FileBrowserComponent::saveMode
                            | juce::FileBrowserComponent::canSelectFiles
                            | juce::FileBrowserComponent::warnAboutOverwriting,
                          [chooser, content] (const juce::FileChooser&)
                          {
                              const auto file = chooser->getResult();

                              if (file.getFullPathName().isNotEmpty())
                                  file.replaceWithText (content, false, false, "\r\n");
                          });
}

//==============================================================================
void PageBridge::handleIncomingMidiMessage (MidiInputDevice* source, const juce::MidiMessage& message)
{
    auto identifier = ports.findInputIdentifier (source);

    if (identifier.isEmpty())
        return;

    // The device is fixed now; its number is the one the page's lists give it
    // when the message reaches the page, even if the lists change in between.
    const std::scoped_lock lock (arrivalsLock);
    arrivals.push_back ({ std::move (identifier),
                          std::vector<juce::uint8> (message.getRawData(), message.getRawData() + message.getRawDataSize()),
                          playedAt (message) });

    if (std::exchange (deliveryPosted, true))
        return;

    juce::MessageManager::callAsync ([weak = weakThis]
    {
        if (auto* bridge = weak.get())
            bridge->deliverArrivals();
    });
}

void PageBridge::deliverArrivals()
{
    std::vector<Arrival> taken;

    {
        const std::scoped_lock lock (arrivalsLock);
        taken.swap (arrivals);
        deliveryPosted = false;
    }

    // Whatever arrived since the last delivery goes to the page in one go:
    // a burst costs one crossing into the web engine, not one per message.
    PageEvents events;
    events.reserve (taken.size());

    for (auto& arrival : taken)
        addReceive (events, arrival.inputIdentifier, bytesToVar (arrival.bytes.data(), arrival.bytes.size()), arrival.timeMs);

    handToPage (events);
}

void PageBridge::handToPage (const PageEvents& events)
{
    // In slices: each is one crossing, and none is so large that the page
    // stalls on a single script.
    for (size_t start = 0; start < events.size() && sink != nullptr; start += maxEventsPerHandOver)
    {
        const auto end = std::min (events.size(), start + maxEventsPerHandOver);
        sink (PageEvents (events.begin() + (std::ptrdiff_t) start, events.begin() + (std::ptrdiff_t) end));
    }
}

//==============================================================================
void PageBridge::pollMidiDevices()
{
    if (! ports.refresh())
        return;

    // The page's port numbers are about to change meaning: what it scheduled
    // under the old ones is dropped.
    timedSends.clearAll();
    emitPortsChanged();
}

void PageBridge::emitPortsChanged()
{
    // A page that is loading may or may not see an event sent now; it is told
    // for certain once it has loaded.
    if (pageLoading)
        return;

    if (emit (midiPortsChangedEvent, makeObject ({ { "outputs", portEntries (ports.getOutputNames()) },
                                                   { "inputs",  portEntries (ports.getInputNames()) } })))
        pageLists = currentLists();
}

void PageBridge::viewShownAgain()
{
    if (! pageLoading && pageLists != currentLists())
        emitPortsChanged();
}

void PageBridge::bootstrapMade (juce::uint32 restoresSoFar)
{
    declaredLists = currentLists();
    documentRestores = restoresSoFar;
}

void PageBridge::gamePageLoading()
{
    timedSends.clearAll();
    pageLoading = true;
    pageLists = declaredLists;
}

void PageBridge::gamePageLoaded()
{
    pageLoading = false;

    if (pageLists != currentLists())
        emitPortsChanged();
}

void PageBridge::addReceive (PageEvents& events, const juce::String& inputIdentifier,
                             const juce::var& data, double timeMs) const
{
    // A device the page has not been told about has no number there yet.
    const auto port = pageLists.inputs.indexOf (inputIdentifier);

    if (port >= 0)
        events.push_back ({ midiReceiveEvent, makeObject ({ { "port", port }, { "data", data }, { "time", timeMs } }) });
}

PagePortLists PageBridge::currentLists() const
{
    return { ports.getOutputIdentifiers(), ports.getInputIdentifiers() };
}

int PageBridge::drainHostMidi()
{
    std::vector<double> timesMs;
    const auto messages = processor.popHostMidi (&timesMs);
    PageEvents events;
    events.reserve (messages.size());

    for (size_t i = 0; i < messages.size(); ++i)
        addReceive (events, MidiPortRegistry::hostTrackIdentifier,
                    bytesToVar (messages[i].data(), messages[i].size()), timesMs[i]);

    handToPage (events);
    return (int) messages.size();
}
