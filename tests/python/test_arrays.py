"""Arrays: array, zeros and empty; attributes, flags and repr; reshape,
transpose, astype and copy. Oracle: nested Python lists."""
import itertools
import signal

import pytest
from hypothesis import given, strategies as st

import quarvel as q
from helpers import CHARS, COMPLEX_DISCARD, LIMITS, NOT_NUMERIC, as_errors, raises, record, shares_buffer, tolist

INT_RANGE = "Python int is outside the requested dtype range"
FLOAT_RANGE = "Python float is outside the requested dtype range"
WIDE_INT = "Python int is outside the supported 64-bit numeric range"
ORDER_CFAK = "order must be 'C', 'F', 'A', or 'K'"
NO_COPY = "copy=False cannot satisfy the requested dtype or memory order"


# --- construction from values -------------------------------------------------

ListSub, TupleSub = type("ListSub", (list,), {}), type("TupleSub", (tuple,), {})


@pytest.mark.parametrize("data, shape, dtype", [
    ([[], []], (2, 0), "float64"), (True, (), "bool"), (2**63, (), "uint64"), ([True, 2], (2,), "int64"),
    ([1, 2**63], (2,), "float64"), ([1, 1j], (2,), "complex128"), ([[1, 2, 3], (4, 5, 6)], (2, 3), "int64"),
    ([q.zeros((2, 3))] * 2, (2, 2, 3), "float64"), ([q.array([1], dtype="i1")[0]] * 2, (2,), "int8"),
    ([q.array([1], dtype="q")[0], 3], (2,), "int64"), (eval("[" * 64 + "1" + "]" * 64), (1,) * 64, "int64"),
    ([[q.zeros((1,) * 62)]], (1,) * 64, "float64"),  # an array's own dimensions are no nesting
    (ListSub([1, 2, 3]), (3,), "int64"), ([ListSub([1, 2]), TupleSub((3, 4.5))], (2, 2), "float64"),
])
def test_inferred_shape_and_dtype(data, shape, dtype):
    a = q.array(data)
    assert (a.shape, a.dtype.name) == (shape, dtype)


def test_scalar_objects_keep_their_dtype_and_alias():
    for dtype, value in [("uint16", 60000), ("uint64", 2**64 - 1), ("Q", 6), ("float16", 0.333), ("clongdouble", 0.2j)]:
        element = q.array([value], dtype=dtype)[0]
        for result in (q.array(element), q.array([element, element])):
            assert (result.dtype, result.dtype.char, repr(result[(0,) * result.ndim])) == (
                element.dtype, element.dtype.char, repr(element))
    long_long = q.array([7], dtype="q")[0]
    assert type(q.array([long_long, 3])[0]) is q.LongLongScalar and q.array([long_long, 1.5]).dtype.char == "d"
    foreign = type("Foreign", (), {"dtype": q.longlong, "item": lambda self: 5})()  # only the module's own scalars
    assert q.array([foreign]).dtype.char == "l"


class Hook:
    """item() gives `result` (called when callable) or raises it; a `dtype` property may raise it first."""

    def __init__(self, result, where="item"):
        self.result, self.where = result, where

    @property
    def dtype(self):
        if self.where == "dtype":
            raise self.result
        return q.float64

    def item(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result() if callable(self.result) else self.result


QuarvelHook = type("QuarvelHook", (Hook,), {"__module__": "quarvel"})


def test_objects_with_item():
    assert tolist(q.array([Hook(5), Hook(2.5)])) == [5.0, 2.5]
    for value in (Hook("text"), Hook(ArithmeticError())):
        raises(TypeError, NOT_NUMERIC, q.array, [value])
    # an item() chain that never ends is stopped, not followed into a crash
    endless = Hook(lambda: Hook(endless.item))
    raises(RecursionError, None, q.array, [endless])
    raises(RecursionError, None, q.array([1], dtype="float32").__setitem__, 0, endless)


@pytest.mark.parametrize("make", [Hook, QuarvelHook, lambda e: QuarvelHook(e, "dtype")])
def test_interrupts_from_value_hooks_pass_through(make):
    # only ordinary exceptions are turned into the conversion's TypeError
    for error in (KeyboardInterrupt, SystemExit, RecursionError):
        raises(error, None, q.array, [make(error())])
        raises(error, None, q.zeros(2).__setitem__, 0, make(error()))
        raises(error, None, q.zeros(2).__getitem__, [make(error())])
    raises(TypeError, NOT_NUMERIC, q.array, [make(LookupError())])


def test_endless_list_subclass_can_be_interrupted():
    # An iterator written in C runs no bytecode: only the conversion itself can notice the signal.
    endless = type("Endless", (list,), {"__iter__": lambda self: itertools.repeat("x", 20_000_000)})()

    def interrupt(signum, frame):
        raise InterruptedError

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        raises(InterruptedError, None, q.array, endless)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("value, dtype, expected", [
    (-128.5, "int8", -128), (True, "int8", 1), (-0.5, "uint8", 0), (2**64 - 1, "uint64", 2**64 - 1), (5, "bool", True),
    (1j, "bool", True), (0j, "bool", False), (2**64, "float64", 2.0**64), (2**64, "uint64", (OverflowError, INT_RANGE)),
    (q.array([300])[0], "int8", 44),  # scalar objects wrap like casts, unchecked
    (128, "int8", (OverflowError, INT_RANGE)), (-129, "int8", (OverflowError, INT_RANGE)),
    (-1, "uint64", (OverflowError, INT_RANGE)), (-1.0, "uint8", (OverflowError, FLOAT_RANGE)),
    (float("nan"), "int8", (ValueError, "cannot convert float NaN to integer")),
    (float("inf"), "int8", (OverflowError, "cannot convert float infinity to integer")),
    (1j, "int8", (TypeError, "cannot cast a complex scalar to a real dtype")),
    (2**64, "longdouble", (OverflowError, WIDE_INT))])
def test_conversion_to_a_requested_dtype(value, dtype, expected):
    if isinstance(expected, tuple):
        raises(*expected, q.array, [0, value], dtype=dtype)
    else:
        assert q.array(value, dtype=dtype)[()].item() == expected


@pytest.mark.parametrize("source, dtype, fits", [
    # long double values at the 64-bit bounds, where the nearest double can lie beyond them
    (2**63 - 1, "int64", True), (2**63, "int64", False), (2**64 - 1, "uint64", True), (2**64 - 1, "int64", False),
    (-(2**63), "int64", True), (-1, "uint64", False)])
def test_long_double_range_uses_the_exact_value(source, dtype, fits):
    value = q.array([source], dtype="uint64" if source >= 2**63 else "int64").astype("longdouble")[0]
    target = q.zeros(1, dtype=dtype)
    if fits:  # and without a warning
        as_errors(lambda: target.__setitem__(0, value))
        assert as_errors(lambda: q.array([value], dtype=dtype))[0].item() == target[0].item() == source
    else:
        raises(OverflowError, FLOAT_RANGE, q.array, [value], dtype=dtype)
        raises(OverflowError, FLOAT_RANGE, target.__setitem__, 0, value)
        assert target[0].item() == 0


CONSTRUCTION_REFUSALS = [
    *[(lambda d=data: q.array(d), error, text) for data, error, text in [
        (eval("[" * 65 + "1" + "]" * 65), ValueError, "array nesting is too deep"),
        ([q.zeros((1,) * 64)], ValueError, LIMITS), ([[1, 2], [3]], ValueError, "input sequence is ragged"),
        ([q.array([1, 2]), [1, 2, 3]], ValueError, "input sequence is ragged"),
        ([["x"], [1, 2]], ValueError, "input sequence is ragged"),  # before any element is converted
        (2**64, OverflowError, WIDE_INT), *[([value], TypeError, NOT_NUMERIC) for value in ["x", range(3), None]]]],
    (lambda: q.array([1, 2], copy=False, order="Z"), ValueError,
     "copy=False cannot avoid allocating storage for this input"),
    (lambda: q.array([[1], [2, 3]], dtype="bogus", order="Z"), ValueError, 'unsupported preview dtype "bogus"'),
    (lambda: q.array(q.array([1.0]), dtype="int8", copy=False, order="X"), ValueError, ORDER_CFAK),
    *[(lambda o=order: q.array([[1], [2, 3]], order=o), ValueError, ORDER_CFAK) for order in ["c", "C\0", "\ud800"]],
    (lambda: q.array(q.zeros(2), order="k"), ValueError, ORDER_CFAK),
    (lambda: q.array([1], copy=1), TypeError, None), (lambda: q.array([1], order=None), TypeError, None),
    # zeros checks its arguments in this order
    *[(lambda s=shape, k=kwargs: q.zeros(s, **k), error, text) for shape, kwargs, error, text in [
        (True, {}, TypeError, "shape dimensions must be integers, not booleans"), ((2**64,), {}, OverflowError, None),
        ((1,) * 64 + (-1,), {"order": "x"}, ValueError, "negative dimensions are not allowed"),
        ((1,) * 65, {"order": "x"}, ValueError, "maximum supported number of dimensions is 64"),
        ((2**40, 2**40), {}, ValueError, LIMITS),
        (3, {"dtype": "bogus", "order": "c"}, ValueError, "order must be 'C' or 'F'"),
        (3, {"dtype": "bogus"}, ValueError, 'unsupported preview dtype "bogus"'), (2.0, {}, TypeError, None),
        ((2**62,), {"dtype": "int8"}, MemoryError, "array allocation failed")]]]


@pytest.mark.parametrize("call, error, text", CONSTRUCTION_REFUSALS)
def test_construction_refusals(call, error, text):
    raises(error, text, call)


# --- construction from an array: sharing, relabelling, copying ----------------

c_source = lambda: q.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])  # noqa: E731
f_source = lambda: c_source().T  # noqa: E731
strided_source = lambda: q.zeros((2, 3, 4)).transpose(1, 0, 2)  # noqa: E731


@pytest.mark.parametrize("source, kwargs, outcome", [
    (c_source, {}, "copy"), (c_source, {"copy": None}, "share"), (c_source, {"copy": False, "order": "A"}, "share"),
    (c_source, {"copy": None, "order": "F"}, "copy"), (c_source, {"copy": False, "order": "F"}, NO_COPY),
    (f_source, {"copy": False, "order": "F"}, "share"), (f_source, {"copy": False, "order": "C"}, NO_COPY),
    (strided_source, {"copy": False, "order": "K"}, "share"), (strided_source, {"copy": False, "order": "A"}, "share"),
    (strided_source, {"order": "K"}, "copy"), (c_source, {"copy": False, "dtype": "<f8"}, "share"),
    (c_source, {"copy": None, "dtype": ">f8"}, "copy"), (c_source, {"copy": False, "dtype": ">f8"}, NO_COPY),
    (c_source, {"copy": False, "dtype": "float32", "order": "K"}, NO_COPY)])
def test_array_from_an_array(source, kwargs, outcome):
    a = source()
    if outcome == NO_COPY:
        raises(ValueError, NO_COPY, q.array, a, **kwargs)
        return
    b = q.array(a, **kwargs)
    assert b is not a and b.shape == a.shape and tolist(b) == tolist(a)
    assert shares_buffer(b, a) == (outcome == "share")
    assert b.strides == a.strides or outcome == "copy" and kwargs.get("order") != "K"
    assert {"C": b.c_contiguous, "F": b.f_contiguous}.get(kwargs.get("order"), True)
    assert b.dtype.byteorder == (">" if kwargs.get("dtype") == ">f8" else "=")
    shared = q.array(q.array([1, 2]), dtype="q", copy=False)  # a shared result carries the requested alias
    assert shared.dtype.char == q.array(shared).dtype.char == "q" and q.array(shared, dtype="int64").dtype.char == "l"


# --- zeros and empty ----------------------------------------------------------

@pytest.mark.parametrize("function", [q.zeros, q.empty])
def test_zeros_and_empty(function):
    for shape, expected in [(3, (3,)), ([2, 3], (2, 3)), ((), ()), ((1,) * 64, (1,) * 64)]:
        a = function(shape)
        assert (a.shape, a.dtype.name, set(tolist(a.reshape(-1)))) == (expected, "float64", {0.0})
    for dtype in CHARS:  # sizes and strides in both orders
        n, c, f = q.DType(dtype).itemsize, function((2, 3, 4), dtype), function((2, 3, 4), dtype, order="F")
        assert (c.ndim, c.size, c.itemsize, c.nbytes, c.dtype.name, c.strides, f.strides) == (
            3, 24, n, 24 * n, dtype, (12 * n, 4 * n, n), (n, 2 * n, 6 * n))
        assert set(tolist(f.reshape(-1).astype("c16"))) == {0}
    assert function(2, dtype="q").dtype.char == "q" and function(2, dtype=">i4").dtype.byteorder == ">"


# --- attributes, flags, repr --------------------------------------------------


def test_attributes_of_views_and_small_shapes():
    a = q.array([1, 2, 3], dtype="int32")
    assert (a[::-1].strides, a[None].strides, q.zeros((2, 3))[:, None].strides) == ((-4,), (0, 4), (24, 0, 8))
    assert a.T is not a and (a.T.shape, a.T.strides) == (a.shape, a.strides) and shares_buffer(a.T, a)
    zero_d = q.array(2.5)
    assert (zero_d.shape, zero_d.ndim, zero_d.size, zero_d.strides, zero_d.nbytes) == ((), 0, 1, (), 8)
    raises(TypeError, "len() of unsized object", bool, zero_d)
    empty = q.zeros((0, 3))
    assert (empty.size, empty.nbytes, len(empty), bool(empty), bool(q.zeros((2, 0)))) == (0, 0, 0, False, True)
    assert empty.c_contiguous and empty.f_contiguous and q.array([[1, 2, 3], [4, 5, 6]], order="F").strides == (8, 16)


def test_repr_and_flags():
    for shape, dtype, text in [((), "bool", "'bool'"), ((5,), ">i1", "'int8'"), ((1, 0), ">g", "'>float128'")]:
        assert repr(q.zeros(shape, dtype=dtype)) == str(q.zeros(shape, dtype=dtype)) == (
            f"quarvel.Array(shape={list(shape)}, dtype=quarvel.DType({text}))")
    a = q.zeros((2, 3))
    assert repr(a.flags) == "quarvel.ArrayFlags(c_contiguous=true, f_contiguous=false, writeable=true)"
    assert (a.T.flags.c_contiguous, a.T.flags.f_contiguous, a.T.flags.writeable, a.writeable) == (False, True, True, True)
    assert [a.flags[key] for key in ("c_Contiguous", "F", "f_contiguous", "WriteAble")] == [True, False, False, True]
    # only ASCII letters change case: dotless i and long s would upper-case to I and S
    for key in ["", "WRITABLE", "C ", "\ud800", "wr\u0131teable", "c_contiguou\u017f"]:
        assert raises(KeyError, None, a.flags.__getitem__, key).args == (key,)
    assert "key" in str(raises(TypeError, None, a.flags.__getitem__, b"C"))


# --- reshape, transpose, astype, copy -----------------------------------------

def six():
    return q.array([0, 1, 2, 3, 4, 5])


@pytest.mark.parametrize("size, shape, order, strides", [
    (2, (1, 2), "C", (16, 8)), (2, (2, 1), "C", (8, 8)), (3, (1, 3, 1), "C", (24, 8, 8)),
    (6, (1, 2, 1, 3), "C", (48, 24, 24, 8)), (2, (1, 2), "F", (8, 8)), (2, (2, 1), "F", (8, 16)), (1, (1, 1), "C", (8, 8))])
def test_length_one_axes_of_a_reshaped_view_take_their_neighbours_strides(size, shape, order, strides):
    base = q.zeros(size)
    view = base.reshape(shape, order=order)
    assert view.strides == strides and shares_buffer(view, base)


def test_reshape_orders_and_copies():
    a = six()
    for shape, expected in [([3, 2], (3, 2)), ((3, -1), (3, 2)), (-1, (6,)), ((-1, 1, 1), (6, 1, 1))]:
        assert a.reshape(shape).shape == expected and shares_buffer(a.reshape(shape), a)
    m = a.reshape((2, 3))
    assert tolist(m) == [[0, 1, 2], [3, 4, 5]] and tolist(a.reshape((2, 3), order="F")) == [[0, 2, 4], [1, 3, 5]]
    assert tolist(m.T.reshape(6, order="A")) == [0, 1, 2, 3, 4, 5] and tolist(m.T.reshape(6)) == [0, 3, 1, 4, 2, 5]
    raises(ValueError, "array view has an invalid layout", m.T.reshape, 6, copy=False)
    assert not shares_buffer(m.T.reshape(6, copy=None), m) and not shares_buffer(m.reshape((3, 2), copy=True), m)
    assert shares_buffer(m.reshape(shape=(3, 2), order="C", copy=False), m) and shares_buffer(m[:, None].reshape(6), m)
    raises(ValueError, "cannot reshape array of size 0 into shape [0, 0]", q.zeros(0).reshape, (0, -1))
    e = q.zeros((2, 0))  # an empty copy is laid out as an empty view: zero lengths count as one
    assert e.reshape((0, 5), order="F", copy=True).strides == e.reshape((0, 5), order="F").strides == (8, 8)
    assert q.array([1, 2], dtype="q").reshape((2, 1)).dtype.char == "q"


RESHAPE_REFUSALS = [
    (((-1, 4),), {}, ValueError, "cannot reshape array of size 6 into shape [0, 4]"),
    (((4,),), {}, ValueError, "source and destination shapes must match exactly"),
    (((-1, -1),), {}, ValueError, "can only specify one unknown dimension"),
    (((2**62, 4),), {}, ValueError, "requested shape is too large"), (((2**62, 2),), {}, ValueError, LIMITS),
    (((2**61, 2),), {}, ValueError, "source and destination shapes must match exactly"),
    ((("x",),), {"order": "c"}, ValueError, "order must be 'C', 'F', or 'A'"),
    ((2, 3), {}, TypeError, None), (((2, 3),), {"shape": (2, 3)}, TypeError, None)]


@pytest.mark.parametrize("args, kwargs, error, text", RESHAPE_REFUSALS)
def test_reshape_refusals(args, kwargs, error, text):
    a = six()
    raises(error, text, a.reshape, *args, **kwargs)
    assert tolist(a) == [0, 1, 2, 3, 4, 5]


def test_transpose():
    a = q.zeros((2, 3, 4))
    assert a.transpose().shape == a.transpose(None).shape == (4, 3, 2)
    for form in [((1, 0, 2),), ([1, 0, 2],), (-2, 0, -1)]:
        assert (a.transpose(*form).shape, a.transpose(*form).strides) == ((3, 2, 4), (32, 96, 8))
    m = six().reshape((2, 3))
    assert shares_buffer(m.transpose(1, 0), m) and tolist(m.transpose(-1, 0)) == [[0, 3], [1, 4], [2, 5]]
    assert six().transpose(0).shape == six().transpose(False).shape == (6,)  # a lone bool is an axis number
    for axes in [(0,), (0, 0), (0, 2), (0, 1, 2)]:
        raises(IndexError, "invalid axis permutation", q.zeros((2, 3)).transpose, *axes)
    raises(TypeError, "axes must contain integers, not booleans", q.zeros((2, 3)).transpose, 1, True)
    raises(TypeError, None, q.zeros((2, 3)).transpose, (0, (1,)))


def test_astype_values_warnings_and_layout():
    a = q.array([1.5, -2.5, 127.0])
    for dtype, expected in [("uint16", [1, 65534, 127]), ("bool", [True] * 3), ("complex64", [1.5, -2.5, 127.0]),
                            (">i4", [1, -2, 127])]:
        assert tolist(a.astype(dtype)) == expected and a.astype(dtype).dtype == q.DType(dtype)
    assert not shares_buffer(a.astype("float64"), a)
    c = q.array([1 + 2j, -3 + 0.5j])
    assert record(lambda: tolist(c.astype("float32"))) == ([1.0, -3.0], [(q.ComplexWarning, COMPLEX_DISCARD)])
    assert as_errors(lambda: tolist(c.astype("bool"))) == [True, True]
    assert tolist(as_errors(lambda: q.array([1e39]).astype(">f8"))) == [1e39]  # a byte swap alone never warns
    a = q.array([[1, 2, 3], [4, 5, 6]], dtype="int32")
    assert a.astype("q").dtype.char == "q" and q.array([1], dtype="q").astype("int64").dtype.char == "l"
    assert (a.T.astype("float64").strides, a.T.astype("float64", order="C").strides) == ((8, 24), (16, 8))
    assert (a.astype("float64", order="F").strides, a.astype("i2", order="A").strides) == ((8, 16), (6, 2))
    raises(ValueError, ORDER_CFAK, a.astype, "float64", order="k")
    raises(TypeError, None, a.astype, None)


def test_copy():
    a = q.array([[1.0, 2.0], [3.0, 4.0]])
    assert not shares_buffer(a.copy(), a) and tolist(a[:, ::-1].copy()) == [[2.0, 1.0], [4.0, 3.0]]
    big = q.zeros((2, 3), dtype=">i4", order="F").copy()
    assert (big.strides, big.dtype.byteorder, q.array([1], dtype="Q").copy().dtype.char) == ((12, 4), ">", "Q")


# --- round trips --------------------------------------------------------------

def rectangular(elements):
    """Nested lists of a random rectangular shape filled from `elements`."""
    def build(shape):
        if not shape:
            return elements
        return st.lists(build(shape[1:]), min_size=shape[0], max_size=shape[0])
    return st.lists(st.integers(0, 3), min_size=1, max_size=4).flatmap(build)


@given(st.sampled_from([(st.integers(-2**63, 2**63 - 1), None, "int64"), (st.booleans(), None, "bool"),
                        (st.floats(allow_nan=False), None, "float64"),
                        (st.complex_numbers(allow_nan=False), "complex128", "complex128"),
                        *[(st.integers(-128, 127), t, t) for t in ["int8", "int16", "float32", "float16"]]])
       .flatmap(lambda kind: st.tuples(rectangular(kind[0]), st.just(kind[1:]))), st.sampled_from("CF"))
def test_round_trips(case, order):
    data, (dtype, name) = case
    a = q.array(data, dtype=dtype, order=order)
    assert tolist(a) == data and a.dtype.name == (name if a.size or dtype else "float64")
