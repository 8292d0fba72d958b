// Tests of page/webmidi-shim.js, run from the file itself in a fresh script
// context per case (see harness.mjs).

import { describe, test } from "node:test";
import assert from "node:assert/strict";
import { access, entries, loadPage, settle, shimText } from "./harness.mjs";

const tag = (v) => Object.prototype.toString.call(v);
const mapSummary = (map) => Array.from(map, ([key, port]) => [key, port.id, port.name, port._idx]);

// Listeners a page may pass that are not functions.
const notFunctions = [
    ["an object with handleEvent", { handleEvent() {} }],
    ["a string", "onMessage"],
    ["null", null],
];

async function isSettled(promise) {
    let done = false;
    promise.then(() => { done = true; });
    await settle();
    return done;
}

describe("script text and start-up", () => {
    test("the text starts with a line feed, ends with a newline and is plain ASCII", () => {
        assert.equal(shimText[0], "\n");
        assert.equal(shimText[shimText.length - 1], "\n");
        assert.match(shimText, /^[\x09\x0a\x0d\x20-\x7e]*$/);
    });

    test("leaves no global names behind and only replaces navigator.requestMIDIAccess", () => {
        const page = loadPage({ outputs: entries("Synth"), inputs: entries("Keys"), shim: false });
        const before = Array.from(page.run("Object.getOwnPropertyNames(globalThis)"));
        const originalRequest = () => "browser's own";
        page.navigator.requestMIDIAccess = originalRequest;

        page.run(shimText);

        const after = Array.from(page.run("Object.getOwnPropertyNames(globalThis)"));
        assert.deepEqual(after.filter((n) => !before.includes(n)), []);
        assert.equal(typeof page.navigator.requestMIDIAccess, "function");
        assert.notEqual(page.navigator.requestMIDIAccess, originalRequest);
        assert.deepEqual(Object.keys(page.navigator), ["requestMIDIAccess"]);
        assert.deepEqual(page.bridge.listeners.map((l) => l.name), ["midiReceive", "midiPortsChanged", "lwClockPong"]);
        assert.deepEqual(page.bridge.emitted, []);
    });

    test("on an engine with its own Web MIDI, the host's is the navigator's own and the engine's stays as it was", async () => {
        // As an engine declares it: a method of Navigator.prototype.
        function Navigator() {}
        const own = () => "the engine's own";
        Object.defineProperty(Navigator.prototype, "requestMIDIAccess", { value: own, writable: true, enumerable: true, configurable: true });
        const navigator = new Navigator();

        const page = loadPage({ outputs: entries("Synth"), inputs: entries("Keys"), navigator });

        assert.ok(Object.hasOwn(navigator, "requestMIDIAccess"));
        assert.notEqual(navigator.requestMIDIAccess, own);
        assert.equal(Object.getPrototypeOf(navigator), Navigator.prototype);
        assert.deepEqual(Object.getOwnPropertyDescriptor(Navigator.prototype, "requestMIDIAccess"),
                         { value: own, writable: true, enumerable: true, configurable: true });
        const a = await access(page);
        assert.deepEqual(mapSummary(a.outputs), [["0", "0", "Synth", 0]]);
        assert.deepEqual(mapSummary(a.inputs), [["0", "0", "Keys", 0]]);
    });

    const listCases = [
        {
            name: "neither list declared",
            outputs: null,
            inputs: null,
            expectOut: [],
            expectIn: [],
        },
        {
            name: "both lists declared",
            outputs: entries("Synth A", "Synth B"),
            inputs: entries("Keys"),
            expectOut: [["0", "0", "Synth A", 0], ["1", "1", "Synth B", 1]],
            expectIn: [["0", "0", "Keys", 0]],
        },
        {
            name: "only the outputs declared",
            outputs: entries("Synth"),
            inputs: null,
            expectOut: [["0", "0", "Synth", 0]],
            expectIn: [],
        },
        {
            name: "only the inputs declared",
            outputs: null,
            inputs: entries("DAW (host track)"),
            expectOut: [],
            expectIn: [["0", "0", "DAW (host track)", 0]],
        },
        {
            name: "ports are numbered by position, not by the entries' ids",
            outputs: [{ id: 7, name: "Far" }, { id: 3, name: "Near" }],
            inputs: [{ id: "9", name: "Pads" }],
            expectOut: [["0", "0", "Far", 0], ["1", "1", "Near", 1]],
            expectIn: [["0", "0", "Pads", 0]],
        },
    ];
    for (const c of listCases) {
        test(`port lists: ${c.name}`, async () => {
            const page = loadPage({ outputs: c.outputs, inputs: c.inputs });
            const a = await access(page);
            assert.deepEqual(mapSummary(a.outputs), c.expectOut);
            assert.deepEqual(mapSummary(a.inputs), c.expectIn);
            assert.equal(a.sysexEnabled, false);
        });
    }
});

describe("access and port objects", () => {
    test("fields are set in order with their initial values", async () => {
        const page = loadPage({ outputs: entries("Synth"), inputs: entries("Keys") });
        const a = await access(page);
        const out = a.outputs.get("0");
        const inp = a.inputs.get("0");

        assert.deepEqual(Object.keys(a), ["inputs", "outputs", "sysexEnabled", "onstatechange", "_scListeners"]);
        assert.equal(tag(a.inputs), "[object Map]");
        assert.equal(tag(a.outputs), "[object Map]");
        assert.equal(a.sysexEnabled, false);
        assert.equal(a.onstatechange, null);
        assert.equal(a._scListeners.length, 0);

        assert.deepEqual(Object.entries(out), [
            ["id", "0"], ["name", "Synth"], ["manufacturer", ""], ["version", "1.0"], ["type", "output"],
            ["state", "connected"], ["connection", "open"], ["onstatechange", null], ["_idx", 0],
        ]);

        const inputFields = Object.entries(inp);
        assert.deepEqual(inputFields.slice(0, 10), [
            ["id", "0"], ["name", "Keys"], ["manufacturer", ""], ["version", "1.0"], ["type", "input"],
            ["state", "connected"], ["connection", "closed"], ["_onmidi", null], ["onstatechange", null], ["_idx", 0],
        ]);
        assert.equal(inputFields[10][0], "_listeners");
        assert.equal(inputFields.length, 11);
        assert.equal(inp._listeners.length, 0);
    });

    test("onmidimessage is one enumerable, configurable accessor on the shared input prototype", async () => {
        const page = loadPage({ outputs: entries("Synth"), inputs: entries("A", "B") });
        const first = await access(page);
        const second = await access(page);
        const proto = Object.getPrototypeOf(first.inputs.get("0"));

        for (const port of [first.inputs.get("1"), second.inputs.get("0")])
            assert.equal(Object.getPrototypeOf(port), proto);
        assert.equal(Object.getOwnPropertyDescriptor(first.inputs.get("0"), "onmidimessage"), undefined);

        const d = Object.getOwnPropertyDescriptor(proto, "onmidimessage");
        assert.equal(typeof d.get, "function");
        assert.equal(typeof d.set, "function");
        assert.equal(d.enumerable, true);
        assert.equal(d.configurable, true);
    });

    test("outputs and inputs offer only their own operations", async () => {
        const page = loadPage({ outputs: entries("Synth"), inputs: entries("Keys") });
        const a = await access(page);
        const out = a.outputs.get("0");
        const inp = a.inputs.get("0");
        for (const name of ["send", "clear", "open", "close"])
            assert.equal(typeof out[name], "function", `output ${name}`);
        for (const name of ["addEventListener", "removeEventListener", "onmidimessage"])
            assert.equal(out[name], undefined, `output ${name}`);
        for (const name of ["addEventListener", "removeEventListener", "open", "close"])
            assert.equal(typeof inp[name], "function", `input ${name}`);
        for (const name of ["send", "clear"])
            assert.equal(inp[name], undefined, `input ${name}`);
    });

    const requestArgs = [
        ["no arguments", []],
        ["sysex requested", [{ sysex: true }]],
        ["sysex and software requested", [{ sysex: true, software: true }]],
        ["nonsense arguments", ["midi please", 42, null]],
    ];
    for (const [name, args] of requestArgs) {
        test(`requestMIDIAccess with ${name}: an already resolved promise of a new access object`, async () => {
            const page = loadPage({ outputs: entries("Synth"), inputs: entries("Keys") });
            const earlier = await access(page);
            const promise = page.navigator.requestMIDIAccess(...args);
            assert.equal(await isSettled(promise), true);
            const a = await promise;
            assert.equal(a.sysexEnabled, false);
            assert.notEqual(a, earlier);
            assert.notEqual(a.outputs.get("0"), earlier.outputs.get("0"));
            assert.notEqual(a.inputs.get("0"), earlier.inputs.get("0"));
        });
    }

    const openClose = [
        ["output", "open", "open"],
        ["output", "close", "open"],
        ["input", "close", "closed"],
    ];
    for (const [kind, method, connection] of openClose) {
        test(`${kind} ${method} resolves with the port, emits nothing and leaves connection "${connection}"`, async () => {
            const page = loadPage({ outputs: entries("Synth"), inputs: entries("Keys") });
            const a = await access(page);
            const port = (kind === "output" ? a.outputs : a.inputs).get("0");
            const promise = port[method]();
            assert.equal(await isSettled(promise), true);
            assert.equal(await promise, port);
            assert.equal(port.connection, connection);
            assert.deepEqual(page.bridge.emitted, []);
        });
    }
});

// Answers the shim's clock round as a host whose clock reads the page's
// time plus offset: each trip is [ms from question to the host's reading,
// ms from that reading to the answer reaching the page].
function answerClockRound(page, offset, trips) {
    for (const [there, back] of trips) {
        const asked = page.bridge.events("lwClockPing").at(-1);
        page.clock.advance(there);
        const hostTime = page.clock.now() + offset;
        page.clock.advance(back);
        page.bridge.fire("lwClockPong", { id: asked.id, time: hostTime });
    }
}

// A page whose shim knows the host's clock: offset, measured by one quick
// round of trips of a quarter millisecond each way (so known to 0.25 ms).
async function pageWithClock(options, offset = 5000.5) {
    const page = loadPage(options);
    const a = await access(page);
    page.clock.advance(0);
    answerClockRound(page, offset, Array(8).fill([0.25, 0.25]));
    page.bridge.clear();
    return { page, a };
}

// The time a message played at hostTime gets on the page.
function stampOf(page, a, hostTime) {
    let got;
    a.inputs.get("0").onmidimessage = (ev) => { got = ev.timeStamp; };
    page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1], time: hostTime });
    return got;
}

describe("the host's clock", () => {
    test("rounds of eight questions start once the script has run and soon again twice; later, two while MIDI flows", async () => {
        const page = loadPage({ inputs: entries("Keys"), outputs: entries("Synth") });
        assert.deepEqual(page.bridge.events("lwClockPing"), [], "nothing is emitted while the bootstrap runs");
        page.clock.advance(0);
        assert.deepEqual(page.bridge.events("lwClockPing"), [{ id: 1 }]);
        answerClockRound(page, 100, Array(8).fill([0.5, 0.5]));
        assert.equal(page.bridge.events("lwClockPing").length, 8, "one question per answer, eight a round");

        // Only the first question of each later round goes unanswered here.
        const roundsStarted = (until) => {
            const startsAt = [];
            while (page.clock.now() < until) {
                const before = page.bridge.events("lwClockPing").length;
                page.clock.advance(1);
                if (page.bridge.events("lwClockPing").length > before)
                    startsAt.push(page.clock.now() - 1000);
            }
            return startsAt;
        };
        assert.deepEqual(roundsStarted(1000 + 30000), [250, 1000], "an idle page asks nothing after its first second");

        // MIDI flows: a round after the first message, then none for five seconds.
        const a = await access(page);
        a.inputs.get("0").onmidimessage = () => {};
        const heardAt = page.clock.now() - 1000;
        for (let i = 0; i < 3; i++)
            page.bridge.fire("midiReceive", { port: 0, data: [0xf8] });
        assert.deepEqual(roundsStarted(page.clock.now() + 10), [heardAt + 1], "one round, on the next turn");
        const before = page.bridge.events("lwClockPing").length;
        answerClockRound(page, 100, [[0.5, 0.5]]);
        answerClockRound(page, 100, [[0.5, 0.5]]);
        assert.equal(page.bridge.events("lwClockPing").length, before + 1, "a later round asks twice");

        page.clock.advance(4000);
        a.outputs.get("0").send([0x90, 60, 1]);
        assert.deepEqual(roundsStarted(page.clock.now() + 10), []);
        page.clock.advance(1000);
        a.outputs.get("0").send([0x80, 60, 0]);
        assert.equal(roundsStarted(page.clock.now() + 10).length, 1, "a send counts as MIDI flowing too");
    });

    // offset 5000.5; the estimate is the middle of the tightest bounds:
    // the host read its clock after the question left and before the answer
    // came back, on a clock that may be floored to whole milliseconds.
    const O = 5000.5;
    const rounds = [
        {
            name: "a fine clock: the fastest leg each way bounds it",
            rounds: [[[2.25, 3.5], [0.25, 4.5], [3.5, 0.125], [1.5, 1.5]]],
            expected: O + (0.25 - 0.125) / 2,
        },
        {
            name: "a clock floored to whole milliseconds: the answer's side is a millisecond wider",
            rounds: [[[2, 3], [1, 4], [3, 1], [1, 2]]],
            expected: O + (1 - 1 - 1) / 2,
        },
        {
            name: "a later round narrows what an earlier one left",
            rounds: [[[3.5, 3.5]], [[0.25, 3.75], [3.75, 0.125]]],
            expected: O + (0.25 - 0.125) / 2,
        },
        {
            name: "a round that contradicts the bounds (a clock jumped) starts them again",
            rounds: [[[0.25, 0.25]], [[0.25, 0.25]]],
            offsets: [O - 40, O],
            expected: O,
        },
    ];
    for (const c of rounds) {
        test(`the mapping: ${c.name}`, async () => {
            const page = loadPage({ inputs: entries("Keys") });
            const a = await access(page);
            page.clock.advance(0);
            const roundStarts = [0, 250, 1000];
            c.rounds.forEach((trips, i) => {
                page.clock.advance(1000 + roundStarts[i] - page.clock.now());
                answerClockRound(page, (c.offsets ?? [])[i] ?? O, trips);
            });
            const hostTime = page.clock.now() + O - 3;
            assert.ok(Math.abs(stampOf(page, a, hostTime) - (hostTime - c.expected)) < 1e-9);
        });
    }

    const ignored = [
        ["an answer to an earlier question", (asked) => ({ id: asked.id - 1, time: 9e9 })],
        ["an answer without a time", (asked) => ({ id: asked.id })],
        ["an answer whose time is not a number", (asked) => ({ id: asked.id, time: "soon" })],
        ["an answer after the round has ended", null],
    ];
    for (const [name, answer] of ignored) {
        test(`${name} changes nothing`, async () => {
            const { page, a } = await pageWithClock({ inputs: entries("Keys") });
            const before = stampOf(page, a, 7000);
            if (answer === null) {
                // The round's last question (the eighth), answered again.
                page.bridge.fire("lwClockPong", { id: 8, time: 12345 });
            } else {
                page.clock.advance(250);
                page.bridge.fire("lwClockPong", answer(page.bridge.events("lwClockPing").at(-1)));
            }
            assert.equal(stampOf(page, a, 7000), before);
        });
    }

    test("a received message is stamped with its host time mapped onto the page's clock, or with its arrival before that is known", async () => {
        const page = loadPage({ inputs: entries("Keys") });
        const a = await access(page);
        const stamps = [];
        a.inputs.get("0").onmidimessage = (ev) => stamps.push([ev.type, ev.timeStamp]);

        page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1], time: 123456 });
        page.clock.advance(0);
        // A slow first trip, as while the page loads: too loose to stamp by.
        answerClockRound(page, 5000.5, [[3, 3]]);
        page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1], time: 9000 });
        answerClockRound(page, 5000.5, Array(7).fill([0.25, 0.25]));
        page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1], time: 9000 });
        page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1] });

        assert.deepEqual(stamps, [["midimessage", 1000], ["midimessage", 1006], ["midimessage", 9000 - 5000.5],
                                  ["midimessage", page.clock.now()]]);
    });
});

describe("output send", () => {
    const NOW = 1000;
    const timing = [
        { name: "without a time stamp", args: [], ahead: 0 },
        { name: "with time stamp zero", args: [0], ahead: 0 },
        { name: "0.5 ms ahead", args: [NOW + 0.5], ahead: 0 },
        { name: "exactly 1 ms ahead", args: [NOW + 1], ahead: 0 },
        { name: "in the past", args: [NOW - 25], ahead: 0 },
        { name: "1.5 ms ahead", args: [NOW + 1.5], ahead: 1.5 },
        { name: "10 ms ahead", args: [NOW + 10], ahead: 10 },
    ];
    for (const c of timing) {
        test(`send ${c.name}: ${c.ahead ? "the host sends it when due" : "goes out at once"}`, async () => {
            const { page, a } = await pageWithClock({ outputs: entries("A", "B", "C") });
            page.clock.time = NOW;
            a.outputs.get("1").send([0x90, 60, 100], ...c.args);
            const expected = { port: 1, data: [144, 60, 100] };
            if (c.ahead)
                expected.time = NOW + c.ahead + 5000.5;
            const sent = page.bridge.events("midiSend");
            assert.equal(sent.length, 1);
            assert.deepEqual(Object.keys(sent[0]), Object.keys(expected));
            assert.equal(sent[0].port, 1);
            assert.deepEqual(sent[0].data, expected.data);
            if (c.ahead)
                assert.ok(Math.abs(sent[0].time - expected.time) < 0.25 + 1e-9, "within what the mapping knows");
        });

        test(`send ${c.name} before the host's clock is known ${c.ahead ? `waits ${c.ahead} ms here` : "goes out at once"}`, async () => {
            const page = loadPage({ outputs: entries("A", "B", "C") });
            const a = await access(page);
            a.outputs.get("1").send([0x90, 60, 100], ...c.args);

            const expected = [{ port: 1, data: [144, 60, 100] }];
            if (c.ahead === 0) {
                assert.deepEqual(page.bridge.events("midiSend"), expected);
                return;
            }
            assert.deepEqual(page.bridge.events("midiSend"), []);
            page.clock.advance(c.ahead - 0.01);
            assert.deepEqual(page.bridge.events("midiSend"), []);
            page.clock.advance(0.01);
            assert.deepEqual(page.bridge.events("midiSend"), expected);
        });
    }

    const dataForms = [
        ["a plain array", () => [0x90, 60, 100], [144, 60, 100]],
        ["a Uint8Array", () => new Uint8Array([0x80, 60, 0]), [128, 60, 0]],
        ["an array-like object", () => ({ length: 2, 0: 0xc0, 1: 5 }), [192, 5]],
        ["a system-exclusive message", () => [0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7], [240, 126, 127, 6, 1, 247]],
        ["values that are not bytes", () => [400, -1, 60.9], [400, -1, 60.9]],
        ["an empty array", () => [], []],
    ];
    for (const [name, make, expected] of dataForms) {
        test(`send passes ${name} on as a new plain array`, async () => {
            const page = loadPage({ outputs: entries("Synth") });
            const a = await access(page);
            const data = make();
            a.outputs.get("0").send(data);
            const [sent] = page.bridge.emitted;
            assert.equal(sent.name, "midiSend");
            assert.equal(JSON.stringify(sent.payload), JSON.stringify({ port: 0, data: expected }));
            assert.ok(Array.isArray(sent.raw.data));
            assert.notEqual(sent.raw.data, data);
        });
    }

    for (const clockKnown of [true, false]) {
        test(`a timed send carries the bytes as they were at the call (${clockKnown ? "timed by the host" : "timed here"})`, async () => {
            const { page, a } = clockKnown ? await pageWithClock({ outputs: entries("Synth") })
                                           : await (async () => { const p = loadPage({ outputs: entries("Synth") }); return { page: p, a: await access(p) }; })();
            const data = [0x90, 60, 100];
            a.outputs.get("0").send(data, page.clock.now() + 10);
            data[0] = 0x80;
            data[2] = 0;
            page.clock.advance(10);
            assert.deepEqual(page.bridge.events("midiSend").map((p) => p.data), [[144, 60, 100]]);
        });
    }

    test("clear drops only its own port's sends waiting here, and asks the host to drop that port's", async () => {
        const page = loadPage({ outputs: entries("A", "B") });
        const a = await access(page);
        const [outA, outB] = [a.outputs.get("0"), a.outputs.get("1")];
        outA.send([0x90, 60, 100], page.clock.now() + 5);
        outB.send([0x90, 61, 100], page.clock.now() + 5);
        outA.send([0x90, 62, 100]);
        outA.clear();
        outA.send([0x90, 63, 100], page.clock.now() + 6);
        page.clock.advance(6);
        assert.deepEqual(page.bridge.emitted.filter((e) => e.name.startsWith("midi")).map((e) => [e.name, e.payload.port, e.payload.data?.[1]]),
                         [["midiSend", 0, 62], ["midiClear", 0, undefined], ["midiSend", 1, 61], ["midiSend", 0, 63]]);
    });

    test("with the host's clock known, clear is the host's to carry out", async () => {
        const { page, a } = await pageWithClock({ outputs: entries("A", "B") });
        a.outputs.get("1").send([0x90, 60, 100], page.clock.now() + 50);
        a.outputs.get("1").clear();
        assert.deepEqual(page.bridge.emitted.map((e) => e.name), ["midiSend", "midiClear"]);
        assert.deepEqual(page.bridge.events("midiClear"), [{ port: 1 }]);
    });
});

describe("opening inputs", () => {
    const f = () => {};
    const g = () => {};
    const obj = { handleEvent() {} };
    // Each case acts on input "1"; every emitted open must carry port 1.
    const cases = [
        { name: "assigning a handler", act: (p) => { p.onmidimessage = f; }, opens: 1, connection: "open", reads: f },
        { name: "assigning the same handler twice", act: (p) => { p.onmidimessage = f; p.onmidimessage = f; }, opens: 2, connection: "open", reads: f },
        { name: "assigning null after a handler", act: (p) => { p.onmidimessage = f; p.onmidimessage = null; }, opens: 1, connection: "open", reads: null },
        ...[undefined, false, 0, NaN, ""].map((v) => ({
            name: `assigning ${JSON.stringify(v) ?? "undefined"}${Number.isNaN(v) ? " (NaN)" : ""}`,
            act: (p) => { p.onmidimessage = v; }, opens: 0, connection: "closed", reads: null,
        })),
        { name: "assigning an object", act: (p) => { p.onmidimessage = obj; }, opens: 0, connection: "closed", reads: obj },
        { name: "adding a midimessage listener", act: (p) => p.addEventListener("midimessage", f), opens: 1, connection: "open", listeners: 1 },
        { name: "adding the same listener twice", act: (p) => { p.addEventListener("midimessage", f); p.addEventListener("midimessage", f); }, opens: 2, connection: "open", listeners: 1 },
        { name: "adding two listeners", act: (p) => { p.addEventListener("midimessage", f); p.addEventListener("midimessage", g); }, opens: 2, connection: "open", listeners: 2 },
        { name: "adding a listener that is not a function", act: (p) => p.addEventListener("midimessage", "nope"), opens: 1, connection: "open", listeners: 1 },
        { name: "adding a statechange listener", act: (p) => p.addEventListener("statechange", f), opens: 0, connection: "closed", listeners: 0 },
        { name: "adding a listener of a differently spelt type", act: (p) => p.addEventListener("MIDIMessage", f), opens: 0, connection: "closed", listeners: 0 },
        { name: "removing a listener", act: (p) => { p.addEventListener("midimessage", f); p.removeEventListener("midimessage", f); }, opens: 1, connection: "open", listeners: 0 },
        { name: "removing under another type", act: (p) => { p.addEventListener("midimessage", f); p.removeEventListener("statechange", f); }, opens: 1, connection: "open", listeners: 1 },
        { name: "calling open twice", act: (p) => { p.open(); p.open(); }, opens: 2, connection: "open", reads: null },
        { name: "closing after a handler", act: (p) => { p.onmidimessage = f; p.close(); }, opens: 1, connection: "closed", reads: f },
    ];
    for (const c of cases) {
        test(c.name, async () => {
            const page = loadPage({ inputs: entries("A", "B") });
            const a = await access(page);
            const port = a.inputs.get("1");
            c.act(port);
            assert.deepEqual(page.bridge.emitted.map((e) => e.name), Array(c.opens).fill("midiOpenInput"));
            assert.deepEqual(page.bridge.emitted.map((e) => e.payload), Array(c.opens).fill({ port: 1 }));
            assert.equal(port.connection, c.connection);
            if ("reads" in c)
                assert.equal(port.onmidimessage, c.reads);
            if ("listeners" in c)
                assert.equal(port._listeners.length, c.listeners);
            assert.equal(a.inputs.get("0").connection, "closed");
        });
    }
});

describe("incoming MIDI", () => {
    test("the handler, then the listeners in order, all get one shared message object", async () => {
        const page = loadPage({ inputs: entries("A", "B") });
        const a = await access(page);
        const input = a.inputs.get("0");
        const calls = [];
        input.onmidimessage = function (ev) { calls.push(["handler", this, ev]); };
        input.addEventListener("midimessage", function (ev) { calls.push(["first", this, ev]); });
        input.addEventListener("midimessage", function (ev) { calls.push(["second", this, ev]); });

        page.bridge.fire("midiReceive", { port: 0, data: [128, 60, 0] });

        assert.deepEqual(calls.map((c) => c[0]), ["handler", "first", "second"]);
        const ev = calls[0][2];
        for (const c of calls)
            assert.equal(c[2], ev);
        assert.deepEqual(Object.keys(ev), ["data", "target", "timeStamp", "type"]);
        assert.equal(ev.type, "midimessage");
        assert.equal(ev.timeStamp, page.clock.now(), "stamped on arrival while the host's clock is unknown");
        assert.equal(tag(ev.data), "[object Uint8Array]");
        assert.deepEqual(Array.from(ev.data), [128, 60, 0]);
        assert.equal(ev.target, input);
        assert.equal(calls[0][1], input, "the handler is called as a method of the input");
        assert.notEqual(calls[1][1], input, "listeners are plain calls");
        assert.notEqual(calls[2][1], input, "listeners are plain calls");

        page.bridge.fire("midiReceive", { port: 0, data: [144, 62, 90] });
        assert.notEqual(calls[3][2], ev);
        assert.notEqual(calls[3][2].data, ev.data);
        assert.deepEqual(Array.from(ev.data), [128, 60, 0]);
    });

    // Each case sets up handlers that log into `got`, then fires one message.
    const routing = [
        {
            name: "a port with no input is dropped",
            setup: (a, got) => { a.inputs.get("0").onmidimessage = () => got.push("0"); },
            fire: { port: 2, data: [144, 60, 1] },
            expect: [],
        },
        {
            name: "only the addressed input receives",
            setup: (a, got) => {
                a.inputs.get("0").onmidimessage = () => got.push("0");
                a.inputs.get("1").addEventListener("midimessage", () => got.push("1"));
            },
            fire: { port: 1, data: [144, 60, 1] },
            expect: ["1"],
        },
        {
            name: "a closed input still receives",
            setup: (a, got) => {
                const input = a.inputs.get("0");
                input.onmidimessage = () => got.push("handler");
                input.addEventListener("midimessage", () => got.push("listener"));
                input.close();
            },
            fire: { port: 0, data: [144, 60, 1] },
            expect: ["handler", "listener"],
        },
        {
            name: "a removed listener and a cleared handler receive nothing",
            setup: (a, got) => {
                const input = a.inputs.get("0");
                const gone = () => got.push("gone");
                input.onmidimessage = () => got.push("old handler");
                input.onmidimessage = null;
                input.addEventListener("midimessage", gone);
                input.addEventListener("midimessage", () => got.push("kept"));
                input.removeEventListener("midimessage", gone);
            },
            fire: { port: 0, data: [144, 60, 1] },
            expect: ["kept"],
        },
        {
            name: "a listener that removes itself does not make the next one miss the message",
            setup: (a, got) => {
                const input = a.inputs.get("0");
                const once = () => { got.push("once"); input.removeEventListener("midimessage", once); };
                input.addEventListener("midimessage", once);
                input.addEventListener("midimessage", () => got.push("next"));
            },
            fire: { port: 0, data: [144, 60, 1] },
            expect: ["once", "next"],
        },
        {
            name: "a system-exclusive message arrives whole",
            setup: (a, got) => { a.inputs.get("1").onmidimessage = (ev) => got.push(Array.from(ev.data)); },
            fire: { port: 1, data: [240, 1, 2, 3, 4, 5, 6, 247] },
            expect: [[240, 1, 2, 3, 4, 5, 6, 247]],
        },
    ];
    for (const c of routing) {
        test(c.name, async () => {
            const page = loadPage({ inputs: entries("A", "B") });
            const a = await access(page);
            const got = [];
            c.setup(a, got);
            page.bridge.fire("midiReceive", c.fire);
            assert.deepEqual(got, c.expect);
        });
    }

    test("a message before requestMIDIAccess is dropped", async () => {
        const page = loadPage({ inputs: entries("A") });
        page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1] });
        const a = await access(page);
        const got = [];
        a.inputs.get("0").onmidimessage = (ev) => got.push(Array.from(ev.data));
        page.bridge.fire("midiReceive", { port: 0, data: [128, 60, 0] });
        assert.deepEqual(got, [[128, 60, 0]]);
    });

    const throwing = [
        { name: "a throwing handler stops the listeners", throwAt: "handler", expect: ["handler"] },
        { name: "a throwing listener stops the listeners after it", throwAt: "first", expect: ["handler", "first"] },
    ];
    for (const c of throwing) {
        test(`${c.name}, and the exception is not swallowed`, async () => {
            const page = loadPage({ inputs: entries("A") });
            const a = await access(page);
            const input = a.inputs.get("0");
            const got = [];
            const step = (name) => () => {
                got.push(name);
                if (name === c.throwAt)
                    throw new Error("boom " + name);
            };
            input.onmidimessage = step("handler");
            input.addEventListener("midimessage", step("first"));
            input.addEventListener("midimessage", step("second"));
            assert.throws(() => page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1] }), /boom/);
            assert.deepEqual(got, c.expect);
        });
    }

    // A page written for the browser's own Web MIDI may pass these; the shim
    // stores them (adding one still opens the port) but never calls them.
    for (const [name, listener] of notFunctions) {
        test(`a midimessage listener that is ${name} keeps no one from the message`, async () => {
            const page = loadPage({ inputs: entries("A") });
            const a = await access(page);
            const input = a.inputs.get("0");
            const got = [];
            input.onmidimessage = () => got.push("handler");
            input.addEventListener("midimessage", () => got.push("before"));
            input.addEventListener("midimessage", listener);
            input.addEventListener("midimessage", () => got.push("after"));
            assert.doesNotThrow(() => page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1] }));
            assert.deepEqual(got, ["handler", "before", "after"]);
        });
    }
});

describe("device-list changes", () => {
    const newLists = { outputs: entries("Synth B", "Synth C"), inputs: entries("Pads", "Keys") };

    test("the state-change handler, then the listeners in order, get one empty event and failures stay local", async () => {
        const page = loadPage({ outputs: entries("Synth A"), inputs: entries("Keys") });
        const a = await access(page);
        const calls = [];
        a.onstatechange = function (ev) { calls.push(["handler", this, ev]); throw new Error("handler fails"); };
        a.addEventListener("statechange", (ev) => { calls.push(["first", null, ev]); throw new Error("listener fails"); });
        a.addEventListener("statechange", (ev) => calls.push(["second", null, ev]));
        a.outputs.get("0").onstatechange = () => calls.push(["output port"]);
        a.inputs.get("0").onstatechange = () => calls.push(["input port"]);

        page.bridge.fire("midiPortsChanged", newLists);

        assert.deepEqual(calls.map((c) => c[0]), ["handler", "first", "second"]);
        assert.equal(calls[0][1], a, "onstatechange is called as a method of the access object");
        assert.deepEqual(Object.keys(calls[0][2]), []);
        assert.equal(calls[1][2], calls[0][2]);
        assert.equal(calls[2][2], calls[0][2]);

        page.bridge.fire("midiPortsChanged", newLists);
        assert.equal(calls.length, 6, "every event notifies, even when nothing changed");
    });

    const f = () => {};
    // Each case registers state-change listeners; the names of those called
    // on the next change are compared.
    const registration = [
        { name: "the same listener added twice is called once", act: (a, L) => { a.addEventListener("statechange", L.f); a.addEventListener("statechange", L.f); }, expect: ["f"], kept: 1 },
        { name: "listeners that are not functions are ignored", act: (a) => { a.addEventListener("statechange", "f"); a.addEventListener("statechange", { handleEvent: f }); }, expect: [], kept: 0 },
        { name: "other event types are ignored", act: (a, L) => a.addEventListener("midimessage", L.f), expect: [], kept: 0 },
        { name: "a removed listener is not called", act: (a, L) => { a.addEventListener("statechange", L.f); a.addEventListener("statechange", L.g); a.removeEventListener("statechange", L.f); }, expect: ["g"], kept: 1 },
        { name: "removing under another type keeps the listener", act: (a, L) => { a.addEventListener("statechange", L.f); a.removeEventListener("midimessage", L.f); }, expect: ["f"], kept: 1 },
        { name: "an onstatechange that is not a function is skipped", act: (a, L) => { a.onstatechange = "f"; a.addEventListener("statechange", L.g); }, expect: ["g"], kept: 1 },
    ];
    for (const c of registration) {
        test(c.name, async () => {
            const page = loadPage({ outputs: entries("Synth A") });
            const a = await access(page);
            const called = [];
            const L = { f: () => called.push("f"), g: () => called.push("g") };
            c.act(a, L);
            assert.equal(a._scListeners.length, c.kept);
            page.bridge.fire("midiPortsChanged", newLists);
            assert.deepEqual(called, c.expect);
        });
    }

    for (const [name, listener] of notFunctions) {
        test(`a statechange listener that is ${name} keeps no one from the change`, async () => {
            const page = loadPage({ outputs: entries("Synth A") });
            const a = await access(page);
            const got = [];
            a.onstatechange = () => got.push("handler");
            a.addEventListener("statechange", () => got.push("before"));
            a.addEventListener("statechange", listener);
            a.addEventListener("statechange", () => got.push("after"));
            assert.doesNotThrow(() => page.bridge.fire("midiPortsChanged", newLists));
            assert.deepEqual(got, ["handler", "before", "after"]);
        });
    }

    test("a listener that removes itself misses only the changes after, and the ones after it still get this one", async () => {
        const page = loadPage({ outputs: entries("Synth A") });
        const a = await access(page);
        const got = [];
        const once = () => { got.push("once"); a.removeEventListener("statechange", once); };
        a.addEventListener("statechange", () => got.push("first"));
        a.addEventListener("statechange", once);
        a.addEventListener("statechange", () => got.push("second"));
        a.addEventListener("statechange", () => got.push("third"));

        page.bridge.fire("midiPortsChanged", newLists);
        assert.deepEqual(got, ["first", "once", "second", "third"]);

        got.length = 0;
        page.bridge.fire("midiPortsChanged", newLists);
        assert.deepEqual(got, ["first", "second", "third"]);
    });

    test("ports are replaced by new closed ones while the old maps and ports stay usable", async () => {
        const page = loadPage({ outputs: entries("Synth A", "Synth B"), inputs: entries("Keys", "Pads") });
        const a = await access(page);
        const oldOutputs = a.outputs;
        const oldInputs = a.inputs;
        const oldSynthB = a.outputs.get("1");
        const oldPads = a.inputs.get("1");
        const got = [];
        oldPads.onmidimessage = () => got.push("old pads");
        let notified = 0;
        a.onstatechange = () => { notified++; };
        page.bridge.clear();

        // Synth A was unplugged: Synth B moves to output 0.
        page.bridge.fire("midiPortsChanged", { outputs: entries("Synth B"), inputs: entries("Pads", "Keys") });

        assert.equal(notified, 1);
        assert.notEqual(a.outputs, oldOutputs);
        assert.notEqual(a.inputs, oldInputs);
        assert.deepEqual(mapSummary(a.outputs), [["0", "0", "Synth B", 0]]);
        assert.deepEqual(mapSummary(a.inputs), [["0", "0", "Pads", 0], ["1", "1", "Keys", 1]]);
        assert.deepEqual(mapSummary(oldOutputs), [["0", "0", "Synth A", 0], ["1", "1", "Synth B", 1]]);
        assert.deepEqual(mapSummary(oldInputs), [["0", "0", "Keys", 0], ["1", "1", "Pads", 1]]);
        assert.equal(oldInputs.get("1"), oldPads);
        for (const port of a.inputs.values()) {
            assert.equal(port.connection, "closed");
            assert.equal(port.onmidimessage, null);
            assert.equal(port._listeners.length, 0);
            assert.notEqual(port, oldPads);
        }
        assert.deepEqual(page.bridge.emitted, [], "a change opens nothing by itself");

        // The old handler is gone from delivery; the page re-attaches.
        page.bridge.fire("midiReceive", { port: 1, data: [144, 60, 1] });
        page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1] });
        assert.deepEqual(got, []);
        a.inputs.get("0").onmidimessage = () => got.push("new pads");
        page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1] });
        assert.deepEqual(got, ["new pads"]);

        oldSynthB.send([0x90, 60, 100]);
        a.outputs.get("0").send([0x90, 62, 100]);
        assert.deepEqual(page.bridge.emitted.map((e) => [e.name, e.payload]), [
            ["midiOpenInput", { port: 0 }],
            ["midiSend", { port: 1, data: [144, 60, 100] }],
            ["midiSend", { port: 0, data: [144, 62, 100] }],
        ]);
    });

    test("a rebuild numbers the new ports by the entries' ids", async () => {
        const page = loadPage({ outputs: entries("Synth A") });
        const a = await access(page);
        page.bridge.fire("midiPortsChanged", { outputs: [{ id: 4, name: "Far" }], inputs: [{ id: 2, name: "Pads" }] });
        assert.deepEqual(mapSummary(a.outputs), [["4", "4", "Far", 4]]);
        assert.deepEqual(mapSummary(a.inputs), [["2", "2", "Pads", 2]]);
        a.outputs.get("4").send([0xfe]);
        a.inputs.get("2").onmidimessage = () => {};
        assert.deepEqual(page.bridge.emitted.map((e) => e.payload), [{ port: 4, data: [254] }, { port: 2 }]);
    });

    const missing = [
        { name: "without outputs empties the outputs", payload: { inputs: entries("Pads") }, out: [], in: ["Pads"] },
        { name: "without inputs empties the inputs", payload: { outputs: entries("Synth B") }, out: ["Synth B"], in: [] },
        { name: "without either empties both", payload: {}, out: [], in: [] },
    ];
    for (const c of missing) {
        for (const when of ["after", "before"]) {
            test(`a change ${c.name} (${when} requestMIDIAccess)`, async () => {
                const page = loadPage({ outputs: entries("Synth A"), inputs: entries("Keys") });
                let a = when === "after" ? await access(page) : null;
                page.bridge.fire("midiPortsChanged", c.payload);
                if (!a)
                    a = await access(page);
                assert.deepEqual(Array.from(a.outputs.values(), (p) => p.name), c.out);
                assert.deepEqual(Array.from(a.inputs.values(), (p) => p.name), c.in);
            });
        }
    }

    test("a change before requestMIDIAccess sets the lists that the later access object is built from", async () => {
        const page = loadPage({ outputs: entries("Synth A"), inputs: entries("Keys") });
        page.bridge.fire("midiPortsChanged", { outputs: entries("Synth B", "Synth C"), inputs: entries("Pads") });
        const a = await access(page);
        assert.deepEqual(mapSummary(a.outputs), [["0", "0", "Synth B", 0], ["1", "1", "Synth C", 1]]);
        assert.deepEqual(mapSummary(a.inputs), [["0", "0", "Pads", 0]]);
        let notified = 0;
        a.onstatechange = () => { notified++; };
        await settle();
        assert.equal(notified, 0, "the earlier change is not replayed");
    });
});

describe("stale access objects", () => {
    test("only the latest access object receives MIDI and device-list changes", async () => {
        const page = loadPage({ outputs: entries("Synth A"), inputs: entries("Keys") });
        const first = await access(page);
        const second = await access(page);
        assert.notEqual(first, second);
        const got = [];
        first.inputs.get("0").onmidimessage = () => got.push("first midi");
        second.inputs.get("0").onmidimessage = () => got.push("second midi");
        first.onstatechange = () => got.push("first change");
        second.addEventListener("statechange", () => got.push("second change"));
        const firstOutputs = first.outputs;
        const firstKeys = first.inputs.get("0");

        page.bridge.fire("midiReceive", { port: 0, data: [144, 60, 1] });
        page.bridge.fire("midiPortsChanged", { outputs: entries("Synth B"), inputs: entries("Pads") });

        assert.deepEqual(got, ["second midi", "second change"]);
        assert.equal(first.outputs, firstOutputs);
        assert.equal(first.inputs.get("0"), firstKeys);
        assert.equal(second.inputs.get("0").name, "Pads");
    });
});

describe("without the bridge", () => {
    test("a shim started without the bridge does not throw, still gives access, and drops sends", async () => {
        // The editor's key block wraps the bridge's emitEvent and needs it,
        // so this is the editor's script without the page-event check.
        let page;
        assert.doesNotThrow(() => {
            page = loadPage({ outputs: entries("Synth"), inputs: entries("Keys"), instance: { id: "i1", stateText: "{\"a\":1}" },
                              bridge: false, checkPageEvents: false });
        });
        assert.equal(page.context._lwInstanceId, "i1", "the rest of the host's script runs");

        const a = await access(page);
        assert.deepEqual(mapSummary(a.outputs), [["0", "0", "Synth", 0]]);
        assert.deepEqual(mapSummary(a.inputs), [["0", "0", "Keys", 0]]);
        const out = a.outputs.get("0");
        out.send([0x90, 60, 100]);
        out.send([0x80, 60, 0], page.clock.now() + 10);
        a.inputs.get("0").onmidimessage = () => {};
        page.clock.advance(20);

        // Nothing was kept back for a bridge that turns up later.
        page.context.__JUCE__ = { backend: page.bridge.backend };
        page.clock.advance(20);
        assert.deepEqual(page.bridge.posted, []);
    });

    const removals = [
        ["window.__JUCE__ deleted", (ctx) => { delete ctx.__JUCE__; }],
        ["window.__JUCE__ without a backend", (ctx) => { ctx.__JUCE__ = {}; }],
        ["window.__JUCE__.backend null", (ctx) => { ctx.__JUCE__.backend = null; }],
    ];
    for (const [name, remove] of removals) {
        test(`${name}: sends and opens are dropped quietly and inputs still open`, async () => {
            const page = loadPage({ outputs: entries("Synth"), inputs: entries("A", "B", "C") });
            const a = await access(page);
            remove(page.context);

            const out = a.outputs.get("0");
            out.send([0x90, 60, 100]);
            out.send([0x80, 60, 0], page.clock.now() + 10);
            page.clock.advance(20);

            const [byHandler, byListener, byOpen] = ["0", "1", "2"].map((id) => a.inputs.get(id));
            byHandler.onmidimessage = () => {};
            byListener.addEventListener("midimessage", () => {});
            const promise = byOpen.open();

            assert.equal(await promise, byOpen);
            for (const port of [byHandler, byListener, byOpen])
                assert.equal(port.connection, "open");
            assert.deepEqual(page.bridge.emitted, []);
        });
    }
});
