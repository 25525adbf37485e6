"""The component the host checkout drives, and the outcome of one payment."""

import asyncio
import ctypes
import dataclasses
import typing
import weakref

from . import _callbacks, _json, _native, delivery, errors
from ._library import Handle, call, lib

# Components with a payment waiting for its report, so that shutdown() can end their waits.
_waiting = weakref.WeakSet()


@dataclasses.dataclass(frozen=True)
class PaymentResult:
    """How one payment ended, as the navigation handler heard it.

    A payment the platform answered has its status ("approved", "rejected", "in_process",
    ...), status detail and receipt id (None when the answer had no usable id). Without a
    payment (no network, no answer, an error answer) status is None and remote_status is
    host.REMOTE_PAYMENT_REJECTED.
    """

    status: typing.Optional[str]
    status_detail: typing.Optional[str]
    receipt_id: typing.Optional[str]
    remote_status: typing.Optional[int] = None

    @property
    def has_payment(self):
        return self.remote_status is None

    @property
    def approved(self):
        return self.has_payment and self.status == "approved"


class _Payment:
    def __init__(self, future):
        self.future = future  # asyncio's, or None for a blocking payment
        self.result = None
        self.errors = []  # (callback, exception) raised by the host during this payment
        self.dropped = None  # why no report will come
        self.done = False

    def finish(self, result):
        self.done, self.result = True, result
        if self.future is not None and not self.future.done():
            if self.errors:
                self.future.set_exception(errors.HostCallbackError(self.errors, result))
            else:
                self.future.set_result(result)

    def drop(self, why):
        self.done, self.dropped = True, why
        if self.future is not None and not self.future.done():
            self.future.set_exception(errors.PaymentDroppedError(why))

    def outcome(self):
        """The blocking helper's answer: the result, or the exception that carries it."""
        if self.dropped:
            raise errors.PaymentDroppedError(self.dropped)
        if self.errors:
            raise errors.HostCallbackError(self.errors, self.result)
        return self.result


class _HandlerBridge:
    """The navigation handler the library holds: forwards to the host's handler (if any)
    and ends the component's payment on the report, so that the binding always hears it."""

    def __init__(self, component, handler):
        self.component = weakref.ref(component)
        self.handler = handler

    def _forward(self, name, *arguments):
        if self.handler is not None:
            getattr(self.handler, name)(*arguments)

    def begin_plugin_work(self):
        self._forward("begin_plugin_work")

    def end_plugin_work(self):
        self._forward("end_plugin_work")

    def report(self, result):
        if result.has_payment:
            self._forward("did_finish_payment", result.status, result.status_detail,
                          result.receipt_id)
        else:
            self._forward("did_finish_remote_payment", result.remote_status,
                          result.status_detail, result.receipt_id)

    def settle(self, result):
        component = self.component()
        if component is not None:
            component._settle(result)


def _route_to_payment(component_ref):
    """Where the component's callbacks' exceptions go: to the payment under way, if any."""

    def route(callback, exception):
        component = component_ref()
        payment = component._payment if component is not None else None
        if callback == "begin_plugin_work" or payment is None or payment.done:
            return False
        payment.errors.append((callback, exception))
        return True

    return route


def _report(token, name, result):
    """Forwards a report, then settles the payment, so that what the host's handler raised is
    already recorded on the payment when it ends."""
    code = _callbacks.invoke(token, name, lambda bridge: bridge.report(result))
    bridge = _callbacks.target(token)
    if bridge is not None:
        bridge.settle(result)
    return code


@_native.FinishFn
def _did_finish_payment(token, status, detail, receipt_id):
    result = PaymentResult(_native.py_text(status), _native.py_text(detail),
                           _native.py_text(receipt_id))
    return _report(token, "did_finish_payment", result)


@_native.FinishRemoteFn
def _did_finish_remote(token, remote_status, detail, receipt_id):
    result = PaymentResult(None, _native.py_text(detail), _native.py_text(receipt_id),
                           remote_status)
    return _report(token, "did_finish_remote_payment", result)


class Component(Handle):
    """The payment plug-in for one checkout.

    Hand it the checkout store and (optionally) a navigation handler, then pay: `await
    component.pay()` on an asyncio loop, or `component.pay_blocking()` in a script. Either
    starts the payment and answers its PaymentResult once the report has reached the handler.
    Release it with release() or a `with` block, but only after the outcome: a component
    released mid-payment reports nothing, though the platform may charge.
    """

    _release_function = staticmethod(lib.component_release)

    def __init__(self, configuration):
        handle = ctypes.c_void_p()
        call(lib.component_new, configuration.handle, ctypes.byref(handle))
        self._own(handle)
        self._store = None
        self._handler = None
        self._bridged = False
        self._payment = None

    @property
    def store(self):
        return self._store

    @property
    def navigation_handler(self):
        return self._handler

    def set_store(self, store):
        """Hands over the checkout store (None: keeps none); it is read when paying."""
        if store is None:
            call(lib.component_set_store, self.handle, None)
        else:
            table = _callbacks.table(
                _native.StoreCallbacks, store, _route_to_payment(weakref.ref(self)),
                current_payment_data=_callbacks.current_payment_data,
                get_data=_callbacks.get_data if hasattr(store, "get_data") else
                _native.GetDataFn())
            call(lib.component_set_store, self.handle, ctypes.byref(table))
        self._store = store

    def set_navigation_handler(self, handler):
        """Hands over the navigation handler (None: the binding's own, which hears the outcome
        for pay() alone); calls its begin_plugin_work, whose exception is raised here."""
        bridge = _HandlerBridge(self, handler)
        table = _callbacks.table(
            _native.NavigationHandler, bridge, _route_to_payment(weakref.ref(self)),
            begin_plugin_work=_callbacks.begin_plugin_work,
            end_plugin_work=_callbacks.end_plugin_work,
            did_finish_payment=_did_finish_payment,
            did_finish_remote_payment=_did_finish_remote)
        with _callbacks.Capture() as capture:
            call(lib.component_set_navigation_handler, self.handle, ctypes.byref(table))
        self._handler, self._bridged = handler, True
        if capture.errors:
            raise errors.HostCallbackError(capture.errors)

    def render_did_finish(self):
        """Rendering has finished: starts a payment, as the checkout would. Its report goes to
        the navigation handler on the loop of use_loop(), or while run_until() drains; what
        the host raised then is raised there. What the store or the hook raised now is raised
        here, once the payment is under way."""
        self._start(None, tracked=False)

    async def pay(self):
        """Starts a payment and answers its PaymentResult when the report arrives, delivered
        on the running loop. What a host callback raised during the payment is raised here
        as a HostCallbackError carrying the result; PaymentDroppedError when no report will
        come (released, replaced by a later payment, shut down)."""
        loop = asyncio.get_running_loop()
        delivery.use_loop(loop)
        payment = self._start(loop.create_future())
        return await payment.future

    def pay_blocking(self, timeout=90.0):
        """pay() for a script without a loop: drains the reports on this thread for at most
        `timeout` seconds. ReportTimeoutError when none came in time."""
        payment = self._start(None)
        try:
            delivery.run_until(lambda: payment.done, timeout)
        except errors.HostCallbackError as failure:
            payment.errors.extend(failure.errors)  # listeners' exceptions, told with the outcome
        if not payment.done:
            raise errors.ReportTimeoutError(f"no report within {timeout} s; the payment may "
                                            "still complete")
        return payment.outcome()

    def request(self):
        """The request of the last payment as the payment service sends it, rebuilt from the
        same state (same idempotency key): a dict with "method", "url", "query", "headers"
        and "body", numbers with a fraction as Decimal."""
        text = ctypes.c_void_p()
        with _callbacks.Capture() as capture:
            call(lib.component_copy_request, self.handle, ctypes.byref(text))
        try:
            request = _json.loads(ctypes.string_at(text.value).decode("utf-8"))
        finally:
            lib.text_free(text)
        if capture.errors:
            raise errors.HostCallbackError(capture.errors, request)
        return request

    def release(self):
        payment, self._payment = self.__dict__.get("_payment"), None
        super().release()
        if payment is not None and not payment.done:
            payment.drop("the component was released before the outcome arrived; the "
                         "platform may still have charged the payment")

    def _start(self, future, tracked=True):
        if not self._bridged:
            self.set_navigation_handler(None)
        previous, payment = self._payment, _Payment(future) if tracked else None
        self._payment = payment
        if previous is not None and not previous.done:
            previous.drop("a later payment of the same component replaced it")
        with _callbacks.Capture() as capture:
            try:
                call(lib.component_render_did_finish, self.handle)
            except BaseException:
                self._payment = None
                raise
        if payment is None:
            if capture.errors:
                raise errors.HostCallbackError(capture.errors)
            return None
        payment.errors.extend(capture.errors)  # the hook's and reachability's
        _waiting.add(self)
        return payment

    def _settle(self, result):
        payment = self._payment
        if payment is not None and not payment.done:
            payment.finish(result)
        _waiting.discard(self)

    def _drop(self, why):
        payment = self._payment
        if payment is not None and not payment.done:
            payment.drop(why)
