"""Every ufunc on every loop it lists against oracles: integers by Python int arithmetic
wrapped to the output width; floats that IEEE arithmetic fixes by `fractions` rounded to
the format, bit for bit; what the C library decides within a stated ulp bound of mpmath;
complex results part by part, for infinite or NaN inputs the classes of cmath's parts."""
import cmath
import functools
import itertools
import math
import operator
from collections import namedtuple
from fractions import Fraction

import mpmath
import pytest

import quarvel as q
from helpers import UFUNCS

# ---- formats and exact values ----------------------------------------------------------
# A real is a Fraction when finite and nonzero, else a float (a signed zero, an infinity,
# NaN); a complex value is a C of two reals. A format: precision p and the exponents of
# the smallest and the largest normal binade.
FORMATS = {"e": (11, -14, 15), "f": (24, -126, 127), "d": (53, -1022, 1023), "g": (64, -16382, 16383)}
PART = {"F": "f", "D": "d", "G": "g"}
WIDTH = {"?": 1, "b": -8, "B": 8, "h": -16, "H": 16, "i": -32, "I": 32, "l": -64, "L": 64, "q": -64, "Q": 64}
INF, NAN = math.inf, math.nan
C = namedtuple("C", "re im")
# Expected values that are not plain numbers: a part's class; inputs outside a loop's domain.
FINITE, INFINITE, NAN_PART, INF_PART, SKIP = (object() for _ in range(5))
# A value held in units in the last place of max(|value|, size), per unit of scale.
Norm = namedtuple("Norm", "value size scale")
PREC = 256  # bits of the mpmath oracles


def finite(x):
    return isinstance(x, Fraction)


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)


def is_inf(x):
    return isinstance(x, float) and math.isinf(x)


def signbit(x):
    return x < 0 if finite(x) else math.copysign(1.0, x) < 0


def signed(x, negative):
    return -x if negative else x


def pow2(k):
    return Fraction(1 << k) if k >= 0 else Fraction(1, 1 << -k)


def log2_floor(x):
    num, den = abs(x.numerator), x.denominator
    e = num.bit_length() - den.bit_length()
    return e if (num >= den << e if e >= 0 else num << -e >= den) else e - 1


def ulp_exponent(x, fmt):
    p, emin, _ = FORMATS[fmt]
    return max(log2_floor(x) if x else emin, emin) - p + 1


def real(x):
    """A float or mpf as an exact real; an mpf past 2^+-20000, beyond every format, as that power."""
    if isinstance(x, mpmath.mpf):
        if not mpmath.isfinite(x) or not x:
            return float(x)
        sign, man, exp, bc = x._mpf_
        if abs(exp + bc) > 20000:
            man, exp = 1, 20000 if exp > 0 else -20000
        return pow2(exp) * signed(man, sign)
    return x if finite(x) or not math.isfinite(x) or not x else Fraction(x)


def round_to(x, fmt):
    """x rounded to nearest, ties to even, in the format, subnormals and overflow included."""
    x = real(x)
    if not finite(x):
        return x
    k = ulp_exponent(x, fmt)
    num, den = abs(x.numerator), x.denominator << max(k, 0)
    n, r = divmod(num << max(-k, 0), den)
    n += 2 * r > den or 2 * r == den and n & 1
    if n.bit_length() + k > FORMATS[fmt][2] + 1:
        return signed(INF, x < 0)
    return pow2(k) * signed(n, x < 0) if n else signed(0.0, x < 0)


def largest(fmt):
    p, _, emax = FORMATS[fmt]
    return (2 - pow2(1 - p)) * pow2(emax)


def to_mpf(x):
    """Exact at the working precision of the oracles."""
    return mpmath.mpf((x.numerator, 1 - x.denominator.bit_length())) if finite(x) else mpmath.mpf(x)


def long_double(text):
    """A value from its 21 significant digits, which name one extended value."""
    if text.endswith("nan"):
        return NAN
    with mpmath.workprec(64):
        x = round_to(mpmath.mpf(text), "g")
    return signed(0.0, text.startswith("-")) if x == 0 else x


def wrap(value, code):
    if code == "?":
        return bool(value)
    bits = abs(WIDTH[code])
    value &= (1 << bits) - 1
    return value - (1 << bits) if WIDTH[code] < 0 and value >> (bits - 1) else value


def read(scalar, code):
    if code in WIDTH:
        return scalar.item()
    if code == "g":
        return long_double(str(scalar))
    if code == "G":
        return C(long_double(str(scalar.real)), long_double(str(scalar.imag)))
    z = complex(scalar.item())
    return C(real(z.real), real(z.imag)) if code in PART else real(z.real)


def make_array(values, indices, code):
    """The values picked by indices as an array; extended-only values as n * 2^e."""
    plain = [complex(float(x.re), float(x.im)) if isinstance(x, C) else
             (float(x) if abs(x) < 2 ** 1024 else 0.0) if finite(x) else x for x in values]
    array = q.array([plain[i] for i in indices], dtype=code)
    for j, x in enumerate(values):
        if code == "g" and finite(x) and Fraction(plain[j]) != x:
            n, e = x.numerator, 1 - x.denominator.bit_length()
            if e == 0:
                e = (n & -n).bit_length() - 1
                n >>= e
            mantissa = q.array([abs(n)], dtype="Q").astype("g") * (-1 if n < 0 else 1)
            value = q.ldexp(mantissa, q.array([e], dtype="i"))[0]
            for k in (k for k, i in enumerate(indices) if i == j):
                array[k] = value
    return array


# ---- value sets ------------------------------------------------------------------------

def unique(values):
    values = list(values)
    seen, keys = set(), [repr(x) if isinstance(x, float) else x for x in values]
    return [x for x, key in zip(values, keys) if not (key in seen or seen.add(key))]


def float_values(fmt, binary):
    p, emin, emax = FORMATS[fmt]
    eps, tiny = pow2(1 - p), pow2(emin - p + 1)
    edge = int(math.log(2) * (emax + 1))  # e^x overflows between edge and edge + 1
    ends = [largest(fmt), pow2(emin), tiny]
    if binary:
        mags = [1, Fraction(1, 2), Fraction(5, 2), 3, Fraction(1, 10), 1 + eps, edge + 1, *ends]
        # scaled by 2^(emin - 8), its last 9 bits would round to a tie if they were rounded twice
        extra = [Fraction(1, 2) + pow2(9 - p) + sum(pow2(-i) for i in range(p - 7, p + 1))]
    else:
        mags = [1, Fraction(1, 2), Fraction(3, 2), Fraction(5, 2), 3, 7, Fraction(1, 10), Fraction(1, 3),
                Fraction(3, 4), 10, 100, 10000, pow2(-10), pow2(-30), 1 - eps / 2, 1 + eps, 20, 30, edge,
                edge + 1, emax + 1, emin - p, Fraction(math.pi / 2), Fraction(math.pi), *ends, pow2(emin) - tiny]
        extra = []
    return unique([0.0, -0.0, INF, -INF, NAN] + [round_to(s * Fraction(m), fmt) for m in mags for s in (1, -1)]
                  + extra)


def int_values(code):
    if code == "?":
        return [False, True]
    bits = abs(WIDTH[code])
    lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if WIDTH[code] < 0 else (0, (1 << bits) - 1)
    # shift counts about the width; ldexp exponents past each float format's range and
    # just below its normal numbers
    picks = [0, 1, -1, 2, -2, 3, -7, 100, -100, 1100, -1100, 20000, -20000, bits - 1, bits, bits + 1,
             lo, lo + 1, hi, hi - 1, hi // 3, *(emin - 8 for _, emin, _ in FORMATS.values())]
    return unique(v for v in picks if lo <= v <= hi)


COMPLEX_PARTS = ([0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 3.0, 2.0 ** -20, 20.0, -30.0, 1000.0],
                 [0.0, -0.0, 1.0, -2.5, 0.5])
COMPLEX_SPECIAL = [(INF, 0.0), (NAN, 1.0), (0.0, INF), (-1.0, -INF), (NAN, 0.0), (0.5, NAN), (INF, INF),
                   (-INF, NAN), (NAN, NAN), (INF, -2.5), (-INF, 1.0)]


@functools.lru_cache(maxsize=None)
def values(code, binary):
    if code in WIDTH:
        return int_values(code)
    if code in FORMATS:
        return float_values(code, binary)
    parts = COMPLEX_PARTS[binary]
    pairs = list(itertools.product(parts, parts)) + COMPLEX_SPECIAL[:2 if binary else None]
    return [C(real(a), real(b)) for a, b in pairs]


# ---- real oracles ----------------------------------------------------------------------
# An oracle takes the loop's first output character and the exact inputs; it gives exact
# results (int, real, C), mpf values the C library rounds, Norm, a part class, or SKIP.

def div(a, b):
    try:
        return a / b
    except ZeroDivisionError:
        return NAN if a == 0 or is_nan(a) else signed(INF, signbit(a) != signbit(b))


def ieee(fn):
    """fn exact on finite inputs with a nonzero result; zeros, infinities and NaN from fn
    on doubles standing in for the operands (+-1.5 for a finite nonzero one)."""
    def oracle(o, *xs):
        if not any(map(is_inf, xs)) and not any(map(is_nan, xs)):
            r = fn(*map(Fraction, xs))
            if finite(r) and r:
                return r
        return fn(*(signed(1.5, x < 0) if finite(x) else x for x in xs))
    return oracle


def rounding(fn):
    return lambda o, x: Fraction(fn(x)) or signed(0.0, x < 0) if finite(x) else x


def step(x, fmt, away):
    """The neighbour of the finite x in the format, away from or toward zero."""
    p, emin, emax = FORMATS[fmt]
    if x == 0:
        return pow2(emin - p + 1) if away else x
    k = ulp_exponent(x, fmt)
    k -= not away and abs(x) == pow2(k + p - 1) and k + p - 1 > emin
    r = abs(x) + (1 if away else -1) * pow2(k)
    return signed(INF if r >= pow2(emax + 1) else r or 0.0, signbit(x))


def nextafter(o, a, b):
    if is_nan(a) or is_nan(b):
        return NAN
    if a == b:
        return b
    if a == 0:
        return signed(step(a, o, True), signbit(b))
    return signed(largest(o), a < 0) if is_inf(a) else step(a, o, (b > a) == (a > 0))


def spacing(o, x):
    if not finite(x) and x != 0:
        return NAN
    r = signed(step(x, o, True), o == "g" and signbit(x) and x == 0)  # extended: -0 looks down
    return r - Fraction(x) if finite(r) else r


def frexp(o, x):
    return (x / pow2(log2_floor(x) + 1), log2_floor(x) + 1) if finite(x) else (x, 0)


def modf(o, x):
    zero = signed(0.0, signbit(x))
    if not finite(x):
        return (x, x) if is_nan(x) else (zero, x)
    return x - math.trunc(x) or zero, Fraction(math.trunc(x)) or zero


def floor_divide(o, a, b):
    if is_nan(a) or is_nan(b) or a == b == 0 or is_inf(a) and b != 0:
        return NAN
    if b == 0:
        return signed(INF, signbit(a) != signbit(b))
    negative = signbit(a) != signbit(b)
    if is_inf(b):
        return Fraction(-1) if negative and a != 0 else signed(0.0, negative)
    return Fraction(math.floor(Fraction(a) / b)) or signed(0.0, negative)


def remainder(o, a, b, floored=True):
    if is_nan(a) or is_nan(b) or is_inf(a) or b == 0:
        return NAN
    if is_inf(b):
        if floored and a != 0 and signbit(a) != signbit(b):
            return b
        return signed(0.0, signbit(b)) if floored and a == 0 else a
    r = Fraction(a) - b * (math.floor if floored else math.trunc)(Fraction(a) / b)
    return r or signed(0.0, signbit(b if floored else a))


def mp(fn, odd0=False):
    """A function the C library rounds, by mpmath; a complex value of a real function is
    NaN. With odd0, f(+-0) is that zero."""
    def oracle(o, *xs):
        if odd0 and xs[0] == 0:
            return xs[0]
        with mpmath.workprec(PREC):
            r = fn(*map(to_mpf, xs))
            return (r.real if not r.imag else NAN) if isinstance(r, mpmath.mpc) else mpmath.mpf(r)
    return oracle


def power(o, x, y):
    """C99 annex F: the values of pow fixed whatever the rounding; mpmath for the rest."""
    odd = finite(y) and y.denominator == 1 and y.numerator % 2 == 1
    if y == 0 or x == 1:
        return Fraction(1)
    if is_nan(x) or is_nan(y):
        return NAN
    if x == 0:
        return (signed(INF, odd and signbit(x)) if y < 0 else x if odd else 0.0)
    if x == -1 and not (finite(y) and y.denominator > 1):
        return Fraction(-1 if odd else 1)
    if is_inf(y):
        return INF if (abs(x) < 1) == (y < 0) else 0.0
    if is_inf(x):
        return signed(INF if y > 0 else 0.0, x < 0 and odd)
    if x < 0 and y.denominator > 1:
        return NAN
    with mpmath.workprec(128):  # far past every format's range only the sign matters
        scale = to_mpf(y) * mpmath.log(abs(to_mpf(x)), 2)
    if abs(scale) > 40000:
        return mpmath.mpf((-1 if x < 0 and odd else 1, 40000 if scale > 0 else -40000))
    return mp(mpmath.power)(o, x, y)


def atan2(o, y, x):
    if is_nan(y) or is_nan(x):
        return NAN
    negative = signbit(y)
    if y == 0:  # +-0, or +-pi from the left
        return mp(lambda: signed(mpmath.pi, negative))(o) if signbit(x) else signed(0.0, negative)
    if is_inf(y) and is_inf(x):
        y, x = Fraction(signed(1, negative)), Fraction(signed(1, x < 0))
    return mp(mpmath.atan2)(o, y, x)


def logaddexp(base):
    def oracle(o, a, b):
        if is_nan(a) or is_nan(b):
            return NAN
        if INF in (a, b):
            return INF
        if -INF in (a, b):  # the other operand, a zero as +0
            return (b if a == -INF else a) or 0.0
        with mpmath.workprec(PREC):
            if abs(Fraction(a) - Fraction(b)) > 2 ** 20:  # the smaller term is below every resolution
                return to_mpf(max(map(Fraction, (a, b))))
            w = mp(lambda u, v: max(u, v) + mpmath.log1p(mpmath.power(base, -abs(u - v))) / mpmath.log(base))
            # the sum with the larger operand cancels near zero: held in its units
            return Norm(w(o, a, b), max(abs(a), abs(b)), 1)
    return oracle


def extremum(larger, propagate):
    def oracle(o, a, b):
        nan_a, nan_b = (any(map(is_nan, x)) if isinstance(x, C) else is_nan(x) for x in (a, b))
        if nan_a or nan_b:
            return (a if nan_a else b) if propagate else (a if nan_b else b)
        if not isinstance(a, C) and a == b == 0:
            # two zeros: the second operand; in the extended routine the first for maximum
            # and minimum, and for fmax and fmin whichever the C library gives
            return (a if propagate else mpmath.mpf(0)) if o == "g" else b if propagate else a
        ka, kb = (tuple(a), tuple(b)) if isinstance(a, C) else (a, b)
        return b if (ka < kb if larger else ka > kb) else a
    return oracle


def truth(x):
    return any(v != 0 for v in x) if isinstance(x, C) else x != 0


def order(a, b):
    ta, tb = (tuple(a), tuple(b)) if isinstance(a, C) else ((a,), (b,))
    return None if any(map(is_nan, ta + tb)) else (ta > tb) - (ta < tb)


# ---- complex oracles -------------------------------------------------------------------

def nonfinite(z):
    return any(map(is_inf, z)) or any(map(is_nan, z))


def to_mpc(z, nudge=0):
    """z as an mpc; a zero part moved by nudge toward its sign, the side of a cut it names."""
    return mpmath.mpc(*(signed(nudge, signbit(v)) if v == 0 else to_mpf(v) for v in z))


def annex_g(special, zs):
    """The classes of the parts of the cmath value (an invalid case: some part NaN). Beside
    a NaN input an infinity has no fixed sign."""
    try:
        w = special(*(complex(float(z.re), float(z.im)) for z in zs))
    except ValueError:
        return NAN_PART
    except OverflowError:
        return INF_PART
    signs = not any(map(is_nan, sum(zs, ())))
    classes = [FINITE if math.isfinite(v) else v if signs or math.isnan(v) else INFINITE
               for v in ((w.real, w.imag) if isinstance(w, complex) else (w,))]
    return C(*classes) if isinstance(w, complex) else classes[0]


def cmplx(fn, special=None, norm=None):
    """A complex function by mpmath. On a branch cut a part takes the limit from the side
    a signed zero names (where the value there and at a point nudged that way part); at a
    pole only the infinite parts are held exact. Infinite or NaN inputs: annex G classes
    from `special`, or SKIP where the ufunc's own formula decides. With `norm`, the value is
    held relative to its magnitude per unit of norm(inputs): rounding w in exp(w) moves
    every part by |w| ulps of the whole, and a part that cancels is only as good."""
    def oracle(o, *zs):
        if any(map(nonfinite, zs)):
            return SKIP if special is None else annex_g(special, zs)
        with mpmath.workprec(PREC):
            w = fn(*map(to_mpc, zs))
            if o not in PART:
                return w
            w = mpmath.mpc(w)
            if mpmath.isinf(w.real) or mpmath.isinf(w.imag):
                return C(*(float(v) if mpmath.isinf(v) else FINITE for v in (w.real, w.imag)))
            side = mpmath.mpc(fn(*(to_mpc(z, mpmath.mpf((1, -PREC // 2))) for z in zs))) if 0 in sum(zs, ()) else w
            jump = mpmath.mpf((1, -32)) * max(abs(w), 1)
            w = C(*(b if abs(a - b) > jump else a for a, b in ((w.real, side.real), (w.imag, side.imag))))
            return Norm(w, 0, max(1, abs(norm(*map(to_mpc, zs))))) if norm else w
    return oracle


def arcsinh(o, z):
    # In single and double precision a zero real part carries no sign on the cut beyond
    # +-i: it takes the side reached counter-clockwise (right above +i, left below -i).
    if o != "G" and z.re == 0 and finite(z.im) and abs(z.im) > 1:
        z = C(signed(0.0, z.im < 0), z.im)
    return cmplx(mpmath.asinh, cmath.asinh)(o, z)


def complex_divide(o, a, b):
    if b.re == b.im == 0:  # a zero or NaN part gives NaN, any other a signed infinity
        return C(*(NAN if v == 0 or is_nan(v) else signed(INF, signbit(v)) for v in a))
    if o != "G" and (nonfinite(a) or nonfinite(b)):  # the unscaled formula: only inf, NaN and zeros come out
        ar, ai, br, bi = (float(v) for v in (*a, *b))
        d = br * br + bi * bi
        return C(*(real(div(n, d)) for n in (ar * br + ai * bi, ai * br - ar * bi)))
    return cmplx(operator.truediv)(o, a, b)


def complex_power(o, a, b):
    if b.re == b.im == 0:
        return C(Fraction(1), 0.0)
    if a.re == a.im == 0 and not nonfinite(b):
        return C(NAN, NAN) if b.re <= 0 else C(mpmath.mpf(0), mpmath.mpf(0))
    return cmplx(mpmath.power, norm=lambda u, v: v * mpmath.log(u))(o, a, b)


def complex_sign(o, z):
    infinite = [is_inf(v) for v in z]
    if all(infinite) or not any(infinite) and any(map(is_nan, z)):
        return C(NAN, NAN)
    if any(infinite):  # the unit along the infinite part, whatever the other
        return C(*(Fraction(signed(1, signbit(v))) if inf else 0.0 for v, inf in zip(z, infinite)))
    return C(0.0, 0.0) if z.re == z.im == 0 else cmplx(lambda w: w / abs(w))(o, z)


def parts(fn):
    return lambda o, *zs: C(*(fn(PART[o], *vs) for vs in zip(*zs)))


def scaled(f, k):
    return lambda z: (lambda w: complex(w.real * k, w.imag * k))(f(z))


# ---- the oracle table ------------------------------------------------------------------

def each(fn):
    return dict(i=fn, r=fn, c=fn)


def ident(o, x):
    return x


def either(test):
    return each(lambda o, x: any(map(test, x)) if isinstance(x, C) else test(x))


def int_shift(left):
    def oracle(o, a, b):
        if b < 0 or b >= abs(WIDTH[o]):
            return 0 if left or a >= 0 else -1
        return a << b if left else a >> b
    return oracle


COMPARISONS = {"equal": {0}, "not_equal": {-1, 1, None}, "less": {-1}, "less_equal": {-1, 0}, "greater": {1},
               "greater_equal": {0, 1}}
LOGICAL = {"logical_and": operator.and_, "logical_or": operator.or_, "logical_xor": operator.xor}
EXTREMA = {"maximum": (True, True), "minimum": (False, True), "fmax": (True, False), "fmin": (False, False)}
LN2 = math.log(2)
# name: mpmath function, whether f(+-0) is that zero, the annex G value. Where cmath gives
# NaN for a part that is the same whatever the value of an infinite or NaN part, the ufuncs
# keep the part: 0 in tan(+-inf + 0i) and tan(NaN + 0i), 0 in tanh(+-0 + inf i) and
# tanh(+-0 + NaN i), pi/2 in acosh(+-0 + NaN i).
TRANSCENDENTAL = {
    "sin": (mpmath.sin, True, cmath.sin), "cos": (mpmath.cos, False, cmath.cos),
    "tan": (mpmath.tan, True, lambda z: complex(NAN, z.imag) if z.imag == 0 and not math.isfinite(z.real)
            else cmath.tan(z)),
    "sinh": (mpmath.sinh, True, cmath.sinh), "cosh": (mpmath.cosh, False, cmath.cosh),
    "tanh": (mpmath.tanh, True, lambda z: complex(z.real, NAN) if z.real == 0 and not math.isfinite(z.imag)
             else cmath.tanh(z)),
    "arcsin": (mpmath.asin, True, cmath.asin), "arccos": (mpmath.acos, False, cmath.acos),
    "arctan": (mpmath.atan, True, cmath.atan), "arctanh": (mpmath.atanh, True, cmath.atanh),
    "arccosh": (mpmath.acosh, False, lambda z: complex(NAN, 1) if z.real == 0 and math.isnan(z.imag)
                else cmath.acosh(z)),
    "exp": (mpmath.exp, False, cmath.exp), "log": (mpmath.log, False, cmath.log),
    "log10": (mpmath.log10, False, cmath.log10), "log1p": (mpmath.log1p, True, lambda z: cmath.log(1 + z)),
    "log2": (lambda x: mpmath.log(x, 2), False, scaled(cmath.log, 1 / LN2)),
}

ORACLES = {
    "add": dict(i=lambda o, a, b: a + b, r=ieee(operator.add), c=parts(ieee(operator.add))),
    "subtract": dict(i=lambda o, a, b: a - b, r=ieee(operator.sub), c=parts(ieee(operator.sub))),
    "multiply": dict(i=lambda o, a, b: a * b, r=ieee(operator.mul), c=cmplx(operator.mul)),
    "divide": dict(r=ieee(div), c=complex_divide),
    "floor_divide": dict(i=lambda o, a, b: a // b if b else 0, r=floor_divide),
    "remainder": dict(i=lambda o, a, b: a % b if b else 0, r=remainder),
    "fmod": dict(i=lambda o, a, b: a - b * int(Fraction(a, b)) if b else 0,
                 r=lambda o, a, b: remainder(o, a, b, False)),
    "divmod": dict(i=lambda o, a, b: divmod(a, b) if b else (0, 0),
                   r=lambda o, a, b: (floor_divide(o, a, b), remainder(o, a, b))),
    "power": dict(i=lambda o, a, b: SKIP if b < 0 else pow(a, b, 1 << 64), r=power, c=complex_power),
    "float_power": dict(r=power, c=complex_power),
    **{name: each(extremum(*how)) for name, how in EXTREMA.items()},
    **{name: each(lambda o, a, b, s=s: order(a, b) in s) for name, s in COMPARISONS.items()},
    **{name: each(lambda o, a, b, f=f: f(truth(a), truth(b))) for name, f in LOGICAL.items()},
    "logical_not": each(lambda o, x: not truth(x)), "isnan": either(is_nan), "isinf": either(is_inf),
    "isfinite": each(lambda o, x: not nonfinite(x if isinstance(x, C) else (x,))),
    "gcd": dict(i=lambda o, a, b: math.gcd(a, b)), "lcm": dict(i=lambda o, a, b: math.lcm(a, b)),
    "bitwise_and": dict(i=lambda o, a, b: a & b), "bitwise_or": dict(i=lambda o, a, b: a | b),
    "bitwise_xor": dict(i=lambda o, a, b: a ^ b), "left_shift": dict(i=int_shift(True)),
    "right_shift": dict(i=int_shift(False)), "invert": dict(i=lambda o, x: not x if o == "?" else ~x),
    "bitwise_count": dict(i=lambda o, x: bin(abs(x)).count("1")),
    "negative": dict(i=lambda o, x: -x, r=lambda o, x: -x, c=parts(lambda o, x: -x)), "positive": each(ident),
    "conjugate": dict(i=ident, r=ident, c=lambda o, z: C(z.re, -z.im)),
    "absolute": dict(i=lambda o, x: abs(x), r=lambda o, x: abs(x), c=cmplx(abs, abs)),
    "fabs": dict(r=lambda o, x: abs(x)),
    "square": dict(i=lambda o, x: x * x, r=ieee(lambda x: x * x), c=cmplx(lambda w: w * w)),
    "reciprocal": dict(i=lambda o, x: x if x in (1, -1) else 0, r=ieee(lambda x: div(1, x)),
                       c=lambda o, z: C(INF, NAN) if z.re == z.im == 0 else cmplx(lambda w: 1 / w)(o, z)),
    "sign": dict(i=lambda o, x: (x > 0) - (x < 0), c=complex_sign,
                 r=lambda o, x: x if is_nan(x) else Fraction(signed(1, signbit(x))) if x != 0 else 0.0),
    **{name: dict(i=ident, r=rounding(f)) for name, f in
       (("floor", math.floor), ("ceil", math.ceil), ("trunc", math.trunc))},
    "rint": dict(r=rounding(round), c=parts(rounding(round))),
    "sqrt": dict(r=mp(mpmath.sqrt, True), c=cmplx(mpmath.sqrt, cmath.sqrt)),
    "cbrt": dict(r=mp(lambda x: mpmath.sign(x) * mpmath.cbrt(abs(x)), True)),
    **dict.fromkeys(("deg2rad", "radians"), dict(r=mp(lambda x: x * mpmath.pi / 180, True))),
    **dict.fromkeys(("rad2deg", "degrees"), dict(r=mp(lambda x: x * 180 / mpmath.pi, True))),
    **{name: dict(r=mp(f, odd0), c=cmplx(f, special)) for name, (f, odd0, special) in TRANSCENDENTAL.items()},
    "arcsinh": dict(r=mp(mpmath.asinh, True), c=arcsinh),
    # the real part expm1(x) cos y - 2 sin(y/2)^2 cancels: held relative to the magnitude
    "expm1": dict(r=mp(mpmath.expm1, True), c=cmplx(mpmath.expm1, lambda z: cmath.exp(z) - 1, lambda z: 1)),
    "exp2": dict(r=mp(lambda x: mpmath.power(2, x)),
                 c=cmplx(lambda w: mpmath.power(2, w), lambda z: cmath.exp(complex(z.real * LN2, z.imag * LN2)),
                         lambda w: w * mpmath.log(2))),
    "spacing": dict(r=spacing), "nextafter": dict(r=nextafter), "frexp": dict(r=frexp), "modf": dict(r=modf),
    "signbit": dict(r=lambda o, x: signbit(x)), "copysign": dict(r=lambda o, a, b: signed(abs(a), signbit(b))),
    "heaviside": dict(r=lambda o, a, b: a if is_nan(a) else b if a == 0 else Fraction(a > 0) or 0.0),
    "ldexp": dict(r=lambda o, x, n: x * pow2(max(-40000, min(40000, n))) if finite(x) else x),
    "hypot": dict(r=lambda o, a, b: INF if INF in (abs(a), abs(b)) else mp(mpmath.hypot)(o, a, b)),
    "arctan2": dict(r=atan2), "logaddexp": dict(r=logaddexp(mpmath.e)), "logaddexp2": dict(r=logaddexp(2)),
}

# ---- bounds ----------------------------------------------------------------------------
# The largest distance from the exact value, in units in the last place of the output
# format, where the C library decides the last bit: its real functions are within 1-2 ulp
# of the correctly rounded value in single and double precision; float16 results are the
# single-precision value rounded once to half; x87 extended results differ between
# processor makers and glibc allows its extended functions a few ulp; a complex part is a
# product or quotient of such values. Exact oracles (fractions, or mpmath rounded to the
# format where the bound is 0) are held bit for bit, but for the sign of a zero the C
# library chooses.
LIBRARY = {"e": 1, "f": 2, "d": 2, "g": 3}
BOUNDS = {
    "sqrt": dict.fromkeys("efdg", 0),
    **dict.fromkeys(("deg2rad", "radians", "rad2deg", "degrees"), {"e": 1, "f": 1, "d": 1, "g": 2}),
}
COMPLEX_BOUND = 4


def kind(codes):
    return "c" if set(codes) & set(PART) else "r" if set(codes) & set(FORMATS) else "i"


def bound(name, ins, fmt):
    return COMPLEX_BOUND if kind(ins) == "c" else BOUNDS.get(name, LIBRARY).get(fmt, 0)


# ---- comparison ------------------------------------------------------------------------

def ulps_off(got, want, fmt, size=0):
    """|got - want| in ulps of max(|want|, size) in the format (an infinity counting as one
    ulp past the largest value); infinite where the classes differ."""
    want = real(want)
    if not finite(want) and want != 0:
        return 0 if got == want or is_nan(got) and is_nan(want) else INF
    if is_nan(got):
        return INF
    top = pow2(FORMATS[fmt][2] + 1)
    got = signed(top, got < 0) if is_inf(got) else Fraction(got)
    want = max(-top, min(top, Fraction(want)))
    off = abs(got - want) / pow2(ulp_exponent(max(abs(want), size), fmt))
    return float(off) if off < 2 ** 1000 else INF


EXACT = {float, Fraction, int, bool}


def distance(got, want, code, ulps):
    """How far got is from want: 0, or infinite where it should match exactly."""
    if type(want) in EXACT and got == want and (got != 0 or signbit(got) == signbit(want)):
        return 0  # got is in the format, so want is too
    fmt = PART.get(code, code)
    if isinstance(want, Norm):
        pairs = list(zip(got, want.value)) if isinstance(got, C) else [(got, want.value)]
        with mpmath.workprec(PREC):
            size = real(abs(mpmath.mpc(*map(to_mpf, map(real, want.value)))) if isinstance(got, C) else want.value)
        size = max(abs(real(size)), abs(Fraction(want.size)))
        return max(ulps_off(g, w, fmt, size) for g, w in pairs) / float(want.scale)
    if isinstance(want, C):
        return max(distance(g, w, fmt, ulps) for g, w in zip(got, want))
    if want is NAN_PART or want is INF_PART:
        return INF * (not any(map(is_nan if want is NAN_PART else is_inf, got)))
    if want is FINITE or want is INFINITE:
        return INF * (not (finite(got) or got == 0) if want is FINITE else not is_inf(got))
    if code in WIDTH:
        return INF * (got != wrap(want, code))
    if isinstance(want, mpmath.mpf) and ulps:
        return ulps_off(got, want, fmt)
    exact = round_to(want, fmt)
    same = is_nan(got) and is_nan(exact) or got == exact and (signbit(got) == signbit(exact) or
                                                                isinstance(want, mpmath.mpf))
    return INF * (not same)


def show(x):
    if isinstance(x, (tuple, list, Norm)):
        return "(" + ", ".join(map(show, x)) + ")"
    with mpmath.workprec(80):
        return mpmath.nstr(to_mpf(x), 21) if finite(x) else str(x)  # a part class shows as an object


# ---- the test --------------------------------------------------------------------------


def evaluate(name, loop):
    """The loop's cases, what the ufunc gives and what the oracle expects."""
    ins, outs = loop.split("->")
    oracle = ORACLES[name][kind(ins)]
    columns = [values(code, len(ins) == 2) for code in ins]
    picked, cases, expected = [], [], []
    for index in itertools.product(*map(range, map(len, columns))):
        case = tuple(column[i] for column, i in zip(columns, index))
        want = oracle(outs[0], *case)
        if want is not SKIP:
            picked.append(index)
            cases.append(case)
            expected.append(want if len(outs) > 1 else (want,))
    arrays = [make_array(column, [index[i] for index in picked], code) for i, (column, code) in
              enumerate(zip(columns, ins))]
    with q.errstate(all="ignore"):
        results = getattr(q, name)(*arrays)
    results = results if isinstance(results, tuple) else (results,)
    assert cases and [r.dtype.char for r in results] == list(outs)
    got = [tuple(read(r[k], code) for r, code in zip(results, outs)) for k in range(len(cases))]
    return cases, got, expected


@pytest.mark.parametrize("name", [u.__name__ for u in UFUNCS])
def test_values(name):
    failures = []
    for loop in dict.fromkeys(getattr(q, name).types):
        ins, outs = loop.split("->")
        cases, got, expected = evaluate(name, loop)
        ulps = bound(name, ins, PART.get(outs[0], outs[0]))
        bad = [(case, g, w) for case, g, w in zip(cases, got, expected)
               if any(distance(gj, wj, code, ulps) > ulps for gj, wj, code in zip(g, w, outs))]
        failures += [f"{loop}: {len(bad)} of {len(cases)} differ, e.g. " + "; ".join(map(show, bad[:6]))] * bool(bad)
    assert not failures, "\n".join(failures)


# ---- long double logaddexp2 on random pairs ---------------------------------------------
# Its error is held in ulps of the larger of the result and the smaller term's share
# log2(1 + 2^-|a-b|): a plain sum with the larger operand cancels only that share.

from hypothesis import example, given, strategies as st  # noqa: E402

magnitudes = st.one_of(st.floats(-2.0, 2.0), st.floats(-200.0, 200.0), st.floats(-1e4, 1e4), st.just(0.0))
differences = st.one_of(st.floats(0.0, 2.0), st.floats(0.0, 64.0), st.floats(64.0, 200.0), st.floats(200.0, 1.6e4))
pairs = st.tuples(magnitudes, differences, st.floats(-1.0, 1.0), st.booleans())


def extended_pairs(drawn):
    """a = x + x * u * 2^-60 (bits past a double's), b = a -+ d."""
    xs, ds, us, swaps = zip(*drawn)
    x = q.array(xs, dtype="g")
    a = q.add(x, q.multiply(x, q.ldexp(q.array(us, dtype="g"), -60)))
    b = q.subtract(a, q.array(ds, dtype="g"))
    return (q.array([b[i] if s else a[i] for i, s in enumerate(swaps)], dtype="g"),
            q.array([a[i] if s else b[i] for i, s in enumerate(swaps)], dtype="g"))


def logaddexp2_off(a, b, got):
    """ulps of long double logaddexp2(a, b) from the exact value, in units of the larger
    of the result and the smaller term's share."""
    with mpmath.workprec(PREC):
        x, y = (to_mpf(long_double(str(v))) for v in (a, b))
        share = mpmath.log1p(mpmath.power(2, -abs(x - y))) / mpmath.log(2)
        want = max(x, y) + share
        return ulps_off(long_double(str(got)), want, "g", max(abs(real(want)), real(share)))


@given(st.lists(pairs, min_size=1, max_size=40))
@example([(3.5518361076357417e-15, 17.0, 0.0, False)])  # the rounded difference alone cost 9 ulps
def test_long_double_logaddexp2_within_4_ulp(drawn):
    a, b = extended_pairs(drawn)
    got = q.logaddexp2(a, b)
    for i in range(len(drawn)):
        assert logaddexp2_off(a[i], b[i], got[i]) <= 4, (str(a[i]), str(b[i]), str(got[i]))


@pytest.mark.parametrize("a, b", [(0.0, -100.0), (-100.0, 0.0), (0.0, -64.0), (0.0, -65.0), (-1e-3, -70.5),
                                  (0.0, -16000.0), (1e4, -1e4), (3.0, 3.0)])
def test_long_double_logaddexp2_keeps_the_smaller_term(a, b):
    got = q.logaddexp2(q.array([a], dtype="g"), b)[0]
    assert logaddexp2_off(q.array(a, dtype="g")[()], q.array(b, dtype="g")[()], got) <= 4


# ---- complex log1p on and near the circle |z + 1| = 1 ------------------------------------
# There |z + 1|^2 - 1 cancels: each part within 4 ulps of its own size.

def circle_points(fmt):
    """(x, +-y) with x the nearest value to sqrt(1 - y^2) - 1 and its neighbours 2 ulps
    either side, and x moved off by 2^-k, for small and large y (both ways of forming
    the sum)."""
    points = [(-4.999624981249766e-05, 0.01)]
    for y in [1e-6, 1e-4, 0.01, 0.1, 0.3, 0.5, 0.8, 0.95]:
        y = round_to(Fraction(y), fmt)
        x = round_to(Fraction(math.sqrt(1 - y * y) - 1), fmt)
        points += [(x + k * pow2(ulp_exponent(x, fmt)), s * y) for k in range(-2, 3) for s in (1, -1)]
        points += [(x * (1 + s * pow2(-k)), y) for k in (2, 4, 6, 10) for s in (1, -1)]  # nearer to cancelling
    return [(float(round_to(Fraction(x), fmt)), float(round_to(Fraction(y), fmt))) for x, y in points]


@pytest.mark.parametrize("code", ["F", "D"])
def test_complex_log1p_near_the_unit_circle_about_minus_one(code):
    fmt = PART[code]
    points = circle_points(fmt)
    got = q.log1p(q.array([complex(x, y) for x, y in points], dtype=code))
    for i, (x, y) in enumerate(points):
        with mpmath.workprec(PREC):
            want = mpmath.log1p(mpmath.mpc(x, y))
        parts = read(got[i], code)
        assert max(ulps_off(parts.re, want.real, fmt), ulps_off(parts.im, want.imag, fmt)) <= 4, (x, y, got[i])
    if code == "D":
        assert ulps_off(read(got[0], code).re, Fraction(4.999999974998418e-09), fmt) <= 4
