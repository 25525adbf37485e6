#!/usr/bin/env python3
"""The network benchmark's client in Python: a host paying the benchmarks' card payment back to
back on an asyncio loop through the korvani package, printing its figures as the other clients
do ("ms ...", "cpu_us", "switches"). The orchestrator (korvani_net_bench) starts it and hands it
the payment's texts, so that it pays what the C++ and C hosts pay.

    net_client.py --relay-port N --ca-file PEM --back-to-back N --texts JSON
"""

import argparse
import asyncio
import json
import resource
import sys
import time

import korvani
from korvani import host


def usage():
    now = resource.getrusage(resource.RUSAGE_SELF)
    return (now.ru_utime + now.ru_stime) * 1e6, now.ru_nvcsw, now.ru_nivcsw


async def pay_back_to_back(options, texts):
    korvani.set_reachability(host.FixedReachability(host.REACHABLE_VIA_WIFI))
    records = {name: texts[name]
               for name in ("checkout_preference", "merchant_order", "discount",
                            "internal_metadata")}
    members = {name: texts[name]
               for name in ("path", "access_token", "app_version", "session_id", "platform",
                            "site_id", "source", "user_agent")}
    with korvani.Configuration(base_url=f"https://127.0.0.1:{options.relay_port}",
                               sha256=korvani.sha256_hex, **members, **records) as configuration, \
            korvani.Component(configuration) as component:
        choices = texts["payment_data"]
        component.set_store(host.InMemoryCheckoutStore(host.PaymentData(**choices)))
        component.set_navigation_handler(host.NavigationHandler())

        async def pay():
            start = time.monotonic()
            result = await component.pay()
            if not result.approved:
                raise RuntimeError(f"a payment ended {result}")
            return (time.monotonic() - start) * 1e3

        await pay()  # the warming payment
        before = usage()
        milliseconds = [await pay() for _ in range(options.back_to_back)]
        after = usage()
    return milliseconds, before, after


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relay-port", type=int, required=True)
    parser.add_argument("--ca-file", required=True)
    parser.add_argument("--back-to-back", type=int, required=True)
    parser.add_argument("--texts", required=True, help="the payment's texts, a JSON object")
    options = parser.parse_args()
    korvani.add_trusted_certificates(file=options.ca_file)
    milliseconds, before, after = asyncio.run(
        pay_back_to_back(options, json.loads(options.texts)))
    count = options.back_to_back
    print("ms " + " ".join(f"{ms:.3f}" for ms in milliseconds))
    print(f"cpu_us {(after[0] - before[0]) / count:.1f}")
    print(f"switches {(after[1] - before[1]) / count:.2f} {(after[2] - before[2]) / count:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
