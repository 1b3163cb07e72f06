"""Shared by the Python tests: type lists, reading arrays back as Python
values, and exact checks of raised errors and issued warnings."""
import math
import warnings

import pytest

import quarvel as q

# The sixteen dtypes in promotion-table order, with their type characters.
NAMES = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
         "float16", "float32", "float64", "complex64", "complex128", "float128", "complex256"]
CHARS = dict(zip(NAMES, "?bBhHiIlLefdFDgG"))
ONE_BYTE = {"bool", "int8", "uint8"}
SCALAR_CLASSES = [
    "BoolScalar", "Int8Scalar", "UInt8Scalar", "Int16Scalar", "UInt16Scalar", "Int32Scalar", "UInt32Scalar",
    "Int64Scalar", "UInt64Scalar", "LongLongScalar", "ULongLongScalar", "Float16Scalar", "Float32Scalar",
    "Float64Scalar", "Complex64Scalar", "Complex128Scalar", "LongDoubleScalar", "ComplexLongDoubleScalar"]
# Each module attribute naming a dtype, with the type character it carries.
MODULE_DTYPES = dict(entry.split(":") for entry in """
bool:? bool_:? int8:b uint8:B int16:h uint16:H int32:i uint32:I int64:l uint64:L float16:e float32:f float64:d
complex64:F complex128:D byte:b ubyte:B short:h ushort:H int_:l uint:L intp:l uintp:L intc:i uintc:I long:l
ulong:L longlong:q ulonglong:Q float:d double:d single:f half:e csingle:F cdouble:D complex_:D longdouble:g
clongdouble:G float128:g complex256:G""".split())
CHAR_NAMES = {**{c: n for n, c in CHARS.items()}, "q": "int64", "Q": "uint64"}
UFUNCS = sorted({id(u): u for u in vars(q).values() if isinstance(u, q.ufunc)}.values(), key=lambda u: u.__name__)
NOT_NUMERIC = "numeric arrays accept Python bool, int, float, and complex scalar values"
COMPLEX_DISCARD = "Casting complex values to real discards the imaginary part"
WHERE_WITHOUT_OUT = ("'where' used without 'out', expect uninitialized memory in output. If this is "
                     "intentional, use out=None.")
LIMITS = "array shape or byte strides exceed supported limits"


def to_python(result):
    """A subscript or ufunc result as Python values: arrays as nested lists, scalars by item()."""
    return tolist(result) if isinstance(result, q.Array) else result.item()


def tolist(a):
    return a[()].item() if a.ndim == 0 else [to_python(a[i]) for i in range(len(a))]


def flat(value):
    """Row-major elements of a nested list."""
    return [x for item in value for x in flat(item)] if isinstance(value, list) else [value]


def grid(*shape, dtype="int64"):
    """0, 1, 2, ... in row-major order."""
    return q.array(list(range(math.prod(shape))), dtype=dtype).reshape(shape)


def untouched(*shapes):
    """int8 zeros whose pages are never touched; a skip where there is no room for them."""
    try:
        return [q.zeros(shape, dtype="int8") for shape in shapes]
    except MemoryError:
        pytest.skip("no room for the inputs")


def shares_buffer(view, base):
    """Whether a write to the first element of `view` shows in `base` (both non-empty)."""
    before, first = tolist(base), (0,) * view.ndim
    old = view[first].item()
    view[first] = 0 if old else 1
    seen = tolist(base) != before
    view[first] = old
    return seen


def raises(error, text, call, *args, **kwargs):
    """call(*args, **kwargs) raises exactly `error` with exactly `text` (None: any text)."""
    with pytest.raises(error) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is error
    if text is not None:
        assert str(caught.value) == text
    return caught.value


def record(call):
    """call()'s result and its warnings as (category, text) pairs."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.simplefilter("ignore", ResourceWarning)  # finalizers of unrelated leftovers
        result = call()
    return result, [(w.category, str(w.message)) for w in caught]


def as_errors(call):
    """call() with every warning raised as an error."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return call()
