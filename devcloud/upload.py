"""The upload server: sessions for versions that the add-file call announced,
piecewise (plain) and delta streams, kept in SQLite and in part files under
the data folder so that they survive a restart.

A partial stream is keyed by (mount, path hash, content hash, size): a fresh
upload_init for the same key resumes the same stream with the same block
length. Delta: the old copy is cut in blocks of `piecelen`; the have-list
names which old block stands at which offset of the new file, and the
stream carries the bytes between them."""

import hashlib
import os
import re
import secrets
import struct
import time
import zlib

from . import accounts, tree
from .message import Reply, json_reply
from .wire import ApiError, HEX40, INT, bad_request, int_header, unescape

SESSION_LIFETIME = 7 * 86400
MAX_BLOCKS = 65536
MIN_PIECE = 2048
RANGE = re.compile(r"^([0-9]+)-([0-9]+)$")


def pkey_of(mount, pathhash, filehash, filesize):
    return "%d|%s|%s|%d" % (mount, pathhash, filehash, filesize)


def part_path(store, pkey):
    return os.path.join(store.upload_dir, hashlib.sha1(pkey.encode()).hexdigest() + ".part")


def choose_piecelen(store, base_size):
    """A block length only when the old copy has a full block and at most
    65536 of them (the have-list numbers blocks with 16 bits)."""
    override = store.config("piecelen")
    if override is not None:
        length = int(override)
        if length <= 0:
            return 0
    else:
        length = MIN_PIECE
        while base_size // length > MAX_BLOCKS:
            length *= 2
    if base_size < length or base_size // length > MAX_BLOCKS:
        return 0
    return length


def discard(store, db, pkey):
    db.execute("DELETE FROM partials WHERE pkey=?", (pkey,))
    db.execute("DELETE FROM sessions WHERE pkey=?", (pkey,))
    try:
        os.remove(part_path(store, pkey))
    except FileNotFoundError:
        pass


def discard_for_session(app, session_id):
    with app.store.tx() as db:
        row = db.execute("SELECT pkey FROM sessions WHERE session=?", (session_id,)).fetchone()
        if row is not None and row["pkey"] not in app.store.finishing:
            discard(app.store, db, row["pkey"])


def commit_pending(store, db, pending):
    user = accounts.user_by_id(db, pending["user_id"])
    user = dict(user) if user is not None else {"id": pending["user_id"], "username": pending["member_name"],
                                                 "org_username": ""}
    user["org_username"] = pending["member_name"]
    tree.commit_file(db, pending["mount_id"], pending["path"], pending["filehash"], pending["filesize"],
                     pending["version"], user, pending["machine"])
    db.execute("DELETE FROM pending WHERE pathhash=? AND filehash=? AND filesize=?",
               (pending["pathhash"], pending["filehash"], pending["filesize"]))


def base_of(store, db, pending):
    node = tree.get_node(db, pending["mount_id"], pending["lpath"])
    if node is None or node["dir"] or not store.has_content(node["filehash"], node["filesize"]):
        return "", 0
    return node["filehash"], node["filesize"]


def upload_init(app, req):
    h = req.headers
    filename = unescape((h.get("x-qv-upload-filename") or "").strip(), "x-qv-upload-filename")
    if not filename:
        raise bad_request("missing header x-qv-upload-filename")
    pathhash = (h.get("x-qv-upload-pathhash") or "").strip().lower()
    filehash = (h.get("x-qv-upload-filehash") or "").strip().lower()
    if not HEX40.match(pathhash) or not HEX40.match(filehash):
        raise bad_request("x-qv-upload-pathhash and x-qv-upload-filehash must be 40 hexadecimal digits")
    filesize = int_header(h, "x-qv-upload-filesize", minimum=0)
    token = (h.get("x-qv-token") or "").strip()
    user, _ = accounts.valid_token(app.store, token)
    store = app.store
    with store.tx() as db:
        pending = db.execute("SELECT * FROM pending WHERE pathhash=? AND filehash=? AND filesize=?",
                             (pathhash, filehash, filesize)).fetchone()
        if pending is None:
            raise ApiError(404, 40404, "没有待上传的文件版本，请先添加文件")
        if pending["user_id"] != user["id"]:
            raise ApiError(403, 40301, "这个上传不属于您")
        pkey = pkey_of(pending["mount_id"], pathhash, filehash, filesize)
        check_not_finishing(store, pkey)
        if store.has_content(filehash, filesize):
            commit_pending(store, db, pending)
            discard(store, db, pkey)
            return json_reply({"error_code": 202, "error_msg": "文件已经存在"}, 202)
        base_hash, base_size = base_of(store, db, pending)
        partial = db.execute("SELECT * FROM partials WHERE pkey=?", (pkey,)).fetchone()
        if partial is not None and partial["base_hash"] != base_hash:
            # The old copy changed under the stream: the delta no longer applies.
            discard(store, db, pkey)
            partial = None
        if partial is None:
            piecelen = choose_piecelen(store, base_size) if base_hash else 0
            db.execute("INSERT INTO partials(pkey, piecelen, base_hash, delta, have, held, updated)"
                       " VALUES(?,?,?,0,?,0,?)", (pkey, piecelen, base_hash, b"", time.time()))
            with open(part_path(store, pkey), "wb"):
                pass
        else:
            piecelen = partial["piecelen"]
        session = secrets.token_hex(16)
        db.execute("INSERT INTO sessions(session, pkey, user_id, pathhash, filehash, filesize, created)"
                   " VALUES(?,?,?,?,?,?,?)", (session, pkey, user["id"], pathhash, filehash, filesize, time.time()))
    return json_reply({"session": session, "piecelen": piecelen})


def session_state(db, req):
    session_id = (req.headers.get("x-qv-upload-session") or "").strip()
    session = db.execute("SELECT * FROM sessions WHERE session=?", (session_id,)).fetchone()
    if session is None or session["created"] + SESSION_LIFETIME <= time.time():
        raise ApiError(401, 40104, "上传会话不存在或已过期")
    partial = db.execute("SELECT * FROM partials WHERE pkey=?", (session["pkey"],)).fetchone()
    if partial is None:
        raise ApiError(401, 40104, "上传会话不存在或已过期")
    return session, partial


def have_entries(partial):
    have = partial["have"] or b""
    return [struct.unpack_from("<QH", have, i) for i in range(0, len(have), 10)]


def stream_size(session, partial):
    """Bytes the stream must carry: the whole file, or what the have-list leaves."""
    if partial["delta"]:
        return session["filesize"] - len(have_entries(partial)) * partial["piecelen"]
    return session["filesize"]


def upload_req(app, req):
    with app.store.lock:
        _, partial = session_state(app.store.db, req)
    return Reply(200, str(partial["held"]).encode(), "text/plain; charset=utf-8")


def base_blocks(store, partial):
    path = store.content_path(partial["base_hash"])
    return os.path.getsize(path) // partial["piecelen"], path


def download_checksum(app, req):
    store = app.store
    with store.lock:
        _, partial = session_state(store.db, req)
    length = partial["piecelen"]
    if length == 0 or not partial["base_hash"]:
        raise bad_request("this session is a plain upload: no checksums")
    n, path = base_blocks(store, partial)
    weak, strong = [], []
    with open(path, "rb") as f:
        for _ in range(n):
            block = f.read(length)
            weak.append(struct.pack("<I", zlib.adler32(block) & 0xFFFFFFFF))
            strong.append(hashlib.md5(block).digest())
    return Reply(200, b"".join(weak) + b"".join(strong), "application/octet-stream")


def check_crc(req, body):
    crc = (req.headers.get("x-qv-upload-crc") or "").strip()
    if not INT.match(crc):
        raise bad_request("missing or unreadable header x-qv-upload-crc")
    if int(crc) != zlib.crc32(body) & 0xFFFFFFFF:
        raise ApiError(400, 40005, "CRC不符: %s" % crc)


def upload_checksum_result(app, req):
    store = app.store
    body = req.body
    check_crc(req, body)
    with store.tx() as db:
        session, partial = session_state(db, req)
        check_not_finishing(store, partial["pkey"])
        length = partial["piecelen"]
        if length == 0 or not partial["base_hash"]:
            raise bad_request("this session is a plain upload: no have-list")
        if len(body) % 10:
            raise bad_request("the have-list is made of 10-byte entries")
        n, _ = base_blocks(store, partial)
        end = 0
        for offset, index in (struct.unpack_from("<QH", body, i) for i in range(0, len(body), 10)):
            if offset < end or offset + length > session["filesize"] or index >= n:
                raise bad_request("have-list entry (%d, %d) out of order or out of range" % (offset, index))
            end = offset + length
        if partial["held"] and bytes(partial["have"] or b"") != body:
            # A different have-list makes a different stream: start it again.
            with open(part_path(store, partial["pkey"]), "wb"):
                pass
            db.execute("UPDATE partials SET held=0 WHERE pkey=?", (partial["pkey"],))
        db.execute("UPDATE partials SET delta=1, have=?, updated=? WHERE pkey=?",
                   (body, time.time(), partial["pkey"]))
    return json_reply({})


def upload_part(app, req):
    store = app.store
    body = req.body
    match = RANGE.match((req.headers.get("x-qv-upload-range") or "").strip())
    if match is None:
        raise bad_request("x-qv-upload-range must be <first>-<last>")
    first, last = int(match.group(1)), int(match.group(2))
    with store.tx() as db:
        session, partial = session_state(db, req)
        check_not_finishing(store, partial["pkey"])
        held = partial["held"]
        if first != held:
            raise ApiError(409, 409, "偏移不符，应从 %d 开始" % held, expect=held)
        if last < first or last - first + 1 != len(body):
            raise bad_request("the range %d-%d does not match the %d bytes sent" % (first, last, len(body)))
        check_crc(req, body)
        if held + len(body) > stream_size(session, partial):
            raise bad_request("the piece runs past the end of the stream")
        path = part_path(store, partial["pkey"])
        with open(path, "r+b" if os.path.exists(path) else "w+b") as f:
            f.seek(held)
            f.write(body)
            f.truncate()
            # No fsync here or at the finish: a restart of the process keeps
            # what the page cache holds, and a sync per piece made upload
            # speed a measure of the disk's write-back, not of the client.
        held += len(body)
        db.execute("UPDATE partials SET held=?, updated=? WHERE pkey=?", (held, time.time(), partial["pkey"]))
    # Answered outside the lock that every other request waits on (a test
    # holds a reply here).
    app.gates.wait("upload_part_reply", app.stopping)
    return json_reply({"error_code": 0, "error_msg": "", "expect": held})


def copy_exact(src, dst, n, digest):
    while n > 0:
        chunk = src.read(min(n, 1 << 20))
        if not chunk:
            return False
        dst.write(chunk)
        digest.update(chunk)
        n -= len(chunk)
    return True


def rebuild(store, session, partial, out, digest):
    """Writes the new file from the stream and the old blocks; False when the
    stream and the have-list do not add up."""
    with open(part_path(store, partial["pkey"]), "rb") as lit:
        if not partial["delta"]:
            return copy_exact(lit, out, partial["held"], digest)
        length = partial["piecelen"]
        written = 0
        with open(store.content_path(partial["base_hash"]), "rb") as base:
            for offset, index in have_entries(partial):
                if not copy_exact(lit, out, offset - written, digest):
                    return False
                base.seek(index * length)
                if not copy_exact(base, out, length, digest):
                    return False
                written = offset + length
        rest = partial["held"] - lit.tell()
        return copy_exact(lit, out, rest, digest)


def check_not_finishing(store, pkey):
    if pkey in store.finishing:
        raise ApiError(409, 40910, "上传正在完成，请稍候")


def upload_finish(app, req):
    """Checks the counts under the lock, then rebuilds, hashes and flushes the
    file without it (a large file takes seconds, and every other request needs
    the lock), then commits under the lock again. While the stream is being
    read it is marked finishing, and every request that would change it is
    refused meanwhile."""
    store = app.store
    size = int_header(req.headers, "x-qv-upload-filesize", minimum=0)
    with store.tx() as db:
        session, partial = session_state(db, req)
        check_not_finishing(store, partial["pkey"])
        if size != partial["held"]:
            raise ApiError(400, 40007, "已接收 %d 字节，不是 %d" % (partial["held"], size), expect=partial["held"])
        if partial["held"] != stream_size(session, partial):
            raise ApiError(400, 40007, "上传不完整", expect=partial["held"])
        store.finishing.add(partial["pkey"])
    tmp = None
    try:
        fd, tmp = store.temp_file()
        digest = hashlib.sha1()
        with os.fdopen(fd, "wb") as out:
            whole = rebuild(store, session, partial, out, digest)
            out.flush()
            total = out.tell()
        app.gates.wait("upload_finish", app.stopping)
        with store.tx() as db:
            if not whole or total != session["filesize"] or digest.hexdigest() != session["filehash"]:
                # Start the next attempt from nothing rather than loop on this stream.
                discard(store, db, partial["pkey"])
                return json_reply({"error_code": 40006, "error_msg": "文件校验失败"}, 400)
            store.adopt(tmp, session["filehash"])
            tmp = None
            pending = db.execute("SELECT * FROM pending WHERE pathhash=? AND filehash=? AND filesize=?",
                                 (session["pathhash"], session["filehash"], session["filesize"])).fetchone()
            if pending is not None:
                commit_pending(store, db, pending)
            discard(store, db, partial["pkey"])
        return json_reply({})
    finally:
        if tmp is not None:
            try:
                os.remove(tmp)
            except FileNotFoundError:
                pass
        with store.lock:
            store.finishing.discard(partial["pkey"])


def upload_abort(app, req):
    with app.store.tx() as db:
        _, partial = session_state(db, req)
        check_not_finishing(app.store, partial["pkey"])
        discard(app.store, db, partial["pkey"])
    return json_reply({})


ROUTES = {
    ("PUT", "/upload_init"): upload_init,
    ("GET", "/upload_req"): upload_req,
    ("PUT", "/download_checksum"): download_checksum,
    ("PUT", "/upload_checksum_result"): upload_checksum_result,
    ("PUT", "/upload_part"): upload_part,
    ("POST", "/upload_finish"): upload_finish,
    ("POST", "/upload_abort"): upload_abort,
}
