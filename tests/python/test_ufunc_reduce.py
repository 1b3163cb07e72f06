"""ufunc.reduce, accumulate and reduceat: folds along axes, identities and start
values, masks, outputs, dtypes, argument and axis errors, fault reports.
Oracle: folding nested Python lists in row-major order."""
import functools
import itertools
import math
import operator
import random
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import quarvel as q
from array_helpers import tolist


# --- list oracle -------------------------------------------------------------------------

def nest(values, shape):
    """Row-major values as nested lists of `shape`."""
    if not shape:
        return values[0]
    step = len(values) // shape[0] if shape[0] else 0
    return [nest(values[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def at(nested, coordinates):
    return functools.reduce(lambda level, c: level[c], coordinates, nested)


def positions(shape):
    return itertools.product(*(range(n) for n in shape))


def fold_lists(nested, shape, axes, step, start=None, keepdims=False):
    """Folds the axes (ascending) in row-major order of the reduced axes."""
    kept = [i for i in range(len(shape)) if i not in axes]
    values = []
    for outer in positions([shape[i] for i in kept]):
        acc = start
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
    if 0 in shape:
        return q.zeros(shape, dtype)
    return q.array(nest([value] * math.prod(shape), list(shape)), dtype=dtype)


def python(result):
    return tolist(result) if isinstance(result, q.Array) else result.item()


def axis_forms(ndim):
    """None, every integer both ways, every subset as a tuple, and one reversed tuple."""
    subsets = [c for k in range(ndim + 1) for c in itertools.combinations(range(ndim), k)]
    forms = [None] + list(range(-ndim, ndim)) + subsets
    return forms + [tuple(reversed(range(ndim)))] * (ndim > 1)


def normalized(axis, ndim):
    items = range(ndim) if axis is None else axis if isinstance(axis, tuple) else (axis,)
    return sorted(a % ndim for a in items)


STEPS = {"add": operator.add, "multiply": operator.mul, "maximum": max, "minimum": min, "bitwise_xor": operator.xor,
         "subtract": operator.sub, "bitwise_or": operator.or_}
STARTS = {"add": 0, "multiply": 1, "bitwise_xor": 0}
FOLD_CASES = [(ufunc, dtype, shape, axis)
              for ufunc, dtype in [("add", "int8"), ("add", "bool"), ("multiply", "float64"), ("maximum", "uint16"),
                                   ("minimum", "float32"), ("bitwise_xor", "int64"), ("subtract", "int64")]
              for shape in [(4,), (2, 3), (2, 3, 2), (2, 1, 3, 2)] for axis in axis_forms(len(shape))
              if ufunc != "subtract" or len(normalized(axis, len(shape))) == 1]


@pytest.mark.parametrize("ufunc, dtype, shape, axis", FOLD_CASES)
def test_reduce_every_axis_form_matches_folding_lists(ufunc, dtype, shape, axis):
    data = random_values(repr((ufunc, dtype, shape, axis)), dtype, shape)
    for keepdims in (False, True):
        result = getattr(q, ufunc).reduce(q.array(data, dtype=dtype), axis=axis, keepdims=keepdims)
        assert python(result) == fold_lists(data, shape, normalized(axis, len(shape)), STEPS[ufunc],
                                            STARTS.get(ufunc), keepdims)


@pytest.mark.parametrize("ufunc, dtype", [("add", "int64"), ("subtract", "float64"), ("multiply", "int16"),
                                          ("maximum", "uint8"), ("bitwise_xor", "int8")])
@pytest.mark.parametrize("shape", [(5,), (3, 4), (2, 3, 2)])
def test_accumulate_matches_running_folds_of_lists(ufunc, dtype, shape):
    data = random_values(repr((ufunc, dtype, shape)), dtype, shape)
    for axis in range(-len(shape), len(shape)):
        result = getattr(q, ufunc).accumulate(q.array(data, dtype=dtype), axis=axis)
        assert tolist(result) == accumulate_lists(data, shape, axis % len(shape), STEPS[ufunc])


def reduceat_lists(values, indices, step):
    ends = indices[1:] + [len(values)]
    return [functools.reduce(step, values[start:end] if start < end else values[start:start + 1])
            for start, end in zip(indices, ends)]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(-50, 50), min_size=1, max_size=12), st.data())
def test_reduceat_folds_every_segment(values, data):
    indices = data.draw(st.lists(st.integers(0, len(values) - 1), max_size=6))
    ufunc = data.draw(st.sampled_from(["add", "subtract", "maximum", "bitwise_or"]))
    assert tolist(getattr(q, ufunc).reduceat(q.array(values), indices)) == reduceat_lists(values, indices,
                                                                                          STEPS[ufunc])


@pytest.mark.parametrize("shape, indices, axis, expected", [
    ([8], [0, 4, 1, 5], 0, [6, 4, 10, 18]), ([8], [2], 0, [27]), ([8], [1, 1], 0, [1, 28]), ([8], [7, 0], 0, [7, 28]),
    ([8], [], 0, []), ([4, 2], [1, 0], 1, [[1, 1], [3, 5], [5, 9], [7, 13]]), ([4, 2], [0], 0, [[12, 16]]),
    ([4, 2], [1, 0], -2, [[2, 3], [12, 16]]), ([4, 2], [], 1, [[], [], [], []]),
])
def test_reduceat_segments(shape, indices, axis, expected):
    assert tolist(q.add.reduceat(q.array(nest(list(range(8)), shape)), indices, axis=axis)) == expected


# --- dtypes --------------------------------------------------------------------------------

@pytest.mark.parametrize("ufunc, dtype, requested, result", [
    ("add", "int8", None, "int64"), ("add", "int16", None, "int64"), ("add", "int32", None, "int64"),
    ("add", "uint8", None, "uint64"), ("add", "uint16", None, "uint64"), ("add", "uint32", None, "uint64"),
    ("add", "bool", None, "int64"), ("multiply", "bool", None, "int64"), ("add", "float16", None, "float16"),
    ("add", "float32", None, "float32"), ("add", "uint64", None, "uint64"), ("add", "complex64", None, "complex64"),
    ("multiply", "int32", "float64", "float64"), ("add", "int8", "int8", "int8"), ("maximum", "int8", None, "int8"),
    ("bitwise_or", "uint16", None, "uint16"), ("logical_and", "float64", None, "bool"),
    ("arctan2", "int64", None, "float64"), ("less", "bool", None, "bool"), ("add", "float128", None, "float128"),
])
def test_reduction_dtypes(ufunc, dtype, requested, result):
    f, a = getattr(q, ufunc), filled((2, 2), dtype=dtype)
    for made in (f.reduce(a, dtype=requested), f.accumulate(a, dtype=requested), f.reduceat(a, [0], dtype=requested)):
        assert made.dtype.name == result


def test_accumulator_dtypes():
    h = q.array([2048.0, 1.0, 1.0], dtype="float16")  # 2049 is no float16: 2048 + 1 rounds back to 2048
    assert q.add.reduce(h).item() == q.add.reduce(h, dtype="float16").item() == 2050.0  # float32 running sum
    assert tolist(q.add.reduceat(h, [0])) == [2050.0]
    assert tolist(q.add.accumulate(h)) == [2048.0] * 3  # accumulate keeps float16
    i8 = q.array([100, 100, 100], dtype="int8")
    assert (q.add.reduce(i8).item(), q.add.reduce(i8, dtype="int8").item()) == (300, 44)
    assert tolist(q.add.accumulate(i8, dtype="int8")) == [100, -56, 44]
    assert tolist(q.add.reduceat(i8, [0, 2], dtype="int8")) == [-56, 100]
    assert tolist(q.logical_and.accumulate([1, 0, 1])) == [True, False, False]
    assert tolist(q.logical_xor.reduceat([1, 1, 0, 1], [0, 2])) == [False, True]


def test_scalar_alias_follows_the_result_dtype():
    ll = q.array([1, 2, 3], dtype="longlong")
    assert type(q.add.reduce(ll)) is q.LongLongScalar
    assert q.add.accumulate(ll).dtype.char == q.add.reduceat(ll, [0]).dtype.char == "q"
    assert q.add.accumulate(ll, dtype="float64").dtype.char == "d"
    assert type(q.add.reduce(q.array([1, 2], dtype="int32"))) is q.Int64Scalar


# --- identities, initial, where --------------------------------------------------------------

@pytest.mark.parametrize("ufunc, dtype, expected", [
    ("add", "float64", 0.0), ("add", "int8", 0), ("multiply", "int64", 1), ("multiply", "float32", 1.0),
    ("bitwise_and", "int8", -1), ("bitwise_and", "uint8", 255), ("bitwise_and", "bool", True),
    ("bitwise_or", "int32", 0), ("bitwise_xor", "uint16", 0), ("gcd", "int64", 0), ("hypot", "float64", 0.0),
    ("logaddexp", "float64", -math.inf), ("logaddexp2", "float32", -math.inf), ("logical_and", "float64", True),
    ("logical_or", "int64", False), ("logical_xor", "bool", False),
])
def test_empty_reduction_gives_the_identity(ufunc, dtype, expected):
    result = getattr(q, ufunc).reduce(q.zeros(0, dtype=dtype))
    assert result.item() == expected and type(result.item()) is type(expected)
    assert tolist(getattr(q, ufunc).reduce(q.zeros((3, 0), dtype=dtype), axis=1)) == [expected] * 3
    assert getattr(q, ufunc).reduce(filled(2, 1, dtype), where=False).item() == expected


@pytest.mark.parametrize("ufunc", ["maximum", "minimum", "fmax", "subtract", "divide", "power", "lcm"])
def test_empty_reduction_without_identity_fails(ufunc):
    for a, where in [(q.zeros((2, 0), dtype="int64"), True), (filled((2, 2), dtype="int64"), [[True], [False]])]:
        with pytest.raises(ValueError, match="^zero-size array to reduction operation which has no identity$"):
            getattr(q, ufunc).reduce(a, axis=1, where=where)
    assert getattr(q, ufunc).reduce(q.zeros((0, 2), dtype="int64"), axis=1).shape == (0,)  # no result element: no fold


@pytest.mark.parametrize("ufunc, data, initial, where, expected", [
    ("add", [1, 2], 10, True, 13), ("maximum", [1, 5], 7, True, 7), ("maximum", [], 3.5, True, 3.5),
    ("minimum", [4, 2], 3, True, 2), ("add", [1, 2], 1.9, True, 4), ("multiply", [2.0, 3.0], None, True, 6.0),
    ("subtract", [1, 2], 10, True, 7), ("add", [True, True], True, True, 3), ("maximum", [1, 9], 3, [True, False], 3),
    ("add", [[1, 2, 3], [4, 5, 6]], None, [True, False, True], [5, 0, 9]),
    ("add", [[1, 2, 3], [4, 5, 6]], None, [[True], [False]], [1, 2, 3]),
    ("add", [[1, 2, 3], [4, 5, 6]], 1, q.array([[1, 0, 1]]) == 1, [6, 1, 10]),
    ("add", [[1, 2], [3, 4]], None, None, [0, 0]), ("add", [[1, 2], [3, 4]], None, 2.5, [4, 6]),
])
def test_initial_and_where(ufunc, data, initial, where, expected):
    a = q.array(data) if data else q.zeros(0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning for a mask without out
        assert python(getattr(q, ufunc).reduce(a, initial=initial, where=where)) == expected


@pytest.mark.parametrize("shape, axis, expected", [
    ((2, 3), 1, (2, 1)), ((2, 3), None, (1, 1)), ((2, 3), (), (2, 3)), ((2, 3, 4), (0, 2), (1, 3, 1)),
    ((0, 3), 0, (1, 3)),
])
def test_keepdims_keeps_reduced_axes_as_length_one(shape, axis, expected):
    result = q.add.reduce(filled(shape), axis=axis, keepdims=True)
    assert isinstance(result, q.Array) and result.shape == expected


@pytest.mark.parametrize("value", [q.array(5), 5, q.array([5])[0]])
@pytest.mark.parametrize("axis", [None, 0, -1, ()])
def test_inputs_without_dimensions_reduce_to_a_scalar(value, axis):
    for keepdims in (False, True):
        result = q.add.reduce(value, axis=axis, keepdims=keepdims)
        assert type(result) is q.Int64Scalar and result.item() == 5
    assert tolist(q.maximum.reduce(value, axis=axis, out=q.zeros((), dtype="int64"))) == 5


# --- out ---------------------------------------------------------------------------------------

def test_out_receives_the_result_and_is_returned():
    a = q.array([[1, 2, 3], [4, 5, 6]])
    for out, axis, expected in [(q.zeros(3, dtype="int32"), 0, [5, 7, 9]), (q.zeros(2), 1, [6.0, 15.0]),
                                (q.zeros((2, 1)), (1,), [[6.0], [15.0]]), (q.zeros((), dtype="int64"), None, 21),
                                ((q.zeros(3),), 0, [5.0, 7.0, 9.0])]:
        returned = q.add.reduce(a, axis, None, out, isinstance(out, q.Array) and out.ndim == 2)
        assert returned is (out[0] if isinstance(out, tuple) else out) and tolist(returned) == expected
    for out in [None, (None,)]:
        assert tolist(q.add.reduce(a, out=out)) == [5, 7, 9]
        assert type(q.add.reduce(a, None, out=out)) is q.Int64Scalar


@pytest.mark.parametrize("out, error, text", [
    (q.zeros(2, dtype="int32"), TypeError, "cannot cast ufunc output from float64 to int32 with casting rule "
                                           "'same_kind'"),  # the cast is checked before the shape
    (q.zeros(3, dtype="int32"), TypeError, "cannot cast ufunc output from float64 to int32 with casting rule "
                                           "'same_kind'"),
    (q.zeros(2), ValueError, "output array has an incorrect shape"),
    (q.zeros((1, 3)), ValueError, "output array has an incorrect shape"),
    ((q.zeros(3), q.zeros(3)), ValueError, "out tuple has the wrong number of arrays"),
    ([0.0, 0.0, 0.0], TypeError, "out must be an array or a tuple of output arrays"),
    ((3,), TypeError, "out entries must be Quarvel arrays or None"),
])
def test_bad_out_is_refused_before_any_write(out, error, text):
    with pytest.raises(error, match=f"^{text}$"):
        q.add.reduce(filled((2, 3)), out=out)
    with pytest.raises(error, match=f"^{text}$"):
        q.add.accumulate(filled(3), out=out[..., :2] if isinstance(out, q.Array) else out)
    with pytest.raises(error, match=f"^{text}$"):
        q.add.reduceat(filled((2, 3)), [0, 0, 1], 1, out=out[..., :2] if isinstance(out, q.Array) else out)
    if isinstance(out, q.Array):
        assert set(tolist(out.reshape(-1))) == {0}


def test_out_sharing_the_input_is_read_before_written():
    a = q.array([1.0, 2.0, 3.0])
    assert q.add.accumulate(a, out=a) is a and tolist(a) == [1.0, 3.0, 6.0]
    b = q.array([[1, 2], [3, 4]])
    q.add.reduce(b, axis=0, out=b[0])
    assert tolist(b) == [[4, 6], [3, 4]]
    c = q.array([1, 2, 3, 4])
    q.add.reduceat(c, [2, 0], out=c[:2])
    assert tolist(c) == [3, 10, 3, 4]


# --- refusals ----------------------------------------------------------------------------------

A = filled((2, 3))
BOUNDS = "axis {} is out of bounds for array of dimension {}"
NO_LOOP = "no loop matching the specified signature and casting was found for ufunc 'less'"


@pytest.mark.parametrize("call, error, text", [
    # reduce: axes
    (lambda: q.maximum.reduce(A, 2), q.AxisError, BOUNDS.format(2, 2)),
    (lambda: q.maximum.reduce(A, -3), q.AxisError, BOUNDS.format(-3, 2)),
    (lambda: q.maximum.reduce(A, (0, 5)), q.AxisError, BOUNDS.format(5, 2)),
    (lambda: q.add.reduce(q.array(1.0), 1), q.AxisError, BOUNDS.format(1, 0)),
    (lambda: q.add.reduce(2.0, -2), q.AxisError, BOUNDS.format(-2, 0)),
    (lambda: q.add.reduce(q.array(1.0), (0,)), q.AxisError, BOUNDS.format(0, 0)),
    (lambda: q.maximum.reduce(A, (0, 0)), ValueError, "repeated axis in `axis` argument"),
    (lambda: q.maximum.reduce(A, (1, -1)), ValueError, "repeated axis in `axis` argument"),
    (lambda: q.maximum.reduce(A, True), TypeError, "an integer is required"),
    (lambda: q.maximum.reduce(A, (0, False)), TypeError, "an integer is required"),
    (lambda: q.maximum.reduce(A, [0, 1]), TypeError, "'list' object cannot be interpreted as an integer"),
    (lambda: q.maximum.reduce(A, (5, 0.5)), TypeError, "'float' object cannot be interpreted as an integer"),
    (lambda: q.maximum.reduce(A, 2**64), OverflowError, "Python int too large to convert to C long"),
    (lambda: q.subtract.reduce(A, None), ValueError,
     "reduction operation 'subtract' is not reorderable, so at most one axis may be specified"),
    (lambda: q.power.reduce(A, (1, 0)), ValueError,
     "reduction operation 'power' is not reorderable, so at most one axis may be specified"),
    # reduce: arguments
    (lambda: q.add.reduce(A, 0, None, None, False, None, True, 1), TypeError,
     r"reduce\(\) takes at most 7 positional arguments \(8 given\)"),
    (lambda: q.add.reduce(A, casting="no"), TypeError, r"reduce\(\) got an unexpected keyword argument 'casting'"),
    (lambda: q.add.reduce(A, array=A), TypeError, r"reduce\(\) got an unexpected keyword argument 'array'"),
    (lambda: q.add.reduce(A, 0, axis=0), TypeError, "got multiple values for argument 'axis'"),
    (lambda: q.add.reduce(A, 0, None, None, False, 0, True, where=True), TypeError,
     "got multiple values for argument 'where'"),
    (lambda: q.add.reduce(A, keepdims=1.0), TypeError, "integer argument expected, got float"),
    (lambda: q.add.reduce(A, keepdims=None), TypeError, "'NoneType' object cannot be interpreted as an integer"),
    (lambda: q.add.reduce(A, keepdims=2**31), OverflowError, "Python int too large to convert to C int"),
    (lambda: q.add.reduce(A, keepdims=2**63), OverflowError, "Python int too large to convert to C long"),
    (lambda: q.add.reduce(A, dtype="nope"), ValueError, 'unsupported preview dtype "nope"'),
    (lambda: q.less.reduce(filled(2, dtype="int64")), TypeError, NO_LOOP),
    (lambda: q.divmod.reduce(A), TypeError, "divmod is not a binary reduction ufunc"),
    (lambda: q.sqrt.reduce(A), TypeError, "sqrt is not a binary reduction ufunc"),
    (lambda: q.add.reduce(A, initial="x"), TypeError,
     "numeric arrays accept Python bool, int, float, and complex scalar values"),
    (lambda: q.add.reduce(A, initial=2**70), OverflowError, "Python int is outside the supported 64-bit numeric range"),
    (lambda: q.add.reduce(2**70), OverflowError, "Python int is outside the supported 64-bit numeric range"),
    (lambda: q.add.reduce(10**400, dtype="float64"), OverflowError, "int too large to convert to float"),
    (lambda: q.add.reduce(A, where=q.array([1, 0, 1])), TypeError, "where must be boolean"),
    (lambda: q.add.reduce(A, where=[[[True]]]), ValueError, "where mask cannot be broadcast to the reduction input"),
    (lambda: q.add.reduce(A, where=[True, False]), ValueError,
     r"operands could not be broadcast together with shapes \[2, 3\] \[2\]"),
    (lambda: q.add.reduce(q.array(1.0), where=[True]), ValueError,
     "where mask cannot be broadcast to the reduction input"),
    # accumulate
    (lambda: q.add.accumulate(A, 2), q.AxisError, BOUNDS.format(2, 2)),
    (lambda: q.add.accumulate(A, -3), q.AxisError, BOUNDS.format(-3, 2)),
    (lambda: q.add.accumulate(q.array(1)), q.AxisError, BOUNDS.format(0, 0)),
    (lambda: q.add.accumulate(3.0), q.AxisError, BOUNDS.format(0, 0)),
    (lambda: q.add.accumulate(A, None), ValueError, "accumulate does not allow multiple axes"),
    (lambda: q.add.accumulate(A, axis=()), ValueError, "accumulate does not allow multiple axes"),
    (lambda: q.add.accumulate(A, (0, 1)), ValueError, "accumulate does not allow multiple axes"),
    (lambda: q.add.accumulate(A, True), TypeError, "an integer is required"),
    (lambda: q.add.accumulate(A, (False,)), TypeError, "an integer is required"),
    (lambda: q.add.accumulate(A, 1.0), TypeError, "'float' object cannot be interpreted as an integer"),
    (lambda: q.add.accumulate(A, ((0,),)), TypeError, "'tuple' object cannot be interpreted as an integer"),
    (lambda: q.add.accumulate(A, 2**64), OverflowError, "Python int too large to convert to C long"),
    (lambda: q.less.accumulate(filled(2, dtype="int64")), TypeError, NO_LOOP + " accumulate"),
    (lambda: q.divmod.accumulate(A), TypeError, "divmod is not a binary accumulation ufunc"),
    (lambda: q.negative.accumulate(A), TypeError, "negative is not a binary accumulation ufunc"),
    (lambda: q.add.accumulate(A, 0, None, None, 1), TypeError,
     r"accumulate\(\) takes at most 4 positional arguments \(5 given\)"),
    (lambda: q.add.accumulate(A, where=True), TypeError, "unexpected keyword argument 'where'"),
    (lambda: q.add.accumulate(A, 0, dtype=None, axis=1), TypeError, "got multiple values for argument 'axis'"),
    # reduceat
    (lambda: q.add.reduceat([1, 2, 3], [-1]), ValueError, "index out of bounds"),
    (lambda: q.add.reduceat([1, 2, 3], [3]), ValueError, "index out of bounds"),
    (lambda: q.add.reduceat([1, 2, 3], q.array([0, 5, 2**63], dtype="uint64")), ValueError, "index out of bounds"),
    (lambda: q.add.reduceat([1, 2, 3], q.array([2**63], dtype="uint64")), ValueError, "index too large"),
    (lambda: q.add.reduceat([1, 2, 3], [0.0]), TypeError, "indices must be integer values"),
    (lambda: q.add.reduceat([1, 2, 3], [True]), TypeError, "indices must be integer values"),
    (lambda: q.add.reduceat([1, 2, 3], [0, 1j]), TypeError, "indices must be integer values"),
    (lambda: q.add.reduceat([1, 2, 3], 0), ValueError, "indices must be one-dimensional"),
    (lambda: q.add.reduceat([1, 2, 3], [[0]]), ValueError, "indices must be one-dimensional"),
    (lambda: q.add.reduceat(q.array(1), "not looked at"), q.AxisError, BOUNDS.format(0, 0)),
    (lambda: q.add.reduceat([[1]], [0], 2), q.AxisError, BOUNDS.format(2, 2)),
    (lambda: q.add.reduceat([1], [0], None), ValueError, "reduceat does not allow multiple axes"),
    (lambda: q.less.reduceat(filled(2, dtype="int64"), [0]), TypeError, NO_LOOP + " reduceat"),
    (lambda: q.sqrt.reduceat([1.0], [0]), TypeError, "sqrt is not a binary reduceat ufunc"),
    (lambda: q.divmod.reduceat([1.0], [0]), TypeError, "divmod is not a binary reduceat ufunc"),
    (lambda: q.add.reduceat(A, [0], 0, None, None, 1), TypeError,
     r"reduceat\(\) takes at most 5 positional arguments \(6 given\)"),
    (lambda: q.add.reduceat(A, indices=[0], initial=0), TypeError, "unexpected keyword argument 'initial'"),
    (lambda: q.add.reduceat(A, [0], indices=[0]), TypeError,
     r"argument for reduceat\(\) given by name \('indices'\) and position \(2\)"),
])
def test_refusals(call, error, text):
    with pytest.raises(error, match=f"^{text}$"):
        call()


@pytest.mark.parametrize("call", [lambda: q.add.reduce(), lambda: q.add.accumulate(), lambda: q.add.reduceat(A)])
def test_missing_leading_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_parameters_by_position_or_keyword_agree():
    a = q.array([[1, 2], [3, 4]])
    o, o2 = q.zeros((2, 1)), q.zeros((2, 1))
    assert q.add.reduce(a, 1, "float64", o, True, 10, [True, False]) is o and tolist(o) == [[11.0], [13.0]]
    q.add.reduce(a, where=[True, False], initial=10, keepdims=True, out=o2, dtype="float64", axis=1)
    assert tolist(o2) == tolist(o)
    assert tolist(q.add.accumulate(a, (1,), "int8")) == tolist(q.add.accumulate(a, dtype="int8", axis=-1))
    assert tolist(q.add.reduceat(a, [1, 0], 1, None, None)) == tolist(q.add.reduceat(a, indices=[1, 0], axis=1))
    assert tolist(q.add.reduceat([1, 2, 3, 4], q.array([3, 1], dtype="uint8"))) == [4, 9]


@pytest.mark.parametrize("call", [lambda: q.add.reduce(filled(2), 3), lambda: q.add.accumulate(filled(2), 3),
                                  lambda: q.add.reduceat(filled(2), [0], 3)])
def test_axis_error_is_the_module_class_of_the_moment(call, monkeypatch):
    for caught in (q.AxisError, ValueError, IndexError):
        with pytest.raises(caught, match=f"^{BOUNDS.format(3, 1)}$"):
            call()

    class Replacement(Exception):
        pass

    monkeypatch.setattr(q, "AxisError", Replacement)
    with pytest.raises(Replacement):
        call()
    monkeypatch.setattr(q, "AxisError", 3)
    with pytest.raises(TypeError):
        call()
    monkeypatch.delattr(q, "AxisError")
    with pytest.raises(AttributeError):
        call()


# --- sizes and fault reports ---------------------------------------------------------------------

@pytest.mark.impossible_allocation
def test_result_too_large_to_hold_is_a_memory_error():
    with pytest.raises(MemoryError):
        q.add.reduce(q.zeros((0, 2**40)), axis=0)


def test_result_size_is_checked_before_the_fold():
    with pytest.raises(ValueError, match="^array shape or byte strides exceed supported limits$"):
        q.add.reduce(q.zeros((0, 2**61), dtype="int8"), axis=0)  # int64 sums: 2**64 bytes
    assert q.add.reduce(q.zeros((0, 2**40)), axis=1).shape == (0,)
    assert q.add.accumulate(q.zeros((2**40, 0)), axis=0).shape == (2**40, 0)
    assert q.add.reduceat(q.zeros((2**40, 0)), [], axis=0).shape == (0, 0)


def runtime_warnings(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return [str(w.message) for w in caught]


@pytest.mark.parametrize("call, reported", [
    (lambda: q.multiply.reduce(q.array([1e200, 1e200, 1e200, 1e200])), ["overflow encountered in multiply"]),
    (lambda: q.multiply.reduce(filled((2, 3), 1e300), axis=None), ["overflow encountered in multiply"]),
    (lambda: q.divide.accumulate(q.array([1.0, 0.0, 0.0])), ["divide by zero encountered in divide"]),
    (lambda: q.divide.accumulate(q.array([0.0])), []),  # a first element is never classified
    (lambda: q.divide.reduceat(q.array([1.0, 0.0, 0.0, 0.0]), [0, 2]),
     ["divide by zero encountered in divide", "invalid value encountered in divide"]),
    (lambda: q.divide.reduceat(q.array([0.0, 0.0]), [0, 1]), []),
    (lambda: q.add.reduce(q.array([math.inf, -math.inf])), ["invalid value encountered in add"]),
    (lambda: pytest.raises(ValueError, q.divide.reduce, q.array([1.0, 0.0]), out=q.zeros(2)), []),
])
def test_one_report_per_method_call(call, reported):
    assert runtime_warnings(call) == reported


def test_report_comes_after_out_is_written():
    out = q.zeros(2)
    with q.errstate(divide="raise"), pytest.raises(FloatingPointError, match="^divide by zero encountered in divide$"):
        q.divide.accumulate(q.array([1.0, 0.0]), out=out)
    assert tolist(out) == [1.0, math.inf]
    out = q.zeros(())
    with q.errstate(over="raise"), pytest.raises(FloatingPointError, match="^overflow encountered in multiply$"):
        q.multiply.reduce(q.array([1e300, 1e300]), out=out)
    assert tolist(out) == math.inf
