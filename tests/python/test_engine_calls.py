"""The call engine's per-call shortcuts: what a call found before (a loop for a
dtype request, the dtype a text names) must never answer a call that differs,
and the inline lists a call keeps must hold at their capacity and past it."""
import itertools

import pytest
from hypothesis import given, settings, strategies as st

import quarvel as q
from element_path import check
from helpers import raises, tolist


def outcome(call):
    try:
        result = call()
    except Exception as error:
        return ("raised", type(error).__name__, str(error))
    return (result.dtype.str, result.shape, [result[i].item() for i in range(result.shape[0])])


def operand(code, order="="):
    return q.array([1, 2, 3], dtype=order + code if order != "=" else code)


# Each request differs from another in one thing only: the requested dtype,
# the rule, an operand's dtype, an operand's byte order, or array against number.
REQUESTS = [
    ("add", ("f8", "f8"), "float32", "same_kind"),
    ("add", ("f8", "f8"), "float32", "safe"),
    ("add", ("f8", "f8"), "float64", "safe"),
    ("add", ("i8", "f8"), "float64", "safe"),
    ("add", ("i8", "i8"), "float64", "safe"),
    ("add", ("i8", 2.5), "float64", "safe"),
    ("add", ("i8", 2.5), "int64", "safe"),
    ("add", ("i8", 2.5), "int64", "unsafe"),
    ("add", (">f8", "f8"), "float64", "no"),
    ("add", ("<f8", "f8"), "float64", "no"),
    ("add", ("f4", "f4"), "float64", "equiv"),
    ("add", ("f4", "f4"), "float64", "no"),
    ("logical_and", ("f8", "f8"), "bool", "same_kind"),
    ("logical_and", ("f8", "f8"), "bool", "safe"),
    ("negative", ("u1",), "int8", "same_kind"),
    ("negative", ("u1",), "int16", "safe"),
    ("negative", ("u1",), "int8", "safe"),
]


def request_call(request):
    name, operands, dtype, rule = request
    made = [operand(code[1:], code[0]) if isinstance(code, str) and code[0] in "<>" else
            operand(code) if isinstance(code, str) else code for code in operands]
    return lambda: getattr(q, name)(*made, dtype=dtype, casting=rule)


def forget_requests():
    """Calls with requests no case makes, so the next one is found afresh."""
    for name in ("add", "logical_and", "negative"):
        ufunc = getattr(q, name)
        dtype = "bool" if name == "logical_and" else "complex128"
        ufunc(*[q.array([1.0])] * ufunc.nin, dtype=dtype, casting="unsafe")


@pytest.mark.parametrize("first, second", itertools.product(range(len(REQUESTS)), repeat=2))
def test_a_dtype_request_after_another_is_answered_as_when_found_afresh(first, second):
    forget_requests()
    fresh = outcome(request_call(REQUESTS[second]))
    forget_requests()
    outcome(request_call(REQUESTS[first]))
    assert outcome(request_call(REQUESTS[second])) == fresh


def test_a_refused_request_is_refused_again():
    call = request_call(("add", ("f8", "f8"), "int8", "safe"))
    raises(TypeError, None, call)
    raises(TypeError, None, call)
    assert outcome(request_call(("add", ("i1", "i1"), "int8", "safe")))[0] == "|i1"
    raises(TypeError, None, call)


SPELLINGS = ["f8", "float32", "i2", "<u4", ">i8", "complex64", "bool", "int8", "uint16", "f2", ">f8", "<f8", "c16",
             "int64", "u1"]


def test_dtype_texts_name_their_dtype_however_many_are_read_in_turn():
    expected = {text: q.DType(text).str for text in SPELLINGS}
    for _ in range(3):  # more texts than are remembered: each is evicted and read again
        for text in SPELLINGS:
            assert q.zeros(2, dtype=text).dtype.str == expected[text]
    # The same characters in a new object, and a str subclass, name the same dtype.
    assert q.zeros(1, dtype="".join(["f", "4"])).dtype.str == "<f4"

    class Text(str):
        def __eq__(self, other):
            raise AssertionError("compared")

        __hash__ = str.__hash__

    assert q.zeros(1, dtype=Text("i2")).dtype.str == "<i2"
    for _ in range(2):
        raises(ValueError, 'unsupported preview dtype "bogus"', lambda: q.zeros(1, dtype="bogus"))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("shape, expected", [
    (3, (3,)), (0, (0,)), (Index(2), (2,)), (True, TypeError), (-1, ValueError), (Index(-2), ValueError),
    (2.0, TypeError), ("3", TypeError), (Index(LookupError("own")), LookupError),
])
def test_a_shape_of_one_dimension(shape, expected):
    if isinstance(expected, tuple):
        assert q.zeros(shape).shape == expected
    else:
        with pytest.raises(expected):
            q.zeros(shape)


@pytest.mark.parametrize("data, expected", [
    ([1.0, 2, 3], ((3,), "float64")), ([1, 2.5, 3j], ((3,), "complex128")), ([True, 2], ((2,), "int64")),
    ((1, [2]), ValueError), ([[1], 2], ValueError), ([1, []], ValueError), ([[], 1], ValueError),
    ([[1, 2], (3, 4)], ((2, 2), "int64")), ([1, q.array(2.5)], ((2,), "float64")),
    ([1, q.array([2.5])], ValueError), ([[1.0], [2.0], [3]], ((3, 1), "float64")),
    ([1, "x"], TypeError), ([2**64, 1], OverflowError),
])
def test_nested_input_with_leaves_beside_lists(data, expected):
    if isinstance(expected, tuple):
        a = q.array(data)
        assert (a.shape, a.dtype.name) == expected
    else:
        with pytest.raises(expected):
            q.array(data)


def test_nested_input_fills_every_element():
    a = q.array([[1.5, -2.0, 3.25]] * 4, order="F")
    assert [[a[i, j].item() for j in range(3)] for i in range(4)] == [[1.5, -2.0, 3.25]] * 4
    b = q.array([1, 2, 3], dtype="int8")
    assert [b[i].item() for i in range(3)] == [1, 2, 3]


def listed(a):
    return [listed(a[i]) for i in range(a.shape[0])] if isinstance(a, q.Array) else a.item()


@pytest.mark.parametrize("key, expected", [
    ((slice(1, 2), [0, 2]), [[4, 6]]), (([0, 2], slice(2, 3)), [[2], [10]]), ((2, [1, 3]), [9, 11]),
    ((slice(2, 3), [3]), [[11]]), (([1], slice(3, 4)), [[7]]), ((slice(1, 1), [0]), []),
    ((slice(2, 3), q.array([True, False, True, False])), [[8, 10]]),
])
def test_index_arrays_beside_basic_dimensions_of_one_position(key, expected):
    a = q.array(list(range(12)), dtype="int64").reshape((3, 4))
    assert listed(a[key]) == expected
    shifted = q.array(list(range(-4, 12)), dtype="int64")[4:].reshape((3, 4))  # an offset view
    assert listed(shifted[key]) == expected


def test_an_index_of_many_arrays_beyond_the_working_room():
    # Fifty index arrays of 40 positions each: the working lists outgrow the stack.
    a = q.zeros((1,) * 50 + (3,))
    zeros = [0] * 40
    picked = a[tuple([zeros] * 50 + [[i % 3 for i in range(40)]])]
    assert picked.shape == (40,)
    a[(0,) * 50 + (slice(None),)] = q.array([1.0, 2.0, 3.0])
    assert listed(a[tuple([zeros] * 50 + [[i % 3 for i in range(40)]])]) == [float(i % 3 + 1) for i in range(40)]
    raises(IndexError, None, lambda: a[tuple([zeros] * 50 + [[3]])])


def test_every_view_a_call_makes_at_once(element_path):
    # Both inputs and the mask share memory with the outputs (each copied), and
    # the loop may refuse an element (so both outputs are computed aside).
    base = {"values": [7, -3, 0, 5, 9, 2, -8, 4], "dtype": "int64", "order": "C", "views": []}
    flags = {"values": [True, False, True, True, False, True], "dtype": "bool", "order": "C", "views": []}
    steps = [("array", base), ("array", flags),
             ("ufunc", "divmod", "call", (("ref", 0, slice(0, 3)), ("ref", 0, slice(1, 4))),
              {"out": (("ref", 1, slice(0, 3)), ("ref", 1, slice(3, 6))), "where": ("ref", 1, slice(1, 4)),
               "casting": "unsafe"})]
    check(element_path, steps)
    steps[2][4]["out"] = (("ref", 0, slice(2, 5)), ("ref", 0, slice(3, 6)))
    steps[2][4]["where"] = ("ref", 1, slice(0, 3))
    check(element_path, steps)


CODES = ["?", "i1", "u2", "i8", "u8", "f2", "f4", "f8", "c8", "c16", ">i4", ">f8"]


@st.composite
def engine_operand(draw, shape):
    if draw(st.integers(0, 3)) == 0:
        return draw(st.sampled_from([0, 1, -2, 2.5, -0.0, float("nan"), 1j, True, 2**40]))
    code = draw(st.sampled_from(CODES))
    used = tuple(n if draw(st.integers(0, 3)) else 1 for n in shape[draw(st.integers(0, len(shape))):])
    count = 1
    for n in used:
        count *= n
    values = draw(st.lists(st.integers(-3, 3), min_size=count, max_size=count))
    if code[-1] == "?":
        values = [bool(v) for v in values]
    elif code.lstrip("<>")[0] == "u":
        values = [abs(v) for v in values]
    flat = {"values": values, "dtype": code, "order": "C", "views": []}
    return ("array", flat, used)


@settings(max_examples=120, deadline=None)
@given(st.sampled_from(["add", "subtract", "multiply", "true_divide", "floor_divide", "power", "maximum", "less",
                        "logical_or", "negative", "sqrt", "absolute", "divmod"]),
       st.lists(st.integers(1, 3), min_size=0, max_size=3), st.data())
def test_engine_calls_on_small_random_shapes_match_the_element_path(element_path, name, shape, data):
    draw, ufunc = data.draw, getattr(q, name)
    steps, args = [], []
    for _ in range(ufunc.nin):
        made = draw(engine_operand(tuple(shape)))
        if isinstance(made, tuple) and made[:1] == ("array",):
            steps.append(("array", made[1]))
            steps.append(("reshape", len(steps) - 1, made[2], "C"))
            args.append(("ref", len(steps) - 1))
        else:
            args.append(made)
    kwargs = {}
    if draw(st.booleans()):
        kwargs["dtype"] = draw(st.sampled_from(["float64", "float32", "int64", "complex128", "bool"]))
    if draw(st.booleans()):
        kwargs["casting"] = draw(st.sampled_from(["no", "equiv", "safe", "same_kind", "unsafe"]))
    if draw(st.booleans()):
        steps.append(("array", {"values": [draw(st.booleans()) for _ in range(3)], "dtype": "bool", "order": "C",
                                "views": []}))
        kwargs["where"] = ("ref", len(steps) - 1, slice(0, shape[-1] if shape else 1))
    steps.append(("ufunc", name, "call", tuple(args), kwargs))
    check(element_path, steps)


@pytest.mark.parametrize("count", [1, 2, 255, 256, 257, 600])
@pytest.mark.parametrize("dtype, value", [("float64", 1.5), ("int16", 3), ("complex128", 1 - 2j), ("float32", 0.25)])
def test_at_with_one_value_for_every_index(count, dtype, value):
    # Indices that repeat within a run and across runs; one `b` for all.
    indices = [(i * 7) % 5 for i in range(count)]
    o = q.zeros(5, dtype=dtype)
    q.add.at(o, indices, value)
    assert [o[i].item() for i in range(5)] == [value * indices.count(i) for i in range(5)]
    o = q.zeros(5, dtype=dtype)
    q.add.at(o, (indices,), q.array([value] * count, dtype=dtype))
    assert [o[i].item() for i in range(5)] == [value * indices.count(i) for i in range(5)]


@pytest.mark.parametrize("key, expected", [
    ([1, 3], [1.0, 3.0]), (([1, 3],), [1.0, 3.0]), ((slice(None), ), [0.0, 1.0, 2.0, 3.0]),
    ([True, False, True, False], [0.0, 2.0]), ([[0, 1], [3, 2]], [[0.0, 1.0], [3.0, 2.0]]),
    ((2,), 2.0), (-1, 3.0), (([0, 0, 1],), [0.0, 0.0, 1.0]),
    ([-1, 0, -4], [3.0, 0.0, 0.0]), ([3, 3, -2], [3.0, 3.0, 2.0]), ([1, True], [1.0, 1.0]), ([0], [0.0]),
    ([-4] * 300, [0.0] * 300),
])
def test_keys_of_one_item_and_of_a_tuple(key, expected):
    a = q.array([0.0, 1.0, 2.0, 3.0])
    assert listed(a[key]) == expected


@pytest.mark.parametrize("key, error, text", [
    ([0, [1]], IndexError, "index arrays must be rectangular"), ([0.5], IndexError, None),
    (([1], [2]), IndexError, None), ([[1], 2.5], IndexError, None),
    ([9], IndexError, "index 9 is out of bounds for axis 0 with size 4"),
    ([0, -5], IndexError, "index -5 is out of bounds for axis 0 with size 4"),
    ([2**63], IndexError, "index 9223372036854775807 is out of bounds for axis 0 with size 4"),
    ([0, 2**64], OverflowError, "Python int is outside the supported 64-bit numeric range"),
    ([], IndexError, "boolean index shape did not match the indexed array dimensions"),
])
def test_refused_keys_of_one_item_and_of_a_tuple(key, error, text):
    raises(error, text, lambda: q.array([0.0, 1.0, 2.0, 3.0])[key])


@pytest.mark.parametrize("indices, expected", [
    ([0, -1], [2.5, 1.0, 2.5]), ([-3, -3, 1], [4.0, 2.5, 1.0]), ([2] * 257, [1.0, 1.0, 386.5]),
    ([i % 3 - 3 for i in range(600)], [301.0, 301.0, 301.0]),
])
def test_at_with_negative_and_repeated_indices(indices, expected):
    o = q.array([1.0, 1.0, 1.0])
    q.add.at(o, indices, 1.5)
    assert listed(o) == expected


@pytest.mark.parametrize("indices, text", [
    ([0, 3], "index 3 is out of bounds for axis 0 with size 3"),
    ([-4], "index -4 is out of bounds for axis 0 with size 3"),
])
def test_at_with_an_index_out_of_range_writes_nothing(indices, text):
    o = q.array([1.0, 1.0, 1.0])
    raises(IndexError, text, q.add.at, o, indices, 1.5)
    assert listed(o) == [1.0, 1.0, 1.0]


AT_KEYS = [[0, 1], [-1, -5], [4, 4, 4], [0, 5], [-6], [True, False, True, False, True], [1, True], [2**63],
           [2**64], [], [[0, 1], [2, 3]], (slice(1, 4),), [(i * 3) % 5 - 2 for i in range(300)]]


@pytest.mark.parametrize("key", AT_KEYS)
@pytest.mark.parametrize("value", [1.5, 2, 1 - 2j, True, ("array", "int8", [3]), ("array", "float32", [1.0, 2.0])])
@pytest.mark.parametrize("dtype", ["float64", "int16", "complex64", "g"])
def test_at_with_index_lists_and_numbers_against_the_element_path(element_path, key, value, dtype):
    steps = [("array", {"values": [1, 2, 3, 4, 5], "dtype": dtype, "order": "C", "views": []})]
    if isinstance(value, tuple):
        steps.append(("array", {"values": value[2], "dtype": value[1], "order": "C", "views": []}))
        value = ("ref", 1)
    steps.append(("ufunc", "add", "at", (("ref", 0), key, value), {}))
    check(element_path, steps)


@pytest.mark.parametrize("key", [[0, 2], [-1, -1], [3], [[1], [0]]])
@pytest.mark.parametrize("name", ["negative", "sqrt"])
def test_unary_at_with_index_lists_against_the_element_path(element_path, key, name):
    steps = [("array", {"values": [[1.0, 4.0], [9.0, -1.0], [0.0, 2.0], [3.0, 5.0]], "dtype": "float32",
                        "order": "C", "views": []}),
             ("ufunc", name, "at", (("ref", 0), key), {})]
    check(element_path, steps)


OUTER_OPERANDS = [
    {"values": [1.0, 2.0, 3.0, 4.0], "dtype": "float64", "order": "C", "views": [slice(None, None, 2)]},
    {"values": [[1, 2, 3], [4, 5, 6]], "dtype": "int32", "order": "C", "views": ["T"]},
    {"values": [[1, 2, 3], [4, 5, 6]], "dtype": "int64", "order": "F", "views": []},
    {"values": [[1.5, 2.5], [3.5, 4.5]], "dtype": "float32", "order": "C", "views": [(slice(None), slice(0, 1))]},
    {"values": 2.5, "dtype": "float64", "order": "C", "views": []},
    {"values": [[[1, 2], [3, 4]]], "dtype": "int8", "order": "C", "views": [(slice(None), slice(None, None, -1))]},
]


@pytest.mark.parametrize("a, b", list(itertools.product(range(len(OUTER_OPERANDS)), repeat=2)))
@pytest.mark.parametrize("kwargs", [{}, {"dtype": "float64"}, {"order": "C"}, {"order": "A"}, {"casting": "no"},
                                    {"out": True}])
def test_outer_of_strided_and_zero_dimension_operands_against_the_element_path(element_path, a, b, kwargs):
    # The new result's order-K layout follows the operands' strides.
    steps = [("array", OUTER_OPERANDS[a]), ("array", OUTER_OPERANDS[b])]
    if kwargs.get("out"):
        steps.append(("ufunc", "multiply", "outer", (("ref", 0), ("ref", 1)), {}))
        kwargs = {"out": ("ref", 2)}
    steps.append(("ufunc", "multiply", "outer", (("ref", 0), ("ref", 1)), kwargs))
    check(element_path, steps)


# A small outer repeats each element of `a` along its row and `b`'s row
# below itself, in the loop's element width: every width, and rows and
# columns of one.
@pytest.mark.parametrize("dtype", ["bool", "int8", "float16", "float32", "complex64", "complex128", "g", "G"])
@pytest.mark.parametrize("a, b", [([1, 2, 3], [4, 5]), ([[1], [2]], [3, 4, 5]), ([7], [1, 2, 3, 4]),
                                  ([1, 2, 3, 4], [5]), ([[1, 2], [3, 4]], [[5], [6]])])
def test_small_outers_of_every_element_width_against_the_element_path(element_path, dtype, a, b):
    steps = [("array", {"values": a, "dtype": dtype, "order": "C", "views": []}),
             ("array", {"values": b, "dtype": dtype, "order": "C", "views": []}),
             ("ufunc", "multiply", "outer", (("ref", 0), ("ref", 1)), {})]
    check(element_path, steps)


@pytest.mark.parametrize("key", [[0, -1, 2], [3, 3, -4], [2**62], [-5], [0, 2**63], [1, 2.0], [1, None]])
def test_flat_index_lists_against_the_element_path(element_path, key):
    steps = [("array", {"values": [[0, 1], [2, 3], [4, 5], [6, 7]], "dtype": "int16", "order": "C", "views": []}),
             ("getitem", 0, key), ("setitem", 0, key, 9)]
    check(element_path, steps)


def flat(values, dtype="float64", views=()):
    return ("array", {"values": values, "dtype": dtype, "order": "C", "views": list(views)})


EIGHT = [1.5, -2.0, 0.0, 4.25, float("nan"), -0.0, 7.0, float("inf")]
MASK = [True, False, True, True, False, True, False, True]


# Each run either hands its operands to the kernel as they are or stages some
# of them: overlapping outputs, byte-swapped and other-dtype operands, masks.
@pytest.mark.parametrize("steps", [
    # The input read one position ahead of the output it shares memory with.
    [flat(EIGHT), ("ufunc", "add", "call", (("ref", 0, slice(0, 7)), ("ref", 0, slice(1, 8))),
                   {"out": ("ref", 0, slice(1, 8))})],
    [flat(EIGHT), ("ufunc", "negative", "call", (("ref", 0, slice(1, 8)),), {"out": ("ref", 0, slice(0, 7))})],
    [flat(EIGHT), ("ufunc", "multiply", "call", (("ref", 0, slice(None, None, -1)), 2.0), {"out": ("ref", 0)})],
    # Element for element in place: no copy.
    [flat(EIGHT), ("ufunc", "add", "call", (("ref", 0), ("ref", 0)), {"out": ("ref", 0)})],
    # Masks with outputs, in the loop format and not.
    [flat(EIGHT), flat(MASK, "bool"), flat([9.0] * 8),
     ("ufunc", "add", "call", (("ref", 0), 1.0), {"where": ("ref", 1), "out": ("ref", 2)})],
    [flat(EIGHT), flat(MASK, "bool"), flat([9.0] * 8, ">f8"),
     ("ufunc", "add", "call", (("ref", 0), 1.0), {"where": ("ref", 1), "out": ("ref", 2)})],
    [flat(EIGHT, ">f8"), flat(MASK, "bool"), flat([9.0] * 8, "complex128"),
     ("ufunc", "subtract", "call", (("ref", 0), ("ref", 0, slice(None, None, -1))),
      {"where": ("ref", 1), "out": ("ref", 2)})],
    [flat(EIGHT), flat(MASK, "bool"),
     ("ufunc", "add", "call", (("ref", 0, slice(0, 7)), 1.0),
      {"where": ("ref", 1, slice(1, 8)), "out": ("ref", 0, slice(1, 8))})],
    [flat(list(range(8)), "int32"), flat(MASK, "bool"), flat([9.0] * 8),
     ("ufunc", "true_divide", "call", (("ref", 0), 2), {"where": ("ref", 1), "out": ("ref", 2)})],
    # Byte-swapped inputs and outputs, strided and reversed.
    [flat(EIGHT, ">f8"), ("ufunc", "add", "call", (("ref", 0, slice(None, None, 2)), 0.5), {})],
    [flat(EIGHT, ">f8"), flat([0.0] * 8, ">f8"),
     ("ufunc", "multiply", "call", (("ref", 0), ("ref", 0, slice(None, None, -1))), {"out": ("ref", 1)})],
    [flat(EIGHT, ">f8"), ("ufunc", "add", "call", (("ref", 0, slice(0, 7)), ("ref", 0, slice(1, 8))),
                         {"out": ("ref", 0, slice(1, 8))})],
    [flat(EIGHT, "f4"), flat(EIGHT), ("ufunc", "add", "call", (("ref", 0), ("ref", 1)), {"dtype": "float32",
                                                                                         "casting": "unsafe"})],
])
def test_runs_as_they_are_and_staged_against_the_element_path(element_path, steps):
    check(element_path, steps)


# Refusals of dtype= and casting=, each in the order the checks come.
@pytest.mark.parametrize("call, error, text", [
    (lambda a, ai: q.add(a, 1.0, dtype="int64", casting="safe"), TypeError,
     "ufunc 'add' input cannot be cast from float64 to int64 with casting rule 'safe'"),
    (lambda a, ai: q.add(ai, 1.5, casting="no"), TypeError,
     "ufunc 'add' input cannot be cast from int64 to float64 with casting rule 'no'"),
    (lambda a, ai: q.add(a, ai, casting="equiv"), TypeError,
     "ufunc 'add' input cannot be cast from int64 to float64 with casting rule 'equiv'"),
    (lambda a, ai: q.add(a, 1.0, dtype="bogus", casting="bogus"), ValueError,
     "casting must be one of 'no', 'equiv', 'safe', 'same_kind', or 'unsafe'"),
    (lambda a, ai: q.add(a, 1.0, dtype="float64", out=ai), TypeError,
     "ufunc 'add' output cannot be cast from float64 to int64 with casting rule 'same_kind'"),
    (lambda a, ai: q.add(a, 1.0, dtype="float64", casting="same_kind", out=q.zeros(2)), ValueError,
     "output array has an incorrect shape"),
    (lambda a, ai: q.add(a, 1.0, dtype="float64", signature="dd->d"), TypeError,
     "cannot specify both 'signature' and 'dtype'"),
    (lambda a, ai: q.add(a, 1.0, where=q.array([1, 0, 1]), out=a), TypeError,
     "where must be a boolean array or scalar"),
    (lambda a, ai: q.add(a, 1.0, where=q.array([True, False]), out=a), ValueError,
     "operands could not be broadcast together with shapes [3] [2]"),
    (lambda a, ai: q.add(ai, 1.5, where=q.array([True, False, True]), out=ai), TypeError,
     "ufunc 'add' output cannot be cast from float64 to int64 with casting rule 'same_kind'"),
])
def test_dtype_casting_and_where_refusals(call, error, text):
    a = q.array([1.0, 2.0, 3.0])
    ai = q.array([1, 2, 3], dtype="int64")
    raises(error, text, lambda: call(a, ai))
    assert tolist(a) == [1.0, 2.0, 3.0] and tolist(ai) == [1, 2, 3]


# Default loops by the operands' dtypes; a remembered loop must answer only
# the same operation on the same dtypes.
DEFAULTS = [("add", "f8", "f8"), ("add", "i8", "i8"), ("add", "i1", "u1"), ("add", "f4", "i8"), ("add", "?", "?"),
            ("add", "f2", "f4"), ("add", "c8", "f8"), ("left_shift", "f8", "f8"), ("left_shift", "i2", "u1"),
            ("add", "i8", 2.5), ("add", "u1", -1), ("add", "u1", 300)]


def default_call(case):
    name, *codes = case
    made = [operand(code) if isinstance(code, str) else code for code in codes]
    return lambda: getattr(q, name)(*made)


@pytest.mark.parametrize("first, second", itertools.product(range(len(DEFAULTS)), repeat=2))
def test_a_default_loop_after_another_is_the_one_found_afresh(first, second):
    q.multiply(operand("i2"), operand("f2"))
    q.left_shift(operand("i4"), operand("i4"))
    afresh = outcome(default_call(DEFAULTS[second]))
    outcome(default_call(DEFAULTS[first]))
    assert outcome(default_call(DEFAULTS[second])) == afresh


class Text(str):
    pass


@pytest.mark.parametrize("texts, expected", [
    (["float32", "float64", "float32"], ["<f4", "<f8", "<f4"]),
    ([Text("float32"), Text("float64"), Text("float32")], ["<f4", "<f8", "<f4"]),
    (["".join(["float", "32"]), "float32", "".join(["int", "64"])], ["<f4", "<f4", "<i8"]),
])
def test_a_dtype_text_asked_for_again_names_its_own_dtype(texts, expected):
    a = q.array([1.0, 2.0, 3.0])
    assert [q.add(a, 1, dtype=text, casting="unsafe").dtype.str for text in texts] == expected


def test_out_by_a_keyword_made_at_run_time_is_still_out():
    a, o = q.array([1.0, 2.0, 3.0]), q.zeros(3)
    assert q.add(a, 1.0, **{"".join(["o", "u", "t"]): o}) is o
    assert tolist(o) == [2.0, 3.0, 4.0]
    raises(TypeError, "add() got an unexpected keyword argument 'outs'", lambda: q.add(a, 1.0, outs=o))
