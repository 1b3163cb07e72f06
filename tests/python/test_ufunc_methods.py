"""ufunc.reduce, accumulate, reduceat, outer and at: folds along axes,
identities and start values, masks, outputs, dtypes, argument and axis errors,
fault reports. Oracles: folds and loops over nested Python lists."""
import functools
import itertools
import math
import operator
import random

import pytest
from hypothesis import given, settings, strategies as st

import quarvel as q
from helpers import (COMPLEX_DISCARD, LIMITS, WHERE_WITHOUT_OUT, as_errors, flat, raises, record, to_python, tolist,
                     untouched)

STEPS = {"add": operator.add, "multiply": operator.mul, "maximum": max, "minimum": min, "bitwise_xor": operator.xor,
         "subtract": operator.sub, "bitwise_or": operator.or_}
BOUNDS = "axis {} is out of bounds for array of dimension {}"
NO_LOOP = "no loop matching the specified signature and casting was found for ufunc 'less'"


def nest(values, shape):
    """Row-major values as nested lists of `shape`."""
    if not shape:
        return values[0]
    step = len(values) // shape[0] if shape[0] else 0
    return [nest(values[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def at(nested, coordinates):
    return functools.reduce(lambda level, c: level[c], coordinates, nested)


def positions(shape):
    return itertools.product(*map(range, shape))


def fold_lists(nested, shape, axes, step, keepdims):
    """Folds the axes (ascending) in row-major order of the reduced axes."""
    kept = [i for i in range(len(shape)) if i not in axes]
    values = []
    for outer in positions([shape[i] for i in kept]):
        acc = None
        for inner in positions([shape[i] for i in axes]):
            full = dict(zip(kept, outer)) | dict(zip(axes, inner))
            value = at(nested, [full[i] for i in range(len(shape))])
            acc = value if acc is None else step(acc, value)
        values.append(acc)
    return nest(values, [1 if i in axes else n for i, n in enumerate(shape) if keepdims or i in kept])


def accumulate_lists(nested, shape, axis, step):
    out = {}
    for full in positions(shape):
        previous = list(full)
        previous[axis] -= 1
        value = at(nested, full)
        out[full] = value if full[axis] == 0 else step(out[tuple(previous)], value)
    return nest([out[c] for c in positions(shape)], shape)


def random_values(seed, dtype, shape):
    rng = random.Random(seed)
    draw = {"b": lambda: rng.random() < 0.5, "u": lambda: rng.randrange(4), "i": lambda: rng.randrange(-3, 4),
            "f": lambda: float(rng.randrange(-3, 4))}[q.DType(dtype).kind]
    return nest([draw() for _ in range(math.prod(shape))], list(shape))


def filled(shape, value=1, dtype="float64"):
    shape = (shape,) if isinstance(shape, int) else shape
    return q.zeros(shape, dtype) if 0 in shape else q.array(nest([value] * math.prod(shape), list(shape)), dtype=dtype)


@pytest.mark.parametrize("ufunc, dtype", [("add", "int8"), ("add", "bool"), ("multiply", "float64"),
                                          ("maximum", "uint16"), ("minimum", "float32"), ("bitwise_xor", "int64"),
                                          ("subtract", "int64")])
def test_folds_match_folding_lists(ufunc, dtype):
    f = getattr(q, ufunc)
    for shape in [(4,), (2, 3), (2, 1, 3, 2)]:
        ndim = len(shape)
        data = random_values(repr((ufunc, dtype, shape)), dtype, shape)
        a = q.array(data, dtype=dtype)
        subsets = [c for k in range(ndim + 1) for c in itertools.combinations(range(ndim), k)]
        for axis in [None, *range(-ndim, ndim), *subsets, tuple(reversed(range(ndim)))]:
            axes = sorted(a % ndim for a in (range(ndim) if axis is None else axis if isinstance(axis, tuple) else (axis,)))
            if ufunc == "subtract" and len(axes) != 1:
                continue
            for keepdims in (False, True):
                assert to_python(f.reduce(a, axis=axis, keepdims=keepdims)) == fold_lists(
                    data, shape, axes, STEPS[ufunc], keepdims), (shape, axis, keepdims)
        for axis in range(-ndim, ndim):
            assert tolist(f.accumulate(a, axis=axis)) == accumulate_lists(data, shape, axis % ndim, STEPS[ufunc])


@settings(max_examples=40)
@given(st.lists(st.integers(-50, 50), min_size=1, max_size=12), st.data())
def test_reduceat_folds_every_segment(values, data):
    indices = data.draw(st.lists(st.integers(0, len(values) - 1), max_size=6))
    ufunc = data.draw(st.sampled_from(["add", "subtract", "maximum", "bitwise_or"]))
    ends = indices[1:] + [len(values)]
    expected = [functools.reduce(STEPS[ufunc], values[s:e] if s < e else values[s:s + 1]) for s, e in zip(indices, ends)]
    assert tolist(getattr(q, ufunc).reduceat(q.array(values), indices)) == expected


@pytest.mark.parametrize("ufunc, dtype, requested, result", [
    ("add", "int8", None, "int64"), ("add", "uint16", None, "uint64"), ("multiply", "bool", None, "int64"),
    ("add", "float16", None, "float16"), ("add", "complex64", None, "complex64"), ("add", "int8", "int8", "int8"),
    ("multiply", "int32", "float64", "float64"), ("maximum", "int8", None, "int8"), ("less", "bool", None, "bool"),
    ("bitwise_or", "uint16", None, "uint16"), ("logical_and", "float64", None, "bool"), ("arctan2", "i8", None, "float64")])
def test_method_dtypes(ufunc, dtype, requested, result):
    f, a = getattr(q, ufunc), filled((2, 2), dtype=dtype)
    for made in (f.reduce(a, dtype=requested), f.accumulate(a, dtype=requested), f.reduceat(a, [0], dtype=requested)):
        assert made.dtype.name == result


def test_accumulator_dtypes_and_aliases():
    h = q.array([2048.0, 1.0, 1.0], dtype="float16")  # 2049 is no float16: 2048 + 1 rounds back to 2048
    assert q.add.reduce(h).item() == q.add.reduce(h, dtype="float16").item() == 2050.0  # a float32 running sum
    assert tolist(q.add.reduceat(h, [0])) == [2050.0] and tolist(q.add.accumulate(h)) == [2048.0] * 3
    i8 = q.array([100, 100, 100], dtype="int8")
    assert (q.add.reduce(i8).item(), q.add.reduce(i8, dtype="int8").item()) == (300, 44)
    assert tolist(q.add.reduceat(i8, [0, 2], dtype="int8")) == [-56, 100]
    ll = q.array([1, 2, 3], dtype="longlong")
    assert type(q.add.reduce(ll)) is q.LongLongScalar
    assert q.add.accumulate(ll).dtype.char == q.add.reduceat(ll, [0]).dtype.char == "q"


@pytest.mark.parametrize("ufunc, dtype, expected", [
    ("add", "float64", 0.0), ("multiply", "float32", 1.0), ("bitwise_and", "uint8", 255), ("bitwise_and", "bool", True),
    ("logaddexp2", "float32", -math.inf), ("logical_or", "int64", False)])
def test_empty_reduction_gives_the_identity(ufunc, dtype, expected):
    f = getattr(q, ufunc)
    for result in (f.reduce(q.zeros(0, dtype=dtype)), f.reduce(filled(2, 1, dtype), where=False)):
        assert result.item() == expected and type(result.item()) is type(expected)
    assert tolist(f.reduce(q.zeros((3, 0), dtype=dtype), axis=1)) == [expected] * 3
    f = getattr(q, {"add": "maximum", "multiply": "subtract"}.get(ufunc, "lcm"))  # no identity
    for a, where in [(q.zeros((2, 0), dtype="int64"), True), (filled((2, 2), dtype="int64"), [[True], [False]])]:
        raises(ValueError, "zero-size array to reduction operation which has no identity", f.reduce, a, axis=1, where=where)
    assert f.reduce(q.zeros((0, 2), dtype="int64"), axis=1).shape == (0,)  # no result element: no fold


@pytest.mark.parametrize("ufunc, data, initial, where, expected", [
    ("maximum", [1, 5], 7, True, 7), ("maximum", [], 3.5, True, 3.5), ("minimum", [4, 2], 3, True, 2),
    ("add", [1, 2], 1.9, True, 4), ("subtract", [1, 2], 10, True, 7), ("add", [True, True], True, True, 3),
    ("maximum", [1, 9], 3, [True, False], 3), ("add", [[1, 2, 3], [4, 5, 6]], None, [True, False, True], [5, 0, 9]),
    ("add", [[1, 2, 3], [4, 5, 6]], None, [[True], [False]], [1, 2, 3]),
    ("add", [[1, 2, 3], [4, 5, 6]], 1, q.array([[1, 0, 1]]) == 1, [6, 1, 10]),
    ("add", [[1, 2], [3, 4]], None, None, [0, 0]), ("add", [[1, 2], [3, 4]], None, 2.5, [4, 6])])
def test_initial_and_where(ufunc, data, initial, where, expected):
    a = q.array(data) if data else q.zeros(0)
    # no warning for a mask without out
    assert to_python(as_errors(lambda: getattr(q, ufunc).reduce(a, initial=initial, where=where))) == expected


def test_shapes_of_results():
    for shape, axis, expected in [((2, 3), 1, (2, 1)), ((2, 3), None, (1, 1)), ((2, 3), (), (2, 3)),
                                  ((2, 3, 4), (0, 2), (1, 3, 1)), ((0, 3), 0, (1, 3))]:
        assert q.add.reduce(filled(shape), axis=axis, keepdims=True).shape == expected
    for value, axis, keepdims in itertools.product([q.array(5), 5, q.array([5])[0]], [None, 0, -1, ()], [False, True]):
        result = q.add.reduce(value, axis=axis, keepdims=keepdims)  # no dimensions: a scalar
        assert type(result) is q.Int64Scalar and result.item() == 5
        assert tolist(q.maximum.reduce(value, axis=axis, out=q.zeros((), dtype="int64"))) == 5
    raises(ValueError, LIMITS, q.add.reduce, q.zeros((0, 2**61), dtype="int8"), axis=0)  # checked before the fold
    assert q.add.accumulate(q.zeros((2**40, 0))).shape == (2**40, 0)


@pytest.mark.impossible_allocation
def test_result_too_large_to_hold_is_a_memory_error():
    raises(MemoryError, None, q.add.reduce, q.zeros((0, 2**40)), axis=0)


def test_out_receives_the_result_and_is_read_after_the_input():
    a = q.array([[1, 2, 3], [4, 5, 6]])
    for out, axis, expected in [(q.zeros(3, dtype="int32"), 0, [5, 7, 9]), (q.zeros((2, 1)), (1,), [[6.0], [15.0]]),
                                (q.zeros((), dtype="int64"), None, 21), ((q.zeros(3),), 0, [5.0, 7.0, 9.0])]:
        returned = q.add.reduce(a, axis, None, out, isinstance(out, q.Array) and out.ndim == 2)
        assert returned is (out[0] if isinstance(out, tuple) else out) and tolist(returned) == expected
    assert tolist(q.add.reduce(a, out=(None,))) == [5, 7, 9]
    assert tolist(q.add.reduce(a, axis=0, out=a[0])) == [5, 7, 9] and tolist(a) == [[5, 7, 9], [4, 5, 6]]
    c = q.array([1, 2, 3, 4])
    assert tolist(q.add.reduceat(c, [2, 0], out=c[:2])) == [3, 10] and tolist(c) == [3, 10, 3, 4]
    o = q.zeros((2, 1))  # every argument by position
    assert q.add.reduce([[1, 2], [3, 4]], 1, "float64", o, True, 10, [True, False]) is o and tolist(o) == [[11.0], [13.0]]
    assert tolist(q.add.accumulate(a, (1,), "int8", None)) == tolist(q.add.accumulate(a, dtype="int8", axis=-1))


A = filled((2, 3))


# Refusals write nothing: `o` is unchanged.
METHOD_REFUSALS = [
    (lambda o: q.maximum.reduce(A, -3), q.AxisError, BOUNDS.format(-3, 2)),
    (lambda o: q.add.reduceat(q.array(1), "not looked at"), q.AxisError, BOUNDS.format(0, 0)),
    (lambda o: q.maximum.reduce(A, (1, -1)), ValueError, "repeated axis in `axis` argument"),
    (lambda o: q.maximum.reduce(A, True), TypeError, "an integer is required"),
    (lambda o: q.subtract.reduce(A, None), ValueError,
     "reduction operation 'subtract' is not reorderable, so at most one axis may be specified"),
    (lambda o: q.add.reduce(A, 0, None, None, False, None, True, 1), TypeError,
     "reduce() takes at most 7 positional arguments (8 given)"),
    (lambda o: q.add.reduce(A, casting="no"), TypeError, "reduce() got an unexpected keyword argument 'casting'"),
    (lambda o: q.add.reduce(A, **{"keep\0dims": 1}), TypeError,
     "reduce() got an unexpected keyword argument 'keep\0dims'"),
    (lambda o: q.add.reduce(A, 0, axis=0), TypeError, "got multiple values for argument 'axis'"),
    (lambda o: q.less.reduce(filled(2, dtype="int64")), TypeError, NO_LOOP),
    (lambda o: q.divmod.reduce(A), TypeError, "divmod is not a binary reduction ufunc"),
    (lambda o: q.add.reduce(A, where=q.array([1, 0, 1])), TypeError, "where must be boolean"),
    (lambda o: q.add.reduce(A, where=[[[True]]]), ValueError, "where mask cannot be broadcast to the reduction input"),
    (lambda o: q.add.accumulate(A, None), ValueError, "accumulate does not allow multiple axes"),
    (lambda o: q.add.accumulate(A, 2**70), OverflowError, "Python int too large to convert to C long"),
    (lambda o: q.add.reduce(A, keepdims=2**40), OverflowError, "Python int too large to convert to C int"),
    (lambda o: q.less.accumulate(filled(2, dtype="int64")), TypeError, NO_LOOP + " accumulate"),
    (lambda o: q.negative.accumulate(A), TypeError, "negative is not a binary accumulation ufunc"),
    (lambda o: q.add.accumulate(A, 0, None, None, 1), TypeError,
     "accumulate() takes at most 4 positional arguments (5 given)"),
    (lambda o: q.add.accumulate(A, where=True), TypeError, "unexpected keyword argument 'where'"),
    (lambda o: q.add.reduceat([1, 2, 3], q.array([0, 5, 2**63], dtype="uint64")), ValueError, "index out of bounds"),
    (lambda o: q.add.reduceat([1, 2, 3], q.array([2**63], dtype="uint64")), ValueError, "index too large"),
    (lambda o: q.add.reduceat([1, 2, 3], [True]), TypeError, "indices must be integer values"),
    (lambda o: q.add.reduceat([1, 2, 3], 0), ValueError, "indices must be one-dimensional"),
    (lambda o: q.add.reduceat([1], [0], None), ValueError, "reduceat does not allow multiple axes"),
    (lambda o: q.less.reduceat(filled(2, dtype="int64"), [0]), TypeError, NO_LOOP + " reduceat"),
    (lambda o: q.divmod.reduceat([1.0], [0]), TypeError, "divmod is not a binary reduceat ufunc"),
    (lambda o: q.add.reduceat(A, [0], 0, None, None, 1), TypeError,
     "reduceat() takes at most 5 positional arguments (6 given)"),
    (lambda o: q.add.reduceat(A, indices=[0], initial=0), TypeError, "unexpected keyword argument 'initial'"),
    (lambda o: q.add.reduceat(A, [0], indices=[0]), TypeError,
     "argument for reduceat() given by name ('indices') and position (2)"),
    (lambda o: q.add.outer(q.zeros(2), q.zeros(3), out=q.zeros((3, 2))), ValueError, "output array has an incorrect shape"),
    (lambda o: q.add.outer(q.zeros(1), 1.5, out=o[:1, 0].astype("int32")), TypeError,
     "ufunc 'add' output cannot be cast from float64 to int32 with casting rule 'same_kind'"),
    (lambda o: q.divmod.outer(q.zeros(1), 1, out=o), TypeError, "out must be an array or a tuple of output arrays"),
    (lambda o: q.add.outer(q.zeros(3), q.zeros(2), out=o, where=q.zeros((4, 3, 2), dtype="bool")), ValueError,
     "where mask with shape [4, 3, 2] cannot be broadcast to outer output shape [3, 2]"),
    (lambda o: q.add.outer(1, 2, dtype="float64", signature="dd->d"), TypeError, "cannot specify both dtype and signature"),
    (lambda o: q.add.outer(1, 2, subok=1, order="k"), TypeError, "'subok' must be a boolean"),  # in keyword order
    (lambda o: q.add.outer(1, 2, foo=1, order="k"), TypeError, "unexpected keyword argument 'foo'"),
    (lambda o: q.add.outer(1, 2, **{"\0x": 1}), TypeError, "unexpected keyword argument '\0x'"),
    (lambda o: q.sin.outer(1, 2), TypeError, "sin is not a binary outer ufunc"),
    (lambda o: q.add.outer(1), TypeError, "outer() takes exactly 2 positional arguments (1 given)"),
    (lambda o: q.add.outer(1, 2, 3), TypeError, "outer() takes at most 2 arguments (3 given)"),
    (lambda o: q.add.outer(q.zeros((1,) * 40), q.zeros((1,) * 40)), ValueError, LIMITS),
    pytest.param(lambda o: q.add.outer(q.zeros(2**20), q.zeros(2**20)), MemoryError, None,  # 2**40 results
                 marks=pytest.mark.impossible_allocation),
    (lambda o: q.add.at([1.0], [0], 1), TypeError, "first argument to ufunc.at must be a Quarvel array"),
    (lambda o: q.add.at(q.zeros(()), 0, 1), TypeError, "ufunc.at requires an array with at least one dimension"),
    (lambda o: q.divmod.at(q.zeros(()), [0], 1), TypeError, "divmod does not support the at method"),
    (lambda o: q.add.at(o[:, 0], [1]), TypeError, "binary ufunc.at requires a third operand"),
    (lambda o: q.negative.at(o[:, 0], [1], 5), TypeError, "unary ufunc.at takes only the array and indices"),
    (lambda o: q.add.at(o[:, 0], [0, 1, 2], q.zeros(2)), ValueError,
     "operands could not be broadcast together with shapes [3] [2]"),
    (lambda o: q.add.at(o[:, 0], [0, 1, 2], q.zeros((1, 3))), ValueError,
     "right operand cannot be broadcast to the indexed target shape"),
    (lambda o: q.add.at(o[:, 0], [0, 3], 1), IndexError, "index 3 is out of bounds for axis 0 with size 3"),
    (lambda o: q.add.at(o, [0], b=1), TypeError, "'b' is an invalid keyword argument for at()"),
    (lambda o: q.add.at(o), TypeError, "at() takes at least 2 positional arguments (1 given)"),
    (lambda o: q.add.at(o, [0], 1, 2), TypeError, "at() takes at most 3 arguments (4 given)")]


@pytest.mark.parametrize("call, error, text", METHOD_REFUSALS)
def test_method_refusals_write_nothing(call, error, text):
    o = q.array([[5.0] * 2] * 3)
    raises(error, text, call, o)
    assert tolist(o) == [[5.0] * 2] * 3


@pytest.mark.parametrize("out, error, text", [
    (q.zeros(2, dtype="int32"), TypeError,  # the cast is checked before the shape
     "cannot cast ufunc output from float64 to int32 with casting rule 'same_kind'"),
    (q.zeros((1, 3)), ValueError, "output array has an incorrect shape"),
    ((q.zeros(3), q.zeros(3)), ValueError, "out tuple has the wrong number of arrays"),
    ((3,), TypeError, "out entries must be Quarvel arrays or None")])
def test_bad_out_of_a_fold_is_refused_before_any_write(out, error, text):
    part = out[..., :2] if isinstance(out, q.Array) else out
    raises(error, text, q.add.reduce, filled((2, 3)), out=out)
    raises(error, text, q.add.accumulate, filled(3), out=part)
    raises(error, text, q.add.reduceat, filled((2, 3)), [0, 0, 1], 1, out=part)
    assert not isinstance(out, q.Array) or set(tolist(out.reshape(-1))) == {0}


def test_axis_error_is_the_module_class_of_the_moment(monkeypatch):
    raises(q.AxisError, BOUNDS.format(3, 1), q.add.accumulate, filled(2), 3)
    monkeypatch.setattr(q, "AxisError", type("Replacement", (Exception,), {}))
    raises(q.AxisError, None, q.add.reduceat, filled(2), [0], 3)
    monkeypatch.setattr(q, "AxisError", int)  # a class, but nothing that can be raised
    raises(TypeError, "quarvel.AxisError must be an exception class", q.add.reduce, filled(2), 3)


# --- outer --------------------------------------------------------------------

@pytest.mark.parametrize("ufunc, function, a, b", [
    (q.add, operator.add, [1, 2, 3], [10, 20]), (q.multiply, operator.mul, 3, [[1, 2], [3, 4]]),
    (q.divide, operator.truediv, [1.0, 7.0, -3.0], [2.0, 8.0]),
    (q.floor_divide, operator.floordiv, [7, -7, 9], [2, -3]),
    (q.arctan2, math.atan2, [1.0, -1.0], [2.0, -0.5]), (q.less, operator.lt, [1, 2, 3], [2]),
    (q.add, operator.add, q.zeros((2, 1)), q.zeros((1, 3))), (q.add, operator.add, q.zeros((2, 3)), q.zeros((0, 2)))])
def test_outer_against_nested_loops(ufunc, function, a, b):
    result = ufunc.outer(a, b)
    assert result.shape == q.array(a).shape + q.array(b).shape
    assert flat(tolist(result)) == pytest.approx([function(x, y) for x in flat(to_python(q.array(a)))
                                                  for y in flat(to_python(q.array(b)))], rel=1e-15)


def test_outer_two_outputs_scalars_dtypes_and_layouts():
    quotient, remainder = q.divmod.outer([7, -7], [2, 3, -4])
    pairs = [(x, y) for x in [7, -7] for y in [2, 3, -4]]
    assert flat(tolist(quotient)) == [x // y for x, y in pairs] and flat(tolist(remainder)) == [x % y for x, y in pairs]
    assert q.power.outer(-math.inf, 0.5).item() == math.inf  # no replacement for plain numbers here
    assert type(q.add.outer(q.array(1, dtype="longlong"), 1)) is q.LongLongScalar
    # weak scalars, keywords and the layout of a new output follow the ufunc call's rules
    assert q.add.outer(q.zeros(2, dtype="int8"), 3).dtype.char == "b"
    assert q.add.outer(q.array([1], dtype="longlong"), q.array([1], dtype="ulonglong")).dtype.char == "d"
    assert q.add.outer(q.zeros(2, dtype="int8"), 1, dtype=None, signature="ff->f", subok=False).dtype.char == "f"
    a = q.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]).T  # F-contiguous (2, 3)
    for order, b, strides in [("C", q.zeros(4), (96, 32, 8)), ("A", q.zeros(4), (8, 16, 48)),
                              ("K", q.zeros((4, 5)).T, (160, 320, 8, 40))]:
        r = q.add.outer(a, b, order=order)
        assert r.strides == strides and flat(tolist(r)) == [x + y for x in flat(tolist(a)) for y in flat(tolist(b))]
    assert q.add.outer(q.zeros((1,) * 40), q.zeros((1,) * 24)).ndim == 64


def test_outer_outputs_and_masks():
    o = q.zeros((2, 3))
    assert q.add.outer([1.0, 2.0], [0.0, 1.0, 2.0], out=o) is o and tolist(o) == [[1.0, 2.0, 3.0], [2.0, 3.0, 4.0]]
    quotient = q.zeros(2, dtype="int64")
    result = q.divmod.outer([7, 9], 4, out=(quotient, None))
    assert result[0] is quotient and tolist(quotient) == [1, 2] and tolist(result[1]) == [3, 1]
    m = q.array([[1, 2], [3, 4]])
    assert tolist(q.add.outer(m[0], m[:, 1], out=m)) == [[3, 5], [4, 6]]  # inputs [1, 2], [2, 4] read before the writes
    for where, expected in [(q.array([True, False]), [[11, 9], [12, 9], [13, 9]]), (0.0, [[9] * 2] * 3)]:
        o = q.array([[9.0] * 2] * 3)
        assert q.add.outer([1.0, 2.0, 3.0], [10.0, 20.0], out=o, where=where) is o and tolist(o) == expected
    assert record(lambda: q.add.outer([1, 2], [3], where=None))[1] == [(UserWarning, WHERE_WITHOUT_OUT)]
    # the inputs are read also where masked out; `b` is never read when `a` is empty
    for a, b in [(q.zeros(2), 10**400), (10**400, q.zeros(2)), (10**400, q.zeros(0))]:
        raises(OverflowError, "int too large to convert to float", q.add.outer, a, b, where=False, out=None)
    assert as_errors(lambda: q.add.outer(q.zeros(0), 10**400, where=False, out=None)).shape == (0,)


def test_outer_total_beyond_64_bits():
    raises(ValueError, "outer output shape exceeds supported limits", q.add.outer, *untouched(2**32, 2**32))


# --- at -----------------------------------------------------------------------

@pytest.mark.parametrize("ufunc, start, indices, b, expected", [
    (q.add, [0.0] * 3, [0, 2, 2], q.array([5.0]), [5.0, 0.0, 10.0]), (q.multiply, [1 + 1j, 2j], [0, 0], 1j, [-1 - 1j, 2j]),
    (q.subtract, [10, 20, 30], [-1, 0], q.array([5, 6]), [4, 20, 25]),
    (q.add, [1, 2, 3, 4], slice(None, None, -2), [100, 200], [1, 202, 3, 104]),
    (q.add, [1, 2, 3, 4], (Ellipsis,), 1, [2, 3, 4, 5]),
    (q.add, [1, 2, 3, 4], q.array([True, False, True, False]), [10, 20], [11, 2, 23, 4]),
    (q.add, [1, 2], True, 1, [2, 3]), (q.maximum, [1.0, 5.0], [0, 1, 0], [3.0, 2.0, 2.0], [3.0, 5.0]),
    (q.negative, [1, 2, 3, 4], [1, 1, 3], None, [1, 2, 3, -4]),
    (q.invert, [True, False], [0, 0, 0], None, [False, False]),
    (q.add, [1, 2, 3, 4], [1, 2, 3], "self", [1, 3, 5, 7]),  # b, a view of a, is read whole before any write
])
def test_at_updates_in_place(ufunc, start, indices, b, expected):
    a = q.array(start)
    assert (ufunc.at(a, indices) if b is None else ufunc.at(a, indices, a[:3] if isinstance(b, str) else b)) is None
    assert tolist(a) == expected


@pytest.mark.parametrize("dtype, start, b, expected", [
    ("int8", 127, 1, -128),  # the int enters as int64; the result wraps back into int8
    ("uint8", 0, -1, 255), ("int8", 1, 1.75, 2),  # float64 loop, truncated into int8
    ("float32", 1.0, 2**70, 2.0**70), ("bool", False, 1j, True),  # a complex loop into bool: no warning
    *[(dtype, 1, q.array([2], dtype=dtype), 3) for dtype in ["float16", "complex256"]]])
def test_at_has_no_weak_promotion_and_keeps_the_dtype(dtype, start, b, expected):
    a = q.array([start], dtype=dtype)
    as_errors(lambda: q.add.at(a, [0], b))
    assert a.dtype.name == dtype and tolist(a.astype("complex128")) == [expected]


def test_at_two_dimensional_keys_views_and_complex_discard():
    a = q.zeros(3)
    assert record(lambda: q.add.at(a, [0, 1, 1], 1 + 2j))[1] == [(q.ComplexWarning, COMPLEX_DISCARD)]
    assert tolist(a) == [1.0, 2.0, 0.0]
    raises(q.ComplexWarning, None, as_errors, lambda: q.add.at(a, [0], 1j))  # warned before any write
    assert tolist(a) == [1.0, 2.0, 0.0]
    a = q.zeros((2, 3), dtype="int64")
    for target, key, b in [(a, (1, 2), 5), (a, ([0, 0, 1], [1, 1, 0]), [1, 2, 3]), (a, (slice(None), 0), [10]),
                           (a, 0, [100, 200, 300]), (a[1, ::2], [1, 1], 1)]:
        q.add.at(target, key, b)
    assert tolist(a) == [[110, 203, 300], [13, 0, 7]]


# --- fault reports ------------------------------------------------------------

DIVIDE, INVALID = "divide by zero encountered in divide", "invalid value encountered in divide"


@pytest.mark.parametrize("call, reported", [
    (lambda: q.multiply.reduce(q.array([1e200, 1e200, 1e200, 1e200])), ["overflow encountered in multiply"]),
    (lambda: q.add.reduce(q.array([math.inf, -math.inf])), ["invalid value encountered in add"]),
    (lambda: q.divide.accumulate(q.array([1.0, 0.0, 0.0])), [DIVIDE]),
    (lambda: q.divide.accumulate(q.array([0.0])), []),  # a first element is never classified
    (lambda: q.divide.reduceat(q.array([1.0, 0.0, 0.0, 0.0]), [0, 2]), [DIVIDE, INVALID]),
    (lambda: q.divide.outer([1.0, 0.0, 2.0], [0.0, 0.0]), [DIVIDE, INVALID]),
    (lambda: q.divide.at(q.array([1.0, 2.0]), [0, 1], 0.0), [DIVIDE]),
    (lambda: q.divide.at(q.array([1.0]), q.array([False]), 0.0), []),  # nothing selected: nothing to report
    (lambda: pytest.raises(ValueError, q.divide.reduce, q.array([1.0, 0.0]), out=q.zeros(2)), [])])
def test_one_report_per_method_call(call, reported):
    assert [text for _, text in record(call)[1]] == reported


@pytest.mark.parametrize("call, expected", [
    (lambda out: q.divide.accumulate(q.array([1.0, 0.0]), out=out), [1.0, math.inf]),
    (lambda out: q.multiply.reduce(q.array([[1e300, 1e300], [1.0, 0.0]]), axis=1, out=out), [math.inf, 0.0]),
    (lambda out: q.divide.outer([1.0, 2.0], [0.0], out=out[:, None]), [math.inf, math.inf]),
    (lambda out: q.divide.at(out, [0, 1], 0.0), [math.inf, math.inf])])
def test_report_comes_after_out_is_written(call, expected):
    out = q.array([1.0, 2.0])
    with q.errstate(all="raise"):
        raises(FloatingPointError, None, call, out)
    assert tolist(out) == expected
