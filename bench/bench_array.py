"""Python-level timings of array construction, indexing and assignment, and the
bulk operations beside their plain-Python equivalents in the same run.

Run: PYTHONPATH=build/<dir>/pkg python3 bench/bench_array.py [--both-paths]
QUARVEL_ELEMENT_PATH=1 times the element-at-a-time path; --both-paths prints
the bulk table once per path (the second from a child process).
"""
import os
import subprocess
import sys
import timeit

import quarvel

SETUP = "import quarvel; rows = [[float(i * 100 + j) for j in range(100)] for i in range(100)]; a = quarvel.array(rows)"
CASES = [
    ("array from 100x100 nested floats", "quarvel.array(rows)"),
    ("zeros (100, 100)", "quarvel.zeros((100, 100))"),
    ("scalar read a[3, 4]", "a[3, 4]"),
    ("basic slice a[::2, 1:]", "a[::2, 1:]"),
    ("gather a[[1, 5, 7]]", "a[[1, 5, 7]]"),
    ("assign a[:, 0] = 1.5", "a[:, 0] = 1.5"),
    ("astype int32", "a.astype('int32')"),
    ("transpose copy", "a.T.copy()"),
]

N = 1_000_000
BULK_SETUP = f"""
import quarvel
n = {N}
x = [float(i) * 0.25 for i in range(n)]
a = quarvel.array(x)
m = quarvel.array([[float(i * 1000 + j) for j in range(1000)] for i in range(1000)])
i = 12345
"""
# (label, quarvel statement, plain-Python statement, elements per run)
BULK = [
    ("a.copy()", "a.copy()", "x.copy()", N),
    ("a.astype('float32')", "a.astype('float32')", "[float(v) for v in x]", N),
    ("a.astype('int32')", "a.astype('int32')", "[int(v) for v in x]", N),
    ("quarvel.array(list_of_floats)", "quarvel.array(x)", "[float(v) for v in x]", N),
    ("a[:] = 1.5", "a[:] = 1.5", "x[:] = [1.5] * n", N),
    ("m.T.copy() (1000x1000)", "m.T.copy()", "[list(r) for r in zip(*[x[k:k + 1000] for k in range(0, n, 1000)])]", N),
    ("a[::2] = a[1::2]", "a[::2] = a[1::2]", "x[::2] = x[1::2]", N // 2),
    ("float(a[i]) per call", "float(a[i])", "float(x[i])", 1),
]


def best_seconds(stmt, setup):
    timer = timeit.Timer(stmt, setup=setup)
    loops, _ = timer.autorange()
    return min(timer.repeat(repeat=5, number=loops)) / loops


def bulk_table():
    path = "element" if os.environ.get("QUARVEL_ELEMENT_PATH") == "1" else "typed"
    print(f"bulk operations, {path} path (ns per element; ratio quarvel / plain Python)")
    for label, ours, plain, count in BULK:
        q = best_seconds(ours, BULK_SETUP) / count * 1e9
        p = best_seconds(plain, BULK_SETUP) / count * 1e9
        print(f"  {label:34s} quarvel {q:10.2f}   plain Python {p:8.2f}   ratio {q / p:7.2f}")


if __name__ == "__main__":
    if "--bulk-only" not in sys.argv[1:]:
        print(f"quarvel {quarvel.__version__}")
        for label, stmt in CASES:
            best = best_seconds(stmt, SETUP)
            print(f"{label:40s} {best * 1e6:10.2f} us")
    bulk_table()
    if "--both-paths" in sys.argv[1:]:
        sys.stdout.flush()
        env = dict(os.environ, QUARVEL_ELEMENT_PATH="1")
        subprocess.run([sys.executable, os.path.abspath(__file__), "--bulk-only"], env=env, check=True)
