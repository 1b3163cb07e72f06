"""The typed loops against the element-at-a-time path they replace: each case runs
here and in a child process with QUARVEL_ELEMENT_PATH=1, and the reports must be
equal. Every ufunc and method over both byte orders and every kind of view."""
import struct
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import quarvel
from element_path import build, check, resolve
from helpers import UFUNCS

FIXED = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "c8", "c16"]
RANGES = {c: (-(2 ** (8 * n - 1)), 2 ** (8 * n - 1) - 1) for c, n in [("i1", 1), ("i2", 2), ("i4", 4), ("i8", 8)]}
RANGES.update({c: (0, 2 ** (8 * n) - 1) for c, n in [("u1", 1), ("u2", 2), ("u4", 4), ("u8", 8)]})


def bits_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


# Signed zeros, NaNs with payloads (one signalling), infinities, subnormals,
# and values at the float16/float32 overflow and the integer saturation edges.
SPECIAL_FLOATS = [0.0, -0.0, 1.5, -2.5, float("inf"), float("-inf"), float("nan"), bits_float(0x7FF0000000000001),
                  bits_float(0xFFF8DEADBEEF0000), 5e-324, -2.2250738585072009e-308, 1e-310, 65504.0, 65520.0,
                  -65519.99, 3.4028235677973366e38, 3.4028235677973362e38, 1e300, 2.0 ** 31, -(2.0 ** 31) - 1,
                  2.0 ** 63, -(2.0 ** 63), 2.0 ** 64, 4294967295.5, 5.960464477539063e-08, 2.9802322387695312e-08]
# Values whose results tell which operand a fold took: signed zeros and NaNs with distinct payloads.
TIES = [0.0, -0.0, bits_float(0x7FF8000000000001), bits_float(0xFFF8000000000002), 1.0]
floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(width=64))
numbers = st.one_of(st.booleans(), st.integers(-(2 ** 64), 2 ** 64), floats, st.builds(complex, floats, floats))
SMALL = st.sampled_from([0, 1, -1, 3, True, 2.5, -0.0])
NUMBERS = st.one_of(SMALL, st.sampled_from(SPECIAL_FLOATS), st.sampled_from([2 ** 63 - 1, -(2 ** 63), 2 ** 64 - 1, 1j]))
BINARY = [u.__name__ for u in UFUNCS if u.nin == 2 and u.nout == 1]
NO_IDENTITY = ["maximum", "minimum", "fmax", "fmin"]  # a fold without a start takes its first element over
# Nested lists end at their first empty level.
shapes = st.lists(st.integers(0, 3), max_size=3).map(lambda s: tuple(s[: s.index(0) + 1] if 0 in s else s))
SETTINGS = settings(max_examples=60, deadline=None)


def values_for(code):
    if code == "?":
        return st.booleans()
    if code in RANGES:
        lo, hi = RANGES[code]
        return st.one_of(st.integers(lo, hi), st.sampled_from([lo, hi, 0, -1 if lo else 1]))
    if code[0] == "c":
        return st.builds(complex, floats, floats)
    return floats


def dtype_text(code, big):
    return (">" if big else "<") + code if code not in ("?", "i1", "u1") else code


def nested(draw, shape, elements):
    if not shape:
        return draw(elements)
    return [nested(draw, shape[1:], elements) for _ in range(shape[0])]


@st.composite
def array_spec(draw, shape, codes=FIXED, transpose=False):
    """An array of `shape`, native or big-endian, reached plainly, reversed, at
    an offset, every other element, in F order (or transposed)."""
    code = draw(st.sampled_from(codes))
    elements = values_for(code)
    if code[0] in "fc" and draw(st.booleans()):
        ties = st.sampled_from(TIES)
        elements = ties if code[0] == "f" else st.builds(complex, ties, ties)
    layout = draw(st.sampled_from(["plain", "reversed", "offset", "strided", "F"])) if shape else "plain"
    full, views = list(shape), []
    if layout == "reversed":
        views.append(tuple(slice(None, None, -1) for _ in shape))
    elif layout == "offset":
        full[0] += 1
        views.append((slice(1, None),))
    elif layout == "strided":
        full[-1] *= 2
        views.append((Ellipsis, slice(None, None, draw(st.sampled_from([2, -2])))))
    if transpose and draw(st.booleans()):
        views.append("T")
    return {"values": nested(draw, tuple(full), elements), "dtype": dtype_text(code, draw(st.booleans())),
            "order": "F" if layout == "F" else "C", "views": views}


def built(spec):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return build(spec)


# --- arrays -------------------------------------------------------------------

@SETTINGS
@given(shapes.flatmap(lambda s: array_spec(s, transpose=True)), st.sampled_from(FIXED), st.booleans(), st.data())
def test_copies_casts_and_reshapes(element_path, source, code, big, data):
    size = built(source).size
    factors = [d for d in range(1, size + 1) if size % d == 0] or [1]
    first = data.draw(st.sampled_from(factors))
    shape = (first, size // first) if size else data.draw(st.sampled_from([(0, 3), (2, 0, 1)]))
    check(element_path, [("array", source), ("copy", 0), ("astype", 0, dtype_text(code, big), data.draw(
        st.sampled_from("CFKA"))), ("reshape", 0, shape, data.draw(st.sampled_from("CFA")))])


def selection_keys(shape):
    """Basic and advanced keys for an array of `shape`."""
    if not shape:
        return st.sampled_from([(), Ellipsis, None])
    n = shape[0]
    basic = st.tuples(*[st.builds(slice, st.integers(-4, 4) | st.none(), st.integers(-4, 4) | st.none(),
                                  st.sampled_from([None, 1, -1, 2, -3])) for _ in shape])
    indices = st.lists(st.integers(-n, n - 1), max_size=4) if n else st.just([])
    mask = st.lists(st.booleans(), min_size=n, max_size=n)
    return st.one_of(basic, st.integers(-n, n - 1) if n else basic, indices, mask,
                     st.tuples(indices, st.just(Ellipsis)), indices.map(lambda i: ("array-index", i)))


def as_key(key, steps):
    """Index arrays are made as quarvel arrays by a step of their own."""
    if isinstance(key, tuple) and key[:1] == ("array-index",):
        steps.append(("construct", key[1], {"dtype": "i8"}))
        return ("ref", len(steps) - 1)
    return key


@settings(max_examples=120, deadline=None)
@given(shapes.flatmap(lambda s: array_spec(s, transpose=True)), st.data())
def test_gathers_and_assignments(element_path, target, data):
    draw, a = data.draw, built(target)
    steps = [("array", target)]
    key = as_key(draw(selection_keys(a.shape)), steps)
    steps.append(("getitem", 0, key))
    key = as_key(draw(selection_keys(a.shape)), steps)
    made = [a] + [quarvel.array(step[1], dtype="i8") if step[0] == "construct" else None for step in steps[1:]]
    try:
        selected = a[resolve(made, key)]
        sel_shape = selected.shape if isinstance(selected, quarvel.Array) else ()
    except Exception:
        sel_shape = ()
    # A value broadcasting to the selection (or, now and then, one that does not).
    value_shape = [1 if draw(st.booleans()) else d for d in sel_shape[draw(st.integers(0, len(sel_shape))):]]
    if draw(st.integers(0, 9)) == 0:
        value_shape.append(2)
    kind = draw(st.sampled_from(["scalar", "list", "array", "self"]))
    if kind == "scalar":
        value = draw(numbers)
    elif kind == "list":
        value = nested(draw, tuple(value_shape), draw(st.sampled_from([numbers, floats, st.integers(-3, 3)])))
    elif kind == "array":
        steps.append(("array", draw(array_spec(tuple(value_shape)))))
        value = ("ref", len(steps) - 1)
    else:  # part of the destination itself: overlapping reads and writes
        value = ("ref", 0, as_key(draw(selection_keys(a.shape)), steps))
    steps.append(("setitem", 0, key, value))
    check(element_path, steps)


@SETTINGS
@given(st.data())
def test_construction_from_nested_lists(element_path, data):
    shape = data.draw(shapes)
    elements = data.draw(st.sampled_from([numbers, floats, st.booleans(), st.integers(-(2 ** 70), 2 ** 70)]))
    values = nested(data.draw, shape, elements)
    if shape and shape[0] and data.draw(st.integers(0, 5)) == 0:
        values[-1] = [values[-1]]  # ragged
    kwargs = {"order": data.draw(st.sampled_from("CFK"))}
    if data.draw(st.booleans()):
        kwargs["dtype"] = dtype_text(data.draw(st.sampled_from(FIXED)), data.draw(st.booleans()))
    check(element_path, [("construct", values, kwargs), ("construct", tuple(values) if shape else values, kwargs)])


# --- ufuncs -------------------------------------------------------------------

def broadcastable(draw, shape):
    """A shape that broadcasts to `shape`: a suffix, some lengths 1."""
    return tuple(1 if draw(st.booleans()) else n for n in shape[draw(st.integers(0, len(shape))):])


def operand(draw, steps, shape, overlap):
    """A Python number, an array broadcasting to `shape`, or one of two views
    one element apart along axis 0 of a shared array (`overlap`)."""
    kind = draw(st.sampled_from(["number", "array", "array", "low", "high"] if overlap else ["number", "array"]))
    if kind == "number":
        return draw(NUMBERS)
    if kind == "array":
        steps.append(("array", draw(array_spec(broadcastable(draw, shape)))))
        return ("ref", len(steps) - 1)
    return ("ref", 0, (slice(None, -1),) if kind == "low" else (slice(1, None),))


@settings(max_examples=200, deadline=None)
@given(st.sampled_from([u.__name__ for u in UFUNCS]), st.lists(st.integers(0, 3), max_size=3).map(tuple), st.data())
def test_calls_and_outer(element_path, name, shape, data):
    ufunc, draw = getattr(quarvel, name), data.draw
    overlap = bool(shape) and shape[0] > 0
    steps = [("array", draw(array_spec((shape[0] + 1,) + shape[1:] if overlap else ())))]
    if ufunc.nin == 2 and draw(st.integers(0, 4)) == 0:
        steps.append(("ufunc", name, "outer", tuple(operand(draw, steps, shape, False) for _ in range(2)), {}))
        return check(element_path, steps)
    args = tuple(operand(draw, steps, shape, overlap) for _ in range(ufunc.nin))
    kwargs, outs = {}, []
    for _ in range(ufunc.nout):
        kind = draw(st.sampled_from(["none", "new", "low", "high", "same"] if overlap else ["none", "new"]))
        if kind == "new":
            steps.append(("array", draw(array_spec(shape))))
            outs.append(("ref", len(steps) - 1))
        elif kind in ("low", "high"):
            outs.append(("ref", 0, (slice(None, -1),) if kind == "low" else (slice(1, None),)))
        else:
            outs.append(outs[-1] if kind == "same" and outs else None)
    if any(o is not None for o in outs):
        kwargs["out"] = tuple(outs)
    if draw(st.integers(0, 3)) == 0:
        kwargs["where"] = draw(st.booleans()) if draw(st.booleans()) else nested(draw, broadcastable(draw, shape),
                                                                                 st.booleans())
    if draw(st.integers(0, 5)) == 0:
        kwargs["dtype"] = dtype_text(draw(st.sampled_from(FIXED)), draw(st.booleans()))
    if draw(st.integers(0, 5)) == 0:
        kwargs["casting"] = draw(st.sampled_from(["no", "equiv", "safe", "same_kind", "unsafe"]))
    if draw(st.integers(0, 4)) == 0:
        kwargs["order"] = draw(st.sampled_from("CFKA"))
    steps.append(("ufunc", name, "call", args, kwargs))
    check(element_path, steps)


@settings(max_examples=150, deadline=None)
@given(st.sampled_from(BINARY) | st.sampled_from(NO_IDENTITY), st.sampled_from(["reduce", "accumulate", "reduceat"]),
       st.lists(st.integers(1, 4), min_size=1, max_size=3).map(tuple), st.data())
def test_reductions(element_path, name, method, shape, data):
    draw = data.draw
    if draw(st.integers(0, 7)) == 0:  # an empty axis
        shape = shape[:-1] + (0,)
    steps = [("array", draw(array_spec(shape)))]
    axis = draw(st.integers(-len(shape), len(shape) - 1))
    kwargs, args, axes, out_shape = {"axis": axis}, [("ref", 0)], {axis % len(shape)}, shape
    if method == "reduce":
        choice = draw(st.sampled_from(["int", "none", "tuple"]))
        if choice == "none":
            kwargs["axis"], axes = None, set(range(len(shape)))
        elif choice == "tuple":
            kwargs["axis"] = tuple(draw(st.sets(st.integers(0, len(shape) - 1))))
            axes = set(kwargs["axis"])
        kwargs["keepdims"] = draw(st.booleans())
        out_shape = tuple(1 if i in axes else n for i, n in enumerate(shape) if kwargs["keepdims"] or i not in axes)
        if draw(st.booleans()):
            kwargs["initial"] = draw(NUMBERS)
        if draw(st.integers(0, 2)) == 0:
            kwargs["where"] = nested(draw, broadcastable(draw, shape), st.booleans())
    elif method == "reduceat":
        length = shape[axis]
        indices = draw(st.lists(st.integers(0, length - 1) if length else st.just(0), max_size=4))
        if draw(st.integers(0, 9)) == 0:
            indices.append(length)  # out of range
        args.append(indices)
        out_shape = shape[:axis % len(shape)] + (len(indices),) + shape[axis % len(shape) + 1:]
    if draw(st.integers(0, 3)) == 0:
        kwargs["dtype"] = draw(st.sampled_from(FIXED))
    out = draw(st.sampled_from(["none", "new", "input"]))
    if out == "new":
        steps.append(("array", draw(array_spec(out_shape))))
        kwargs["out"] = ("ref", 1)
    elif out == "input":  # shares the input's memory: read whole before it is written
        kwargs["out"] = ("ref", 0) if out_shape == shape else ("ref", 0, (0,) * (len(shape) - len(out_shape)))
    steps.append(("ufunc", name, method, tuple(args), kwargs))
    check(element_path, steps)


@settings(max_examples=30, deadline=None)
@given(st.sampled_from(NO_IDENTITY + ["add", "subtract"]), st.lists(st.integers(1, 3), min_size=2, max_size=3).map(
    tuple), st.sampled_from(["f2", "f4", "f8", "c16"]), st.data())
def test_fold_order(element_path, name, shape, code, data):
    """Folds over several axes, and along one, meet their elements in
    row-major order: ties of signed zeros and NaN payloads show any other."""
    ties = st.sampled_from(TIES)
    spec = {"values": nested(data.draw, shape, ties if code[0] == "f" else st.builds(complex, ties, ties)),
            "dtype": code, "order": "C", "views": []}
    axes = data.draw(st.sampled_from([None, 0, -1]) | st.sets(st.integers(0, len(shape) - 1)).map(tuple))
    check(element_path, [("array", spec), ("ufunc", name, "reduce", (("ref", 0),), {"axis": axes}),
                         ("ufunc", name, "accumulate", (("ref", 0),), {"axis": -1}),
                         ("ufunc", name, "reduceat", (("ref", 0), [0, 1, 0]), {"axis": 0})])


@settings(max_examples=80, deadline=None)
@given(st.sampled_from([u.__name__ for u in UFUNCS if u.nout == 1]),
       st.lists(st.integers(1, 4), min_size=1, max_size=2).map(tuple), st.data())
def test_at(element_path, name, shape, data):
    draw = data.draw
    steps = [("array", draw(array_spec(shape)))]
    n = shape[0]
    index = draw(st.one_of(
        st.builds(slice, st.integers(-n, n) | st.none(), st.integers(-n, n) | st.none(), st.sampled_from([1, -1, 2])),
        st.integers(-n, n - 1),
        st.lists(st.integers(-n, n - 1), max_size=5),  # repeats accumulate
        st.lists(st.booleans(), min_size=n, max_size=n)))
    try:
        target = built(steps[0][1])[index]
    except IndexError:  # both paths refuse it alike
        target = None
    args = [("ref", 0), index]
    if getattr(quarvel, name).nin == 2:
        kind = draw(st.sampled_from(["number", "array", "self"]))
        if kind == "number":
            args.append(draw(NUMBERS))
        elif kind == "array":
            target_shape = target.shape if isinstance(target, quarvel.Array) else ()
            steps.append(("array", draw(array_spec(broadcastable(draw, target_shape)))))
            args.append(("ref", 1))
        else:  # `b` is `a` itself, seen as it was before the first write
            args.append(("ref", 0, index) if isinstance(target, quarvel.Array) else ("ref", 0, (slice(0, 1),)))
    steps.append(("ufunc", name, "at", tuple(args), {}))
    check(element_path, steps)
