"""OAuth grants, the web-login key, the account API and the web site."""

import base64
import hashlib
import hmac
import unittest
import urllib.parse

from devcloud.tests.support import (Account, CloudTest, DevCloud, EDIT_ID, EDIT_SECRET, INFO, MAIN_ID, MAIN_SECRET,
                                    client_date)

SSO_KEY = "5C07E3B1D84A29F6"


class SignIn(CloudTest):
    def post(self, path, text):
        return self.cloud.request("POST", path, text.encode("utf-8"))

    def password_form(self, user, password, client_id=MAIN_ID, secret=MAIN_SECRET):
        return ("grant_type=password&username=%s&password=%s&info=%s&device=SN&client_id=%s&client_secret=%s"
                % (user, password, INFO, client_id, secret))

    def test_password_grant(self):
        account = self.new_user()
        password = "pw&=" + account.username
        cases = [
            (account.username, password, MAIN_ID, MAIN_SECRET, 200, None),
            (account.username + "@example.test", password, MAIN_ID, MAIN_SECRET, 200, None),
            (account.username, password, EDIT_ID, EDIT_SECRET, 200, None),
            (account.username, password + "x", MAIN_ID, MAIN_SECRET, 400, "invalid_grant"),
            ("nobody", password, MAIN_ID, MAIN_SECRET, 400, "invalid_grant"),
            (account.username, password, MAIN_ID, EDIT_SECRET, 401, "invalid_client"),
            (account.username, password, "0" * 32, MAIN_SECRET, 401, "invalid_client"),
        ]
        for user, pw, cid, secret, status, error in cases:
            with self.subTest(user=user, pw=pw, cid=cid):
                reply = self.post("/oauth/token", self.password_form(user, pw, cid, secret))
                self.assertEqual(reply.status, status)
                body = reply.json()
                if error:
                    self.assertEqual(body, {"error": error, "error_description": body.get("error_description")})
                else:
                    self.assertGreater(body["expires_in"], 0)
                    self.assertNotIn(":", body["access_token"])
                    self.assertNotEqual(body["access_token"], body["refresh_token"])

    def test_refresh_grant_for_both_clients(self):
        account = self.new_user()
        main = self.post("/oauth/token", "grant_type=refresh_token&refresh_token=%s&info=%s&device=SN"
                         "&client_id=%s&client_secret=%s" % (account.refresh, INFO, MAIN_ID, MAIN_SECRET))
        self.assertEqual(main.status, 200)
        # The edit helper renews with the same refresh token each time, without info.
        for _ in range(2):
            edit = self.post("/oauth/token", "grant_type=refresh_token&refresh_token=%s&device=&client_id=%s"
                             "&client_secret=%s" % (account.refresh, EDIT_ID, EDIT_SECRET))
            self.assertEqual(edit.status, 200)
        token = edit.json()["access_token"]
        helper = Account.__new__(Account)
        helper.__dict__.update(account.__dict__, token=token, secret=EDIT_SECRET)
        # A token of the edit helper is verified with the helper's secret, and only with it.
        self.assertEqual(helper.get("").status, 200)
        self.assertEqual(helper.call("GET", "", secret=MAIN_SECRET).json()["error_code"], 40103)
        bad = self.post("/oauth/token", "grant_type=refresh_token&refresh_token=nope&info=%s&device="
                        "&client_id=%s&client_secret=%s" % (INFO, MAIN_ID, MAIN_SECRET))
        self.assertEqual((bad.status, bad.json()["error"]), (400, "invalid_grant"))

    def test_refresh_grant_can_rotate(self):
        account = self.new_user()
        form = "grant_type=refresh_token&refresh_token=%s&device=&client_id=%s&client_secret=%s"
        self.cloud.hook("POST", "config", {"rotate_refresh": 1})
        try:
            first = self.post("/oauth/token", form % (account.refresh, EDIT_ID, EDIT_SECRET))
            self.assertEqual(first.status, 200)
            renewed = first.json()["refresh_token"]
            self.assertNotEqual(renewed, account.refresh)
            old = self.post("/oauth/token", form % (account.refresh, EDIT_ID, EDIT_SECRET))
            self.assertEqual((old.status, old.json()["error"]), (400, "invalid_grant"))
            self.assertEqual(self.post("/oauth/token", form % (renewed, EDIT_ID, EDIT_SECRET)).status, 200)
        finally:
            self.cloud.hook("POST", "config", {"rotate_refresh": None})

    def test_web_login_key(self):
        account = self.new_user()
        key = hashlib.sha1(b"SN" + client_date().encode()).hexdigest()
        form = "key=%s&info=%s&device=SN&client_id=%s&client_secret=%s" % (key, INFO, MAIN_ID, MAIN_SECRET)
        self.assertEqual(self.post("/check_oauth", form).json()["error"], "invalid_grant")
        self.cloud.hook("POST", "weblogin", {"key": key, "username": account.username})
        reply = self.post("/check_oauth", form)
        self.assertEqual(reply.status, 200)
        info = self.post("/get_myinfo", "token=" + reply.json()["access_token"]).json()
        self.assertEqual(info["username"], account.username)
        # The key serves once.
        self.assertEqual(self.post("/check_oauth", form).json()["error"], "invalid_grant")

    def test_web_login_page_binds_the_key(self):
        account = self.new_user()
        key = "f" * 40
        page = self.cloud.request("GET", "/account/weblogin?key=" + key)
        self.assertIn(key, page.body.decode())
        body = urllib.parse.urlencode({"key": key, "username": account.username, "password": "wrong"})
        self.assertEqual(self.post("/account/weblogin", body).status, 403)
        body = urllib.parse.urlencode({"key": key, "username": account.username,
                                       "password": "pw&=" + account.username})
        reply = self.post("/account/weblogin", body)
        self.assertEqual((reply.status, reply.headers["Location"]), (302, "/account/oauth_login"))
        form = "key=%s&info=%s&device=SN&client_id=%s&client_secret=%s" % (key, INFO, MAIN_ID, MAIN_SECRET)
        self.assertEqual(self.post("/check_oauth", form).status, 200)

    def test_barred_user(self):
        account = self.new_user()
        self.cloud.hook("POST", "user_flags", {"username": account.username, "oauth_error": "access_denied"})
        reply = self.post("/oauth/token", self.password_form(account.username, "pw&=" + account.username))
        self.assertEqual(reply.json()["error"], "access_denied")

    def test_account_info_and_token_errors(self):
        account = self.new_user(org="Team %s" % id(self), org_username="Boss")
        info = self.post("/get_myinfo", "token=" + account.token)
        self.assertEqual(info.status, 200)
        body = info.json()
        for key in ("id", "username", "email", "photourl", "mount_id", "size", "capacity", "org_id", "org_name",
                    "org_username", "org_size"):
            self.assertIn(key, body)
        self.assertGreater(body["org_id"], 0)
        self.assertEqual(body["org_username"], "Boss")
        unknown = self.post("/get_myinfo", "token=deadbeef")
        self.assertEqual((unknown.status, unknown.json()["error_code"]), (401, 40102))
        self.cloud.hook("POST", "expire", {"token": account.token})
        expired = self.post("/get_myinfo", "token=" + account.token)
        self.assertEqual((expired.status, expired.json()["error_code"]), (401, 40101))
        self.assertEqual(account.get("").json()["error_code"], 40101)

    def test_messages_carry_the_date(self):
        account = self.new_user()
        self.cloud.hook("POST", "message", {"username": account.username, "render_text": "新消息", "dateline": 500,
                                            "member_name": "bob"})
        reply = self.post("/client_updates", "token=%s&dateline=0" % account.token)
        body = reply.json()
        self.assertEqual((body["update_count"], body["dateline"]), (1, 500))
        self.assertEqual(body["updates"][0]["render_text"], "新消息")
        self.assertEqual(len(reply.headers["Date"].split(" ")), 6)
        self.assertEqual(self.post("/client_updates", "token=%s&dateline=500" % account.token).json()
                         ["update_count"], 0)
        failed = self.post("/client_updates", "token=nope&dateline=0")
        self.assertNotEqual(failed.status, 200)
        self.assertIn("Date", failed.headers)

    def test_single_sign_on_link(self):
        account = self.new_user()
        url, t, n = "http://127.0.0.1/space", "1700000000", "17"

        def link(sign_url, s=None):
            text = "%s\n%s\n%s\n%s" % (sign_url, account.token, t, n)
            s = s or base64.b64encode(hmac.new(SSO_KEY.encode(), text.encode(), hashlib.sha1).digest()).decode()
            return "/account/sso?url=%s&token=%s&t=%s&n=%s&s=%s" % (
                urllib.parse.quote(url, safe=""), account.token, t, n, urllib.parse.quote(s, safe=""))

        self.assertEqual(self.cloud.request("GET", link(url)).status, 200)
        self.assertEqual(self.cloud.request("GET", link(url + "x")).status, 403)

    def test_single_sign_on_redirects_only_within_the_site(self):
        account = self.new_user()
        t, n = "1700000000", "17"

        def link(url):
            text = "%s\n%s\n%s\n%s" % (url, account.token, t, n)
            s = base64.b64encode(hmac.new(SSO_KEY.encode(), text.encode(), hashlib.sha1).digest()).decode()
            return "/account/sso?url=%s&token=%s&t=%s&n=%s&s=%s" % (
                urllib.parse.quote(url, safe=""), account.token, t, n, urllib.parse.quote(s, safe=""))

        cases = [("/space/files", 302), ("/", 302), ("//evil.example/x", 200), ("///evil.example", 200),
                 ("/\\evil.example", 200), ("/a\r\nSet-Cookie: x=1", 200), ("http://evil.example/", 200)]
        for url, status in cases:
            with self.subTest(url=url):
                reply = self.cloud.request("GET", link(url))
                self.assertEqual(reply.status, status)
                if status == 302:
                    self.assertEqual(reply.headers["Location"], url)
                else:
                    self.assertIsNone(reply.headers.get("Location"))

    def test_main_client_forms_carry_info(self):
        account = self.new_user()
        self.cloud.hook("POST", "weblogin", {"key": "k-%s" % account.username, "username": account.username})
        tail = "&device=SN&client_id=%s&client_secret=%s" % (MAIN_ID, MAIN_SECRET)
        forms = [("/oauth/token", "grant_type=password&username=%s&password=%s" % (account.username,
                                                                                  "pw&=" + account.username)),
                 ("/oauth/token", "grant_type=refresh_token&refresh_token=%s" % account.refresh),
                 ("/check_oauth", "key=k-%s" % account.username)]
        for path, head in forms:
            with self.subTest(path=path, form=head[:20]):
                refused = self.post(path, head + tail)
                self.assertEqual((refused.status, refused.json()["error"]), (400, "invalid_request"))
                self.assertEqual(self.post(path, head + "&info=" + INFO + tail).status, 200)

    def test_save_file_reads_only_what_the_caller_may_read(self):
        alice, bob, carol = self.new_user("alice"), self.new_user("bob"), self.new_user("carol")
        self.cloud.hook("POST", "files", {"username": alice.username, "files": [
            {"path": "shared/in.txt", "text": "in"}, {"path": "private/out.txt", "text": "out"},
            {"path": "sharedx/near.txt", "text": "near"}]})
        self.cloud.hook("POST", "share", {"owner": alice.username, "path": "shared", "to": bob.username})
        self.cloud.hook("POST", "files", {"username": bob.username, "files": [{"path": "own/mine.txt",
                                                                               "text": "mine"}]})

        def save(who, mount, path):
            expires = "9999999999"
            sign = self.cloud.hook("POST", "save_link", {"act": "2", "mount_id": str(mount), "fullpath": path,
                                                         "expires": expires})["sign"]
            return self.post("/save_file", "token=%s&act=2&mount_id=%d&fullpath=%s&expires=%s&sign=%s" % (
                who.token, mount, path, expires, sign))

        cases = [("a file of a folder shared with bob", bob, alice.mount, "shared/in.txt", 200),
                 ("bob's own file", bob, bob.mount, "own/mine.txt", 200),
                 ("the shared folder itself", bob, alice.mount, "shared", 200),
                 ("alice's private file", bob, alice.mount, "private/out.txt", 403),
                 ("a folder whose name starts alike", bob, alice.mount, "sharedx/near.txt", 403),
                 ("alice's whole mount", bob, alice.mount, "/", 403),
                 ("a stranger to alice", carol, alice.mount, "shared/in.txt", 403)]
        for name, who, mount, path, status in cases:
            with self.subTest(name):
                reply = save(who, mount, path)
                self.assertEqual(reply.status, status, reply)
                if status == 403:
                    self.assertEqual(reply.json()["error_code"], 40301)
        saved = {n["path"] for n in self.tree(bob)["nodes"]}
        self.assertIn("in.txt", saved)
        self.assertNotIn("out.txt", saved)
        self.assertNotIn("near.txt", saved)
        self.assertNotIn("in.txt", {n["path"] for n in self.tree(carol)["nodes"]})

    def test_malformed_bodies(self):
        cases = [("/oauth/token", b"\xff\xfe"), ("/oauth/token", b""), ("/get_myinfo", b"tok=1"),
                 ("/client_updates", b"token=x&dateline=abc"), ("/save_file", b"token=x")]
        for path, body in cases:
            with self.subTest(path=path, body=body):
                reply = self.cloud.request("POST", path, body)
                self.assertEqual(reply.status // 100, 4)
                self.assertTrue(reply.json())


class Demo(unittest.TestCase):
    def test_demo_account(self):
        cloud = DevCloud(extra=["--demo"]).start()
        try:
            line = cloud.banner[1]
            self.assertIn("quorva-demo", line)
            self.assertIn(cloud.url, line)
            account = Account(cloud, "demo@quorva.test", "quorva-demo")
            names = {i["fullpath"]: i for i in account.listing("").json()["list"]}
            self.assertIn("欢迎使用.txt", names)
            self.assertGreater(names["团队资料"]["org_share"], 0)
        finally:
            cloud.cleanup()
