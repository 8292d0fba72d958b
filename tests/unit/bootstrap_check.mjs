// Runs composed bootstrap scripts the way a page does (as classic scripts, in
// a fresh global each) and checks what the page sees. Usage: node bootstrap_check.mjs cases.json
import fs from "node:fs";
import vm from "node:vm";
import assert from "node:assert/strict";

const cases = JSON.parse(fs.readFileSync(process.argv[2], "utf8"));
const failures = [];

const jsonValue = (text) => { try { return JSON.parse(text); } catch (e) { return null; } };

cases.forEach((c, i) => {
    const emitted = [];
    const backend = { addEventListener() {}, emitEvent(name, payload) { emitted.push([name, payload]); } };
    const originalEmit = backend.emitEvent;
    const context = { navigator: {}, performance: { now: () => 0 }, setTimeout: () => 0,
                      location: { origin: c.origin }, __JUCE__: { backend } };
    context.window = context;
    context.self = context;
    context.top = c.frame ? {} : context;
    vm.createContext(context);
    try {
        new vm.Script(c.script).runInContext(context);

        // Anywhere but the game's own top-level document: nothing at all.
        if (c.origin !== "https://game.example" || c.frame) {
            const names = ["_juceMidiPorts", "_juceMidiInputPorts", "_lwInstanceId", "_lwInstanceState"];
            assert.deepEqual(names.filter((n) => context[n] !== undefined), []);
            assert.equal(context.navigator.requestMIDIAccess, undefined);
            assert.equal(backend.emitEvent, originalEmit);
            return;
        }

        // The game's page events carry the key; others pass as they are.
        backend.emitEvent("lwStateChanged", { state: "s" });
        backend.emitEvent("somethingElse", 1);
        assert.equal(JSON.stringify(emitted),
                     JSON.stringify([["lwStateChanged", { lwKey: "k3y", payload: { state: "s" } }], ["somethingElse", 1]]));

        const seen = JSON.parse(JSON.stringify({
            outputs: context._juceMidiPorts, inputs: context._juceMidiInputPorts,
            id: context._lwInstanceId, state: context._lwInstanceState,
        }));
        assert.deepEqual(seen.outputs, c.outputs.map((name, id) => ({ id, name })));
        assert.deepEqual(seen.inputs, c.inputs.map((name, id) => ({ id, name })));
        assert.equal(typeof context.navigator.requestMIDIAccess, "function");
        if (c.plugin) {
            assert.equal(seen.id, c.id);
            assert.deepEqual(seen.state, c.state.trim() === "" ? null : jsonValue(c.state));
        } else {
            assert.equal(seen.id, undefined);
        }
    } catch (e) {
        failures.push({ case: i, error: String(e.message).slice(0, 500), outputs: c.outputs, state: c.state });
    }
});

if (failures.length) {
    console.log(JSON.stringify(failures.slice(0, 5), null, 1));
    console.log(`${failures.length} of ${cases.length} scripts failed`);
    process.exit(1);
}
console.log(`${cases.length} scripts checked`);
