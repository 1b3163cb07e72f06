"""Reading arrays back as nested Python lists, for the array tests."""
import quarvel


def to_python(result):
    """A subscript result as Python values: arrays as nested lists, scalars by item()."""
    if isinstance(result, quarvel.Array):
        return tolist(result)
    return result.item()


def tolist(a):
    if a.ndim == 0:
        return a[()].item()
    return [to_python(a[i]) for i in range(len(a))]


def shares_buffer(view, base):
    """Whether a write to the first element of `view` shows in `base` (both non-empty)."""
    before = tolist(base)
    first = (0,) * view.ndim
    old = view[first].item()
    view[first] = 0 if old else 1
    seen = tolist(base) != before
    view[first] = old
    return seen
