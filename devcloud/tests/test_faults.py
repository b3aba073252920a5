"""Injected faults, the request record, keep-alive, and hooks that are off."""

import base64
import http.client
import random
import socket

from devcloud.tests.support import CloudTest, DevCloud, INFO, MAIN_ID, MAIN_SECRET


class Faults(CloudTest):
    def setUp(self):
        self.account = self.new_user()
        self.data = random.Random(9).randbytes(5000)
        self.cloud.hook("POST", "files", {"username": self.account.username,
                                          "files": [{"path": "f/data.bin",
                                                     "content_b64": base64.b64encode(self.data).decode()}]})
        self.uri = self.account.get("f/data.bin").json()["uri"]
        self.content_path = "/content/"

    def fault(self, **spec):
        return self.cloud.hook("POST", "fault", spec)

    def test_error_reply_for_the_next_calls(self):
        self.fault(kind="error", method="GET", path="/f/", status=401, error_code=40101, error_msg="过期", count=2)
        for _ in range(2):
            reply = self.account.get("f/data.bin")
            self.assertEqual((reply.status, reply.json()), (401, {"error_code": 40101, "error_msg": "过期"}))
        self.assertEqual(self.account.get("f/data.bin").status, 200)

    def test_error_matches_verb_and_path(self):
        self.fault(kind="error", method="DELETE", status=500)
        self.fault(kind="error", path="/other", status=503)
        self.assertEqual(self.account.get("f/data.bin").status, 200)
        self.assertEqual(self.account.call("DELETE", "f/data.bin").status, 500)
        self.assertIsNotNone(self.node(self.account, "f/data.bin"))
        self.assertEqual(self.account.get("other").status, 503)

    def test_error_matches_the_client_address(self):
        self.fault(kind="error", path="/f/", status=503, client="10.9.9.9", count=5)
        self.assertEqual(self.account.get("f/data.bin").status, 200)
        self.fault(kind="error", path="/f/", status=503, client="127.0.0.1")
        self.assertEqual(self.account.get("f/data.bin").status, 503)
        self.assertEqual(self.account.get("f/data.bin").status, 200)
        self.assertEqual(len(self.cloud.hook("GET", "faults")["faults"]), 1)

    def test_oauth_error_and_raw_body(self):
        self.fault(kind="error", path="/oauth/token", status=400, error="invalid_grant")
        form = ("grant_type=refresh_token&refresh_token=%s&info=%s&device=&client_id=%s&client_secret=%s"
                % (self.account.refresh, INFO, MAIN_ID, MAIN_SECRET))
        reply = self.cloud.request("POST", "/oauth/token", form.encode())
        self.assertEqual((reply.status, reply.json()), (400, {"error": "invalid_grant"}))
        self.fault(kind="error", path="/interface/check_version", status=200, body="not json")
        self.assertEqual(self.cloud.request("GET", "/interface/check_version?n=mac&v=1").body, b"not json")

    def test_no_answer_changes_nothing(self):
        self.fault(kind="drop", method="PUT")
        before = self.tree(self.account)
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.account.add_file("new.txt", b"new")
        self.assertEqual(self.tree(self.account), before)

    def test_cut_body(self):
        self.fault(kind="cut", path=self.content_path, after=1000)
        conn = self.cloud.connection()
        try:
            conn.request("GET", self.uri.split(str(self.cloud.port), 1)[1], headers={"Range": "bytes=0-4999"})
            resp = conn.getresponse()
            self.assertEqual(resp.status, 206)
            with self.assertRaises(http.client.IncompleteRead) as caught:
                resp.read()
            self.assertEqual(caught.exception.partial, self.data[:1000])
        finally:
            conn.close()

    def test_wrong_bytes(self):
        self.fault(kind="corrupt", path=self.content_path, at=7)
        body = self.account.fetch(self.uri).body
        self.assertEqual(len(body), len(self.data))
        self.assertNotEqual(body[7], self.data[7])
        self.assertEqual(body[:7] + body[8:], self.data[:7] + self.data[8:])

    def test_stall(self):
        self.fault(kind="stall", path=self.content_path, after=10, seconds=60)
        conn = self.cloud.connection(timeout=1)
        try:
            conn.request("GET", self.uri.split(str(self.cloud.port), 1)[1])
            resp = conn.getresponse()
            self.assertEqual(resp.read(10), self.data[:10])
            with self.assertRaises((socket.timeout, TimeoutError)):
                resp.read()
        finally:
            conn.close()
        # A stall before the answer still answers, late.
        self.fault(kind="stall", path=self.content_path, seconds=0.1)
        self.assertEqual(self.account.fetch(self.uri).body, self.data)
        self.assertEqual(self.cloud.requests_since(0)[-1]["fault"], "stall")

    def test_reset_code_discards_the_upload_stream(self):
        data = b"q" * 5000
        added = self.account.add_file("reset.bin", data).json()
        session = self.account.init("reset.bin", data, added["hash"]).json()["session"]
        self.assertEqual(self.account.part(session, 0, data[:100]).status, 200)
        self.fault(kind="error", path="/upload_checksum_result", status=205, error_code=205)
        reply = self.account.upload("PUT", "/upload_checksum_result", session, {"x-qv-upload-crc": "0"})
        self.assertEqual(reply.status, 205)
        self.assertEqual(self.account.upload("GET", "/upload_req", session).status, 401)
        fresh = self.account.init("reset.bin", data, added["hash"]).json()["session"]
        self.assertEqual(self.account.upload("GET", "/upload_req", fresh).body, b"0")

    def test_bad_fault_specs(self):
        for spec in ({"kind": "explode"}, {"kind": "cut"}, {"kind": "stall"}, {"kind": "error", "count": 0},
                     {"kind": "error", "status": "x"}):
            with self.subTest(spec=spec):
                self.cloud.hook("POST", "fault", spec, expect=400)
        self.assertEqual(self.cloud.hook("GET", "faults")["faults"], [])

    def test_recorded_requests(self):
        seq = self.cloud.last_seq()
        self.fault(kind="error", method="COMPARE", status=500)
        self.account.compare("/")
        self.account.compare("/")
        entries = self.cloud.requests_since(seq)
        self.assertEqual([(e["method"], e["target"], e["status"], e["fault"]) for e in entries],
                         [("COMPARE", "/", 500, "error"), ("COMPARE", "/", 200, None)])
        headers = dict((k.lower(), v) for k, v in entries[0]["headers"])
        self.assertEqual(headers["x-qv-version"], "0")
        self.assertTrue(headers["authorization"].startswith(self.account.token + ":"))


class Connection(CloudTest):
    def test_keep_alive_and_date(self):
        conn = self.cloud.connection()
        try:
            for path in ("/", "/nope", "/interface/check_version?n=mac&v=1.0"):
                conn.request("GET", path)
                resp = conn.getresponse()
                resp.read()
                self.assertIn("Date", resp.headers)
                self.assertIsNotNone(resp.headers["Content-Length"])
            self.assertEqual(resp.status, 200)
        finally:
            conn.close()

    def test_requests_are_kept_only_with_the_hooks(self):
        # In this process, to see what the server keeps while nobody can ask for it.
        import shutil
        import tempfile
        import threading
        from devcloud.server import App, Server
        from devcloud.store import Store
        for hooks_on, kept in ((False, 0), (True, 3)):
            with self.subTest(hooks=hooks_on):
                data = tempfile.mkdtemp(prefix="devcloud-rec-")
                app = App(Store(data), "http", hooks_enabled=hooks_on)
                server = Server(("127.0.0.1", 0), app)
                thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
                thread.start()
                try:
                    for _ in range(3):
                        conn = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=20)
                        conn.request("POST", "/get_myinfo", body=b"token=" + b"x" * 60000)
                        conn.getresponse().read()
                        conn.close()
                    recorder = app.recorder
                    self.assertEqual(len(recorder.entries) if recorder is not None else 0, kept)
                finally:
                    server.shutdown()
                    thread.join()
                    server.server_close()
                    app.store.db.close()
                    shutil.rmtree(data, ignore_errors=True)

    def test_hooks_are_off_by_default(self):
        cloud = DevCloud(hooks=False).start()
        try:
            reply = cloud.request("POST", "/_test/user", b'{"username":"x","password":"y"}')
            self.assertEqual(reply.status, 404)
            self.assertIn("--test-hooks", reply.json()["error_msg"])
        finally:
            cloud.cleanup()
