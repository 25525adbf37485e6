"""The host's objects live exactly as long as the library can call them, each is let go once,
and handles made and released over and over leave nothing behind."""

import gc
import unittest
import weakref

import korvani
from korvani import _callbacks, host
from sandbox import SandboxUser, card, configuration, resident_bytes


def counts():
    return korvani.live_objects(), _callbacks.held_count(), _callbacks.stats.unknown_frees


class LifetimeTest(SandboxUser, unittest.TestCase):
    def setUp(self):
        korvani.use_loop(None)

    def test_host_objects_are_kept_while_held_and_freed_once(self):
        before, registered = counts(), _callbacks.stats.held
        asked = []

        def hook(text):
            asked.append(text)
            return korvani.sha256_hex(text)

        config = configuration(self.sandbox.url, sha256=hook)
        component = korvani.Component(config)
        first_store, store, handler = card(), card(), host.RecordingNavigationHandler()
        component.set_store(first_store)
        component.set_navigation_handler(handler)
        objects = {name: weakref.ref(value) for name, value in (
            ("hook", hook), ("first store", first_store), ("store", store), ("handler", handler))}
        del hook, first_store, handler
        component._handler = None  # only the library holds them now
        config._values.clear()
        gc.collect()
        self.assertTrue(all(ref() is not None for ref in objects.values()))

        component.set_store(store)  # replacing a store lets the earlier one go
        del store
        component._store = None
        gc.collect()
        self.assertIsNone(objects["first store"]())
        self.assertTrue(component.pay_blocking(timeout=30).approved)
        self.assertEqual(len(asked), 1, "the hook, held by the library alone, was called")
        self.assertEqual(objects["handler"]().calls[-1][:2], ("payment", "approved"))

        component.release()
        gc.collect()
        self.assertIsNone(objects["handler"]())
        self.assertIsNone(objects["store"]())
        self.assertIsNotNone(objects["hook"](), "the configuration still holds the hook")
        config.release()
        gc.collect()
        self.assertIsNone(objects["hook"]())
        self.assertEqual(counts(), before)
        self.assertEqual(_callbacks.stats.held - registered, 4)  # hook, two stores, handler
        self.assertEqual(_callbacks.stats.unknown_frees, 0)

    def test_a_thousand_create_release_cycles_leave_nothing(self):
        korvani.set_warm_up_enabled(False)  # no connection per component
        self.addCleanup(korvani.set_warm_up_enabled, True)

        def cycle():
            with configuration(self.sandbox.url, merchant_order={"id": 7},
                               internal_metadata={"cart": "c-1"}) as config, \
                    korvani.Component(config) as component:
                component.set_store(card())
                component.set_navigation_handler(host.RecordingNavigationHandler())

        for _ in range(200):  # allocators and caches settle first
            cycle()
        gc.collect()
        before, resident = counts(), resident_bytes()
        for _ in range(1000):
            cycle()
        gc.collect()
        self.assertEqual(counts(), before)
        growth = resident_bytes() - resident
        self.assertLess(growth, 1 << 20, f"resident memory grew by {growth} bytes")


if __name__ == "__main__":
    unittest.main()
