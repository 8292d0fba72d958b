// The host's typings (page/lutewyrm-host.d.ts) against the minimal example
// page, with the TypeScript compiler of the tests' own dev dependency.

import { describe, test } from "node:test";
import assert from "node:assert/strict";
import { existsSync } from "node:fs";
import { spawnSync } from "node:child_process";
import { fileURLToPath } from "node:url";

const root = fileURLToPath(new URL("../../", import.meta.url));
const tsc = root + "tests/page/node_modules/.bin/tsc";

function typeCheck(file) {
    assert.ok(existsSync(tsc), "TypeScript is missing: run scripts/setup.sh (npm ci in tests/page)");
    const result = spawnSync(tsc, ["--noEmit", "--allowJs", "--checkJs", "--strict", "--target", "es2017",
                                   "--lib", "dom,es2017,dom.iterable", root + "page/lutewyrm-host.d.ts", root + file],
                             { encoding: "utf8" });
    return { ok: result.status === 0, output: result.stdout + result.stderr };
}

describe("typings", () => {
    test("the minimal page type-checks against them", () => {
        const { ok, output } = typeCheck("page/examples/minimal/minimal.js");
        assert.ok(ok, output);
    });

    test("they refuse what the host does not accept", () => {
        const { ok, output } = typeCheck("tests/page/fixtures/misuse.js");
        assert.equal(ok, false);
        // One error for each misuse: a text port, a state that is not text, an unknown event.
        assert.equal((output.match(/misuse\.js\(\d+,\d+\): error/g) || []).length, 3, output);
    });
});
