"""Discount codes and tax."""

from __future__ import annotations

from decimal import ROUND_HALF_UP, Decimal

from .models import Order

TAX_RATE = Decimal("0.20")
CODES = {"WELCOME10": Decimal("0.10"), "BULK15": Decimal("0.15")}


class InvalidCode(ValueError):
    pass


def discount_rate(code: str | None) -> Decimal:
    if code is None:
        return Decimal("0")
    try:
        return CODES[code.upper()]
    except KeyError:
        raise InvalidCode(f"unknown discount code {code!r}") from None


def round_money(amount: Decimal) -> Decimal:
    return amount.quantize(Decimal("0.01"), rounding=ROUND_HALF_UP)


def price(order: Order, code: str | None = None) -> Decimal:
    """The total to pay, with the discount applied before tax."""
    rate = discount_rate(code)
    discounted = order.subtotal * (1 - rate)
    return round_money(discounted * (1 + TAX_RATE))
