"""NaNs carried through reductions, accumulations and segments, and the NaN
results of the long double loops, against the element path: which NaN a
result keeps where NaNs of either sign (or with a payload) meet each other,
infinities and zeros, and every fault reported as the element path reports it.
NaNs sit at the first and last elements, on both sides of a block boundary
(blocks are 256 elements) and after a subnormal running value."""
import math
import struct

import pytest

import quarvel as q
from element_path import check

N = 520  # two blocks and a tail
NAN, INF = math.nan, math.inf
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8DEADBEEF0000))[0]
FLOATS = ["float16", "float32", "float64", "float128"]
COMPLEXES = ["complex64", "complex128", "complex256"]
FOLDS = ["add", "subtract", "multiply", "divide", "maximum", "minimum", "fmax", "fmin", "power", "hypot",
         "arctan2", "logaddexp"]
# Positions and the NaNs placed there, one array each.
PLACEMENTS = [
    {0: NAN},
    {N - 1: NEG_NAN},
    {255: NEG_NAN, 256: NAN},
    {256: PAYLOAD, 300: INF},
    {3: NAN, 100: NEG_NAN, 257: NAN, 511: NEG_NAN},
    {5: 0.0, 6: NEG_NAN, 7: -INF, 400: NAN},
]
SEGMENTS = [0, 3, 255, 256, 257, 300, 511, 512, N - 1]


def near_one(i):
    return 1.0 + ((i % 7) - 3) / 64


def placed(dtype, placement, imaginary_nan):
    out = [near_one(i) for i in range(N)]
    if dtype.startswith("complex"):
        out = [complex(v, ((i % 5) - 2) / 64) for i, v in enumerate(out)]
    for position, value in placement.items():
        if dtype.startswith("complex") and imaginary_nan and value != value:
            # NaN in the imaginary part, or in both
            out[position] = complex(1.0, value) if position % 2 else complex(value, value)
        else:
            out[position] = value
    return out


def fold_steps(name, dtype):
    steps = []
    for k, placement in enumerate(PLACEMENTS):
        steps.append(("array", {"values": placed(dtype, placement, k % 2 == 1), "dtype": dtype, "order": "C",
                                "views": []}))
        at = ("ref", len(steps) - 1)
        steps.append(("ufunc", name, "reduce", (at,), {}))
        steps.append(("ufunc", name, "reduce", (at + ((slice(None, None, -1),),),), {}))
        steps.append(("ufunc", name, "accumulate", (at,), {}))
        steps.append(("ufunc", name, "reduceat", (at, SEGMENTS), {}))
        steps.append(("reshape", at[1], (20, 26), "C"))
        steps.append(("ufunc", name, "reduce", (("ref", len(steps) - 1),), {"axis": 0}))
    return steps


def has_loop(name, dtype):
    try:
        with q.errstate(all="ignore"):
            getattr(q, name).reduce(q.array([1.0, 2.0], dtype=dtype))
        return True
    except (TypeError, ValueError):  # no loop for the dtype
        return False


@pytest.mark.parametrize("dtype", FLOATS + COMPLEXES)
@pytest.mark.parametrize("name", FOLDS)
def test_folds_carrying_nan(element_path, name, dtype):
    if not has_loop(name, dtype):
        pytest.skip("no loop")
    check(element_path, fold_steps(name, dtype))


# Operand pairs where NaNs meet NaNs of the other sign, infinities and zeros.
REAL_PAIRS = [(NAN, NEG_NAN), (NEG_NAN, NAN), (NAN, NAN), (NEG_NAN, NEG_NAN), (PAYLOAD, NEG_NAN), (NAN, 1.5),
              (1.5, NEG_NAN), (INF, -INF), (0.0, 0.0), (-0.0, INF), (INF, NEG_NAN), (NEG_NAN, 0.0), (1.0, 0.0),
              (0.0, NAN), (-2.0, 0.5)]
COMPLEX_PARTS = [NAN, NEG_NAN, INF, -INF, 0.0, -0.0, 1.5]


def complex_pairs():
    parts = COMPLEX_PARTS
    values = [complex(a, b) for a in parts for b in parts]
    return [(values[i], values[(i * 11 + 5) % len(values)]) for i in range(len(values))]


ELEMENTWISE = ["add", "subtract", "multiply", "divide", "maximum", "minimum", "fmax", "fmin", "square",
               "negative", "reciprocal", "sqrt", "log", "log2", "log10", "absolute", "power"]


@pytest.mark.parametrize("dtype", ["float128", "complex256"])
@pytest.mark.parametrize("name", ELEMENTWISE)
def test_long_double_nan_results(element_path, name, dtype):
    pairs = REAL_PAIRS if dtype == "float128" else complex_pairs()
    # Each pair at the start, the middle and the end of an array, as an element and as a running value.
    xs = [p[0] for p in pairs] * 3
    ys = [p[1] for p in pairs] * 3
    steps = [("array", {"values": xs, "dtype": dtype, "order": "C", "views": []}),
             ("array", {"values": ys, "dtype": dtype, "order": "C", "views": []})]
    ufunc = getattr(q, name)
    if ufunc.nin == 1:
        steps.append(("ufunc", name, "call", (("ref", 0),), {}))
        steps.append(("ufunc", name, "call", (("ref", 1),), {}))
    else:
        steps.append(("ufunc", name, "call", (("ref", 0), ("ref", 1)), {}))
        steps.append(("ufunc", name, "call", (("ref", 1), ("ref", 0)), {}))
        for k in range(len(pairs)):
            # A running value meeting an element: a two-element fold.
            steps.append(("array", {"values": list(pairs[k]), "dtype": dtype, "order": "C", "views": []}))
            steps.append(("ufunc", name, "reduce", (("ref", len(steps) - 1),), {}))
    check(element_path, steps)


@pytest.mark.parametrize("dtype,tiny", [("complex64", 1e-40), ("complex128", 1e-310)])
@pytest.mark.parametrize("method", ["reduce", "accumulate"])
def test_a_subnormal_part_beside_a_carried_nan_underflows(dtype, tiny, method):
    # The real part carries the NaN; the imaginary part sums to a subnormal.
    values = [complex(NAN, 0.0)] + [complex(1.0, 0.0)] * 300 + [complex(0.0, tiny)] + [complex(2.0, 0.0)] * 3
    a = q.array(values, dtype=dtype)
    with q.errstate(under="raise", invalid="raise"):
        with pytest.raises(FloatingPointError, match="underflow"):
            getattr(q.add, method)(a)
    with q.errstate(all="raise"):
        # Without the subnormal part no step faults.
        getattr(q.add, method)(q.array(values[:300], dtype=dtype))


@pytest.mark.parametrize("name", ["log", "log2", "log10"])
@pytest.mark.parametrize("zero", [0.0, -0.0])
def test_long_double_logarithm_of_zero(name, zero):
    a = q.array([2.0, zero, 4.0], dtype="float128")
    with q.errstate(divide="ignore"):
        result = getattr(q, name)(a)
    assert float(result[1]) == -math.inf
    assert float(result[2]) == pytest.approx({"log": math.log(4), "log2": 2.0, "log10": math.log10(4)}[name])
    with q.errstate(divide="raise"):
        with pytest.raises(FloatingPointError, match="divide by zero"):
            getattr(q, name)(a)


# Complex parts beyond a double's range: 1.5 * 2^e. Below 2^8000 no partial
# product of two overflows; 2^8192 squared does.
HUGE_EXPONENTS = [None, 7999, 8000, 8192, 16000]
NAN_BASES = [complex(NAN, 0.0), complex(NEG_NAN, 1.5), complex(0.0, NAN), complex(-2.0, NEG_NAN), complex(NAN, NAN),
             complex(NEG_NAN, NEG_NAN), complex(NAN, NEG_NAN), complex(INF, NAN), complex(NAN, -INF),
             complex(PAYLOAD, 0.0), complex(1.5, 0.0), complex(0.0, -0.0)]


def extended_operands():
    """(base, exponent of a part added to the base's real part, then to its imaginary part)."""
    return [(base, e, None) for base in NAN_BASES for e in HUGE_EXPONENTS] + \
        [(base, None, e) for base in NAN_BASES for e in HUGE_EXPONENTS[1:]]


def complex256_steps(steps, specs):
    """Steps making a complex256 array of specs (base, real exponent, imaginary
    exponent): the base plus a part of 1.5 * 2^e where an exponent is given.
    Its reference."""
    def made(step):
        steps.append(step)
        return ("ref", len(steps) - 1)

    def array(values, dtype):
        return made(("array", {"values": values, "dtype": dtype, "order": "C", "views": []}))

    def part(k):
        scaled = made(("ufunc", "ldexp", "call", (array([0.0 if s[k] is None else 1.5 for s in specs], "float128"),
                                                  array([s[k] or 0 for s in specs], "int32")), {}))
        return made(("astype", scaled[1], "complex256", "C"))

    imaginary = made(("ufunc", "multiply", "call", (part(2), array([1j] * len(specs), "complex256")), {}))
    real = made(("ufunc", "add", "call", (array([s[0] for s in specs], "complex256"), part(1)), {}))
    return made(("ufunc", "add", "call", (real, imaginary), {}))


def test_complex256_products_of_nan_parts(element_path):
    # Pairs whose formula gives two NaN parts, or may: infinite and huge parts
    # beside NaNs of either sign, where the runtime's product differs. Each
    # pair of operands with parts of one size, in both orders.
    specs = extended_operands()
    size = [max(e or 0 for e in spec[1:]) for spec in specs]
    pairs = [(a, b) for i, a in enumerate(specs) for j, b in enumerate(specs) if i <= j and size[i] == size[j]]
    steps = []
    x, y = complex256_steps(steps, [p[0] for p in pairs]), complex256_steps(steps, [p[1] for p in pairs])
    steps.append(("ufunc", "multiply", "call", (x, y), {}))
    steps.append(("operator", "mul", (y, x)))
    check(element_path, steps)


@pytest.mark.parametrize("running", [complex(NAN, NAN), complex(NEG_NAN, NEG_NAN), complex(NAN, NEG_NAN),
                                     complex(NAN, 0.0), complex(1.5, NEG_NAN)])
def test_complex256_product_folds_carrying_nan_pairs(element_path, running):
    # A running NaN pair meets each operand after a run of finite ones, at the
    # first and last steps and in the middle of the fold: a row each.
    specs = extended_operands()
    nan, before, after = (running, None, None), [(complex(1.0, 0.5), None, None)] * 3, [(complex(-2.0, 1.0), None, None)] * 2
    steps = []
    for layout in ([nan, None], before + [nan] + before + [None] + after, [None, nan] + after):
        rows = [[spec if element is None else element for element in layout] for spec in specs]
        at = complex256_steps(steps, [element for row in rows for element in row])
        steps.append(("reshape", at[1], (len(rows), len(layout)), "C"))
        steps.append(("ufunc", "multiply", "reduce", (("ref", len(steps) - 1),), {"axis": 1}))
        steps.append(("ufunc", "multiply", "accumulate", (("ref", len(steps) - 2),), {"axis": 1}))
    check(element_path, steps)


@pytest.mark.parametrize("name", ["maximum", "minimum", "fmax", "fmin"])
def test_complex256_extreme_folds_carrying_nan_parts(element_path, name):
    # A running value with a NaN part beside a zero, normal or subnormal part
    # (2^-16400 is subnormal in long double), then finite, infinite and NaN
    # elements of either sign: a row each, the NaN first, inside and last.
    carried = [(complex(NAN, 0.0), None, None), (complex(NEG_NAN, 0.0), None, -16400),
               (complex(0.0, NEG_NAN), -16400, None), (complex(1.5, NAN), None, None), (complex(NAN, NEG_NAN), None, None)]
    followers = [(complex(2.0, -1.0), None, None), (complex(-INF, 0.0), None, None), (complex(NEG_NAN, 1.0), None, None),
                 (complex(0.0, 0.0), None, -16400), (complex(1.0, 0.0), 8000, None)]
    rows = [[nan] + followers for nan in carried] + [followers[:1] + [nan] + followers[1:] for nan in carried] + \
           [followers + [nan] for nan in carried]
    steps = []
    at = complex256_steps(steps, [element for row in rows for element in row])
    steps.append(("reshape", at[1], (len(rows), len(rows[0])), "C"))
    table = len(steps) - 1
    steps.append(("ufunc", name, "accumulate", (("ref", table),), {"axis": 1}))
    for k in range(len(rows)):
        # A call each: the faults of one row's steps alone.
        steps.append(("ufunc", name, "reduce", (("ref", table, k),), {}))
    check(element_path, steps)


# Beside a NaN carried in one part of a running value, the other part's steps
# underflow, overflow and meet infinities of the other sign, each at a block's
# first and last steps (blocks are 256 elements) and inside one.
CARRIED_PART_EVENTS = {
    "complex64": [1e-40, -1e-40, 3e38, INF, -INF, 0.0],
    "complex128": [1e-310, -1e-310, 1.7e308, INF, -INF, 0.0],
}


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
@pytest.mark.parametrize("name", ["add", "subtract", "multiply", "maximum", "fmax"])
@pytest.mark.parametrize("imaginary_nan", [False, True])
def test_other_part_beside_a_carried_nan_part(element_path, dtype, name, imaginary_nan):
    steps = []
    for event in CARRIED_PART_EVENTS[dtype]:
        for position in (1, 255, 256, 300, 511):
            values = [complex(1.0, 0.0)] * N
            values[0] = complex(1.0, NAN) if imaginary_nan else complex(NAN, 0.0)
            values[position] = complex(event, 0.0) if imaginary_nan else complex(0.0, event)
            values[position + 1] = values[position]
            steps.append(("array", {"values": values, "dtype": dtype, "order": "C", "views": []}))
            at = ("ref", len(steps) - 1)
            steps.append(("ufunc", name, "reduce", (at,), {}))
            steps.append(("ufunc", name, "accumulate", (at,), {}))
    check(element_path, steps)
