"""Host callbacks: the trampolines the library calls, the objects behind their user data, and
where an exception raised in a host callback goes.

The trampolines are module constants, so they live as long as the library can call them. What
varies is the user data: a token naming an entry of `_held`, which keeps the Python object
alive until the library calls free_user_data for that token (exactly once: the library's
contract). Nothing of Python's reaches the library but tokens and these fixed functions.
"""

import collections
import ctypes
import itertools
import sys
import threading
import types

from . import _json, _native
from ._library import error_from_record, lib


# One HTTP exchange's outcome for the exchange observer: the status (0 without an answer), the
# error as a KorvaniError (domain URL for a transport failure) or None, and how many times the
# request was sent (0: not counted by this library).
Exchange = collections.namedtuple("Exchange", "status_code error send_count")


class Held:
    """What one user data stands for: the host's object, and where its failures go."""

    __slots__ = ("target", "route")

    def __init__(self, target, route):
        self.target = target
        # route(callback, exception) -> True when it took the exception (a payment did).
        self.route = route


_held = {}
_tokens = itertools.count(1)
_lock = threading.Lock()
stats = types.SimpleNamespace(held=0, freed=0, unknown_frees=0)


def hold(target, route=None):
    """Keeps `target` for a table handed to the library; answers its user data."""
    with _lock:
        token = next(_tokens)
        _held[token] = Held(target, route)
        stats.held += 1
    return token


def target(token):
    held = _held.get(token)
    return None if held is None else held.target


def held_count():
    with _lock:
        return len(_held)


@_native.FreeFn
def _free(token):
    with _lock:
        # Counted rather than trusted: a second free of one token is a library fault that
        # the tests look for.
        if _held.pop(token, None) is None:
            stats.unknown_frees += 1
        else:
            stats.freed += 1


def table(cls, target, route=None, **functions):
    """A callback table of `cls` whose user data keeps `target`."""
    return cls(ctypes.sizeof(cls), hold(target, route), _free, **functions)


# Where exceptions go. A library call that can run host callbacks is made inside a Capture;
# a callback that raises returns failure to the library and leaves its exception there (or
# with the payment its route names), and the binding raises it when the call has returned.

_local = threading.local()


class Capture:
    """The exceptions that host callbacks raised during the library calls inside it."""

    def __init__(self):
        self.errors = []

    def __enter__(self):
        stack = getattr(_local, "captures", None)
        if stack is None:
            stack = _local.captures = []
        stack.append(self)
        return self

    def __exit__(self, *exc_info):
        _local.captures.pop()


def _raised(held, callback, exception):
    if held.route is not None and held.route(callback, exception):
        return
    stack = getattr(_local, "captures", None)
    if stack:
        stack[-1].errors.append((callback, exception))
        return
    # Only a callback run outside the binding's own calls gets here; it must not vanish.
    sys.unraisablehook(types.SimpleNamespace(
        exc_type=type(exception), exc_value=exception, exc_traceback=exception.__traceback__,
        err_msg=f"Exception ignored in korvani host callback {callback}", object=None))


def invoke(token, callback, body):
    """Runs body(target) for the object behind `token`: 0, or FAILED when it raised."""
    held = _held.get(token)
    if held is None:
        return _native.FAILED
    try:
        body(held.target)
        return 0
    except BaseException as exception:  # noqa: B036 - nothing may unwind into the library
        _raised(held, callback, exception)
        return _native.FAILED


def answer(answer_pointer, text):
    """Hands text back through a korvani_text_answer_t during its callback."""
    if text is not None:
        status = lib.text_answer_set(answer_pointer, _native.c_text(text), None)
        if status != _native.OK:
            raise RuntimeError(f"the library refused the answer (status {status})")


# The trampolines, one per callback kind.

@_native.DigestFn
def digest(token, text, answer_pointer):
    return invoke(token, "sha256",
                  lambda hook: answer(answer_pointer, hook(_native.py_text(text))))


def _fill_payment_data(store, data):
    choices = store.current_payment_data()
    if choices is None:
        return
    for member, value in ((_native.PAYMENT_METHOD_ID, choices.payment_method_id),
                          (_native.PAYMENT_TYPE_ID, choices.payment_type_id),
                          (_native.ISSUER_ID, choices.issuer_id),
                          (_native.TOKEN_ID, choices.token_id)):
        if value is not None:
            _check(lib.payment_data_set_text(data, member, _native.c_text(value), None))
    if choices.installments is not None:
        _check(lib.payment_data_set_installments(data, int(choices.installments), None))


def _check(status):
    if status != _native.OK:
        raise RuntimeError(f"the library refused the payment data (status {status})")


@_native.PaymentDataFn
def current_payment_data(token, data):
    return invoke(token, "current_payment_data", lambda store: _fill_payment_data(store, data))


def _stored_value(store, key, answer_pointer):
    value = store.get_data(key)
    if value is not None:
        answer(answer_pointer, _json.dumps(value))


@_native.GetDataFn
def get_data(token, key, answer_pointer):
    return invoke(token, "get_data",
                  lambda store: _stored_value(store, _native.py_text(key), answer_pointer))


@_native.WorkFn
def begin_plugin_work(token):
    return invoke(token, "begin_plugin_work", lambda bridge: bridge.begin_plugin_work())


@_native.WorkFn
def end_plugin_work(token):
    return invoke(token, "end_plugin_work", lambda bridge: bridge.end_plugin_work())


def _status(reachability, out):
    out[0] = int(reachability.current_status())


@_native.StatusFn
def current_status(token, out):
    return invoke(token, "current_status", lambda reachability: _status(reachability, out))


def _track(listener, screen, action, result, extra):
    listener.track_event(_native.py_text(screen), _native.py_text(action),
                         _native.py_text(result), None if extra is None else _json.loads(extra))


@_native.TrackFn
def track_event(token, screen, action, result, extra):
    return invoke(token, "track_event",
                  lambda listener: _track(listener, screen, action, result, extra))


@_native.HostFailedFn
def host_failed(token, record):
    invoke(token, "host_failed", lambda listener: listener(error_from_record(record.contents)))


def _member(exchange, name, absent):
    # Only what lies within struct_size: an older library's struct is shorter.
    field = getattr(_native.Exchange, name)
    return getattr(exchange, name) if exchange.struct_size >= field.offset + field.size else absent


def _exchange(observer, exchange):
    error = _member(exchange, "error", None)
    observer(Exchange(_member(exchange, "status_code", 0),
                      error_from_record(error.contents) if error else None,
                      _member(exchange, "send_count", 0)))


@_native.ExchangeFn
def exchange_finished(token, exchange):
    invoke(token, "exchange_finished", lambda observer: _exchange(observer, exchange.contents))


@_native.NotifyFn
def notify(token):
    invoke(token, "notify", lambda scheduler: scheduler.notify())
