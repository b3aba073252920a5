"""The update service, the installer download and the service over TLS."""

import base64
import hashlib
import http.client
import io
import ssl
import urllib.parse
import zipfile

from devcloud.tests.support import CloudTest, MAIN_ID


def package(page):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        z.writestr("start/chs/login.html", page)
    return buffer.getvalue()


class Updates(CloudTest):
    def test_ui_packages(self):
        zipped = package("<html>login</html>")
        md5 = hashlib.md5(zipped).hexdigest()
        target = "/interface/check_start_update?token=&key=%s&t=786000000.123456&clientid=%s&n=windows&v=1.0"
        self.assertEqual(self.cloud.request("GET", target % ("(null)", MAIN_ID)).body, b"")
        self.cloud.hook("POST", "ui_package", {"name": "start", "data_b64": base64.b64encode(zipped).decode()})
        try:
            cases = [("(null)", zipped), ("0" * 32, zipped), (md5, b"")]
            for key, body in cases:
                with self.subTest(key=key):
                    self.assertEqual(self.cloud.request("GET", target % (key, MAIN_ID)).body, body)
            self.cloud.hook("POST", "ui_package", {"name": "start", "data_b64": base64.b64encode(zipped).decode(),
                                                   "signature_b64": base64.b64encode(b"s" * 64).decode()})
            signed = self.cloud.request("GET", target % ("(null)", MAIN_ID))
            self.assertEqual((signed.body, signed.headers["X-Qv-Signature"]),
                             (zipped, base64.b64encode(b"s" * 64).decode()))
            other = "/interface/check_default_update?token=&key=(null)&t=1.0&clientid=x&n=windows&v=1.0"
            self.assertEqual(self.cloud.request("GET", other).body, b"")
        finally:
            self.cloud.hook("POST", "ui_package", {"name": "start"})

    def test_installer(self):
        check = "/interface/check_version?n=mac&v=1.2.0"
        self.assertEqual(self.cloud.request("GET", check).body, b"null")
        image = bytes(range(256)) * 40
        self.cloud.hook("POST", "app_update", {"version": "1.3.0", "data_b64": base64.b64encode(image).decode()})
        try:
            offer = self.cloud.request("GET", check).json()
            self.assertEqual((offer["version"], offer["size"]), ("1.3.0", len(image)))
            self.assertEqual(offer["sha256"], hashlib.sha256(image).hexdigest())
            self.assertNotIn("signature", offer)
            wrong = "0" * 64
            self.cloud.hook("POST", "app_update", {"version": "1.3.0", "data_b64": base64.b64encode(image).decode(),
                                                   "sha256": wrong, "signature_b64": base64.b64encode(b"x").decode()})
            told = self.cloud.request("GET", check).json()
            self.assertEqual((told["sha256"], told["signature"]), (wrong, base64.b64encode(b"x").decode()))
            self.assertEqual(self.cloud.request("GET", "/interface/check_version?n=mac&v=1.3.0").body, b"null")
            path = urllib.parse.urlsplit(offer["path"]).path
            self.assertEqual(self.cloud.request("GET", path).body, image)
            resumed = self.cloud.request("GET", path, headers={"Range": "bytes=1000-"})
            self.assertEqual((resumed.status, resumed.body), (206, image[1000:]))
            self.assertEqual(resumed.headers["Content-Range"], "bytes 1000-%d/%d" % (len(image) - 1, len(image)))
        finally:
            self.cloud.hook("POST", "app_update", {"version": None})


class OverTls(CloudTest):
    tls = True

    def test_signed_calls_over_tls(self):
        account = self.new_user()
        self.assertTrue(self.cloud.url.startswith("https://"))
        account.upload_plain("t.txt", b"over tls")
        details = account.get("t.txt").json()
        self.assertTrue(details["uri"].startswith("https://127.0.0.1:%d/" % self.cloud.port))
        self.assertEqual(account.fetch(details["uri"]).body, b"over tls")

    def test_untrusted_client_fails(self):
        conn = http.client.HTTPSConnection("127.0.0.1", self.cloud.port, timeout=10,
                                           context=ssl.create_default_context())
        with self.assertRaises(ssl.SSLError):
            conn.request("GET", "/")
        conn.close()
