import http.server
import threading
import urllib.request

import pytest

from shop import price


def test_price():
    assert price(2, 3) == 6


def test_large_order_logs():
    assert price(50, 3) == 150


def test_fetch():
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.end_headers()
            self.wfile.write(b"ok")

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.handle_request)
    thread.start()
    with urllib.request.urlopen(f"http://127.0.0.1:{server.server_port}/items?page=2", timeout=10) as response:
        assert response.read() == b"ok"
    thread.join(10)
    server.server_close()


def test_fails():
    assert price(1, 1) == 2


@pytest.mark.skip(reason="not today")
def test_skipped():
    price(1, 1)
