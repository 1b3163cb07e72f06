"""Subscripts: reading (basic views, advanced copies, scalar results) and
assignment (every key and value form, broadcasting, overlap, refusals that
write nothing). Oracle: the same keys on nested Python lists."""
import math

import pytest
from hypothesis import given, strategies as st

import quarvel as q
from helpers import (COMPLEX_DISCARD, LIMITS, NOT_NUMERIC, as_errors, flat, record, grid, raises, shares_buffer,
                     to_python, tolist)

BAD_KEY = "indices must be integers, slices, ellipsis, None, or integer arrays"
BAD_MASK = "boolean index shape did not match the indexed array dimensions"
TOO_MANY = "too many indices for array: array is {}-dimensional, but {} were indexed"
SEQUENCE = "setting an array element with a sequence"
SEQUENCE_TO_SCALAR = "cannot convert a sequence to a scalar array element"


def bounds(index, axis, size):
    return f"index {index} is out of bounds for axis {axis} with size {size}"


# --- reading ------------------------------------------------------------------

@pytest.mark.parametrize("key, shape, values", [
    # One element under a step whose byte stride would overflow.
    ((slice(None, None, 2**62),), (1, 3), [[0, 1, 2]]),
    ((slice(1, None, -2**62), slice(2, None, 2**63 - 1)), (1, 1), [[5]]),
    (q.array([1], dtype="u8")[0], (3,), [3, 4, 5])])
def test_basic_keys(key, shape, values):
    a = grid(2, 3)
    assert a[key].shape == shape and tolist(a[key]) == values and shares_buffer(a[key], a)


def test_zero_dimensional_and_64_dimensional_keys():
    a = q.array(7.5)
    assert a[()].item() == 7.5 and not isinstance(a[()], q.Array) and a[...].shape == () and a[None].shape == (1,)
    assert q.array(5)[True].shape == (1,) and q.array(1.0)[(None,) * 64].ndim == 64
    a = q.array([[1, 2]], dtype="q")  # the alias survives reads
    assert a[0].dtype.char == a[[0]].dtype.char == "q" and type(a[0, 1]) is q.LongLongScalar
    raises(IndexError, TOO_MANY.format(0, 1), q.array(7.5).__getitem__, 0)
    raises(ValueError, LIMITS, q.array(7.5).__getitem__, (None,) * 65)
    raises(ValueError, LIMITS, q.zeros((1,) * 63).__getitem__, (None, ..., None))


def test_one_element_slice_keeps_the_axis_stride():
    for dtype, key, values in [("i1", slice(None, None, 2**62), [7, 0, 0, 0, 0]),
                               ("d", slice(3, None, -2**62), [0, 0, 0, 7, 0])]:
        a = q.zeros(5, dtype=dtype)
        a[key] = 7
        assert a[key].strides == a.strides and tolist(a) == values


KEY_REFUSALS = [
    ((..., ...), IndexError, "an index can only have a single ellipsis"),
    (1.0, IndexError, BAD_KEY), (2**70, IndexError, BAD_KEY), ((0, ..., 0, 0), IndexError, TOO_MANY.format(2, 3)),
    ((0, [[True, False, True]]), IndexError, TOO_MANY.format(2, 3)),  # a nested mask takes its own axes
    (-3, IndexError, bounds(-3, 0, 2)), ((0, 3), IndexError, bounds(3, 1, 3)),
    (slice(None, None, 0), ValueError, "slice step cannot be zero"),
    ([0, 1j], IndexError, "index arrays must contain only integers or booleans"),
    ([[0], [1, 0]], IndexError, "index arrays must be rectangular"),
    ([], IndexError, BAD_MASK), (q.array([True, False, True]), IndexError, BAD_MASK),
    ([0, -3], IndexError, bounds(-3, 0, 2)),
    ([0, "x"], TypeError, NOT_NUMERIC),
    (q.array([0j]), IndexError, "index arrays must have an integer or boolean dtype"),
    (([0, 1], [0, 1, 2]), IndexError, "invalid advanced index array"),
    (q.array([2**63], dtype="u8"), IndexError, bounds(2**63 - 1, 0, 2))]


@pytest.mark.parametrize("key, error, text", KEY_REFUSALS)
def test_key_refusals(key, error, text):
    a = grid(2, 3)
    raises(error, text, a.__getitem__, key)
    assert tolist(a) == [[0, 1, 2], [3, 4, 5]]


def test_nested_index_lists():
    assert grid(2)[eval("[" * 64 + "0" + "]" * 64)].ndim == 64
    raises(IndexError, "index arrays may be nested at most 64 levels", grid(2).__getitem__, eval("[" * 65 + "0" + "]" * 65))


@pytest.mark.parametrize("shape, key, result", [
    ((3,), [True, False, True], [0, 2]), ((3,), ((0, 2),), [0, 2]), ((3,), [[2, 2], [0, 1]], [[2, 2], [0, 1]]),
    ((3,), [-1], [2]), ((3,), q.array(2), 2), ((2, 3), q.array([[True, False, True], [False, False, True]]), [0, 2, 5]),
    ((2, 3), [[True, False, True], [False, False, True]], [0, 2, 5]), ((2, 3), [False, True], [[3, 4, 5]]),
    ((2, 3), (slice(None), [True, False, True]), [[0, 2], [3, 5]]), ((3, 4), ([0, 2], slice(1, 3)), [[1, 2], [9, 10]]),
    ((3, 4), ([0, 2], [3, 0]), [3, 8]), ((2, 3), (0, False), []),
    ((2, 3), q.array([True])[0], [[[0, 1, 2], [3, 4, 5]]]),
    ((2, 3), (0, True), [[0, 1, 2]]), ((3, 4), ([[0], [2]], [1, 3]), [[1, 3], [9, 11]]),
    ((2, 3), (slice(None), [[0, 1], [2, 2]]), [[[0, 1], [2, 2]], [[3, 4], [5, 5]]])])
def test_advanced_keys_copy(shape, key, result):
    a = grid(*shape)
    picked = a[key]
    assert to_python(picked) == result
    if isinstance(picked, q.Array) and picked.size:
        picked[(0,) * picked.ndim] = 99
        assert tolist(a) == tolist(grid(*shape))


@pytest.mark.parametrize("key, shape", [
    ((slice(None), [[0, 1, 2], [1, 2, 3]], [0, 1, 2]), (5, 2, 3)),
    (([[0, 1, 2], [1, 2, 3]], slice(None), [0, 1, 2]), (2, 3, 6)),
    ((0, slice(None), [0, 1]), (2, 6)), ((slice(None), 0, [0, 1]), (5, 2)), (([[0], [1]], [[0, 1, 2]]), (2, 3, 7)),
    ((None, [0, 1], slice(None), 1), (2, 1, 6)), ((..., [1, 2]), (5, 6, 2)),
    ((slice(None, None, 2**62), [0, 1]), (1, 2, 7))])
def test_placement_of_advanced_dimensions(key, shape):
    assert grid(5, 6, 7)[key].shape == shape


# A gathered copy is laid out with the index dimensions outermost (in their
# own order) and the sliced ones inside, by decreasing source stride.
@pytest.mark.parametrize("shape, key, strides", [
    ((2, 3, 4), (slice(None), [[0, 1], [1, 2]], slice(None)), (32, 128, 64, 8)),
    ((2, 3, 4), ([[0, 1], [1, 0]], slice(None), [[0, 1], [2, 3]]), (48, 24, 8)),
    ((5, 6, 7), (slice(None), [[0, 1, 2], [1, 2, 3]], [0, 1, 2]), (8, 120, 40)),
    ((3, 4), (slice(None, None, -1), [[0], [2]]), (8, 24, 24)), ((4, 3), ([[0], [2]], slice(None, None, -1)), (24, 24, 8)),
    ((1, 3), (slice(None), [[0, 1], [1, 2]]), (8, 16, 8)),
    ((2, 3, 4), (slice(None), [[[0]], [[1]]], slice(None)), (32, 64, 64, 64, 8))])
def test_gathered_copies_put_the_index_dimensions_outermost(shape, key, strides):
    assert grid(*shape)[key].strides == strides


# A mask over several axes may be read as one run of positions only where
# those axes lie evenly in memory; views whose neighbouring axes happen to
# multiply alike must still be read axis by axis.
@pytest.mark.parametrize("shape, view", [
    ((4, 3, 4), (slice(None), slice(None), slice(0, 2))), ((2, 3, 4), (slice(None), slice(None), slice(0, 2))),
    ((3, 3, 2), (slice(None), slice(None, None, -1), slice(None))), ((4, 3, 4), (slice(None), slice(None), slice(None, None, 2))),
    ((3, 2, 3), (slice(None), slice(None), slice(None))), ((4, 4, 2, 2), (slice(None), slice(0, 2), slice(None), slice(None)))])
def test_masks_over_inner_axes_of_a_view(shape, view):
    v = grid(*shape)[view]
    inner = v.shape[1:]
    mask_values = [i % 3 != 1 for i in range(math.prod(inner))]
    mask = q.array(mask_values).reshape(inner)
    rows = to_python(v)
    for lead in range(v.shape[0]):
        expected = [x for x, keep in zip(flat(rows[lead]), mask_values) if keep]
        assert to_python(v[lead, mask]) == expected
        assert to_python(v[lead:lead + 1, mask]) == [expected]

def test_empty_nested_lists_are_masks_over_all_their_dimensions():
    a = q.zeros((1, 0, 2))
    assert a[[[]], ...].shape == (0, 2)
    a[[[]], ...] = 1.0
    for key, text in [((..., [[]]), BAD_MASK), (([[]], 0, 0), TOO_MANY.format(3, 4))]:
        raises(IndexError, text, a.__getitem__, key)
        raises(IndexError, text, a.__setitem__, key, 1.0)


def list_index(value, items):
    """Applies already expanded basic items to nested Python lists."""
    if not items:
        return value
    first, rest = items[0], items[1:]
    if first is None:
        return [list_index(value, rest)]
    if isinstance(first, int):
        return list_index(value[first], rest)
    return [list_index(v, rest) for v in value[first]]


@st.composite
def basic_case(draw):
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=0, max_size=4)))
    per_axis = []
    for n in shape:
        if n and draw(st.booleans()):
            per_axis.append(draw(st.integers(-n, n - 1)))
        else:
            bound = st.none() | st.integers(-6, 6)
            per_axis.append(slice(draw(bound), draw(bound), draw(st.none() | st.sampled_from([-3, -2, -1, 1, 2, 3]))))
    # a prefix for the leading axes, optionally an Ellipsis and a suffix for the trailing ones
    lead = draw(st.integers(0, len(shape)))
    items = per_axis[:lead]
    if draw(st.booleans()):
        items = items + [Ellipsis] + per_axis[len(shape) - draw(st.integers(0, len(shape) - lead)):]
    for _ in range(draw(st.integers(0, 2))):
        items.insert(draw(st.integers(0, len(items))), None)
    return shape, tuple(items)


@given(basic_case(), st.booleans())
def test_random_basic_keys_match_lists(case, as_tuple):
    shape, items = case
    a = grid(*shape)
    consumed = sum(1 for k in items if k is not None and k is not Ellipsis)
    if Ellipsis in items:
        at = items.index(Ellipsis)
        expanded = items[:at] + (slice(None),) * (len(shape) - consumed) + items[at + 1:]
    else:
        expanded = items
    key = items[0] if len(items) == 1 and not as_tuple else items
    result = a[key]
    assert to_python(result) == list_index(tolist(a), expanded)
    scalar = len(expanded) == len(shape) and all(isinstance(k, int) for k in expanded) if shape else key == ()
    assert (not isinstance(result, q.Array)) == scalar
    if not scalar and result.size:
        assert shares_buffer(result, a)


# --- assignment ---------------------------------------------------------------

@pytest.mark.parametrize("key, value, expected", [
    (slice(None), [[1], [2]], [[1, 1, 1], [2, 2, 2]]), ((None, 0), [[7, 8, 9]], [[7, 8, 9], [0, 0, 0]]),
    (slice(None), [q.array([1, 2, 3]), (4, 5, 6)], [[1, 2, 3], [4, 5, 6]]),
    (slice(None), [[q.array(1)] * 3, [2, 2, 2]], [[1, 1, 1], [2, 2, 2]]),
    (slice(0, 0), [[1, 2, 3]], [[0, 0, 0], [0, 0, 0]]),
    (([1, 1], [0, 0]), [10, 20], [[0, 0, 0], [20, 0, 0]]),  # the last write wins
    (q.array([[False, True, False], [True, False, False]]), 5, [[0, 5, 0], [5, 0, 0]]),
    (([-1],), q.array([[3.9] * 3]), [[0, 0, 0], [3.9, 3.9, 3.9]]), (([[0], [1]], [1, 2]), 1, [[0, 1, 1], [0, 1, 1]]),
    (False, 9, [[0, 0, 0], [0, 0, 0]]), (True, [1, 2, 3], [[1, 2, 3], [1, 2, 3]]),
    ((slice(None), [True, False, True]), [[5], [6]], [[5, 0, 5], [6, 0, 6]])])
def test_assignment(key, value, expected):
    a = q.zeros((2, 3))
    a[key] = value
    assert tolist(a) == expected


@pytest.mark.parametrize("dtype", ["float64", "longdouble"])
def test_a_sequence_assigned_through_an_advanced_key_nests_64_deep(dtype):
    a = q.zeros((1,) * 64, dtype=dtype)
    for leaf, expected in [(2, 2), (q.array([3], dtype="int8")[0], 3)]:  # a plain number, a scalar object
        value = leaf
        for _ in range(64):
            value = [value]
        a[[0]] = value
        assert float(a[(0,) * 64]) == expected


ASSIGNMENT_REFUSALS = [
    (0, [[1], [2]], ValueError, "could not broadcast input array from shape [2, 1] into shape [3]"),
    ([0, 1], [[1, 2]], ValueError, "could not broadcast input array from shape [1, 2] into shape [2, 3]"),
    ((0, 1), [1], ValueError, SEQUENCE),
    ((0, 0, ...), [1], ValueError, SEQUENCE),  # an Ellipsis standing for no axes
    (slice(None), [[1, 2], [3]], ValueError, "input sequence is ragged"),
    ([0, 1], [1, "x"], TypeError, NOT_NUMERIC), (5, "x", IndexError, bounds(5, 0, 2)),
    ([4], 0, IndexError, bounds(4, 0, 2)),
    ("x", 1, IndexError, BAD_KEY), (0, 1j, TypeError, "cannot cast a complex scalar to a real dtype")]


@pytest.mark.parametrize("key, value, error, text", ASSIGNMENT_REFUSALS)
def test_refused_assignment_writes_nothing(key, value, error, text):
    a = q.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    raises(error, text, a.__setitem__, key, value)
    assert tolist(a) == [[1, 2, 3], [4, 5, 6]]


def test_assignment_by_target_kind():
    ints = q.array([1, 2, 3], dtype="int32")
    ints[0], ints[1], ints[2] = 2.7, -2.7, True
    assert tolist(ints) == [2, -2, 1]
    raises(OverflowError, "Python float is outside the requested dtype range", ints.__setitem__, slice(None), [1, 2, 1e10])
    raises(TypeError, SEQUENCE_TO_SCALAR, ints.__setitem__, 0, [1, 2])
    assert tolist(ints) == [2, -2, 1]
    flags = q.array([False, False])
    flags[0], flags[1] = [0], []  # a sequence's truth, not its element's
    assert tolist(flags) == [True, False]
    ld, c = q.zeros(2, dtype="longdouble"), q.zeros(2, dtype="complex64")
    ld[:], c[0], c[1:] = [1.5, 2], 1 + 2j, -1  # -1: the int to float conversion's failure value
    assert [float(v) for v in (ld[0], ld[1])] == [1.5, 2.0] and tolist(c) == [1 + 2j, -1]
    raises(NotImplementedError, "can't delete item", c.__delitem__, 0)


@pytest.mark.parametrize("dtype, value", [("int8", -3), ("float16", 2.0), ("float32", 2.5), ("int64", -5),
                                          ("complex128", 1 + 2j), ("clongdouble", 1 + 2j)])
def test_strided_writes_leave_the_elements_between(dtype, value):
    a = q.array([9] * 6, dtype=dtype)
    a[4::-3] = q.array([value, value])  # converted values, written backwards
    a[::3] = value  # a filled value
    assert tolist(a.astype("complex128")) == [value, value, 9] * 2


def test_zero_dimensional_targets():
    f, i = q.array(1.5), q.array(3)
    raises(ValueError, SEQUENCE + ". The requested array would exceed the maximum number of dimension of 0.",
           f.__setitem__, ..., [1])
    raises(ValueError, SEQUENCE, f.__setitem__, (), [1])
    i[...] = q.array(7.9)
    assert i[()].item() == 7


def test_overlapping_sources_read_old_values():
    for target, source, expected in [(slice(1, None), slice(None, -1), [1, 1, 2, 3, 4]),
                                     ([4, 3, 2, 1, 0], slice(None), [5, 4, 3, 2, 1])]:
        v = q.array([1, 2, 3, 4, 5])
        v[target] = v[source]
        assert tolist(v) == expected
    m = q.array([[1, 2], [3, 4]])
    m[...] = m.T
    assert tolist(m) == [[1, 3], [2, 4]]


def test_cast_warnings_of_assignment():
    assert record(lambda: q.zeros(2).__setitem__([0, 1], q.array([3j, 1j])))[1] == [(q.ComplexWarning, COMPLEX_DISCARD)]
    # a warning raised as an error stops the assignment before any write
    target = q.array([1.0, 2.0], dtype="float32")
    for key, value in [([0, 1], q.array([5.0, 1e39])), (0, 1e39), (slice(None), [q.array(1j), 3.0])]:
        pytest.raises(RuntimeWarning, as_errors, lambda: target.__setitem__(key, value))
    assert tolist(target) == [1.0, 2.0]
