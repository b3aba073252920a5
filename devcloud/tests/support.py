"""Starts a real devcloud process on a free loopback port and talks to it the
way the client does (its own escaping, date text and signature)."""

import base64
import hashlib
import hmac
import http.client
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

MAIN_ID = "3e7a19c05d4b82f6a0c1e9d47b2f5a68"
MAIN_SECRET = "9b04d6e2c7f1a35e8d20b4c6f9e17a3d"
EDIT_ID = "71d3b8e0a5c24f96e1b7d03a8c5f2e49"
EDIT_SECRET = "e2a95c17f0d3b864a7e1c25d9b0f4a36"
INFO = '{"BRAND":"Quorva","VERSION":"Mac OS X 10.9.5","DISPLAY":"tester","CLIENT_ID":"%s"}' % MAIN_ID


def client_escape(cloud_path):
    """The client's path escaping, written apart from devcloud's own."""
    keep = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.!~*'();:@&=+$,")
    out = ""
    for comp in cloud_path.split("/"):
        out += "/"
        for byte in comp.encode("utf-8"):
            ch = chr(byte)
            out += ch if ch in keep else "%%%02X" % byte
    return out


def client_sign(secret, method, date, mount, target):
    text = "%s\n%s\n%d\n%s" % (method.lower(), date, mount, target)
    return base64.b64encode(hmac.new(secret.encode(), text.encode("utf-8"), hashlib.sha1).digest()).decode()


def client_date():
    return time.strftime("%a,%d %b %Y %H:%M:%S GMT", time.gmtime())


class Reply:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def json(self):
        return json.loads(self.body.decode("utf-8"))

    def __repr__(self):
        return "<Reply %d %r>" % (self.status, self.body[:300])


class DevCloud:
    def __init__(self, data=None, tls=False, hooks=True, extra=()):
        self.own_data = data is None
        self.extra = list(extra)
        self.data = data or tempfile.mkdtemp(prefix="devcloud-test-")
        self.tls = tls
        self.hooks = hooks
        self.proc = None

    def start(self):
        args = [sys.executable, "-m", "devcloud", "--data", self.data, "--port", "0"]
        if self.hooks:
            args.append("--test-hooks")
        if self.tls:
            args.append("--tls")
        args += self.extra
        self.errlog = open(os.path.join(self.data, "stderr.log"), "ab")
        self.proc = subprocess.Popen(args, cwd=ROOT, stdout=subprocess.PIPE, stderr=self.errlog)
        line = self.proc.stdout.readline().decode()
        if "listening on" not in line:
            self.stop()
            raise RuntimeError("devcloud did not start: %r" % line)
        self.url = line.split()[-1]
        parsed = urllib.parse.urlsplit(self.url)
        self.port = parsed.port
        self.ca = None
        if self.tls:
            self.ca = self.proc.stdout.readline().decode().split(": ", 1)[1].strip()
        self.banner = [line]
        if "--demo" in self.extra:
            self.banner.append(self.proc.stdout.readline().decode())
        return self

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdout.close()
            self.errlog.close()
            self.proc = None

    def cleanup(self):
        self.stop()
        if self.own_data:
            shutil.rmtree(self.data, ignore_errors=True)

    def connection(self, timeout=20):
        if self.tls:
            context = ssl.create_default_context(cafile=self.ca)
            return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout, context=context)
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def request(self, method, target, body=b"", headers=None, timeout=20):
        conn = self.connection(timeout)
        try:
            # skip_host and skip_accept_encoding: only what is given goes out, as from the client.
            conn.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
            headers = dict(headers or {})
            headers.setdefault("Host", "127.0.0.1:%d" % self.port)
            headers.setdefault("Content-Length", str(len(body)))
            for key, value in headers.items():
                conn.putheader(key, value)
            conn.endheaders(body if body else None)
            resp = conn.getresponse()
            return Reply(resp.status, resp.headers, resp.read())
        finally:
            conn.close()

    def hook(self, method, path, obj=None, expect=200):
        body = json.dumps(obj).encode() if obj is not None else b""
        reply = self.request(method, "/_test/" + path, body)
        if expect is not None and reply.status != expect:
            raise AssertionError("hook %s %s gave %r" % (method, path, reply))
        return reply.json()

    def requests_since(self, seq=0):
        return self.hook("GET", "requests?since=%d" % seq)["requests"]

    def last_seq(self):
        entries = self.requests_since(0)
        return entries[-1]["seq"] if entries else 0


class Account:
    """A signed-in user as the main application (or the edit helper) is."""

    def __init__(self, cloud, username, password, client_id=MAIN_ID, secret=MAIN_SECRET):
        self.cloud = cloud
        self.username = username
        self.client_id = client_id
        self.secret = secret
        reply = cloud.request("POST", "/oauth/token", (
            "grant_type=password&username=%s&password=%s&info=%s&device=C02TEST&client_id=%s&client_secret=%s"
            % (username, password, INFO, client_id, secret)).encode())
        if reply.status != 200:
            raise AssertionError("login failed: %r" % reply)
        tokens = reply.json()
        self.token = tokens["access_token"]
        self.refresh = tokens["refresh_token"]
        info = cloud.request("POST", "/get_myinfo", ("token=%s" % self.token).encode()).json()
        self.mount = info["mount_id"]
        self.info = info

    def call(self, method, cloud_path=None, headers=None, target=None, body=b"", secret=None, date=None,
             mount=None):
        target = target if target is not None else client_escape(cloud_path)
        date = date or client_date()
        mount = self.mount if mount is None else mount
        sig = client_sign(secret or self.secret, method, date, mount, target)
        all_headers = {"x-qv-mount": str(mount), "date": date, "Authorization": "%s:%s" % (self.token, sig)}
        all_headers.update(headers or {})
        return self.cloud.request(method, target, body, all_headers)

    def compare(self, root, version=0, dateline=0, sc=""):
        target = client_escape(root)[1:]
        if sc:
            target += "?sc=" + urllib.parse.quote(sc, safe="-_.!~*'();/?:@&=+$,")
        return self.call("COMPARE", target=target,
                         headers={"x-qv-version": str(version), "x-qv-dateline": str(dateline)})

    def listing(self, path):
        return self.call("LIST", path, {"x-qv-dir": "1", "x-qv-start": "0", "x-qv-size": "50000",
                                        "x-qv-order": ""})

    def add_file(self, path, data, version=0, machine="mac"):
        headers = {"x-qv-filehash": hashlib.sha1(data).hexdigest(), "x-qv-filesize": str(len(data)),
                   "x-qv-machine": machine}
        if version > 0:
            headers["x-qv-version"] = str(version)
        return self.call("PUT", path, headers)

    def upload_plain(self, path, data, piece=32768):
        """add-file, init, req, pieces, finish: returns the add-file reply."""
        added = self.add_file(path, data)
        assert added.status == 200, added
        added = added.json()
        if added["state"] == 1:
            return added
        session = self.init(path, data, added["hash"]).json()["session"]
        offset = int(self.upload("GET", "/upload_req", session).body)
        while offset < len(data):
            chunk = data[offset:offset + piece]
            reply = self.part(session, offset, chunk)
            assert reply.status == 200, reply
            offset += len(chunk)
        reply = self.upload("POST", "/upload_finish", session, {"x-qv-upload-filesize": str(len(data))})
        assert reply.status == 200, reply
        return added

    def init(self, path, data, pathhash, token=None):
        name = path.rsplit("/", 1)[-1]
        return self.cloud.request("PUT", "/upload_init", b"", {
            "x-qv-upload-filename": client_escape(name)[1:], "x-qv-upload-pathhash": pathhash,
            "x-qv-upload-filehash": hashlib.sha1(data).hexdigest(), "x-qv-upload-filesize": str(len(data)),
            "x-qv-token": token or self.token})

    def upload(self, method, path, session, headers=None, body=b""):
        all_headers = {"x-qv-upload-session": session}
        all_headers.update(headers or {})
        return self.cloud.request(method, path, body, all_headers)

    def part(self, session, offset, chunk, crc=None):
        return self.upload("PUT", "/upload_part", session, {
            "x-qv-upload-range": "%d-%d" % (offset, offset + len(chunk) - 1),
            "x-qv-upload-crc": "%u" % (zlib.crc32(chunk) if crc is None else crc)}, chunk)

    def get(self, path):
        return self.call("GET", path, {"x-qv-machine": "mac"})

    def fetch(self, uri, range_header=None):
        parsed = urllib.parse.urlsplit(uri)
        headers = {"User-Agent": "client_quorva"}
        if range_header:
            headers["Range"] = range_header
        return self.cloud.request("GET", parsed.path + "?" + parsed.query, b"", headers)


class CloudTest(unittest.TestCase):
    """One devcloud for the whole class; each test makes the users it needs."""

    tls = False
    counter = 0

    @classmethod
    def setUpClass(cls):
        cls.cloud = DevCloud(tls=cls.tls).start()

    @classmethod
    def tearDownClass(cls):
        cls.cloud.cleanup()

    def tearDown(self):
        self.cloud.request("DELETE", "/_test/faults")

    def new_user(self, prefix="user", **extra):
        CloudTest.counter += 1
        name = "%s%d_%d" % (prefix, os.getpid(), CloudTest.counter)
        spec = {"username": name, "password": "pw&=" + name, "email": name + "@example.test"}
        spec.update(extra)
        self.cloud.hook("POST", "user", spec)
        return Account(self.cloud, name, spec["password"])

    def tree(self, account):
        return self.cloud.hook("GET", "tree?username=" + urllib.parse.quote(account.username))

    def node(self, account, path):
        for node in self.tree(account)["nodes"]:
            if node["path"] == path:
                return node
        return None
