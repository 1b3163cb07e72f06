import pytest
from hypothesis import given, strategies as st

import quarvel

# name, char, kind, itemsize, alignment, str, scalar class, byteorder
TABLE = {
    "bool": ("?", "b", 1, 1, "|b1", "BoolScalar", "|"),
    "int8": ("b", "i", 1, 1, "|i1", "Int8Scalar", "|"),
    "uint8": ("B", "u", 1, 1, "|u1", "UInt8Scalar", "|"),
    "int16": ("h", "i", 2, 2, "<i2", "Int16Scalar", "="),
    "uint16": ("H", "u", 2, 2, "<u2", "UInt16Scalar", "="),
    "int32": ("i", "i", 4, 4, "<i4", "Int32Scalar", "="),
    "uint32": ("I", "u", 4, 4, "<u4", "UInt32Scalar", "="),
    "int64": ("l", "i", 8, 8, "<i8", "Int64Scalar", "="),
    "uint64": ("L", "u", 8, 8, "<u8", "UInt64Scalar", "="),
    "float16": ("e", "f", 2, 2, "<f2", "Float16Scalar", "="),
    "float32": ("f", "f", 4, 4, "<f4", "Float32Scalar", "="),
    "float64": ("d", "f", 8, 8, "<f8", "Float64Scalar", "="),
    "complex64": ("F", "c", 8, 4, "<c8", "Complex64Scalar", "="),
    "complex128": ("D", "c", 16, 8, "<c16", "Complex128Scalar", "="),
    "float128": ("g", "f", 16, 16, "<f16", "LongDoubleScalar", "="),
    "complex256": ("G", "c", 32, 16, "<c32", "ComplexLongDoubleScalar", "="),
}

# module attribute -> (dtype name, char)
ALIASES = {
    "bool": ("bool", "?"), "bool_": ("bool", "?"), "int8": ("int8", "b"), "uint8": ("uint8", "B"),
    "int16": ("int16", "h"), "uint16": ("uint16", "H"), "int32": ("int32", "i"),
    "uint32": ("uint32", "I"), "int64": ("int64", "l"), "uint64": ("uint64", "L"),
    "float16": ("float16", "e"), "float32": ("float32", "f"), "float64": ("float64", "d"),
    "complex64": ("complex64", "F"), "complex128": ("complex128", "D"), "byte": ("int8", "b"),
    "ubyte": ("uint8", "B"), "short": ("int16", "h"), "ushort": ("uint16", "H"),
    "int_": ("int64", "l"), "uint": ("uint64", "L"), "intp": ("int64", "l"),
    "uintp": ("uint64", "L"), "intc": ("int32", "i"), "uintc": ("uint32", "I"),
    "long": ("int64", "l"), "ulong": ("uint64", "L"), "longlong": ("int64", "q"),
    "ulonglong": ("uint64", "Q"), "float": ("float64", "d"), "double": ("float64", "d"),
    "single": ("float32", "f"), "half": ("float16", "e"), "csingle": ("complex64", "F"),
    "cdouble": ("complex128", "D"), "complex_": ("complex128", "D"),
    "longdouble": ("float128", "g"), "clongdouble": ("complex256", "G"),
    "float128": ("float128", "g"), "complex256": ("complex256", "G"),
}

# Every accepted spelling and its dtype name.
SPELLINGS = {
    "?": "bool", "b": "int8", "B": "uint8", "h": "int16", "H": "uint16", "i": "int32", "I": "uint32",
    "l": "int64", "q": "int64", "n": "int64", "p": "int64", "L": "uint64", "Q": "uint64",
    "N": "uint64", "P": "uint64", "e": "float16", "f": "float32", "d": "float64", "g": "float128",
    "F": "complex64", "D": "complex128", "G": "complex256",
    "b1": "bool", "i1": "int8", "u1": "uint8", "i2": "int16", "u2": "uint16", "i4": "int32",
    "u4": "uint32", "i8": "int64", "u8": "uint64", "f2": "float16", "f4": "float32",
    "f8": "float64", "c8": "complex64",
    "int": "int64", "c16": "complex128", "c32": "complex256",
    "bool": "bool", "int8": "int8", "byte": "int8", "intc": "int32", "int_": "int64",
    "long": "int64", "intp": "int64", "uint": "uint64", "half": "float16",
    "bool_": "bool", "uint8": "uint8", "ubyte": "uint8", "int16": "int16", "short": "int16",
    "int32": "int32", "uintc": "uint32", "int64": "int64", "ulong": "uint64", "uintp": "uint64",
    "float": "float64",
    "uint16": "uint16", "ushort": "uint16", "uint32": "uint32", "uint64": "uint64",
    "single": "float32", "double": "float64",
    "float16": "float16", "float32": "float32", "float64": "float64", "csingle": "complex64",
    "complex": "complex128", "cdouble": "complex128",
    "longlong": "int64", "float128": "float128",
    "ulonglong": "uint64", "complex64": "complex64",
    "complex128": "complex128", "longdouble": "float128", "complex256": "complex256",
    "clongdouble": "complex256",
}
ONE_BYTE = {"bool", "int8", "uint8"}


def test_spelling_table_has_78_entries():
    assert len(SPELLINGS) == 78


@pytest.mark.parametrize("name", list(TABLE))
def test_attributes_per_dtype(name):
    char, kind, itemsize, alignment, text, scalar, order = TABLE[name]
    d = quarvel.DType(name)
    assert (d.name, d.char, d.kind, d.itemsize, d.alignment, d.str, d.byteorder) == (
        name, char, kind, itemsize, alignment, text, order)
    assert d.type is getattr(quarvel, scalar)
    assert d.isnative is True
    assert isinstance(d.name, str) and isinstance(d.itemsize, int)


@pytest.mark.parametrize("attr", list(ALIASES))
def test_module_dtype_objects(attr):
    name, char = ALIASES[attr]
    d = getattr(quarvel, attr)
    assert isinstance(d, quarvel.DType)
    assert d.name == name
    assert d.char == char
    assert d.byteorder == ("|" if name in ONE_BYTE else "=")
    assert d == quarvel.DType(name)


def test_long_long_aliases():
    assert quarvel.longlong.type is quarvel.LongLongScalar
    assert quarvel.ulonglong.type is quarvel.ULongLongScalar
    assert quarvel.int64.type is quarvel.Int64Scalar
    assert quarvel.longlong == quarvel.int64
    assert quarvel.ulonglong == quarvel.uint64


@pytest.mark.parametrize("text,name", sorted(SPELLINGS.items()))
def test_every_spelling(text, name):
    d = quarvel.DType(text)
    assert d.name == name
    assert d.byteorder == ("|" if name in ONE_BYTE else "=")
    assert d.char == {"q": "q", "longlong": "q", "Q": "Q", "ulonglong": "Q"}.get(text, TABLE[name][0])


@pytest.mark.parametrize("prefix,order", [("<", "="), ("=", "="), (">", ">"), ("", "=")])
@pytest.mark.parametrize("text", ["i4", "float64", "q", "c32", "longdouble", "u2"])
def test_byte_order_prefixes(prefix, order, text):
    d = quarvel.DType(prefix + text)
    assert d.byteorder == order
    assert d.isnative is (order != ">")
    assert d.char == quarvel.DType(text).char


@pytest.mark.parametrize("text", ["|i1", ">i1", "<b1", "|?", "=u1", ">bool", "|B"])
def test_one_byte_dtypes_ignore_prefix(text):
    assert quarvel.DType(text).byteorder == "|"


REFUSED = [
    ("", '""'),
    ("f16", '"f16"'),
    ("<f16", '"<f16"'),
    ("complex_", '"complex_"'),
    ("|i4", '"|i4"'),
    ("<<i4", '"<<i4"'),
    ("=", '"="'),
    ("i 4", '"i 4"'),
    ("Int32", '"Int32"'),
    ("INT32", '"INT32"'),
    (" int32", '" int32"'),
    ("int32 ", '"int32 "'),
    ("clongdouble_", '"clongdouble_"'),
    ("r", '"r"'),
    ("x", '"x"'),
    ("a\tb", '"a\\tb"'),
    ("a\nb\r", '"a\\nb\\r"'),
    ("nul\0", '"nul\\0"'),
    ('quo"te', '"quo\\"te"'),
    ("back\\slash", '"back\\\\slash"'),
    ("\x01\x7f", '"\\u{1}\\u{7f}"'),
    ("caf\u00e9", '"caf\u00e9"'),
    ("\u2028", '"\\u{2028}"'),
    ("\ud800", '"\\u{d800}"'),
    ("\U0001f600", '"\U0001f600"'),
]


@pytest.mark.parametrize("text,quoted", REFUSED)
def test_refused_spellings(text, quoted):
    with pytest.raises(ValueError) as info:
        quarvel.DType(text)
    assert str(info.value) == "unsupported preview dtype " + quoted
    with pytest.raises(ValueError) as info:
        quarvel.promote_types(text, "i4")
    assert str(info.value) == "unsupported preview dtype " + quoted


def test_str_subclass_is_a_spelling():
    class S(str):
        pass

    assert quarvel.DType(S("i2")).name == "int16"


@pytest.mark.parametrize("bad", [None, 5, 4.0, b"i4", quarvel.float64, float, ["i4"]])
def test_constructor_wants_a_str(bad):
    with pytest.raises(TypeError) as info:
        quarvel.DType(bad)
    assert str(info.value).startswith("argument 'name': ")


@pytest.mark.parametrize("call,message", [
    (lambda: quarvel.DType(), "DType() missing required argument 'name' (pos 1)"),
    (lambda: quarvel.DType("i4", "i8"), "DType() takes at most 1 argument (2 given)"),
    (lambda: quarvel.DType(nme="i4"), "DType() missing required argument 'name' (pos 1)"),
    (lambda: quarvel.DType("i4", name="i8"), "DType() takes at most 1 argument (2 given)"),
])
def test_constructor_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_constructor_keyword():
    assert quarvel.DType(name="u8").name == "uint64"


@pytest.mark.parametrize("text,str_,repr_", [
    ("float64", "float64", "quarvel.DType('float64')"),
    (">f8", ">float64", "quarvel.DType('>float64')"),
    ("<f8", "float64", "quarvel.DType('float64')"),
    ("bool", "bool", "quarvel.DType('bool')"),
    (">i1", "int8", "quarvel.DType('int8')"),
    ("g", "float128", "quarvel.DType('float128')"),
    (">G", ">complex256", "quarvel.DType('>complex256')"),
    ("q", "int64", "quarvel.DType('int64')"),
])
def test_text_forms(text, str_, repr_):
    d = quarvel.DType(text)
    assert str(d) == str_
    assert repr(d) == repr_


def test_text_forms_after_newbyteorder():
    swapped = quarvel.float64.newbyteorder()
    assert str(swapped) == ">float64" and swapped.str == ">f8" and not swapped.isnative
    back = swapped.newbyteorder()
    assert str(back) == "<float64" and back.byteorder == "<" and back.str == "<f8"
    assert repr(back) == "quarvel.DType('<float64')"
    assert back.isnative


# current tag (as made), request -> resulting byteorder attribute
@pytest.mark.parametrize("start,wanted,expected", [
    ("=f8", "S", ">"), ("=f8", "<", "<"), ("=f8", "=", "="), ("=f8", ">", ">"), ("=f8", "|", "="),
    (">f8", "S", "<"), (">f8", "<", "<"), (">f8", "=", "="), (">f8", ">", ">"), (">f8", "|", ">"),
    ("i1", "S", "|"), ("i1", ">", "|"), ("i1", "<", "|"), ("?", "=", "|"), ("u1", "|", "|"),
])
def test_newbyteorder_table(start, wanted, expected):
    d = quarvel.DType(start).newbyteorder(wanted)
    assert d.byteorder == expected
    assert quarvel.DType(start).newbyteorder(new_order=wanted).byteorder == expected


def test_newbyteorder_default_and_twice():
    once = quarvel.int32.newbyteorder()
    assert once.byteorder == ">"
    assert once.newbyteorder().byteorder == "<"
    # '<' on a '<' tag swaps to '>'
    assert once.newbyteorder().newbyteorder().byteorder == ">"


def test_newbyteorder_keeps_alias():
    d = quarvel.longlong.newbyteorder(">")
    assert d.char == "q" and d.byteorder == ">"


@pytest.mark.parametrize("bad", ["", "SS", "s", "L", "B", "<>", "little", "\0", "\ud800", "\u00ab"])
def test_newbyteorder_refuses(bad):
    with pytest.raises(ValueError) as info:
        quarvel.float64.newbyteorder(bad)
    assert str(info.value) == "new byte order must be '=', '<', '>', '|', or 'S'"


@pytest.mark.parametrize("bad", [None, 1, b"<"])
def test_newbyteorder_type_error(bad):
    with pytest.raises(TypeError) as info:
        quarvel.float64.newbyteorder(bad)
    assert str(info.value).startswith("argument 'new_order': ")


def test_newbyteorder_argument_errors():
    with pytest.raises(TypeError) as info:
        quarvel.float64.newbyteorder("<", ">")
    assert str(info.value) == "newbyteorder() takes at most 1 argument (2 given)"
    with pytest.raises(TypeError) as info:
        quarvel.float64.newbyteorder(order="<")
    assert str(info.value) == "'order' is an invalid keyword argument for newbyteorder()"


@pytest.mark.parametrize("left,right,equal", [
    (quarvel.float64, quarvel.double, True),
    (quarvel.longlong, quarvel.int64, True),
    (quarvel.DType(">f8"), quarvel.float64, False),
    (quarvel.DType("<f8"), quarvel.float64, True),
    (quarvel.float64.newbyteorder().newbyteorder(), quarvel.float64, True),
    (quarvel.DType(">f8"), quarvel.float64.newbyteorder(), True),
    (quarvel.DType(">i1"), quarvel.int8, True),
    (quarvel.int32, quarvel.int64, False),
    (quarvel.float64, "f8", True),
    (quarvel.float64, "float64", True),
    (quarvel.float64, ">f8", False),
    (quarvel.DType(">f8"), ">f8", True),
    (quarvel.longlong, "l", True),
    (quarvel.float64, "nonsense", False),
    (quarvel.float64, float, False),
    (quarvel.float64, quarvel.Float64Scalar, False),
    (quarvel.int32, 5, False),
    (quarvel.int32, None, False),
])
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal
    assert (right != left) is (not equal)


def test_ordering_is_always_false():
    a, b = quarvel.int32, quarvel.int64
    for x, y in [(a, b), (b, a), (a, a), (a, "i4"), (a, 5)]:
        assert (x < y) is False and (x <= y) is False
        assert (x > y) is False and (x >= y) is False


def test_unhashable():
    with pytest.raises(TypeError):
        hash(quarvel.float64)
    with pytest.raises(TypeError):
        {quarvel.float64}


def test_read_only_attributes():
    for attr in ["name", "char", "kind", "str", "byteorder", "isnative", "itemsize", "alignment", "type"]:
        with pytest.raises(AttributeError):
            setattr(quarvel.float64, attr, 1)
    with pytest.raises(AttributeError):
        quarvel.float64.extra = 1


def test_each_call_makes_a_new_object():
    assert quarvel.DType("f8") is not quarvel.DType("f8")
    assert quarvel.float64.newbyteorder("=") is not quarvel.float64


def test_text_signatures():
    assert quarvel.DType.__text_signature__ == "(name)"
    assert quarvel.DType.newbyteorder.__text_signature__ == "($self, new_order='S')"


def test_type_follows_the_package_attribute(monkeypatch):
    monkeypatch.setattr(quarvel, "Float64Scalar", "replaced")
    assert quarvel.float64.type == "replaced"
    monkeypatch.delattr(quarvel, "Float64Scalar")
    with pytest.raises(AttributeError):
        quarvel.float64.type


def quoted(text):
    """The oracle for refused spellings: escapes as the interpreter sees printability."""
    named = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    return '"' + "".join(
        named.get(ch) or (ch if ch.isprintable() else "\\u{%x}" % ord(ch)) for ch in text) + '"'


@given(st.one_of(st.text(), st.builds("".join, st.lists(st.sampled_from(["<", ">", "|", "="] + list(SPELLINGS)),
                                                                  max_size=3))))
def test_any_text_parses_or_is_quoted(text):
    try:
        d = quarvel.DType(text)
    except ValueError as error:
        assert text not in SPELLINGS
        assert str(error) == "unsupported preview dtype " + quoted(text)
    else:
        body = text[1:] if text[:1] in ("<", "=", ">", "|") else text
        assert d.name == SPELLINGS[body]


@pytest.mark.parametrize("text", ["\u00a0", "\u0301", "\u2000", "\ue000", "\U000e0001", "\u0378", "\u00ad"])
def test_quoting_follows_printability(text):
    with pytest.raises(ValueError) as info:
        quarvel.DType(text)
    assert str(info.value) == "unsupported preview dtype " + quoted(text)
