
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
// navigator.requestMIDIAccess, three listeners on the bridge and the
// questions that keep the host's clock measured.
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
    // down during unload); emitting then quietly goes nowhere.
    function _emit(name, payload) {
        if (!window.__JUCE__ || !window.__JUCE__.backend)
            return false;
        window.__JUCE__.backend.emitEvent(name, payload);
        return true;
    }

    // bytes is a plain array, copied by the caller when send() was called;
    // nativeTime, if given, is when the host sends it, on its own clock.
    function _sendToJuce(index, bytes, nativeTime) {
        var payload = { port: index, data: bytes };
        if (nativeTime !== undefined)
            payload.time = nativeTime;
        _emit("midiSend", payload);
    }

    function _openInputInJuce(index) {
        _emit("midiOpenInput", { port: index });
    }

    // ---- the host's clock ------------------------------------------------
    //
    // The host stamps each message with the time it was played and sends
    // timed messages itself, both on its own monotonic clock. This document's
    // performance.now() runs on another origin (and may be floored to whole
    // milliseconds), so the offset between the two is measured: each round
    // trip "lwClockPing" -> "lwClockPong" says the host read its clock
    // between our two readings of ours, which bounds the offset from both
    // sides. The tightest bounds seen are kept; both clocks are monotonic and
    // do not drift apart, so a round that contradicts them means a clock
    // jumped, and the mapping starts again from that round.

    var CLOCK_QUANTUM = 1;            // performance.now() may be floored to this
    var CLOCK_TRIPS_PER_ROUND = 8;
    // The later rounds only watch for a clock that jumped (the bounds, once
    // tight, stay right): two trips each, and only while MIDI flows, so an
    // idle page wakes nobody.
    var CLOCK_TRIPS_LATER = 2;
    // ms after the start of the document; a document's first trips are slow
    // (the page is still loading), so the first rounds come quickly.
    var CLOCK_FIRST_ROUNDS = [0, 250, 1000];
    var CLOCK_ROUND_EVERY = 5000;
    // Until a round has been answered whole, the mapping is only used once
    // it is this tight (ms between the bounds).
    var CLOCK_GOOD_ENOUGH = 4;

    // offset = host time - page time, known to lie in [lo, hi].
    var _clock = { lo: -Infinity, hi: Infinity, askedId: 0, askedAt: 0, tripsLeft: 0, rounds: 0, lastRoundAt: -Infinity };

    function _clockKnown() {
        return _clock.rounds > 0 ? _clock.hi - _clock.lo < Infinity : _clock.hi - _clock.lo <= CLOCK_GOOD_ENOUGH;
    }

    function _clockOffset() {
        return (_clock.lo + _clock.hi) / 2;
    }

    function _askClock() {
        _clock.askedId += 1;
        _clock.askedAt = performance.now();
        if (!_emit("lwClockPing", { id: _clock.askedId }))
            _clock.tripsLeft = 0;
    }

    function _startClockRound(trips) {
        _clock.lastRoundAt = performance.now();
        _clock.tripsLeft = trips;
        _askClock();
    }

    // MIDI is flowing (a message sent or received): a round is due if the
    // last one is CLOCK_ROUND_EVERY old. Not from inside the caller.
    function _clockInUse() {
        if (performance.now() - _clock.lastRoundAt < CLOCK_ROUND_EVERY)
            return;
        _clock.lastRoundAt = performance.now();
        setTimeout(function () {
            _startClockRound(CLOCK_TRIPS_LATER);
        }, 0);
    }

    // Only the answer to the latest question counts: a late answer to an
    // earlier one would widen nothing, but is simply not needed.
    function _clockAnswered(p) {
        var now = performance.now();
        if (!p || p.id !== _clock.askedId || _clock.tripsLeft <= 0)
            return;
        var hostTime = Number(p.time);
        if (!isFinite(hostTime))
            return;

        // A reading with a fraction comes from a clock that is not floored.
        var quantum = Number.isInteger(now) ? CLOCK_QUANTUM : 0;
        var lo = hostTime - now - quantum, hi = hostTime - _clock.askedAt;
        if (lo > _clock.hi || hi < _clock.lo) {
            _clock.lo = lo;
            _clock.hi = hi;
        } else {
            _clock.lo = Math.max(_clock.lo, lo);
            _clock.hi = Math.min(_clock.hi, hi);
        }

        _clock.tripsLeft -= 1;
        if (_clock.tripsLeft > 0)
            _askClock();
        else
            _clock.rounds += 1;
    }

    // Sends waiting in this document because the host's clock is not known
    // yet (the first moments of a document, or a page without the host):
    // {port index, timer}.
    var _waitingSends = [];

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

    // The bytes are read now, as in a browser: the page may reuse its array
    // at once. A send due more than a millisecond ahead is timed by the host,
    // which keeps it on time however busy this page is; until the host's
    // clock is known, it waits on a timer here instead.
    MIDIOutput.prototype.send = function (data, timestamp) {
        var idx = this._idx;
        var bytes = Array.from(data);
        _clockInUse();
        var now = performance.now();
        var delay = 0;
        if (timestamp && timestamp > now)
            delay = timestamp - now;

        if (delay <= 1) {
            _sendToJuce(idx, bytes);
        } else if (_clockKnown()) {
            _sendToJuce(idx, bytes, timestamp + _clockOffset());
        } else {
            var waiting = { port: idx, timer: 0 };
            waiting.timer = setTimeout(function () {
                _waitingSends = _waitingSends.filter(function (w) {
                    return w !== waiting;
                });
                _sendToJuce(idx, bytes);
            }, delay);
            _waitingSends.push(waiting);
        }
    };

    // Drops this port's sends that are not due yet, here and in the host;
    // what was sent stays sent.
    MIDIOutput.prototype.clear = function () {
        var idx = this._idx;
        _waitingSends = _waitingSends.filter(function (w) {
            if (w.port !== idx)
                return true;
            clearTimeout(w.timer);
            return false;
        });
        _emit("midiClear", { port: idx });
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
        _clockInUse();

        // The time it was played, on this page's clock; until the host's
        // clock is known, the time it arrived.
        var hostTime = Number(p.time);
        var timeStamp = (_clockKnown() && isFinite(hostTime)) ? hostTime - _clockOffset() : performance.now();

        var message = { data: new Uint8Array(p.data), target: input, timeStamp: timeStamp, type: "midimessage" };
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

    window.__JUCE__.backend.addEventListener("lwClockPong", _clockAnswered);

    // Not at once: the host takes page events only once the rest of its
    // script has run.
    CLOCK_FIRST_ROUNDS.forEach(function (at) {
        setTimeout(function () {
            _startClockRound(CLOCK_TRIPS_PER_ROUND);
        }, at);
    });
})();
