"""Stock levels: reservations, and a restocking worker."""

from __future__ import annotations

import logging
import queue
import threading
from typing import Iterator

log = logging.getLogger("shop.inventory")

LOW_STOCK = 3


class OutOfStock(Exception):
    def __init__(self, sku: str, wanted: int, available: int) -> None:
        super().__init__(f"{sku}: wanted {wanted}, only {available} left")
        self.sku = sku


class Inventory:
    def __init__(self, levels: dict[str, int]) -> None:
        self._levels = dict(levels)
        self._lock = threading.Lock()

    def available(self, sku: str) -> int:
        return self._levels.get(sku, 0)

    def reserve(self, sku: str, quantity: int) -> None:
        with self._lock:
            available = self._levels.get(sku, 0)
            if quantity > available:
                raise OutOfStock(sku, quantity, available)
            self._levels[sku] = available - quantity
            if self._levels[sku] <= LOW_STOCK:
                log.warning("low stock for %s: %d left", sku, self._levels[sku])

    def restock(self, sku: str, quantity: int) -> None:
        with self._lock:
            self._levels[sku] = self._levels.get(sku, 0) + quantity

    def low_stock(self) -> Iterator[tuple[str, int]]:
        """The SKUs running low, lowest first."""
        for sku, level in sorted(self._levels.items(), key=lambda item: item[1]):
            if level > LOW_STOCK:
                return
            yield sku, level


def restock_worker(inventory: Inventory, requests: "queue.Queue[tuple[str, int] | None]") -> None:
    """Runs in its own thread: applies restock requests until told to stop."""
    while True:
        request = requests.get()
        try:
            if request is None:
                return
            sku, quantity = request
            inventory.restock(sku, quantity)
        finally:
            requests.task_done()
