"""reduce, accumulate and reduceat as fast methods: their arguments by position
and keyword, the axis and keepdims forms on small arrays, the order of their
refusals, and the folds run in place over every layout and dtype against the
element-at-a-time path. Oracles: sums over nested Python lists."""
import itertools

import pytest
from hypothesis import given, settings, strategies as st

import quarvel as q
from element_path import check
from helpers import raises, tolist
from test_differential import FIXED, dtype_text, nested, values_for

BOUNDS = "axis {} is out of bounds for array of dimension {}"
NOT_INDEX = "'{}' object cannot be interpreted as an integer"
C_LONG = "Python int too large to convert to C long"
ROWS = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
CUBE = [[[1, 2], [3, 4]], [[5, 6], [7, 8]]]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Refusing:
    def __index__(self):
        raise RuntimeError("no index")


def shape_of(nested_list):
    shape = []
    while isinstance(nested_list, list):
        shape.append(len(nested_list))
        nested_list = nested_list[0]
    return tuple(shape)


def summed(data, axes, keepdims):
    """The sum over `axes` of nested lists, as nested lists (a number for none left)."""
    shape = shape_of(data)
    kept = [i for i in range(len(shape)) if i not in axes]
    result_shape = [1 if i in axes else n for i, n in enumerate(shape) if keepdims or i in kept]
    totals = {}
    for position in itertools.product(*map(range, shape)):
        value = data
        for c in position:
            value = value[c]
        key = tuple(c for i, c in enumerate(position) if i in kept)
        totals[key] = totals.get(key, 0) + value
    flat = [totals[key] for key in itertools.product(*[range(shape[i]) for i in kept])]

    def nest(values, dims):
        if not dims:
            return values[0]
        step = len(values) // dims[0]
        return [nest(values[i * step:(i + 1) * step], dims[1:]) for i in range(dims[0])]

    return nest(flat, result_shape), tuple(result_shape)


def as_axes(axis, ndim):
    if axis is None:
        return set(range(ndim))
    items = axis if isinstance(axis, tuple) else (axis,)
    return {int(a) % ndim for a in items}


AXES = [None, 0, 1, -1, -2, (), (0,), (1,), (-1,), (0, 1), (1, 0), (-1, 0), Index(1), (Index(0), Index(-1))]
KEEPDIMS = [False, True, 0, 1, -1, Index(1), Index(0)]


@pytest.mark.parametrize("data, dtype", [(ROWS, "float64"), (CUBE, "int32")])
@pytest.mark.parametrize("axis", AXES, ids=repr)
@pytest.mark.parametrize("keepdims", KEEPDIMS, ids=repr)
def test_reduce_along_each_axis_form(data, dtype, axis, keepdims):
    a = q.array(data, dtype=dtype)
    expected, shape = summed(data, as_axes(axis, a.ndim), bool(int(keepdims)))
    result = q.add.reduce(a, axis=axis, keepdims=keepdims)
    if shape:
        assert result.shape == shape and tolist(result) == expected
        assert result.dtype == q.DType("float64" if dtype == "float64" else "int64")
    else:
        assert not isinstance(result, q.Array) and result == expected
    # The same by position.
    again = q.add.reduce(a, axis, None, None, keepdims)
    assert (tolist(again) if shape else again) == expected


@pytest.mark.parametrize("axis, error, text", [
    (2, q.AxisError, BOUNDS.format(2, 2)), (-3, q.AxisError, BOUNDS.format(-3, 2)),
    ((0, 0), ValueError, "repeated axis in `axis` argument"), ((1, -1), ValueError, "repeated axis in `axis` argument"),
    ((0, 5), q.AxisError, BOUNDS.format(5, 2)), ((5, 0), q.AxisError, BOUNDS.format(5, 2)),
    ((5, 0.5), TypeError, NOT_INDEX.format("float")),  # every item converted before any is checked
    (1.5, TypeError, NOT_INDEX.format("float")), ("0", TypeError, NOT_INDEX.format("str")),
    ([0], TypeError, NOT_INDEX.format("list")), (True, TypeError, "an integer is required"),
    ((0, True), TypeError, "an integer is required"), (2 ** 70, OverflowError, C_LONG),
    ((-2 ** 70,), OverflowError, C_LONG), (Refusing(), RuntimeError, "no index")], ids=repr)
@pytest.mark.parametrize("keepdims", [False, True])
def test_reduce_refuses_each_bad_axis(axis, error, text, keepdims):
    raises(error, text, q.add.reduce, q.array(ROWS), axis=axis, keepdims=keepdims)
    raises(error, text, q.maximum.reduce, q.array(ROWS), axis, None, None, keepdims)


@pytest.mark.parametrize("axis, expected", [
    (None, 5.0), (0, 5.0), (-1, 5.0), ((), 5.0), (1, BOUNDS.format(1, 0)), (-2, BOUNDS.format(-2, 0)),
    ((0,), BOUNDS.format(0, 0)), ((-1, 0), BOUNDS.format(-1, 0)), (Index(1), BOUNDS.format(1, 0))], ids=repr)
def test_reduce_of_an_array_without_dimensions(axis, expected):
    for keepdims in (False, True):
        if isinstance(expected, str):
            raises(q.AxisError, expected, q.add.reduce, q.array(5.0), axis=axis, keepdims=keepdims)
            continue
        result = q.add.reduce(q.array(5.0), axis=axis, keepdims=keepdims)
        assert not isinstance(result, q.Array) and result == expected


@pytest.mark.parametrize("keepdims, error, text", [
    (0.5, TypeError, "integer argument expected, got float"), (1.0, TypeError, "integer argument expected, got float"),
    (2 ** 31, OverflowError, "Python int too large to convert to C int"),
    (-2 ** 31 - 1, OverflowError, "Python int too large to convert to C int"),
    (2 ** 70, OverflowError, C_LONG), ("x", TypeError, NOT_INDEX.format("str")),
    (None, TypeError, NOT_INDEX.format("NoneType")), (1j, TypeError, NOT_INDEX.format("complex")),
    (Refusing(), RuntimeError, "no index")], ids=repr)
def test_keepdims_refusals_come_while_the_arguments_are_read(keepdims, error, text):
    a = q.array(ROWS)
    raises(error, text, q.add.reduce, a, axis=0, keepdims=keepdims)
    raises(error, text, q.add.reduce, a, 0, None, None, keepdims)
    # Before the axis and the operand are looked at, after every keyword is known.
    raises(error, text, q.add.reduce, a, axis=7, keepdims=keepdims)
    raises(error, text, q.divmod.reduce, "not an array", keepdims=keepdims)
    raises(TypeError, "reduce() got an unexpected keyword argument 'bogus'", q.add.reduce, a, keepdims=keepdims,
           bogus=1)


@pytest.mark.parametrize("keepdims, shape", [(2 ** 31 - 1, (1, 3)), (-2 ** 31, (1, 3)), (False, (3,))], ids=repr)
def test_keepdims_is_any_index_within_the_c_int_range(keepdims, shape):
    assert q.add.reduce(q.array(ROWS), axis=0, keepdims=keepdims).shape == shape


A = q.array(ROWS)
MULTIPLE = "got multiple values for argument '{}'"

BINDING_REFUSALS = [
    (lambda: q.add.reduce(), "reduce() takes at least 1 positional argument (0 given)"),
    (lambda: q.add.reduce(array=A), "reduce() takes at least 1 positional argument (0 given)"),
    (lambda: q.add.accumulate(), "accumulate() takes at least 1 positional argument (0 given)"),
    (lambda: q.add.reduceat(A), "reduceat() missing required argument 'indices' (pos 2)"),
    (lambda: q.add.reduce(A, **{1: 2}), "keywords must be strings"),
    (lambda: q.add.accumulate(A, **{1: 2}), "keywords must be strings"),
    (lambda: q.add.reduce(A, 0, None, None, False, None, True, 1), "reduce() takes at most 7 positional arguments (8 given)"),
    # The count before any keyword, every keyword known before any is doubled.
    (lambda: q.add.reduce(A, 0, None, None, False, None, True, 1, bogus=1),
     "reduce() takes at most 7 positional arguments (8 given)"),
    (lambda: q.add.reduce(A, 0, axis=0, bogus=1), "reduce() got an unexpected keyword argument 'bogus'"),
    (lambda: q.add.reduce(A, 0, axis=0), MULTIPLE.format("axis")),
    # Doubles in parameter order, whatever the keywords' order.
    (lambda: q.add.reduce(A, 0, None, None, True, where=True, dtype=None), MULTIPLE.format("dtype")),
    (lambda: q.add.reduce(A, 0, None, None, True, 0, True, where=True), MULTIPLE.format("where")),
    (lambda: q.add.reduce(A, keepdims=True, casting="no"), "reduce() got an unexpected keyword argument 'casting'"),
    (lambda: q.add.reduce(A, **{"axis\0": 0}), "reduce() got an unexpected keyword argument 'axis\0'"),
    (lambda: q.add.accumulate(A, 0, None, None, 1), "accumulate() takes at most 4 positional arguments (5 given)"),
    (lambda: q.add.accumulate(A, 0, None, out=None, dtype=None), MULTIPLE.format("dtype")),
    (lambda: q.add.accumulate(A, 0, axis=1, where=True), "unexpected keyword argument 'where'"),
    (lambda: q.add.accumulate(A, keepdims=True), "unexpected keyword argument 'keepdims'"),
    (lambda: q.add.reduceat(A, [0], 0, None, None, 1), "reduceat() takes at most 5 positional arguments (6 given)"),
    (lambda: q.add.reduceat(A, [0], indices=[0]), "argument for reduceat() given by name ('indices') and position (2)"),
    (lambda: q.add.reduceat(A, [0], 0, axis=0), MULTIPLE.format("axis")),
    (lambda: q.add.reduceat(A, indices=[0], initial=0), "unexpected keyword argument 'initial'"),
]


@pytest.mark.parametrize("call, text", BINDING_REFUSALS)
def test_binding_refusals(call, text):
    raises(TypeError, text, call)


def test_a_keyword_name_without_utf8_form_fails_its_conversion():
    for method in (q.add.reduce, q.add.accumulate):
        with pytest.raises(UnicodeEncodeError):
            method(A, **{"\udc80": 1})


def test_parameters_by_position_and_by_keyword_agree():
    mask = [True, False, True]
    by_position = q.add.reduce(A, 1, "float32", None, True, 10, mask)
    by_keyword = q.add.reduce(A, where=mask, initial=10, keepdims=True, dtype="float32", axis=1)
    assert tolist(by_position) == tolist(by_keyword) == [[14.0], [20.0]]
    assert by_position.dtype == by_keyword.dtype == q.DType("float32")
    o = q.zeros(3)
    assert q.add.accumulate(q.array([1.0, 2.0, 3.0]), 0, None, o) is o and tolist(o) == [1.0, 3.0, 6.0]
    assert tolist(q.add.reduceat(A, [0, 2], 1, None, None)) == tolist(q.add.reduceat(A, axis=1, indices=[0, 2]))


@pytest.mark.parametrize("call, expected", [
    (lambda: q.maximum.reduce(q.zeros((0, 2)), 0, initial=-1.0), [-1.0, -1.0]),
    (lambda: q.add.reduce(q.zeros((0, 3)), axis=1), []),
    (lambda: q.add.reduce(q.zeros((2, 0)), axis=1, keepdims=True), [[0.0], [0.0]]),
    (lambda: q.add.accumulate(q.zeros((2, 0)), axis=1), [[], []]),
    (lambda: q.add.accumulate(q.zeros((0, 3)), axis=0), []),
    (lambda: q.add.accumulate(q.array([[1.0], [2.0]]), axis=1), [[1.0], [2.0]]),
    (lambda: q.multiply.accumulate(q.array([[1.0, 2.0, 3.0]]), axis=0), [[1.0, 2.0, 3.0]]),
    (lambda: q.add.accumulate(q.array([5], dtype="int8")), [5]),
])
def test_folds_over_empty_and_single_lines(call, expected):
    assert tolist(call()) == expected


# --- folds run in place against the element path ---------------------------------

FOLD_OPS = ["add", "multiply", "maximum", "fmin", "subtract", "logical_and", "logical_xor", "bitwise_or", "power"]
LAYOUTS = ["plain", "T", "reversed", "strided", "offset"]


@st.composite
def fold_array(draw):
    shape = tuple(draw(st.lists(st.integers(1, 3), min_size=1, max_size=3)))
    code = draw(st.sampled_from(FIXED))
    layout = draw(st.sampled_from(LAYOUTS))
    full, views = list(shape), []
    if layout == "T":
        full, views = full[::-1], ["T"]
    elif layout == "reversed":
        views = [tuple(slice(None, None, -1) for _ in shape)]
    elif layout == "strided":
        full[-1] *= 2
        views = [(Ellipsis, slice(None, None, 2))]
    elif layout == "offset":
        full[0] += 1
        views = [(slice(1, None),)]
    spec = {"values": nested(draw, tuple(full), values_for(code)), "dtype": dtype_text(code, draw(st.booleans())),
            "order": "C", "views": views}
    return spec, shape


@settings(max_examples=120, deadline=None)
@given(fold_array(), st.sampled_from(FOLD_OPS), st.data())
def test_small_folds_in_every_layout_against_the_element_path(element_path, array, name, data):
    draw = data.draw
    spec, shape = array
    ndim = len(shape)
    steps = [("array", spec)]
    axis = draw(st.integers(-ndim, ndim - 1))
    accumulate = {"axis": axis}
    reduce = {"axis": draw(st.sampled_from([None, axis, ()]) | st.sets(st.integers(0, ndim - 1)).map(tuple)),
              "keepdims": draw(st.booleans())}
    if draw(st.booleans()):
        reduce["initial"] = draw(st.sampled_from([0, 1, -0.0, 2.5]))
    if draw(st.integers(0, 3)) == 0:
        reduce["dtype"] = accumulate["dtype"] = draw(st.sampled_from(FIXED))
    steps += [("ufunc", name, "reduce", (("ref", 0),), reduce),
              ("ufunc", name, "accumulate", (("ref", 0),), accumulate),
              ("ufunc", name, "reduceat", (("ref", 0), [0, 0, shape[axis] - 1]), {"axis": axis})]
    check(element_path, steps)


def grid(values, dtype, shape, views=()):
    return [("array", {"values": values, "dtype": dtype, "order": "C", "views": []}),
            ("reshape", 0, shape, "C")] + [("getitem", 1 + i, view) for i, view in enumerate(views)]


GRID = [1.5, -2.0, 0.0, 4.25, float("nan"), -0.0, 7.0, float("inf"), 3.0, -1.0, 0.5, 2.0]


# accumulate and reduce run their folds over the input as it is, or staged
# when it is byte-swapped or of another dtype: both ways against the element path.
@pytest.mark.parametrize("dtype", ["float64", ">f8", "int32", ">i4", "float32"])
@pytest.mark.parametrize("views", [(), (slice(None, None, -1),), ((slice(None), slice(None, None, 2)),),
                                   ((slice(None), slice(1, 2)),), ((slice(0, 0),),)], ids=repr)
@pytest.mark.parametrize("method, kwargs", [
    ("accumulate", {"axis": 0}), ("accumulate", {"axis": 1}), ("accumulate", {"axis": 1, "dtype": "float64"}),
    ("reduce", {"axis": 0}), ("reduce", {"axis": 1}), ("reduce", {"axis": None}),
    ("reduce", {"axis": 0, "where": [True, False, True, True]}), ("reduce", {"axis": 1, "keepdims": True}),
])
def test_folds_over_operands_as_they_are_and_staged(element_path, dtype, views, method, kwargs):
    values = [int(v) if v == v and abs(v) != float("inf") else 0 for v in GRID] if "i" in dtype else GRID
    steps = grid(values, dtype, (3, 4), views)
    kwargs = dict(kwargs)
    if "where" in kwargs:
        steps.append(("array", {"values": kwargs["where"], "dtype": "bool", "order": "C", "views": []}))
        kwargs["where"] = ("ref", len(steps) - 1, slice(0, 2 if views == ((slice(None), slice(None, None, 2)),)
                                                         else 1 if views == ((slice(None), slice(1, 2)),) else 4))
        kwargs["initial"] = 0.0 if "i" not in dtype else 0
    steps.append(("ufunc", "add", method, (("ref", len(grid(values, dtype, (3, 4), views)) - 1),), kwargs))
    check(element_path, steps)


@pytest.mark.parametrize("dtype", ["float64", ">f8"])
def test_accumulate_into_its_own_input(element_path, dtype):
    steps = [("array", {"values": GRID[:6], "dtype": dtype, "order": "C", "views": []}),
             ("ufunc", "multiply", "accumulate", (("ref", 0),), {"out": ("ref", 0)}),
             ("ufunc", "add", "accumulate", (("ref", 0, slice(None, None, -1)),), {"out": ("ref", 0)})]
    check(element_path, steps)
