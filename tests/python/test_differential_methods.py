"""Reductions, accumulations, segment folds and `where` masks over several
blocks of elements, typed loops against the element-at-a-time path (a child
process with QUARVEL_ELEMENT_PATH=1): every binary ufunc and every dtype, with
NaNs (payloads, both signs), infinities, signed zeros and subnormals at any
position of a block, masks that select a block whole, not at all, every other
element, one element or runs across block boundaries, and segment lists with
repeated, decreasing and last start positions."""
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

import quarvel
from element_path import check
from helpers import UFUNCS
from test_differential import FIXED, RANGES, SPECIAL_FLOATS, dtype_text

BLOCK = 256  # the loops' block of elements
BINARY = [u.__name__ for u in UFUNCS if u.nin == 2 and u.nout == 1]
CODES = FIXED + ["g", "G"]
SUBNORMALS = [5e-324, -2.2250738585072009e-308, 6e-8, -1e-40, 1e-45]
PAYLOADS = [struct.unpack("<d", struct.pack("<Q", bits))[0]
            for bits in (0x7FF8000000000001, 0xFFF8000000000002, 0x7FF4000000000000)]
SPECIALS = SPECIAL_FLOATS + SUBNORMALS + PAYLOADS
DENSITIES = [0.0, 0.002, 0.05, 0.5]
MASKS = ["all", "none", "alternate", "single", "run"]


def element(rng, code, special):
    """One element for `code`: ordinary, or one of the special values."""
    if code == "?":
        return rng.random() < 0.5
    if code in RANGES:
        lo, hi = RANGES[code]
        return rng.choice([lo, hi, 0]) if special else rng.randint(max(lo, -100), min(hi, 100))
    real = rng.choice(SPECIALS) if special else rng.choice([-1, 1]) * rng.uniform(0.5, 2.0) * 2.0 ** rng.randint(-3, 6)
    if code in "FDG" or code[0] == "c":
        other = rng.choice(SPECIALS) if special and rng.random() < 0.5 else rng.uniform(-4.0, 4.0)
        return complex(real, other) if rng.random() < 0.5 else complex(other, real)
    return real


def values(seed, code, n, density):
    rng = random.Random(seed)
    return [element(rng, code, rng.random() < density) for _ in range(n)]


def mask(seed, n, patterns):
    """A mask of n elements, block by block in the given patterns; a run
    starts near the end of its block and goes on into the next."""
    rng, flags, runs = random.Random(seed), [], []
    for start in range(0, n, BLOCK):
        m, pattern = min(BLOCK, n - start), patterns[(start // BLOCK) % len(patterns)]
        if pattern == "alternate":
            flags += [(start + j) % 2 == 0 for j in range(m)]
            continue
        flags += [pattern == "all"] * m
        if pattern == "single":
            flags[start + rng.randrange(m)] = True
        elif pattern == "run":
            runs.append((start + m - rng.randint(1, 40), start + m + rng.randint(0, 40)))
    for begin, end in runs:
        flags[begin:min(end, n)] = [True] * (min(end, n) - begin)
    return flags


def array_step(code, big, data, layout="plain"):
    """An array of `code` from `data` (a list or nested lists), in a layout
    that makes a typed loop read it in place, reversed or every other element."""
    dtype = dtype_text(code, big) if code not in "gG" else code
    if layout == "reversed":
        return ("array", {"values": data, "dtype": dtype, "order": "C", "views": [(Ellipsis, slice(None, None, -1))]})
    if layout == "strided":
        doubled = [x for v in data for x in (v, v)] if not isinstance(data[0], list) else \
            [[x for v in row for x in (v, v)] for row in data]
        return ("array", {"values": doubled, "dtype": dtype, "order": "C", "views": [(Ellipsis, slice(None, None, 2))]})
    return ("array", {"values": data, "dtype": dtype, "order": "C", "views": []})


layouts = st.sampled_from(["plain", "plain", "reversed", "strided"])


def lines_step(draw, code, n, density, seed, row_counts):
    """An array of one line of n elements or of several, and its line count."""
    rows = draw(st.sampled_from(row_counts))
    flat = values(seed, code, rows * n, density)
    nested = flat if rows == 1 else [flat[r * n:(r + 1) * n] for r in range(rows)]
    return array_step(code, draw(st.booleans()), nested, draw(layouts)), rows


def method_case(element_path, draw, steps, name, method, args, kwargs):
    """The method call, sometimes with a dtype of its own, on both paths."""
    if draw(st.integers(0, 4)) == 0:
        kwargs["dtype"] = draw(st.sampled_from(CODES))
    check(element_path, steps + [("ufunc", name, method, args, kwargs)])


lengths = st.sampled_from([BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK + 37, 3 * BLOCK + 200])
seeds = st.integers(0, 2 ** 32)
FOLDS = settings(max_examples=8, deadline=None)  # per ufunc


@pytest.mark.parametrize("name", BINARY)
@FOLDS
@given(st.sampled_from(CODES), lengths, st.sampled_from(DENSITIES), seeds, st.data())
def test_reduce_over_blocks(element_path, name, code, n, density, seed, data):
    draw = data.draw
    step, rows = lines_step(draw, code, n, density, seed, [1, 1, 3])
    steps = [step]
    kwargs = {"axis": draw(st.sampled_from([0, -1, None])) if rows > 1 else draw(st.sampled_from([0, None]))}
    if draw(st.integers(0, 2)) == 0:
        patterns = draw(st.lists(st.sampled_from(MASKS), min_size=1, max_size=4))
        where = mask(seed, rows * n, patterns)
        kwargs["where"] = where if rows == 1 else [where[r * n:(r + 1) * n] for r in range(rows)]
        kwargs["initial"] = draw(st.sampled_from([0, 1, -0.0, float("nan"), 2.5]))
    elif draw(st.booleans()):
        kwargs["initial"] = draw(st.sampled_from([0, 1, -0.0, float("nan"), 2.5]))
    method_case(element_path, draw, steps, name, "reduce", (("ref", 0),), kwargs)


@pytest.mark.parametrize("name", BINARY)
@FOLDS
@given(st.sampled_from(CODES), lengths, st.sampled_from(DENSITIES), seeds, st.data())
def test_accumulate_over_blocks(element_path, name, code, n, density, seed, data):
    draw = data.draw
    step, _ = lines_step(draw, code, n, density, seed, [1, 1, 2])
    steps = [step]
    kwargs = {"axis": draw(st.sampled_from([0, -1]))}
    method_case(element_path, draw, steps, name, "accumulate", (("ref", 0),), kwargs)


@pytest.mark.parametrize("name", BINARY)
@FOLDS
@given(st.sampled_from(CODES), lengths, st.sampled_from(DENSITIES), seeds, st.data())
def test_reduceat_segments(element_path, name, code, n, density, seed, data):
    """Segments long and short, empty (a start not below the next), of one
    element, repeated and decreasing starts, and the last position."""
    draw = data.draw
    step, rows = lines_step(draw, code, n, density, seed, [1, 1, 2])
    steps = [step]
    rng = random.Random(seed)
    kind = draw(st.sampled_from(["tens", "sorted", "any", "edges"]))
    if kind == "tens":
        indices = list(range(0, n, 10))
    elif kind == "sorted":
        indices = sorted(rng.randrange(n) for _ in range(rng.randint(1, 40)))
    elif kind == "any":
        indices = [rng.randrange(n) for _ in range(rng.randint(1, 40))]
    else:
        indices = [0, n - 1, n - 1, 5, 4, 4, n - 1, 0, BLOCK, BLOCK - 1, n - 2]
    axis = -1 if rows == 1 or draw(st.booleans()) else 0
    if axis == 0:
        indices = [i % rows for i in indices]
    kwargs = {"axis": axis}
    method_case(element_path, draw, steps, name, "reduceat", (("ref", 0), indices), kwargs)


@pytest.mark.parametrize("name", [u.__name__ for u in UFUNCS])
@settings(max_examples=4, deadline=None)
@given(st.sampled_from(CODES), lengths, st.sampled_from(DENSITIES), seeds, st.data())
def test_where_over_blocks(element_path, name, code, n, density, seed, data):
    """Calls writing only where the mask selects, into an output of their own
    dtype or another; inputs in place, reversed or every other element, or a
    broadcast number."""
    draw = data.draw
    ufunc = getattr(quarvel, name)
    steps = [array_step(code, draw(st.booleans()), values(seed, code, n, density), draw(layouts))]
    args = [("ref", 0)]
    if ufunc.nin == 2:
        if draw(st.booleans()):
            second = draw(st.sampled_from(CODES))
            steps.append(array_step(second, draw(st.booleans()), values(seed + 1, second, n, density), draw(layouts)))
            args.append(("ref", 1))
        else:
            args.append(draw(st.sampled_from([0, 1, -1.5, 2, float("nan"), True])))
    outs = []
    for _ in range(ufunc.nout):
        out_code = draw(st.sampled_from(CODES))
        steps.append(array_step(out_code, draw(st.booleans()), values(seed + 2, out_code, n, 0.0), draw(layouts)))
        outs.append(("ref", len(steps) - 1))
    patterns = draw(st.lists(st.sampled_from(MASKS), min_size=1, max_size=4))
    kwargs = {"where": mask(seed, n, patterns), "out": tuple(outs), "casting": "unsafe"}
    steps.append(("ufunc", name, "call", tuple(args), kwargs))
    check(element_path, steps)


@pytest.mark.parametrize("n", [3, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK])
@pytest.mark.parametrize("scalar_first", [False, True])
def test_where_with_a_broadcast_number_around_a_block(n, scalar_first):
    """A broadcast number beside a masked array, in runs shorter than, equal
    to and longer than one block, every block partly selected."""
    x = [float(i) + 0.25 for i in range(n)]
    selected = [i % 3 != 1 for i in range(n)]
    out = quarvel.array([-7.0] * n)
    operands = (7.5, quarvel.array(x)) if scalar_first else (quarvel.array(x), 7.5)
    quarvel.subtract(*operands, where=quarvel.array(selected), out=out)
    expected = [((7.5 - v) if scalar_first else (v - 7.5)) if s else -7.0 for v, s in zip(x, selected)]
    assert [float(out[i]) for i in range(n)] == expected
