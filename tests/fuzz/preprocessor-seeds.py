#!/usr/bin/env python3
"""Writes a seed corpus for preprocessor-fuzz: every block handed to
expand-directives in the preprocessor's transcript, as source text behind a
0 mode byte, a few hand-written blocks, and some byte strings for the
grammar mode (odd first byte)."""
import os
import random
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TRANSCRIPT = os.path.join(HERE, '..', 'transcripts', 'preprocessor.transcript')

EXTRA = [
    '#macro inc: func [n] [n + 1] #do keep [inc 4] inc inc 1',
    '#macro [integer! integer!] func [s e] [reduce [s/1 + s/2]] 1 2 [3 4]',
    '#macro [\'x] func [[manual] s e] [remove s] x y x',
    '#local [#macro foo: func [] [1] foo] foo',
    '#process off #if true [a] #process on #if false [b]',
    '#switch 2 [1 [one] 2 [two] #default [other]] #case [false [a] true [b]]',
    '#either 1 < 2 [#include %a.vum] [#include %m.vum] #include %c.vum',
    '#include-binary %x.bin #include-binary "x.bin" #system [a] #system-global [b] routine [a] [b]',
    '#trace on #do [x: 1] #trace off #reset #do keep [x]',
]


def blocks_after(text, word):
    """The bracketed blocks that follow each occurrence of word."""
    for m in re.finditer(re.escape(word) + r'(/clean)?\s*\[', text):
        start = m.end() - 1
        depth, i, in_string = 0, start, False
        while i < len(text):
            c = text[i]
            if in_string:
                if c == '^':
                    i += 1
                elif c == '"':
                    in_string = False
            elif c == '"':
                in_string = True
            elif c == '[':
                depth += 1
            elif c == ']':
                depth -= 1
                if depth == 0:
                    yield text[start + 1:i]
                    break
            i += 1


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else '/tmp/preprocessor-corpus'
    os.makedirs(out, exist_ok=True)
    with open(TRANSCRIPT, encoding='utf-8') as f:
        text = f.read()
    sources = list(blocks_after(text, 'expand-directives')) + EXTRA
    for n, source in enumerate(sources):
        with open(os.path.join(out, 'source-%03d' % n), 'wb') as f:
            f.write(b'\0' + source.encode('utf-8'))
    rng = random.Random(7)
    for n in range(32):
        with open(os.path.join(out, 'grammar-%03d' % n), 'wb') as f:
            f.write(bytes([1]) + bytes(rng.randrange(256) for _ in range(rng.randrange(8, 200))))
    print(len(sources) + 32, 'seeds in', out)


if __name__ == '__main__':
    main()
