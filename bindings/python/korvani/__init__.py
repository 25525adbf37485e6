"""Korvani payment plug-in for Python hosts, on the library's C interface.

    import asyncio, decimal, korvani
    from korvani.host import InMemoryCheckoutStore, PaymentData

    async def main():
        with korvani.Configuration(base_url=..., path="/v1/payments", access_token=...,
                                   checkout_preference={"amount": decimal.Decimal("150.75")},
                                   sha256=korvani.sha256_hex) as configuration, \\
             korvani.Component(configuration) as component:
            component.set_store(InMemoryCheckoutStore(PaymentData(...)))
            result = await component.pay()

Money is never a float: amounts are decimal.Decimal (or the record's JSON text). The library
is the one beside this file; importing checks that its version is the package's. The library
is shut down when the interpreter exits (see shutdown()).
"""

import atexit
import ctypes
import hashlib

from . import _callbacks, _native, delivery, host
from ._json import dumps, loads
from ._library import call, lib, version
from .component import Component, PaymentResult, _waiting
from .configuration import Configuration
from .delivery import run_until, use_loop
from .errors import (ApiError, Domain, FileReadError, HostCallbackError, InternalError,
                     InvalidArgumentError, InvalidJsonError, KorvaniError, NotSupportedError,
                     PaymentDroppedError, ReportTimeoutError, ShutDownError,
                     ShutdownTimeoutError, Status, VersionMismatchError, WrongStateError)

__version__ = "0.1.0"

__all__ = [
    "ApiError", "Component", "Configuration", "Domain", "FileReadError", "HostCallbackError",
    "InternalError", "InvalidArgumentError", "InvalidJsonError", "KorvaniError",
    "NotSupportedError", "PaymentDroppedError", "PaymentResult", "ReportTimeoutError",
    "ShutDownError", "ShutdownTimeoutError", "Status", "VersionMismatchError",
    "WrongStateError", "add_trusted_certificates", "dumps", "host", "host_failure_count",
    "live_objects", "loads", "reset_trusted_certificates", "run_until",
    "set_exchange_observer", "set_host_failure_listener", "set_maximum_response_bytes",
    "set_proxy", "set_reachability", "set_request_deadline", "set_resend_enabled",
    "set_track_listener", "set_warm_up_enabled", "sha256_hex", "shutdown", "use_loop", "version",
]

if ".".join(map(str, version())) != __version__:
    raise VersionMismatchError(
        f"korvani: the library beside the package ({lib.path}) is version "
        f"{'.'.join(map(str, version()))}, the package {__version__}; reinstall the package "
        "with bindings/python/install.py")


def sha256_hex(text):
    """The lower-case hex SHA-256 of `text` (UTF-8): a ready Configuration.sha256."""
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


# Host services, process-wide. Each replaces the earlier one (None removes it).

def _install(setter, cls, target, **functions):
    if target is None:
        call(setter, None)
    else:
        call(setter, ctypes.byref(_callbacks.table(cls, target, **functions)))


def set_reachability(reachability):
    """The host's reachability (an object with current_status()); None: the library's own."""
    _install(lib.set_reachability, _native.Reachability, reachability,
             current_status=_callbacks.current_status)


def set_track_listener(listener):
    """The tracker's listener (an object with track_event(screen, action, result, extra))."""
    _install(lib.set_track_listener, _native.TrackListener, listener,
             track_event=_callbacks.track_event)


def set_host_failure_listener(listener):
    """A callable hearing a KorvaniError (domain HOST) for every failed host callback."""
    _install(lib.set_host_failure_listener, _native.HostFailureListener, listener,
             host_failed=_callbacks.host_failed)


def set_exchange_observer(observer):
    """A callable hearing each payment exchange's Exchange(status_code, error, send_count), on
    the host's thread before the report; for diagnostics (None: off, the default)."""
    _install(lib.set_exchange_observer, _native.ExchangeObserver, observer,
             exchange_finished=_callbacks.exchange_finished)


def host_failure_count():
    """How many host callbacks have failed since the library was loaded."""
    count = ctypes.c_uint64()
    call(lib.host_failure_count, ctypes.byref(count))
    return count.value


# Session settings, process-wide; each applies to requests made afterwards.

def add_trusted_certificates(*, file=None, pem=None):
    """Trusts the PEM certificates of a file or a text, beside the system store."""
    if file is not None:
        call(lib.session_add_trusted_certificates_file, _native.c_text(str(file)))
    if pem is not None:
        call(lib.session_add_trusted_certificates_pem, _native.c_text(pem))


def reset_trusted_certificates():
    call(lib.session_reset_trusted_certificates)


def set_proxy(proxy):
    """The proxy every request goes through ("http://host:port"), or None."""
    call(lib.session_set_proxy, _native.c_text(proxy))


def set_warm_up_enabled(enabled):
    call(lib.session_set_warm_up_enabled, 1 if enabled else 0)


def set_resend_enabled(enabled):
    """Re-sending a payment under its idempotency key after a lost connection (on by default).
    Turn it off only for a platform that does not honour idempotency keys."""
    call(lib.session_set_resend_enabled, 1 if enabled else 0)


def set_request_deadline(seconds):
    call(lib.session_set_request_deadline_ms, int(seconds * 1000))


def set_maximum_response_bytes(size):
    call(lib.session_set_maximum_response_bytes, size)


def live_objects():
    """(handles, user data) the library holds for the host now: for leak checks."""
    handles, user_data = ctypes.c_size_t(), ctypes.c_size_t()
    call(lib.live_objects, ctypes.byref(handles), ctypes.byref(user_data))
    return handles.value, user_data.value


def shutdown(timeout=5.0):
    """Ends the library for this process: no callback fires afterwards, a payment in flight
    is cancelled and its pay() raises PaymentDroppedError, every host object the library held
    is let go. Later calls raise ShutDownError. Runs by itself at interpreter exit."""
    delivery.forget_loop()
    call(lib.shutdown, int(timeout * 1000))
    for component in list(_waiting):
        component._drop("the library was shut down before the outcome arrived")
    _waiting.clear()


def _shutdown_at_exit():
    # After the interpreter has gone, the network thread must find no Python callback to call.
    try:
        shutdown(1.0)
    except KorvaniError:
        pass


atexit.register(_shutdown_at_exit)
