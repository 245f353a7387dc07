"""A small sales summary."""

from __future__ import annotations

import json
import statistics
from collections import Counter
from decimal import Decimal

from .models import Order


def summarise(orders: list[Order], totals: dict[int, Decimal]) -> dict:
    categories = Counter(line.product.category for order in orders for line in order.lines)
    amounts = [float(total) for total in totals.values()]
    return {
        "orders": len(orders),
        "revenue": str(sum(totals.values(), Decimal("0"))),
        "mean_order": round(statistics.mean(amounts), 2) if amounts else 0.0,
        "top_category": categories.most_common(1)[0][0] if categories else None,
    }


def to_json(summary: dict) -> str:
    return json.dumps(summary, sort_keys=True)
