"""Ufunc calls and methods on their typed loops against the element path.

Each case runs here and in a child process started with
QUARVEL_ELEMENT_PATH=1; both report every step's result (shape, strides,
dtype, element bits) or exception, its warnings and the fault reports an
errstate(all="call") callback receives, then every array made, so writes into
`out`, into `at` targets and through overlapping views are compared too.
"""
import warnings

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quarvel
import test_fast_paths as fast_paths
from test_fast_paths import (FIXED, SPECIAL_FLOATS, bits_float, build, describe, dtype_text, element_path_child,
                             nested, serve, values_for)

UFUNCS = sorted({getattr(quarvel, n) for n in dir(quarvel) if isinstance(getattr(quarvel, n), quarvel.ufunc)},
                key=lambda u: u.__name__)
BINARY = [u.__name__ for u in UFUNCS if u.nin == 2 and u.nout == 1]
SINGLE_OUTPUT = [u.__name__ for u in UFUNCS if u.nout == 1]
SMALL = st.sampled_from([0, 1, -1, 3, True, 2.5, -0.0])
NUMBERS = st.one_of(SMALL, SMALL, st.sampled_from(SPECIAL_FLOATS),
                    st.sampled_from([2 ** 63 - 1, -(2 ** 63), 2 ** 64 - 1, 1j]))
dims = st.lists(st.integers(0, 3), max_size=3).map(tuple)
# Values whose results tell which operand a fold took: signed zeros and NaNs
# with distinct payloads.
TIES = [0.0, -0.0, bits_float(0x7FF8000000000001), bits_float(0xFFF8000000000002), 1.0]
# No identity: a fold without a start value takes its first element over.
NO_IDENTITY = ["maximum", "minimum", "fmax", "fmin"]


@st.composite
def array_spec(draw, shape, codes=FIXED):
    """An array of `shape`, native or big-endian, reached plainly, reversed, at
    an offset, every other element, or in F order."""
    code = draw(st.sampled_from(codes))
    elements = values_for(code)
    if code[0] in "fc" and draw(st.booleans()):
        elements = st.sampled_from(TIES) if code[0] == "f" else st.builds(complex, st.sampled_from(TIES),
                                                                         st.sampled_from(TIES))
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
    return {"values": nested(draw, tuple(full), elements), "dtype": dtype_text(code, draw(st.booleans())),
            "order": "F" if layout == "F" else "C", "views": views}


def broadcastable(draw, shape):
    """A shape that broadcasts to `shape`: a suffix, some lengths 1."""
    tail = shape[draw(st.integers(0, len(shape))):]
    return tuple(1 if draw(st.booleans()) else n for n in tail)


def resolve(made, value):
    if isinstance(value, tuple) and value[:1] == ("ref",):
        return made[value[1]] if len(value) == 2 else made[value[1]][value[2]]
    if isinstance(value, tuple):
        return tuple(resolve(made, v) for v in value)
    return value


def run_step(made, step):
    if step[0] == "array":
        return build(step[1])
    _, name, method, args, kwargs = step
    ufunc = getattr(quarvel, name)
    target = ufunc if method == "call" else getattr(ufunc, method)
    return target(*resolve(made, args), **{k: resolve(made, v) for k, v in kwargs.items()})


def outcome(result):
    if isinstance(result, tuple):
        return tuple(outcome(r) for r in result)
    return None if result is None else describe(result)


def run_case(steps):
    """Each step's report, then every array made (written through `out`, `at`
    or a view of another)."""
    made = []
    report = fast_paths.run_case(steps, run_step, outcome, made)
    return report + [[describe(m) for m in made if isinstance(m, quarvel.Array)]]


@pytest.fixture(scope="module")
def element_path():
    yield from element_path_child(__file__)


def check(element_path, steps):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        here = run_case(steps)
    assert here == element_path(steps)


SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def operand_steps(draw, steps, shape, overlap):
    """An input: a Python number, an array broadcasting to `shape`, or one of
    two views one element apart along axis 0 of a shared array (`overlap`)."""
    kind = draw(st.sampled_from(["number", "array", "array", "low", "high"] if overlap else ["number", "array"]))
    if kind == "number":
        return draw(NUMBERS)
    if kind == "array":
        steps.append(("array", draw(array_spec(broadcastable(draw, shape)))))
        return ("ref", len(steps) - 1)
    return ("ref", 0, (slice(None, -1),) if kind == "low" else (slice(1, None),))


@SETTINGS
@given(st.sampled_from([u.__name__ for u in UFUNCS]), dims, st.data())
def test_calls_and_outer(element_path, name, shape, data):
    ufunc, draw = getattr(quarvel, name), data.draw
    overlap = bool(shape) and shape[0] > 0
    steps = [("array", draw(array_spec((shape[0] + 1,) + shape[1:]))) if overlap else ("array", draw(array_spec(())))]
    if ufunc.nin == 2 and draw(st.integers(0, 4)) == 0:
        a, b = (operand_steps(draw, steps, shape, False) for _ in range(2))
        steps.append(("ufunc", name, "outer", (a, b), {}))
        return check(element_path, steps)
    args = tuple(operand_steps(draw, steps, shape, overlap) for _ in range(ufunc.nin))
    kwargs = {}
    outs = []
    for _ in range(ufunc.nout):
        kind = draw(st.sampled_from(["none", "new", "low", "high", "same"] if overlap else ["none", "new"]))
        if kind == "new":
            steps.append(("array", draw(array_spec(shape))))
            outs.append(("ref", len(steps) - 1))
        elif kind in ("low", "high"):
            outs.append(("ref", 0, (slice(None, -1),) if kind == "low" else (slice(1, None),)))
        elif kind == "same" and outs:
            outs.append(outs[-1])
        else:
            outs.append(None)
    if any(o is not None for o in outs):
        kwargs["out"] = tuple(outs)
    if draw(st.integers(0, 3)) == 0:
        kwargs["where"] = draw(st.booleans()) if draw(st.booleans()) else \
            nested(draw, broadcastable(draw, shape), st.booleans())
    if draw(st.integers(0, 5)) == 0:
        kwargs["dtype"] = dtype_text(draw(st.sampled_from(FIXED)), draw(st.booleans()))
    if draw(st.integers(0, 5)) == 0:
        kwargs["casting"] = draw(st.sampled_from(["no", "equiv", "safe", "same_kind", "unsafe"]))
    if draw(st.integers(0, 4)) == 0:
        kwargs["order"] = draw(st.sampled_from("CFKA"))
    steps.append(("ufunc", name, "call", args, kwargs))
    check(element_path, steps)


def result_shape(shape, axes, keepdims):
    return tuple(1 if i in axes else n for i, n in enumerate(shape) if keepdims or i not in axes)


@SETTINGS
@given(st.sampled_from(BINARY) | st.sampled_from(NO_IDENTITY), st.sampled_from(["reduce", "accumulate", "reduceat"]),
       st.lists(st.integers(1, 4), min_size=1, max_size=3).map(tuple), st.data())
def test_reductions(element_path, name, method, shape, data):
    draw = data.draw
    if draw(st.integers(0, 7)) == 0:  # an empty axis
        shape = shape[:-1] + (0,)
    steps = [("array", draw(array_spec(shape)))]
    axis = draw(st.integers(-len(shape), len(shape) - 1))
    kwargs, args = {}, [("ref", 0)]
    if method == "reduce":
        choice = draw(st.sampled_from(["int", "none", "tuple"]))
        axes = {axis % len(shape)}
        if choice == "none":
            kwargs["axis"], axes = None, set(range(len(shape)))
        elif choice == "tuple":
            kwargs["axis"] = tuple(draw(st.sets(st.integers(0, len(shape) - 1))))
            axes = set(kwargs["axis"])
        else:
            kwargs["axis"] = axis
        kwargs["keepdims"] = draw(st.booleans())
        out_shape = result_shape(shape, axes, kwargs["keepdims"])
        if draw(st.booleans()):
            kwargs["initial"] = draw(NUMBERS)
        if draw(st.integers(0, 2)) == 0:
            kwargs["where"] = nested(draw, broadcastable(draw, shape), st.booleans())
    else:
        kwargs["axis"] = axis
        out_shape = shape
        if method == "reduceat":
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


@SETTINGS
@given(st.sampled_from(NO_IDENTITY + ["add", "subtract"]),
       st.lists(st.integers(1, 3), min_size=2, max_size=3).map(tuple), st.sampled_from(["f2", "f4", "f8", "c16"]),
       st.data())
def test_fold_order(element_path, name, shape, code, data):
    """Folds over several axes, and along one, meet their elements in
    row-major order: ties of signed zeros and NaN payloads show any other."""
    elements = st.sampled_from(TIES) if code[0] == "f" else st.builds(complex, st.sampled_from(TIES),
                                                                      st.sampled_from(TIES))
    spec = {"values": nested(data.draw, shape, elements), "dtype": code, "order": "C", "views": []}
    axes = data.draw(st.sampled_from([None, 0, -1]) | st.sets(st.integers(0, len(shape) - 1)).map(tuple))
    steps = [("array", spec), ("ufunc", name, "reduce", (("ref", 0),), {"axis": axes}),
             ("ufunc", name, "accumulate", (("ref", 0),), {"axis": -1}),
             ("ufunc", name, "reduceat", (("ref", 0), [0, 1, 0]), {"axis": 0})]
    check(element_path, steps)


@SETTINGS
@given(st.sampled_from(SINGLE_OUTPUT), st.lists(st.integers(1, 4), min_size=1, max_size=2).map(tuple), st.data())
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
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            target = build(steps[0][1])[index]
    except IndexError:  # both paths refuse it alike
        target = None
    target_shape = target.shape if isinstance(target, quarvel.Array) else ()
    args = [("ref", 0), index]
    if getattr(quarvel, name).nin == 2:
        kind = draw(st.sampled_from(["number", "array", "self"]))
        if kind == "number":
            args.append(draw(NUMBERS))
        elif kind == "array":
            steps.append(("array", draw(array_spec(broadcastable(draw, target_shape)))))
            args.append(("ref", 1))
        else:  # `b` is `a` itself, seen as it was before the first write
            args.append(("ref", 0, index) if isinstance(target, quarvel.Array) else ("ref", 0, (slice(0, 1),)))
    steps.append(("ufunc", name, "at", tuple(args), {}))
    check(element_path, steps)


if __name__ == "__main__":
    serve(run_case)
