"""A signed HTTP client for the cloud services.

Every request carries the key, a timestamp and an HMAC-SHA256 signature over
method, path and timestamp. Transport failures (refused connections, timeouts,
error statuses after the retries) become :class:`NetworkError`.
"""

from __future__ import annotations

import contextlib
import hashlib
import hmac
import http.client
import json
import os
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Mapping
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


class HttpClient:
    """Signed client over one base URL, with timeouts and retries with backoff."""

    def __init__(
        self,
        base_url: str,
        key: str,
        secret: str,
        *,
        timeout: float = 30.0,
        retries: int = 3,
        backoff: float = 0.5,
    ):
        parsed = urllib.parse.urlsplit(base_url)
        if parsed.scheme not in ("http", "https") or not parsed.netloc:
            raise ValueError(f"base_url must be an http(s) URL, got {base_url!r}")
        if retries < 0:
            raise ValueError("retries must be >= 0")
        self.base_url = base_url.rstrip("/")
        self.key = key
        self._secret = secret
        self.timeout = float(timeout)
        self.retries = int(retries)
        self.backoff = float(backoff)

    def __repr__(self) -> str:  # the secret stays out of logs and tracebacks
        return f"HttpClient({self.base_url!r}, key={self.key!r})"

    def url(self, path: str, params: Mapping[str, object] | None = None) -> str:
        if not path.startswith("/"):
            path = "/" + path
        url = self.base_url + path
        if params:
            url += "?" + urllib.parse.urlencode({k: v for k, v in params.items() if v is not None})
        return url

    def _headers(self, method: str, url: str, extra: Mapping[str, str] | None) -> dict:
        timestamp = f"{time.time():.3f}"
        path = urllib.parse.urlsplit(url).path
        headers = {
            KEY_HEADER: self.key,
            TIMESTAMP_HEADER: timestamp,
            SIGNATURE_HEADER: sign_request(self._secret, method, path, timestamp),
            "User-Agent": "mirtaly-sdk",
        }
        if extra:
            headers.update(extra)
        return headers

    def _open(self, method: str, path: str, params, body: bytes | None, headers):
        """Opens a response, retrying transient failures; the caller closes it."""
        url = self.url(path, params)
        last_error: NetworkError | None = None
        for attempt in range(self.retries + 1):
            if attempt:
                time.sleep(self.backoff * (2 ** (attempt - 1)))
            request = urllib.request.Request(
                url, data=body, method=method, headers=self._headers(method, url, headers)
            )
            try:
                return urllib.request.urlopen(request, timeout=self.timeout)
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
        with self._open(method, path, params, body, headers) as response:
            try:
                return response.read()
            except _TRANSPORT_ERRORS as exc:
                url = response.geturl()
                raise NetworkError(
                    f"{method} {url}: reading the response failed: {exc!r}", url=url
                ) from exc

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
        when complete, so an interrupted download leaves no partial file.
        ``progress(done_bytes, total_bytes_or_None)`` is called after every chunk.
        """
        dest = Path(dest)
        dest.parent.mkdir(parents=True, exist_ok=True)
        with atomic_output(dest) as out, self._open("GET", path, params, None, None) as resp:
            url = resp.geturl()
            length = resp.headers.get("Content-Length")
            total = int(length) if length and length.isdigit() else None
            done = 0
            while True:
                try:
                    chunk = resp.read(chunk_size)
                except _TRANSPORT_ERRORS as exc:
                    raise NetworkError(f"download of {url} interrupted: {exc!r}", url=url) from exc
                if not chunk:
                    break
                out.write(chunk)
                done += len(chunk)
                if progress is not None:
                    progress(done, total)
            # A connection closed early reads as a normal end of body.
            if total is not None and done != total:
                raise NetworkError(
                    f"download of {url} incomplete: {done} of {total} bytes", url=url
                )
        return dest


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
