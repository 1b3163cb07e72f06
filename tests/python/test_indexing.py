"""Subscript reads: key parsing, basic views, advanced selections, scalar results, errors."""
import pytest
from hypothesis import given, strategies as st

import quarvel as q
from array_helpers import shares_buffer, to_python, tolist


def grid(*shape):
    """An int64 array holding 0, 1, 2, ... in row-major order."""
    count = 1
    for n in shape:
        count *= n
    return q.array(list(range(count))).reshape(shape)


def is_scalar(result):
    return not isinstance(result, q.Array)


# --- basic keys -----------------------------------------------------------------

@pytest.mark.parametrize("key, expected", [
    ((1, 2), 5),
    ((1, 2, ...), 5),
    ((-1, -3), 3),
    ((0, -1), 2),
])
def test_scalar_results(key, expected):
    result = grid(2, 3)[key]
    assert type(result).__name__ == "Int64Scalar" and result.item() == expected


@pytest.mark.parametrize("key, shape, values", [
    (1, (3,), [3, 4, 5]),
    ((1, 2, None), (1,), [5]),
    ((..., 2), (2,), [2, 5]),
    ((slice(None), 1), (2,), [1, 4]),
    (slice(None, None, -1), (2, 3), [[3, 4, 5], [0, 1, 2]]),
    ((0, slice(None, None, -2)), (2,), [2, 0]),
    ((slice(5, 0, -1), slice(1, None)), (1, 2), [[4, 5]]),
    ((slice(0, 0),), (0, 3), []),
    # One element under a step whose byte stride would overflow.
    ((slice(None, None, 2**62),), (1, 3), [[0, 1, 2]]),
    ((slice(1, None, -2**62), slice(2, None, 2**63 - 1)), (1, 1), [[5]]),
    ((None, ..., None), (1, 2, 3, 1), [[[[0], [1], [2]], [[3], [4], [5]]]]),
    ((...,), (2, 3), [[0, 1, 2], [3, 4, 5]]),
    ((), (2, 3), [[0, 1, 2], [3, 4, 5]]),
])
def test_basic_views(key, shape, values):
    a = grid(2, 3)
    view = a[key]
    assert isinstance(view, q.Array) and view.shape == shape and tolist(view) == values
    if view.size:
        assert shares_buffer(view, a)


@pytest.mark.parametrize("dtype, key, values", [
    ("int8", slice(None, None, 2**62), [7, 0, 0, 0, 0]),
    ("float64", slice(3, None, -2**62), [0, 0, 0, 7, 0]),
])
def test_one_element_slice_keeps_the_axis_stride(dtype, key, values):
    a = q.zeros(5, dtype=dtype)
    assert a[key].strides == a.strides
    a[key] = 7
    assert tolist(a) == values


def test_new_axes_up_to_64_dimensions():
    assert q.array(1.0)[(None,) * 64].ndim == 64
    with pytest.raises(ValueError, match="^array shape or byte strides exceed supported limits$"):
        q.array(1.0)[(None,) * 65]
    with pytest.raises(ValueError, match="^array shape or byte strides exceed supported limits$"):
        q.zeros((1,) * 63)[None, ..., None]


def test_zero_dimensional_keys():
    a = q.array(7.5)
    assert a[()].item() == 7.5 and is_scalar(a[()])
    assert isinstance(a[...], q.Array) and a[...].shape == ()
    assert a[None].shape == (1,)
    with pytest.raises(IndexError, match=r"^too many indices for array: array is 0-dimensional, but 1 were indexed$"):
        a[0]


def test_index_objects_with_index():
    a = grid(4)
    assert a[q.array([2], dtype="int8")[0]].item() == 2
    assert a[q.array([3], dtype="uint64")[0]].item() == 3

    class Index:
        def __index__(self):
            return 1

    assert a[Index()].item() == 1


@pytest.mark.parametrize("key, error, text", [
    ((..., ...), IndexError, "^an index can only have a single ellipsis$"),
    (1.0, IndexError, "^indices must be integers, slices, ellipsis, None, or integer arrays$"),
    ("x", IndexError, "^indices must be integers, slices, ellipsis, None, or integer arrays$"),
    (2**70, IndexError, "^indices must be integers, slices, ellipsis, None, or integer arrays$"),
    (object(), IndexError, "^indices must be integers, slices, ellipsis, None, or integer arrays$"),
    ((0, 0, 0), IndexError, r"^too many indices for array: array is 2-dimensional, but 3 were indexed$"),
    ((0, ..., 0, 0), IndexError, r"^too many indices for array: array is 2-dimensional, but 3 were indexed$"),
    (2, IndexError, "^index 2 is out of bounds for axis 0 with size 2$"),
    ((0, -4), IndexError, "^index -4 is out of bounds for axis 1 with size 3$"),
    (slice(None, None, 0), ValueError, "^slice step cannot be zero$"),
    ([1.5], IndexError, "^index arrays must contain only integers or booleans$"),
    ([1j], IndexError, "^index arrays must contain only integers or booleans$"),
    ([0, 1.0], IndexError, "^index arrays must contain only integers or booleans$"),
    ([[0], [1, 0]], IndexError, "^index arrays must be rectangular$"),
    ([], IndexError, "^boolean index shape did not match the indexed array dimensions$"),
    ([True, False, True], IndexError, "^boolean index shape did not match the indexed array dimensions$"),
    ([2], IndexError, "^index 2 is out of bounds for axis 0 with size 2$"),
    ([0, -3], IndexError, "^index -3 is out of bounds for axis 0 with size 2$"),
    ([0, "x"], TypeError, "^numeric arrays accept"),
    ([[0, 1], [0, 1, 2]], IndexError, "^index arrays must be rectangular$"),
])
def test_key_errors(key, error, text):
    a = grid(2, 3)
    with pytest.raises(error, match=text):
        a[key]
    assert tolist(a) == [[0, 1, 2], [3, 4, 5]]


def test_index_array_dtypes():
    a = grid(3)
    with pytest.raises(IndexError, match="^index arrays must have an integer or boolean dtype$"):
        a[q.array([0.0])]
    with pytest.raises(IndexError, match="^index arrays must have an integer or boolean dtype$"):
        a[q.array([0j])]
    with pytest.raises(IndexError, match="^too many indices for array: array is 1-dimensional, but 2 were indexed$"):
        a[0, q.array([0])]


def test_nested_index_lists_depth():
    a = grid(2)
    deep = [0]
    for _ in range(63):
        deep = [deep]
    assert a[deep].ndim == 64
    with pytest.raises(IndexError, match="^index arrays may be nested at most 64 levels$"):
        a[[deep]]


def test_index_lists_are_read_once():
    # the axis count and the walk see the same list even when item() answers
    # differently on a second call
    class FailsFirst:
        calls = 0

        def item(self):
            FailsFirst.calls += 1
            if FailsFirst.calls == 1:
                raise ArithmeticError("first call")
            return True

    a = grid(2, 2)
    with pytest.raises(TypeError, match="^numeric arrays accept"):
        a[[[FailsFirst(), True], [True, True]], ...]
    assert FailsFirst.calls == 1


def test_huge_unsigned_index_values_are_out_of_bounds():
    a = grid(4)
    text = "^index 9223372036854775807 is out of bounds for axis 0 with size 4$"
    for value in (2**63, 2**64 - 1):
        with pytest.raises(IndexError, match=text):
            a[q.array([value], dtype="uint64")]
        with pytest.raises(IndexError, match=text):
            a[[value]]


# --- advanced keys --------------------------------------------------------------

def test_integer_and_mask_selections_agree():
    a = grid(3)
    assert tolist(a[[0, 2]]) == tolist(a[[True, False, True]]) == [0, 2]
    assert tolist(a[q.array([0, 2])]) == tolist(a[q.array([True, False, True])]) == [0, 2]
    assert tolist(a[(0, 2),]) == [0, 2]
    assert tolist(a[[[2, 2], [0, 1]]]) == [[2, 2], [0, 1]]
    assert tolist(a[[-1]]) == [2]


def test_advanced_results_are_copies():
    a = grid(3)
    picked = a[[0, 1]]
    picked[0] = 99
    assert a[0].item() == 0


def test_zero_dimensional_index_array_gives_a_scalar():
    a = grid(3)
    result = a[q.array(2)]
    assert is_scalar(result) and result.item() == 2
    assert isinstance(a[q.array([2])], q.Array)


def test_boolean_scalars():
    a = grid(2, 3)
    assert a[True].shape == (1, 2, 3)
    assert a[False].shape == (0, 2, 3)
    assert a[0, True].shape == (1, 3)
    assert a[q.array([True])[0]].shape == (1, 2, 3)
    assert q.array(5)[True].shape == (1,)


def test_boolean_masks():
    a = grid(2, 3)
    mask = q.array([[True, False, True], [False, False, True]])
    assert tolist(a[mask]) == [0, 2, 5]
    assert tolist(a[[[True, False, True], [False, False, True]]]) == [0, 2, 5]
    assert tolist(a[:, [True, False, True]]) == [[0, 2], [3, 5]]
    assert tolist(a[[False, True]]) == [[3, 4, 5]]
    with pytest.raises(IndexError, match="^boolean index shape did not match the indexed array dimensions$"):
        a[q.array([True, False, True])]
    # a nested boolean list consumes as many axes as it has dimensions
    with pytest.raises(IndexError, match="^too many indices for array: array is 2-dimensional, but 3 were indexed$"):
        a[0, [[True, False, True]]]


@pytest.mark.parametrize("shape, key, result", [
    ((1, 0), ([[]],), (0,)),
    ((1, 0), ([[]], ...), (0,)),
    ((1, 0, 2), ([[]], ...), (0, 2)),
    ((1, 0, 2), ([[]], 0), (0,)),
    ((1, 0, 2), (..., [[]]), "^boolean index shape did not match the indexed array dimensions$"),
    ((1, 0, 2), ([[]], 0, 0), r"^too many indices for array: array is 3-dimensional, but 4 were indexed$"),
])
def test_empty_nested_lists_are_masks_over_all_their_dimensions(shape, key, result):
    a = q.zeros(shape)
    if isinstance(result, str):
        with pytest.raises(IndexError, match=result):
            a[key]
        with pytest.raises(IndexError, match=result):
            a[key] = 1.0
    else:
        assert a[key].shape == result
        a[key] = 1.0


@pytest.mark.parametrize("key, shape", [
    ((slice(None), [[0, 1, 2], [1, 2, 3]], [0, 1, 2]), (5, 2, 3)),
    (([[0, 1, 2], [1, 2, 3]], slice(None), [0, 1, 2]), (2, 3, 6)),
    ((0, slice(None), [0, 1]), (2, 6)),
    ((slice(None), 0, [0, 1]), (5, 2)),
    (([[0], [1]], [[0, 1, 2]]), (2, 3, 7)),
    ((None, [0, 1], slice(None), 1), (2, 1, 6)),
    ((..., [1, 2]), (5, 6, 2)),
    ((slice(None, None, 2**62), [0, 1]), (1, 2, 7)),
])
def test_placement_of_advanced_dimensions(key, shape):
    assert grid(5, 6, 7)[key].shape == shape


def test_mixed_selection_values():
    a = grid(3, 4)
    assert tolist(a[[0, 2], 1:3]) == [[1, 2], [9, 10]]
    assert tolist(a[1:, [0, 3]]) == [[4, 7], [8, 11]]
    assert tolist(a[[0, 2], [3, 0]]) == [3, 8]
    assert tolist(a[[[0], [2]], [1, 3]]) == [[1, 3], [9, 11]]
    assert tolist(a[q.array([[True, False, False, True]] * 3)]) == [0, 3, 4, 7, 8, 11]


def test_broadcast_failure_of_index_arrays():
    with pytest.raises(IndexError, match="^invalid advanced index array$"):
        grid(3, 4)[[0, 1], [0, 1, 2]]


def test_alias_survives_reads():
    a = q.array([[1, 2]], dtype="q")
    assert a[0].dtype.char == "q"
    assert type(a[0, 1]).__name__ == "LongLongScalar"
    assert a[[0]].dtype.char == "q"


# --- random basic keys against the same keys on nested lists ----------------------

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


def expand(key, ndim):
    consumed = sum(1 for k in key if k is not None and k is not Ellipsis)
    if Ellipsis in key:
        at = key.index(Ellipsis)
        key = key[:at] + (slice(None),) * (ndim - consumed) + key[at + 1:]
    return key


@st.composite
def basic_case(draw):
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=0, max_size=4)))
    ndim = len(shape)
    per_axis = []
    for n in shape:
        if n and draw(st.booleans()):
            per_axis.append(draw(st.integers(-n, n - 1)))
        else:
            bound = st.none() | st.integers(-6, 6)
            step = st.none() | st.integers(-3, 3).filter(lambda s: s != 0)
            per_axis.append(slice(draw(bound), draw(bound), draw(step)))
    # a prefix for the leading axes, optionally an Ellipsis and a suffix for the trailing ones
    lead = draw(st.integers(0, ndim))
    items = per_axis[:lead]
    if draw(st.booleans()):
        trail = draw(st.integers(0, ndim - lead))
        items = items + [Ellipsis] + per_axis[ndim - trail:]
    for _ in range(draw(st.integers(0, 2))):
        items.insert(draw(st.integers(0, len(items))), None)
    return shape, tuple(items)


@given(basic_case(), st.booleans())
def test_random_basic_keys_match_lists(case, as_tuple):
    shape, items = case
    a = grid(*shape)
    expanded = expand(items, len(shape))
    expected = list_index(tolist(a), expanded)
    key = items[0] if len(items) == 1 and not as_tuple else items
    result = a[key]
    assert to_python(result) == expected
    if shape:
        scalar = len(expanded) == len(shape) and all(isinstance(k, int) for k in expanded)
    else:
        scalar = key == ()
    assert is_scalar(result) == scalar
    if not scalar and result.size:
        assert shares_buffer(result, a[key])
