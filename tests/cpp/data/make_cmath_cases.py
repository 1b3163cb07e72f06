"""Reference rows for the one-input complex128 functions.

Run once with the interpreter whose test suite holds CPython's cmath table:
    python3 tests/cpp/data/make_cmath_cases.py
It writes two files beside this script, one row per line,
"<id> <function> <re> <im> <expected re> <expected im> <flags>", each number
in Python's shortest round-trip form:
  cmath_unary_cases.txt   the rows of CPython's cmath_testcases.txt for the
                          functions below (their flags kept);
  mpmath_unary_cases.txt  functions the table lacks, evaluated with mpmath at
                          200 bits (an exactly zero part gets an ignore-sign
                          flag: mpmath zeros carry no sign).
"""

import os
import test

import mpmath

FUNCTIONS = {
    "acos", "acosh", "asin", "asinh", "atan", "atanh", "cos", "cosh",
    "exp", "log", "log10", "sin", "sinh", "sqrt", "tan", "tanh",
}


def main():
    source = os.path.join(os.path.dirname(test.__file__), "cmath_testcases.txt")
    here = os.path.dirname(os.path.abspath(__file__))
    rows = []
    with open(source) as table:
        for line in table:
            if line.startswith("--") or not line.strip():
                continue
            left, right = line.split("->")
            ident, function, re, im = left.split()
            if function not in FUNCTIONS:
                continue
            fields = right.split()
            want_re, want_im, flags = fields[0], fields[1], fields[2:]
            numbers = [repr(float(v)) for v in (re, im, want_re, want_im)]
            rows.append(" ".join([ident, function, *numbers, ",".join(flags) or "-"]))
    with open(os.path.join(here, "cmath_unary_cases.txt"), "w") as out:
        out.write("\n".join(rows) + "\n")
    with open(os.path.join(here, "mpmath_unary_cases.txt"), "w") as out:
        out.write("\n".join(mpmath_rows()) + "\n")


MPMATH_FUNCTIONS = {
    "exp": mpmath.exp,
    "expm1": mpmath.expm1,
    "log1p": mpmath.log1p,
    "exp2": lambda z: mpmath.power(2, z),
    "log2": lambda z: mpmath.log(z, 2),
    "square": lambda z: z * z,
    "reciprocal": lambda z: 1 / z,
}
PARTS = [-3.0, -0.7, -1e-3, 1e-8, 0.25, 2.5, 30.0]
IMAG_PARTS = [-2.0, -1e-6, 0.0, 0.5, 3.0]
# Parts where a careful evaluation matters: e^x beyond the double range with
# a finite product, and divisors whose squared magnitude is not normal.
EXTRA = {
    "exp": [(710.0, 1.5), (-745.0, 0.25), (709.5, -3.0)],
    "reciprocal": [(1e200, 0.0), (1e200, 1e200), (1e-200, -3e-200), (3e-310, 0.0)],
}


def mpmath_rows():
    mpmath.mp.prec = 200
    rows = []
    for name, function in MPMATH_FUNCTIONS.items():
        points = [(a, b) for a in PARTS for b in IMAG_PARTS] + EXTRA.get(name, [])
        for index, (a, b) in enumerate(points):
            value = function(mpmath.mpc(a, b))
            want = [float(value.real), float(value.imag)]
            flags = [flag for flag, part in zip(("ignore-real-sign", "ignore-imag-sign"), want) if part == 0]
            numbers = [repr(v) for v in (a, b, *want)]
            rows.append(" ".join(["mp%s%04d" % (name, index), name, *numbers, ",".join(flags) or "-"]))
    return rows


if __name__ == "__main__":
    main()
