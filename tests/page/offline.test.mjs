// The offline page's own script (page/offline/offline.html), run against a
// small fake document with a hand-driven clock.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import vm from "node:vm";

const html = fs.readFileSync(new URL("../../page/offline/offline.html", import.meta.url), "utf8");
const script = html.match(/<script>([\s\S]*)<\/script>/)[1];

function load(retrySeconds, address = "https://game.example/rpg") {
    const timers = [];
    const elements = {
        offline: { getAttribute: (name) => ({ "data-address": address, "data-retry-seconds": retrySeconds })[name] },
        countdown: { textContent: "" },
        retry: { listeners: {}, addEventListener(type, fn) { this.listeners[type] = fn; } },
    };
    const page = {
        location: { href: "data:text/html,offline" },
        document: { getElementById: (id) => elements[id] },
        setTimeout: (fn, ms) => { timers.push({ fn, ms }); return timers.length; },
        clearTimeout: (id) => { if (timers[id - 1]) timers[id - 1].fn = null; },
    };
    vm.runInNewContext(script, page);

    const tick = () => {
        const t = timers.shift();
        assert.equal(t.ms, 1000);
        if (t.fn) t.fn();
    };
    return { page, elements, timers, tick };
}

test("counts down the given seconds, then goes back to the address", () => {
    const { page, elements, tick } = load("4");
    assert.equal(elements.countdown.textContent, "Trying again in 4 seconds");

    for (const left of ["3 seconds", "2 seconds", "1 second"]) {
        tick();
        assert.equal(elements.countdown.textContent, "Trying again in " + left);
        assert.equal(page.location.href, "data:text/html,offline");
    }

    tick();
    assert.equal(page.location.href, "https://game.example/rpg");
});

test("Try again goes at once, and the countdown stops", () => {
    const { page, elements, timers } = load("60");
    elements.retry.listeners.click();
    assert.equal(page.location.href, "https://game.example/rpg");
    assert.equal(timers.filter((t) => t.fn !== null).length, 0);
});

test("a missing or broken wait falls back to two seconds", () => {
    for (const given of ["", "0", "-5", "soon"]) {
        const { elements } = load(given);
        assert.equal(elements.countdown.textContent, "Trying again in 2 seconds", given);
    }
});
