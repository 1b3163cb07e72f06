"""Every public entry point, on success and on each error path, repeated after a
warm-up, grows neither the allocated blocks nor the live objects of the module's
classes (counted by the reference count of their heap types)."""
import gc
import operator
import sys
import warnings

import pytest

import quarvel as q
import test_arrays
import test_error_policy
import test_indexing
import test_ufunc
import test_ufunc_methods
from helpers import as_errors, grid

WARM_UP = 5
REPEATS = 60
# A leak on every call of any entry point grows the blocks by at least
# REPEATS; the tolerance absorbs the interpreter's own caches settling.
BLOCK_TOLERANCE = 20
CLASSES = sorted({value for value in vars(q.quarvel).values() if isinstance(value, type) and
                  value.__module__ == "quarvel"} | {type(q.errstate()(print))}, key=lambda cls: cls.__name__)


class Boom(Exception):
    pass


class BadIndex:
    def __index__(self):
        raise Boom


class Writer:
    def __init__(self, fails=False):
        self.fails = fails

    def write(self, text):
        if self.fails:
            raise Boom


def policy(operation, **modes):
    return lambda: q.errstate(**modes)(operation)()


DEEP = eval("[" * 70 + "1.0" + "]" * 70)
L = q.array([1.1, 2j], dtype="clongdouble")
F = q.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
I = q.array([1, 2, 3], dtype="int16")
S = F[0, 1]


DECORATED = q.errstate(all="ignore")(test_error_policy.decorated_target)

def rows(table, adapt=lambda call: call):
    """(call, exception) from a refusal table of another test file, its plain rows."""
    return [(adapt(*row[:-2]), row[-2]) for row in table if type(row) is tuple]


# area: calls that succeed, then (call, the exception it raises): each refusal table's rows and
# the failures of Python objects the module calls back
CASES = {
    "construction": ([
        lambda: q.array([[1, 2], [3, 4.5]], dtype="float32"), lambda: q.array(F, copy=False),
        lambda: q.array([1j, 2], dtype="clongdouble"), lambda: q.zeros((2, 3), dtype=">i4", order="F"),
    ], rows(test_arrays.CONSTRUCTION_REFUSALS) + [
        (lambda: q.array(F, dtype="i4", copy=False), ValueError), (lambda: q.array(DEEP), ValueError),
        (lambda: q.array([1.0, Boom()]), TypeError), (lambda: q.zeros((2, BadIndex())), Boom),
    ]),
    "dtypes and scalars": ([
        lambda: (q.DType("longdouble").newbyteorder(), repr(q.DType("u2")), q.DType("i4") == "i4"),
        lambda: q.promote_types("i8", q.DType("u8")),
        lambda: (S.item(), float(S), int(S), bool(S), repr(S), str(S), S == 2.0, S < 1),
        lambda: (repr(q.array(1.1, dtype="longdouble")[()]), str(L[0]), str(L.astype("f2")[1]), L[1].real),
    ], [
        (lambda: q.DType("i3"), ValueError), (lambda: q.DType(4), TypeError),
        (lambda: q.DType("i4").newbyteorder("x"), ValueError), (lambda: q.promote_types("i8", "nope"), ValueError),
        (lambda: int(q.array(float("nan"))[()]), ValueError),
    ]),
    "array methods": ([
        lambda: (F.shape, F.strides, F.dtype, F.flags.c_contiguous, F.T, F.nbytes, repr(F), str(I), len(F)),
        lambda: (F.astype("int8", order="F"), F.copy().reshape((3, 2), "F").transpose((1, 0)), F.flags["W"], repr(F.flags)),
    ], rows(test_arrays.RESHAPE_REFUSALS, lambda args, kwargs: lambda: F.reshape(*args, **kwargs)) + [
        (lambda: F.astype("nope"), ValueError), (lambda: F.transpose(0, 0), IndexError),
        (lambda: F.flags["X"], KeyError), (lambda: setattr(F.flags, "writeable", False), AttributeError),
    ]),
    "subscripts": ([
        lambda: F[1, ::-1][None, ..., 0], lambda: F[[1, 0], [[0], [2]]], lambda: F[F > 2.0], lambda: F[-1, -1],
        lambda: F.copy().__setitem__((slice(None), 1), [7, 8]),
        lambda: F.copy().__setitem__(([0, 1], [2, 2]), q.array([1, 2], dtype="int8")),
        lambda: F.copy().__setitem__(F > 3, 0.5),
    ], rows(test_indexing.KEY_REFUSALS, lambda key: lambda: grid(2, 3)[key])
        + rows(test_indexing.ASSIGNMENT_REFUSALS, lambda key, value: lambda: F.copy().__setitem__(key, value)) + [
        (lambda: F[BadIndex()], IndexError), (lambda: I.copy().__setitem__(0, 2**40), OverflowError),
        (lambda: F.copy().__setitem__(0, [1.0, 2.0, Boom()]), TypeError),
        (lambda: F.__delitem__(0), NotImplementedError),
    ]),
    "ufunc calls": ([
        lambda: q.add(F, I[:, None][:2, :1]), lambda: q.multiply(F, 2, out=q.zeros((2, 3)), where=[True, False, True]),
        lambda: q.divmod(I, 2), lambda: q.add(I, I, signature="dd->d"), lambda: q.sqrt(2.0),
        lambda: (F + 1, 2 * F, -F, F ** 2, F < 3, I // 2, I % 2, ~I, I << 1, abs(-F), operator.iadd(F.copy(), 1)),
        lambda: (q.add.types, q.add.identity, q.add.signature, repr(q.add), q.add.ntypes),
    ], rows(test_ufunc.CALL_REFUSALS, lambda call: lambda: call(q.array([5.0]))) + [
        (lambda: F == "x", TypeError), (lambda: q.negative(2**70), OverflowError), (lambda: F + "x", TypeError),
        (lambda: operator.iadd(F.copy(), "x"), TypeError), (lambda: q.add(F, [1.0, 2.0, Boom()]), TypeError),
    ]),
    "ufunc methods": ([
        lambda: (q.add.reduce(F), q.maximum.reduce(F, axis=None, keepdims=True)),
        lambda: q.add.reduce(F, axis=(0, 1), where=F > 2, initial=1.0),
        lambda: q.multiply.accumulate(F, axis=1, dtype="float32"), lambda: q.add.reduceat(F, [0, 2, 1], axis=1),
        lambda: q.subtract.outer(F, I), lambda: q.add.at(F.copy(), ([0, 0, 1], [1, 1, 2]), 1.0),
        lambda: q.negative.at(I.copy(), [0, 0]), lambda: q.add.at(F.copy()[0], [0, -1, 0], 2),
        lambda: q.multiply.outer(F.T, I[:2], dtype="float64"), lambda: F[0][[2, -3, 2]],
        lambda: q.multiply.outer(F[0], F[1]), lambda: q.array([1.5, -0.0, 2.5]),
    ], rows(test_ufunc_methods.METHOD_REFUSALS, lambda call: lambda: call(q.array([[5.0] * 2] * 3))) + [
        (lambda: q.add.reduce(F, BadIndex()), Boom), (lambda: q.minimum.reduce(q.zeros((0, 2))), ValueError),
        (lambda: q.add.accumulate(F, out=q.zeros(3)), ValueError), (lambda: q.add.at(F.copy(), [0], Boom()), TypeError),
        (lambda: q.add.at(F.copy()[0], [0, 9], 1.0), IndexError), (lambda: F[0][[0, 2**64]], OverflowError),
    ]),
    "error policy": ([
        lambda: q.divide(F, 0.0), policy(lambda: q.log(q.zeros(3)), divide="call", call=lambda kind, flag: None),
        policy(lambda: q.sqrt(q.array(-1.0)), invalid="log", call=Writer()),
        lambda: q.seterr(**q.seterr(all="raise", under="ignore")), lambda: q.seterrcall(q.seterrcall(Writer())),
        policy(lambda: q.geterr(), all="ignore", call=print), lambda: q.errstate(over="raise")(q.geterr)(),
        lambda: (DECORATED.__name__, DECORATED.__wrapped__, DECORATED.__doc__), lambda: test_error_policy.Host().method(1),
    ], rows(test_error_policy.ERRSTATE_REFUSALS) + [
        (lambda: as_errors(lambda: q.divide(F, 0.0)), RuntimeWarning),
        (policy(lambda: q.divide(F, 0.0), divide="raise"), FloatingPointError),
        (policy(lambda: q.log(q.zeros(3)), all="call", call=test_error_policy.failing), KeyError),
        (policy(lambda: q.sqrt(q.array(-1.0)), invalid="log", call=Writer(fails=True)), Boom),
        (policy(lambda: q.multiply.reduce(q.array([1e300, 1e300])), over="raise"), FloatingPointError),
        (policy(lambda: q.divide.at(F.copy(), [0], 0.0), divide="raise"), FloatingPointError),
        (policy(lambda: q.multiply.outer(q.array([1e300]), q.array([1e300])), over="raise"), FloatingPointError),
        (lambda: as_errors(lambda: q.array([1j]).astype("float64")), q.ComplexWarning),
        (lambda: q.seterr(divide="loud"), ValueError), (lambda: q.seterr(over=1), TypeError),
        (lambda: q.seterrcall(42), TypeError), (lambda: DECORATED.missing, AttributeError),
        (lambda: DECORATED(None), LookupError),
    ]),
}


def run_all(succeeding, failing):
    for call in succeeding:
        call()
    for call, error in failing:
        with pytest.raises(error):
            call()


@pytest.mark.parametrize("area", CASES)
def test_repeated_calls_leave_nothing_behind(area):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(WARM_UP):
            run_all(*CASES[area])
        gc.collect()
        # The interpreter's attribute cache keeps up to 4096 attribute names alive,
        # and a name made afresh for each lookup takes a new entry.
        sys._clear_type_cache()
        counts = [sys.getrefcount(cls) for cls in CLASSES]  # made before the blocks are counted
        blocks = sys.getallocatedblocks()
        for _ in range(REPEATS):
            run_all(*CASES[area])
        gc.collect()
        sys._clear_type_cache()
        blocks_after = sys.getallocatedblocks()
        grown = [sys.getrefcount(cls) for cls in CLASSES]
    assert {cls.__name__: n - m for cls, n, m in zip(CLASSES, grown, counts) if n != m} == {}
    assert blocks_after - blocks <= BLOCK_TOLERANCE
