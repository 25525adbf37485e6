"""Exceptions: every failed library call, a failed host callback and an outcome not reported.

Each carries the library's error record: `domain` (a Domain), `code` and `message`.
"""

import enum


class Domain(enum.IntEnum):
    NONE = 0
    API = 1  # the call itself; code: its status
    URL = 2  # URL loading; code: e.g. -1009 no network, -1202 untrusted certificate
    HOST = 3  # a host callback failed; code: what it answered
    INTERNAL = 4  # a C++ exception caught at the library's edge
    OTHER = 5


class Status(enum.IntEnum):
    OK = 0
    INVALID_ARGUMENT = 1
    INVALID_JSON = 2
    WRONG_STATE = 3
    SHUT_DOWN = 4
    NOT_SUPPORTED = 5
    IO = 6
    TIMEOUT = 7
    INTERNAL = 8


class KorvaniError(Exception):
    """Base of every exception the package raises."""

    def __init__(self, message, domain=Domain.NONE, code=0):
        super().__init__(message)
        self.message = message
        try:
            self.domain = Domain(domain)
        except ValueError:  # a domain newer than this package
            self.domain = domain
        self.code = code


class ApiError(KorvaniError):
    """A library call answered a status other than OK; `status` names it."""

    status = None

    def __init__(self, message, domain=Domain.API, code=0):
        super().__init__(message, domain, code)


class InvalidArgumentError(ApiError, ValueError):
    status = Status.INVALID_ARGUMENT


class InvalidJsonError(ApiError, ValueError):
    """Text that is not the JSON object asked for; the message says why and where."""
    status = Status.INVALID_JSON


class WrongStateError(ApiError):
    """A call not allowed now, such as a drain call inside a callback."""
    status = Status.WRONG_STATE


class ShutDownError(ApiError):
    """shutdown() has run; the library does nothing more in this process."""
    status = Status.SHUT_DOWN


class NotSupportedError(ApiError):
    """The loaded library does not offer this call."""
    status = Status.NOT_SUPPORTED


class FileReadError(ApiError):
    status = Status.IO


class ShutdownTimeoutError(ApiError):
    """shutdown(): the network thread had not stopped in time; call shutdown() again."""
    status = Status.TIMEOUT


class InternalError(ApiError):
    """The library caught a failure of its own at its edge."""
    status = Status.INTERNAL


_BY_STATUS = {cls.status: cls for cls in ApiError.__subclasses__()}


def from_status(status, domain, code, message):
    """The exception for a failed call's status and error record."""
    if domain == Domain.INTERNAL:
        return InternalError(message, domain, code)
    cls = _BY_STATUS.get(status, ApiError)
    return cls(message or f"status {status}", domain or Domain.API, code or status)


class HostCallbackError(KorvaniError):
    """A callback of the host (store, navigation handler, hook, listener) raised.

    The library went on as if the callback had answered nothing. The exception raised is the
    `__cause__`; `callback` names the callback; `errors` holds every (callback, exception) of
    the same payment or drain, the first one included. For a payment, `result` is its outcome,
    so that a payment the platform answered is never lost behind the host's own fault.
    """

    def __init__(self, errors, result=None):
        callback, first = errors[0]
        more = f" (and {len(errors) - 1} more)" if len(errors) > 1 else ""
        super().__init__(f"host callback {callback} raised {first!r}{more}", Domain.HOST,
                         Status.INTERNAL)
        self.callback = callback
        self.errors = list(errors)
        self.result = result
        self.__cause__ = first


class PaymentDroppedError(KorvaniError):
    """A payment whose outcome will not be reported: its component was released, a later
    payment of the same component replaced it, or the library was shut down. The platform may
    still have charged it."""

    def __init__(self, message):
        super().__init__(message, Domain.API, Status.WRONG_STATE)


class ReportTimeoutError(KorvaniError):
    """No report arrived within the time allowed (the payment may still complete)."""

    def __init__(self, message):
        super().__init__(message, Domain.API, Status.TIMEOUT)


class VersionMismatchError(KorvaniError, ImportError):
    """The library beside the package is another version than the package."""
