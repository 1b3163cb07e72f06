"""Ufunc method costs per element, typed loops and element path, beside the
same work on Python lists.

Run after `pip install .` (or with PYTHONPATH=build/<dir>/pkg):

    python3 bench/bench_ufunc_methods.py

The element-path column comes from a child process started with
QUARVEL_ELEMENT_PATH=1. Each figure is the best of several timed repetitions,
in ns per input element; the ratio is the Python list's time over the typed
loops'.
"""
import itertools
import json
import os
import subprocess
import sys
import time

import quarvel as q

N = 10**6
SIDE = 1000


def best(work, repeat):
    """Seconds of the fastest of `repeat` runs of work()."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def cases():
    """(label, quarvel work, Python list work), each over N elements."""
    floats = [float(i % 97) - 48.5 for i in range(N)]
    ints = [i % 97 for i in range(N)]
    f, i = q.array(floats), q.array(ints, dtype="int64")
    rows = [floats[r * SIDE:(r + 1) * SIDE] for r in range(SIDE)]
    square = f.reshape((SIDE, SIDE))
    return [
        ("add.reduce float64", lambda: q.add.reduce(f), lambda: sum(floats)),
        ("add.reduce int64", lambda: q.add.reduce(i), lambda: sum(ints)),
        ("add.accumulate float64", lambda: q.add.accumulate(f), lambda: list(itertools.accumulate(floats))),
        ("add.accumulate int64", lambda: q.add.accumulate(i), lambda: list(itertools.accumulate(ints))),
        (f"maximum.reduce axis 0 {SIDE}x{SIDE}", lambda: q.maximum.reduce(square, axis=0),
         lambda: [max(column) for column in zip(*rows)]),
        (f"maximum.reduce axis 1 {SIDE}x{SIDE}", lambda: q.maximum.reduce(square, axis=1),
         lambda: [max(row) for row in rows]),
    ]


def element_path_figures():
    env = dict(os.environ, QUARVEL_ELEMENT_PATH="1")
    out = subprocess.run([sys.executable, __file__, "--element-path"], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def main():
    if "--element-path" in sys.argv:
        print(json.dumps([best(work, 2) / N * 1e9 for _, work, _ in cases()]))
        return
    element = element_path_figures()
    print(f"{'operation (ns per element)':<36} {'typed':>9} {'element':>9} {'Python list':>12} {'ratio':>8}")
    for (label, work, python_work), slow in zip(cases(), element):
        ours = best(work, 7) / N * 1e9
        theirs = best(python_work, 3) / N * 1e9
        print(f"{label:<36} {ours:9.2f} {slow:9.1f} {theirs:12.2f} {theirs / ours:7.1f}x")


if __name__ == "__main__":
    main()
