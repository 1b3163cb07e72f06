"""Small calls: ufunc calls and operators on arrays of a few elements and on
plain Python numbers, the calls served before the call engine's generic
machinery. Each case runs here and in a child process on the element path
(QUARVEL_ELEMENT_PATH=1), and the reports must be equal: values, dtypes,
strides, result classes, warnings, fault reports and errors."""
import operator
import struct
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import quarvel as q
from element_path import check, run_case
from helpers import UFUNCS, raises
from test_differential import NUMBERS, SPECIAL_FLOATS, built, dtype_text, nested, values_for

SMALL_SHAPES = [(), (1,), (3,), (2, 3), (1, 1), (2, 1)]
CODES = ["?", "i1", "u1", "i2", "u4", "i8", "u8", "f2", "f4", "f8", "c8", "c16"]
BINARY_OPERATORS = ["add", "sub", "mul", "truediv", "floordiv", "mod", "pow", "lshift", "rshift", "and_", "or_",
                    "xor", "lt", "le", "eq", "ne", "gt", "ge"]
IN_PLACE_OPERATORS = ["iadd", "isub", "imul", "itruediv", "ifloordiv", "imod", "ipow", "ilshift", "irshift", "iand",
                      "ior", "ixor"]
UNARY_OPERATORS = ["neg", "pos", "abs", "invert"]
NO_LOOP = "scalar cannot be converted to the requested dtype"  # the storage error of a missing loop


@st.composite
def small_array(draw, shape, code):
    """An array of `shape` (or one element broadcasting to it), mostly of `code`
    and native: plainly, reversed, every other element, in F order, big-endian."""
    if draw(st.integers(0, 3)) == 0:
        shape = tuple(1 for _ in shape[draw(st.integers(0, len(shape))):])
    if draw(st.integers(0, 5)) == 0:
        code = draw(st.sampled_from(CODES))
    elements = values_for(code)
    if code[0] in "fc" and draw(st.booleans()):
        elements = st.sampled_from(SPECIAL_FLOATS) if code[0] == "f" else st.builds(complex, st.sampled_from(
            SPECIAL_FLOATS), st.sampled_from(SPECIAL_FLOATS))
    layout = draw(st.sampled_from(["plain", "plain", "reversed", "strided", "F"])) if shape else "plain"
    full, views = list(shape), []
    if layout == "reversed":
        views.append(tuple(slice(None, None, -1) for _ in shape))
    elif layout == "strided":
        full[-1] *= 2
        views.append((Ellipsis, slice(None, None, 2)))
    big = draw(st.integers(0, 7)) == 0
    return {"values": nested(draw, tuple(full), elements), "dtype": dtype_text(code, big),
            "order": "F" if layout == "F" else "C", "views": views}


def small_operand(draw, steps, shape, code):
    if draw(st.integers(0, 2)) == 0:
        return draw(NUMBERS)
    steps.append(("array", draw(small_array(shape, code))))
    return ("ref", len(steps) - 1)


def output_like(steps, ufunc, args):
    """An array of the shape and dtype of the call's first result; None when it raises."""
    made = [built(step[1]) for step in steps]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = ufunc(*[made[a[1]] if isinstance(a, tuple) else a for a in args])
    except Exception:
        return None
    first = result[0] if isinstance(result, tuple) else result
    shape = first.shape if isinstance(first, q.Array) else ()
    return {"values": nested(lambda _: 0, shape, None), "dtype": first.dtype.str, "order": "C", "views": []}


@settings(max_examples=300, deadline=None)
@given(st.sampled_from([u.__name__ for u in UFUNCS]), st.sampled_from(SMALL_SHAPES), st.sampled_from(CODES), st.data())
def test_calls_on_small_operands(element_path, name, shape, code, data):
    ufunc, draw = getattr(q, name), data.draw
    steps = []
    args = tuple(small_operand(draw, steps, shape, code) for _ in range(ufunc.nin))
    kwargs = {}
    out = draw(st.sampled_from(["none", "none", "new", "first", "None"]))
    if out == "new":
        like = output_like(steps, ufunc, args)
        if like is not None:
            steps.append(("array", like))
            kwargs["out"] = ("ref", len(steps) - 1) if ufunc.nout == 1 else (("ref", len(steps) - 1), None)
    elif out == "first" and isinstance(args[0], tuple) and ufunc.nout == 1:
        kwargs["out"] = args[0]  # in place: the output is the first input itself
    elif out == "None":
        kwargs["out"] = None
    steps.append(("ufunc", name, "call", args, kwargs))
    check(element_path, steps)


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(BINARY_OPERATORS + IN_PLACE_OPERATORS + UNARY_OPERATORS + ["divmod"]),
       st.sampled_from(SMALL_SHAPES), st.sampled_from(CODES), st.data())
def test_operators_on_small_operands(element_path, name, shape, code, data):
    draw = data.draw
    steps = [("array", draw(small_array(shape, code)))]
    if name in UNARY_OPERATORS:
        operands = (("ref", 0),)
    else:
        other = small_operand(draw, steps, shape, code)
        reflected = name not in IN_PLACE_OPERATORS and not isinstance(other, tuple) and draw(st.booleans())
        operands = (other, ("ref", 0)) if reflected else (("ref", 0), other)
    steps.append(("operator", name, operands))
    check(element_path, steps)


@settings(max_examples=150, deadline=None)
@given(st.sampled_from([u.__name__ for u in UFUNCS]), st.lists(NUMBERS, min_size=2, max_size=2))
def test_calls_on_plain_numbers(element_path, name, numbers):
    """Plain numbers alone: the power special cases, int ranges and faults as the element loop has them."""
    nin = getattr(q, name).nin
    check(element_path, [("ufunc", name, "call", tuple(numbers[:nin]), {})])


# --- what the results are made of ---------------------------------------------------------

def test_a_new_result_owns_fresh_c_ordered_elements():
    a, b = q.array([[1.0, 2.0, 3.0]] * 2), q.array([0.5])
    r = q.add(a, b)
    assert (r.shape, r.strides, r.c_contiguous) == ((2, 3), (24, 8), True)
    r[0, 0] = 9.0
    assert (a[0, 0], r[1, 2]) == (1.0, 3.5)
    assert q.sqrt(q.array([4.0]))[0] == 2.0


@pytest.mark.parametrize("call, expected", [
    (lambda: q.add(q.array(1.5), q.array(2.0)), ("Float64Scalar", 3.5)),
    (lambda: q.add(1.5, 2), ("Float64Scalar", 3.5)),
    (lambda: q.add(True, True), ("BoolScalar", True)),
    (lambda: q.add(q.array(3, dtype="int8"), 2), ("Int8Scalar", 5)),
    (lambda: q.less(1, 2.0), ("BoolScalar", True)),
    (lambda: q.multiply(q.array(2, dtype="longlong"), q.array(3, dtype="longlong")), ("LongLongScalar", 6)),
    (lambda: q.negative(q.array(2, dtype="ulonglong")), ("ULongLongScalar", 2 ** 64 - 2)),
    (lambda: q.add(q.array(2, dtype="longlong"), q.array(3, dtype="ulonglong")), ("Float64Scalar", 5.0)),
    (lambda: q.sqrt(q.array(2.25, dtype="float16")), ("Float16Scalar", 1.5)),
    (lambda: q.add(1j, 2), ("Complex128Scalar", 2 + 1j)),
])
def test_results_without_dimensions_are_scalars_of_the_loop_dtype(call, expected):
    result = call()
    assert (type(result).__name__, result.item()) == expected


def test_two_outputs_of_plain_numbers_and_of_small_arrays():
    quotient, remainder = q.divmod(7, -2)
    assert (type(quotient).__name__, quotient.item(), remainder.item()) == ("Int64Scalar", -4, -1)
    fraction, whole = q.modf(q.array([2.5, -0.25]))
    assert (fraction[0], fraction[1], whole[0], whole[1]) == (0.5, -0.25, 2.0, -0.0)
    mantissa, exponent = q.frexp(q.array([8.0], dtype="float32"))
    assert (mantissa.dtype.name, exponent.dtype.name, mantissa[0], exponent[0]) == ("float32", "int32", 0.5, 4)


def test_an_output_argument_is_written_and_returned():
    a, b, o = q.array([1.0, 2.0]), q.array([3.0, 4.0]), q.zeros(2)
    assert q.add(a, b, out=o) is o
    assert (o[0], o[1]) == (4.0, 6.0)
    assert q.multiply(a, a, o) is o
    assert o[1] == 4.0
    assert q.add(a, 1.0, out=None)[1] == 3.0
    assert q.add(a, b, out=a) is a
    assert (a[0], a[1]) == (4.0, 6.0)
    column = q.zeros((3, 2))[:, 0]  # every other element: one stride walks it
    assert q.add(q.array([1.0, 2.0, 3.0]), 0.5, out=column) is column
    assert (column[0], column[2]) == (1.5, 3.5)


def test_in_place_operators_return_the_array_itself():
    a = q.array([1, 2, 3], dtype="int32")
    original = a
    a += 2
    a *= a
    a -= q.array([1], dtype="int32")
    assert a is original
    assert [a[i].item() for i in range(3)] == [8, 15, 24]
    b = q.array([1.0, 4.0])
    b **= 0.5
    b /= q.array([2.0, 2.0])
    assert (b[0], b[1]) == (0.5, 1.0)


def test_an_output_sharing_an_input_elsewhere_reads_every_input_first():
    base = q.array([1.0, 2.0, 3.0, 4.0])
    q.add(base[:3], base[:3], out=base[1:])
    assert [base[i].item() for i in range(4)] == [1.0, 2.0, 4.0, 6.0]
    shifted = q.array([1, 2, 3, 4], dtype="int64")
    q.negative(shifted[1:], out=shifted[:3])
    assert [shifted[i].item() for i in range(4)] == [-2, -3, -4, 4]


def test_faults_are_reported_after_the_output_is_written():
    a, o = q.array([1.0, 0.0]), q.zeros(2)
    with q.errstate(divide="raise"):
        with pytest.raises(FloatingPointError, match="^divide by zero encountered in divide$"):
            q.divide(a, 0.0, out=o)
        with pytest.raises(FloatingPointError, match="^divide by zero encountered in true_divide$"):
            a / 0.0
        with pytest.raises(FloatingPointError, match="^divide by zero encountered in divide$"):
            q.divide(1.0, 0.0)
    assert o[0] == float("inf")
    with pytest.warns(RuntimeWarning, match="^invalid value encountered in sqrt$"):
        assert q.sqrt(q.array([-1.0]))[0] != q.sqrt(q.array([-1.0]))[0]
    calls = []
    with q.errstate(all="call", call=lambda *args: calls.append(args)):
        q.multiply(q.array([1e308]), 10.0)
        q.add(q.array(1e308, dtype="float64"), 1e308)
    assert calls == [("overflow", 2), ("overflow", 2)]


# --- refusals: the same errors, in the same order, whichever path meets them ----------------

@pytest.mark.parametrize("call, error, text", [
    (lambda: q.add(q.array([1, 2], dtype="int8"), 300), OverflowError,
     "Python integer does not fit in array dtype int8"),
    (lambda: q.add(q.array([1], dtype="uint8"), -1), OverflowError, "Python integer does not fit in array dtype uint8"),
    (lambda: q.array([1], dtype="int8") + 2 ** 70, OverflowError, "Python integer does not fit in array dtype int8"),
    (lambda: q.add(q.array([1.0, 2.0]), q.array([1.0, 2.0, 3.0])), ValueError,
     "operands could not be broadcast together with shapes [2] [3]"),
    (lambda: q.add(q.array([1.0]), q.array([1.0]), out=q.zeros(2)), ValueError, "output array has an incorrect shape"),
    (lambda: q.add(q.array([1.0]), q.array([1.0]), out=q.zeros(1, dtype="int64")), TypeError,
     "ufunc 'add' output cannot be cast from float64 to int64 with casting rule 'same_kind'"),
    (lambda: q.add(q.array([1.0]), q.array([1.0]), out=[1.0]), TypeError,
     "out must be an array or a tuple of output arrays"),
    (lambda: q.add(q.array([1.0]), q.array([1.0]), spam=1), TypeError, "add() got an unexpected keyword argument 'spam'"),
    (lambda: q.add(q.array([1.0])), TypeError,
     "add takes 2 input arguments and at most one output argument (1 given)"),
    (lambda: q.sqrt(q.array([1.0]), q.zeros(1), q.zeros(1)), TypeError,
     "sqrt takes 1 input argument and at most one output argument (3 given)"),
    (lambda: q.sqrt(q.array([4.0]), q.zeros(1), out=q.zeros(1)), TypeError,
     "out cannot be provided both positionally and by keyword"),
    (lambda: q.add(q.array([1.0]), "x"), TypeError, "numeric arrays accept Python bool, int, float, and complex "
                                                    "scalar values"),
    (lambda: q.bitwise_and(q.array([1.0]), q.array([1.0])), ValueError, NO_LOOP),
    (lambda: q.left_shift(1.5, 2), ValueError, NO_LOOP),
    (lambda: q.power(q.array([2], dtype="int64"), q.array([-1], dtype="int64")), ValueError, NO_LOOP),
    (lambda: q.divmod(q.array([1.0]), q.array([1.0]), out=q.zeros(1)), TypeError,
     "out must be an array or a tuple of output arrays"),
    (lambda: q.add(q.array([1, 2], dtype="int8"), 300, out=q.zeros(2, dtype="int8")), OverflowError,
     "Python integer does not fit in array dtype int8"),
    (lambda: q.add(q.array([1.0]), q.array([1.0]), q.zeros(1), out=None), TypeError,
     "out cannot be provided both positionally and by keyword"),
])
def test_refusals_keep_their_class_and_text(call, error, text):
    raises(error, text, call)


def test_in_place_operators_refuse_a_result_their_dtype_cannot_hold():
    a = q.array([1, 2], dtype="int32")
    raises(TypeError, "ufunc 'add' output cannot be cast from float64 to int32 with casting rule 'same_kind'",
           operator.iadd, a, 0.5)
    raises(TypeError, "ufunc 'true_divide' output cannot be cast from float64 to int32 with casting rule 'same_kind'",
           operator.itruediv, a, q.array([2], dtype="int32"))
    assert (a[0], a[1]) == (1, 2)


# --- reductions of one axis to a scalar ------------------------------------------------------

REDUCIBLE = [u.__name__ for u in UFUNCS if u.nin == 2 and u.nout == 1]


@settings(max_examples=250, deadline=None)
@given(st.sampled_from(REDUCIBLE), st.integers(1, 5), st.sampled_from(CODES), st.sampled_from(
    ["none", "0", "-1", "None", "positional 0", "positional None", "1"]), st.data())
def test_reductions_of_one_axis(element_path, name, length, code, axis, data):
    steps = [("array", data.draw(small_array((length,), code)))]
    args, kwargs = [("ref", 0)], {}
    if axis.startswith("positional"):
        args.append(None if axis.endswith("None") else 0)
    elif axis != "none":
        kwargs["axis"] = None if axis == "None" else int(axis)
    steps.append(("ufunc", name, "reduce", tuple(args), kwargs))
    check(element_path, steps)


@pytest.mark.parametrize("values, dtype, name, expected", [
    ([1, 2, 3], "int8", "add", ("Int64Scalar", 6)),
    ([200, 100], "uint8", "add", ("UInt64Scalar", 300)),
    ([True, True], "bool", "add", ("Int64Scalar", 2)),
    ([True, False], "bool", "logical_and", ("BoolScalar", False)),
    ([2, 3], "int32", "multiply", ("Int64Scalar", 6)),
    ([2.5, 0.5], "float16", "add", ("Float16Scalar", 3.0)),
    ([-0.0], "float64", "add", ("Float64Scalar", 0.0)),
    ([-0.0, 1.0], "float64", "minimum", ("Float64Scalar", -0.0)),
    ([3, 7, 5], "longlong", "maximum", ("LongLongScalar", 7)),
    ([6, 3], "int64", "bitwise_and", ("Int64Scalar", 2)),
    ([1 + 2j, 3j], "complex64", "add", ("Complex64Scalar", 1 + 5j)),
])
def test_reductions_to_a_scalar(values, dtype, name, expected):
    result = getattr(q, name).reduce(q.array(values, dtype=dtype))
    assert (type(result).__name__, result.item()) == expected
    again = getattr(q, name).reduce(q.array(values, dtype=dtype)[::-1][::-1], axis=-1)
    assert (type(again).__name__, again.item()) == expected


def test_reduction_faults_are_reported_once_after_the_fold():
    calls = []
    with q.errstate(all="call", call=lambda *args: calls.append(args)):
        assert q.add.reduce(q.array([1e308, 1e308, -1e308])) == float("inf")
        assert q.multiply.reduce(q.array([1e-200, 1e-200, 0.0])) == 0.0
    assert calls == [("overflow", 2), ("underflow", 4)]
    with q.errstate(over="raise"):
        raises(FloatingPointError, "overflow encountered in add", q.add.reduce, q.array([1e308, 1e308]))


@pytest.mark.parametrize("call, error, text", [
    (lambda: q.sqrt.reduce(q.array([1.0])), TypeError, "sqrt is not a binary reduction ufunc"),
    (lambda: q.divmod.reduce(q.array([1.0])), TypeError, "divmod is not a binary reduction ufunc"),
    (lambda: q.add.reduce(q.array([1.0]), 1), None, "axis 1 is out of bounds for array of dimension 1"),
    (lambda: q.add.reduce(q.array([1.0]), 0, axis=0), TypeError, "got multiple values for argument 'axis'"),
    (lambda: q.add.reduce(q.array([1.0]), axis=True), TypeError, "an integer is required"),
    (lambda: q.maximum.reduce(q.array([], dtype="float64")), ValueError,
     "zero-size array to reduction operation which has no identity"),
    (lambda: q.bitwise_or.reduce(q.array([1.5])), ValueError, NO_LOOP),
    (lambda: q.add.reduce(q.array([1.0]), spam=0), TypeError, "reduce() got an unexpected keyword argument 'spam'"),
])
def test_reduction_refusals_keep_their_class_and_text(call, error, text):
    if error is None:
        error = q.AxisError
    raises(error, text, call)


# --- one element read by plain integers -------------------------------------------------------

ALL_CODES = CODES + ["g", "G"]
SCALAR_NAMES = {"?": "BoolScalar", "i1": "Int8Scalar", "u1": "UInt8Scalar", "i2": "Int16Scalar", "u4": "UInt32Scalar",
                "i8": "Int64Scalar", "u8": "UInt64Scalar", "f2": "Float16Scalar", "f4": "Float32Scalar",
                "f8": "Float64Scalar", "c8": "Complex64Scalar", "c16": "Complex128Scalar",
                "g": "LongDoubleScalar", "G": "ComplexLongDoubleScalar"}


@pytest.mark.parametrize("code", ALL_CODES)
@pytest.mark.parametrize("big", [False, True])
def test_elements_read_by_integers(code, big):
    values = [[0, 1, 2], [3, 4, 5]] if code != "?" else [[True, False, True], [False, False, True]]
    dtype = dtype_text(code, big)
    m = q.array(values, dtype=dtype)
    expected = lambda v: complex(v) if code[0] == "c" else v  # noqa: E731
    for i in range(-2, 2):
        for j in range(-3, 3):
            element = m[i, j]
            assert type(element).__name__ == SCALAR_NAMES[code]
            read = {"g": float, "G": complex}.get(code, lambda e: e.item())
            assert read(element) == expected(values[i][j])
    read = {"g": float, "G": complex}.get(code, lambda e: e.item())
    row, column = m[1], m[:, ::-2]
    assert [read(row[k]) for k in (0, -1)] == [expected(values[1][0]), expected(values[1][2])]
    assert [read(column[k, 0]) for k in (0, 1)] == [expected(values[0][2]), expected(values[1][2])]
    assert read(q.array(values[0][0], dtype=dtype)[()]) == expected(values[0][0])


def test_elements_keep_the_scalar_alias_of_their_array():
    assert type(q.array([5, 6], dtype="longlong")[-1]).__name__ == "LongLongScalar"
    assert type(q.array([[5]], dtype="ulonglong")[0, 0]).__name__ == "ULongLongScalar"
    assert float(q.array([1.5, 2.5])[1]) == 2.5 and int(q.array([7], dtype="uint8")[0]) == 7


@pytest.mark.parametrize("key, error, text", [
    (3, IndexError, "index 3 is out of bounds for axis 0 with size 3"),
    (-4, IndexError, "index -4 is out of bounds for axis 0 with size 3"),
    (2 ** 63, IndexError, "indices must be integers, slices, ellipsis, None, or integer arrays"),
    (-2 ** 63, IndexError, "index -9223372036854775808 is out of bounds for axis 0 with size 3"),
    (1.0, IndexError, "indices must be integers, slices, ellipsis, None, or integer arrays"),
    ((0, 0), IndexError, "too many indices for array: array is 1-dimensional, but 2 were indexed"),
])
def test_element_reads_out_of_range_keep_their_errors(key, error, text):
    raises(error, text, lambda: q.array([1.5, 2.5, 3.5])[key])


def test_other_keys_still_select_views_and_copies():
    m = q.array([[1, 2, 3], [4, 5, 6]], dtype="int16")
    assert m[True].shape == (1, 2, 3) and m[1].shape == (3,) and m[(1,)].shape == (3,)
    assert m[-1, -1].item() == 6 and m[1, ...].shape == (3,) and m[[1], [2]].shape == (1,)
    raises(IndexError, "index -4 is out of bounds for axis 1 with size 3", lambda: m[1, -4])
    raises(IndexError, "index 2 is out of bounds for axis 0 with size 2", lambda: m[2, 0])


# --- loops chosen by signature and dtype, the listed loops read in place ------------------------

FLOATS, SHORTS = [1.5, 2.5], [1, 2]


@pytest.mark.parametrize("call, dtypes", [
    (lambda a, i: q.add(a, a, signature=("f", None, "f")), ["float32"]),
    (lambda a, i: q.add(i, i, signature=(None, None, "i")), ["int32"]),
    (lambda a, i: q.add(a, a, signature="ff->f"), ["float32"]),
    (lambda a, i: q.add(i, i, signature="dd->d"), ["float64"]),
    (lambda a, i: q.add(i, i, signature="float32"), ["float32"]),
    (lambda a, i: q.add(i, i, signature=q.float32), ["float32"]),
    (lambda a, i: q.add(i, i, dtype="float16"), ["float16"]),
    (lambda a, i: q.add(a, a, dtype="int8", casting="unsafe"), ["int8"]),
    (lambda a, i: q.logical_and(a, a, dtype="bool"), ["bool"]),
    (lambda a, i: q.sqrt(a, dtype="complex64"), ["complex64"]),
    (lambda a, i: q.ldexp(a, q.array([1, 2], dtype="int64"), signature="dl->d"), ["float64"]),
    (lambda a, i: q.divmod(i, i, dtype="int32"), ["int32", "int32"]),
])
def test_loops_chosen_by_signature_and_dtype(call, dtypes):
    result = call(q.array(FLOATS), q.array(SHORTS, dtype="int16"))
    results = result if isinstance(result, tuple) else (result,)
    assert [r.dtype.name for r in results] == dtypes


@pytest.mark.parametrize("call, text", [
    (lambda a, i: q.add(a, a, signature=("d", "d", "i")),
     "no supported loop matches the requested signature for ufunc 'add'"),
    (lambda a, i: q.add(a, a, signature="hh->h"),
     "ufunc 'add' input cannot be cast from float64 to int16 with casting rule 'same_kind'"),
    (lambda a, i: q.add(a, a, dtype="int8"),
     "ufunc 'add' input cannot be cast from float64 to int8 with casting rule 'same_kind'"),
    (lambda a, i: q.frexp(a, dtype="float32"),
     "no loop matching the specified signature and casting was found for ufunc 'frexp'"),
    (lambda a, i: q.add(a, a, signature="zz->z"), 'signature "zz->z" is not a supported loop for ufunc \'add\''),
    (lambda a, i: q.add(a, a, signature=("d", "d")), "signature for ufunc 'add' must describe 3 input and output dtypes"),
])
def test_loops_refused_by_signature_and_dtype(call, text):
    raises(TypeError, text, call, q.array(FLOATS), q.array(SHORTS, dtype="int16"))


@pytest.mark.parametrize("dtype, values, name, expected", [
    (">c16", [complex(i, -i) for i in range(600)], "add", ("Complex128Scalar", complex(179700, -179700))),
    (">f8", [float(i % 7) for i in range(700)], "add", ("Float64Scalar", 2100.0)),
    ("int32", list(range(-500, 1000)), "add", ("Int64Scalar", 374250)),
    ("uint8", [255] * 1000, "add", ("UInt64Scalar", 255000)),
    ("bool", [i % 3 == 0 for i in range(1000)], "add", ("Int64Scalar", 334)),
    ("float16", [0.5] * 1000, "add", ("Float16Scalar", 500.0)),
    ("int16", [1, -1] * 300, "multiply", ("Int64Scalar", 1)),
    (">i8", list(range(1000)), "maximum", ("Int64Scalar", 999)),
])
def test_reductions_converting_their_elements_chunk_by_chunk(dtype, values, name, expected):
    """Elements in another dtype or byte order reach the fold converted, a chunk
    at a time: every chunk, the last one short."""
    result = getattr(q, name).reduce(q.array(values, dtype=dtype))
    assert (type(result).__name__, result.item()) == expected


# --- keywords the small path leaves to the engine: the same refusals on both paths -----------

ONE = {"values": [1.5], "dtype": "<f8", "order": "C", "views": []}
ONE_INT = {"values": [3], "dtype": "<i8", "order": "C", "views": []}


@pytest.mark.parametrize("name, operands, kwargs", [
    ("add", (("ref", 0), ("ref", 0)), {"dtype": "spam"}),
    ("add", (("ref", 0), ("ref", 0)), {"dtype": "int8"}),
    ("add", (("ref", 0), 2.0), {"dtype": 3}),
    ("add", (("ref", 0), ("ref", 0)), {"out": ("ref", 1)}),
    ("add", (("ref", 0), ("ref", 0)), {"out": (("ref", 0), ("ref", 0))}),
    ("add", (("ref", 0), ("ref", 0)), {"out": 5}),
    ("add", (("ref", 0), ("ref", 0)), {"out": ("ref", 2)}),
    ("add", (("ref", 0), ("ref", 0)), {"where": "spam"}),
    ("add", (("ref", 0), ("ref", 0)), {"where": [True, False]}),
    ("add", (("ref", 0), ("ref", 0)), {"where": ("ref", 0), "out": ("ref", 0)}),
    ("add", (("ref", 0), ("ref", 0)), {"casting": "spam"}),
    ("add", (("ref", 0), ("ref", 1)), {"casting": "no"}),
    ("add", (("ref", 0), ("ref", 1)), {"casting": "equiv", "out": ("ref", 0)}),
    ("add", (("ref", 0), ("ref", 0)), {"casting": "safe", "out": ("ref", 1)}),
    ("add", (("ref", 0), ("ref", 0)), {"signature": "spam"}),
    ("add", (("ref", 0), ("ref", 0)), {"order": "Z"}),
    ("add", (("ref", 0), ("ref", 0)), {"dtype": "spam", "casting": "spam", "where": "spam", "out": 5}),
    ("add", (("ref", 0), ("ref", 0)), {"out": ("ref", 1), "dtype": "spam"}),
    ("add", (("ref", 0), ("ref", 0)), {"where": "spam", "casting": "spam"}),
    ("sqrt", (("ref", 0),), {"dtype": "int64"}),
    ("sqrt", (("ref", 0),), {"out": ("ref", 1)}),
    ("sqrt", (("ref", 0),), {"where": ("ref", 1), "out": ("ref", 0)}),
    ("sqrt", (("ref", 0),), {"casting": "unsafe", "dtype": "spam"}),
    ("divmod", (("ref", 1), ("ref", 1)), {"out": ("ref", 0)}),
    ("add", (1.0, 2.0), {"dtype": "spam"}),
    ("add", (1.0, 2.0), {"out": ("ref", 1)}),
    ("add", (1, 2.0), {"casting": "no"}),
])
def test_keywords_refused_on_one_element_calls(element_path, name, operands, kwargs):
    """A one-element call with a bad keyword: the class, text and order of the
    refusal are the engine's on the typed path and the element path alike."""
    steps = [("array", ONE), ("array", ONE_INT), ("array", {**ONE, "values": [1.0, 2.0]})]
    steps.append(("ufunc", name, "call", operands, kwargs))
    report = run_case(steps)
    assert report[3][0][0] == "raised"
    assert report == element_path(steps)


# --- new outputs: written whole by the loop, not zeroed first ------------------------------

def bits(result):
    cells = result if isinstance(result, list) else [result]
    return [struct.pack("<dd", c.real, c.imag) if isinstance(c, complex) else repr(c) for c in cells]


def flat_values(a):
    return [a[i].item() for i in range(a.shape[0])] if a.ndim == 1 else [v for row in range(a.shape[0])
                                                                        for v in flat_values(a[row])]


def dirty_the_heap(n):
    """Frees blocks of every size the calls below ask for, full of NaN bytes, so a
    new output that were not written whole would show them."""
    for size in (n, 2 * n, 4 * n):
        blocks = [q.array([float("nan")] * size, dtype="float64") for _ in range(4)]
        del blocks


@pytest.mark.parametrize("n", [1, 7, 300, 2000])
@pytest.mark.parametrize("name, make, expected", [
    ("add", lambda n: (q.array([float(i) for i in range(n)]), 0.5), lambda n: [i + 0.5 for i in range(n)]),
    ("multiply", lambda n: (q.array([complex(i, 1) for i in range(n)], dtype="complex128"), 1j),
     lambda n: [complex(-1, i) for i in range(n)]),
    ("floor_divide", lambda n: (q.array(list(range(n)), dtype="int64"), q.zeros(n, dtype="int64")),
     lambda n: [0] * n),
    ("subtract", lambda n: (q.array(list(range(n)), dtype="int32"), 1.5), lambda n: [i - 1.5 for i in range(n)]),
    ("negative", lambda n: (q.array([[float(i), -float(i)] for i in range(n)]).T,),
     lambda n: [-float(i) for i in range(n)] + [float(i) for i in range(n)]),
    ("add", lambda n: (q.array([[float(i)] for i in range(n)]), q.array([10.0, 20.0])),
     lambda n: [v for i in range(n) for v in (i + 10.0, i + 20.0)]),
])
def test_new_outputs_are_written_whole(name, make, expected, n):
    operands = make(n)
    dirty_the_heap(n)
    with q.errstate(all="ignore"):
        result = getattr(q, name)(*operands)
    assert bits(flat_values(result)) == bits(expected(n))


@pytest.mark.parametrize("n", [1, 300])
def test_both_new_outputs_of_two_output_ufuncs_are_written_whole(n):
    a = q.array([float(i) + 0.25 for i in range(n)])
    dirty_the_heap(n)
    fraction, whole = q.modf(a)
    assert flat_values(fraction) == [0.25] * n and flat_values(whole) == [float(i) for i in range(n)]
    dirty_the_heap(n)
    with q.errstate(all="ignore"):
        quotient, remainder = q.divmod(q.array(list(range(n)), dtype="int64"), 0)
    assert flat_values(quotient) == [0] * n and flat_values(remainder) == [0] * n


@pytest.mark.parametrize("n", [1, 300])
def test_a_staged_result_reaches_its_output_whole(n):
    """Integer powers are computed aside and copied in: every element of the output is the power."""
    o = q.array([-1] * n, dtype="int64")
    dirty_the_heap(n)
    q.power(q.array([i % 5 for i in range(n)], dtype="int64"), 3, out=o)
    assert flat_values(o) == [(i % 5) ** 3 for i in range(n)]
    o = q.array([-1] * n, dtype="int64")
    q.power(q.array([i % 5 for i in range(n)], dtype="int64"), 2, out=o, where=[i % 2 == 0 for i in range(n)])
    assert flat_values(o) == [(i % 5) ** 2 if i % 2 == 0 else -1 for i in range(n)]


@pytest.mark.parametrize("n", [1, 300, 2000])
def test_a_mask_without_an_output_leaves_the_unselected_elements_zero(n):
    a = q.array([float(i) + 1.0 for i in range(n)])
    dirty_the_heap(n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = q.add(a, 1.0, where=q.array([i % 3 == 0 for i in range(n)]))
    assert flat_values(result) == [float(i) + 2.0 if i % 3 == 0 else 0.0 for i in range(n)]


@pytest.mark.parametrize("name, method, operands, kwargs", [
    ("add", "call", (("ref", 2), ("ref", 2)), {("eager", "out"): ("ref", 2)}),
    ("add", "call", (("ref", 0), 2.0), {("eager", "out"): None}),
    ("add", "call", (("ref", 2), ("ref", 2)), {("eager", "dtype"): "f4"}),
    ("sqrt", "call", (("ref", 0),), {("eager", "out"): ("ref", 0)}),
    ("add", "reduce", (("ref", 2),), {("eager", "axis"): 0}),
    ("add", "reduce", (("ref", 2),), {("eager", "axis"): None, ("eager", "dtype"): "f4"}),
    ("maximum", "reduce", (("ref", 1),), {("eager", "keepdims"): True}),
    ("add", "accumulate", (("ref", 2),), {("eager", "axis"): 0}),
    ("add", "reduceat", (("ref", 2), [0]), {("eager", "axis"): 0}),
    ("add", "outer", (("ref", 0), ("ref", 1)), {("eager", "dtype"): "f8"}),
])
def test_keyword_names_are_matched_without_running_user_code(element_path, name, method, operands, kwargs):
    """A keyword name of a str subclass whose __eq__ warns and raises binds by
    its text on both paths: nothing compares it by calling that __eq__."""
    steps = [("array", ONE), ("array", ONE_INT), ("array", {**ONE, "values": [1.0, 2.0]})]
    steps.append(("ufunc", name, method, operands, kwargs))
    report = run_case(steps)
    assert report[3][0][0] != "raised" and report[3][1] == []
    assert report == element_path(steps)
