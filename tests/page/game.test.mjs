// Tests of the stand-in game page's MIDI and settings logic: page/game/game.js
// runs headless (no document) on top of the real shim and a fake bridge.

import { describe, test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { entries, gamePath, loadPage, settle } from "./harness.mjs";

const OUTPUTS = entries("Synth A", "Synth B");
const INPUTS = entries("Keys", "Pads");
const DEFAULTS = { output: "", channel: 0, thru: false, velocity: 100 };
const plain = (v) => JSON.parse(JSON.stringify(v));

async function startGame(options = {}) {
    const page = loadPage({ outputs: OUTPUTS, inputs: INPUTS, game: true, ...options });
    await settle();
    return { page, demo: page.context.lwDemo };
}

function lastState(page) {
    const states = page.bridge.events("lwStateChanged");
    return states.length ? JSON.parse(states[states.length - 1].state) : undefined;
}

describe("start-up", () => {
    test("standalone: every input gets a handler and the settings are reported once", async () => {
        const { page, demo } = await startGame();
        assert.equal(demo.ready, true);
        assert.equal(demo.status, "ready");
        assert.equal(demo.webMidi, "host");
        assert.equal(demo.mode, "standalone");
        assert.equal(demo.instanceId, null);
        assert.equal(demo.restoredState, null);
        assert.deepEqual(plain(demo.outputs()), ["Synth A", "Synth B"]);
        assert.deepEqual(plain(demo.inputs()), ["Keys", "Pads"]);
        assert.deepEqual(page.bridge.emitted.map((e) => [e.name, e.payload]), [
            ["midiOpenInput", { port: 0 }],
            ["midiOpenInput", { port: 1 }],
            ["lwStateChanged", { state: '{"channel":0,"ports":{"outputs":[]},"thru":false,"velocity":100,"version":1}' }],
        ]);
    });

    test("plug-in: the instance id is shown and the host-track input is listened to", async () => {
        const { page, demo } = await startGame({
            inputs: entries("DAW (host track)"),
            instance: { id: "7f3a-91", stateText: "" },
        });
        assert.equal(demo.mode, "plugin");
        assert.equal(demo.instanceId, "7f3a-91");
        assert.equal(demo.restoredState, null);
        assert.deepEqual(plain(demo.settings()), DEFAULTS);
        assert.deepEqual(page.bridge.events("midiOpenInput"), [{ port: 0 }]);
    });

    test("without Web MIDI the page still answers and reports its settings", async () => {
        const { page, demo } = await startGame({ shim: false });
        assert.equal(demo.ready, false);
        assert.equal(demo.status, "no-web-midi");
        assert.equal(demo.webMidi, "none");
        assert.deepEqual(plain(demo.outputs()), []);
        assert.equal(demo.selectOutput("Synth A"), false);
        assert.equal(demo.sendNote(60, 100), false);
        assert.equal(lastState(page).ports.outputs[0].portName, "Synth A");
    });
});

describe("settings", () => {
    const state = (obj) => JSON.stringify(obj);
    // stateText is what the host writes after "var _lwInstanceState = ".
    const restoreCases = [
        { name: "null", stateText: "null", restored: null },
        { name: "spaces only", stateText: "   ", restored: null },
        { name: "a number", stateText: "42", restored: null },
        { name: "an array", stateText: "[1, 2]", restored: null },
        { name: "text that is not JSON", stateText: '"hello"', restored: null },
        { name: "an empty object", stateText: "{}", restored: {} },
        {
            name: "a full state",
            stateText: state({ channel: 5, ports: { outputs: [{ portName: "Synth B", portIdx: 0 }] }, thru: true, velocity: 90, version: 1 }),
            restored: { output: "Synth B", channel: 5, thru: true, velocity: 90 },
        },
        { name: "JSON text of a state", stateText: JSON.stringify(state({ channel: 3 })), restored: { channel: 3 } },
        { name: "channel as text", stateText: state({ channel: "7" }), restored: { channel: 7 } },
        { name: "channel as text with words after it", stateText: state({ channel: "3rd" }), restored: { channel: 3 } },
        { name: "fractional channel", stateText: state({ channel: 16.9 }), restored: { channel: 16 } },
        { name: "channel 17", stateText: state({ channel: 17 }), restored: {} },
        { name: "negative channel", stateText: state({ channel: -1 }), restored: {} },
        { name: "thru that is not true", stateText: state({ thru: "yes" }), restored: {} },
        { name: "velocity out of range", stateText: state({ velocity: 300 }), restored: {} },
        { name: "velocity as text", stateText: state({ velocity: "64" }), restored: { velocity: 64 } },
        {
            name: "the entry with portIdx 0 wins",
            stateText: state({ ports: { outputs: [{ portName: "Synth A", portIdx: 2 }, { portName: "Synth B", portIdx: 0 }] } }),
            restored: { output: "Synth B" },
        },
        {
            name: "without portIdx 0 the first named entry",
            stateText: state({ ports: { outputs: [{ portName: "Synth A", portIdx: 2 }, { portName: "Synth B", portIdx: 1 }] } }),
            restored: { output: "Synth A" },
        },
        {
            name: "unnamed, odd and index-less entries",
            stateText: state({ ports: { outputs: [null, 3, { portName: "", portIdx: 0 }, { portName: "Far", portIdx: "0" }] } }),
            restored: { output: "Far" },
        },
        { name: "outputs that are not a list", stateText: state({ ports: { outputs: "Synth A" } }), restored: {} },
    ];
    for (const c of restoreCases) {
        test(`restoring from ${c.name}`, async () => {
            const { page, demo } = await startGame({ instance: { id: "i1", stateText: c.stateText } });
            const expected = c.restored === null ? null : { ...DEFAULTS, ...c.restored };
            assert.deepEqual(plain(demo.restoredState), expected);
            assert.deepEqual(plain(demo.settings()), expected ?? DEFAULTS);
            // Restored settings are not reported back; without any, the defaults are, once.
            const reports = c.restored === null ? [{ state: '{"channel":0,"ports":{"outputs":[]},"thru":false,"velocity":100,"version":1}' }] : [];
            assert.deepEqual(page.bridge.events("lwStateChanged"), reports);
        });
    }

    // The host's own table: how it reads the routing out of a page state.
    // The page shows the player what the host will do, so it must agree.
    const routingTable = JSON.parse(readFileSync(new URL("../cases/routing-choice.json", import.meta.url), "utf8"));
    test("the page reads channel and output out of a state as the host does", async () => {
        assert.ok(routingTable.cases.length > 0);
        const disagreements = [];
        for (const c of routingTable.cases) {
            const { demo } = await startGame({ instance: { id: "i1", stateText: c.state } });
            const read = demo.restoredState ?? DEFAULTS;
            if (read.channel !== c.channel || read.output !== c.output)
                disagreements.push(`${c.name}: ${c.state} gives channel ${read.channel}, output "${read.output}"`);
        }
        assert.deepEqual(disagreements, []);
    });

    const changes = [
        {
            name: "choosing an output",
            act: (d) => d.selectOutput("Synth B"),
            returns: [true],
            state: { channel: 0, ports: { outputs: [{ portName: "Synth B", portIdx: 0 }] }, thru: false, velocity: 100, version: 1 },
        },
        {
            name: "choosing no output",
            act: (d) => [d.selectOutput("Synth B"), d.selectOutput("")],
            returns: [true, false],
            state: { channel: 0, ports: { outputs: [] }, thru: false, velocity: 100, version: 1 },
        },
        {
            name: "choosing an absent output",
            act: (d) => d.selectOutput("Lost Harp"),
            returns: [false],
            state: { channel: 0, ports: { outputs: [{ portName: "Lost Harp", portIdx: 0 }] }, thru: false, velocity: 100, version: 1 },
        },
        {
            name: "channels",
            act: (d) => [d.setChannel(10), d.setChannel("12"), d.setChannel(17)],
            returns: [10, 12, 0],
            state: { channel: 0, ports: { outputs: [] }, thru: false, velocity: 100, version: 1 },
        },
        {
            name: "thru and velocity",
            act: (d) => [d.setChannel(4), d.setThru(1), d.setVelocity(64)],
            returns: [4, true, 64],
            state: { channel: 4, ports: { outputs: [] }, thru: true, velocity: 64, version: 1 },
        },
    ];
    for (const c of changes) {
        test(`every change reports the whole state: ${c.name}`, async () => {
            const { page, demo } = await startGame();
            const atStart = page.bridge.events("lwStateChanged").length;
            const returned = [].concat(c.act(demo));
            assert.deepEqual(plain(returned), c.returns);
            const reports = page.bridge.events("lwStateChanged").slice(atStart);
            assert.equal(reports.length, c.returns.length);
            for (const r of reports) {
                assert.deepEqual(Object.keys(r), ["state"]);
                assert.equal(typeof r.state, "string");
            }
            assert.deepEqual(lastState(page), c.state);
            assert.equal(reports[reports.length - 1].state, demo.stateText());
        });
    }

    test("a reported state restores the same settings in the next editor", async () => {
        const first = await startGame();
        first.demo.selectOutput("Synth B");
        first.demo.setChannel(9);
        first.demo.setThru(true);
        first.demo.setVelocity(77);
        const saved = first.page.bridge.events("lwStateChanged").pop().state;

        const second = await startGame({ instance: { id: "i1", stateText: saved } });
        assert.deepEqual(plain(second.demo.settings()), { output: "Synth B", channel: 9, thru: true, velocity: 77 });
        assert.deepEqual(plain(second.demo.restoredState), plain(second.demo.settings()));
    });
});

describe("MIDI", () => {
    const thruCases = [
        { name: "echoes a note unchanged", setup: (d) => { d.selectOutput("Synth B"); d.setThru(true); }, data: [0x90, 60, 100], echo: { port: 1, data: [144, 60, 100] } },
        { name: "echoes SysEx whole", setup: (d) => { d.selectOutput("Synth A"); d.setThru(true); }, data: [0xf0, 1, 2, 3, 0xf7], echo: { port: 0, data: [240, 1, 2, 3, 247] } },
        { name: "ignores the channel setting", setup: (d) => { d.selectOutput("Synth B"); d.setChannel(5); d.setThru(true); }, data: [0x91, 62, 80], echo: { port: 1, data: [145, 62, 80] } },
        { name: "is quiet when off", setup: (d) => { d.selectOutput("Synth B"); }, data: [0x90, 60, 100], echo: null },
        { name: "is quiet without an output", setup: (d) => { d.setThru(true); }, data: [0x90, 60, 100], echo: null },
        { name: "is quiet when the output is absent", setup: (d) => { d.selectOutput("Lost Harp"); d.setThru(true); }, data: [0x90, 60, 100], echo: null },
    ];
    for (const c of thruCases) {
        test(`thru ${c.name}`, async () => {
            const { page, demo } = await startGame();
            c.setup(demo);
            page.bridge.clear();
            page.clock.time = 2500;
            page.bridge.fire("midiReceive", { port: 1, data: c.data });
            assert.deepEqual(page.bridge.events("midiSend"), c.echo ? [c.echo] : []);
            assert.equal(demo.sentCount, c.echo ? 1 : 0);
            assert.deepEqual(plain(demo.received), [{ input: "Pads", data: c.data, t: 2500, gap: null, at: 2500 }]);
            assert.equal(demo.receivedCount, 1);
        });
    }

    test("each message is logged at the time it was played, with the gap since the one before", async () => {
        const { page, demo } = await startGame();
        page.clock.advance(0);
        const ping = page.bridge.events("lwClockPing").at(-1);
        page.bridge.fire("lwClockPong", { id: ping.id, time: page.clock.now() + 10000 });
        page.clock.time = 3000;
        // The host's clock is 10000 ms ahead, known from that one round trip
        // on a whole-millisecond clock to lie between 9999 and 10000 ms.
        page.bridge.fire("midiReceive", { port: 1, data: [0x90, 60, 100], time: 12996 });
        page.bridge.fire("midiReceive", { port: 1, data: [0x80, 60, 0], time: 13013.5 });
        const got = plain(demo.received).map((e) => [e.t, e.gap]);
        assert.deepEqual(got, [[12996 - 9999.5, null], [13013.5 - 9999.5, 17.5]]);
    });

    test("a restored output and thru work without any call", async () => {
        const saved = JSON.stringify({ channel: 0, ports: { outputs: [{ portName: "Synth B", portIdx: 0 }] }, thru: true });
        const { page } = await startGame({ instance: { id: "i1", stateText: saved } });
        page.bridge.fire("midiReceive", { port: 0, data: [0xb0, 7, 100] });
        assert.deepEqual(page.bridge.events("midiSend"), [{ port: 1, data: [176, 7, 100] }]);
    });

    test("after a device-list change the inputs are listened to again and thru follows the output by name", async () => {
        const { page, demo } = await startGame();
        demo.selectOutput("Synth B");
        demo.setThru(true);
        page.bridge.clear();

        page.bridge.fire("midiPortsChanged", { outputs: entries("Synth B"), inputs: entries("Harp", "Keys", "Pads") });
        assert.equal(demo.stateChangeCount, 1);
        assert.deepEqual(plain(demo.outputs()), ["Synth B"]);
        assert.deepEqual(plain(demo.inputs()), ["Harp", "Keys", "Pads"]);
        assert.deepEqual(page.bridge.events("midiOpenInput"), [{ port: 0 }, { port: 1 }, { port: 2 }]);

        page.bridge.fire("midiReceive", { port: 0, data: [0x90, 64, 90] });
        assert.deepEqual(page.bridge.events("midiSend"), [{ port: 0, data: [144, 64, 90] }]);
        assert.equal(demo.received[0].input, "Harp");
    });

    test("received keeps the latest 10000 messages while the count goes on", async () => {
        const { page, demo } = await startGame();
        for (let i = 0; i < 10005; i++)
            page.bridge.fire("midiReceive", { port: 0, data: [0xb0, i % 128, (i >> 7) % 128] });
        assert.equal(demo.receivedCount, 10005);
        assert.equal(demo.received.length, 10000);
        assert.deepEqual(plain(demo.received[0].data), [0xb0, 5, 0]);
        demo.clearReceived();
        assert.equal(demo.received.length, 0);
        assert.equal(demo.receivedCount, 10005);
    });

    const noteCases = [
        { name: "note on, channel kept", channel: 0, args: [60, 100], sends: [144, 60, 100] },
        { name: "note on, channel 5", channel: 5, args: [61, 1], sends: [148, 61, 1] },
        { name: "velocity 0 is a note off", channel: 16, args: [62, 0], sends: [143, 62, 0] },
        { name: "velocity above 127 is clamped", channel: 0, args: [63, 500], sends: [144, 63, 127] },
        { name: "a note out of range is refused", channel: 0, args: [128, 100], sends: null },
    ];
    for (const c of noteCases) {
        test(`sendNote: ${c.name}`, async () => {
            const { page, demo } = await startGame();
            demo.selectOutput("Synth B");
            demo.setChannel(c.channel);
            assert.equal(demo.sendNote(...c.args), c.sends !== null);
            assert.deepEqual(page.bridge.events("midiSend"), c.sends ? [{ port: 1, data: c.sends }] : []);
        });
    }

    test("Save notes hands the played and received notes to the host, one per line", async () => {
        const { page, demo } = await startGame();
        demo.selectOutput("Synth A");
        page.bridge.fire("midiReceive", { port: 0, data: [0x90, 60, 100] });
        page.bridge.fire("midiReceive", { port: 0, data: [0xb0, 1, 20] });
        page.bridge.fire("midiReceive", { port: 1, data: [0x90, 60, 0] });
        demo.sendNote(69, 80);
        demo.sendNote(69, 0);

        assert.equal(demo.saveNotes(), true);
        const [download] = page.bridge.events("fileDownload");
        assert.equal(download.filename, "lutewyrm-notes.txt");
        const lines = download.content.split("\n");
        assert.equal(lines.pop(), "", "the text ends with a line break");
        assert.equal(lines.length, 4);
        assert.match(lines[0], /\bin\b.*note on .*C4.*\(60\).*vel 100.*ch 1.*from Keys/);
        assert.match(lines[1], /\bin\b.*note off.*\(60\).*from Pads/);
        assert.match(lines[2], /\bout\b.*note on .*A4.*\(69\).*vel 80.*to Synth A/);
        assert.match(lines[3], /\bout\b.*note off.*\(69\)/);
        assert.equal(download.content, demo.notesText());
    });
});

// The faults a game would copy from this page, each pinned down.
describe("what a game must not copy", () => {
    test("thru never echoes the host track, which the host forwards itself", async () => {
        const { page, demo } = await startGame({ inputs: entries("DAW (host track)", "Keys") });
        demo.selectOutput("Synth A");
        demo.setThru(true);
        page.bridge.clear();

        page.bridge.fire("midiReceive", { port: 0, data: [0x90, 60, 100] });
        page.bridge.fire("midiReceive", { port: 1, data: [0x90, 62, 100] });
        assert.deepEqual(page.bridge.events("midiSend"), [{ port: 0, data: [144, 62, 100] }]);
        assert.deepEqual(plain(demo.received.map((m) => m.input)), ["DAW (host track)", "Keys"]);
    });

    test("a held note is released on the device it was played on, across a device-list change", async () => {
        const cases = [
            { name: "the device moved down", outputs: entries("Synth B", "Synth A"), release: { port: 0, data: [128, 60, 0] } },
            { name: "another device took its number", outputs: entries("Synth A", "Harp", "Synth B"), release: { port: 2, data: [128, 60, 0] } },
            { name: "the device is gone", outputs: entries("Synth A"), release: null },
        ];
        for (const c of cases) {
            const { page, demo } = await startGame();
            demo.selectOutput("Synth B");
            demo.holdNote("KeyA", 60);
            assert.deepEqual(page.bridge.events("midiSend"), [{ port: 1, data: [144, 60, 100] }], c.name);
            page.bridge.clear();

            page.bridge.fire("midiPortsChanged", { outputs: c.outputs, inputs: INPUTS });
            demo.releaseNote("KeyA");
            assert.deepEqual(page.bridge.events("midiSend"), c.release ? [c.release] : [], c.name);
            assert.equal(demo.heldCount(), 0, c.name);
        }
    });

    test("choosing another output or channel releases held notes where they were played", async () => {
        const { page, demo } = await startGame();
        demo.selectOutput("Synth A");
        demo.setChannel(3);
        demo.holdNote("pointer1", 64);
        page.bridge.clear();

        demo.selectOutput("Synth B");
        assert.deepEqual(page.bridge.events("midiSend"), [{ port: 0, data: [0x82, 64, 0] }]);

        // Another channel on the same output: released on the old channel.
        demo.holdNote("pointer2", 67);
        page.bridge.clear();
        demo.setChannel(5);
        assert.deepEqual(page.bridge.events("midiSend"), [{ port: 1, data: [0x82, 67, 0] }]);
    });

    test("note keys are the page's everywhere but in a text field", async () => {
        const { demo } = await startGame();
        const key = (code, target, extra = {}) => demo.keyAction({ code, target, ...extra });
        const cases = [
            [key("KeyA", { tagName: "SELECT" }), "note"],              // the output list keeps no type-ahead
            [key("KeyS", { tagName: "INPUT", type: "range" }), "note"],
            [key("KeyD", { tagName: "INPUT", type: "checkbox" }), "note"],
            [key("KeyF", { tagName: "BUTTON" }), "note"],
            [key("KeyZ", { tagName: "SELECT" }), "octave-down"],
            [key("KeyX", { tagName: "BODY" }), "octave-up"],
            [key("KeyA", { tagName: "INPUT", type: "text" }), ""],
            [key("KeyA", { tagName: "INPUT", type: "search" }), ""],
            [key("KeyA", { tagName: "TEXTAREA" }), ""],
            [key("KeyA", { tagName: "DIV", isContentEditable: true }), ""],
            [key("KeyA", { tagName: "BODY" }, { ctrlKey: true }), ""],
            [key("KeyQ", { tagName: "BODY" }), ""],
            [key("ArrowDown", { tagName: "SELECT" }), ""],             // the list still works from the keyboard
        ];
        cases.forEach(([got, want], i) => assert.equal(got, want, `case ${i}`));
    });
});

describe("settings kept in web storage", () => {
    class FakeStorage {
        constructor() { this.items = new Map(); }
        getItem(k) { return this.items.has(k) ? this.items.get(k) : null; }
        setItem(k, v) { this.items.set(k, String(v)); }
    }

    // The game's script runs after the storage exists, as in a browser.
    async function startWithStorage(storage, options = {}) {
        const page = loadPage({ outputs: OUTPUTS, inputs: INPUTS, ...options });
        page.context.localStorage = storage;
        page.run(readFileSync(gamePath, "utf8"));
        await settle();
        return { page, demo: page.context.lwDemo };
    }

    test("the standalone starts again from what the player chose, and tells the host", async () => {
        const storage = new FakeStorage();
        const first = await startWithStorage(storage);
        assert.equal(first.demo.settingsFrom, "defaults");
        first.demo.selectOutput("Synth B");
        first.demo.setChannel(7);

        const again = await startWithStorage(storage);
        assert.equal(again.demo.settingsFrom, "storage");
        assert.deepEqual(plain(again.demo.settings()), { output: "Synth B", channel: 7, thru: false, velocity: 100 });
        assert.equal(lastState(again.page).channel, 7);
        assert.equal(lastState(again.page).ports.outputs[0].portName, "Synth B");
    });

    test("each plug-in instance keeps its own, and the host's copy comes first", async () => {
        const storage = new FakeStorage();
        const a = await startWithStorage(storage, { instance: { id: "a", stateText: "" } });
        a.demo.setChannel(2);
        const b = await startWithStorage(storage, { instance: { id: "b", stateText: "" } });
        assert.equal(b.demo.settingsFrom, "defaults");
        b.demo.setChannel(9);

        const aAgain = await startWithStorage(storage, { instance: { id: "a", stateText: "" } });
        assert.equal(aAgain.demo.settings().channel, 2);

        const fromHost = JSON.stringify({ channel: 11, ports: { outputs: [] } });
        const aRestored = await startWithStorage(storage, { instance: { id: "a", stateText: fromHost } });
        assert.equal(aRestored.demo.settingsFrom, "instance");
        assert.equal(aRestored.demo.settings().channel, 11);
    });

    test("storage that refuses or holds junk is the defaults", async () => {
        const junk = new FakeStorage();
        junk.setItem("lutewyrm.rehearsal-hall.settings:standalone", "{not json");
        const refusing = { getItem() { throw new Error("denied"); }, setItem() { throw new Error("denied"); } };
        for (const storage of [junk, refusing]) {
            const { page, demo } = await startWithStorage(storage);
            assert.equal(demo.settingsFrom, "defaults");
            assert.equal(demo.setChannel(4), 4);
            assert.equal(lastState(page).channel, 4);       // the host still hears of it
        }
    });
});
