"""What the universal-function layer adds to the module: the ufunc class and
its objects, the errstate class, _ERROR_CONTEXT, AxisError and the
error-policy functions."""
import contextvars
import inspect
import pydoc
import re

import pytest

import quarvel

LAYER_NAMES = ["ufunc", "errstate", "_ERROR_CONTEXT", "AxisError", "geterr", "seterr", "geterrcall", "seterrcall"]
UFUNC_NAMES = """
abs absolute acos acosh add arccos arccosh arcsin arcsinh arctan arctan2 arctanh asin asinh atan atan2 atanh
bitwise_and bitwise_count bitwise_invert bitwise_left_shift bitwise_not bitwise_or bitwise_right_shift
bitwise_xor cbrt ceil conj conjugate copysign cos cosh deg2rad degrees divide divmod equal exp exp2 expm1 fabs
float_power floor floor_divide fmax fmin fmod frexp gcd greater greater_equal heaviside hypot invert isfinite
isinf isnan lcm ldexp left_shift less less_equal log log10 log1p log2 logaddexp logaddexp2 logical_and
logical_not logical_or logical_xor maximum minimum mod modf multiply negative nextafter not_equal positive pow
power rad2deg radians reciprocal remainder right_shift rint sign signbit sin sinh spacing sqrt square subtract
tan tanh true_divide trunc
""".split()
ALIASES = {
    "abs": "absolute", "acos": "arccos", "acosh": "arccosh", "asin": "arcsin", "asinh": "arcsinh",
    "atan": "arctan", "atan2": "arctan2", "atanh": "arctanh", "bitwise_invert": "invert",
    "bitwise_left_shift": "left_shift", "bitwise_not": "invert", "bitwise_right_shift": "right_shift",
    "conj": "conjugate", "mod": "remainder", "pow": "power", "true_divide": "divide",
}
CANONICAL = [name for name in UFUNC_NAMES if name not in ALIASES]
TWO_INPUTS = set("""
add arctan2 bitwise_and bitwise_or bitwise_xor copysign divide divmod equal float_power floor_divide fmax fmin
fmod gcd greater greater_equal heaviside hypot lcm ldexp left_shift less less_equal logaddexp logaddexp2
logical_and logical_or logical_xor maximum minimum multiply nextafter not_equal power remainder right_shift
subtract
""".split())
TWO_OUTPUTS = {"divmod", "frexp", "modf"}
# name -> (scalar class, value) of its identity; every other ufunc has None
IDENTITIES = {
    "add": ("Int64Scalar", 0), "gcd": ("Int64Scalar", 0), "hypot": ("Int64Scalar", 0),
    "bitwise_or": ("Int64Scalar", 0), "bitwise_xor": ("Int64Scalar", 0), "multiply": ("Int64Scalar", 1),
    "bitwise_and": ("Int64Scalar", -1), "logaddexp": ("Float64Scalar", float("-inf")),
    "logaddexp2": ("Float64Scalar", float("-inf")), "logical_or": ("BoolScalar", False),
    "logical_xor": ("BoolScalar", False), "logical_and": ("BoolScalar", True),
}
TYPE_CHARS = "?bBhHiIlLqQefdgFDG"


def test_all_ends_with_the_layer_names():
    names = quarvel.quarvel.__all__
    start = names.index("promote_types") + 1
    assert names[start:] == LAYER_NAMES + UFUNC_NAMES
    assert quarvel.__all__ == names
    for name in LAYER_NAMES + UFUNC_NAMES:
        assert getattr(quarvel, name) is getattr(quarvel.quarvel, name)


# --- the ufunc objects ----------------------------------------------------------------

def test_names_bind_85_objects_aliases_share_theirs():
    objects = {id(getattr(quarvel, name)) for name in UFUNC_NAMES}
    assert len(UFUNC_NAMES) == 101 and len(objects) == 85
    for alias, canonical in ALIASES.items():
        assert getattr(quarvel, alias) is getattr(quarvel, canonical)
    assert quarvel.bitwise_not is quarvel.bitwise_invert is quarvel.invert


@pytest.mark.parametrize("name", UFUNC_NAMES)
def test_ufunc_attributes(name):
    ufunc = getattr(quarvel, name)
    canonical = ALIASES.get(name, name)
    nin = 2 if canonical in TWO_INPUTS else 1
    nout = 2 if canonical in TWO_OUTPUTS else 1
    assert type(ufunc) is quarvel.ufunc
    assert ufunc.__name__ == canonical
    assert repr(ufunc) == f"<ufunc '{canonical}'>"
    assert (ufunc.nin, ufunc.nout, ufunc.nargs) == (nin, nout, nin + nout)
    assert ufunc.signature is None
    types = ufunc.types
    assert types and ufunc.ntypes == len(types) and ufunc.types is not types
    pattern = f"[{re.escape(TYPE_CHARS)}]{{{nin}}}->[{re.escape(TYPE_CHARS)}]{{{nout}}}"
    assert all(re.fullmatch(pattern, t) for t in types), types


@pytest.mark.parametrize("name", CANONICAL)
def test_identity(name):
    identity = getattr(quarvel, name).identity
    if name not in IDENTITIES:
        assert identity is None
        return
    cls, value = IDENTITIES[name]
    assert type(identity) is getattr(quarvel, cls)
    assert identity.item() == value and type(identity.item()) is type(value)


def test_attributes_are_read_only():
    for attribute in ("__name__", "nin", "nout", "nargs", "types", "ntypes", "signature", "identity"):
        with pytest.raises(AttributeError):
            setattr(quarvel.add, attribute, 1)
    with pytest.raises(AttributeError):
        quarvel.add.extra = 1


def test_ufunc_class():
    cls = quarvel.ufunc
    assert cls.__module__ == "quarvel" and cls.__name__ == "ufunc" and cls.__doc__ == ""
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls("add")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    methods = [name for name in vars(cls) if name in {"reduce", "accumulate", "reduceat", "outer", "at"}]
    assert methods == ["reduce", "accumulate", "reduceat", "outer", "at"]


@pytest.mark.parametrize("method,signature", [
    ("reduce", "(array, /, *args, **kwargs)"),
    ("accumulate", "(array, /, *args, **kwargs)"),
    ("reduceat", "(array, /, indices, *args, **kwargs)"),
    ("outer", "(a, b, /, **kwargs)"),
    ("at", "(a, indices, b=None, /)"),
])
def test_method_signatures(method, signature):
    bound = getattr(quarvel.add, method)
    assert str(inspect.signature(bound)) == signature
    assert bound.__doc__ is None  # the documentation proper is empty
    assert bound.__self__ is quarvel.add and bound.__name__ == method
    assert f"{method}(self, {signature[1:]}" in pydoc.render_doc(quarvel.add, renderer=pydoc.plaintext)


def test_error_context_variable():
    var = quarvel._ERROR_CONTEXT
    assert type(var) is contextvars.ContextVar
    assert var.name == "quarvel._ERROR_CONTEXT"
    with pytest.raises(LookupError):  # no default: unset until a policy is set
        contextvars.Context().run(var.get)


def test_axis_error_class():
    cls = quarvel.AxisError
    assert type(cls) is type
    assert cls.__bases__ == (ValueError, IndexError)
    assert cls.__module__ == "quarvel" and cls.__name__ == "AxisError"
    for base in (ValueError, IndexError):
        with pytest.raises(base):
            raise cls("axis 2 is out of bounds for array of dimension 1")


# object, its text signature as inspect shows it
@pytest.mark.parametrize("obj,signature", [
    (quarvel.errstate, "(*, all=None, divide=None, over=None, under=None, invalid=None, **kwargs)"),
    (quarvel.errstate.__enter__, "(self, /)"),
    (quarvel.errstate.__exit__, "(self, /, exc_type, exc_value, traceback)"),
    (quarvel.seterr, "(all=None, divide=None, over=None, under=None, invalid=None)"),
    (quarvel.geterr, "()"),
    (quarvel.seterrcall, "(func)"),
    (quarvel.geterrcall, "()"),
])
def test_text_signatures(obj, signature):
    assert str(inspect.signature(obj)) == signature
    assert obj.__doc__ in ("", None)
    assert pydoc.render_doc(obj, renderer=pydoc.plaintext)  # help() renders it


def test_errstate_class():
    cls = quarvel.errstate
    assert cls.__module__ == "quarvel" and cls.__qualname__ == "errstate"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    state = cls(all="ignore")
    with pytest.raises(AttributeError):
        state.overrides = None
