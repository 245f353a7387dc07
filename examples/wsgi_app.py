"""Example: the shop's stock as a WSGI app, profiled per request by ruvo.

    ruvo traces   # after running: python examples/wsgi_app.py

It serves two requests to itself on 127.0.0.1 (a free port) and stops.
"""

from __future__ import annotations

import json
import threading
import urllib.error
import urllib.request
from wsgiref.simple_server import WSGIRequestHandler, make_server

from ruvo.middleware import RuvoMiddleware
from shop.inventory import Inventory

inventory = Inventory({"MUG-01": 8, "TEA-02": 20})


def stock_app(environ, start_response):
    sku = environ["PATH_INFO"].rsplit("/", 1)[-1]
    level = inventory.available(sku)
    if level == 0:
        start_response("404 Not Found", [("Content-Type", "application/json")])
        return [json.dumps({"error": f"unknown SKU {sku}"}).encode()]
    start_response("200 OK", [("Content-Type", "application/json")])
    return [json.dumps({"sku": sku, "available": level}).encode()]


class QuietHandler(WSGIRequestHandler):
    def log_message(self, format, *args):
        pass


def main() -> None:
    server = make_server("127.0.0.1", 0, RuvoMiddleware(stock_app), handler_class=QuietHandler)
    serving = threading.Thread(target=lambda: [server.handle_request() for _ in range(2)])
    serving.start()
    for sku in ("MUG-01", "NOPE-9"):
        url = f"http://127.0.0.1:{server.server_port}/stock/{sku}"
        try:
            with urllib.request.urlopen(url, timeout=10) as response:
                print(response.status, response.read().decode())
        except urllib.error.HTTPError as error:
            print(error.code, error.read().decode())
    serving.join(timeout=10)
    server.server_close()


if __name__ == "__main__":
    main()
