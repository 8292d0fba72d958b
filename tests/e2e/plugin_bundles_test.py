#!/usr/bin/env python3
"""The plug-in bundles: LV2 metadata complete and loadable, VST3 bundle with its module info."""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

LV2_URI = "urn:lutewyrm:lutewyrm-rpg"

# What lv2_validate finds in the metadata that JUCE generates for every plug-in
# (listed in the README); anything else is ours and fails the test.
FRAMEWORK_FINDINGS = {
    ("Subject not in domain", "http://usefulinc.com/ns/doap#maintainer"),
    ("Subject not in domain", "http://usefulinc.com/ns/doap#release"),
    ("Object not in range", "http://lv2plug.in/ns/extensions/ui#noUserResize"),
    ("Object not in range", "http://lv2plug.in/ns/ext/options#interface"),
    ("Use of undefined property", "urn:lutewyrm:lutewyrm-rpg:Program"),
    ("has no label", "urn:lutewyrm:lutewyrm-rpg:Program"),
}


def validate_lv2(bundle):
    """lv2_validate's findings as (kind, subject of interest); it cannot take paths with spaces."""
    work = tempfile.mkdtemp()
    try:
        copy = os.path.join(work, "lutewyrm.lv2")
        shutil.copytree(bundle, copy)
        files = [os.path.join(copy, f) for f in sorted(os.listdir(copy)) if f.endswith(".ttl")]
        out = subprocess.run(["lv2_validate"] + files, capture_output=True, text=True)
        text = out.stdout + out.stderr
        status = out.returncode
    finally:
        shutil.rmtree(work)

    findings = set()
    for block in re.split(r"\n(?=error: )", text):
        if not block.startswith("error: "):
            continue
        kind = block.splitlines()[0][len("error: "):]
        words = block.split()
        key = next((k for k in ("Subject not in domain", "Object not in range", "Use of undefined property", "has no label")
                    if k in kind), kind)
        subject = next((w for w in words if w.startswith(("http://usefulinc.com/ns/doap#maintainer",
                                                          "http://usefulinc.com/ns/doap#release",
                                                          "http://lv2plug.in/ns/extensions/ui#noUserResize",
                                                          "http://lv2plug.in/ns/ext/options#interface",
                                                          "urn:lutewyrm:lutewyrm-rpg:Program"))), block)
        findings.add((key, subject))
    return findings, text, status


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
    assert "mailto:support@lutewyrm.example" in info.stdout or "mailto:support@lutewyrm.example" in open(
        os.path.join(args.lv2, "dsp.ttl")).read(), "the maintainer's e-mail must be a mailto: address"

    findings, report, status = validate_lv2(args.lv2)
    ours = findings - FRAMEWORK_FINDINGS
    assert not ours, f"lv2_validate finds problems in our metadata: {ours}\n{report}"
    # A validator that no longer sees the framework's own findings (or exits
    # as if all were well) is not checking anything: that fails too.
    assert findings == FRAMEWORK_FINDINGS, f"lv2_validate missed known findings: {FRAMEWORK_FINDINGS - findings}\n{report}"
    assert status != 0, f"lv2_validate reported errors but exited with 0\n{report}"
    print(f"lv2_validate: the {len(findings)} known framework findings, none of ours")

    so = os.path.join(args.vst3, "Contents", "x86_64-linux", "Lutewyrm RPG.so")
    assert os.path.isfile(so), so

    # The web view's helper ships in each bundle, next to the binary, and runs
    # from there (a temporary folder may be mounted noexec).
    for folder in (os.path.dirname(so), args.lv2):
        helper = os.path.join(folder, "juce_linux_subprocess_helper")
        assert os.path.isfile(helper) and os.access(helper, os.X_OK), f"no runnable helper: {helper}"
    with open(os.path.join(args.vst3, "Contents", "Resources", "moduleinfo.json")) as f:
        text = f.read()
    # JUCE writes JSON5-ish module info (trailing commas); a plain check of the names will do.
    assert '"Lutewyrm RPG"' in text and '"Lutewyrm"' in text and '"1.0.0"' in text, text
    print("PASS")


if __name__ == "__main__":
    sys.exit(main())
