"""Products, order lines and orders."""

from __future__ import annotations

from dataclasses import dataclass, field
from decimal import Decimal


@dataclass(frozen=True)
class Product:
    sku: str
    name: str
    price: Decimal
    category: str

    @property
    def label(self) -> str:
        return f"{self.name} ({self.sku})"


@dataclass
class OrderLine:
    product: Product
    quantity: int

    @property
    def subtotal(self) -> Decimal:
        return self.product.price * self.quantity


@dataclass
class Order:
    number: int
    customer: str
    lines: list[OrderLine] = field(default_factory=list)

    def add(self, product: Product, quantity: int) -> None:
        self.lines.append(OrderLine(product, quantity))

    @property
    def subtotal(self) -> Decimal:
        return sum((line.subtotal for line in self.lines), Decimal("0"))

    def __repr__(self) -> str:
        return f"<Order #{self.number} {self.customer} {len(self.lines)} lines>"
