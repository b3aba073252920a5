"""Wire rules shared by every area: client credentials, path escaping, the
fixed-order form bodies, request signatures and the error replies."""

import base64
import hashlib
import hmac
import json
import re
import urllib.parse

MAIN_CLIENT_ID = "3e7a19c05d4b82f6a0c1e9d47b2f5a68"
MAIN_CLIENT_SECRET = "9b04d6e2c7f1a35e8d20b4c6f9e17a3d"
EDIT_CLIENT_ID = "71d3b8e0a5c24f96e1b7d03a8c5f2e49"
EDIT_CLIENT_SECRET = "e2a95c17f0d3b864a7e1c25d9b0f4a36"
CLIENTS = {MAIN_CLIENT_ID: MAIN_CLIENT_SECRET, EDIT_CLIENT_ID: EDIT_CLIENT_SECRET}
SSO_KEY = "5C07E3B1D84A29F6"

HEX40 = re.compile(r"^[0-9a-fA-F]{40}$")
INT = re.compile(r"^-?[0-9]+$")

# Characters that the client's escaping leaves alone besides letters and digits
# ("?" is escaped: bare, it would end the path).
_PATH_SAFE = "-_.!~*'();:@&=+$,"


class ApiError(Exception):
    """A refused request: the status and the service's error body."""

    def __init__(self, status, code, msg, **extra):
        super().__init__(msg)
        self.status = status
        self.code = code
        self.msg = msg
        self.extra = extra

    def body(self):
        out = {"error_code": self.code, "error_msg": self.msg}
        out.update(self.extra)
        return out


class OAuthError(Exception):
    """A refused OAuth request; its body is {"error": text}."""

    def __init__(self, status, error, description=""):
        super().__init__(error)
        self.status = status
        self.error = error
        self.description = description

    def body(self):
        out = {"error": self.error}
        if self.description:
            out["error_description"] = self.description
        return out


def bad_request(msg, code=40001):
    return ApiError(400, code, msg)


def to_json(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def signature(secret, text):
    digest = hmac.new(secret.encode("utf-8"), text.encode("utf-8"), hashlib.sha1).digest()
    return base64.b64encode(digest).decode("ascii")


def sign_text(method, date, mount, target):
    return "%s\n%s\n%s\n%s" % (method.lower(), date, mount, target)


def escape_component(name):
    return urllib.parse.quote(name, safe=_PATH_SAFE)


def escape_path(cloud_path):
    """The client's escaping of a cloud path: every component gets "/" in front."""
    out = []
    for comp in cloud_path.split("/"):
        out.append("/" if comp == "" else "/" + escape_component(comp))
    return "".join(out)


def unescape(text, what):
    try:
        return urllib.parse.unquote_to_bytes(text).decode("utf-8")
    except UnicodeDecodeError:
        raise bad_request("%s is not UTF-8 after percent-decoding" % what)


def check_name(name, what="path component"):
    if name in ("", ".", "..") or "/" in name or "\x00" in name:
        raise bad_request("bad %s: %r" % (what, name))
    return name


def decode_path(raw):
    """Raw request path (no query) to (cloud path, ends with "/").

    The mount root is "/". A leading "//" is an empty first name, refused like
    any other: folding it away would hide a client that doubles the slash."""
    if not raw.startswith("/"):
        raise bad_request("the path must begin with '/'")
    if raw == "/":
        return "", True
    folder = raw.endswith("/")
    inner = raw[1:-1] if folder else raw[1:]
    names = [check_name(unescape(c, "path")) for c in inner.split("/")]
    return "/".join(names), folder


def split_right(text, key):
    i = text.rfind(key)
    if i < 0:
        return None
    return text[:i], text[i + len(key):]


def check_info(form):
    """The main application describes its device in every OAuth form: a JSON
    object of four texts naming its own client id. Only the edit helper's
    refresh goes without."""
    if form.get("client_id") != MAIN_CLIENT_ID:
        return
    if "info" not in form:
        raise OAuthError(400, "invalid_request", "missing info")
    try:
        info = json.loads(form["info"])
    except ValueError:
        raise OAuthError(400, "invalid_request", "info is not JSON")
    keys = ("BRAND", "VERSION", "DISPLAY", "CLIENT_ID")
    if not isinstance(info, dict) or sorted(info) != sorted(keys) \
            or not all(isinstance(info[k], str) for k in keys):
        raise OAuthError(400, "invalid_request", "info must hold BRAND, VERSION, DISPLAY and CLIENT_ID")
    if info["CLIENT_ID"] != MAIN_CLIENT_ID:
        raise OAuthError(400, "invalid_request", "info names another client")


def parse_oauth_form(text):
    """Both grants and the key exchange. Values are raw (no escaping at all),
    so the trailing keys are cut from the right and the leading ones from the
    left; "info" is absent in the edit helper's refresh only."""
    form = {}
    for key in ("client_secret", "client_id", "device"):
        cut = split_right(text, "&%s=" % key)
        if cut is None:
            raise OAuthError(400, "invalid_request", "missing %s" % key)
        text, form[key] = cut
    cut = split_right(text, "&info=")
    if cut is not None:
        text, form["info"] = cut
    if text.startswith("grant_type=password&username="):
        rest = text[len("grant_type=password&username="):]
        i = rest.find("&password=")
        if i < 0:
            raise OAuthError(400, "invalid_request", "missing password")
        form["grant_type"] = "password"
        form["username"] = rest[:i]
        form["password"] = rest[i + len("&password="):]
    elif text.startswith("grant_type=refresh_token&refresh_token="):
        form["grant_type"] = "refresh_token"
        form["refresh_token"] = text[len("grant_type=refresh_token&refresh_token="):]
    elif text.startswith("key="):
        form["key"] = text[len("key="):]
    elif text.startswith("grant_type="):
        form["grant_type"] = text[len("grant_type="):].split("&", 1)[0]
    else:
        raise OAuthError(400, "invalid_request", "unreadable form")
    check_info(form)
    return form


def parse_account_form(text, left, tail=None, right=()):
    """Account API forms: fixed keys in a fixed order, raw values. Tokens and
    numbers hold no "&", so they are cut from the left; the trailing keys are
    cut from the right, which leaves `tail` (a path) whole."""
    form = {}
    for key in reversed(right):
        cut = split_right(text, "&%s=" % key)
        if cut is None:
            raise bad_request("missing %s" % key)
        text, form[key] = cut
    names = list(left) + ([tail] if tail else [])
    first = names[0] + "="
    if not text.startswith(first):
        raise bad_request("the form must begin with %s" % first)
    text = text[len(first):]
    for prev, key in zip(names, names[1:]):
        marker = "&%s=" % key
        j = text.find(marker)
        if j < 0:
            raise bad_request("missing %s" % key)
        form[prev] = text[:j]
        text = text[j + len(marker):]
    form[names[-1]] = text
    return form


def int_header(headers, name, default=None, minimum=None):
    value = headers.get(name)
    if value is None:
        if default is None:
            raise bad_request("missing header %s" % name)
        return default
    value = value.strip()
    if not INT.match(value):
        raise bad_request("header %s is not a number: %r" % (name, value))
    number = int(value)
    if minimum is not None and number < minimum:
        raise bad_request("header %s is out of range: %d" % (name, number))
    return number
