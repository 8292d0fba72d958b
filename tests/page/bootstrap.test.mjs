// The editor's bootstrap script (composed by the product's own code, see
// harness.mjs) for thousands of generated device names, instance ids and
// saved states, hostile ones first: it always parses, it does nothing outside
// the game's own top-level document, and there the page sees every name, the
// id and the state's JSON value exactly, and its page events carry the key.

import { describe, test } from "node:test";
import assert from "node:assert/strict";
import { composeBootstraps, entries, GAME_ORIGIN, loadPage, openPage, REGISTRATION_EVENT, sealedEvents, ViewStorage,
         viaJson } from "./harness.mjs";

// The events the editor listens for, as the product lists them.
const SEALED_EVENTS = sealedEvents();

// mulberry32: the same cases on every run and every machine.
function generator(seed) {
    let a = seed >>> 0;
    const next = () => {
        a = (a + 0x6d2b79f5) >>> 0;
        let t = a;
        t = Math.imul(t ^ (t >>> 15), t | 1);
        t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
        return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
    };
    const int = (n) => Math.floor(next() * n);
    return { int, bool: () => next() < 0.5, pick: (list) => list[int(list.length)] };
}

// What breaks scripts and JSON: quotes, backslashes, every line terminator,
// control characters, a byte-order mark, characters beyond the BMP, and
// the markup that ends a script element or opens a comment.
const AWKWARD = ['"', "\\", "\n", "\r", "\t", "\u2028", "\u2029", "<", "/", "'", "{", "}", "[", "]", ":", ",", " ",
                 "\x01", "\x1f", "\x7f", "\u00e9", "\u266a", "\u{1f3b9}", "\ufeff", "</script>", "<!--", "*/", "${"];

function randomText(random) {
    let text = "";
    for (let n = random.int(12); --n >= 0;) {
        const pick = random.int(4);
        const c = pick === 0 ? 0x20 + random.int(0x5f) : pick === 1 ? 1 + random.int(0xfffe) : null;
        if (c === null)
            text += random.pick(AWKWARD);
        else if (c < 0xd800 || c > 0xdfff)
            text += String.fromCharCode(c);
    }
    return text;
}

// JSON with every character beyond ASCII as a \u escape, as JUCE can write it.
const asciiJson = (value) => JSON.stringify(value).replace(/[\u0080-\uffff]/g,
    (c) => "\\u" + c.charCodeAt(0).toString(16).padStart(4, "0"));

function randomState(random) {
    switch (random.int(5)) {
        case 0: return randomText(random);                          // mostly not JSON
        case 1: return JSON.stringify(randomText(random));
        case 2: {
            const object = { channel: random.int(20), ["k" + random.int(9)]: randomText(random) };
            return " " + (random.bool() ? JSON.stringify(object) : JSON.stringify(object, null, 4)) + "\n";
        }
        case 3: return asciiJson({ ports: { outputs: [{ portName: randomText(random), portIdx: 0 }] } });
        default: return random.pick(["", " ", "  ", "\t\r\n ", "\u2028"]);
    }
}

const hex = (random, length) => Array.from({ length }, () => random.int(16).toString(16)).join("");

// Pages of other origins, look-alikes of the game's among them.
const OTHER_ORIGINS = ["https://ads.example", "http://game.example", "https://game.example:8443",
                       "https://game.example.ads.example", "null", ""];

const HOSTILE_NAMES = ["</script>", '"', "\\", '\\"', "\u2028", "\u2029", "\r\n", "'", "${x}", "*/", "<!--", "", " ",
                       '"]; navigator.requestMIDIAccess = null; var x = ["', "\u{1f3b9} Lute \u266a"];
const HOSTILE_STATES = [
    "</script><script>alert(1)</script>", '"); alert(1); ("', "not json; alert(1)", '{"a":"</script>"}',
    '{"a":"\u2028\u2029"}', '{"a":1}\u2028', '{"a":1} // more', "\\", '"\\"', "null", "0", "[]", "true", '"text"',
    '{"__proto__":{"polluted":1}}', "[".repeat(500) + "]".repeat(500), '{"a":"\\u2028"}', "{'a':1}",
];

function generateCases(count) {
    const random = generator(20261210);
    const cases = [];
    for (let i = 0; i < count; i++) {
        // The hostile states come first, in the game's document, with every
        // hostile name among the outputs and hostile ids.
        if (i < HOSTILE_STATES.length) {
            cases.push({
                outputs: HOSTILE_NAMES,
                inputs: [random.pick(HOSTILE_NAMES), random.pick(HOSTILE_NAMES)],
                plugin: true,
                id: HOSTILE_NAMES[i % HOSTILE_NAMES.length],
                state: HOSTILE_STATES[i],
                key: hex(random, 32),
                where: "game",
                origin: GAME_ORIGIN,
            });
            continue;
        }
        const names = (n) => Array.from({ length: n }, () => randomText(random));
        // "sandboxed": a game-origin document that its server isolates
        // (Content-Security-Policy: sandbox), whose own origin is "null".
        const where = random.pick(["game", "game", "other origin", "frame", "sandboxed"]);
        cases.push({
            outputs: names(random.int(4)),
            inputs: names(random.int(3)),
            plugin: random.bool(),
            id: random.int(8) === 0 ? randomText(random) : hex(random, 32),
            state: randomState(random),
            key: hex(random, 32),
            where,
            origin: where === "other origin" ? random.pick(OTHER_ORIGINS) : GAME_ORIGIN,
        });
    }
    return cases;
}

const jsonValue = (text) => {
    try {
        return JSON.parse(text);
    } catch (e) {
        return null;
    }
};

// Runs each case's script in its own page; the first failures, with what broke.
async function failuresOf(cases, check) {
    const failures = [];
    for (const c of cases) {
        try {
            const page = openPage(c.script, { origin: c.origin, selfOrigin: c.where === "sandboxed" ? "null" : c.origin,
                                              frame: c.where === "frame", eventKey: c.key });
            await check(page, c);
        } catch (e) {
            failures.push({ case: c.index, where: c.where, origin: c.origin, outputs: c.outputs, inputs: c.inputs,
                            id: c.id, state: c.state, error: String(e.message).slice(0, 300) });
        }
    }
    return failures.slice(0, 5);
}

describe("the bootstrap script for generated names and states", () => {
    const cases = generateCases(3000);
    const scripts = composeBootstraps(cases.map((c) => ({
        outputs: c.outputs,
        inputs: c.inputs,
        instance: c.plugin ? { id: c.id, state: c.state } : null,
        gameOrigin: GAME_ORIGIN,
        eventKey: c.key,
    })));
    cases.forEach((c, i) => Object.assign(c, { index: i, script: scripts[i] }));
    const inGame = cases.filter((c) => c.where === "game");
    const elsewhere = cases.filter((c) => c.where !== "game");

    test("the game's top-level document sees every name, the id and the saved state exactly", async () => {
        const failures = await failuresOf(inGame, async (page, c) => {
            // Today's engines take them in string literals; older ones end the line there.
            assert.ok(!/[\u2028\u2029]/.test(c.script), "a raw U+2028 or U+2029 in the script");
            const seen = page.context;
            assert.deepEqual(viaJson(seen._juceMidiPorts), entries(...c.outputs));
            assert.deepEqual(viaJson(seen._juceMidiInputPorts), entries(...c.inputs));

            const a = await page.navigator.requestMIDIAccess();
            assert.deepEqual(Array.from(a.outputs.values(), (p) => p.name), c.outputs);
            assert.deepEqual(Array.from(a.inputs.values(), (p) => p.name), c.inputs);

            if (c.plugin) {
                assert.equal(seen._lwInstanceId, c.id);
                // Empty or blank gives null, and so does anything that is not JSON.
                assert.deepEqual(viaJson(seen._lwInstanceState), c.state.trim() === "" ? null : viaJson(jsonValue(c.state)));
            } else {
                assert.equal(page.run("typeof _lwInstanceId + typeof _lwInstanceState"), "undefinedundefined");
            }
        });
        assert.deepEqual(failures, []);
    });

    test("every event a page sends to the editor is one the editor listens for, sealed", () => {
        // What the shim and a game send; any missing from the editor's table
        // would be dropped, every time, without a word.
        const sent = ["midiSend", "midiClear", "midiOpenInput", "lwClockPing", "fileDownload", "lwStateChanged"];
        assert.deepEqual(sent.filter((name) => !SEALED_EVENTS.includes(name)), []);
    });

    test("each game document registers a key of its own with the secret, and its page events carry that key", async () => {
        const keys = new Set();
        const failures = await failuresOf(inGame, (page, c) => {
            // First of all, before the page's own scripts: the registration.
            const [registration] = page.bridge.posted;
            assert.equal(registration.name, REGISTRATION_EVENT);
            assert.equal(registration.payload.lwKey, c.key);
            const documentKey = registration.payload.payload;
            assert.match(documentKey, /^[0-9a-f]{32}$/);
            keys.add(documentKey);

            for (const name of [...SEALED_EVENTS, "somethingElse"])
                page.run(`window.__JUCE__.backend.emitEvent(${JSON.stringify(name)}, { state: "s" })`);
            assert.deepEqual(page.bridge.posted.slice(1), [
                ...SEALED_EVENTS.map((name) => ({ name, payload: { lwKey: documentKey, payload: { state: "s" } } })),
                { name: "somethingElse", payload: { state: "s" } },
            ]);
            // The secret never reaches what the page can see of its own events.
            assert.ok(!JSON.stringify(page.bridge.posted.slice(1)).includes(c.key));
        });
        assert.deepEqual(failures, []);
        assert.equal(keys.size, inGame.length, "two documents made the same key");
    });

    test("a page of another origin, any frame and an isolated game document get nothing of it", async () => {
        assert.ok(elsewhere.some((c) => c.where === "frame"));
        assert.ok(elsewhere.some((c) => c.where === "sandboxed"));
        for (const origin of OTHER_ORIGINS)
            assert.ok(elsewhere.some((c) => c.origin === origin), origin);

        const failures = await failuresOf(elsewhere, (page) => {
            const names = ["_juceMidiPorts", "_juceMidiInputPorts", "_lwInstanceId", "_lwInstanceState"];
            // Not even declared: a hoisted var would answer "in" with true
            // (asked inside the page: a bare declaration never reaches the
            // sandbox object).
            assert.deepEqual(names.filter((n) => page.run(`${JSON.stringify(n)} in window`)), []);
            assert.equal(page.navigator.requestMIDIAccess, undefined);
            assert.deepEqual(page.bridge.listeners, []);
            assert.equal(page.bridge.backend.emitEvent, page.bridge.ownEmitEvent);
            page.run('window.__JUCE__.backend.emitEvent("lwStateChanged", { state: "s" })');
            assert.deepEqual(page.bridge.posted, [{ name: "lwStateChanged", payload: { state: "s" } }]);
            assert.deepEqual(page.bridge.emitted, []);
        });
        assert.deepEqual(failures, []);
    });
});

describe("settings across the documents of one view", () => {
    const instance = { id: "i1", stateText: '{"channel":2}' };
    const state = (page) => viaJson(page.run("_lwInstanceState"));
    const report = (page, payload) =>
        page.run(`window.__JUCE__.backend.emitEvent("lwStateChanged", ${JSON.stringify(payload)})`);

    test("a reloaded document starts from the settings the one before it reported, a new view from the script's", () => {
        const view = new ViewStorage();
        const first = loadPage({ instance, sessionStorage: view });
        assert.deepEqual(state(first), { channel: 2 });

        report(first, { state: '{"channel":7}' });
        assert.deepEqual(first.bridge.events("lwStateChanged"), [{ state: '{"channel":7}' }], "the host hears it as before");
        assert.deepEqual(state(first), { channel: 2 }, "a document's own start is not changed");

        assert.deepEqual(state(loadPage({ instance, sessionStorage: view })), { channel: 7 });
        assert.deepEqual(state(loadPage({ instance, sessionStorage: new ViewStorage() })), { channel: 2 });
        assert.deepEqual(state(loadPage({ instance })), { channel: 2 }, "without session storage, the script's");
    });

    // What the host stores for each report, read back as a document reads its start.
    const reports = [
        ["a JSON object", { state: '{"thru":true}' }, { thru: true }],
        ["text that is not JSON", { state: "not json" }, null],
        ["blank text", { state: "   " }, null],
        ["a number", { state: 5 }, 5],
        ["an object instead of text", { state: { channel: 3 } }, { channel: 3 }],
        ["no state", { other: 1 }, null],
        ["hostile text", { state: '"</script><script>window.ran = 1</script>"' }, "</script><script>window.ran = 1</script>"],
    ];
    for (const [name, payload, expected] of reports) {
        test(`a report of ${name} is where the next document starts`, () => {
            const view = new ViewStorage();
            report(loadPage({ instance, sessionStorage: view }), payload);
            const next = loadPage({ instance, sessionStorage: view });
            assert.deepEqual(state(next), expected);
            assert.equal(next.run("typeof window.ran"), "undefined");
        });
    }

    test("the standalone keeps nothing, and a frame's report never becomes a document's start", () => {
        const view = new ViewStorage();
        report(loadPage({ sessionStorage: view }), { state: '{"channel":9}' });
        assert.equal(view.items.size, 0);

        const frame = loadPage({ instance, sessionStorage: view, frame: true });
        frame.run('window.__JUCE__.backend.emitEvent("lwStateChanged", { state: "{\\"channel\\":9}" })');
        assert.equal(view.items.size, 0);
    });
});
