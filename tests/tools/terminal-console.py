#!/usr/bin/env python3
"""The console on a real terminal, as a person sees it: vum runs in a tmux
pane, keys are sent to it and the screen is read back.

    terminal-console.py --program VUM

Exits 77 (skipped) when tmux is not installed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77


class Pane:
    def __init__(self, program, config, socket):
        self.socket = socket
        env = dict(os.environ, XDG_CONFIG_HOME=config, TERM="xterm")
        # The status line shows after vum ends, so a test can read it.
        command = f"{program}; echo exit-status=$?; sleep 30"
        subprocess.run(["tmux", "-L", socket, "new-session", "-d", "-x", "120", "-y", "40", command],
                       env=env, check=True)
        self.wait_for(">> ")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], capture_output=True, text=True).stdout

    def keys(self, *keys):
        self.tmux("send-keys", *keys)

    def paste(self, text):
        self.tmux("set-buffer", "--", text)
        self.tmux("paste-buffer")

    def screen(self):
        # -J joins wrapped lines, so a long line reads as one.
        return self.tmux("capture-pane", "-p", "-J", "-S", "-200")

    def wait_for(self, text, timeout=10.0):
        end = time.time() + timeout
        while time.time() < end:
            if text in self.screen():
                return True
            time.sleep(0.05)
        return False

    def close(self):
        self.tmux("kill-server")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    args = ap.parse_args()
    if not shutil.which("tmux"):
        print("tmux is not installed: skipped")
        return SKIP
    failures = []

    def expect(pane, text, what):
        if not pane.wait_for(text):
            shown = "\n".join(line[:100] for line in pane.screen().rstrip().split("\n"))
            failures.append(f"{what}: {text!r} not on screen:\n{shown}")

    with tempfile.TemporaryDirectory() as config:
        socket = f"vum-terminal-test-{os.getpid()}"
        pane = Pane(args.program, config, socket)
        try:
            expect(pane, "Type HELP for starting information.", "banner")
            # Editing: a character changed behind the cursor, then Ctrl-A.
            pane.keys("2 + 40", "Left", "Left", "Left", "Left", "Left", "BSpace", "3", "Enter")
            expect(pane, "== 43", "Left and Backspace edit the line")
            pane.keys("+ 40", "C-a", "1 ", "Enter")
            expect(pane, "== 41", "Ctrl-A goes to the start of the line")
            # Up recalls the previous input.
            pane.keys("Up", "Enter")
            expect(pane, "== 41\n>> 1 + 40\n== 41", "Up recalls the previous input")
            # Open input continues under its cue.
            pane.keys("(1 +", "Enter", "2)", "Enter")
            expect(pane, "(    2)\n== 3", "the continuation cue")
            pane.keys("<a [>", "Enter")
            expect(pane, "== <a [>", "a tag holding a bracket is complete")
            # A long pasted line arrives whole.
            pane.paste('length? "' + "x" * 10000 + '"')
            pane.keys("Enter")
            expect(pane, "== 10000", "a 10,000-character line")
            # Tab completes through the console's own completion.
            pane.keys("zf: func [a /beta /gamma] [a]", "Enter", "zf/b", "Tab", "6", "Enter")
            expect(pane, ">> zf/beta 6\n== 6", "Tab completes a refinement")
            pane.keys("pro", "Tab", "Tab")
            expect(pane, "probe", "Tab lists the candidates")
            pane.keys("C-u")
            pane.keys("halt", "Enter")
            expect(pane, "(halted)", "halt")
            # Ctrl-C stops an evaluation, and at the prompt drops the line.
            pane.keys("forever []", "Enter")
            time.sleep(0.3)
            pane.keys("C-c")
            expect(pane, ">> forever []\n^C(halted)\n>> ", "Ctrl-C during forever []")
            pane.keys("dropped-word", "C-c")
            time.sleep(0.3)
            pane.keys("5 + 5", "Enter")
            expect(pane, "== 10", "the prompt after Ctrl-C")
            if "dropped-word has no value" in pane.screen():
                failures.append("Ctrl-C at the prompt: the line was evaluated")
            pane.keys("quit/return 3", "Enter")
            expect(pane, "exit-status=3", "quit/return")
        finally:
            pane.close()

        # The history outlives the session; Ctrl-D inside an open block
        # reports the missing bracket.
        pane = Pane(args.program, config, socket + "-again")
        try:
            pane.keys("Up")
            expect(pane, ">> quit/return 3", "the history of the last session")
            pane.keys("C-u", "[1 2", "Enter", "C-d")
            expect(pane, "*** Syntax Error: missing ]", "Ctrl-D in an open block")
            expect(pane, "exit-status=1", "the status after input cut short")
        finally:
            pane.close()

        # The console's init sets the terminal's title; an escape character
        # in the text cannot end the title's own escape early.
        pane = Pane(args.program, config, socket + "-title")
        try:
            pane.keys('system/console/init "vum-ti^[]0;xtle"', "Enter")
            end = time.time() + 10
            while pane.tmux("display", "-p", "#{pane_title}").strip() != "vum-ti]0;xtle" and time.time() < end:
                time.sleep(0.05)
            title = pane.tmux("display", "-p", "#{pane_title}").strip()
            if title != "vum-ti]0;xtle":
                failures.append(f"system/console/init: the pane's title is {title!r}")
        finally:
            pane.close()

    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
