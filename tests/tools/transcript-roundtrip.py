#!/usr/bin/env python3
"""The round-trip check over the transcript suite: every value a transcript
shows, each input as loaded and each result its evaluation gives, must
come back unchanged

- from its mold: `load/all mold/all value` molds (mold/all, flat) as the
  value did, and when the text loads as one value, that value has the
  value's datatype;
- through the serialised form, compact and fixed:
  `load/as save/as none value 'vumbin 'vumbin` molds as the value did
  (an error but for its files field, which the form does not keep).

    transcript-roundtrip.py --program VUM [--transcripts DIR] [--only NAME]

Each transcript runs in a console of its own, as its transcript does, with
every input handed to a checker that loads it, checks it, evaluates it and
checks the result; inputs that end the session are left out. Unset values,
values whose mold is over a megabyte, values that hold themselves (for the
mold check) and values the serialised form refuses or finds too deep (for
that check) are passed over.

Values that no text of the language's syntax can stand for (an email
without a user or host part, an empty issue, a tag that reads as a word, a
path whose head is not a word, a time beyond the hours the lexer reads, a
percent that is not a number, an event, a map holding a value that molds as a make
form) are listed, and only their serialised round trip counts. Prints each
value that does not come back, with its transcript, and exits 1 when there
is any. Under the collector's torture switch each pass checks a share of
the transcripts (the sanitized pass another share).
"""
import argparse
import concurrent.futures
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import importlib.util  # noqa: E402

_spec = importlib.util.spec_from_file_location("run_transcript", os.path.join(HERE, "run-transcript.py"))
run_transcript = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(run_transcript)
from pass_timeout import scaled  # noqa: E402

QUITS = re.compile(r"^\s*(quit|halt|q)(/\S+)?(\s|$)")
MARK = "@@roundtrip@@"

# The checker. It keeps its own hold of the words it uses, and puts the
# system object back around each check, since transcripts redefine words
# and one replaces system.
CHECKER = r"""
roundtrip-checker: context [
    print*: :print  mold*: :mold  load*: :load  save*: :save  try*: :try
    system*: system  codec: select system/codecs 'vumbin
    marker: rejoin ["%MARK1%" "%MARK2%"]
    report: func [what kind value [any-type!] got [any-type!]] [
        print* [marker what kind mold* mold*/all/flat/part :value 300 mold* mold*/all/flat/part :got 300]
    ]
    ; A block of the value that comes back, or the error that stopped it.
    serialised: func [value [any-type!] compact? /local bytes] [
        codec/compact?: compact?
        bytes: try* [save*/as none :value 'vumbin]
        codec/compact?: true
        either error? :bytes [bytes] [try* [reduce [load*/as bytes 'vumbin]]]
    ]
    ; A function molds its spec and body blocks without a space between
    ; them, where a block of the words and blocks it loads as has one.
    flat: func [value [any-type!] /only] [
        replace/all either only [mold*/all/flat/only :value] [mold*/all/flat :value] "] [" "]["
    ]
    ; Why a value has no text that loads back, or none. These have no
    ; literal form in the language's syntax at all.
    unwritable: func [value [any-type!] /local text reason] [
        text: mold*/all :value
        case [
            email? :value [
                unless parse text [some [not #"@" skip] #"@" some skip] ["an email without a user or host part"]
            ]
            issue? :value [if text = "#" ["an empty issue"]]
            'event! = type?/word :value ["an event, which molds as the word event"]
            tag? :value [unless tag? first transcode text ["a tag that reads as a word"]]
            any-path? :value [unless word? first :value ["a path whose head is not a word"]]
            time? :value [if 2147483647.0 < absolute (to float! value) / 3600 ["a time beyond 2147483647 hours"]]
            percent? :value [if any [(to float! value) <> (to float! value)  1e308 < absolute to float! value] ["a percent that is not a number"]]
            map? :value [
                foreach v values-of value [
                    if find [object! function! error! image! bitset! op! native! action! port!] type?/word :v [
                        return "a map holding a value that molds as a make form"
                    ]
                    if reason: unwritable :v [return reason]
                ]
                none
            ]
            any-block? :value [
                foreach v value [if reason: unwritable :v [return reason]]
                none
            ]
        ]
    ]
    check: func [what value [any-type!] /local text back compact? reason] [
        if unset? get/any 'value [exit]
        text: mold*/all :value
        if 1000000 < length? text [exit]
        ; A value that holds itself molds the inner occurrence as [...].
        if reason: unwritable :value [print* [marker "known" mold* reason mold* mold*/all/flat/part :value 200]]
        unless any [reason find text "[...]"] [
            back: try* [load*/all text]
            case [
                error? back [report what "mold" :value back]
                not strict-equal? flat :value flat/only back [report what "mold" :value back]
                all [1 = length? back  not equal? type? :value type? first back] [report what "mold" :value first back]
            ]
        ]
        ; The serialised form keeps no files field of an error.
        if error? :value [text: head clear find/last text "files:"]
        foreach compact? reduce [true false] [
            back: serialised :value compact?
            unless all [error? back  find [no-codec too-deep] back/id] [
                if any [
                    error? back
                    not strict-equal? text either error? first back [
                        head clear find/last mold*/all first back "files:"
                    ][
                        mold*/all first back
                    ]
                ][
                    report what either compact? ["compact"] ["fixed"] :value either error? back [back] [first back]
                ]
            ]
        ]
    ]
    run: func [source [binary!] /local code result outer hook] [
        set/any 'outer get/any 'system
        system: system*
        hook: system/lexer/pre-load
        system/lexer/pre-load: none
        code: try* [load*/all to string! source]
        if block? code [check "input" code]
        system/lexer/pre-load: :hook
        set/any 'system :outer
        unless block? code [exit]
        set/any 'result try*/all [do code]
        set/any 'outer get/any 'system
        system: system*
        hook: system/lexer/pre-load
        system/lexer/pre-load: none
        check "result" get/any 'result
        system/lexer/pre-load: :hook
        set/any 'system :outer
        ()
    ]
]
""".replace("%MARK1%", MARK[:4]).replace("%MARK2%", MARK[4:])


def sessions(directory, only):
    """(name, inputs) per transcript; an input is its lines joined."""
    found = []
    for name in sorted(os.listdir(directory)):
        stem, ext = os.path.splitext(name)
        if ext != ".transcript" or (only and stem not in only):
            continue
        with open(os.path.join(directory, name), encoding="utf-8") as f:
            expected, _, _ = run_transcript.parse(f.read())
        entries = []
        current = None
        for line in expected:
            cue = run_transcript.CUE.match(line)
            if line.startswith(run_transcript.PROMPT) or line == run_transcript.PROMPT.rstrip():
                current = [line[len(run_transcript.PROMPT):]]
                entries.append(current)
            elif current is not None and cue:
                current.append(line[len(cue.group(0)):])
            else:
                current = None
        found.append((stem, ["\n".join(e) for e in entries if not QUITS.match(e[0])]))
    return found


def check(program, name, inputs, timeout):
    lines = [CHECKER]
    for text in inputs:
        lines.append("roundtrip-checker/run #{" + text.encode("utf-8").hex().upper() + "}")
    feed = "\n".join(lines) + "\n"
    try:
        # Headless, as the transcripts run (run-transcript.py).
        run = subprocess.run([program], input=feed.encode("utf-8"), capture_output=True, timeout=timeout,
                             env=dict(os.environ, VUM_DISPLAY="headless"))
    except subprocess.TimeoutExpired:
        return name, [f"{name}: timed out"], []
    out = run.stdout.decode("utf-8", errors="replace") + run.stderr.decode("utf-8", errors="replace")
    problems = []
    known = []
    for line in out.splitlines():
        at = line.find(MARK)
        if at < 0:
            continue
        fields = line[at + len(MARK):].strip()
        if fields.startswith("known "):
            known.append(f"{name}: {fields[6:]}")
        else:
            problems.append(f"{name}: {fields}")
    if run.returncode < 0 or run.returncode >= 128:
        problems.append(f"{name}: the session ended with status {run.returncode}")
    return name, problems, known


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--transcripts", default=os.path.join(HERE, "..", "transcripts"))
    ap.add_argument("--only", action="append")
    ap.add_argument("--jobs", type=int, default=3)
    args = ap.parse_args()
    found = sessions(args.transcripts, set(args.only or ()))
    if os.environ.get("VUM_GC_TORTURE", "") not in ("", "0"):
        offset = 1 if os.environ.get("VUM_TEST_SANITIZED", "") not in ("", "0") else 0
        found = found[offset::8]
    timeout = scaled(600)
    problems = []
    known = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for name, found_problems, found_known in pool.map(lambda s: check(args.program, s[0], s[1], timeout), found):
            problems += found_problems
            known += found_known
    if known:
        print("Values without a text that loads back (their serialised round trip is still checked):")
        for k in known:
            print("  " + k)
    for p in problems:
        print(p)
    print(f"checked {len(found)} transcripts, {len(problems)} values that do not come back")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
