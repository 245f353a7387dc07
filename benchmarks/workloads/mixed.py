"""User code doing request-like units of work with the standard library.

Each unit parses a request (URL, query, headers), validates and prices a
small order, and renders a response: a few thousand Python calls, most of
them inside the standard library (skipped by ruvo) and the rest in the
functions below (recorded), roughly the mix of a small web handler.
"""

import email.utils
import fractions
import html
import ipaddress
import json
import string
import textwrap
import urllib.parse

SIZE = 40
# Order lines per request.
ITEMS = 24

CATALOGUE = {
    "MUG-01": ("Coffee mug", fractions.Fraction(899, 100)),
    "TEA-02": ("Green tea, loose leaf", fractions.Fraction(1250, 100)),
    "PAN-03": ("Cast iron pan", fractions.Fraction(4599, 100)),
    "KNF-04": ("Chef's knife", fractions.Fraction(6900, 100)),
}
RECEIPT_LINE = string.Template("$quantity x $name @ $price = $total")
DESCRIPTION = (
    "Thank you for your order. Items are packed by hand and shipped within two "
    "working days; returns are accepted for thirty days in original packaging."
)


def make_request(index):
    skus = list(CATALOGUE)
    query = "&".join(f"item={skus[k % len(skus)]}:{1 + (index + k) % 7}" for k in range(ITEMS))
    return {
        "url": f"https://shop.example.com/orders/{index}?{query}&coupon=SAVE{index % 3}",
        "headers": {
            "From": f'"Customer {index}" <customer{index}@example.com>',
            "Date": email.utils.formatdate(1_700_000_000 + index * 3600, usegmt=True),
            "X-Forwarded-For": f"192.0.2.{index % 250 + 1}",
        },
    }


def parse_request(request):
    parts = urllib.parse.urlsplit(request["url"])
    query = urllib.parse.parse_qsl(parts.query)
    headers = request["headers"]
    name, address = email.utils.parseaddr(headers["From"])
    sent = email.utils.parsedate_to_datetime(headers["Date"])
    client = ipaddress.ip_address(headers["X-Forwarded-For"])
    return {"path": parts.path, "query": query, "customer": name, "email": address,
            "sent": sent, "client": client}


def parse_items(query):
    items = []
    for key, value in query:
        if key == "item":
            sku, _, quantity = value.partition(":")
            items.append(validate_item(sku, quantity))
    return items


def validate_item(sku, quantity):
    if sku not in CATALOGUE:
        raise ValueError(f"unknown item {sku}")
    count = int(quantity)
    if not 0 < count < 100:
        raise ValueError(f"bad quantity {quantity}")
    return sku, count


def discount(query):
    for key, value in query:
        if key == "coupon" and value.startswith("SAVE"):
            return fractions.Fraction(int(value[4:]) * 5, 100)
    return fractions.Fraction(0)


def price_lines(items, rate):
    lines = []
    for sku, count in items:
        name, price = CATALOGUE[sku]
        total = price * count * (1 - rate)
        lines.append(receipt_line(name, count, price, total))
    return lines


def receipt_line(name, count, price, total):
    return RECEIPT_LINE.substitute(quantity=count, name=html.escape(name),
                                   price=f"{float(price):.2f}", total=f"{float(total):.2f}")


def render(request, lines):
    allowed = ipaddress.ip_network("192.0.2.0/24")
    body = {
        "path": request["path"],
        "customer": html.escape(request["customer"]),
        "email": request["email"],
        "trusted": request["client"] in allowed,
        "lines": lines,
        "note": textwrap.wrap(DESCRIPTION, width=48),
        "sent": email.utils.format_datetime(request["sent"]),
    }
    return json.dumps(body, indent=1, sort_keys=True)


def handle(index):
    request = parse_request(make_request(index))
    items = parse_items(request["query"])
    lines = price_lines(items, discount(request["query"]))
    return render(request, lines)


def run(n):
    size = 0
    for index in range(n):
        size += len(handle(index))
    return size
