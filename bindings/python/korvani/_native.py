"""The C library and its declarations, as korvani.h states them.

The library is loaded from this package's own folder, never from a search path, so that the
package always runs the library it was installed with.
"""

import ctypes
import os
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_int, c_int32, c_int64,
                    c_size_t, c_uint32, c_uint64, c_void_p)

LIBRARY_FILE = "libkorvani_c.so"

OK = 0
ERROR_MESSAGE_SIZE = 256
FAILED = 1  # what a Python callback answers when it raised

# Configuration text members, in the header's order.
CONFIG_BASE_URL, CONFIG_PATH, CONFIG_ACCESS_TOKEN, CONFIG_APP_VERSION, CONFIG_SESSION_ID, \
    CONFIG_PLATFORM, CONFIG_SITE_ID, CONFIG_SOURCE, CONFIG_USER_AGENT = range(9)
# Payment data text members.
PAYMENT_METHOD_ID, PAYMENT_TYPE_ID, ISSUER_ID, TOKEN_ID = range(4)


class Error(Structure):
    _fields_ = [("struct_size", c_size_t), ("domain", c_int32), ("code", c_int64),
                ("message", c_char * ERROR_MESSAGE_SIZE)]

    @classmethod
    def new(cls):
        return cls(ctypes.sizeof(cls), 0, 0, b"")


FreeFn = CFUNCTYPE(None, c_void_p)
DigestFn = CFUNCTYPE(c_int, c_void_p, c_char_p, c_void_p)
PaymentDataFn = CFUNCTYPE(c_int, c_void_p, c_void_p)
GetDataFn = CFUNCTYPE(c_int, c_void_p, c_char_p, c_void_p)
WorkFn = CFUNCTYPE(c_int, c_void_p)
FinishFn = CFUNCTYPE(c_int, c_void_p, c_char_p, c_char_p, c_char_p)
FinishRemoteFn = CFUNCTYPE(c_int, c_void_p, c_int, c_char_p, c_char_p)
StatusFn = CFUNCTYPE(c_int, c_void_p, POINTER(c_int))
TrackFn = CFUNCTYPE(c_int, c_void_p, c_char_p, c_char_p, c_char_p, c_char_p)
HostFailedFn = CFUNCTYPE(None, c_void_p, POINTER(Error))
NotifyFn = CFUNCTYPE(None, c_void_p)


class Exchange(Structure):
    _fields_ = [("struct_size", c_size_t), ("status_code", c_int64), ("error", POINTER(Error)),
                ("send_count", c_uint32)]


ExchangeFn = CFUNCTYPE(None, c_void_p, POINTER(Exchange))
ConditionFn = CFUNCTYPE(c_int, c_void_p)


def _table(name, *members):
    fields = [("struct_size", c_size_t), ("user_data", c_void_p), ("free_user_data", FreeFn)]
    return type(name, (Structure,), {"_fields_": fields + list(members)})


Sha256Hook = _table("Sha256Hook", ("digest", DigestFn))
StoreCallbacks = _table("StoreCallbacks", ("current_payment_data", PaymentDataFn),
                        ("get_data", GetDataFn))
NavigationHandler = _table("NavigationHandler", ("begin_plugin_work", WorkFn),
                           ("end_plugin_work", WorkFn), ("did_finish_payment", FinishFn),
                           ("did_finish_remote_payment", FinishRemoteFn))
Reachability = _table("Reachability", ("current_status", StatusFn))
TrackListener = _table("TrackListener", ("track_event", TrackFn))
HostFailureListener = _table("HostFailureListener", ("host_failed", HostFailedFn))
Scheduler = _table("Scheduler", ("notify", NotifyFn))
ExchangeObserver = _table("ExchangeObserver", ("exchange_finished", ExchangeFn))

_E = POINTER(Error)
_H = c_void_p  # every handle is opaque
_S = c_int  # korvani_status

# name: (result, argument types); every call that can fail ends with the error record.
_DECLARATIONS = {
    "korvani_version": (c_char_p, [POINTER(c_int)] * 3),
    "korvani_status_name": (c_char_p, [c_int]),
    "korvani_text_answer_set": (_S, [c_void_p, c_char_p, _E]),
    "korvani_configuration_new": (_S, [POINTER(_H), _E]),
    "korvani_configuration_release": (None, [_H]),
    "korvani_configuration_set_text": (_S, [_H, c_int, c_char_p, _E]),
    "korvani_configuration_set_checkout_preference": (_S, [_H, c_char_p, POINTER(c_int), _E]),
    "korvani_configuration_set_merchant_order": (_S, [_H, c_char_p, POINTER(c_int), _E]),
    "korvani_configuration_set_discount": (_S, [_H, c_char_p, POINTER(c_int), _E]),
    "korvani_configuration_set_internal_metadata": (_S, [_H, c_char_p, _E]),
    "korvani_configuration_set_sha256_hook": (_S, [_H, POINTER(Sha256Hook), _E]),
    "korvani_payment_data_set_text": (_S, [c_void_p, c_int, c_char_p, _E]),
    "korvani_payment_data_set_installments": (_S, [c_void_p, c_int64, _E]),
    "korvani_component_new": (_S, [_H, POINTER(_H), _E]),
    "korvani_component_release": (None, [_H]),
    "korvani_component_set_store": (_S, [_H, POINTER(StoreCallbacks), _E]),
    "korvani_component_set_navigation_handler": (_S, [_H, POINTER(NavigationHandler), _E]),
    "korvani_component_render_did_finish": (_S, [_H, _E]),
    "korvani_component_copy_request": (_S, [_H, POINTER(c_void_p), _E]),
    "korvani_text_free": (None, [c_void_p]),
    "korvani_set_reachability": (_S, [POINTER(Reachability), _E]),
    "korvani_set_track_listener": (_S, [POINTER(TrackListener), _E]),
    "korvani_set_host_failure_listener": (_S, [POINTER(HostFailureListener), _E]),
    "korvani_set_exchange_observer": (_S, [POINTER(ExchangeObserver), _E]),
    "korvani_host_failure_count": (_S, [POINTER(c_uint64), _E]),
    "korvani_set_scheduler": (_S, [POINTER(Scheduler), _E]),
    "korvani_run_pending": (_S, [POINTER(c_size_t), _E]),
    "korvani_run_until_idle": (_S, [POINTER(c_size_t), _E]),
    "korvani_run_for": (_S, [c_int64, ConditionFn, c_void_p, POINTER(c_int), _E]),
    "korvani_session_add_trusted_certificates_file": (_S, [c_char_p, _E]),
    "korvani_session_add_trusted_certificates_pem": (_S, [c_char_p, _E]),
    "korvani_session_reset_trusted_certificates": (_S, [_E]),
    "korvani_session_set_proxy": (_S, [c_char_p, _E]),
    "korvani_session_set_warm_up_enabled": (_S, [c_int, _E]),
    "korvani_session_set_resend_enabled": (_S, [c_int, _E]),
    "korvani_session_set_request_deadline_ms": (_S, [c_int64, _E]),
    "korvani_session_set_maximum_response_bytes": (_S, [c_size_t, _E]),
    "korvani_shutdown": (_S, [c_int64, _E]),
    "korvani_live_objects": (_S, [POINTER(c_size_t), POINTER(c_size_t), _E]),
}


class Library:
    """The loaded library: each declared function as an attribute, without its prefix.

    A function this library does not export (an older library) is None, so that the calls
    built on it can answer NotSupportedError instead of failing at import.
    """

    def __init__(self, path):
        self.path = path
        self.dll = ctypes.CDLL(path)
        for name, (result, arguments) in _DECLARATIONS.items():
            function = getattr(self.dll, name, None)
            if function is not None:
                function.restype = result
                function.argtypes = arguments
            setattr(self, name[len("korvani_"):], function)


def load():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_FILE)
    if not os.path.exists(path):
        raise ImportError(
            f"korvani: {LIBRARY_FILE} is not beside the package in {os.path.dirname(path)}; "
            "install the package with bindings/python/install.py, which builds it")
    return Library(path)


def c_text(value):
    """A Python text as the library's UTF-8 text; None stays NULL."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"expected a str or None, got {type(value).__name__}")
    if "\0" in value:
        raise ValueError("text holds a NUL character, which the library cannot receive")
    return value.encode("utf-8")


def py_text(value):
    return None if value is None else value.decode("utf-8", errors="replace")

