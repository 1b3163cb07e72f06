"""The floating-point error policy: seterr, geterr, seterrcall, geterrcall,
errstate and its decorator, the context variable that holds the policy, and
the fault reports every mode gives."""
import asyncio
import concurrent.futures
import contextvars
import gc
import io
import sys
import warnings
import weakref

import pytest

import quarvel
from element_path import EagerKey
from helpers import as_errors, raises, record

VAR = quarvel._ERROR_CONTEXT
DEFAULT = {"divide": "warn", "over": "warn", "under": "ignore", "invalid": "warn"}
GOOD = ("warn", "warn", "ignore", "warn", None)
EXPECTED_MODES = "; expected ignore, warn, raise, call, print, or log"
ERRCALL_REFUSED = "errcall must be callable, have a write method, or be None"


def policy(*modes):
    return dict(zip(DEFAULT, modes))


def errcall_target(*args):
    return args


class Writer:
    def __init__(self):
        self.lines = []

    def write(self, text):
        self.lines.append(text)

    class Nested:
        pass


StrMode = type("StrMode", (str,), {})


def test_unset_variable_reads_as_default_policy():
    def fresh():
        raises(LookupError, None, VAR.get)
        assert list(quarvel.geterr().items()) == list(DEFAULT.items()) and quarvel.geterrcall() is None
        assert quarvel.seterr() == DEFAULT  # stores a tuple even when nothing changes
        return VAR.get()
    assert contextvars.Context().run(fresh) == GOOD + ((),)


def test_policy_is_per_thread_and_per_task():
    async def in_task(mode):
        with quarvel.errstate(divide=mode):
            await asyncio.sleep(0)  # the other task enters its own block meanwhile
            return quarvel.geterr()["divide"]

    async def both():
        return await asyncio.gather(in_task("raise"), in_task("log"))
    quarvel.seterr(divide="ignore")
    with concurrent.futures.ThreadPoolExecutor() as pool:  # a new thread starts from the default
        assert pool.submit(quarvel.seterr, divide="print").result()["divide"] == "warn"
    assert asyncio.run(both()) == ["raise", "log"]
    assert contextvars.copy_context().run(quarvel.seterr, divide="call")["divide"] == "ignore" == quarvel.geterr()["divide"]


@pytest.mark.parametrize("args, kwargs, after", [
    ((), {"all": "raise", "under": "ignore"}, policy("raise", "raise", "ignore", "raise")),
    (("print",), {}, policy("print", "print", "print", "print")),
    ((None, "ignore", "raise", "warn", "print"), {}, policy("ignore", "raise", "warn", "print")),
    (("call",), {"over": StrMode("ignore")}, policy("call", "ignore", "call", "call"))])
def test_seterr_changes_given_categories_and_returns_previous(args, kwargs, after):
    quarvel.seterrcall(errcall_target)
    assert quarvel.seterr(*args, **kwargs) == DEFAULT
    assert list(quarvel.geterr().items()) == list(after.items()) and quarvel.geterrcall() is errcall_target  # kept
    assert VAR.get()[:4] == tuple(after.values()) and all(type(mode) is str for mode in VAR.get()[:4])


@pytest.mark.parametrize("call", [quarvel.seterr, quarvel.errstate])
def test_mode_argument_refusals(call):
    before = VAR.get()
    raises(ValueError, 'invalid error mode "warn\\0\\u{7f}"' + EXPECTED_MODES, call, over="warn\0\x7f")
    raises(ValueError, 'invalid error mode "first"' + EXPECTED_MODES, call, divide="second", all="first")
    raises(ValueError, 'invalid error mode ""' + EXPECTED_MODES, call, divide="")
    raises(ValueError, 'invalid error mode ""' + EXPECTED_MODES, call, all="")
    for name in ["divide", "over", "under", "invalid", "all"]:  # category names are no modes
        raises(ValueError, f'invalid error mode "{name}"' + EXPECTED_MODES, call, over=name)
    raises(UnicodeEncodeError, None, call, divide="\ud800")
    for name, value, type_name in [("divide", 1, "int"), ("under", Writer.Nested(), "Writer.Nested")]:
        raises(TypeError, f"argument '{name}': '{type_name}' object cannot be cast as 'str'", call,
               **{name: value, "divide" if name != "divide" else "over": "bad name"})
    assert VAR.get() is before


class RaisingLookup:
    write = property(lambda self: 1 // 0)  # the lookup itself fails


@pytest.mark.parametrize("call", [quarvel.seterrcall, lambda f: quarvel.errstate(call=f)])
def test_errcall_check(call):
    VAR.set(before := (*GOOD[:4], errcall_target, ()))
    raises(TypeError, ERRCALL_REFUSED, call, "write")
    raises(ZeroDivisionError, None, call, RaisingLookup())
    assert VAR.get() is before
    for func in [errcall_target, print, Writer(), Writer, None]:
        assert quarvel.seterrcall(func) is errcall_target
        assert quarvel.geterrcall() is func and quarvel.seterrcall(func=errcall_target) is func


ERRSTATE_REFUSALS = [
    (lambda: quarvel.errstate(spam=1, call=42), TypeError, "errstate() got an unexpected keyword argument 'spam'"),
    (lambda: quarvel.errstate(call=42, spam=1), TypeError, ERRCALL_REFUSED),
    (lambda: quarvel.errstate(spam=1, divide="bad"), TypeError, "errstate() got an unexpected keyword argument 'spam'"),
    (lambda: quarvel.errstate("ignore"), TypeError, None), (lambda: quarvel.errstate()(), TypeError, None),
    (lambda: quarvel.errstate()(42), TypeError, "errstate decorator requires a callable")]


@pytest.mark.parametrize("call, error, text", ERRSTATE_REFUSALS)
def test_errstate_refusals(call, error, text):
    before = VAR.get()
    raises(error, text, call)
    assert VAR.get() is before


def test_errstate_blocks_nest_and_restore():
    VAR.set(("print", "warn", "ignore", "warn", errcall_target, ()))
    inner = quarvel.errstate(divide="raise", call=None)
    with quarvel.errstate(all="ignore", call=print) as bound:
        assert bound is None and quarvel.geterr() == policy("ignore", "ignore", "ignore", "ignore")
        with inner:
            assert quarvel.geterr() == policy("raise", "ignore", "ignore", "ignore") and quarvel.geterrcall() is None
            with inner:  # one object, entered again inside itself
                assert len(VAR.get()[5]) == 3
            quarvel.seterr(all="warn")  # replaced by the saved state on exit
        assert quarvel.geterr() == policy("ignore", "ignore", "ignore", "ignore") and quarvel.geterrcall() is print
    assert quarvel.geterr() == policy("print", "warn", "ignore", "warn") and quarvel.geterrcall() is errcall_target
    with pytest.raises(KeyError), quarvel.errstate(over="raise"):
        raise KeyError("inside")
    assert VAR.get() == ("print", "warn", "ignore", "warn", errcall_target, ())
    state = quarvel.errstate(all="raise")  # exit with an empty stack changes nothing
    before = VAR.get()
    assert state.__exit__(exc_type=None, exc_value=None, traceback=None) is False
    assert VAR.get() is before


def decorated_target(x, *, y=0):
    """Decorated target."""
    if x is None:
        raise LookupError("target failed")
    return quarvel.geterr()["over"], quarvel.geterrcall(), x + y


class Host:
    @quarvel.errstate(over="raise")
    def method(self, value):
        """Method doc."""
        return self, value, quarvel.geterr()["over"]

    callable_attribute = quarvel.errstate()(type("Callable", (), {"__call__": lambda self: None})())


def test_decorator():
    decorated = quarvel.errstate(over="raise", call=print)(decorated_target)
    assert decorated(1, y=2) == ("raise", print, 3)
    raises(LookupError, "target failed", decorated, None)
    assert VAR.get() == GOOD + ((),)
    assert decorated.__wrapped__ is decorated_target and decorated.__doc__ == "Decorated target."
    decorated_target.note = "kept"
    assert decorated.note == "kept"  # other attributes come from the wrapped callable
    raises(TypeError, None, type(decorated), print)  # made only by errstate
    host = Host()
    assert host.method(5) == (host, 5, "raise") and Host.method(host, 6) == (host, 6, "raise")
    assert (host.method.__name__, host.method.__doc__, host.method.__wrapped__.__self__) == ("method", "Method doc.", host)
    raises(AttributeError, None, getattr, host, "callable_attribute")  # binding needs the wrapped __get__


def test_decorator_failures():
    def breaks_policy(error):
        VAR.set(42)
        raise error
    # The call's error wins (in a copied context: the broken policy stays behind there).
    raises(KeyError, None, contextvars.copy_context().run, quarvel.errstate(all="ignore")(breaks_policy), KeyError())
    # After a call that returns, the failed restore is raised.
    raises(TypeError, "'int' object cannot be cast as 'tuple'", quarvel.errstate(all="ignore")(VAR.set), 42)

    def target():
        pass
    target.decorated = quarvel.errstate(call=target)(target)  # a cycle, collected
    ref = weakref.ref(target)
    del target
    gc.collect()
    assert ref() is None


# --- a tampered variable ------------------------------------------------------

EXIT = lambda: quarvel.errstate().__exit__(None, None, None)  # noqa: E731
MODE_READERS = [quarvel.geterr, quarvel.seterr, lambda: quarvel.seterrcall(print), lambda: quarvel.errstate().__enter__(),
                lambda: quarvel.errstate()(print)("decorated"), lambda: quarvel.divide(1.0, 0.0)]


@pytest.mark.parametrize("value, calls, error, text", [
    (42, MODE_READERS, TypeError, "'int' object cannot be cast as 'tuple'"),
    ([*GOOD, ()], MODE_READERS, TypeError, "'list' object cannot be cast as 'tuple'"),
    (("WARN", *GOOD[1:], ()), MODE_READERS, ValueError, 'invalid error mode "WARN"' + EXPECTED_MODES),
    (("warn", 1, *GOOD[2:], ()), MODE_READERS, TypeError, "'int' object cannot be cast as 'str'"),
    (GOOD, [quarvel.seterr, EXIT], IndexError, "tuple index out of range"),
    ((*GOOD, ["saved"]), [EXIT], TypeError, "'list' object cannot be cast as 'tuple'"),
    ((*GOOD, (("warn", "nope", *GOOD[2:]),)), [EXIT], ValueError, 'invalid error mode "nope"' + EXPECTED_MODES)])
def test_tampered_policy_is_refused_unchanged(value, calls, error, text):
    VAR.set(value)
    for call in calls:
        raises(error, text, call)
        assert VAR.get() is value
    assert quarvel.add(1.0, 1.0) == quarvel.add(quarvel.array([1.0]), 1.0)[0] == 2.0  # no fault: the policy is not read


def test_a_none_module_entry_fails_as_its_import_does(monkeypatch):
    monkeypatch.setitem(sys.modules, "quarvel.quarvel", None)
    for call in MODE_READERS:
        raises(ModuleNotFoundError, "import of quarvel.quarvel halted; None in sys.modules", call)
    assert quarvel.add(1.0, 1.0) == 2.0  # no fault: the policy is not looked up


# --- fault reports ------------------------------------------------------------

# divide by zero, overflow, underflow and invalid value, one element each
ALL_FOUR = ([1.0, 1e300, 1e-300, 0.0], [0.0, 1e-300, 1e300, 0.0])
TEXTS = ["divide by zero", "overflow", "underflow", "invalid value"]
NO_CALLBACK = (RuntimeError, "floating point error mode requires a callback")


def failing(kind, mask):
    raise KeyError(kind)


@pytest.mark.parametrize("modes, warned, raised, calls", [
    ({}, [0, 1, 3], None, []), ({"all": "warn"}, [0, 1, 2, 3], None, []), ({"all": "ignore"}, [], None, []),
    ({"invalid": "raise", "over": "ignore"}, [0], (FloatingPointError, "invalid value encountered in divide"), []),
    ({"over": "raise", "under": "raise", "divide": "ignore"}, [], (FloatingPointError, "overflow encountered in divide"),
     []),
    ({"all": "call"}, [], None, [(text, 15) for text in TEXTS]),
    ({"divide": "ignore", "under": "call"}, [1, 3], None, [("underflow", 15)]),
    ({"all": "log"}, [], None, [f"Warning: {text} encountered in divide\n" for text in TEXTS]),
    ({"over": "call", "call": None}, [0], NO_CALLBACK, []), ({"divide": "log", "call": None}, [], NO_CALLBACK, []),
    ({"all": "call", "call": Writer()}, [], (TypeError, None), []),  # accepted for its write method
    ({"all": "log", "call": errcall_target}, [], (AttributeError, None), []),
    ({"divide": "call", "call": failing}, [], (KeyError, None), [])])
def test_categories_in_order_after_the_writes_until_the_first_exception(modes, warned, raised, calls):
    got = []
    callback = (lambda *args: got.append(args)) if "call" in modes.values() else Writer()
    if "log" in modes.values():
        callback.lines = got
    out = quarvel.zeros(4)
    with quarvel.errstate(**{"call": callback, **modes}):
        _, caught = record(lambda: raises(*raised, quarvel.divide, *ALL_FOUR, out=out) if raised
                           else quarvel.divide(*ALL_FOUR, out=out))
    assert caught == [(RuntimeWarning, TEXTS[i] + " encountered in divide") for i in warned] and got == calls
    assert str(out[0].item()) == "inf"


def test_print_mode_writes_to_stderr_and_warnings_raised_as_errors(monkeypatch):
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    with quarvel.errstate(all="print"):
        quarvel.multiply([1e300, 0.0], [1e300, 0.0])
        quarvel.divide([0.0, 1.0], 0.0)
    assert sys.stderr.getvalue() == ("Warning: overflow encountered in multiply\nWarning: divide by zero encountered "
                                     "in divide\nWarning: invalid value encountered in divide\n")
    monkeypatch.delattr(sys, "stderr")
    with quarvel.errstate(all="print"):
        raises(AttributeError, None, quarvel.divide, 1.0, 0.0)
    seen = []  # a warning raised as an error stops the walk
    with quarvel.errstate(invalid="call", call=lambda *args: seen.append(args)):
        raises(RuntimeWarning, "divide by zero encountered in divide", as_errors, lambda: quarvel.divide([1.0, 0.0], 0.0))
        assert seen == []
    with quarvel.errstate(all="call", call=lambda *args: seen.append(args)):  # each mask holds only its faults
        for operation, x, y in [("divide", 1.0, 0.0), ("multiply", 1e300, 1e300), ("multiply", 1e-300, 1e-300),
                                ("divide", 0.0, 0.0)]:
            getattr(quarvel, operation)(x, y)
    assert seen == [("divide by zero", 1), ("overflow", 2), ("underflow", 4), ("invalid value", 8)]


def long_double(significand, exponent):
    """significand * 2**exponent, exactly, in a long double array of one element."""
    with quarvel.errstate(all="ignore"):
        return quarvel.ldexp(quarvel.array([significand], dtype="float128"), exponent)


def reported(operation, *operands):
    seen = []
    with quarvel.errstate(all="call", call=lambda text, mask: seen.append(text)):
        operation(*operands)
    return seen


# Long double results below the normal range (2**-16382, steps of 2**-16445): each
# operand is significand * 2**exponent; under when the true result needs finer steps.
UNDER = ["underflow"]
LONG_DOUBLE_FAULTS = [
    ("divide", [(1, -16400), (3, 0)], UNDER), ("divide", [(1, -16400), (2, 0)], []),
    ("divide", [(1, -1000), (1, 15400)], []),  # the divisor has no double reading
    ("multiply", [(3, -8224), (3, -8224)], UNDER),  # 9/8 * 2**-16445
    ("multiply", [(2**63 + 1, -8263), (2**63 + 1, -8263)], UNDER), ("multiply", [(3, -8200), (5, -8200)], []),
    ("square", [(3, -8224)], UNDER), ("square", [(2**20 + 1, -8220)], []),
    ("reciprocal", [(3, 16382)], UNDER), ("reciprocal", [(1, 16383)], []),
    ("add", [(1, -16445), (1, -16400)], []), ("subtract", [(1, -16382), (1, -16445)], []),
    ("ldexp", [(3, 0), -16446], UNDER), ("ldexp", [(3, 0), -16440], []),
    ("exp2", [(-16400, 0)], []), ("maximum", [(1, -16400), (-1, 0)], []), ("negative", [(1, -16445)], []),
    ("log1p", [(1 - 2**63, -63)], []),  # no double reading tells it from -1
    ("log1p", [(-1, 0)], ["divide by zero"]),
    ("power", [(0, 0), (-1, -16400)], ["divide by zero"]),  # a negative exponent that reads as -0.0 in double
    ("absolute", [(3, -16400), (4, -16400)], UNDER),  # a complex magnitude, as in complex128
    ("arctanh", [(1, 0), (1, -16400)], [])]  # (1, tiny) as a complex value: not the unit


@pytest.mark.parametrize("name, operands, expected", LONG_DOUBLE_FAULTS)
def test_long_double_faults_are_decided_in_its_own_precision(name, operands, expected):
    if name in ("absolute", "arctanh"):
        (re, re_exponent), (im, im_exponent) = operands
        values = [long_double(re, re_exponent) + long_double(im, im_exponent) * 1j]
        assert values[0].dtype.name == "complex256"
    else:
        values = [long_double(*x) if isinstance(x, tuple) else x for x in operands]
    assert reported(getattr(quarvel, name), *values) == expected


def test_errstate_keyword_names_bind_by_their_text():
    """A str subclass keyword name whose __eq__ raises binds like its text."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with quarvel.errstate(**{EagerKey("all"): "ignore"}):
            assert set(quarvel.geterr().values()) == {"ignore"}
