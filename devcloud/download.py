"""Content downloads by SHA-1 and installer downloads, with byte ranges.

Several ranges are answered 206 with the runs' bytes concatenated in the
order asked, without multipart framing: the client reads the body as the
blocks it asked for, back to back."""

import hashlib
import hmac
import os
import re

from .message import Reply
from .wire import ApiError

CONTENT = re.compile(r"^/content/([0-9a-f]{40})$")
INSTALLER = re.compile(r"^/download/installer/([A-Za-z0-9._\-]+)$")
RUN = re.compile(r"^([0-9]*)-([0-9]*)$")


class RangeError(Exception):
    pass


def parse_ranges(header, size):
    """"bytes=a-b,c-d,..." to inclusive (start, end) runs; RangeError when
    nothing of it can be served."""
    header = header.strip()
    if not header.lower().startswith("bytes="):
        raise RangeError("only byte ranges are served")
    runs = []
    for part in header[6:].split(","):
        match = RUN.match(part.strip())
        if match is None or match.group(0) == "-":
            raise RangeError("unreadable range %r" % part)
        first, last = match.group(1), match.group(2)
        if first == "":
            count = int(last)
            if count == 0:
                raise RangeError("empty suffix range")
            start, end = max(0, size - count), size - 1
        else:
            start = int(first)
            end = min(int(last), size - 1) if last else size - 1
            if last and int(last) < start:
                raise RangeError("range %r ends before it starts" % part)
        if start >= size:
            raise RangeError("range %r starts past the end" % part)
        runs.append((start, end))
    return runs


def ranged(req, path):
    size = os.path.getsize(path)
    header = req.headers.get("Range")
    if header is None:
        reply = Reply(200, ctype="application/octet-stream", headers={"Accept-Ranges": "bytes"})
        reply.parts = [(path, 0, size)]
        return reply
    try:
        runs = parse_ranges(header, size)
    except RangeError as e:
        return Reply(416, str(e).encode(), "text/plain; charset=utf-8", {"Content-Range": "bytes */%d" % size})
    headers = {"Accept-Ranges": "bytes"}
    if len(runs) == 1:
        headers["Content-Range"] = "bytes %d-%d/%d" % (runs[0][0], runs[0][1], size)
    reply = Reply(206, ctype="application/octet-stream", headers=headers)
    reply.parts = [(path, start, end - start + 1) for start, end in runs]
    return reply


def ticket(store, filehash):
    return hmac.new(store.secret.encode(), filehash.encode(), hashlib.sha1).hexdigest()[:24]


def content(app, req):
    match = CONTENT.match(req.path)
    if match is None:
        raise ApiError(404, 40402, "no such content")
    filehash = match.group(1)
    if not hmac.compare_digest(ticket(app.store, filehash), req.params().get("k", "")):
        raise ApiError(403, 40305, "下载地址无效")
    path = app.store.content_path(filehash)
    if not os.path.isfile(path):
        raise ApiError(404, 40402, "文件内容不存在")
    return ranged(req, path)


def installer(app, req):
    match = INSTALLER.match(req.path)
    path = os.path.join(app.store.update_dir, "app", match.group(1)) if match else ""
    if not match or not os.path.isfile(path):
        raise ApiError(404, 40402, "no such installer")
    return ranged(req, path)
