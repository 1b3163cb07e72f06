"""The float32, float16 and float128 loops against the element path over
special values (every pair of them for two inputs, past a block of 256
elements): contiguous, every other element of a reversed view, one operand
broadcast, into given outputs under a mask and in place. Values, fault
reports and warnings must be equal."""
import struct

import pytest

import quarvel
from element_path import check


def bits_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_single(bits):
    """A float32 pattern as the double that casts to it."""
    return struct.unpack("<f", struct.pack("<I", bits))[0]


NAN, INF = float("nan"), float("inf")
# float32: zeros, NaNs of both signs with payloads, infinities, the subnormal
# and normal bounds, the largest finite values, values whose sum, product or
# quotient overflows or underflows, and ordinary ones.
SINGLES = [0.0, -0.0, NAN, bits_float(0xFFF8000000000000), bits_single(0x7FC12345), bits_single(0xFFE00F00), INF,
           -INF, bits_single(1), -bits_single(1), bits_single(0x007FFFFF), bits_single(0x00800000),
           -bits_single(0x00800000), bits_single(0x7F7FFFFF), -bits_single(0x7F7FFFFF), 1.7e38, -2e38, 1e-20,
           3e-30, 1.5, -2.5, 1.0, -1.0, 0.1, 123456.789, -7.25e-3]
# float16 patterns: every seventh of the 63488 non-NaN ones, with the NaNs,
# zeros, infinities and range edges among them.
HALF_EDGES = [0x0000, 0x8000, 0x0001, 0x8001, 0x03FF, 0x0400, 0x83FF, 0x3C00, 0xBC00, 0x3BFF, 0x7BFF, 0xFBFF,
              0x7C00, 0xFC00, 0x7E00, 0xFE00, 0x7E55, 0x4000, 0x3800, 0x0200]


def half_value(bits):
    sign, exponent, mantissa = bits >> 15, (bits >> 10) & 0x1F, bits & 0x3FF
    if exponent == 0x1F:
        return bits_float(sign << 63 | 0x7FF << 52 | mantissa << 42) if mantissa else (-INF if sign else INF)
    magnitude = mantissa * 2.0 ** -24 if exponent == 0 else (1024 + mantissa) * 2.0 ** (exponent - 25)
    return -magnitude if sign else magnitude


HALVES = [half_value(b) for b in HALF_EDGES + [b for b in range(0, 0x10000, 7) if (b >> 10) & 0x1F != 0x1F]]


def spec(values, dtype):
    return {"values": values, "dtype": dtype, "order": "C", "views": []}


def every_pair(values):
    """Two operand lists that meet every pair of values (the first major)."""
    return [a for a in values for _ in values], [b for _ in values for b in values]


def calls(name, dtype, first, second):
    """Each layout's call of name: over the first list for one input, over the
    two lists side by side for two."""
    ufunc = getattr(quarvel, name)
    steps = [("array", spec(first, dtype)), ("array", spec(second, dtype))]
    strided = ("ref", 0, (slice(None, None, -2),))
    if ufunc.nin == 1:
        steps.append(("ufunc", name, "call", (("ref", 0),), {}))
        steps.append(("ufunc", name, "call", (strided,), {}))
        return steps
    steps.append(("ufunc", name, "call", (("ref", 0), ("ref", 1)), {}))
    steps.append(("ufunc", name, "call", (strided, ("ref", 1, (slice(None, None, 2),))), {}))
    for k in (2, 3, 6):  # one value broadcast against the others, both ways
        steps.append(("ufunc", name, "call", (("ref", 0), ("ref", 1, k)), {}))
        steps.append(("ufunc", name, "call", (("ref", 1, k), strided), {}))
    return steps


@pytest.mark.parametrize("name", ["add", "subtract", "multiply", "divide", "maximum", "minimum", "fmax", "fmin",
                                  "absolute", "negative", "fabs", "positive", "square", "sqrt", "less", "equal"])
def test_float32_loops_on_special_values(element_path, name):
    check(element_path, calls(name, "<f4", *every_pair(SINGLES)))


@pytest.mark.parametrize("name", ["divmod", "modf", "frexp", "spacing", "isnan", "isinf", "isfinite", "signbit",
                                  "logical_not", "logical_and", "logical_or", "logical_xor", "positive", "conjugate",
                                  "remainder", "floor_divide", "nextafter", "ldexp"])
def test_float16_loops_on_every_sampled_half(element_path, name):
    if name == "ldexp":
        steps = [("array", spec(HALVES, "<f2")), ("array", spec([(i % 61) - 30 for i in range(len(HALVES))], "<i4")),
                 ("ufunc", "ldexp", "call", (("ref", 0), ("ref", 1)), {}),
                 ("ufunc", "ldexp", "call", (("ref", 0, (slice(None, None, -3),)), 3), {})]
        check(element_path, steps)
        return
    edges = [half_value(b) for b in HALF_EDGES]
    first, second = every_pair(edges)
    check(element_path, calls(name, "<f2", HALVES + first, HALVES[97:] + HALVES[:97] + second))


OUTPUTS = {"spacing": (1,), "modf": (1, 2), "frexp": (1, 3), "divmod": (1, 2), "isnan": (4,)}


@pytest.mark.parametrize("name", sorted(OUTPUTS))
def test_float16_loops_with_a_mask_and_in_place(element_path, name):
    """Into given outputs under a where mask, then with the first output the
    input itself: blocks whose results the element path gives too."""
    ufunc = getattr(quarvel, name)
    n = len(HALVES)
    steps = [("array", spec(HALVES, "<f2")), ("array", spec(HALVES[::-1], "<f2")), ("array", spec(HALVES, "<f2")),
             ("array", spec([7] * n, "<i4")), ("array", spec([True] * n, "?")),
             ("array", spec([i % 3 != 1 for i in range(n)], "?"))]
    outs = tuple(("ref", k) for k in OUTPUTS[name])
    steps.append(("ufunc", name, "call", (("ref", 0),) * ufunc.nin, {"out": outs, "where": ("ref", 5)}))
    if name != "isnan":
        steps.append(("ufunc", name, "call", (("ref", 0),) * ufunc.nin, {"out": (("ref", 0),) + outs[1:]}))
    check(element_path, steps)


@pytest.mark.parametrize("name", ["floor", "ceil", "trunc", "rint"])
def test_float128_rounding_about_integers(element_path, name):
    """Halves and neighbours of integers up to 2^64, zeros, huge values and the
    specials, long double sums made inside the case."""
    highs = [0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 1.0, -1.0, 2.0 ** 52, 2.0 ** 63, -(2.0 ** 63), 2.0 ** 64,
             2.0 ** 62, 1e300, -1e300, INF, -INF, NAN, bits_float(0xFFF8000000000000), 5e-324, -5e-324, 0.75, -0.25]
    lows = [0.0, 2.0 ** -60, -(2.0 ** -60), 0.5, -0.5, 0.25]
    steps = [("construct", [h for h in highs for _ in lows], {"dtype": "g"}),
             ("construct", [lo for _ in highs for lo in lows], {"dtype": "g"})]
    steps.append(("ufunc", "add", "call", (("ref", 0), ("ref", 1)), {}))
    steps.append(("ufunc", name, "call", (("ref", 2),), {}))
    steps.append(("ufunc", name, "call", (("ref", 2, (slice(None, None, -3),)),), {}))
    check(element_path, steps)
