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


def shares_buffer(a, b):
    """Whether a write through `a` shows in `b` (both non-empty, same shape)."""
    index = (0,) * a.ndim
    old = a[index].item()
    a[index] = 1 if not old else 0
    seen = b[index].item() != old
    a[index] = old
    return seen
