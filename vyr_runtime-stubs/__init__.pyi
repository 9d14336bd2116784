"""Runtime support of vyr_spectral_core: PanicException, the exception that its
functions raise when native code faults, and checked(), which turns such a
fault into an ordinary exception."""

from collections.abc import Callable
from typing import ParamSpec, TypeVar

__all__ = ["PanicException", "FaultError", "checked"]

_P = ParamSpec("_P")
_R = TypeVar("_R")

class PanicException(BaseException):
    """Raised when native code called from Python faults.

    Like SystemExit, this exception derives from BaseException, so that it will
    usually propagate all the way up the stack and make the interpreter exit.
    """

class FaultError(Exception):
    """A fault (PanicException) as an ordinary exception, raised by checked()."""

def checked(function: Callable[_P, _R], /, *args: _P.args, **kwargs: _P.kwargs) -> _R:
    """function(*args, **kwargs), a PanicException re-raised as FaultError."""
