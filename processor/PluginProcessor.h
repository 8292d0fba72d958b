#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>

#include "../midi/MidiDevices.h"
#include "HostMidiQueue.h"
#include "HostTrackClock.h"
#include "MidiForwarder.h"
#include "PeriodicPoll.h"
#include "StateBlob.h"

//==============================================================================
/** The plug-in's processing object.

    It makes no sound. It keeps the game page's settings, an instance id and the
    editor size in the plug-in state, forwards performance messages from the host
    track to the hardware output the page chose, and queues the track's short
    messages for the editor to hand to the page.
*/
class LUTEWYRMRPGAudioProcessor final : public juce::AudioProcessor
{
public:
    explicit LUTEWYRMRPGAudioProcessor (MidiDevices& devices = defaultMidiDevices());
    ~LUTEWYRMRPGAudioProcessor() override;

    //==============================================================================
    const juce::String getName() const override                 { return "Lutewyrm RPG"; }

    void prepareToPlay (double, int) override                   {}
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using AudioProcessor::processBlock;

    double getTailLengthSeconds() const override                { return 0.0; }
    bool acceptsMidi() const override                           { return true; }
    bool producesMidi() const override                          { return true; }

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override                             { return true; }

    int getNumPrograms() override                               { return 1; }
    int getCurrentProgram() override                            { return 0; }
    void setCurrentProgram (int) override                       {}
    const juce::String getProgramName (int) override            { return {}; }
    void changeProgramName (int, const juce::String&) override  {}

    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    //==============================================================================
    // For the editor; all may be called from any thread.
    int getEditorWidth() const;
    int getEditorHeight() const;
    void setEditorSize (int width, int height);
    juce::String getInstanceId() const;
    juce::String getWebState() const;

    /** Stores the page's settings and re-applies the output routing from them. */
    void setWebState (const juce::String& text);

    /** A page document's report of its settings, stored as by setWebState
        unless a host restore changed them after the document was made
        (documentRestores: getNumRestores() when its script was made). Returns
        false when the report was ignored.
    */
    bool reportWebState (const juce::String& text, juce::uint32 documentRestores);

    /** Host restores (setStateInformation) that changed the page's settings,
        so far. A page document made before the latest one must not report
        its settings any more: they would undo the restore.
    */
    juce::uint32 getNumRestores() const noexcept                { return numRestores.load(); }

    /** Tells listeners, on the message thread, that a host restore changed
        the page's settings (an open editor shows them).
    */
    juce::ChangeBroadcaster& getRestoreBroadcaster() noexcept   { return restoreBroadcaster; }

    /** Opens, swaps or closes the forwarding output to match the page state. */
    void applyRoutingFromState();

    /** Follows the routed output's device: closes it once it has gone, and
        opens the device of that name when one is there and none is open (a
        synth switched on late, a cable put back). Runs by itself every
        routedOutputPollMs, editor or not; any thread but the audio thread.
    */
    void followRoutedOutput();

    static constexpr double routedOutputPollMs = 2000.0;

    /** Forwarded messages dropped so far because the sender fell behind. */
    juce::int64 getNumForwardDropped() const noexcept           { return forwarder.getNumDropped(); }

    /** Message thread, single consumer: the host-track messages queued since
        the last call; with timesMs, also the time each was played (block start
        plus sample position, on the juce::Time::getMillisecondCounterHiRes() scale).
    */
    std::vector<std::vector<juce::uint8>> popHostMidi (std::vector<double>* timesMs = nullptr)
    {
        return hostMidi.popAll (timesMs);
    }

    /** Message thread: whether host-track messages are waiting, and a call on
        the message thread when the next ones arrive (see HostMidiQueue).
    */
    bool hasHostMidi() const noexcept                           { return hostMidi.hasMessages(); }
    void whenHostMidiArrives (std::function<void()> onArrival)  { hostMidi.whenMessagesArrive (std::move (onArrival)); }

    MidiDevices& getMidiDevices() const noexcept                { return midiDevices; }

    /** The device layer used when none is given: the computer's real devices. */
    static MidiDevices& defaultMidiDevices();

private:
    //==============================================================================
    MidiDevices& midiDevices;

    juce::CriticalSection stateLock;
    PersistedState persisted;                       // guarded by stateLock
    std::atomic<juce::uint32> numRestores { 0 };
    juce::ChangeBroadcaster restoreBroadcaster;

    HostMidiQueue hostMidi;
    HostTrackClock hostTrackClock;      // audio thread only

    // The forwarding output lives in the forwarder; the audio thread only ever
    // queues into it, so nothing here can make the audio thread wait.
    MidiForwarder forwarder;

    // Runs of applyRoutingFromState may come from the message thread and from a
    // host's thread at once; this keeps each run whole. The audio thread never takes it.
    juce::CriticalSection routingLock;
    juce::String forwardOutputName;                 // guarded by routingLock
    juce::String forwardOutputIdentifier;           // guarded by routingLock

    void openForwardOutput (const juce::String& name, const juce::Array<juce::MidiDeviceInfo>& outputs);   // routingLock held

    // Last, so that it stops before anything it uses goes.
    PeriodicPoll routedOutputPoll { routedOutputPollMs, [this] { followRoutedOutput(); } };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LUTEWYRMRPGAudioProcessor)
};
