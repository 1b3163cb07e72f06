"""Python-level timings of array construction, indexing and assignment.

Run: PYTHONPATH=build/<dir>/pkg python3 bench/bench_array.py
"""
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

if __name__ == "__main__":
    print(f"quarvel {quarvel.__version__}")
    for label, stmt in CASES:
        timer = timeit.Timer(stmt, setup=SETUP)
        loops, _ = timer.autorange()
        best = min(timer.repeat(repeat=3, number=loops)) / loops
        print(f"{label:40s} {best * 1e6:10.2f} us")
