#!/usr/bin/env python3
"""Events a second through the GUI's loop, headless: key presses and
pointer moves injected into a window, each message taken through the event
filter to an awake that does nothing, then translated and dispatched.

A key press makes three events (key-down, key, key-up); the moves alternate
between two points of one window, so each is taken and filtered, but only
the first enters the window and becomes an event. The injection is timed
apart and left out. Wall time on a loaded machine swings: compare figures
from one run.

    python3 bench/event-bench.py [--program build/vum] [--count 100000]
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

SCRIPT = """
n: {count}
w: gui-test/window 200x100
system/view/awake: func [event /with face] []
gui-test/mouse 'move 1x1
; keys: every press queued, then the loop run until nothing is left
repeat k n / 2 [gui-test/key/queue #"a"]
t: now/precise
gui-test/do-events/no-wait
while [1 = gui-test/do-events/no-wait] []
key-time: to float! difference now/precise t
; moves: two points in turn
repeat k n / 2 [gui-test/mouse/queue 'move either odd? k [10x10] [20x20]]
t: now/precise
while [1 = gui-test/do-events/no-wait] []
move-time: to float! difference now/precise t
print ["keys" n / 2 "presses" 3 * (n / 2) "events" key-time "s"]
print ["moves" n / 2 "messages" move-time "s"]
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", default=os.path.join(HERE, "..", "build", "vum"))
    ap.add_argument("--count", type=int, default=100000)
    args = ap.parse_args()
    env = dict(os.environ, VUM_DISPLAY="headless")
    with open(os.devnull) as devnull:
        import tempfile

        with tempfile.NamedTemporaryFile("w", suffix=".vum", delete=False) as f:
            f.write("Vum []\n" + SCRIPT.format(count=args.count))
            path = f.name
        try:
            out = subprocess.run([args.program, path], stdin=devnull, capture_output=True, text=True, env=env,
                                 timeout=600)
        finally:
            os.unlink(path)
    if out.returncode != 0:
        sys.stderr.write(out.stdout + out.stderr)
        return 1
    keys = moves = None
    for line in out.stdout.splitlines():
        parts = line.split()
        if parts[:1] == ["keys"]:
            keys = (int(parts[1]), int(parts[3]), float(parts[5]))
        elif parts[:1] == ["moves"]:
            moves = (int(parts[1]), float(parts[3]))
    if not keys or not moves:
        sys.stderr.write(out.stdout + out.stderr)
        return 1
    presses, events, seconds = keys
    print(f"key presses: {presses} presses, {events} events in {seconds:.3f} s: {events / seconds:,.0f} events/s")
    print(f"pointer moves: {moves[0]} messages filtered in {moves[1]:.3f} s: {moves[0] / moves[1]:,.0f} messages/s")
    print(f"together: {(events + moves[0]) / (seconds + moves[1]):,.0f} events and moves/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
