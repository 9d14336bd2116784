"""Runtime support of vyr_spectral_core: PanicException, the exception that its
functions raise when native code faults."""

__all__ = ["PanicException"]

class PanicException(BaseException):
    """Raised when native code called from Python faults.

    Like SystemExit, this exception derives from BaseException, so that it will
    usually propagate all the way up the stack and make the interpreter exit.
    """
