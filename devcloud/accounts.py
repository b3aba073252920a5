"""Accounts, OAuth sign-in, the account API and the few pages of the web site
(single sign-on and the web login that binds a web-login key)."""

import hashlib
import hmac
import base64
import html
import secrets
import time
import urllib.parse

from . import tree
from .message import html_reply, json_reply, Reply
from .wire import (ApiError, CLIENTS, OAuthError, SSO_KEY, parse_account_form, parse_oauth_form, INT)

DEFAULT_CAPACITY = 10 * 1024 ** 3
TOKEN_LIFETIME = 7200
REFRESH_LIFETIME = 30 * 86400
KEY_LIFETIME = 600


def create_mount(db, owner):
    cur = db.execute("INSERT INTO mounts(owner, version) VALUES(?, 0)", (owner,))
    return cur.lastrowid


def create_user(db, username, password, email=None, capacity=None, org_username=""):
    if not username or db.execute("SELECT 1 FROM users WHERE username=?", (username,)).fetchone():
        raise ApiError(409, 40901, "用户已经存在: %s" % username)
    mount = create_mount(db, "user:" + username)
    cur = db.execute("INSERT INTO users(username, email, password, mount_id, capacity, org_username)"
                     " VALUES(?,?,?,?,?,?)",
                     (username, email or username, password, mount,
                      DEFAULT_CAPACITY if capacity is None else capacity, org_username))
    return db.execute("SELECT * FROM users WHERE id=?", (cur.lastrowid,)).fetchone()


def user_by_name(db, name):
    return db.execute("SELECT * FROM users WHERE username=? OR email=? ORDER BY id LIMIT 1",
                      (name, name)).fetchone()


def user_by_id(db, user_id):
    return db.execute("SELECT * FROM users WHERE id=?", (user_id,)).fetchone()


def issue_tokens(store, db, user_id, client_id, refresh=None):
    lifetime = int(store.config("token_lifetime", TOKEN_LIFETIME))
    access = secrets.token_hex(20)
    db.execute("INSERT INTO tokens(access, user_id, client_id, expires) VALUES(?,?,?,?)",
               (access, user_id, client_id, time.time() + lifetime))
    if refresh is None:
        refresh = secrets.token_hex(20)
        db.execute("INSERT INTO refresh_tokens(refresh, user_id, client_id, expires) VALUES(?,?,?,?)",
                   (refresh, user_id, client_id, time.time() + REFRESH_LIFETIME))
    return {"access_token": access, "refresh_token": refresh, "expires_in": lifetime}


def token_user(store, access):
    """The user and token row of an access token; 40102 unknown, 40101 expired."""
    row = store.one("SELECT * FROM tokens WHERE access=?", (access,))
    if row is None:
        raise ApiError(401, 40102, "token无效")
    user = store.one("SELECT * FROM users WHERE id=?", (row["user_id"],))
    if user is None:
        raise ApiError(401, 40102, "token无效")
    return user, row


def check_expiry(token):
    if token["expires"] <= time.time():
        raise ApiError(401, 40101, "token已过期")


def valid_token(store, access):
    user, token = token_user(store, access)
    check_expiry(token)
    return user, token


def check_client(form):
    client_id = form.get("client_id", "")
    secret = CLIENTS.get(client_id)
    if secret is None or not hmac.compare_digest(secret, form.get("client_secret", "")):
        raise OAuthError(401, "invalid_client", "unknown client or wrong secret")
    return client_id


def refuse_if_barred(user):
    if user["oauth_error"]:
        raise OAuthError(403, user["oauth_error"])


def oauth_token(app, req):
    form = parse_oauth_form(req.text())
    client_id = check_client(form)
    store = app.store
    grant = form.get("grant_type")
    with store.tx() as db:
        if grant == "password":
            user = user_by_name(db, form["username"])
            if user is None or not hmac.compare_digest(user["password"] or "", form["password"]):
                raise OAuthError(400, "invalid_grant", "wrong user name or password")
            refuse_if_barred(user)
            return json_reply(issue_tokens(store, db, user["id"], client_id))
        if grant == "refresh_token":
            row = db.execute("SELECT * FROM refresh_tokens WHERE refresh=?", (form["refresh_token"],)).fetchone()
            if row is None or row["expires"] <= time.time():
                raise OAuthError(400, "invalid_grant", "unknown or expired refresh token")
            user = user_by_id(db, row["user_id"])
            if user is None:
                raise OAuthError(400, "invalid_grant", "the account is gone")
            refuse_if_barred(user)
            # The refresh token stays valid: the edit helper renews with the same one every time.
            # A test may make the service hand out a new one instead and retire the old.
            if store.config("rotate_refresh", 0):
                db.execute("DELETE FROM refresh_tokens WHERE refresh=?", (row["refresh"],))
                return json_reply(issue_tokens(store, db, user["id"], client_id))
            return json_reply(issue_tokens(store, db, user["id"], client_id, refresh=row["refresh"]))
        if grant is None:
            raise OAuthError(400, "invalid_request", "the key exchange is /check_oauth")
        raise OAuthError(400, "unsupported_grant_type", grant)


def check_oauth(app, req):
    form = parse_oauth_form(req.text())
    if "key" not in form:
        raise OAuthError(400, "invalid_request", "missing key")
    client_id = check_client(form)
    store = app.store
    with store.tx() as db:
        row = db.execute("SELECT * FROM weblogin_keys WHERE key=?", (form["key"],)).fetchone()
        if row is None or row["created"] + KEY_LIFETIME <= time.time():
            raise OAuthError(400, "invalid_grant", "the web-login key is not bound")
        user = user_by_id(db, row["user_id"])
        if user is None:
            raise OAuthError(400, "invalid_grant", "the account is gone")
        refuse_if_barred(user)
        db.execute("DELETE FROM weblogin_keys WHERE key=?", (form["key"],))
        return json_reply(issue_tokens(store, db, user["id"], client_id))


def bind_key(db, key, user):
    db.execute("INSERT OR REPLACE INTO weblogin_keys(key, user_id, created) VALUES(?,?,?)",
               (key, user["id"], time.time()))


def used_size(db, mount):
    return db.execute("SELECT COALESCE(SUM(filesize), 0) AS s FROM nodes WHERE mount_id=? AND dir=0",
                      (mount,)).fetchone()["s"]


def get_myinfo(app, req):
    form = parse_account_form(req.text(), ["token"])
    user, _ = valid_token(app.store, form["token"])
    with app.store.lock:
        db = app.store.db
        org = db.execute("SELECT * FROM orgs WHERE id=?", (user["org_id"],)).fetchone()
        info = {
            "id": user["id"], "username": user["username"], "email": user["email"],
            "photourl": user["photourl"] or "",
            "mount_id": user["mount_id"], "size": used_size(db, user["mount_id"]),
            "capacity": user["capacity"], "org_id": org["id"] if org else 0,
            "org_name": org["name"] if org else "", "org_username": user["org_username"] if org else "",
            "org_size": used_size(db, org["mount_id"]) if org else 0,
        }
    return json_reply(info)


def client_updates(app, req):
    form = parse_account_form(req.text(), ["token"], right=["dateline"])
    if not INT.match(form["dateline"]):
        raise ApiError(400, 40001, "dateline is not a number")
    user, _ = valid_token(app.store, form["token"])
    since = int(form["dateline"])
    rows = app.store.all("SELECT * FROM messages WHERE user_id=? AND dateline>? ORDER BY dateline, id",
                         (user["id"], since))
    updates = [{"type": r["type"], "dateline": r["dateline"], "member_name": r["member_name"],
                "render_text": r["render_text"]} for r in rows]
    newest = max([since] + [r["dateline"] for r in rows])
    return json_reply({"updates": updates, "dateline": newest, "update_count": len(updates)})


def save_link_sign(act, mount_id, fullpath, expires):
    text = "%s\n%s\n%s\n%s" % (act, mount_id, fullpath, expires)
    return base64.b64encode(hmac.new(SSO_KEY.encode(), text.encode("utf-8"), hashlib.sha1).digest()).decode()


def may_read(db, user, mount, lpath):
    """The user's own mount, or a folder of another that is shared with the
    user (team folders included), and what lies below it."""
    if mount == user["mount_id"]:
        return True
    for share in db.execute("SELECT owner_lpath FROM shares WHERE member_mount=? AND owner_mount=?",
                            (user["mount_id"], mount)).fetchall():
        top = share["owner_lpath"]
        if lpath == top or lpath.startswith(top + "/"):
            return True
    return False


def save_file(app, req):
    """Saves a file that a web page links to into the user's own top level."""
    form = parse_account_form(req.text(), ["token", "act", "mount_id"], tail="fullpath",
                              right=["expires", "sign"])
    for key in ("act", "mount_id", "expires"):
        if not INT.match(form[key]):
            raise ApiError(400, 40001, "%s is not a number" % key)
    if form["act"] not in ("2", "3"):
        raise ApiError(400, 40001, "unknown act %s" % form["act"])
    user, _ = valid_token(app.store, form["token"])
    if int(form["expires"]) < time.time():
        raise ApiError(403, 40303, "链接已过期")
    expected = save_link_sign(form["act"], form["mount_id"], form["fullpath"], form["expires"])
    if not hmac.compare_digest(expected, urllib.parse.unquote(form["sign"])):
        raise ApiError(403, 40304, "链接签名错误")
    src_path = form["fullpath"].strip("/")
    mount = int(form["mount_id"])
    with app.store.tx() as db:
        if not may_read(db, user, mount, tree.lower(src_path)):
            raise ApiError(403, 40301, "没有访问该空间的权限: %d" % mount)
        node = tree.get_node(db, mount, tree.lower(src_path))
        if node is None:
            raise tree.gone_error(src_path)
        rows = tree.subtree(db, node["mount_id"], node["lpath"])
        name = tree.name_of(node["path"])
        if tree.get_node(db, user["mount_id"], tree.lower(name)) is not None:
            raise ApiError(409, 40901, "已经存在同名文件: %s" % name)
        tree.copy_rows(db, rows, node["path"], user["mount_id"], name, user, "web")
    return json_reply({})


# Web site.

PAGE = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>%s</title></head><body>%s</body></html>"""


def own_site_path(url):
    """A path of this site: "//host" and "/\\host" name another site to a
    browser, and a control character could split the header."""
    return url.startswith("/") and not url.startswith("//") and "\\" not in url \
        and not any(ord(c) < 0x20 or ord(c) == 0x7F for c in url)


def sso(app, req):
    p = req.params()
    for key in ("url", "token", "t", "n", "s"):
        if key not in p:
            return html_reply(PAGE % ("错误", "<p>缺少参数 %s</p>" % key), 400)
    text = "%s\n%s\n%s\n%s" % (p["url"], p["token"], p["t"], p["n"])
    expected = base64.b64encode(hmac.new(SSO_KEY.encode(), text.encode("utf-8"), hashlib.sha1).digest()).decode()
    if not hmac.compare_digest(expected, p["s"]) or not p["n"].isdigit() or int(p["n"]) > 65534:
        return html_reply(PAGE % ("错误", "<p>签名错误</p>"), 403)
    try:
        user, _ = valid_token(app.store, p["token"])
    except ApiError as e:
        return html_reply(PAGE % ("错误", "<p>%s</p>" % html.escape(e.msg)), 401)
    url = p["url"]
    if own_site_path(url):
        return Reply(302, b"", "text/plain", {"Location": url})
    body = "<p>%s 已登录</p><p><a href=\"%s\">%s</a></p>" % (
        html.escape(user["username"]), html.escape(url, quote=True), html.escape(url))
    return html_reply(PAGE % ("Quorva", body))


LOGIN_FORM = """<h1>Quorva 登录</h1><form method="post" action="/account/weblogin">
<input type="hidden" name="key" value="%s"><p>用户名 <input name="username"></p>
<p>密码 <input type="password" name="password"></p><p><button type="submit">登录</button></p></form>%s"""


def weblogin(app, req):
    """The login page opened in the client's web window: it binds the client's key."""
    if req.method == "GET":
        key = req.params().get("key", "")
        return html_reply(PAGE % ("Quorva 登录", LOGIN_FORM % (html.escape(key, quote=True), "")))
    form = {k: v[-1] for k, v in urllib.parse.parse_qs(req.text(), keep_blank_values=True).items()}
    key = form.get("key", "")
    with app.store.tx() as db:
        user = user_by_name(db, form.get("username", ""))
        if not key or user is None or not hmac.compare_digest(user["password"] or "", form.get("password", "")):
            page = LOGIN_FORM % (html.escape(key, quote=True), "<p>您输入帐号或密码错误 请重新输入</p>")
            return html_reply(PAGE % ("Quorva 登录", page), 403)
        bind_key(db, key, user)
    return Reply(302, b"", "text/plain", {"Location": "/account/oauth_login"})


def oauth_login(app, req):
    return html_reply(PAGE % ("Quorva", "<p>登录成功，请返回客户端。</p>"))


def index(app, req):
    return html_reply(PAGE % ("Quorva", "<h1>devcloud</h1><p>Quorva 服务的本地替身。</p>"))
