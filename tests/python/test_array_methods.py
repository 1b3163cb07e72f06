"""reshape, transpose, astype and copy."""
import warnings

import pytest

import quarvel as q
from array_helpers import shares_buffer, tolist


def six():
    return q.array([0, 1, 2, 3, 4, 5])


# --- reshape --------------------------------------------------------------------

@pytest.mark.parametrize("shape, expected", [
    ((2, 3), (2, 3)), ([3, 2], (3, 2)), ((-1, 3), (2, 3)), ((3, -1), (3, 2)), (-1, (6,)), (6, (6,)),
    ((1, 6, 1), (1, 6, 1)), ((-1, 1, 1), (6, 1, 1)),
])
def test_reshape_shapes(shape, expected):
    a = six()
    b = a.reshape(shape)
    assert b.shape == expected and shares_buffer(b, a)


def test_reshape_values_in_each_order():
    a = six()
    assert tolist(a.reshape((2, 3))) == [[0, 1, 2], [3, 4, 5]]
    assert tolist(a.reshape((2, 3), order="F")) == [[0, 2, 4], [1, 3, 5]]
    m = a.reshape((2, 3))
    assert tolist(m.T.reshape(6, order="A")) == [0, 1, 2, 3, 4, 5]
    assert tolist(m.T.reshape(6)) == [0, 3, 1, 4, 2, 5]


def test_reshape_of_single_and_empty_arrays():
    assert q.array([4]).reshape(()).shape == ()
    assert q.array([4]).reshape(())[()].item() == 4
    empty = q.zeros(0)
    assert empty.reshape((0, 5)).shape == (0, 5)
    with pytest.raises(ValueError, match=r"^cannot reshape array of size 0 into shape \[0, 0\]$"):
        empty.reshape((0, -1))


@pytest.mark.parametrize("args, kwargs, error, text", [
    (((-1, 4),), {}, ValueError, r"^cannot reshape array of size 6 into shape \[0, 4\]$"),
    (((4,),), {}, ValueError, "^source and destination shapes must match exactly$"),
    (((-1, -1),), {}, ValueError, "^can only specify one unknown dimension$"),
    (((2, -2),), {}, ValueError, "^negative dimensions are not allowed$"),
    (((True, 6),), {}, TypeError, "^shape dimensions must be integers, not booleans$"),
    ((True,), {}, TypeError, "^shape dimensions must be integers, not booleans$"),
    (((1,) * 65,), {}, ValueError, "^maximum supported number of dimensions is 64$"),
    (((2**62, 4),), {}, ValueError, "^requested shape is too large$"),
    (((2**61, 2),), {}, ValueError, "^source and destination shapes must match exactly$"),
    (((2**62, 2),), {}, ValueError, "^array shape or byte strides exceed supported limits$"),
    (((2, 3),), {"order": "K"}, ValueError, r"^order must be 'C', 'F', or 'A'$"),
    ((("x",),), {"order": "c"}, ValueError, r"^order must be 'C', 'F', or 'A'$"),
    (((2, 3),), {"order": ""}, ValueError, r"^order must be 'C', 'F', or 'A'$"),
    (((2, 3),), {"order": "\ud800"}, ValueError, r"^order must be 'C', 'F', or 'A'$"),
    ((2, 3), {}, TypeError, "order"),
    (((2, 3),), {"copy": 0}, TypeError, "copy"),
    ((2.0,), {}, TypeError, None),
    (((2.0, 3),), {}, TypeError, None),
    (((2**64, 1),), {}, OverflowError, None),
    ((), {}, TypeError, None),
    (((2, 3),), {"shape": (2, 3)}, TypeError, None),
    (((2, 3),), {"bogus": 1}, TypeError, None),
])
def test_reshape_errors(args, kwargs, error, text):
    a = six()
    with pytest.raises(error, match=text):
        a.reshape(*args, **kwargs)
    assert tolist(a) == [0, 1, 2, 3, 4, 5]


def test_reshape_copy_modes():
    m = six().reshape((2, 3))
    with pytest.raises(ValueError, match="^array view has an invalid layout$"):
        m.T.reshape(6, copy=False)
    copied = m.T.reshape(6, copy=None)
    assert not shares_buffer(copied, m)
    forced = m.reshape((3, 2), copy=True)
    assert not shares_buffer(forced, m) and tolist(forced) == [[0, 1], [2, 3], [4, 5]]
    assert shares_buffer(m.reshape((3, 2), copy=False), m)
    assert m.reshape(shape=(3, 2), order="C", copy=None).shape == (3, 2)


def test_reshape_keeps_alias():
    assert q.array([1, 2], dtype="q").reshape((2, 1)).dtype.char == "q"


# --- transpose ------------------------------------------------------------------

def test_transpose_argument_forms():
    a = q.zeros((2, 3, 4))
    reversed_axes = (4, 3, 2)
    assert a.transpose().shape == a.transpose(None).shape == a.T.shape == reversed_axes
    for form in [(1, 0, 2), ((1, 0, 2),), ([1, 0, 2],), (-2, 0, -1)]:
        t = a.transpose(*form)
        assert t.shape == (3, 2, 4) and t.strides == (32, 96, 8)
    m = six().reshape((2, 3))
    assert shares_buffer(m.transpose(1, 0), m)
    assert tolist(m.transpose(-1, 0)) == tolist(m.T) == [[0, 3], [1, 4], [2, 5]]
    assert six().transpose(0).shape == (6,)


@pytest.mark.parametrize("axes, error, text", [
    ((0,), IndexError, "^invalid axis permutation$"),
    ((0, 0), IndexError, "^invalid axis permutation$"),
    ((0, 2), IndexError, "^invalid axis permutation$"),
    ((0, 1, 2), IndexError, "^invalid axis permutation$"),
    (((0, True),), TypeError, "^axes must contain integers, not booleans$"),
    ((1, True), TypeError, "^axes must contain integers, not booleans$"),
    (((0, (1,)),), TypeError, None),
    (("01",), TypeError, None),
    ((1.0,), TypeError, None),
])
def test_transpose_errors(axes, error, text):
    with pytest.raises(error, match=text):
        q.zeros((2, 3)).transpose(*axes)


def test_transpose_single_bool_is_an_axis_number():
    with pytest.raises(IndexError, match="^invalid axis permutation$"):
        six().transpose(True)
    assert six().transpose(False).shape == (6,)
    with pytest.raises(TypeError):
        six().transpose(axes=(0,))


# --- astype ---------------------------------------------------------------------

def test_astype_same_dtype_is_a_new_buffer():
    a = q.array([1.5, 2.5])
    b = a.astype("float64")
    assert not shares_buffer(b, a) and tolist(b) == [1.5, 2.5]


@pytest.mark.parametrize("dtype, expected", [
    ("int8", [1, -2, 127]), ("uint16", [1, 65534, 127]), ("float32", [1.5, -2.5, 127.0]),
    ("bool", [True, True, True]), ("complex64", [1.5, -2.5, 127.0]),
])
def test_astype_values(dtype, expected):
    assert tolist(q.array([1.5, -2.5, 127.0]).astype(dtype)) == expected


def test_astype_complex_to_real():
    c = q.array([1 + 2j, -3 + 0.5j])
    with pytest.warns(q.ComplexWarning, match="^Casting complex values to real discards the imaginary part$"):
        real = c.astype("float32")
    assert tolist(real) == [1.0, -3.0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tolist(c.astype("bool")) == [True, True]
        assert tolist(c.astype("complex64")) == [1 + 2j, -3 + 0.5j]


def test_astype_cast_warnings():
    with pytest.warns(RuntimeWarning, match="^invalid value encountered in cast$"):
        q.array([1.0, float("nan")]).astype("int32")
    with pytest.warns(RuntimeWarning, match="^overflow encountered in cast$"):
        assert tolist(q.array([1e39]).astype("float32")) == [float("inf")]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            q.array([70000.0]).astype("float16")
        # a byte-order change alone never warns
        assert tolist(q.array([1e39]).astype(">f8")) == [1e39]


def test_astype_byte_order_alias_and_layout():
    a = q.array([[1, 2, 3], [4, 5, 6]], dtype="int32")
    big = a.astype(">i4")
    assert big.dtype.byteorder == ">" and tolist(big) == tolist(a)
    assert a.astype("q").dtype.char == "q"
    assert q.array([1], dtype="q").astype("int64").dtype.char == "l"
    assert a.T.astype("float64").strides == (8, 24)
    assert a.T.astype("float64", order="C").strides == (16, 8)
    assert a.astype("float64", order="F").strides == (8, 16)
    assert a.astype("i2", order="A").strides == (6, 2)


@pytest.mark.parametrize("args, kwargs, error, text", [
    (("float64",), {"order": "X"}, ValueError, r"^order must be 'C', 'F', 'A', or 'K'$"),
    (("float64",), {"order": "k"}, ValueError, r"^order must be 'C', 'F', 'A', or 'K'$"),
    (("float64",), {"order": "\ud800"}, ValueError, r"^order must be 'C', 'F', 'A', or 'K'$"),
    (("bogus",), {}, ValueError, "^unsupported preview dtype"),
    ((None,), {}, TypeError, "^dtype must be"),
    ((), {}, TypeError, None),
    (("float64",), {"order": None}, TypeError, "order"),
])
def test_astype_errors(args, kwargs, error, text):
    with pytest.raises(error, match=text):
        q.array([1.0]).astype(*args, **kwargs)


# --- copy -----------------------------------------------------------------------

def test_copy():
    a = q.array([[1.0, 2.0], [3.0, 4.0]])
    c = a.copy()
    assert not shares_buffer(c, a) and tolist(c) == tolist(a)
    f = q.zeros((2, 3), order="F")
    assert f.copy().c_contiguous and f.copy().strides == (24, 8)
    big = q.array([1, 2], dtype=">i4")
    assert big.copy().dtype.byteorder == ">" and big.copy().c_contiguous
    assert tolist(a[:, ::-1].copy()) == [[2.0, 1.0], [4.0, 3.0]]
    assert q.array([1], dtype="Q").copy().dtype.char == "Q"
    with pytest.raises(TypeError):
        a.copy(1)
