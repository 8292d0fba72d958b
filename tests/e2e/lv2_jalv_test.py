#!/usr/bin/env python3
"""The LV2 plug-in in a real host: jalv (its GTK variant) on a dummy JACK server.

MIDI sent into the plug-in's input must come out of its MIDI output unchanged,
its audio output must be silence, and its web UI must show the notes arriving
on "DAW (host track)". Runs on the display in $DISPLAY.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import x11  # noqa: E402

URI = "urn:lutewyrm:lutewyrm-rpg"
CLIENT = "Lutewyrm RPG"
SERVER = "lutewyrm-test"


def jack(*args, check=True):
    return subprocess.run(list(args), capture_output=True, text=True, check=check)


def wait_for_port(name, timeout=30.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if name in jack("jack_lsp", check=False).stdout.splitlines():
            return True
        time.sleep(0.2)
    return False


def screen_pixels(path):
    x11.screenshot(path)
    rgb = subprocess.run(["/usr/bin/convert", path, "rgb:-"], capture_output=True, check=True).stdout
    return rgb


def wait_until_still(path, seconds, timeout=90.0):
    """The screen's pixels once they have not changed for `seconds`."""
    last = screen_pixels(path)
    since = time.monotonic()
    deadline = since + timeout
    while time.monotonic() < deadline:
        time.sleep(0.25)
        now = screen_pixels(path)
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= seconds:
            return last
    raise AssertionError(f"the page never stayed unchanged for {seconds} s")


def silent_wav(path):
    """True when every sample of the (16-bit PCM) WAV file is zero."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(b"data")
    assert at > 0, "no data chunk"
    (size,) = struct.unpack("<I", data[at + 4:at + 8])
    samples = data[at + 8:at + 8 + size]
    assert len(samples) > 1000, f"only {len(samples)} bytes recorded"
    return samples.count(0) == len(samples)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lv2-dir", help="folder holding the .lv2 bundle; without it, the host's own "
                        "search path (where packages install plug-ins)")
    parser.add_argument("--expect-bundle-in", help="the folder the host must find the bundle in")
    parser.add_argument("--port", type=int, required=True, help="port of the local page")
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    os.environ["JACK_DEFAULT_SERVER"] = SERVER
    os.environ["JACK_NO_AUDIO_RESERVATION"] = "1"
    work = tempfile.mkdtemp(prefix="lutewyrm-jalv-")
    # A hardened system's temporary folder: noexec, where this test may mount
    # one. The editor's web view must not need to run anything from it.
    tmp = os.path.join(work, "tmp")
    os.mkdir(tmp)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "noexec,size=64m", "tmpfs", tmp],
                             capture_output=True).returncode == 0
    print("TMPDIR is a noexec tmpfs" if mounted else "TMPDIR is a plain folder (no mount allowed here)")
    env = dict(os.environ, HOME=work, TMPDIR=tmp)
    env.pop("LV2_PATH", None)
    if args.lv2_dir:
        env["LV2_PATH"] = os.path.abspath(args.lv2_dir)
    if args.expect_bundle_in:
        info = subprocess.run(["lv2info", URI], env=env, capture_output=True, text=True).stdout
        bundle = re.search(r"^\s*Bundle:\s*file://(\S+)", info, re.M)
        assert bundle, "the host's search path does not find " + URI + ":\n" + info
        path = urllib.parse.unquote(bundle.group(1))
        assert path.startswith(args.expect_bundle_in.rstrip("/") + "/"), f"found in {path}"
        print("the host finds the plug-in in", path)
    processes = []

    def start(*command, **kwargs):
        p = subprocess.Popen(list(command), stdout=kwargs.pop("stdout", subprocess.DEVNULL),
                             stderr=subprocess.STDOUT, **kwargs)
        processes.append(p)
        return p

    try:
        start("jackd", "-n", SERVER, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256")
        assert wait_for_port("system:playback_1"), "jackd did not start"
        start(sys.executable, os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "serve_page.py"),
              str(args.port))

        x11.prepare_display()
        jalv = start("jalv.gtk3", URI, env=env)
        assert wait_for_port(f"{CLIENT}:in"), "jalv did not load the plug-in"
        assert x11.find_windows(".*Lutewyrm.*", timeout=30), "no plug-in window"
        # The editor's page once it is ready: painted, and unchanged for two
        # seconds, so that what changes later is the notes arriving, not the
        # page finishing its load.
        before_path = args.screenshot.replace(".png", "-before.png")
        assert x11.wait_for_painted_page(before_path) >= 200, "the editor's page did not show"
        before = wait_until_still(before_path, seconds=2.0)

        dump_file = open(os.path.join(work, "dump.txt"), "w")
        start("jack_midi_dump", stdout=dump_file)
        assert wait_for_port("midi-monitor:input")
        # Notes 60 and 64, each on for 12000 samples, every 24000 samples.
        start("jack_midiseq", "seq", "24000", "0", "60", "12000", "6000", "64", "12000")
        assert wait_for_port("seq:out")
        jack("jack_connect", "seq:out", f"{CLIENT}:in")
        jack("jack_connect", f"{CLIENT}:out", "midi-monitor:input")

        wav = os.path.join(work, "out.wav")
        jack("jack_rec", "-f", wav, "-d", "2", "-b", "16", f"{CLIENT}:audio_out_1", f"{CLIENT}:audio_out_2")

        # Until the page shows the notes, and all four kinds came back out.
        wanted = {"90 3c 40", "80 3c 40", "90 40 40", "80 40 40"}
        deadline = time.monotonic() + 60
        while True:
            after = screen_pixels(args.screenshot)
            changed = sum(1 for i in range(0, min(len(before), len(after)), 3) if before[i:i + 3] != after[i:i + 3])
            dump_file.flush()
            dump = open(os.path.join(work, "dump.txt")).read()
            events = re.findall(r":\s+([0-9a-f]{2} [0-9a-f]{2} [0-9a-f]{2})\s", dump)
            if (changed > 2000 and wanted <= set(events)) or time.monotonic() > deadline:
                break
            time.sleep(0.25)
        assert jalv.poll() is None, "jalv died"
        assert events, "no MIDI came out of the plug-in:\n" + dump[:2000]
        assert set(events) <= {"90 3c 40", "80 3c 40", "90 40 40", "80 40 40"}, set(events)
        assert {"90 3c 40", "80 3c 40", "90 40 40", "80 40 40"} <= set(events), set(events)
        print(f"{len(events)} MIDI events came back unchanged")

        assert silent_wav(wav), "the audio output is not silent"
        print("the audio output is silence")

        assert changed > 2000, f"the page did not change while notes arrived ({changed} pixels)"
        print(f"the page showed the notes ({changed} pixels changed); screenshot: {args.screenshot}")
    finally:
        for p in reversed(processes):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if mounted:
            subprocess.run(["umount", "-l", tmp])
        subprocess.run(["rm", "-rf", work])
    print("PASS")


if __name__ == "__main__":
    main()
