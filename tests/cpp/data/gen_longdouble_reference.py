#!/usr/bin/env python3
"""Reference values for the long double transcendental operations.

Every input is a decimal or C hexadecimal text that rounds to one
64-bit-significand value (the x86-64 extended format); mpmath evaluates the
exact function of that value with 64 guard bits and rounds the result to 64
significand bits. Output lines:

    kind op input... expected...

with kind unary_real (1 input, 1 result), binary_real (2, 1), unary_complex
(re im, re im) or binary_complex (re1 im1 re2 im2, re im). Run from anywhere:

    python3 gen_longdouble_reference.py > longdouble_reference.txt
"""
import mpmath
from mpmath import mp, mpf, mpc

BITS = 64
GUARD = 64


def value(text):
    """A decimal or C hexadecimal ("-0x1.cp16383") text, rounded to 64 bits."""
    if "0x" in text:
        digits, _, exponent = text.lstrip("-").removeprefix("0x").partition("p")
        whole, _, fraction = digits.partition(".")
        x = mpmath.ldexp(int(whole + fraction, 16), int(exponent) - 4 * len(fraction))
        x = -x if text.startswith("-") else x
    else:
        x = mpf(text)
    with mp.workprec(BITS):
        return +x


def rounded(x):
    with mp.workprec(BITS):
        return +x


def show(x):
    x = rounded(x)
    # 25 digits always read back as the same 64-bit value.
    return "0" if x == 0 else mpmath.nstr(x, 25)


def ln2():
    return mpmath.log(2)


UNARY_REAL = {
    "acos": mpmath.acos, "acosh": mpmath.acosh, "asin": mpmath.asin, "asinh": mpmath.asinh,
    "atan": mpmath.atan, "atanh": mpmath.atanh, "cbrt": lambda x: mpmath.sign(x) * mpmath.cbrt(abs(x)), "cos": mpmath.cos,
    "cosh": mpmath.cosh, "deg2rad": lambda x: x * mpmath.pi / 180, "degrees": lambda x: x * 180 / mpmath.pi,
    "exp": mpmath.exp, "exp2": lambda x: mpmath.power(2, x), "expm1": mpmath.expm1, "log": mpmath.log,
    "log10": mpmath.log10, "log1p": mpmath.log1p, "log2": lambda x: mpmath.log(x, 2), "sin": mpmath.sin,
    "sinh": mpmath.sinh, "sqrt": mpmath.sqrt, "tan": mpmath.tan, "tanh": mpmath.tanh,
}
UNARY_REAL_INPUTS = {
    "acos": ["-0.99", "-0.5", "0.1", "0.75", "1e-10"],
    "acosh": ["1.5", "2", "10", "1e100"],
    "asin": ["-0.7", "0.1", "0.5", "0.999", "1e-12"],
    "asinh": ["-3", "0.1", "1.5", "1e50"],
    "atan": ["-20", "0.1", "1", "3.5", "1e-15"],
    "atanh": ["-0.9", "0.1", "0.5", "0.999999"],
    "cbrt": ["-27.5", "-27", "0.001", "2", "1e300"],
    "cos": ["-2.5", "0.1", "1", "3", "100"],
    "cosh": ["-2.5", "0.1", "10", "1000"],
    "deg2rad": ["1", "45", "180", "-270", "1e100", "1e4932", "-1.1e4932"],
    "degrees": ["1", "0.5", "-3", "3.14159265358979323851", "1e-100", "1e4930", "-2e4930"],
    "exp": ["-20", "-0.5", "0.1", "1", "700", "11000"],
    # 2^-16445 is the smallest subnormal; rounding to 64 bits here knows no
    # subnormals, so only an exact result may fall below the normal range.
    "exp2": ["-10.5", "0.1", "1.25", "10", "100.75", "-16000", "-16445"],
    "expm1": ["-1", "1e-10", "0.1", "5"],
    "log": ["0.1", "0.5", "2", "1e100", "1e-4000"],
    "log10": ["0.1", "2", "7", "1000", "12345.5"],
    "log1p": ["-0.5", "1e-12", "0.1", "100"],
    "log2": ["0.1", "0.125", "3", "1e30", "1000000"],
    "sin": ["-2.5", "0.1", "1", "3", "100", "1e-9"],
    "sinh": ["-2.5", "0.1", "1e-8", "30"],
    "sqrt": ["2", "0.1", "3", "1e-300", "12345.678"],
    "tan": ["-2.5", "0.1", "1", "1.5", "10"],
    "tanh": ["-2.5", "0.1", "1e-6", "0.75", "20"],
}

BINARY_REAL = {
    "power": mpmath.power,
    "hypot": lambda x, y: mpmath.hypot(x, y),
    "arctan2": mpmath.atan2,
    "logaddexp": lambda x, y: mpmath.log(mpmath.exp(x) + mpmath.exp(y)),
    "logaddexp2": lambda x, y: mpmath.log(mpmath.power(2, x) + mpmath.power(2, y), 2),
}
BINARY_REAL_INPUTS = {
    "power": [("2", "0.5"), ("2", "10"), ("1.5", "-3.25"), ("10", "20"), ("0.1", "7"), ("3", "100.5")],
    # 3·2^16000, 4·2^16000: no overflow of the squares inside.
    "hypot": [("3", "4"), ("0.1", "0.2"), ("1e-300", "1e-301"), ("-7", "1e5"), ("0x3p16000", "0x4p16000")],
    "arctan2": [("1", "2"), ("-1", "-2"), ("0.1", "-5"), ("3", "0.001"), ("1", "0")],
    "logaddexp": [("0", "0"), ("1", "2"), ("-5", "5"), ("1000", "999"), ("0.1", "-0.2")],
    "logaddexp2": [("1", "2"), ("-5", "5"), ("1000", "999.5"), ("0.1", "-0.2")],
}


def complex_sign(z):
    return z / abs(z)


UNARY_COMPLEX = {
    "absolute": lambda z: mpc(abs(z), 0),
    "arccos": mpmath.acos, "arccosh": mpmath.acosh, "arcsin": mpmath.asin, "arcsinh": mpmath.asinh,
    "arctan": mpmath.atan, "arctanh": mpmath.atanh, "cos": mpmath.cos, "cosh": mpmath.cosh,
    "exp": mpmath.exp, "exp2": lambda z: mpmath.power(2, z), "expm1": mpmath.expm1,
    "log": mpmath.log, "log1p": lambda z: mpmath.log(1 + z),
    "log10": lambda z: mpmath.log(z) / mpmath.log(10), "log2": lambda z: mpmath.log(z) / ln2(),
    "sin": mpmath.sin, "sinh": mpmath.sinh, "sqrt": mpmath.sqrt, "tan": mpmath.tan, "tanh": mpmath.tanh,
    "reciprocal": lambda z: 1 / z, "square": lambda z: z * z, "sign": complex_sign,
}
COMPLEX_INPUTS = [("0.5", "0.25"), ("-1.5", "2"), ("3", "-0.75"), ("-0.2", "-0.3"), ("0.1", "4")]
# Close to |z| = 1, where 1 - re^2 - im^2 cancels; written for atan (small
# real part, imaginary part near +-1) and swapped for atanh.
NEAR_UNIT_CIRCLE = [("1e-10", "1"), ("-1e-10", "-1"), ("1e-10", "-1"), ("1e-5", "0.9999999"),
                    ("-1e-5", "0.9999999"), ("1e-8", "0.999999999999"), ("-3e-8", "1.0000000001"),
                    ("2e-15", "-0.999999999999999"), ("1e-9", "0.99999999999999999995"), ("-1e-300", "1"),
                    ("0.7", "-0.7141428428542850"), ("-0.28", "0.96"), ("0.3", "0.75"), ("-0.6", "-0.8000001")]
UNARY_COMPLEX_EXTRA = {
    # A plain modulus, then moduli that overflow or are subnormal.
    "sign": [("3", "4"), ("1e4000", "1e4000"), ("1e4932", "-1e4932"), ("-0x1.5p16383", "0x1.cp16383"),
             ("-0x3p-16445", "0x4p-16445")],
    # Both formulas of the own arc tangents, and the branch cuts.
    "arctan": [("0", "0.5"), ("0.1", "0.8"), ("1e-20", "3"), ("1e-20", "-1"), ("0.1", "-1"), ("-0.25", "-0.9"),
               ("1e-2470", "1"), ("1e-4900", "-1")] + NEAR_UNIT_CIRCLE,
    "arctanh": [("0.25", "0"), ("0.5", "0"), ("0.75", "0.5"), ("0.8", "0.1"), ("3", "1e-20")]
               + [(im, re) for re, im in NEAR_UNIT_CIRCLE],
    # Small parts, where |1 + z|^2 - 1 is summed exactly; one small part beside one whose square overflows.
    "log1p": [("1e-10", "1e-10"), ("-0.4", "0.3"), ("0.6", "0.1"), ("0.1", "1e3000"), ("-1e3000", "0.25")],
    "expm1": [("1e-10", "1e-10"), ("-3", "2")],
}

BINARY_COMPLEX = {
    "multiply": lambda a, b: a * b,
    "divide": lambda a, b: a / b,
    "power": mpmath.power,
}
BINARY_COMPLEX_INPUTS = [("0.5", "0.25", "-1.5", "2"), ("3", "-0.75", "0.1", "4"), ("1e10", "1", "1e-10", "3"),
                         ("-0.2", "-0.3", "2", "0")]


def cplx(re, im):
    return mpc(value(re), value(im))


def main():
    lines = []
    with mp.workprec(BITS + GUARD):
        for op, fn in UNARY_REAL.items():
            for x in UNARY_REAL_INPUTS[op]:
                lines.append(("unary_real", op, x, show(fn(value(x)))))
        for op, fn in BINARY_REAL.items():
            for x, y in BINARY_REAL_INPUTS[op]:
                lines.append(("binary_real", op, x, y, show(fn(value(x), value(y)))))
        for op, fn in UNARY_COMPLEX.items():
            for re, im in COMPLEX_INPUTS + UNARY_COMPLEX_EXTRA.get(op, []):
                r = fn(cplx(re, im))
                lines.append(("unary_complex", op, re, im, show(r.real), show(r.imag)))
        for op, fn in BINARY_COMPLEX.items():
            for a, b, c, d in BINARY_COMPLEX_INPUTS:
                r = fn(cplx(a, b), cplx(c, d))
                lines.append(("binary_complex", op, a, b, c, d, show(r.real), show(r.imag)))
    print("# generated by gen_longdouble_reference.py; mpmath %s, 64-bit significands" % mpmath.__version__)
    for line in lines:
        print(" ".join(line))


if __name__ == "__main__":
    main()
