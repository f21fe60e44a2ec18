#!/usr/bin/env python3
"""The window system on a real X display: starts Xvfb on a free display and
runs vum-window-probe there.

- paint: a 200x100 top-level whose child paints solid red. The screen,
  captured with xwd, shows red at the child, and the window's region of the
  capture equals its back buffer pixel for pixel.
- keys: `xdotool type aB` gives the key-down / char / key-up sequence the
  headless unit test injects.
- clipboard: text the probe writes reads back through xclip, and text xclip
  sets reads back in the probe.
- scale: with no Xft.dpi the scale is 1; after `xrdb -merge` of
  `Xft.dpi: 144` it is 1.5.
- styles: the popup is override-redirect (no frame, no taskbar entry, no
  focus from the window manager), an owned window is transient for its
  owner, a minimum size reaches the size hints.
- states (under openbox, a window manager, for these need one):
  `xdotool windowminimize` gives the minimised state, `windowactivate` the
  restored one, and `xdotool windowsize` one size-move begin and end.
- control keys and wheel: Ctrl+BackSpace types 127 and Ctrl+Return 10;
  `xdotool click 4` is a wheel of +120, `click 5` of -120.
- scroll bars: a window with both bars and a menu band; its region of the
  screen equals its back buffer, the band shows what the probe drew there,
  a click on an arrow and a drag of the thumb send their scroll messages.
- colour cursor: the cursor the probe makes from an image is the one the
  server shows over its window (read back through XFixes), hot spot and all.
- script: an event script (VUM_GUI_EVENTS) fed at the SDL driver's waits
  types into the probe's window, shoots its back buffer as a PNG and, at
  its end, closes the window and ends the process with status 0.

Exits 77 (skipped) when Xvfb or a tool is missing or the server does not
start. --keep DIR leaves the captures (PNG) there to look at.
"""
import argparse
import ctypes
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
TOOLS = ["Xvfb", "xwd", "convert", "identify", "xdotool", "xclip", "xrdb", "xprop", "xwininfo", "openbox"]

# The unit test's sequence for "aB" (codes of the window system's keys).
LEFT_SHIFT = 0x100 + 11
# xdotool lets go of shift before the letter.
EXPECTED_KEYS = ["key-down 65", "char 97", "key-up 65",
                 f"key-down {LEFT_SHIFT}", "key-down 66", "char 66", f"key-up {LEFT_SHIFT}",
                 "key-up 66"]


def start_xvfb():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x480x24", "-nolisten", "tcp"],
        pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.time() + 20
    while time.time() < deadline:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
        if number.endswith(b"\n"):
            break
    os.close(read_end)
    if not number.strip().isdigit():
        server.kill()
        return None, None
    return server, ":" + number.decode().strip()


def read_ppm(data):
    """Width, height and the RGB bytes of a binary PPM."""
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    assert fields[0] == b"P6" and fields[3] == b"255", "not an 8-bit PPM"
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def capture_screen(env, png_path):
    xwd = subprocess.run(["xwd", "-root", "-silent"], env=env, capture_output=True, check=True).stdout
    subprocess.run(["convert", "xwd:-", png_path], input=xwd, check=True)
    ppm = subprocess.run(["convert", png_path, "ppm:-"], capture_output=True, check=True).stdout
    return read_ppm(ppm)


def start_probe(probe, args, env):
    p = subprocess.Popen([probe] + args, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    # A window manager's framing and placing may come first (size-move).
    line = p.stdout.readline().split()
    while line and line[0] == "size-move":
        line = p.stdout.readline().split()
    if not line or line[0] != "ready":
        p.kill()
        out, err = p.communicate()
        raise AssertionError(f"probe {args} did not start: {line} {err}")
    return p, [int(x) for x in line[1:]]


def check_paint(probe, env, folder):
    buffer_path = os.path.join(folder, "back-buffer.ppm")
    p, (x, y, w, h) = start_probe(probe, ["paint", buffer_path], env)
    try:
        sw, sh, screen = capture_screen(env, os.path.join(folder, "screen.png"))
    finally:
        p.stdin.close()
        p.wait(timeout=30)
    subprocess.run(["convert", buffer_path, os.path.join(folder, "back-buffer.png")], check=True)
    with open(buffer_path, "rb") as f:
        bw, bh, buffer = read_ppm(f.read())
    assert (bw, bh) == (w, h) == (200, 100), f"sizes {bw}x{bh}, window {w}x{h}"
    assert 0 <= x and x + w <= sw and 0 <= y and y + h <= sh, f"window at {x},{y} off the screen"

    def screen_pixel(px, py):
        at = ((y + py) * sw + x + px) * 3
        return tuple(screen[at:at + 3])

    assert screen_pixel(100, 50) == (255, 0, 0), f"child centre shows {screen_pixel(100, 50)}"
    assert screen_pixel(10, 10) == (0x30, 0x50, 0xA0), f"top-level shows {screen_pixel(10, 10)}"
    differing = 0
    for py in range(h):
        row = buffer[py * w * 3:(py + 1) * w * 3]
        at = ((y + py) * sw + x) * 3
        if screen[at:at + w * 3] != row:
            differing += 1
    assert differing == 0, f"{differing} rows of the screen differ from the back buffer"
    print(f"paint: window at {x},{y}; the screen equals the back buffer")


def check_keys(probe, env):
    p, (x, y, w, h) = start_probe(probe, ["keys"], env)
    try:
        # Xvfb's focus follows the pointer.
        subprocess.run(["xdotool", "mousemove", str(x + 20), str(y + 20)], env=env, check=True)
        time.sleep(0.3)
        subprocess.run(["xdotool", "type", "--delay", "80", "aB"], env=env, check=True)
        time.sleep(0.5)
    finally:
        p.stdin.close()
        out = p.stdout.read()
        p.wait(timeout=30)
    got = out.split("\n")
    got = [line for line in got if line]
    assert got == EXPECTED_KEYS, f"keys: got {got}, want {EXPECTED_KEYS}"
    print("keys: xdotool's aB gives the injected sequence")


def run_input(probe, env, actions):
    """Runs the keys probe, does the xdotool actions over its window and
    returns what it printed."""
    p, (x, y, w, h) = start_probe(probe, ["keys"], env)
    try:
        subprocess.run(["xdotool", "mousemove", str(x + 20), str(y + 20)], env=env, check=True)
        time.sleep(0.3)
        for action in actions:
            subprocess.run(["xdotool"] + action, env=env, check=True)
            time.sleep(0.15)
        time.sleep(0.5)
    finally:
        p.stdin.close()
        out = p.stdout.read()
        p.wait(timeout=30)
    return [line for line in out.split("\n") if line]


def check_control_keys_and_wheel(probe, env):
    got = run_input(probe, env, [["key", "ctrl+BackSpace"], ["key", "ctrl+Return"], ["key", "BackSpace"],
                                 ["click", "4"], ["click", "5"]])
    chars = [line for line in got if line.startswith("char ")]
    assert chars == ["char 127", "char 10", "char 8"], f"characters {chars} of {got}"
    wheels = [line for line in got if line.startswith("wheel ")]
    assert wheels == ["wheel 0 120", "wheel 0 -120"], f"wheel {wheels} of {got}"
    print("control keys and wheel: Ctrl+BackSpace 127, Ctrl+Return 10; click 4 and 5 are +120 and -120")


# The scroll probe's window: 200x150 with a 20-pixel band, the vertical bar
# at x 183-199 from y 20 (arrows 17 high, the thumb 8 long at position 30
# of 0-90: y 61-68), the horizontal bar at y 133-149.
def check_scroll_bars(probe, env, folder):
    buffer_path = os.path.join(folder, "scroll-back-buffer.ppm")
    p, (x, y, w, h) = start_probe(probe, ["scroll", buffer_path], env)
    try:
        sw, sh, screen = capture_screen(env, os.path.join(folder, "scroll-screen.png"))
        subprocess.run(["xdotool", "mousemove", str(x + 191), str(y + 125), "click", "1"], env=env, check=True)
        time.sleep(0.3)
        subprocess.run(["xdotool", "mousemove", str(x + 191), str(y + 64), "mousedown", "1"], env=env, check=True)
        time.sleep(0.2)
        subprocess.run(["xdotool", "mousemove", str(x + 191), str(y + 100)], env=env, check=True)
        time.sleep(0.2)
        subprocess.run(["xdotool", "mouseup", "1"], env=env, check=True)
        time.sleep(0.5)
    finally:
        p.stdin.close()
        out = p.stdout.read()
        p.wait(timeout=30)
    subprocess.run(["convert", buffer_path, os.path.join(folder, "scroll-back-buffer.png")], check=True)
    with open(buffer_path, "rb") as f:
        bw, bh, buffer = read_ppm(f.read())
    assert (bw, bh) == (w, h) == (200, 150), f"sizes {bw}x{bh}, window {w}x{h}"
    # The window's region of the screen, for a person to look at.
    subprocess.run(["convert", os.path.join(folder, "scroll-screen.png"), "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                    os.path.join(folder, "scroll-window.png")], check=True)

    def screen_pixel(px, py):
        at = ((y + py) * sw + x + px) * 3
        return tuple(screen[at:at + 3])

    assert screen_pixel(100, 10) == (0, 255, 0), f"the band shows {screen_pixel(100, 10)}"
    assert screen_pixel(10, 30) == (0x30, 0x50, 0xA0), f"the client area shows {screen_pixel(10, 30)}"
    assert screen_pixel(100, 70) == (255, 0, 0), f"the child shows {screen_pixel(100, 70)}"
    trough, thumb = screen_pixel(191, 100), screen_pixel(191, 64)
    assert trough[0] == trough[1] == trough[2] and trough != thumb, f"trough {trough}, thumb {thumb}"
    assert screen_pixel(100, 141)[0] == screen_pixel(100, 141)[2], f"the bottom bar shows {screen_pixel(100, 141)}"
    differing = sum(1 for py in range(h)
                    if screen[((y + py) * sw + x) * 3:((y + py) * sw + x + w) * 3] != buffer[py * w * 3:(py + 1) * w * 3])
    assert differing == 0, f"{differing} rows of the screen differ from the back buffer"
    got = [line for line in out.split("\n") if line.startswith("scroll ")]
    # The arrow: line down at 30, then the end; the thumb: dragged, let go, end.
    assert got[:2] == ["scroll 1 1 30", "scroll 8 1 30"], f"arrow click gave {got}"
    drag = got[2:]
    assert len(drag) >= 3 and all(line.startswith("scroll 5 1 ") for line in drag[:-2]), f"drag gave {drag}"
    final = drag[-3].split()[3]
    assert drag[-2:] == [f"scroll 4 1 {final}", f"scroll 8 1 {final}"] and int(final) > 30, f"drag gave {drag}"
    print(f"scroll bars: the screen equals the back buffer; an arrow and a drag to {final} sent their messages")


class XFixesCursorImage(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short), ("width", ctypes.c_ushort),
                ("height", ctypes.c_ushort), ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort),
                ("cursor_serial", ctypes.c_ulong), ("pixels", ctypes.POINTER(ctypes.c_ulong)),
                ("atom", ctypes.c_ulong), ("name", ctypes.c_char_p)]


def shown_cursor(display):
    """The server's cursor image as (width, height, hot x, hot y, ARGB
    pixels), or None when XFixes cannot be reached."""
    try:
        x11 = ctypes.CDLL("libX11.so.6")
        xfixes = ctypes.CDLL("libXfixes.so.3")
    except OSError:
        return None
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x11.XFree.argtypes = [ctypes.c_void_p]
    xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(XFixesCursorImage)
    xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(display.encode())
    if not connection:
        return None
    try:
        image = xfixes.XFixesGetCursorImage(connection)
        if not image:
            return None
        c = image.contents
        pixels = [c.pixels[i] & 0xFFFFFFFF for i in range(c.width * c.height)]
        shape = (c.width, c.height, c.xhot, c.yhot, pixels)
        x11.XFree(image)
        return shape
    finally:
        x11.XCloseDisplay(connection)


def check_color_cursor(probe, env):
    p, (x, y, w, h) = start_probe(probe, ["cursor"], env)
    try:
        subprocess.run(["xdotool", "mousemove", str(x + 50), str(y + 40)], env=env, check=True)
        time.sleep(0.2)
        subprocess.run(["xdotool", "mousemove", str(x + 60), str(y + 50)], env=env, check=True)
        time.sleep(0.5)
        shown = shown_cursor(env["DISPLAY"])
    finally:
        p.stdin.close()
        p.wait(timeout=30)
    if shown is None:
        print("colour cursor: set without error (XFixes not reachable to see it)")
        return
    width, height, hot_x, hot_y, pixels = shown
    assert (width, height, hot_x, hot_y) == (16, 16, 3, 5), f"cursor {width}x{height} hot {hot_x},{hot_y}"
    assert pixels[5 * 16 + 3] == 0xFFFF0000 and pixels[0] == 0xFF0000FF, \
        f"cursor pixels {pixels[5 * 16 + 3]:08x} at the hot spot, {pixels[0]:08x} at the corner"
    print("colour cursor: the server shows the probe's image with its hot spot")


def check_clipboard(probe, env):
    p, _ = start_probe(probe, ["clip-write", "from vum: één"], env)
    try:
        pasted = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=env, capture_output=True,
                                timeout=10).stdout.decode()
    finally:
        p.stdin.close()
        p.wait(timeout=30)
    assert pasted == "from vum: één", f"xclip read {pasted!r}"
    setter = subprocess.Popen(["xclip", "-i", "-selection", "clipboard"], env=env, stdin=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    setter.communicate(b"from xclip\nline two", timeout=10)
    time.sleep(0.2)
    read = subprocess.run([probe, "clip-read"], env=env, capture_output=True, text=True, timeout=30).stdout
    assert read == "text:from xclip\nline two\n", f"probe read {read!r}"
    # An image travels as image/png, both ways.
    with tempfile.TemporaryDirectory() as tmp:
        png = os.path.join(tmp, "dot.png")
        subprocess.run(["convert", "-size", "3x2", "xc:#ff0000", png], check=True, env=env, timeout=30)
        data = open(png, "rb").read()
        p, _ = start_probe(probe, ["clip-write-png", png], env)
        try:
            pasted = subprocess.run(["xclip", "-o", "-selection", "clipboard", "-t", "image/png"], env=env,
                                    capture_output=True, timeout=10).stdout
        finally:
            p.stdin.close()
            p.wait(timeout=30)
        assert pasted == data, f"xclip read {len(pasted)} bytes of image/png, want {len(data)}"
        setter = subprocess.Popen(["xclip", "-i", "-selection", "clipboard", "-t", "image/png", png], env=env,
                                  stderr=subprocess.DEVNULL)
        time.sleep(0.3)
        read = subprocess.run([probe, "clip-read"], env=env, capture_output=True, text=True, timeout=30).stdout
        setter.kill()
        setter.wait(timeout=10)
        assert read == f"png:{len(data)}\n", f"probe read {read!r}"
    print("clipboard: text and image/png both ways through xclip")


def probe_lines(p, want, timeout=10.0):
    """Reads the probe's lines until `want` lines have come or time ends."""
    got = []
    deadline = time.time() + timeout
    while len(got) < want and time.time() < deadline:
        ready, _, _ = select.select([p.stdout], [], [], 0.1)
        if ready:
            line = p.stdout.readline()
            if not line:
                break
            got.append(line.strip())
    return got


def check_scale(probe, env):
    def scale():
        out = subprocess.run([probe, "scale"], env=env, capture_output=True, text=True, timeout=30).stdout
        return out.split("\n")[0]
    got = [scale()]
    subprocess.run(["xrdb", "-merge"], input="Xft.dpi: 144\n", text=True, env=env, check=True, timeout=30)
    got.append(scale())
    subprocess.run(["xrdb", "-remove"], env=env, check=True, timeout=30)
    assert got == ["scale 1", "scale 1.5"], f"scale without and with Xft.dpi 144: {got}"
    print("scale: 1 without Xft.dpi, 1.5 with Xft.dpi 144")


def window_id(env, title):
    out = subprocess.run(["xdotool", "search", "--name", f"^{title}$"], env=env, capture_output=True, text=True,
                         timeout=30).stdout.split()
    assert out, f"no window titled {title}"
    return out[0]


def check_styles(probe, env):
    p = subprocess.Popen([probe, "styles"], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        line = p.stdout.readline().strip()
        assert line == "ready", f"styles probe said {line!r}"
        def info(title, *command):
            return subprocess.run(command + (window_id(env, title),), env=env, capture_output=True, text=True,
                                  timeout=30).stdout
        popup = info("vum-popup", "xwininfo", "-id")
        owner = info("vum-owner", "xwininfo", "-id")
        assert "Override Redirect State: yes" in popup, f"the popup is not override-redirect:\n{popup}"
        assert "Override Redirect State: no" in owner, f"the owner is override-redirect:\n{owner}"
        owner_id = int(window_id(env, "vum-owner"))
        transient = info("vum-owned", "xprop", "WM_TRANSIENT_FOR", "-id")
        assert transient.strip().endswith(hex(owner_id)), f"owned: {transient!r}, owner {hex(owner_id)}"
        hints = info("vum-owner", "xprop", "WM_NORMAL_HINTS", "-id")
        assert "minimum size: 150 by 80" in hints, f"owner's size hints: {hints}"
    finally:
        p.stdin.close()
        p.wait(timeout=30)
    print("styles: popup override-redirect, owned transient for its owner, minimum size in the hints")


def check_states(probe, env):
    wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        p, _ = start_probe(probe, ["states"], env)
        try:
            # The window manager framing and placing the window is a burst
            # of its own: let it end before asking anything.
            time.sleep(0.5)
            probe_lines(p, 100, timeout=0.5)
            window = window_id(env, "vum-states")
            steps = [(["windowminimize", window], ["state 1"]),
                     (["windowactivate", window], ["state 0"]),
                     (["windowsize", window, "260", "140"], ["size-move begin", "size-move end"])]
            for command, want in steps:
                subprocess.run(["xdotool"] + command, env=env, check=True, timeout=30)
                got = probe_lines(p, len(want))
                assert got == want, f"xdotool {command[0]}: got {got}, want {want}"
        finally:
            p.stdin.close()
            p.wait(timeout=30)
    finally:
        wm.terminate()
        wm.wait(timeout=10)
    print("states: windowminimize, windowactivate and windowsize give minimised, restored and one size-move")
def check_script(probe, env, folder):
    shot = os.path.join(folder, "script-shot.png")
    script = os.path.join(folder, "events.txt")
    with open(script, "w") as f:
        f.write(f'type "aB"\nkey control+enter\nclick 20 30\nwait 50\nshot "{shot}"\n')
    p, _ = start_probe(probe, ["keys"], dict(env, VUM_GUI_EVENTS=script))
    # Standard input stays open: its end would end the probe before the script.
    try:
        p.wait(timeout=60)
        out, err = p.stdout.read(), p.stderr.read()
    finally:
        if p.poll() is None:
            p.kill()
        p.stdin.close()
    got = [line for line in out.split("\n") if line]
    want = ["key-down 65", "char 97", "key-up 65", "key-down 66", "char 66", "key-up 66",
            "key-down 13", "char 10", "key-up 13"]
    assert got == want, f"script keys: got {got}, want {want}"
    assert p.returncode == 0, f"the script's end gave status {p.returncode}: {err}"
    size = subprocess.run(["identify", "-format", "%w %h", shot], capture_output=True, text=True,
                          check=True).stdout
    assert size == "200 100", f"the shot is {size}"
    colour = subprocess.run(["convert", shot, "-format", "%[hex:p{100,50}]", "info:"], capture_output=True,
                            text=True, check=True).stdout
    assert colour.upper().startswith("3050A0"), f"the shot shows {colour} at its centre"
    print("script: typed, shot and ended with status 0 at the SDL driver's waits")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--probe", required=True)
    ap.add_argument("--keep")
    args = ap.parse_args()
    missing = [t for t in TOOLS if not shutil.which(t)]
    if missing:
        print("skipped: missing " + " ".join(missing))
        return SKIP
    server, display = start_xvfb()
    if not server:
        print("skipped: Xvfb did not start")
        return SKIP
    env = dict(os.environ, DISPLAY=display)
    env.pop("VUM_DISPLAY", None)
    folder = args.keep or tempfile.mkdtemp(prefix="vum-xvfb-")
    os.makedirs(folder, exist_ok=True)
    failures = 0
    try:
        for name, check in [("paint", lambda: check_paint(args.probe, env, folder)),
                            ("keys", lambda: check_keys(args.probe, env)),
                            ("clipboard", lambda: check_clipboard(args.probe, env)),
                            ("control keys and wheel", lambda: check_control_keys_and_wheel(args.probe, env)),
                            ("scroll bars", lambda: check_scroll_bars(args.probe, env, folder)),
                            ("colour cursor", lambda: check_color_cursor(args.probe, env)),
                            ("scale", lambda: check_scale(args.probe, env)),
                            ("styles", lambda: check_styles(args.probe, env)),
                            ("script", lambda: check_script(args.probe, env, folder)),
                            # Last: it runs a window manager, which the checks above have none of.
                            ("states", lambda: check_states(args.probe, env))]:
            try:
                check()
            except (AssertionError, subprocess.SubprocessError, OSError) as e:
                failures += 1
                print(f"FAIL {name}: {e}")
    finally:
        server.terminate()
        server.wait(timeout=10)
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
