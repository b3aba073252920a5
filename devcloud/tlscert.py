"""A certificate authority and a server certificate for loopback, made with
the openssl tool at the first start over TLS and kept in the data folder."""

import os
import ssl
import subprocess
import tempfile

SERVER_EXT = """basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1
"""


def run(*args):
    subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def ensure(data_dir):
    """(CA certificate, server certificate, server key) paths, made when missing."""
    folder = os.path.join(data_dir, "tls")
    ca, ca_key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.key")
    cert, key = os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")
    if all(os.path.isfile(p) for p in (ca, cert, key)):
        return ca, cert, key
    os.makedirs(folder, exist_ok=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", ca_key, "-out", ca, "-days", "3650", "-subj", "/CN=devcloud local CA",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with tempfile.TemporaryDirectory() as tmp:
        csr, ext = os.path.join(tmp, "server.csr"), os.path.join(tmp, "server.ext")
        with open(ext, "w") as f:
            f.write(SERVER_EXT)
        run("req", *ec, "-keyout", key, "-out", csr, "-subj", "/CN=localhost")
        run("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
            "-out", cert, "-days", "825", "-extfile", ext)
    for path in (ca_key, key):
        os.chmod(path, 0o600)
    return ca, cert, key


def server_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context
