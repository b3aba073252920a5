"""File trees per mount, their change feeds and the shares that link a folder
of one mount into the namespace of another.

Paths are cloud paths without leading or trailing "/"; they are compared
without regard to case (`lpath` is the lower-cased key). A share appears in
the member's mount as a top-level name; requests below it are carried to the
owner's mount. Each mount has a version counter that every change advances;
the change log keeps, per path, only its latest entry, so a feed read from
the beginning is the current state plus the deletions."""

import hashlib
import time

from .wire import ApiError

PAGE = 1000


def lower(path):
    return path.lower()


def like_prefix(lpath):
    escaped = lpath.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
    return escaped + "/%"


def path_hash(mount, lpath):
    return hashlib.sha1(("%d:%s" % (mount, lpath)).encode("utf-8")).hexdigest()


def parent_of(path):
    return path.rsplit("/", 1)[0] if "/" in path else ""


def name_of(path):
    return path.rsplit("/", 1)[-1]


def now():
    return int(time.time())


def readonly_error():
    return ApiError(403, 40322, "您只能查看该共享文件夹，不能新增或修改文件")


def gone_error(path):
    return ApiError(404, 40402, "文件不存在: %s" % path)


class Loc:
    """Where a path of a member's view lives."""

    def __init__(self, mount, path, readonly=False, share=None):
        self.mount = mount
        self.path = path
        self.lpath = lower(path)
        self.readonly = readonly
        self.share = share

    @property
    def is_share_root(self):
        return self.share is not None and self.lpath == self.share["owner_lpath"]

    @property
    def org(self):
        return self.share["org_id"] if self.share is not None else 0

    def view(self, owner_path):
        """An owner path back in the member's view."""
        if self.share is None:
            return owner_path
        return self.share["name"] + owner_path[len(self.share["owner_path"]):]

    def writable(self):
        if self.readonly:
            raise readonly_error()


def resolve(db, user, cloud_path):
    if cloud_path == "":
        return Loc(user["mount_id"], "")
    first, _, rest = cloud_path.partition("/")
    share = db.execute("SELECT * FROM shares WHERE member_mount=? AND lname=?",
                       (user["mount_id"], lower(first))).fetchone()
    if share is None:
        return Loc(user["mount_id"], cloud_path)
    path = share["owner_path"] + ("/" + rest if rest else "")
    return Loc(share["owner_mount"], path, bool(share["readonly"]), share)


def get_node(db, mount, lpath):
    return db.execute("SELECT * FROM nodes WHERE mount_id=? AND lpath=?", (mount, lpath)).fetchone()


def subtree(db, mount, lpath):
    """The node and everything below it, parents before children."""
    if lpath == "":
        rows = db.execute("SELECT * FROM nodes WHERE mount_id=?", (mount,)).fetchall()
    else:
        rows = db.execute("SELECT * FROM nodes WHERE mount_id=? AND (lpath=? OR lpath LIKE ? ESCAPE '\\')",
                          (mount, lpath, like_prefix(lpath))).fetchall()
    return sorted(rows, key=lambda r: (r["lpath"].count("/"), r["lpath"]))


def children(db, mount, lpath):
    if lpath == "":
        rows = db.execute("SELECT * FROM nodes WHERE mount_id=? AND instr(lpath, '/')=0", (mount,)).fetchall()
    else:
        depth = lpath.count("/") + 1
        rows = [r for r in db.execute("SELECT * FROM nodes WHERE mount_id=? AND lpath LIKE ? ESCAPE '\\'",
                                      (mount, like_prefix(lpath))).fetchall()
                if r["lpath"].count("/") == depth]
    return sorted(rows, key=lambda r: r["lpath"])


def next_version(db, mount):
    db.execute("UPDATE mounts SET version=version+1 WHERE id=?", (mount,))
    return db.execute("SELECT version FROM mounts WHERE id=?", (mount,)).fetchone()["version"]


def mount_version(db, mount):
    row = db.execute("SELECT version FROM mounts WHERE id=?", (mount,)).fetchone()
    return row["version"] if row else 0


def emit(db, mount, lpath, path, cmd, dir_, filehash, filesize, version, lock, member_id,
         member_name, share=0, org_share=0, compact=True):
    if compact:
        # A re-upload request stays until the content itself changes.
        prev = db.execute("SELECT filehash FROM changes WHERE mount_id=? AND lpath=? AND cmd=1"
                          " ORDER BY seq DESC LIMIT 1", (mount, lpath)).fetchone()
        same_content = cmd == 1 and prev is not None and prev["filehash"] == filehash
        db.execute("DELETE FROM changes WHERE mount_id=? AND lpath=? AND (cmd != -1 OR ?)",
                   (mount, lpath, 0 if same_content else 1))
    db.execute("INSERT INTO changes(mount_id, lpath, path, cmd, dir, filehash, filesize, version, lock,"
               " member_id, member_name, dateline, share, org_share) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
               (mount, lpath, path, cmd, dir_, filehash, filesize, version, lock, member_id,
                member_name, now(), share, org_share))


def emit_node(db, node, cmd, compact=True):
    emit(db, node["mount_id"], node["lpath"], node["path"], cmd, node["dir"], node["filehash"],
         node["filesize"], node["version"], node["lock"], node["member_id"], node["member_name"],
         compact=compact)


def member_name(user):
    return user["org_username"] or user["username"]


def put_node(db, mount, path, dir_, filehash, filesize, version, user, machine, lock=0):
    lpath = lower(path)
    db.execute("INSERT OR REPLACE INTO nodes(mount_id, lpath, path, dir, filehash, filesize, version, lock,"
               " member_id, member_name, machine, dateline) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)",
               (mount, lpath, path, 1 if dir_ else 0, filehash, filesize, version, lock,
                user["id"], member_name(user), machine, now()))
    node = get_node(db, mount, lpath)
    emit_node(db, node, 1)
    return node


def check_parents(db, mount, path):
    """Every parent must be a folder or missing (it is then made)."""
    parent = parent_of(path)
    while parent:
        node = get_node(db, mount, lower(parent))
        if node is not None and not node["dir"]:
            raise ApiError(409, 40901, "上级路径是文件: %s" % parent)
        parent = parent_of(parent)


def canonical(db, mount, path):
    """A new entry takes the spelling of the folder that holds it."""
    parent = parent_of(path)
    if not parent:
        return path
    node = get_node(db, mount, lower(parent))
    return (node["path"] if node is not None else canonical(db, mount, parent)) + "/" + name_of(path)


def make_parents(db, mount, path, user, machine):
    missing = []
    parent = parent_of(path)
    while parent and get_node(db, mount, lower(parent)) is None:
        missing.append(parent)
        parent = parent_of(parent)
    for folder in reversed(missing):
        put_node(db, mount, canonical(db, mount, folder), True, "", 0, next_version(db, mount), user, machine)


def make_folder(db, mount, path, user, machine):
    node = get_node(db, mount, lower(path))
    if node is not None:
        if not node["dir"]:
            raise ApiError(409, 40901, "同名文件已经存在: %s" % path)
        return node
    check_parents(db, mount, path)
    make_parents(db, mount, path, user, machine)
    return put_node(db, mount, canonical(db, mount, path), True, "", 0, next_version(db, mount), user, machine)


def commit_file(db, mount, path, filehash, filesize, version, user, machine):
    """A new version of a file whose content the store holds."""
    node = get_node(db, mount, lower(path))
    if node is not None and node["dir"]:
        raise ApiError(409, 40901, "同名文件夹已经存在: %s" % path)
    check_parents(db, mount, path)
    make_parents(db, mount, path, user, machine)
    if version is None or (node is not None and version <= node["version"]):
        version = next_version(db, mount)
    lock = node["lock"] if node is not None else 0
    stored = canonical(db, mount, path) if node is None else node["path"]
    return put_node(db, mount, stored, False, filehash, filesize, version, user, machine, lock)


def remove_subtree(db, mount, lpath, user):
    """Deletes a node and everything below it; deepest entries are announced first."""
    rows = subtree(db, mount, lpath)
    version = 0
    for node in reversed(rows):
        version = next_version(db, mount)
        db.execute("DELETE FROM nodes WHERE mount_id=? AND lpath=?", (mount, node["lpath"]))
        emit(db, mount, node["lpath"], node["path"], 0, node["dir"], node["filehash"], node["filesize"],
             version, node["lock"], user["id"], member_name(user))
    return rows, version


def copy_rows(db, rows, src_prefix, dst_mount, dst_prefix, user, machine):
    """Re-creates rows (a subtree read before) under a new prefix."""
    version = 0
    for node in rows:
        path = dst_prefix + node["path"][len(src_prefix):]
        version = next_version(db, dst_mount)
        put_node(db, dst_mount, path, node["dir"], node["filehash"], node["filesize"], version, user,
                 machine, node["lock"])
    return version


def add_share(db, member, name, owner_mount, owner_path, readonly, org_id):
    """Links a folder into a member's top level and announces it on the member's "/" feed."""
    lname = lower(name)
    if get_node(db, member["mount_id"], lname) is not None:
        raise ApiError(409, 40901, "已经存在同名文件夹: %s" % name)
    old = db.execute("SELECT * FROM shares WHERE member_mount=? AND lname=?",
                     (member["mount_id"], lname)).fetchone()
    if old is not None and (old["owner_mount"], old["owner_lpath"]) != (owner_mount, lower(owner_path)):
        raise ApiError(409, 40901, "已经存在同名共享文件夹: %s" % name)
    db.execute("INSERT OR REPLACE INTO shares(member_mount, lname, name, owner_mount, owner_lpath, owner_path,"
               " readonly, org_id) VALUES(?,?,?,?,?,?,?,?)",
               (member["mount_id"], lname, name, owner_mount, lower(owner_path), owner_path,
                1 if readonly else 0, org_id))
    version = next_version(db, member["mount_id"])
    emit(db, member["mount_id"], lname, name, 1000 if readonly else 1001, 1, "", 0, version,
         1 if readonly else 0, member["id"], member_name(member), share=1, org_share=org_id)
    return version


def drop_share(db, member, name):
    lname = lower(name)
    share = db.execute("SELECT * FROM shares WHERE member_mount=? AND lname=?",
                       (member["mount_id"], lname)).fetchone()
    if share is None:
        raise ApiError(404, 40402, "没有这个共享文件夹: %s" % name)
    db.execute("DELETE FROM shares WHERE member_mount=? AND lname=?", (member["mount_id"], lname))
    version = next_version(db, member["mount_id"])
    emit(db, member["mount_id"], lname, share["name"], 0, 1, "", 0, version, 0, member["id"],
         member_name(member), share=1, org_share=share["org_id"])


def share_entries(db, member):
    return db.execute("SELECT * FROM shares WHERE member_mount=? ORDER BY lname",
                      (member["mount_id"],)).fetchall()


def feed(db, loc, cursor):
    """One page of the change feed of a root, from after `cursor`."""
    if loc.lpath == "":
        return db.execute("SELECT * FROM changes WHERE mount_id=? AND seq>? ORDER BY seq LIMIT ?",
                          (loc.mount, cursor, PAGE)).fetchall()
    return db.execute("SELECT * FROM changes WHERE mount_id=? AND seq>? AND lpath LIKE ? ESCAPE '\\'"
                      " ORDER BY seq LIMIT ?", (loc.mount, cursor, like_prefix(loc.lpath), PAGE)).fetchall()


def shares_under(db, mount, lpath):
    return [s for s in db.execute("SELECT * FROM shares WHERE owner_mount=?", (mount,)).fetchall()
            if lpath == "" or s["owner_lpath"] == lpath or s["owner_lpath"].startswith(lpath + "/")]


def follow_shares(db, old_mount, old_path, new_mount, new_path):
    """Shares of a moved or renamed folder follow it."""
    for share in shares_under(db, old_mount, lower(old_path)):
        path = new_path + share["owner_path"][len(old_path):]
        db.execute("UPDATE shares SET owner_mount=?, owner_path=?, owner_lpath=? WHERE member_mount=? AND lname=?",
                   (new_mount, path, lower(path), share["member_mount"], share["lname"]))


def drop_shares_under(db, mount, lpath):
    """Shares of a deleted folder end; each member's "/" feed says so."""
    for share in shares_under(db, mount, lpath):
        member = db.execute("SELECT * FROM users WHERE mount_id=?", (share["member_mount"],)).fetchone()
        if member is not None:
            drop_share(db, member, share["name"])
        else:
            db.execute("DELETE FROM shares WHERE member_mount=? AND lname=?", (share["member_mount"], share["lname"]))
