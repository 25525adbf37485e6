"""What the host provides: the checkout store, the navigation handler, the tracker's listener
and reachability, as plain Python objects. Any object with these methods will do; the classes
below give the documented shape, and the recording ones serve tests and simple hosts.

Every method runs on the host's thread, inside a library call the binding makes (a payment, or
the loop draining its reports). An exception raised in one is caught, the library goes on as
if the method had answered nothing, and the binding raises it afterwards (see Component.pay).
"""

import dataclasses
import threading
import typing

NOT_REACHABLE = 0
REACHABLE_VIA_WIFI = 1
REACHABLE_VIA_WWAN = 2

# The remote payment status of a report without a payment: the only value the plug-in sends.
REMOTE_PAYMENT_REJECTED = 1


@dataclasses.dataclass(frozen=True)
class PaymentData:
    """The payer's choices in the checkout. A payment method of id "account_money" pays with
    the stored second-factor code; a type "credit_card" or "debit_card" makes a card payment
    with issuer, token and installments (1 when not given)."""

    payment_method_id: typing.Optional[str] = None
    payment_type_id: typing.Optional[str] = None
    issuer_id: typing.Optional[str] = None
    token_id: typing.Optional[str] = None
    installments: typing.Optional[int] = None


def auth_code(code, validated=True):
    """A second-factor code in the form the store keeps under "auth_code"."""
    return {"code": code, "validated": bool(validated)}


class CheckoutStore(typing.Protocol):
    def current_payment_data(self) -> typing.Optional[PaymentData]:
        """The payer's choices now; None: nothing chosen."""

    def get_data(self, key: str) -> typing.Any:
        """The JSON-ready value kept under `key` (the plug-in asks for "auth_code"), or None."""


class NavigationHandler:
    """The host's navigation handler; override what you need (the defaults do nothing)."""

    def begin_plugin_work(self):
        """The handler was handed over (inside Component.set_navigation_handler)."""

    def end_plugin_work(self):
        """The outcome has arrived; the report follows."""

    def did_finish_payment(self, status, status_detail, receipt_id):
        """A payment the platform answered: its status ("approved", ...), detail and id."""

    def did_finish_remote_payment(self, remote_status, status_detail, receipt_id):
        """No payment: remote_status REMOTE_PAYMENT_REJECTED, detail "", receipt_id None."""


class TrackListener(typing.Protocol):
    def track_event(self, screen_name: str, action: str, result: typing.Optional[str],
                    extra: typing.Optional[dict]) -> None:
        """One event per parsed payment ("success", extra {"raw": payment}) and per failed
        request ("fail", extra {"error": description}); numbers with a fraction are Decimal."""


class Reachability(typing.Protocol):
    def current_status(self) -> int:
        """NOT_REACHABLE, REACHABLE_VIA_WIFI or REACHABLE_VIA_WWAN."""


class InMemoryCheckoutStore:
    """A store holding fixed payment data and a dict of values."""

    def __init__(self, payment_data=None, **values):
        self.payment_data = payment_data
        self.values = dict(values)

    def current_payment_data(self):
        return self.payment_data

    def get_data(self, key):
        return self.values.get(key)


class RecordingNavigationHandler(NavigationHandler):
    """Keeps every call as a tuple: ("begin",), ("end",), ("payment", status, detail, id) or
    ("remote", remote_status, detail, id)."""

    def __init__(self):
        self.calls = []

    def begin_plugin_work(self):
        self.calls.append(("begin",))

    def end_plugin_work(self):
        self.calls.append(("end",))

    def did_finish_payment(self, status, status_detail, receipt_id):
        self.calls.append(("payment", status, status_detail, receipt_id))

    def did_finish_remote_payment(self, remote_status, status_detail, receipt_id):
        self.calls.append(("remote", remote_status, status_detail, receipt_id))


class RecordingTrackListener:
    """Keeps every event as (screen, action, result, extra) with the thread it came on."""

    def __init__(self):
        self.events = []
        self.threads = []

    def track_event(self, screen_name, action, result, extra):
        self.events.append((screen_name, action, result, extra))
        self.threads.append(threading.get_ident())


class FixedReachability:
    def __init__(self, status=REACHABLE_VIA_WIFI):
        self.status = status

    def current_status(self):
        return self.status
