"""Signature, path escaping and the fixed-order forms."""

import unittest

from devcloud import wire
from devcloud.tests.support import (Account, DevCloud, EDIT_ID, EDIT_SECRET, INFO, MAIN_ID, MAIN_SECRET,
                                    client_escape, client_sign)

KAT_TEXT = "get\nMon,01 Jan 2024 10:00:00 GMT\n12\n/docs/a%20b.txt"
KAT_SIG = "uH8JKwvBR73r5gFjgnU+R7jINvA="


class SignatureKnownAnswer(unittest.TestCase):
    def test_known_answer(self):
        self.assertEqual(wire.signature("9b04d6e2c7f1a35e8d20b4c6f9e17a3d", KAT_TEXT), KAT_SIG)
        self.assertEqual(wire.sign_text("GET", "Mon,01 Jan 2024 10:00:00 GMT", "12", "/docs/a%20b.txt"), KAT_TEXT)

    def test_server_accepts_the_known_answer_on_mount_12(self):
        cloud = DevCloud().start()
        try:
            account = None
            for i in range(12):
                cloud.hook("POST", "user", {"username": "kat%d" % i, "password": "pw"})
                account = Account(cloud, "kat%d" % i, "pw")
                if account.mount == 12:
                    break
            self.assertEqual(account.mount, 12)
            date = "Mon,01 Jan 2024 10:00:00 GMT"
            self.assertEqual(client_sign(MAIN_SECRET, "GET", date, 12, client_escape("docs/a b.txt")), KAT_SIG)
            reply = account.call("GET", "docs/a b.txt", date=date)
            # Signed right: the file is simply not there.
            self.assertEqual((reply.status, reply.json()["error_code"]), (404, 40402))
            reply = account.call("GET", "docs/a b.txt", date=date, secret=EDIT_SECRET)
            self.assertEqual((reply.status, reply.json()["error_code"]), (401, 40103))
        finally:
            cloud.cleanup()


class Paths(unittest.TestCase):
    def test_decode(self):
        cases = [
            ("/docs/a%20b.txt", ("docs/a b.txt", False)),
            ("/", ("", True)),
            ("/docs/", ("docs", True)),
            ("/team/sub/", ("team/sub", True)),
            ("/%E4%B8%AD%E6%96%87/x+y&z=1", ("中文/x+y&z=1", False)),
        ]
        for raw, expected in cases:
            with self.subTest(raw=raw):
                self.assertEqual(wire.decode_path(raw), expected)

    def test_refused(self):
        # A leading "//" is an empty first name like any other, not the root.
        for raw in ("docs", "/a//b", "/a/../b", "/./a", "/%FF", "/a%2Fb", "/a%00b", "//", "//a", "//a/"):
            with self.subTest(raw=raw):
                with self.assertRaises(wire.ApiError) as caught:
                    wire.decode_path(raw)
                self.assertEqual(caught.exception.status, 400)

    def test_escape_matches_the_client(self):
        for path in ("docs/a b.txt", "中文/报告 (1).doc", "a#b/c%d/e?f", "", "x/"):
            with self.subTest(path=path):
                self.assertEqual(wire.escape_path(path), client_escape(path))
                if path and not path.endswith("/"):
                    self.assertEqual(wire.decode_path(client_escape(path))[0], path)


class Forms(unittest.TestCase):
    def test_oauth_forms(self):
        cases = [
            ("grant_type=password&username=bob@x.test&password=a&b=c&password=d&info=%s&device=SN1"
             "&client_id=%s&client_secret=%s" % (INFO, MAIN_ID, MAIN_SECRET),
             {"grant_type": "password", "username": "bob@x.test", "password": "a&b=c&password=d",
              "info": INFO, "device": "SN1", "client_id": MAIN_ID}),
            # The edit helper's refresh has no info and an empty device.
            ("grant_type=refresh_token&refresh_token=r1&device=&client_id=%s&client_secret=%s"
             % (EDIT_ID, EDIT_SECRET),
             {"grant_type": "refresh_token", "refresh_token": "r1", "device": "", "client_id": EDIT_ID}),
            ("key=abc&info=%s&device=&client_id=%s&client_secret=%s" % (INFO, MAIN_ID, MAIN_SECRET),
             {"key": "abc", "info": INFO, "device": ""}),
        ]
        for text, expected in cases:
            with self.subTest(text=text[:40]):
                form = wire.parse_oauth_form(text)
                for key, value in expected.items():
                    self.assertEqual(form.get(key), value, key)

    def test_oauth_form_refused(self):
        tail = "&device=SN&client_id=%s&client_secret=%s" % (MAIN_ID, MAIN_SECRET)
        other_info = INFO.replace(MAIN_ID, EDIT_ID)
        for text in ("grant_type=password&username=a&password=b", "nonsense&device=&client_id=x&client_secret=y",
                     "grant_type=password&username=a&device=&client_id=x&client_secret=y",
                     # The main application's forms all describe the device.
                     "grant_type=password&username=a&password=b" + tail,
                     "grant_type=refresh_token&refresh_token=r1" + tail,
                     "key=abc" + tail,
                     "key=abc&info=" + tail,
                     "key=abc&info=not json" + tail,
                     "key=abc&info={\"BRAND\":\"x\"}" + tail,
                     "key=abc&info=%s" % other_info + tail,
                     "key=abc&info=%s" % INFO.replace('"DISPLAY":"tester"', '"DISPLAY":7') + tail):
            with self.subTest(text=text):
                with self.assertRaises(wire.OAuthError) as caught:
                    wire.parse_oauth_form(text)
                self.assertEqual(caught.exception.error, "invalid_request")

    def test_account_form_keeps_the_path_whole(self):
        form = wire.parse_account_form("token=t1&act=2&mount_id=7&fullpath=a&b/c&sign=x.txt&expires=99&sign=S=",
                                       ["token", "act", "mount_id"], tail="fullpath", right=["expires", "sign"])
        self.assertEqual(form, {"token": "t1", "act": "2", "mount_id": "7", "fullpath": "a&b/c&sign=x.txt",
                                "expires": "99", "sign": "S="})


if __name__ == "__main__":
    unittest.main()
