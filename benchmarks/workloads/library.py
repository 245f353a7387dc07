"""Calls into pure-Python standard-library code only.

Apart from the one call of ``run`` itself, every Python frame belongs to the
standard library, so ruvo filters all of them out: this measures what a
profiler costs on code it does not record. The loop body makes no Python
calls of its own (no lambdas, comprehensions or generator expressions), since
those would be user-code frames.
"""

import email.utils
import fractions
import ipaddress
import re._parser as sre_parse
import string
import textwrap
import urllib.parse

SIZE = 300

TEXT = (
    "The quick brown fox jumps over the lazy dog, again and again, while the "
    "profiler watches every call it makes and the benchmark counts the cost."
)
TEMPLATE = string.Template("order $order for ${customer}: $amount")
PATTERN = r"(?P<key>[a-z_]+)\s*=\s*(?P<value>\d+|'[^']*')(?:,\s*)?"


def run(n):
    total = 0
    for i in range(n):
        total += len(textwrap.fill(TEXT, width=30 + i % 40))
        total += len(textwrap.shorten(TEXT, width=50))
        ratio = fractions.Fraction(i + 1, 7) + fractions.Fraction(3, i + 2)
        total += ratio.denominator % 97
        total += len(TEMPLATE.substitute(order=i, customer="Ada", amount=ratio))
        name, address = email.utils.parseaddr(f'"Customer {i}" <c{i}@example.com>')
        total += len(name) + len(address)
        network = ipaddress.ip_network(f"10.{i % 256}.{i % 7}.0/24")
        total += int(ipaddress.ip_address(f"10.{i % 256}.{i % 7}.9") in network)
        parts = urllib.parse.urlsplit(f"https://example.com/shop/{i}?page={i % 9}&sort=price#top")
        total += len(urllib.parse.parse_qsl(parts.query))
        total += len(urllib.parse.quote(f"a path/with spaces/{i}"))
        total += len(sre_parse.parse(PATTERN).getwidth())
    return total
