"""The signed file API: signature checks, the tree operations, the change
feed with its paging, shares and team folders."""

import hashlib

from devcloud.tests.support import CloudTest, EDIT_SECRET, client_date, client_escape, client_sign

FOLDER = {"x-qv-filehash": "", "x-qv-filesize": "0", "x-qv-machine": "mac"}


class Signature(CloudTest):
    def test_refusals(self):
        account = self.new_user()
        date = client_date()
        good = client_sign(account.secret, "GET", date, account.mount, "/docs/a%20b.txt")
        loose = date.replace(",", ", ", 1)
        cases = [
            ("right", {"Authorization": "%s:%s" % (account.token, good)}, "/docs/a%20b.txt", 404, 40402),
            ("other secret", {"Authorization": "%s:%s" % (account.token, client_sign(
                EDIT_SECRET, "GET", date, account.mount, "/docs/a%20b.txt"))}, "/docs/a%20b.txt", 401, 40103),
            ("other target", {"Authorization": "%s:%s" % (account.token, good)}, "/docs/a%20c.txt", 401, 40103),
            ("decoded target", {"Authorization": "%s:%s" % (account.token, client_sign(
                account.secret, "GET", date, account.mount, "/docs/a b.txt"))}, "/docs/a%20b.txt", 401, 40103),
            ("other verb", {"Authorization": "%s:%s" % (account.token, client_sign(
                account.secret, "DELETE", date, account.mount, "/docs/a%20b.txt"))}, "/docs/a%20b.txt", 401, 40103),
            ("no signature", {"Authorization": account.token}, "/docs/a%20b.txt", 401, 40102),
            ("unknown token", {"Authorization": "feed:%s" % good}, "/docs/a%20b.txt", 401, 40102),
            ("no date", {"Authorization": "%s:%s" % (account.token, good), "date": None}, "/docs/a%20b.txt", 400, 40001),
            # Signed right, but a blank after the comma is not the client's date text.
            ("other date form", {"date": loose, "Authorization": "%s:%s" % (account.token, client_sign(
                account.secret, "GET", loose, account.mount, "/docs/a%20b.txt"))}, "/docs/a%20b.txt", 400, 40001),
        ]
        for name, override, target, status, code in cases:
            with self.subTest(name):
                headers = {"x-qv-mount": str(account.mount), "date": date, "x-qv-machine": "mac"}
                headers.update(override)
                headers = {k: v for k, v in headers.items() if v is not None}
                reply = self.cloud.request("GET", target, b"", headers)
                self.assertEqual((reply.status, reply.json()["error_code"]), (status, code))

    def test_other_mount_is_refused(self):
        account, other = self.new_user(), self.new_user()
        reply = account.call("GET", "", mount=other.mount)
        self.assertEqual((reply.status, reply.json()["error_code"]), (403, 40301))

    def test_a_leading_double_slash_is_refused_not_folded(self):
        account = self.new_user()
        headers = {"x-qv-dir": "1", "x-qv-start": "0", "x-qv-size": "50000", "x-qv-order": ""}
        self.assertEqual(account.call("LIST", target="/", headers=headers).status, 200)
        # Signed right, as sent: still not a path of the mount.
        for method, target in (("LIST", "//"), ("GET", "//"), ("COMPARE", "//"), ("GET", "//docs")):
            with self.subTest(method=method, target=target):
                reply = account.call(method, target=target, headers=headers)
                self.assertEqual((reply.status, reply.json()["error_code"]), (400, 40001))


class Tree(CloudTest):
    def test_file_and_folder_life(self):
        account = self.new_user()
        data = "第一版 content".encode()
        self.assertEqual(account.call("PUT", "文档/", FOLDER).json()["state"], 1)
        # Content that the store holds already makes the version at once.
        self.cloud.hook("POST", "files", {"username": account.username, "files": [{"path": "seed.bin", "text": data.decode()}]})
        added = account.add_file("文档/a b.txt", data)
        self.assertEqual(added.json()["state"], 1)
        details = account.get("文档/a b.txt").json()
        self.assertEqual((details["filehash"], details["filesize"], details["dir"], details["fullpath"],
                          details["filename"], details["ext"], details["last_member_machine"]),
                         (hashlib.sha1(data).hexdigest(), len(data), False, "文档/a b.txt", "a b.txt", "txt", "mac"))
        self.assertEqual(account.get("文档/A B.TXT").json()["fullpath"], "文档/a b.txt")
        self.assertTrue(account.get("文档").json()["dir"])

        renamed = account.call("RENAME", "文档/a b.txt", {"x-qv-newname": client_escape("新 名.txt")[1:],
                                                           "x-qv-machine": "mac"})
        self.assertEqual(renamed.status, 200)
        self.assertEqual(account.get("文档/a b.txt").json()["error_code"], 40402)
        self.assertEqual(account.get("文档/新 名.txt").json()["version"], renamed.json()["version"])

        self.assertEqual(account.call("PUT", "archive/old/", FOLDER).status, 200)
        moved = account.call("MOVE", "文档/新 名.txt", {"x-qv-target-mount": str(account.mount),
                                                        "x-qv-target-path": "archive%2Fold%2F", "x-qv-machine": "mac"})
        self.assertEqual(moved.status, 200)
        self.assertEqual(account.get("archive/old/新 名.txt").json()["filehash"], hashlib.sha1(data).hexdigest())

        folder_move = account.call("MOVE", "archive", {"x-qv-target-mount": str(account.mount),
                                                       "x-qv-target-path": "archive%2Fold%2F"})
        self.assertEqual(folder_move.json()["error_code"], 40001)
        deleted = account.call("DELETE", "archive", {"x-qv-machine": "mac"})
        self.assertEqual(deleted.status, 200)
        self.assertEqual(account.get("archive/old/新 名.txt").json()["error_code"], 40402)
        # Deleting what is gone is done, not an error that the client would retry.
        self.assertEqual(account.call("DELETE", "archive").status, 200)

        changes = {i["fullpath"]: i for i in account.compare("/").json()["list"]}
        self.assertEqual(changes["文档"]["cmd"], 1)
        self.assertEqual((changes["archive/old/新 名.txt"]["cmd"], changes["archive"]["cmd"]), (0, 0))
        self.assertEqual(changes["文档/a b.txt"]["cmd"], 0)

    def test_conflicts(self):
        account = self.new_user()
        self.cloud.hook("POST", "files", {"username": account.username, "folders": ["d"],
                                          "files": [{"path": "f.txt", "text": "x"}, {"path": "g.txt", "text": "y"}]})
        cases = [
            ("file over folder", lambda: account.add_file("d", b"data"), 409),
            ("folder over file", lambda: account.call("PUT", "f.txt/", FOLDER), 409),
            ("file below a file", lambda: account.add_file("f.txt/x", b"data"), 409),
            ("rename onto another", lambda: account.call("RENAME", "f.txt", {"x-qv-newname": "G.TXT"}), 409),
            ("rename gone", lambda: account.call("RENAME", "nope.txt", {"x-qv-newname": "n.txt"}), 404),
            ("move into a missing folder", lambda: account.call("MOVE", "f.txt", {
                "x-qv-target-mount": str(account.mount), "x-qv-target-path": "nowhere%2F"}), 404),
        ]
        for name, call, status in cases:
            with self.subTest(name):
                self.assertEqual(call().status, status)
        # A rename that changes only the case is a rename.
        self.assertEqual(account.call("RENAME", "f.txt", {"x-qv-newname": "F.txt"}).status, 200)
        self.assertEqual(account.get("f.txt").json()["fullpath"], "F.txt")

    def test_bad_requests_change_nothing(self):
        account = self.new_user()
        self.cloud.hook("POST", "files", {"username": account.username, "files": [{"path": "keep/a.txt", "text": "a"}]})
        before = self.tree(account)
        sha = hashlib.sha1(b"z").hexdigest()
        cases = [
            ("PUT", "keep/b.txt", {"x-qv-filehash": "xyz", "x-qv-filesize": "1"}),
            ("PUT", "keep/b.txt", {"x-qv-filehash": sha, "x-qv-filesize": "-1"}),
            ("PUT", "keep/b.txt", {"x-qv-filehash": sha}),
            ("PUT", "keep/c/", {"x-qv-filehash": sha, "x-qv-filesize": "1"}),
            ("PUT", "", {"x-qv-filehash": "", "x-qv-filesize": "0"}),
            ("RENAME", "keep/a.txt", {"x-qv-newname": "x%2Fy"}),
            ("RENAME", "keep/a.txt", {"x-qv-newname": ".."}),
            ("RENAME", "keep/a.txt", {}),
            ("MOVE", "keep/a.txt", {"x-qv-target-mount": "99999", "x-qv-target-path": "%2F"}),
            ("MOVE", "keep/a.txt", {"x-qv-target-path": "%2F"}),
            ("DELETE", "", {}),
            ("COMPARE", "keep", {"x-qv-version": "abc"}),
            ("FROB", "keep", {}),
        ]
        for method, path, headers in cases:
            with self.subTest(method=method, path=path, headers=headers):
                reply = account.call(method, path, headers)
                self.assertEqual(reply.status // 100, 4, reply)
                self.assertIn("error_msg", reply.json())
        self.assertEqual(self.tree(account), before)


class Feed(CloudTest):
    def test_paging_at_1000(self):
        account = self.new_user()
        files = [{"path": "bulk/f%04d.txt" % i, "text": "same content"} for i in range(2500)]
        self.cloud.hook("POST", "files", {"username": account.username, "files": files})
        seen, sizes, version, dateline, sc = [], [], 0, 0, ""
        for _ in range(5):
            page = account.compare("/", version, dateline, sc).json()
            sizes.append(len(page["list"]))
            seen += [i["fullpath"] for i in page["list"]]
            version, dateline, sc = page["version"], page["dateline"], page["sc"]
            if len(page["list"]) < 1000:
                break
        self.assertEqual(sizes, [1000, 1000, 501])
        self.assertEqual(sorted(seen), sorted(["bulk"] + [f["path"] for f in files]))
        self.assertEqual(account.compare("/", version, dateline, sc).json()["list"], [])
        # A later change shows up alone from the saved position.
        self.cloud.hook("POST", "files", {"username": account.username, "files": [{"path": "bulk/new.txt", "text": "n"}]})
        later = account.compare("/", version, dateline, sc).json()["list"]
        self.assertEqual([i["fullpath"] for i in later], ["bulk/new.txt"])

    def test_reset_and_lock_changes(self):
        account = self.new_user()
        self.cloud.hook("POST", "files", {"username": account.username, "files": [{"path": "r.txt", "text": "r"}]})
        start = account.compare("/").json()["version"]
        self.cloud.hook("POST", "feed", {"username": account.username, "path": "r.txt", "cmd": -1})
        self.cloud.hook("POST", "feed", {"username": account.username, "path": "r.txt", "lock": 1})
        items = account.compare("/", start).json()["list"]
        self.assertEqual([(i["cmd"], i["lock"]) for i in items], [(-1, 0), (1, 1)])
        self.assertEqual(account.add_file("r.txt", b"changed").json()["error_code"], 40322)
        self.assertEqual(account.call("DELETE", "r.txt").json()["error_code"], 40322)

    def test_the_change_key_is_honoured(self):
        account, other = self.new_user(), self.new_user()
        self.cloud.hook("POST", "files", {"username": account.username, "files": [{"path": "k1.txt", "text": "1"}]})
        first = account.compare("/").json()
        self.cloud.hook("POST", "files", {"username": account.username, "files": [{"path": "k2.txt", "text": "2"}]})
        theirs = other.compare("/").json()["sc"]
        mount, cursor = first["sc"].split(".")
        cases = [
            # The key decides where the page starts, not x-qv-version.
            ("the reply's key", first["sc"], first["version"], 200, ["k2.txt"]),
            ("the key over a stale version", first["sc"], 0, 200, ["k2.txt"]),
            ("no key: the version", "", first["version"], 200, ["k2.txt"]),
            ("another mount's key", theirs, first["version"], 400, None),
            ("a key no reply gave", "%s.%d" % (mount, int(cursor) + 10 ** 9), first["version"], 400, None),
            ("not a key", "a b+c&d=e", first["version"], 400, None),
            ("empty key", None, first["version"], 400, None),
        ]
        for name, sc, version, status, paths in cases:
            with self.subTest(name):
                if sc is None:
                    reply = account.call("COMPARE", target="/?sc=", headers={"x-qv-version": str(version),
                                                                            "x-qv-dateline": "0"})
                else:
                    reply = account.compare("/", version, 0, sc)
                self.assertEqual(reply.status, status, reply)
                if paths is not None:
                    self.assertEqual([i["fullpath"] for i in reply.json()["list"]], paths)
                else:
                    self.assertEqual(reply.json()["error_code"], 40008)
        other_query = account.call("COMPARE", target="/?x=1", headers={"x-qv-version": "0", "x-qv-dateline": "0"})
        self.assertEqual(other_query.status, 400)

    def test_folder_as_root(self):
        account = self.new_user()
        self.cloud.hook("POST", "files", {"username": account.username, "files": [
            {"path": "a/x.txt", "text": "1"}, {"path": "a/b/y.txt", "text": "2"}, {"path": "c.txt", "text": "3"}]})
        items = account.compare("/a/").json()["list"]
        self.assertEqual(sorted(i["fullpath"] for i in items), ["a/b", "a/b/y.txt", "a/x.txt"])
        self.assertEqual(account.compare("/nope/").json()["error_code"], 40402)


class Shares(CloudTest):
    def test_read_only_and_writable_shares(self):
        alice, bob = self.new_user("alice"), self.new_user("bob")
        self.cloud.hook("POST", "files", {"username": alice.username, "files": [
            {"path": "proj/a.txt", "text": "a"}, {"path": "open/b.txt", "text": "b"}]})
        self.cloud.hook("POST", "share", {"owner": alice.username, "path": "proj", "to": bob.username,
                                          "readonly": True})
        self.cloud.hook("POST", "share", {"owner": alice.username, "path": "open", "to": bob.username,
                                          "name": "Alice 的共享"})
        announced = {i["fullpath"]: i for i in bob.compare("/").json()["list"]}
        self.assertEqual((announced["proj"]["cmd"], announced["proj"]["share"]), (1000, 1))
        self.assertEqual(announced["Alice 的共享"]["cmd"], 1001)
        self.assertEqual([i["fullpath"] for i in bob.compare("/proj/").json()["list"]], ["proj/a.txt"])
        self.assertEqual(bob.get("proj/a.txt").json()["filehash"], hashlib.sha1(b"a").hexdigest())

        refused = [bob.add_file("proj/new.txt", b"n"), bob.call("DELETE", "proj/a.txt"),
                   bob.call("RENAME", "proj/a.txt", {"x-qv-newname": "z.txt"}), bob.call("PUT", "proj/sub/", FOLDER),
                   bob.call("DELETE", "Alice 的共享")]
        for reply in refused:
            self.assertEqual((reply.status, reply.json()["error_code"]), (403, 40322))

        bob.upload_plain("Alice 的共享/from bob.txt", b"hello from bob")
        self.assertEqual(self.node(alice, "open/from bob.txt")["filehash"], hashlib.sha1(b"hello from bob").hexdigest())
        feed = [i["fullpath"] for i in bob.compare("/Alice 的共享/").json()["list"]]
        self.assertEqual(sorted(feed), ["Alice 的共享/b.txt", "Alice 的共享/from bob.txt"])
        self.assertIn("open/from bob.txt", [i["fullpath"] for i in alice.compare("/").json()["list"]])

    def test_team_folders(self):
        team = "团队 %d" % id(self)
        boss = self.new_user("boss", org=team)
        worker = self.new_user("worker", org=team)
        outsider = self.new_user("outsider")
        self.cloud.hook("POST", "team_folder", {"org": team, "name": "设计", "readonly_for": [worker.username]})
        listing = {i["fullpath"]: i for i in worker.listing("").json()["list"]}
        self.assertGreater(listing["设计"]["org_share"], 0)
        self.assertEqual((listing["设计"]["cmd"], listing["设计"]["dir"]), (1000, 1))
        self.assertEqual({i["fullpath"]: i["cmd"] for i in boss.listing("").json()["list"]}["设计"], 1001)

        made = boss.call("ORG_SHARE", "市场/", body=("local=0&email=%s|2" % boss.info["email"]).encode())
        self.assertEqual(made.status, 200)
        announced = {i["fullpath"]: i for i in worker.compare("/").json()["list"]}
        self.assertEqual(announced["市场"]["cmd"], 1001)
        self.assertGreater(announced["市场"]["org_share"], 0)
        again = boss.call("ORG_SHARE", "市场/", body=("local=0&email=%s|2" % boss.info["email"]).encode())
        self.assertEqual(again.status, 409)
        refused = outsider.call("ORG_SHARE", "x/", body=("local=0&email=%s|2" % outsider.info["email"]).encode())
        self.assertEqual(refused.status, 403)
        self.assertTrue(refused.json()["error_msg"])

    def test_team_folder_body_is_checked_in_full(self):
        team = "团队 %d" % id(self)
        boss = self.new_user("boss", org=team)
        worker = self.new_user("worker", org=team)
        outsider = self.new_user("outsider")
        mail = boss.info["email"]
        bodies = [
            "local=0&email=%s|2" % worker.info["email"],  # another member's address: good
            "local=1&email=%s|2" % mail,
            "local=0&email=%s|1" % mail,
            "local=0&email=%s" % mail,
            "local=0&email=%s|2&x=1" % mail,
            "local=0&email=%s|2\n" % mail,
            "local=0&email=|2",
            "local=0&email=nobody@example.test|2",
            "local=0&email=%s|2" % outsider.info["email"],
            "email=%s|2" % mail,
            "",
        ]
        for i, body in enumerate(bodies):
            with self.subTest(body=body):
                reply = boss.call("ORG_SHARE", "t%d/" % i, body=body.encode())
                self.assertEqual(reply.status, 200 if i == 0 else 400, reply)
        names = {i["fullpath"] for i in boss.listing("").json()["list"]}
        self.assertIn("t0", names)
        self.assertFalse({"t%d" % i for i in range(1, len(bodies))} & names)

    def test_shares_follow_their_folder(self):
        alice, bob = self.new_user("alice"), self.new_user("bob")
        self.cloud.hook("POST", "files", {"username": alice.username, "files": [{"path": "p/a.txt", "text": "a"}]})
        self.cloud.hook("POST", "share", {"owner": alice.username, "path": "p", "to": bob.username})
        self.assertEqual(alice.call("RENAME", "p", {"x-qv-newname": "renamed"}).status, 200)
        self.assertEqual(bob.get("p/a.txt").json()["filehash"], hashlib.sha1(b"a").hexdigest())
        start = bob.compare("/").json()["version"]
        self.assertEqual(alice.call("DELETE", "renamed").status, 200)
        ended = bob.compare("/", start).json()["list"]
        self.assertEqual([(i["fullpath"], i["cmd"]) for i in ended], [("p", 0)])
        self.assertEqual(bob.get("p/a.txt").json()["error_code"], 40402)

    def test_unshare_and_saved_links(self):
        alice, bob = self.new_user("alice"), self.new_user("bob")
        self.cloud.hook("POST", "files", {"username": alice.username, "folders": ["s"],
                                          "files": [{"path": "pub/link.txt", "text": "linked"}]})
        self.cloud.hook("POST", "share", {"owner": alice.username, "path": "s", "to": bob.username})
        self.cloud.hook("POST", "share", {"owner": alice.username, "path": "pub", "to": bob.username})
        self.cloud.hook("POST", "unshare", {"username": bob.username, "name": "pub"})
        self.assertEqual(bob.compare("/").json()["list"][-1]["cmd"], 0)
        expires = "9999999999"
        sign = self.cloud.hook("POST", "save_link", {"act": "2", "mount_id": str(alice.mount),
                                                     "fullpath": "pub/link.txt", "expires": expires})["sign"]
        form = "token=%s&act=2&mount_id=%d&fullpath=pub/link.txt&expires=%s&sign=%s" % (
            bob.token, alice.mount, expires, sign)
        # A folder no longer shared is no longer bob's to read.
        self.assertEqual(self.cloud.request("POST", "/save_file", form.encode()).status, 403)
        self.cloud.hook("POST", "share", {"owner": alice.username, "path": "pub", "to": bob.username})
        self.assertEqual(self.cloud.request("POST", "/save_file", form.encode()).status, 200)
        self.assertEqual(self.node(bob, "link.txt")["filehash"], hashlib.sha1(b"linked").hexdigest())
        forged = form.replace("act=2", "act=3")
        self.assertEqual(self.cloud.request("POST", "/save_file", forged.encode()).status, 403)
