import warnings

import pytest

import quarvel

OVERFLOW = "overflow encountered in cast"
DISCARD = "Casting complex values to real discards the imaginary part"


def record(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, caught


# Storage errors that Python code can reach, each with its class and text.
@pytest.mark.parametrize("call,cls,text", [
    (lambda: quarvel.array([1, 2, 3])[5], IndexError, "index 5 is out of bounds for axis 0 with size 3"),
    (lambda: quarvel.array([1, 2, 3])[-4], IndexError, "index -4 is out of bounds for axis 0 with size 3"),
    (lambda: quarvel.array([[1, 2]])[0, 2], IndexError, "index 2 is out of bounds for axis 1 with size 2"),
    (lambda: quarvel.array([1, 2, 3])[0, 0], IndexError,
     "too many indices for array: array is 1-dimensional, but 2 were indexed"),
    (lambda: quarvel.zeros((2**40, 2**40)), ValueError, "array shape or byte strides exceed supported limits"),
])
def test_storage_errors_reach_python(call, cls, text):
    with pytest.raises(cls) as info:
        call()
    assert type(info.value) is cls
    assert str(info.value) == text


def test_broadcast_error_reaches_python():
    a = quarvel.array([1, 2, 3])
    with pytest.raises(ValueError) as info:
        a[:] = quarvel.array([1, 2])
    assert str(info.value) == "could not broadcast input array from shape [2] into shape [3]"


# value, target, warns
@pytest.mark.parametrize("value,dtype,warns", [
    (65519.0, "float16", False),
    (65520.0, "float16", True),
    (-65520.0, "float16", True),
    (65504.0, "float16", False),
    (70000, "float16", True),
    (65519, "float16", False),
    (float("inf"), "float16", False),
    (float("nan"), "float16", False),
    (3.4028235e38, "float32", False),
    (3.4028235677973366e38, "float32", True),
    (3.5e38, "float32", True),
    (-3.5e38, "float32", True),
    (2**128, "float32", True),
    (1e308, "float64", False),
    (1e300, "complex128", False),
    (1 + 4e38j, "complex64", True),
    (4e38 + 1j, "complex64", True),
    (complex(float("inf"), 4e38), "complex64", True),
    (complex(1, float("nan")), "complex64", False),
])
def test_cast_overflow_warning_thresholds(value, dtype, warns):
    _, caught = record(lambda: quarvel.array([value], dtype=dtype))
    messages = [(w.category, str(w.message)) for w in caught]
    assert messages == ([(RuntimeWarning, OVERFLOW)] if warns else [])


def test_overflow_warning_points_at_the_caller():
    _, caught = record(lambda: quarvel.array([1e39], dtype="float32"))
    assert len(caught) == 1
    assert caught[0].filename == __file__


def test_overflow_warning_as_error_stops_the_operation():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning) as info:
            quarvel.array([1.0, 1e39], dtype="float32")
        assert str(info.value) == OVERFLOW
    target = quarvel.zeros(2, dtype="float32")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            target[:] = [5.0, 1e39]
    assert target[0] == 0.0 and target[1] == 0.0


def test_complex_warning_on_discarding_cast():
    source = quarvel.array([1 + 2j, 3 - 1j])
    result, caught = record(lambda: quarvel.array(source, dtype="float64"))
    assert [(w.category, str(w.message)) for w in caught] == [(quarvel.ComplexWarning, DISCARD)]
    assert caught[0].filename == __file__
    assert result[0] == 1.0 and result[1] == 3.0
    _, caught = record(lambda: quarvel.array(source, dtype="complex64"))
    assert caught == []


def test_complex_warning_as_error():
    source = quarvel.array([1 + 2j])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(quarvel.ComplexWarning) as info:
            quarvel.array(source, dtype="int32")
    assert str(info.value) == DISCARD
    assert isinstance(info.value, RuntimeWarning)


def test_complex_warning_category_is_looked_up_each_time(monkeypatch):
    class Replacement(RuntimeWarning):
        pass

    source = quarvel.array([1 + 2j])
    monkeypatch.setattr(quarvel, "ComplexWarning", Replacement)
    _, caught = record(lambda: quarvel.array(source, dtype="float32"))
    assert [w.category for w in caught] == [Replacement]
    monkeypatch.setattr(quarvel, "ComplexWarning", "not a class")
    with pytest.raises(TypeError):
        quarvel.array(source, dtype="float32")
    monkeypatch.delattr(quarvel, "ComplexWarning")
    with pytest.raises(AttributeError):
        quarvel.array(source, dtype="float32")


def test_python_int_range_error():
    with pytest.raises(OverflowError) as info:
        quarvel.array([256], dtype="uint8")
    assert str(info.value) == "Python int is outside the requested dtype range"


@pytest.mark.parametrize("key,shape", [(True, (1, 2)), (False, (0, 2))])
def test_boolean_scalar_keys(key, shape):
    assert quarvel.array([1, 2])[key].shape == shape


def test_bool_scalar_object_is_a_boolean_key():
    a = quarvel.array([1, 2])
    flag = quarvel.array([True])[0]
    assert type(flag) is quarvel.BoolScalar
    assert a[flag].shape == (1, 2)
    one = quarvel.array([1], dtype="int8")[0]
    assert a[one] == 2
