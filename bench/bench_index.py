"""Gathers, scatters, boolean masks and ufunc.at over a million float64
elements with a million random int64 indices (a half-true random mask), in ns
per index (per source element for masks), beside the plain C loop of each
(bench_core index, same run) and its target.

Run: PYTHONPATH=build/<dir>/pkg python3 bench/bench_index.py [build/<dir>/bench_core]
QUARVEL_ELEMENT_PATH=1 times the element-at-a-time path.
"""
import random
import re
import subprocess
import sys
import time

import quarvel

N = 1_000_000


def best_ns(work, repeat=11):
    fastest = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        work()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest / N * 1e9


def c_floors(core):
    """label -> ns from bench_core index, best of three runs."""
    floors = {}
    for _ in range(3):
        text = subprocess.run([core, "index"], check=True, capture_output=True, text=True).stdout
        for label, ns in re.findall(r"C loop (.+?)\s+([\d.]+) ns/element", text):
            floors[label] = min(floors.get(label, float("inf")), float(ns))
    return floors


def main():
    random.seed(7)
    a = quarvel.array([float(i) for i in range(N)])
    xs = [float(i) for i in range(N)]
    ids = [random.randrange(N) for _ in range(N)]
    flags = [random.random() < 0.5 for _ in range(N)]
    idx, mask, v = quarvel.array(ids), quarvel.array(flags), quarvel.array([3.0] * N)

    def plain_add_at():
        for i in ids:
            xs[i] += 1.0

    # (label, floor label in bench_core, target: ("x", factor) of the floor or ("ns", bound), quarvel, plain Python)
    cases = [
        ("a[idx]", "a[idx]", ("x", 3), lambda: a[idx], lambda: [xs[i] for i in ids]),
        ("a[idx] = 1.0", "a[idx] = 1.0", ("x", 3), lambda: a.__setitem__(idx, 1.0), None),
        ("a[idx] = v", "a[idx] = v", ("x", 3), lambda: a.__setitem__(idx, v), None),
        ("a[mask] (per source element)", "a[mask] (per source element)", ("ns", 3), lambda: a[mask],
         lambda: [x for x, f in zip(xs, flags) if f]),
        ("a[mask] = 2.0 (per source element)", "a[mask] = 2.0 (per source element)", None,
         lambda: a.__setitem__(mask, 2.0), None),
        ("add.at(a, idx, 1.0)", "add.at(a, idx, 1.0)", ("ns", 10), lambda: quarvel.add.at(a, idx, 1.0),
         plain_add_at),
    ]
    floors = c_floors(sys.argv[1]) if len(sys.argv) > 1 else {}
    print("ns per index (per source element for masks); C loop from bench_core index")
    for label, floor_label, target, ours, plain in cases:
        q = best_ns(ours)
        line = f"  {label:36s} quarvel {q:7.2f}"
        floor = floors.get(floor_label)
        if floor is not None:
            line += f"   C loop {floor:6.2f}   ratio {q / floor:5.2f}"
        if target is not None:
            bound = target[1] * floor if target[0] == "x" and floor is not None else target[1]
            text = f"<= {target[1]}x C loop" if target[0] == "x" else f"<= {target[1]} ns"
            if target[0] == "ns" or floor is not None:
                line += f"   target {text} ({'met' if q <= bound else 'not met'})"
        if plain is not None:
            line += f"   plain Python {best_ns(plain, 3):7.2f}"
        print(line)


if __name__ == "__main__":
    main()
