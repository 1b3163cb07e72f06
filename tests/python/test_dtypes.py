"""DType: spellings, attributes, text forms, byte orders, equality; promote_types."""
import itertools

import pytest

import quarvel
from helpers import CHAR_NAMES, CHARS, MODULE_DTYPES, NAMES, ONE_BYTE, raises

# name: kind, itemsize, alignment, str, scalar class
ATTRIBUTES = {entry.split()[0]: entry.split()[1:] for entry in """
bool b 1 1 |b1 BoolScalar; int8 i 1 1 |i1 Int8Scalar; uint8 u 1 1 |u1 UInt8Scalar
int16 i 2 2 <i2 Int16Scalar; uint16 u 2 2 <u2 UInt16Scalar; int32 i 4 4 <i4 Int32Scalar
uint32 u 4 4 <u4 UInt32Scalar; int64 i 8 8 <i8 Int64Scalar; uint64 u 8 8 <u8 UInt64Scalar
float16 f 2 2 <f2 Float16Scalar; float32 f 4 4 <f4 Float32Scalar; float64 f 8 8 <f8 Float64Scalar
complex64 c 8 4 <c8 Complex64Scalar; complex128 c 16 8 <c16 Complex128Scalar; float128 f 16 16 <f16 LongDoubleScalar
complex256 c 32 16 <c32 ComplexLongDoubleScalar
""".strip().replace("\n", "; ").split("; ")}
# Every accepted spelling, by dtype.
SPELLINGS = {text: name for name, texts in {
    "bool": "? b1 bool bool_", "int8": "b i1 int8 byte", "uint8": "B u1 uint8 ubyte", "int16": "h i2 int16 short",
    "uint16": "H u2 uint16 ushort", "int32": "i i4 int32 intc", "uint32": "I u4 uint32 uintc",
    "int64": "l q n p i8 int int_ long intp int64 longlong", "uint64": "L Q N P u8 uint ulong uintp uint64 ulonglong",
    "float16": "e f2 half float16", "float32": "f f4 single float32", "float64": "d f8 float double float64",
    "complex64": "F c8 csingle complex64", "complex128": "D c16 complex cdouble complex128",
    "float128": "g longdouble float128", "complex256": "G c32 clongdouble complex256",
}.items() for text in texts.split()}
REFUSED_TYPE = "dtype must be a quarvel DType, a built-in numeric type, or a supported dtype name"


def native(name):
    return "|" if name in ONE_BYTE else "="


def test_attributes_of_every_dtype():
    for name, (kind, itemsize, alignment, text, scalar) in ATTRIBUTES.items():
        d = quarvel.DType(name)
        assert (d.name, d.char, d.kind, d.itemsize, d.alignment, d.str, d.byteorder, d.isnative, d.type) == (
            name, CHARS[name], kind, int(itemsize), int(alignment), text, native(name), True, getattr(quarvel, scalar))
    assert (quarvel.longlong.type, quarvel.ulonglong.type) == (quarvel.LongLongScalar, quarvel.ULongLongScalar)


def test_every_spelling_and_module_attribute():
    for text, name in SPELLINGS.items():
        d = quarvel.DType(text)
        char = {"q": "q", "longlong": "q", "Q": "Q", "ulonglong": "Q"}.get(text, CHARS[name])
        assert (d.name, d.char, d.byteorder) == (name, char, native(name)), text
    for attribute, char in MODULE_DTYPES.items():
        d = getattr(quarvel, attribute)
        assert (type(d), d.name, d.char, d.byteorder) == (quarvel.DType, CHAR_NAMES[char], char,
                                                          native(CHAR_NAMES[char]))


@pytest.mark.parametrize("prefix, order", [("<", "="), ("=", "="), (">", ">"), ("", "="), ("|", "|")])
def test_byte_order_prefixes(prefix, order):
    for text in ["i4", "q", "c32", "longdouble", "i1", "?"]:
        one_byte = quarvel.DType(text).itemsize == 1
        if prefix == "|" and not one_byte:
            raises(ValueError, f'unsupported preview dtype "|{text}"', quarvel.DType, prefix + text)
            continue
        d = quarvel.DType(prefix + text)
        assert d.byteorder == ("|" if one_byte else order) and d.isnative is (d.byteorder != ">")
        assert d.char == quarvel.DType(text).char


def quoted(text):
    """The oracle for refused spellings: escapes as the interpreter sees printability."""
    named = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    return '"' + "".join(
        named.get(ch) or (ch if ch.isprintable() else "\\u{%x}" % ord(ch)) for ch in text) + '"'


@pytest.mark.parametrize("text", [
    "", "f16", "<<i4", "=", "Int32", " int32", "a\tb", "a\nb\r", "nul\0", 'quo"te', "back\\slash", "\x01\x1f \x7f",
    "caf\u00e9", "\u2640", "\u4e4b", "\ud800", "\U0001f600", "\u00a0", "\u0301", "\ue000", "\U000e0001", "\u0378", "\u00ad"])
def test_refused_spellings_are_quoted(text):
    message = "unsupported preview dtype " + quoted(text)
    raises(ValueError, message, quarvel.DType, text)
    raises(ValueError, message, quarvel.promote_types, text, "i4")


def test_text_forms():
    for text, str_ in [("float64", "float64"), (">f8", ">float64"), (">i1", "int8"), (">G", ">complex256"), ("q", "int64")]:
        assert (str(quarvel.DType(text)), repr(quarvel.DType(text))) == (str_, f"quarvel.DType('{str_}')")
    back = (swapped := quarvel.float64.newbyteorder()).newbyteorder()
    assert (str(swapped), swapped.str, swapped.isnative, str(back), back.str, back.isnative) == (
        ">float64", ">f8", False, "<float64", "<f8", True)
    assert back.newbyteorder().byteorder == ">"  # '<' on a '<' tag swaps to '>'


# current tag (as made), request -> resulting byteorder attribute
@pytest.mark.parametrize("start, wanted, expected", [
    ("=f8", "S", ">"), ("=f8", "<", "<"), ("=f8", "=", "="), ("=f8", "|", "="), (">f8", "S", "<"), (">f8", "|", ">"),
    ("i1", "S", "|"), ("?", ">", "|"), ("q", ">", ">")])
def test_newbyteorder(start, wanted, expected):
    d = quarvel.DType(start).newbyteorder(new_order=wanted)
    assert d.byteorder == expected and d.char == quarvel.DType(start).char
    for bad in ["", "SS", "s", "\0", "\ud800"]:
        raises(ValueError, "new byte order must be '=', '<', '>', '|', or 'S'", quarvel.float64.newbyteorder, bad)
    assert str(raises(TypeError, None, quarvel.float64.newbyteorder, b"<")).startswith("argument 'new_order': ")


@pytest.mark.parametrize("left, right, equal", [
    (quarvel.longlong, quarvel.int64, True), (quarvel.DType(">f8"), quarvel.float64, False),
    (quarvel.float64.newbyteorder().newbyteorder(), quarvel.float64, True), (quarvel.DType(">i1"), quarvel.int8, True),
    (quarvel.float64, ">f8", False), (quarvel.DType(">f8"), ">f8", True), (quarvel.float64, "nonsense", False),
    (quarvel.float64, float, False)])
def test_equality(left, right, equal):
    assert ((left == right), (left != right), (right == left), (right != left)) == (equal, not equal, equal, not equal)
    for x, y in [(left, right), (right, left)]:
        assert (x < y, x <= y, x > y, x >= y) == (False,) * 4


def test_unhashable_and_type_follows_the_package_attribute(monkeypatch):
    raises(TypeError, None, hash, quarvel.float64)
    monkeypatch.setattr(quarvel, "Float64Scalar", "replaced")
    assert quarvel.float64.type == "replaced"


# --- promote_types ------------------------------------------------------------

# The promotion table by type characters, row by row in the order of NAMES (columns likewise).
ROWS = """
?bBhHiIlLefdFDgG bbhhiilldefdFDgG BhBhHiIlLefdFDgG hhhhiilldffdFDgG
HiHiHiIlLffdFDgG iiiiiillddddDDgG IlIlIlIlLdddDDgG llllllllddddDDgG
LdLdLdLdLdddDDgG eeeffddddefdFDgG fffffddddffdFDgG ddddddddddddDDgG
FFFFFDDDDFFDFDGG DDDDDDDDDDDDDDGG ggggggggggggGGgG GGGGGGGGGGGGGGGG
"""


def test_promotion_table():
    table = ROWS.split()
    for (i, left), (j, right) in itertools.product(enumerate(NAMES), repeat=2):
        result, expected = quarvel.promote_types(left, right), dict(zip(CHARS.values(), CHARS))[table[i][j]]
        assert (result.name, result.char, result.byteorder) == (expected, CHARS[expected], native(expected)), (
            left, right)


def Spec(**attributes):  # noqa: N802
    return type("Spec", (), attributes)()


def Raising(error, attr):  # noqa: N802
    def fail(self):
        raise error
    return Spec(**{attr: property(fail)})


@pytest.mark.parametrize("left, right, name, char", [
    ("q", "i4", "int64", "q"), ("i4", "q", "int64", "q"), ("q", "Q", "float64", "d"), ("Q", "u1", "uint64", "Q"),
    ("q", "l", "int64", "q"), ("l", "q", "int64", "q"), ("l", "L", "float64", "d"),
    (quarvel.ulonglong, quarvel.bool, "uint64", "Q"),
    # dtype arguments by kind: DType, text, built-in type, an object's str, char, name or __name__
    (quarvel.DType(">f4"), "f4", "float32", "f"), (bool, bool, "bool", "?"), (int, int, "int64", "l"),
    (float, float, "float64", "d"), (complex, complex, "complex128", "D"),
    (Spec(str="<i8", char="q"), Spec(str=">i8", char="q"), "int64", "q"),
    (Spec(str="longlong"), Spec(str="longlong"), "int64", "q"),
    (Spec(str="<f16", name="float32"), Spec(str=5, name="float32"), "float32", "f"),
    (Spec(name="int16"), Spec(name="int16"), "int16", "h"),
    (Spec(str="nope", name="nope", __name__="c8"), "F", "complex64", "F"),
    (Spec(char=7, str="i8"), "i8", "int64", "l"), (Spec(char="Q", name="u8"), "Q", "uint64", "Q"),
    (">f8", "<f4", "float64", "d"), (">i1", "|u1", "int16", "h"), (">b1", "?", "bool", "?")])
def test_promotion_of_aliases_and_argument_forms(left, right, name, char):
    result = quarvel.promote_types(left, right)
    assert (result.name, result.char, result.byteorder) == (name, char, native(name))


@pytest.mark.parametrize("bad", [None, 1, b"i4", quarvel.Float64Scalar, Spec(str="nope"), str,
                                 type("MyInt", (int,), {}), Raising(ValueError("boom"), "str")])
def test_refused_arguments(bad):
    raises(TypeError, REFUSED_TYPE, quarvel.promote_types, bad, "i4")
    raises(TypeError, REFUSED_TYPE, quarvel.promote_types, "i4", bad)


def test_promote_types_checks_left_first_and_lets_interrupts_through():
    raises(ValueError, 'unsupported preview dtype "bad1"', quarvel.promote_types, "bad1", "bad2")
    raises(TypeError, REFUSED_TYPE, quarvel.promote_types, None, "bad2")
    for error, attr in [(KeyboardInterrupt, "str"), (KeyboardInterrupt, "char"), (SystemExit, "name")]:
        raises(error, None, quarvel.promote_types, "i4", Raising(error(), attr))
