"""Complex, float16 and float-to-integer loops from Python, a million elements,
in ns per element: each ufunc call or astype beside its target (a multiple of
the plain C loop that `bench_core loops` prints, or an absolute bound), and
plain Python where it has a like.

Run: PYTHONPATH=build/<dir>/pkg python3 bench/bench_loops.py
(QUARVEL_ELEMENT_PATH=1 times the element-at-a-time path.)
Each figure is the best of seven runs; a call's figure includes making its
result array.
"""
import os

import quarvel as q
from bench_ufunc import best

N = 10**6


def ns_per_element(work, repeat=7):
    return best(work, repeat) / N * 1e9


def main():
    zs = [complex(0.25 + (i % 97) * 0.0073, 0.5 - (i % 89) * 0.0041) for i in range(N)]
    ws = [complex(0.75 - (i % 83) * 0.0057, 0.3 + (i % 79) * 0.0029) for i in range(N)]
    c16, d16 = q.array(zs), q.array(ws)
    c8, d8 = c16.astype("complex64"), d16.astype("complex64")
    f8 = q.array([z.real * 1000 for z in zs])
    f4 = f8.astype("float32")
    h, g = q.array([z.real for z in zs], dtype="float16"), q.array([w.real for w in ws], dtype="float16")
    rows = [
        ("complex128 add", lambda: q.add(c16, d16), "3x C loop", None),
        ("complex128 multiply", lambda: q.multiply(c16, d16), "3x C loop", lambda: [a * b for a, b in zip(zs, ws)]),
        ("complex128 divide", lambda: q.divide(c16, d16), "3x C loop (Smith)", lambda: [a / b for a, b in zip(zs, ws)]),
        ("complex64 add", lambda: q.add(c8, d8), "3x C loop", None),
        ("complex64 multiply", lambda: q.multiply(c8, d8), "3x C loop", None),
        ("complex64 divide", lambda: q.divide(c8, d8), "3x C loop (Smith)", None),
        ("complex64 square", lambda: q.square(c8), "3x C loop", None),
        ("complex64 absolute", lambda: q.absolute(c8), "3x C loop", None),
        ("complex128 square", lambda: q.square(c16), "3x C loop", None),
        ("complex128 absolute", lambda: q.absolute(c16), "3x C loop", lambda: [abs(a) for a in zs]),
        ("complex128 exp", lambda: q.exp(c16), "3x C loop", None),
        ("float16 add", lambda: q.add(h, g), "3x C loop", None),
        ("float16 multiply", lambda: q.multiply(h, g), "3x C loop", None),
        ("float16 sqrt", lambda: q.sqrt(h), "3x C loop", None),
        ("float16 less", lambda: q.less(h, g), "3x C loop", None),
        ("float16 maximum", lambda: q.maximum(h, g), "3x C loop", None),
        ("float16 exp", lambda: q.exp(h), "3x C loop", None),
        ("float16 -> float32 astype", lambda: h.astype("float32"), "1.5 ns", None),
        ("float16 -> float64 astype", lambda: h.astype("float64"), "1.5 ns", None),
        ("float32 -> float16 astype", lambda: f4.astype("float16"), "1.5 ns", None),
        ("float64 -> float16 astype", lambda: f8.astype("float16"), "1.5 ns", None),
        ("float64 -> int32 astype", lambda: f8.astype("int32"), "2 ns", lambda: [int(v) for v in f8_list]),
        ("float64 -> int64 astype", lambda: f8.astype("int64"), "2 ns", None),
        ("float32 -> int32 astype", lambda: f4.astype("int32"), "2 ns", None),
        ("float32 -> int64 astype", lambda: f4.astype("int64"), "2 ns", None),
    ]
    f8_list = [z.real * 1000 for z in zs]
    print(f"{'operation (ns per element)':<30} {'quarvel':>9} {'target':>20} {'plain Python':>13}")
    for label, work, target, python in rows:
        theirs = f"{ns_per_element(python, 3):13.1f}" if python else f"{'':>13}"
        print(f"{label:<30} {ns_per_element(work):9.2f} {target:>20} {theirs}")
    print("(element path forced)" if os.environ.get("QUARVEL_ELEMENT_PATH") == "1" else "(typed loops)")


if __name__ == "__main__":
    main()
