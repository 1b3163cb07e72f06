"""Gathers, scatters, masks and ufunc.at on the typed path against the
element-at-a-time path: index arrays of every integer dtype in either byte
order and any layout, holding negative, repeated and out-of-bounds values;
masks of every shape over the leading, middle and trailing axes."""
import pytest
from hypothesis import given, settings, strategies as st

import quarvel
from element_path import check
from helpers import tolist
from test_differential import array_spec, dtype_text, floats, nested

INDEX_CODES = ["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8"]
LIMITS = {"i1": (-128, 127), "u1": (0, 255), "i2": (-2 ** 15, 2 ** 15 - 1), "u2": (0, 2 ** 16 - 1),
          "i4": (-2 ** 31, 2 ** 31 - 1), "u4": (0, 2 ** 32 - 1), "i8": (-2 ** 63, 2 ** 63 - 1),
          "u8": (0, 2 ** 64 - 1)}
shapes = st.lists(st.integers(1, 4), min_size=1, max_size=3).map(tuple)


@st.composite
def index_spec(draw, n, shape, code=None):
    """An index array for an axis of length n: mostly in range (negative ones
    too), sometimes just outside it or at the dtype's limits, in any layout."""
    code = code or draw(st.sampled_from(INDEX_CODES))
    lo, hi = LIMITS[code]
    inside = st.integers(max(lo, -n), min(hi, n - 1))
    outside = st.sampled_from([v for v in (n, n + 1, -n - 1, lo, hi, 2 ** 63, 2 ** 63 - 1) if lo <= v <= hi])
    values = st.one_of(inside, inside, inside, outside) if draw(st.integers(0, 3)) == 0 else inside
    layout = draw(st.sampled_from(["plain", "reversed", "strided", "F"])) if shape else "plain"
    full, views = list(shape), []
    if layout == "reversed":
        views.append(tuple(slice(None, None, -1) for _ in shape))
    elif layout == "strided":
        full[-1] *= 2
        views.append((Ellipsis, slice(None, None, 2)))
    return {"values": nested(draw, tuple(full), values), "dtype": dtype_text(code, draw(st.booleans())),
            "order": "F" if layout == "F" else "C", "views": views}


def mask_spec(draw, shape):
    fill = draw(st.sampled_from(["any", "none", "all"]))
    values = st.booleans() if fill == "any" else st.just(fill == "all")
    layout = draw(st.sampled_from(["plain", "reversed", "strided", "F"]))
    full, views = list(shape), []
    if layout == "reversed":
        views.append(tuple(slice(None, None, -1) for _ in shape))
    elif layout == "strided":
        full[0] *= 2
        views.append((slice(None, None, 2),))
    return {"values": nested(draw, tuple(full), values), "dtype": "?",
            "order": "F" if layout == "F" else "C", "views": views}


@st.composite
def keyed_case(draw):
    """An array, its index arrays or masks as steps of their own, and a key."""
    shape = draw(shapes)
    steps = [("array", draw(array_spec(shape)))]

    def add(spec):
        steps.append(("array", spec))
        return ("ref", len(steps) - 1)

    form = draw(st.sampled_from(["one", "one-then-slice", "slice-then-one", "two", "separated", "integer",
                                 "mask", "mask-inner", "mask-and-index", "zero-d", "bool-scalar"]))
    ndim = len(shape)
    index_shape = st.lists(st.integers(0, 4), min_size=1, max_size=2).map(tuple)
    if form == "one":
        key = add(draw(index_spec(shape[0], draw(index_shape))))
    elif form == "one-then-slice":
        key = (add(draw(index_spec(shape[0], draw(index_shape)))), slice(None, None, draw(st.sampled_from([1, -1]))))
    elif form == "slice-then-one" and ndim > 1:
        key = (slice(1, None), add(draw(index_spec(shape[1], draw(index_shape)))))
    elif form == "two" and ndim > 1:  # shapes (k, 1) and (m,) broadcast
        k, m = draw(st.integers(1, 3)), draw(st.integers(1, 3))
        key = (add(draw(index_spec(shape[0], (k, 1)))), add(draw(index_spec(shape[1], (m,)))))
    elif form == "separated" and ndim > 2:
        key = (add(draw(index_spec(shape[0], (2,)))), slice(None), add(draw(index_spec(shape[2], (2,)))))
    elif form == "integer" and ndim > 1:
        key = (draw(st.integers(-shape[0], shape[0] - 1)), add(draw(index_spec(shape[1], draw(index_shape)))))
    elif form == "mask":
        k = draw(st.integers(1, ndim))
        key = add(mask_spec(draw, shape[:k]))
    elif form == "mask-inner" and ndim > 1:
        key = (slice(None, None, -1), add(mask_spec(draw, shape[1:])))
    elif form == "mask-and-index" and ndim > 1:
        key = (add(mask_spec(draw, shape[:1])), add(draw(index_spec(shape[1], (1,)))))
    elif form == "zero-d":
        key = add(draw(index_spec(shape[0], ())))
    elif form == "bool-scalar":
        key = (draw(st.booleans()), add(draw(index_spec(shape[0], (2,)))))
    else:
        key = add(draw(index_spec(shape[0], (draw(st.integers(0, 5)),))))
    return steps, key


def value_for(draw, steps, code_values=floats):
    kind = draw(st.sampled_from(["scalar", "row", "array"]))
    if kind == "scalar":
        return draw(st.one_of(st.integers(-3, 3), code_values))
    if kind == "row":  # broadcast along the selection's last axis, or refused
        return [draw(st.integers(-3, 3)) for _ in range(draw(st.integers(1, 3)))]
    steps.append(("array", draw(array_spec((draw(st.integers(1, 2)),)))))
    return ("ref", len(steps) - 1)


@settings(max_examples=150, deadline=None)
@given(keyed_case(), st.data())
def test_gathers(element_path, case, data):
    steps, key = case
    check(element_path, steps + [("getitem", 0, key)])


@settings(max_examples=150, deadline=None)
@given(keyed_case(), st.data())
def test_scatters(element_path, case, data):
    steps, key = case
    steps = list(steps)
    value = value_for(data.draw, steps)
    check(element_path, steps + [("setitem", 0, key, value), ("getitem", 0, (Ellipsis,))])


@settings(max_examples=120, deadline=None)
@given(keyed_case(), st.sampled_from(["add", "multiply", "maximum", "subtract", "negative", "sqrt", "bitwise_or"]),
       st.data())
def test_at(element_path, case, name, data):
    steps, key = case
    steps = list(steps)
    args = [("ref", 0), key]
    if getattr(quarvel, name).nin == 2:
        args.append(value_for(data.draw, steps))
    check(element_path, steps + [("ufunc", name, "at", tuple(args), {})])


# Keys whose errors compete: the first failing item decides, and an index
# value out of bounds is found before anything is written or gathered.
COMPETING = [
    ([5, 0], [True, False]),             # bad value, then a mask of the wrong shape
    ([0, 1], [True, False]),             # the mask alone is wrong
    ([0, 9], slice(None), [0]),          # bad value, then too many indices
    ([0, 1], 7),                         # a bad integer after a good array
    ([0, -4], [[0], [1]]),               # bad negative value, broadcast fine
    ([0, 1, 2], [0, 1]),                 # shapes that do not broadcast
    ([[0, 1], [2, 3]], [0, 5]),          # the second array is out of bounds
]


@pytest.mark.parametrize("key", COMPETING)
@pytest.mark.parametrize("code", INDEX_CODES + [">i8", ">u2"])
def test_competing_errors(element_path, key, code):
    steps = [("array", {"values": [[float(i * 3 + j) for j in range(3)] for i in range(3)], "dtype": "<f8",
                        "order": "C", "views": []})]

    def item(part):
        if not isinstance(part, list):
            return part
        values = sum(part, []) if isinstance(part[0], list) else part
        # Masks stay lists; so do negative values an unsigned dtype cannot hold.
        if all(isinstance(v, bool) for v in values) or (code.lstrip("<>")[0] == "u" and min(values) < 0):
            return part
        steps.append(("construct", part, {"dtype": code}))
        return ("ref", len(steps) - 1)

    key = tuple(item(part) for part in key)
    check(element_path, steps + [("getitem", 0, key), ("setitem", 0, key, 1.5), ("getitem", 0, (Ellipsis,)),
                                 ("ufunc", "add", "at", (("ref", 0), key, 1.0), {}), ("getitem", 0, (Ellipsis,))])


def test_index_values_of_every_dtype_select_alike():
    a = quarvel.array([10.0, 11.0, 12.0, 13.0])
    for code in INDEX_CODES:
        for order in "<>":
            idx = quarvel.array([3, 0, 3, 1] if code[0] == "u" else [-1, 0, 3, -3], dtype=order + code)
            assert tolist(a[idx]) == [13.0, 10.0, 13.0, 11.0], (order, code)


def test_uint64_index_above_the_signed_range_is_out_of_bounds():
    a = quarvel.array([1.0, 2.0])
    with pytest.raises(IndexError, match="index 9223372036854775807 is out of bounds for axis 0 with size 2"):
        a[quarvel.array([2 ** 64 - 1], dtype="u8")]


def test_a_refused_scatter_writes_nothing():
    a = quarvel.array([1.0, 2.0, 3.0])
    with pytest.raises(IndexError):
        a[quarvel.array([0, 1, 7], dtype=">i4")] = 9.0
    with pytest.raises(IndexError):
        a[quarvel.array([0, 1, -4], dtype="i1")] = quarvel.array([7.0, 8.0, 9.0])
    with pytest.raises(IndexError):
        quarvel.add.at(a, quarvel.array([0, 3], dtype="u2"), 1.0)
    assert tolist(a) == [1.0, 2.0, 3.0]


def test_at_repeats_accumulate_and_read_b_first():
    a = quarvel.array([0.0, 0.0, 0.0, 0.0])
    quarvel.add.at(a, quarvel.array([0, 0, 2, -4], dtype=">i2"), quarvel.array([1.0, 2.0, 3.0, 4.0]))
    assert tolist(a) == [7.0, 0.0, 3.0, 0.0]
    b = quarvel.array([1.0, 2.0, 3.0])
    quarvel.add.at(b, [0, 1, 2], b[::-1])  # b seen as it was before the first write
    assert tolist(b) == [4.0, 4.0, 4.0]


@pytest.mark.parametrize("dtype", ["<f8", ">f8", "i1", ">i4", "u2", "f4", "c16", "g", ">g", "c32", ">c32"])
@pytest.mark.parametrize("index_code", ["i8", ">u4", "i2"])
def test_at_long_index_arrays_accumulate_like_a_loop(dtype, index_code):
    # Thousands of indices over a few elements: repeats close together and far apart.
    n, count = 37, 3000
    positions = [(i * 7 + i // 50) % n for i in range(count)]
    values = [float(i % 5) for i in range(count)]
    a = quarvel.zeros(n, dtype=dtype)
    quarvel.add.at(a, quarvel.array(positions, dtype=index_code), quarvel.array(values))
    expected = [0.0] * n
    for p, v in zip(positions, values):
        expected[p] += v
    got = [complex(v) for v in tolist(a)] if dtype[-1] in "g2" else tolist(a)
    if dtype in ("i1", ">i4", "u2"):  # the float64 loop's result cast back, wrapping
        bits = {"i1": 8, ">i4": 32, "u2": 16}[dtype]
        signed = dtype != "u2"
        expected, acc = [], [0] * n
        for p, v in zip(positions, values):
            total = int(acc[p] + v) % (1 << bits)
            acc[p] = total - (1 << bits) if signed and total >= 1 << (bits - 1) else total
        expected = acc
    assert got == expected


@pytest.mark.parametrize("dtype", ["c32", ">c32", "g"])
def test_at_with_one_long_double_value_counts_every_repeat(dtype):
    value = 0.5 - 0.25j if dtype.endswith("c32") else 0.5
    a = quarvel.zeros(5, dtype=dtype)
    quarvel.add.at(a, quarvel.array([-1] * 600 + [0, 2, 0], dtype="i8"), value)
    assert [complex(v) for v in tolist(a)] == [2 * value, 0, value, 0, 600 * value]


def test_at_with_one_value_and_negative_indices_counts_every_repeat():
    a = quarvel.zeros(3, dtype="i1")
    quarvel.add.at(a, quarvel.array([-1] * 300 + [0], dtype="i2"), 1)
    assert tolist(a) == [1, 0, 300 - 256]


# Long double never takes the typed path itself; a scatter between it and a
# fixed-width dtype must still convert each value as the element path does,
# rounding, overflow, NaN into integers and the warnings included.
@pytest.mark.parametrize("target, source, values", [
    ("<f8", "<g", [0.1, -2.5, 1e300, float("nan")]), ("<f2", "<g", [0.1, 65520.0, -1e-8, 3.0]),
    ("<i2", "<g", [2.5, -3.5, 1e10, float("nan")]), ("<u1", ">g", [255.5, -1.0, 7.0, 0.5]),
    ("<c16", "<G", [1 + 0.1j, -2j, 3.0, complex(float("inf"), 1)]), ("<f4", "<G", [1 + 2j, 0.1, -0.0, 5.0]),
    ("<g", "<f4", [0.1, -2.5, 3.0, 1e30]), ("<G", ">c8", [0.1 + 1j, -2.5, 3j, 1e30]),
    ("<g", "<i8", [2 ** 63 - 1, -(2 ** 63), 5, 0]), ("<G", "<u8", [2 ** 64 - 1, 1, 0, 3])])
def test_scatters_between_long_double_and_fixed_dtypes(element_path, target, source, values):
    steps = [("construct", [0] * 6, {"dtype": target}), ("construct", values, {"dtype": source}),
             ("setitem", 0, [4, 0, 5, 2], ("ref", 1)), ("getitem", 0, (Ellipsis,)),
             ("setitem", 0, ([True, False] * 3,), ("ref", 1, slice(1, None))), ("getitem", 0, (Ellipsis,))]
    check(element_path, steps)
