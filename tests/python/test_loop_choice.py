"""A ufunc keeps the loop its last call chose: whatever call came just before,
each call below must choose its own loop, or raise its own refusal."""
import pytest

import quarvel as q

f8 = q.array([1.5, -2.0, 3.0])
f4 = q.array([1.5, -2.0, 3.0], dtype="float32")
i8 = q.array([1, -2, 3])
i1 = q.array([1, -2, 3], dtype="int8")
c16 = q.array([1 + 1j, 2, 3])
c8 = q.array([1 + 1j, 2, 3], dtype="complex64")
m_i1 = q.array([[1, -2, 3], [0, 0, 0]], dtype="int8")
m_f4 = q.array([[1.5, -2.0, 3.0], [1.0, 1.0, 1.0]], dtype="float32")
be = q.array([1.5, -2.0, 3.0], dtype=">f8")
b = q.array([True, False, True])

SUMS = [2.5, -1.0, 4.0]
PAIRS = [3.0, -4.0, 6.0]
ROOTS = [1.0, None, 3.0 ** 0.5]

# call: (result dtype, values) or (exception class, message)
CALLS = {
    "f8+1 dtype f4": (lambda: q.add(f8, 1.0, dtype="float32"), ("float32", SUMS)),
    "f8+1 dtype f8": (lambda: q.add(f8, 1.0, dtype="float64"), ("float64", SUMS)),
    "f8+1 dtype f4 no": (lambda: q.add(f8, 1.0, dtype="float32", casting="no"),
                         (TypeError, "ufunc 'add' input cannot be cast from float64 to float32 with casting rule 'no'")),
    "f8+1 dtype f4 unsafe": (lambda: q.add(f8, 1.0, dtype="float32", casting="unsafe"), ("float32", SUMS)),
    "f8+1 dtype type f4": (lambda: q.add(f8, 1.0, dtype=q.float32), ("float32", SUMS)),
    "f8+1 dtype type f8": (lambda: q.add(f8, 1.0, dtype=q.float64), ("float64", SUMS)),
    "f8+1 dtype made f4": (lambda: q.add(f8, 1.0, dtype=q.DType("float32")), ("float32", SUMS)),
    "f4+1 dtype f8": (lambda: q.add(f4, 1.0, dtype="float64"), ("float64", SUMS)),
    "i8+1 dtype f8": (lambda: q.add(i8, 1, dtype="float64"), ("float64", [2.0, -1.0, 4.0])),
    "i8+1": (lambda: q.add(i8, 1), ("int64", [2, -1, 4])),
    "i1+1": (lambda: q.add(i1, 1), ("int8", [2, -1, 4])),
    "i1+i8": (lambda: q.add(i1, i8), ("int64", [2, -4, 6])),
    "i8+i1 dtype i1": (lambda: q.add(i8, i1, dtype="int8"), ("int8", [2, -4, 6])),
    "be+be no": (lambda: q.add(be, be, casting="no"),
                 (TypeError, "ufunc 'add' input cannot be cast from float64 to float64 with casting rule 'no'")),
    "f8+be no": (lambda: q.add(f8, be, casting="no"),
                 (TypeError, "ufunc 'add' input cannot be cast from float64 to float64 with casting rule 'no'")),
    "f8+f8 no": (lambda: q.add(f8, f8, casting="no"), ("float64", PAIRS)),
    "be+f8": (lambda: q.add(be, f8), ("float64", PAIRS)),
    "f8+i8 safe": (lambda: q.add(f8, i8, casting="safe"),
                   (TypeError, "ufunc 'add' input cannot be cast from int64 to float64 with casting rule 'safe'")),
    "f8+c16 dtype f8": (lambda: q.add(f8, c16, dtype="float64"),
                        (TypeError, "ufunc 'add' input cannot be cast from complex128 to float64 with casting rule "
                                    "'same_kind'")),
    "f8+c16": (lambda: q.add(f8, c16), ("complex128", [2.5 + 1j, 0j, 6 + 0j])),
    "and dtype bool": (lambda: q.logical_and(b, b, dtype="bool"), ("bool", [True, False, True])),
    "and dtype f8": (lambda: q.logical_and(b, b, dtype="float64"),
                     (TypeError, "no loop matching the specified signature and casting was found for ufunc "
                                 "'logical_and'")),
    # Plain calls: an array in another dtype than the loop's is converted.
    "f4+1": (lambda: q.add(f4, 1.0), ("float32", SUMS)),
    "c8+1j": (lambda: q.add(c8, 1j), ("complex64", [1 + 2j, 2 + 1j, 3 + 1j])),
    "f4+1j": (lambda: q.add(f4, 1j), ("complex64", [1.5 + 1j, -2 + 1j, 3 + 1j])),
    "1j+f4": (lambda: q.add(1j, f4), ("complex64", [1.5 + 1j, -2 + 1j, 3 + 1j])),
    "b+1": (lambda: q.add(b, 1), ("int64", [2, 1, 2])),
    "1+b": (lambda: q.add(1, b), ("int64", [2, 1, 2])),
    # Reductions keep their loop per input dtype.
    "reduce i1": (lambda: q.add.reduce(m_i1, axis=0), ("int64", [1, -2, 3])),
    "reduce f4": (lambda: q.add.reduce(m_f4, axis=0), ("float32", SUMS)),
    "reduce f4 dtype f8": (lambda: q.add.reduce(m_f4, axis=0, dtype="float64"), ("float64", SUMS)),
    "accumulate i1": (lambda: q.add.accumulate(i1), ("int64", [1, -1, 2])),
    "accumulate b": (lambda: q.add.accumulate(b), ("int64", [1, 1, 2])),
    "sqrt f8 dtype f4": (lambda: q.sqrt(f8, dtype="float32"), ("float32", [1.5 ** 0.5, None, 3.0 ** 0.5])),
    "sqrt i8": (lambda: q.sqrt(i8), ("float64", ROOTS)),
    "sqrt i8 dtype f4": (lambda: q.sqrt(i8, dtype="float32"), ("float32", ROOTS)),
}


def check(call, expected):
    if isinstance(expected[0], type):
        with pytest.raises(expected[0]) as raised:
            call()
        assert str(raised.value) == expected[1]
        return
    result = call()
    assert result.dtype.name == expected[0]
    single = expected[0] == "float32"
    for k, value in enumerate(expected[1]):
        got = result[k].item()
        if value is None:
            assert got != got
        elif single:
            assert got == pytest.approx(value, rel=2 ** -23)
        else:
            assert got == value and type(got) is type(value)


@pytest.mark.parametrize("name", CALLS)
def test_each_call_chooses_its_own_loop_after_any_other(name):
    call, expected = CALLS[name]
    with q.errstate(all="ignore"):
        for before, _ in CALLS.values():
            try:
                before()
            except TypeError:
                pass
            check(call, expected)
            check(call, expected)
