"""Small outers, `at` through one index array and arrays from flat lists of
floats take short roads; each must give what the general road gives (the
element path): values, dtypes, layouts, warnings, fault reports and errors."""
import itertools

import pytest

import quarvel as q
from element_path import check
from helpers import LIMITS, raises, shares_buffer, tolist


def made(values, dtype, views=()):
    return ("array", {"values": values, "dtype": dtype, "order": "C", "views": list(views)})


SPECIAL = [1.0, -0.0, 0.0, float("inf"), -float("inf"), float("nan"), 1e308, -3.5, 5e-324, 2.0]
INTS = [0, 1, -1, 127, -128, 3, 2, -7]


def values_for(code):
    base = code.lstrip("<>")
    if base == "?":
        return [True, False, True, True]
    if base[0] in "iu":
        return [abs(v) % 100 if base[0] == "u" else v for v in INTS]
    if base[0] == "c":
        return [complex(x, y) for x, y in zip(SPECIAL, reversed(SPECIAL))]
    return SPECIAL


@pytest.mark.parametrize("name", ["add", "multiply", "true_divide", "power", "less", "arctan2", "logaddexp",
                                  "maximum", "floor_divide", "divmod"])
@pytest.mark.parametrize("left, right", [("f8", "f8"), ("f4", "i2"), ("u1", "?"), ("c16", "f8"), ("g", "f8"),
                                         (">f8", "<f4"), ("f2", "f2"), ("i8", "i8"), ("G", "c8")])
def test_small_outers_of_every_kind_of_operand(element_path, name, left, right):
    # Faults of every kind (overflow, zero division, invalid), and loops that
    # refuse elements or have two outputs, which keep to the general road.
    if name in ("arctan2", "logaddexp") and "c" in left + right or name == "floor_divide" and "c" in left + right:
        return
    steps = [made(values_for(left), left), made(values_for(right)[:5], right),
             ("ufunc", name, "outer", (("ref", 0), ("ref", 1)), {})]
    check(element_path, steps)


@pytest.mark.parametrize("shapes", [((11,), (11,)), ((12,), (11,)), ((128,), (1,)), ((1,), (129,)), ((2, 4), (4, 4)),
                                    ((2, 4), (2, 4, 2)), ((64,), (2,)), ((65,), (2,))])
def test_outers_about_the_size_of_one_gathering(element_path, shapes):
    def operand(shape, start):
        count = 1
        for n in shape:
            count *= n
        return ("array", {"values": [float((start + 3 * i) % 17 - 8) for i in range(count)], "dtype": "float64",
                          "order": "C", "views": []}), shape

    steps = []
    for k, (step, shape) in enumerate([operand(shapes[0], 1), operand(shapes[1], 5)]):
        steps += [step, ("reshape", 2 * k, shape, "C")]
    steps.append(("ufunc", "true_divide", "outer", (("ref", 1), ("ref", 3)), {}))
    check(element_path, steps)


LAYOUTS = [
    ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], "float64", [slice(None, None, -2)]),
    ([[1, 2, 3], [4, 5, 6]], "int16", ["T"]),
    ([[1.5, 2.5, 3.5], [4.5, 5.5, 6.5]], "float32", [(slice(None), slice(1, None))]),
    (3.0, "float64", []),
    ([[[1, 2], [3, 4]], [[5, 6], [7, 8]]], "uint8", [(slice(None), slice(None, None, -1), 0)]),
    ([7.5], "complex128", []),
]


@pytest.mark.parametrize("a, b", list(itertools.product(range(len(LAYOUTS)), repeat=2)))
@pytest.mark.parametrize("kwargs", [{}, {"dtype": "float32"}, {"order": "F"}, {"order": "K"}, {"where": True}])
def test_outers_of_strided_zero_dimension_and_many_axis_operands(element_path, a, b, kwargs):
    steps = [made(*LAYOUTS[a]), made(*LAYOUTS[b]), ("ufunc", "subtract", "outer", (("ref", 0), ("ref", 1)), kwargs)]
    check(element_path, steps)


def test_outers_into_an_output_that_overlaps_their_operands(element_path):
    base = made([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0], "float64")
    steps = [base, ("reshape", 0, (3, 3), "C"), ("getitem", 1, 0), ("getitem", 1, (slice(None), 2)),
             ("ufunc", "add", "outer", (("ref", 2), ("ref", 3)), {"out": ("ref", 1)}),
             ("ufunc", "multiply", "outer", (("ref", 3), ("ref", 2)), {"out": ("ref", 1), "dtype": "float64"})]
    check(element_path, steps)


def test_outer_of_one_array_with_itself_and_with_a_number():
    a = q.array([1.0, 2.0, 3.0])
    r = q.multiply.outer(a, a)
    assert r.shape == (3, 3) and r.strides == (24, 8) and r.dtype.str == "<f8"
    assert [[r[i, j].item() for j in range(3)] for i in range(3)] == [[1.0, 2.0, 3.0], [2.0, 4.0, 6.0],
                                                                       [3.0, 6.0, 9.0]]
    r = q.multiply.outer(a, 2)
    assert r.shape == (3,) and [r[i].item() for i in range(3)] == [2.0, 4.0, 6.0]


def test_outer_faults_are_reported_once_and_can_raise():
    a = q.array([1e308, 0.0])
    with q.errstate(over="raise", invalid="ignore"):
        raises(FloatingPointError, "overflow encountered in multiply", q.multiply.outer, a, a)
    faults = []
    with q.errstate(all="call", call=lambda *args: faults.append(args)):
        q.true_divide.outer(a, q.array([0.0, 1.0]))
    assert [fault[0] for fault in faults] == ["divide by zero", "invalid value"]


AT_KEYS = [[0, 1], [-1, -5, 2], [4, 4, 4, 0], [0, 5], [-6], [2, -9, 7], [-2**63], [2**63 - 1],
           [i % 5 for i in range(255)], [(i * 7) % 5 for i in range(256)], [(i * 3) % 5 - 5 for i in range(257)],
           [[0, 1], [1, 0]], [[[4]], [[-4]]], [True, False, True, False, True], [3, True]]


@pytest.mark.parametrize("key", AT_KEYS)
@pytest.mark.parametrize("target", [[], [slice(None, None, 2)], [slice(None, None, -1)], [slice(1, None)],
                                    [slice(2, 3)]])
def test_at_through_one_index_list_on_every_layout(element_path, key, target):
    # The 1-element target (slice(2, 3)) has no step of its own.
    steps = [made(list(range(10)), "float64", target), ("ufunc", "add", "at", (("ref", 0), key, 0.5), {})]
    check(element_path, steps)


@pytest.mark.parametrize("index", [("int8", [0, -1, 3]), ("uint64", [4, 0, 4]), ("int32", [[1, 2], [2, 1]]),
                                   ("int64", [5]), ("uint8", [200]), ("bool", [True, False, False, True, True]),
                                   ("int16", [])])
@pytest.mark.parametrize("value", [2.0, ("array", "float32", [1.0]), ("array", "int8", "same")])
def test_at_through_index_arrays_and_broadcast_values(element_path, index, value):
    steps = [made([1.0, 2.0, 3.0, 4.0, 5.0], "float64"), made(index[1], index[0]), ("getitem", 1, (slice(None, None, -1),)
                                                                                    if index[0] != "bool" else ())]
    key = ("ref", 2)
    if isinstance(value, tuple):
        values = value[2]
        if values == "same":
            values = [(-1) ** i for i in range(len(index[1]) if index[0] != "bool" else sum(index[1]))]
            if index[0] == "int32":
                values = [[1, -1], [-1, 1]]
        steps.append(made(values, value[1]))
        value = ("ref", 3)
    steps.append(("ufunc", "multiply", "at", (("ref", 0), key, value), {}))
    check(element_path, steps)


@pytest.mark.parametrize("key", [([0, 1], [1, 0]), ([-1], slice(None)), (0, [1, 1, 0]), ([1, 1],), ([[0], [1]], [0, 1])])
def test_at_through_tuples_of_index_arrays_on_a_matrix(element_path, key):
    steps = [made([[1, 2], [3, 4]], "int32"), ("ufunc", "add", "at", (("ref", 0), key, 10), {})]
    check(element_path, steps)


@pytest.mark.parametrize("indices, text", [
    ([0, 9, -11], "index 9 is out of bounds for axis 0 with size 5"),
    ([-11, 9], "index -11 is out of bounds for axis 0 with size 5"),
    ([2**63 - 1], "index 9223372036854775807 is out of bounds for axis 0 with size 5"),
])
def test_at_out_of_range_reports_the_first_bad_index_and_writes_nothing(indices, text):
    for target in (q.array([1.0, 2.0, 3.0, 4.0, 5.0]), q.array([1.0] * 10)[::2], q.array([1.0] * 5)[::-1]):
        before = [target[i].item() for i in range(5)]
        raises(IndexError, text, q.add.at, target, indices, 1.0)
        assert [target[i].item() for i in range(5)] == before


@pytest.mark.parametrize("data", [
    [1.0, 2.0, 3.0], [-0.0, float("nan"), float("inf"), 5e-324, -1e308], [2.5], [1.0, 2, 3.0], [1.0, True],
    [1.0, 1j], [1.0, [2.0]], [[1.0, 2.0], [3.0, 4.0]], [[1.0, 2.0], [3.0]], (1.0, 2.0), [1.0, 2**63], [1.0, 2**64],
    [1.0, -2**63 - 1], [], [[]], [1.0, None], [1.0, "2"], [float("-nan")],
])
@pytest.mark.parametrize("kwargs", [{}, {"order": "F"}, {"dtype": "float64"}, {"dtype": "float32"}, {"copy": False}])
def test_arrays_from_flat_lists_against_the_element_path(element_path, data, kwargs):
    check(element_path, [("construct", data, kwargs)])


class Measured(float):
    pass


def test_arrays_from_lists_of_float_subclasses_and_deep_nesting():
    a = q.array([1.5, Measured(2.5)])
    assert a.dtype.str == "<f8" and [a[0].item(), a[1].item()] == [1.5, 2.5]
    deep = [1.0]
    for _ in range(63):
        deep = [deep]
    assert q.array(deep).ndim == 64
    raises(ValueError, None, q.array, [deep])
    raises(ValueError, "input sequence is ragged", q.array, [[1.0, 2.0], [3.0]])
    raises(OverflowError, "Python int is outside the supported 64-bit numeric range", q.array, [1.0, 2**64])


class Length(int):
    pass


class Index:
    def __index__(self):
        return 3


def layout(a):
    return (a.shape, a.strides, a.dtype.name, a.dtype.char, a.dtype.byteorder, a.c_contiguous, a.f_contiguous,
            a.writeable, tolist(a))


# zeros(n) with a plain int up to 1024 is made in one step; each result must
# be what a one-axis shape gives, and every other argument keeps its own road
@pytest.mark.parametrize("function", [q.zeros, q.empty])
@pytest.mark.parametrize("length", [0, 1, 3, 1024, 1025, Length(2), Index()])
def test_zeros_of_a_length_as_a_one_axis_shape(function, length):
    a, b = function(length), function((length,))
    assert layout(a) == layout(b) and a.shape == (int(length.__index__()),)
    assert a.size == 0 or not shares_buffer(a, function(length))


@pytest.mark.parametrize("length, error, text", [
    (-1, ValueError, "negative dimensions are not allowed"), (-(2**63), ValueError, "negative dimensions are not allowed"),
    (2**63, OverflowError, None), (-(2**64), OverflowError, None), (True, TypeError,
     "shape dimensions must be integers, not booleans"), (False, TypeError, "shape dimensions must be integers, not booleans"),
    (2**59, MemoryError, "array allocation failed"), (2**61, ValueError, LIMITS), (1.0, TypeError, None),
    ("3", TypeError, None)])
def test_zeros_of_a_bad_length_refused_as_before(length, error, text):
    for function in (q.zeros, q.empty):
        assert str(raises(error, text, function, length)) == str(raises(error, text, function, (length,)))
