#!/usr/bin/env python3
"""Opens the standalone application on the display in $DISPLAY, saves a
screenshot once its page has painted, and closes it as a window manager's
close button does. Usage: screenshot_app.py <application> <screenshot.png>
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import x11  # noqa: E402


def main():
    app_path, shot = sys.argv[1], sys.argv[2]
    app = subprocess.Popen([app_path])
    if not x11.find_windows("Lutewyrm RPG"):
        app.kill()
        sys.exit("the application window did not appear")
    colours = x11.wait_for_painted_page(shot)
    print("screenshot of the running application:", shot, f"({colours} colours)")
    # Our own window is the one of our process; the web engine's child has
    # windows of the same name.
    for window in x11.find_windows("Lutewyrm RPG"):
        if x11.window_pid(window) == app.pid:
            x11.request_close(window)
    sys.exit(app.wait())


if __name__ == "__main__":
    main()
