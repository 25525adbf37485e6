#!/usr/bin/env python3
"""A terminal host checkout in Python: main() does, top to bottom, what a host app does to pay
with the plug-in on an asyncio loop, and prints the request, the navigation handler's calls,
the tracking event and the outcome.

    python3 checkout_demo.py --sandbox PATH/korvani-sandbox [--scenario rejected] [--offline]
    python3 checkout_demo.py --base-url https://host:port --ca-file ca.pem

Exit status: 0 when the navigation handler heard a report, 1 when the demo could not run, 3
when no report came within 90 seconds.
"""

import argparse
import asyncio
import decimal
import subprocess
import sys
import tempfile

import korvani
from korvani import host

REPORT_DEADLINE = 90  # seconds

# The records a merchant's back end would hand the app for this checkout. Money is Decimal.
PREFERENCE = {
    "id": "pref-demo-150",
    "items": [{"title": "Espresso machine", "quantity": 1, "currency_id": "EUR",
               "picture_url": "https://merchant.example/espresso.png"}],
    "amount": decimal.Decimal("150.75"),
    "collector_id": 5544332211,
    "marketplace": "NONE",
    "marketplace_fee": decimal.Decimal("0"),
    "operation_type": "regular_payment",
    "external_reference": "cart-981",
}
MERCHANT_ORDER = {
    "id": 4242001,
    "preference_id": "pref-demo-150",
    "notification_url": "https://merchant.example/notifications",
    "external_reference": "order-4242",
    "sponsor_id": "sponsor-17",
}
DISCOUNT = {"campaign_id": 77, "coupon_amount": decimal.Decimal("10.50")}
METADATA = {"cart_id": "cart-981", "channel": "terminal"}


class Printing:
    """The sections of the demo's output, as the C++ demo host prints them."""

    @staticmethod
    def json(value, indent="    "):
        for line in korvani.dumps(value, indent=2).splitlines():
            print(indent + line)

    @staticmethod
    def mask(token):
        # Enough of a token to recognise it: at most four leading characters and never more
        # than a quarter of it.
        return token[:min(4, len(token) // 4)] + "****" if token else "(empty)"

    @classmethod
    def request(cls, request):
        url = request["url"] or "(no base URL or path)"
        token = request["query"].get("access_token")
        if token is not None and "access_token=" in url:
            start = url.index("access_token=") + len("access_token=")
            end = url.find("&", start)
            url = url[:start] + cls.mask(token) + (url[end:] if end >= 0 else "")
        print(f"Request\n  {request['method']} {url}\n  headers:")
        for name, value in request["headers"].items():
            print(f"    {name}: {value}")
        print("  body:")
        if request["body"] is None:
            print("    (none)")
        else:
            cls.json(request["body"])

    @staticmethod
    def quoted(text):
        return "none" if text is None else f'"{text}"'

    @classmethod
    def calls(cls, calls):
        print("Navigation handler")
        if not calls:
            print("  (no calls)")
        for number, call in enumerate(calls, 1):
            if call[0] == "begin":
                text = "beginPluginWork()"
            elif call[0] == "end":
                text = "endPluginWork()"
            elif call[0] == "payment":
                text = (f"didFinishPayment(statusText: {cls.quoted(call[1])}, statusDetails: "
                        f"{cls.quoted(call[2])}, receiptId: {cls.quoted(call[3])})")
            else:
                text = (f"didFinishPayment(paymentStatus: {call[1]} (rejected), statusDetails: "
                        f"{cls.quoted(call[2])}, receiptId: {cls.quoted(call[3])})")
            print(f"  {number}. {text}")

    @classmethod
    def events(cls, events):
        print("Tracking")
        if not events:
            print("  (no event)")
        for screen, action, result, extra in events:
            print(f"  event: screen {screen}, action {action}, result {result or '(none)'}")
            if extra is not None:
                cls.json(extra)

    @staticmethod
    def outcome(result):
        print("Outcome")
        if result is None:
            print("  no report")
        elif result.has_payment:
            print(f"  status: {result.status}\n  status detail: {result.status_detail}\n"
                  f"  receipt id: {result.receipt_id or '(none)'}")
        else:
            print(f"  no payment: remote payment status {result.remote_status} (rejected)")


def start_sandbox(program, folder):
    """Starts korvani-sandbox; answers the process, its base URL and its CA file."""
    ca_file = f"{folder}/sandbox-ca.pem"
    process = subprocess.Popen([program, "--quiet", "--ca-out", ca_file],
                               stdout=subprocess.PIPE, text=True)
    url = process.stdout.readline().strip()  # the first line; later ones may follow
    if not url.startswith("https://"):
        process.kill()
        raise RuntimeError(f"{program} did not start")
    return process, url, ca_file


async def pay(options, base_url):
    # 1. The host services the plug-in looks up: reachability and the tracker's listener.
    status = host.NOT_REACHABLE if options.offline else host.REACHABLE_VIA_WIFI
    korvani.set_reachability(host.FixedReachability(status))
    tracker = host.RecordingTrackListener()
    korvani.set_track_listener(tracker)

    # 2. The configuration: where to pay, who calls, what is paid and how to digest.
    token = f"sbx-{options.scenario}" if options.scenario else "demo-card-token-0001"
    with korvani.Configuration(
            base_url=base_url, path="/v1/payments", access_token="TEST-4711-demo-access-token",
            app_version="1.0.0", session_id="demo-session-0001", source="checkout_demo",
            checkout_preference=PREFERENCE, merchant_order=MERCHANT_ORDER, discount=DISCOUNT,
            internal_metadata=METADATA, sha256=korvani.sha256_hex) as configuration, \
            korvani.Component(configuration) as component:
        # 3. What the checkout hands over: its store with the payer's choices, and its
        #    navigation handler.
        component.set_store(host.InMemoryCheckoutStore(host.PaymentData(
            payment_method_id="visa", payment_type_id="credit_card", issuer_id="310",
            token_id=token, installments=3)))
        handler = host.RecordingNavigationHandler()
        component.set_navigation_handler(handler)

        # 4. Rendering has finished: pay() starts the payment at its first step, which lets
        #    the request be shown while it is under way; the report arrives on this loop.
        print(f"Checkout demo (Python): paying at {base_url}"
              f"{', scenario ' + options.scenario if options.scenario else ''}"
              f"{', offline' if options.offline else ''}\n")
        payment = asyncio.ensure_future(component.pay())
        await asyncio.sleep(0)
        Printing.request(component.request())
        print()
        try:
            result = await asyncio.wait_for(payment, REPORT_DEADLINE)
        except asyncio.TimeoutError:
            result = None

    Printing.calls(handler.calls)
    print()
    Printing.events(tracker.events)
    print()
    Printing.outcome(result)
    korvani.set_track_listener(None)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sandbox", help="the korvani-sandbox program to start and pay at")
    parser.add_argument("--base-url", help="pay at this server instead")
    parser.add_argument("--ca-file", help="trust this CA beside the system store")
    parser.add_argument("--scenario", help="sandbox outcome (rejected, server-error, ...)")
    parser.add_argument("--offline", action="store_true", help="reachability says no network")
    options = parser.parse_args()
    if bool(options.sandbox) == bool(options.base_url):
        parser.error("give either --sandbox or --base-url")

    with tempfile.TemporaryDirectory() as folder:
        sandbox = None
        try:
            base_url, ca_file = options.base_url, options.ca_file
            if options.sandbox:
                sandbox, base_url, ca_file = start_sandbox(options.sandbox, folder)
            # TLS verification is always on: a private authority must be trusted.
            if ca_file:
                korvani.add_trusted_certificates(file=ca_file)
            result = asyncio.run(pay(options, base_url))
        except (OSError, RuntimeError, korvani.KorvaniError) as failure:
            print(f"checkout_demo.py: {failure}", file=sys.stderr)
            return 1
        finally:
            if sandbox is not None:
                sandbox.terminate()
                sandbox.wait()
    if result is None:
        print(f"checkout_demo.py: no report reached the navigation handler within "
              f"{REPORT_DEADLINE} s", file=sys.stderr)
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
