"""Payments through the binding against the sandbox program: outcomes, the loop's thread,
exact money, a component released mid-payment, and host callbacks that raise."""

import asyncio
import decimal
import threading
import unittest

import korvani
from korvani import host
from sandbox import Sandbox, SandboxUser, ThreadRecordingHandler, card, configuration


class PaymentTest(SandboxUser, unittest.IsolatedAsyncioTestCase):
    sandbox_arguments = ("--slow-ms", "1500")

    def setUp(self):
        korvani.set_reachability(host.FixedReachability(host.REACHABLE_VIA_WIFI))
        self.tracker = host.RecordingTrackListener()
        korvani.set_track_listener(self.tracker)

    def tearDown(self):
        korvani.set_track_listener(None)
        korvani.set_exchange_observer(None)

    async def pay(self, store, url=None, **members):
        handler = ThreadRecordingHandler()
        with configuration(url or self.sandbox.url, **members) as config, \
                korvani.Component(config) as component:
            component.set_store(store)
            component.set_navigation_handler(handler)
            result = await component.pay()
            return result, handler, component.request()

    async def test_outcomes_reach_handler_and_tracker_on_the_loop_thread(self):
        loop_thread = threading.get_ident()
        untrusted = Sandbox()  # its authority is never trusted
        self.addCleanup(untrusted.stop)
        cases = [
            ("approved", card("sbx-approved"), None, host.REACHABLE_VIA_WIFI,
             ("payment", "approved", "accredited")),
            ("rejected", card("sbx-rejected"), None, host.REACHABLE_VIA_WIFI,
             ("payment", "rejected", "cc_rejected_other_reason")),
            ("offline", card(), None, host.NOT_REACHABLE, ("remote", 1, "")),
            ("untrusted", card(), untrusted.url, host.REACHABLE_VIA_WIFI, ("remote", 1, "")),
        ]
        exchanges = []
        korvani.set_exchange_observer(exchanges.append)
        for name, store, url, reachability, report in cases:
            with self.subTest(name):
                korvani.set_reachability(host.FixedReachability(reachability))
                events_before = len(self.tracker.events)
                result, handler, _ = await self.pay(store, url)
                self.assertEqual([call[0] for call in handler.calls], ["begin", "end", report[0]])
                self.assertEqual(handler.calls[-1][1:3], report[1:])
                self.assertEqual(set(handler.threads), {loop_thread})
                self.assertEqual(result.has_payment, report[0] == "payment")
                if result.has_payment:
                    self.assertEqual((result.status, result.status_detail), report[1:])
                    self.assertTrue(result.receipt_id.isdigit())
                else:
                    self.assertEqual(result.remote_status, host.REMOTE_PAYMENT_REJECTED)
                    self.assertIsNone(result.receipt_id)
                self.assertEqual(len(self.tracker.events), events_before + 1)
                screen, action, outcome, extra = self.tracker.events[-1]
                self.assertEqual((screen, action), ("/myzr/account_balance", "post_payment"))
                self.assertEqual(self.tracker.threads[-1], loop_thread)
                if result.has_payment:
                    self.assertEqual(outcome, "success")
                    self.assertEqual(extra["raw"]["status"], result.status)
                else:
                    self.assertEqual(outcome, "fail")
                    self.assertIn("error", extra)
        self.assertNotEqual(self.tracker.events[-1][3], self.tracker.events[-2][3],
                            "offline and untrusted fail for different reasons")
        # The diagnostics tell what the reports do not: an answer's status, a transport error.
        self.assertEqual([exchange.status_code for exchange in exchanges[:2]], [201, 201])
        self.assertIsNone(exchanges[0].error)
        self.assertEqual(exchanges[0].send_count, 1)
        self.assertEqual((exchanges[-1].status_code, exchanges[-1].error.code), (0, -1202))
        self.assertEqual(exchanges[-1].error.domain, korvani.Domain.URL)

    async def test_a_lost_answer_is_recovered_under_its_key_unless_resending_is_off(self):
        exchanges = []
        korvani.set_exchange_observer(exchanges.append)
        self.addCleanup(korvani.set_resend_enabled, True)
        for resend in (True, False):
            with self.subTest(resend=resend):
                korvani.set_resend_enabled(resend)
                # A card of its own per case, so that the second is not a replay of the first.
                store = card("sbx-drop", installments=2 if resend else 4)
                result, _, _ = await self.pay(store)
                self.assertEqual(result.approved, resend)
                self.assertEqual(exchanges[-1].send_count, 2 if resend else 1)
                self.assertEqual(exchanges[-1].status_code, 201 if resend else 0)

    async def test_money_goes_out_exactly(self):
        amount = decimal.Decimal("1234567890.0000000000000000001")
        preference = {"amount": amount, "marketplace_fee": decimal.Decimal("0")}
        result, _, request = await self.pay(card(), checkout_preference=preference,
                                            discount='{"coupon_amount": 10.50}')
        self.assertTrue(result.approved)
        self.assertEqual(request["body"]["transaction_amount"], amount)
        self.assertEqual(request["body"]["coupon_amount"], decimal.Decimal("10.50"))
        self.assertTrue(request["url"].startswith(self.sandbox.url + "/v1/payments?"))
        self.assertEqual(request["headers"]["Content-Type"], "application/json")
        with self.assertRaisesRegex(TypeError, "Decimal"):
            configuration(self.sandbox.url, checkout_preference={"amount": 150.75})

    async def test_component_released_mid_payment_reports_nothing(self):
        handler = ThreadRecordingHandler()
        with configuration(self.sandbox.url) as config:
            component = korvani.Component(config)
            component.set_store(card("sbx-slow"))
            component.set_navigation_handler(handler)
            payment = asyncio.ensure_future(component.pay())
            await asyncio.sleep(0.2)  # under way: the sandbox answers after 1.5 s
            component.release()
            with self.assertRaises(korvani.PaymentDroppedError):
                await payment
        events = len(self.tracker.events)
        # A report for a released component would arrive within the slow answer's time.
        await asyncio.sleep(2.5)
        self.assertEqual(handler.calls, [("begin",)])
        self.assertEqual(len(self.tracker.events), events)
        with self.assertRaises(ValueError):
            component.set_store(card())

    async def test_host_callback_exceptions_are_raised_by_the_binding(self):
        class Failing(Exception):
            pass

        def fail(*_):
            raise Failing("from the host")

        failures = korvani.host_failure_count()

        # The store fails: the payment still goes, without payment data, and is answered.
        store = card()
        store.current_payment_data = fail
        with self.assertRaises(korvani.HostCallbackError) as raised:
            await self.pay(store)
        self.assertIsInstance(raised.exception.__cause__, Failing)
        self.assertEqual(raised.exception.callback, "current_payment_data")
        self.assertFalse(raised.exception.result.has_payment)

        # The handler fails on the report: the outcome still comes with the exception.
        handler = host.RecordingNavigationHandler()
        handler.did_finish_payment = fail
        with configuration(self.sandbox.url) as config, korvani.Component(config) as component:
            component.set_store(card())
            component.set_navigation_handler(handler)
            with self.assertRaises(korvani.HostCallbackError) as raised:
                await component.pay()
        self.assertEqual(raised.exception.callback, "did_finish_payment")
        self.assertTrue(raised.exception.result.approved)

        # begin_plugin_work runs inside the hand-over, which raises it.
        handler = host.RecordingNavigationHandler()
        handler.begin_plugin_work = fail
        with configuration(self.sandbox.url) as config, korvani.Component(config) as component:
            with self.assertRaises(korvani.HostCallbackError) as raised:
                component.set_navigation_handler(handler)
        self.assertIsInstance(raised.exception.__cause__, Failing)

        # The tracker is told after the report: its failure goes to the loop's handler.
        seen = []
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: seen.append(
            context["exception"]))
        self.tracker.track_event = fail
        result, _, _ = await self.pay(card())
        await asyncio.sleep(0)
        self.assertTrue(result.approved)
        self.assertEqual([error.callback for error in seen], ["track_event"])
        self.assertIsInstance(seen[0].__cause__, Failing)

        self.assertEqual(korvani.host_failure_count(), failures + 4)


class BlockingPaymentTest(SandboxUser, unittest.TestCase):
    """The helper for scripts, on a thread without a loop."""

    def test_pays_and_raises_what_the_hook_raised_with_the_result(self):
        korvani.use_loop(None)
        with configuration(self.sandbox.url) as config, korvani.Component(config) as component:
            component.set_store(card("sbx-in-process"))
            result = component.pay_blocking(timeout=30)
            self.assertEqual((result.status, result.status_detail),
                             ("in_process", "pending_contingency"))

            def hook(_text):
                raise KeyError("no digest")

            config.sha256 = hook
            component.set_store(card())
            with self.assertRaises(korvani.HostCallbackError) as raised:
                component.pay_blocking(timeout=30)
            self.assertEqual(raised.exception.callback, "sha256")
            self.assertTrue(raised.exception.result.approved)
            # Without a hash part the key is the creation second alone.
            with self.assertRaises(korvani.HostCallbackError) as raised:
                component.request()
            self.assertRegex(raised.exception.result["headers"]["X-Idempotency-Key"], r"^-?\d+$")


if __name__ == "__main__":
    unittest.main()
