"""The floating-point error policy: seterr, geterr, seterrcall, geterrcall,
errstate and its decorator, and the context variable that holds the policy."""
import asyncio
import contextvars
import os
import subprocess
import sys
import threading

import pytest

import quarvel

VAR = quarvel._ERROR_CONTEXT
DEFAULT = {"divide": "warn", "over": "warn", "under": "ignore", "invalid": "warn"}
MODES = ["ignore", "warn", "raise", "call", "print", "log"]
EXPECTED_MODES = "; expected ignore, warn, raise, call, print, or log"
ERRCALL_REFUSED = "errcall must be callable, have a write method, or be None"


@pytest.fixture(autouse=True)
def default_policy():
    """Each test starts from the default policy with an empty stack and leaves
    the variable as it found it."""
    token = VAR.set(("warn", "warn", "ignore", "warn", None, ()))
    yield
    VAR.reset(token)


def policy(divide, over, under, invalid):
    return {"divide": divide, "over": over, "under": under, "invalid": invalid}


def errcall_target(*args):
    return args


class Writer:
    def write(self, text):
        pass

    class Nested:
        pass


class Callable:
    def __call__(self):
        pass


# --- defaults and the variable -------------------------------------------------

def test_unset_variable_reads_as_default_policy():
    def fresh():
        with pytest.raises(LookupError):
            VAR.get()
        assert list(quarvel.geterr().items()) == list(DEFAULT.items())
        assert quarvel.geterrcall() is None
        assert quarvel.seterr() == DEFAULT  # stores a tuple even when nothing changes
        return VAR.get()
    assert contextvars.Context().run(fresh) == ("warn", "warn", "ignore", "warn", None, ())


def test_variable_is_shared_by_package_and_native_module():
    assert quarvel._ERROR_CONTEXT is quarvel.quarvel._ERROR_CONTEXT
    quarvel.quarvel._ERROR_CONTEXT.set(("raise", "warn", "ignore", "warn", None, ()))
    assert quarvel.geterr()["divide"] == "raise"


def test_native_module_alone_keeps_its_policy():
    # Loaded as the top-level module "quarvel", outside the package.
    folder = os.path.dirname(quarvel.quarvel.__file__)
    code = ("import quarvel; assert quarvel.__name__ == 'quarvel' and not hasattr(quarvel, '__path__'); "
            "quarvel.seterr(divide='raise'); print(quarvel.geterr()['divide'])")
    env = dict(os.environ, PYTHONPATH=folder)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout == "raise\n"


# --- seterr and geterr -----------------------------------------------------------

@pytest.mark.parametrize("args,kwargs,after", [
    ((), {"all": "raise", "under": "ignore"}, policy("raise", "raise", "ignore", "raise")),
    ((), {"under": "ignore", "all": "raise"}, policy("raise", "raise", "ignore", "raise")),
    ((), {"all": "print"}, policy("print", "print", "print", "print")),
    ((), {"over": "log", "invalid": "call"}, policy("warn", "log", "ignore", "call")),
    ((), {"all": None, "divide": None}, DEFAULT),
    (("raise",), {}, policy("raise", "raise", "raise", "raise")),
    ((None, "ignore", "raise", "warn", "print"), {}, policy("ignore", "raise", "warn", "print")),
    (("call",), {"over": "ignore"}, policy("call", "ignore", "call", "call")),
])
def test_seterr_changes_given_categories_and_returns_previous(args, kwargs, after):
    quarvel.seterrcall(errcall_target)
    assert quarvel.seterr(*args, **kwargs) == DEFAULT
    assert quarvel.geterr() == after
    assert quarvel.geterrcall() is errcall_target  # seterr keeps the errcall
    assert list(quarvel.seterr().items()) == list(after.items())


@pytest.mark.parametrize("mode", MODES)
def test_every_mode_name_is_accepted(mode):
    quarvel.seterr(all=mode)
    assert quarvel.geterr() == policy(mode, mode, mode, mode)
    assert VAR.get()[:4] == (mode,) * 4


class StrMode(str):
    pass


def test_str_subclass_mode_is_accepted():
    quarvel.seterr(divide=StrMode("raise"))
    assert quarvel.geterr()["divide"] == "raise"
    assert type(VAR.get()[0]) is str


# text given, its quoted form in the message
REFUSED = [
    ("Warn", '"Warn"'),
    ("WARN", '"WARN"'),
    ("", '""'),
    (" warn", '" warn"'),
    ("warn\0", '"warn\\0"'),
    ('say "hi"', '"say \\"hi\\""'),
    ("back\\slash", '"back\\\\slash"'),
    ("\n\r\t", '"\\n\\r\\t"'),
    ("\x01\x1f\x7f", '"\\u{1}\\u{1f}\\u{7f}"'),
    ("\u200b", '"\\u{200b}"'),
    ("\u00e9t\u00e9", '"\u00e9t\u00e9"'),
]


@pytest.mark.parametrize("text,quoted", REFUSED)
@pytest.mark.parametrize("call", [
    lambda t: quarvel.seterr(over=t),
    lambda t: quarvel.seterr(t),
    lambda t: quarvel.errstate(invalid=t),
])
def test_unknown_mode_names_are_refused_quoted(call, text, quoted):
    before = VAR.get()
    with pytest.raises(ValueError) as info:
        call(text)
    assert str(info.value) == "invalid error mode " + quoted + EXPECTED_MODES
    assert VAR.get() is before


def test_all_is_parsed_before_the_categories():
    with pytest.raises(ValueError, match='^invalid error mode "first"'):
        quarvel.seterr(divide="second", all="first")


def test_lone_surrogate_mode_fails_to_encode():
    with pytest.raises(UnicodeEncodeError):
        quarvel.seterr(divide="\ud800")


@pytest.mark.parametrize("call", [quarvel.seterr, quarvel.errstate])
@pytest.mark.parametrize("name,value,type_name", [
    ("divide", 1, "int"),
    ("over", b"raise", "bytes"),
    ("all", 1.5, "float"),
    ("invalid", StrMode, "type"),
    ("under", Writer.Nested(), "Writer.Nested"),  # the qualified name
])
def test_non_str_modes_are_refused(call, name, value, type_name):
    before = VAR.get()
    with pytest.raises(TypeError) as info:
        call(**{name: value, "divide" if name != "divide" else "over": "bad name"})
    assert str(info.value) == f"argument '{name}': '{type_name}' object cannot be cast as 'str'"
    assert VAR.get() is before


@pytest.mark.parametrize("call", [
    lambda: quarvel.seterr("warn", "warn", "warn", "warn", "warn", "warn"),
    lambda: quarvel.seterr(spam="warn"),
    lambda: quarvel.seterr("warn", all="warn"),
    lambda: quarvel.geterr(1),
    lambda: quarvel.seterrcall(),
    lambda: quarvel.seterrcall(None, None),
    lambda: quarvel.geterrcall(None),
    lambda: quarvel.errstate("ignore"),
    lambda: quarvel.errstate().__exit__(None, None),
    lambda: quarvel.errstate().__enter__(1),
    lambda: quarvel.errstate()(),
    lambda: quarvel.errstate()(print, print),
])
def test_argument_binding_errors(call):
    before = VAR.get()
    with pytest.raises(TypeError):
        call()
    assert VAR.get() is before


# --- seterrcall and geterrcall ---------------------------------------------------

@pytest.mark.parametrize("func", [errcall_target, print, lambda *a: None, Writer(), Callable(), Writer, None])
def test_seterrcall_accepts_callables_writers_and_none(func):
    assert quarvel.seterrcall(func) is None
    assert quarvel.geterrcall() is func
    assert quarvel.seterrcall(func=errcall_target) is func
    assert quarvel.geterrcall() is errcall_target
    assert quarvel.geterr() == DEFAULT


class RaisingLookup:
    def __getattr__(self, name):
        if name == "write":
            raise RuntimeError("lookup failed")
        raise AttributeError(name)


class MissingLookup:
    def __getattr__(self, name):
        raise AttributeError(name)


@pytest.mark.parametrize("call", [quarvel.seterrcall, lambda f: quarvel.errstate(call=f)])
@pytest.mark.parametrize("func,error,text", [
    (42, TypeError, ERRCALL_REFUSED),
    ("write", TypeError, ERRCALL_REFUSED),
    (object(), TypeError, ERRCALL_REFUSED),
    (MissingLookup(), TypeError, ERRCALL_REFUSED),
    (RaisingLookup(), RuntimeError, "lookup failed"),
])
def test_refused_errcalls(call, func, error, text):
    quarvel.seterrcall(errcall_target)
    before = VAR.get()
    with pytest.raises(error) as info:
        call(func)
    assert type(info.value) is error and str(info.value) == text
    assert VAR.get() is before


# --- errstate ---------------------------------------------------------------------

def test_errstate_blocks_nest_and_restore():
    quarvel.seterr(divide="print")
    inner = quarvel.errstate(divide="raise")
    with quarvel.errstate(all="ignore") as bound:
        assert bound is None
        assert quarvel.geterr() == policy("ignore", "ignore", "ignore", "ignore")
        with inner:
            assert quarvel.geterr() == policy("raise", "ignore", "ignore", "ignore")
            with inner:  # one object, entered again inside itself
                assert len(VAR.get()[5]) == 3
            assert quarvel.geterr() == policy("raise", "ignore", "ignore", "ignore")
        assert quarvel.geterr() == policy("ignore", "ignore", "ignore", "ignore")
    assert quarvel.geterr() == policy("print", "warn", "ignore", "warn")
    assert VAR.get()[5] == ()


def test_exception_in_block_propagates_and_restores():
    with pytest.raises(KeyError):
        with quarvel.errstate(over="raise", call=print):
            raise KeyError("inside")
    assert quarvel.geterr() == DEFAULT and quarvel.geterrcall() is None


def test_change_inside_block_is_replaced_on_exit():
    quarvel.seterrcall(errcall_target)
    with quarvel.errstate(all="ignore"):
        quarvel.seterr(all="raise")
        quarvel.seterrcall(print)
    assert quarvel.geterr() == DEFAULT and quarvel.geterrcall() is errcall_target


@pytest.mark.parametrize("kwargs,inside", [
    ({}, errcall_target),
    ({"call": None}, None),
    ({"call": print}, print),
    ({"call": Writer}, Writer),
])
def test_errstate_call_keyword(kwargs, inside):
    quarvel.seterrcall(errcall_target)
    with quarvel.errstate(**kwargs):
        assert quarvel.geterrcall() is inside
    assert quarvel.geterrcall() is errcall_target


def test_saved_state_keeps_the_objects_and_exit_writes_fresh_names():
    divide = StrMode("raise")
    VAR.set((divide, "warn", "ignore", "warn", None, ()))
    with quarvel.errstate(over="log"):
        assert VAR.get()[5][0][0] is divide
        assert VAR.get()[:2] == ("raise", "log")
    assert VAR.get() == ("raise", "warn", "ignore", "warn", None, ())
    assert type(VAR.get()[0]) is str


def test_exit_with_empty_stack_changes_nothing():
    before = VAR.get()
    state = quarvel.errstate(all="raise")
    assert state.__exit__(None, None, None) is False
    assert state.__exit__(exc_type=None, exc_value=None, traceback=None) is False
    assert VAR.get() is before


@pytest.mark.parametrize("call,error,text", [
    (lambda: quarvel.errstate(divide="ignore", spam=1), TypeError,
     "errstate() got an unexpected keyword argument 'spam'"),
    (lambda: quarvel.errstate(spam=1, divide="bad"), TypeError,
     "errstate() got an unexpected keyword argument 'spam'"),
    (lambda: quarvel.errstate(call=42, divide="bad"), TypeError, ERRCALL_REFUSED),
    (lambda: quarvel.errstate(spam=1, call=42), TypeError, "errstate() got an unexpected keyword argument 'spam'"),
    (lambda: quarvel.errstate(call=42, spam=1), TypeError, ERRCALL_REFUSED),
    (lambda: quarvel.errstate(divide=1, spam=1), TypeError, "argument 'divide': 'int' object cannot be cast as 'str'"),
    (lambda: quarvel.errstate(divide="bad"), ValueError, 'invalid error mode "bad"' + EXPECTED_MODES),
    (lambda: quarvel.errstate()(42), TypeError, "errstate decorator requires a callable"),
])
def test_errstate_refusals(call, error, text):
    before = VAR.get()
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == text
    assert VAR.get() is before


# --- the decorator -----------------------------------------------------------------

def decorated_target(x, *, y=0):
    """Decorated target."""
    if x is None:
        raise LookupError("target failed")
    return quarvel.geterr()["over"], quarvel.geterrcall(), x + y


def test_decorator_runs_function_under_policy_and_restores():
    decorated = quarvel.errstate(over="raise", call=print)(decorated_target)
    assert decorated(1, y=2) == ("raise", print, 3)
    assert quarvel.geterr() == DEFAULT and quarvel.geterrcall() is None
    with pytest.raises(LookupError, match="target failed"):
        decorated(None)
    assert quarvel.geterr() == DEFAULT and VAR.get()[5] == ()


def test_decorator_forwards_identity_attributes():
    decorated = quarvel.errstate(over="raise")(decorated_target)
    assert type(decorated).__name__ == "PyErrStateDecorator"
    assert type(decorated).__module__ == "quarvel"
    assert not hasattr(quarvel, "PyErrStateDecorator")
    assert decorated.__wrapped__ is decorated_target
    assert decorated.__name__ == "decorated_target"
    assert decorated.__qualname__ == "decorated_target"
    assert decorated.__doc__ == "Decorated target."
    decorated_target.note = "kept"
    assert decorated.note == "kept"  # other attributes come from the wrapped callable
    with pytest.raises(AttributeError):
        decorated.missing_attribute
    with pytest.raises(AttributeError):  # a callable without __name__
        quarvel.errstate()(Callable()).__name__
    with pytest.raises(TypeError):  # made only by errstate
        type(decorated)(print)


class Host:
    @quarvel.errstate(over="raise")
    def method(self, value):
        """Method doc."""
        return self, value, quarvel.geterr()["over"]

    callable_attribute = quarvel.errstate()(Callable())


def test_decorator_binds_as_method():
    host = Host()
    assert host.method(5) == (host, 5, "raise")
    assert Host.method(host, 6) == (host, 6, "raise")
    assert host.method.__name__ == "method" and host.method.__doc__ == "Method doc."
    assert host.method.__wrapped__.__self__ is host
    assert quarvel.geterr() == DEFAULT


def test_decorator_binding_needs_wrapped_get():
    with pytest.raises(AttributeError):
        Host().callable_attribute


def test_decorator_call_exception_wins_over_restore_failure():
    def breaks_policy():
        VAR.set(42)
        raise KeyError("from the call")
    with pytest.raises(KeyError):
        quarvel.errstate(all="ignore")(breaks_policy)()


def test_decorator_restore_failure_is_raised_after_success():
    def breaks_policy():
        VAR.set(42)
        return "dropped"
    with pytest.raises(TypeError, match="^'int' object cannot be cast as 'tuple'$"):
        quarvel.errstate(all="ignore")(breaks_policy)()


def test_decorator_enter_failure_skips_the_call():
    calls = []
    VAR.set(42)
    with pytest.raises(TypeError):
        quarvel.errstate()(lambda: calls.append(1))()
    assert calls == []


# --- isolation -----------------------------------------------------------------------

def test_threads_have_their_own_policy():
    quarvel.seterr(all="raise")
    seen = []

    def worker():
        seen.append(quarvel.geterr())
        quarvel.seterr(all="print")
        seen.append(quarvel.geterr())
    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert seen == [DEFAULT, policy("print", "print", "print", "print")]
    assert quarvel.geterr() == policy("raise", "raise", "raise", "raise")


def test_copied_context_starts_from_current_and_keeps_its_changes():
    quarvel.seterr(divide="raise")

    def inside():
        before = quarvel.geterr()["divide"]
        quarvel.seterr(divide="log")
        return before
    assert contextvars.copy_context().run(inside) == "raise"
    assert quarvel.geterr()["divide"] == "raise"


def test_asyncio_tasks_have_their_own_policy():
    async def task(mode, seen):
        with quarvel.errstate(all=mode):
            await asyncio.sleep(0)
            seen.append(quarvel.geterr()["over"])
            await asyncio.sleep(0)
            seen.append(quarvel.geterr()["over"])

    async def main():
        seen = []
        quarvel.seterr(over="print")
        await asyncio.gather(task("raise", seen), task("ignore", seen))
        return seen, quarvel.geterr()["over"]
    seen, after = asyncio.run(main())
    assert sorted(seen) == ["ignore", "ignore", "raise", "raise"]
    assert after == "print"


# --- a tampered variable ------------------------------------------------------------

GOOD = ("warn", "warn", "ignore", "warn", None)
EXIT = lambda: quarvel.errstate().__exit__(None, None, None)  # noqa: E731
# value set from Python, exception of every read of the modes, its text
BROKEN_MODES = [
    (42, TypeError, "'int' object cannot be cast as 'tuple'"),
    ([*GOOD, ()], TypeError, "'list' object cannot be cast as 'tuple'"),
    (("WARN", *GOOD[1:], ()), ValueError, 'invalid error mode "WARN"' + EXPECTED_MODES),
    (("warn", 1, *GOOD[2:], ()), TypeError, "'int' object cannot be cast as 'str'"),
    (("warn", "warn"), IndexError, "tuple index out of range"),
]
MODE_READERS = [
    quarvel.geterr,
    quarvel.seterr,
    lambda: quarvel.seterr(all="raise"),
    lambda: quarvel.seterrcall(print),
    lambda: quarvel.errstate().__enter__(),
    lambda: quarvel.errstate()(print)("decorated"),
]
# value whose modes read, the call, its exception and text
BROKEN_STACKS = [
    (GOOD, quarvel.seterr, IndexError, "tuple index out of range"),
    (GOOD, EXIT, IndexError, "tuple index out of range"),
    ((*GOOD, []), quarvel.seterr, TypeError, "'list' object cannot be cast as 'tuple'"),
    ((*GOOD, []), lambda: quarvel.seterrcall(None), TypeError, "'list' object cannot be cast as 'tuple'"),
    ((*GOOD, []), lambda: quarvel.errstate().__enter__(), TypeError, "'list' object cannot be cast as 'tuple'"),
    ((*GOOD, ["saved"]), EXIT, TypeError, "'list' object cannot be cast as 'tuple'"),
    ((*GOOD, ((), 5)), EXIT, TypeError, "'int' object cannot be cast as 'tuple'"),
    ((*GOOD, (("warn", "warn"),)), EXIT, IndexError, "tuple index out of range"),
    ((*GOOD, (GOOD[:4],)), EXIT, IndexError, "tuple index out of range"),
    ((*GOOD, (("warn", "nope", *GOOD[2:]),)), EXIT, ValueError, 'invalid error mode "nope"' + EXPECTED_MODES),
]


@pytest.mark.parametrize("value,call,error,text", BROKEN_STACKS + [
    (value, call, error, text) for value, error, text in BROKEN_MODES for call in MODE_READERS])
def test_tampered_policy_is_refused_unchanged(value, call, error, text):
    VAR.set(value)
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == text
    assert VAR.get() is value


def test_reads_need_only_the_items_they_use():
    VAR.set(GOOD[:4])  # no errcall, no stack
    assert quarvel.geterr() == DEFAULT
    with pytest.raises(IndexError):
        quarvel.geterrcall()


class ContextTuple(tuple):
    pass


def test_tuple_subclasses_are_read():
    saved = ContextTuple(("raise", "raise", "raise", "raise", print))
    VAR.set(ContextTuple(("ignore", "warn", "ignore", "warn", None, ContextTuple((saved,)))))
    assert quarvel.geterr()["divide"] == "ignore"
    quarvel.errstate().__exit__(None, None, None)
    assert VAR.get() == ("raise", "raise", "raise", "raise", print, ())
    assert type(VAR.get()) is tuple


def test_decorator_cycles_are_collected():
    import gc
    import weakref

    def target():
        pass
    target.decorated = quarvel.errstate(call=target)(target)  # target -> decorator -> target
    ref = weakref.ref(target)
    del target
    gc.collect()
    assert ref() is None
