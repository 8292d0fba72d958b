// Runs the page scripts the way the host's web view does: a fresh script
// context per case, the bootstrap script the editor itself composes (the
// lutewyrm_compose_bootstrap tool runs BootstrapScript::compose on the
// embedded shim), a fake native-integration bridge that accepts page events
// the way the editor does, and a hand-driven clock for performance.now and
// setTimeout.

import { spawnSync } from "node:child_process";
import { existsSync, readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import { webcrypto } from "node:crypto";
import vm from "node:vm";

const root = fileURLToPath(new URL("../../", import.meta.url));

export const shimText = readFileSync(root + "page/webmidi-shim.js", "utf8");
export const gamePath = root + "page/game/game.js";

// The editor's origin and key for the pages loadPage makes.
export const GAME_ORIGIN = "https://game.example";
export const EVENT_KEY = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

// The event that registers a document's key with the editor's secret.
export const REGISTRATION_EVENT = "lwDocumentKey";

// A copy made through JSON is what the native side would receive, and it
// lives in this realm, so assert.deepStrictEqual can compare it.
export const viaJson = (value) => (value === undefined ? undefined : JSON.parse(JSON.stringify(value)));

export const composerPath = process.env.LUTEWYRM_COMPOSE_BOOTSTRAP
    || root + "build/tests/tools/lutewyrm_compose_bootstrap" + (process.platform === "win32" ? ".exe" : "");

function requireComposer() {
    if (!existsSync(composerPath))
        throw new Error(`No bootstrap composer at ${composerPath}: build it with `
            + "`cmake --build build --target lutewyrm_compose_bootstrap`, "
            + "or point LUTEWYRM_COMPOSE_BOOTSTRAP at it");
    return composerPath;
}

// The page events the editor listens for, each of which the bootstrap wraps
// with the document's key: the product's own list, from the tool.
export function sealedEvents() {
    const run = spawnSync(requireComposer(), ["--page-events"], { encoding: "utf8" });
    if (run.error || run.status !== 0)
        throw new Error(`${composerPath} --page-events failed: ${run.error ?? run.stderr}`);
    return JSON.parse(run.stdout);
}

// Composes the editor's script for each request with one run of the tool:
// {outputs: [names], inputs: [names], instance: {id, state} or null,
//  gameOrigin and eventKey (both, or neither for no page-event check)}.
export function composeBootstraps(requests) {
    const run = spawnSync(requireComposer(), [], { input: JSON.stringify(requests), encoding: "utf8", maxBuffer: 1 << 30 });
    if (run.error || run.status !== 0)
        throw new Error(`${composerPath} failed: ${run.error ?? run.stderr}`);

    const scripts = JSON.parse(run.stdout);
    // The tool carries the shim as it was when it was built; a stale copy
    // would test yesterday's shim.
    if (scripts.some((s) => !s.includes(shimText)))
        throw new Error(`${composerPath} holds another page/webmidi-shim.js than the source tree: rebuild it`);
    return scripts;
}

// Most pages in a test file share their bootstrap; one run of the tool each.
const composed = new Map();

function composeBootstrap(request) {
    const id = JSON.stringify(request);
    if (!composed.has(id))
        composed.set(id, composeBootstraps([request])[0]);
    return composed.get(id);
}

// A web view's session storage: what one document of the view keeps there,
// the next one finds (a reload, a way back); a new view starts empty.
export class ViewStorage {
    constructor() {
        this.items = new Map();
    }

    getItem(key) {
        return this.items.has(String(key)) ? this.items.get(String(key)) : null;
    }

    setItem(key, value) {
        this.items.set(String(key), String(value));
    }
}

export class FakeClock {
    constructor(start = 1000) {
        this.time = start;
        this.timers = [];
        this.nextId = 1;
    }

    now() {
        return this.time;
    }

    setTimeout(fn, ms) {
        const id = this.nextId++;
        this.timers.push({ id, fn, ms, due: this.time + Number(ms || 0) });
        return id;
    }

    clearTimeout(id) {
        this.timers = this.timers.filter((t) => t.id !== id);
    }

    // Runs every timer that falls due within ms, earliest first.
    advance(ms) {
        const end = this.time + ms;
        for (;;) {
            const due = this.timers.filter((t) => t.due <= end).sort((a, b) => a.due - b.due || a.id - b.id);
            if (due.length === 0)
                break;
            const t = due[0];
            this.timers = this.timers.filter((x) => x !== t);
            this.time = Math.max(this.time, t.due);
            t.fn();
        }
        this.time = end;
    }
}

// With an event key (the editor's secret), the document registers a key of
// its own with it ("lwDocumentKey", once), and only events that carry the
// document's key reach `emitted`, unwrapped, as only they reach the editor's
// handlers (PageEventKey); `posted` keeps every event as the page posted it.
export class FakeBridge {
    constructor(eventKey = null) {
        this.posted = []; // {name, payload (JSON copy)}
        this.emitted = []; // {name, payload (JSON copy), raw}
        this.listeners = []; // {name, fn} in the order added
        this.documentKey = null;
        const self = this;
        this.backend = {
            emitEvent(name, payload) {
                self.posted.push({ name, payload: viaJson(payload) });
                if (eventKey === null)
                    self.emitted.push({ name, payload: viaJson(payload), raw: payload });
                else if (name === REGISTRATION_EVENT)
                    self.register(payload, eventKey);
                else if (self.documentKey !== null && carriesKey(payload, self.documentKey))
                    self.emitted.push({ name, payload: viaJson(payload.payload), raw: payload.payload });
            },
            addEventListener(name, fn) {
                self.listeners.push({ name, fn });
                return [name, self.listeners.length];
            },
        };
        // What the page finds before any script wraps it.
        this.ownEmitEvent = this.backend.emitEvent;
    }

    register(payload, secret) {
        if (this.documentKey === null && carriesKey(payload, secret) && /^[0-9a-f]{32}$/.test(payload.payload)
            && payload.payload !== secret)
            this.documentKey = payload.payload;
    }

    // Native-to-page delivery: the payload crosses as JSON, like the real one.
    fire(name, payload) {
        for (const l of this.listeners.filter((x) => x.name === name))
            l.fn(viaJson(payload));
    }

    events(name) {
        return this.emitted.filter((e) => e.name === name).map((e) => e.payload);
    }

    clear() {
        this.emitted.length = 0;
        this.posted.length = 0;
    }
}

function carriesKey(wrapped, key) {
    return wrapped !== null && typeof wrapped === "object" && !Array.isArray(wrapped) && wrapped.lwKey === key;
}

export function entries(...names) {
    return names.map((name, id) => ({ id, name }));
}

// The host declares both lists, each numbering its ports by position. The
// shim's own defences (a list left undeclared, ids out of step with the
// positions) need declarations the editor never writes: those pages get the
// editor's script for two empty lists with its two declarations replaced by
// hand-made ones. That keeps every other byte the product's, where a switch
// in the tool would make it compose scripts the editor cannot.
function hostWrites(list) {
    return list !== null && list.every((entry, i) => entry.id === i && typeof entry.name === "string");
}

// In the game-only script (checkPageEvents) the globals are made with the
// script's own declare function; without the check they are plain vars.
function declaration(name, list, gated) {
    if (list === null)
        return "";
    return gated ? `declare (${JSON.stringify(name)}, ${JSON.stringify(list)});\n`
                 : "var " + name + " = " + JSON.stringify(list) + ";\n";
}

function replaceOnce(text, part, by, what) {
    const at = text.indexOf(part);
    if (at < 0 || text.indexOf(part, at + 1) >= 0)
        throw new Error(`the composed script does not hold ${what} exactly once`);
    return text.slice(0, at) + by + text.slice(at + part.length);
}

// Runs a composed script in a fresh page and returns the page.
// options:
//   origin      location.origin of the page (the game's by default)
//   selfOrigin  the document's own origin, self.origin (as origin by default;
//               "null" for a document its server sandboxes)
//   frame       true for a frame inside the page rather than its top document
//   eventKey    the key the bridge requires on page events, or null for none
//   bridge      false to start without window.__JUCE__
//   navigator   the navigator object to use
//   sessionStorage  the view's session storage (a ViewStorage), shared by the
//               documents of one view; none by default
export function openPage(script, options = {}) {
    const {
        origin = GAME_ORIGIN,
        selfOrigin = origin,
        frame = false,
        eventKey = null,
        bridge: withBridge = true,
        navigator = {},
        sessionStorage = undefined,
    } = options;

    const clock = new FakeClock();
    const bridge = new FakeBridge(eventKey);
    const sandbox = {
        crypto: webcrypto,
        navigator,
        location: { origin },
        origin: selfOrigin,
        performance: { now: () => clock.now() },
        setTimeout: (fn, ms) => clock.setTimeout(fn, ms),
        clearTimeout: (id) => clock.clearTimeout(id),
    };
    if (sessionStorage !== undefined)
        sandbox.sessionStorage = sessionStorage;
    const context = vm.createContext(sandbox);
    vm.runInContext("var window = globalThis, self = globalThis;", context);
    // A frame's top is the document that holds it.
    vm.runInContext(frame ? "var top = { location: location };" : "var top = globalThis;", context);
    if (withBridge)
        context.__JUCE__ = { backend: bridge.backend };

    vm.runInContext(script, context, { filename: "bootstrap.js" });

    return {
        context,
        bridge,
        clock,
        navigator,
        run: (code) => vm.runInContext(code, context),
    };
}

// Loads a page with the editor's bootstrap script.
// options:
//   outputs, inputs   port entries, or null for an undeclared list
//   instance          {id, stateText} for the plug-in instance block
//   checkPageEvents   false for the editor without the page-event check (its
//                     key block needs the bridge, so pair it with bridge: false)
//   bridge            false to start without window.__JUCE__
//   shim              false to take the shim out of the script
//   game              true to run page/game/game.js after the bootstrap
//   navigator         the navigator object to use
//   origin, selfOrigin, frame   where the page is (see openPage)
export function loadPage(options = {}) {
    const {
        outputs = [],
        inputs = [],
        instance = null,
        checkPageEvents = true,
        shim = true,
        game = false,
        ...where
    } = options;

    const byHost = hostWrites(outputs) && hostWrites(inputs);
    const names = (list) => (byHost ? list.map((entry) => entry.name) : []);
    let script = composeBootstrap({
        outputs: names(outputs),
        inputs: names(inputs),
        instance: instance && { id: instance.id, state: instance.stateText },
        ...(checkPageEvents ? { gameOrigin: GAME_ORIGIN, eventKey: EVENT_KEY } : {}),
    });

    if (!byHost)
        script = replaceOnce(script, declaration("_juceMidiPorts", [], checkPageEvents)
                                         + declaration("_juceMidiInputPorts", [], checkPageEvents),
                             declaration("_juceMidiPorts", outputs, checkPageEvents)
                                 + declaration("_juceMidiInputPorts", inputs, checkPageEvents),
                             "the port-list declarations");
    if (!shim)
        script = replaceOnce(script, shimText, "", "the shim");

    const page = openPage(script, { eventKey: checkPageEvents ? EVENT_KEY : null, ...where });
    if (game)
        vm.runInContext(readFileSync(gamePath, "utf8"), page.context, { filename: "game.js" });
    return page;
}

// Lets already-resolved promise callbacks run.
export async function settle() {
    for (let i = 0; i < 5; i++)
        await Promise.resolve();
}

// Resolves the promise of navigator.requestMIDIAccess and returns the access.
export async function access(page, ...args) {
    return await page.navigator.requestMIDIAccess(...args);
}
