"""Calls the engine prepares (keywords, operands of other dtypes or byte
orders, given outputs, orders) that one kernel call over every element can
serve. Each case runs here and in a child process on the element path, and the
reports must be equal: values, dtypes, strides, result classes, warnings,
fault reports and errors."""
import pytest
from hypothesis import given, settings, strategies as st

import quarvel as q
from element_path import check
from helpers import UFUNCS
from test_differential import FIXED, NUMBERS, array_spec, dtype_text, nested

SOURCES = ["?", "i1", "u1", "i4", "u8", "f2", "f4", "f8", "c8", "c16"]


def values(code, count):
    """Small values of every sign the dtype holds, fractional where it can."""
    if code == "?":
        return [k % 3 == 0 for k in range(count)]
    if code[0] == "u":
        return [k % 7 for k in range(count)]
    if code[0] == "i":
        return [k % 7 - 3 for k in range(count)]
    if code[0] == "f":
        return [(k % 7 - 3) * 1.25 for k in range(count)]
    return [complex((k % 7 - 3) * 1.25, k % 3 - 1) for k in range(count)]


def grid(flat, shape):
    if not shape:
        return flat[0]
    step = len(flat) // shape[0]
    return [grid(flat[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def spec(code, shape, big=False, views=(), order="C"):
    count = 1
    for length in shape:
        count *= length
    return {"values": grid(values(code, count), shape), "dtype": dtype_text(code, big), "order": order,
            "views": list(views)}


# Just under, at and just over the number of elements converted whole, and one
# element broadcast beside each.
@pytest.mark.parametrize("count", [1, 31, 32, 33])
@pytest.mark.parametrize("code", SOURCES)
@pytest.mark.parametrize("big", [False, True])
@pytest.mark.parametrize("request_dtype", [None, "float64", "complex128"])
def test_inputs_converted_to_the_loop_dtype(element_path, count, code, big, request_dtype):
    steps = [("array", spec(code, (count,), big)), ("array", spec("i8", (1,), big))]
    kwargs = {"dtype": request_dtype} if request_dtype else {}
    steps.append(("ufunc", "add", "call", (("ref", 0), 1.5), kwargs))
    steps.append(("ufunc", "multiply", "call", (("ref", 1), ("ref", 0)), kwargs))
    steps.append(("ufunc", "subtract", "call", (("ref", 0), ("ref", 0)), dict(kwargs, casting="unsafe")))
    check(element_path, steps)


LAYOUTS = [((), []), ((1,), []), ((5,), []), ((10,), [(slice(None, None, 2),)]), ((5,), [(slice(None, None, -1),)]),
           ((2, 3), []), ((2, 3), ["T"]), ((3, 4), [(slice(1, None), slice(None, None, 2))]), ((1, 1), [])]


@pytest.mark.parametrize("shape, views", LAYOUTS)
@pytest.mark.parametrize("code, other", [("i8", 1.5), ("f4", 2), ("?", 1j), ("u1", -1), ("c8", ("array", "f8"))])
def test_converted_operands_of_every_layout(element_path, shape, views, code, other):
    steps = [("array", spec(code, shape, views=views))]
    if isinstance(other, tuple):
        steps.append(("array", spec(other[1], (1,), big=True)))
        other = ("ref", 1)
    steps.append(("ufunc", "add", "call", (("ref", 0), other), {}))
    steps.append(("ufunc", "add", "call", (other, ("ref", 0)), {"casting": "same_kind"}))
    steps.append(("ufunc", "divmod", "call", (("ref", 0), other), {"dtype": "float64"}))
    check(element_path, steps)


@pytest.mark.parametrize("order", ["C", "F", "A", "K"])
@pytest.mark.parametrize("first, second", [("C", "C"), ("F", "F"), ("F", "C"), ("T", None), ("C", "one")])
@pytest.mark.parametrize("code", ["f8", "i8"])
def test_orders_of_new_outputs(element_path, order, first, second, code):
    def operand(layout):
        if layout is None:
            return 2.5
        if layout == "one":
            return spec("f8", (1, 1))
        return spec(code, (3, 2) if layout == "T" else (2, 3), views=["T"] if layout == "T" else [],
                    order="F" if layout == "F" else "C")
    made = [operand(first), operand(second)]
    steps = [("array", m) for m in made if isinstance(m, dict)]
    args = tuple(("ref", i) for i in range(len(steps))) + tuple(m for m in made if not isinstance(m, dict))
    steps.append(("ufunc", "multiply", "call", args, {"order": order}))
    steps.append(("ufunc", "multiply", "call", args, {"order": order, "dtype": "float64"}))
    check(element_path, steps)


# Outputs that share a buffer with an input: the same elements, the same
# elements of another dtype, shifted by one, reversed; and two outputs of one buffer.
@pytest.mark.parametrize("call", [
    ("add", (("ref", 0), ("ref", 1)), {"out": ("ref", 0)}),
    ("add", (("ref", 1), ("ref", 0)), {"out": ("ref", 0)}),
    ("add", (("ref", 0, (slice(None, -1),)), ("ref", 1, (slice(1, None),))), {"out": ("ref", 0, (slice(1, None),))}),
    ("add", (("ref", 0, (slice(1, None),)), 1), {"out": ("ref", 0, (slice(None, -1),))}),
    ("add", (("ref", 0), ("ref", 1)), {"out": ("ref", 0, (slice(None, None, -1),))}),
    ("add", (("ref", 0), ("ref", 0, (slice(None, None, -1),))), {"out": ("ref", 0), "dtype": "float64"}),
    ("negative", (("ref", 1),), {"out": ("ref", 0)}),
    ("divmod", (("ref", 1), 2.5), {"out": (("ref", 2, (slice(None, 4),)), ("ref", 2, (slice(4, None),)))}),
    ("divmod", (("ref", 0), 2.5), {"out": (("ref", 2, (slice(None, 4),)), ("ref", 0))}),
    ("modf", (("ref", 2, (slice(None, 4),)),), {"out": (("ref", 2, (slice(4, None),)), ("ref", 2, (slice(None, 4),)))}),
])
def test_given_outputs_sharing_an_input(element_path, call):
    name, args, kwargs = call
    steps = [("array", spec("f8", (5,))), ("array", spec("i8", (5,))), ("array", spec("f8", (8,)))]
    steps[0][1]["values"] = [0.5, -1.0, 2.0, 3.5, -4.0]
    steps[2][1]["values"] = [0.5, -1.5, 2.0, 3.25, -4.0, 5.0, -6.5, 7.0]
    if name != "add":
        steps[0][1]["values"] = steps[0][1]["values"][:4]
        steps[1][1]["values"] = steps[1][1]["values"][:4]
        steps[1][1]["dtype"] = "<f8" if name == "negative" else "<i8"
    steps.append(("ufunc", name, "call", args, kwargs))
    check(element_path, steps)


@settings(max_examples=250, deadline=None)
@given(st.sampled_from([u.__name__ for u in UFUNCS]),
       st.sampled_from([(), (1,), (3,), (31,), (32,), (33,), (2, 3), (4, 8), (3, 11), (1, 3)]), st.data())
def test_prepared_calls_against_the_element_path(element_path, name, shape, data):
    ufunc, draw = getattr(q, name), data.draw
    steps, args = [], []
    for _ in range(ufunc.nin):
        if draw(st.integers(0, 3)) == 0:
            args.append(draw(NUMBERS))
            continue
        one = draw(st.booleans()) and draw(st.booleans())
        steps.append(("array", draw(array_spec(tuple(1 for _ in shape) if one else shape, transpose=True))))
        args.append(("ref", len(steps) - 1))
    kwargs = {}
    if draw(st.integers(0, 2)) == 0:
        kwargs["dtype"] = dtype_text(draw(st.sampled_from(FIXED)), draw(st.booleans()))
    if draw(st.integers(0, 2)) == 0:
        kwargs["casting"] = draw(st.sampled_from(["no", "equiv", "safe", "same_kind", "unsafe"]))
    if draw(st.integers(0, 3)) == 0:
        kwargs["order"] = draw(st.sampled_from("CFKA"))
    if draw(st.integers(0, 4)) == 0:
        kwargs["where"] = draw(st.booleans())
    if draw(st.integers(0, 3)) == 0:
        outs = []
        for _ in range(ufunc.nout):
            steps.append(("array", draw(array_spec(shape))))
            outs.append(("ref", len(steps) - 1))
        kwargs["out"] = tuple(outs)
    steps.append(("ufunc", name, "call", tuple(args), kwargs))
    check(element_path, steps)
