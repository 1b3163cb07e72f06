"""Runs differential cases: steps (make, copy, cast, reshape, subscript, ufunc
calls and methods, operators) reported as results or exceptions, warnings and fault
reports, then every array made. Run as a script with QUARVEL_ELEMENT_PATH=1 it
serves cases over its pipes: the element-at-a-time side of the typed-loop tests."""
import itertools
import operator
import os
import pickle
import struct
import subprocess
import sys
import warnings

import quarvel


def build(spec):
    """An array from nested values, dtype and order, then the views listed."""
    a = quarvel.array(spec["values"], dtype=spec["dtype"], order=spec["order"])
    for view in spec["views"]:
        a = a.T if view == "T" else a[view]
    return a


def element_bits(value):
    v = value.item()
    if isinstance(v, complex):
        return struct.pack("<dd", v.real, v.imag).hex()
    if isinstance(v, float):
        return struct.pack("<d", v).hex()
    return repr(v)


def describe(result):
    if isinstance(result, tuple):
        return tuple(map(describe, result))
    if result is None:
        return None
    if not isinstance(result, quarvel.Array):
        # The text too: a long double scalar carries the text it was made with.
        return ("scalar", type(result).__name__, element_bits(result), str(result), repr(result))
    cells = [element_bits(result[i]) for i in itertools.product(*map(range, result.shape))]
    return (result.shape, result.strides, result.dtype.str, result.c_contiguous, result.f_contiguous, cells)


def resolve(made, value):
    """("ref", i) is the i-th result, ("ref", i, key) a subscript of it."""
    if isinstance(value, tuple) and value[:1] == ("ref",):
        return made[value[1]] if len(value) == 2 else made[value[1]][resolve(made, value[2])]
    if isinstance(value, tuple):
        return tuple(resolve(made, v) for v in value)
    if isinstance(value, list):
        return [resolve(made, v) for v in value]
    return value


class EagerKey(str):
    """A keyword name ("eager", name) whose comparison is user code: it warns, then raises."""
    def __eq__(self, other):
        warnings.warn(f"keyword name {str(self)!r} compared", UserWarning)
        raise LookupError("keyword name compared")

    __hash__ = str.__hash__


def keyword_name(key):
    return EagerKey(key[1]) if isinstance(key, tuple) else key


def run_step(made, step):
    kind, *args = step
    if kind == "array":
        return build(args[0])
    if kind == "construct":
        return quarvel.array(resolve(made, args[0]), **args[1])
    if kind == "operator":  # ("operator", name in the operator module, operands)
        return getattr(operator, args[0])(*resolve(made, args[1]))
    if kind == "ufunc":
        name, method, operands, kwargs = args
        target = getattr(quarvel, name) if method == "call" else getattr(getattr(quarvel, name), method)
        return target(*resolve(made, operands), **{keyword_name(k): resolve(made, v) for k, v in kwargs.items()})
    a = made[args[0]]
    if kind == "copy":
        return a.copy()
    if kind == "astype":
        return a.astype(args[1], order=args[2])
    if kind == "reshape":
        return a.reshape(args[1], order=args[2], copy=True)
    if kind == "getitem":
        return a[resolve(made, args[1])]
    a[resolve(made, args[1])] = resolve(made, args[2])
    return a


def run_case(steps):
    made, report = [], []
    for step in steps:
        faults = []
        with warnings.catch_warnings(record=True) as caught, \
                quarvel.errstate(all="call", call=lambda *args: faults.append(args)):
            warnings.simplefilter("always")
            # The collector may finalize an earlier test's leftovers at any step.
            warnings.simplefilter("ignore", ResourceWarning)
            try:
                result = run_step(made, step)
                outcome = describe(result)
            except Exception as error:  # the classes and texts are what is compared
                result, outcome = None, ("raised", type(error).__name__, str(error))
        made.append(result)
        report.append((outcome, [(w.category.__name__, str(w.message)) for w in caught], faults))
    return report + [[describe(m) for m in made if isinstance(m, quarvel.Array)]]


def check(element_path, steps):
    """The case's report here equals the element path's (the `element_path` fixture)."""
    assert run_case(steps) == element_path(steps)


def element_path_child():
    """This file run with QUARVEL_ELEMENT_PATH=1: a function from a case to its report there."""
    env = dict(os.environ, QUARVEL_ELEMENT_PATH="1")
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__)], env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)

    def run(steps):
        pickle.dump(steps, child.stdin)
        child.stdin.flush()
        return pickle.load(child.stdout)

    yield run
    child.kill()
    child.wait()
    child.stdin.close()
    child.stdout.close()


if __name__ == "__main__":
    while True:
        case = pickle.load(sys.stdin.buffer)
        pickle.dump(run_case(case), sys.stdout.buffer)
        sys.stdout.buffer.flush()
