"""Scalar objects: classes, text, conversions, comparisons; the warnings of
casts. Oracle: the interpreter's float repr."""
import operator

import pytest
from hypothesis import given, strategies as st

import quarvel
from helpers import COMPLEX_DISCARD, raises, record

OVERFLOW = "overflow encountered in cast"


def scalar(value, dtype):
    """One element of a one-element array, as quarvel hands it to Python."""
    return quarvel.array([value], dtype=dtype)[0]


@pytest.mark.parametrize("value, dtype, cls, text", [
    (True, "bool", "BoolScalar", "true"), (-5, "int8", "Int8Scalar", "-5"), (255, "uint8", "UInt8Scalar", "255"),
    (65535, "uint16", "UInt16Scalar", "65535"), (2**32 - 1, "uint32", "UInt32Scalar", "4294967295"),
    (-2**63, "int64", "Int64Scalar", "-9223372036854775808"), (7, "l", "Int64Scalar", "7"),
    (2**64 - 1, "uint64", "UInt64Scalar", "18446744073709551615"), (-7, "longlong", "LongLongScalar", "-7"),
    (7, "Q", "ULongLongScalar", "7"), (0.1, "float16", "Float16Scalar", "0.099975586"),
    (2.0**-24, "e", "Float16Scalar", "5.9604645e-8"), (3.4028234663852886e38, "f", "Float32Scalar", "3.4028235e38"),
    # The float32 nearest 1e-4 is below it: exponent form, whatever its shortest digits.
    (-1e-4, "f", "Float32Scalar", "-1e-4"), (-0.0, "f", "Float32Scalar", "-0.0"), (1e16, "d", "Float64Scalar", "1e16"),
    (0.0001, "d", "Float64Scalar", "0.0001"), (0.00001, "d", "Float64Scalar", "1e-5"),
    (0.1 - 1e-4j, "F", "Complex64Scalar", "(0.1, -1e-4)"), (complex(0.1, -0.0), "D", "Complex128Scalar", "(0.1, -0.0)"),
    (complex(float("nan"), float("inf")), "complex128", "Complex128Scalar", "(NaN, inf)"),
    (1.5, "float128", "LongDoubleScalar", "'1.5'"), (-2.0, "longdouble", "LongDoubleScalar", "'-2'"),
    (1.5 - 2j, "complex256", "ComplexLongDoubleScalar", "(1.5, -2)")])
def test_class_and_repr(value, dtype, cls, text):
    s = scalar(value, dtype)
    assert type(s) is getattr(quarvel, cls) and s.dtype == quarvel.DType(dtype)
    assert (s.dtype.char, s.dtype.byteorder) == (quarvel.DType(dtype).char, "|" if s.dtype.itemsize == 1 else "=")
    assert repr(s) == f"quarvel.{cls}({text})"
    assert str(s) == (text.strip("'") if cls == "LongDoubleScalar" else repr(s))


def python_exponent_form(value):
    """The oracle: the interpreter's own shortest repr, relaid as the scalar text."""
    mantissa, _, exponent = repr(value).partition("e")
    return f"{mantissa}e{int(exponent)}" if exponent else mantissa


@given(st.floats(allow_nan=False))
def test_float64_text_is_the_shortest_round_trip(value):
    assert repr(scalar(value, "d")) == f"quarvel.Float64Scalar({python_exponent_form(value)})"


# value, dtype, conversion, its result (type and value) or its exception class
def test_comparisons_follow_python_values():
    assert scalar(3, "int64") == scalar(3, "q") == 3.0 and scalar(5, "int8") == scalar(5.0, "f")
    assert scalar(2, "u1") < 3 and scalar(2, "u1") <= 2 and not scalar(2, "u1") > 2 and scalar(1 + 2j, "D") == 1 + 2j
    assert scalar(float("nan"), "d") != scalar(float("nan"), "d")
    raises(TypeError, None, operator.lt, scalar(1 + 2j, "D"), 1)
    long_double = scalar(1.5, "g")  # compared by identity, hashed by id
    assert long_double == long_double and long_double != scalar(1.5, "g") and hash(long_double) == hash(long_double)
    raises(TypeError, None, hash, scalar(3, "q"))


def test_methods_check_their_receiver():
    raises(TypeError, None, quarvel.Int8Scalar.item, scalar(1.0, "d"))
    raises(TypeError, None, quarvel.Complex64Scalar.__complex__, scalar(1j, "D"))


# --- cast warnings ------------------------------------------------------------

@pytest.mark.parametrize("value, dtype, warns", [
    (65519.0, "float16", False), (-65520.0, "float16", True), (65519, "float16", False), (70000, "float16", True),
    (float("inf"), "float16", False), (3.4028235e38, "float32", False), (3.4028235677973366e38, "float32", True),
    (2**128, "float32", True), (1 + 4e38j, "complex64", True), (complex(float("inf"), 4e38), "complex64", True),
    (complex(1, float("nan")), "complex64", False)])
def test_cast_overflow_thresholds(value, dtype, warns):
    _, caught = record(lambda: quarvel.array([value], dtype=dtype))
    assert caught == ([(RuntimeWarning, OVERFLOW)] if warns else [])


def test_cast_warnings_point_at_the_caller_and_may_stop_the_cast():
    with pytest.warns(RuntimeWarning) as caught:
        quarvel.array([1e39], dtype="float32")
        assert quarvel.array(quarvel.array([1 + 2j, 3 - 1j]), dtype="float64")[1] == 3.0
    assert [(w.category, w.filename) for w in caught] == [(RuntimeWarning, __file__), (quarvel.ComplexWarning, __file__)]
    assert record(lambda: quarvel.array([quarvel.array([float("nan"), 1.0])], dtype="int32"))[1] == [
        (RuntimeWarning, "invalid value encountered in cast")]


def test_complex_warning_category_is_looked_up_each_time(monkeypatch):
    Replacement = type("Replacement", (RuntimeWarning,), {})
    source = quarvel.array([1 + 2j])
    monkeypatch.setattr(quarvel, "ComplexWarning", Replacement)
    assert record(lambda: quarvel.array(source, dtype="float32"))[1] == [(Replacement, COMPLEX_DISCARD)]
