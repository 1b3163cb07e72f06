"""The complex, float16 and float-to-integer loops against the element path on
special values: every complex ufunc over parts that are infinite, NaN, zero of
each sign or near the ends of the range; float16 conversions over every bit
pattern a double can give; and astype's cast warnings, which a float-to-integer
cast now issues after converting."""
import math
import struct
import warnings

import pytest

import quarvel
from element_path import check
from helpers import COMPLEX_DISCARD, UFUNCS, record


def bits_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


NAN, INF = float("nan"), float("inf")
NEG_NAN = bits_float(0xFFF8000000000000)
PAYLOAD_NAN = bits_float(0x7FF8DEADBEEF0000)
# Parts of each sign: zeros, NaNs (with a payload), infinities, ordinary values,
# values near overflow and underflow of double and single precision.
PARTS = [0.0, -0.0, NAN, NEG_NAN, PAYLOAD_NAN, INF, -INF, 1.5, -0.75, 1e308, -1.7e308, 3.4e38, -1e38, 1e-310,
         -5e-324, 2.2250738585072014e-308, 1e-40, -1.2e-38]
PAIRS = [complex(re, im) for re in PARTS for im in PARTS]  # 324: more than a block of 256
COMPLEX_UFUNCS = [u.__name__ for u in UFUNCS if not u.__name__.startswith(("bitwise", "invert", "left_", "right_"))]


def spec(values, dtype):
    return {"values": values, "dtype": dtype, "order": "C", "views": []}


@pytest.mark.parametrize("dtype", ["<c8", "<c16"])
@pytest.mark.parametrize("name", COMPLEX_UFUNCS)
def test_complex_special_parts(element_path, name, dtype):
    ufunc = getattr(quarvel, name)
    steps = [("array", spec(PAIRS, dtype))]
    if ufunc.nin == 1:
        steps.append(("ufunc", name, "call", (("ref", 0),), {}))
        # Every other element of a reversed view: the strided blocks.
        steps.append(("ufunc", name, "call", (("ref", 0, (slice(None, None, -2),)),), {}))
    else:
        # Each value against others: the list turned by 1 and by 19 places, and reversed.
        for turn in (1, 19):
            steps.append(("array", spec(PAIRS[turn:] + PAIRS[:turn], dtype)))
            steps.append(("ufunc", name, "call", (("ref", 0), ("ref", len(steps) - 1)), {}))
        steps.append(("ufunc", name, "call", (("ref", 0), ("ref", 0, (slice(None, None, -1),))), {}))
    check(element_path, steps)


def every_half():
    """Every float16 value a double can name, NaN payloads included (a signalling
    NaN is made quiet on the way from a double), in bit-pattern order."""
    values = []
    for bits in range(0x10000):
        sign, exponent, mantissa = bits >> 15, (bits >> 10) & 0x1F, bits & 0x3FF
        if exponent == 0x1F and mantissa and not mantissa & 0x200:
            continue
        if exponent == 0x1F:
            double = 0x7FF << 52 | mantissa << 42
        else:
            magnitude = mantissa * 2.0 ** -24 if exponent == 0 else (1024 + mantissa) * 2.0 ** (exponent - 25)
            double = struct.unpack("<Q", struct.pack("<d", magnitude))[0]
        values.append(bits_float(sign << 63 | double))
    return values


HALVES = every_half()


@pytest.mark.parametrize("target", ["<f4", ">f4", "<f8", "<c8", ">c16", "<i4", "u1", "<i8", "?", ">f2"])
def test_every_float16_converted(element_path, target):
    check(element_path, [("array", spec(HALVES, "<f2")), ("astype", 0, target, "K"),
                         ("astype", 0, target, "C") if target == ">f2" else ("copy", 0)])


def between_halves():
    """Every seventh finite half, the midpoint above it (a tie) and a double just
    off each side of that."""
    finite = sorted({v for v in HALVES if v == v and abs(v) != INF})
    values = []
    for low, high in list(zip(finite, finite[1:]))[::7]:
        middle = (low + high) / 2
        values += [low, middle, middle + abs(middle) * 2.0 ** -40, middle - abs(middle) * 2.0 ** -40]
    return values + [65519.99, 65520.0, 1e300, -INF, NAN, PAYLOAD_NAN]


@pytest.mark.parametrize("source", ["<f8", ">f8", "<f4", "<c16", "<i8"])
def test_conversions_to_float16(element_path, source):
    values = between_halves()
    if source == "<i8":
        values = [int(v) for v in values if v == v and abs(v) < 2.0 ** 63]
    check(element_path, [("array", spec(values, source)), ("astype", 0, "<f2", "K")])


@pytest.mark.parametrize("name", ["add", "multiply", "divide", "subtract", "maximum", "sqrt", "square", "negative",
                                  "reciprocal", "less", "exp", "floor_divide", "copysign", "fmax", "absolute"])
def test_float16_ufuncs_over_every_value(element_path, name):
    ufunc = getattr(quarvel, name)
    operands = (("ref", 0),) if ufunc.nin == 1 else (("ref", 0), ("ref", 0, (slice(None, None, -1),)))
    check(element_path, [("array", spec(HALVES, "<f2")), ("ufunc", name, "call", operands, {}),
                         ("ufunc", name, "call", tuple(("ref", 0, (slice(None, None, 3),)) for _ in operands), {})])


def about_integer_bounds():
    """Each integer dtype's bounds, a unit and half a unit to each side, the
    doubles beside them, zeros, infinities and NaNs: an odd count, past a vector."""
    values = [0.0, -0.0, 0.5, -0.99, INF, -INF, NAN, NEG_NAN, 1e300, -1e-310]
    for e in (7, 8, 15, 16, 31, 32, 63, 64):
        for b in (2.0 ** e, -(2.0 ** e)):
            values += [b, b - 1, b + 1, b - 0.5, b + 0.5, math.nextafter(b, 0), math.nextafter(b, 2 * b)]
    return values + [3.0]


@pytest.mark.parametrize("source", ["<f4", ">f4", "<f8", ">f8", "<c8"])
@pytest.mark.parametrize("target", ["i1", "<u2", "<i4", ">i4", "<u4", "<i8", "<u8"])
def test_floats_to_integers_about_their_bounds(element_path, source, target):
    check(element_path, [("array", spec(about_integer_bounds(), source)), ("astype", 0, target, "K"),
                         ("getitem", 0, (slice(None, None, -3),)), ("astype", 2, target, "K")])


# ---- float-to-integer astype: convert, then warn ------------------------------------------

@pytest.mark.parametrize("source", ["f2", "f4", "f8", ">f8", "c8", "c16"])
@pytest.mark.parametrize("target", ["i1", "u2", "i4", "u8"])
def test_invalid_cast_warns_once_after_a_whole_result(source, target):
    a = quarvel.array([1.5, NAN, 2.5, 1e300 if source in ("f8", ">f8", "c16") else INF, 3.0], dtype=source)
    result, seen = record(lambda: a.astype(target))
    expected = [(RuntimeWarning, "invalid value encountered in cast")]
    if source[0] == "c":
        expected.insert(0, (quarvel.ComplexWarning, COMPLEX_DISCARD))
    assert seen == expected
    assert result.dtype == quarvel.DType(target)
    assert [result[i].item() for i in (0, 2, 4)] == [1, 2, 3]


@pytest.mark.parametrize("make", [lambda a: a.astype("i4"), lambda a: quarvel.array(a, dtype="i4")])
def test_invalid_cast_raised_as_an_error_gives_no_result(make):
    a = quarvel.array([1.0, NAN])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="^invalid value encountered in cast$"):
            make(a)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(quarvel.ComplexWarning):
            make(a.astype("c16"))


@pytest.mark.parametrize("values", [[1.0, 2.5, -7.9], [], [2.0 ** 31 - 128, -(2.0 ** 31)]])
def test_faithful_cast_warns_nothing(values):
    for source in ("f4", "f8", "c16"):
        result, seen = record(lambda: quarvel.array(values, dtype=source).astype("i4"))
        assert seen == ([] if source != "c16" else [(quarvel.ComplexWarning, COMPLEX_DISCARD)])
        assert [result[i].item() for i in range(len(values))] == [int(v) for v in values]


def test_invalid_cast_into_an_existing_array_warns_before_writing():
    target = quarvel.zeros(3, dtype="i4")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="^invalid value encountered in cast$"):
            target[:] = quarvel.array([5.0, NAN, 7.0])
    assert [target[i].item() for i in range(3)] == [0, 0, 0]
