#!/usr/bin/env python3
"""The README's main command, scripts/run.sh, on a build without a display.

It must serve the stand-in page, open the application on it under its own Xvfb,
take the screenshot and close the application again, all without help.
"""
import argparse
import os
import subprocess
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repo", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--build-type", required=True)
    args = parser.parse_args()

    env = dict(os.environ, LUTEWYRM_BUILD_DIR=args.build_dir, LUTEWYRM_BUILD_TYPE=args.build_type)
    env.pop("DISPLAY", None)
    shot = os.path.join(args.build_dir, "screenshots", "run.png")
    started = time.time()

    run = subprocess.run(["bash", os.path.join(args.repo, "scripts", "run.sh")], env=env,
                         capture_output=True, text=True, timeout=150)
    output = run.stdout + run.stderr
    print(output[-4000:])

    problems = []
    if run.returncode != 0:
        problems.append(f"run.sh exited with {run.returncode}")
    if "serving the stand-in game page" not in output:
        problems.append("the stand-in page was not served")
    if not os.path.isfile(shot) or os.path.getmtime(shot) < started:
        problems.append(f"no new screenshot at {shot}")
    else:
        colours = subprocess.run(["/usr/bin/convert", shot, "-format", "%k", "info:"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        # A window without its page is a few flat colours; the page has text,
        # a keyboard and gradients.
        if int(colours) < 200:
            problems.append(f"the screenshot has only {colours} colours: the page is not showing")
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
