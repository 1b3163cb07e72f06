"""array, zeros and empty: nested input, dtype inference and conversion, sharing and copying."""
import inspect
import itertools
import math
import signal
import warnings

import pytest
from hypothesis import given, strategies as st

import quarvel as q
from array_helpers import shares_buffer, tolist


def nested(depth, value):
    for _ in range(depth):
        value = [value]
    return value


# --- value path: shapes and inference -------------------------------------------

@pytest.mark.parametrize("data, shape, dtype", [
    ([], (0,), "float64"),
    ([[], []], (2, 0), "float64"),
    (5, (), "int64"),
    (True, (), "bool"),
    (2.5, (), "float64"),
    (1j, (), "complex128"),
    (2**63, (), "uint64"),
    ([1, 2.5], (2,), "float64"),
    ([True, 2], (2,), "int64"),
    ([1, 2**63], (2,), "float64"),
    ([1, 1j], (2,), "complex128"),
    ((1, (2, 3)[0]), (2,), "int64"),
    ([[1, 2, 3], (4, 5, 6)], (2, 3), "int64"),
])
def test_inferred_shape_and_dtype(data, shape, dtype):
    a = q.array(data)
    assert a.shape == shape
    assert a.dtype.name == dtype


def test_scalar_objects_keep_their_dtype():
    small = q.array([1, 2], dtype="int8")[0]
    assert q.array([small, small]).dtype.name == "int8"
    long_long = q.array([7], dtype="q")[0]
    assert type(long_long).__name__ == "LongLongScalar"
    kept = q.array([long_long, 3])
    assert kept.dtype.char == "q"
    assert type(kept[0]).__name__ == "LongLongScalar"
    assert q.array([long_long, 1.5]).dtype.char == "d"


@pytest.mark.parametrize("dtype, value", [
    ("bool", True), ("int8", -7), ("uint8", 200), ("int16", -300), ("uint16", 60000), ("int32", -2**31),
    ("uint32", 2**32 - 1), ("int64", -2**63), ("uint64", 2**64 - 1), ("q", 5), ("Q", 6),
    ("float16", 0.333), ("float32", 1e38), ("float64", -0.1), ("complex64", 1.5 - 2.5j),
    ("complex128", 1e300j), ("longdouble", 0.1), ("clongdouble", 0.1 + 0.2j),
])
def test_scalar_objects_convert_to_their_own_value(dtype, value):
    source = q.array([value], dtype=dtype)
    element = source[0]
    for result in (q.array(element), q.array([element, element])):
        assert result.dtype == source.dtype and result.dtype.char == source.dtype.char
        assert repr(result[(0,) * result.ndim]) == repr(element)


def test_list_of_arrays_stacks_their_shapes():
    inner = q.zeros((2, 3))
    assert q.array([inner, inner]).shape == (2, 2, 3)
    # the arrays' own dimensions do not count towards the nesting depth
    assert q.array([[q.zeros((1,) * 62)]]).ndim == 64
    # but no array has more than 64 dimensions
    with pytest.raises(ValueError, match="^array shape or byte strides exceed supported limits$"):
        q.array([q.zeros((1,) * 64)])


def test_nesting_depth_limit():
    assert q.array(nested(64, 1)).ndim == 64
    with pytest.raises(ValueError, match="^array nesting is too deep$"):
        q.array(nested(65, 1))


@pytest.mark.parametrize("data", [
    [[1, 2], [3]],
    [[1, 2], 3],
    [q.array([1, 2]), [1, 2, 3]],
])
def test_ragged_input(data):
    with pytest.raises(ValueError, match="^input sequence is ragged$"):
        q.array(data)


def test_ragged_is_reported_before_conversion():
    with pytest.raises(ValueError, match="ragged"):
        q.array([["x"], [1, 2]])


@pytest.mark.parametrize("value", ["x", b"x", range(3), (i for i in range(2)), None, {1: 2}, object()])
def test_non_numeric_values(value):
    with pytest.raises(TypeError, match="^numeric arrays accept Python bool, int, float, and complex scalar values$"):
        q.array([value])


def test_python_int_beyond_64_bits():
    with pytest.raises(OverflowError, match="^Python int is outside the supported 64-bit numeric range$"):
        q.array(2**64)
    with pytest.raises(OverflowError, match="^Python int is outside the supported 64-bit numeric range$"):
        q.array(-(2**63) - 1)


class Item:
    def __init__(self, result):
        self.result = result

    def item(self):
        return self.result


class SelfItem:
    def item(self):
        return self


class FreshItem:
    def item(self):
        return FreshItem()


class BrokenItem:
    def item(self):
        raise ArithmeticError("broken")


def test_endless_list_subclass_can_be_interrupted():
    # An iterator written in C runs no bytecode, so only the conversion itself
    # can notice the signal. The bound keeps a regression from eating memory:
    # it then ends with the element's TypeError instead of the signal's error.
    class Endless(list):
        def __iter__(self):
            return itertools.repeat("x", 20_000_000)

    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        with pytest.raises(Interrupted):
            q.array(Endless())
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_objects_with_item():
    assert tolist(q.array([Item(5), Item(2.5)])) == [5.0, 2.5]
    for value in (SelfItem(), BrokenItem(), Item("text")):
        with pytest.raises(TypeError, match="^numeric arrays accept"):
            q.array([value])
    # an item() chain that never ends is stopped, not followed into a crash
    with pytest.raises(RecursionError):
        q.array([FreshItem()])
    with pytest.raises(RecursionError):
        q.array([1], dtype="float32")[0] = FreshItem()


class Raises:
    """item() raises the given exception; __module__ may claim to be quarvel's."""

    def __init__(self, error, where="item"):
        self.error, self.where = error, where

    @property
    def dtype(self):
        if self.where == "dtype":
            raise self.error
        return q.float64

    def item(self):
        raise self.error


class QuarvelRaises(Raises):
    __module__ = "quarvel"


@pytest.mark.parametrize("make", [Raises, QuarvelRaises, lambda e: QuarvelRaises(e, "dtype")])
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, RecursionError])
def test_interrupts_from_value_hooks_pass_through(make, error):
    # only ordinary exceptions are turned into the conversion's TypeError
    with pytest.raises(error):
        q.array([make(error())])
    with pytest.raises(error):
        q.zeros(2)[0] = make(error())
    with pytest.raises(error):
        q.zeros(2)[[make(error())]]
    with pytest.raises(TypeError, match="^numeric arrays accept"):
        q.array([make(LookupError())])


# --- value path: conversion to a requested dtype ------------------------------

RANGE = "^Python int is outside the requested dtype range$"
FLOAT_RANGE = "^Python float is outside the requested dtype range$"


@pytest.mark.parametrize("value, expected", [
    (127, 127), (-128, -128), (True, 1), (3.9, 3), (-3.9, -3), (-128.5, -128), (127.9, 127),
])
def test_int8_accepts(value, expected):
    assert q.array(value, dtype="int8")[()].item() == expected


@pytest.mark.parametrize("value, error, text", [
    (128, OverflowError, RANGE),
    (-129, OverflowError, RANGE),
    (2**200, OverflowError, RANGE),
    (128.0, OverflowError, FLOAT_RANGE),
    (-129.0, OverflowError, FLOAT_RANGE),
    (float("nan"), ValueError, "^cannot convert float NaN to integer$"),
    (float("inf"), OverflowError, "^cannot convert float infinity to integer$"),
    (1j, TypeError, "^cannot cast a complex scalar to a real dtype$"),
])
def test_int8_refuses(value, error, text):
    with pytest.raises(error, match=text):
        q.array([0, value], dtype="int8")


@pytest.mark.parametrize("dtype, low, high", [
    ("uint8", 0, 255), ("int16", -32768, 32767), ("uint16", 0, 65535),
    ("int32", -2**31, 2**31 - 1), ("uint32", 0, 2**32 - 1),
    ("int64", -2**63, 2**63 - 1), ("uint64", 0, 2**64 - 1),
])
def test_integer_range_boundaries(dtype, low, high):
    assert tolist(q.array([low, high], dtype=dtype)) == [low, high]
    for outside in (low - 1, high + 1):
        with pytest.raises(OverflowError, match=RANGE):
            q.array(outside, dtype=dtype)


def test_unsigned_float_range():
    assert q.array(-0.5, dtype="uint8")[()].item() == 0
    with pytest.raises(OverflowError, match=FLOAT_RANGE):
        q.array(-1.0, dtype="uint8")
    with pytest.raises(OverflowError, match=FLOAT_RANGE):
        q.array(256.0, dtype="uint8")


@pytest.mark.parametrize("source, dtype, fits", [
    # long double values at the 64-bit bounds, where the nearest double can lie beyond them
    (2**63 - 1, "int64", True), (2**63, "int64", False),
    (2**64 - 1, "uint64", True), (2**64 - 1, "int64", False),
    (-(2**63), "int64", True), (-1, "uint64", False),
])
def test_long_double_range_uses_the_exact_value(source, dtype, fits):
    value = q.array([source], dtype="uint64" if source >= 2**63 else "int64").astype("longdouble")[0]
    target = q.zeros(1, dtype=dtype)
    if fits:
        assert q.array([value], dtype=dtype)[0].item() == source
        target[0] = value
        assert target[0].item() == source
        return
    with pytest.raises(OverflowError, match=FLOAT_RANGE):
        q.array([value], dtype=dtype)
    with pytest.raises(OverflowError, match=FLOAT_RANGE):
        target[0] = value
    assert target[0].item() == 0


def test_scalar_objects_wrap_without_range_check():
    big = q.array([300])[0]
    assert q.array([big], dtype="int8")[0].item() == 44


@pytest.mark.parametrize("value, expected", [(0, False), (5, True), (0.0, False), (1j, True), (0j, False)])
def test_bool_target(value, expected):
    assert q.array(value, dtype="bool")[()].item() is expected


def test_float16_overflow_warns():
    with pytest.warns(RuntimeWarning, match="^overflow encountered in cast$"):
        a = q.array(70000, dtype="float16")
    assert a[()].item() == math.inf
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert q.array(float("inf"), dtype="float16")[()].item() == math.inf
        assert q.array(65504, dtype="float16")[()].item() == 65504.0


def test_long_double_target_refuses_wide_ints():
    with pytest.raises(OverflowError, match="^Python int is outside the supported 64-bit numeric range$"):
        q.array(2**64, dtype="longdouble")
    assert q.array(2**64, dtype="float64")[()].item() == 2.0**64


def test_arrays_inside_lists_are_cast_with_warnings():
    source = q.array([1.0, float("nan")])
    with pytest.warns(RuntimeWarning, match="^invalid value encountered in cast$") as record:
        q.array([source], dtype="int32")
    assert len(record) == 1
    with pytest.warns(q.ComplexWarning, match="^Casting complex values to real discards the imaginary part$"):
        result = q.array([q.array([1 + 2j])], dtype="float64")
    assert tolist(result) == [[1.0]]


# --- value path: arguments and their order of checks ----------------------------

def test_value_path_copy_false_refused_before_order():
    with pytest.raises(ValueError, match="^copy=False cannot avoid allocating storage for this input$"):
        q.array([1, 2], copy=False, order="Z")


@pytest.mark.parametrize("order", ["Z", "", "c", "CF", "k", "\ud800", "C\x00"])
def test_bad_order_letters(order):
    with pytest.raises(ValueError, match=r"^order must be 'C', 'F', 'A', or 'K'$"):
        q.array([[1], [2, 3]], order=order)
    with pytest.raises(ValueError, match=r"^order must be 'C', 'F', 'A', or 'K'$"):
        q.array(q.zeros(2), order=order)
    with pytest.raises(ValueError, match=r"^order must be 'C' or 'F'$"):
        q.zeros(2, order=order)


def test_dtype_error_comes_first():
    with pytest.raises(ValueError, match="^unsupported preview dtype"):
        q.array([[1], [2, 3]], dtype="bogus", order="Z")


@pytest.mark.parametrize("kwargs", [{"copy": 1}, {"copy": "yes"}, {"order": None}, {"order": 3}])
def test_argument_types(kwargs):
    with pytest.raises(TypeError):
        q.array([1], **kwargs)


def test_signatures():
    assert str(inspect.signature(q.array)) == "(data, dtype=None, copy=True, order='K')"
    assert str(inspect.signature(q.zeros)) == "(shape, dtype=None, order='C')"
    with pytest.raises(TypeError):
        q.array()
    with pytest.raises(TypeError):
        q.array([1], None, True, "K", 5)


def test_flat_list_in_f_order_has_c_strides():
    assert q.array([1, 2, 3], order="F").strides == q.array([1, 2, 3]).strides == (8,)
    f = q.array([[1, 2, 3], [4, 5, 6]], order="F")
    assert f.strides == (8, 16)
    assert tolist(f) == [[1, 2, 3], [4, 5, 6]]


# --- array path: sharing, relabelling and copying ----------------------------------

def test_default_copy_is_a_new_buffer():
    a = q.array([1.0, 2.0])
    assert not shares_buffer(q.array(a), a)


@pytest.mark.parametrize("copy", [None, False])
def test_no_copy_shares(copy):
    a = q.array([[1.0, 2.0], [3.0, 4.0]])
    b = q.array(a, copy=copy)
    assert b is not a and shares_buffer(b, a)


def test_copy_false_refuses_a_cast_or_reorder():
    a = q.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    text = "^copy=False cannot satisfy the requested dtype or memory order$"
    with pytest.raises(ValueError, match=text):
        q.array(a, dtype="float32", copy=False)
    with pytest.raises(ValueError, match=text):
        q.array(a.T, order="C", copy=False)
    with pytest.raises(ValueError, match=text):
        q.array(a, dtype=">f8", copy=False)
    copied = q.array(a.T, order="C", copy=None)
    assert copied.c_contiguous and not shares_buffer(copied, a.T)
    assert q.array(a.T, order="F", copy=False).f_contiguous


def test_array_path_order_checked_before_copy_decision():
    a = q.array([1.0])
    with pytest.raises(ValueError, match=r"^order must be 'C', 'F', 'A', or 'K'$"):
        q.array(a, dtype="int8", copy=False, order="X")


def c_source():
    return q.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])


def f_source():
    return c_source().T


def strided_source():
    return q.zeros((2, 3, 4)).transpose(1, 0, 2)


REFUSED = "copy=False cannot satisfy the requested dtype or memory order"


@pytest.mark.parametrize("source, kwargs, outcome", [
    (c_source, {}, "copy"),
    (c_source, {"copy": True, "order": "A"}, "copy"),
    (c_source, {"copy": None}, "share"),
    (c_source, {"copy": False}, "share"),
    (c_source, {"copy": False, "order": "C"}, "share"),
    (c_source, {"copy": False, "order": "A"}, "share"),
    (c_source, {"copy": None, "order": "F"}, "copy"),
    (c_source, {"copy": False, "order": "F"}, REFUSED),
    (f_source, {"copy": False, "order": "F"}, "share"),
    (f_source, {"copy": None, "order": "C"}, "copy"),
    (f_source, {"copy": False, "order": "C"}, REFUSED),
    (strided_source, {"copy": False, "order": "K"}, "share"),
    (strided_source, {"copy": False, "order": "A"}, "share"),
    (strided_source, {"copy": None, "order": "C"}, "copy"),
    (c_source, {"copy": False, "dtype": "float64"}, "share"),
    (c_source, {"copy": False, "dtype": "<f8"}, "share"),
    (c_source, {"copy": True, "dtype": "<f8"}, "copy"),
    (c_source, {"copy": None, "dtype": ">f8"}, "copy"),
    (c_source, {"copy": False, "dtype": ">f8"}, REFUSED),
    (c_source, {"copy": None, "dtype": "float32"}, "copy"),
    (c_source, {"copy": False, "dtype": "float32"}, REFUSED),
    (c_source, {"copy": False, "dtype": "float32", "order": "K"}, REFUSED),
])
def test_array_path_decision(source, kwargs, outcome):
    a = source()
    if outcome not in ("share", "copy"):
        with pytest.raises(ValueError, match="^" + outcome + "$"):
            q.array(a, **kwargs)
        return
    b = q.array(a, **kwargs)
    assert b is not a and b.shape == a.shape
    assert tolist(b) == tolist(a)
    assert shares_buffer(b, a) == (outcome == "share")
    if outcome == "share":
        assert b.strides == a.strides
    if kwargs.get("order") == "C":
        assert b.c_contiguous
    if kwargs.get("order") == "F":
        assert b.f_contiguous


def test_relabel_and_byte_swap():
    a = q.array([1.0, 2.0])
    little = q.array(a, dtype="<f8", copy=None)
    assert shares_buffer(little, a) and little.dtype.byteorder == "="
    big = q.array(a, dtype=">f8", copy=None)
    assert not shares_buffer(big, a)
    assert repr(big) == "quarvel.Array(shape=[2], dtype=quarvel.DType('>float64'))"
    assert tolist(big) == [1.0, 2.0]
    # a one-byte dtype has no byte order to change
    small = q.array([1, 2], dtype="int8")
    assert shares_buffer(q.array(small, dtype=">i1", copy=False), small)


def test_shared_result_carries_the_requested_alias():
    a = q.array([1, 2])
    b = q.array(a, dtype="q", copy=False)
    assert b.dtype.char == "q" and shares_buffer(b, a)
    assert q.array(b).dtype.char == "q"
    assert q.array(b, dtype="int64", copy=None).dtype.char == "l"


def test_order_k_keeps_memory_order():
    base = q.zeros((2, 3, 4))
    view = base.transpose(1, 0, 2)
    assert not view.c_contiguous and not view.f_contiguous
    copy = q.array(view, order="K")
    assert copy.strides == view.strides
    assert q.array(view, order="C").strides == (64, 32, 8)


def test_cast_copy_warnings():
    c = q.array([1 + 2j, 3 - 4j])
    with pytest.warns(q.ComplexWarning, match="^Casting complex values to real discards the imaginary part$"):
        real = q.array(c, dtype="float64")
    assert tolist(real) == [1.0, 3.0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tolist(q.array(c, dtype="bool")) == [True, True]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="overflow encountered in cast"):
            q.array(q.array([1e39]), dtype="float32")


# --- zeros and empty ------------------------------------------------------------

@pytest.mark.parametrize("function", [q.zeros, q.empty])
@pytest.mark.parametrize("shape, expected", [(3, (3,)), ((2, 3), (2, 3)), ([2, 3], (2, 3)), ((), ()), (0, (0,))])
def test_zero_filled_shapes(function, shape, expected):
    a = function(shape)
    assert a.shape == expected and a.dtype.name == "float64"
    assert all(v == 0.0 for v in (tolist(a.reshape(-1)) if a.ndim else [tolist(a)]))


@pytest.mark.parametrize("dtype", ["bool", "i1", "u2", "i4", "u8", "f2", "f4", "c8", "c16"])
def test_zeros_of_every_kind(dtype):
    a = q.zeros((2,), dtype=dtype)
    assert tolist(a) == [0, 0]


def test_zeros_orders():
    assert q.zeros((2, 3), order="C").strides == (24, 8)
    assert q.zeros((2, 3), order="F").strides == (8, 16)
    assert q.zeros((2, 3), dtype="i2", order="F").strides == (2, 4)


@pytest.mark.parametrize("shape, error, text", [
    (True, TypeError, "^shape dimensions must be integers, not booleans$"),
    ((2, False), TypeError, "^shape dimensions must be integers, not booleans$"),
    (-1, ValueError, "^negative dimensions are not allowed$"),
    ((2, -3), ValueError, "^negative dimensions are not allowed$"),
    ((1,) * 65, ValueError, "^maximum supported number of dimensions is 64$"),
    ((2**62, 4), ValueError, "^array shape or byte strides exceed supported limits$"),
    ((2**40, 2**40), ValueError, "^array shape or byte strides exceed supported limits$"),
    ((2**64,), OverflowError, None),
    (2.0, TypeError, None),
    ("3", TypeError, None),
    (None, TypeError, None),
])
def test_zeros_bad_shapes(shape, error, text):
    with pytest.raises(error, match=text):
        q.zeros(shape)


def test_zeros_check_order():
    # dimensions in order, then their count, then the order letter, then the dtype
    with pytest.raises(TypeError, match="booleans"):
        q.zeros((True, -1))
    with pytest.raises(ValueError, match="negative"):
        q.zeros((-1, True))
    with pytest.raises(ValueError, match="negative"):
        q.zeros((1,) * 64 + (-1,), order="x")
    with pytest.raises(ValueError, match="maximum supported"):
        q.zeros((1,) * 65, order="x")
    with pytest.raises(ValueError, match=r"^order must be 'C' or 'F'$"):
        q.zeros(3, dtype="bogus", order="c")
    with pytest.raises(ValueError, match="unsupported preview dtype"):
        q.zeros(3, dtype="bogus")
    assert q.zeros((1,) * 64).ndim == 64


def test_allocation_failure_is_memory_error():
    with pytest.raises(MemoryError, match="^array allocation failed$"):
        q.zeros((2**62,), dtype="int8")


def test_zeros_dtype_alias_and_byte_order():
    assert q.zeros(2, dtype="q").dtype.char == "q"
    assert q.empty(2, dtype=">i4").dtype.byteorder == ">"


# --- round trips ------------------------------------------------------------------

def rectangular(elements):
    """Nested lists of a random rectangular shape filled from `elements`."""
    def build(shape):
        if not shape:
            return elements
        return st.lists(build(shape[1:]), min_size=shape[0], max_size=shape[0])
    return st.lists(st.integers(0, 3), min_size=1, max_size=4).flatmap(build)


@given(rectangular(st.integers(-2**63, 2**63 - 1)))
def test_round_trip_ints(data):
    a = q.array(data)
    assert a.dtype.name == ("int64" if a.size else "float64")
    assert tolist(a) == data


@given(rectangular(st.floats(allow_nan=False)))
def test_round_trip_floats(data):
    assert tolist(q.array(data)) == data
    assert tolist(q.array(data, order="F")) == data


@given(rectangular(st.complex_numbers(allow_nan=False)))
def test_round_trip_complex(data):
    assert tolist(q.array(data, dtype="complex128")) == data


@given(rectangular(st.integers(-128, 127)), st.sampled_from(["int8", "int16", "int64", "float32", "float64"]))
def test_round_trip_small_ints_to_any_dtype(data, dtype):
    result = tolist(q.array(data, dtype=dtype))
    assert result == data


@given(rectangular(st.booleans()))
def test_round_trip_bools(data):
    a = q.array(data)
    assert a.dtype.name == ("bool" if a.size else "float64")
    assert tolist(a) == data
