#include "VirtualMidiDevices.h"

#include <deque>
#include <set>
#include <thread>

class VirtualInput;
class VirtualOutput;

//==============================================================================
// State shared with the open devices, so a device may outlive the registry.
struct VirtualMidiDevices::Shared
{
    mutable std::mutex lock;
    mutable std::condition_variable idleChanged;

    juce::Array<juce::MidiDeviceInfo> outputs, inputs;
    std::set<juce::String> failNext;

    std::map<juce::String, std::vector<SentMessage>> sent;
    std::map<juce::String, size_t> numSentTo;
    mutable std::condition_variable sentChanged;
    std::map<juce::String, int> opens;
    std::vector<VirtualOutput*> openOutputs;
    std::vector<VirtualInput*> openInputs;

    SendObserver observer;
    CloseHook closeHook;
    bool recording = true;
    int64_t numSent = 0;
    int pendingInput = 0;       // injected but not yet delivered or discarded

    bool stopReturnsAtOnce = false;
    std::set<juce::String> holdNext;
    int numHeld = 0;

    static bool contains (const juce::Array<juce::MidiDeviceInfo>& list, const juce::String& id)
    {
        for (auto& info : list)
            if (info.identifier == id)
                return true;

        return false;
    }

    // Takes the failure mark if there is one; call with the lock held.
    bool takeFailure (const juce::String& id)
    {
        return failNext.erase (id) > 0;
    }

    void record (const juce::String& id, const SentMessage& m)
    {
        SendObserver toCall;

        {
            std::lock_guard<std::mutex> sl (lock);

            if (! contains (outputs, id))
                return;     // unplugged: the message goes nowhere

            ++numSent;
            ++numSentTo[id];

            if (recording)
                sent[id].push_back (m);

            toCall = observer;
        }

        sentChanged.notify_all();

        if (toCall)
            toCall (id, m);
    }
};

//==============================================================================
class VirtualOutput final : public MidiOutputDevice
{
public:
    VirtualOutput (std::shared_ptr<VirtualMidiDevices::Shared> s, juce::MidiDeviceInfo i)
        : shared (std::move (s)), info (std::move (i))
    {
    }

    ~VirtualOutput() override
    {
        VirtualMidiDevices::CloseHook hook;

        {
            std::lock_guard<std::mutex> sl (shared->lock);
            auto& open = shared->openOutputs;
            open.erase (std::remove (open.begin(), open.end(), this), open.end());
            hook = shared->closeHook;
        }

        if (hook)
            hook (info.identifier);
    }

    juce::MidiDeviceInfo getDeviceInfo() const override { return info; }

    void sendMessageNow (const juce::MidiMessage& message) override
    {
        shared->record (info.identifier, { message, juce::Time::getMillisecondCounterHiRes() });
    }

private:
    std::shared_ptr<VirtualMidiDevices::Shared> shared;
    juce::MidiDeviceInfo info;
};

//==============================================================================
class VirtualInput final : public MidiInputDevice
{
public:
    VirtualInput (std::shared_ptr<VirtualMidiDevices::Shared> s, juce::MidiDeviceInfo i,
                  MidiInputDeviceCallback& cb, bool stopsAtOnce)
        : shared (std::move (s)), info (std::move (i)), callback (cb),
          stopReturnsAtOnce (stopsAtOnce),
          thread ([this] { run(); })
    {
    }

    ~VirtualInput() override
    {
        stop();

        {
            std::lock_guard<std::mutex> sl (shared->lock);
            auto& open = shared->openInputs;
            open.erase (std::remove (open.begin(), open.end(), this), open.end());
        }

        {
            std::lock_guard<std::mutex> ql (queueLock);
            quit = true;
        }

        // A held delivery goes on now, and closing waits for it, as a driver's does.
        queueChanged.notify_all();
        thread.join();
    }

    juce::MidiDeviceInfo getDeviceInfo() const override { return info; }

    void start() override
    {
        started = true;
        gate.open();
    }

    void stop() override
    {
        started = false;

        // The promised behaviour: wait for a delivery under way. In the ALSA-like
        // mode the flag is all there is, and a late callback can still come.
        if (! stopReturnsAtOnce)
            gate.close();
    }

    bool isStarted() const      { return started; }

    // Called with shared->lock held.
    void enqueue (const juce::MidiMessage& message)
    {
        ++shared->pendingInput;

        {
            std::lock_guard<std::mutex> ql (queueLock);
            queue.push_back (message);
        }

        queueChanged.notify_all();
    }

private:
    void run()
    {
        for (;;)
        {
            juce::MidiMessage message;

            {
                std::unique_lock<std::mutex> ql (queueLock);
                queueChanged.wait (ql, [this] { return quit || ! queue.empty(); });

                if (queue.empty())
                {
                    if (quit)
                        return;

                    continue;
                }

                message = queue.front();
                queue.pop_front();
            }

            deliver (message);

            {
                std::lock_guard<std::mutex> sl (shared->lock);
                --shared->pendingInput;
            }

            shared->idleChanged.notify_all();
        }
    }

    void deliver (juce::MidiMessage& message)
    {
        bool hold = false;

        {
            std::lock_guard<std::mutex> sl (shared->lock);

            if (! VirtualMidiDevices::Shared::contains (shared->inputs, info.identifier))
                return;     // unplugged

            if (stopReturnsAtOnce && started)
                hold = shared->holdNext.erase (info.identifier) > 0;
        }

        // Stamped as it is handed over, in seconds of the millisecond counter,
        // unless the test gave it the driver's own stamp of an earlier moment.
        if (message.getTimeStamp() <= 0.0)
            message.setTimeStamp (juce::Time::getMillisecondCounterHiRes() * 0.001);

        if (! stopReturnsAtOnce)
        {
            gate.deliver ([&] { callback.handleIncomingMidiMessage (this, message); });
            return;
        }

        if (! started)
            return;

        if (hold)
        {
            {
                std::lock_guard<std::mutex> sl (shared->lock);
                ++shared->numHeld;
            }

            shared->idleChanged.notify_all();

            std::unique_lock<std::mutex> ql (queueLock);
            queueChanged.wait (ql, [this] { return quit; });
        }

        callback.handleIncomingMidiMessage (this, message);
    }

    std::shared_ptr<VirtualMidiDevices::Shared> shared;
    juce::MidiDeviceInfo info;
    MidiInputDeviceCallback& callback;
    const bool stopReturnsAtOnce;

    std::atomic<bool> started { false };
    DeliveryGate gate;

    std::mutex queueLock;
    std::condition_variable queueChanged;
    std::deque<juce::MidiMessage> queue;
    bool quit = false;

    std::thread thread;     // last, so everything it uses exists when it starts
};

//==============================================================================
VirtualMidiDevices::VirtualMidiDevices() : shared (std::make_shared<Shared>()) {}

VirtualMidiDevices::~VirtualMidiDevices() = default;

static void insertDevice (juce::Array<juce::MidiDeviceInfo>& list, const juce::String& name,
                          const juce::String& identifier, int index)
{
    list.insert (index, juce::MidiDeviceInfo (name, identifier));
}

static void removeDevice (juce::Array<juce::MidiDeviceInfo>& list, const juce::String& identifier)
{
    list.removeIf ([&] (const juce::MidiDeviceInfo& info) { return info.identifier == identifier; });
}

void VirtualMidiDevices::plugOutput (const juce::String& name, const juce::String& identifier, int index)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    insertDevice (shared->outputs, name, identifier, index);
}

void VirtualMidiDevices::plugInput (const juce::String& name, const juce::String& identifier, int index)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    insertDevice (shared->inputs, name, identifier, index);
}

void VirtualMidiDevices::unplugOutput (const juce::String& identifier)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    removeDevice (shared->outputs, identifier);
}

void VirtualMidiDevices::unplugInput (const juce::String& identifier)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    removeDevice (shared->inputs, identifier);
}

void VirtualMidiDevices::setOutputs (const juce::Array<juce::MidiDeviceInfo>& outputsInOrder)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->outputs = outputsInOrder;
}

void VirtualMidiDevices::setInputs (const juce::Array<juce::MidiDeviceInfo>& inputsInOrder)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->inputs = inputsInOrder;
}

void VirtualMidiDevices::failNextOpen (const juce::String& identifier)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->failNext.insert (identifier);
}

std::vector<VirtualMidiDevices::SentMessage> VirtualMidiDevices::getSent (const juce::String& identifier) const
{
    std::lock_guard<std::mutex> sl (shared->lock);
    auto it = shared->sent.find (identifier);
    return it != shared->sent.end() ? it->second : std::vector<SentMessage>();
}

void VirtualMidiDevices::clearSent()
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->sent.clear();
    shared->numSentTo.clear();
    shared->numSent = 0;
}

void VirtualMidiDevices::setSendObserver (SendObserver observer)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->observer = std::move (observer);
}

void VirtualMidiDevices::setOutputCloseHook (CloseHook hook)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->closeHook = std::move (hook);
}

void VirtualMidiDevices::setRecording (bool shouldRecord)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->recording = shouldRecord;
}

int64_t VirtualMidiDevices::getNumSent() const
{
    std::lock_guard<std::mutex> sl (shared->lock);
    return shared->numSent;
}

int VirtualMidiDevices::getNumOpenOutputs (const juce::String& identifier) const
{
    std::lock_guard<std::mutex> sl (shared->lock);
    return (int) std::count_if (shared->openOutputs.begin(), shared->openOutputs.end(),
                                [&] (VirtualOutput* o) { return o->getDeviceInfo().identifier == identifier; });
}

int VirtualMidiDevices::getNumOpenInputs (const juce::String& identifier) const
{
    std::lock_guard<std::mutex> sl (shared->lock);
    return (int) std::count_if (shared->openInputs.begin(), shared->openInputs.end(),
                                [&] (VirtualInput* i) { return i->getDeviceInfo().identifier == identifier; });
}

int VirtualMidiDevices::getNumStartedInputs (const juce::String& identifier) const
{
    std::lock_guard<std::mutex> sl (shared->lock);
    return (int) std::count_if (shared->openInputs.begin(), shared->openInputs.end(),
                                [&] (VirtualInput* i)
                                {
                                    return i->getDeviceInfo().identifier == identifier && i->isStarted();
                                });
}

int VirtualMidiDevices::getNumOpens (const juce::String& identifier) const
{
    std::lock_guard<std::mutex> sl (shared->lock);
    auto it = shared->opens.find (identifier);
    return it != shared->opens.end() ? it->second : 0;
}

bool VirtualMidiDevices::waitForSent (const juce::String& identifier, size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> sl (shared->lock);
    return shared->sentChanged.wait_for (sl, std::chrono::milliseconds (timeoutMs), [&]
    {
        auto it = shared->numSentTo.find (identifier);
        return it != shared->numSentTo.end() && it->second >= count;
    });
}

void VirtualMidiDevices::setStopReturnsAtOnce (bool shouldReturnAtOnce)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->stopReturnsAtOnce = shouldReturnAtOnce;
}

void VirtualMidiDevices::holdNextDelivery (const juce::String& identifier)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    shared->holdNext.insert (identifier);
}

bool VirtualMidiDevices::waitForHeldDelivery (int timeoutMs) const
{
    std::unique_lock<std::mutex> sl (shared->lock);
    return shared->idleChanged.wait_for (sl, std::chrono::milliseconds (timeoutMs),
                                         [this] { return shared->numHeld > 0; });
}

void VirtualMidiDevices::injectInput (const juce::String& identifier, const juce::MidiMessage& message)
{
    std::lock_guard<std::mutex> sl (shared->lock);

    if (! Shared::contains (shared->inputs, identifier))
        return;

    for (auto* input : shared->openInputs)
        if (input->getDeviceInfo().identifier == identifier)
            input->enqueue (message);
}

bool VirtualMidiDevices::waitForInputIdle (int timeoutMs) const
{
    std::unique_lock<std::mutex> sl (shared->lock);
    return shared->idleChanged.wait_for (sl, std::chrono::milliseconds (timeoutMs),
                                         [this] { return shared->pendingInput == 0; });
}

juce::Array<juce::MidiDeviceInfo> VirtualMidiDevices::getAvailableOutputs()
{
    std::lock_guard<std::mutex> sl (shared->lock);
    return shared->outputs;
}

juce::Array<juce::MidiDeviceInfo> VirtualMidiDevices::getAvailableInputs()
{
    std::lock_guard<std::mutex> sl (shared->lock);
    return shared->inputs;
}

static const juce::MidiDeviceInfo* findDevice (const juce::Array<juce::MidiDeviceInfo>& list,
                                               const juce::String& identifier)
{
    for (auto& info : list)
        if (info.identifier == identifier)
            return &info;

    return nullptr;
}

std::unique_ptr<MidiOutputDevice> VirtualMidiDevices::openOutput (const juce::String& identifier)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    auto* info = findDevice (shared->outputs, identifier);

    if (info == nullptr || shared->takeFailure (identifier))
        return nullptr;

    auto output = std::make_unique<VirtualOutput> (shared, *info);
    shared->openOutputs.push_back (output.get());
    ++shared->opens[identifier];
    return output;
}

std::unique_ptr<MidiInputDevice> VirtualMidiDevices::openInput (const juce::String& identifier,
                                                                MidiInputDeviceCallback& callback)
{
    std::lock_guard<std::mutex> sl (shared->lock);
    auto* info = findDevice (shared->inputs, identifier);

    if (info == nullptr || shared->takeFailure (identifier))
        return nullptr;

    auto input = std::make_unique<VirtualInput> (shared, *info, callback, shared->stopReturnsAtOnce);
    shared->openInputs.push_back (input.get());
    ++shared->opens[identifier];
    return input;
}
