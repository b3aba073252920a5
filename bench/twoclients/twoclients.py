# Two headless Quorva clients of one devcloud account beside two Syncthing
# instances, given the same generated tree in the same run (bench/twoclients/
# run.sh). Every figure is a time until the receiving side holds every file
# byte for byte; the clock starts when the tree begins to be written.
#   python3 twoclients.py QUORVA [FILES]
import hashlib
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import xml.etree.ElementTree as ET

sys.path.insert(0, os.environ["QV_BENCH_COMMON"])
from figure import figure  # noqa: E402

QUORVA = sys.argv[1]
FILES = int(sys.argv[2]) if len(sys.argv) > 2 else 4000
UPDATE_SHARE = 0.30
TIMEOUT = float(os.environ.get("TWOCLIENTS_TIMEOUT", "1800"))
TREE = "bench-tree"  # the tree's folder inside each sync folder

WORDS = ["core", "net", "util", "io", "parse", "test", "doc", "lib", "src", "include", "ui", "db", "crypto",
         "http", "json", "zip", "img", "font", "log", "cfg"]
CHINESE = ["资料", "文档", "源代码", "测试", "工具", "图片", "配置", "模块", "说明", "备份", "网络", "数据"]
EXTS = [".c", ".h", ".cpp", ".py", ".md", ".txt", ".json", ".xml", ".sh", ".html"]


def log(*a):
    print(*a, flush=True)


# --- the tree -------------------------------------------------------------

def make_tree(seed, count):
    """(relative path, size) of a source-shaped tree: nested folders, some
    Chinese names, most files a few KiB, some hundreds of KiB, a few MiB."""
    rnd = random.Random(seed)
    folders = [""]
    for _ in range(max(8, count // 18)):
        parent = rnd.choice(folders)
        if parent.count("/") >= 5:
            continue
        name = rnd.choice(CHINESE) if rnd.random() < 0.2 else rnd.choice(WORDS)
        name += str(rnd.randrange(100)) if rnd.random() < 0.5 else ""
        folders.append((parent + "/" if parent else "") + name)
    folders = sorted(set(folders))
    files = {}
    big = max(1, count // 400)        # a few MiB: 10 of 4,000
    medium = max(1, count // 25)      # hundreds of KiB: 160 of 4,000
    while len(files) < count:
        n = len(files)
        if n < big:
            size = rnd.randrange(1 << 20, 4 << 20)
        elif n < big + medium:
            size = rnd.randrange(100 << 10, 600 << 10)
        else:
            size = int(rnd.lognormvariate(8.3, 0.9)) + 1  # median about 4 KiB
            size = min(size, 64 << 10)
        stem = (rnd.choice(CHINESE) + rnd.choice(CHINESE)) if rnd.random() < 0.15 else rnd.choice(WORDS) + "_" + rnd.choice(WORDS)
        name = stem + str(rnd.randrange(1000)) + rnd.choice(EXTS)
        folder = rnd.choice(folders)
        files[(folder + "/" if folder else "") + name] = size
    return sorted(files.items())


def content(seed, path, size):
    """Bytes of a file, the same for the same seed and path."""
    return random.Random(f"{seed}:{path}").randbytes(size)


def write_stage(stage, tree, seed):
    manifest = {}
    for rel, size in tree:
        data = content(seed, rel, size)
        p = os.path.join(stage, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        manifest[rel] = (len(data), hashlib.sha1(data).hexdigest())
    return manifest


def copy_into(stage, target, rels):
    """Writes the staged files into the sync folder as a user's copy would."""
    for rel in rels:
        src = os.path.join(stage, rel)
        dst = os.path.join(target, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        tmp = os.path.join(os.path.dirname(dst), ".bench-" + os.path.basename(dst))
        shutil.copyfile(src, tmp)
        os.replace(tmp, dst)


def sha1_file(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


class Holder:
    """Polls a folder until it holds every file of the manifest byte for byte;
    a file is hashed again only when its size or mtime changed."""

    def __init__(self, root, manifest):
        self.root = root
        self.manifest = manifest
        self.seen = {}  # rel -> (size, mtime_ns, sha1)

    def missing(self):
        left = 0
        for rel, (size, digest) in self.manifest.items():
            p = os.path.join(self.root, rel)
            try:
                st = os.stat(p)
            except OSError:
                left += 1
                continue
            if st.st_size != size:
                left += 1
                continue
            key = (st.st_size, st.st_mtime_ns)
            old = self.seen.get(rel)
            if old is None or old[:2] != key:
                try:
                    old = key + (sha1_file(p),)
                except OSError:
                    left += 1
                    continue
                self.seen[rel] = old
            if old[2] != digest:
                left += 1
        return left

    def wait(self, start, what):
        last = None
        while True:
            left = self.missing()
            if left == 0:
                return time.monotonic() - start
            if time.monotonic() - start > TIMEOUT:
                raise RuntimeError(f"{what}: {left} files still missing after {TIMEOUT:.0f} s")
            if left != last:
                last = left
            time.sleep(0.2)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(method, url, body=None, headers=None, timeout=30):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request(url, data=data, method=method, headers=dict(headers or {}))
    if data is not None:
        req.add_header("Content-Type", "application/json")
    with urllib.request.urlopen(req, timeout=timeout) as r:
        raw = r.read()
    return json.loads(raw) if raw else None


# --- Quorva -----------------------------------------------------------------

class DevCloud:
    def __init__(self, work):
        self.data = os.path.join(work, "devcloud")
        os.makedirs(self.data)
        self.err = open(os.path.join(work, "devcloud.log"), "wb")
        self.proc = subprocess.Popen([sys.executable, "-m", "devcloud", "--data", self.data, "--port", "0", "--test-hooks"],
                                     stdout=subprocess.PIPE, stderr=self.err)
        line = self.proc.stdout.readline().decode()
        if "listening on" not in line:
            raise RuntimeError("devcloud did not start: " + line)
        self.url = line.split()[-1]

    def hook(self, method, path, body=None):
        return http(method, f"{self.url}/_test/{path}", body)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)
        self.err.close()


class Client:
    """One `Quorva --headless` with a home of its own; its output goes to a log."""

    def __init__(self, work, name, cloud, user, password):
        self.home = os.path.join(work, "home-" + name)
        sync = os.path.join(work, "sync-" + name)
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(sync, exist_ok=True)
        self.logpath = os.path.join(work, name + ".log")
        self.out = open(self.logpath, "wb")
        env = {k: os.environ[k] for k in ("PATH", "TMPDIR") if k in os.environ}
        env.update(HOME=self.home, LANG="C.UTF-8")
        self.proc = subprocess.Popen([QUORVA, "--headless", "--server", cloud.url, "--user", user, "--password", password,
                                      "--sync-folder", sync], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        self.folder = None
        ready = threading.Event()

        def pump():
            for raw in self.proc.stdout:
                self.out.write(raw)
                self.out.flush()
                line = raw.decode("utf-8", "replace").rstrip("\n")
                if self.folder is None and line.startswith("Quorva: sync folder "):
                    self.folder = line[len("Quorva: sync folder "):]
                    ready.set()
            ready.set()

        self.reader = threading.Thread(target=pump, daemon=True)
        self.reader.start()
        if not ready.wait(120) or self.folder is None:
            raise RuntimeError(f"client {name} did not sign in; see {self.logpath}")
        self.tree = os.path.join(self.folder, TREE)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(120)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(10)
        self.out.close()


def cloud_holds(cloud, user, manifest):
    """Files of the manifest the service holds with the right SHA-1."""
    nodes = cloud.hook("GET", "tree?username=" + urllib.request.quote(user))["nodes"]
    held = {}
    marker = "/" + TREE + "/"
    for n in nodes:
        if n["dir"]:
            continue
        p = "/" + n["path"].lstrip("/")
        i = p.find(marker)
        if i >= 0:
            held[p[i + len(marker):]] = (n["filesize"], (n["filehash"] or "").lower())
    return sum(1 for rel, (size, digest) in manifest.items() if held.get(rel) == (size, digest))


def new_user(cloud, n):
    user, password = f"bench{os.getpid()}_{n}@example.test", f"pw {n}"
    cloud.hook("POST", "user", {"username": user, "password": password})
    return user, password


def run_quorva(work, stage, manifest, stage2, manifest2, changed):
    cloud = DevCloud(work)
    out = {}
    try:
        user, password = new_user(cloud, 1)
        a = Client(work, "a", cloud, user, password)
        b = Client(work, "b", cloud, user, password)
        try:
            start = time.monotonic()
            copy_into(stage, a.tree, sorted(manifest))
            out["tree"] = Holder(b.tree, manifest).wait(start, "Quorva tree")
            log(f"Quorva: tree on the second client after {out['tree']:.1f} s")
            start = time.monotonic()
            copy_into(stage2, a.tree, changed)
            out["update"] = Holder(b.tree, manifest2).wait(start, "Quorva update")
            log(f"Quorva: update on the second client after {out['update']:.1f} s")
        finally:
            a.stop()
            b.stop()
        # Each direction alone: a new account, one client writing until the
        # service holds the tree, then a new client reading it all.
        user, password = new_user(cloud, 2)
        a = Client(work, "up", cloud, user, password)
        try:
            start = time.monotonic()
            copy_into(stage, a.tree, sorted(manifest))
            while cloud_holds(cloud, user, manifest) < len(manifest):
                if time.monotonic() - start > TIMEOUT:
                    raise RuntimeError("Quorva upload: the service lacks files")
                time.sleep(0.3)
            out["up"] = time.monotonic() - start
            log(f"Quorva: upload alone {out['up']:.1f} s")
        finally:
            a.stop()
        start = time.monotonic()
        b = Client(work, "down", cloud, user, password)
        try:
            out["down"] = Holder(b.tree, manifest).wait(start, "Quorva download")
            log(f"Quorva: download alone {out['down']:.1f} s (from the start of the client)")
        finally:
            b.stop()
    finally:
        cloud.stop()
    return out


# --- Syncthing --------------------------------------------------------------

class Syncthing:
    """One instance: its own home, listening and serving its GUI/REST on
    127.0.0.1 only, discovery, relays, NAT and usage reports off."""

    def __init__(self, work, name):
        self.home = os.path.join(work, "st-" + name)
        self.folder = os.path.join(work, "st-sync-" + name)
        os.makedirs(self.folder)
        r = subprocess.run(["syncthing", "generate", "--home=" + self.home, "--no-default-folder"],
                           capture_output=True, text=True, check=True)
        self.id = next(w for line in (r.stdout + r.stderr).splitlines() if "Device ID:" in line
                       for w in [line.split("Device ID:")[1].strip()])
        self.gui = free_port()
        self.listen = free_port()
        self.apikey = hashlib.sha256(os.urandom(32)).hexdigest()[:32]
        self.proc = None

    def configure(self, peer):
        path = os.path.join(self.home, "config.xml")
        root = ET.parse(path).getroot()
        gui = root.find("gui")
        gui.find("address").text = f"127.0.0.1:{self.gui}"
        gui.find("apikey").text = self.apikey
        opts = root.find("options")
        for tag, value in (("globalAnnounceEnabled", "false"), ("localAnnounceEnabled", "false"),
                           ("relaysEnabled", "false"), ("natEnabled", "false"), ("startBrowser", "false"),
                           ("urAccepted", "-1"), ("crashReportingEnabled", "false"),
                           ("autoUpgradeIntervalH", "0")):
            opts.find(tag).text = value
        for la in opts.findall("listenAddress"):
            opts.remove(la)
        la = ET.SubElement(opts, "listenAddress")
        la.text = f"tcp://127.0.0.1:{self.listen}"
        # The peer, reached at its loopback address only.
        own = root.find("device")
        dev = ET.fromstring(ET.tostring(own))
        dev.set("id", peer.id)
        dev.set("name", "peer")
        dev.find("address").text = f"tcp://127.0.0.1:{peer.listen}"
        root.insert(list(root).index(own) + 1, dev)
        # The folder with the default folder settings, shared with the peer.
        folder = ET.fromstring(ET.tostring(root.find("defaults/folder")))
        folder.set("id", "bench")
        folder.set("label", "bench")
        folder.set("path", self.folder)
        share = ET.SubElement(folder, "device")
        share.set("id", peer.id)
        share.set("introducedBy", "")
        ET.SubElement(share, "encryptionPassword")
        root.insert(0, folder)
        ET.ElementTree(root).write(path)

    def start(self, work, name):
        self.log = open(os.path.join(work, "st-" + name + ".log"), "wb")
        env = dict(os.environ, STNOUPGRADE="1", STNORESTART="1")
        self.proc = subprocess.Popen(["syncthing", "serve", "--home=" + self.home, "--no-browser", "--no-restart",
                                      "--no-upgrade"], stdout=self.log, stderr=subprocess.STDOUT, env=env)

    def rest(self, path):
        return http("GET", f"http://127.0.0.1:{self.gui}/rest/{path}", headers={"X-API-Key": self.apikey})

    def wait_ready(self, peer):
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            try:
                conns = self.rest("system/connections")["connections"]
                status = self.rest("db/status?folder=bench")
                if conns.get(peer.id, {}).get("connected") and status.get("state") == "idle":
                    return
            except OSError:
                pass
            time.sleep(0.3)
        raise RuntimeError("Syncthing did not connect to its peer")

    def stop(self):
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.log.close()


def run_syncthing(work, stage, manifest, stage2, manifest2, changed):
    a, b = Syncthing(work, "a"), Syncthing(work, "b")
    a.configure(b)
    b.configure(a)
    out = {}
    try:
        a.start(work, "a")
        b.start(work, "b")
        a.wait_ready(b)
        b.wait_ready(a)
        tree_a, tree_b = os.path.join(a.folder, TREE), os.path.join(b.folder, TREE)
        start = time.monotonic()
        copy_into(stage, tree_a, sorted(manifest))
        out["tree"] = Holder(tree_b, manifest).wait(start, "Syncthing tree")
        log(f"Syncthing: tree on the second instance after {out['tree']:.1f} s")
        start = time.monotonic()
        copy_into(stage2, tree_a, changed)
        out["update"] = Holder(tree_b, manifest2).wait(start, "Syncthing update")
        log(f"Syncthing: update on the second instance after {out['update']:.1f} s")
    finally:
        a.stop()
        b.stop()
    return out


def main():
    work = tempfile.mkdtemp(prefix="qv-twoclients-")
    keep = os.environ.get("TWOCLIENTS_KEEP") == "1"
    try:
        tree = make_tree(29, FILES)
        stage = os.path.join(work, "stage")
        manifest = write_stage(stage, tree, "first")
        total = sum(s for s, _ in manifest.values())
        # The update: 30% of the files written anew, most a little longer.
        rnd = random.Random(30)
        changed = sorted(rnd.sample(sorted(manifest), int(len(manifest) * UPDATE_SHARE)))
        stage2 = os.path.join(work, "stage2")
        sizes = dict(tree)
        manifest2 = dict(manifest)
        manifest2.update(write_stage(stage2, [(rel, sizes[rel] + rnd.randrange(64)) for rel in changed], "second"))
        log(f"tree: {len(manifest)} files, {total / 1e6:.1f} MB; update: {len(changed)} files")

        st = run_syncthing(work, stage, manifest, stage2, manifest2, changed)
        qv = run_quorva(work, stage, manifest, stage2, manifest2, changed)

        n = len(manifest)
        figure(f"two clients, {n} files ({total / 1e6:.0f} MB) written on one until the other holds them",
               qv["tree"], "s", "syncthing", st["tree"], "<=1.0")
        figure(f"two clients, {len(changed)} of those files rewritten until the other holds them",
               qv["update"], "s", "syncthing", st["update"], "<=1.0")
        figure(f"upload alone, {n} files until the service holds them", n / qv["up"], "files/s",
               "syncthing both ways", n / st["tree"], ">=1.0")
        figure(f"download alone, {n} files from a new client's start", n / qv["down"], "files/s",
               "syncthing both ways", n / st["tree"], ">=1.0")
    finally:
        if keep:
            log("work folder kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
