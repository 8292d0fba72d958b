// Tests of the stand-in game page's MIDI and settings logic: page/game/game.js
// runs headless (no document) on top of the real shim and a fake bridge.

import { describe, test } from "node:test";
import assert from "node:assert/strict";
import { entries, loadPage, settle } from "./harness.mjs";

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
            assert.deepEqual(plain(demo.received), [{ input: "Pads", data: c.data, t: 2500 }]);
            assert.equal(demo.receivedCount, 1);
        });
    }

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
