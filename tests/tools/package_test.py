#!/usr/bin/env python3
"""Tests of vantor-release package, run natively by CTest: what it refuses before building, the
signed setup, and reproducible bytes. What the setup does on a player's machine is tested under
Wine in tests/installer/.

VANTOR_RELEASE_TOOL names the tool. The launcher here is a tiny Windows program with a record of
constants written as a launcher build writes it.
"""
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from release_tool_test import write

TOOL = os.environ.get("VANTOR_RELEASE_TOOL", "vantor-release")
HOST, PORT = "game.vantor.test", "6900"
CLIENT_INFO = f"<clientinfo><address>{HOST}</address><port>{PORT}</port></clientinfo>\n".encode()


def run(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True,
                          errors="replace", stdin=subprocess.DEVNULL, timeout=300)


def openssl(*args):
    subprocess.run(["openssl", *map(str, args)], capture_output=True, check=True, timeout=120)


def write_record(path, launcher, client):
    data = Path(launcher).read_bytes()
    write(path, "".join(f"{k} {v}\n" for k, v in [
        ("update-host", "localhost"), ("update-port", "443"), ("game-server-host", HOST),
        ("game-server-port", PORT), ("website-base", "https://www.vantor.test"),
        ("client-sha256", hashlib.sha256(Path(client).read_bytes()).hexdigest()),
        ("launcher-size", len(data)), ("launcher-sha256", hashlib.sha256(data).hexdigest())]).encode())


def sign_launcher(d, launcher, signed):
    """A code-signing certificate under a root of the test's own (d/root.pem), and launcher signed
    with it into signed; returns the signing options."""
    ca = "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
    leaf = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"
    for name, ext in [("root", ca), ("leaf", leaf)]:
        write(d / f"{name}.ext", ext.encode())
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN=Vantor Test {name}",
                "-keyout", d / f"{name}.key", "-out", d / f"{name}.csr")
        signer = ["-signkey", d / "root.key"] if name == "root" else \
            ["-CA", d / "root.pem", "-CAkey", d / "root.key", "-CAcreateserial"]
        openssl("x509", "-req", "-in", d / f"{name}.csr", *signer, "-days", "2",
                "-extfile", d / f"{name}.ext", "-out", d / f"{name}.pem")
    signing = ["--cert", d / "leaf.pem", "--key", d / "leaf.key", "--chain", d / "root.pem"]
    Path(signed).parent.mkdir(exist_ok=True)
    done = run("sign-launcher", launcher, signed, *signing)
    assert done.returncode == 0, done.stderr
    return signing


class PackageTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        compiler = shutil.which("x86_64-w64-mingw32-gcc-posix")
        if not compiler or not shutil.which("makensis") or not shutil.which("osslsigncode"):
            raise unittest.SkipTest("needs mingw-w64, nsis and osslsigncode (scripts/test installs them)")
        cls._dir = tempfile.TemporaryDirectory(prefix="vantor-package-")
        d = cls.dir = Path(cls._dir.name)
        source = write(d / "tiny.c", b"int main(void) { return 0; }\n")
        cls.launcher = d / "build/VANTOR.exe"
        cls.launcher.parent.mkdir()
        subprocess.run([compiler, "-O2", "-o", cls.launcher, source], check=True, timeout=120)
        cls.client = write(d / "client.exe", b"MZ the game client " * 100)
        write_record(d / "build/VANTOR.constants", cls.launcher, cls.client)
        cls.client_info = write(d / "clientinfo.xml", CLIENT_INFO)
        cls.signed_launcher = d / "signed/VANTOR.exe"
        cls.signing = sign_launcher(d, cls.launcher, cls.signed_launcher)

    @classmethod
    def tearDownClass(cls):
        cls._dir.cleanup()

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="vantor-package-case-")
        self.tmp = Path(self._tmp.name)
        self.addCleanup(self._tmp.cleanup)

    def package(self, out, *extra, launcher=None, client=None, client_info=None):
        return run("package", out, "--launcher", launcher or self.launcher,
                   "--client", client or self.client, "--client-info", client_info or self.client_info,
                   *extra)

    def test_refusals_name_the_fault_and_build_nothing(self):
        t = self.tmp
        # A record of another build: here, of the signed launcher's bytes as they are.
        other_record = t / "other.constants"
        write_record(other_record, self.signed_launcher, self.client)
        sparse = t / "huge/Data/texture/huge.bmp"
        sparse.parent.mkdir(parents=True)
        with open(sparse, "wb") as f:
            f.truncate(2_000_000_001)
        rows = [
            ("wrong client", dict(client=write(t / "other.exe", b"MZ another client")), [],
             "is not the one built into the launcher"),
            ("host in another letter case", dict(client_info=write(
                t / "case.xml", CLIENT_INFO.replace(HOST.encode(), HOST.upper().encode()))), [],
             f"does not hold <address>{HOST}</address>"),
            ("another port", dict(client_info=write(
                t / "port.xml", CLIENT_INFO.replace(b"6900", b"6901"))), [],
             f"does not hold <port>{PORT}</port>"),
            ("a release file the launcher never updates", {},
             ["--release", write(t / "release/Data/texture/x.bmp", b"x").parents[2]],
             "not one of the launcher's updatable files"),
            ("a game file the launcher updates", {},
             ["--game", write(t / "game/Data/prontera.gat", b"map").parents[1]],
             "it belongs in --release"),
            ("a record of another build", {}, ["--constants", other_record],
             "is not the launcher whose record of constants was given"),
            ("an unsigned launcher for a signed setup", {}, self.signing, "the launcher is not signed"),
            ("more than a setup holds", {}, ["--game", t / "huge"], "one setup holds at most"),
        ]
        for name, given, extra, message in rows:
            with self.subTest(name):
                out = t / "out" / "Setup.exe"
                out.parent.mkdir(exist_ok=True)
                done = self.package(out, *extra, **given)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                self.assertIn(message, done.stderr)
                self.assertIn("nothing was built", done.stderr)
                self.assertEqual(list(out.parent.iterdir()), [])

    def test_signed_setup_verifies(self):
        out = self.tmp / "VantorSetup.exe"
        write(self.tmp / ".vantor-package-Killed/setup.exe", b"what a killed run left")
        done = self.package(out, "--constants", self.dir / "build/VANTOR.constants", *self.signing,
                            launcher=self.signed_launcher)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        verified = subprocess.run(["osslsigncode", "verify", "-in", out, "-CAfile", self.dir / "root.pem"],
                                  capture_output=True, text=True, timeout=120)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertEqual(sorted(p.name for p in self.tmp.iterdir()), ["VantorSetup.exe"])

    def test_two_builds_of_the_same_inputs_are_byte_identical(self):
        game = write(self.tmp / "game/Data/texture/sky.bmp", os.urandom(30000)).parents[2]
        write(game / "readme.txt", "说明 Vantor".encode())
        release = write(self.tmp / "release/Data/prontera.gat", os.urandom(20000)).parents[1]
        setups = []
        for n in (1, 2):
            # Other folders and file times: neither may reach the setup.
            os.utime(game / "readme.txt", (n * 1000, n * 1000))
            out = self.tmp / f"build{n}/VantorSetup.exe"
            out.parent.mkdir()
            done = self.package(out, "--game", game, "--release", release, "--version", "1.2.3",
                                "--publisher", "Vantor Games")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            setups.append(out.read_bytes())
        self.assertEqual(hashlib.sha256(setups[0]).hexdigest(), hashlib.sha256(setups[1]).hexdigest())


if __name__ == "__main__":
    unittest.main(verbosity=1)
