"""quarvel: n-dimensional numeric arrays."""
from . import quarvel as _native
from .quarvel import *  # noqa: F401,F403  (__version__ included)

__all__ = list(_native.__all__)
