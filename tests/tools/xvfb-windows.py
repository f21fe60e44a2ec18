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
- script: an event script (VUM_GUI_EVENTS) fed at the SDL driver's waits
  types into the probe's window, shoots its back buffer as a PNG and, at
  its end, closes the window and ends the process with status 0.

Exits 77 (skipped) when Xvfb or a tool is missing or the server does not
start. --keep DIR leaves the captures (PNG) there to look at.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
TOOLS = ["Xvfb", "xwd", "convert", "identify", "xdotool", "xclip"]

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
                            ("script", lambda: check_script(args.probe, env, folder))]:
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
