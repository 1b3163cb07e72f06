"""float128 and complex256 ufuncs, reductions and casts over a million
elements, in ns per element, each beside its floor: a plain C++ loop over
long double arrays doing the same operation with the same C library call,
timed by bench_core in the same run. The target is at most 3x the floor
(construction from a list of Python floats: at most 30 ns per element).

Run after `pip install .` (or with PYTHONPATH=build/<dir>/pkg), with the
path of a bench_core build (-DQUARVEL_BUILD_BENCH=ON) for the floors:

    python3 bench/bench_long_double.py build/bench/bench_core
    QUARVEL_ELEMENT_PATH=1 python3 bench/bench_long_double.py   # the element path (slow: use --n 10000)

Each figure is the best of several repetitions in processor time, as are
bench_core's.
"""
import argparse
import subprocess
import time

import quarvel as q


def best(work, repeat):
    """The fastest of `repeat` runs, in this thread's own processor time (so
    waiting for a core on a shared machine does not count)."""
    times = []
    for _ in range(repeat):
        start = time.thread_time()
        work()
        times.append(time.thread_time() - start)
    return min(times)


def floors(bench_core):
    """name -> (typed strided loop, floor) in ns per element, from bench_core long_double."""
    if not bench_core:
        return {}
    out = subprocess.run([bench_core, "long_double"], check=True, capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        if line.startswith("long double ") and not line.startswith("long double loops"):
            *name, typed, floor = line[len("long double "):].split()
            found[" ".join(name)] = (float(typed), float(floor))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench_core", nargs="?", help="a bench_core binary, for the floors")
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n, repeat = args.n, args.repeat
    xs = [1.0 + (i % 97) * 0.37 for i in range(n)]
    ys = [0.5 + (i % 89) * 0.21 for i in range(n)]
    a, b = q.array(xs, dtype="float128"), q.array(ys, dtype="float128")
    ca = q.add(a.astype("complex256"), q.multiply(b.astype("complex256"), 1j / 3))
    cb = q.add(b.astype("complex256"), q.multiply(a.astype("complex256"), -1j / 7))
    f8, i8 = a.astype("float64"), q.array([(i * 2654435761) % 1000003 for i in range(n)], dtype="int64")
    cases = [
        ("add", lambda: q.add(a, b)),
        ("subtract", lambda: q.subtract(a, b)),
        ("multiply", lambda: q.multiply(a, b)),
        ("divide", lambda: q.divide(a, b)),
        ("maximum", lambda: q.maximum(a, b)),
        ("power", lambda: q.power(a, b)),
        ("less", lambda: q.less(a, b)),
        ("sqrt", lambda: q.sqrt(a)),
        ("exp", lambda: q.exp(a)),
        ("log", lambda: q.log(a)),
        ("sin", lambda: q.sin(a)),
        ("negative", lambda: q.negative(a)),
        ("add.reduce", lambda: q.add.reduce(a)),
        ("complex add", lambda: q.add(ca, cb)),
        ("complex multiply", lambda: q.multiply(ca, cb)),
        ("complex divide", lambda: q.divide(ca, cb)),
        ("complex absolute", lambda: q.absolute(ca)),
        ("astype float64", lambda: a.astype("float64")),
        ("float64 astype", lambda: f8.astype("float128")),
        ("astype int64", lambda: a.astype("int64")),
        ("int64 astype", lambda: i8.astype("float128")),
    ]
    known = floors(args.bench_core)
    print(f"{'float128 / complex256 (ns/element, n=' + str(n) + ')':<42} {'quarvel':>9} {'loop':>9} {'floor':>9} "
          f"{'ratio':>7} {'target':>8}")
    for name, work in cases:
        ours = best(work, repeat) / n * 1e9
        loop, floor = known.get(name, (float("nan"), float("nan")))
        ratio = ours / floor if floor == floor else float("nan")
        verdict = "" if floor != floor else ("met" if ratio <= 3 else "NOT met")
        print(f"{name:<42} {ours:9.2f} {loop:9.2f} {floor:9.2f} {ratio:6.2f}x {'<= 3x':>8} {verdict}")
    ours = best(lambda: q.array(xs, dtype="float128"), repeat) / n * 1e9
    print(f"{'array(list of floats, dtype=float128)':<42} {ours:9.2f} {'':>9} {'':>9} {'':>7} {'<= 30 ns':>8} "
          f"{'met' if ours <= 30 else 'NOT met'}")


if __name__ == "__main__":
    main()
