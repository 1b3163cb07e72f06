"""Values off the main road through every engine, against the element path:
NaNs of both signs and with payloads, infinities, zeros of both signs,
subnormals and operands that fault (zero divisors, poles, domain errors,
overflowing and underflowing operands) among ordinary values, at the start of
a block, at its end and across into the next, and in the elements after the
last whole block (blocks are 256 elements), for every ufunc over every float,
complex and integer dtype: calls (contiguous and reversed), operators, small
calls, reduce, accumulate, reduceat, outer and at. Result bits (NaN signs and
payloads), fault reports and warnings must be the element path's."""
import itertools
import math
import struct
from fractions import Fraction

import pytest

import quarvel as q
from element_path import check
from helpers import UFUNCS

N = 300  # a whole block and a tail
POSITIONS = [0, 1, 2, 4, 7, 8, 250, 252, 253, 254, 255, 256, 257, 259, 263, 270, 286, 291, 296, 299]


def bits_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


NAN, INF = math.nan, math.inf
NANS = [NAN, bits_float(0xFFF8000000000000), bits_float(0x7FF8DEADBEEF0000), bits_float(0xFFF0000000000001)]
# Per float dtype: subnormals, operands whose squares underflow, operands that overflow.
EDGES = {
    "f2": [6e-08, -3e-05, 2.0 ** -20, 2.0 ** -13, 60000.0, 300.0],
    "f4": [1e-40, -1.4e-45, 2.0 ** -130, 2.0 ** -70, 3e38, 2e19],
    "f8": [5e-324, -1e-310, 2.0 ** -1030, 2.0 ** -600, 1e308, 2e154],
}
EDGES["g"] = EDGES["f8"]
FLOATS = {"f2": "float16", "f4": "float32", "f8": "float64", "g": "float128"}
COMPLEXES = {"c8": ("complex64", "f4"), "c16": ("complex128", "f8"), "G": ("complex256", "f8")}
INTEGERS = {"?": "bool", "i1": "int8", "u1": "uint8", "i2": "int16", "u2": "uint16", "i4": "int32", "u4": "uint32",
            "i8": "int64", "u8": "uint64"}
DTYPES = list(FLOATS) + list(COMPLEXES) + list(INTEGERS)
OPERATORS = {"add": "add", "subtract": "sub", "multiply": "mul", "divide": "truediv", "floor_divide": "floordiv",
             "remainder": "mod", "power": "pow", "left_shift": "lshift", "right_shift": "rshift",
             "bitwise_and": "and_", "bitwise_or": "or_", "bitwise_xor": "xor", "less": "lt", "less_equal": "le",
             "equal": "eq", "not_equal": "ne", "greater": "gt", "greater_equal": "ge", "negative": "neg",
             "positive": "pos", "absolute": "abs", "invert": "invert"}


def float_specials(code):
    return NANS + [INF, -INF, 0.0, -0.0, -1.0, 1.0, -2.5, 2.0, 0.5] + EDGES[code] + [-x for x in EDGES[code][3:]]


def specials(code):
    if code in FLOATS:
        return float_specials(code)
    if code in COMPLEXES:
        parts = float_specials(COMPLEXES[code][1])
        return [complex(re, im) for re, im in itertools.product(parts, repeat=2)][::7]
    if code == "?":
        return [False, True]
    bits = int(code[1]) * 8
    if code[0] == "u":
        return [0, 1, 2, 2 ** bits - 1, 2 ** bits - 2]
    return [0, -1, 1, 2, -2, -(2 ** (bits - 1)), 2 ** (bits - 1) - 1]


def ordinary(code, i):
    if code in FLOATS or code in COMPLEXES:
        x = 1.25 + (i % 17) * 0.125
        return complex(x, 0.5 - (i % 5) * 0.25) if code in COMPLEXES else x
    if code == "?":
        return i % 3 != 0
    x = i % 12 + 1
    return -x if code[0] == "i" and i % 5 == 0 else x


def values(code, turn):
    """N ordinary values with the dtype's special ones at POSITIONS, the list turned by `turn`."""
    out = [ordinary(code, i) for i in range(N)]
    chosen = specials(code)
    for k, p in enumerate(POSITIONS):
        out[p] = chosen[(k + turn) % len(chosen)]
    return out


def spec(values, dtype):
    return {"values": values, "dtype": dtype, "order": "C", "views": []}


def dtype_name(code):
    return FLOATS.get(code) or INTEGERS.get(code) or COMPLEXES[code][0]


def second_code(name, code):
    return "i4" if name == "ldexp" else code


def has_loop(ufunc, codes):
    try:
        with q.errstate(all="ignore"):
            ufunc(*[q.array([ordinary(c, 1)], dtype=dtype_name(c)) for c in codes])
        return True
    except (TypeError, ValueError):  # no loop for these dtypes
        return False


CASES = [(u.__name__, code) for u in UFUNCS for code in DTYPES]


@pytest.mark.parametrize("name,code", CASES)
def test_special_values_in_every_engine(element_path, name, code):
    ufunc = getattr(q, name)
    codes = [code] if ufunc.nin == 1 else [code, second_code(name, code)]
    if not has_loop(ufunc, codes):
        pytest.skip("no loop")
    turn = sum(map(ord, name))
    steps = [("array", spec(values(c, turn + 3 * k), dtype_name(c))) for k, c in enumerate(codes)]
    if code == "g":
        # float128 subnormals, out of a double's reach: some elements scaled down past 2^-16382.
        scale = [-16400 if i % 3 == 0 else 0 for i in range(N)]
        steps += [("array", spec(scale, "int32")), ("ufunc", "ldexp", "call", (("ref", 0), ("ref", len(steps))), {})]
        first = ("ref", len(steps) - 1)
    else:
        first = ("ref", 0)
    inputs = [first] + [("ref", k) for k in range(1, len(codes))]
    reverse = (slice(None, None, -1),)
    window = (slice(250, 258),)
    steps.append(("ufunc", name, "call", tuple(inputs), {}))
    steps.append(("ufunc", name, "call", tuple(r + (reverse,) for r in inputs), {}))
    steps.append(("ufunc", name, "call", tuple(r + (window,) for r in inputs), {}))
    if name in OPERATORS and (ufunc.nin == 1 or codes[1] == code):
        steps.append(("operator", OPERATORS[name], tuple(inputs)))
    if ufunc.nin == 2:
        for k, number in enumerate(specials(codes[1])[:: max(1, len(specials(codes[1])) // 4)]):
            operands = (inputs[0], number) if k % 2 == 0 else (number, inputs[0] + (window,))
            steps.append(("ufunc", name, "call", operands, {}))
        steps.append(("ufunc", name, "outer", (inputs[0] + ((slice(248, 264),),), inputs[1] + ((slice(0, 12),),)), {}))
    if ufunc.nin == 2 and ufunc.nout == 1 and codes[1] == code:
        steps.append(("ufunc", name, "reduce", (inputs[0],), {}))
        steps.append(("ufunc", name, "accumulate", (inputs[0],), {}))
        steps.append(("ufunc", name, "reduceat", (inputs[0], [0, 3, 250, 256, 260, 290]), {}))
        steps.append(("reshape", first[1], (20, 15), "C"))
        steps.append(("ufunc", name, "reduce", (("ref", len(steps) - 1),), {"axis": 0}))
        steps.append(("ufunc", name, "accumulate", (("ref", len(steps) - 2),), {"axis": 1}))
    if ufunc.nout == 1:
        steps.append(("copy", first[1]))
        target = ("ref", len(steps) - 1)
        indices = [0, 5, 253, 256, 256, 299]
        operands = (target, indices) if ufunc.nin == 1 else (target, indices, inputs[1] + ((slice(250, 256),),))
        steps.append(("ufunc", name, "at", operands, {}))
    check(element_path, steps)


# Whole blocks whose every result is subnormal, exact or not (a fine bit on
# every other operand makes the product inexact): every element's exactness
# is decided after the block's common pass.
SUBNORMAL_SCALES = {"f2": -10, "f4": -70, "f8": -530}


@pytest.mark.parametrize("name", ["multiply", "divide", "square", "add", "subtract"])
@pytest.mark.parametrize("code", list(SUBNORMAL_SCALES))
def test_blocks_of_subnormal_results(element_path, name, code):
    scale = 2.0 ** SUBNORMAL_SCALES[code]
    fine = 2.0 ** -8
    x = [scale * (1 + (i % 7) / 8 + (fine if i % 2 else 0)) for i in range(N)]
    if name == "divide":
        y = [2.0 ** (-SUBNORMAL_SCALES[code]) * (3 if i % 3 == 0 else 2) for i in range(N)]
    elif name in ("add", "subtract"):
        y = [-v * 0.75 if name == "add" else v * 0.75 for v in x]
        x = [v * 2.0 ** SUBNORMAL_SCALES[code] * 2.0 ** 4 for v in x]
        y = [v * 2.0 ** SUBNORMAL_SCALES[code] * 2.0 ** 4 for v in y]
    else:
        y = x[::-1]
    dtype = dtype_name(code)
    steps = [("array", spec(x, dtype)), ("array", spec(y, dtype))]
    operands = (("ref", 0),) if name == "square" else (("ref", 0), ("ref", 1))
    steps.append(("ufunc", name, "call", operands, {}))
    steps.append(("ufunc", name, "call", tuple(r + ((slice(None, None, -1),),) for r in operands), {}))
    check(element_path, steps)


# Blocks whose every result is an exact subnormal (no underflow), with one
# pair at a lane position whose result is inexact, exact at the bottom of the
# range, flushed to zero, or at the edge of the normal range. Whether the call
# reports underflow is checked against exact rational arithmetic: a result
# underflows where it is subnormal and not the exact value, or zero from a
# nonzero exact value.
FORMATS = {"f2": (-14, 11), "f4": (-126, 24), "f8": (-1022, 53)}  # (lowest normal exponent, digits)
LANE_POSITIONS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 15, 16, 31, 254, 255, 256, 257, 299]


def exactness_pairs(name, code):
    """(base pair, [case pairs]) for op `name` on dtype `code`; squares take the first of a pair."""
    e, p = FORMATS[code]
    two = math.ldexp
    fine = 1 + two(1, 1 - p)
    half = e // 2
    if name == "multiply":
        base = (two(3, half), two(5, e - 6 - half))
        cases = [(two(fine, half), two(3, e - 4 - half)),  # inexact subnormal
                 (two(1, half), two(1, e - p + 1 - half)),  # the smallest subnormal, exact
                 (two(1, half), two(1, e - p - half)),  # half of it: zero
                 (two(3, half), two(1, e - p - half)),  # 1.5 of it: inexact
                 (two(2 ** (p - 1) - 1, half), two(1, e - p + 1 - half)),  # the largest subnormal, exact
                 (two(1, half), two(1, e - half)),  # the smallest normal
                 (two(fine, half), two(2 - fine, e - half)),  # rounds up to the smallest normal
                 (two(3, e - p + 1), 1.25),  # a subnormal operand, inexact
                 (two(3, e - p + 1), 4.0),  # a subnormal operand, exact
                 (two(fine, half + 1), two(fine, e - half - 3))]  # inexact, every bit of both
    elif name == "square":
        base = (two(3, (e - 6) // 2), None)
        cases = [(two(fine, (e - 4) // 2), None), (two(1, (e - p + 2) // 2), None), (two(1, (e - p) // 2 - 1), None),
                 (two(1, e // 2), None), (two(2 ** (p - 1) - 1, (e - 2 * p + 2) // 2), None),
                 (two(3, (e - p + 4) // 2), None)]
    elif name == "divide":
        base = (two(15, e - 6 + 10), two(5, 10))
        cases = [(two(1, e), 3.0), (two(1, e), 4.0), (two(1, e), two(1, p - 1)), (two(1, e), two(1, p)),
                 (two(3, e), two(1, p)), (two(2, e), 2.0), (two(2 - two(1, 1 - p), e), 2.0),
                 (two(2 ** (p - 1) - 1, e - p + 6), 32.0), (two(3, e - p + 1), 3.0), (two(3, e - p + 1), 1.5),
                 # Divisors near the top of the range
                 (1.0, two(1, -e + 1)),  # exact
                 (1.0, two(3, -e)),  # inexact
                 (fine, two(1, -e + 1)),  # half a unit over: inexact
                 (1 + two(1, 2 - p), two(1, -e + 1)),  # one unit over: exact
                 (1.0, two(fine, -e)),  # just below the smallest normal: inexact
                 (1.0, two(1 - two(1, -p), -e)),  # rounds up to the smallest normal
                 (two(5, e - p + 3), 5.0)]  # a subnormal dividend: exact
    elif name == "reciprocal":
        base = (two(1, 1 - e), None)
        cases = [(two(1, -e), None),  # the smallest normal
                 (two(fine, -e), None),  # just below it: inexact
                 (two(1.5, -e), None),  # inexact
                 (two(2 - two(1, 1 - p), -e), None),  # just above the exact 2^(e - 1): inexact
                 (two(fine, 1 - e), None)]  # inexact
    else:  # sums and differences that land below the normal range are exact
        sign = -1 if name == "add" else 1
        base = (two(1.5, e), sign * two(1, e))
        cases = [(two(fine, e), sign * two(1, e)), (two(1, e - p + 1), sign * two(-1, e - p + 2)),
                 (two(3, e - p + 1), sign * two(1, e - p + 1)), (two(2, e), sign * two(1, e)),
                 (two(1.75, e + 1), sign * two(1.5, e + 1))]
    return base, cases


def rational(name, a, b):
    x, y = Fraction(a), Fraction(a if b is None else b)
    return {"multiply": x * y, "square": x * x, "divide": x / y, "reciprocal": 1 / x, "add": x + y,
            "subtract": x - y}[name]


def underflows(name, code, a, b, result):
    e = FORMATS[code][0]
    exact = rational(name, a, b)
    if result == 0:
        return exact != 0
    return abs(result) < math.ldexp(1, e) and Fraction(result) != exact


def reports_underflow(ufunc, operands):
    """The call's result, and whether it reports underflow."""
    with q.errstate(all="ignore"):
        result = ufunc(*operands)
    with q.errstate(all="ignore", under="raise"):
        try:
            ufunc(*operands)
        except FloatingPointError:
            return result, True
    return result, False


@pytest.mark.parametrize("name", ["multiply", "divide", "reciprocal", "square", "add", "subtract"])
@pytest.mark.parametrize("code", list(FORMATS))
def test_subnormal_exactness_at_every_lane(element_path, name, code):
    base, cases = exactness_pairs(name, code)
    dtype = dtype_name(code)
    ufunc = getattr(q, name)
    for signs in itertools.product([1.0, -1.0], repeat=2):  # the base pairs are exact subnormals
        pair = [q.array([s * v], dtype=dtype) for s, v in zip(signs, base) if v is not None]
        assert not underflows(name, code, signs[0] * base[0], base[1] and signs[1] * base[1], ufunc(*pair)[0].item())
    # The float64 quotients take every lane position, both operands' signs turning.
    every_lane = code == "f8" and name in ("divide", "reciprocal")
    steps = []
    for k, (a, b) in enumerate(cases):
        for turn in range(len(LANE_POSITIONS) if every_lane else 4):
            position = LANE_POSITIONS[(k * 5 + turn * 7) % len(LANE_POSITIONS)]
            sign = -1.0 if (position + turn) % 2 else 1.0
            # Every other base pair negated, the case's first operand by `sign`.
            xs = [base[0] * (-1.0 if i % 3 == 0 else 1.0) for i in range(N)]
            ys = [base[1] * (-1.0 if i % 2 == 0 else 1.0) for i in range(N)] if b is not None else None
            xs[position] = sign * a
            divisor = -b if b is not None and every_lane and (turn // 2) % 2 else b
            if b is not None:
                ys[position] = divisor
            x = q.array(xs, dtype=dtype)
            operands = (x,) if b is None else (x, q.array(ys, dtype=dtype))
            result, got = reports_underflow(ufunc, operands)
            want = underflows(name, code, sign * a, divisor, result[position].item())
            assert got == want, (name, code, k, position, sign * a, divisor)
            made = len(steps)
            steps += [("array", spec(xs, dtype))] + ([] if b is None else [("array", spec(ys, dtype))])
            refs = tuple(("ref", made + j) for j in range(len(operands)))
            steps.append(("ufunc", name, "call", refs, {}))
            steps.append(("ufunc", name, "call", tuple(r + ((slice(None, None, -1),),) for r in refs), {}))
    check(element_path, steps)


# Complex quotients and reciprocals with parts below the normal range, among
# blocks of exact subnormal results: one part subnormal and the other normal,
# subnormal or zero, exact or not, each part of either sign, at lane positions
# of every vector width. Exact results against `fractions`; a subnormal part
# reports underflow; bits and flags against the element path.
COMPLEX_FORMATS = {"c8": (-126, 24), "c16": (-1022, 53)}


def complex_quotient_cases(name, code):
    """(base pair, [case pairs]); a reciprocal's pairs have None for a divisor."""
    e, p = COMPLEX_FORMATS[code]
    two = math.ldexp
    k = -e // 2  # a divisor whose square stays normal
    if name == "reciprocal":
        base = (complex(two(1, 1 - e), 0.0), None)
        cases = [(complex(0.0, two(1, 1 - e)), None),  # exact, the real part zero
                 (complex(two(1, 1 - e), two(1, 1 - e)), None),  # both parts subnormal, exact
                 (complex(two(3, -e), 0.0), None),  # inexact
                 (complex(two(1, -e), two(1, -3)), None),  # the smallest normal and a normal part
                 (complex(two(1, 1 - e), 1.0), None),  # inexact, the other part below the subnormals
                 (complex(1.0, two(3, -e)), None)]
    else:
        base = (complex(two(5, e - 3 + k), two(-3, e - 4 + k)), complex(two(1, k), 0.0))
        cases = [(complex(two(3, e - 4 + k), two(5, e + 2 + k)), complex(two(1, k), 0.0)),  # one part normal
                 (complex(two(3, e - 4 + k), 0.0), complex(two(1, k), 0.0)),  # the other zero
                 (complex(two(1, e - p + 1 + k), two(-3, e - 2 + k)), complex(two(1, k), 0.0)),  # the smallest
                 (complex(two(3, e + k), two(1, e - 3 + k)), complex(two(3, k), 0.0)),  # inexact
                 (complex(two(3, e - 4 + k), two(1, e - 2 + k)), complex(two(1, k + 1), two(1, k + 1))),  # scaled, exact
                 (complex(two(3, e - 4 + k), two(1, e + k)), complex(two(1, k), two(3, k))),  # scaled, inexact
                 (complex(1.0, two(1, -3)), complex(0.0, two(1, 1 - e))),  # a divisor near the top
                 (complex(two(7, e - p + 2), two(1, e)), complex(0.5, 0.0)),  # subnormal dividend parts
                 (complex(two(3, e - p + 1), two(-5, e - p + 1)), complex(2.0, 0.0)),  # halfway: to even
                 (complex(two(2 ** p - 1, e - p + 1), 0.0), complex(2.0, 0.0))]  # halfway to the smallest normal
    return base, cases


def complex_rational(a, b):
    """a / b exactly, 1 / a for no b."""
    a, b = (1, a) if b is None else (a, b)
    x, y = (Fraction(a.real), Fraction(a.imag)), (Fraction(b.real), Fraction(b.imag))
    d = y[0] * y[0] + y[1] * y[1]
    return (x[0] * y[0] + x[1] * y[1]) / d, (x[1] * y[0] - x[0] * y[1]) / d


def representable(x, code):
    fmt = "<f" if code == "c8" else "<d"
    try:
        return Fraction(struct.unpack(fmt, struct.pack(fmt, float(x)))[0]) == x
    except OverflowError:
        return False


@pytest.mark.parametrize("name", ["divide", "reciprocal"])
@pytest.mark.parametrize("code", list(COMPLEX_FORMATS))
def test_complex_quotients_below_the_normal_range_at_every_lane(element_path, name, code):
    base, cases = complex_quotient_cases(name, code)
    dtype = COMPLEXES[code][0]
    ufunc = getattr(q, name)
    smallest_normal = math.ldexp(1, COMPLEX_FORMATS[code][0])
    steps = []
    for k, (a, b) in enumerate(cases):
        for turn, (sr, si) in enumerate(itertools.product([1.0, -1.0], repeat=2)):
            position = LANE_POSITIONS[(k * 5 + turn * 7) % len(LANE_POSITIONS)]
            # Every other base pair with its parts' signs turned.
            xs = [complex(base[0].real * (-1.0 if i % 3 == 0 else 1.0), base[0].imag * (-1.0 if i % 2 else 1.0))
                  for i in range(N)]
            xs[position] = complex(sr * a.real, si * a.imag)
            operands = [q.array(xs, dtype=dtype)]
            if b is not None:
                operands.append(q.array([base[1]] * position + [b] + [base[1]] * (N - position - 1), dtype=dtype))
            with q.errstate(all="ignore"):
                result = ufunc(*operands)
            got = result[position].item()
            exact = complex_rational(xs[position], b)
            if all(representable(part, code) for part in exact):
                assert (Fraction(got.real), Fraction(got.imag)) == exact, (name, code, k, position)
            if any(0 < abs(part) < smallest_normal for part in (got.real, got.imag)):
                with q.errstate(all="ignore", under="raise"), pytest.raises(FloatingPointError):
                    ufunc(*operands)
            made = len(steps)
            steps += [("array", spec(xs, dtype))]
            if b is not None:
                steps.append(("array", spec([base[1]] * position + [b] + [base[1]] * (N - position - 1), dtype)))
            refs = tuple(("ref", made + j) for j in range(len(operands)))
            steps.append(("ufunc", name, "call", refs, {}))
            steps.append(("ufunc", name, "call", tuple(r + ((slice(None, None, -1),),) for r in refs), {}))
    check(element_path, steps)


def rounded(x, code):
    """The rational x rounded to the parts' format, half to even."""
    if code == "c16" or x == 0:
        return float(x)
    e = max(x.numerator.bit_length() - x.denominator.bit_length() - 1, -126)
    e += abs(x) >= Fraction(2) ** (e + 1)
    units, rest = divmod(abs(x) / Fraction(2) ** (e - 23), 1)
    units += rest > Fraction(1, 2) or (rest == Fraction(1, 2) and units % 2)
    return math.copysign(float(units * Fraction(2) ** (e - 23)), x)


def scaled_reciprocal_divisors(code):
    """Divisors whose |b|^2 leaves the normal range: one part zero, so each
    part is the exact one rounded once, or parts that are one power of two,
    so the result is exact (below the normal range too)."""
    e, p = COMPLEX_FORMATS[code]
    two, full = math.ldexp, 2 - math.ldexp(1, 1 - p)
    return [complex(two(full, 5 - e // 2), 0.0), complex(0.0, -two(full, -e - 2)), complex(-two(1.5, e // 2 - 3), 0.0),
            complex(0.0, two(3, e - 2)), complex(two(1, e - 1), -two(1, e - 1)), complex(two(1, 1 - e), two(1, 1 - e)),
            complex(-two(1, -e), 0.0), complex(0.0, two(1, 1 - e)), complex(two(full, e // 2 - 1), 0.0)]


# Reciprocals scaled by the power of two of the divisor's larger part, at
# every lane position, a NaN and an infinite part beside each: the parts
# against `fractions`, bits and flags (contiguous and reversed) against the
# element path.
@pytest.mark.parametrize("code", list(COMPLEX_FORMATS))
def test_scaled_reciprocals_against_the_exact_parts(element_path, code):
    dtype = COMPLEXES[code][0]
    steps = []
    for k, b in enumerate(scaled_reciprocal_divisors(code)):
        position = LANE_POSITIONS[(k * 5) % len(LANE_POSITIONS)]
        xs = [complex(1.5, -0.25)] * N
        xs[position] = b
        xs[position - 1], xs[(position + 1) % N] = complex(NAN, 1.0), complex(0.0, -INF)
        with q.errstate(all="ignore"):
            got = q.reciprocal(q.array(xs, dtype=dtype))[position].item()
        exact = complex_rational(b, None)
        assert (got.real, got.imag) == tuple(rounded(part, code) for part in exact), (code, k)
        steps += [("array", spec(xs, dtype)), ("ufunc", "reciprocal", "call", (("ref", len(steps)),), {}),
                  ("ufunc", "reciprocal", "call", (("ref", len(steps), (slice(None, None, -1),)),), {})]
    check(element_path, steps)


# Scaled reciprocals among ordinary ones, a vector of one, two or four
# elements apart: alone, in neighbouring or distant vectors, an odd number
# of vectors, the block's first and last, in the tail, and beside a NaN or an
# infinite part in the same vector (None: every third element of the block).
PAIRED_POSITIONS = [((0,), None), ((255,), None), ((1, 2), None), ((3, 4), None), ((2, 200), None),
                    ((0, 4, 5, 12), None), ((0, 100, 255), None), ((9, 11, 13), complex(NAN, 1.0)),
                    ((254, 256), complex(0.0, -INF)), ((256, 263), None), ((297, 299), complex(-INF, NAN)),
                    (None, None)]


@pytest.mark.parametrize("code", list(COMPLEX_FORMATS))
@pytest.mark.parametrize(("positions", "beside"), PAIRED_POSITIONS)
def test_scaled_reciprocals_beside_ordinary_ones(element_path, code, positions, beside):
    dtype = COMPLEXES[code][0]
    divisors = scaled_reciprocal_divisors(code)
    positions = positions or range(0, 256, 3)
    xs = [complex(1.25 + (i % 13) * 0.125, 0.5 - (i % 5) * 0.25) for i in range(N)]
    for k, position in enumerate(positions):
        xs[position] = divisors[(k + sum(positions)) % len(divisors)]
    if beside is not None:
        xs[positions[-1] - 1] = beside
    with q.errstate(all="ignore"):
        got = q.reciprocal(q.array(xs, dtype=dtype))
    for position in positions:
        part = got[position].item()
        assert (part.real, part.imag) == tuple(rounded(x, code) for x in complex_rational(xs[position], None)), position
    check(element_path, [("array", spec(xs, dtype)), ("ufunc", "reciprocal", "call", (("ref", 0),), {}),
                         ("ufunc", "reciprocal", "call", (("ref", 0, (slice(None, None, -1),)),), {})])


def complex_underflow_probes(name, code):
    """Operands (second None for one input) whose result has a subnormal part,
    and (but for the reciprocal) operands whose nonzero product or quotient is zero."""
    e = COMPLEX_FORMATS[code][0]
    two = math.ldexp
    half = e // 2
    return {
        "add": [(complex(two(1.5, e), 1.0), complex(-two(1, e), 0.5))],
        "subtract": [(complex(1.0, two(1.5, e)), complex(0.5, two(1, e)))],
        "multiply": [(complex(two(1, half - 3), 0.0), complex(two(1.5, half), 0.0)),
                     (complex(0.0, two(1, half - 40)), complex(two(1, half - 40), 0.0))],
        "divide": [(complex(0.0, two(1.5, e + 7)), complex(two(1, 10), 0.0)),
                   (complex(two(1, e), 0.0), complex(two(1, 100), 0.0))],
        "square": [(complex(two(1.5, half - 2), 0.0), None), (complex(two(1, half - 40), 0.0), None)],
        "reciprocal": [(complex(0.0, two(1.5, -e)), None)],
    }[name]


# Blocks whose only refused elements underflow (a subnormal part, or a zero
# from nonzero operands), at each lane of a vector and across a block's edge:
# the call reports underflow, a call whose mask leaves the element out does
# not, and everything else is the element path's.
@pytest.mark.parametrize("name", ["add", "subtract", "multiply", "divide", "square", "reciprocal"])
@pytest.mark.parametrize("code", list(COMPLEX_FORMATS))
def test_complex_blocks_that_only_underflow(element_path, name, code):
    dtype = COMPLEXES[code][0]
    ufunc = getattr(q, name)
    steps = []
    for k, (a, b) in enumerate(complex_underflow_probes(name, code)):
        for position in [0, 1, 2, 3, 255, 256, 299]:
            xs = [ordinary(code, i) for i in range(N)]
            ys = [ordinary(code, i + 3) for i in range(N)]
            xs[position] = a
            if b is not None:
                ys[position] = b
            operands = [q.array(xs, dtype=dtype)] + ([] if b is None else [q.array(ys, dtype=dtype)])
            left_out = q.array([i != position for i in range(N)])
            with q.errstate(all="raise"):
                with pytest.raises(FloatingPointError, match="underflow"):
                    ufunc(*operands)
                ufunc(*operands, where=left_out, out=q.zeros(N, dtype=dtype))
            made = len(steps)
            steps += [("array", spec(xs, dtype)), ("array", spec(ys, dtype)),
                      ("array", spec([i != position for i in range(N)], "bool")),
                      ("array", spec([i % 3 == position % 3 for i in range(N)], "bool"))]
            refs = (("ref", made),) if b is None else (("ref", made), ("ref", made + 1))
            steps.append(("ufunc", name, "call", refs, {}))
            steps.append(("ufunc", name, "call", tuple(r + ((slice(None, None, -1),),) for r in refs), {}))
            for mask in (made + 2, made + 3):
                steps.append(("ufunc", name, "call", refs, {"where": ("ref", mask), "out": ("ref", made)}))
    check(element_path, steps)


# One lane that faults (or must not) in a group of eight, at each lane
# position, among lanes whose operands are all infinite or NaN (a group the
# classification may settle from those operands alone) or all ordinary: one
# call per case, so that no case's faults hide another's.
LANE_BIG = {"f2": 60000.0, "f4": 3e38, "f8": 1e308}
LANE_TINY = {"f2": 2.0 ** -13, "f4": 2.0 ** -80, "f8": 2.0 ** -600}


def lane_cases(name, code):
    big, tiny = LANE_BIG[code], LANE_TINY[code]
    e, p = FORMATS[code]
    inexact = (math.ldexp(1 + math.ldexp(1, 1 - p), e // 2), math.ldexp(3, e - 4 - e // 2))
    return {
        "add": [(big, big), (INF, -INF), (math.ldexp(1.5, e), -math.ldexp(1, e))],
        "subtract": [(-big, big), (INF, INF), (-0.0, 0.0)],
        "multiply": [(big, big), (tiny, -tiny), (INF, 0.0), inexact, (0.0, -2.5)],
        "divide": [(1.0, 0.0), (-0.0, 0.0), (INF, -INF), (big, 1 / big), (tiny, big), (INF, -0.0), (NANS[2], 0.0)],
        "reciprocal": [(0.0, None), (-0.0, None), (math.ldexp(1.5, -e), None)],
        "square": [(big, None), (tiny, None), (-INF, None)],
        "sqrt": [(-1.0, None), (-0.0, None), (-INF, None)],
        "maximum": [(NANS[1], math.ldexp(3, e - p + 1)), (-INF, -math.ldexp(3, e - p + 1))],
    }[name]


@pytest.mark.parametrize("name", ["add", "subtract", "multiply", "divide", "reciprocal", "square", "sqrt", "maximum"])
@pytest.mark.parametrize("code", ["f2", "f4", "f8"])
def test_one_faulting_lane_among_infinite_or_nan_operands(element_path, name, code):
    dtype, ufunc = dtype_name(code), getattr(q, name)
    others = NANS + [INF, -INF]
    steps = []
    for k, (a, b) in enumerate(lane_cases(name, code)):
        for lane in range(8) if code != "f8" else (k % 8, 7 - k % 8):
            position = 8 * (3 * lane + k) + lane  # within the first block of 256
            plain = lane % 2 == 1
            xs = [ordinary(code, i) if plain else others[i % len(others)] for i in range(256)]
            ys = [ordinary(code, i + 5) for i in range(256)]
            xs[position] = a
            ys[position] = b
            made = len(steps)
            steps.append(("array", spec(xs, dtype)))
            if ufunc.nin == 2:
                steps.append(("array", spec(ys, dtype)))
            refs = tuple(("ref", made + j) for j in range(ufunc.nin))
            steps.append(("ufunc", name, "call", refs, {}))
            if code != "f2":  # strided blocks read their lanes one by one
                steps.append(("ufunc", name, "call", tuple(r + ((slice(None, None, -1),),) for r in refs), {}))
    check(element_path, steps)


# float16 results are read in single precision before they are rounded to
# half: operands whose single-precision result is exact and sits on a tie of
# that rounding (up to infinity at 65520, up to the smallest normal at
# 2^-14 - 2^-25, down to zero at 2^-25, down to an inexact subnormal at
# 2045 * 2^-25) or beside one, at each lane of a group of eight whose other
# lanes hold NaN operands (the group is classified whole), and in the
# elements after the last group, contiguous and strided. The fault against
# `fractions`, everything against the element path.
HALF_TIES = {
    "multiply": [(180.0, 364.0), (152.0, 431.0), (23 * 2.0 ** -12, 89 * 2.0 ** -13), (3 * 2.0 ** -12, 683 * 2.0 ** -13),
                 (5 * 2.0 ** -12, 409 * 2.0 ** -13), (2.0 ** -12, 2.0 ** -13), (3 * 2.0 ** -13, 2.0 ** -13),
                 (2.0 ** -12, 2.0 ** -12), (256.0, 256.0)],
    "divide": [(2047 * 2.0 ** -20, 32.0), (2045 * 2.0 ** -20, 32.0), (2.0 ** -10, 2.0 ** 15), (3.0, 2.0 ** 15),
               (65504.0, 2047 / 2048), (65504.0, 1.0), (1.0, 0.0), (-0.0, 0.0), (-2.0, -0.0), (INF, 0.0)],
    "add": [(65504.0, 16.0), (65504.0, 8.0), (1.5 * 2.0 ** -14, -(2.0 ** -14)), (-65504.0, -65504.0)],
    "square": [(256.0, None), (255.875, None), (2.0 ** -12, None), (3 * 2.0 ** -13, None), (2.0 ** -13, None)],
    "reciprocal": [(2.0 ** 15, None), (1.5 * 2.0 ** 14, None), (0.0, None), (-0.0, None), (2.0 ** -16, None)],
}


def half_fault(name, a, b, result, code="f2"):
    """The fault a result reports, from its operands and its value."""
    if math.isnan(result):
        return None if math.isnan(a) else "invalid value"
    if math.isinf(a) or (b is not None and math.isinf(b)):
        return None
    if math.isinf(result):
        zero_divisor = (b == 0) if name == "divide" else (name == "reciprocal" and a == 0)
        return "divide by zero" if zero_divisor else "overflow"
    return "underflow" if underflows(name, code, a, b, result) else None


@pytest.mark.parametrize("name", list(HALF_TIES))
def test_float16_rounding_ties_at_every_lane(element_path, name):
    ufunc = getattr(q, name)
    steps = []
    for k, (a, b) in enumerate(HALF_TIES[name]):
        for position in [0, 3, 7, 8 * (k + 1) + 4, 255, 256, 291, 296, 299]:
            xs = [NANS[i % len(NANS)] if i // 8 == position // 8 else ordinary("f2", i) for i in range(N)]
            ys = [ordinary("f2", i + 5) for i in range(N)]
            xs[position], ys[position] = a, (1.0 if b is None else b)
            operands = [q.array(xs, dtype="float16")] + ([q.array(ys, dtype="float16")] if b is not None else [])
            with q.errstate(all="ignore"):
                result = ufunc(*operands)[position].item()
            fault = half_fault(name, a, b, result)
            with q.errstate(all="raise"):
                if fault is None:
                    ufunc(*operands)
                else:
                    with pytest.raises(FloatingPointError, match=fault):
                        ufunc(*operands)
            made = len(steps)
            steps += [("array", spec(xs, "float16")), ("array", spec(ys, "float16"))]
            refs = (("ref", made),) if b is None else (("ref", made), ("ref", made + 1))
            steps.append(("ufunc", name, "call", refs, {}))
            steps.append(("ufunc", name, "call", tuple(r + ((slice(position % 2, None, 2),),) for r in refs), {}))
    check(element_path, steps)


# One case of exactness_pairs among blocks of exact subnormal results, one
# call per case and position: at every lane of the first vector, of vectors
# mid-block and of the block's last one, and in the tail, with operands
# contiguous, reversed and every other element. A float64 neighbour whose
# operands overflow once scaled must not spoil the case's lane. Underflow is
# reported exactly where `fractions` says the result is not the exact value.
VECTOR_POSITIONS = list(range(8)) + [124, 127, 128, 131] + list(range(248, 256)) + [256, 299]
LAYOUTS = {"contiguous": slice(None), "reversed": slice(None, None, -1), "every other": slice(None, None, 2)}
SCALED_PAST_THE_TOP = {"multiply": (2.0 ** 1000, 2.0 ** -1000), "divide": (2.0 ** 1000, 2.0 ** 1000),
                       "reciprocal": (2.0 ** -1000, None), "square": (2.0 ** 500, None)}


def each_vector_decided_operation(test):
    """The products, squares, quotients and reciprocals whose exactness the vectors decide, in
    float32 and float64, each layout."""
    test = pytest.mark.parametrize("layout", list(LAYOUTS))(test)
    test = pytest.mark.parametrize("code", ["f4", "f8"])(test)
    return pytest.mark.parametrize("name", ["multiply", "divide", "reciprocal", "square"])(test)


def viewed(xs, ys, dtype, view):
    """The operands as arrays seen through `view` (ys None for one input)."""
    return [q.array(xs, dtype=dtype)[view]] + ([] if ys is None else [q.array(ys, dtype=dtype)[view]])


def add_call(steps, name, xs, ys, dtype, view):
    """Steps that make the operands and call `name` on them through `view`."""
    made = len(steps)
    steps += [("array", spec(xs, dtype))] + ([] if ys is None else [("array", spec(ys, dtype))])
    refs = tuple(("ref", made + j, view) for j in range(1 if ys is None else 2))
    steps.append(("ufunc", name, "call", refs, {}))


@each_vector_decided_operation
def test_lone_subnormal_case_at_every_lane_of_a_block(element_path, name, code, layout):
    base, cases = exactness_pairs(name, code)
    dtype, ufunc, view = dtype_name(code), getattr(q, name), LAYOUTS[layout]
    count = 2 * N if layout == "every other" else N
    steps = []
    for k, (a, b) in enumerate(cases):
        for position in VECTOR_POSITIONS:
            xs = [base[0] * (-1.0 if i % 3 == 0 else 1.0) for i in range(count)]
            ys = [base[1] * (-1.0 if i % 2 == 0 else 1.0) for i in range(count)] if b is not None else None
            at = list(range(count))[view][position]
            xs[at] = a
            if b is not None:
                ys[at] = b
            if code == "f8" and position % 8 != 7 and position + 1 < N:
                neighbour = list(range(count))[view][position + 1]
                xs[neighbour] = SCALED_PAST_THE_TOP[name][0]
                if b is not None:
                    ys[neighbour] = SCALED_PAST_THE_TOP[name][1]
            arrays = viewed(xs, ys, dtype, view)
            result, got = reports_underflow(ufunc, arrays)
            result = result[position].item()
            assert got == underflows(name, code, a, b, result), (k, position, a, b, result)
            if (k + position) % 5 == 0:
                add_call(steps, name, xs, ys, dtype, view)
    check(element_path, steps)


# Runs that underflow in their first block (an inexact subnormal among exact
# ones, or every result flushed to zero), with one case in a later block at
# every lane of a vector: the other faults are still reported there, and
# infinite and NaN operands add none. The faults against `fractions` and the
# operands' classes, everything against the element path.
def underflowed_cases(name, code):
    big = LANE_BIG[code]
    return {
        "multiply": [(big, big), (INF, 0.0), (-0.0, INF), (NANS[2], 2.0), (INF, -2.0), (NANS[1], 0.0)],
        "divide": [(1.0, 0.0), (-2.0, -0.0), (0.0, 0.0), (INF, -INF), (big, 1 / big), (INF, 0.0), (NANS[3], 0.0),
                   (1.0, INF)],
        "reciprocal": [(0.0, None), (-0.0, None), (NANS[1], None), (INF, None), (EDGES[code][1], None)],
        "square": [(big, None), (-INF, None), (NANS[2], None)],
    }[name]


LATER_POSITIONS = list(range(256, 264)) + [384, 387, 511, 512, 515, 767, 1020, 1023, 1024, 1030]


def flushed_base(name, code):
    e, p = FORMATS[code]
    return {"multiply": (math.ldexp(1, e // 2 - p), math.ldexp(-1, e // 2 - p)),
            "divide": (math.ldexp(1, e), math.ldexp(1, p + 2)), "square": (math.ldexp(1, (e - p) // 2 - 2), None)}[name]


def place(xs, ys, index, a, b):
    """Puts the case (a, b) at xs[index] and ys[index] (no ys for one input)."""
    xs[index] = a
    if ys is not None:
        ys[index] = b


def placed_case(name, code, xs, ys, dtype, view, order, position, a, b):
    """The faults raised with (a, b) at `position` of the viewed operands, and
    those the case's operands and result call for."""
    ufunc = getattr(q, name)
    place(xs, ys, order[position], a, b)
    arrays = viewed(xs, ys, dtype, view)
    with q.errstate(all="ignore"):
        result = ufunc(*arrays)[position].item()
    return raised(ufunc, arrays), {half_fault(name, a, b, result, code)} - {None}


def raised(ufunc, operands):
    found = set()
    for kind in ("divide", "over", "under", "invalid"):
        with q.errstate(all="ignore", **{kind: "raise"}):
            try:
                ufunc(*operands)
            except FloatingPointError as error:
                found.add(str(error).split(" encountered")[0])
    return found


@each_vector_decided_operation
@pytest.mark.parametrize("base_kind", ["inexact subnormal first", "flushed to zero"])
def test_faults_after_a_run_has_underflowed(element_path, name, code, base_kind, layout):
    if base_kind == "flushed to zero" and name == "reciprocal":
        pytest.skip("no finite reciprocal is flushed to zero")
    dtype, view = dtype_name(code), LAYOUTS[layout]
    size = 1040
    count = 2 * size if layout == "every other" else size
    first_case = exactness_pairs(name, code)[1][1 if name == "reciprocal" else 0]
    base = exactness_pairs(name, code)[0] if base_kind != "flushed to zero" else flushed_base(name, code)
    order = list(range(count))[view]
    steps = []
    for k, (a, b) in enumerate(underflowed_cases(name, code)):
        for turn, position in enumerate(LATER_POSITIONS):
            xs = [base[0] * (-1.0 if i % 3 == 0 else 1.0) for i in range(count)]
            ys = [base[1] for _ in range(count)] if b is not None else None
            if base_kind != "flushed to zero":
                place(xs, ys, order[(3 * k + turn) % 256], *first_case)
            got, want = placed_case(name, code, xs, ys, dtype, view, order, position, a, b)
            assert got == {"underflow"} | want, (k, position, a, b)
            if (k + turn) % 4 == 0:
                add_call(steps, name, xs, ys, dtype, view)
    check(element_path, steps)


# One case of exactness_pairs in a first block whose other lanes turn through
# exact subnormal results, NaN and infinite operands, zero operands and
# ordinary values (none of them faults): the vector beside the case holds
# every kind. Underflow is reported exactly where `fractions` says the case's
# result is not the exact value; everything against the element path.
def quiet_neighbours(name, base):
    a, b = base
    if b is None:
        return [(a, None), (NANS[1], None), (-INF, None), (1.5, None), (-a, None), (NANS[2], None)]
    return [(a, b), (NANS[2], b), (a, NANS[1]), (-INF, b) if name == "multiply" else (INF, -b), (0.0, b), (1.5, -2.0),
            (-a, -b)]


@each_vector_decided_operation
def test_exactness_beside_nan_infinite_and_zero_lanes(element_path, name, code, layout):
    base, cases = exactness_pairs(name, code)
    dtype, ufunc, view = dtype_name(code), getattr(q, name), LAYOUTS[layout]
    neighbours = quiet_neighbours(name, base)
    count = 2 * N if layout == "every other" else N
    order = list(range(count))[view]
    steps = []
    for k, (a, b) in enumerate(cases):
        for turn, position in enumerate([0, 3, 7, 8, 13, 130, 255]):
            xs, ys = [0.0] * count, [0.0] * count
            for i in range(N):
                xs[order[i]], ys[order[i]] = neighbours[(i + k + turn) % len(neighbours)]
            xs[order[position]], ys[order[position]] = a, b
            if b is None:
                ys = None
            arrays = viewed(xs, ys, dtype, view)
            result, got = reports_underflow(ufunc, arrays)
            assert got == underflows(name, code, a, b, result[position].item()), (k, position, a, b)
            if (k + turn) % 3 == 0:
                add_call(steps, name, xs, ys, dtype, view)
    check(element_path, steps)


# Results that are zero, infinite or NaN and report nothing: a finite value
# over an infinity, an infinity times or over a finite one, a zero operand, a
# NaN operand. Runs of one kind (every result finite, as a quotient by an
# infinity's are, or none) and runs of every kind in turn, with no fault
# anywhere: any flag would be a wrong one.
def quiet_special_pairs(name):
    x = 1.5
    return {
        "multiply": [(x, INF), (-INF, x), (INF, -INF), (0.0, -x), (-0.0, 0.0), (NANS[1], x), (x, NANS[2])],
        "divide": [(x, INF), (-x, INF), (0.0, -INF), (-INF, x), (INF, 0.0), (0.0, x), (-0.0, -x), (NANS[2], 0.0),
                   (x, NANS[3])],
        "reciprocal": [(INF, None), (-INF, None), (NANS[1], None), (NANS[3], None)],
        "square": [(INF, None), (-INF, None), (0.0, None), (-0.0, None), (NANS[2], None)],
    }[name]


@each_vector_decided_operation
def test_quiet_special_results_report_nothing(element_path, name, code, layout):
    dtype, ufunc, view = dtype_name(code), getattr(q, name), LAYOUTS[layout]
    pairs = quiet_special_pairs(name)
    count = 2 * N if layout == "every other" else N
    runs = [[pair] * N for pair in pairs] + [[pairs[i % len(pairs)] for i in range(N)]]
    steps = []
    for run in runs:
        xs = [a for a, _ in run] * (count // N)
        ys = None if run[0][1] is None else [b for _, b in run] * (count // N)
        assert raised(ufunc, viewed(xs, ys, dtype, view)) == set(), run[0]
        add_call(steps, name, xs, ys, dtype, view)
    check(element_path, steps)


# One case among results that are all finite but not normal (zeros from zero
# or infinite operands, which report nothing), at each of the first sixteen
# results and beyond: the one infinite or NaN result must bring its group
# under the rules that read such results. The faults against the operands'
# classes, everything against the element path.
QUIET_ZEROS = {"multiply": (0.0, 1.5), "divide": (-0.0, 1.5), "reciprocal": (INF, None), "square": (0.0, None)}


@each_vector_decided_operation
def test_one_case_among_zero_results(element_path, name, code, layout):
    dtype, view = dtype_name(code), LAYOUTS[layout]
    count = 2 * N if layout == "every other" else N
    order = list(range(count))[view]
    quiet = QUIET_ZEROS[name]
    steps = []
    for k, (a, b) in enumerate(underflowed_cases(name, code)):
        for turn, position in enumerate(list(range(16)) + [17, 130, 255, 290]):
            if (k + turn) % 2:
                continue
            xs = [quiet[0]] * count
            ys = None if b is None else [quiet[1]] * count
            got, want = placed_case(name, code, xs, ys, dtype, view, order, position, a, b)
            assert got == want, (k, position, a, b)
            if (k + turn) % 4 == 0:
                add_call(steps, name, xs, ys, dtype, view)
    check(element_path, steps)
