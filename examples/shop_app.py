"""Example application for ruvo: takes a few orders in a toy shop.

    ruvo run examples/shop_app.py && ruvo show
"""

from __future__ import annotations

import logging
import queue
import sys
import threading
from decimal import Decimal

from shop.inventory import Inventory, OutOfStock, restock_worker
from shop.models import Order, Product
from shop.pricing import InvalidCode, price
from shop.report import summarise, to_json

CATALOGUE = [
    Product("MUG-01", "Mug", Decimal("8.50"), "kitchen"),
    Product("TEA-02", "Green tea", Decimal("4.20"), "food"),
    Product("PEN-03", "Fountain pen", Decimal("24.00"), "office"),
]

ORDERS = [
    ("ada", [("MUG-01", 2), ("TEA-02", 3)], "welcome10"),
    ("brian", [("PEN-03", 1)], "SPRING"),
    ("chen", [("MUG-01", 4), ("TEA-02", 30), ("PEN-03", 5)], None),
]


def take_order(number, customer, items, code, inventory, products):
    order = Order(number, customer)
    for sku, quantity in items:
        try:
            inventory.reserve(sku, quantity)
        except OutOfStock as error:
            print(f"  order #{number}: skipped {error}")
            continue
        order.add(products[sku], quantity)
    try:
        total = price(order, code)
    except InvalidCode:
        total = price(order)
    return order, total


def main() -> int:
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    products = {product.sku: product for product in CATALOGUE}
    inventory = Inventory({"MUG-01": 8, "TEA-02": 20, "PEN-03": 3})

    requests = queue.Queue()
    worker = threading.Thread(target=restock_worker, args=(inventory, requests), name="restocker")
    worker.start()

    orders, totals = [], {}
    for number, (customer, items, code) in enumerate(ORDERS, start=1):
        order, total = take_order(number, customer, items, code, inventory, products)
        orders.append(order)
        totals[order.number] = total
        for sku, level in inventory.low_stock():
            requests.put((sku, 10 - level))
        requests.join()  # restocked before the next order

    requests.put(None)
    worker.join()

    print(f"{len(orders)} orders, {sum(totals.values())} taken")
    print("summary:", to_json(summarise(orders, totals)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
