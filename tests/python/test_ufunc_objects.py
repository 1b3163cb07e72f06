"""What the universal-function layer adds to the module: the errstate class,
_ERROR_CONTEXT, AxisError and the error-policy functions."""
import contextvars
import inspect
import pydoc

import pytest

import quarvel

POLICY_NAMES = ["errstate", "_ERROR_CONTEXT", "AxisError", "geterr", "seterr", "geterrcall", "seterrcall"]


def test_all_ends_with_the_layer_names():
    names = quarvel.quarvel.__all__
    start = names.index("promote_types") + 1
    assert names[start:] == POLICY_NAMES
    assert quarvel.__all__ == names
    for name in POLICY_NAMES:
        assert getattr(quarvel, name) is getattr(quarvel.quarvel, name)


def test_error_context_variable():
    var = quarvel._ERROR_CONTEXT
    assert type(var) is contextvars.ContextVar
    assert var.name == "quarvel._ERROR_CONTEXT"

    def fresh():
        with pytest.raises(LookupError):
            var.get()
        quarvel.seterr()
        return var.get()
    assert contextvars.Context().run(fresh)[:4] == ("warn", "warn", "ignore", "warn")


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
