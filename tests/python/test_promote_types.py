import itertools

import pytest

import quarvel

NAMES = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
         "float16", "float32", "float64", "complex64", "complex128", "float128", "complex256"]

# The promotion table, row by row in the order of NAMES (columns likewise).
ROWS = """
bool       int8       uint8      int16      uint16     int32      uint32     int64      uint64     float16    float32    float64    complex64  complex128 float128   complex256
int8       int8       int16      int16      int32      int32      int64      int64      float64    float16    float32    float64    complex64  complex128 float128   complex256
uint8      int16      uint8      int16      uint16     int32      uint32     int64      uint64     float16    float32    float64    complex64  complex128 float128   complex256
int16      int16      int16      int16      int32      int32      int64      int64      float64    float32    float32    float64    complex64  complex128 float128   complex256
uint16     int32      uint16     int32      uint16     int32      uint32     int64      uint64     float32    float32    float64    complex64  complex128 float128   complex256
int32      int32      int32      int32      int32      int32      int64      int64      float64    float64    float64    float64    complex128 complex128 float128   complex256
uint32     int64      uint32     int64      uint32     int64      uint32     int64      uint64     float64    float64    float64    complex128 complex128 float128   complex256
int64      int64      int64      int64      int64      int64      int64      int64      float64    float64    float64    float64    complex128 complex128 float128   complex256
uint64     float64    uint64     float64    uint64     float64    uint64     float64    uint64     float64    float64    float64    complex128 complex128 float128   complex256
float16    float16    float16    float32    float32    float64    float64    float64    float64    float16    float32    float64    complex64  complex128 float128   complex256
float32    float32    float32    float32    float32    float64    float64    float64    float64    float32    float32    float64    complex64  complex128 float128   complex256
float64    float64    float64    float64    float64    float64    float64    float64    float64    float64    float64    float64    complex128 complex128 float128   complex256
complex64  complex64  complex64  complex64  complex64  complex128 complex128 complex128 complex128 complex64  complex64  complex128 complex64  complex128 complex256 complex256
complex128 complex128 complex128 complex128 complex128 complex128 complex128 complex128 complex128 complex128 complex128 complex128 complex128 complex128 complex256 complex256
float128   float128   float128   float128   float128   float128   float128   float128   float128   float128   float128   float128   complex256 complex256 float128   complex256
complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256 complex256
"""
TABLE = {(NAMES[i], NAMES[j]): cell
         for i, row in enumerate(ROWS.split("\n")[1:-1])
         for j, cell in enumerate(row.split())}


@pytest.mark.parametrize("left,right", list(itertools.product(NAMES, NAMES)))
def test_promotion_table(left, right):
    result = quarvel.promote_types(left, right)
    expected = TABLE[left, right]
    assert result.name == expected
    assert result.byteorder == ("|" if expected in ("bool", "int8", "uint8") else "=")
    assert result.char == quarvel.DType(expected).char


def test_table_is_symmetric():
    for left, right in itertools.product(NAMES, NAMES):
        assert TABLE[left, right] == TABLE[right, left]


@pytest.mark.parametrize("left,right,name,char", [
    ("q", "i4", "int64", "q"),
    ("i4", "q", "int64", "q"),
    ("q", "Q", "float64", "d"),
    ("q", "q", "int64", "q"),
    ("Q", "Q", "uint64", "Q"),
    ("Q", "u1", "uint64", "Q"),
    ("Q", "f8", "float64", "d"),
    ("q", "l", "int64", "q"),
    ("l", "q", "int64", "q"),
    ("q", "u8", "float64", "d"),
    ("Q", "i8", "float64", "d"),
    ("longlong", "ulonglong", "float64", "d"),
    (quarvel.longlong, quarvel.int16, "int64", "q"),
    (quarvel.ulonglong, quarvel.bool, "uint64", "Q"),
    (quarvel.longlong, quarvel.ulonglong, "float64", "d"),
    ("l", "L", "float64", "d"),
])
def test_aliases(left, right, name, char):
    result = quarvel.promote_types(left, right)
    assert (result.name, result.char) == (name, char)


@pytest.mark.parametrize("left,right,order", [
    (">f8", ">f8", "="),
    (">f8", "<f4", "="),
    (quarvel.float64.newbyteorder("<"), "f8", "="),
    ("i1", "u1", "="),
    (">i1", "|u1", "="),
    (bool, bool, "|"),
    (">b1", "?", "|"),
    ("u1", "u1", "|"),
])
def test_byte_orders_ignored(left, right, order):
    assert quarvel.promote_types(left, right).byteorder == order


class Spec:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


class Raising:
    def __init__(self, error, attr):
        self._error, self._attr = error, attr

    def __getattr__(self, name):
        if name == self._attr:
            raise self._error
        raise AttributeError(name)


@pytest.mark.parametrize("spec,name,char", [
    (quarvel.float32, "float32", "f"),
    (quarvel.DType(">f4"), "float32", "f"),
    ("<u2", "uint16", "H"),
    (bool, "bool", "?"),
    (int, "int64", "l"),
    (float, "float64", "d"),
    (complex, "complex128", "D"),
    (Spec(str="<i8", char="q"), "int64", "q"),
    (Spec(str="<i8", char="l"), "int64", "l"),
    (Spec(str=">i8", char="q"), "int64", "q"),
    (Spec(str="longlong"), "int64", "q"),
    (Spec(str="<f16", name="float32"), "float32", "f"),
    (Spec(str=5, name="float32"), "float32", "f"),
    (Spec(name="int16"), "int16", "h"),
    (Spec(str="nope", name="nope", __name__="c8"), "complex64", "F"),
    (Spec(char=7, str="i8"), "int64", "l"),
    (Spec(char="Q", name="u8"), "uint64", "Q"),
    (Raising(ValueError("boom"), "str"), None, None),
])
def test_dtype_argument_forms(spec, name, char):
    # Promoting a dtype with itself keeps its dtype and alias.
    if name is None:
        with pytest.raises(TypeError):
            quarvel.promote_types(spec, bool)
        return
    result = quarvel.promote_types(spec, spec)
    assert (result.name, result.char) == (name, char)
    assert result.byteorder == ("|" if name == "bool" else "=")


def test_attribute_lookup_lets_interrupts_through():
    with pytest.raises(KeyboardInterrupt):
        quarvel.promote_types(Raising(KeyboardInterrupt(), "str"), "i4")
    with pytest.raises(KeyboardInterrupt):
        quarvel.promote_types(Raising(KeyboardInterrupt(), "char"), "i4")
    with pytest.raises(SystemExit):
        quarvel.promote_types("i4", Raising(SystemExit(), "name"))


def test_builtin_subclasses_do_not_match():
    class MyInt(int):
        pass

    with pytest.raises(TypeError) as info:
        quarvel.promote_types(MyInt, "i4")
    assert str(info.value) == (
        "dtype must be a quarvel DType, a built-in numeric type, or a supported dtype name")


@pytest.mark.parametrize("bad", [None, 1, 2.5, b"i4", object(), quarvel.Float64Scalar,
                                 quarvel.DType, Spec(str="nope"), [quarvel.float64], str])
def test_refused_arguments(bad):
    message = "dtype must be a quarvel DType, a built-in numeric type, or a supported dtype name"
    with pytest.raises(TypeError) as info:
        quarvel.promote_types(bad, "i4")
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        quarvel.promote_types("i4", bad)
    assert str(info.value) == message


def test_left_is_parsed_first():
    with pytest.raises(ValueError) as info:
        quarvel.promote_types("bad1", "bad2")
    assert str(info.value) == 'unsupported preview dtype "bad1"'
    with pytest.raises(TypeError):
        quarvel.promote_types(None, "bad2")


@pytest.mark.parametrize("call,message", [
    (lambda: quarvel.promote_types(), "promote_types() missing required argument 'left' (pos 1)"),
    (lambda: quarvel.promote_types("i4"), "promote_types() missing required argument 'right' (pos 2)"),
    (lambda: quarvel.promote_types("i4", "i4", "i4"), "promote_types() takes at most 2 arguments (3 given)"),
    (lambda: quarvel.promote_types("i4", left="i4"),
     "promote_types() missing required argument 'right' (pos 2)"),
    (lambda: quarvel.promote_types("i4", "i8", other=1),
     "promote_types() takes at most 2 arguments (3 given)"),
    (lambda: quarvel.promote_types("i4", rite="i8"), "promote_types() missing required argument 'right' (pos 2)"),
    (lambda: quarvel.promote_types(left="i4", rite="i8"),
     "promote_types() missing required argument 'right' (pos 2)"),
    (lambda: quarvel.promote_types(left="i4", right="i8", x=1),
     "promote_types() takes at most 2 keyword arguments (3 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords():
    assert quarvel.promote_types(right="i1", left="u1").name == "int16"
    assert quarvel.promote_types("i1", right="f4").name == "float32"


def test_signature_and_name():
    assert quarvel.promote_types.__name__ == "promote_types"
    assert quarvel.promote_types.__text_signature__ == "(left, right)"
    assert quarvel.promote_types.__module__ == "quarvel.quarvel"


def test_result_is_new_dtype():
    a = quarvel.float64
    assert quarvel.promote_types(a, a) is not a
