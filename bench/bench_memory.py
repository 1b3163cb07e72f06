"""Peak memory of bulk operations beside the bytes they read and write.

Run after `pip install .` (or with PYTHONPATH=build/<dir>/pkg):

    python3 bench/bench_memory.py
    QUARVEL_ELEMENT_PATH=1 python3 bench/bench_memory.py   # the element path

Each operation runs in a fresh interpreter: its inputs are built, the
process's peak resident size is reset (Linux's clear_refs), the operation
runs once, and the new peak less the resident size before it is the memory
the operation added. The ratio divides that by the bytes of its inputs plus
outputs.
"""
import subprocess
import sys

N = 10**6

# label, setup, operation, bytes read plus written
CASES = (
    ("add float64", "a = filled(N); b = filled(N)", "q.add(a, b)", 24 * N),
    ("add int64", "a = filled(N, 'int64'); b = filled(N, 'int64')", "q.add(a, b)", 24 * N),
    ("add float64 every other element", "w = filled(2 * N)", "q.add(w[::2], w[1::2])", 24 * N),
    ("add float64 row + column", "c = filled((1000, 1)); r = filled(1000)", "q.add(c, r)", 8 * N + 16000),
    ("add.reduce float64", "a = filled(N)", "q.add.reduce(a)", 8 * N),
    ("add.accumulate float64", "a = filled(N)", "q.add.accumulate(a)", 16 * N),
    ("a.copy()", "a = filled(N)", "a.copy()", 16 * N),
    ("a.astype('float32')", "a = filled(N)", "a.astype('float32')", 12 * N),
    ("a.astype('int32')", "a = filled(N)", "a.astype('int32')", 12 * N),
    ("a[:] = 1.5", "a = filled(N)", "a.__setitem__(slice(None), 1.5)", 8 * N),
    ("quarvel.array(list of floats)", "xs = [float(i) for i in range(N)]", "q.array(xs)", 8 * N + 8 * N),
    # float128 and complex256: 16 and 32 bytes an element.
    ("add float128", "a = filled(N, 'g'); b = filled(N, 'g')", "q.add(a, b)", 48 * N),
    ("sin float128", "a = filled(N, 'g')", "q.sin(a)", 32 * N),
    ("add float128 + float64", "a = filled(N, 'g'); b = filled(N)", "q.add(a, b)", 40 * N),
    ("multiply complex256", "a = filled(N, 'G'); b = filled(N, 'G')", "q.multiply(a, b)", 96 * N),
    ("absolute complex256", "a = filled(N, 'G')", "q.absolute(a)", 48 * N),
    ("add.reduce float128", "a = filled(N, 'g')", "q.add.reduce(a)", 16 * N),
    ("add.accumulate float128", "a = filled(N, 'g')", "q.add.accumulate(a)", 32 * N),
    ("float128 a.astype('float64')", "a = filled(N, 'g')", "a.astype('float64')", 24 * N),
    ("float64 a.astype('float128')", "a = filled(N)", "a.astype('float128')", 24 * N),
    ("float128 a.astype('int64')", "a = filled(N, 'g')", "a.astype('int64')", 24 * N),
    ("array(list of floats, float128)", "xs = [float(i) for i in range(N)]",
     "q.array(xs, dtype='float128')", 8 * N + 16 * N),
)

CHILD = r"""
import sys
import quarvel as q
N = {n}

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024

def filled(shape, dtype="float64"):
    # zeros() may map untouched pages: write them so inputs are resident
    x = q.zeros(shape, dtype=dtype)
    x[...] = 1
    return x

{setup}
before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
result = {operation}
print(status("VmHWM:") - before)
"""


def main():
    print(f"{'operation (n = 1e6)':<36} {'added MB':>9} {'in+out MB':>10} {'ratio':>7}")
    for label, setup, operation, moved in CASES:
        source = CHILD.format(n=N, setup=setup, operation=operation)
        added = int(subprocess.run([sys.executable, "-c", source], check=True, capture_output=True,
                                   text=True).stdout)
        print(f"{label:<36} {added / 1e6:9.1f} {moved / 1e6:10.1f} {added / moved:7.2f}")


if __name__ == "__main__":
    main()
