"""A tiny module under test."""

import logging

log = logging.getLogger("shop")


def price(quantity, unit):
    total = quantity * unit
    if total > 100:
        log.warning("large order: %s", total)
    return total
