"""The HTTP server: one loopback port for every host name the client uses,
routed by path (file-API requests are those that carry "x-qv-mount").
HTTP/1.1 with keep-alive; every reply has Content-Length and Date."""

import socket
import sys
import threading
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import accounts, download, fileapi, hooks, updates, upload
from .message import Request, error_reply, json_reply
from .wire import ApiError, OAuthError

MAX_BODY = 64 * 1024 * 1024
CHUNK = 256 * 1024

OAUTH = {("POST", "/oauth/token"): accounts.oauth_token, ("POST", "/check_oauth"): accounts.check_oauth}
FIXED = {
    ("POST", "/get_myinfo"): accounts.get_myinfo,
    ("POST", "/client_updates"): accounts.client_updates,
    ("POST", "/save_file"): accounts.save_file,
    ("GET", "/interface/check_version"): updates.check_version,
    ("GET", "/account/sso"): accounts.sso,
    ("GET", "/account/weblogin"): accounts.weblogin,
    ("POST", "/account/weblogin"): accounts.weblogin,
    ("GET", "/account/oauth_login"): accounts.oauth_login,
    ("GET", "/"): accounts.index,
}
FIXED.update(upload.ROUTES)
UPLOAD_PATHS = {path for _, path in upload.ROUTES}


class App:
    def __init__(self, store, scheme, hooks_enabled=False, verbose=False):
        self.store = store
        self.scheme = scheme
        self.hooks_enabled = hooks_enabled
        self.verbose = verbose
        self.faults = hooks.Faults()
        self.gates = hooks.Gates()
        # Requests are kept for the hook that reads them, and only then:
        # `make run` would otherwise keep every body it ever received.
        self.recorder = hooks.Recorder() if hooks_enabled else None
        self.stopping = threading.Event()
        self.local_host = "127.0.0.1"


def route(app, req):
    if req.headers.get("x-qv-mount") is not None:
        return fileapi.handle(app, req)
    method = "GET" if req.method == "HEAD" else req.method
    key = (method, req.path)
    if key in OAUTH:
        try:
            return OAUTH[key](app, req)
        except ApiError as e:
            raise OAuthError(400, "invalid_request", e.msg)
    if key in FIXED:
        return FIXED[key](app, req)
    if method == "GET" and req.path.startswith("/content/"):
        return download.content(app, req)
    if method == "GET" and req.path.startswith("/download/installer/"):
        return download.installer(app, req)
    if method == "GET" and updates.PACKAGE.match(req.path):
        return updates.check_package(app, req)
    if any(path == req.path for _, path in list(FIXED) + list(OAUTH)):
        raise ApiError(405, 40501, "%s is not served for %s" % (req.method, req.path))
    raise ApiError(404, 40400, "unknown path %s" % req.path)


class Cut(Exception):
    """The body was cut short on purpose: the connection is to be closed."""


class BodyWriter:
    def __init__(self, wfile, fault, stopping):
        self.wfile = wfile
        self.fault = fault
        self.stopping = stopping
        self.sent = 0

    def write(self, data):
        fault = self.fault
        kind = fault["kind"] if fault else None
        if kind == "corrupt":
            at = int(fault.get("at", 0))
            if self.sent <= at < self.sent + len(data):
                data = bytearray(data)
                data[at - self.sent] ^= 0xFF
                data = bytes(data)
        elif kind in ("cut", "stall") and "after" in fault:
            room = int(fault["after"]) - self.sent
            if room < len(data):
                self.wfile.write(data[:max(room, 0)])
                self.wfile.flush()
                self.sent += max(room, 0)
                if kind == "stall":
                    self.stopping.wait(fault["seconds"])
                raise Cut()
        self.wfile.write(data)
        self.sent += len(data)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devcloud/1.0"
    sys_version = ""
    timeout = 300
    # The head and a short body go out as two writes: with Nagle's algorithm
    # the body waited for the client's delayed acknowledgement, 40 ms a reply.
    disable_nagle_algorithm = True

    def __getattr__(self, name):
        # The file API has verbs of its own (RENAME, COMPARE, ...): all go one way.
        if name.startswith("do_"):
            return self.dispatch
        raise AttributeError(name)

    def log_message(self, fmt, *args):
        if self.server.app.verbose:
            sys.stderr.write("devcloud: %s %s\n" % (self.address_string(), fmt % args))

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            parts, total = [], 0
            while True:
                line = self.rfile.readline(1024).strip().split(b";")[0]
                size = int(line, 16)
                if size == 0:
                    while self.rfile.readline(1024).strip():
                        pass
                    return b"".join(parts)
                total += size
                if total > MAX_BODY:
                    raise ApiError(413, 41300, "the body is too large")
                parts.append(self.rfile.read(size))
                self.rfile.readline(16)
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        if not length.strip().isdigit():
            raise ApiError(400, 40001, "Content-Length is not a number")
        length = int(length)
        if length > MAX_BODY:
            raise ApiError(413, 41300, "the body is too large")
        data = self.rfile.read(length)
        if len(data) < length:
            raise ConnectionError("the body ended early")
        return data

    def raw_target(self):
        # http.server's own path is not used: the signature covers the target as sent.
        words = str(self.raw_requestline, "iso-8859-1").rstrip("\r\n").split()
        return words[1] if len(words) >= 2 else self.path

    def dispatch(self):
        app = self.server.app
        try:
            body = self.read_body()
        except ApiError as e:
            self.close_connection = True
            return self.send_reply(error_reply(e))
        except ValueError:
            self.close_connection = True
            return self.send_reply(json_reply({"error_code": 40001, "error_msg": "unreadable chunked body"}, 400))
        req = Request(self.command, self.raw_target(), self.headers, body, app.scheme, app.local_host)
        if req.path == "/_test" or req.path.startswith("/_test/"):
            if not app.hooks_enabled:
                reply = json_reply({"error_code": 40400,
                                    "error_msg": "test hooks are off: start devcloud with --test-hooks"}, 404)
            else:
                reply = self.answer(lambda: hooks.handle(app, req))
            return self.send_reply(reply)
        fault = app.faults.take(req.method, req.target, self.client_address[0])
        entry = app.recorder.start(req, fault) if app.recorder is not None else {}
        kind = fault["kind"] if fault else None
        if kind == "drop":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if kind == "stall" and "after" not in fault:
            app.stopping.wait(fault["seconds"])
        if kind == "error":
            reply = self.fault_reply(app, req, fault)
        else:
            reply = self.answer(lambda: route(app, req))
        entry["status"] = reply.status
        self.send_reply(reply, fault if kind in ("cut", "corrupt", "stall") else None)

    def fault_reply(self, app, req, fault):
        status = int(fault.get("status", 500))
        if "body" in fault:
            reply = json_reply({}, status)
            reply.body = fault["body"].encode("utf-8")
            return reply
        body = {k: fault[k] for k in ("error_code", "error_msg", "error", "expect") if k in fault}
        if not body:
            body = {"error_code": status, "error_msg": "injected fault"}
        if status == 205 and req.path in UPLOAD_PATHS:
            # 205 tells the uploader to start over in plain mode: the stream goes.
            upload.discard_for_session(app, (req.headers.get("x-qv-upload-session") or "").strip())
        return json_reply(body, status)

    def answer(self, produce):
        try:
            return produce()
        except (ApiError, OAuthError) as e:
            return error_reply(e)
        except Exception:
            traceback.print_exc(file=sys.stderr)
            return json_reply({"error_code": 50000, "error_msg": "devcloud internal error"}, 500)

    def send_reply(self, reply, fault=None):
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.ctype)
        self.send_header("Content-Length", str(reply.length()))
        for key, value in reply.headers.items():
            self.send_header(key, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        writer = BodyWriter(self.wfile, fault, self.server.app.stopping)
        try:
            if reply.parts is None:
                writer.write(reply.body)
            else:
                for path, offset, count in reply.parts:
                    with open(path, "rb") as f:
                        f.seek(offset)
                        while count > 0:
                            chunk = f.read(min(CHUNK, count))
                            if not chunk:
                                raise Cut()
                            writer.write(chunk)
                            count -= len(chunk)
            self.wfile.flush()
        except Cut:
            self.close_connection = True
            try:
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, app, ssl_context=None):
        self.app = app
        self.ssl_context = ssl_context
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        if self.ssl_context is None:
            return super().finish_request(request, client_address)
        # The handshake runs on the request's own thread, so a slow client holds up no one.
        request.settimeout(30)
        try:
            tls = self.ssl_context.wrap_socket(request, server_side=True)
        except (OSError, ValueError):
            return
        try:
            tls.settimeout(Handler.timeout)
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            tls.close()

    def handle_error(self, request, client_address):
        kind = sys.exc_info()[0]
        if kind is not None and issubclass(kind, (ConnectionError, TimeoutError, socket.timeout)):
            return
        super().handle_error(request, client_address)
