"""The typed loops against the element-at-a-time path they replace.

Each case runs here (typed loops) and in a child process started with
QUARVEL_ELEMENT_PATH=1 (element path); both report every result's shape,
strides, dtype and element bits, every exception's class and text and every
warning, and the reports must be equal.
"""
import itertools
import os
import pickle
import struct
import subprocess
import sys
import warnings

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quarvel

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

floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(width=64))
numbers = st.one_of(st.booleans(), st.integers(-(2 ** 64), 2 ** 64), floats, st.builds(complex, floats, floats))


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


# Nested lists end at their first empty level.
shapes = st.lists(st.integers(0, 3), min_size=0, max_size=3).map(lambda s: tuple(s[: s.index(0) + 1] if 0 in s else s))


def nested(draw, shape, elements):
    if not shape:
        return draw(elements)
    return [nested(draw, shape[1:], elements) for _ in range(shape[0])]


@st.composite
def arrays(draw, codes=FIXED):
    """An array spec: nested values, dtype, then views taken of it (slices with
    negative steps, a transpose)."""
    code = draw(st.sampled_from(codes))
    shape = draw(shapes)
    spec = {"values": nested(draw, shape, values_for(code)), "dtype": dtype_text(code, draw(st.booleans())),
            "order": draw(st.sampled_from("CF")), "views": []}
    if shape and draw(st.booleans()):
        spec["views"].append(tuple(slice(None, None, draw(st.sampled_from([1, -1, 2, -2]))) for _ in shape))
    if draw(st.booleans()):
        spec["views"].append("T")
    return spec


def shape_of(spec):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return build(spec).shape


def build(spec):
    a = quarvel.array(spec["values"], dtype=spec["dtype"], order=spec["order"])
    for view in spec["views"]:
        a = a.T if view == "T" else a[view]
    return a


def element_bits(value):
    v = value.item()
    if isinstance(v, complex):
        return struct.pack("<dd", v.real, v.imag).hex()
    if isinstance(v, float):
        return struct.pack("<d", v).hex()
    return repr(v)


def describe(result):
    if not isinstance(result, quarvel.Array):
        return ("scalar", type(result).__name__, element_bits(result))
    cells = [element_bits(result[i]) for i in itertools.product(*map(range, result.shape))]
    return (result.shape, result.strides, result.dtype.str, result.c_contiguous, result.f_contiguous, cells)


def run_step(arrays_made, step):
    """One operation; every spec inside is built on the spot."""
    kind, *args = step
    if kind == "array":
        return build(args[0])
    if kind == "construct":
        return quarvel.array(args[0], **args[1])
    a = arrays_made[args[0]]
    if kind == "copy":
        return a.copy()
    if kind == "astype":
        return a.astype(args[1], order=args[2])
    if kind == "reshape":
        return a.reshape(args[1], order=args[2], copy=True)
    if kind == "getitem":
        return a[resolve(arrays_made, args[1])]
    if kind == "setitem":
        value = args[2]
        if isinstance(value, tuple) and value[0] == "ref":
            value = arrays_made[value[1]]
            if len(args[2]) > 2:
                value = value[resolve(arrays_made, args[2][2])]
        a[resolve(arrays_made, args[1])] = value
        return a
    raise AssertionError(kind)


def resolve(arrays_made, key):
    if isinstance(key, tuple) and key[:1] == ("ref",):
        return arrays_made[key[1]]
    if isinstance(key, tuple):
        return tuple(resolve(arrays_made, k) for k in key)
    return key


def run_case(steps, run=run_step, show=describe, made=None):
    """Every step's result (or exception), the warnings it gave and the fault
    reports an errstate(all="call") callback received, in order; `made`
    collects the results."""
    made, report = [] if made is None else made, []
    for step in steps:
        faults = []
        with warnings.catch_warnings(record=True) as caught, \
                quarvel.errstate(all="call", call=lambda *args: faults.append(args)):
            warnings.simplefilter("always")
            try:
                result = run(made, step)
                outcome = show(result)
            except Exception as error:  # the classes and texts are what is compared
                result, outcome = None, ("raised", type(error).__name__, str(error))
        made.append(result)
        report.append((outcome, [(w.category.__name__, str(w.message)) for w in caught], faults))
    return report


def serve(run=run_case):
    """The element-path side: cases in, reports out, over pipes."""
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    while True:
        case = pickle.load(stdin)
        pickle.dump(run(case), stdout)
        stdout.flush()


def element_path_child(script):
    """`script` run with QUARVEL_ELEMENT_PATH=1 as the serving child: a function
    from a case to its report there."""
    env = dict(os.environ, QUARVEL_ELEMENT_PATH="1")
    child = subprocess.Popen([sys.executable, os.path.abspath(script)], env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)

    def run(steps):
        pickle.dump(steps, child.stdin)
        child.stdin.flush()
        return pickle.load(child.stdout)

    yield run
    child.kill()
    child.wait()


@pytest.fixture(scope="module")
def element_path():
    yield from element_path_child(__file__)


def check(element_path, steps):
    assert run_case(steps) == element_path(steps)


SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(arrays(), st.sampled_from(FIXED), st.booleans(), st.sampled_from("CFKA"))
def test_copies_and_casts(element_path, source, code, big, order):
    steps = [("array", source), ("copy", 0), ("astype", 0, dtype_text(code, big), order)]
    check(element_path, steps)


@SETTINGS
@given(arrays(), st.data())
def test_reshape_copies(element_path, source, data):
    size = len(list(itertools.product(*map(range, shape_of(source)))))
    factors = [d for d in range(1, size + 1) if size % d == 0] or [1]
    first = data.draw(st.sampled_from(factors))
    shape = (first, size // first) if size else data.draw(st.sampled_from([(0, 3), (2, 0, 1)]))
    check(element_path, [("array", source), ("reshape", 0, shape, data.draw(st.sampled_from("CFA")))])


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


@SETTINGS
@given(arrays(), st.data())
def test_gathers(element_path, source, data):
    steps = [("array", source)]
    key = as_key(data.draw(selection_keys(shape_of(source))), steps)
    steps.append(("getitem", 0, key))
    check(element_path, steps)


@SETTINGS
@given(arrays(), st.data())
def test_assignments(element_path, target, data):
    steps = [("array", target)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        built = build(target)
    key = as_key(data.draw(selection_keys(built.shape)), steps)
    try:
        selected = built[resolve([built] + [quarvel.array(step[1], dtype="i8") for step in steps[1:]], key)]
        sel_shape = selected.shape if isinstance(selected, quarvel.Array) else ()
    except Exception:
        sel_shape = ()
    # A value broadcasting to the selection (or, now and then, one that does not).
    value_shape = list(sel_shape[data.draw(st.integers(0, len(sel_shape))):])
    value_shape = [1 if data.draw(st.booleans()) else d for d in value_shape]
    if data.draw(st.integers(0, 9)) == 0:
        value_shape.append(2)
    kind = data.draw(st.sampled_from(["scalar", "list", "array", "self"]))
    if kind == "scalar":
        value = data.draw(numbers)
    elif kind == "list":
        value = nested(data.draw, tuple(value_shape), data.draw(st.sampled_from([numbers, floats, st.integers(-3, 3)])))
    elif kind == "array":
        code = data.draw(st.sampled_from(FIXED))
        steps.append(("array", {"values": nested(data.draw, tuple(value_shape), values_for(code)),
                                "dtype": dtype_text(code, data.draw(st.booleans())), "order": "C", "views": []}))
        value = ("ref", len(steps) - 1)
    else:  # part of the destination itself: overlapping reads and writes
        value = ("ref", 0, as_key(data.draw(selection_keys(built.shape)), steps))
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


if __name__ == "__main__":
    serve()
