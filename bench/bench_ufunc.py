"""Ufunc call costs per element beside the same work on Python lists.

Run after `pip install .` (or with PYTHONPATH=build/<dir>/pkg):

    python3 bench/bench_ufunc.py            # the typed loops
    QUARVEL_ELEMENT_PATH=1 python3 bench/bench_ufunc.py   # the element path

Each figure is the best of several timed repetitions, in ns per element
(per call for the one-element rows); the ratio is Python's time over quarvel's.
"""
import math
import os
import time

import quarvel as q


def best(work, repeat=7):
    """Seconds of the fastest of `repeat` runs of work()."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def row(label, count, quarvel_work, python_work, calls=1):
    ours = best(quarvel_work) / (count * calls) * 1e9
    theirs = best(python_work) / (count * calls) * 1e9
    print(f"{label:<44} {ours:10.2f} {theirs:12.2f} {theirs / ours:9.1f}x")


def main():
    print(f"{'operation (ns per element)':<44} {'quarvel':>10} {'Python list':>12} {'ratio':>10}")
    for dtype, make in (("float64", float), ("int64", int)):
        for n in (10**3, 10**5, 10**6):
            xs = [make(i % 97) for i in range(n)]
            ys = [make((i * 7) % 89) for i in range(n)]
            a, b = q.array(xs, dtype=dtype), q.array(ys, dtype=dtype)
            row(f"add {dtype} contiguous n={n}", n, lambda: q.add(a, b),
                lambda: [x + y for x, y in zip(xs, ys)])
        n = 10**6
        xs = [make(i % 97) for i in range(2 * n)]
        wide = q.array(xs, dtype=dtype)
        row(f"add {dtype} every other element n={n}", n, lambda: q.add(wide[::2], wide[1::2]),
            lambda: [x + y for x, y in zip(xs[::2], xs[1::2])])
        side = 1000
        column = q.array([[make(i)] for i in range(side)], dtype=dtype)
        line = q.array([make(i) for i in range(side)], dtype=dtype)
        cs, ls = [make(i) for i in range(side)], [make(i) for i in range(side)]
        row(f"add {dtype} row + column {side}x{side}", side * side, lambda: q.add(column, line),
            lambda: [[c + v for v in ls] for c in cs])

    n = 10**6
    xs = [float(i % 97) + 0.5 for i in range(n)]
    ys = [float((i * 7) % 89) for i in range(n)]
    a, b = q.array(xs), q.array(ys)
    row("multiply float64 by a Python scalar", n, lambda: q.multiply(a, 2.5), lambda: [x * 2.5 for x in xs])
    row("less float64", n, lambda: q.less(a, b), lambda: [x < y for x, y in zip(xs, ys)])
    row("sqrt float64", n, lambda: q.sqrt(a), lambda: [math.sqrt(x) for x in xs])

    one, other = q.array([1.5]), q.array([2.5])
    calls = 10**4

    def many_ufunc_calls():
        for _ in range(calls):
            q.add(one, other)

    def many_list_additions():
        u, v = [1.5], [2.5]
        for _ in range(calls):
            [x + y for x, y in zip(u, v)]

    row("add on one-element arrays (per call)", 1, many_ufunc_calls, many_list_additions, calls)
    print("(element path forced)" if os.environ.get("QUARVEL_ELEMENT_PATH") == "1" else "(typed loops)")


if __name__ == "__main__":
    main()
