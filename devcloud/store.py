"""State of the stand-in: one SQLite database and a content store named by
SHA-1, both under the data folder. Every access goes through one lock, so a
request sees and leaves the state whole."""

import contextlib
import hashlib
import json
import os
import secrets
import sqlite3
import tempfile
import threading
import time

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta(k TEXT PRIMARY KEY, v TEXT);
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY, username TEXT UNIQUE COLLATE NOCASE, email TEXT COLLATE NOCASE,
  password TEXT, mount_id INTEGER, org_id INTEGER DEFAULT 0, org_username TEXT DEFAULT '',
  capacity INTEGER, photourl TEXT DEFAULT '', oauth_error TEXT DEFAULT '');
CREATE TABLE IF NOT EXISTS orgs(id INTEGER PRIMARY KEY, name TEXT UNIQUE, mount_id INTEGER);
CREATE TABLE IF NOT EXISTS mounts(id INTEGER PRIMARY KEY, owner TEXT, version INTEGER DEFAULT 0);
CREATE TABLE IF NOT EXISTS nodes(
  mount_id INTEGER, lpath TEXT, path TEXT, dir INTEGER, filehash TEXT, filesize INTEGER,
  version INTEGER, lock INTEGER DEFAULT 0, member_id INTEGER, member_name TEXT,
  machine TEXT, dateline INTEGER, PRIMARY KEY(mount_id, lpath));
CREATE TABLE IF NOT EXISTS changes(
  seq INTEGER PRIMARY KEY AUTOINCREMENT, mount_id INTEGER, lpath TEXT, path TEXT,
  cmd INTEGER, dir INTEGER, filehash TEXT, filesize INTEGER, version INTEGER,
  lock INTEGER, member_id INTEGER, member_name TEXT, dateline INTEGER,
  share INTEGER DEFAULT 0, org_share INTEGER DEFAULT 0);
CREATE INDEX IF NOT EXISTS changes_feed ON changes(mount_id, seq);
CREATE INDEX IF NOT EXISTS changes_path ON changes(mount_id, lpath);
CREATE TABLE IF NOT EXISTS shares(
  member_mount INTEGER, lname TEXT, name TEXT, owner_mount INTEGER, owner_lpath TEXT,
  owner_path TEXT, readonly INTEGER, org_id INTEGER, PRIMARY KEY(member_mount, lname));
CREATE TABLE IF NOT EXISTS tokens(access TEXT PRIMARY KEY, user_id INTEGER, client_id TEXT, expires REAL);
CREATE TABLE IF NOT EXISTS refresh_tokens(refresh TEXT PRIMARY KEY, user_id INTEGER, client_id TEXT, expires REAL);
CREATE TABLE IF NOT EXISTS weblogin_keys(key TEXT PRIMARY KEY, user_id INTEGER, created REAL);
CREATE TABLE IF NOT EXISTS pending(
  pathhash TEXT, filehash TEXT, filesize INTEGER, mount_id INTEGER, lpath TEXT, path TEXT,
  version INTEGER, user_id INTEGER, member_name TEXT, machine TEXT, created REAL,
  PRIMARY KEY(pathhash, filehash, filesize));
CREATE TABLE IF NOT EXISTS partials(
  pkey TEXT PRIMARY KEY, piecelen INTEGER, base_hash TEXT, delta INTEGER DEFAULT 0,
  have BLOB, held INTEGER DEFAULT 0, updated REAL);
CREATE TABLE IF NOT EXISTS sessions(
  session TEXT PRIMARY KEY, pkey TEXT, user_id INTEGER, pathhash TEXT, filehash TEXT,
  filesize INTEGER, created REAL);
CREATE TABLE IF NOT EXISTS messages(
  id INTEGER PRIMARY KEY, user_id INTEGER, type INTEGER, dateline INTEGER,
  member_name TEXT, render_text TEXT);
CREATE TABLE IF NOT EXISTS favorites(user_id INTEGER, mount_id INTEGER, lpath TEXT,
  PRIMARY KEY(user_id, mount_id, lpath));
CREATE TABLE IF NOT EXISTS config(k TEXT PRIMARY KEY, v TEXT);
"""


class Store:
    def __init__(self, data_dir):
        self.data_dir = os.path.abspath(data_dir)
        self.content_dir = os.path.join(self.data_dir, "content")
        self.upload_dir = os.path.join(self.data_dir, "uploads")
        self.update_dir = os.path.join(self.data_dir, "updates")
        for d in (self.content_dir, self.upload_dir, self.update_dir):
            os.makedirs(d, exist_ok=True)
        self.lock = threading.RLock()
        # Keys of partial streams whose upload_finish reads them outside the lock.
        self.finishing = set()
        self.db = sqlite3.connect(os.path.join(self.data_dir, "devcloud.db"),
                                  check_same_thread=False, isolation_level=None)
        self.db.row_factory = sqlite3.Row
        with self.lock:
            self.db.execute("PRAGMA journal_mode=WAL")
            # No sync per commit: the log outlives a restart of the process,
            # which is all a local stand-in has to survive.
            self.db.execute("PRAGMA synchronous=NORMAL")
            self.db.executescript(SCHEMA)
        self.secret = self.meta("secret") or self._new_secret()

    def _new_secret(self):
        value = secrets.token_hex(16)
        with self.tx() as db:
            db.execute("INSERT OR REPLACE INTO meta(k, v) VALUES('secret', ?)", (value,))
        return value

    @contextlib.contextmanager
    def tx(self):
        """One transaction under the lock; an exception rolls it back whole."""
        with self.lock:
            self.db.execute("BEGIN IMMEDIATE")
            try:
                yield self.db
            except BaseException:
                self.db.execute("ROLLBACK")
                raise
            self.db.execute("COMMIT")

    def one(self, sql, args=()):
        with self.lock:
            return self.db.execute(sql, args).fetchone()

    def all(self, sql, args=()):
        with self.lock:
            return self.db.execute(sql, args).fetchall()

    def meta(self, key):
        row = self.one("SELECT v FROM meta WHERE k=?", (key,))
        return row["v"] if row else None

    def config(self, key, default=None):
        row = self.one("SELECT v FROM config WHERE k=?", (key,))
        return json.loads(row["v"]) if row else default

    def set_config(self, db, key, value):
        if value is None:
            db.execute("DELETE FROM config WHERE k=?", (key,))
        else:
            db.execute("INSERT OR REPLACE INTO config(k, v) VALUES(?, ?)", (key, json.dumps(value)))

    # Content store: one file per SHA-1.

    def content_path(self, filehash):
        filehash = filehash.lower()
        return os.path.join(self.content_dir, filehash[:2], filehash)

    def has_content(self, filehash, filesize=None):
        path = self.content_path(filehash)
        if not os.path.isfile(path):
            return False
        return filesize is None or os.path.getsize(path) == filesize

    def put_bytes(self, data):
        filehash = hashlib.sha1(data).hexdigest()
        if not self.has_content(filehash):
            fd, tmp = tempfile.mkstemp(dir=self.content_dir, prefix=".in-")
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            self.adopt(tmp, filehash)
        return filehash

    def adopt(self, tmp_path, filehash):
        """Move a checked file into the store under its hash."""
        target = self.content_path(filehash)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        os.replace(tmp_path, target)

    def temp_file(self):
        return tempfile.mkstemp(dir=self.content_dir, prefix=".build-")

    def now(self):
        return time.time()
