"""The signed HTTP client against a real server on the loopback interface."""

import http.server
import json
import socket
import sys
import threading
import time
import urllib.parse
import urllib.request

import pytest

from mirtaly._http import (
    KEY_HEADER,
    SIGNATURE_HEADER,
    TIMESTAMP_HEADER,
    HttpClient,
    sign_request,
    verify_signature,
)
from mirtaly.exceptions import NetworkError

KEY = "research-key"
SECRET = "s3cret"


class _Handler(http.server.BaseHTTPRequestHandler):
    # HTTP/1.1 so Content-Length, not the closed connection, ends a body.
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):
        pass

    def _dispatch(self):
        server = self.server
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        path = urllib.parse.urlsplit(self.path).path
        server.seen.append(
            {"method": self.command, "path": self.path, "headers": dict(self.headers), "body": body}
        )
        server.attempts[path] = server.attempts.get(path, 0) + 1
        signed = verify_signature(
            SECRET,
            self.command,
            path,
            self.headers.get(TIMESTAMP_HEADER, ""),
            self.headers.get(SIGNATURE_HEADER, ""),
        )
        if not signed or self.headers.get(KEY_HEADER) != KEY:
            self.reply(401, b"bad signature")
            return
        route = server.routes.get(path)
        if route is None:
            self.reply(404, b"no such route")
            return
        route(self, server.attempts[path])

    do_GET = _dispatch
    do_POST = _dispatch

    def reply(self, status, body, content_type="application/octet-stream", length=None, headers=()):
        self.send_response(status)
        for name, value in dict(headers).items():
            self.send_header(name, value)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)
        if length is not None:
            self.close_connection = True


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), _Handler)
        self.routes = {}
        self.attempts = {}
        self.seen = []
        # Set on teardown so that handlers that hold a request open return.
        self.release = threading.Event()

    def handle_error(self, request, client_address):
        # A client that gave up (timeout tests) leaves a closed socket behind.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)

    @property
    def base_url(self):
        return f"http://127.0.0.1:{self.server_port}"


def _serving():
    srv = _Server()
    thread = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True)
    thread.start()
    try:
        yield srv
    finally:
        srv.release.set()
        srv.shutdown()
        srv.server_close()
        thread.join()


server = pytest.fixture(_serving)
other_server = pytest.fixture(_serving)


def _client(server, **kwargs):
    kwargs.setdefault("backoff", 0.0)
    kwargs.setdefault("timeout", 5.0)
    return HttpClient(server.base_url, KEY, kwargs.pop("secret", SECRET), **kwargs)


def _json(payload):
    def route(handler, attempt):
        handler.reply(200, json.dumps(payload).encode(), "application/json")

    return route


def _leftovers(directory):
    return sorted(p.name for p in directory.iterdir())


# --- signing -----------------------------------------------------------------


class TestSigning:
    def test_signed_request_is_accepted_by_the_server(self, server):
        server.routes["/v1/ping"] = _json({"ok": True})
        assert _client(server).get_json("/v1/ping", {"day": "20240102", "skip": None}) == {
            "ok": True
        }
        (seen,) = server.seen
        assert seen["headers"][KEY_HEADER] == KEY
        # None-valued parameters are left out of the query string.
        assert seen["path"] == "/v1/ping?day=20240102"

    def test_wrong_secret_is_rejected_without_retry(self, server):
        server.routes["/v1/ping"] = _json({"ok": True})
        with pytest.raises(NetworkError) as info:
            _client(server, secret="guess", retries=3).get_json("/v1/ping")
        assert info.value.status == 401
        assert server.attempts["/v1/ping"] == 1

    def _send(self, server, path, headers):
        request = urllib.request.Request(server.base_url + path, headers=headers)
        try:
            with urllib.request.urlopen(request, timeout=5) as response:
                return response.status
        except urllib.error.HTTPError as exc:
            exc.close()
            return exc.code

    @pytest.mark.parametrize(
        "sent_path, age, status",
        [("/v1/a", 0, 200), ("/v1/b", 0, 401), ("/v1/a", 3600, 401)],
        ids=["signed", "another path", "expired"],
    )
    def test_signature_covers_path_and_time(self, server, sent_path, age, status):
        server.routes["/v1/a"] = _json(1)
        server.routes["/v1/b"] = _json(2)
        ts = f"{time.time() - age:.3f}"
        headers = {
            KEY_HEADER: KEY,
            TIMESTAMP_HEADER: ts,
            SIGNATURE_HEADER: sign_request(SECRET, "GET", "/v1/a", ts),
        }
        assert self._send(server, sent_path, headers) == status

    def test_verify_signature_skew_window(self):
        sig = sign_request(SECRET, "get", "/p", "1000")
        assert verify_signature(SECRET, "GET", "/p", "1000", sig, now=1200.0)
        assert not verify_signature(SECRET, "GET", "/p", "1000", sig, now=1400.0)
        assert not verify_signature(SECRET, "POST", "/p", "1000", sig, now=1000.0)
        assert not verify_signature(SECRET, "GET", "/p", "later", sig, now=1000.0)

    @pytest.mark.parametrize("stamp", ["nan", "NaN", "inf", "-inf"])
    def test_non_finite_timestamp_never_validates(self, stamp):
        # A correctly signed "nan" stamp must not give a signature that never expires.
        sig = sign_request(SECRET, "GET", "/p", stamp)
        assert not verify_signature(SECRET, "GET", "/p", stamp, sig, now=1000.0)

    def test_non_ascii_signature_is_rejected_not_raised(self):
        assert not verify_signature(SECRET, "GET", "/p", "1000", "é" * 64, now=1000.0)

    def test_repr_keeps_the_secret_out(self, server):
        assert SECRET not in repr(_client(server))
        assert KEY in repr(_client(server))

    @pytest.mark.parametrize(
        "url, options",
        [
            ("ftp://example.org", {}),
            ("http://127.0.0.1:1", {"retries": -1}),
            ("http://127.0.0.1:1", {"timeout": 0}),
            ("http://127.0.0.1:1", {"timeout": -1.0}),
            ("http://127.0.0.1:1", {"timeout": float("nan")}),
            ("http://127.0.0.1:1", {"deadline": float("inf")}),
        ],
    )
    def test_constructor_refuses(self, url, options):
        with pytest.raises(ValueError):
            HttpClient(url, KEY, SECRET, **options)

    def test_redirects_stay_on_the_configured_host(self, server, other_server):
        def to(url):
            return lambda handler, attempt: handler.reply(302, b"", headers={"Location": url})

        server.routes["/away"] = to(other_server.base_url + "/v1/a")
        server.routes["/here"] = to("/v1/a")
        server.routes["/v1/a"] = other_server.routes["/v1/a"] = _json(1)
        with pytest.raises(NetworkError, match="another host"):
            _client(server).get_json("/away")
        assert other_server.seen == []
        # Within the host the new path is signed afresh (the server checks).
        assert _client(server).get_json("/here") == 1


# --- retries and failures ----------------------------------------------------


class TestRetries:
    def test_503_is_retried_until_success(self, server):
        def flaky(handler, attempt):
            if attempt < 3:
                handler.reply(503, b"busy")
            else:
                handler.reply(200, b'{"rows": 3}', "application/json")

        server.routes["/v1/flaky"] = flaky
        assert _client(server, retries=3).get_json("/v1/flaky") == {"rows": 3}
        assert server.attempts["/v1/flaky"] == 3

    def test_retries_exhausted_raise_the_last_status(self, server):
        server.routes["/v1/down"] = lambda handler, attempt: handler.reply(503, b"maintenance")
        with pytest.raises(NetworkError) as info:
            _client(server, retries=2).get_json("/v1/down")
        assert info.value.status == 503
        assert "maintenance" in str(info.value)
        assert info.value.url == server.base_url + "/v1/down"
        assert server.attempts["/v1/down"] == 3

    def test_404_is_not_retried(self, server):
        with pytest.raises(NetworkError) as info:
            _client(server, retries=3).get_json("/v1/missing")
        assert info.value.status == 404
        assert server.attempts["/v1/missing"] == 1

    def test_refused_connection(self):
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        client = HttpClient(f"http://127.0.0.1:{port}", KEY, SECRET, retries=1, backoff=0.0)
        with pytest.raises(NetworkError) as info:
            client.get_json("/v1/ping")
        assert info.value.status is None
        assert info.value.url == f"http://127.0.0.1:{port}/v1/ping"

    def test_timeout(self, server):
        def slow(handler, attempt):
            server.release.wait(30)
            handler.reply(200, b"{}", "application/json")

        server.routes["/v1/slow"] = slow
        with pytest.raises(NetworkError):
            _client(server, timeout=0.2, retries=1).get_json("/v1/slow")
        assert server.attempts["/v1/slow"] == 2

    def test_invalid_json_is_a_network_error(self, server):
        server.routes["/v1/html"] = lambda handler, attempt: handler.reply(200, b"<html>")
        with pytest.raises(NetworkError, match="not valid JSON"):
            _client(server).get_json("/v1/html")

    def test_body_shorter_than_announced_is_a_network_error(self, server):
        server.routes["/v1/cut"] = lambda handler, attempt: handler.reply(
            200, b'{"a": 1', length=100
        )
        with pytest.raises(NetworkError, match="reading the response failed"):
            _client(server).request("GET", "/v1/cut")

    def test_garbled_status_line_is_a_network_error(self, server):
        def garbled(handler, attempt):
            handler.wfile.write(b"SOMETHING ELSE\r\n\r\n")
            handler.close_connection = True

        server.routes["/v1/garbled"] = garbled
        with pytest.raises(NetworkError):
            _client(server, retries=1).request("GET", "/v1/garbled")
        assert server.attempts["/v1/garbled"] == 2

    def test_post_json_sends_a_json_body(self, server):
        def echo(handler, attempt):
            seen = server.seen[-1]
            payload = {
                "got": json.loads(seen["body"]),
                "type": seen["headers"]["Content-Type"],
            }
            handler.reply(200, json.dumps(payload).encode(), "application/json")

        server.routes["/v1/echo"] = echo
        answer = _client(server).post_json("/v1/echo", {"factor": ["close", "open"]})
        assert answer == {"got": {"factor": ["close", "open"]}, "type": "application/json"}
        assert server.seen[-1]["method"] == "POST"


# --- downloads -----------------------------------------------------------------


class TestDownload:
    BODY = bytes(range(256)) * 40  # 10240 bytes

    def test_multi_chunk_download_with_progress(self, server, tmp_path):
        server.routes["/pkg"] = lambda handler, attempt: handler.reply(200, self.BODY)
        seen = []
        dest = tmp_path / "sub" / "package.zip"
        got = _client(server).download(
            "/pkg", dest, chunk_size=4096, progress=lambda done, total: seen.append((done, total))
        )
        assert got == dest
        assert dest.read_bytes() == self.BODY
        assert len(seen) >= 3
        done = [d for d, _ in seen]
        assert done == sorted(done) and done[-1] == len(self.BODY)
        assert {t for _, t in seen} == {len(self.BODY)}
        assert _leftovers(dest.parent) == ["package.zip"]

    def test_download_replaces_an_existing_file_when_complete(self, server, tmp_path):
        server.routes["/pkg"] = lambda handler, attempt: handler.reply(200, self.BODY)
        dest = tmp_path / "package.zip"
        dest.write_bytes(b"old")
        _client(server).download("/pkg", dest)
        assert dest.read_bytes() == self.BODY
        assert _leftovers(tmp_path) == ["package.zip"]

    def test_short_body_leaves_no_file(self, server, tmp_path):
        server.routes["/pkg"] = lambda handler, attempt: handler.reply(
            200, self.BODY[:3000], length=len(self.BODY)
        )
        with pytest.raises(NetworkError, match="incomplete") as info:
            _client(server).download("/pkg", tmp_path / "package.zip", chunk_size=1024)
        assert info.value.url == server.base_url + "/pkg"
        assert _leftovers(tmp_path) == []

    def test_failed_download_keeps_the_existing_file(self, server, tmp_path):
        def trickle(handler, attempt):  # a byte every 50 ms, far beyond the deadline
            handler.send_response(200)
            handler.send_header("Content-Length", "200")
            handler.end_headers()
            while not server.release.wait(0.05):
                handler.wfile.write(b"x")
                handler.wfile.flush()

        server.routes["/slow"] = trickle
        for path, body, length in [
            ("/cut", self.BODY[:3000], len(self.BODY)),
            ("/long", self.BODY, 3000),
            ("/nan", self.BODY, "lots"),
        ]:
            server.routes[path] = lambda handler, attempt, b=body, n=length: handler.reply(
                200, b, length=n
            )
        dest = tmp_path / "package.zip"
        dest.write_bytes(b"previous package")
        reasons = {"/cut": "incomplete", "/long": "longer", "/nan": "not a number"}
        reasons |= {"/slow": "deadline", "/missing": "404"}
        for path, reason in reasons.items():
            with pytest.raises(NetworkError, match=reason):
                _client(server, deadline=0.5).download(path, dest)
            assert dest.read_bytes() == b"previous package"
            assert _leftovers(tmp_path) == ["package.zip"]

    def test_failing_progress_callback_leaves_no_temp_file(self, server, tmp_path):
        server.routes["/pkg"] = lambda handler, attempt: handler.reply(200, self.BODY)

        class Cancelled(Exception):
            pass

        def cancel(done, total):
            raise Cancelled

        with pytest.raises(Cancelled):
            _client(server).download("/pkg", tmp_path / "p.zip", chunk_size=1024, progress=cancel)
        assert _leftovers(tmp_path) == []
