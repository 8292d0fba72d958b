#!/usr/bin/env python3
"""The plug-in bundles: LV2 metadata complete and loadable, VST3 bundle with its module info."""
import argparse
import json
import os
import subprocess
import sys

LV2_URI = "urn:lutewyrm:lutewyrm-rpg"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lv2", required=True, help="the .lv2 bundle folder")
    parser.add_argument("--vst3", required=True, help="the .vst3 bundle folder")
    args = parser.parse_args()

    for name in ("manifest.ttl", "dsp.ttl", "ui.ttl"):
        path = os.path.join(args.lv2, name)
        assert os.path.getsize(path) > 0, f"{path} is empty"

    env = dict(os.environ, LV2_PATH=os.path.dirname(os.path.abspath(args.lv2)))
    info = subprocess.run(["lv2info", LV2_URI], env=env, capture_output=True, text=True)
    assert info.returncode == 0, info.stderr
    for expected in ("Lutewyrm RPG", "Lutewyrm", "http://lv2plug.in/ns/extensions/ui#X11UI"):
        assert expected in info.stdout, f"lv2info lacks {expected!r}:\n{info.stdout}"
    print(info.stdout.splitlines()[0])

    so = os.path.join(args.vst3, "Contents", "x86_64-linux", "Lutewyrm RPG.so")
    assert os.path.isfile(so), so
    with open(os.path.join(args.vst3, "Contents", "Resources", "moduleinfo.json")) as f:
        text = f.read()
    # JUCE writes JSON5-ish module info (trailing commas); a plain check of the names will do.
    assert '"Lutewyrm RPG"' in text and '"Lutewyrm"' in text and '"1.0.0"' in text, text
    print("PASS")


if __name__ == "__main__":
    sys.exit(main())
