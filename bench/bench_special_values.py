"""Values off the main road: NaN, infinities, zeros, underflow, subnormals
and faults, each beside the same operation on ordinary values in the same
run, for every float, complex and integer dtype; reductions that carry a NaN
beside the same reduction without one; and a Mandelbrot iteration beside
plain Python doing it with `complex`.

Run: PYTHONPATH=build/<dir>/pkg python3 bench/bench_special_values.py [n] [--carried]
(n elements per operand, 100000 by default; --carried times only the
reductions and accumulations that carry a NaN, for every float and complex
dtype; QUARVEL_ELEMENT_PATH=1 times the element-at-a-time path.) Figures are ns per element, the best of seven runs
under errstate(all="ignore"); a ratio is the row's time over the ordinary
time printed beside it.
"""
import math
import os
import sys

import quarvel as q
from bench_ufunc import best

ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
N = int(ARGS[0]) if ARGS else 10**5
NAN, INF = float("nan"), float("inf")
FLOATS = ["float16", "float32", "float64", "float128", "complex64", "complex128", "complex256"]
INTEGERS = ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"]


def ns(work, repeat=7):
    return best(work, repeat) / N * 1e9


def ordinary(dtype, shift=0.0):
    return q.array([1.25 + ((i * 7 + int(shift * 13)) % 97) * 0.01 for i in range(N)], dtype=dtype)


def filled(value, dtype):
    return q.array([value] * N, dtype=dtype)


def tiny(dtype):
    """Values whose square underflows to zero in the dtype."""
    exponent = {"float16": -14, "float32": -80, "float64": -600, "complex64": -80, "complex128": -600}.get(dtype)
    if exponent is None:  # the long double types: below 2^-8222 a square is zero
        return q.ldexp(ordinary("float128"), filled(-9000, "int32")).astype(dtype)
    return q.array([2.0 ** exponent * (1 + (i % 7) / 8) for i in range(N)], dtype=dtype)


def subnormal_square(dtype):
    """Values whose square is subnormal in the dtype, exact or not."""
    exponent = {"float16": -10, "float32": -70, "float64": -530, "complex64": -70, "complex128": -530}.get(dtype)
    if exponent is None:  # the long double types: 2^-16400 is subnormal
        return q.ldexp(ordinary("float128"), filled(-8200, "int32")).astype(dtype)
    return q.array([2.0 ** exponent * (1 + (i % 7) / 8 + (i % 2) * 2.0 ** -8) for i in range(N)], dtype=dtype)


def scaled(dtype, exponent):
    """Values of 1 to 2, some with a fine last bit, times 2^exponent (the
    long double types: the float128 values scaled, as 2^exponent may be past a double)."""
    if dtype in ("float128", "complex256"):
        values = q.array([1 + (i % 7) / 8 + (i % 2) * 2.0 ** -8 for i in range(N)], dtype="float128")
        return q.ldexp(values, filled(exponent, "int32")).astype(dtype)
    return q.array([2.0 ** exponent * (1 + (i % 7) / 8 + (i % 2) * 2.0 ** -8) for i in range(N)], dtype=dtype)


# The exponent of the largest power of two whose reciprocal is subnormal (the
# long double types: 2^16382 itself and above are reached by the ordinary values).
TOP = {"float16": 14, "float32": 126, "float64": 1022, "float128": 16382, "complex64": 126, "complex128": 1022,
       "complex256": 16382}
# Half of the exponent of the normal range's bottom, rounded towards zero.
HALF_BOTTOM = {"float16": 7, "float32": 63, "float64": 511, "float128": 8191, "complex64": 63, "complex128": 511,
               "complex256": 8191}


def every_tenth_nan(dtype):
    return q.array([NAN if i % 10 == 3 else 1.25 + (i % 97) * 0.01 for i in range(N)], dtype=dtype)


def one_nan(dtype):
    values = [1.25 + (i % 97) * 0.01 for i in range(N)]
    values[N // 3] = NAN
    return q.array(values, dtype=dtype)


def float_rows(dtype):
    """(label, ordinary work, [(label, work off the road)])."""
    x, y = ordinary(dtype), ordinary(dtype, 0.5)
    nans, infs, zeros = filled(NAN, dtype), filled(INF, dtype), filled(0.0, dtype)
    mask = q.array([float(i % 2) for i in range(N)], dtype=dtype)
    small, ones, minus_ones = tiny(dtype), filled(1.0, dtype), filled(-1.0, dtype)
    below = subnormal_square(dtype)
    twos, every_nan = filled(2.0, dtype), every_tenth_nan(dtype)
    # Quotients and reciprocals below the normal range, exact or not.
    dividends, divisors = scaled(dtype, -HALF_BOTTOM[dtype] - 5), scaled(dtype, HALF_BOTTOM[dtype])
    huge = scaled(dtype, TOP[dtype])
    rows = [
        ("a + a", lambda: x + x, [("all NaN", lambda: nans + nans), ("all inf", lambda: infs + infs),
                                  ("10 % NaN", lambda: every_nan + every_nan)]),
        ("x * y", lambda: x * y, [("x * zeros", lambda: x * zeros), ("x * mask", lambda: x * mask),
                                  ("tiny * tiny", lambda: small * small),
                                  ("subnormal", lambda: below * below), ("NaN * NaN", lambda: nans * nans)]),
        ("x / y", lambda: x / y, [("1 / 0", lambda: ones / zeros), ("0 / 0", lambda: zeros / zeros),
                                  ("subnormal", lambda: dividends / divisors)]),
        ("reciprocal(x)", lambda: q.reciprocal(x), [("subnormal", lambda: q.reciprocal(huge))]),
        ("sqrt(x)", lambda: q.sqrt(x), [("sqrt(-1)", lambda: q.sqrt(minus_ones))]),
        ("log(x)", lambda: q.log(x), [("log(0)", lambda: q.log(zeros))]),
        ("power(x, 2)", lambda: q.power(x, twos), [("power(0, 2)", lambda: q.power(zeros, twos))]),
    ]
    if dtype[0] != "c":
        rows.append(("x // y", lambda: q.floor_divide(x, y), [("1 // 0", lambda: q.floor_divide(ones, zeros))]))
    return rows


def near_one(dtype, nan_at=None):
    """Values whose running product stays near 1, with a NaN at nan_at."""
    values = [1.0 + ((i % 7) - 3) * 2.0 ** -10 for i in range(N)]
    if nan_at is not None:
        values[nan_at] = NAN
    return q.array(values, dtype=dtype)


def carried_rows(dtype):
    """Each reduction and accumulation beside the same one carrying a NaN
    from a third of the way in."""
    x, carried = ordinary(dtype), one_nan(dtype)
    ones, ones_carried = near_one(dtype), near_one(dtype, N // 3)
    segments = q.array(list(range(0, N, 10)), dtype="int64")
    rows = [(f"{name}.reduce", lambda f=getattr(q, name): f.reduce(x),
             [("one NaN", lambda f=getattr(q, name): f.reduce(carried))])
            for name in ("add", "maximum", "minimum", "fmax", "fmin")]
    rows += [
        ("multiply.reduce", lambda: q.multiply.reduce(ones), [("one NaN", lambda: q.multiply.reduce(ones_carried))]),
        ("add.accumulate", lambda: q.add.accumulate(x), [("one NaN", lambda: q.add.accumulate(carried))]),
        ("add.reduceat", lambda: q.add.reduceat(x, segments), [("one NaN", lambda: q.add.reduceat(carried, segments))]),
    ]
    return rows


def integer_rows(dtype):
    x = q.array([1 + (i * 7) % 97 for i in range(N)], dtype=dtype)
    y = q.array([1 + (i * 5) % 13 for i in range(N)], dtype=dtype)
    zeros = filled(0, dtype)
    return [(name, lambda f=getattr(q, name): f(x, y), [("by 0", lambda f=getattr(q, name): f(x, zeros))])
            for name in ("floor_divide", "remainder", "fmod", "divmod")]


def mandelbrot():
    rows, columns, steps = 200, 300, 40
    points = [complex(-2.2 + 3.2 * j / columns, -1.2 + 2.4 * i / rows) for i in range(rows) for j in range(columns)]
    c = q.array(points).reshape((rows, columns))

    def ours():
        z = q.zeros((rows, columns), dtype="complex128")
        for _ in range(steps):
            q.multiply(z, z, out=z)
            q.add(z, c, out=z)
        return q.add.reduce(q.less_equal(q.absolute(z), 2.0), axis=None)

    def plain():
        zs = [0j] * len(points)
        for _ in range(steps):
            zs = [z * z + p for z, p in zip(zs, points)]
        return sum(1 for z in zs if abs(z) <= 2)

    assert int(ours()) == plain()
    return best(ours, 5), best(plain, 3)


def cells(base, others):
    texts = []
    for name, work in others:
        t = ns(work)
        texts.append(f"{name} {t:7.2f} ({t / base:4.1f}x)")
    return "  ".join(texts)


def main():
    print(f"n = {N}; ns per element; ratio to the ordinary row")
    print(f"{'dtype':<11} {'operation':<16} {'ordinary':>9}   off the main road")
    with q.errstate(all="ignore"):
        if "--carried" in sys.argv:
            for dtype in FLOATS:
                for label, plain, others in carried_rows(dtype):
                    base = ns(plain)
                    print(f"{dtype:<11} {label:<16} {base:9.2f}   {cells(base, others)}")
            return
        for dtype in FLOATS:
            for label, plain, others in float_rows(dtype):
                base = ns(plain)
                print(f"{dtype:<11} {label:<16} {base:9.2f}   {cells(base, others)}")
        for dtype in FLOATS:
            for label, plain, others in carried_rows(dtype):
                base = ns(plain)
                print(f"{dtype:<11} {label:<16} {base:9.2f}   {cells(base, others)}")
        for dtype in INTEGERS:
            for label, plain, others in integer_rows(dtype):
                base = ns(plain)
                print(f"{dtype:<11} {label:<16} {base:9.2f}   {cells(base, others)}")
        ours, plain = mandelbrot()
    print(f"Mandelbrot 200 x 300, 40 steps: quarvel {ours * 1e3:.1f} ms, plain Python {plain * 1e3:.1f} ms, "
          f"{plain / ours:.1f}x")
    print("(element path forced)" if os.environ.get("QUARVEL_ELEMENT_PATH") == "1" else "(typed loops)")


if __name__ == "__main__":
    main()
