"""The update service: UI resource packages by name and the application's
installer. Packages and the installer are put in place by the test hooks,
each with the signature the test made for it (this process holds no
signing key): a package's travels in the "X-Qv-Signature" header, the
installer's in the check_version answer beside its SHA-256."""

import base64
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


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def installer_path(store, name):
    return os.path.join(store.update_dir, "app", name)


def check_package(app, req):
    """An empty body when the client's digest is that of the package held (or none is held)."""
    name = PACKAGE.match(req.path).group(1)
    path = package_path(app.store, name)
    if not os.path.isfile(path) or req.params().get("key", "") == md5_file(path):
        return Reply(200, b"", "application/zip")
    headers = {}
    if os.path.isfile(path + ".sig"):
        with open(path + ".sig", "rb") as f:
            headers["X-Qv-Signature"] = base64.b64encode(f.read()).decode()
    with open(path, "rb") as f:
        return Reply(200, f.read(), "application/zip", headers)


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
            "size": offer["size"],
            "sha256": offer.get("sha256") or sha256_file(installer_path(app.store, offer["file"]))}
    if offer.get("signature_b64"):
        body["signature"] = offer["signature_b64"]
    return Reply(200, to_json(body), "application/json; charset=utf-8")
