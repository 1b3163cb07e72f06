"""quarvel: n-dimensional numeric arrays."""
from . import quarvel as _native
from .quarvel import *  # noqa: F401,F403

__all__ = list(getattr(_native, "__all__", ()))
__version__ = _native.__version__
