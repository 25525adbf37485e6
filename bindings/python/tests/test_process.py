"""Whole processes: shutdown with a payment in flight, a package whose library is another
version, and the host example as ./scripts/demo --python runs it."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

import korvani

TESTS = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(os.path.dirname(TESTS), "examples", "checkout_demo.py")

SHUTDOWN_IN_FLIGHT = textwrap.dedent("""
    import asyncio, gc, json, korvani
    from korvani import _callbacks, host
    from sandbox import Sandbox, card, configuration

    sandbox = Sandbox("--slow-ms", "1000")
    korvani.add_trusted_certificates(file=sandbox.ca_file)
    korvani.set_reachability(host.FixedReachability(host.REACHABLE_VIA_WIFI))
    tracker = host.RecordingTrackListener()
    korvani.set_track_listener(tracker)
    handler = host.RecordingNavigationHandler()

    async def main():
        config = configuration(sandbox.url)
        component = korvani.Component(config)
        component.set_store(card("sbx-slow"))
        component.set_navigation_handler(handler)
        payment = asyncio.ensure_future(component.pay())
        await asyncio.sleep(0.2)
        korvani.shutdown(5)
        outcome = {"held after shutdown": _callbacks.held_count(),
                   "live after shutdown": korvani.live_objects()}
        try:
            await payment
        except korvani.PaymentDroppedError:
            outcome["pay"] = "dropped"
        await asyncio.sleep(1.5)  # past the slow answer: nothing may arrive
        try:
            korvani.Configuration()
        except korvani.ShutDownError:
            outcome["later call"] = "ShutDownError"
        component.release()
        config.release()
        outcome.update(calls=handler.calls, events=len(tracker.events),
                       unknown_frees=_callbacks.stats.unknown_frees)
        return outcome

    print(json.dumps(asyncio.run(main())))
    sandbox.stop()
""")


def run_python(arguments, path):
    # Run from the first folder of the path: Python puts the working folder before PYTHONPATH,
    # and a build tree's folder holds a package of its own.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    return subprocess.run([sys.executable, *arguments], env=environment, cwd=path[0],
                          capture_output=True, text=True, timeout=120)


def package_parent():
    return os.path.dirname(os.path.dirname(korvani.__file__))


class ProcessTest(unittest.TestCase):
    def test_shutdown_with_a_payment_in_flight(self):
        child = run_python(["-c", SHUTDOWN_IN_FLIGHT], [package_parent(), TESTS])
        self.assertEqual(child.returncode, 0, child.stderr)
        outcome = json.loads(child.stdout.splitlines()[-1])
        self.assertEqual(outcome, {
            "held after shutdown": 0, "live after shutdown": [2, 0], "pay": "dropped",
            "later call": "ShutDownError", "calls": [["begin"]], "events": 0,
            "unknown_frees": 0})

    def test_a_library_of_another_version_is_refused_at_import(self):
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "korvani")
            shutil.copytree(os.path.dirname(korvani.__file__), copy,
                            ignore=shutil.ignore_patterns("__pycache__"))
            init = os.path.join(copy, "__init__.py")
            with open(init) as source:
                text = source.read()
            with open(init, "w") as source:
                source.write(text.replace(f'__version__ = "{korvani.__version__}"',
                                          '__version__ = "0.0.1"'))
            child = run_python(["-c", "import korvani"], [folder])
        self.assertNotEqual(child.returncode, 0)
        self.assertIn("VersionMismatchError", child.stderr)
        self.assertIn(f"version {korvani.__version__}, the package 0.0.1", child.stderr)

    def test_the_host_example_pays_the_demo_checkout(self):
        sandbox = os.environ.get("KORVANI_SANDBOX", "korvani-sandbox")
        approved = run_python([EXAMPLE, "--sandbox", sandbox], [package_parent()])
        self.assertEqual(approved.returncode, 0, approved.stderr)
        sections = [line for line in approved.stdout.splitlines() if line[:1].isalpha()]
        self.assertEqual(sections[1:], ["Request", "Navigation handler", "Tracking", "Outcome"])
        self.assertIn("?access_token=TEST****\n", approved.stdout)
        self.assertIn('"transaction_amount": 150.75,', approved.stdout)
        self.assertIn("result success", approved.stdout)
        self.assertTrue(approved.stdout.rstrip().endswith("receipt id: 1000000001"))
        offline = run_python([EXAMPLE, "--sandbox", sandbox, "--offline"], [package_parent()])
        self.assertEqual(offline.returncode, 0, offline.stderr)
        self.assertIn("no payment: remote payment status 1", offline.stdout)


if __name__ == "__main__":
    unittest.main()
