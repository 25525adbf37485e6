"""The korvani-sandbox program for the tests, and a checkout to pay against it."""

import decimal
import os
import subprocess
import tempfile
import threading

import korvani
from korvani import host

PROGRAM = os.environ.get("KORVANI_SANDBOX", "korvani-sandbox")


class Sandbox:
    """A sandbox process; `url` is its base URL and `ca_file` its authority's certificate."""

    def __init__(self, *arguments):
        self._folder = tempfile.TemporaryDirectory()
        self.ca_file = os.path.join(self._folder.name, "ca.pem")
        self._process = subprocess.Popen(
            [PROGRAM, "--quiet", "--ca-out", self.ca_file, *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        # Only the first line is the URL; the program may print more later.
        self.url = self._process.stdout.readline().strip()
        if not self.url.startswith("https://"):
            self.stop()
            raise RuntimeError(f"{PROGRAM} did not start")

    def stop(self):
        self._process.terminate()
        self._process.wait(timeout=10)
        self._process.stdout.close()
        self._folder.cleanup()


class SandboxUser:
    """A test class mixin: one trusted sandbox (`cls.sandbox`) for the class's tests, and a
    network that reads as reachable (the machine may have no interface up besides loopback)."""

    sandbox_arguments = ()

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox(*cls.sandbox_arguments)
        korvani.add_trusted_certificates(file=cls.sandbox.ca_file)
        korvani.set_reachability(host.FixedReachability(host.REACHABLE_VIA_WIFI))

    @classmethod
    def tearDownClass(cls):
        korvani.reset_trusted_certificates()
        cls.sandbox.stop()


def configuration(url, **members):
    members.setdefault("checkout_preference", {"amount": decimal.Decimal("150.75"),
                                               "collector_id": 5544332211})
    members.setdefault("sha256", korvani.sha256_hex)
    return korvani.Configuration(base_url=url, path="/v1/payments", access_token="TEST-token",
                                 app_version="1.0.0", **members)


def card(token="sbx-approved", installments=3):
    return host.InMemoryCheckoutStore(host.PaymentData(
        payment_method_id="visa", payment_type_id="credit_card", issuer_id="310",
        token_id=token, installments=installments))


class ThreadRecordingHandler(host.RecordingNavigationHandler):
    """Records each call's thread beside the call."""

    def __init__(self):
        super().__init__()
        self.threads = []

    def _record(self):
        self.threads.append(threading.get_ident())

    def begin_plugin_work(self):
        super().begin_plugin_work()
        self._record()

    def end_plugin_work(self):
        super().end_plugin_work()
        self._record()

    def did_finish_payment(self, *report):
        super().did_finish_payment(*report)
        self._record()

    def did_finish_remote_payment(self, *report):
        super().did_finish_remote_payment(*report)
        self._record()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
