"""Reference floor division and remainder of doubles, from Python's float `//` and `%`.

Run once: python3 gen_float_floor_divide.py > float_floor_divide.txt
Each line: the bit patterns (hex) of a, b, a // b and a % b. Divisors are never
zero (Python refuses those).
"""
import random
import struct
import sys


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


specials = [0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, -2.0, 3.0, -3.0, 5.0, -5.0, 6.0, -7.0, 0.1, -0.1,
            1e300, -1e300, 1e-300, -1e-300, 5e-324, -5e-324, 2.2250738585072014e-308,
            1.7976931348623157e308, -1.7976931348623157e308, 2.0 ** 53, 2.0 ** 53 + 2, -(2.0 ** 52) - 0.5,
            9007199254740993.0, 4503599627370495.5, 0.3, 1.0 / 3.0,
            float("inf"), float("-inf"), float("nan")]

rng = random.Random(20240607)
randoms = []
for _ in range(60):
    randoms.append(rng.uniform(-100.0, 100.0))
    randoms.append(rng.choice([-1, 1]) * 2.0 ** rng.uniform(-1074, 1023))
    randoms.append(float(rng.randint(-1000, 1000)))

pairs = [(a, b) for a in specials for b in specials]
pairs += [(rng.choice(randoms), rng.choice(randoms)) for _ in range(3000)]
pairs += [(a, b) for a in randoms[:40] for b in specials]

out = sys.stdout
for a, b in pairs:
    if b == 0.0:
        continue
    out.write("%016x %016x %016x %016x\n" % (bits(a), bits(b), bits(a // b), bits(a % b)))
