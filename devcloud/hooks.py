"""Test hooks under /_test/ (only with --test-hooks): set up accounts, teams
and shares, bind web-login keys, expire tokens, inject faults, push changes
into a feed and read the requests that devcloud received."""

import base64
import binascii
import collections
import hashlib
import json
import os
import random
import re
import threading
import time

from . import accounts, fileapi, tree, updates
from .message import json_reply
from .wire import ApiError, bad_request, decode_path, escape_path

FAULT_KINDS = ("error", "drop", "cut", "corrupt", "stall")


class Faults:
    """Faults for the next N requests that match a verb and/or a target prefix
    and/or the client's address (one client among several)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.rules = []
        self.next_id = 1

    def add(self, spec):
        kind = spec.get("kind")
        if kind not in FAULT_KINDS:
            raise bad_request("kind must be one of %s" % ", ".join(FAULT_KINDS))
        rule = {"kind": kind, "method": spec.get("method"), "path": spec.get("path"),
                "count": spec.get("count", 1)}
        for key in ("status", "error_code", "after", "at", "seconds", "expect", "count"):
            value = spec.get(key, rule.get(key))
            if value is not None and (not isinstance(value, (int, float)) or isinstance(value, bool) or value < 0):
                raise bad_request("%s must be a number >= 0" % key)
            if value is not None:
                rule[key] = value
        for key in ("error_msg", "error", "body", "method", "path", "client"):
            value = spec.get(key)
            if value is not None and not isinstance(value, str):
                raise bad_request("%s must be text" % key)
            if value is not None:
                rule[key] = value
        if rule["count"] < 1:
            raise bad_request("count must be at least 1")
        if kind == "cut" and "after" not in rule:
            raise bad_request("a cut needs 'after' (bytes of the body sent)")
        if kind == "stall" and "seconds" not in rule:
            raise bad_request("a stall needs 'seconds'")
        with self.lock:
            rule["id"] = self.next_id
            self.next_id += 1
            self.rules.append(rule)
        return rule

    def take(self, method, target, client=None):
        with self.lock:
            for rule in self.rules:
                if rule.get("method") and rule["method"].upper() != method.upper():
                    continue
                if rule.get("client") and rule["client"] != client:
                    continue
                if rule.get("path") and not target.startswith(rule["path"]):
                    continue
                rule["count"] -= 1
                if rule["count"] <= 0:
                    self.rules.remove(rule)
                return dict(rule)
        return None

    def list(self):
        with self.lock:
            return [dict(r) for r in self.rules]

    def clear(self):
        with self.lock:
            self.rules.clear()


class Gates:
    """Points inside a request where a test can hold it until it lets it go
    (the upload finish, between its checks and its commit; a piece, between
    its commit and its flush). Nothing waits
    unless a hook armed the point; a held request goes on after a minute."""

    MAX_WAIT = 60

    def __init__(self):
        self.lock = threading.Lock()
        self.points = {}

    def arm(self, name):
        with self.lock:
            self.points[name] = {"held": threading.Event(), "release": threading.Event()}

    def wait(self, name, stopping):
        with self.lock:
            point = self.points.pop(name, None)
        if point is None:
            return
        with self.lock:
            self.points[name + ":held"] = point
        point["held"].set()
        deadline = time.time() + self.MAX_WAIT
        while not point["release"].wait(0.05) and not stopping.is_set() and time.time() < deadline:
            pass

    def held(self, name):
        with self.lock:
            point = self.points.get(name + ":held")
        return point is not None and point["held"].is_set() and not point["release"].is_set()

    def release(self, name):
        with self.lock:
            point = self.points.pop(name + ":held", None) or self.points.pop(name, None)
        if point is not None:
            point["release"].set()
        return point is not None


class Recorder:
    BODY_KEPT = 65536

    def __init__(self):
        self.lock = threading.Lock()
        self.entries = collections.deque(maxlen=20000)
        self.seq = 0

    def start(self, req, fault):
        entry = {"method": req.method, "target": req.target, "headers": [[k, v] for k, v in req.headers.items()],
                 "body_len": len(req.body), "body_b64": base64.b64encode(req.body[:self.BODY_KEPT]).decode(),
                 "time": time.time(), "status": None, "fault": fault["kind"] if fault else None}
        with self.lock:
            self.seq += 1
            entry["seq"] = self.seq
            self.entries.append(entry)
        return entry

    def since(self, seq):
        with self.lock:
            return [dict(e) for e in self.entries if e["seq"] > seq]

    def clear(self):
        with self.lock:
            self.entries.clear()


def body_json(req):
    if not req.body:
        return {}
    try:
        value = json.loads(req.text())
    except ValueError:
        raise bad_request("the body must be JSON")
    if not isinstance(value, dict):
        raise bad_request("the body must be a JSON object")
    return value


def need(spec, key, kind=str):
    value = spec.get(key)
    if not isinstance(value, kind) or isinstance(value, bool) or value == "":
        raise bad_request("'%s' is required" % key)
    return value


def named_user(db, name):
    user = accounts.user_by_name(db, name)
    if user is None:
        raise ApiError(404, 40410, "no user %s" % name)
    return user


def named_org(db, name):
    org = db.execute("SELECT * FROM orgs WHERE name=?", (name,)).fetchone()
    if org is None:
        raise ApiError(404, 40411, "no team %s" % name)
    return org


def user_json(user):
    return {"id": user["id"], "username": user["username"], "email": user["email"],
            "mount_id": user["mount_id"], "org_id": user["org_id"]}


def ensure_org(db, name):
    org = db.execute("SELECT * FROM orgs WHERE name=?", (name,)).fetchone()
    if org is None:
        mount = accounts.create_mount(db, "org:" + name)
        db.execute("INSERT INTO orgs(name, mount_id) VALUES(?, ?)", (name, mount))
        org = db.execute("SELECT * FROM orgs WHERE name=?", (name,)).fetchone()
    return org


def join_org(db, org, user, org_username=""):
    db.execute("UPDATE users SET org_id=?, org_username=? WHERE id=?",
               (org["id"], org_username or user["username"], user["id"]))
    user = accounts.user_by_id(db, user["id"])
    for folder in tree.children(db, org["mount_id"], ""):
        if folder["dir"]:
            try:
                tree.add_share(db, user, folder["path"], org["mount_id"], folder["path"], False, org["id"])
            except ApiError:
                pass
    return user


def h_user(app, req, spec):
    with app.store.tx() as db:
        user = accounts.create_user(db, need(spec, "username"), need(spec, "password"), spec.get("email"),
                                    spec.get("capacity"))
        if spec.get("org"):
            user = join_org(db, ensure_org(db, spec["org"]), user, spec.get("org_username", ""))
        if spec.get("oauth_error"):
            db.execute("UPDATE users SET oauth_error=? WHERE id=?", (spec["oauth_error"], user["id"]))
        return json_reply(user_json(user))


def h_user_flags(app, req, spec):
    with app.store.tx() as db:
        user = named_user(db, need(spec, "username"))
        db.execute("UPDATE users SET oauth_error=? WHERE id=?", (spec.get("oauth_error") or "", user["id"]))
    return json_reply({})


def h_org(app, req, spec):
    with app.store.tx() as db:
        org = ensure_org(db, need(spec, "name"))
        return json_reply({"id": org["id"], "name": org["name"], "mount_id": org["mount_id"]})


def h_member(app, req, spec):
    with app.store.tx() as db:
        org = named_org(db, need(spec, "org"))
        user = join_org(db, org, named_user(db, need(spec, "username")), spec.get("org_username", ""))
        return json_reply(user_json(user))


def h_team_folder(app, req, spec):
    with app.store.tx() as db:
        org = named_org(db, need(spec, "org"))
        name = need(spec, "name")
        decode_path("/" + name)
        creator = {"id": 0, "username": org["name"], "org_username": ""}
        if tree.get_node(db, org["mount_id"], tree.lower(name)) is not None:
            raise ApiError(409, 40901, "the team folder exists")
        tree.make_folder(db, org["mount_id"], name, creator, "web")
        readonly = [u.lower() for u in spec.get("readonly_for", [])]
        fileapi.add_team_folder_shares(db, org, name, readonly_for=readonly)
    return json_reply({})


def h_share(app, req, spec):
    with app.store.tx() as db:
        owner = named_user(db, need(spec, "owner"))
        member = named_user(db, need(spec, "to"))
        path, _ = decode_path(escape_path(need(spec, "path")))
        node = tree.get_node(db, owner["mount_id"], tree.lower(path))
        if node is None or not node["dir"]:
            raise ApiError(404, 40402, "no folder %s" % path)
        version = tree.add_share(db, member, spec.get("name") or tree.name_of(node["path"]), owner["mount_id"],
                                 node["path"], bool(spec.get("readonly")), 0)
    return json_reply({"version": version})


def h_unshare(app, req, spec):
    with app.store.tx() as db:
        tree.drop_share(db, named_user(db, need(spec, "username")), need(spec, "name"))
    return json_reply({})


def h_weblogin(app, req, spec):
    with app.store.tx() as db:
        accounts.bind_key(db, need(spec, "key"), named_user(db, need(spec, "username")))
    return json_reply({})


def h_expire(app, req, spec):
    past = time.time() - 1
    with app.store.tx() as db:
        if spec.get("token"):
            count = db.execute("UPDATE tokens SET expires=? WHERE access=?", (past, spec["token"])).rowcount
            if spec.get("refresh"):
                count += db.execute("UPDATE refresh_tokens SET expires=? WHERE refresh=?",
                                    (past, spec["token"])).rowcount
        else:
            user = named_user(db, need(spec, "username"))
            count = db.execute("UPDATE tokens SET expires=? WHERE user_id=?", (past, user["id"])).rowcount
            if spec.get("refresh"):
                count += db.execute("UPDATE refresh_tokens SET expires=? WHERE user_id=?",
                                    (past, user["id"])).rowcount
    return json_reply({"expired": count})


def h_fault(app, req, spec):
    return json_reply(app.faults.add(spec))


def h_faults(app, req, spec):
    return json_reply({"faults": app.faults.list()})


def h_clear_faults(app, req, spec):
    app.faults.clear()
    return json_reply({})


def h_requests(app, req, spec):
    since = req.params().get("since", "0")
    if not since.isdigit():
        raise bad_request("since must be a number")
    return json_reply({"requests": app.recorder.since(int(since))})


def h_clear_requests(app, req, spec):
    app.recorder.clear()
    return json_reply({})


def h_feed(app, req, spec):
    """A reset (cmd -1) or a lock change of an entry, announced on its feed."""
    with app.store.tx() as db:
        user = named_user(db, need(spec, "username"))
        path, _ = decode_path(escape_path(need(spec, "path")))
        loc = tree.resolve(db, user, path)
        node = tree.get_node(db, loc.mount, loc.lpath)
        if node is None:
            raise ApiError(404, 40402, "no entry %s" % path)
        if spec.get("cmd") == -1:
            tree.emit_node(db, node, -1, compact=False)
        elif spec.get("lock") in (0, 1):
            version = tree.next_version(db, loc.mount)
            db.execute("UPDATE nodes SET lock=?, version=? WHERE mount_id=? AND lpath=?",
                       (spec["lock"], version, loc.mount, loc.lpath))
            tree.emit_node(db, tree.get_node(db, loc.mount, loc.lpath), 1)
        else:
            raise bad_request("give \"cmd\": -1 or \"lock\": 0|1")
    return json_reply({})


def h_mount_version(app, req, spec):
    """Moves the user's mount version on (never back): the next change gets the one after it."""
    version = need(spec, "version", int)
    with app.store.tx() as db:
        user = named_user(db, need(spec, "username"))
        if version < tree.mount_version(db, user["mount_id"]):
            raise bad_request("a mount version only grows")
        db.execute("UPDATE mounts SET version=? WHERE id=?", (version, user["mount_id"]))
    return json_reply({})


def decode_b64(text, what):
    try:
        return base64.b64decode(text, validate=True)
    except (binascii.Error, TypeError):
        raise bad_request("%s is not Base64" % what)


GENERATED_MAX = 4 << 30


def generated(store, size, seed):
    """Pseudo-random content of `size` bytes from `seed`, written to the
    store a piece at a time (files too large for a JSON body)."""
    if not isinstance(size, int) or isinstance(size, bool) or not 0 <= size <= GENERATED_MAX:
        raise bad_request("size must be a number of bytes up to %d" % GENERATED_MAX)
    if not isinstance(seed, int) or isinstance(seed, bool):
        raise bad_request("seed must be a number")
    rng = random.Random(seed)
    digest = hashlib.sha1()
    fd, tmp = store.temp_file()
    with os.fdopen(fd, "wb") as out:
        left = size
        while left > 0:
            piece = rng.randbytes(min(left, 1 << 20))
            digest.update(piece)
            out.write(piece)
            left -= len(piece)
    filehash = digest.hexdigest()
    if store.has_content(filehash, size):
        os.unlink(tmp)
    else:
        store.adopt(tmp, filehash)
    return filehash, size


def h_files(app, req, spec):
    """Puts folders and files straight into a user's tree (as if uploaded)."""
    store = app.store
    files = spec.get("files", [])
    folders = spec.get("folders", [])
    if not isinstance(files, list) or not isinstance(folders, list):
        raise bad_request("files and folders are lists")
    contents = []
    for f in files:
        if not isinstance(f, dict):
            raise bad_request("a file is {\"path\", \"text\" | \"content_b64\" | \"size\", \"seed\"?}")
        path, _ = decode_path(escape_path(need(f, "path")))
        if "size" in f:
            contents.append((path,) + generated(store, f["size"], f.get("seed", 0)))
            continue
        data = f["text"].encode("utf-8") if "text" in f else decode_b64(f.get("content_b64", ""), "content_b64")
        contents.append((path, store.put_bytes(data), len(data)))
    with store.tx() as db:
        user = named_user(db, need(spec, "username"))
        for folder in folders:
            path, _ = decode_path(escape_path(folder))
            loc = tree.resolve(db, user, path)
            tree.make_folder(db, loc.mount, loc.path, user, "web")
        for path, filehash, size in contents:
            loc = tree.resolve(db, user, path)
            tree.commit_file(db, loc.mount, loc.path, filehash, size, None, user, "web")
    return json_reply({"files": [{"path": p, "filehash": h, "filesize": n} for p, h, n in contents]})


def h_tree(app, req, spec):
    with app.store.lock:
        db = app.store.db
        user = named_user(db, need(req.params(), "username"))
        nodes = [{"path": n["path"], "dir": bool(n["dir"]), "filehash": n["filehash"], "filesize": n["filesize"],
                  "version": n["version"], "lock": n["lock"], "machine": n["machine"]}
                 for n in tree.subtree(db, user["mount_id"], "")]
        return json_reply({"nodes": nodes, "version": tree.mount_version(db, user["mount_id"])})


def h_message(app, req, spec):
    with app.store.tx() as db:
        user = named_user(db, need(spec, "username"))
        dateline = spec.get("dateline") or int(time.time())
        db.execute("INSERT INTO messages(user_id, type, dateline, member_name, render_text) VALUES(?,?,?,?,?)",
                   (user["id"], int(spec.get("type", 1)), int(dateline), spec.get("member_name", ""),
                    need(spec, "render_text")))
    return json_reply({"dateline": dateline})


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def h_ui_package(app, req, spec):
    name = need(spec, "name")
    if not updates.PACKAGE.match("/interface/check_%s_update" % name):
        raise bad_request("bad package name")
    path = updates.package_path(app.store, name)
    if spec.get("data_b64") is None:
        for p in (path, path + ".sig"):
            if os.path.exists(p):
                os.remove(p)
        return json_reply({})
    data = decode_b64(spec["data_b64"], "data_b64")
    write_file(path, data)
    if spec.get("signature_b64") is not None:
        write_file(path + ".sig", decode_b64(spec["signature_b64"], "signature_b64"))
    elif os.path.exists(path + ".sig"):
        os.remove(path + ".sig")
    return json_reply({"md5": updates.md5_file(path)})


def h_app_update(app, req, spec):
    with app.store.tx() as db:
        if spec.get("version") is None:
            app.store.set_config(db, "app_update", None)
            return json_reply({})
        version = need(spec, "version")
        data = decode_b64(need(spec, "data_b64"), "data_b64")
        name = spec.get("file") or "quorva-%s.dmg" % version
        if "/" in name or name.startswith("."):
            raise bad_request("bad file name")
        signature = spec.get("signature_b64")
        if signature is not None:
            decode_b64(signature, "signature_b64")
        sha256 = spec.get("sha256")
        if sha256 is not None and not re.fullmatch(r"[0-9a-f]{64}", str(sha256)):
            raise bad_request("sha256 must be 64 lowercase hexadecimal digits")
        write_file(updates.installer_path(app.store, name), data)
        app.store.set_config(db, "app_update", {"version": version, "file": name, "size": len(data),
                                                "sha256": sha256, "signature_b64": signature})
    return json_reply({"file": name, "size": len(data), "sha256": hashlib.sha256(data).hexdigest()})


def h_config(app, req, spec):
    known = {"piecelen", "mirrors", "token_lifetime", "rotate_refresh"}
    unknown = set(spec) - known
    if unknown:
        raise bad_request("unknown settings: %s" % ", ".join(sorted(unknown)))
    with app.store.tx() as db:
        for key, value in spec.items():
            if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 0):
                raise bad_request("%s must be a number >= 0 or null" % key)
            app.store.set_config(db, key, value)
    return json_reply({})


GATE_POINTS = ("upload_finish", "upload_part_reply")


def h_hold(app, req, spec):
    point = need(spec, "point")
    if point not in GATE_POINTS:
        raise bad_request("unknown point %s" % point)
    app.gates.arm(point)
    return json_reply({"point": point})


def h_held(app, req, spec):
    point = req.params().get("point", "")
    return json_reply({"point": point, "held": app.gates.held(point)})


def h_release(app, req, spec):
    return json_reply({"released": app.gates.release(need(spec, "point"))})


def h_save_link(app, req, spec):
    fields = [str(need(spec, k, (str, int))) for k in ("act", "mount_id", "fullpath", "expires")]
    return json_reply({"sign": accounts.save_link_sign(*fields)})


ROUTES = {
    ("POST", "/_test/user"): h_user,
    ("POST", "/_test/user_flags"): h_user_flags,
    ("POST", "/_test/org"): h_org,
    ("POST", "/_test/member"): h_member,
    ("POST", "/_test/team_folder"): h_team_folder,
    ("POST", "/_test/share"): h_share,
    ("POST", "/_test/unshare"): h_unshare,
    ("POST", "/_test/weblogin"): h_weblogin,
    ("POST", "/_test/expire"): h_expire,
    ("POST", "/_test/fault"): h_fault,
    ("GET", "/_test/faults"): h_faults,
    ("DELETE", "/_test/faults"): h_clear_faults,
    ("POST", "/_test/feed"): h_feed,
    ("POST", "/_test/mount_version"): h_mount_version,
    ("POST", "/_test/files"): h_files,
    ("GET", "/_test/tree"): h_tree,
    ("POST", "/_test/message"): h_message,
    ("POST", "/_test/ui_package"): h_ui_package,
    ("POST", "/_test/app_update"): h_app_update,
    ("POST", "/_test/config"): h_config,
    ("POST", "/_test/save_link"): h_save_link,
    ("POST", "/_test/hold"): h_hold,
    ("GET", "/_test/hold"): h_held,
    ("POST", "/_test/release"): h_release,
    ("GET", "/_test/requests"): h_requests,
    ("DELETE", "/_test/requests"): h_clear_requests,
}


def handle(app, req):
    route = ROUTES.get((req.method, req.path))
    if route is None:
        raise ApiError(404, 40400, "no test hook %s %s" % (req.method, req.path))
    spec = body_json(req) if req.method == "POST" else {}
    return route(app, req, spec)
