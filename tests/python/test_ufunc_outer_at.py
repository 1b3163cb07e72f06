"""ufunc.outer and ufunc.at. Oracles: nested Python loops and math."""
import math
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import quarvel as q
from array_helpers import tolist

WHERE_TEXT = ("'where' used without 'out', expect uninitialized memory in output. If this is intentional, "
              "use out=None.")
COMPLEX_TEXT = "Casting complex values to real discards the imaginary part"
NOT_NUMERIC = "numeric arrays accept Python bool, int, float, and complex scalar values"


def flat(value):
    """Row-major elements of a nested list."""
    return [x for item in value for x in flat(item)] if isinstance(value, list) else [value]


def raises_exactly(error, text, call):
    with pytest.raises(error) as caught:
        call()
    if text is not None:
        assert str(caught.value) == text


# --- outer: results ----------------------------------------------------------------------

@pytest.mark.parametrize("shape_a, shape_b", [
    ((), ()), ((), (3,)), ((2,), ()), ((2,), (3, 4)), ((2, 1), (1, 3)), ((0,), (3,)), ((2,), (0,)), ((2, 3), (0, 2)),
])
def test_outer_shape_is_a_then_b(shape_a, shape_b):
    result = q.add.outer(q.zeros(shape_a), q.zeros(shape_b))
    if shape_a + shape_b == ():
        assert type(result) is q.Float64Scalar
    else:
        assert result.shape == shape_a + shape_b


@pytest.mark.parametrize("ufunc, function, a, b", [
    (q.add, lambda x, y: x + y, [1, 2, 3], [10, 20]),
    (q.subtract, lambda x, y: x - y, [[1, 2], [3, 4]], [10, 20, 30]),
    (q.multiply, lambda x, y: x * y, 3, [[1, 2], [3, 4]]),
    (q.divide, lambda x, y: x / y, [1.0, 7.0, -3.0], [2.0, 8.0]),
    (q.floor_divide, lambda x, y: x // y, [7, -7, 9], [2, -3]),
    (q.arctan2, math.atan2, [1.0, -1.0], [2.0, -0.5]),
    (q.left_shift, lambda x, y: x << y, [1, 3], [0, 2, 4]),
    (q.less, lambda x, y: x < y, [1, 2, 3], [2]),
    (q.add, lambda x, y: x + y, [1j, 2.0], [1.0, -1j]),
])
def test_outer_values_against_nested_loops(ufunc, function, a, b):
    result = ufunc.outer(a, b)
    assert result.shape == q.array(a).shape + q.array(b).shape
    assert flat(tolist(result)) == pytest.approx([function(x, y) for x in flat(a) for y in flat(b)], rel=1e-15)


def test_divmod_outer_returns_both_arrays():
    quotient, remainder = q.divmod.outer([7, -7], [2, 3, -4])
    pairs = [(x, y) for x in [7, -7] for y in [2, 3, -4]]
    assert flat(tolist(quotient)) == [x // y for x, y in pairs]
    assert flat(tolist(remainder)) == [x % y for x, y in pairs]


def test_outer_has_no_power_replacement():
    assert q.power.outer(-math.inf, 0.5).item() == math.inf
    zero = q.power.outer(-0.0, 0.5).item()
    assert zero == 0.0 and math.copysign(1, zero) == 1


@pytest.mark.parametrize("call, char", [
    (lambda: q.add.outer(q.zeros(2, dtype="int8"), 3), "b"),
    (lambda: q.add.outer(3, q.zeros(2, dtype="int8")), "b"),
    (lambda: q.add.outer(q.zeros(2, dtype="float32"), 1j), "F"),
    (lambda: q.add.outer(q.zeros(2, dtype="int8"), q.zeros(2, dtype="int16")), "h"),
    (lambda: q.ldexp.outer(q.zeros(2, dtype="float32"), 3), "f"),  # no weak promotion for ldexp
    (lambda: q.add.outer(q.array([1], dtype="longlong"), q.array([1])), "q"),
    (lambda: q.add.outer(q.array([1], dtype="longlong"), q.array([1], dtype="ulonglong")), "d"),
    (lambda: q.add.outer(q.zeros(2, dtype="int8"), 1, dtype=None, signature="ff->f"), "f"),
    (lambda: q.add.outer(q.zeros(2, dtype="int8"), 1, dtype="float32"), "f"),
    (lambda: q.add.outer(q.zeros(2, dtype="int8"), 1, sig=(None, None, "float64")), "d"),
    (lambda: q.add.outer(q.zeros(2, dtype="int8"), 1, subok=False, casting="no"), "b"),
    (lambda: q.logical_and.outer(q.zeros(2), q.zeros(2), dtype="bool"), "?"),
])
def test_outer_result_dtype(call, char):
    assert call().dtype.char == char


def test_outer_scalar_results_keep_the_alias():
    assert type(q.add.outer(q.array(1, dtype="longlong"), 1)) is q.LongLongScalar
    six = q.multiply.outer(2, 3)
    assert type(six) is q.Int64Scalar and six.item() == 6


# --- outer: layouts, outputs, masks ------------------------------------------------------

@pytest.mark.parametrize("order, b, strides", [
    ("C", q.zeros(4), (96, 32, 8)), ("F", q.zeros(4), (8, 16, 48)), ("A", q.zeros(4), (8, 16, 48)),
    ("K", q.zeros(4), (32, 64, 8)), ("K", q.zeros((4, 5)).T, (160, 320, 8, 40)),
])
def test_outer_order_of_new_outputs(order, b, strides):
    a = q.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]).T  # F-contiguous (2, 3)
    result = q.add.outer(a, b, order=order)
    assert result.strides == strides
    assert flat(tolist(result)) == [x + y for x in flat(tolist(a)) for y in flat(tolist(b))]


def test_outer_out_forms():
    o = q.zeros((2, 3))
    assert q.add.outer([1.0, 2.0], [0.0, 1.0, 2.0], out=o) is o
    assert tolist(o) == [[1.0, 2.0, 3.0], [2.0, 3.0, 4.0]]
    assert q.multiply.outer([1.0, 2.0], [0.0, 1.0, 2.0], out=(o,)) is o
    assert tolist(o) == [[0.0, 1.0, 2.0], [0.0, 2.0, 4.0]]
    quotient = q.zeros(2, dtype="int64")
    result = q.divmod.outer([7, 9], 4, out=(quotient, None))
    assert result[0] is quotient and tolist(quotient) == [1, 2] and tolist(result[1]) == [3, 1]
    zero_d = q.zeros(())
    assert q.add.outer(1.0, 2.0, out=zero_d) is zero_d and zero_d[()].item() == 3.0
    m = q.array([[1, 2], [3, 4]])
    q.add.outer(m[0], m[:, 1], out=m)  # inputs [1, 2] and [2, 4] are read before m is written
    assert tolist(m) == [[3, 5], [4, 6]]


@pytest.mark.parametrize("call, error, text", [
    (lambda o: q.add.outer(q.zeros(2), q.zeros(3), out=q.zeros((3, 2))), ValueError,
     "output array has an incorrect shape"),
    (lambda o: q.add.outer(q.zeros(1), 1.5, out=q.zeros(1, dtype="int32")), TypeError,
     "ufunc 'add' output cannot be cast from float64 to int32 with casting rule 'same_kind'"),
    (lambda o: q.add.outer(q.zeros(1), 1, out=[o]), TypeError, "out must be an array or a tuple of output arrays"),
    (lambda o: q.add.outer(q.zeros(1), 10**400, out=o), OverflowError, "int too large to convert to float"),
    (lambda o: q.divmod.outer(q.zeros(1), 1, out=o), TypeError, "out must be an array or a tuple of output arrays"),
])
def test_outer_output_refusals_write_nothing(call, error, text):
    o = q.array([5.0])
    raises_exactly(error, text, lambda: call(o))
    assert tolist(o) == [5.0]


@pytest.mark.parametrize("where, expected", [
    (q.array([True, False]), [[11.0, 9.0], [12.0, 9.0], [13.0, 9.0]]),
    ([[True, False], [False, True], [True, True]], [[11.0, 9.0], [9.0, 22.0], [13.0, 23.0]]),
    (True, [[11.0, 21.0], [12.0, 22.0], [13.0, 23.0]]),
    (0.0, [[9.0] * 2] * 3),
    (None, [[9.0] * 2] * 3),
])
def test_outer_where_keeps_unselected_output(where, expected):
    o = q.array([[9.0] * 2] * 3)
    assert q.add.outer([1.0, 2.0, 3.0], [10.0, 20.0], out=o, where=where) is o
    assert tolist(o) == expected


@pytest.mark.parametrize("where, error, text", [
    (q.zeros(3, dtype="bool"), ValueError, "operands could not be broadcast together with shapes [3, 2] [3]"),
    (q.zeros((4, 3, 2), dtype="bool"), ValueError,
     "where mask with shape [4, 3, 2] cannot be broadcast to outer output shape [3, 2]"),
    (q.zeros(2, dtype="int8"), TypeError, "where must be a boolean array or scalar"),
])
def test_outer_where_refusals(where, error, text):
    raises_exactly(error, text, lambda: q.add.outer(q.zeros(3), q.zeros(2), out=q.zeros((3, 2)), where=where))


def test_outer_where_without_out_warns_and_zero_fills():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = q.add.outer([1, 2], [3], where=None)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, WHERE_TEXT)]
    assert tolist(result) == [[0], [0]]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tolist(q.add.outer([1, 2], [3], where=None, out=None)) == [[0], [0]]
        with pytest.raises(UserWarning):
            q.add.outer([1, 2], [3], where=True)


@pytest.mark.parametrize("a, b, fails", [
    (q.zeros(2), 10**400, True), (10**400, q.zeros(2), True), (10**400, q.zeros(0), True),
    (q.zeros(0), 10**400, False),  # `b` is never read when `a` is empty
])
def test_outer_reads_inputs_also_where_masked_out(a, b, fails):
    call = lambda: q.add.outer(a, b, where=False, out=None)  # noqa: E731
    if fails:
        raises_exactly(OverflowError, "int too large to convert to float", call)
    else:
        assert call().shape == (0,)


# --- outer: refusals ---------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, error, text", [
    ({"dtype": "float64", "signature": "dd->d"}, TypeError, "cannot specify both dtype and signature"),
    ({"signature": None, "sig": None}, TypeError, "signature and sig cannot both be provided"),
    ({"order": "k"}, ValueError, "order must be 'C', 'F', 'A', or 'K'"),
    ({"subok": 1}, TypeError, "'subok' must be a boolean"),
    ({"order": "k", "subok": 1}, ValueError, "order must be 'C', 'F', 'A', or 'K'"),
    ({"subok": 1, "order": "k"}, TypeError, "'subok' must be a boolean"),
    ({"casting": "safe"}, TypeError, "ufunc 'add' input cannot be cast from int64 to float64 with casting rule 'safe'"),
    ({"foo": 1, "order": "k"}, TypeError, "unexpected keyword argument 'foo'"),
])
def test_outer_keyword_refusals(kwargs, error, text):
    raises_exactly(error, text, lambda: q.add.outer(q.zeros(2, dtype="int64"), q.zeros(2), **kwargs))


@pytest.mark.parametrize("call, error, text", [
    (lambda: q.sin.outer(1, 2), TypeError, "sin is not a binary outer ufunc"),
    (lambda: q.modf.outer(1, 2), TypeError, "modf is not a binary outer ufunc"),
    (lambda: q.sin.outer(1, 2, foo=1), TypeError, "unexpected keyword argument 'foo'"),
    (lambda: q.sin.outer(1, 2, out=None, bar=2), TypeError, "unexpected keyword argument 'bar'"),
    (lambda: q.add.outer(q.zeros(1, dtype="int8"), 300), OverflowError,
     "Python integer does not fit in array dtype int8"),
    (lambda: q.add.outer("x", q.zeros(0)), TypeError, NOT_NUMERIC),
    (lambda: q.logical_and.outer(q.zeros(2), q.zeros(2), dtype="float64"), TypeError,
     "no loop matching the specified signature and casting was found for ufunc 'logical_and'"),
    (lambda: q.add.outer(1), TypeError, "outer() takes exactly 2 positional arguments (1 given)"),
    (lambda: q.add.outer(1, 2, 3), TypeError, "outer() takes at most 2 arguments (3 given)"),
    (lambda: q.add.outer(q.zeros((1,) * 40), q.zeros((1,) * 40)), ValueError,
     "array shape or byte strides exceed supported limits"),
    pytest.param(lambda: q.add.outer(q.zeros(2**20), q.zeros(2**20)), MemoryError, None,  # 2**40 results
                 marks=pytest.mark.impossible_allocation),
])
def test_outer_refusals(call, error, text):
    raises_exactly(error, text, call)


def test_outer_total_beyond_64_bits():
    assert q.add.outer(q.zeros((1,) * 40), q.zeros((1,) * 24)).ndim == 64
    try:
        a, b = q.zeros(2**32, dtype="int8"), q.zeros(2**32, dtype="int8")  # zero pages, never touched
    except MemoryError:
        pytest.skip("no room for two 4 GiB inputs")
    raises_exactly(ValueError, "outer output shape exceeds supported limits", lambda: q.add.outer(a, b))


def test_outer_fault_report_after_out_is_written():
    o = q.zeros((2, 2))
    with q.errstate(divide="raise"), pytest.raises(FloatingPointError, match="^divide by zero encountered in divide$"):
        q.divide.outer([1.0, 2.0], [0.0, 4.0], out=o)
    assert tolist(o) == [[math.inf, 0.25], [math.inf, 0.5]]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        q.divide.outer([1.0, 0.0, 2.0], [0.0, 0.0])
    assert [str(w.message) for w in caught] == ["divide by zero encountered in divide",
                                                "invalid value encountered in divide"]


# --- at ----------------------------------------------------------------------------------

@pytest.mark.parametrize("ufunc, start, indices, b, expected", [
    (q.add, [0.0] * 4, [0, 0, 2], 1, [2.0, 0.0, 1.0, 0.0]),
    (q.add, [0.0] * 4, [0, 0], [1, 2], [3.0, 0.0, 0.0, 0.0]),
    (q.add, [0.0] * 3, [0, 2, 2], q.array([5.0]), [5.0, 0.0, 10.0]),
    (q.add, [0.0] * 3, [0, 2, 2], q.array(5.0), [5.0, 0.0, 10.0]),
    (q.multiply, [1, 2, 3, 4], [1, 1, 1], 3, [1, 54, 3, 4]),
    (q.multiply, [1 + 1j, 2j], [0, 0], 1j, [-1 - 1j, 2j]),
    (q.subtract, [10, 20, 30], [-1, 0], q.array([5, 6]), [4, 20, 25]),
    (q.add, [1, 2, 3, 4], slice(1, 3), 10, [1, 12, 13, 4]),
    (q.add, [1, 2, 3, 4], slice(None, None, -2), [100, 200], [1, 202, 3, 104]),
    (q.add, [1, 2, 3, 4], 2, 5, [1, 2, 8, 4]),
    (q.add, [1, 2, 3, 4], (Ellipsis,), 1, [2, 3, 4, 5]),
    (q.add, [1, 2, 3, 4], q.array([True, False, True, False]), [10, 20], [11, 2, 23, 4]),
    (q.add, [1, 2, 3, 4], q.array([False] * 4), 7, [1, 2, 3, 4]),
    (q.add, [1, 2, 3, 4], q.array([False] * 4), [], [1, 2, 3, 4]),
    (q.add, [1, 2], True, 1, [2, 3]),
    (q.maximum, [1.0, 5.0], [0, 1, 0], [3.0, 2.0, 2.0], [3.0, 5.0]),
    (q.negative, [1, 2, 3, 4], [1, 3], None, [1, -2, 3, -4]),
    (q.negative, [1, 2, 3, 4], [1, 1], None, [1, 2, 3, 4]),
    (q.sqrt, [4.0, 9.0], [1], None, [4.0, 3.0]),
    (q.invert, [True, False], [0, 0, 0], None, [False, False]),
])
def test_at_updates_in_place(ufunc, start, indices, b, expected):
    a = q.array(start)
    assert (ufunc.at(a, indices) if b is None else ufunc.at(a, indices, b)) is None
    assert tolist(a) == expected


def test_at_two_dimensional_indices_and_views():
    a = q.zeros((2, 3), dtype="int64")
    q.add.at(a, (1, 2), 5)
    q.add.at(a, ([0, 0, 1], [1, 1, 0]), [1, 2, 3])
    q.add.at(a, (slice(None), 0), [10])
    q.add.at(a, 0, [100, 200, 300])
    q.add.at(a[1, ::2], [1, 1], 1)
    assert tolist(a) == [[110, 203, 300], [13, 0, 7]]


@given(st.lists(st.tuples(st.integers(0, 5), st.integers(-1000, 1000)), max_size=12))
@settings(max_examples=60, deadline=None)
def test_at_repeated_indices_accumulate(updates):
    expected = [7] * 6
    for i, v in updates:
        expected[i] -= v
    a = q.array([7] * 6, dtype="int64")
    q.subtract.at(a, q.array([i for i, _ in updates], dtype="int64"), q.array([v for _, v in updates], dtype="int64"))
    assert tolist(a) == expected


def test_at_reads_b_whole_before_writing():
    a = q.array([1, 2, 3, 4])
    q.add.at(a, [1, 2, 3], a[:3])
    assert tolist(a) == [1, 3, 5, 7]


@pytest.mark.parametrize("dtype, start, b, expected", [
    ("int8", 127, 1, -128),  # the int enters as int64; the result wraps back into int8
    ("uint8", 0, -1, 255),
    ("int8", 1, 1.75, 2),  # float64 loop, truncated into int8
    ("float32", 1.0, 2**70, 2.0**70),
    ("bool", False, 1j, True),  # a complex loop into bool: no warning
])
def test_at_has_no_weak_promotion(dtype, start, b, expected):
    a = q.array([start], dtype=dtype)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        q.add.at(a, [0], b)
    assert tolist(a) == [expected]


@pytest.mark.parametrize("dtype", ["float16", "float32", "float128", "complex64", "complex256", "uint16"])
def test_at_keeps_the_array_dtype(dtype):
    a = q.array([1, 1, 1], dtype=dtype)
    q.add.at(a, [0, 2, 2], q.array([1, 2, 3], dtype=dtype))
    assert a.dtype.name == dtype
    assert tolist(a.astype("complex128")) == [2, 1, 6]


def test_at_complex_discard_warns_once_before_any_write():
    a = q.zeros(3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        q.add.at(a, [0, 1, 1], 1 + 2j)
    assert [(w.category, str(w.message)) for w in caught] == [(q.ComplexWarning, COMPLEX_TEXT)]
    assert tolist(a) == [1.0, 2.0, 0.0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for target in (a, q.zeros(1, dtype="int8")):
            with pytest.raises(q.ComplexWarning):
                q.add.at(target, [0], 1j)
    assert tolist(a) == [1.0, 2.0, 0.0]


@pytest.mark.parametrize("call, error, text", [
    (lambda a: q.add.at([1.0], [0], 1), TypeError, "first argument to ufunc.at must be a Quarvel array"),
    (lambda a: q.divmod.at([1], [0], 1), TypeError, "first argument to ufunc.at must be a Quarvel array"),
    (lambda a: q.add.at(q.zeros(()), 0, 1), TypeError, "ufunc.at requires an array with at least one dimension"),
    (lambda a: q.divmod.at(a, [0], 1), TypeError, "divmod does not support the at method"),
    (lambda a: q.divmod.at(q.zeros(()), [0], 1), TypeError, "divmod does not support the at method"),
    (lambda a: q.modf.at(a, [0]), TypeError, "modf does not support the at method"),
    (lambda a: q.frexp.at(a, [0]), TypeError, "frexp does not support the at method"),
    (lambda a: q.add.at(a, [1]), TypeError, "binary ufunc.at requires a third operand"),
    (lambda a: q.add.at(a, [1], None), TypeError, "binary ufunc.at requires a third operand"),
    (lambda a: q.negative.at(a, [1], 5), TypeError, "unary ufunc.at takes only the array and indices"),
    (lambda a: q.add.at(a, [0, 1, 2], q.zeros(2)), ValueError,
     "operands could not be broadcast together with shapes [3] [2]"),
    (lambda a: q.add.at(a, [0, 1, 2], q.zeros((1, 3))), ValueError,
     "right operand cannot be broadcast to the indexed target shape"),
    (lambda a: q.add.at(a, q.array([False] * 3), q.zeros(2)), ValueError,
     "operands could not be broadcast together with shapes [0] [2]"),
    (lambda a: q.add.at(a, [0, 3], 1), IndexError, None),
    (lambda a: q.add.at(a, [0], 10**400), OverflowError, "int too large to convert to float"),
    (lambda a: q.add.at(q.zeros(1, dtype="int64"), [0], 2**70), OverflowError,
     "Python int is outside the supported 64-bit numeric range"),
    (lambda a: q.add.at(a, [0], b=1), TypeError, "'b' is an invalid keyword argument for at()"),
    (lambda a: q.add.at(a), TypeError, "at() takes at least 2 positional arguments (1 given)"),
    (lambda a: q.add.at(a, [0], 1, 2), TypeError, "at() takes at most 3 arguments (4 given)"),
])
def test_at_refusals_leave_a_unchanged(call, error, text):
    a = q.array([1.0, 2.0, 3.0])
    raises_exactly(error, text, lambda: call(a))
    assert tolist(a) == [1.0, 2.0, 3.0]


def test_at_fault_report_after_every_write():
    f = q.array([1.0, 2.0])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        q.divide.at(f, [0, 1], 0.0)
    assert [str(w.message) for w in caught] == ["divide by zero encountered in divide"]
    assert tolist(f) == [math.inf, math.inf]
    g = q.array([1.0, 2.0])
    with q.errstate(divide="raise"), pytest.raises(FloatingPointError, match="^divide by zero encountered in divide$"):
        q.divide.at(g, [0, 1], 0.0)
    assert tolist(g) == [math.inf, math.inf]
    with q.errstate(all="raise"):  # nothing selected: nothing to report
        assert q.divide.at(g, q.array([False, False]), 0.0) is None
