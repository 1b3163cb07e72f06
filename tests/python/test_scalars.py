import math
import operator
import re
import struct

import pytest
from hypothesis import given, strategies as st

import quarvel


def scalar(value, dtype):
    """One element of a one-element array, as quarvel hands it to Python."""
    return quarvel.array([value], dtype=dtype)[0]


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


@pytest.mark.parametrize("value,dtype,cls,text", [
    (True, "bool", "BoolScalar", "true"),
    (False, "?", "BoolScalar", "false"),
    (-5, "int8", "Int8Scalar", "-5"),
    (255, "uint8", "UInt8Scalar", "255"),
    (-32768, "int16", "Int16Scalar", "-32768"),
    (65535, "uint16", "UInt16Scalar", "65535"),
    (-2**31, "int32", "Int32Scalar", "-2147483648"),
    (2**32 - 1, "uint32", "UInt32Scalar", "4294967295"),
    (-2**63, "int64", "Int64Scalar", "-9223372036854775808"),
    (2**64 - 1, "uint64", "UInt64Scalar", "18446744073709551615"),
    (7, "q", "LongLongScalar", "7"),
    (-7, "longlong", "LongLongScalar", "-7"),
    (7, "Q", "ULongLongScalar", "7"),
    (7, "ulonglong", "ULongLongScalar", "7"),
    (7, "l", "Int64Scalar", "7"),
    (0.1, "float16", "Float16Scalar", "0.099975586"),
    (65504.0, "e", "Float16Scalar", "65504.0"),
    (2.0**-24, "e", "Float16Scalar", "5.9604645e-8"),
    (0.1, "float32", "Float32Scalar", "0.1"),
    (3.4028234663852886e38, "f", "Float32Scalar", "3.4028235e38"),
    # The float32 nearest 1e-4 is below it: exponent form, whatever its shortest digits.
    (1e-4, "f", "Float32Scalar", "1e-4"),
    (-1e-4, "f", "Float32Scalar", "-1e-4"),
    (16777217.0, "f", "Float32Scalar", "16777216.0"),
    (1e16, "float64", "Float64Scalar", "1e16"),
    (1e15, "d", "Float64Scalar", "1000000000000000.0"),
    (0.0001, "d", "Float64Scalar", "0.0001"),
    (0.00001, "d", "Float64Scalar", "1e-5"),
    (1.5e-5, "d", "Float64Scalar", "1.5e-5"),
    (-2.5e20, "d", "Float64Scalar", "-2.5e20"),
    (123456789.0, "d", "Float64Scalar", "123456789.0"),
    (9999999999999998.0, "d", "Float64Scalar", "9999999999999998.0"),
    (0.0, "d", "Float64Scalar", "0.0"),
    (-0.0, "d", "Float64Scalar", "-0.0"),
    (-0.0, "f", "Float32Scalar", "-0.0"),
    (float("nan"), "d", "Float64Scalar", "NaN"),
    (float("nan"), "e", "Float16Scalar", "NaN"),
    (float("inf"), "d", "Float64Scalar", "inf"),
    (float("-inf"), "f", "Float32Scalar", "-inf"),
    (5e-324, "d", "Float64Scalar", "5e-324"),
    (1 + 2j, "complex64", "Complex64Scalar", "(1.0, 2.0)"),
    (0.1 - 1e20j, "F", "Complex64Scalar", "(0.1, -1e20)"),
    (complex(1e-4, -1e-4), "F", "Complex64Scalar", "(1e-4, -1e-4)"),
    (complex(0.1, -0.0), "complex128", "Complex128Scalar", "(0.1, -0.0)"),
    (complex(float("nan"), float("inf")), "D", "Complex128Scalar", "(NaN, inf)"),
    (1.5, "float128", "LongDoubleScalar", "'1.5'"),
    (-2.0, "longdouble", "LongDoubleScalar", "'-2'"),
    (0.1, "g", "LongDoubleScalar", "'0.100000000000000005551'"),
    (1.5 - 2j, "complex256", "ComplexLongDoubleScalar", "(1.5, -2)"),
])
def test_repr(value, dtype, cls, text):
    s = scalar(value, dtype)
    assert type(s) is getattr(quarvel, cls)
    assert repr(s) == f"quarvel.{cls}({text})"


@pytest.mark.parametrize("value,dtype", [
    (3, "int8"), (True, "bool"), (2.5, "float64"), (1 + 1j, "complex64"), (1.5 - 2j, "G"), (7, "Q"),
])
def test_str_is_repr(value, dtype):
    s = scalar(value, dtype)
    assert str(s) == repr(s)


def test_long_double_str_is_bare_text():
    assert str(scalar(1.5, "g")) == "1.5"
    assert str(scalar(0.1, "g")) == "0.100000000000000005551"


def python_exponent_form(value):
    """The oracle: the interpreter's own shortest repr, relaid as the scalar text."""
    text = repr(value)
    if text == "nan":
        return "NaN"
    mantissa, _, exponent = text.partition("e")
    if exponent:
        return f"{mantissa}e{int(exponent)}"
    return text


@given(st.floats(allow_nan=False))
def test_float64_text_matches_the_shortest_round_trip(value):
    assert repr(scalar(value, "d")) == f"quarvel.Float64Scalar({python_exponent_form(value)})"


@given(st.floats(width=32, allow_nan=False, allow_infinity=False))
def test_float32_text_is_shortest_round_trip(value):
    text = re.fullmatch(r"quarvel\.Float32Scalar\((.*)\)", repr(scalar(value, "f"))).group(1)
    assert f32(float(text)) == value and math.copysign(1, float(text)) == math.copysign(1, value)
    digits = len(re.sub(r"e.*|[-.]", "", text).strip("0")) or 1
    if digits > 1:
        shorter = float(f"{value:.{digits - 2}e}")
        assert f32(shorter) != value
    magnitude = abs(value)
    assert ("e" in text) == (magnitude != 0 and (magnitude < 1e-4 or magnitude >= 1e16))


@pytest.mark.parametrize("value,dtype,item_type", [
    (True, "bool", bool), (-3, "int8", int), (200, "uint8", int), (2**64 - 1, "uint64", int),
    (5, "q", int), (0.1, "float16", float), (0.1, "float32", float), (0.1, "float64", float),
    (1 + 2j, "complex64", complex), (1 + 2j, "complex128", complex),
])
def test_item(value, dtype, item_type):
    item = scalar(value, dtype).item()
    assert type(item) is item_type
    if dtype == "float16":
        assert item == 0.0999755859375
    elif dtype == "float32":
        assert item == f32(0.1)
    else:
        assert item == value


def test_long_double_item_is_a_copy():
    s = scalar(1.5, "g")
    item = s.item()
    assert type(item) is quarvel.LongDoubleScalar and item is not s and str(item) == "1.5"
    c = scalar(1.5 - 2j, "G")
    item = c.item()
    assert type(item) is quarvel.ComplexLongDoubleScalar and item is not c
    assert repr(item) == repr(c)


@pytest.mark.parametrize("value,dtype,truth", [
    (True, "bool", True), (False, "bool", False), (0, "int32", False), (-1, "int8", True),
    (0.0, "f", False), (-0.0, "d", False), (float("nan"), "f", True), (1e-300, "d", True),
    (0j, "D", False), (1j, "F", True), (complex(float("nan"), 0), "D", True),
    (0.0, "g", False), (2.0, "g", True), (0j, "G", False), (1j, "G", True),
])
def test_truth(value, dtype, truth):
    assert bool(scalar(value, dtype)) is truth


@pytest.mark.parametrize("value,dtype,expected", [
    (True, "bool", 1), (-7, "int16", -7), (2**64 - 1, "u8", 2**64 - 1),
    (2.9, "d", 2), (-2.9, "f", -2), (65504.0, "e", 65504),
])
def test_int(value, dtype, expected):
    result = int(scalar(value, dtype))
    assert type(result) is int and result == expected


def test_int_of_nan_and_inf():
    with pytest.raises(ValueError, match="^cannot convert float NaN to integer$"):
        int(scalar(float("nan"), "d"))
    with pytest.raises(OverflowError, match="^cannot convert float infinity to integer$"):
        int(scalar(float("inf"), "f"))


@pytest.mark.parametrize("value,dtype,expected", [
    (True, "bool", 1.0), (-7, "i2", -7.0), (2**64 - 1, "u8", 18446744073709551616.0),
    (2**53 + 1, "i8", 9007199254740992.0), (0.1, "f", f32(0.1)), (2.5, "d", 2.5),
    (1.5, "g", 1.5), (0.1, "g", 0.1),
])
def test_float(value, dtype, expected):
    result = float(scalar(value, dtype))
    assert type(result) is float and result == expected


def test_int_and_float_convert_without_looking_up_the_builtins(monkeypatch):
    import builtins

    real_int, real_float = builtins.int, builtins.float

    def refuse(value):
        raise AssertionError("looked up")

    monkeypatch.setattr(builtins, "int", refuse)
    monkeypatch.setattr(builtins, "float", refuse)
    results = [real_int(scalar(2.5, "f")), real_float(scalar(7, "u2")), real_int(scalar(True, "?"))]
    monkeypatch.undo()
    assert [(type(r), r) for r in results] == [(int, 2), (float, 7.0), (int, 1)]


@pytest.mark.parametrize("dtype", ["F", "D", "G"])
def test_complex_classes_refuse_int_and_float(dtype):
    s = scalar(1 + 2j, dtype)
    with pytest.raises(TypeError):
        int(s)
    if dtype != "G":
        with pytest.raises(TypeError):
            float(s)


@pytest.mark.parametrize("value,dtype,expected", [
    (1 + 2j, "F", 1 + 2j), (0.1 - 3j, "D", 0.1 - 3j), (1.5 - 2j, "G", 1.5 - 2j),
])
def test_complex(value, dtype, expected):
    s = scalar(value, dtype)
    assert complex(s) == expected
    assert s.__complex__() == expected


@pytest.mark.parametrize("value,dtype", [(200, "uint8"), (5, "q"), (-3, "int64"), (7, "Q")])
def test_index(value, dtype):
    s = scalar(value, dtype)
    assert operator.index(s) == value
    assert list(range(300))[s] == list(range(300))[value]


@pytest.mark.parametrize("value,dtype", [(True, "bool"), (1.0, "float64"), (1.0, "e"), (1j, "D"),
                                         (1.0, "g"), (1j, "G")])
def test_index_refused(value, dtype):
    with pytest.raises(TypeError):
        operator.index(scalar(value, dtype))


def test_comparisons_follow_python_values():
    three = scalar(3, "int64")
    long_three = scalar(3, "q")
    assert three == long_three == 3 == 3.0
    assert scalar(5, "int8") == scalar(5.0, "f")
    assert scalar(2, "u1") < 3 and scalar(2, "u1") <= 2 and not scalar(2, "u1") > 2
    assert scalar(0.5, "d") != 0.25
    assert scalar(True, "bool") == 1
    assert scalar(1 + 2j, "D") == 1 + 2j
    with pytest.raises(TypeError):
        scalar(1 + 2j, "D") < 1
    assert scalar(float("nan"), "d") != scalar(float("nan"), "d")


def test_long_double_classes_compare_by_identity():
    a = scalar(1.5, "g")
    assert a == a
    assert a != scalar(1.5, "g")
    assert hash(a) == hash(a)


@pytest.mark.parametrize("value,dtype", [(3, "int64"), (3, "q"), (True, "?"), (1.0, "f"), (1j, "F")])
def test_unhashable(value, dtype):
    with pytest.raises(TypeError):
        hash(scalar(value, dtype))


@pytest.mark.parametrize("value,dtype,name,char,order", [
    (True, "bool", "bool", "?", "|"), (1, "u1", "uint8", "B", "|"), (1, "i2", "int16", "h", "="),
    (1, "q", "int64", "q", "="), (1, "Q", "uint64", "Q", "="), (1, "l", "int64", "l", "="),
    (1.0, "e", "float16", "e", "="), (1j, "F", "complex64", "F", "="),
    (1.0, "g", "float128", "g", "="), (1j, "G", "complex256", "G", "="),
])
def test_dtype_attribute(value, dtype, name, char, order):
    d = scalar(value, dtype).dtype
    assert isinstance(d, quarvel.DType)
    assert (d.name, d.char, d.byteorder) == (name, char, order)


def test_complex_long_double_parts():
    c = scalar(1.5 - 2j, "G")
    assert type(c.real) is quarvel.LongDoubleScalar and str(c.real) == "1.5"
    assert type(c.imag) is quarvel.LongDoubleScalar and str(c.imag) == "-2"
    assert c.real is not c.real


def test_members_are_read_only():
    s = scalar(1, "i4")
    with pytest.raises(AttributeError):
        s.dtype = quarvel.int8
    with pytest.raises(AttributeError):
        s.extra = 1
    c = scalar(1j, "G")
    with pytest.raises(AttributeError):
        c.real = 1


def test_methods_check_their_receiver():
    with pytest.raises(TypeError):
        quarvel.Int8Scalar.item(scalar(1.0, "d"))
    with pytest.raises(TypeError):
        quarvel.Complex64Scalar.__complex__(scalar(1j, "D"))


def test_signatures():
    assert quarvel.Int8Scalar.item.__text_signature__ == "($self)"
    assert quarvel.Complex128Scalar.__complex__.__text_signature__ == "($self)"
