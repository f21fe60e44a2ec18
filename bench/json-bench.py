#!/usr/bin/env python3
"""load-json and to-json of a large JSON document against Python's json.

Makes a document of about --megabytes MB (records of objects, arrays,
strings with escapes and non-ASCII text, integers and floats), then times
load-json of its text and to-json of the result in one vum process (best
of --runs), and json.loads / json.dumps on the same text.

    python3 bench/json-bench.py [--program build/vum] [--megabytes 20] [--runs 3]

With --write FILE it only writes the document (for a profiler run).
"""
import argparse
import json
import os
import random
import subprocess
import tempfile
import time


def document(megabytes):
    rng = random.Random(7)
    words = ["alpha", "beta", "gamma", "delta", "\u00e9t\u00e9", "na\u00efve", "\u20ac5",
             "tab\there", "quote\"d", "back\\slash", "line\nbreak", "\U0001F600"]
    records = []
    size = 0
    i = 0
    while size < megabytes * 1_000_000:
        record = {
            "id": i,
            "name": " ".join(rng.choice(words) for _ in range(3)),
            "score": round(rng.uniform(-1000, 1000), 4),
            "tags": [rng.choice(words) for _ in range(rng.randint(0, 4))],
            "active": rng.random() < 0.5,
            "parent": None if i % 3 else i // 3,
            "position": {"x": rng.randint(-10**6, 10**6), "y": rng.uniform(0, 1), "z": [1, 2.5, -3e2]},
        }
        text = json.dumps(record)
        size += len(text) + 2
        records.append(record)
        i += 1
    return json.dumps({"records": records, "count": len(records)}, indent=None)


def best(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


VUM_SCRIPT = """Vum []
text: read %{path}
best-load: best-emit: none
loop {runs} [
    t: now/precise data: load-json text t: to float! difference now/precise t
    if any [none? best-load t < best-load] [best-load: t]
    t: now/precise out: to-json data t: to float! difference now/precise t
    if any [none? best-emit t < best-emit] [best-emit: t]
]
print ["load-json" best-load]
print ["to-json" best-emit]
print ["output-length" length? out]
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", default="build/vum")
    ap.add_argument("--megabytes", type=float, default=20)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--write")
    args = ap.parse_args()
    text = document(args.megabytes)
    if args.write:
        with open(args.write, "w", encoding="utf-8") as f:
            f.write(text)
        return
    mb = len(text.encode("utf-8")) / 1e6
    print(f"document: {mb:.1f} MB")
    data = json.loads(text)
    py_load = best(lambda: json.loads(text), args.runs)
    py_dump = best(lambda: json.dumps(data, ensure_ascii=False, separators=(",", ":")), args.runs)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "doc.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        script = os.path.join(tmp, "bench.vum")
        with open(script, "w", encoding="utf-8") as f:
            f.write(VUM_SCRIPT.format(path=path, runs=args.runs))
        out = subprocess.run([args.program, script], capture_output=True, text=True, check=True).stdout
    vum = dict(line.split()[0:2] for line in out.splitlines() if line.strip())
    vum_load, vum_emit = float(vum["load-json"]), float(vum["to-json"])
    print(f"{'':12}{'vum s':>10}{'python s':>10}{'ratio':>8}{'vum MB/s':>10}")
    print(f"{'load':12}{vum_load:10.3f}{py_load:10.3f}{vum_load / py_load:8.1f}{mb / vum_load:10.1f}")
    print(f"{'emit':12}{vum_emit:10.3f}{py_dump:10.3f}{vum_emit / py_dump:8.1f}{mb / vum_emit:10.1f}")


if __name__ == "__main__":
    main()
