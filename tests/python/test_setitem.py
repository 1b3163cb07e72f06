"""Subscript assignment: every key and value form, broadcasting, overlap, refusals that write nothing."""
import warnings

import pytest
from hypothesis import given, strategies as st

import quarvel as q
from array_helpers import tolist

SEQUENCE_TO_ELEMENT = "^setting an array element with a sequence$"
SEQUENCE_TO_0D = (r"^setting an array element with a sequence\. The requested array would exceed the maximum "
                  r"number of dimension of 0\.$")


def floats():
    return q.zeros((2, 3))


def test_delete_is_refused():
    a = q.array([1, 2])
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del a[0]


@pytest.mark.parametrize("key, value, expected", [
    (0, [1, 2, 3], [[1, 2, 3], [0, 0, 0]]),
    (slice(None), [1, 2, 3], [[1, 2, 3], [1, 2, 3]]),
    (slice(None), [[1], [2]], [[1, 1, 1], [2, 2, 2]]),
    ((slice(None), 1), (5, 6), [[0, 5, 0], [0, 6, 0]]),
    (Ellipsis, 4, [[4, 4, 4], [4, 4, 4]]),
    ((1, slice(None, None, -1)), [1, 2, 3], [[0, 0, 0], [3, 2, 1]]),
    ((None, 0), [[7, 8, 9]], [[7, 8, 9], [0, 0, 0]]),
    ((0, 1), 2.5, [[0, 2.5, 0], [0, 0, 0]]),
    (slice(None), q.array([1.0, 2.0, 3.0]), [[1, 2, 3], [1, 2, 3]]),
    (slice(None), [q.array([1, 2, 3]), (4, 5, 6)], [[1, 2, 3], [4, 5, 6]]),
    (slice(None), [[q.array(1)] * 3, [2, 2, 2]], [[1, 1, 1], [2, 2, 2]]),
    (slice(0, 0), [[1, 2, 3]], [[0, 0, 0], [0, 0, 0]]),
])
def test_basic_assignment(key, value, expected):
    a = floats()
    a[key] = value
    assert tolist(a) == expected


@pytest.mark.parametrize("key, value, error, text", [
    (0, [1, 2], ValueError, r"^could not broadcast input array from shape \[2\] into shape \[3\]$"),
    (0, [[1], [2]], ValueError, r"^could not broadcast input array from shape \[2, 1\] into shape \[3\]$"),
    ((0, 1), [1], ValueError, SEQUENCE_TO_ELEMENT),
    (slice(None), [[1, 2], [3]], ValueError, "^input sequence is ragged$"),
    (slice(None), ["x", "y", "z"], TypeError, "^numeric arrays accept"),
    (slice(None), [1, 2, "x"], TypeError, "^numeric arrays accept"),
    (slice(None), [1, "x"], TypeError, "^numeric arrays accept"),
    (slice(None), [[1, 2]], ValueError, r"^could not broadcast input array from shape \[1, 2\] into shape \[2, 3\]$"),
    (slice(None), q.array([1, 2]), ValueError, r"^could not broadcast input array from shape \[2\] into shape \[2, 3\]$"),
    (5, 1.0, IndexError, "^index 5 is out of bounds for axis 0 with size 2$"),
    (5, "x", IndexError, "^index 5 is out of bounds"),
    (0, "x", TypeError, "^numeric arrays accept"),
    (0, 1j, TypeError, "^cannot cast a complex scalar to a real dtype$"),
    ("x", 1, IndexError, "^indices must be integers"),
    (0, [1, [2, 3], 4], ValueError, "^input sequence is ragged$"),
])
def test_refused_assignment_writes_nothing(key, value, error, text):
    a = floats()
    a[:] = [[1, 2, 3], [4, 5, 6]]
    with pytest.raises(error, match=text):
        a[key] = value
    assert tolist(a) == [[1, 2, 3], [4, 5, 6]]


def test_sequences_into_one_element_by_kind():
    ints = q.array([1, 2, 3], dtype="int32")
    with pytest.raises(TypeError, match="^cannot convert a sequence to a scalar array element$"):
        ints[0] = [1, 2]
    with pytest.raises(TypeError, match="^cannot convert a sequence to a scalar array element$"):
        q.array([1j])[0] = [1]
    flags = q.array([False, False])
    flags[0] = [0]
    flags[1] = []
    assert tolist(flags) == [True, False]
    with pytest.raises(ValueError, match=SEQUENCE_TO_ELEMENT):
        q.array([1.0], dtype="float16")[0] = (1.0,)


def test_zero_dimensional_targets():
    f = q.array(1.5)
    with pytest.raises(ValueError, match=SEQUENCE_TO_0D):
        f[...] = [1]
    with pytest.raises(ValueError, match=SEQUENCE_TO_ELEMENT):
        f[()] = [1]
    i = q.array(3)
    with pytest.raises(TypeError, match="^cannot convert a sequence to a scalar array element$"):
        i[()] = [1]
    i[()] = 5
    assert i[()].item() == 5
    i[...] = q.array(7.9)
    assert i[()].item() == 7
    # an Ellipsis standing for no axes keeps the key a one-element key
    with pytest.raises(ValueError, match=SEQUENCE_TO_ELEMENT):
        floats()[0, 0, ...] = [1]


def test_integer_targets():
    a = q.array([1, 2, 3], dtype="int32")
    with pytest.raises(OverflowError, match="^Python int is outside the requested dtype range$"):
        a[0] = 2**40
    a[0] = 2.7
    a[1] = -2.7
    a[2] = True
    assert tolist(a) == [2, -2, 1]
    with pytest.raises(ValueError, match="^cannot convert float NaN to integer$"):
        a[0] = float("nan")
    with pytest.raises(OverflowError, match="^Python float is outside the requested dtype range$"):
        a[:] = [1.0, 2.0, 1e10]
    assert tolist(a) == [2, -2, 1]


def test_advanced_assignment():
    a = q.array([0, 0, 0, 0])
    a[[0, 2]] = [7, 8]
    assert tolist(a) == [7, 0, 8, 0]
    a[q.array([False, True, False, True])] = 5
    assert tolist(a) == [7, 5, 8, 5]
    a[[1, 1]] = [10, 20]
    assert tolist(a) == [7, 20, 8, 5]
    a[[-1]] = q.array([3.9])
    assert tolist(a) == [7, 20, 8, 3]
    a[[[0], [1]]] = 1
    assert tolist(a) == [1, 1, 8, 3]
    a[False] = 9
    assert tolist(a) == [1, 1, 8, 3]
    a[True] = [2, 2, 2, 2]
    assert tolist(a) == [2, 2, 2, 2]
    with pytest.raises(ValueError, match=r"^could not broadcast input array from shape \[1, 2\] into shape \[2\]$"):
        a[[0, 2]] = [[1, 2]]
    with pytest.raises(IndexError, match="^index 4 is out of bounds for axis 0 with size 4$"):
        a[[4]] = 0
    with pytest.raises(TypeError, match="^numeric arrays accept"):
        a[[0, 1]] = [1, "x"]
    assert tolist(a) == [2, 2, 2, 2]


def test_advanced_assignment_with_slices():
    a = q.zeros((3, 4), dtype="int16")
    a[[0, 2], 1:3] = [[1, 2], [3, 4]]
    a[1, [0, 3]] = 9
    assert tolist(a) == [[0, 1, 2, 0], [9, 0, 0, 9], [0, 3, 4, 0]]
    a[:, [True, False, False, True]] = [[5], [6], [7]]
    assert tolist(a) == [[5, 1, 2, 5], [6, 0, 0, 6], [7, 3, 4, 7]]


def test_overlapping_sources_read_old_values():
    v = q.array([1, 2, 3, 4, 5])
    v[::-1] = v
    assert tolist(v) == [5, 4, 3, 2, 1]
    w = q.array([1, 2, 3, 4, 5])
    w[1:] = w[:-1]
    assert tolist(w) == [1, 1, 2, 3, 4]
    x = q.array([1, 2, 3, 4])
    x[[3, 2, 1, 0]] = x
    assert tolist(x) == [4, 3, 2, 1]
    m = q.array([[1, 2], [3, 4]])
    m[...] = m.T
    assert tolist(m) == [[1, 3], [2, 4]]


def test_array_source_warnings():
    target = q.zeros(2)
    with pytest.warns(q.ComplexWarning, match="^Casting complex values to real discards the imaginary part$") as record:
        target[:] = q.array([1 + 1j, 2 - 1j])
    assert len(record) == 1 and tolist(target) == [1.0, 2.0]
    with pytest.warns(q.ComplexWarning):
        target[[0]] = q.array([3j])
    assert tolist(target) == [0.0, 2.0]
    ints = q.array([0, 0], dtype="int8")
    with pytest.warns(RuntimeWarning, match="^invalid value encountered in cast$"):
        ints[:] = q.array([1.0, float("inf")])


def test_warning_as_error_stops_before_writing():
    target = q.array([1.0, 2.0], dtype="float32")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="overflow encountered in cast"):
            target[:] = q.array([5.0, 1e39])
        with pytest.raises(RuntimeWarning, match="overflow encountered in cast"):
            target[[0, 1]] = q.array([5.0, 1e39])
        with pytest.raises(RuntimeWarning, match="overflow encountered in cast"):
            target[0] = 1e39
        with pytest.raises(RuntimeWarning, match="overflow encountered in cast"):
            target[:] = [5.0, 2**200]
        with pytest.raises(q.ComplexWarning):
            target[:] = [q.array(1j), 3.0]
    assert tolist(target) == [1.0, 2.0]


def test_scalar_objects_and_item_values():
    a = q.zeros(3, dtype="int8")
    a[0] = q.array([300])[0]  # scalar objects wrap like casts
    a[1] = q.array([2.5], dtype="float32")[0]

    class Holder:
        def item(self):
            return 7

    a[2] = Holder()
    assert tolist(a) == [44, 2, 7]


def test_long_double_and_complex_targets():
    ld = q.zeros(2, dtype="longdouble")
    ld[:] = [1.5, 2]
    assert [float(v) for v in (ld[0], ld[1])] == [1.5, 2.0]
    c = q.zeros(2, dtype="complex64")
    c[0] = 1 + 2j
    c[1:] = [3j]
    assert tolist(c) == [1 + 2j, 3j]
    with pytest.raises(TypeError, match="^cannot convert a sequence to a scalar array element$"):
        c[1] = [3j]


# --- broadcasting of nested sequences against a Python oracle ----------------------

def nested_list(shape, start=0):
    """Nested lists of the given shape holding start, start + 1, ... in row-major order."""
    if not shape:
        return start
    step = 1
    for n in shape[1:]:
        step *= n
    return [nested_list(shape[1:], start + i * step) for i in range(shape[0])]


def broadcast_oracle(source, source_shape, target_shape):
    """What each target position reads, by the broadcasting rule written out in Python."""
    lead = len(target_shape) - len(source_shape)

    def build(prefix):
        k = len(prefix)
        if k == len(target_shape):
            value = source
            for axis, length in enumerate(source_shape):
                value = value[0 if length == 1 else prefix[lead + axis]]
            return value
        return [build(prefix + (i,)) for i in range(target_shape[k])]

    return build(())


@st.composite
def broadcast_case(draw):
    target = tuple(draw(st.lists(st.integers(0, 3), min_size=1, max_size=4)))
    kept = draw(st.integers(1, len(target)))
    source = tuple(1 if draw(st.booleans()) else n for n in target[len(target) - kept:])
    if draw(st.integers(0, 4)) == 0:
        # one wrong length, or one dimension too many
        if draw(st.booleans()):
            at = draw(st.integers(0, len(source) - 1))
            source = source[:at] + (source[at] + 2,) + source[at + 1:]
        else:
            source = (2,) + source
    return target, source


@given(broadcast_case())
def test_sequence_broadcasting_matches_oracle(case):
    target_shape, source_shape = case
    a = q.zeros(target_shape, dtype="int64")
    a[...] = -1
    before = tolist(a)
    source = nested_list(source_shape, start=1)
    if 0 in source_shape:
        # nested lists cannot hold the lengths after an empty level
        source_shape = source_shape[:source_shape.index(0) + 1]
    fits = len(source_shape) <= len(target_shape) and all(
        s in (1, t) for s, t in zip(source_shape[::-1], target_shape[::-1]))
    if fits:
        a[...] = source
        assert tolist(a) == broadcast_oracle(source, source_shape, target_shape)
    else:
        with pytest.raises(ValueError, match="^could not broadcast input array from shape"):
            a[...] = source
        assert tolist(a) == before
