// @ts-check
// The least a page needs: list ports, play a note, show what arrives, and
// keep its settings (in the plug-in's state, and in web storage).
(function () {
    var $ = function (/** @type {string} */ id) { return /** @type {any} */ (document.getElementById(id)); };
    var bridge = window.__JUCE__ ? window.__JUCE__.backend : null;
    var key = "minimal.settings:" + (typeof _lwInstanceId !== "undefined" ? _lwInstanceId : "standalone");
    /** @type {{ output: string, channel: number }} */
    var settings = { output: "", channel: 1 };
    var saved = typeof _lwInstanceState !== "undefined" ? _lwInstanceState : JSON.parse(localStorage.getItem(key) || "null");
    if (saved && typeof saved === "object") {
        var s = /** @type {LutewyrmRoutingState} */ (saved);
        var outs = s.ports && s.ports.outputs;
        settings.output = outs && outs.length ? outs[0].portName : "";
        settings.channel = typeof s.channel === "number" && s.channel >= 1 && s.channel <= 16 ? s.channel : 1;
    }
    /** @type {MIDIAccess | null} */
    var access = null;
    var hook = { ready: false, received: /** @type {number[][]} */ ([]), times: /** @type {number[]} */ ([]),
                 outputs: outputNames, select: select, playNote: playNote };
    /** @type {any} */ (window).minimalPage = hook;

    function outputNames() {
        var names = /** @type {string[]} */ ([]);
        if (access) access.outputs.forEach(function (port) { names.push(port.name || ""); });
        return names;
    }
    function save() {
        var state = /** @type {LutewyrmRoutingState} */ ({ channel: settings.channel, ports: { outputs: settings.output ? [{ portName: settings.output, portIdx: 0 }] : [] } });
        localStorage.setItem(key, JSON.stringify(state));
        if (bridge) bridge.emitEvent("lwStateChanged", { state: JSON.stringify(state) });
    }
    /** @param {string} name */
    function select(name) { settings.output = name; save(); return outputNames().indexOf(name) >= 0; }
    /** @param {number} note */
    function playNote(note) {
        /** @type {MIDIOutput[]} */
        var ports = [];
        if (access) access.outputs.forEach(function (p) { if (p.name === settings.output) ports.push(p); });
        if (!ports.length) return false;
        ports[0].send([0x90 | (settings.channel - 1), note, 100]);
        return true;
    }
    // timeStamp is when the message was played, on performance.now()'s clock:
    // judge the player's timing by it, not by when the handler runs.
    /** @param {MIDIMessageEvent} ev */
    function heard(ev) {
        var bytes = Array.from(ev.data || []);
        hook.received.push(bytes);
        hook.times.push(ev.timeStamp);
        var li = document.createElement("li");
        li.textContent = ev.timeStamp.toFixed(1) + " ms: " + bytes.join(" ");
        $("heard").appendChild(li);
    }
    // Ports are new objects after every device change: draw and attach again.
    function refresh() {
        if (!access) return;
        var names = outputNames();
        $("output").innerHTML = "";
        ["", ...names].forEach(function (name) { $("output").add(new Option(name || "(none)", name)); });
        $("output").value = settings.output;
        var inputs = /** @type {string[]} */ ([]);
        access.inputs.forEach(function (input) { input.onmidimessage = heard; inputs.push(input.name || ""); });
        $("inputs").textContent = inputs.join(", ");
    }
    $("output").onchange = function () { select($("output").value); };
    $("channel").value = String(settings.channel);
    $("channel").onchange = function () { settings.channel = Math.min(16, Math.max(1, Number($("channel").value) || 1)); save(); };
    $("play").onclick = function () { playNote(60); };
    navigator.requestMIDIAccess().then(function (a) {
        access = a;
        access.onstatechange = refresh;
        refresh();
        hook.ready = true;
    });
})();
