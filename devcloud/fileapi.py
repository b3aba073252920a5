"""The file API: signed requests on the escaped cloud path, one verb per
operation (GET, PUT, DELETE, RENAME, MOVE, COMPARE, LIST, ORG_SHARE,
FAVORITES_ADD)."""

import hmac
import re

from . import accounts, download, tree
from .message import json_reply
from .wire import (ApiError, CLIENTS, HEX40, bad_request, check_name, decode_path, int_header,
                   sign_text, signature, unescape)

MAX_LIST = 50000
# The client's date text: "EEE,dd MMM yyyy HH:mm:ss z", no blank after the comma.
CLIENT_DATE = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun),[0-9]{2} "
                         r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                         r"[0-9]{2}:[0-9]{2}:[0-9]{2} [^ ]+$")


def authenticate(app, req):
    auth = req.headers.get("Authorization") or ""
    token, sep, sig = auth.rpartition(":")
    if not sep or not token or not sig:
        raise ApiError(401, 40102, "Authorization must be <token>:<signature>")
    mount_text = (req.headers.get("x-qv-mount") or "").strip()
    mount = int_header(req.headers, "x-qv-mount")
    date = req.headers.get("date")
    if date is None:
        raise bad_request("missing header date")
    if not CLIENT_DATE.match(date):
        raise bad_request("header date is not in the form Mon,01 Jan 2024 18:00:00 GMT+8: %r" % date)
    user, token_row = accounts.token_user(app.store, token)
    secret = CLIENTS.get(token_row["client_id"], "")
    # The target is verified as received: no decoding, "//" and %XX kept.
    expected = signature(secret, sign_text(req.method, date, mount_text, req.target))
    if not hmac.compare_digest(expected, sig.strip()):
        raise ApiError(401, 40103, "签名错误")
    accounts.check_expiry(token_row)
    if mount != user["mount_id"]:
        raise ApiError(403, 40301, "没有访问该空间的权限: %d" % mount)
    return user


def content_urls(app, req, filehash):
    uri = "%s/content/%s?k=%s" % (req.base_url(), filehash, download.ticket(app.store, filehash))
    mirrors = int(app.store.config("mirrors", 0))
    return uri, ["%s&m=%d" % (uri, i) for i in range(1, mirrors + 1)]


def ext_of(name):
    return name.rsplit(".", 1)[1] if "." in name.strip(".") else ""


def folder_of_root(loc, path):
    return {"hash": tree.path_hash(loc.mount, loc.lpath), "dir": True, "fullpath": path,
            "filename": tree.name_of(path), "ext": "", "filehash": "", "filesize": 0, "version": 0,
            "cmd": 1, "last_member_id": 0, "last_member_name": "", "last_member_machine": "",
            "nosync": 0, "lock": 0, "vcount": 0, "share": 0, "publish": 0, "discuss": 0, "uri": "",
            "uri_local_server": [], "local": 0, "dateline": 0}


def details(app, req, loc, node):
    view = loc.view(node["path"])
    name = tree.name_of(view)
    out = {"hash": tree.path_hash(node["mount_id"], node["lpath"]), "dir": bool(node["dir"]),
           "fullpath": view, "filename": name, "ext": "" if node["dir"] else ext_of(name),
           "filehash": node["filehash"], "filesize": node["filesize"], "version": node["version"],
           "cmd": 1, "last_member_id": node["member_id"], "last_member_name": node["member_name"],
           "last_member_machine": node["machine"] or "", "nosync": 0, "lock": node["lock"],
           "vcount": 1, "share": 1 if loc.is_share_root else 0, "publish": 0, "discuss": 0,
           "uri": "", "uri_local_server": [], "local": 0, "dateline": node["dateline"]}
    if not node["dir"]:
        out["uri"], out["uri_local_server"] = content_urls(app, req, node["filehash"])
    return out


def op_get(app, req, user):
    cloud, _ = decode_path(req.path)
    with app.store.lock:
        db = app.store.db
        loc = tree.resolve(db, user, cloud)
        if cloud == "":
            return json_reply(folder_of_root(loc, ""))
        node = tree.get_node(db, loc.mount, loc.lpath)
        if node is None:
            raise tree.gone_error(cloud)
        return json_reply(details(app, req, loc, node))


def add_reply(req, state, loc, lpath, version):
    return json_reply({"state": state, "hash": tree.path_hash(loc.mount, lpath), "version": version,
                       "server": req.base_url(), "local_server": None})


def check_unlocked(rows):
    if any(r["lock"] for r in rows):
        raise tree.readonly_error()


def op_put(app, req, user):
    cloud, folder = decode_path(req.path)
    if cloud == "":
        raise bad_request("the mount root can't be added")
    filehash = req.headers.get("x-qv-filehash")
    if filehash is None:
        raise bad_request("missing header x-qv-filehash")
    filehash = filehash.strip().lower()
    size = int_header(req.headers, "x-qv-filesize", minimum=0)
    int_header(req.headers, "x-qv-version", default=0, minimum=0)
    machine = req.headers.get("x-qv-machine", "")
    store = app.store
    if folder or filehash == "":
        if not (folder and filehash == "" and size == 0):
            raise bad_request("a folder is added with a path ending in '/', an empty x-qv-filehash and size 0")
        with store.tx() as db:
            loc = tree.resolve(db, user, cloud)
            if loc.is_share_root:
                node = tree.get_node(db, loc.mount, loc.lpath)
                return add_reply(req, 1, loc, loc.lpath, node["version"] if node else 0)
            loc.writable()
            node = tree.make_folder(db, loc.mount, loc.path, user, machine)
            return add_reply(req, 1, loc, node["lpath"], node["version"])
    if not HEX40.match(filehash):
        raise bad_request("x-qv-filehash must be 40 hexadecimal digits")
    with store.tx() as db:
        loc = tree.resolve(db, user, cloud)
        if loc.is_share_root:
            raise ApiError(409, 40901, "同名共享文件夹已经存在: %s" % cloud)
        loc.writable()
        node = tree.get_node(db, loc.mount, loc.lpath)
        if node is not None:
            check_unlocked([node])
            if node["dir"]:
                raise ApiError(409, 40901, "同名文件夹已经存在: %s" % cloud)
            if node["filehash"] == filehash and node["filesize"] == size:
                return add_reply(req, 1, loc, loc.lpath, node["version"])
        tree.check_parents(db, loc.mount, loc.path)
        if store.has_content(filehash, size):
            node = tree.commit_file(db, loc.mount, loc.path, filehash, size, None, user, machine)
            return add_reply(req, 1, loc, node["lpath"], node["version"])
        version = tree.next_version(db, loc.mount)
        pathhash = tree.path_hash(loc.mount, loc.lpath)
        db.execute("INSERT OR REPLACE INTO pending(pathhash, filehash, filesize, mount_id, lpath, path, version,"
                   " user_id, member_name, machine, created) VALUES(?,?,?,?,?,?,?,?,?,?,?)",
                   (pathhash, filehash, size, loc.mount, loc.lpath, loc.path, version, user["id"],
                    tree.member_name(user), machine, store.now()))
        return add_reply(req, 0, loc, loc.lpath, version)


def source_of_change(db, user, cloud):
    """The entry a delete, rename or move acts on, refused where the user may not write."""
    if cloud == "":
        raise bad_request("the mount root can't be changed")
    loc = tree.resolve(db, user, cloud)
    if loc.is_share_root:
        # A member leaves or renames a share on the web site, not by a sync call.
        raise tree.readonly_error()
    loc.writable()
    return loc, tree.get_node(db, loc.mount, loc.lpath)


def op_delete(app, req, user):
    cloud, _ = decode_path(req.path)
    with app.store.tx() as db:
        loc, node = source_of_change(db, user, cloud)
        if node is None:
            # Already gone: answer as done, so the client does not retry forever.
            return json_reply({"version": tree.mount_version(db, loc.mount)})
        check_unlocked(tree.subtree(db, loc.mount, loc.lpath))
        tree.drop_shares_under(db, loc.mount, loc.lpath)
        _, version = tree.remove_subtree(db, loc.mount, loc.lpath, user)
        return json_reply({"version": version})


def relocate(db, user, loc, node, dst, machine):
    """Moves a subtree to `dst`; the moved entry itself gets the last version,
    which is the one the reply names."""
    rows = tree.subtree(db, loc.mount, loc.lpath)
    check_unlocked(rows)
    tree.remove_subtree(db, loc.mount, loc.lpath, user)
    tree.check_parents(db, dst.mount, dst.path)
    tree.make_parents(db, dst.mount, dst.path, user, machine)
    prefix = tree.canonical(db, dst.mount, dst.path)
    tree.copy_rows(db, rows, node["path"], dst.mount, prefix, user, machine)
    tree.follow_shares(db, loc.mount, node["path"], dst.mount, prefix)
    top = tree.get_node(db, dst.mount, tree.lower(prefix))
    version = tree.next_version(db, dst.mount)
    db.execute("UPDATE nodes SET version=? WHERE mount_id=? AND lpath=?", (version, dst.mount, top["lpath"]))
    tree.emit_node(db, tree.get_node(db, dst.mount, top["lpath"]), 1)
    return version


def op_rename(app, req, user):
    cloud, _ = decode_path(req.path)
    raw = req.headers.get("x-qv-newname")
    if raw is None:
        raise bad_request("missing header x-qv-newname")
    newname = check_name(unescape(raw.strip(), "x-qv-newname"), "new name")
    machine = req.headers.get("x-qv-machine", "")
    with app.store.tx() as db:
        loc, node = source_of_change(db, user, cloud)
        if node is None:
            raise tree.gone_error(cloud)
        parent = tree.parent_of(cloud)
        target = (parent + "/" if parent else "") + newname
        if target == loc.view(node["path"]):
            return json_reply({"version": node["version"]})
        dst = tree.resolve(db, user, target)
        if (dst.mount, dst.lpath) != (loc.mount, loc.lpath):
            if dst.is_share_root or tree.get_node(db, dst.mount, dst.lpath) is not None:
                raise ApiError(409, 40901, "同名文件已经存在: %s" % target)
        return json_reply({"version": relocate(db, user, loc, node, dst, machine)})


def op_move(app, req, user):
    cloud, _ = decode_path(req.path)
    target_mount = int_header(req.headers, "x-qv-target-mount")
    if target_mount != user["mount_id"]:
        raise bad_request("moves stay within the mount")
    raw = req.headers.get("x-qv-target-path")
    if raw is None:
        raise bad_request("missing header x-qv-target-path")
    parent = unescape(raw.strip(), "x-qv-target-path").strip("/")
    if parent:
        for name in parent.split("/"):
            check_name(name)
    machine = req.headers.get("x-qv-machine", "")
    with app.store.tx() as db:
        loc, node = source_of_change(db, user, cloud)
        if node is None:
            raise tree.gone_error(cloud)
        if parent:
            ploc = tree.resolve(db, user, parent)
            pnode = tree.get_node(db, ploc.mount, ploc.lpath)
            if pnode is None or not pnode["dir"]:
                raise ApiError(404, 40403, "目标文件夹不存在: %s" % parent)
            ploc.writable()
        target = (parent + "/" if parent else "") + tree.name_of(cloud)
        dst = tree.resolve(db, user, target)
        if (dst.mount, dst.lpath) == (loc.mount, loc.lpath):
            return json_reply({"version": node["version"]})
        if dst.mount == loc.mount and dst.lpath.startswith(loc.lpath + "/"):
            raise bad_request("a folder can't be moved into itself")
        if dst.is_share_root or tree.get_node(db, dst.mount, dst.lpath) is not None:
            raise ApiError(409, 40901, "同名文件已经存在: %s" % target)
        dst.writable()
        return json_reply({"version": relocate(db, user, loc, node, dst, machine)})


def change_item(loc, row):
    folder = bool(row["dir"])
    return {"hash": tree.path_hash(row["mount_id"], row["lpath"]), "fullpath": loc.view(row["path"]),
            "filehash": "" if folder else row["filehash"], "filesize": 0 if folder else row["filesize"],
            "cmd": row["cmd"], "version": row["version"], "last_member_id": row["member_id"],
            "last_member_name": row["member_name"], "dateline": row["dateline"], "lock": row["lock"],
            "nosync": 0, "local": 0, "share": row["share"], "org_share": row["org_share"]}


def root_folder(db, user, cloud):
    loc = tree.resolve(db, user, cloud)
    if cloud != "":
        node = tree.get_node(db, loc.mount, loc.lpath)
        if node is None:
            raise tree.gone_error(cloud)
        if not node["dir"]:
            raise bad_request("not a folder: %s" % cloud)
    return loc


CHANGE_KEY = re.compile(r"([0-9]+)\.([0-9]+)")


def change_key(req):
    """The change key of "?sc=<key>" (the whole rest of the query, escaped
    by the client), or None without a query."""
    if req.query == "":
        return None
    if not req.query.startswith("sc="):
        raise bad_request("the only query of a compare is sc=<change key>")
    return unescape(req.query[len("sc="):], "change key")


def op_compare(app, req, user):
    cloud, folder = decode_path(req.path)
    if cloud != "" and not folder:
        raise bad_request("a compared root ends with '/'")
    cursor = int_header(req.headers, "x-qv-version", default=0, minimum=0)
    dateline = int_header(req.headers, "x-qv-dateline", default=0)
    key = change_key(req)
    with app.store.lock:
        db = app.store.db
        loc = root_folder(db, user, cloud)
        if key is not None:
            # The key a reply gave goes on from where that reply ended; one of
            # another mount, or one no reply gave, is refused, never ignored.
            match = CHANGE_KEY.fullmatch(key)
            newest = db.execute("SELECT COALESCE(MAX(seq), 0) AS s FROM changes").fetchone()["s"]
            if match is None or int(match.group(1)) != loc.mount or int(match.group(2)) > newest:
                raise ApiError(400, 40008, "变更标识无效: %s" % key)
            cursor = int(match.group(2))
        rows = tree.feed(db, loc, cursor)
    if rows:
        cursor, dateline = rows[-1]["seq"], rows[-1]["dateline"]
    return json_reply({"version": cursor, "dateline": dateline, "sc": "%d.%d" % (loc.mount, cursor),
                       "list": [change_item(loc, r) for r in rows]})


def list_item(loc, node):
    view = loc.view(node["path"])
    return {"hash": tree.path_hash(node["mount_id"], node["lpath"]), "fullpath": view,
            "filename": tree.name_of(view), "filehash": node["filehash"], "filesize": node["filesize"],
            "cmd": 1, "version": node["version"], "last_member_id": node["member_id"],
            "last_member_name": node["member_name"], "dateline": node["dateline"], "lock": node["lock"],
            "nosync": 0, "local": 0, "share": 0, "org_share": 0, "dir": 1 if node["dir"] else 0}


def op_list(app, req, user):
    cloud, _ = decode_path(req.path)
    start = int_header(req.headers, "x-qv-start", default=0, minimum=0)
    size = min(int_header(req.headers, "x-qv-size", default=MAX_LIST, minimum=0), MAX_LIST)
    with app.store.lock:
        db = app.store.db
        loc = root_folder(db, user, cloud)
        items = [list_item(loc, n) for n in tree.children(db, loc.mount, loc.lpath)]
        if cloud == "":
            for share in tree.share_entries(db, user):
                node = tree.get_node(db, share["owner_mount"], share["owner_lpath"])
                item = list_item(tree.Loc(share["owner_mount"], share["owner_path"], share=share), node) \
                    if node is not None else None
                if item is None:
                    continue
                item.update({"cmd": 1000 if share["readonly"] else 1001, "share": 1,
                             "org_share": share["org_id"], "lock": share["readonly"]})
                items.append(item)
    items.sort(key=lambda i: i["fullpath"].lower())
    return json_reply({"list": items[start:start + size]})


# Not on the LAN (local=0), the member's address, full rights (2).
ORG_SHARE_BODY = re.compile(r"local=0&email=([^&|\x00-\x1f]+)\|2")


def op_org_share(app, req, user):
    cloud, _ = decode_path(req.path)
    if cloud == "" or "/" in cloud:
        raise bad_request("a team folder is made at the top level")
    match = ORG_SHARE_BODY.fullmatch(req.text())
    if match is None:
        raise bad_request("the body must be local=0&email=<mail>|2")
    if user["org_id"] == 0:
        raise ApiError(403, 40302, "您不是团队成员，不能新建团队文件夹")
    mail = match.group(1)
    with app.store.tx() as db:
        member = db.execute("SELECT * FROM users WHERE email=? ORDER BY id LIMIT 1", (mail,)).fetchone()
        if member is None or member["org_id"] != user["org_id"]:
            raise bad_request("%s is not the e-mail address of a member of the team" % mail)
        org = db.execute("SELECT * FROM orgs WHERE id=?", (user["org_id"],)).fetchone()
        loc = tree.resolve(db, user, cloud)
        if loc.share is not None or tree.get_node(db, loc.mount, loc.lpath) is not None \
                or tree.get_node(db, org["mount_id"], tree.lower(cloud)) is not None:
            raise ApiError(409, 40901, "已经存在同名文件夹")
        tree.make_folder(db, org["mount_id"], cloud, user, req.headers.get("x-qv-machine", ""))
        add_team_folder_shares(db, org, cloud, creator=user)
    return json_reply({})


def add_team_folder_shares(db, org, name, creator=None, readonly_for=()):
    """Shares a folder of the team's mount with every member; another member
    who holds the name already goes without it."""
    for member in db.execute("SELECT * FROM users WHERE org_id=? ORDER BY id", (org["id"],)).fetchall():
        readonly = member["username"].lower() in readonly_for
        try:
            tree.add_share(db, member, name, org["mount_id"], name, readonly, org["id"])
        except ApiError:
            if creator is not None and member["id"] == creator["id"]:
                raise


def op_favorites_add(app, req, user):
    cloud, _ = decode_path(req.path)
    with app.store.tx() as db:
        loc = tree.resolve(db, user, cloud)
        if cloud and tree.get_node(db, loc.mount, loc.lpath) is None:
            raise tree.gone_error(cloud)
        db.execute("INSERT OR REPLACE INTO favorites(user_id, mount_id, lpath) VALUES(?,?,?)",
                   (user["id"], loc.mount, loc.lpath))
    return json_reply({})


VERBS = {"GET": op_get, "PUT": op_put, "DELETE": op_delete, "RENAME": op_rename, "MOVE": op_move,
         "COMPARE": op_compare, "LIST": op_list, "ORG_SHARE": op_org_share,
         "FAVORITES_ADD": op_favorites_add}


def handle(app, req):
    op = VERBS.get(req.method)
    if op is None:
        raise ApiError(405, 40501, "unknown file API verb %s" % req.method)
    user = authenticate(app, req)
    return op(app, req, user)
