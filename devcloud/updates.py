"""The update service: UI resource packages by name and the application's
installer. Packages and the installer are put in place by the test hooks."""

import hashlib
import os
import re

from .message import Reply
from .wire import to_json

PACKAGE = re.compile(r"^/interface/check_([A-Za-z0-9_\-]+)_update$")


def package_path(store, name):
    return os.path.join(store.update_dir, "ui", name + ".zip")


def md5_file(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def check_package(app, req):
    """An empty body when the client's digest is that of the package held (or none is held)."""
    name = PACKAGE.match(req.path).group(1)
    path = package_path(app.store, name)
    if not os.path.isfile(path) or req.params().get("key", "") == md5_file(path):
        return Reply(200, b"", "application/zip")
    with open(path, "rb") as f:
        return Reply(200, f.read(), "application/zip")


def version_tuple(text):
    parts = re.findall(r"[0-9]+", text or "")
    return tuple(int(p) for p in parts)


def newer(offered, current):
    a, b = version_tuple(offered), version_tuple(current)
    return a > b if a and b else offered != current


def check_version(app, req):
    offer = app.store.config("app_update")
    current = req.params().get("v", "")
    if not offer or not newer(offer["version"], current):
        return Reply(200, b"null", "application/json")
    body = {"version": offer["version"], "path": "%s/download/installer/%s" % (req.base_url(), offer["file"]),
            "size": offer["size"]}
    return Reply(200, to_json(body), "application/json; charset=utf-8")
