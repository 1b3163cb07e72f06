"""Every public entry point, on success and on each error path, leaves nothing
behind: repeated a few hundred times after a warm-up, it grows neither the
interpreter's allocated blocks nor the number of live objects of the module's
classes. Instances of a heap type hold a reference to it, so the type's
reference count counts them (Array takes no weak references and is not
tracked by the collector). Under PYTHONMALLOC=malloc no blocks are counted;
the sanitizer run's leak checker watches the memory there."""
import gc
import sys
import warnings

import pytest

import quarvel as q

WARM_UP = 20
REPEATS = 300
# A leak on every call grows the blocks by at least REPEATS; the tolerance
# absorbs the interpreter's own caches settling.
BLOCK_TOLERANCE = 30

VAR = q._ERROR_CONTEXT


def module_classes():
    found = {value for value in vars(q.quarvel).values()
             if isinstance(value, type) and value.__module__ == "quarvel"}
    found.add(type(q.errstate()(print)))  # the decorator class is not exported
    return sorted(found, key=lambda cls: cls.__name__)


CLASSES = module_classes()


def live_counts():
    return {cls.__name__: sys.getrefcount(cls) for cls in CLASSES}


class Boom(Exception):
    pass


class BadIndex:
    def __index__(self):
        raise Boom


class Writer:
    def write(self, text):
        pass


class FailingWriter:
    def write(self, text):
        raise Boom


def failing_callback(kind, flag):
    raise Boom


def in_errstate(operation, **policy):
    def run():
        with q.errstate(**policy):
            return operation()
    return run


def warning_as_error(operation):
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            return operation()
    return run


def decorated_failure():
    raise Boom


DECORATED = q.errstate(all="ignore")(decorated_failure)


class Host:
    @q.errstate(over="raise")
    def method(self):
        return q.geterr()


def set_and_restore(**policy):
    def run():
        q.seterr(**q.seterr(**policy))
    return run


def set_errcall(func):
    def run():
        q.seterrcall(q.seterrcall(func))
    return run


def assign(target, key, value):
    def run():
        target[key] = value
    return run


def in_place(target, operation):
    def run():
        operation(target)
    return run


def iadd(a):
    a += 1


def iadd_text(a):
    a += "x"


DEEP = [1.0]
for _ in range(70):
    DEEP = [DEEP]
L = q.array([1.1, 2j], dtype="clongdouble")
F = q.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
I = q.array([1, 2, 3], dtype="int16")
S = F[0, 1]

CASES = [
    # construction
    ("array nested", lambda: q.array([[1, 2], [3, 4.5]], dtype="float32"), None),
    ("array from array", lambda: q.array(F, copy=False), None),
    ("array no copy refused", lambda: q.array(F, dtype="i4", copy=False), ValueError),
    ("array complex", lambda: q.array([1j, 2], dtype="clongdouble"), None),
    ("array scalar", lambda: q.array(2**64 - 1), None),
    ("zeros", lambda: q.zeros((2, 3), dtype=">i4", order="F"), None),
    ("empty", lambda: q.empty([4], "f2"), None),
    ("array too deep", lambda: q.array(DEEP), ValueError),
    ("array ragged", lambda: q.array([[1, 2], [3]]), ValueError),
    ("array text", lambda: q.array([[1, 2], [3, "x"]]), TypeError),
    ("array foreign object", lambda: q.array([1.0, Boom()]), TypeError),
    ("array too big", lambda: q.array(2**64), OverflowError),
    ("array bad dtype", lambda: q.array([1], dtype="nope"), ValueError),
    ("array bad order", lambda: q.array([1], order="X"), ValueError),
    ("array arguments", lambda: q.array([1], data=[1]), TypeError),
    ("zeros bad shape", lambda: q.zeros((2, -1)), ValueError),
    ("zeros shape limit", lambda: q.zeros((2**40, 2**40)), ValueError),
    ("zeros allocation", lambda: q.zeros((2**62,), dtype="int8"), MemoryError),
    ("zeros bad index", lambda: q.zeros((2, BadIndex())), Boom),
    # dtypes and scalars
    ("dtype parse", lambda: (q.DType(">c16"), q.DType("longdouble").newbyteorder()), None),
    ("dtype attributes", lambda: (q.DType("f8").str, repr(q.DType("u2")), q.DType("i4") == "i4"), None),
    ("dtype bad name", lambda: q.DType("i3"), ValueError),
    ("dtype not text", lambda: q.DType(4), TypeError),
    ("dtype bad byte order", lambda: q.DType("i4").newbyteorder("x"), ValueError),
    ("dtype unhashable", lambda: hash(q.DType("i4")), TypeError),
    ("promote types", lambda: q.promote_types("i8", q.DType("u8")), None),
    ("promote bad", lambda: q.promote_types("i8", "nope"), ValueError),
    ("promote arguments", lambda: q.promote_types("i8"), TypeError),
    ("scalar methods", lambda: (S.item(), float(S), int(S), bool(S), repr(S), str(S), S == 2.0, S < 1), None),
    ("scalar text", lambda: (repr(q.array(1.1, dtype="longdouble")[()]), str(L[0]), str(L.astype("f2")[1])), None),
    ("scalar to integer", lambda: int(q.array(float("nan"))[()]), ValueError),
    # attributes and methods
    ("array attributes", lambda: (F.shape, F.strides, F.dtype, F.flags.c_contiguous, F.T, F.nbytes), None),
    ("array text forms", lambda: (repr(F), str(I), len(F)), None),
    ("astype", lambda: F.astype("int8", order="F"), None),
    ("astype bad", lambda: F.astype("nope"), ValueError),
    ("copy and reshape", lambda: F.copy().reshape((3, 2), "F").transpose((1, 0)), None),
    ("reshape bad", lambda: F.reshape((4, 2)), ValueError),
    ("transpose bad", lambda: F.transpose(0, 0), IndexError),
    ("flags", lambda: (F.flags["W"], repr(F.flags)), None),
    ("flags unknown", lambda: F.flags["X"], KeyError),
    ("flags read-only", lambda: setattr(F.flags, "writeable", False), AttributeError),
    # indexing
    ("index basic", lambda: F[1, ::-1][None, ..., 0], None),
    ("index fancy", lambda: F[[1, 0], [[0], [2]]], None),
    ("index boolean", lambda: F[F > 2.0], None),
    ("index scalar", lambda: F[-1, -1], None),
    ("index out of bounds", lambda: F[2], IndexError),
    ("index fancy out of bounds", lambda: F[[0, 5]], IndexError),
    ("index bad type", lambda: F[1.0], IndexError),
    ("index ragged", lambda: F[[[0], [1, 0]]], IndexError),
    ("index bad boolean", lambda: F[[True, False, True]], IndexError),
    ("index foreign object", lambda: F[BadIndex()], IndexError),
    ("index text in list", lambda: F[[0, "x"]], TypeError),
    # assignment
    ("assign slice", assign(F.copy(), (slice(None), 1), [7, 8]), None),
    ("assign fancy", assign(F.copy(), ([0, 1], [2, 2]), q.array([1, 2], dtype="int8")), None),
    ("assign boolean", assign(F.copy(), F > 3, 0.5), None),
    ("assign shape mismatch", assign(F.copy(), 0, [1, 2]), ValueError),
    ("assign ragged", assign(F.copy(), slice(None), [[1, 2], [3]]), ValueError),
    ("assign overflow", assign(I.copy(), 0, 2**40), OverflowError),
    ("assign complex to real", assign(F.copy(), 0, 1j), TypeError),
    ("assign foreign object", assign(F.copy(), 0, [1.0, 2.0, Boom()]), TypeError),
    ("delete item", lambda: F.__delitem__(0), NotImplementedError),
    # ufunc calls
    ("call binary", lambda: q.add(F, I[:, None][:2, :1]), None),
    ("call out and where", lambda: q.multiply(F, 2, out=q.zeros((2, 3)), where=[True, False, True]), None),
    ("call two outputs", lambda: q.divmod(I, 2), None),
    ("call dtype and signature", lambda: q.add(I, 1, dtype="float32", casting="unsafe"), None),
    ("call signature", lambda: q.add(I, I, signature="dd->d"), None),
    ("call signature refused", lambda: q.add(F, F, signature="x"), TypeError),
    ("call operand refused", lambda: F == "x", TypeError),
    ("call python scalars", lambda: q.sqrt(2.0), None),
    ("call operators", lambda: (F + 1, 2 * F, -F, F ** 2, F < 3, I // 2, I % 2, ~I, I << 1, abs(-F)), None),
    ("call in place", in_place(F.copy(), iadd), None),
    ("call no default loop", lambda: q.bitwise_and(F, F), ValueError),
    ("call no loop", lambda: q.logical_and(F, F, dtype="float64"), TypeError),
    ("call bad out", lambda: q.add(F, 1, out=(1,)), TypeError),
    ("call out shape", lambda: q.add(F, 1, out=q.zeros(3)), ValueError),
    ("call casting", lambda: q.add(F, 1, out=q.zeros((2, 3), dtype="int32")), TypeError),
    ("call broadcast", lambda: q.add(F, I[:2]), ValueError),
    ("call keyword", lambda: q.add(F, 1, spam=1), TypeError),
    ("call int range", lambda: q.negative(2**70), OverflowError),
    ("call operator type", lambda: F + "x", TypeError),
    ("call in place type", in_place(F.copy(), iadd_text), TypeError),
    ("call foreign operand", lambda: q.add(F, [1.0, 2.0, Boom()]), TypeError),
    ("ufunc attributes", lambda: (q.add.types, q.add.identity, q.add.signature, repr(q.add), q.add.ntypes), None),
    # reduce, accumulate, reduceat, outer, at
    ("reduce", lambda: (q.add.reduce(F), q.maximum.reduce(F, axis=None, keepdims=True)), None),
    ("reduce where initial", lambda: q.add.reduce(F, axis=(0, 1), where=F > 2, initial=1.0), None),
    ("reduce axis", lambda: q.add.reduce(F, 2), q.AxisError),
    ("reduce failing axis", lambda: q.add.reduce(F, BadIndex()), Boom),
    ("reduce no identity", lambda: q.minimum.reduce(q.zeros((0, 2))), ValueError),
    ("reduce not binary", lambda: q.sqrt.reduce(F), TypeError),
    ("reduce bad where", lambda: q.add.reduce(F, where=[[[True]]]), ValueError),
    ("accumulate", lambda: q.multiply.accumulate(F, axis=1, dtype="float32"), None),
    ("accumulate axes", lambda: q.add.accumulate(F, (0, 1)), ValueError),
    ("accumulate out", lambda: q.add.accumulate(F, out=q.zeros(3)), ValueError),
    ("reduceat", lambda: q.add.reduceat(F, [0, 2, 1], axis=1), None),
    ("reduceat bounds", lambda: q.add.reduceat(F, [5], axis=1), ValueError),
    ("reduceat indices", lambda: q.add.reduceat(F, [0.5]), TypeError),
    ("outer", lambda: q.subtract.outer(F, I), None),
    ("outer not binary", lambda: q.sin.outer(F, F), TypeError),
    ("outer bad out", lambda: q.add.outer(I, I, out=q.zeros(3)), ValueError),
    ("at", lambda: q.add.at(F.copy(), ([0, 0, 1], [1, 1, 2]), 1.0), None),
    ("at unary", lambda: q.negative.at(I.copy(), [0, 0]), None),
    ("at index", lambda: q.add.at(F.copy(), [0, 3], 1), IndexError),
    ("at operand", lambda: q.add.at(F.copy(), [0], Boom()), TypeError),
    ("at not array", lambda: q.add.at([1.0], [0], 1), TypeError),
    # the error policy and fault reports
    ("fault warned", lambda: q.divide(F, 0.0), None),
    ("fault warning as error", warning_as_error(lambda: q.divide(F, 0.0)), RuntimeWarning),
    ("fault raised", in_errstate(lambda: q.divide(F, 0.0), divide="raise"), FloatingPointError),
    ("fault called", in_errstate(lambda: q.log(q.zeros(3)), divide="call", call=lambda kind, flag: None), None),
    ("fault callback fails", in_errstate(lambda: q.log(q.zeros(3)), all="call", call=failing_callback), Boom),
    ("fault logged", in_errstate(lambda: q.sqrt(q.array(-1.0)), invalid="log", call=Writer()), None),
    ("fault log fails", in_errstate(lambda: q.sqrt(q.array(-1.0)), invalid="log", call=FailingWriter()), Boom),
    ("fault in reduce", in_errstate(lambda: q.multiply.reduce(q.array([1e300, 1e300])), over="raise"),
     FloatingPointError),
    ("fault in at", in_errstate(lambda: q.divide.at(F.copy(), [0], 0.0), divide="raise"), FloatingPointError),
    ("cast warning", warning_as_error(lambda: q.array([1j]).astype("float64")), q.ComplexWarning),
    ("seterr", set_and_restore(all="raise", under="ignore"), None),
    ("seterr bad mode", lambda: q.seterr(divide="loud"), ValueError),
    ("seterr not text", lambda: q.seterr(over=1), TypeError),
    ("geterr", lambda: q.geterr(), None),
    ("seterrcall", set_errcall(Writer()), None),
    ("seterrcall refused", lambda: q.seterrcall(42), TypeError),
    ("geterrcall", lambda: q.geterrcall(), None),
    ("errstate block", in_errstate(lambda: q.geterr(), all="ignore", call=print), None),
    ("errstate decorator", lambda: q.errstate(over="raise")(q.geterr)(), None),
    ("errstate decorator attributes", lambda: (DECORATED.__name__, DECORATED.__wrapped__, DECORATED.__doc__), None),
    ("errstate decorator missing attribute", lambda: DECORATED.missing, AttributeError),
    ("errstate decorated method", lambda: Host().method(), None),
    ("errstate decorated failure", lambda: q.errstate(over="raise")(decorated_failure)(), Boom),
    ("errstate keyword", lambda: q.errstate(spam=1), TypeError),
    ("errstate bad mode", lambda: q.errstate(divide="loud"), ValueError),
    ("errstate not callable", lambda: q.errstate()(42), TypeError),
]


@pytest.fixture
def default_policy():
    token = VAR.set(("warn", "warn", "ignore", "warn", None, ()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield
    VAR.reset(token)


def repeat(call, error, times):
    for _ in range(times):
        try:
            call()
        except Exception as raised:  # noqa: BLE001
            if error is None or type(raised) is not error:
                raise


def settle():
    gc.collect()
    # The interpreter's attribute cache keeps up to 4096 attribute names alive,
    # and a name made afresh for each lookup takes a new entry.
    sys._clear_type_cache()


@pytest.mark.parametrize("call, error", [pytest.param(call, error, id=name) for name, call, error in CASES])
def test_repeated_calls_leave_nothing_behind(default_policy, call, error):
    if error is None:
        call()
    else:
        with pytest.raises(error):
            call()
    repeat(call, error, WARM_UP)
    settle()
    counts = live_counts()  # made before the blocks are counted, so both counts see it
    blocks = sys.getallocatedblocks()
    repeat(call, error, REPEATS)
    settle()
    blocks_after = sys.getallocatedblocks()
    counts_after = live_counts()
    assert {name: counts_after[name] - count for name, count in counts.items() if counts_after[name] != count} == {}
    assert blocks_after - blocks <= BLOCK_TOLERANCE
