"""Nanoseconds per call of the native and the Python value encoders, on the
kind of frame-locals dicts the profiler hands them.

    python benchmarks/serialize_bench.py [--repeat N]

Needs an installed ruvo (``pip install .``) with its ruvo._serialize
extension. Prints one row per value: the full encoder (dump_msgpack) and the
lightweight one, native and Python, and the Python/native ratio. Each number
is the best of --repeat timing rounds.
"""

from __future__ import annotations

import argparse
import timeit

from ruvo import serialize
from ruvo import _serialize as native


class Service:
    """A typical `self`: a few attributes, the default repr()."""

    def __init__(self) -> None:
        self.name = "orders"
        self.retries = 3
        self.cache: dict[str, int] = {}


def typical_locals() -> dict[str, dict]:
    service = Service()
    return {
        "self only": {"self": service},
        "small ints and strs": {"self": service, "order_id": 1234, "qty": 2, "sku": "AB-1001", "note": "gift wrap"},
        "list of 50 ints": {"self": service, "items": list(range(50)), "total": 50},
        "dict of 10 strs": {"self": service, "headers": {f"header-{i}": f"value number {i}" for i in range(10)}},
    }


def ns_per_call(function, value, repeat: int) -> float:
    timer = timeit.Timer(lambda: function(value))
    number, _ = timer.autorange()
    number = max(number, 1000)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    pairs = {
        "full": (native.dump_msgpack, serialize.py_dump_msgpack),
        "light": (native.dump_msgpack_lightweight_repr, serialize.py_dump_msgpack_lightweight_repr),
    }
    print(f"{'value':<22} {'variant':<6} {'native ns':>10} {'python ns':>10} {'python/native':>14}")
    for label, value in typical_locals().items():
        for variant, (fast, reference) in pairs.items():
            # A benchmark of different outputs would be meaningless.
            if fast(value) != reference(value):
                raise SystemExit(f"{label}: the encoders disagree ({variant})")
            native_ns = ns_per_call(fast, value, args.repeat)
            python_ns = ns_per_call(reference, value, args.repeat)
            print(f"{label:<22} {variant:<6} {native_ns:>10.0f} {python_ns:>10.0f} {python_ns / native_ns:>13.1f}x")


if __name__ == "__main__":
    main()
