"""Delivery on the host's thread: reports run only inside the drain calls made here.

With asyncio, the library's scheduler is pointed at the loop: its notify (on the network
thread) posts run_pending to the loop with call_soon_threadsafe, so every report runs on the
loop's thread. Without a loop, the blocking helpers drain on the calling thread.
"""

import ctypes
import threading

from . import _callbacks, _native, errors
from ._library import call, lib

_installed = None  # the loop the scheduler posts to, if any
_lock = threading.Lock()


class _LoopScheduler:
    def __init__(self, loop):
        self.loop = loop

    def notify(self):
        try:
            self.loop.call_soon_threadsafe(_run_pending, self.loop)
        except RuntimeError:
            pass  # the loop is closed: nothing will drain it, the work stays queued


def _run_pending(loop):
    with _callbacks.Capture() as capture:
        try:
            call(lib.run_pending, None)
        except errors.ShutDownError:
            return
    for callback, exception in capture.errors:
        loop.call_exception_handler({
            "message": f"korvani host callback {callback} raised",
            "exception": errors.HostCallbackError([(callback, exception)]),
        })


def use_loop(loop):
    """Delivers the reports on `loop` from now on (None: no loop; drain by hand). pay() does
    this for the running loop; call it yourself to hear reports of render_did_finish()."""
    global _installed
    with _lock:
        if loop is _installed:
            return
        if loop is None:
            call(lib.set_scheduler, None)
        else:
            table = _callbacks.table(_native.Scheduler, _LoopScheduler(loop),
                                     notify=_callbacks.notify)
            call(lib.set_scheduler, ctypes.byref(table))
        _installed = loop


def forget_loop():
    """Shutdown lets the scheduler go with everything else; no loop is posted to after it."""
    global _installed
    with _lock:
        _installed = None


def run_until(condition=None, timeout=None):
    """Runs the queued work on this thread, sleeping in between, until condition() is true or
    `timeout` seconds pass (None: until the queue is empty, without waiting). Answers the last
    condition() answer. What a host callback raised meanwhile is raised here afterwards, as a
    HostCallbackError."""
    with _callbacks.Capture() as capture:
        if timeout is None:
            call(lib.run_until_idle, None)
            met = condition() if condition is not None else True
        else:
            met = _run_for(condition, timeout)
    if capture.errors:
        raise errors.HostCallbackError(capture.errors)
    return met


def _run_for(condition, timeout):
    failure = []

    def ask(_context):
        try:
            return 1 if condition() else 0
        except BaseException as exception:  # noqa: B036 - raised once the drain returns
            failure.append(exception)
            return 1

    trampoline = _native.ConditionFn(ask) if condition is not None else _native.ConditionFn()
    met = ctypes.c_int(0)
    call(lib.run_for, max(0, int(timeout * 1000)), trampoline, None, ctypes.byref(met))
    if failure:
        raise failure[0]
    return bool(met.value)
