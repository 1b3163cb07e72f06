"""How the error policy is reached on every read and write: the module's
_ERROR_CONTEXT attribute whatever it holds now, its get() and set(), and the
dicts and tuples made from the state, each a new object."""
import contextvars

import pytest

import quarvel
from helpers import raises

NATIVE = quarvel.quarvel
DEFAULT = {"divide": "warn", "over": "warn", "under": "ignore", "invalid": "warn"}
RAISING = ("raise", "raise", "raise", "raise", None, ())


@pytest.fixture
def replaced_variable():
    """Puts an object in place of the module's _ERROR_CONTEXT for one test."""
    original = NATIVE._ERROR_CONTEXT

    def replace(value):
        NATIVE._ERROR_CONTEXT = value

    yield replace
    NATIVE._ERROR_CONTEXT = original


class Holder:
    """A stand-in variable whose get() answers from a list of actions."""

    def __init__(self, answer):
        self.answer, self.calls, self.value = answer, [], None

    def get(self, *args):
        self.calls.append(("get", args))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer if self.value is None else self.value

    def set(self, value):
        self.calls.append(("set", (value,)))
        self.value = value


def test_a_context_variable_with_a_default_of_its_own_answers_with_it(replaced_variable):
    other = contextvars.ContextVar("other", default=RAISING)
    replaced_variable(other)

    def fresh():
        assert quarvel.geterr() == dict.fromkeys(DEFAULT, "raise")
        with quarvel.errstate(over="ignore"):
            assert quarvel.geterr()["over"] == "ignore"
            assert other.get()[5] == (RAISING[:5],)
        assert quarvel.geterr()["over"] == "raise"
        with pytest.raises(FloatingPointError):
            quarvel.divide(1.0, 0.0)
    contextvars.Context().run(fresh)


@pytest.mark.parametrize("answer, expected", [
    (LookupError("none"), DEFAULT),
    (KeyError("none"), DEFAULT),
    (RAISING, dict.fromkeys(DEFAULT, "raise")),
])
def test_any_object_with_get_serves_as_the_variable(replaced_variable, answer, expected):
    holder = Holder(answer)
    replaced_variable(holder)
    assert quarvel.geterr() == expected
    assert holder.calls == [("get", ())]  # asked with no default
    quarvel.seterr(under="warn")
    assert holder.calls[-1][0] == "set" and holder.value[2] == "warn"


@pytest.mark.parametrize("failure", [RuntimeError("broken"), ValueError("bad")])
def test_a_get_that_fails_otherwise_fails_the_read(replaced_variable, failure):
    replaced_variable(Holder(failure))
    raises(type(failure), str(failure), quarvel.geterr)
    raises(type(failure), str(failure), quarvel.errstate(divide="raise").__enter__)
    raises(type(failure), str(failure), quarvel.seterr)


def test_an_errstate_block_reads_then_writes_the_variable_once_each_way(replaced_variable):
    holder = Holder(("warn", "warn", "ignore", "warn", None, ()))
    replaced_variable(holder)
    with quarvel.errstate(divide="ignore"):
        assert holder.value[:5] == ("ignore", "warn", "ignore", "warn", None)
    assert [name for name, _ in holder.calls] == ["get", "set", "get", "set"]
    assert holder.value == ("warn", "warn", "ignore", "warn", None, ())


def test_the_registered_variable_is_written_again_once_restored(replaced_variable):
    """A block entered on another variable leaves the registered one as it was;
    once restored, the registered one serves blocks again."""
    other = contextvars.ContextVar("other", default=RAISING)

    def run():
        with quarvel.errstate(over="ignore"):
            replaced_variable(other)
            with quarvel.errstate(under="raise"):
                assert quarvel.geterr()["under"] == "raise"
            replaced_variable(NATIVE.__dict__["_ERROR_CONTEXT_ORIGINAL"])
            assert quarvel.geterr() == {**DEFAULT, "over": "ignore"}
        assert quarvel.geterr() == DEFAULT
        assert other.get() == RAISING
    NATIVE._ERROR_CONTEXT_ORIGINAL = NATIVE._ERROR_CONTEXT
    try:
        contextvars.Context().run(run)
    finally:
        del NATIVE._ERROR_CONTEXT_ORIGINAL


def test_a_fault_reads_the_variable_the_module_holds_at_that_moment(replaced_variable):
    replaced_variable(Holder(("ignore", "ignore", "ignore", "raise", None, ())))
    assert quarvel.divide(1.0, 0.0) == float("inf")
    raises(FloatingPointError, "invalid value encountered in sqrt", quarvel.sqrt, quarvel.array([-1.0]))


def test_each_read_gives_a_dict_of_its_own():
    first = quarvel.geterr()
    first["divide"] = "spoiled"
    del first["over"]
    assert quarvel.geterr() == DEFAULT and list(quarvel.geterr()) == list(DEFAULT)
    assert quarvel.geterr() is not quarvel.geterr()
    previous = quarvel.seterr(all="raise")
    previous["under"] = "spoiled"
    assert quarvel.seterr(**DEFAULT) == dict.fromkeys(DEFAULT, "raise")
    assert quarvel.geterr() == DEFAULT


def test_mode_names_written_and_read_back_are_plain_str():
    quarvel.seterr(divide="log", over="print")
    written = quarvel._ERROR_CONTEXT.get()
    assert written[:4] == ("log", "print", "ignore", "warn") and all(type(mode) is str for mode in written[:4])
    # A str subclass holding a mode name reads as that mode; its case matters.
    quarvel._ERROR_CONTEXT.set((type("Mode", (str,), {})("raise"),) + written[1:])
    assert quarvel.geterr()["divide"] == "raise"
    quarvel._ERROR_CONTEXT.set(("Raise",) + written[1:])
    raises(ValueError, 'invalid error mode "Raise"; expected ignore, warn, raise, call, print, or log', quarvel.geterr)
