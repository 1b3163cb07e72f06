import inspect
import pydoc
import subprocess
import sys
import textwrap

import pytest

import quarvel

SCALAR_CLASSES = [
    "BoolScalar", "Int8Scalar", "UInt8Scalar", "Int16Scalar", "UInt16Scalar", "Int32Scalar",
    "UInt32Scalar", "Int64Scalar", "UInt64Scalar", "LongLongScalar", "ULongLongScalar",
    "Float16Scalar", "Float32Scalar", "Float64Scalar", "Complex64Scalar", "Complex128Scalar",
    "LongDoubleScalar", "ComplexLongDoubleScalar",
]
DTYPE_NAMES = [
    "bool", "bool_", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
    "float16", "float32", "float64", "complex64", "complex128", "byte", "ubyte", "short", "ushort",
    "int_", "uint", "intp", "uintp", "intc", "uintc", "long", "ulong", "longlong", "ulonglong",
    "float", "double", "single", "half", "csingle", "cdouble", "complex_", "longdouble",
    "clongdouble", "float128", "complex256",
]


def test_version():
    assert quarvel.__version__ == "0.3.0"


def test_all_order():
    names = quarvel.quarvel.__all__
    expected = (["__version__", "ComplexWarning", "DType", "Array", "ArrayFlags"] + SCALAR_CLASSES
                + DTYPE_NAMES + ["array", "zeros", "empty", "promote_types"])
    assert names[:len(expected)] == expected
    assert len(set(names)) == len(names)
    for name in names:
        assert hasattr(quarvel.quarvel, name)


def test_package_reexports_module():
    assert quarvel.__all__ == quarvel.quarvel.__all__
    for name in quarvel.__all__:
        assert getattr(quarvel, name) is getattr(quarvel.quarvel, name)


def test_module_doc_is_empty():
    assert quarvel.quarvel.__doc__ == ""
    assert quarvel.quarvel.__name__ == "quarvel.quarvel"


def test_complex_warning_class():
    cw = quarvel.ComplexWarning
    assert issubclass(cw, RuntimeWarning)
    assert cw.__module__ == "quarvel"
    assert cw.__name__ == "ComplexWarning"


def test_dtype_aliases_are_distinct_objects():
    assert quarvel.int64 == quarvel.long
    assert quarvel.int64 is not quarvel.long
    assert quarvel.longdouble == quarvel.float128
    assert isinstance(quarvel.bool, quarvel.DType)
    assert isinstance(quarvel.float, quarvel.DType)


@pytest.mark.parametrize("name", ["DType"] + SCALAR_CLASSES)
def test_classes_live_in_quarvel(name):
    cls = getattr(quarvel, name)
    assert cls.__module__ == "quarvel"
    assert cls.__qualname__ == name


@pytest.mark.parametrize("name", ["DType", "Array", "ArrayFlags"] + SCALAR_CLASSES)
def test_classes_cannot_be_subclassed(name):
    cls = getattr(quarvel, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", SCALAR_CLASSES)
def test_scalar_classes_cannot_be_instantiated(name):
    cls = getattr(quarvel, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(1)


@pytest.mark.parametrize("name", ["DType"] + SCALAR_CLASSES)
def test_classes_are_immutable(name):
    cls = getattr(quarvel, name)
    with pytest.raises(TypeError):
        cls.extra = 1


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_second_import_returns_the_same_module():
    result = run_python("""
        import sys
        import quarvel.quarvel as first
        del sys.modules["quarvel.quarvel"]
        import importlib
        second = importlib.import_module("quarvel.quarvel")
        assert second is first
        assert second.__all__.count("DType") == 1
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_second_interpreter_is_refused():
    result = run_python("""
        import quarvel
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("skip")
            raise SystemExit
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import quarvel")
        except Exception as error:
            print(type(error).__name__, "ImportError" in str(error))
        else:
            print("imported")
    """)
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "skip":
        pytest.skip("no sub-interpreter support")
    assert result.stdout.strip() == "RunFailedError True"


# The one argument parser words its errors as the interpreter does.
@pytest.mark.parametrize("call,message", [
    (lambda: quarvel.array(), "array() missing required argument 'data' (pos 1)"),
    (lambda: quarvel.array([1], data=[1]), "argument for array() given by name ('data') and position (1)"),
    (lambda: quarvel.array([1], None, dtype=None), "argument for array() given by name ('dtype') and position (2)"),
    (lambda: quarvel.array([1], None, True, "K", 5), "array() takes at most 4 arguments (5 given)"),
    (lambda: quarvel.zeros(3, bogus=1), "'bogus' is an invalid keyword argument for zeros()"),
    (lambda: quarvel.zeros(shape=3, dtype=None, order="C", x=1),
     "zeros() takes at most 3 keyword arguments (4 given)"),
    (lambda: quarvel.empty(dtype="f8"), "empty() missing required argument 'shape' (pos 1)"),
    (lambda: quarvel.zeros(3).reshape(), "reshape() missing required argument 'shape' (pos 1)"),
])
def test_argument_errors_follow_the_interpreter(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_functions_carry_text_signatures():
    assert quarvel.promote_types.__text_signature__ == "(left, right)"
    for name in ("array", "zeros", "empty", "promote_types"):
        function = getattr(quarvel, name)
        assert function.__name__ == name
        assert function.__self__ is quarvel.quarvel


# --- help() ----------------------------------------------------------------------

# Names whose documentation is fixed as their text signature alone, or as none.
UNDOCUMENTED = {
    "DType", "Array", "ufunc", "errstate", "ComplexWarning", "AxisError",
    "ufunc.reduce", "ufunc.accumulate", "ufunc.reduceat", "ufunc.outer", "ufunc.at",
    "errstate.__enter__", "errstate.__exit__", "seterr", "geterr", "seterrcall", "geterrcall",
}


def public_callables():
    """(name, object, the object help() is asked about) for each public function
    and class and each method and property the module defines on a class."""
    seen = set()
    for name in quarvel.__all__:
        value = getattr(quarvel, name)
        if isinstance(value, type) and value not in seen:
            seen.add(value)
            yield name, value, value
            for member, attribute in vars(value).items():
                kind = type(attribute).__name__
                # help() lists no property with a double-underscore name
                if kind == "method_descriptor" or kind == "getset_descriptor" and not member.startswith("__"):
                    yield f"{name}.{member}", attribute, value
        elif type(value).__name__ == "builtin_function_or_method":
            yield name, value, value


PUBLIC_CALLABLES = [pytest.param(*entry, id=entry[0]) for entry in public_callables()]


@pytest.mark.parametrize("name, obj, owner", PUBLIC_CALLABLES)
def test_help_shows_a_summary_line(name, obj, owner):
    if name in UNDOCUMENTED:
        assert not obj.__doc__
        return
    summary = (obj.__doc__ or "").strip().split("\n")[0]
    assert summary
    assert summary in pydoc.render_doc(owner, renderer=pydoc.plaintext)
    if getattr(obj, "__text_signature__", None):
        inspect.signature(obj)  # the summary follows the signature without hiding it
