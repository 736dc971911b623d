"""The benchmark package served over HTTP on 127.0.0.1, as the cloud serves it.

Protocol. Every request must carry the signature headers that
:class:`mirtaly._http.HttpClient` sends (``X-Mirtaly-Key``,
``X-Mirtaly-Timestamp``, ``X-Mirtaly-Signature``: HMAC-SHA256 under the secret
over ``METHOD\\npath\\ntimestamp``, the path without its query); a request with
a wrong key, a bad or stale signature or none at all gets 401.

``GET /api/v1/backtest/benchmark-package``
    200, ``application/json``::

        {"url": "/files/benchmark_package_20261130.tar.gz",
         "sha256": "<64 lower-case hex digits>",
         "size": 123456,
         "end_date": "20261130",
         "root": "benchmark_data_20261130"}

    ``url`` is the download address: a path on this same server, fetched with
    the same client (it starts with "/" and has no scheme, host, query or
    ".." segment; anything else is not a valid address). ``sha256`` is the
    checksum of the archive's bytes, ``size`` their number, ``end_date`` the
    last date of the data inside, ``root`` the archive's one top-level folder.

``GET <url>``
    200, ``application/gzip``, with ``Content-Length``: the archive, a gzip'd
    tar whose members are the store's regular files, all under ``root/``.

Any other path is 404.

Failure modes, for testing a downloader: :meth:`PackageServer.fail` with

- ``"status"``: every request is answered with a 5xx status (503 by default);
- ``"drop"``: the archive's headers promise its full length, half the body is
  sent and the connection is closed;
- ``"checksum"``: the package description carries a wrong ``sha256``;
- ``"address"``: the package description carries a ``url`` that is no path
  on this server.

``times`` limits a mode to that many failing requests, after which the server
answers normally again; :meth:`PackageServer.recover` ends a mode at once.
"""

from __future__ import annotations

import json
import shutil
import socket
import threading
import urllib.parse
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import NamedTuple

from mirtaly._http import (
    KEY_HEADER,
    SIGNATURE_HEADER,
    TIMESTAMP_HEADER,
    HttpClient,
    verify_signature,
)
from mirtaly.backtest._pkg import PACKAGE_INFO_PATH
from mirtaly.sandbox.package import BenchmarkPackage

__all__ = ["FAILURE_MODES", "PACKAGE_INFO_PATH", "PackageServer", "ServedRequest"]

FILES_PREFIX = "/files/"
FAILURE_MODES = ("status", "drop", "checksum", "address")
# What the "address" mode hands out: no path on this server.
_FOREIGN_ADDRESS = "file:///etc/passwd"


class ServedRequest(NamedTuple):
    method: str
    path: str
    status: int


class PackageServer:
    """Serves one :class:`BenchmarkPackage` on a free port of 127.0.0.1 while
    the ``with`` block runs; requests are answered in threads of this process.

    ``key`` and ``secret`` are what a client must sign with; :meth:`client`
    makes one that does. :attr:`requests` lists what was asked, in order.
    """

    def __init__(
        self, package: BenchmarkPackage, *, key: str = "sandbox", secret: str = "sandbox-secret"
    ):
        if not isinstance(package, BenchmarkPackage):
            raise TypeError(f"package must be a BenchmarkPackage, got {type(package).__name__}")
        self.package = package
        self.key = key
        self.secret = secret
        self.requests: list[ServedRequest] = []
        self._lock = threading.Lock()
        self._mode: str | None = None
        self._status = 503
        self._left: int | None = None
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    # -- lifecycle -----------------------------------------------------------

    def __enter__(self) -> PackageServer:
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def start(self) -> None:
        if self._httpd is not None:
            raise RuntimeError("the package server is already running")
        handler = type("Handler", (_Handler,), {"server_state": self})
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, name="mirtaly-package-server", daemon=True
        )
        self._thread.start()

    def stop(self) -> None:
        if self._httpd is None:
            return
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()
        self._httpd = self._thread = None

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("the package server is not running")
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def client(self, **options) -> HttpClient:
        """A client signing as this server expects; short retries suit tests."""
        options.setdefault("timeout", 10.0)
        options.setdefault("retries", 1)
        options.setdefault("backoff", 0.01)
        return HttpClient(self.base_url, self.key, self.secret, **options)

    # -- failures ------------------------------------------------------------

    def fail(self, mode: str, *, times: int | None = None, status: int = 503) -> None:
        """Fails in ``mode`` (one of :data:`FAILURE_MODES`) from now on, or for
        the next ``times`` requests that the mode concerns."""
        if mode not in FAILURE_MODES:
            raise ValueError(f"mode must be one of {list(FAILURE_MODES)}, got {mode!r}")
        if not 500 <= status <= 599:
            raise ValueError(f"status must be a 5xx code, got {status}")
        if times is not None and times < 1:
            raise ValueError("times must be None or at least 1")
        with self._lock:
            self._mode, self._status, self._left = mode, status, times

    def recover(self) -> None:
        with self._lock:
            self._mode = self._left = None

    def _take_failure(self, mode: str) -> bool:
        """Whether this request fails in ``mode``; counts it against ``times``."""
        with self._lock:
            if self._mode != mode:
                return False
            if self._left is not None:
                self._left -= 1
                if self._left == 0:
                    self._mode = self._left = None
            return True

    # -- answers -------------------------------------------------------------

    def _description(self) -> dict:
        pkg = self.package
        sha256 = pkg.sha256
        url = FILES_PREFIX + urllib.parse.quote(pkg.name)
        if self._take_failure("checksum"):
            sha256 = f"{(int(sha256[0], 16) + 1) % 16:x}{sha256[1:]}"
        if self._take_failure("address"):
            url = _FOREIGN_ADDRESS
        return {
            "url": url,
            "sha256": sha256,
            "size": pkg.size,
            "end_date": pkg.end_date,
            "root": pkg.root,
        }

    def _record(self, method: str, path: str, status: int) -> None:
        with self._lock:
            self.requests.append(ServedRequest(method, path, status))


class _Handler(BaseHTTPRequestHandler):
    server_state: PackageServer
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # tests and the demo read their own output, not an access log

    def do_GET(self):
        state = self.server_state
        path = urllib.parse.urlsplit(self.path).path
        if not self._signed(path):
            return self._send_json(HTTPStatus.UNAUTHORIZED, {"error": "bad signature"}, path)
        if state._take_failure("status"):
            return self._send_json(state._status, {"error": "service unavailable"}, path)
        if path == PACKAGE_INFO_PATH:
            return self._send_json(HTTPStatus.OK, state._description(), path)
        if path == FILES_PREFIX + urllib.parse.quote(state.package.name):
            return self._send_archive(path)
        return self._send_json(HTTPStatus.NOT_FOUND, {"error": "not found"}, path)

    def _signed(self, path: str) -> bool:
        state = self.server_state
        headers = self.headers
        if headers.get(KEY_HEADER) != state.key:
            return False
        return verify_signature(
            state.secret,
            self.command,
            path,
            headers.get(TIMESTAMP_HEADER, ""),
            headers.get(SIGNATURE_HEADER, ""),
        )

    def _send_json(self, status: int, body: dict, path: str) -> None:
        data = json.dumps(body).encode()
        # Recorded before answering, so a client that has its answer sees it listed.
        self.server_state._record(self.command, path, int(status))
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _send_archive(self, path: str) -> None:
        state = self.server_state
        package = state.package
        drop = state._take_failure("drop")
        state._record(self.command, path, int(HTTPStatus.OK))
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "application/gzip")
        self.send_header("Content-Length", str(package.size))
        self.end_headers()
        with open(package.path, "rb") as fh:
            if not drop:
                shutil.copyfileobj(fh, self.wfile)
                return
            self.wfile.write(fh.read(package.size // 2))
        self.wfile.flush()
        self.close_connection = True
        self.connection.shutdown(socket.SHUT_RDWR)
