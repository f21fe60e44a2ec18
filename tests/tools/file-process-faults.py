#!/usr/bin/env python3
"""Files and child processes when things go wrong around them where a
transcript cannot reach: places an unprivileged user may not write or
enter, a file removed or cut short while it is read, a thousand calls that
must leave no descriptor or zombie behind, a runtime error's exit status,
and a 1 GB read.

    file-process-faults.py --program VUM [--only NAME]

Each case runs a small script in a temporary folder of its own, removed
afterwards whatever happened. Permission cases run the program as nobody
(setpriv) when the test runs as root, since root ignores permission bits.
The 1 GB read runs in the plain pass only; the runtime error's report is
left to the plain and torture passes, as the sanitizers take over faults.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pass_timeout import scaled  # noqa: E402

HEADER = "Vum []\n"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def flag(name):
    return os.environ.get(name, "") not in ("", "0")


TORTURE = flag("VUM_GC_TORTURE")
SANITIZED = flag("VUM_TEST_SANITIZED")


def signed32(n):
    return n - (1 << 32) if n >= 1 << 31 else n


def tries(*codes):
    """Script lines printing each code block, molded, and its result or the
    id of its error."""
    blocks = "\n".join(f"  [{c}]" for c in codes)
    return ("foreach code [\n" + blocks + "\n] [\n"
            "  r: try code print [mold code \"->\" either error? r [form r/id] [mold r]]\n]")


def outcome_lines(pairs):
    return [f"[{code}] -> {result}" for code, result in pairs]


class Case:
    """What a case gives: the script, its input, a command prefix, the
    expected standard output lines ("..." matches the rest), the exit
    status, and a check to run on the folder afterwards."""

    def __init__(self, script, expected, status=0, stdin=b"", prefix=(), after=None, pass_fds=(),
                 stderr_starts=None):
        self.script, self.expected, self.status = script, expected, status
        self.stdin, self.prefix, self.after, self.pass_fds = stdin, list(prefix), after, pass_fds
        self.stderr_starts = stderr_starts


def unprivileged(folder):
    """The command prefix that drops root, and lets nobody into the folder;
    None when root cannot drop its privileges here."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        return None
    os.chmod(folder, 0o755)
    return NOBODY


def runnable_by(prefix, program, folder):
    """The program, or a copy of it in the folder when the user the prefix
    runs as cannot reach it where it was built (a checkout under /root)."""
    if not prefix or subprocess.run(prefix + ["test", "-x", program]).returncode == 0:
        return program
    copy = os.path.join(folder, "vum-as-nobody")
    shutil.copy(program, copy)
    os.chmod(copy, 0o755)
    return copy


def table_case(rows, **kw):
    """A case from rows of (code, expected result or error id)."""
    script = tries(*(code for code, _ in rows))
    return Case(script, outcome_lines(rows), **kw)


# ---- Cases ----

def case_read_only_places(folder):
    # A read-only file in a read-only folder: nothing changes it, and each
    # attempt says so.
    ro = os.path.join(folder, "ro")
    os.mkdir(ro)
    with open(os.path.join(ro, "file.txt"), "w") as f:
        f.write("keep\n")
    os.chmod(os.path.join(ro, "file.txt"), 0o444)
    os.chmod(ro, 0o555)

    def after():
        os.chmod(ro, 0o755)
        assert sorted(os.listdir(ro)) == ["file.txt"], os.listdir(ro)
        with open(os.path.join(ro, "file.txt")) as f:
            assert f.read() == "keep\n", "the read-only file changed"

    rows = [
        ('write %ro/file.txt "x"', "cannot-open"),
        ('write/append %ro/file.txt "x"', "cannot-open"),
        ('write/seek %ro/file.txt "x" 1', "cannot-open"),
        ('write %ro/new.txt "x"', "cannot-open"),
        ("delete %ro/file.txt", "false"),
        ("rename %ro/file.txt %ro/other.txt", "false"),
        ("make-dir %ro/sub/", "no-create"),
        ("read %ro/file.txt", '"keep^/"'),
        ("read %ro/", "[%file.txt]"),
        ('call/error "ls /nonexistent" %ro/err.txt', "-1"),
    ]
    prefix = unprivileged(folder)
    return None if prefix is None else table_case(rows, prefix=prefix, after=after)


def case_locked_directory(folder):
    # A folder its user may not enter: what is inside can be neither read,
    # written, deleted nor seen, and the folder itself still exists.
    locked = os.path.join(folder, "locked")
    os.mkdir(locked)
    with open(os.path.join(locked, "secret.txt"), "w") as f:
        f.write("secret")
    os.chmod(locked, 0)

    def after():
        os.chmod(locked, 0o755)
        assert os.listdir(locked) == ["secret.txt"], os.listdir(locked)

    rows = [
        ("read %locked/", "cannot-open"),
        ("read %locked/secret.txt", "cannot-open"),
        ("read/binary %locked/secret.txt", "cannot-open"),
        ('write %locked/new.txt "x"', "cannot-open"),
        ('write/append %locked/secret.txt "x"', "cannot-open"),
        ("delete %locked/secret.txt", "false"),
        ("delete %locked/", "false"),
        ("exists? %locked/", "true"),
        ("exists? %locked/secret.txt", "false"),
        ("query %locked/secret.txt", "none"),
        ("size? %locked/secret.txt", "none"),
        ("dir? %locked/", "true"),
        ('call/output "echo hi" %locked/out.txt', "-1"),
        ('call/input "cat" %locked/secret.txt', "-1"),
    ]
    prefix = unprivileged(folder)
    return None if prefix is None else table_case(rows, prefix=prefix, after=after)


def case_reasons_differ(folder):
    # A file its user may not read, one that is missing, and a folder named
    # without its slash: each cannot-open error carries the system's reason.
    locked = os.path.join(folder, "locked.txt")
    with open(locked, "w") as f:
        f.write("secret")
    os.chmod(locked, 0)
    os.mkdir(os.path.join(folder, "sub"))
    prefix = unprivileged(folder)
    if prefix is None:
        return None
    script = "\n".join([
        "foreach code [[read %locked.txt] [write %locked.txt 1] [read %missing.txt] [read %sub]] [",
        "  e: try code print [mold code e/id mold e/arg2]",
        "]",
    ])
    return Case(script, [
        '[read %locked.txt] cannot-open "Permission denied"',
        '[write %locked.txt 1] cannot-open "Permission denied"',
        '[read %missing.txt] cannot-open "No such file or directory"',
        '[read %sub] cannot-open "Is a directory"',
    ], prefix=prefix)


def case_removed_while_open(folder):
    # The file is opened, removed, and read on through the descriptor that
    # still holds it; once its name is gone reading by name fails.
    data = os.urandom(200_000)
    path = os.path.join(folder, "gone.bin")
    with open(path, "wb") as f:
        f.write(data)
    fd = os.open(path, os.O_RDONLY)
    os.unlink(path)
    os.set_inheritable(fd, True)
    script = "\n".join([
        f"b: read/binary %/proc/self/fd/{fd}",
        "print [length? b checksum b 'crc32]",
        "print error? try [read %gone.bin]",
    ])
    return Case(script, [f"{len(data)} {signed32(zlib.crc32(data))}", "true"], pass_fds=(fd,),
                after=lambda: os.close(fd))


def case_truncated_while_read(folder):
    # Another process empties and rewrites the file while it is read over
    # and over: each read gives a prefix of it, never more, never garbage.
    size = 4_000_000
    path = os.path.join(folder, "moving.txt")
    with open(path, "wb") as f:
        f.write(b"a" * size)
    stop = threading.Event()

    def churn():
        with open(path, "r+b") as f:
            while not stop.is_set():
                f.truncate(0)
                f.seek(0)
                f.write(b"a" * size)
                f.flush()

    thread = threading.Thread(target=churn, daemon=True)
    thread.start()

    def after():
        stop.set()
        thread.join()

    script = "\n".join([
        "bad: 0",
        "loop 40 [b: read/binary %moving.txt",
        f"  if any [(length? b) > {size} find b #{{00}} find b #{{62}}] [bad: bad + 1]]",
        "print bad",
    ])
    return Case(script, ["0"], after=after)


def case_runtime_error_status(folder):
    # A fault ends the program with its runtime error's number. The signal
    # comes from a child, as a fault a script cannot make itself.
    if SANITIZED:
        return None
    script = 'prin "before "\ncall/wait {sh -c \'kill -ILL $PPID; sleep 5\'}\nprint "after"'
    return Case(script, ["before "], status=17, stderr_starts="*** Runtime Error 17: illegal instruction\n")


def case_large_binary_read(folder):
    # A sparse 1 GB file, read whole as binary. Plain pass only: elsewhere
    # it costs minutes and gigabytes and shows nothing more.
    if TORTURE or SANITIZED:
        return None
    path = os.path.join(folder, "big.bin")
    size = 1 << 30
    with open(path, "wb") as f:
        f.truncate(size)
        f.seek(1000)
        f.write(b"AB")
        f.seek(size - 1)
        f.write(b"Z")
    script = "\n".join([
        "b: read/binary %big.bin",
        "print [length? b copy/part at b 1000 4 to char! last b first b]",
    ])
    return Case(script, [f"{size} #{{00414200}} Z 0"])


CASES = {name[5:]: fn for name, fn in sorted(globals().items()) if name.startswith("case_")}


def matches(expected, actual):
    for k, line in enumerate(expected):
        if line == "...":
            return True
        if k >= len(actual) or actual[k] != line:
            return False
    return len(expected) == len(actual)


def run_case(program, name, fn, timeout):
    folder = tempfile.mkdtemp(prefix="vum-file-faults-")
    case = None
    try:
        folder = os.path.realpath(folder)
        case = fn(folder)
        if case is None:
            print(f"{name}: skipped in this pass")
            return True
        path = os.path.join(folder, "case.vum")
        with open(path, "w", encoding="utf-8") as f:
            f.write(HEADER + case.script + "\n")
        os.chmod(path, 0o644)
        program = runnable_by(case.prefix, program, folder)
        run = subprocess.run(case.prefix + [program, path], cwd=folder, input=case.stdin, capture_output=True,
                             timeout=timeout, pass_fds=case.pass_fds)
        actual = run.stdout.decode("utf-8", "replace").split("\n")
        while actual and actual[-1] == "":
            actual.pop()
        err = run.stderr.decode("utf-8", "replace")
        problems = []
        if not matches(case.expected, actual):
            problems.append("expected\n  " + "\n  ".join(case.expected) + "\ngot\n  " + "\n  ".join(actual))
        if run.returncode != case.status:
            problems.append(f"exit status {run.returncode}, expected {case.status}")
        if case.stderr_starts is not None and not err.startswith(case.stderr_starts):
            problems.append(f"standard error does not start with {case.stderr_starts!r}")
        if case.after:
            try:
                case.after()
                case.after = None
            except AssertionError as e:
                problems.append(f"afterwards: {e}")
        if problems:
            print(f"{name}: " + "\n".join(problems))
            if err:
                print("stderr:\n" + err[-2000:])
            return False
        return True
    except subprocess.TimeoutExpired:
        print(f"{name}: no end within {timeout} s")
        return False
    finally:
        if case is not None and case.after:
            try:
                case.after()
            except AssertionError:
                pass
        for root, dirs, _ in os.walk(folder):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(folder, ignore_errors=True)


# ---- Descriptors and zombies: watched from outside while the program waits ----

MANY_CALLS = "\n".join([
    HEADER,
    'print "ready" input',
    'loop 1000 [call "true"]',
    'loop 100 [call/wait "true"]',
    'out: copy "" loop 100 [call/output "echo x" out]',
    'loop 100 [call/input "cat" "some input"]',
    "loop 50 [call/wait \"vum-surely-no-such-program\"]",
    # Redirections that cannot be made, after others that were.
    'loop 50 [call/input/output "cat" "x" %no-such-folder/out.txt]',
    'loop 50 [call/input/output "cat" %no-such-file.txt out]',
    'print ["done" length? out] input',
])


def descriptors(pid):
    return sorted(os.listdir(f"/proc/{pid}/fd"))


def children(pid):
    """The states of the processes whose parent is pid."""
    states = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            states.append(fields[0])
    return states


def read_line_with(proc, timeout):
    """The next line of the program's output; fails when none comes in time."""
    got = []
    reader = threading.Thread(target=lambda: got.append(proc.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    if not got:
        raise TimeoutError
    return got[0].decode("utf-8", "replace").rstrip("\n")


def check_many_calls(program, timeout):
    folder = tempfile.mkdtemp(prefix="vum-file-faults-")
    proc = None
    try:
        path = os.path.join(folder, "case.vum")
        with open(path, "w") as f:
            f.write(MANY_CALLS)
        proc = subprocess.Popen([program, path], cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        if read_line_with(proc, timeout) != "ready":
            print("many_calls: no ready line")
            return False
        before = descriptors(proc.pid)
        proc.stdin.write(b"\n")
        proc.stdin.flush()
        line = ""
        while not line.startswith("done"):
            line = read_line_with(proc, timeout)
        if line != "done 200":
            print(f"many_calls: {line!r}, expected 'done 200'")
            return False
        # Children not waited for are reaped when they end, in the
        # background: give them a moment.
        deadline = time.monotonic() + scaled(10)
        while children(proc.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        left, after = children(proc.pid), descriptors(proc.pid)
        proc.stdin.write(b"\n")
        proc.stdin.close()
        proc.wait(timeout)
        problems = []
        if left:
            problems.append(f"children left behind, states {left}")
        if after != before:
            problems.append(f"descriptors {before} before, {after} after")
        if proc.returncode != 0:
            problems.append(f"exit status {proc.returncode}: {proc.stderr.read().decode()[-2000:]}")
        if problems:
            print("many_calls: " + "; ".join(problems))
            return False
        return True
    except (TimeoutError, subprocess.TimeoutExpired):
        print(f"many_calls: no answer within {timeout} s")
        return False
    finally:
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--only")
    args = ap.parse_args()
    program = os.path.abspath(args.program)
    failed = [name for name, fn in CASES.items()
              if (not args.only or name == args.only) and not run_case(program, name, fn, scaled(180))]
    if (not args.only or args.only == "many_calls") and not check_many_calls(program, scaled(120)):
        failed.append("many_calls")
    if failed:
        print("failed: " + " ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
