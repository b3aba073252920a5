"""The request and reply objects that the areas exchange with the server."""

import re
import urllib.parse

from .wire import ApiError, OAuthError, to_json

_HOST = re.compile(r"^[A-Za-z0-9.\-]+(:[0-9]{1,5})?$|^\[[0-9A-Fa-f:.]+\](:[0-9]{1,5})?$")


class Request:
    def __init__(self, method, target, headers, body, scheme, local_host):
        self.method = method.upper()
        self.target = target
        path, _, query = target.partition("?")
        self.path = path
        self.query = query
        self.headers = headers
        self.body = body
        self.scheme = scheme
        host = (headers.get("Host") or "").strip()
        # The reply's URLs follow the name the client used, unless it is unusable.
        self.host = host if _HOST.match(host) else local_host

    def base_url(self):
        return "%s://%s" % (self.scheme, self.host)

    def params(self):
        """Query parameters, decoded (web site and update service only)."""
        return {k: v[-1] for k, v in urllib.parse.parse_qs(self.query, keep_blank_values=True).items()}

    def text(self):
        try:
            return self.body.decode("utf-8")
        except UnicodeDecodeError:
            raise ApiError(400, 40001, "the body is not UTF-8")


class Reply:
    def __init__(self, status=200, body=b"", ctype="application/json; charset=utf-8", headers=None):
        self.status = status
        self.body = body
        self.ctype = ctype
        self.headers = dict(headers or {})
        # Streamed replies: (file path, offset, length) runs sent in order.
        self.parts = None

    def length(self):
        if self.parts is not None:
            return sum(n for _, _, n in self.parts)
        return len(self.body)


def json_reply(obj, status=200, headers=None):
    return Reply(status, to_json(obj), headers=headers)


def error_reply(exc):
    if isinstance(exc, (ApiError, OAuthError)):
        return json_reply(exc.body(), exc.status)
    raise exc


def html_reply(html, status=200, headers=None):
    return Reply(status, html.encode("utf-8"), "text/html; charset=utf-8", headers)
