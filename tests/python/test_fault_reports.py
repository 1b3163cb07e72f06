"""One report of an operation's floating-point faults under the policy in force."""
import io
import sys
import warnings

import pytest

import quarvel as q

# divide by zero, overflow, underflow and invalid value, one element each
ALL_FOUR = (q.array([1.0, 1e300, 1e-300, 0.0]), q.array([0.0, 1e-300, 1e300, 0.0]))
TEXTS = {"divide": "divide by zero", "over": "overflow", "under": "underflow", "invalid": "invalid value"}


class Writer:
    def __init__(self):
        self.lines = []

    def write(self, text):
        self.lines.append(text)


def reports(call, **policy):
    """The warnings a call leaves under the policy (no errcall), and its exception."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with q.errstate(call=None, **policy):
            try:
                call()
                error = None
            except Exception as raised:  # noqa: BLE001 - the report's own exception
                error = raised
    return [(w.category, str(w.message)) for w in caught], error


def divide_all_four():
    return q.divide(*ALL_FOUR)


@pytest.mark.parametrize("policy, warned, error", [
    ({}, ["divide by zero", "overflow", "invalid value"], None),
    ({"all": "warn"}, ["divide by zero", "overflow", "underflow", "invalid value"], None),
    ({"all": "ignore"}, [], None),
    ({"divide": "warn", "over": "ignore", "invalid": "raise"}, ["divide by zero"],
     (FloatingPointError, "invalid value encountered in divide")),
    ({"over": "raise", "under": "raise", "divide": "ignore"}, [], (FloatingPointError, "overflow encountered in divide")),
    ({"divide": "warn", "over": "call"}, ["divide by zero"],
     (RuntimeError, "floating point error mode requires a callback")),
])
def test_categories_in_order_until_the_first_exception(policy, warned, error):
    caught, raised = reports(divide_all_four, **policy)
    assert caught == [(RuntimeWarning, f"{text} encountered in divide") for text in warned]
    if error is None:
        assert raised is None
    else:
        assert type(raised) is error[0] and str(raised) == error[1]


def test_call_mode_passes_category_text_and_bit_mask():
    seen = []
    with q.errstate(all="call", call=lambda kind, mask: seen.append((kind, mask))):
        divide_all_four()
        q.divide(q.array([1.0, 0.0]), 0.0)
    assert seen == [(text, 15) for text in TEXTS.values()] + [("divide by zero", 9), ("invalid value", 9)]


def test_log_and_print_write_one_line_per_category(monkeypatch):
    writer = Writer()
    with q.errstate(divide="log", invalid="log", call=writer):
        q.divide(q.array([1.0, 0.0]), 0.0)
    assert writer.lines == ["Warning: divide by zero encountered in divide\n",
                            "Warning: invalid value encountered in divide\n"]
    stderr = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    with q.errstate(all="print"):
        q.multiply(q.array([1e300]), 1e300)
    assert stderr.getvalue() == "Warning: overflow encountered in multiply\n"


@pytest.mark.parametrize("mode, errcall, error", [
    ("log", None, RuntimeError),
    ("log", lambda kind, mask: None, AttributeError),
    ("call", Writer(), TypeError),
])
def test_callback_failures(mode, errcall, error):
    with q.errstate(divide=mode, call=errcall), pytest.raises(error):
        q.divide(1.0, q.array([0.0]))


def test_errors_of_the_callback_propagate_after_the_writes():
    def failing(kind, mask):
        raise KeyError(kind)

    out = q.zeros(2)
    with q.errstate(divide="call", call=failing), pytest.raises(KeyError):
        q.divide(q.array([1.0, 2.0]), 0.0, out=out)
    assert out[1].item() == float("inf")


def test_warning_turned_error_stops_the_walk():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        seen = []
        with q.errstate(divide="warn", invalid="call", call=lambda kind, mask: seen.append(kind)):
            with pytest.raises(RuntimeWarning, match="divide by zero encountered in divide"):
                q.divide(q.array([1.0, 0.0]), 0.0)
    assert seen == []


def test_no_fault_reads_no_policy():
    token = q._ERROR_CONTEXT.set(42)
    try:
        assert q.add(q.array([1.0]), 1.0)[0].item() == 2.0
        with pytest.raises(TypeError, match="'int' object cannot be cast as 'tuple'"):
            q.divide(q.array([1.0]), 0.0)
    finally:
        q._ERROR_CONTEXT.reset(token)


@pytest.mark.parametrize("call", [
    lambda: q.add.reduce(q.array([1e308, 1e308])),
    lambda: q.add.accumulate(q.array([1e308, 1e308])),
    lambda: q.add.reduceat(q.array([1e308, 1e308, 1.0]), [0, 2]),
    lambda: q.multiply.outer(q.array([1e300, 1e200]), q.array([1e300, 1e100])),
    lambda: q.multiply.at(q.array([1e300, 1e300]), [0, 0, 1], 1e300),
])
def test_every_method_reports_once(call):
    seen = []
    with q.errstate(all="call", call=lambda kind, mask: seen.append(kind)):
        call()
    assert seen == ["overflow"]
