#!/usr/bin/env python3
"""The plug-in in our VST3 host, traced for connections to an X server.

1. Without DISPLAY: the plug-in is loaded, processes blocks, saves and restores
   its state and even makes an editor; nothing may connect to an X server
   (JUCE used to fall back to ":0").
2. With DISPLAY (run this under tests/e2e/run-under-xvfb.sh): a plug-in that
   never shows an editor never connects to the display either.
"""
import argparse
import os
import subprocess
import sys
import tempfile


def traced_run(host, test, env):
    with tempfile.NamedTemporaryFile(suffix=".strace", delete=False) as log:
        path = log.name
    try:
        result = subprocess.run(["strace", "-f", "-qq", "-e", "trace=connect", "-o", path,
                                 host, "--gtest_filter=" + test],
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
        with open(path) as f:
            connects = [line.strip() for line in f if "X11-unix" in line or "htons(60" in line]
        return result, connects
    finally:
        os.unlink(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    args = parser.parse_args()
    assert os.environ.get("DISPLAY"), "run this under tests/e2e/run-under-xvfb.sh"

    failures = []
    cases = [("NoDisplay.EverythingButTheViewWorks", {k: v for k, v in os.environ.items() if k != "DISPLAY"}),
             ("NoDisplay.APluginWithoutAnEditorNeverConnects", dict(os.environ))]

    for test, env in cases:
        result, connects = traced_run(args.host, test, env)
        display = env.get("DISPLAY", "(unset)")
        if result.returncode != 0:
            failures.append(f"{test} with DISPLAY {display} failed:\n{result.stdout[-3000:]}")
        if connects:
            failures.append(f"{test} with DISPLAY {display} connected to an X server:\n" + "\n".join(connects[:5]))
        print(f"{test}, DISPLAY {display}: exit {result.returncode}, {len(connects)} X connections")

    if failures:
        sys.exit("\n\n".join(failures))


if __name__ == "__main__":
    main()
