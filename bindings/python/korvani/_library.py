"""The loaded library, and library calls that raise instead of answering a status."""

import ctypes
import threading
import warnings

from . import _native, errors

lib = _native.load()


def error_from_record(record, status=None):
    message = _native.py_text(record.message.split(b"\0", 1)[0])
    if status is None:
        return errors.KorvaniError(message, record.domain, record.code)
    return errors.from_status(status, record.domain, record.code, message)


def call(function, *arguments):
    """Calls a declared function with an error record last; a failure raises its exception."""
    if function is None:
        raise errors.NotSupportedError("the loaded korvani library does not offer this call")
    record = _native.Error.new()
    status = function(*arguments, ctypes.byref(record))
    if status != _native.OK:
        raise error_from_record(record, status)


def version():
    """The loaded library's version as (major, minor, patch)."""
    numbers = [ctypes.c_int() for _ in range(3)]
    lib.version(*(ctypes.byref(number) for number in numbers))
    return tuple(number.value for number in numbers)


class Handle:
    """A library handle owned by a Python object: released by release(), a `with` block, or
    when the object is collected on the thread that made it (the host's thread; collected
    elsewhere, it is left to the library's shutdown rather than released on a foreign
    thread)."""

    _release_function = None  # the library's release call, set by each kind

    def _own(self, handle):
        object.__setattr__(self, "_handle", handle)
        object.__setattr__(self, "_thread", threading.get_ident())

    @property
    def handle(self):
        if self._handle is None:
            raise ValueError(f"the {type(self).__name__.lower()} has been released")
        return self._handle

    def release(self):
        """Releases the handle; calling it again does nothing."""
        handle = self.__dict__.get("_handle")
        if handle is not None:
            object.__setattr__(self, "_handle", None)
            type(self)._release_function(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.release()

    def __del__(self):
        if self.__dict__.get("_handle") is None:
            return
        if self.__dict__.get("_thread") == threading.get_ident():
            self.release()
        else:
            warnings.warn(f"a korvani {type(self).__name__} was collected on another thread "
                          "without release()", ResourceWarning, stacklevel=1)
