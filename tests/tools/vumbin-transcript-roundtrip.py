#!/usr/bin/env python3
"""Every input line of the transcript suite, loaded as values (not run),
goes through the serialised form and back, compact and fixed; the decoded
block must mold (mold/all) exactly as the loaded one. Lines that do not load
are skipped. Prints the lines whose values come back different and exits
1 when there is any. Under the collector's torture switch every allocation
is a full collection: those passes check a share of the sources each (the
sanitized one another share), the normal passes all of them."""
import argparse
import glob
import os
import subprocess
import sys
import tempfile


def inputs(directory):
    seen = set()
    for path in sorted(glob.glob(os.path.join(directory, '*.transcript'))):
        with open(path, encoding='utf-8', errors='replace') as f:
            for line in f:
                if line.startswith('>> '):
                    text = line[3:].rstrip('\n')
                    if text.strip() and text not in seen:
                        seen.add(text)
                        yield text


SCRIPT = """
vb: select system/codecs 'vumbin
bad: 0
foreach src sources [
    blk: try [transcode src]
    if block! = type? :blk [
        foreach compact? reduce [true false] [
            back: try [vb/decode vb/encode* blk compact?]
            if any [error! = type? :back  not equal? mold/all back mold/all blk] [
                bad: bad + 1
                print ["MISMATCH" either compact? ["compact"] ["fixed"] mold to string! src]
                print ["   got:" either error! = type? :back [mold :back] [mold/all back]]
            ]
        ]
    ]
]
print ["checked" length? sources "sources," bad "mismatches"]
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--program', required=True)
    ap.add_argument('--transcripts', required=True)
    args = ap.parse_args()
    sources = list(inputs(args.transcripts))
    if os.environ.get("VUM_GC_TORTURE", "") not in ("", "0"):
        offset = 1 if os.environ.get("VUM_TEST_SANITIZED", "") not in ("", "0") else 0
        sources = sources[offset::8]
    hexes = ' '.join('#{' + s.encode('utf-8').hex().upper() + '}' for s in sources)
    script = 'Vum [Title: "round trip"]\nsources: [' + hexes + ']\n' + SCRIPT + '\n'
    with tempfile.NamedTemporaryFile('w', suffix='.vum', encoding='utf-8', delete=False) as f:
        f.write(script)
    try:
        run = subprocess.run([args.program, f.name], capture_output=True, timeout=3000)
    finally:
        os.unlink(f.name)
    out = run.stdout.decode('utf-8', errors='replace') + run.stderr.decode('utf-8', errors='replace')
    lines = out.splitlines()
    print('\n'.join(lines[-200:]))
    ok = any(l.startswith('checked') and l.endswith(' 0 mismatches') for l in lines)
    sys.exit(0 if ok else 1)


if __name__ == '__main__':
    main()
