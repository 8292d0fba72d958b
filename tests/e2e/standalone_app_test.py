#!/usr/bin/env python3
"""The shipped standalone application, end to end, on the display in $DISPLAY.

Starts the real binary with a fresh home folder against the locally served
stand-in page, lets the page report its settings over the bridge, closes the
window the way a window manager's close button does, and checks what the
framework's wrapper saved: "filterState" holding a state blob with the page's
settings. A second start must keep the instance id, and the page must start
from the channel the player chose in the first: the application never hands
the page its settings back, so the page keeps them in web storage.
"""
import argparse
import importlib.util
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import x11  # noqa: E402

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def start_page_server(port):
    spec = importlib.util.spec_from_file_location("serve_page", os.path.join(REPO, "scripts", "serve_page.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    server = module.http.server.ThreadingHTTPServer(("127.0.0.1", port), module.Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def read_filter_state(home):
    settings = os.path.join(home, ".config", "Lutewyrm RPG.settings")
    values = {v.get("name"): v.get("val") for v in ET.parse(settings).getroot().iter("VALUE")}
    assert "filterState" in values, f"no filterState in {settings}: {sorted(values)}"
    return values


def decode_blob(text):
    # JUCE's MemoryBlock::toBase64Encoding: "<size>.<its own base-64 alphabet>".
    size, _, data = text.partition(".")
    alphabet = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+"
    out = bytearray(int(size))
    for i, ch in enumerate(data):
        value = alphabet.index(ch)
        for b in range(6):
            bit = i * 6 + b
            if bit // 8 < len(out) and value & (1 << b):
                out[bit // 8] |= 1 << (bit % 8)
    return bytes(out)


def encode_blob(data):
    """The inverse of decode_blob."""
    alphabet = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+"
    chars = []
    for i in range((len(data) * 8 + 5) // 6):
        value = 0
        for b in range(6):
            bit = i * 6 + b
            if bit // 8 < len(data) and data[bit // 8] & (1 << (bit % 8)):
                value |= 1 << b
        chars.append(alphabet[value])
    return f"{len(data)}." + "".join(chars)


def set_saved_channel(home, channel):
    """Changes the channel in the state the wrapper saved, and only that: the
    next start restores it, so what the page reports from web storage is told
    apart from what the host kept."""
    settings = os.path.join(home, ".config", "Lutewyrm RPG.settings")
    tree = ET.parse(settings)
    for value in tree.getroot().iter("VALUE"):
        if value.get("name") == "filterState":
            state = json.loads(decode_blob(value.get("val")).decode("utf-8"))
            page = json.loads(state["state"])
            page["channel"] = channel
            state["state"] = json.dumps(page)
            value.set("val", encode_blob(json.dumps(state).encode("utf-8")))
    tree.write(settings, encoding="utf-8", xml_declaration=True)


def screen_bytes():
    return subprocess.run(["xwd", "-root", "-silent"], capture_output=True, check=True).stdout


def choose_channel_3(window):
    """Clicks the "Channel" label (which focuses its list without opening it)
    and steps the list three entries down with the arrow key, as a player
    would, then waits until the page has redrawn: it reports the change to
    the host in the same turn, before it draws. The place is the stand-in
    page's layout in the default window."""
    subprocess.run(["xdotool", "mousemove", "--window", str(window), "62", "242", "click", "1"], check=True)
    # The focus ring drawn for the click must not count as the change: the
    # screen must stay the same for a whole second first.
    before, deadline, unchanged = screen_bytes(), time.monotonic() + 60, 0
    while unchanged < 5:
        assert time.monotonic() < deadline, "the page never came to rest"
        time.sleep(0.2)
        now = screen_bytes()
        unchanged = unchanged + 1 if now == before else 0
        before = now
    subprocess.run(["xdotool", "key", "Down", "Down", "Down"], check=True)
    deadline = time.monotonic() + 60
    while screen_bytes() == before:
        assert time.monotonic() < deadline, "the page did not take the keys"
        time.sleep(0.1)


def run_once(binary, home, screenshot_path=None, before_close=None):
    env = dict(os.environ, HOME=home)
    for key in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"):
        env.pop(key, None)
    x11.prepare_display()
    proc = subprocess.Popen([binary], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        windows = x11.find_windows("Lutewyrm RPG")
        assert windows, "the application window did not appear"
        # The page reports its settings at start, before its first paint.
        shot = screenshot_path or os.path.join(home, "page.png")
        painted = x11.wait_for_painted_page(shot)
        assert painted >= 200, f"the page did not show ({painted} colours)"
        if screenshot_path:
            print("screenshot:", shot)
        # Our own window is the one of our process; the web engine's child has
        # windows of the same name.
        ours = [w for w in x11.find_windows("Lutewyrm RPG") if x11.window_pid(w) == proc.pid]
        if before_close:
            before_close(ours[0])
        for window in ours:
            x11.request_close(window)
        code = proc.wait(timeout=60)
        assert code == 0, f"exit code {code}"
    finally:
        if proc.poll() is None:
            proc.kill()
        output = proc.stdout.read().decode(errors="replace")
        if output.strip():
            print(output)
    values = read_filter_state(home)
    blob = decode_blob(values["filterState"])
    return values, blob


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()

    server = start_page_server(args.port)
    home = tempfile.mkdtemp(prefix="lutewyrm-home-")
    try:
        values, blob = run_once(args.binary, home, args.screenshot, before_close=choose_channel_3)
        text = blob.decode("utf-8")
        assert "\r\n" in text and not text.endswith("\n"), repr(text)
        state = json.loads(text)
        assert list(state) == ["instanceId", "state", "editorW", "editorH"], state
        assert re.fullmatch(r"[0-9a-f]{32}", state["instanceId"]), state
        page = json.loads(state["state"])       # the page's own settings, as it reported them
        assert "ports" in page and "outputs" in page["ports"], page
        assert page["channel"] == 3, f"the player's choice did not reach the host: {page}"
        assert "windowX" in values and "windowY" in values, values
        print("first run: instance", state["instanceId"], "page settings", state["state"])

        # The host keeps channel 0 from here on; only the page knows 3.
        set_saved_channel(home, 0)
        assert json.loads(json.loads(decode_blob(read_filter_state(home)["filterState"]))["state"])["channel"] == 0
        _, blob2 = run_once(args.binary, home)
        state2 = json.loads(blob2.decode("utf-8"))
        assert state2["instanceId"] == state["instanceId"], (state, state2)
        print("second run kept instance", state2["instanceId"])
        # The page reports its settings as it starts: from web storage, not
        # the defaults, and not what the host restored.
        page2 = json.loads(state2["state"])
        assert page2["channel"] == 3, f"the page did not start from the player's channel: {page2}"
        print("second run started from channel", page2["channel"])
    finally:
        server.shutdown()
        subprocess.run(["rm", "-rf", home])
    print("PASS")


if __name__ == "__main__":
    main()
