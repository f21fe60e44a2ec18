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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pass_timeout import scaled  # noqa: E402

SKIP = 77


class Pane:
    def __init__(self, program, config, socket, folder=None, locale=None):
        self.socket = socket
        env = dict(os.environ, XDG_CONFIG_HOME=config, TERM="xterm")
        # The status line shows after vum ends, so a test can read it.
        command = f"{os.path.abspath(program)}; echo exit-status=$?; sleep 30"
        if locale:
            command = f"env LC_ALL={locale} LANG={locale} " + command
        where = ["-c", folder] if folder else []
        subprocess.run(["tmux", "-L", socket, "new-session", "-d", *where, "-x", "120", "-y", "40", command],
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

    def wait_for(self, text, timeout=10.0, count=1):
        """True once the text shows on the screen (count times)."""
        end = time.time() + scaled(timeout)
        while time.time() < end:
            if self.screen().count(text) >= count:
                return True
            time.sleep(0.05)
        return False

    def close(self):
        self.tmux("kill-server")


def line_input(program, config, socket, expect, failures):
    """What a typed line may do: Ctrl-C and Escape drop it, text outside
    ASCII arrives whole, hidden and script answers stay out of the history,
    completion, the size of the terminal."""
    with tempfile.TemporaryDirectory() as folder:
        victim = os.path.join(folder, "victim.txt")
        for name, text in (("victim.txt", "keep me"), ("my file.txt", "hello")):
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        pane = Pane(program, config, socket, folder=folder, locale="C.UTF-8")
        try:
            pane.keys("1 + 1", "Enter")
            expect(pane, "== 2", "the first input")
            # Ctrl-C drops the line: Enter after it runs nothing.
            # (Keys wait for the echo: the terminal drops input not yet read
            # when Ctrl-C comes.)
            pane.keys("delete %victim.txt")
            expect(pane, ">> delete %victim.txt", "the typed line")
            pane.keys("C-c")
            expect(pane, ">> delete %victim.txt\n>> ", "Ctrl-C gives a fresh prompt")
            pane.keys("Enter")
            pane.keys('print "drop-1"')
            expect(pane, '>> print "drop-1"', "the typed line")
            pane.keys("C-c")
            expect(pane, '>> print "drop-1"\n>> ', "Ctrl-C gives a fresh prompt")
            pane.keys('print "z"', "Enter")
            expect(pane, 'print "z"\nz\n>> ', "the line after Ctrl-C runs alone")
            if not os.path.exists(victim):
                failures.append("Ctrl-C at the prompt: the dropped line ran on the next Enter")
            if "drop-1" in pane.screen().split("\n"):
                failures.append("Ctrl-C at the prompt: the dropped line ran")
            # The terminal's modes come back after Ctrl-C: Ctrl-L clears the
            # screen instead of showing itself.
            pane.keys("C-l", "3 * 3", "Enter")
            expect(pane, "== 9", "input after Ctrl-L")
            if "^L" in pane.screen():
                failures.append("Ctrl-L after Ctrl-C shows as ^L")
            # An open block dropped by Ctrl-C, and by Escape.
            pane.keys("ob: [1 2", "Enter")
            expect(pane, "[    ", "the cue of an open block")
            pane.keys("C-c")
            expect(pane, "[    \n>> ", "a fresh prompt after Ctrl-C")
            pane.keys("value? 'ob", "Enter")
            expect(pane, ">> value? 'ob\n== false", "Ctrl-C drops an open block")
            pane.keys("eb: [1 2", "Enter", "3")
            expect(pane, "[    3", "the typed line")
            pane.keys("Escape")
            expect(pane, "(escape)", "Escape in an open block")
            pane.keys("value? 'eb", "Enter")
            expect(pane, ">> value? 'eb\n== false", "Escape drops an open block")
            # Ctrl-C in a script's ask halts it.
            pane.keys('a1: ask "name? "', "Enter")
            expect(pane, "\nname? ", "ask's prompt")
            pane.keys("abc")
            expect(pane, "\nname? abc", "the typed answer")
            pane.keys("C-c")
            expect(pane, "(halted)", "Ctrl-C in ask")
            pane.keys("value? 'a1", "Enter")
            expect(pane, ">> value? 'a1\n== false", "Ctrl-C in ask sets nothing")
            # Text outside ASCII, typed and pasted.
            pane.keys('length? "naïve ☃ 😀"', "Enter")
            expect(pane, "== 9", "typed UTF-8")
            pane.keys('to-binary "é☃"', "Enter")
            expect(pane, "== #{C3A9E29883}", "typed UTF-8 bytes")
            pane.paste('length? "über"')
            pane.keys("Enter")
            expect(pane, "== 4", "pasted UTF-8")
            # Hidden input is not shown; answers to a script stay out of
            # the history, unless it names a history block of its own.
            pane.keys('length? pw: ask/hide "pw? "', "Enter")
            expect(pane, "\npw? ", "ask/hide's prompt")
            pane.keys("secret-pw", "Enter")
            expect(pane, "== 9", "the hidden answer")
            if "secret-pw" in pane.screen():
                failures.append("ask/hide shows what is typed")
            pane.keys('an: ask "q? "', "Enter")
            expect(pane, "\nq? ", "ask's prompt")
            pane.keys("answer-xyz", "Enter", "length? an", "Enter")
            expect(pane, "== 10", "the answer to ask")
            pane.keys('print ["got" ask/history "q3? " ["older-one"]]', "Enter")
            expect(pane, "\nq3? ", "ask/history's prompt")
            pane.keys("Up", "Enter")
            expect(pane, "got older-one", "Up in ask/history recalls from its block")
            pane.keys('h: copy []  ask/history "q4? " h', "Enter")
            expect(pane, "\nq4? ", "ask/history's prompt")
            pane.keys("kept", "Enter", "h", "Enter")
            expect(pane, '>> h\n== ["kept"]', "ask/history stores in its block")
            # A multi-line input comes back whole.
            pane.keys("(100 +", "Enter", "23)", "Enter")
            expect(pane, "== 123", "a multi-line input")
            pane.keys("Up", "Enter")
            expect(pane, "== 123", "a multi-line input recalled", count=2)
            # Completion: an object's words, a file name with a space.
            pane.keys("o: context [aa: 1 ab: 2 b: 3]", "Enter", "o/", "Tab")
            expect(pane, "aa ab b", "Tab after an object's path")
            pane.keys("C-u", "system/options/", "Tab")
            expect(pane, "thru-cache", "Tab after system/options/")
            pane.keys("C-u", "length? read %my", "Tab", "Enter")
            expect(pane, '>> length? read %"my file.txt"\n== 5', "Tab completes a name with a space")
            # The size follows the terminal.
            pane.keys("system/console/size", "Enter")
            expect(pane, "== 120x40", "the console's size")
            pane.tmux("resize-window", "-x", "100", "-y", "30")
            pane.keys("system/console/size", "Enter")
            expect(pane, "== 100x30", "the console's size after a resize")
            pane.keys("quit", "Enter")
            expect(pane, "exit-status=0", "quit")
        finally:
            pane.close()
        try:
            with open(os.path.join(config, "vum", "history"), encoding="utf-8", errors="replace") as f:
                stored = f.read()
        except OSError:
            stored = ""
        for text in ("drop-1", "secret-pw", "answer-xyz", "kept"):
            if text in stored:
                failures.append(f"{text!r} went into the console's history")
        if "o: context" not in stored:
            failures.append("the history file misses the session's inputs")


def in_c_locale(program, config, socket, expect):
    """UTF-8 input is not lost when the locale is C."""
    pane = Pane(program, config, socket, locale="C")
    try:
        pane.keys('length? "naïve ☃ 😀"', "Enter")
        expect(pane, "== 9", "typed UTF-8 in the C locale")
        pane.keys('to-binary "é☃"', "Enter")
        expect(pane, "== #{C3A9E29883}", "typed UTF-8 bytes in the C locale")
    finally:
        pane.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    args = ap.parse_args()
    if not shutil.which("tmux"):
        print("tmux is not installed: skipped")
        return SKIP
    failures = []

    def expect(pane, text, what, count=1):
        if not pane.wait_for(text, count=count):
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
            pane.keys("zf: func [a /beta /gamma] [a]", "Enter", "zf/b", "Tab", " 6", "Enter")
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
        line_input(args.program, config, socket + "-input", expect, failures)
        in_c_locale(args.program, config, socket + "-c", expect)

    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
