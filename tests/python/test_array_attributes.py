"""Array attributes, flags, len and repr; the classes' absent protocols."""
import pytest

import quarvel as q
from array_helpers import shares_buffer, tolist

ITEMSIZES = [
    ("bool", 1), ("int8", 1), ("uint8", 1), ("int16", 2), ("uint16", 2), ("int32", 4), ("uint32", 4),
    ("int64", 8), ("uint64", 8), ("float16", 2), ("float32", 4), ("float64", 8), ("complex64", 8),
    ("complex128", 16), ("float128", 16), ("complex256", 32),
]


@pytest.mark.parametrize("dtype, itemsize", ITEMSIZES)
def test_sizes_and_strides_in_both_orders(dtype, itemsize):
    c = q.zeros((2, 3, 4), dtype=dtype)
    assert (c.ndim, c.size, c.itemsize, c.nbytes) == (3, 24, itemsize, 24 * itemsize)
    assert c.strides == (12 * itemsize, 4 * itemsize, itemsize)
    f = q.zeros((2, 3, 4), dtype=dtype, order="F")
    assert f.strides == (itemsize, 2 * itemsize, 6 * itemsize)
    assert (c.c_contiguous, c.f_contiguous, f.c_contiguous, f.f_contiguous) == (True, False, False, True)
    assert c.dtype.name == dtype


def test_zero_dimensional():
    a = q.array(2.5)
    assert (a.shape, a.ndim, a.size, a.strides, a.nbytes) == ((), 0, 1, (), 8)
    t = a.T
    assert t is not a and t.shape == () and shares_buffer(t, a)
    with pytest.raises(TypeError, match="^len\\(\\) of unsized object$"):
        len(a)
    with pytest.raises(TypeError, match="^len\\(\\) of unsized object$"):
        bool(a)
    assert repr(a) == "quarvel.Array(shape=[], dtype=quarvel.DType('float64'))"


def test_zero_length_axis():
    a = q.zeros((0, 3))
    assert (a.size, a.nbytes, len(a), bool(a)) == (0, 0, 0, False)
    assert bool(q.zeros((2, 0))) is True
    assert (a.c_contiguous, a.f_contiguous) == (True, True)


def test_transpose_attribute_of_a_vector_shares():
    a = q.array([1, 2, 3])
    t = a.T
    assert t is not a and (t.shape, t.strides) == (a.shape, a.strides)
    t[0] = 9
    assert a[0].item() == 9
    m = q.zeros((2, 3))
    assert (m.T.shape, m.T.strides) == ((3, 2), (8, 24))


def test_strides_of_reversed_and_new_axes():
    a = q.array([1, 2, 3], dtype="int32")
    assert a[::-1].strides == (-4,)
    assert a[None].strides == (0, 4)
    assert q.zeros((2, 3))[:, None].strides == (24, 0, 8)


def test_dtype_attribute():
    a = q.array([1, 2], dtype="q")
    first, second = a.dtype, a.dtype
    assert first is not second and first == second
    assert first.char == "q" and first == q.int64
    assert repr(a) == "quarvel.Array(shape=[2], dtype=quarvel.DType('int64'))"


@pytest.mark.parametrize("shape, dtype, text", [
    ((2, 3), "float64", "quarvel.Array(shape=[2, 3], dtype=quarvel.DType('float64'))"),
    ((4,), ">i4", "quarvel.Array(shape=[4], dtype=quarvel.DType('>int32'))"),
    ((4,), "<i4", "quarvel.Array(shape=[4], dtype=quarvel.DType('int32'))"),
    ((), "bool", "quarvel.Array(shape=[], dtype=quarvel.DType('bool'))"),
    ((5,), ">i1", "quarvel.Array(shape=[5], dtype=quarvel.DType('int8'))"),
    ((1, 0), ">g", "quarvel.Array(shape=[1, 0], dtype=quarvel.DType('>float128'))"),
    ((2,), "G", "quarvel.Array(shape=[2], dtype=quarvel.DType('complex256'))"),
])
def test_repr(shape, dtype, text):
    a = q.zeros(shape, dtype=dtype)
    assert repr(a) == text
    assert str(a) == text


def test_flags_snapshot():
    a = q.zeros((2, 3))
    assert repr(a.flags) == "quarvel.ArrayFlags(c_contiguous=true, f_contiguous=false, writeable=true)"
    assert repr(q.zeros(3).flags) == "quarvel.ArrayFlags(c_contiguous=true, f_contiguous=true, writeable=true)"
    flags = a.T.flags
    assert (flags.c_contiguous, flags.f_contiguous, flags.writeable) == (False, True, True)
    assert a.writeable is True
    with pytest.raises(AttributeError):
        flags.writeable = False


@pytest.mark.parametrize("key, expected", [
    ("C", True), ("c", True), ("C_CONTIGUOUS", True), ("c_Contiguous", True),
    ("F", False), ("f_contiguous", False), ("W", True), ("writeable", True), ("WriteAble", True),
])
def test_flags_keys(key, expected):
    assert q.zeros((2, 3)).flags[key] is expected


# only ASCII letters change case: dotless i and long s would upper-case to I and S
@pytest.mark.parametrize("key", ["", "A", "WRITABLE", " C", "C ", "CONTIGUOUS", "\u00e7", "\ud800",
                                 "wr\u0131teable", "c_contiguou\u017f", "\uff23"])
def test_flags_unknown_keys(key):
    with pytest.raises(KeyError) as info:
        q.zeros(2).flags[key]
    assert info.value.args == (key,)


@pytest.mark.parametrize("key", [0, None, b"C", ("C",)])
def test_flags_key_type(key):
    with pytest.raises(TypeError, match="key"):
        q.zeros(2).flags[key]


def test_absent_protocols():
    a = q.array([1, 2])
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        iter(a)
    with pytest.raises(TypeError):
        q.Array()
    with pytest.raises(TypeError):
        q.ArrayFlags()
    for cls in (q.Array, q.ArrayFlags):
        with pytest.raises(TypeError):
            type("Derived", (cls,), {})
    for name in ("shape", "dtype", "strides", "T", "size"):
        with pytest.raises(AttributeError):
            setattr(a, name, None)
    with pytest.raises(AttributeError):
        a.extra = 1
    assert q.Array.__module__ == "quarvel" and q.Array.__doc__ is None
    for name in ("__int__", "__float__", "__index__", "__iter__", "__contains__", "__bool__"):
        assert not hasattr(a, name)


def test_len_and_values():
    a = q.array([[1, 2], [3, 4], [5, 6]])
    assert len(a) == 3 and tolist(a) == [[1, 2], [3, 4], [5, 6]]
