"""Ufunc objects and calls: attributes and identities; operands and weak
scalars, loop choice and casting, outputs and masks, layouts of new outputs,
0-d results; the operators."""
import math
import re

import pytest

import quarvel as q
from helpers import NAMES, NOT_NUMERIC, UFUNCS, WHERE_WITHOUT_OUT, as_errors, raises, record, tolist, untouched

ALIASES = dict(pair.split(":") for pair in """abs:absolute acos:arccos acosh:arccosh asin:arcsin asinh:arcsinh
atan:arctan atan2:arctan2 atanh:arctanh bitwise_invert:invert bitwise_left_shift:left_shift bitwise_not:invert
bitwise_right_shift:right_shift conj:conjugate mod:remainder pow:power true_divide:divide""".split())
TWO_INPUTS = set("""
add arctan2 bitwise_and bitwise_or bitwise_xor copysign divide divmod equal float_power floor_divide fmax fmin
fmod gcd greater greater_equal heaviside hypot lcm ldexp left_shift less less_equal logaddexp logaddexp2
logical_and logical_or logical_xor maximum minimum multiply nextafter not_equal power remainder right_shift
subtract""".split())
# name -> (scalar class, value) of its identity; every other ufunc has None
IDENTITIES = {**dict.fromkeys("add gcd hypot bitwise_or bitwise_xor".split(), ("Int64Scalar", 0)),
              "multiply": ("Int64Scalar", 1), "bitwise_and": ("Int64Scalar", -1), "logical_and": ("BoolScalar", True),
              **dict.fromkeys(("logaddexp", "logaddexp2"), ("Float64Scalar", -math.inf)),
              **dict.fromkeys(("logical_or", "logical_xor"), ("BoolScalar", False))}


def test_ufunc_objects():
    assert len(UFUNCS) == 85
    for alias, canonical in ALIASES.items():
        assert getattr(q, alias) is getattr(q, canonical)
    for ufunc in UFUNCS:
        name = ufunc.__name__
        nin, nout = 2 if name in TWO_INPUTS else 1, 2 if name in ("divmod", "frexp", "modf") else 1
        assert (repr(ufunc), ufunc.nin, ufunc.nout, ufunc.nargs, ufunc.signature) == (
            f"<ufunc '{name}'>", nin, nout, nin + nout, None)
        types = ufunc.types
        assert types and ufunc.ntypes == len(types) and ufunc.types is not types
        assert all(re.fullmatch(f"[?bBhHiIlLqQefdgFDG]{{{nin}}}->[?bBhHiIlLqQefdgFDG]{{{nout}}}", t) for t in types)
        cls, value = IDENTITIES.get(name, ("NoneType", None))
        identity = ufunc.identity
        assert type(identity).__name__ == cls and (identity is None or (type(identity.item()), identity.item()) == (
            type(value), value)), name


# --- weak Python scalars ------------------------------------------------------

def weak_expected(value, array_dtype):
    """The weak-scalar table: a Python number adopts the array's dtype where its kind allows."""
    kind = q.DType(array_dtype).kind
    own = {bool: "bool", int: "int64", float: "float64", complex: "complex128"}[type(value)]
    if type(value) is bool or type(value) is int and kind != "b" or type(value) is float and kind in "fc" or \
            type(value) is complex and kind == "c":
        return array_dtype
    if type(value) is complex and kind == "f":
        return {"float16": "complex64", "float32": "complex64", "float64": "complex128",
                "float128": "complex256"}[array_dtype]
    return q.promote_types(array_dtype, own).name


@pytest.mark.parametrize("array_dtype", NAMES)
def test_weak_scalar_adopts_the_array_dtype(array_dtype):
    a = q.zeros(2, dtype=array_dtype)
    for value in (True, 3, 1.5, 1j):
        assert q.multiply(a, value).dtype.name == q.multiply(value, a).dtype.name == weak_expected(value, array_dtype)


@pytest.mark.parametrize("dtype, low, high", [
    ("int8", -128, 127), ("uint16", 0, 2**16 - 1), ("int64", -2**63, 2**63 - 1), ("uint64", 0, 2**64 - 1)])
def test_weak_int_must_fit_the_array_dtype(dtype, low, high):
    a = q.zeros(1, dtype=dtype)
    assert q.add(a, low).dtype.name == q.add(a, high).dtype.name == dtype
    for value in (low - 1, high + 1, 2**70) + ((2**63,) if high < 2**63 else ()):  # 2**63 as an unsigned value
        raises(OverflowError, f"Python integer does not fit in array dtype {dtype}", q.add, a, value)


@pytest.mark.parametrize("call, expected", [
    (lambda: q.add(q.zeros(2, dtype="int8"), q.array(1.0, dtype="float32")[()]), "float32"),  # typed: plain rules
    (lambda: q.add(q.array(1, dtype="int8")[()], 1), "Int64Scalar"),  # two scalars: no weak rule
    (lambda: q.add([1, 2], 3), "int64"),  # a list is an array operand
    (lambda: q.add(q.zeros(1, dtype="float32"), 2**70), "float32"),
    (lambda: q.ldexp(q.zeros(2, dtype="float32"), 3), "float32"),
    (lambda: q.add(q.array([1, 2], dtype="q"), q.array([1, 2], dtype="Q")), "d"),
    (lambda: q.add(q.array(1, dtype="q"), 1), "LongLongScalar"),
    (lambda: q.add(q.zeros(2).astype(">f8"), q.zeros(2).astype(">f8"), casting="equiv"), "float64"),
    (lambda: q.add(q.zeros(2), 1.5, out=q.zeros(2, dtype="int8"), casting="unsafe"), "int8"),
    *[(lambda kw=kw: q.add(q.zeros(2, dtype="int8"), q.zeros(2, dtype="int8"), **kw), expected) for kw, expected in [
        ({"signature": "dd->d"}, "float64"), ({"signature": "float32"}, "float32"),
        ({"sig": ["f", "f", "f"]}, "float32"),
        ({"signature": (None, None, "float32")}, "float32"), ({"dtype": None, "signature": "ff->f"}, "float32"),
        ({"dtype": q.float32}, "float32")]],
    (lambda: q.logical_and(q.zeros(2), q.zeros(2), dtype="bool"), "bool")])
def test_result_dtype(call, expected):
    """`expected` names a scalar class, a type character or a dtype."""
    result = call()
    assert (type(result).__name__ if expected[0].isupper() else
            result.dtype.char if len(expected) == 1 else result.dtype.name) == expected


def test_loop_values_and_big_ints():
    # the kernels give bool and int32 here; every result is cast to the loop's dtype
    less = q.less(q.array([1.0, 3.0]), 2.0, signature="float64")
    mantissa, exponent = q.frexp(q.array([8.0]), signature="float64")
    assert (less.dtype.name, tolist(less), exponent.dtype.name, tolist(mantissa), tolist(exponent)) == (
        "float64", [1.0, 0.0], "float64", [0.5], [4.0])
    assert tolist(q.add(q.zeros(1), 2**70)) == [float(2**70)]
    assert str(q.add(q.zeros(1, dtype="float128"), 10**400)[0]).endswith("e+400")  # no double holds it


def test_explicit_signatures_of_one_input_two_output_ufuncs():
    fraction, whole = q.modf(q.array([1.5, -2.25]), signature="d->dd")
    mantissa, exponent = q.frexp(q.array([8.0, -0.375], dtype="float32"), signature="f->fi")
    assert [(r.dtype.char, tolist(r)) for r in (fraction, whole, mantissa, exponent)] == [
        ("d", [0.5, -0.25]), ("d", [1.0, -2.0]), ("f", [0.5, -0.75]), ("i", [4, -1])]


def test_outputs_that_are_later_inputs_through_the_engine():
    """An output that is also an input after it: its buffer is locked once,
    every input element read before its place is written, the array usable after."""
    x, y = q.array([1.0, 2.0, 3.0]), q.array([10.0, 20.0, 30.0])
    assert q.add(y, x, out=x, casting="same_kind") is x
    a, b, c = q.array([3.0, 4.0, 5.0]), q.array([7.0, 9.0, -11.0]), q.zeros(3)
    quotient, remainder = q.divmod(b, a, out=(a, c), casting="same_kind")
    assert quotient is a and remainder is c
    assert (tolist(x), tolist(a), tolist(c), tolist(q.add(x, a))) == (
        [11.0, 22.0, 33.0], [2.0, 2.0, -3.0], [1.0, 1.0, 4.0], [13.0, 24.0, 30.0])


INTEGER_RANGES = {name: (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if name[0] == "i" else (0, 2**bits - 1)
                  for name, bits in [("int8", 8), ("uint8", 8), ("int16", 16), ("uint16", 16), ("int32", 32),
                                     ("uint32", 32), ("int64", 64), ("uint64", 64)]}
SIGNIFICAND_BITS = {"float16": 11, "float32": 24, "complex64": 24, "float64": 53, "complex128": 53, "float128": 64,
                    "complex256": 64}


def keeps_every_value(source, target):
    """Whether every value of `source` is exactly a value of `target` (integers up to 2**p are exact in p bits)."""
    if source in INTEGER_RANGES:
        low, high = INTEGER_RANGES[source]
        if target in INTEGER_RANGES:
            return INTEGER_RANGES[target][0] <= low and high <= INTEGER_RANGES[target][1]
        return target != "bool" and max(-low, high) <= 2 ** SIGNIFICAND_BITS[target]
    if target == "bool" or target in INTEGER_RANGES or source[0] == "c" and target[0] != "c":
        return False
    return SIGNIFICAND_BITS[source] <= SIGNIFICAND_BITS[target]


@pytest.mark.parametrize("source", NAMES[1:])  # positive has no bool loop
def test_the_safe_rule_allows_the_casts_that_keep_every_value(source):
    for target in NAMES:
        out = q.zeros(2, dtype=target)
        if keeps_every_value(source, target):
            assert q.positive(q.zeros(2, dtype=source), out=out, casting="safe") is out
        else:
            raises(TypeError, f"ufunc 'positive' output cannot be cast from {source} to {target} with casting rule "
                   "'safe'", q.positive, q.zeros(2, dtype=source), out=out, casting="safe")


# Refusals write nothing: `o` is unchanged.
CALL_REFUSALS = [
    (lambda o: q.add(q.zeros(2, dtype="int64"), q.zeros(2), casting="safe"), TypeError,
     "ufunc 'add' input cannot be cast from int64 to float64 with casting rule 'safe'"),
    (lambda o: q.add(q.zeros(2).astype(">f8"), 1.0, casting="no"), TypeError,
     "ufunc 'add' input cannot be cast from float64 to float64 with casting rule 'no'"),
    (lambda o: q.add(1, 2, casting="unsafe "), ValueError,
     "casting must be one of 'no', 'equiv', 'safe', 'same_kind', or 'unsafe'"),
    (lambda o: q.add(q.zeros(2), q.zeros(2), signature="xx->x"), TypeError,
     'signature "xx->x" is not a supported loop for ufunc \'add\''),
    (lambda o: q.add(q.zeros(2), q.zeros(2), signature=("d",)), TypeError,
     "signature for ufunc 'add' must describe 3 input and output dtypes"),
    (lambda o: q.add(q.zeros(2), q.zeros(2), signature=("i", "i", "i")), TypeError,
     "no supported loop matches the requested signature for ufunc 'add'"),
    (lambda o: q.add(1, 2, signature="dd", sig=None), TypeError, "signature and sig cannot both be provided"),
    (lambda o: q.add(1, 2, dtype="float64", signature="dd->d"), TypeError, "cannot specify both 'signature' and 'dtype'"),
    (lambda o: q.logical_and(q.zeros(2), q.zeros(2), dtype="float64"), TypeError,
     "no loop matching the specified signature and casting was found for ufunc 'logical_and'"),
    (lambda o: q.bitwise_and(q.zeros(2), q.zeros(2), signature="??->?"), ValueError,
     "scalar cannot be converted to the requested dtype"),  # no default loop, whatever the signature
    (lambda o: q.add(q.zeros(1), 10**400), OverflowError, "int too large to convert to float"),
    (lambda o: q.add(1,), TypeError, "add takes 2 input arguments and at most one output argument (1 given)"),
    (lambda o: q.sin(), TypeError, "sin takes 1 input argument and at most one output argument (0 given)"),
    (lambda o: q.add(1, 2, spam=1), TypeError, "add() got an unexpected keyword argument 'spam'"),
    (lambda o: q.add(1, 2, **{"a\0b": 1}), TypeError, "add() got an unexpected keyword argument 'a\0b'"),
    (lambda o: q.add(1, 2, order="k"), ValueError, "order must be 'C', 'F', 'A', or 'K'"),
    (lambda o: q.add(1, 2, subok=1), TypeError, "'subok' must be a boolean"),
    (lambda o: q.add(q.zeros(2), q.zeros(3)), ValueError, "operands could not be broadcast together with shapes [2] [3]"),
    (lambda o: q.add(1, 2, o, out=o), TypeError, "out cannot be provided both positionally and by keyword"),
    (lambda o: q.divmod(1, 2, o), TypeError, "out must be an array or a tuple of output arrays"),
    (lambda o: q.add(1, 2, out=(o, o)), ValueError, "out tuple has the wrong number of arrays"),
    (lambda o: q.add(1, 2, out=[o]), TypeError, "out must be an array or a tuple of output arrays"),
    (lambda o: q.add(1, 2, out=(1,)), TypeError, "out entries must be Quarvel arrays or None"),
    (lambda o: q.add(q.zeros(3), 1, out=q.zeros((1, 3))), ValueError, "output array has an incorrect shape"),
    (lambda o: q.add(q.zeros(3), 1.5, out=q.zeros(3, dtype="int32")), TypeError,
     "ufunc 'add' output cannot be cast from float64 to int32 with casting rule 'same_kind'"),
    (lambda o: q.add(q.zeros(2), 10**400, out=q.zeros(3)), OverflowError, None),  # reads fail before a bad output
    (lambda o: q.add(q.zeros(3), 1, out=o, where=q.zeros(3, dtype="int8")), TypeError,
     "where must be a boolean array or scalar"),
    (lambda o: q.add(q.zeros(3), 1, out=q.zeros(3), where=q.zeros((2, 3), dtype="bool")), ValueError,
     "where mask with shape [2, 3] cannot be broadcast to output shape [3]"),
    (lambda o: q.add(q.zeros(3), 1, out=q.zeros(3), where=q.zeros(2, dtype="bool")), ValueError,
     "operands could not be broadcast together with shapes [3] [2]")]


@pytest.mark.parametrize("call, error, text", CALL_REFUSALS)
def test_call_refusals_write_nothing(call, error, text):
    o = q.array([5.0])
    raises(error, text, call, o)
    assert tolist(o) == [5.0]


def test_outputs_masks_and_layouts():
    a, o = q.array([1.0, 2.0]), q.zeros(2)
    assert q.add(a, a, o) is o and q.add(a, a, out=(o,)) is o and tolist(q.add(a, a, out=(None,))) == tolist(o) == [2, 4]
    same = q.zeros(2, dtype="int64")
    # A new quotient beside a given remainder.
    assert [tolist(r) for r in q.divmod(q.array([7, 9]), 4, out=(None, same))] == [[1, 2], [3, 1]] == [[1, 2], tolist(same)]
    q.divmod(q.array([7, 9]), 4, out=(same, same))  # one array for both outputs holds the remainders
    assert tolist(same) == [3, 1]
    meet = q.zeros(3, dtype="int64")
    q.divmod(q.array([7, 9]), 4, out=(meet[:2], meet[1:]))  # outputs meeting at other elements: element by element
    assert tolist(meet) == [1, 2, 1]
    zero_d, (quotient, remainder) = q.zeros(()), q.divmod(7, 2)
    assert q.add(1.0, 2.0, out=zero_d) is zero_d and zero_d[()].item() == 3.0 and type(quotient) is q.Int64Scalar
    assert (quotient.item(), remainder.item()) == (3, 1)
    for where, expected in [(None, [9.0, 9.0, 9.0]), (2.5, [2.0, 3.0, 4.0]), ([True, False, True], [2.0, 9.0, 4.0])]:
        for dtype in ["float64", "float32"]:  # a float64 loop into an output of its own dtype, or cast into another
            o = q.array([9.0, 9.0, 9.0], dtype=dtype)
            assert q.add(q.array([1.0, 2.0, 3.0]), 1, out=o, where=where) is o and tolist(o) == expected
    m = q.zeros((2, 3))  # the mask along trailing axes
    assert tolist(q.add(q.zeros((2, 3)), 1, out=m, where=q.array([True, False, True]))) == [[1.0, 0.0, 1.0]] * 2
    assert record(lambda: tolist(q.add(q.array([1, 2]), 1, where=[True, False]))) == (
        [2, 0], [(UserWarning, WHERE_WITHOUT_OUT)])
    assert tolist(as_errors(lambda: q.add(q.array([1, 2]), 1, where=False, out=None))) == [0, 0]
    f = q.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]).T
    for a, order, strides in [(f, "C", (24, 8)), (f, "A", (8, 16)), (q.zeros((2, 3))[:, ::-1], "K", (24, 8)),
                              (q.zeros((4, 3)).T, "K", (8, 24)), (q.zeros((3, 1))[::-1].T, "K", (24, 8))]:
        result = q.negative(a, order=order)
        assert result.strides == q.add(a, 1, order=order).strides == strides
        assert tolist(result) == [[-x for x in row] for row in tolist(a)]


@q.errstate(invalid="ignore")
def test_power_replacement_only_for_plain_numbers():
    assert math.isnan(q.power(-math.inf, 0.5).item())
    assert str(q.power(-0.0, 0.5).item()) == "-0.0"
    assert (q.power(-math.inf, 2.0).item(), str(q.power(-0.0, 2.0).item())) == (math.inf, "0.0")  # other exponents
    assert tolist(q.power(q.array([-math.inf, -0.0]), 0.5))[0] == math.inf


def test_inputs_are_read_before_the_output_is_written():
    a = q.array([1.0, 2.0, 3.0, 4.0])
    q.add(a[1:], a[:-1], out=a[1:])
    assert tolist(a) == [1.0, 3.0, 5.0, 7.0]
    b = q.array([1.0, 2.0, 3.0, 4.0, 5.0])  # views with a length-1 axis, one element apart
    q.multiply(b[:4].reshape((1, 4)), 2, out=b[1:].reshape((1, 4)))
    assert tolist(b) == [1.0, 2.0, 4.0, 6.0, 8.0]


def test_outputs_too_large_are_refused_before_the_loop():
    # 2**62 float64 results
    raises(ValueError, "array shape or byte strides exceed supported limits", q.divide, *untouched((2**31, 1), (1, 2**31)))


# --- operators ----------------------------------------------------------------

@pytest.mark.parametrize("operation, expected", [
    ("1 + a", [2, 3]), ("1 - a", [0, -1]), ("a - 1", [0, 1]), ("a * 3", [3, 6]), ("3 / a", [3.0, 1.5]),
    ("7 // a", [7, 3]), ("7 % a", [0, 1]), ("2 ** a", [2, 4]), ("a ** 2", [1, 4]), ("a << 2", [4, 8]),
    ("8 >> a", [4, 2]), ("a & 3", [1, 2]), ("5 | a", [5, 7]), ("a ^ 3", [2, 1]), ("-a", [-1, -2]), ("+a", [1, 2]),
    ("abs(-a)", [1, 2]), ("~a", [-2, -3]), ("a < 2", [True, False]), ("2 <= a", [False, True]),
    ("a == 2", [False, True]), ("a != 2", [True, False]), ("1 > a", [False, False]), ("a >= 2", [False, True]),
    ("divmod(a * 7 - 14, 3)", ([-3, 0], [2, 0])), ("divmod(7, a - 3)", ([-4, -7], [-1, 0]))])
def test_operators(operation, expected):
    result = eval(operation, {"a": q.array([1, 2])})
    assert (tuple(map(tolist, result)) if isinstance(result, tuple) else tolist(result)) == expected


def test_in_place_operators():
    a = original = q.array([1, 2])
    view = a[:]
    a <<= 1
    assert a is original and tolist(view) == [2, 4]
    b = q.array([1, 2], dtype="int32")
    with pytest.raises(TypeError, match="output cannot be cast from float64 to int32 with casting rule 'same_kind'"):
        b += 1.5
    assert tolist(b) == [1, 2]
    c = q.array([1.0, 2.0])
    with q.errstate(divide="raise"), pytest.raises(FloatingPointError, match="^divide by zero encountered in true_divide$"):
        c /= 0.0  # the operator reports the name it used, after the writes
    assert tolist(c) == [math.inf] * 2


def test_operator_refusals():
    a = q.array([1.0])
    raises(TypeError, "modular power is not supported for arrays", pow, 2, a, 3)
    raises(TypeError, NOT_NUMERIC, lambda: a == None)  # noqa: E711
    assert type(q.array(2.0) == 2.0) is q.BoolScalar
