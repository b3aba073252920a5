"""Uploads (plain, instant, delta, resumed across a restart) and downloads
with several byte ranges."""

import base64
import hashlib
import random
import struct
import zlib

from devcloud.tests.support import CloudTest, DevCloud


def parse_checksums(body):
    n = len(body) // 20
    weak = struct.unpack("<%dI" % n, body[:4 * n])
    blocks = {}
    for i in range(n):
        blocks[weak[i]] = (body[4 * n + 16 * i:4 * n + 16 * i + 16], i % 65536)
    return n, blocks


def match(data, length, blocks):
    """The client's block matcher: the have-list and the literal stream."""
    size, pos, last, have, literal = len(data), 0, 0, [], bytearray()
    while True:
        if pos + length >= size:
            literal += data[last:]
            return have, bytes(literal)
        if pos > (2 * size) // 3 and not have:
            return None
        window = data[pos:pos + length]
        entry = blocks.get(zlib.adler32(window))
        if entry and hashlib.md5(window).digest() == entry[0]:
            have.append((pos, entry[1]))
            literal += data[last:pos]
            last = pos = pos + length
        else:
            pos += 1


def b64(data):
    return base64.b64encode(data).decode()


def send_stream(account, session, stream, piece=4096):
    offset = int(account.upload("GET", "/upload_req", session).body)
    while offset < len(stream):
        chunk = stream[offset:offset + piece]
        reply = account.part(session, offset, chunk)
        assert reply.status == 200, reply
        offset += len(chunk)
    return account.upload("POST", "/upload_finish", session, {"x-qv-upload-filesize": str(len(stream))})


class Upload(CloudTest):
    def test_plain_upload_rebuilds_the_file(self):
        account = self.new_user()
        data = random.Random(1).randbytes(100000)
        added = account.add_file("docs/plain.bin", data).json()
        self.assertEqual((added["state"], added["server"]), (0, self.cloud.url))
        init = account.init("docs/plain.bin", data, added["hash"]).json()
        self.assertEqual(init["piecelen"], 0)
        session = init["session"]
        first = data[:32768]
        self.assertEqual(account.part(session, 0, first).json()["expect"], 32768)
        refusals = [
            (account.part(session, 0, first), 409, 32768),
            (account.part(session, 65536, data[65536:70000]), 409, 32768),
            (account.part(session, 32768, data[32768:40000], crc=12345), 400, None),
            (account.upload("PUT", "/upload_part", session, {"x-qv-upload-range": "32768-32770",
                                                              "x-qv-upload-crc": "0"}, b"ab"), 400, None),
            (account.upload("POST", "/upload_finish", session, {"x-qv-upload-filesize": "32768"}), 400, None),
        ]
        for reply, status, expect in refusals:
            self.assertEqual(reply.status, status, reply)
            if expect is not None:
                self.assertEqual(reply.json()["expect"], expect)
        self.assertEqual(account.upload("GET", "/upload_req", session).body, b"32768")
        self.assertEqual(send_stream(account, session, data).status, 200)
        self.assertEqual(self.node(account, "docs/plain.bin")["version"], added["version"])
        uri = account.get("docs/plain.bin").json()["uri"]
        self.assertEqual(account.fetch(uri).body, data)
        # The same content elsewhere is an instant upload.
        self.assertEqual(account.add_file("copy/plain.bin", data).json()["state"], 1)
        self.assertEqual(account.upload("GET", "/upload_req", session).status, 401)

    def test_finishing_a_large_upload_stalls_no_one(self):
        # The finish is held between its rebuild and its commit: meanwhile every
        # other request is served, and none may change the stream it reads.
        import threading
        account, other = self.new_user(), self.new_user()
        data = random.Random(5).randbytes(3 * 1024 * 1024)
        added = account.add_file("big/large.bin", data).json()
        session = account.init("big/large.bin", data, added["hash"]).json()["session"]
        offset = 0
        while offset < len(data):
            chunk = data[offset:offset + 1024 * 1024]
            self.assertEqual(account.part(session, offset, chunk).status, 200)
            offset += len(chunk)
        self.cloud.hook("POST", "hold", {"point": "upload_finish"})
        finished = {}

        def finish():
            finished["reply"] = account.upload("POST", "/upload_finish", session,
                                               {"x-qv-upload-filesize": str(len(data))})

        thread = threading.Thread(target=finish)
        thread.start()
        try:
            for _ in range(400):
                if self.cloud.hook("GET", "hold?point=upload_finish")["held"]:
                    break
                thread.join(0.025)
            self.assertTrue(self.cloud.hook("GET", "hold?point=upload_finish")["held"])
            # Others are answered (well inside the client's time-out) while the finish is held.
            self.assertEqual(self.cloud.request("POST", "/get_myinfo", ("token=%s" % other.token).encode(),
                                                timeout=10).status, 200)
            self.assertEqual(other.upload_plain("small.txt", b"small")["state"], 0)
            # The stream being read is not changed under it.
            changes = [account.part(session, len(data), b"more"),
                       account.upload("POST", "/upload_abort", session),
                       account.upload("POST", "/upload_finish", session, {"x-qv-upload-filesize": str(len(data))}),
                       account.init("big/large.bin", data, added["hash"])]
            for reply in changes:
                self.assertEqual((reply.status, reply.json()["error_code"]), (409, 40910), reply)
        finally:
            self.cloud.hook("POST", "release", {"point": "upload_finish"})
            thread.join(30)
        self.assertEqual(finished["reply"].status, 200, finished["reply"])
        self.assertEqual(self.node(account, "big/large.bin")["filehash"], hashlib.sha1(data).hexdigest())
        self.assertEqual(account.upload("GET", "/upload_req", session).status, 401)

    def test_a_piece_waiting_for_its_reply_stalls_no_one(self):
        # A piece is answered outside the lock every request takes: while one
        # reply is held, others are answered, and the held piece is stored
        # whole once it goes on.
        import threading
        account, other = self.new_user(), self.new_user()
        data = random.Random(6).randbytes(30000)
        added = account.add_file("piece.bin", data).json()
        session = account.init("piece.bin", data, added["hash"]).json()["session"]
        self.cloud.hook("POST", "hold", {"point": "upload_part_reply"})
        sent = {}
        thread = threading.Thread(target=lambda: sent.update(reply=account.part(session, 0, data)))
        thread.start()
        try:
            for _ in range(400):
                if self.cloud.hook("GET", "hold?point=upload_part_reply")["held"]:
                    break
                thread.join(0.025)
            self.assertTrue(self.cloud.hook("GET", "hold?point=upload_part_reply")["held"])
            self.assertNotIn("reply", sent)
            self.assertEqual(other.upload_plain("other.txt", b"sent while a piece is held")["state"], 0)
        finally:
            self.cloud.hook("POST", "release", {"point": "upload_part_reply"})
            thread.join(30)
        self.assertEqual(sent["reply"].status, 200, sent["reply"])
        self.assertEqual(sent["reply"].json()["expect"], len(data))
        reply = account.upload("POST", "/upload_finish", session, {"x-qv-upload-filesize": str(len(data))})
        self.assertEqual(reply.status, 200, reply)
        self.assertEqual(self.node(account, "piece.bin")["filehash"], hashlib.sha1(data).hexdigest())

    def test_empty_file(self):
        account = self.new_user()
        added = account.add_file("empty.txt", b"").json()
        session = account.init("empty.txt", b"", added["hash"]).json()["session"]
        self.assertEqual(send_stream(account, session, b"").status, 200)
        self.assertEqual(self.node(account, "empty.txt")["filesize"], 0)

    def test_wrong_content_is_discarded(self):
        account = self.new_user()
        data = b"announced content" * 100
        added = account.add_file("w.txt", data).json()
        session = account.init("w.txt", data, added["hash"]).json()["session"]
        reply = send_stream(account, session, b"x" * len(data))
        self.assertEqual((reply.status, reply.json()["error_code"]), (400, 40006))
        self.assertIsNone(self.node(account, "w.txt"))
        self.assertEqual(account.upload("GET", "/upload_req", session).status, 401)
        fresh = account.init("w.txt", data, added["hash"]).json()["session"]
        self.assertEqual(account.upload("GET", "/upload_req", fresh).body, b"0")
        self.assertEqual(send_stream(account, fresh, data).status, 200)

    def test_init_refusals(self):
        account = self.new_user()
        data = b"some data"
        added = account.add_file("i.txt", data).json()
        cases = [
            (account.init("i.txt", data, "0" * 40), 404, 40404),
            (account.init("i.txt", data, added["hash"], token="nope"), 401, 40102),
            (account.init("i.txt", data + b"!", added["hash"]), 404, 40404),
            (self.cloud.request("PUT", "/upload_init", b"", {"x-qv-upload-filename": "i.txt"}), 400, 40001),
        ]
        for reply, status, code in cases:
            self.assertEqual((reply.status, reply.json()["error_code"]), (status, code))

    def test_content_that_arrived_meanwhile_ends_the_upload(self):
        account = self.new_user()
        data = b"arrives by another road"
        added = account.add_file("late.txt", data).json()
        self.cloud.hook("POST", "files", {"username": account.username, "files": [{"path": "other.txt",
                                                                                   "text": data.decode()}]})
        reply = account.init("late.txt", data, added["hash"])
        self.assertEqual((reply.status, reply.json()["error_code"]), (202, 202))
        self.assertEqual(self.node(account, "late.txt")["filehash"], hashlib.sha1(data).hexdigest())

    def test_edit_helper_resumes_at_expect(self):
        account = self.new_user()
        data = random.Random(2).randbytes(102401)
        added = account.add_file("edit.doc", data, machine="macedit").json()
        session = account.init("edit.doc", data, added["hash"]).json()["session"]
        self.assertEqual(account.part(session, 0, data[:102400]).status, 200)
        wrong = account.part(session, 0, data[:102400])
        self.assertEqual((wrong.status, wrong.json()["expect"]), (409, 102400))
        self.assertEqual(account.part(session, 102400, data[102400:]).status, 200)
        done = account.upload("POST", "/upload_finish", session, {"x-qv-upload-filesize": str(len(data))})
        self.assertEqual(done.status, 200)
        self.assertEqual(self.node(account, "edit.doc")["machine"], "macedit")

    def test_delta_upload_rebuilds_the_file(self):
        account = self.new_user()
        rng = random.Random(3)
        old = rng.randbytes(40000)
        new = old[:5000] + b"INSERTED" * 20 + old[5000:30000] + b"changed tail" + old[30100:]
        self.cloud.hook("POST", "files", {"username": account.username,
                                          "files": [{"path": "d/big.bin", "content_b64": b64(old)}]})
        added = account.add_file("d/big.bin", new).json()
        self.assertEqual(added["state"], 0)
        init = account.init("d/big.bin", new, added["hash"]).json()
        length, session = init["piecelen"], init["session"]
        self.assertGreater(length, 0)
        self.assertLessEqual(length, len(old))
        self.assertEqual(account.upload("GET", "/upload_req", session).body, b"0")
        checksums = account.upload("PUT", "/download_checksum", session)
        self.assertEqual(len(checksums.body), 20 * (len(old) // length))
        n, blocks = parse_checksums(checksums.body)
        have, literal = match(new, length, blocks)
        self.assertTrue(have)
        have_list = b"".join(struct.pack("<QH", off, idx) for off, idx in have)
        bad = [struct.pack("<QH", 0, n), struct.pack("<QH", 10, 0) + struct.pack("<QH", 11, 1),
               struct.pack("<QH", len(new), 0), b"123"]
        for body in bad:
            reply = account.upload("PUT", "/upload_checksum_result", session,
                                   {"x-qv-upload-crc": "%u" % zlib.crc32(body)}, body)
            self.assertEqual(reply.status, 400, body)
        wrong_crc = account.upload("PUT", "/upload_checksum_result", session, {"x-qv-upload-crc": "1"}, have_list)
        self.assertEqual(wrong_crc.status, 400)
        reply = account.upload("PUT", "/upload_checksum_result", session,
                               {"x-qv-upload-crc": "%u" % zlib.crc32(have_list)}, have_list)
        self.assertEqual(reply.status, 200)
        self.assertEqual(send_stream(account, session, literal).status, 200)
        self.assertLess(len(literal), len(new))
        node = self.node(account, "d/big.bin")
        self.assertEqual((node["filehash"], node["version"]), (hashlib.sha1(new).hexdigest(), added["version"]))
        self.assertEqual(account.fetch(account.get("d/big.bin").json()["uri"]).body, new)

    def test_delta_with_an_empty_have_list(self):
        account = self.new_user()
        self.cloud.hook("POST", "files", {"username": account.username,
                                          "files": [{"path": "small.bin", "content_b64": b64(b"o" * 5000)}]})
        new = b"short new content" * 50
        added = account.add_file("small.bin", new).json()
        init = account.init("small.bin", new, added["hash"]).json()
        self.assertGreater(init["piecelen"], len(new))
        session = init["session"]
        self.assertEqual(account.upload("PUT", "/download_checksum", session).status, 200)
        reply = account.upload("PUT", "/upload_checksum_result", session, {"x-qv-upload-crc": "0"})
        self.assertEqual(reply.status, 200)
        self.assertEqual(send_stream(account, session, new).status, 200)
        self.assertEqual(self.node(account, "small.bin")["filehash"], hashlib.sha1(new).hexdigest())

    def test_abort_discards_the_stream(self):
        account = self.new_user()
        data = b"a" * 40000
        added = account.add_file("abort.bin", data).json()
        session = account.init("abort.bin", data, added["hash"]).json()["session"]
        self.assertEqual(account.part(session, 0, data[:1000]).status, 200)
        self.assertEqual(account.upload("POST", "/upload_abort", session).status, 200)
        self.assertEqual(account.upload("GET", "/upload_req", session).status, 401)
        fresh = account.init("abort.bin", data, added["hash"]).json()["session"]
        self.assertEqual(account.upload("GET", "/upload_req", fresh).body, b"0")

    def test_no_delta_without_an_old_copy(self):
        account = self.new_user()
        data = b"n" * 50000
        added = account.add_file("fresh.bin", data).json()
        init = account.init("fresh.bin", data, added["hash"]).json()
        self.assertEqual(init["piecelen"], 0)
        self.assertEqual(account.upload("PUT", "/download_checksum", init["session"]).status, 400)


class Restart(CloudTest):
    def test_upload_session_survives_a_restart(self):
        account = self.new_user()
        data = random.Random(4).randbytes(70000)
        added = account.add_file("resume.bin", data).json()
        session = account.init("resume.bin", data, added["hash"]).json()["session"]
        self.assertEqual(account.part(session, 0, data[:30000]).status, 200)
        old = self.cloud
        old.stop()
        again = DevCloud(data=old.data).start()
        try:
            account.cloud = again
            self.assertEqual(account.upload("GET", "/upload_req", session).body, b"30000")
            # A fresh init for the same content resumes the same stream.
            fresh = account.init("resume.bin", data, added["hash"]).json()["session"]
            self.assertNotEqual(fresh, session)
            self.assertEqual(account.upload("GET", "/upload_req", fresh).body, b"30000")
            self.assertEqual(send_stream(account, fresh, data).status, 200)
            self.assertEqual(account.fetch(account.get("resume.bin").json()["uri"]).body, data)
        finally:
            again.stop()
            old.start()
            account.cloud = old


class Download(CloudTest):
    def test_ranges(self):
        account = self.new_user()
        mib = 1 << 20
        data = random.Random(5).randbytes(3 * mib + 100)
        self.cloud.hook("POST", "files", {"username": account.username,
                                          "files": [{"path": "big.bin", "content_b64": b64(data)}]})
        uri = account.get("big.bin").json()["uri"]
        cases = [
            ("bytes=0-1048575,2097152-3145827", 206, data[:mib] + data[2 * mib:]),
            ("bytes=1048576-2097151", 206, data[mib:2 * mib]),
            ("bytes=3145728-4194303", 206, data[3 * mib:]),
            ("bytes=10-19,0-4", 206, data[10:20] + data[0:5]),
            (None, 200, data),
            ("bytes=%d-" % len(data), 416, None),
            ("bytes=abc", 416, None),
        ]
        for header, status, body in cases:
            with self.subTest(header=header):
                reply = account.fetch(uri, header)
                self.assertEqual(reply.status, status)
                if body is not None:
                    self.assertEqual(reply.body, body)
                    self.assertEqual(int(reply.headers["Content-Length"]), len(body))
                    self.assertNotIn("multipart", reply.headers["Content-Type"])
        forged = uri.replace("k=", "k=0")
        self.assertEqual(account.fetch(forged).status, 403)

    def test_several_sources(self):
        account = self.new_user()
        self.cloud.hook("POST", "files", {"username": account.username, "files": [{"path": "m.txt", "text": "mirror"}]})
        self.cloud.hook("POST", "config", {"mirrors": 2})
        try:
            details = account.get("m.txt").json()
        finally:
            self.cloud.hook("POST", "config", {"mirrors": None})
        sources = details["uri_local_server"]
        self.assertEqual(len(set(sources + [details["uri"]])), 3)
        for uri in sources:
            self.assertEqual(account.fetch(uri, "bytes=0-2").body, b"mir")


class GeneratedContent(CloudTest):
    def test_generated_file_is_served_by_its_hash(self):
        account = self.new_user()
        size = (3 << 20) + 5
        made = self.cloud.hook("POST", "files", {"username": account.username,
                                                 "files": [{"path": "big/g.bin", "size": size, "seed": 11}]})
        rng = random.Random(11)
        expected = b"".join(rng.randbytes(min(size - i, 1 << 20)) for i in range(0, size, 1 << 20))
        self.assertEqual(made["files"][0]["filehash"], hashlib.sha1(expected).hexdigest())
        self.assertEqual(made["files"][0]["filesize"], size)
        reply = account.get("big/g.bin").json()
        self.assertEqual((reply["filehash"], reply["filesize"]), (hashlib.sha1(expected).hexdigest(), size))
        tail = account.fetch(reply["uri"], "bytes=3145728-3145732")
        self.assertEqual((tail.status, tail.body), (206, expected[3145728:]))

    def test_generated_size_is_bounded(self):
        account = self.new_user()
        for size in (-1, "10", True, (4 << 30) + 1):
            self.cloud.hook("POST", "files", {"username": account.username,
                                              "files": [{"path": "g.bin", "size": size}]}, expect=400)
