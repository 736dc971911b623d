"""A signed HTTP client for the cloud services.

Every request carries the key, a timestamp and an HMAC-SHA256 signature over
method, path and timestamp; those headers go to the configured origin only, so a
redirect to another host is refused. Transport failures (refused connections,
timeouts, error statuses after the retries, bodies that do not match their
``Content-Length`` or outlast the deadline) become :class:`NetworkError`.
"""

from __future__ import annotations

import contextlib
import hashlib
import hmac
import http.client
import json
import math
import os
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path

from mirtaly._atomic import atomic_output
from mirtaly.exceptions import NetworkError

KEY_HEADER = "X-Mirtaly-Key"
TIMESTAMP_HEADER = "X-Mirtaly-Timestamp"
SIGNATURE_HEADER = "X-Mirtaly-Signature"

# Statuses worth another attempt: the server may recover.
_RETRY_STATUSES = frozenset({429, 500, 502, 503, 504})

# What a broken exchange raises below urllib: socket errors and timeouts are
# OSError, while a garbled status line or a body cut short (BadStatusLine,
# IncompleteRead) is http.client.HTTPException, which is no OSError.
_TRANSPORT_ERRORS = (OSError, http.client.HTTPException)

ProgressCallback = Callable[[int, "int | None"], None]

_SIGNING_HEADERS = (KEY_HEADER, TIMESTAMP_HEADER, SIGNATURE_HEADER)
_DEFAULT_PORTS = {"http": 80, "https": 443}


def sign_request(secret: str, method: str, path: str, timestamp: str) -> str:
    """Hex HMAC-SHA256 of ``METHOD\\npath\\ntimestamp`` under ``secret``."""
    message = f"{method.upper()}\n{path}\n{timestamp}".encode()
    return hmac.new(secret.encode(), message, hashlib.sha256).hexdigest()


def verify_signature(
    secret: str,
    method: str,
    path: str,
    timestamp: str,
    signature: str,
    *,
    max_skew: float = 300.0,
    now: float | None = None,
) -> bool:
    """True when ``signature`` is valid and ``timestamp`` lies within ``max_skew`` seconds."""
    try:
        skew = abs((time.time() if now is None else now) - float(timestamp))
    except (TypeError, ValueError):
        return False
    # Written so that a "nan" timestamp (NaN compares false) is rejected too.
    if not skew <= max_skew:
        return False
    expected = sign_request(secret, method, path, timestamp)
    # Bytes: compare_digest raises TypeError on non-ASCII text, and header
    # values are whatever the peer sent.
    return hmac.compare_digest(expected.encode(), str(signature).encode("utf-8", "replace"))


def _seconds(name: str, value, *, allow_zero: bool = False) -> float:
    """A duration argument as float; 0 (unless allowed), negatives, NaN and
    infinity are refused: a zero or NaN socket timeout would not wait at all
    or never time out."""
    seconds = float(value)
    if not math.isfinite(seconds) or seconds < 0 or (seconds == 0 and not allow_zero):
        bound = ">= 0" if allow_zero else "> 0"
        raise ValueError(f"{name} must be a finite number of seconds {bound}, got {value!r}")
    return seconds


def _origin(url: str) -> tuple[str, str, int | None]:
    parts = urllib.parse.urlsplit(url)
    scheme = parts.scheme.lower()
    try:
        port = parts.port
    except ValueError:  # a port that is no number is nobody's origin
        port = -1
    return scheme, (parts.hostname or "").lower(), port or _DEFAULT_PORTS.get(scheme)


class HttpClient:
    """Signed client over one base URL, with timeouts and retries with backoff.

    ``timeout`` bounds each wait for the server (connecting, each read);
    ``deadline`` bounds a whole call, body included, so that a server trickling
    bytes cannot hold a download forever. It is checked between reads, so a
    call may overrun it by at most one ``timeout``.
    """

    def __init__(
        self,
        base_url: str,
        key: str,
        secret: str,
        *,
        timeout: float = 30.0,
        retries: int = 3,
        backoff: float = 0.5,
        deadline: float = 3600.0,
    ):
        parsed = urllib.parse.urlsplit(base_url)
        if parsed.scheme not in ("http", "https") or not parsed.netloc:
            raise ValueError(f"base_url must be an http(s) URL, got {base_url!r}")
        if retries < 0:
            raise ValueError("retries must be >= 0")
        self.base_url = base_url.rstrip("/")
        self.key = key
        self._secret = secret
        self.timeout = _seconds("timeout", timeout)
        self.retries = int(retries)
        self.backoff = _seconds("backoff", backoff, allow_zero=True)
        self.deadline = _seconds("deadline", deadline)

    def __repr__(self) -> str:  # the secret stays out of logs and tracebacks
        return f"HttpClient({self.base_url!r}, key={self.key!r})"

    def url(self, path: str, params: Mapping[str, object] | None = None) -> str:
        if not path.startswith("/"):
            path = "/" + path
        url = self.base_url + path
        if params:
            url += "?" + urllib.parse.urlencode({k: v for k, v in params.items() if v is not None})
        return url

    def _signing_headers(self, method: str, url: str) -> dict:
        timestamp = f"{time.time():.3f}"
        path = urllib.parse.urlsplit(url).path
        return {
            KEY_HEADER: self.key,
            TIMESTAMP_HEADER: timestamp,
            SIGNATURE_HEADER: sign_request(self._secret, method, path, timestamp),
        }

    def _headers(self, method: str, url: str, extra: Mapping[str, str] | None) -> dict:
        headers = self._signing_headers(method, url)
        headers["User-Agent"] = "mirtaly-sdk"
        if extra:
            headers.update(extra)
        return headers

    def _open(self, method: str, path: str, params, body: bytes | None, headers, deadline):
        """Opens a response, retrying transient failures; the caller closes it."""
        url = self.url(path, params)
        opener = urllib.request.build_opener(_SameOriginRedirects(self))
        last_error: NetworkError | None = None
        for attempt in range(self.retries + 1):
            if attempt:
                time.sleep(self.backoff * (2 ** (attempt - 1)))
            left = deadline - time.monotonic()
            if left <= 0:
                last_error = last_error or _past_deadline(f"{method} {url}", url, self.deadline)
                break
            request = urllib.request.Request(
                url, data=body, method=method, headers=self._headers(method, url, headers)
            )
            try:
                return opener.open(request, timeout=min(self.timeout, left))
            except urllib.error.HTTPError as exc:
                detail = _read_error_body(exc)
                last_error = NetworkError(
                    f"HTTP {exc.code} {method} {url}: {detail}", status=exc.code, url=url
                )
                if exc.code not in _RETRY_STATUSES:
                    break
            except _TRANSPORT_ERRORS as exc:
                reason = getattr(exc, "reason", None) or repr(exc)
                last_error = NetworkError(f"{method} {url} failed: {reason}", url=url)
        assert last_error is not None
        raise last_error

    def _body(
        self,
        response,
        what: str,
        chunk_size: int,
        deadline: float,
        progress: ProgressCallback | None = None,
    ) -> Iterator[bytes]:
        """The body of ``response`` in chunks of at most ``chunk_size`` bytes,
        each reported to ``progress`` (see :meth:`download`).

        A body shorter or longer than its ``Content-Length``, a
        ``Content-Length`` that is no number, a broken connection and a body
        still arriving at the deadline are :class:`NetworkError`; ``what``
        opens their message.
        """
        url = response.geturl()
        total = _announced_length(response, what, url)
        if total is not None:
            # urllib asks the server to close the connection after the
            # response, so the body runs to its end: reading up to there rather
            # than stopping where the header says is what shows a longer body.
            response.length = None
        done = 0
        while True:
            try:
                # read1: one wait on the socket, so the deadline is seen between
                # bytes trickling in, where read(n) would wait for all n.
                chunk = response.read1(chunk_size)
            except TimeoutError:
                if total is not None and done == total:
                    break  # complete; the server just kept the connection open
                raise NetworkError(f"{what}: timed out after {done} bytes", url=url) from None
            except _TRANSPORT_ERRORS as exc:
                raise NetworkError(f"{what}: interrupted: {exc!r}", url=url) from exc
            if not chunk:
                break
            done += len(chunk)
            if total is not None and done > total:
                raise NetworkError(
                    f"{what}: body longer than its Content-Length of {total} bytes", url=url
                )
            if progress is not None:
                progress(done, total)
            yield chunk
            if time.monotonic() > deadline:
                raise _past_deadline(what, url, self.deadline)
        # A connection closed early reads as a normal end of body.
        if total is not None and done != total:
            raise NetworkError(f"{what}: incomplete: {done} of {total} bytes", url=url)

    def request(
        self,
        method: str,
        path: str,
        *,
        params: Mapping[str, object] | None = None,
        body: bytes | None = None,
        headers: Mapping[str, str] | None = None,
    ) -> bytes:
        """Sends one request and returns the response body."""
        method = method.upper()
        deadline = time.monotonic() + self.deadline
        with self._open(method, path, params, body, headers, deadline) as response:
            what = f"{method} {response.geturl()}: reading the response failed"
            return b"".join(self._body(response, what, 1 << 16, deadline))

    def get_json(self, path: str, params: Mapping[str, object] | None = None):
        return _decode_json(self.request("GET", path, params=params), path)

    def post_json(self, path: str, payload) -> object:
        body = json.dumps(payload).encode()
        raw = self.request("POST", path, body=body, headers={"Content-Type": "application/json"})
        return _decode_json(raw, path)

    def download(
        self,
        path: str,
        dest: str | os.PathLike,
        *,
        params: Mapping[str, object] | None = None,
        progress: ProgressCallback | None = None,
        chunk_size: int = 1 << 20,
    ) -> Path:
        """Streams a response body into ``dest``.

        The body goes to a temporary file beside ``dest`` and replaces it only
        when complete and exactly as long as announced, so a failed download
        leaves ``dest`` as it was. ``progress(done_bytes, total_bytes_or_None)``
        is called after every chunk.
        """
        dest = Path(dest)
        dest.parent.mkdir(parents=True, exist_ok=True)
        deadline = time.monotonic() + self.deadline
        with (
            atomic_output(dest) as out,
            self._open("GET", path, params, None, None, deadline) as resp,
        ):
            what = f"download of {resp.geturl()}"
            for chunk in self._body(resp, what, chunk_size, deadline, progress):
                out.write(chunk)
        return dest


class _SameOriginRedirects(urllib.request.HTTPRedirectHandler):
    """Follows redirects within the client's own origin, signing each new
    request afresh for its method and path. A redirect elsewhere is refused:
    following it would hand the key and a valid signature to another host."""

    def __init__(self, client: HttpClient):
        self._client = client
        self._origin = _origin(client.base_url)

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        new = super().redirect_request(req, fp, code, msg, headers, newurl)
        if new is None:
            return None
        if _origin(new.full_url) != self._origin:
            with contextlib.suppress(Exception):
                fp.close()
            raise NetworkError(
                f"redirect from {req.full_url} to another host refused: {new.full_url}",
                status=code,
                url=req.full_url,
            )
        signing = {name.lower() for name in _SIGNING_HEADERS}
        for name in [n for n in new.headers if n.lower() in signing]:
            del new.headers[name]
        for name, value in self._client._signing_headers(new.get_method(), new.full_url).items():
            new.add_header(name, value)
        return new


def _announced_length(response, what: str, url: str) -> int | None:
    """The body length a response announces; None when it announces none, has
    no body or is chunked (the chunks carry their own lengths)."""
    values = response.headers.get_all("Content-Length") or []
    if not values or response.chunked or response.status in (204, 304):
        return None
    if getattr(response, "_method", None) == "HEAD":
        return None
    texts = {v.strip() for v in values}
    if len(texts) != 1 or not all(t.isdigit() and t.isascii() for t in texts):
        raise NetworkError(f"{what}: Content-Length is not a number: {values!r}", url=url)
    return int(texts.pop())


def _past_deadline(what: str, url: str, seconds: float) -> NetworkError:
    return NetworkError(f"{what}: not complete within the deadline of {seconds:g} s", url=url)


def _read_error_body(exc: urllib.error.HTTPError) -> str:
    # The error carries the open response: close it, or every retried
    # status leaks a socket until the garbage collector finds it.
    try:
        text = exc.read(2048).decode("utf-8", "replace").strip()
    except Exception:
        text = ""
    finally:
        with contextlib.suppress(Exception):
            exc.close()
    return text or str(exc.reason)


def _decode_json(raw: bytes, path: str):
    try:
        return json.loads(raw)
    except ValueError as exc:
        raise NetworkError(f"{path}: response is not valid JSON: {exc}") from exc
