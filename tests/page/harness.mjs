// Runs the page scripts the way the host's web view does: a fresh script
// context per case, the bootstrap script composed as the host composes it
// (port-list declarations, the shim text, the optional instance block), a
// fake native-integration bridge, and a hand-driven clock for
// performance.now and setTimeout.

import { readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import vm from "node:vm";

const root = fileURLToPath(new URL("../../", import.meta.url));

export const shimText = readFileSync(root + "page/webmidi-shim.js", "utf8");
export const gamePath = root + "page/game/game.js";

// A copy made through JSON is what the native side would receive, and it
// lives in this realm, so assert.deepStrictEqual can compare it.
const viaJson = (value) => (value === undefined ? undefined : JSON.parse(JSON.stringify(value)));

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

export class FakeBridge {
    constructor() {
        this.emitted = []; // {name, payload (JSON copy), raw}
        this.listeners = []; // {name, fn} in the order added
        const self = this;
        this.backend = {
            emitEvent(name, payload) {
                self.emitted.push({ name, payload: viaJson(payload), raw: payload });
            },
            addEventListener(name, fn) {
                self.listeners.push({ name, fn });
                return [name, self.listeners.length];
            },
        };
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
    }
}

// The two port-list declarations exactly as the host writes them ahead of
// the shim; null leaves a list undeclared.
export function portDeclarations(outputs, inputs) {
    let text = "";
    if (outputs !== null)
        text += "var _juceMidiPorts = " + JSON.stringify(outputs) + ";\n";
    if (inputs !== null)
        text += "var _juceMidiInputPorts = " + JSON.stringify(inputs) + ";\n";
    return text;
}

export function entries(...names) {
    return names.map((name, id) => ({ id, name }));
}

// options:
//   outputs, inputs   port entries, or null for an undeclared list
//   instance          {id, stateText} for the plug-in instance block
//   bridge            false to start without window.__JUCE__
//   shim              false to leave navigator.requestMIDIAccess alone
//   game              true to run page/game/game.js after the bootstrap
//   navigator         the navigator object to use
export function loadPage(options = {}) {
    const {
        outputs = [],
        inputs = [],
        instance = null,
        bridge: withBridge = true,
        shim = true,
        game = false,
        navigator = {},
    } = options;

    const clock = new FakeClock();
    const bridge = new FakeBridge();
    const sandbox = {
        navigator,
        performance: { now: () => clock.now() },
        setTimeout: (fn, ms) => clock.setTimeout(fn, ms),
        clearTimeout: (id) => clock.clearTimeout(id),
    };
    const context = vm.createContext(sandbox);
    vm.runInContext("var window = globalThis;", context);
    if (withBridge)
        context.__JUCE__ = { backend: bridge.backend };

    let bootstrap = portDeclarations(outputs, inputs);
    if (shim)
        bootstrap += shimText;
    if (instance)
        bootstrap += "\nvar _lwInstanceId = " + JSON.stringify(instance.id) + ";\n"
            + "var _lwInstanceState = " + (instance.stateText.trim() === "" ? "null" : instance.stateText) + ";\n";
    vm.runInContext(bootstrap, context, { filename: "bootstrap.js" });
    if (game)
        vm.runInContext(readFileSync(gamePath, "utf8"), context, { filename: "game.js" });

    return {
        context,
        bridge,
        clock,
        navigator,
        run: (code) => vm.runInContext(code, context),
    };
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
