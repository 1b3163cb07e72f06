"""float128 and complex256 on the typed loops against the element-at-a-time
path: each case runs here and in a child process with QUARVEL_ELEMENT_PATH=1,
and the reports must be equal (values by their 21-digit text, which reads back
to the same bits; NaNs by their sign). Long double values beyond what a Python
float holds are made inside each case: sums of two floats, scaled by powers
of two (ldexp), signs set by copysign."""
import itertools
import math
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

import quarvel
from element_path import check, run_case
from helpers import UFUNCS
from test_differential import FIXED, SPECIAL_FLOATS, array_spec, dtype_text, floats, nested

INF, NAN = float("inf"), float("nan")
# (high part, low part, power of two, sign): ldexp(high + low, power) with the sign of `sign`.
# Signed zeros and NaNs, infinities, the subnormals down to 2^-16445 (about 3.6e-4951), values
# near 1.19e4932, integers beyond 2^64, and the values halfway between float16/32/64
# neighbours (and beside them) where casts round, and at the integer saturation edges.
SPECIALS = [
    (0.0, 0.0, 0, 1.0), (0.0, 0.0, 0, -1.0), (NAN, 0.0, 0, 1.0), (NAN, 0.0, 0, -1.0), (INF, 0.0, 0, 1.0),
    (INF, 0.0, 0, -1.0), (1.0, 0.0, -16445, 1.0), (1.5, 0.0, -16400, -1.0), (1.0, 0.0, -16382, 1.0),
    (2.0, -2.0 ** -63, 16383, 1.0), (2.0, -2.0 ** -63, 16383, -1.0), (1.0, 2.0 ** -60, 70, 1.0),
    (1.0, 2.0 ** -53, 0, 1.0), (1.0, 2.0 ** -53, 0, -1.0), (1.0, 2.0 ** -53 + 2.0 ** -63, 0, 1.0),
    (1.0 + 2.0 ** -52, 2.0 ** -53, 0, 1.0), (1.0, 2.0 ** -24, 0, 1.0), (1.0, 2.0 ** -11, 0, 1.0),
    (65520.0, 0.0, 0, 1.0), (1.0, 0.0, -1075, 1.0), (2.0, -2.0 ** -53, 1023, 1.0), (2.0 ** 63, -0.5, 0, 1.0),
    (2.0 ** 64, -1.0, 0, 1.0), (2.0 ** 63, 1.0, 0, -1.0), (2.0 ** 31, -0.5, 0, -1.0), (4294967295.0, 0.5, 0, 1.0),
    (0.1, 2.0 ** -60, 0, 1.0), (1.0, 0.0, 0, -1.0), (2.5, 0.0, 0, 1.0), (11356.5, 0.0, 0, 1.0), (3.0, 0.0, 0, 1.0)]
parts = st.one_of(st.sampled_from(SPECIALS), st.tuples(
    floats, st.sampled_from([0.0, 2.0 ** -60, -(2.0 ** -55), 2.0 ** -64]),
    st.one_of(st.just(0), st.integers(-16500, 16400)), st.sampled_from([1.0, -1.0])))
SETTINGS = settings(max_examples=60, deadline=None)
LONG = ["g", "G"]


def long_double_steps(steps, values, code, big, layout="plain", order="C"):
    """Steps that make an array of `code` ("g" or "G") from nested (high, low,
    power, sign) tuples (a complex value: a pair of them), in the byte order
    and layout asked; returns the reference of the array."""
    flat, shape = [], []

    def walk(v, depth):
        if isinstance(v, list):
            if len(shape) <= depth:
                shape.append(len(v))
            for item in v:
                walk(item, depth + 1)
        else:
            flat.append(v)
    walk(values, 0)
    pairs = flat if code == "G" else [(v, None) for v in flat]

    def real(pick):
        columns = [[(p[0] if pick == 0 else p[1])[k] for p in pairs] for k in range(4)]
        start = len(steps)
        steps.append(("construct", columns[0], {"dtype": "g"}))
        steps.append(("construct", columns[1], {"dtype": "g"}))
        steps.append(("ufunc", "add", "call", (("ref", start), ("ref", start + 1)), {}))
        steps.append(("construct", columns[2], {"dtype": "i4"}))
        steps.append(("ufunc", "ldexp", "call", (("ref", start + 2), ("ref", start + 3)), {}))
        steps.append(("construct", columns[3], {"dtype": "g"}))
        steps.append(("ufunc", "copysign", "call", (("ref", start + 4), ("ref", start + 5)), {}))
        return len(steps) - 1
    made = real(0)
    if code == "G":
        imaginary = real(1)
        steps.append(("astype", made, "G", "K"))
        steps.append(("astype", imaginary, "G", "K"))
        steps.append(("ufunc", "multiply", "call", (("ref", len(steps) - 1), 1j), {}))
        steps.append(("ufunc", "add", "call", (("ref", len(steps) - 3), ("ref", len(steps) - 1)), {}))
        made = len(steps) - 1
    full = shape or []
    steps.append(("reshape", made, tuple(full), order if order in "CF" else "C"))
    made = len(steps) - 1
    steps.append(("astype", made, (">" if big else "<") + code, order if order in "CF" else "K"))
    made = len(steps) - 1
    if layout == "reversed" and full:
        steps.append(("getitem", made, tuple(slice(None, None, -1) for _ in full)))
    elif layout == "strided" and full:
        steps.append(("getitem", made, (Ellipsis, slice(None, None, 2))))
    elif layout == "offset" and full:
        steps.append(("getitem", made, (slice(1, None),)))
    else:
        return made
    return len(steps) - 1


@st.composite
def long_double_array(draw, steps, shape, codes=LONG):
    """An array of `shape` in float128 or complex256, native or big-endian,
    plainly, reversed, every other element, at an offset or in F order."""
    code = draw(st.sampled_from(codes))
    layout = draw(st.sampled_from(["plain", "reversed", "strided", "offset", "F"])) if shape else "plain"
    full = list(shape)
    if layout == "strided":
        full[-1] *= 2
    elif layout == "offset":
        full[0] += 1
    element = st.tuples(parts, parts) if code == "G" else parts
    values = nested(draw, tuple(full), element)
    return long_double_steps(steps, values, code, draw(st.booleans()), layout, "F" if layout == "F" else "C")


shapes = st.lists(st.integers(1, 3), max_size=3).map(tuple)
NUMBERS = st.one_of(st.sampled_from([0, 1, -1, 3, True, 2.5, -0.0, INF, NAN, 1e-300, 2 ** 63 - 1, 1j, -2.5 + 1j]),
                    st.sampled_from(SPECIAL_FLOATS))


# --- every ufunc and method over the special values --------------------------------------

def special_steps(code):
    steps = []
    values = SPECIALS if code == "g" else [(a, b) for a, b in zip(SPECIALS, SPECIALS[7:] + SPECIALS[:7])]
    return steps, long_double_steps(steps, values, code, False)


@pytest.mark.parametrize("code", LONG)
@pytest.mark.parametrize("name", [u.__name__ for u in UFUNCS])
def test_every_ufunc_on_special_values(element_path, name, code):
    """Each ufunc on every special value (every pair of them for two inputs),
    and each method on them: reduce, accumulate, reduceat, outer and at."""
    ufunc = getattr(quarvel, name)
    steps, made = special_steps(code)
    ref = ("ref", made)
    if ufunc.nin == 1:
        steps.append(("ufunc", name, "call", (ref,), {}))
        steps.append(("ufunc", name, "call", (ref,), {"out": tuple(None for _ in range(ufunc.nout))}))
    else:
        steps.append(("ufunc", name, "outer", (ref, ref), {}))
        steps.append(("ufunc", name, "call", (ref, 2.5), {}))
        steps.append(("ufunc", name, "call", (ref, ("ref", 3)), {}))  # beside the int32 powers of two
        if ufunc.nout == 1:
            for method, extra, kwargs in (("reduce", (), {}), ("accumulate", (), {}),
                                          ("reduceat", ([0, 3, 3, 9, 20],), {}), ("reduce", (), {"initial": 0.1})):
                steps.append(("ufunc", name, method, (ref,) + extra, kwargs))
            steps.append(("ufunc", name, "at", (ref, [0, 4, 4, 7, 12], ("ref", made, (slice(3, 8),))), {}))
    check(element_path, steps)


@pytest.mark.parametrize("target", FIXED + ["g", "G"])
@pytest.mark.parametrize("code", LONG)
def test_casts_of_special_values(element_path, code, target):
    """Special values to every dtype in both byte orders, and back: values,
    warnings and raised errors alike."""
    steps, made = special_steps(code)
    for big in (False, True):
        steps.append(("astype", made, dtype_text(target, big), "K"))
        steps.append(("astype", len(steps) - 1, dtype_text(code, not big), "K"))
    check(element_path, steps)


# --- arrays -------------------------------------------------------------------

@SETTINGS
@given(shapes, st.sampled_from(FIXED + LONG), st.booleans(), st.data())
def test_copies_casts_and_reshapes(element_path, shape, code, big, data):
    steps = []
    made = data.draw(long_double_array(steps, shape))
    size = 1
    for n in shape:
        size *= n
    first = data.draw(st.sampled_from([d for d in range(1, size + 1) if size % d == 0]))
    steps.append(("copy", made))
    steps.append(("astype", made, dtype_text(code, big), data.draw(st.sampled_from("CFKA"))))
    steps.append(("astype", made, dtype_text(data.draw(st.sampled_from(LONG)), not big), "K"))
    steps.append(("reshape", made, (first, size // first), data.draw(st.sampled_from("CFA"))))
    check(element_path, steps)


@SETTINGS
@given(shapes.flatmap(lambda s: array_spec(s)), st.sampled_from(LONG), st.booleans(), st.data())
def test_casts_into_long_double(element_path, source, code, big, data):
    """Every fixed-width dtype's special values into float128 and complex256."""
    steps = [("array", source), ("astype", 0, dtype_text(code, big), data.draw(st.sampled_from("CFK")))]
    check(element_path, steps)


@SETTINGS
@given(st.data())
def test_construction_from_nested_lists(element_path, data):
    shape = data.draw(st.lists(st.integers(0, 3), max_size=3).map(tuple))
    elements = data.draw(st.sampled_from([NUMBERS, floats, st.integers(-(2 ** 64), 2 ** 64),
                                          st.builds(complex, floats, floats)]))
    values = nested(data.draw, shape, elements)
    kwargs = {"dtype": (">" if data.draw(st.booleans()) else "<") + data.draw(st.sampled_from(LONG)),
              "order": data.draw(st.sampled_from("CFK"))}
    check(element_path, [("construct", values, kwargs), ("construct", tuple(values) if shape else values, kwargs)])


@settings(max_examples=100, deadline=None)
@given(shapes, st.data())
def test_gathers_and_assignments(element_path, shape, data):
    draw = data.draw
    steps = []
    made = draw(long_double_array(steps, shape))
    n = shape[0] if shape else 0
    keys = st.one_of(st.lists(st.integers(-n, n - 1), max_size=4), st.lists(st.booleans(), min_size=n, max_size=n),
                     st.builds(slice, st.integers(-3, 3) | st.none(), st.none(), st.sampled_from([1, -1, 2])),
                     st.integers(-n, n - 1)) if n else st.just(())
    steps.append(("getitem", made, draw(keys)))
    key = draw(keys)
    kind = draw(st.sampled_from(["scalar", "list", "array", "self", "long"]))
    if kind == "scalar":
        value = draw(NUMBERS)
    elif kind == "list":
        value = nested(draw, shape[1:] if shape else (), draw(st.sampled_from([NUMBERS, floats])))
    elif kind == "array":
        steps.append(("array", draw(array_spec(shape[1:] if shape else ()))))
        value = ("ref", len(steps) - 1)
    elif kind == "long":
        value = ("ref", draw(long_double_array(steps, shape[1:] if shape else ())))
    else:  # part of the destination itself: overlapping reads and writes
        value = ("ref", made, draw(keys))
    steps.append(("setitem", made, key, value))
    check(element_path, steps)


# --- ufuncs -------------------------------------------------------------------

@settings(max_examples=200, deadline=None)
@given(st.sampled_from([u.__name__ for u in UFUNCS]), st.lists(st.integers(1, 3), min_size=1, max_size=3).map(tuple),
       st.data())
def test_calls_and_outer(element_path, name, shape, data):
    """Long double operands beside numbers and fixed-width arrays, broadcast;
    outputs new, given in any dtype, or overlapping an input; masks; loops
    asked for by dtype."""
    ufunc, draw = getattr(quarvel, name), data.draw
    steps = []
    base = draw(long_double_array(steps, (shape[0] + 1,) + shape[1:]))

    def operand():
        kind = draw(st.sampled_from(["long", "long", "number", "fixed", "low", "high"]))
        if kind == "number":
            return draw(NUMBERS)
        suffix = tuple(1 if draw(st.booleans()) else k for k in shape[draw(st.integers(0, len(shape))):])
        if kind == "fixed":
            steps.append(("array", draw(array_spec(suffix))))
            return ("ref", len(steps) - 1)
        if kind == "long":
            return ("ref", draw(long_double_array(steps, suffix)))
        return ("ref", base, (slice(None, -1),) if kind == "low" else (slice(1, None),))
    if ufunc.nin == 2 and draw(st.integers(0, 4)) == 0:
        steps.append(("ufunc", name, "outer", (operand(), operand()), {}))
        return check(element_path, steps)
    args = tuple(operand() for _ in range(ufunc.nin))
    kwargs, outs = {}, []
    for _ in range(ufunc.nout):
        kind = draw(st.sampled_from(["none", "long", "fixed", "low", "high"]))
        if kind == "long":
            outs.append(("ref", draw(long_double_array(steps, shape))))
        elif kind == "fixed":
            steps.append(("array", draw(array_spec(shape))))
            outs.append(("ref", len(steps) - 1))
        elif kind in ("low", "high"):
            outs.append(("ref", base, (slice(None, -1),) if kind == "low" else (slice(1, None),)))
        else:
            outs.append(None)
    if any(o is not None for o in outs):
        kwargs["out"] = tuple(outs)
    if draw(st.integers(0, 3)) == 0:
        kwargs["where"] = nested(draw, shape[draw(st.integers(0, len(shape))):], st.booleans())
    if draw(st.integers(0, 4)) == 0:
        kwargs["dtype"] = dtype_text(draw(st.sampled_from(LONG + ["f8", "c16"])), draw(st.booleans()))
    if draw(st.integers(0, 5)) == 0:
        kwargs["casting"] = draw(st.sampled_from(["same_kind", "unsafe"]))
    steps.append(("ufunc", name, "call", args, kwargs))
    check(element_path, steps)


BINARY = [u.__name__ for u in UFUNCS if u.nin == 2 and u.nout == 1]


@settings(max_examples=150, deadline=None)
@given(st.sampled_from(BINARY), st.sampled_from(["reduce", "accumulate", "reduceat"]),
       st.lists(st.integers(1, 4), min_size=1, max_size=3).map(tuple), st.data())
def test_reductions(element_path, name, method, shape, data):
    draw = data.draw
    steps = []
    made = draw(long_double_array(steps, shape))
    axis = draw(st.integers(-len(shape), len(shape) - 1))
    kwargs, args = {"axis": axis}, [("ref", made)]
    if method == "reduce":
        kwargs["axis"] = draw(st.sampled_from([axis, None, tuple(range(len(shape)))]))
        kwargs["keepdims"] = draw(st.booleans())
        if draw(st.booleans()):
            kwargs["initial"] = draw(NUMBERS)
        if draw(st.integers(0, 2)) == 0:
            kwargs["where"] = nested(draw, shape, st.booleans())
    elif method == "reduceat":
        args.append(draw(st.lists(st.integers(0, shape[axis] - 1), min_size=1, max_size=4)))
    if draw(st.integers(0, 3)) == 0:
        kwargs["dtype"] = draw(st.sampled_from(LONG + ["f8"]))
    if draw(st.booleans()):  # into the input itself: read whole before it is written
        kwargs["out"] = ("ref", made) if method != "reduce" else None
    steps.append(("ufunc", name, method, tuple(args), kwargs))
    check(element_path, steps)


@settings(max_examples=80, deadline=None)
@given(st.sampled_from([u.__name__ for u in UFUNCS if u.nout == 1]),
       st.lists(st.integers(1, 4), min_size=1, max_size=2).map(tuple), st.data())
def test_at(element_path, name, shape, data):
    draw = data.draw
    steps = []
    made = draw(long_double_array(steps, shape))
    n = shape[0]
    index = draw(st.one_of(st.lists(st.integers(-n, n - 1), max_size=5), st.integers(-n, n - 1),
                           st.builds(slice, st.integers(-n, n) | st.none(), st.none(), st.sampled_from([1, -1]))))
    args = [("ref", made), index]
    if getattr(quarvel, name).nin == 2:
        args.append(draw(NUMBERS) if draw(st.booleans()) else ("ref", made, (slice(0, 1),)))
    steps.append(("ufunc", name, "at", tuple(args), {}))
    check(element_path, steps)


def test_start_value_text_of_an_empty_reduction_is_kept(element_path):
    """A start value folded with nothing comes out with its own text."""
    steps, made = special_steps("g")
    steps.append(("ufunc", "add", "reduce", (("ref", made, (slice(0, 0),)),), {"initial": 0.1}))
    steps.append(("ufunc", "multiply", "reduce", (("ref", made),), {"initial": 0.1, "where": False}))
    check(element_path, steps)
    assert str(quarvel.add.reduce(quarvel.array([], dtype="g"), initial=0.1)) == (
        "0.1000000000000000055511151231257827021181583404541015625")


# Reductions whose ufunc has no identity: a fold over one element hands that element over cast, never computed.
WITHOUT_IDENTITY = ["maximum", "minimum", "fmax", "fmin", "subtract", "divide", "power", "arctan2", "copysign",
                    "floor_divide", "fmod", "remainder", "heaviside", "nextafter", "float_power"]
ONE_ELEMENT_SOURCES = [("f8", [0.1, -math.nan, 5e-324, -0.0, 1e300, math.inf]), ("f4", [0.1, 1e-45, -3.5e38]),
                       ("f2", [6e-8, 65504.0, -0.1]), ("c16", [complex(0.1, 0.2), complex(-math.nan, 1e-310)]),
                       ("c8", [complex(0.1, -0.2)]), ("i8", [-(2 ** 63)]), ("u8", [2 ** 64 - 1])]


@pytest.mark.parametrize("source, values", ONE_ELEMENT_SOURCES)
@pytest.mark.parametrize("name", WITHOUT_IDENTITY)
def test_one_element_reductions_keep_the_cast_text(element_path, name, source, values):
    """The scalar of a one-element fold to float128 or complex256, from any
    shape that holds one element, has the element path's text."""
    steps = []
    for value in values:
        steps.append(("construct", [value], {"dtype": source}))
        one = len(steps) - 1
        steps.append(("reshape", one, (1, 1, 1), "C"))
        for target in LONG:
            steps.append(("ufunc", name, "reduce", (("ref", one),), {"dtype": target}))
            steps.append(("ufunc", name, "reduce", (("ref", one + 1),), {"dtype": target, "axis": None}))
            steps.append(("ufunc", name, "reduce", (("ref", one + 1),), {"dtype": target, "axis": (0, 2)}))
    check(element_path, steps)


@pytest.mark.parametrize("call, text", [
    (lambda: quarvel.maximum.reduce(quarvel.array([0.1]), dtype="g"),
     "0.1000000000000000055511151231257827021181583404541015625"),
    (lambda: quarvel.maximum.reduce(quarvel.array([-math.nan]), dtype="g"), "NaN"),
    (lambda: quarvel.fmin.reduce(quarvel.array([6e-8], dtype="e"), dtype="g"), "0.000000059604644775390625"),
    (lambda: quarvel.minimum.reduce(quarvel.array([[0.1]], dtype="f4"), dtype="g", axis=None),
     "0.100000001490116119384765625"),
    (lambda: quarvel.divide.reduce(quarvel.array([complex(0.5, 0.1)]), dtype="G"),
     "quarvel.ComplexLongDoubleScalar((0.5, 0.1000000000000000055511151231257827021181583404541015625))"),
])
def test_one_element_reduction_texts(call, text):
    assert str(call()) == text


OVERFLOW = [("RuntimeWarning", "overflow encountered in cast")]


@pytest.mark.parametrize("target", ["f2", "f4", "f8", "c8", "c16"])
@pytest.mark.parametrize("code", LONG)
def test_casts_beyond_the_doubles_warn_once(element_path, code, target):
    """Finite long doubles whose cast is infinite (1e600 and its negative as
    float128, as the imaginary part of complex256) warn once through astype,
    array and assignment; infinities and NaNs alone do not. Complex256 to a
    real target warns of the dropped part instead."""
    steps = [("construct", [1e300, -1e300, 1.0, INF, NAN], {"dtype": "g"}),
             ("ufunc", "multiply", "call", (("ref", 0), 1e300), {})]
    if code == "G":
        steps += [("astype", 1, "G", "K"), ("ufunc", "multiply", "call", (("ref", 2), 1j), {})]
    source = len(steps) - 1
    steps.append(("array", {"values": [0] * 5, "dtype": target, "order": "C", "views": []}))
    into = len(steps) - 1
    warned = len(steps)
    steps += [("astype", source, target, "K"), ("astype", source, ">" + target, "K"),
              ("construct", ("ref", source), {"dtype": target}),
              ("construct", [("ref", source, 0)], {"dtype": target}),
              ("setitem", into, slice(None), ("ref", source)),
              ("setitem", into, 1, ("ref", source, 1)),
              ("setitem", into, [0, 2], ("ref", source, slice(0, 2))),
              ("getitem", source, slice(3, 5))]
    quiet = len(steps)
    steps += [("astype", quiet - 1, target, "K"), ("construct", ("ref", quiet - 1), {"dtype": target}),
              ("setitem", into, slice(3, 5), ("ref", quiet - 1))]
    report = run_case(steps)
    if code == "g" or target[0] == "c":
        assert [r[1] for r in report[warned:quiet - 1]] == [OVERFLOW] * (quiet - 1 - warned)
        assert all(r[1] == [] for r in report[quiet:-1])
    assert report == element_path(steps)


# --- exactness of subnormal products and quotients ----------------------------------------

UNIT = Fraction(1, 2 ** 16445)  # the smallest subnormal; the smallest normal is 2^63 of it
TOP = 2 ** 64 - 1
# Operand pairs ((m, e), (m, e)), each m * 2^e: results at the smallest subnormal and the
# smallest normal, exact or one place short of exact, operands far apart or subnormal.
EXACTNESS = {
    "multiply": [
        ((3, -16445), (1, 0)), ((3, -16445), (1, -1)), ((1, -16445), (1, -1)),  # subnormal operands
        ((5, -16440), (3, 55)), ((1, 61), (3, -16445)), ((TOP, -3), (1, -16445)),  # far apart
        ((2 ** 63 - 1, -16000), (1, -445)),  # the largest subnormal
        ((TOP, -16063), (1, -383)), ((TOP - 2, -16063), (1, -383)),  # half a unit below the smallest normal, or 1.5
        ((TOP, -63), (1, -16384)), ((TOP, -8286), (TOP, -8286)),  # every bit of both
        ((2 ** 31 + 1, -8222), (2 ** 31 + 3, -8223)), ((2 ** 31 + 1, -8222), (2 ** 31 + 3, -8224)),
    ],
    "divide": [
        ((5, -16445), (5, 0)), ((5, -16445), (5, 1)), ((5, -16445), (5, -1)), ((7, -16445), (3, -2)),
        ((1, -1), (1, 16383)), ((3, -1), (3, 16382)), ((3, -2), (5, 16381)), ((1, 0), (3, 16382)),  # divisors near the top
        ((3 * (2 ** 62 + 1), -16063), (3, 382)), ((3 * (2 ** 62 + 1), -16063), (3, 383)),
        ((3 * (2 ** 62 + 1) + 2, -16063), (3, 382)),
        ((2 ** 63 + 1, -16445), (2 ** 63 + 1, -63)), ((2 ** 63 + 1, -16445), (2 ** 63 + 3, -63)),  # the smallest normal
    ],
}


def exact_of(m, e):
    return m * Fraction(2) ** e


def subnormal_underflows(exact):
    """The rounded result (ties to even) is below the smallest normal and not `exact`."""
    units = round(exact / UNIT)
    return exact != 0 and units * UNIT != exact and abs(units) < 2 ** 63


@pytest.mark.parametrize("name", list(EXACTNESS))
def test_float128_subnormal_exactness(element_path, name):
    """Each pair with either sign on each operand, between two exact pairs, as one call of three
    elements: underflow where the rational result rounds to a subnormal that is not it."""
    pairs = [(a, b) for a, b in EXACTNESS[name]]
    signed = [((a[0] * sa, a[1]), (b[0] * sb, b[1])) for a, b in pairs for sa, sb in itertools.product([1, -1], repeat=2)]
    base = ((3, -16445), (1, 0)) if name == "multiply" else ((9, -16445), (3, 0))
    laid = [p for pair in signed for p in (base, pair, base)]

    def parts(m, e):
        return (float(abs(m) >> 11 << 11), float(abs(m) & 0x7FF), e, math.copysign(1.0, m))
    steps = []
    x = long_double_steps(steps, [parts(*a) for a, _ in laid], "g", False)
    y = long_double_steps(steps, [parts(*b) for _, b in laid], "g", False)
    first = len(steps)
    for k in range(len(signed)):
        cut = slice(3 * k, 3 * k + 3)
        steps.append(("ufunc", name, "call", (("ref", x, cut), ("ref", y, cut)), {}))
    steps.append(("ufunc", name, "call", (("ref", x), ("ref", y)), {}))
    report = run_case(steps)
    for k, (a, b) in enumerate(signed):
        exact = exact_of(*a) * exact_of(*b) if name == "multiply" else exact_of(*a) / exact_of(*b)
        faults = [f[0] for f in report[first + k][2]]
        assert faults == (["underflow"] if subnormal_underflows(exact) else []), (a, b)
    assert report == element_path(steps)


# Two float128 NaN operands are told apart by their stored words: NaNs of
# either sign meeting NaNs, numbers and infinities, and invalid operations,
# at the first, a middle and the last element, plainly, reversed and every
# other element, in both byte orders.
NAN_MEETINGS = [((NAN, 0.0, 0, 1.0), (NAN, 0.0, 0, -1.0)), ((NAN, 0.0, 0, -1.0), (NAN, 0.0, 0, 1.0)),
                ((NAN, 0.0, 0, -1.0), (NAN, 0.0, 0, -1.0)), ((NAN, 0.0, 0, 1.0), (2.5, 0.0, 0, -1.0)),
                ((1.0, 0.0, -16445, 1.0), (NAN, 0.0, 0, -1.0)), ((INF, 0.0, 0, 1.0), (INF, 0.0, 0, -1.0)),
                ((INF, 0.0, 0, -1.0), (NAN, 0.0, 0, 1.0)), ((0.0, 0.0, 0, -1.0), (INF, 0.0, 0, 1.0))]


@pytest.mark.parametrize("name", ["add", "subtract", "multiply", "divide"])
@pytest.mark.parametrize("layout", ["plain", "reversed", "strided"])
def test_float128_nan_operands_at_every_position(element_path, name, layout):
    steps = []
    spread = 2 if layout == "strided" else 1
    for k, (a, b) in enumerate(NAN_MEETINGS):
        for position in (0, 4, 8):
            xs = [(1.25 + i, 0.0, 0, 1.0) for i in range(9 * spread)]
            ys = [(0.5 + i, 0.0, 0, -1.0) for i in range(9 * spread)]
            xs[position * spread], ys[position * spread] = a, b
            big = (k + position) % 2 == 1
            x = long_double_steps(steps, xs, "g", big, layout)
            y = long_double_steps(steps, ys, "g", not big, layout)
            steps.append(("ufunc", name, "call", (("ref", x), ("ref", y)), {}))
    check(element_path, steps)
