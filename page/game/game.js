/*
 * Lutewyrm RPG - the Rehearsal Hall (stand-in game page, served at /rpg).
 *
 * A small, dependency-free page that exercises everything the host offers a
 * game page: the Web MIDI API provided by the host's bootstrap script, device
 * hot-plugging ("statechange"), the host-track input in the plug-in, saving a
 * text file through the host, and persisting the page's settings in the
 * plug-in state. It uses only the standard Web MIDI calls that the host's
 * script implements, so it also runs against a browser's own Web MIDI, and
 * it still opens (without MIDI) in a browser that has none.
 *
 * Settings and what the host reads from them
 * ------------------------------------------
 * Every change of a setting (by the player or through the hook below) sends
 *   window.__JUCE__.backend.emitEvent("lwStateChanged", { state: JSON.stringify(state) })
 * with the whole state object:
 *   {
 *     "channel":  0..16 (0 = keep the channel of forwarded messages; the
 *                 page's own notes then go out on channel 1),
 *     "ports":    { "outputs": [ { "portName": <chosen output>, "portIdx": 0 } ] }
 *                 (an empty list when no output is chosen),
 *     "thru":     true | false,
 *     "velocity": 1..127,
 *     "version":  1
 *   }
 * The host forwards host-track MIDI to the output named by the entry whose
 * portIdx is 0, on "channel" unless it is 0. In the plug-in the page gets its
 * last reported state back as _lwInstanceState and its instance id as
 * _lwInstanceId; in the standalone application neither is declared, so the
 * page also keeps the same text in localStorage, under
 * "lutewyrm.rehearsal-hall.settings:" + the instance id (or "standalone"),
 * and starts from it when the host hands nothing back.
 *
 * Test hook: window.lwDemo
 * ------------------------
 * For end-to-end tests and benchmarks driven by the host through
 * evaluate-JavaScript. Reading it costs nothing; nothing below touches the
 * DOM per MIDI message (the screen is refreshed at most once a frame).
 *
 *   ready              true once requestMIDIAccess has resolved and every
 *                      input has its message handler
 *   status             "starting" | "ready" | "no-web-midi" | "failed"
 *   error              text of the failure when status is "failed", else ""
 *   webMidi            "host" (the host's bridge), "browser" (the browser's
 *                      own Web MIDI) or "none"
 *   bridge             true when window.__JUCE__.backend exists
 *   mode               "plugin" when _lwInstanceId is declared, else "standalone"
 *   instanceId         _lwInstanceId as text, or null in the standalone app
 *   restoredState      the settings restored from _lwInstanceState, in the
 *                      same shape as settings(), or null when nothing usable
 *                      was handed over
 *   settingsFrom       where the settings at start came from: "instance"
 *                      (_lwInstanceState), "storage" or "defaults"
 *   received           the most recent incoming messages, oldest first, at
 *                      most receivedCap (10000) of them:
 *                      { input: <input name>, data: [bytes], t: the message's
 *                      timeStamp (when it was played, on performance.now()'s
 *                      clock), gap: ms since the message before it, or null,
 *                      at: performance.now() when it reached the page }
 *   receivedCount      every message received since the page loaded
 *   sentCount          every message the page has sent (notes and thru)
 *   stateChangeCount   device-list change notifications handled
 *   setThru(on)        MIDI thru on/off: every incoming message is sent
 *                      unchanged to the chosen output, except those of
 *                      "DAW (host track)", which the host forwards itself;
 *                      returns the new value
 *   selectOutput(name) chooses the output by name ("" or null: none);
 *                      returns true when such an output is present now
 *   setChannel(n)      0..16 (anything else becomes 0); returns the value kept
 *   setVelocity(v)     1..127 for the page's own notes; returns the value kept
 *   sendNote(note, velocity)
 *                      one Note On [0x90|ch, note, velocity], or for velocity
 *                      0 a Note Off [0x80|ch, note, 0], to the chosen output
 *                      on the chosen channel (channel 1 when it is 0);
 *                      returns true when it was handed to an output
 *   holdNote(source, note), releaseNote(source)
 *                      what a computer key or pointer (the source) does: the
 *                      note on goes to the chosen output, and the note off
 *                      later to the same device, found again by name
 *   heldCount()        notes held now
 *   keyAction(event)   what a keydown does: "note", "octave-down",
 *                      "octave-up", or "" when it is left to the page
 *   outputs(), inputs() port names in the order of the access object's maps
 *   settings()         a copy of the current settings:
 *                      { output, channel, thru, velocity }
 *   stateText()        the text that "lwStateChanged" carries for them
 *   notesText()        the text "Save notes" would save
 *   saveNotes()        emits "fileDownload" { filename: "lutewyrm-notes.txt",
 *                      content: notesText() }; returns true when the host
 *                      bridge took it (in a plain browser the file is offered
 *                      as a download instead and false is returned)
 *   clearReceived()    empties received (receivedCount keeps counting)
 */
(function () {
    "use strict";

    var RECEIVED_CAP = 10000;
    var NOTES_CAP = 20000;
    var LOG_LINES = 14;
    var LEDGER_INTERVAL = 100;   // ms, the least time between two redraws of the ledger
    var KEY_LOW = 36;            // C2
    var KEY_HIGH = 96;           // C7
    var DEFAULT_VELOCITY = 100;
    var NOTES_FILE = "lutewyrm-notes.txt";
    var HOST_TRACK_NAME = "DAW (host track)";    // the plug-in's input carrying the track's MIDI
    var STORAGE_PREFIX = "lutewyrm.rehearsal-hall.settings:";

    var now = (typeof performance !== "undefined" && performance.now)
        ? function () { return performance.now(); }
        : function () { return Date.now(); };

    // ------------------------------------------------------------------
    // Pure helpers
    // ------------------------------------------------------------------

    // Converts the way the host reads the state, so that the page shows the
    // same channel and output that the host acts on: numbers truncate,
    // text counts by its leading integer, true is 1, anything else 0. The
    // host's leading integer is blanks, an optional minus sign and digits: no
    // plus sign (parseInt would take "+5" for 5 where the host reads 0).
    function toInt(value) {
        if (typeof value === "number")
            return isFinite(value) ? Math.trunc(value) : 0;
        if (typeof value === "string") {
            var m = /^[ \t\n\v\f\r]*(-?)([0-9]*)/.exec(value);
            var n = m[2] === "" ? 0 : Number(m[2]);
            return m[1] === "-" ? -n : n;
        }
        return value === true ? 1 : 0;
    }

    function normalizeChannel(value) {
        var n = toInt(value);
        return n >= 1 && n <= 16 ? n : 0;
    }

    function normalizeVelocity(value) {
        var n = toInt(value);
        return n >= 1 && n <= 127 ? n : DEFAULT_VELOCITY;
    }

    function isPlainObject(value) {
        return value !== null && typeof value === "object" && !Array.isArray(value);
    }

    // The host's choice among several outputs: the first named entry with
    // portIdx 0, else the first named entry, else none.
    function preferredOutputName(ports) {
        if (!isPlainObject(ports) || !Array.isArray(ports.outputs))
            return "";
        var first = "";
        for (var i = 0; i < ports.outputs.length; i++) {
            var entry = ports.outputs[i];
            if (!isPlainObject(entry))
                continue;
            var name = entry.portName == null ? "" : String(entry.portName);
            if (name === "")
                continue;
            if (toInt(entry.portIdx) === 0)
                return name;
            if (first === "")
                first = name;
        }
        return first;
    }

    function defaultSettings() {
        return { output: "", channel: 0, thru: false, velocity: DEFAULT_VELOCITY };
    }

    // Reads whatever the host handed back as _lwInstanceState. It is normally
    // the object this page reported, but it may be null, come from another
    // version of the page, or be JSON text; whatever cannot be used falls
    // back to the defaults, field by field. Returns null when there is no
    // object to restore from at all.
    function settingsFromState(raw) {
        if (typeof raw === "string") {
            try {
                raw = JSON.parse(raw);
            } catch (e) {
                return null;
            }
        }
        if (!isPlainObject(raw))
            return null;
        return {
            output: preferredOutputName(raw.ports),
            channel: normalizeChannel(raw.channel),
            thru: raw.thru === true,
            velocity: raw.velocity === undefined ? DEFAULT_VELOCITY : normalizeVelocity(raw.velocity),
        };
    }

    function stateFromSettings(s) {
        return {
            channel: s.channel,
            ports: { outputs: s.output ? [{ portName: s.output, portIdx: 0 }] : [] },
            thru: s.thru,
            velocity: s.velocity,
            version: 1,
        };
    }

    var NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"];

    function noteName(n) {
        return NOTE_NAMES[n % 12] + (Math.floor(n / 12) - 1);
    }

    function noteLabel(n) {
        return typeof n === "number" ? noteName(n & 127) : "?";
    }

    function byte(d, i) {
        return d[i] === undefined ? "?" : d[i];
    }

    // Note On with velocity 0 is a Note Off by convention.
    function noteEvent(d) {
        var type = d[0] & 0xf0;
        if (d.length < 3 || (type !== 0x90 && type !== 0x80))
            return 0;
        return type === 0x90 && d[2] > 0 ? 1 : -1;
    }

    var SYSTEM_NAMES = {
        0xf1: "MTC quarter frame", 0xf2: "Song position", 0xf3: "Song select", 0xf6: "Tune request",
        0xf7: "End of SysEx", 0xf8: "Clock", 0xfa: "Start", 0xfb: "Continue", 0xfc: "Stop",
        0xfe: "Active sensing", 0xff: "Reset",
    };

    function describe(d) {
        if (!d.length)
            return "empty message";
        var s = d[0];
        if (s < 0x80)
            return "data " + Array.prototype.join.call(d, " ");
        if (s >= 0xf0) {
            if (s === 0xf0)
                return "SysEx, " + d.length + " bytes";
            return SYSTEM_NAMES[s] || "System 0x" + s.toString(16);
        }
        var ch = "ch " + ((s & 15) + 1) + " \u00b7 ";
        switch (s & 0xf0) {
            case 0x80:
                return ch + "Note off " + noteLabel(d[1]) + " \u00b7 vel " + byte(d, 2);
            case 0x90:
                return ch + (d[2] > 0 ? "Note on " : "Note off ") + noteLabel(d[1]) + " \u00b7 vel " + byte(d, 2);
            case 0xa0:
                return ch + "Aftertouch " + noteLabel(d[1]) + " \u00b7 " + byte(d, 2);
            case 0xb0:
                return ch + "Control " + byte(d, 1) + " = " + byte(d, 2);
            case 0xc0:
                return ch + "Program " + byte(d, 1);
            case 0xd0:
                return ch + "Pressure " + byte(d, 1);
            default:
                return ch + "Pitch bend " + (((d[2] | 0) << 7 | (d[1] | 0)) - 8192);
        }
    }

    function clockText(ms) {
        var total = Math.max(0, Math.floor(ms));
        var m = Math.floor(total / 60000);
        var s = Math.floor(total / 1000) % 60;
        var frac = total % 1000;
        return (m < 10 ? "0" : "") + m + ":" + (s < 10 ? "0" : "") + s + "." + ("00" + frac).slice(-3);
    }

    // One line of the saved notes. Entries of incoming messages carry
    // "input", those the player sent carry "output".
    function noteLine(entry) {
        var d = entry.data;
        var incoming = entry.input !== undefined;
        var on = noteEvent(d) > 0;
        return clockText(entry.t) + "  "
            + (incoming ? "in " : "out") + "  "
            + (on ? "note on " : "note off") + "  "
            + (noteName(d[1]) + "    ").slice(0, 4) + " (" + d[1] + ")  "
            + "vel " + d[2] + "  "
            + "ch " + ((d[0] & 15) + 1) + "  "
            + (incoming ? "from " + entry.input : (entry.output ? "to " + entry.output : "(no output)"));
    }

    // ------------------------------------------------------------------
    // Environment
    // ------------------------------------------------------------------

    function backend() {
        var j = window.__JUCE__;
        return j && j.backend && typeof j.backend.emitEvent === "function" ? j.backend : null;
    }

    function emit(name, payload) {
        var b = backend();
        if (!b)
            return false;
        b.emitEvent(name, payload);
        return true;
    }

    var hasWebMidi = typeof navigator !== "undefined" && typeof navigator.requestMIDIAccess === "function";
    // The host's script sets requestMIDIAccess on navigator itself; a
    // browser's own lives on Navigator.prototype.
    var webMidiKind = !hasWebMidi ? "none"
        : (backend() && Object.prototype.hasOwnProperty.call(navigator, "requestMIDIAccess") ? "host" : "browser");

    var isPlugin = typeof _lwInstanceId !== "undefined";
    var instanceId = isPlugin && _lwInstanceId != null ? String(_lwInstanceId) : null;
    var restored = isPlugin && typeof _lwInstanceState !== "undefined" ? settingsFromState(_lwInstanceState) : null;

    // The standalone application stores the settings this page reports but
    // never hands them back, so the page also keeps them in web storage,
    // which the host keeps across restarts. Every instance shares that
    // storage: the key carries the instance id.
    var storageKey = STORAGE_PREFIX + (instanceId !== null ? instanceId : "standalone");

    function storage() {
        try {
            return typeof localStorage !== "undefined" && localStorage ? localStorage : null;
        } catch (e) {
            return null;      // storage refused (a sandboxed frame, private mode)
        }
    }

    function storedSettings() {
        var s = storage();
        try {
            return s ? settingsFromState(s.getItem(storageKey)) : null;
        } catch (e) {
            return null;
        }
    }

    var stored = restored ? null : storedSettings();
    var settings = Object.assign({}, restored || stored || defaultSettings());

    // ------------------------------------------------------------------
    // MIDI core (no DOM here: it also runs headless under the tests)
    // ------------------------------------------------------------------

    var access = null;
    var outPort = null;          // the output named by settings.output, if present
    var notes = [];              // note on/off entries, for "Save notes"
    // Without page markup (headless, under the tests) nothing is drawn.
    var NO_VIEW = {
        seen: function () {},
        portsChanged: function () {},
        settingsChanged: function () {},
        statusChanged: function () {},
        download: function () {},
    };
    var view = NO_VIEW;          // replaced once the page markup is wired up

    var hook = {
        ready: false,
        status: "starting",
        error: "",
        webMidi: webMidiKind,
        bridge: backend() !== null,
        mode: isPlugin ? "plugin" : "standalone",
        instanceId: instanceId,
        restoredState: restored ? Object.assign({}, restored) : null,
        settingsFrom: restored ? "instance" : stored ? "storage" : "defaults",
        received: [],
        receivedCap: RECEIVED_CAP,
        receivedCount: 0,
        sentCount: 0,
        stateChangeCount: 0,
    };

    function resolveOutput() {
        outPort = null;
        if (!access || !settings.output)
            return;
        access.outputs.forEach(function (port) {
            if (outPort === null && port.name === settings.output)
                outPort = port;
        });
    }

    function seen(entry) {
        var kind = noteEvent(entry.data);
        if (kind !== 0) {
            notes.push(entry);
            if (notes.length > NOTES_CAP)
                notes.shift();
        }
        view.seen(entry, kind);
    }

    // The hot path: thru first, so the echo leaves before any bookkeeping.
    // The host already forwards the track's notes to the chosen output
    // itself: echoing the host-track input as well would play each twice.
    var lastHeardAt = null;

    function onMidiMessage(ev) {
        var data = ev.data;
        var input = ev.target || this;
        if (settings.thru && outPort !== null && !(input && input.name === HOST_TRACK_NAME)) {
            try {
                outPort.send(data);
                hook.sentCount++;
            } catch (e) {
                // A browser's own Web MIDI refuses some messages (SysEx
                // without permission); the message is still shown.
            }
        }
        // When it was played (the host stamps every message), and how long
        // after the message before it: the rhythm a player actually played.
        var t = typeof ev.timeStamp === "number" && isFinite(ev.timeStamp) ? ev.timeStamp : now();
        var gap = lastHeardAt === null ? null : t - lastHeardAt;
        lastHeardAt = t;
        var entry = { input: input ? input.name : "", data: Array.from(data), t: t, gap: gap, at: now() };
        var received = hook.received;
        received.push(entry);
        if (received.length > RECEIVED_CAP)
            received.shift();
        hook.receivedCount++;
        seen(entry);
    }

    // Assigning the handler is what opens an input; ports that already have
    // it are left alone so that nothing is reopened needlessly.
    function attachInputs() {
        access.inputs.forEach(function (input) {
            if (input.onmidimessage !== onMidiMessage)
                input.onmidimessage = onMidiMessage;
        });
    }

    function refreshPorts() {
        attachInputs();
        resolveOutput();
        view.portsChanged();
    }

    function onStateChange() {
        hook.stateChangeCount++;
        if (access)
            refreshPorts();
    }

    function sendTo(port, data) {
        if (port === null)
            return false;
        try {
            port.send(data);
        } catch (e) {
            return false;
        }
        hook.sentCount++;
        return true;
    }

    function playNote(port, channel, note, velocity) {
        var ch = (channel || 1) - 1;
        var data = velocity > 0 ? [0x90 | ch, note, velocity] : [0x80 | ch, note, 0];
        var sent = sendTo(port, data);
        seen({ output: port ? port.name : "", data: data, t: now() });
        return sent;
    }

    function findOutput(name) {
        var found = null;
        if (access && name)
            access.outputs.forEach(function (port) {
                if (found === null && port.name === name)
                    found = port;
            });
        return found;
    }

    // Who holds which note: a computer key or a pointer. The note off goes
    // where the note on went, even if the settings changed since; the device
    // is found again by name, because after a device change the port
    // objects are new and a kept one's number may now name another device.
    var held = new Map();

    function holdNote(source, note) {
        releaseNote(source);
        held.set(source, { note: note, output: outPort ? outPort.name : "", channel: settings.channel });
        return playNote(outPort, settings.channel, note, settings.velocity);
    }

    function releaseNote(source) {
        var h = held.get(source);
        if (!h)
            return false;
        held.delete(source);
        return playNote(findOutput(h.output), h.channel, h.note, 0);
    }

    // Releases the notes whose source passes the test (all without one).
    function releaseHeld(test) {
        Array.from(held.keys()).forEach(function (source) {
            if (!test || test(source))
                releaseNote(source);
        });
    }

    function stateText() {
        return JSON.stringify(stateFromSettings(settings));
    }

    function settingsChanged() {
        var s = storage();
        try {
            if (s)
                s.setItem(storageKey, stateText());
        } catch (e) {
            // Full or refused: the host still gets the settings below.
        }
        emit("lwStateChanged", { state: stateText() });
        view.settingsChanged();
    }

    function notesText() {
        return notes.map(noteLine).join("\n") + (notes.length ? "\n" : "");
    }

    hook.setThru = function (on) {
        settings.thru = !!on;
        settingsChanged();
        return settings.thru;
    };

    hook.selectOutput = function (name) {
        releaseHeld();
        settings.output = name == null ? "" : String(name);
        resolveOutput();
        settingsChanged();
        return outPort !== null;
    };

    hook.setChannel = function (n) {
        releaseHeld();
        settings.channel = normalizeChannel(n);
        settingsChanged();
        return settings.channel;
    };

    hook.setVelocity = function (v) {
        settings.velocity = normalizeVelocity(v);
        settingsChanged();
        return settings.velocity;
    };

    hook.sendNote = function (note, velocity) {
        var n = toInt(note);
        if (n < 0 || n > 127)
            return false;
        var v = Math.max(0, Math.min(127, toInt(velocity)));
        return playNote(outPort, settings.channel, n, v);
    };

    hook.holdNote = function (source, note) {
        var n = toInt(note);
        return n >= 0 && n <= 127 ? holdNote(String(source), n) : false;
    };

    hook.releaseNote = function (source) {
        return releaseNote(String(source));
    };

    hook.heldCount = function () {
        return held.size;
    };

    hook.keyAction = keyAction;

    hook.outputs = function () {
        var names = [];
        if (access)
            access.outputs.forEach(function (port) { names.push(port.name); });
        return names;
    };

    hook.inputs = function () {
        var names = [];
        if (access)
            access.inputs.forEach(function (port) { names.push(port.name); });
        return names;
    };

    hook.settings = function () {
        return Object.assign({}, settings);
    };

    hook.stateText = stateText;
    hook.notesText = notesText;

    hook.saveNotes = function () {
        var content = notesText();
        if (emit("fileDownload", { filename: NOTES_FILE, content: content }))
            return true;
        view.download(NOTES_FILE, content);
        return false;
    };

    hook.clearReceived = function () {
        hook.received.length = 0;
    };

    window.lwDemo = hook;

    function start() {
        if (!hasWebMidi) {
            hook.status = "no-web-midi";
            view.statusChanged();
            return;
        }
        var request;
        try {
            request = Promise.resolve(navigator.requestMIDIAccess({ sysex: false }));
        } catch (e) {
            request = Promise.reject(e);
        }
        request.then(function (a) {
            access = a;
            access.onstatechange = onStateChange;
            refreshPorts();
            hook.ready = true;
            hook.status = "ready";
            // With nothing restored, tell the host our settings once, so a project
            // saved before the player changes anything still remembers them.
            if (!hook.restoredState)
                emit("lwStateChanged", { state: stateText() });
            view.statusChanged();
        }, function (err) {
            hook.status = "failed";
            hook.error = String(err && err.message ? err.message : err);
            view.statusChanged();
        });
    }

    // ------------------------------------------------------------------
    // The page itself
    // ------------------------------------------------------------------

    // Physical key positions (KeyboardEvent.code), so the rows work on any
    // layout: the home row plays white keys, the row above the black ones.
    var KEY_CODES = {
        KeyA: 0, KeyW: 1, KeyS: 2, KeyE: 3, KeyD: 4, KeyF: 5, KeyT: 6, KeyG: 7, KeyY: 8, KeyH: 9,
        KeyU: 10, KeyJ: 11, KeyK: 12, KeyO: 13, KeyL: 14, KeyP: 15, Semicolon: 16, Quote: 17,
    };
    var KEY_LABELS = {};
    Object.keys(KEY_CODES).forEach(function (code) {
        KEY_LABELS[KEY_CODES[code]] = code === "Semicolon" ? ";" : code === "Quote" ? "'" : code.slice(3);
    });

    // Fields where the player types text keep every key.
    function takesText(target) {
        if (!target || !target.tagName)
            return false;
        var tag = target.tagName;
        return tag === "TEXTAREA" || target.isContentEditable === true
            || (tag === "INPUT" && /^(text|search|number|email|password|url|tel)$/.test(target.type));
    }

    // What a key press is for the page: "note", "octave-down", "octave-up",
    // or "" (not ours). Anywhere but in a text field the page takes its keys
    // before any control sees them, so a <select> still focused after a
    // choice cannot change the output by type-ahead.
    function keyAction(ev) {
        if (!ev || ev.ctrlKey || ev.metaKey || ev.altKey || takesText(ev.target))
            return "";
        if (ev.code === "KeyZ")
            return "octave-down";
        if (ev.code === "KeyX")
            return "octave-up";
        return KEY_CODES[ev.code] !== undefined ? "note" : "";
    }

    function pageElements() {
        if (typeof document === "undefined" || !document.getElementById)
            return null;
        var $ = function (id) { return document.getElementById(id); };
        var el = {
            status: $("bridge-status"),
            outputSelect: $("output-select"),
            channelSelect: $("channel-select"),
            velocity: $("velocity"),
            velocityValue: $("velocity-value"),
            thru: $("thru-toggle"),
            save: $("save-notes"),
            noteCount: $("note-count"),
            outputList: $("output-list"),
            inputList: $("input-list"),
            log: $("log"),
            keyboard: $("keyboard"),
            octave: $("octave"),
            mode: $("mode"),
            instance: $("instance"),
            hint: $("output-hint"),
        };
        return el.keyboard && el.log ? el : null;
    }

    function span(cls, text) {
        var s = document.createElement("span");
        s.className = cls;
        s.appendChild(document.createTextNode(text));
        return s;
    }

    function option(value, text) {
        var o = document.createElement("option");
        o.value = value;
        o.textContent = text;
        return o;
    }

    // ---- keyboard input ----------------------------------------------
    // The on-screen keys and the computer keys play notes through the
    // core's held notes. Returns the key elements, for the ledger to light.

    function createKeyboard(el) {
        var keyEls = [];
        var baseNote = 60;

        function build() {
            var lastWhite = null;
            for (var n = KEY_LOW; n <= KEY_HIGH; n++) {
                var black = [1, 3, 6, 8, 10].indexOf(n % 12) >= 0;
                var key = document.createElement("div");
                key.className = black ? "key black" : "key white";
                key.dataset.note = String(n);
                key.title = noteName(n);
                var label = document.createElement("span");
                label.className = "label";
                key.appendChild(label);
                if (!black && n % 12 === 0) {
                    var octave = document.createElement("span");
                    octave.className = "octave";
                    octave.textContent = noteName(n);
                    key.appendChild(octave);
                }
                // A black key sits on the seam after the white key it follows.
                if (black && lastWhite)
                    lastWhite.appendChild(key);
                else
                    el.keyboard.appendChild(key);
                if (!black)
                    lastWhite = key;
                keyEls[n] = key;
            }
            drawLabels();
        }

        function drawLabels() {
            for (var n = KEY_LOW; n <= KEY_HIGH; n++) {
                var label = KEY_LABELS[n - baseNote];
                keyEls[n].firstChild.textContent = label === undefined ? "" : label;
            }
            if (el.octave)
                el.octave.textContent = noteName(baseNote) + "\u2013" + noteName(baseNote + 17);
        }

        function noteAt(x, y) {
            var target = document.elementFromPoint(x, y);
            while (target && target !== el.keyboard && !(target.dataset && target.dataset.note))
                target = target.parentNode;
            return target && target.dataset && target.dataset.note ? Number(target.dataset.note) : null;
        }

        el.keyboard.addEventListener("pointerdown", function (ev) {
            if (ev.button !== 0)
                return;
            var note = noteAt(ev.clientX, ev.clientY);
            if (note === null)
                return;
            ev.preventDefault();
            if (el.keyboard.setPointerCapture)
                el.keyboard.setPointerCapture(ev.pointerId);
            holdNote("pointer" + ev.pointerId, note);
        });
        el.keyboard.addEventListener("pointermove", function (ev) {
            var source = "pointer" + ev.pointerId;
            var h = held.get(source);
            if (!h)
                return;
            var note = noteAt(ev.clientX, ev.clientY);
            if (note === h.note)
                return;
            if (note === null)
                releaseNote(source);
            else
                holdNote(source, note);
        });
        ["pointerup", "pointercancel"].forEach(function (type) {
            el.keyboard.addEventListener(type, function (ev) {
                releaseNote("pointer" + ev.pointerId);
            });
        });

        window.addEventListener("keydown", function (ev) {
            var action = keyAction(ev);
            if (action === "")
                return;
            ev.preventDefault();
            if (ev.repeat)
                return;
            if (action === "note") {
                var note = baseNote + KEY_CODES[ev.code];
                if (!held.has(ev.code) && note <= 127)
                    holdNote(ev.code, note);
                return;
            }
            // An octave shift moves the computer keys only; a note held with
            // the pointer stays where it is.
            releaseHeld(function (source) { return source.indexOf("pointer") !== 0; });
            baseNote = Math.max(KEY_LOW, Math.min(KEY_HIGH - 12, baseNote + (action === "octave-down" ? -12 : 12)));
            drawLabels();
        });
        window.addEventListener("keyup", function (ev) {
            releaseNote(ev.code);
        });
        window.addEventListener("blur", function () { releaseHeld(); });

        build();
        return keyEls;
    }

    // ---- ledger -------------------------------------------------------
    // What was heard and played: the log of recent messages, the note
    // count, and the lit keys, drawn at most once a frame.

    function createLedger(el, keyEls) {
        var raf = window.requestAnimationFrame
            ? function (fn) { window.requestAnimationFrame(fn); }
            : function (fn) { setTimeout(fn, 16); };

        // What arrived since the last frame; drawn at most once a frame.
        var litIn = new Uint8Array(128);
        var litOut = new Uint8Array(128);
        var shownIn = new Uint8Array(128);
        var shownOut = new Uint8Array(128);
        var logRing = [];        // the ledger's lines, oldest first
        var logDirty = false;
        var logRows = [];        // LOG_LINES rows, the newest line at the top
        var rowEntries = [];     // the entry each row shows now
        var logEmpty = null;     // the "silence" line, until the first entry
        var shownCount = "";
        var keysDirty = false;
        var keysDrawnLast = false;
        var ledgerDrawnAt = -Infinity;
        var ledgerTimer = 0;
        var frameQueued = false;

        function queueFrame() {
            if (frameQueued)
                return;
            frameQueued = true;
            raf(drawFrame);
        }

        function seen(entry, kind) {
            var d = entry.data;
            if (kind !== 0) {
                var n = d[1] & 127;
                var lit = entry.input !== undefined ? litIn : litOut;
                var on = kind > 0 ? 1 : 0;
                if (lit[n] !== on) {
                    lit[n] = on;
                    if (n >= KEY_LOW && n <= KEY_HIGH)
                        keysDirty = true;
                }
            }
            // Clock and active sensing would drown the ledger.
            if (d[0] !== 0xf8 && d[0] !== 0xfe) {
                logRing.push(entry);
                if (logRing.length > LOG_LINES)
                    logRing.shift();
                logDirty = true;
            }
            queueFrame();
        }

        function countText() {
            return notes.length ? notes.length + (notes.length === 1 ? " note" : " notes") : "";
        }

        // Every frame painted holds up the MIDI that arrives meanwhile, so:
        // - The web view paints, in one piece, the bounding box of all that
        //   changed in a frame whenever the changes are many or cover much of
        //   that box. The keyboard and the ledger are far apart: together
        //   their box spans most of the window, while each alone is small. So
        //   when both have changed they take turns, one drawn now and the
        //   other on the next frame.
        // - The keys follow the music and are drawn on the next frame; the
        //   ledger is there to be read, and a stream of messages redraws it
        //   at most every LEDGER_INTERVAL.
        function drawFrame() {
            frameQueued = false;
            var count = countText();
            var ledger = logDirty || count !== shownCount;
            var keys = keysDirty;
            if (ledger) {
                var wait = ledgerDrawnAt + LEDGER_INTERVAL - now();
                if (wait > 0) {
                    ledger = false;
                    if (!ledgerTimer)
                        ledgerTimer = setTimeout(function () { ledgerTimer = 0; queueFrame(); }, wait);
                }
            }
            if (keys && ledger) {
                if (keysDrawnLast)
                    keys = false;
                else
                    ledger = false;
                queueFrame();
            }
            if (keys) {
                keysDirty = false;
                drawKeys();
            }
            if (ledger) {
                ledgerDrawnAt = now();
                if (logDirty) {
                    logDirty = false;
                    drawLog();
                }
                if (count !== shownCount) {
                    shownCount = count;
                    el.noteCount.firstChild.data = count;
                }
            }
            keysDrawnLast = keys;
        }

        function drawKeys() {
            for (var n = KEY_LOW; n <= KEY_HIGH; n++) {
                if (litIn[n] !== shownIn[n]) {
                    shownIn[n] = litIn[n];
                    keyEls[n].classList.toggle("lit-in", litIn[n] === 1);
                }
                if (litOut[n] !== shownOut[n]) {
                    shownOut[n] = litOut[n];
                    keyEls[n].classList.toggle("lit-out", litOut[n] === 1);
                }
            }
        }

        // Text is changed in place, never by replacing nodes or moving rows:
        // a changed text is laid out within the ledger's contained box, while
        // a changed list of children would mark the ledger's own ancestors
        // for layout and repaint the whole hall.
        function setText(s, text) {
            var node = s.firstChild;
            if (node.data !== text)
                node.data = text;
        }

        // The ledger is a fixed set of LOG_LINES rows, made once; each frame
        // the lines move down a row by their text alone.
        function build() {
            logEmpty = document.createElement("li");
            logEmpty.className = "empty";
            logEmpty.textContent = "Silence, for now. Play a key or send some MIDI.";
            el.log.appendChild(logEmpty);
            for (var i = 0; i < LOG_LINES; i++) {
                var li = document.createElement("li");
                li.hidden = true;
                if (i === 0)
                    li.className = "newest";
                li.appendChild(span("t", ""));
                li.appendChild(span("dir", ""));
                li.appendChild(span("port", ""));
                li.appendChild(span("msg", ""));
                el.log.appendChild(li);
                logRows.push(li);
                rowEntries.push(null);
            }
            el.noteCount.textContent = "";
            el.noteCount.appendChild(document.createTextNode(""));
        }

        function drawLog() {
            if (logEmpty && logRing.length) {
                el.log.removeChild(logEmpty);
                logEmpty = null;
            }
            for (var i = 0; i < LOG_LINES; i++) {
                var e = i < logRing.length ? logRing[logRing.length - 1 - i] : null;
                if (e === rowEntries[i])
                    continue;
                rowEntries[i] = e;
                var row = logRows[i];
                if (!e) {
                    row.hidden = true;
                    continue;
                }
                var incoming = e.input !== undefined;
                var cells = row.childNodes;
                var cls = (i === 0 ? "newest " : "") + (incoming ? "in" : "out");
                if (row.className !== cls)
                    row.className = cls;
                setText(cells[0], clockText(e.t));
                setText(cells[1], incoming ? "\u25c2" : "\u25b8");
                setText(cells[2], incoming ? e.input : (e.output || "no output"));
                setText(cells[3], describe(e.data) + (typeof e.gap === "number" ? "  +" + e.gap.toFixed(1) + " ms" : ""));
                if (row.hidden)
                    row.hidden = false;
            }
        }

        build();
        return { seen: seen };
    }

    // ---- settings form and port lists ----------------------------------

    function createSettingsForm(el) {
        function drawOutputSelect() {
            var names = hook.outputs();
            var select = el.outputSelect;
            select.textContent = "";
            select.appendChild(option("", "\u2014 silent (no output) \u2014"));
            var seenNames = {};
            names.forEach(function (name) {
                if (seenNames[name])
                    return;
                seenNames[name] = true;
                select.appendChild(option(name, name));
            });
            if (settings.output && !seenNames[settings.output])
                select.appendChild(option(settings.output, settings.output + " (not connected)"));
            select.value = settings.output;
            if (el.hint) {
                if (hook.status === "no-web-midi" || hook.status === "failed")
                    el.hint.textContent = "No MIDI here: open the game in Lutewyrm to play your instruments.";
                else if (!settings.output)
                    el.hint.textContent = "Choose an output to hear what you play.";
                else
                    el.hint.textContent = outPort || !hook.ready ? "" : "This output is not connected right now.";
            }
        }

        function portItem(name, tagText, cls) {
            var li = document.createElement("li");
            li.appendChild(span("name", name));
            if (tagText)
                li.appendChild(span("tag " + cls, tagText));
            return li;
        }

        function drawPortLists() {
            var outs = document.createDocumentFragment();
            var ins = document.createDocumentFragment();
            if (access) {
                access.outputs.forEach(function (port) {
                    outs.appendChild(portItem(port.name, port === outPort ? "chosen" : "", "chosen"));
                });
                access.inputs.forEach(function (port) {
                    ins.appendChild(portItem(port.name, port.connection === "open" ? "listening" : "", "listening"));
                });
            }
            el.outputList.textContent = "";
            el.inputList.textContent = "";
            if (!outs.childNodes.length)
                outs.appendChild(portItem("none", "", ""));
            if (!ins.childNodes.length)
                ins.appendChild(portItem("none", "", ""));
            el.outputList.appendChild(outs);
            el.inputList.appendChild(ins);
            el.outputList.classList.toggle("empty", !access || access.outputs.size === 0);
            el.inputList.classList.toggle("empty", !access || access.inputs.size === 0);
        }

        function draw() {
            drawOutputSelect();
            el.channelSelect.value = String(settings.channel);
            el.velocity.value = String(settings.velocity);
            el.velocityValue.textContent = String(settings.velocity);
            el.thru.checked = settings.thru;
            drawPortLists();
        }

        for (var c = 0; c <= 16; c++)
            el.channelSelect.appendChild(option(String(c), c === 0 ? "Keep (notes on 1)" : "Channel " + c));

        el.outputSelect.addEventListener("change", function () { hook.selectOutput(el.outputSelect.value); });
        el.channelSelect.addEventListener("change", function () { hook.setChannel(Number(el.channelSelect.value)); });
        el.velocity.addEventListener("input", function () { el.velocityValue.textContent = el.velocity.value; });
        el.velocity.addEventListener("change", function () { hook.setVelocity(Number(el.velocity.value)); });
        el.thru.addEventListener("change", function () { hook.setThru(el.thru.checked); });
        el.save.addEventListener("click", function () { hook.saveNotes(); });

        draw();
        return { draw: draw };
    }

    // ---- status ---------------------------------------------------------

    function createStatus(el) {
        function draw() {
            var text;
            var cls;
            if (hook.status === "failed") {
                text = "Web MIDI refused: " + hook.error;
                cls = "bad";
            } else if (webMidiKind === "host") {
                text = "Web MIDI: connected via host";
                cls = "ok";
            } else if (webMidiKind === "browser") {
                text = hook.bridge ? "Web MIDI: browser's own (host script missing)" : "Web MIDI: browser's own \u00b7 no host bridge";
                cls = "warn";
            } else {
                text = "No Web MIDI \u00b7 no host bridge";
                cls = "bad";
            }
            el.status.textContent = text;
            el.status.className = "pill " + cls;
            document.body.classList.toggle("no-midi", hook.status !== "ready" && hook.status !== "starting");
        }

        if (el.mode)
            el.mode.textContent = isPlugin ? "Plug-in" : "Standalone";
        if (el.instance && instanceId !== null) {
            el.instance.textContent = "instance " + (instanceId.length > 10 ? instanceId.slice(0, 8) + "\u2026" : instanceId);
            el.instance.title = "Instance " + instanceId;
        }

        draw();
        return { draw: draw };
    }

    // In a plain browser "Save notes" offers the text as a download.
    function download(filename, content) {
        if (typeof Blob === "undefined" || !window.URL || !URL.createObjectURL)
            return;
        var url = URL.createObjectURL(new Blob([content], { type: "text/plain" }));
        var a = document.createElement("a");
        a.href = url;
        a.download = filename;
        document.body.appendChild(a);
        a.click();
        a.remove();
        setTimeout(function () { URL.revokeObjectURL(url); }, 1000);
    }

    function createView() {
        var el = pageElements();
        if (!el)
            return NO_VIEW;

        var ledger = createLedger(el, createKeyboard(el));
        var form = createSettingsForm(el);
        var status = createStatus(el);

        return {
            seen: ledger.seen,
            portsChanged: form.draw,
            settingsChanged: form.draw,
            statusChanged: function () {
                status.draw();
                form.draw();
            },
            download: download,
        };
    }

    view = createView();
    start();
})();
