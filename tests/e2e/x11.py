"""Small X11 helpers for the end-to-end tests: find windows, ask them to close, take screenshots."""
import ctypes
import os
import subprocess
import time

_ClientMessage = 33


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def _xlib():
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    return x


def prepare_display():
    """Creates the window-manager atoms a desktop always has.

    JUCE only looks these atoms up (it does not create them), so on a bare Xvfb
    without a window manager its windows would not take part in the close
    protocol at all. Call this before starting the application, on an X server
    started with -noreset (else the atoms go when this connection closes).
    """
    x = _xlib()
    display = x.XOpenDisplay(None)
    if not display:
        raise RuntimeError("cannot open the X display")
    for name in (b"WM_PROTOCOLS", b"WM_DELETE_WINDOW", b"WM_TAKE_FOCUS", b"_NET_WM_PING"):
        x.XInternAtom(display, name, 0)
    x.XSync(display, 0)
    x.XCloseDisplay(display)


def find_windows(name, timeout=30.0):
    """Window ids whose title is exactly `name`, waiting until there is one."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{name}$"],
                             capture_output=True, text=True).stdout.split()
        if out:
            return [int(w) for w in out]
        time.sleep(0.2)
    return []


def request_close(window):
    """Sends WM_DELETE_WINDOW, which is what a window manager's close button does."""
    x = _xlib()
    display = x.XOpenDisplay(None)
    if not display:
        raise RuntimeError("cannot open the X display")
    event = _XEvent()
    event.xclient.type = _ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.l[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x.XFlush(display)
    x.XCloseDisplay(display)


def screenshot(path):
    """The whole screen as a PNG, through ImageMagick's own convert."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, check=True).stdout
    subprocess.run(["/usr/bin/convert", "xwd:-", path], input=xwd, check=True)
    return path


def window_pid(window):
    out = subprocess.run(["xdotool", "getwindowpid", str(window)], capture_output=True, text=True).stdout.strip()
    return int(out) if out.isdigit() else None


def colours(path):
    """How many distinct colours a picture has: a window without its page shows
    a few flat ones; the stand-in page, with text and gradients, hundreds."""
    out = subprocess.run(["/usr/bin/convert", path, "-format", "%k", "info:"],
                         capture_output=True, text=True, check=True).stdout.strip()
    return int(out)


def wait_for_painted_page(path, timeout=60.0, minimum_colours=200):
    """Screenshots until the page shows (or the time is up); returns the last
    screenshot's colour count. The page reports its settings before its first
    paint, so once it shows, that report has been sent."""
    deadline = time.monotonic() + timeout
    count = 0
    while time.monotonic() < deadline:
        try:
            count = colours(screenshot(path))
        except subprocess.CalledProcessError:
            count = 0      # xwd can fail while windows are still being mapped
        if count >= minimum_colours:
            return count
        time.sleep(0.25)
    return count
