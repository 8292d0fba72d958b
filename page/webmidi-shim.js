
// Web MIDI for pages running inside the Lutewyrm host.
//
// The embedded web view has no MIDI of its own that the host could share, so
// this script stands in for navigator.requestMIDIAccess and carries MIDI over
// the native-integration bridge (window.__JUCE__.backend) instead. The host
// owns and opens the devices; the page only sees ports numbered by their
// position in the host's current device lists.
//
// The host injects this text into every document right after the two
// declarations of _juceMidiPorts (outputs) and _juceMidiInputPorts (inputs),
// and before the page's own scripts. It is one function expression run at
// once, so it leaves no names behind: the only lasting effects are the new
// navigator.requestMIDIAccess and two listeners on the bridge.
//
// Only the subset of the Web MIDI API that pages actually use is offered. Port
// objects are never updated in place: when the host's device lists change,
// the current access object gets fresh maps of fresh ports and a
// "statechange", and the page re-reads the maps and re-attaches its handlers.
(function () {
    // Port entries are {id: index, name: text}. A declared list is taken as
    // it is; the check is only whether the host declared it at all.
    var _outPorts = (typeof _juceMidiPorts !== "undefined") ? _juceMidiPorts : [];
    var _inPorts = (typeof _juceMidiInputPorts !== "undefined") ? _juceMidiInputPorts : [];

    // Only the access object from the latest requestMIDIAccess call is kept
    // up to date and fed with incoming MIDI; earlier ones go stale.
    var _midiAccess = null;

    // The bridge can be missing (a page opened outside the host, or torn
    // down during unload); sending then quietly goes nowhere.
    function _sendToJuce(index, data) {
        if (!window.__JUCE__ || !window.__JUCE__.backend)
            return;
        // Copy at emit time, not at send time: a delayed send carries what
        // the page's array holds when its timer fires.
        window.__JUCE__.backend.emitEvent("midiSend", { port: index, data: Array.from(data) });
    }

    function _openInputInJuce(index) {
        if (!window.__JUCE__ || !window.__JUCE__.backend)
            return;
        window.__JUCE__.backend.emitEvent("midiOpenInput", { port: index });
    }

    // ---- MIDIOutput ------------------------------------------------------

    function MIDIOutput(index, name) {
        this.id = String(index);
        this.name = name;
        this.manufacturer = "";
        this.version = "1.0";
        this.type = "output";
        this.state = "connected";
        this.connection = "open";
        this.onstatechange = null;
        this._idx = index;
    }

    MIDIOutput.prototype.send = function (data, timestamp) {
        var idx = this._idx;
        var now = performance.now();
        var delay = 0;
        if (timestamp && timestamp > now)
            delay = timestamp - performance.now();

        // The host sends on arrival, so only waits worth a timer are
        // scheduled here; anything within a millisecond goes out now and
        // keeps its order with the other immediate sends.
        if (delay > 1) {
            setTimeout(function () {
                _sendToJuce(idx, data);
            }, delay);
        } else {
            _sendToJuce(idx, data);
        }
    };

    // Nothing is queued on this side that could be cleared; sends already
    // waiting on a timer still go out.
    MIDIOutput.prototype.clear = function () {
    };

    // The host opens an output on its first send, so there is nothing to
    // open or close from here.
    MIDIOutput.prototype.open = function () {
        return Promise.resolve(this);
    };

    MIDIOutput.prototype.close = function () {
        return Promise.resolve(this);
    };

    // ---- MIDIInput -------------------------------------------------------

    function MIDIInput(index, name) {
        this.id = String(index);
        this.name = name;
        this.manufacturer = "";
        this.version = "1.0";
        this.type = "input";
        this.state = "connected";
        this.connection = "closed";
        this._onmidi = null;
        this.onstatechange = null;
        this._idx = index;
        this._listeners = [];
    }

    // Assigning a handler opens the port, as in the browser's own Web MIDI;
    // assigning it again asks the host again, which is harmless there.
    Object.defineProperty(MIDIInput.prototype, "onmidimessage", {
        get: function () {
            return this._onmidi || null;
        },
        set: function (fn) {
            this._onmidi = fn;
            if (typeof fn === "function")
                this.open();
        },
        enumerable: true,
        configurable: true
    });

    MIDIInput.prototype.addEventListener = function (type, fn) {
        if (type !== "midimessage")
            return;
        if (this._listeners.indexOf(fn) < 0)
            this._listeners.push(fn);
        this.open();
    };

    // A new list rather than a splice, so a delivery already walking the old
    // list is not disturbed by a listener that removes itself.
    MIDIInput.prototype.removeEventListener = function (type, fn) {
        if (type !== "midimessage")
            return;
        this._listeners = this._listeners.filter(function (f) {
            return f !== fn;
        });
    };

    MIDIInput.prototype.open = function () {
        this.connection = "open";
        _openInputInJuce(this._idx);
        return Promise.resolve(this);
    };

    // Only the page's view changes: the host keeps the device open, and its
    // messages keep reaching the handlers.
    MIDIInput.prototype.close = function () {
        this.connection = "closed";
        return Promise.resolve(this);
    };

    // ---- MIDIAccess ------------------------------------------------------

    function MIDIAccess(outEntries, inEntries) {
        this.inputs = new Map();
        this.outputs = new Map();
        this.sysexEnabled = false;
        this.onstatechange = null;
        this._scListeners = [];

        // Ports are numbered by their position in the lists.
        var self = this;
        outEntries.forEach(function (entry, i) {
            var port = new MIDIOutput(i, entry.name);
            self.outputs.set(port.id, port);
        });
        inEntries.forEach(function (entry, i) {
            var port = new MIDIInput(i, entry.name);
            self.inputs.set(port.id, port);
        });
    }

    MIDIAccess.prototype.addEventListener = function (type, fn) {
        if (type !== "statechange" || typeof fn !== "function")
            return;
        if (this._scListeners.indexOf(fn) < 0)
            this._scListeners.push(fn);
    };

    MIDIAccess.prototype.removeEventListener = function (type, fn) {
        if (type !== "statechange")
            return;
        this._scListeners = this._scListeners.filter(function (f) {
            return f !== fn;
        });
    };

    // One failing handler must not keep the others from re-reading the maps,
    // so each is guarded on its own.
    MIDIAccess.prototype._dispatchStateChange = function (event) {
        if (typeof this.onstatechange === "function") {
            try {
                this.onstatechange(event);
            } catch (e) {
            }
        }
        this._scListeners.forEach(function (fn) {
            try {
                fn(event);
            } catch (e) {
            }
        });
    };

    // ---- page entry point ------------------------------------------------

    // Whatever the page asks for (sysex included) it gets the same plain
    // access, and never a rejection.
    navigator.requestMIDIAccess = function () {
        _midiAccess = new MIDIAccess(_outPorts, _inPorts);
        return Promise.resolve(_midiAccess);
    };

    // ---- host to page ----------------------------------------------------

    // Without the bridge nothing can arrive; throwing here would also end
    // the rest of the host's script.
    if (!window.__JUCE__ || !window.__JUCE__.backend)
        return;

    // Deliberately unguarded: a handler that throws ends this message's
    // delivery, as an exception in any event handler would.
    window.__JUCE__.backend.addEventListener("midiReceive", function (p) {
        if (!_midiAccess)
            return;
        var input = _midiAccess.inputs.get(String(p.port));
        if (!input)
            return;

        var message = { data: new Uint8Array(p.data), target: input };
        if (typeof input.onmidimessage === "function")
            input.onmidimessage(message);
        // A listener that is not a function (an object with handleEvent, say)
        // is skipped, as for "statechange": calling it would throw, and the
        // listeners after it would never hear this message.
        input._listeners.forEach(function (fn) {
            if (typeof fn === "function")
                fn(message);
        });
    });

    // The lists are taken over even with no access object yet, so that the
    // page's first requestMIDIAccess already sees the current devices.
    window.__JUCE__.backend.addEventListener("midiPortsChanged", function (p) {
        _outPorts = p.outputs || [];
        _inPorts = p.inputs || [];
        if (!_midiAccess)
            return;

        // Fresh maps of fresh ports: objects the page kept from before stay
        // as they were, and an old output still sends to its old number.
        var access = _midiAccess;
        access.outputs = new Map();
        _outPorts.forEach(function (entry) {
            access.outputs.set(String(entry.id), new MIDIOutput(entry.id, entry.name));
        });
        access.inputs = new Map();
        _inPorts.forEach(function (entry) {
            access.inputs.set(String(entry.id), new MIDIInput(entry.id, entry.name));
        });

        access._dispatchStateChange({});
    });
})();
