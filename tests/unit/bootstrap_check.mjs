// Runs composed bootstrap scripts the way a page does (as classic scripts, in
// a fresh global each) and checks what the page sees. Usage: node bootstrap_check.mjs cases.json
import fs from "node:fs";
import vm from "node:vm";
import assert from "node:assert/strict";

const cases = JSON.parse(fs.readFileSync(process.argv[2], "utf8"));
const failures = [];

const jsonValue = (text) => { try { return JSON.parse(text); } catch (e) { return null; } };

cases.forEach((c, i) => {
    const context = { navigator: {}, performance: { now: () => 0 }, setTimeout: () => 0 };
    context.window = context;
    context.__JUCE__ = { backend: { addEventListener() {}, emitEvent() {} } };
    vm.createContext(context);
    try {
        new vm.Script(c.script).runInContext(context);
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
