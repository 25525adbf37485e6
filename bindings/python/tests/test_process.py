"""What ends or refuses the library for a whole process, each run in a process of its own:
shutdown with a payment in flight, and a package whose library is another version."""

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


def run_python(code, path):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True,
                          text=True, timeout=120)


class ProcessTest(unittest.TestCase):
    def test_shutdown_with_a_payment_in_flight(self):
        package_parent = os.path.dirname(os.path.dirname(korvani.__file__))
        child = run_python(SHUTDOWN_IN_FLIGHT, [package_parent, TESTS])
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
            child = run_python("import korvani", [folder])
        self.assertNotEqual(child.returncode, 0)
        self.assertIn("VersionMismatchError", child.stderr)
        self.assertIn(f"version {korvani.__version__}, the package 0.0.1", child.stderr)


if __name__ == "__main__":
    unittest.main()
