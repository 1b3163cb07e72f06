"""Ufunc method costs per element, typed loops and element path, beside the
same work on Python lists; then the methods off the main road beside their
references, measured in the same run.

Run after `pip install .` (or with PYTHONPATH=build/<dir>/pkg):

    python3 bench/bench_ufunc_methods.py
    python3 bench/bench_ufunc_methods.py --references   # the second table alone

The element-path column comes from a child process started with
QUARVEL_ELEMENT_PATH=1. Each figure is the best of several timed repetitions,
in ns per input element; the ratio of the first table is the Python list's
time over the typed loops', that of the second the row's time over its
reference's.
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


M = 10**5


def reference_cases():
    """(label, work, reference label, reference work), each over M elements."""
    values = [float(i % 97) - 48.5 for i in range(M)]
    arrays = {d: q.array(values, dtype=d) for d in ("float64", "float32", "float16", "int64", "complex128")}
    arrays["bool"] = q.array([i % 3 != 0 for i in range(M)])
    with_nan = q.array(values[: M // 2] + [float("nan")] + values[M // 2 + 1:])
    mask = q.array([i % 7 != 0 for i in range(M)])
    starts = q.array(list(range(0, M, 10)), dtype="int64")
    out = q.zeros(M)
    f = arrays["float64"]
    rows = []
    for dtype in ("float64", "int64", "complex128", "float16", "bool"):
        a = arrays[dtype]
        for name in ("logical_and", "logical_or", "logical_xor"):
            for method in ("reduce", "accumulate"):
                rows.append((f"{name}.{method} {dtype}", lambda a=a, u=getattr(q, name), m=method: getattr(u, m)(a),
                             f"add.reduce {dtype}", lambda a=a: q.add.reduce(a)))
    for dtype in ("float64", "float32", "float16"):
        a = arrays[dtype]
        for name in ("maximum", "minimum", "fmax", "fmin"):
            rows.append((f"{name}.reduce {dtype}", lambda a=a, u=getattr(q, name): u.reduce(a),
                         f"add.reduce {dtype}", lambda a=a: q.add.reduce(a)))
    # Products of factors near 1 (of 1 for integers), which stay in range.
    factors = {d: q.array([1 + (i % 97 - 48) / 4096 if d != "int64" else 1 for i in range(M)], dtype=d)
               for d in arrays if d != "bool"}
    for dtype in ("float64", "float32", "float16", "int64", "complex128"):
        for name in ("add", "multiply", "maximum", "minimum"):
            a, u = (factors if name == "multiply" else arrays)[dtype], getattr(q, name)
            rows.append((f"{name}.accumulate {dtype}", lambda a=a, u=u: u.accumulate(a),
                         f"{name}.reduce {dtype}", lambda a=a, u=u: u.reduce(a)))
    rows += [
        ("add.reduceat 10-element segments", lambda: q.add.reduceat(f, starts), "add.reduce float64",
         lambda: q.add.reduce(f)),
        ("add(x, x, where=mask, out=o)", lambda: q.add(f, f, where=mask, out=out), "add(x, x, out=o)",
         lambda: q.add(f, f, out=out)),
        ("add.reduce(x, where=mask)", lambda: q.add.reduce(f, where=mask), "add.reduce(x)", lambda: q.add.reduce(f)),
        ("add.reduce, one NaN", lambda: q.add.reduce(with_nan), "add.reduce float64", lambda: q.add.reduce(f)),
        ("maximum.reduce, one NaN", lambda: q.maximum.reduce(with_nan), "maximum.reduce float64",
         lambda: q.maximum.reduce(f)),
        ("add.accumulate, one NaN", lambda: q.add.accumulate(with_nan), "add.accumulate float64",
         lambda: q.add.accumulate(f)),
    ]
    return rows


def references():
    print(f"{'operation (ns per element)':<38} {'ns':>7}   {'reference':<26} {'ns':>7} {'ratio':>7}")
    for label, work, reference, reference_work in reference_cases():
        ours, theirs = best(work, 7) / M * 1e9, best(reference_work, 7) / M * 1e9
        print(f"{label:<38} {ours:7.2f}   {reference:<26} {theirs:7.2f} {ours / theirs:6.2f}x")


def element_path_figures():
    env = dict(os.environ, QUARVEL_ELEMENT_PATH="1")
    out = subprocess.run([sys.executable, __file__, "--element-path"], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def main():
    if "--element-path" in sys.argv:
        print(json.dumps([best(work, 2) / N * 1e9 for _, work, _ in cases()]))
        return
    if "--references" in sys.argv:
        references()
        return
    element = element_path_figures()
    print(f"{'operation (ns per element)':<36} {'typed':>9} {'element':>9} {'Python list':>12} {'ratio':>8}")
    for (label, work, python_work), slow in zip(cases(), element):
        ours = best(work, 7) / N * 1e9
        theirs = best(python_work, 3) / N * 1e9
        print(f"{label:<36} {ours:9.2f} {slow:9.1f} {theirs:12.2f} {theirs / ours:7.1f}x")
    print()
    references()


if __name__ == "__main__":
    main()
