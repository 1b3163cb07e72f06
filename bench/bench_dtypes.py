"""Each ufunc over one dtype beside the same ufunc over its reference dtype,
in ns per element (100,000 contiguous elements, into an output allocated
beforehand) and their ratio, with the target ratio:

    float32  beside float64    add, subtract, multiply, absolute, negative,
                               maximum, minimum: at most 1.2x
    complex64 beside complex128  every ufunc with a complex loop: at most 1.3x
    float16  beside float32    every ufunc with a float loop: at most 1.5x
    float128 floor, ceil, trunc beside float128 rint: at most 1.5x

Run: PYTHONPATH=build/<dir>/pkg python3 bench/bench_dtypes.py [--group NAME] [--n N]
(QUARVEL_ELEMENT_PATH=1 times the element-at-a-time path; use a small --n.)
The two figures of a row are taken in turns, each the best of several runs in
this thread's own processor time, so a shared machine skews both alike.
"""
import argparse
import math
import os
import time

import quarvel as q

# The range of each function's inputs: ordinary values inside its domain
# (normal, nonzero, no fault). A complex input takes its real part from the
# range and its imaginary part from 0.3 times it.
DOMAINS = {
    "arccosh": (1.1, 3.0),
    "arccos": (-0.9, 0.9),
    "arcsin": (-0.9, 0.9),
    "arctanh": (-0.9, 0.9),
    "log": (0.3, 5.0),
    "log2": (0.3, 5.0),
    "log10": (0.3, 5.0),
    "log1p": (0.3, 5.0),
    "sqrt": (0.3, 5.0),
    "power": (0.3, 2.0),
    "float_power": (0.3, 2.0),
}
DEFAULT_DOMAIN = (0.25, 2.5)


def thread_best(work, repeat):
    """The fastest of `repeat` runs of work(), in this thread's processor time."""
    fastest = math.inf
    for _ in range(repeat):
        start = time.thread_time()
        work()
        fastest = min(fastest, time.thread_time() - start)
    return fastest


def values(name, n, salt):
    low, high = DOMAINS.get(name, DEFAULT_DOMAIN)
    return [low + (high - low) * (((i * 7919 + salt) % 1009) / 1009) for i in range(n)]


def operands(ufunc, dtype, n):
    """The inputs of one call of ufunc over dtype, and its outputs."""
    name = ufunc.__name__
    complex_kind = dtype.startswith("complex")
    ins = []
    for k in range(ufunc.nin):
        if name == "ldexp" and k == 1:
            ins.append(q.array([(i % 7) - 3 for i in range(n)], dtype="int32"))
            continue
        xs = values(name, n, 31 * k)
        if complex_kind:
            ys = values(name, n, 31 * k + 17)
            ins.append(q.array([complex(x, 0.3 * y) for x, y in zip(xs, ys)], dtype=dtype))
        else:
            ins.append(q.array(xs, dtype=dtype))
    outs = ufunc(*ins)
    outs = outs if isinstance(outs, tuple) else (outs,)
    return ins, outs


def row(ufunc, dtype, reference, n, repeat, target):
    """ufunc over dtype beside ufunc over reference; a reference ufunc
    (float128 rint) instead of a dtype runs on the same operands."""
    ins, outs = operands(ufunc, dtype, n)
    if isinstance(reference, q.ufunc):
        other, ref_ins, ref_outs = reference, ins, (q.empty((n,), dtype=dtype),)
        label = f"{ufunc.__name__} {dtype} / {reference.__name__}"
    else:
        other, (ref_ins, ref_outs) = ufunc, operands(ufunc, reference, n)
        label = f"{ufunc.__name__} {dtype}"
    ours, theirs = math.inf, math.inf
    for _ in range(3):
        ours = min(ours, thread_best(lambda: ufunc(*ins, out=outs), repeat))
        theirs = min(theirs, thread_best(lambda: other(*ref_ins, out=ref_outs), repeat))
    ratio = ours / theirs
    mark = "  > target" if ratio > target else ""
    print(f"{label:<30} {ours / n * 1e9:9.2f} {theirs / n * 1e9:9.2f} {ratio:7.2f}x {target:5.1f}x{mark}")


def ufuncs_with(letter):
    """Every ufunc object with a loop whose inputs are all of type `letter`."""
    seen, found = set(), []
    for name in sorted(dir(q)):
        u = getattr(q, name)
        if not isinstance(u, q.ufunc) or id(u) in seen:
            continue
        seen.add(id(u))
        if any(t.split("->")[0] == letter * u.nin for t in u.types):
            found.append(u)
    return found


GROUPS = {
    "float32": lambda: [(getattr(q, name), "float32", "float64", 1.2) for name in
                        ("add", "subtract", "multiply", "absolute", "negative", "maximum", "minimum")],
    "complex64": lambda: [(u, "complex64", "complex128", 1.3) for u in ufuncs_with("F")],
    "float16": lambda: [(u, "float16", "float32", 1.5) for u in ufuncs_with("e") + [q.ldexp]],
    "float128": lambda: [(getattr(q, name), "float128", q.rint, 1.5) for name in ("floor", "ceil", "trunc")],
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--group", choices=sorted(GROUPS), action="append")
    parser.add_argument("--n", type=int, default=10**5)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"{'ufunc dtype (ns per element)':<30} {'quarvel':>9} {'beside':>9} {'ratio':>8} {'target':>6}")
    for group in args.group or ["float32", "complex64", "float16", "float128"]:
        for ufunc, dtype, reference, target in GROUPS[group]():
            row(ufunc, dtype, reference, args.n, args.repeat, target)
    print("(element path forced)" if os.environ.get("QUARVEL_ELEMENT_PATH") == "1" else "(typed loops)")


if __name__ == "__main__":
    main()
