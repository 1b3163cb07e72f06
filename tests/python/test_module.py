"""The module's shape: its names in order, its classes, the one argument
parser's errors, one module per process."""
import contextvars
import subprocess
import sys
import textwrap

import pytest

import quarvel
from helpers import MODULE_DTYPES, SCALAR_CLASSES, raises

UFUNC_NAMES = """abs absolute acos acosh add arccos arccosh arcsin arcsinh arctan arctan2 arctanh asin asinh atan atan2
atanh bitwise_and bitwise_count bitwise_invert bitwise_left_shift bitwise_not bitwise_or bitwise_right_shift bitwise_xor
cbrt ceil conj conjugate copysign cos cosh deg2rad degrees divide divmod equal exp exp2 expm1 fabs float_power floor
floor_divide fmax fmin fmod frexp gcd greater greater_equal heaviside hypot invert isfinite isinf isnan lcm ldexp
left_shift less less_equal log log10 log1p log2 logaddexp logaddexp2 logical_and logical_not logical_or logical_xor
maximum minimum mod modf multiply negative nextafter not_equal positive pow power rad2deg radians reciprocal remainder
right_shift rint sign signbit sin sinh spacing sqrt square subtract tan tanh true_divide trunc""".split()
NAMES = (["__version__", "ComplexWarning", "DType", "Array", "ArrayFlags"] + SCALAR_CLASSES + list(MODULE_DTYPES)
         + ["array", "zeros", "empty", "promote_types", "ufunc", "errstate", "_ERROR_CONTEXT", "AxisError", "geterr",
            "seterr", "geterrcall", "seterrcall"] + UFUNC_NAMES)


def test_names_in_order_and_reexported():
    assert quarvel.quarvel.__all__ == NAMES and quarvel.__all__ == NAMES
    assert all(getattr(quarvel, name) is getattr(quarvel.quarvel, name) for name in NAMES)
    assert (quarvel.__version__, quarvel.quarvel.__doc__, quarvel.quarvel.__name__) == ("0.3.0", "", "quarvel.quarvel")
    var = quarvel._ERROR_CONTEXT
    assert type(var) is contextvars.ContextVar and var.name == "quarvel._ERROR_CONTEXT"


def test_classes():
    for name in ["DType", "Array", "ArrayFlags", "ufunc", "errstate"] + SCALAR_CLASSES:
        cls = getattr(quarvel, name)
        assert (cls.__module__, cls.__qualname__) == ("quarvel", name)
        raises(TypeError, None, type, "Sub", (cls,), {})
    for cls, args in [(quarvel.Array, ()), (quarvel.ArrayFlags, ()), (quarvel.ufunc, ("add",))] + [
            (getattr(quarvel, name), (1,)) for name in SCALAR_CLASSES]:
        raises(TypeError, None, cls, *args)
    for cls, bases in [(quarvel.ComplexWarning, (RuntimeWarning,)), (quarvel.AxisError, (ValueError, IndexError))]:
        assert type(cls) is type and cls.__bases__ == bases and cls.__module__ == "quarvel"


def test_one_module_per_process():
    result = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import importlib, sys
        import quarvel.quarvel as first
        del sys.modules["quarvel.quarvel"]
        assert importlib.import_module("quarvel.quarvel") is first
        try:
            import _interpreters as interpreters  # 3.13: run_string returns the failure
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters  # before: it raises it
            except ImportError:
                sys.exit(print("no sub-interpreters"))
        try:
            failure = interpreters.run_string(interpreters.create(), "import quarvel")
            print("returned", failure is not None and failure.type.__name__ == "ImportError")
        except Exception as error:
            print("raised", type(error).__name__ == "RunFailedError" and "ImportError" in str(error))
    """)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    # The native module alone, loaded as the top-level module "quarvel", keeps its policy.
    alone = subprocess.run([sys.executable, "-c", "import quarvel; quarvel.seterr(divide='raise'); "
                            "print(quarvel.__file__.endswith('.so'), quarvel.geterr()['divide'])"],
                           cwd=quarvel.quarvel.__file__.rpartition("/")[0], capture_output=True, text=True)
    assert alone.stdout == "True raise\n", alone.stderr
    if result.stdout == "no sub-interpreters\n":
        pytest.skip("this interpreter has no sub-interpreter module")
    assert result.stdout in ("raised True\n", "returned True\n")


# A start-up step refused by the callable it uses: the class maker for ComplexWarning, the first class made,
# and the context variable's class for _ERROR_CONTEXT.
@pytest.mark.parametrize("module, name, refused", [
    ("builtins", "type", 'args[:1] == ("ComplexWarning",)'), ("contextvars", "ContextVar", "True")])
def test_a_failed_start_up_step_is_the_import_error(module, name, refused):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import {module}
        original = {module}.{name}
        def refusing(*args):
            if {refused}:
                raise KeyError("refused")
            return original(*args)
        {module}.{name} = refusing
        try:
            import quarvel
        except KeyError as error:
            print("KeyError", error)
    """)], capture_output=True, text=True)
    assert result.stdout == "KeyError 'refused'\n", result.stderr


# The one argument parser words its errors as the interpreter does.
@pytest.mark.parametrize("call, message", [
    (lambda: quarvel.array(), "array() missing required argument 'data' (pos 1)"),
    (lambda: quarvel.empty(dtype="f8"), "empty() missing required argument 'shape' (pos 1)"),
    (lambda: quarvel.array([1], data=[1]), "argument for array() given by name ('data') and position (1)"),
    (lambda: quarvel.array([1], None, True, "K", 5), "array() takes at most 4 arguments (5 given)"),
    (lambda: quarvel.DType("i4", name="i8"), "DType() takes at most 1 argument (2 given)"),
    (lambda: quarvel.zeros(shape=3, dtype=None, order="C", x=1), "zeros() takes at most 3 keyword arguments (4 given)")])
def test_argument_errors_follow_the_interpreter(call, message):
    raises(TypeError, message, call)
